#pragma once

#include "api/apiclient.h"
#include "support/scriptedhttpserver.h"

#include <QObject>

#include <functional>
#include <optional>

// The test class is declared apart from its definitions: moc cannot read the
// raw string literals that hold the JSON fixtures.
class TestAPIClient : public QObject
{
    Q_OBJECT

    quarn::test::ScriptedHttpServer m_server;

    [[nodiscard]] quarn::APIClient client() const { return quarn::APIClient(m_server.baseUrl()); }

    // Runs `op` against one scripted answer and returns the error it raised.
    template<typename E>
    std::optional<E> failureOf(
        const std::function<QString(const quarn::APIClient &)> &op, quarn::test::ScriptedResponse answer);

private Q_SLOTS:
    void endpoints_data();
    void endpoints();
    void answerMapping_data();
    void answerMapping();
    void redirectIsNotFollowed();
    void failAIFailsOnAnErrorStatus();
    void identifiersArePercentEncoded_data();
    void identifiersArePercentEncoded();
    void dotSegmentsAreRefused_data();
    void dotSegmentsAreRefused();
    void emailInTimelinePath();
    void transportFailureIsPassedOn();
    void stateIsDecodedOnlyWhenItsBytesChange_data();
    void stateIsDecodedOnlyWhenItsBytesChange();
    void invalidScheduleFailsBeforeSending();
    void tokenCannotInjectHeaders_data();
    void tokenCannotInjectHeaders();
    void errorDescriptions();
    void productionBaseURL();
};
