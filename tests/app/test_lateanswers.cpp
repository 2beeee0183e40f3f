// Answers that arrive after the user has moved on. A scripted service holds
// chosen answers back (FakeService::hold) so that each interleaving happens in
// the order under test; the model must apply an answer only while the request
// it answers is still the current one for its slot, and must never let a
// follow-up reload's failure vanish or act on the absence of an answer.

#include "api/mailapierror.h"
#include "app/appcommands.h"
#include "app/appmodeloperations.h"
#include "appmodelharness.h"
#include "core/blocking.h"

#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <cmath>
#include <limits>

using namespace Qt::StringLiterals;
using namespace quarn;
using namespace quarn::testing;

namespace {

const QString kToken = u"tok_mail_"_s + QString(43, u'b');

PersonTimeline timelineOf(const QString &email, const QString &messageId, bool hasMore)
{
    PersonTimeline t;
    t.person.email = email;
    t.person.displayName = email.section(u'@', 0, 0);
    PersonTimelineMessage m;
    m.id = messageId;
    m.conversationId = u"conv_t"_s;
    m.subject = u"件名"_s;
    m.senderEmail = email;
    m.senderName = t.person.displayName;
    m.channel = u"email"_s;
    m.bodyText = u"本文"_s;
    m.createdAt = 500;
    t.messages = { m };
    t.hasMore = hasMore;
    if (hasMore)
        t.nextBefore = 500;
    return t;
}

/// Every status answers an empty list with a mailbox, the people list is
/// empty: a signed-in model has something to start from.
void routeEmptyMailbox(FakeService &service)
{
    for (ConversationStatus status : allCases<ConversationStatus>())
        service.route("GET", stateTarget(status), mailState(status, {}));
    service.route("GET", "/api/people", PeopleResponse {});
}

} // namespace

