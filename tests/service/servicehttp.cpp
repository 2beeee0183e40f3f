#include "servicehttp.h"

#include "core/blocking.h"

#include <QCoroNetworkReply>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>

#include <memory>

namespace quarn::test {

QJsonObject HttpAnswer::json() const
{
    return QJsonDocument::fromJson(body).object();
}

bool HttpAnswer::isErrorShape() const
{
    const QJsonObject object = json();
    return object.value(QStringLiteral("error")).isString() && object.value(QStringLiteral("message")).isString()
        && !object.value(QStringLiteral("message")).toString().isEmpty();
}

QCoro::Task<HttpAnswer> sendRaw(QNetworkAccessManager &network, QByteArray method, QUrl url, QString token,
    std::optional<QByteArray> body, QByteArray contentType)
{
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    request.setTransferTimeout(20000);
    if (!token.isEmpty())
        request.setRawHeader("Authorization", "Bearer " + token.toUtf8());
    if (body && !contentType.isEmpty())
        request.setHeader(QNetworkRequest::ContentTypeHeader, contentType);
    std::unique_ptr<QNetworkReply> reply(
        body ? network.sendCustomRequest(request, method, *body) : network.sendCustomRequest(request, method));
    co_await reply.get();
    HttpAnswer answer;
    answer.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    answer.body = reply->readAll();
    for (const auto &[name, value] : reply->rawHeaderPairs())
        answer.headers.insert(name.toLower(), value);
    co_return answer;
}

HttpAnswer callRaw(QNetworkAccessManager &network, const QByteArray &method, const QUrl &url, const QString &token,
    const std::optional<QByteArray> &body, const QByteArray &contentType)
{
    auto task = sendRaw(network, method, url, token, body, contentType);
    return blockOn(std::move(task), std::chrono::seconds(30));
}

} // namespace quarn::test
