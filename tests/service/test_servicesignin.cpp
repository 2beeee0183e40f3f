// The client's browser sign-in against the reference service: the page the
// browser would show, its Allow and Deny buttons, and the code exchange with
// PKCE, with nothing scripted in between.

#include "account/quarnaccountauthorization.h"
#include "core/blocking.h"
#include "servicehttp.h"
#include "support/referenceservice.h"

#include <QNetworkAccessManager>
#include <QRegularExpression>
#include <QTest>
#include <QUrlQuery>

using namespace quarn;
using namespace quarn::test;
using namespace Qt::StringLiterals;

namespace {

QString htmlUnescape(QString s)
{
    s.replace(u"&quot;"_s, u"\""_s).replace(u"&#39;"_s, u"'"_s).replace(u"&lt;"_s, u"<"_s).replace(u"&gt;"_s, u">"_s);
    return s.replace(u"&amp;"_s, u"&"_s);
}

} // namespace

class TestServiceSignIn : public QObject
{
    Q_OBJECT

private:
    ReferenceService m_service;
    QNetworkAccessManager m_network;

    /// The build's fixed sign-in URLs point at port 8787; this service runs elsewhere.
    QUrl onService(QUrl url) const
    {
        url.setPort(m_service.port());
        return url;
    }

    QuarnAccountAuthorization authorization() const
    {
        return QuarnAccountAuthorization([this](HttpRequest request) -> QCoro::Task<HttpResponse> {
            request.request.setUrl(onService(request.request.url()));
            auto task = QuarnAccountAuthorization::sendThroughNetwork(std::move(request));
            co_return co_await std::move(task);
        });
    }

    /// Opens the page as a browser would, presses one of its buttons and
    /// answers where the service sends the browser.
    QUrl press(const PendingSignIn &pending, const QString &decision)
    {
        const HttpAnswer page = callRaw(m_network, "GET", onService(pending.authorizationURL));
        if (page.status != 200)
            return {};
        QUrlQuery form;
        static const QRegularExpression hidden(u"<input type=\"hidden\" name=\"([a-z_]+)\" value=\"([^\"]*)\">"_s);
        for (auto it = hidden.globalMatch(QString::fromUtf8(page.body)); it.hasNext();) {
            const auto match = it.next();
            form.addQueryItem(match.captured(1), htmlUnescape(match.captured(2)));
        }
        form.addQueryItem(u"decision"_s, decision);
        QByteArray body;
        for (const auto &[name, value] : form.queryItems(QUrl::FullyDecoded))
            body += (body.isEmpty() ? "" : "&") + QUrl::toPercentEncoding(name) + '=' + QUrl::toPercentEncoding(value);
        const HttpAnswer answer
            = callRaw(m_network, "POST", QUrl(m_service.baseUrl().toString() + u"/auth/oauth/authorize"_s), {}, body,
                "application/x-www-form-urlencoded");
        if (answer.status != 302)
            return {};
        return QUrl(QString::fromUtf8(answer.headers.value("location")));
    }

    std::optional<QuarnAccountAuthorization::Failure> failure(const QUrl &callback, const PendingSignIn &pending)
    {
        try {
            blockOn(authorization().completeSignIn(callback, pending), std::chrono::seconds(30));
        } catch (const QuarnAccountAuthorization::Failure &f) {
            return f;
        }
        return std::nullopt;
    }

private Q_SLOTS:
    void initTestCase() { QVERIFY2(m_service.start(), qPrintable(m_service.errorString())); }
    void cleanupTestCase() { m_network.clearConnectionCache(); }

    void allowedSignInYieldsAWorkingToken()
    {
        const PendingSignIn pending = authorization().beginSignIn();
        const QUrl callback = press(pending, u"allow"_s);
        QVERIFY(QuarnAccountAuthorization::isAuthorizationCallback(callback));

        const QString token = blockOn(authorization().completeSignIn(callback, pending), std::chrono::seconds(30));
        QVERIFY(QRegularExpression(u"^tok_mail_[A-Za-z0-9_-]{43}$"_s).match(token).hasMatch());
        const HttpAnswer people
            = callRaw(m_network, "GET", QUrl(m_service.baseUrl().toString() + u"/api/people"_s), token);
        QCOMPARE(people.status, 200);

        // The same callback again: the code is spent, and its token with it.
        const auto replay = failure(callback, pending);
        QVERIFY(replay);
        QCOMPARE(*replay, QuarnAccountAuthorization::Failure::rejected(u"invalid_grant"_s));
        QCOMPARE(callRaw(m_network, "GET", QUrl(m_service.baseUrl().toString() + u"/api/people"_s), token).status, 401);
    }

    void deniedSignInIsDeclined()
    {
        const PendingSignIn pending = authorization().beginSignIn();
        const QUrl callback = press(pending, u"deny"_s);
        QVERIFY(callback.isValid());
        const auto declined = failure(callback, pending);
        QVERIFY(declined);
        QCOMPARE(declined->kind(), QuarnAccountAuthorization::Failure::Kind::declined);
    }

    void callbackOfAnotherSignInIsRefused()
    {
        // The code of one sign-in exchanged with another's verifier: the
        // state check stops it in the client, and the verifier check in the
        // service would too.
        const PendingSignIn first = authorization().beginSignIn();
        const PendingSignIn second = authorization().beginSignIn();
        const QUrl callback = press(first, u"allow"_s);
        const auto mismatch = failure(callback, second);
        QVERIFY(mismatch);
        QCOMPARE(mismatch->kind(), QuarnAccountAuthorization::Failure::Kind::stateMismatch);

        PendingSignIn forged = first;
        forged.codeVerifier = second.codeVerifier;
        const auto wrongVerifier = failure(callback, forged);
        QVERIFY(wrongVerifier);
        QCOMPARE(*wrongVerifier, QuarnAccountAuthorization::Failure::rejected(u"invalid_grant"_s));
    }
};

QTEST_GUILESS_MAIN(TestServiceSignIn)
#include "test_servicesignin.moc"