class TestLateAnswers : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // --- the opened conversation --------------------------------------------------

    void conversationAnswerAfterTheUserMovedOn_data()
    {
        QTest::addColumn<QString>("then");
        QTest::addColumn<QString>("shown"); // the detail expected at the end; empty: none
        QTest::newRow("another conversation opened") << u"open B"_s << u"conv_b"_s;
        QTest::newRow("another status chosen") << u"select done"_s << QString();
        QTest::newRow("people lens") << u"select people"_s << QString();
        QTest::newRow("AI lens") << u"select AI"_s << QString();
    }
    void conversationAnswerAfterTheUserMovedOn()
    {
        QFETCH(QString, then);
        QFETCH(QString, shown);
        FakeService service;
        routeEmptyMailbox(service);
        const ConversationListItem a = item(u"conv_a"_s, ConversationStatus::needsYou);
        const ConversationListItem b = item(u"conv_b"_s, ConversationStatus::needsYou);
        service.route(
            "GET", stateTarget(ConversationStatus::needsYou), mailState(ConversationStatus::needsYou, { a, b }));
        service.route("GET", "/api/conversations/conv_a", detailOf(a));
        service.route("GET", "/api/conversations/conv_b", detailOf(b));
        Harness h(service.baseUrl());
        QVERIFY(h.saveToken(kToken));
        run(h.model->bootstrap());

        const std::shared_ptr<Gate> gate = service.hold("GET", "/api/conversations/conv_a");
        auto opening = h.model->openConversation(a.id);
        QTRY_COMPARE(gate->arrived(), 1);
        if (then == u"open B"_s)
            run(h.model->openConversation(b.id));
        else if (then == u"select done"_s)
            run(h.model->selectStatus(ConversationStatus::done));
        else if (then == u"select people"_s)
            run(h.model->selectPeople());
        else
            run(h.model->selectAI());
        gate->open();
        run(std::move(opening));

        const auto detailId = [&] { return h.model->detail() ? h.model->detail()->id : QString(); };
        QCOMPARE(detailId(), shown);
        QCOMPARE(h.model->selectedConversationID().value_or(QString()), shown);
        // Nor does a later reload bring the stale detail back.
        run(h.model->refresh(true));
        QCOMPARE(detailId(), shown);
    }

    // --- details fetched ahead --------------------------------------------------------

    // The rows next to the opened one, and the first of the needs-you list
    // after a reload, are fetched ahead: opening one shows it at once, while
    // its own answer (held here) is still on the way. One whose row changed
    // since is not shown ahead.
    void fetchedAheadOpensAtOnce_data()
    {
        QTest::addColumn<bool>("needsYou"); // else the inbox, where the neighbours of B are
        QTest::addColumn<bool>("rowChanged");
        QTest::newRow("next row") << false << false;
        QTest::newRow("first of the needs-you list") << true << false;
        QTest::newRow("next row, changed since") << false << true;
    }
    void fetchedAheadOpensAtOnce()
    {
        QFETCH(bool, needsYou);
        QFETCH(bool, rowChanged);
        const ConversationStatus status = needsYou ? ConversationStatus::needsYou : ConversationStatus::inbox;
        FakeService service;
        routeEmptyMailbox(service);
        QList<ConversationListItem> rows;
        for (const QString &id : { u"conv_a"_s, u"conv_b"_s, u"conv_c"_s, u"conv_d"_s }) {
            rows.append(item(id, status, u"件名 "_s + id));
            service.route("GET", "/api/conversations/" + id.toUtf8(), detailOf(rows.constLast()));
        }
        service.route("GET", stateTarget(status), mailState(status, rows));
        Harness h(service.baseUrl());
        QVERIFY(h.saveToken(kToken));
        run(h.model->bootstrap());
        run(h.model->selectStatus(status));

        QString target = u"conv_a"_s;
        if (!needsYou) {
            run(h.model->openConversation(u"conv_b"_s));
            target = u"conv_c"_s;
            QTRY_VERIFY(h.model->hasFetchedAhead(u"conv_a"_s));
            // Only the neighbours.
            QCOMPARE(service.count("/api/conversations/conv_d"), 0);
        }
        QTRY_VERIFY(h.model->hasFetchedAhead(target));
        // Held from here on: what is fetched again for the changed row too.
        const std::shared_ptr<Gate> gate = service.hold("GET", "/api/conversations/" + target.toUtf8());
        if (rowChanged) {
            rows[2].lastMessageAt += 1;
            service.route("GET", stateTarget(status), mailState(status, rows));
            run(h.model->refresh(true));
        }
        const auto detailId = [&] { return h.model->detail() ? h.model->detail()->id : QString(); };
        const QString before = detailId();

        auto opening = h.model->openConversation(target);
        QTRY_COMPARE(gate->arrived(), rowChanged ? 2 : 1);
        QCOMPARE(detailId(), rowChanged ? before : target);
        gate->open();
        run(std::move(opening));
        QCOMPARE(detailId(), target);
        QVERIFY(!h.model->errorMessage());
    }

    // --- the person timeline ----------------------------------------------------------

    void timelineAnswerAfterAnotherPersonWasOpened_data()
    {
        QTest::addColumn<QByteArray>("held");
        QTest::addColumn<bool>("pagingBack"); // A is shown and its older page is held
        QTest::newRow("newest page of A") << QByteArray("/api/people/a@example.com/timeline") << false;
        QTest::newRow("older page of A") << QByteArray("/api/people/a@example.com/timeline?before=500") << true;
    }
    void timelineAnswerAfterAnotherPersonWasOpened()
    {
        QFETCH(QByteArray, held);
        QFETCH(bool, pagingBack);
        FakeService service;
        routeEmptyMailbox(service);
        service.route("GET", "/api/people/a@example.com/timeline", timelineOf(u"a@example.com"_s, u"m_a1"_s, true));
        service.route(
            "GET", "/api/people/a@example.com/timeline?before=500", timelineOf(u"a@example.com"_s, u"m_a0"_s, false));
        service.route("GET", "/api/people/b@example.com/timeline", timelineOf(u"b@example.com"_s, u"m_b1"_s, false));
        Harness h(service.baseUrl());
        QVERIFY(h.saveToken(kToken));
        run(h.model->bootstrap());
        if (pagingBack)
            run(h.model->openPerson(u"a@example.com"_s));

        const std::shared_ptr<Gate> gate = service.hold("GET", held);
        auto late = pagingBack ? h.model->loadOlderPersonMessages() : h.model->openPerson(u"a@example.com"_s);
        QTRY_COMPARE(gate->arrived(), 1);
        run(h.model->openPerson(u"b@example.com"_s));
        gate->open();
        run(std::move(late));

        QCOMPARE(h.model->selectedPersonEmail(), std::optional<QString>(u"b@example.com"_s));
        QVERIFY(h.model->personTimeline());
        QCOMPARE(h.model->personTimeline()->person.email, u"b@example.com"_s);
        QCOMPARE(h.model->personTimeline()->messages.size(), 1);
        QCOMPARE(h.model->personTimeline()->messages.first().id, u"m_b1"_s);
        QVERIFY(!h.model->isLoadingOlderMessages());
    }

    // --- the reload's keep-or-drop decision -----------------------------------------

    void reloadDecidesOnlyWhileItsListIsShown()
    {
        FakeService service;
        routeEmptyMailbox(service);
        const ConversationListItem x = item(u"conv_x"_s, ConversationStatus::needsYou);
        const ConversationListItem y = item(u"conv_y"_s, ConversationStatus::done);
        service.route("GET", stateTarget(ConversationStatus::needsYou), mailState(ConversationStatus::needsYou, { x }));
        service.route("GET", stateTarget(ConversationStatus::done), mailState(ConversationStatus::done, { y }));
        service.route("GET", "/api/conversations/conv_x", detailOf(x));
        service.route("GET", "/api/conversations/conv_y", detailOf(y));
        Harness h(service.baseUrl());
        QVERIFY(h.saveToken(kToken));
        run(h.model->bootstrap());
        run(h.model->openConversation(x.id));

        // A reload has its list (X, needs you) and waits for the people.
        const std::shared_ptr<Gate> people = service.hold("GET", "/api/people");
        auto reload = h.model->refresh(true);
        QTRY_COMPARE(people->arrived(), 1);
        // Meanwhile a link opens Y under "done", whose list is still on its way.
        const std::shared_ptr<Gate> doneList = service.hold("GET", stateTarget(ConversationStatus::done));
        auto link = h.model->openTimelineConversation(y.id);
        QTRY_COMPARE(doneList->arrived(), 1);
        QCOMPARE(h.model->selectedConversationID(), std::optional<QString>(y.id));

        // The old reload must not judge Y by a list that is no longer shown.
        people->open();
        run(std::move(reload));
        QCOMPARE(h.model->selectedConversationID(), std::optional<QString>(y.id));
        QVERIFY(h.model->detail());
        QCOMPARE(h.model->detail()->id, y.id);

        doneList->open();
        run(std::move(link));
        QCOMPARE(h.model->state()->status, ConversationStatus::done);
        QCOMPARE(h.model->detail()->id, y.id);
    }

    void olderStatusListNeverReplacesTheChosenOne()
    {
        FakeService service;
        routeEmptyMailbox(service);
        const ConversationListItem n = item(u"conv_n"_s, ConversationStatus::needsYou);
        const ConversationListItem d = item(u"conv_d"_s, ConversationStatus::done);
        service.route("GET", stateTarget(ConversationStatus::needsYou), mailState(ConversationStatus::needsYou, { n }));
        service.route("GET", stateTarget(ConversationStatus::done), mailState(ConversationStatus::done, { d }));
        Harness h(service.baseUrl());
        QVERIFY(h.saveToken(kToken));
        run(h.model->bootstrap());

        const std::shared_ptr<Gate> gate = service.hold("GET", stateTarget(ConversationStatus::needsYou));
        auto slow = h.model->refresh(true);
        QTRY_COMPARE(gate->arrived(), 1);
        run(h.model->selectStatus(ConversationStatus::done));
        gate->open();
        run(std::move(slow));

        QCOMPARE(h.model->selectedStatus(), ConversationStatus::done);
        QCOMPARE(h.model->state()->status, ConversationStatus::done);
        QCOMPARE(h.model->filteredConversations().size(), 1);
        QCOMPARE(h.model->filteredConversations().first().id, d.id);
    }

    // --- failures of the follow-up reload --------------------------------------------

    void followUpReloadFailureStands_data()
    {
        QTest::addColumn<QString>("operation");
        QTest::addColumn<ConversationStatus>("reloaded"); // the list the follow-up reload asks for
        QTest::newRow("reply") << u"reply"_s << ConversationStatus::waiting;
        QTest::newRow("status change") << u"status"_s << ConversationStatus::done;
        QTest::newRow("new conversation") << u"create"_s << ConversationStatus::scheduled;
        QTest::newRow("user triage") << u"triage"_s << ConversationStatus::done;
    }
    void followUpReloadFailureStands()
    {
        QFETCH(QString, operation);
        QFETCH(ConversationStatus, reloaded);
        FakeService service;
        routeEmptyMailbox(service);
        const ConversationListItem x = item(u"conv_x"_s, ConversationStatus::needsYou);
        service.route("GET", stateTarget(ConversationStatus::needsYou), mailState(ConversationStatus::needsYou, { x }));
        service.route("GET", "/api/conversations/conv_x", detailOf(x));
        service.route("POST", "/api/conversations/conv_x/messages", ConversationMutationResponse { true });
        service.route("PUT", "/api/conversations/conv_x/status", OkResponse { true });
        service.route("POST", "/api/conversations",
            ConversationMutationResponse { true, u"conv_new"_s, {}, ConversationStatus::scheduled });
        service.route("POST", "/api/conversations/conv_x/ai/start", AiStartResponse { true, u"job_1"_s, detailOf(x) });
        ConversationDetail triaged = detailOf(x);
        triaged.status = ConversationStatus::done;
        service.route("POST", "/api/conversations/conv_x/ai/complete", AiCompleteResponse { true, triaged });
        service.route("GET", stateTarget(reloaded), 401, R"({"error":"unauthorized"})");
        const bool triage = operation == u"triage"_s;
        Harness h(service.baseUrl(), triage ? Harness::Codex::double_ : Harness::Codex::none);
        h.home.setAnswer(insightJson(u"対応不要"_s, u"done"_s));
        QVERIFY(h.saveToken(kToken));
        run(h.model->bootstrap());
        QVERIFY(h.model->isConfigured());
        run(h.model->openConversation(x.id));
        h.model->setReplyText(u"了解です。"_s);

        if (operation == u"reply"_s)
            run(h.model->sendReply());
        else if (operation == u"status"_s)
            run(h.model->setStatus(ConversationStatus::done));
        else if (operation == u"create"_s)
            QVERIFY(run(h.model->createConversation({ u"kim@example.com"_s }, u"件名"_s, u"本文"_s, std::nullopt)));
        else
            run(h.model->runAI());

        // The operation succeeded, but its reload was refused: the user is
        // signed out and is told why.
        QCOMPARE(service.count(stateTarget(reloaded)), 1);
        QVERIFY(!h.model->isConfigured());
        QCOMPARE(h.model->errorMessage(), std::optional<QString>(MailAPIError::unauthorized().description()));
    }

    // --- the schedule of a new conversation ------------------------------------------

    void unusableScheduleIsRefusedBeforeSending_data()
    {
        QTest::addColumn<QVariant>("scheduledFor");
        QTest::newRow("NaN") << QVariant(std::numeric_limits<double>::quiet_NaN());
        QTest::newRow("+infinity") << QVariant(std::numeric_limits<double>::infinity());
        QTest::newRow("-infinity") << QVariant(-std::numeric_limits<double>::infinity());
        QTest::newRow("beyond any date") << QVariant(1e300);
        QTest::newRow("just beyond a script date") << QVariant(8.64e15 + 1000);
        QTest::newRow("invalid date") << QVariant(QDateTime());
    }
    void unusableScheduleIsRefusedBeforeSending()
    {
        QFETCH(QVariant, scheduledFor);
        FakeService service;
        routeEmptyMailbox(service);
        service.route("POST", "/api/conversations", ConversationMutationResponse { true, u"conv_new"_s });
        Harness h(service.baseUrl());
        QVERIFY(h.saveToken(kToken));
        run(h.model->bootstrap());
        h.model->setComposePresented(true);

        QSignalSpy finished(h.model->operations(), &AppModelOperations::createConversationFinished);
        h.model->operations()->createConversation({ u"kim@example.com"_s }, u"件名"_s, u"本文"_s, scheduledFor);
        QTRY_COMPARE(finished.count(), 1);

        QCOMPARE(finished.first().first().toBool(), false);
        QCOMPARE(service.count("/api/conversations"), 0);
        QVERIFY(h.model->composePresented());
        QVERIFY(h.model->errorMessage());
        QVERIFY(!h.model->isSending());
    }

    // --- start-up and the refresh loop ---------------------------------------------

    void startUpIsLoadingUntilTheFirstAnswer()
    {
        FakeService service;
        routeEmptyMailbox(service);
        // An account without a mailbox: only the answer may ask for an address.
        service.route(
            "GET", stateTarget(ConversationStatus::needsYou), mailState(ConversationStatus::needsYou, {}, false));
        const std::shared_ptr<Gate> gate = service.hold("GET", stateTarget(ConversationStatus::needsYou));
        Harness h(service.baseUrl());
        QVERIFY(h.saveToken(kToken));

        QSignalSpy needsAddress(h.model.get(), &AppModel::needsAddressChanged);
        // Loading from the moment the client counts as configured, while the
        // AI conversations load and the first reload waits.
        std::optional<bool> loadingWhenConfigured;
        connect(h.model.get(), &AppModel::isConfiguredChanged, this,
            [&] { loadingWhenConfigured = h.model->isLoading() && h.model->isReloading(); });
        auto starting = h.model->bootstrap();
        QTRY_VERIFY(h.model->isConfigured());
        QCOMPARE(loadingWhenConfigured, std::optional<bool>(true));
        QTRY_COMPARE(gate->arrived(), 1);
        QVERIFY(h.model->isLoading());
        QVERIFY(!h.model->needsAddress());
        QCOMPARE(needsAddress.count(), 0);

        gate->open();
        run(std::move(starting));
        QVERIFY(!h.model->isLoading());
        QVERIFY(!h.model->isReloading());
        QVERIFY(h.model->needsAddress());
        QCOMPARE(needsAddress.count(), 1);
    }

    void unreachableServiceAtStartUpIsNotAMissingMailbox()
    {
        std::optional<QUrl> closed;
        {
            FakeService gone;
            closed = gone.baseUrl();
        }
        Harness h(*closed);
        QVERIFY(h.saveToken(kToken));
        run(h.model->bootstrap());

        QVERIFY(h.model->isConfigured());
        QVERIFY(!h.model->state());
        // Said by the banner, which stays until a reload gets through, not by
        // an alert.
        QVERIFY(h.model->isServiceUnreachable());
        QVERIFY(!h.model->errorMessage());
        QVERIFY(!h.model->isLoading());
        QVERIFY(!h.model->needsAddress());
    }

    void refreshLoopSkipsTicksWhileAReloadRuns()
    {
        FakeService service;
        routeEmptyMailbox(service);
        const std::shared_ptr<Gate> gate = service.hold("GET", stateTarget(ConversationStatus::needsYou));
        Harness h(service.baseUrl());
        QVERIFY(h.saveToken(kToken));
        AppCommands commands(*h.model, 20ms);
        auto *timer = commands.findChild<QTimer *>(u"refreshTimer"_s);
        QVERIFY(timer);
        QSignalSpy ticks(timer, &QTimer::timeout);

        // The workspace is on screen while the first load still waits.
        auto starting = h.model->bootstrap();
        commands.setRefreshLoopActive(true);
        QTRY_COMPARE(gate->arrived(), 1);
        QTRY_VERIFY(ticks.count() >= 3);
        QCOMPARE(service.count("/api/state"), 1);

        gate->open();
        run(std::move(starting));
        // Free again, the loop reloads on its next tick.
        QTRY_VERIFY(service.count("/api/state") >= 2);
        commands.setRefreshLoopActive(false);
        QTRY_VERIFY(!h.model->isReloading());
    }
};

QTEST_MAIN(TestLateAnswers)
#include "test_lateanswers.moc"
