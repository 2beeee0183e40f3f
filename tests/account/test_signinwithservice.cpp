#include "account/devicecredentialstore.h"
#include "account/quarnaccountauthorization.h"
#include "core/blocking.h"
#include "support/referenceservice.h"

#include <QCoroNetworkReply>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTemporaryDir>
#include <QTest>
#include <QUrlQuery>

#include <chrono>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
using Authorization = quarn::QuarnAccountAuthorization;
using FailureKind = Authorization::Failure::Kind;

namespace {

/// `url` with the reference service's host and port: the build's sign-in
/// URLs name a fixed port, the test's service listens on a free one.
QUrl onService(QUrl url, const quarn::test::ReferenceService &service)
{
    url.setHost(service.baseUrl().host());
    url.setPort(service.baseUrl().port());
    return url;
}

/// The real network transport, aimed at the running service.
Authorization::Transport transportTo(const quarn::test::ReferenceService &service)
{
    const QUrl base = service.baseUrl();
    return [base](quarn::HttpRequest request) {
        QUrl url = request.request.url();
        url.setHost(base.host());
        url.setPort(base.port());
        request.request.setUrl(url);
        return Authorization::sendThroughNetwork(std::move(request));
    };
}

/// What the browser does on the sign-in page: submit the form with the
/// authorization URL's items and the user's decision, and follow nothing.
/// Answers the redirect's Location (the quarn-mail://auth callback).
QCoro::Task<QUrl> decide(QUrl authorizationURL, QString decision)
{
    QUrlQuery form(authorizationURL);
    form.addQueryItem(u"decision"_s, decision);
    authorizationURL.setQuery(QString());
    QNetworkRequest request(authorizationURL);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/x-www-form-urlencoded"));
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    QNetworkAccessManager manager;
    const QByteArray body = form.toString(QUrl::FullyEncoded).toUtf8();
    std::unique_ptr<QNetworkReply> reply(manager.post(request, body));
    co_await reply.get();
    co_return QUrl(QString::fromUtf8(reply->rawHeader("Location")));
}

QCoro::Task<int> statusOfStateRequest(QUrl url, QString token)
{
    QNetworkRequest request(url);
    request.setRawHeader("Authorization", "Bearer " + token.toUtf8());
    QNetworkAccessManager manager;
    std::unique_ptr<QNetworkReply> reply(manager.get(request));
    co_await reply.get();
    co_return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
}

std::optional<FailureKind> failureOf(const Authorization &authorization, const QUrl &callback,
    const quarn::PendingSignIn &pending, QString *reason = nullptr)
{
    try {
        (void)quarn::blockOn(authorization.completeSignIn(callback, pending), 20s);
    } catch (const Authorization::Failure &f) {
        if (reason)
            *reason = f.reason();
        return f.kind();
    }
    return std::nullopt;
}

} // namespace

class TestSignInWithService : public QObject
{
    Q_OBJECT

    quarn::test::ReferenceService m_service;

private Q_SLOTS:
    void initTestCase() { QVERIFY2(m_service.start(), qPrintable(m_service.errorString())); }

    void signInExchangesTheCodeForAWorkingToken()
    {
        const Authorization authorization(transportTo(m_service));
        const quarn::PendingSignIn pending = authorization.beginSignIn();

        const QUrl callback = quarn::blockOn(decide(onService(pending.authorizationURL, m_service), u"allow"_s), 20s);
        QVERIFY2(Authorization::isAuthorizationCallback(callback), qPrintable(callback.toString()));
        QCOMPARE(QUrlQuery(callback).queryItemValue(u"state"_s), pending.state);

        const QString token = quarn::blockOn(authorization.completeSignIn(callback, pending), 20s);
        QVERIFY(quarn::DeviceCredentialStore::isValidToken(token));

        QTemporaryDir dir;
        const quarn::DeviceCredentialStore store(dir.path() + u"/Quarn Mail"_s);
        store.save(token);
        QCOMPARE(store.load(), std::optional(token));

        const QUrl state = onService(QUrl(u"http://127.0.0.1/api/state?status=inbox"_s), m_service);
        QCOMPARE(quarn::blockOn(statusOfStateRequest(state, token), 20s), 200);

        // A code is good for one exchange only.
        QString reason;
        QCOMPARE(failureOf(authorization, callback, pending, &reason), std::optional(FailureKind::rejected));
        QCOMPARE(reason, u"invalid_grant"_s);
    }

    void codeWithAnotherVerifierIsRejected()
    {
        const Authorization authorization(transportTo(m_service));
        const quarn::PendingSignIn pending = authorization.beginSignIn();
        const QUrl callback = quarn::blockOn(decide(onService(pending.authorizationURL, m_service), u"allow"_s), 20s);

        quarn::PendingSignIn forged = pending;
        forged.codeVerifier = authorization.beginSignIn().codeVerifier;
        QString reason;
        QCOMPARE(failureOf(authorization, callback, forged, &reason), std::optional(FailureKind::rejected));
        QCOMPARE(reason, u"invalid_grant"_s);
    }

    void deniedSignInIsDeclined()
    {
        const Authorization authorization(transportTo(m_service));
        const quarn::PendingSignIn pending = authorization.beginSignIn();
        const QUrl callback = quarn::blockOn(decide(onService(pending.authorizationURL, m_service), u"deny"_s), 20s);
        QCOMPARE(failureOf(authorization, callback, pending), std::optional(FailureKind::declined));
    }
};

QTEST_GUILESS_MAIN(TestSignInWithService)
#include "test_signinwithservice.moc"
