#pragma once

#include <QByteArray>
#include <QCoroTask>
#include <QJsonObject>
#include <QMap>
#include <QString>
#include <QUrl>

#include <optional>

class QNetworkAccessManager;

namespace quarn::test {

/// One HTTP answer as the service sent it.
struct HttpAnswer
{
    int status = 0;
    QByteArray body;
    /// Header names in lower case.
    QMap<QByteArray, QByteArray> headers;

    /// The body as a JSON object (empty when it is not one).
    [[nodiscard]] QJsonObject json() const;
    /// Whether the body is the service's one error shape: an object with the
    /// texts "error" and a non-empty "message".
    [[nodiscard]] bool isErrorShape() const;
    [[nodiscard]] QString errorCode() const { return json().value(QStringLiteral("error")).toString(); }
};

/// Sends one request without any client library: the exact bytes a test wants,
/// redirects not followed. `token` becomes "Authorization: Bearer <token>".
QCoro::Task<HttpAnswer> sendRaw(QNetworkAccessManager &network, QByteArray method, QUrl url, QString token = {},
    std::optional<QByteArray> body = std::nullopt, QByteArray contentType = "application/json");

/// sendRaw() run to completion (bounded).
HttpAnswer callRaw(QNetworkAccessManager &network, const QByteArray &method, const QUrl &url, const QString &token = {},
    const std::optional<QByteArray> &body = std::nullopt, const QByteArray &contentType = "application/json");

} // namespace quarn::test
