// The reference mail service over raw HTTP: bad input, the sign-in page and
// code exchange, persistence across a restart, and many clients at once.

#include "servicehttp.h"
#include "support/referenceservice.h"

#include "core/blocking.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QUrlQuery>

#include <memory>
#include <vector>

using namespace quarn::test;
using namespace Qt::StringLiterals;

namespace {

const QString kVerifier = u"k1vS0n7Xo3bQ9mW2pL8rT5yU4cE6aD1fG0hJ3iK7lMn"_s;

QString challengeOf(const QString &verifier)
{
    return QString::fromLatin1(QCryptographicHash::hash(verifier.toUtf8(), QCryptographicHash::Sha256)
                                   .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
}

QUrlQuery authorizationQuery(const QString &state)
{
    QUrlQuery q;
    q.addQueryItem(u"client_id"_s, u"quarn-mail"_s);
    q.addQueryItem(u"redirect_uri"_s, u"quarn-mail://auth"_s);
    q.addQueryItem(u"response_type"_s, u"code"_s);
    q.addQueryItem(u"code_challenge"_s, challengeOf(kVerifier));
    q.addQueryItem(u"code_challenge_method"_s, u"S256"_s);
    q.addQueryItem(u"state"_s, state);
    q.addQueryItem(u"scope"_s, u"mail"_s);
    return q;
}

QByteArray formBody(QUrlQuery q)
{
    // Form encoding: every reserved character percent-encoded.
    QByteArray out;
    for (const auto &[name, value] : q.queryItems(QUrl::FullyDecoded)) {
        if (!out.isEmpty())
            out += '&';
        out += QUrl::toPercentEncoding(name) + '=' + QUrl::toPercentEncoding(value);
    }
    return out;
}

QByteArray tokenRequest(const QString &code, const QString &verifier = kVerifier,
    const QString &redirect = u"quarn-mail://auth"_s, const QString &client = u"quarn-mail"_s,
    const QString &grant = u"authorization_code"_s)
{
    QJsonObject o { { u"grant_type"_s, grant }, { u"code"_s, code }, { u"code_verifier"_s, verifier },
        { u"client_id"_s, client }, { u"redirect_uri"_s, redirect } };
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

} // namespace

class TestServiceProtocol : public QObject
{
    Q_OBJECT

private:
    QUrl url(const QString &pathAndQuery) const { return QUrl(m_service.baseUrl().toString() + pathAndQuery); }
    HttpAnswer get(const QString &path, const QString &token) { return callRaw(m_network, "GET", url(path), token); }
    /// Counts per status and the number of messages over all people: any
    /// half-written request would change one of them.
    QByteArray fingerprint()
    {
        const auto state = get(u"/api/state?status=inbox"_s, m_service.token()).json();
        qint64 messages = 0;
        for (const auto &p : get(u"/api/people"_s, m_service.token()).json().value(u"people"_s).toArray())
            messages += p.toObject().value(u"messageCount"_s).toInteger();
        return QJsonDocument(state.value(u"counts"_s).toObject()).toJson(QJsonDocument::Compact) + ' '
            + QByteArray::number(messages);
    }
    QString firstConversation(const QString &status)
    {
        const auto list = get(u"/api/state?status="_s + status, m_service.token()).json().value(u"conversations"_s);
        return list.toArray().first().toObject().value(u"id"_s).toString();
    }
    /// Approves the sign-in page and answers the code of the callback.
    QString approve(ReferenceService &service, const QString &state = u"st"_s)
    {
        const auto answer = callRaw(m_network, "POST", QUrl(service.baseUrl().toString() + u"/auth/oauth/authorize"_s),
            {}, formBody([&] {
                auto q = authorizationQuery(state);
                q.addQueryItem(u"decision"_s, u"allow"_s);
                return q;
            }()),
            "application/x-www-form-urlencoded");
        const QUrl location(QString::fromUtf8(answer.headers.value("location")));
        return QUrlQuery(location).queryItemValue(u"code"_s, QUrl::FullyDecoded);
    }

    ReferenceService m_service;
    QNetworkAccessManager m_network;

private Q_SLOTS:
    void initTestCase() { QVERIFY2(m_service.start(), qPrintable(m_service.errorString())); }
    // Idle keep-alive connections would hold the service's shutdown until they time out.
    void cleanupTestCase() { m_network.clearConnectionCache(); }

    void badInputGetsOneErrorShape_data()
    {
        QTest::addColumn<QByteArray>("method");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("token");
        QTest::addColumn<std::optional<QByteArray>>("body");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("code");

        const QString ok = u"valid"_s;
        const std::optional<QByteArray> none;
        using B = std::optional<QByteArray>;
        QTest::newRow("no token") << QByteArray("GET") << u"/api/state?status=inbox"_s << QString() << none << 401
                                  << u"unauthorized"_s;
        QTest::newRow("unknown token of the right form")
            << QByteArray("GET") << u"/api/people"_s << (u"tok_mail_"_s + QString(43, u'A')) << none << 401
            << u"unauthorized"_s;
        QTest::newRow("token of another form")
            << QByteArray("GET") << u"/api/people"_s << u"abc"_s << none << 401 << u"unauthorized"_s;
        QTest::newRow("status in other letter case")
            << QByteArray("GET") << u"/api/state?status=Inbox"_s << ok << none << 422 << u"invalid_status"_s;
        QTest::newRow("no status") << QByteArray("GET") << u"/api/state"_s << ok << none << 400 << u"invalid_request"_s;
        QTest::newRow("malformed JSON") << QByteArray("POST") << u"/api/conversations"_s << ok << B("{\"to\":") << 400
                                        << u"invalid_json"_s;
        QTest::newRow("array instead of object")
            << QByteArray("POST") << u"/api/conversations"_s << ok << B("[]") << 400 << u"invalid_json"_s;
        QTest::newRow("to is a text") << QByteArray("POST") << u"/api/conversations"_s << ok
                                      << B(R"({"to":"a@example.com","subject":"s","body":"b"})") << 400
                                      << u"invalid_request"_s;
        QTest::newRow("to holds a number")
            << QByteArray("POST") << u"/api/conversations"_s << ok << B(R"({"to":[1],"subject":"s","body":"b"})") << 400
            << u"invalid_request"_s;
        QTest::newRow("fractional schedule")
            << QByteArray("POST") << u"/api/conversations"_s << ok
            << B(R"({"to":["a@example.com"],"subject":"s","body":"b","scheduledFor":1.5})") << 400
            << u"invalid_request"_s;
        QTest::newRow("schedule as text")
            << QByteArray("POST") << u"/api/conversations"_s << ok
            << B(R"({"to":["a@example.com"],"subject":"s","body":"b","scheduledFor":"1000"})") << 400
            << u"invalid_request"_s;
        QTest::newRow("blank body") << QByteArray("POST") << u"/api/conversations"_s << ok
                                    << B(R"({"to":["a@example.com"],"subject":"s","body":" \n "})") << 422
                                    << u"empty_body"_s;
        QTest::newRow("invalid recipient")
            << QByteArray("POST") << u"/api/conversations"_s << ok
            << B(R"({"to":["not an address"],"subject":"s","body":"b"})") << 422 << u"invalid_recipient"_s;
        QTest::newRow("unknown status") << QByteArray("PUT") << u"/api/conversations/{conv}/status"_s << ok
                                        << B(R"({"status":"archived"})") << 422 << u"invalid_status"_s;
        QTest::newRow("service-only status") << QByteArray("PUT") << u"/api/conversations/{conv}/status"_s << ok
                                             << B(R"({"status":"scheduled"})") << 422 << u"status_not_selectable"_s;
        QTest::newRow("status as number") << QByteArray("PUT") << u"/api/conversations/{conv}/status"_s << ok
                                          << B(R"({"status":3})") << 400 << u"invalid_request"_s;
        QTest::newRow("reply without body") << QByteArray("POST") << u"/api/conversations/{conv}/messages"_s << ok
                                            << B("{}") << 400 << u"invalid_request"_s;
        QTest::newRow("deep nesting") << QByteArray("POST") << u"/api/conversations/{conv}/messages"_s << ok
                                      << B("{\"body\":" + QByteArray(5000, '[') + QByteArray(5000, ']') + "}") << 400
                                      << u"invalid_json"_s;
        QTest::newRow("oversized body") << QByteArray("POST") << u"/api/conversations/{conv}/messages"_s << ok
                                        << B("{\"body\":\"" + QByteArray(2 * 1024 * 1024, 'x') + "\"}") << 413
                                        << u"payload_too_large"_s;
        QTest::newRow("path climbing") << QByteArray("GET") << u"/api/conversations/..%2F..%2Fetc%2Fpasswd"_s << ok
                                       << none << 404 << u"not_found"_s;
        QTest::newRow("NUL in id") << QByteArray("GET") << u"/api/conversations/conv_%00x"_s << ok << none << 404
                                   << u"not_found"_s;
        QTest::newRow("id not UTF-8") << QByteArray("GET") << u"/api/conversations/%FF%FE"_s << ok << none << 404
                                      << u"not_found"_s;
        QTest::newRow("quote in id") << QByteArray("GET") << u"/api/conversations/conv_x%27%20OR%20%271%27%3D%271"_s
                                     << ok << none << 404 << u"not_found"_s;
        QTest::newRow("long id") << QByteArray("GET") << (u"/api/conversations/"_s + QString(5000, u'a')) << ok << none
                                 << 404 << u"not_found"_s;
        QTest::newRow("cursor not a number")
            << QByteArray("GET") << u"/api/people/ken.sato%40example.co.jp/timeline?before=12abc"_s << ok << none << 400
            << u"invalid_request"_s;
        QTest::newRow("cursor overflows")
            << QByteArray("GET") << u"/api/people/ken.sato%40example.co.jp/timeline?before=99999999999999999999"_s << ok
            << none << 400 << u"invalid_request"_s;
        QTest::newRow("unknown person") << QByteArray("GET") << u"/api/people/nobody%40example.com/timeline"_s << ok
                                        << none << 404 << u"not_found"_s;
        QTest::newRow("unknown route") << QByteArray("GET") << u"/api/nothing"_s << ok << none << 404 << u"not_found"_s;
        QTest::newRow("completion without risk")
            << QByteArray("POST") << u"/api/conversations/{conv}/ai/complete"_s << ok
            << B(R"({"jobId":"job_x","summary":"s","suggestedStatus":"done"})") << 400 << u"invalid_request"_s;
        QTest::newRow("AI start with an array") << QByteArray("POST") << u"/api/conversations/{conv}/ai/start"_s << ok
                                                << B("[]") << 400 << u"invalid_json"_s;
        QTest::newRow("unknown job") << QByteArray("POST") << u"/api/conversations/{conv}/ai/fail"_s << ok
                                     << B(R"({"jobId":"job_unknown","errorCode":"codex_failed"})") << 409
                                     << u"job_not_open"_s;
        QTest::newRow("mailbox with a number")
            << QByteArray("POST") << u"/api/mailbox"_s << ok << B(R"({"localPart":1,"displayName":"x"})") << 400
            << u"invalid_request"_s;
        QTest::newRow("token request not JSON") << QByteArray("POST") << u"/api/auth/oauth/token"_s << QString()
                                                << B("grant_type=authorization_code") << 400 << u"invalid_json"_s;
    }

    void badInputGetsOneErrorShape()
    {
        QFETCH(QByteArray, method);
        QFETCH(QString, path);
        QFETCH(QString, token);
        QFETCH(std::optional<QByteArray>, body);
        QFETCH(int, status);
        QFETCH(QString, code);

        path.replace(u"{conv}"_s, firstConversation(u"inbox"_s));
        if (token == u"valid"_s)
            token = m_service.token();
        const QByteArray before = fingerprint();
        const HttpAnswer answer = callRaw(m_network, method, url(path), token, body);
        QCOMPARE(answer.status, status);
        QVERIFY2(answer.isErrorShape(), answer.body.left(200).constData());
        QCOMPARE(answer.errorCode(), code);
        QVERIFY(answer.headers.value("content-type").startsWith("application/json"));
        QCOMPARE(fingerprint(), before);
    }

    void signInIssuesAWorkingTokenOnce()
    {
        const QString hostile = u"\"><script>alert(1)</script>"_s;
        const auto page = callRaw(m_network, "GET",
            url(u"/auth/oauth/authorize?"_s + authorizationQuery(hostile).toString(QUrl::FullyEncoded)));
        QCOMPARE(page.status, 200);
        QVERIFY(page.headers.value("content-type").startsWith("text/html"));
        QVERIFY(!page.body.contains("<script>alert"));
        QVERIFY(page.body.contains("&lt;script&gt;"));
        QVERIFY(page.body.contains("value=\"allow\""));
        QVERIFY(page.body.contains("value=\"deny\""));

        const auto allowed = callRaw(m_network, "POST", url(u"/auth/oauth/authorize"_s), {}, formBody([&] {
            auto q = authorizationQuery(hostile);
            q.addQueryItem(u"decision"_s, u"allow"_s);
            return q;
        }()),
            "application/x-www-form-urlencoded");
        QCOMPARE(allowed.status, 302);
        const QUrl callback(QString::fromUtf8(allowed.headers.value("location")));
        QCOMPARE(callback.scheme(), u"quarn-mail"_s);
        QCOMPARE(callback.host(), u"auth"_s);
        const QUrlQuery query(callback);
        QCOMPARE(query.queryItemValue(u"state"_s, QUrl::FullyDecoded), hostile);
        const QString code = query.queryItemValue(u"code"_s, QUrl::FullyDecoded);
        QVERIFY(!code.isEmpty());

        const auto exchanged = callRaw(m_network, "POST", url(u"/api/auth/oauth/token"_s), {}, tokenRequest(code));
        QCOMPARE(exchanged.status, 200);
        const QString token = exchanged.json().value(u"access_token"_s).toString();
        QVERIFY(QRegularExpression(u"^tok_mail_[A-Za-z0-9_-]{43}$"_s).match(token).hasMatch());
        QCOMPARE(get(u"/api/people"_s, token).status, 200);

        // A replayed code is refused, and the token its first use produced is
        // revoked: the code has leaked.
        const auto replay = callRaw(m_network, "POST", url(u"/api/auth/oauth/token"_s), {}, tokenRequest(code));
        QCOMPARE(replay.status, 400);
        QCOMPARE(replay.errorCode(), u"invalid_grant"_s);
        QCOMPARE(get(u"/api/people"_s, token).status, 401);
    }

    void authorizationRequestChecks_data()
    {
        QTest::addColumn<QString>("parameter");
        QTest::addColumn<QString>("value");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("callbackError");

        // An unknown client or return address gets a page, never a redirect.
        QTest::newRow("unknown client") << u"client_id"_s << u"other-app"_s << 400 << QString();
        QTest::newRow("foreign return address")
            << u"redirect_uri"_s << u"https://evil.example/cb"_s << 400 << QString();
        QTest::newRow("implicit flow") << u"response_type"_s << u"token"_s << 302 << u"unsupported_response_type"_s;
        QTest::newRow("plain challenge") << u"code_challenge_method"_s << u"plain"_s << 302 << u"invalid_request"_s;
        QTest::newRow("short challenge") << u"code_challenge"_s << u"abc"_s << 302 << u"invalid_request"_s;
        QTest::newRow("other scope") << u"scope"_s << u"admin"_s << 302 << u"invalid_scope"_s;
        QTest::newRow("denied") << u"decision"_s << u"deny"_s << 302 << u"access_denied"_s;
    }

    void authorizationRequestChecks()
    {
        QFETCH(QString, parameter);
        QFETCH(QString, value);
        QFETCH(int, status);
        QFETCH(QString, callbackError);

        QUrlQuery q = authorizationQuery(u"s1"_s);
        q.removeQueryItem(parameter);
        q.addQueryItem(parameter, value);
        if (parameter != u"decision"_s)
            q.addQueryItem(u"decision"_s, u"allow"_s);
        const auto answer = callRaw(
            m_network, "POST", url(u"/auth/oauth/authorize"_s), {}, formBody(q), "application/x-www-form-urlencoded");
        QCOMPARE(answer.status, status);
        if (callbackError.isEmpty()) {
            QVERIFY(!answer.headers.contains("location"));
            return;
        }
        const QUrlQuery callback(QUrl(QString::fromUtf8(answer.headers.value("location"))));
        QCOMPARE(callback.queryItemValue(u"error"_s), callbackError);
        QCOMPARE(callback.queryItemValue(u"state"_s), u"s1"_s);
        QVERIFY(!callback.hasQueryItem(u"code"_s));
    }

    void tokenExchangeRefusals_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QString>("error");

        QTest::newRow("other verifier") << tokenRequest(u"{code}"_s, u"x"_s.repeated(43)) << u"invalid_grant"_s;
        QTest::newRow("verifier too short") << tokenRequest(u"{code}"_s, u"abc"_s) << u"invalid_grant"_s;
        QTest::newRow("other return address")
            << tokenRequest(u"{code}"_s, kVerifier, u"quarn-mail://other"_s) << u"invalid_grant"_s;
        QTest::newRow("other client") << tokenRequest(u"{code}"_s, kVerifier, u"quarn-mail://auth"_s, u"x"_s)
                                      << u"invalid_client"_s;
        QTest::newRow("other grant") << tokenRequest(u"{code}"_s, kVerifier, u"quarn-mail://auth"_s, u"quarn-mail"_s,
            u"password"_s) << u"unsupported_grant_type"_s;
        QTest::newRow("unknown code") << tokenRequest(u"not-a-code"_s) << u"invalid_grant"_s;
        QJsonObject missing = QJsonDocument::fromJson(tokenRequest(u"{code}"_s)).object();
        missing.remove(u"code_verifier"_s);
        QTest::newRow("missing verifier")
            << QJsonDocument(missing).toJson(QJsonDocument::Compact) << u"invalid_request"_s;
    }

    void tokenExchangeRefusals()
    {
        QFETCH(QByteArray, request);
        QFETCH(QString, error);

        const QString code = approve(m_service);
        QVERIFY(!code.isEmpty());
        request.replace("{code}", code.toUtf8());
        const auto answer = callRaw(m_network, "POST", url(u"/api/auth/oauth/token"_s), {}, request);
        QCOMPARE(answer.status, 400);
        QVERIFY(answer.isErrorShape());
        QCOMPARE(answer.errorCode(), error);
        QVERIFY(!answer.json().contains(u"access_token"_s));
    }

    void failedExchangeSpendsTheCode()
    {
        const QString code = approve(m_service);
        const auto wrong
            = callRaw(m_network, "POST", url(u"/api/auth/oauth/token"_s), {}, tokenRequest(code, u"y"_s.repeated(43)));
        QCOMPARE(wrong.status, 400);
        // Guessing verifiers one by one gets nowhere: the right one now fails too.
        const auto right = callRaw(m_network, "POST", url(u"/api/auth/oauth/token"_s), {}, tokenRequest(code));
        QCOMPARE(right.status, 400);
        QCOMPARE(right.errorCode(), u"invalid_grant"_s);
    }

    void expiredCodeIsRefused()
    {
        ReferenceService service(ReferenceService::Data::Empty);
        service.setServeArguments({ u"--code-lifetime"_s, u"0"_s });
        QVERIFY2(service.start(), qPrintable(service.errorString()));
        const QString code = approve(service);
        QVERIFY(!code.isEmpty());
        const auto answer = callRaw(
            m_network, "POST", QUrl(service.baseUrl().toString() + u"/api/auth/oauth/token"_s), {}, tokenRequest(code));
        QCOMPARE(answer.status, 400);
        QCOMPARE(answer.errorCode(), u"invalid_grant"_s);
        m_network.clearConnectionCache();
    }

    void dataSurvivesRestart()
    {
        ReferenceService service(ReferenceService::Data::Empty);
        QVERIFY2(service.start(), qPrintable(service.errorString()));
        const QString base = service.baseUrl().toString();
        QCOMPARE(callRaw(m_network, "POST", QUrl(base + u"/api/mailbox"_s), service.token(),
                     QByteArray(R"({"localPart":"keeper","displayName":"保存 テスト"})"))
                     .status,
            200);
        const auto created = callRaw(m_network, "POST", QUrl(base + u"/api/conversations"_s), service.token(),
            QByteArray(R"({"to":["friend@example.com"],"subject":"残るはず","body":"本文"})"));
        QCOMPARE(created.status, 200);
        const QString id = created.json().value(u"conversationId"_s).toString();

        // Idle keep-alive connections would hold the shutdown until they time out.
        m_network.clearConnectionCache();
        QVERIFY2(service.stop(), "the service did not end cleanly on SIGTERM");
        QVERIFY2(service.start(), qPrintable(service.errorString()));
        const auto detail = callRaw(
            m_network, "GET", QUrl(service.baseUrl().toString() + u"/api/conversations/"_s + id), service.token());
        QCOMPARE(detail.status, 200);
        QCOMPARE(detail.json().value(u"subject"_s).toString(), u"残るはず"_s);
        QCOMPARE(detail.json().value(u"messages"_s).toArray().size(), 1);
        const auto state = callRaw(
            m_network, "GET", QUrl(service.baseUrl().toString() + u"/api/state?status=waiting"_s), service.token());
        QCOMPARE(state.json().value(u"mailbox"_s).toObject().value(u"address"_s).toString(),
            u"keeper@"_s + service.mailDomain());
    }

    void secondServiceOnTheSamePortIsRefused()
    {
        // Two services sharing a port would split the requests between two databases.
        QTemporaryDir dir;
        QProcess second;
        second.start(ReferenceService::executablePath(),
            { u"serve"_s, u"--db"_s, dir.filePath(u"other.sqlite"_s), u"--port"_s, QString::number(m_service.port()) });
        QVERIFY(second.waitForFinished(10000));
        QCOMPARE(second.exitCode(), 1);
        QCOMPARE(get(u"/api/people"_s, m_service.token()).status, 200);
    }

    void concurrentClientsLeaveConsistentData()
    {
        ReferenceService service(ReferenceService::Data::Empty);
        QVERIFY2(service.start(), qPrintable(service.errorString()));
        const QString base = service.baseUrl().toString();
        const QString token = service.token();
        QCOMPARE(callRaw(m_network, "POST", QUrl(base + u"/api/mailbox"_s), token,
                     QByteArray(R"({"localPart":"busy","displayName":"Busy"})"))
                     .status,
            200);

        constexpr int kClients = 4;
        constexpr int kPerClient = 6;
        std::vector<std::unique_ptr<QNetworkAccessManager>> clients;
        for (int i = 0; i < kClients; ++i)
            clients.push_back(std::make_unique<QNetworkAccessManager>());
        const auto awaitAll = [](std::vector<QCoro::Task<HttpAnswer>> tasks) -> QCoro::Task<QList<HttpAnswer>> {
            QList<HttpAnswer> answers;
            for (auto &task : tasks)
                answers.append(co_await std::move(task));
            co_return answers;
        };

        // Wave 1: every client creates conversations at the same time.
        std::vector<QCoro::Task<HttpAnswer>> creates;
        for (int c = 0; c < kClients; ++c) {
            for (int i = 0; i < kPerClient; ++i) {
                const QByteArray body
                    = QStringLiteral(R"({"to":["p%1x%2@example.com"],"subject":"並行 %1-%2","body":"b"})")
                          .arg(c)
                          .arg(i)
                          .toUtf8();
                creates.push_back(sendRaw(*clients[c], "POST", QUrl(base + u"/api/conversations"_s), token, body));
            }
        }
        auto createTask = awaitAll(std::move(creates));
        const QList<HttpAnswer> created = quarn::blockOn(std::move(createTask), std::chrono::seconds(60));
        QStringList ids;
        for (const auto &answer : created) {
            QCOMPARE(answer.status, 200);
            ids << answer.json().value(u"conversationId"_s).toString();
        }
        QCOMPARE(QSet<QString>(ids.begin(), ids.end()).size(), kClients * kPerClient);

        // Wave 2: two replies to each, half of them marked done, with reads in between.
        std::vector<QCoro::Task<HttpAnswer>> mutations;
        for (int i = 0; i < ids.size(); ++i) {
            auto &client = *clients[i % kClients];
            const QUrl conversation(base + u"/api/conversations/"_s + ids[i]);
            for (int r = 0; r < 2; ++r)
                mutations.push_back(sendRaw(client, "POST", QUrl(conversation.toString() + u"/messages"_s), token,
                    QByteArray(R"({"body":"返信"})")));
            mutations.push_back(sendRaw(client, "GET", QUrl(base + u"/api/state?status=waiting"_s), token));
        }
        auto mutationTask = awaitAll(std::move(mutations));
        for (const auto &answer : quarn::blockOn(std::move(mutationTask), std::chrono::seconds(60)))
            QCOMPARE(answer.status, 200);
        std::vector<QCoro::Task<HttpAnswer>> statuses;
        for (int i = 0; i < ids.size(); i += 2)
            statuses.push_back(
                sendRaw(*clients[i % kClients], "PUT", QUrl(base + u"/api/conversations/"_s + ids[i] + u"/status"_s),
                    token, QByteArray(R"({"status":"done"})")));
        auto statusTask = awaitAll(std::move(statuses));
        for (const auto &answer : quarn::blockOn(std::move(statusTask), std::chrono::seconds(60)))
            QCOMPARE(answer.status, 200);

        // The counters agree with the rows, and every conversation holds
        // exactly its three messages.
        qint64 listed = 0;
        QJsonObject counts;
        for (const QString &status :
            { u"needs_you"_s, u"ai_working"_s, u"waiting"_s, u"scheduled"_s, u"inbox"_s, u"done"_s }) {
            const auto state = callRaw(m_network, "GET", QUrl(base + u"/api/state?status="_s + status), token).json();
            counts = state.value(u"counts"_s).toObject();
            const auto rows = state.value(u"conversations"_s).toArray();
            QCOMPARE(rows.size(), counts.value(status).toInteger());
            listed += rows.size();
        }
        QCOMPARE(listed, qint64(ids.size()));
        QCOMPARE(counts.value(u"done"_s).toInteger(), qint64(ids.size() / 2));
        QCOMPARE(counts.value(u"waiting"_s).toInteger(), qint64(ids.size() - ids.size() / 2));
        const auto people = callRaw(m_network, "GET", QUrl(base + u"/api/people"_s), token).json();
        const auto list = people.value(u"people"_s).toArray();
        QCOMPARE(list.size(), ids.size());
        for (const auto &p : list)
            QCOMPARE(p.toObject().value(u"messageCount"_s).toInteger(), 3);
        for (const auto &id : ids) {
            const auto detail = callRaw(m_network, "GET", QUrl(base + u"/api/conversations/"_s + id), token).json();
            QCOMPARE(detail.value(u"messages"_s).toArray().size(), 3);
        }
        clients.clear();
        m_network.clearConnectionCache();
    }
};

QTEST_GUILESS_MAIN(TestServiceProtocol)
#include "test_serviceprotocol.moc"
