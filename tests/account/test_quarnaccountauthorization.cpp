#include "account/quarnaccountauthorization.h"
#include "core/blocking.h"

#include <QCoroTimer>
#include <QCryptographicHash>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>
#include <QUrlQuery>

#include <nlohmann/json.hpp>

#include <chrono>
#include <memory>
#include <stdexcept>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
using Authorization = quarn::QuarnAccountAuthorization;
using Failure = Authorization::Failure;
using FailureKind = Failure::Kind;

namespace {

const QString kState = u"c3RhdGUtb2YtdGhlLXBlbmRpbmctc2lnbi1pbi0wMTIzNDU"_s;
const QString kVerifier = u"dmVyaWZpZXItb2YtdGhlLXBlbmRpbmctc2lnbi1pbi0wMTI"_s;
const QString kToken = u"tok_mail_0123456789abcdefghijklmnopqrstuvwxyzABCDEFG"_s;

quarn::PendingSignIn pending()
{
    return quarn::PendingSignIn { QUrl(u"http://127.0.0.1/unused"_s), kState, kVerifier };
}

/// A transport that answers from a script and remembers what it was sent.
struct ScriptedTransport
{
    struct Shared
    {
        std::optional<quarn::HttpResponse> answer;
        QList<quarn::HttpRequest> requests;
        bool suspend = false;
    };
    std::shared_ptr<Shared> shared = std::make_shared<Shared>();

    Authorization::Transport function() const
    {
        return [shared = shared](quarn::HttpRequest request) -> QCoro::Task<quarn::HttpResponse> {
            shared->requests.append(request);
            if (shared->suspend)
                co_await QCoro::sleepFor(5ms);
            if (!shared->answer)
                throw std::runtime_error("connection refused");
            co_return *shared->answer;
        };
    }
};

/// What completeSignIn ended with: the token or the failure.
struct Outcome
{
    std::optional<QString> token;
    std::optional<Failure> failure;
};

Outcome complete(const Authorization &authorization, const QUrl &callback)
{
    try {
        return { quarn::blockOn(authorization.completeSignIn(callback, pending()), 10s), std::nullopt };
    } catch (const Failure &f) {
        return { std::nullopt, f };
    }
}

QUrl callback(const QString &query)
{
    return QUrl(u"quarn-mail://auth?"_s + query);
}

QByteArray tokenAnswer(const QString &token)
{
    return QByteArray::fromStdString(nlohmann::json { { "access_token", token.toStdString() } }.dump());
}

/// A loopback HTTP server that answers every request with one scripted raw
/// answer (status line, headers and body as they go on the wire), for the
/// answers a sane service never gives.
class ScriptedServer : public QObject
{
public:
    QByteArray rawAnswer;
    QByteArray lastRequest;

    ScriptedServer()
    {
        QObject::connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = m_server.nextPendingConnection()) {
                auto buffer = std::make_shared<QByteArray>();
                QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket, buffer] {
                    buffer->append(socket->readAll());
                    const qsizetype end = buffer->indexOf("\r\n\r\n");
                    if (end < 0)
                        return;
                    qsizetype length = 0;
                    for (const QByteArray &line : buffer->left(end).split('\n')) {
                        if (line.toLower().startsWith("content-length:"))
                            length = line.mid(15).trimmed().toLongLong();
                    }
                    if (buffer->size() < end + 4 + length)
                        return;
                    lastRequest = *buffer;
                    socket->write(rawAnswer);
                    socket->disconnectFromHost();
                });
                QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            }
        });
        m_server.listen(QHostAddress::LocalHost);
    }

    [[nodiscard]] quint16 port() const { return m_server.serverPort(); }

private:
    QTcpServer m_server;
};

QByteArray httpAnswer(int status, const QByteArray &body, const QByteArray &extraHeaders = {})
{
    return "HTTP/1.1 " + QByteArray::number(status) + " Scripted\r\nContent-Type: application/json\r\n"
        + "Content-Length: " + QByteArray::number(body.size()) + "\r\n" + extraHeaders + "Connection: close\r\n\r\n"
        + body;
}

/// The real network transport, aimed at `port` on loopback instead of the
/// configured token endpoint.
Authorization::Transport networkTransportTo(quint16 port)
{
    return [port](quarn::HttpRequest request) {
        QUrl url = request.request.url();
        url.setHost(u"127.0.0.1"_s);
        url.setPort(port);
        request.request.setUrl(url);
        return Authorization::sendThroughNetwork(std::move(request));
    };
}

} // namespace

class TestQuarnAccountAuthorization : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void beginSignInDerivesVerifierStateAndChallenge()
    {
        int draws = 0;
        const Authorization authorization({}, [&draws](qsizetype count) {
            ++draws;
            return QByteArray(count, '\0');
        });
        const quarn::PendingSignIn pending = authorization.beginSignIn();

        QCOMPARE(draws, 2);
        QCOMPARE(pending.codeVerifier, pending.state);
        QCOMPARE(pending.codeVerifier, u"AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA"_s);
        const QByteArray digest = QCryptographicHash::hash(pending.codeVerifier.toUtf8(), QCryptographicHash::Sha256);
        const QString challenge
            = QString::fromLatin1(digest.toBase64()).replace(u'+', u'-').replace(u'/', u'_').remove(u'=');
        QCOMPARE(challenge.size(), 43);

        const QUrl url = pending.authorizationURL;
        const QUrl page = Authorization::authorizePageURL();
        QCOMPARE(url.scheme(), page.scheme());
        QCOMPARE(url.authority(), page.authority());
        QCOMPARE(url.path(), u"/auth/oauth/authorize"_s);
        const QList<std::pair<QString, QString>> expected = {
            { u"client_id"_s, u"quarn-mail"_s },
            { u"redirect_uri"_s, u"quarn-mail://auth"_s },
            { u"response_type"_s, u"code"_s },
            { u"code_challenge"_s, challenge },
            { u"code_challenge_method"_s, u"S256"_s },
            { u"state"_s, pending.state },
            { u"scope"_s, u"mail"_s },
        };
        QCOMPARE(QUrlQuery(url).queryItems(QUrl::FullyDecoded), expected);
    }

    void beginSignInDrawsFreshRandomness()
    {
        const Authorization authorization;
        const quarn::PendingSignIn first = authorization.beginSignIn();
        const quarn::PendingSignIn second = authorization.beginSignIn();
        QVERIFY(first.codeVerifier != first.state);
        QVERIFY(first.codeVerifier != second.codeVerifier);
        QVERIFY(first.state != second.state);
        static const QRegularExpression form(u"^[A-Za-z0-9_-]{43}$"_s);
        for (const QString &text : { first.codeVerifier, first.state, second.codeVerifier, second.state })
            QVERIFY2(form.match(text).hasMatch(), qPrintable(text));
    }

    void beginSignInStopsWhenRandomnessFails_data()
    {
        QTest::addColumn<int>("failingDraw");
        QTest::addColumn<bool>("throws");
        QTest::newRow("first draw throws") << 1 << true;
        QTest::newRow("second draw throws") << 2 << true;
        QTest::newRow("short answer") << 1 << false;
    }

    void beginSignInStopsWhenRandomnessFails()
    {
        QFETCH(int, failingDraw);
        QFETCH(bool, throws);
        int draws = 0;
        const Authorization authorization({}, [&](qsizetype count) {
            if (++draws == failingDraw) {
                if (throws)
                    throw std::runtime_error("no entropy");
                return QByteArray(count - 1, 'x');
            }
            return QByteArray(count, 'x');
        });
        try {
            (void)authorization.beginSignIn();
            QFAIL("a sign-in started without its random bytes");
        } catch (const quarn::SecureRandomError &e) {
            QVERIFY(e.description().contains(u"サインインを開始できませんでした"_s));
        }
    }

    void tellsCallbacksFromOtherLinks_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<bool>("isCallback");
        QTest::newRow("callback with query") << u"quarn-mail://auth?state=a&code=b"_s << true;
        QTest::newRow("callback without query") << u"quarn-mail://auth"_s << true;
        QTest::newRow("capitals") << u"QUARN-MAIL://AUTH?code=b"_s << true;
        QTest::newRow("no host, path /auth") << u"quarn-mail:/auth?code=b"_s << true;
        QTest::newRow("no host, path /AUTH") << u"quarn-mail:/AUTH"_s << false;
        QTest::newRow("conversation link") << u"quarn-mail://conversation/conv_1"_s << false;
        QTest::newRow("https with path /auth") << u"https://example.com/auth?code=b"_s << false;
        QTest::newRow("other host, path /auth") << u"quarn-mail://other/auth"_s << true;
        QTest::newRow("no scheme") << u"/auth"_s << false;
    }

    void tellsCallbacksFromOtherLinks()
    {
        QFETCH(QString, url);
        QFETCH(bool, isCallback);
        QCOMPARE(Authorization::isAuthorizationCallback(QUrl(url)), isCallback);
    }

    void completeSignIn_data()
    {
        QTest::addColumn<QUrl>("url");
        QTest::addColumn<int>("status"); // -1: not an HTTP response, 0: the transport throws
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("token");
        QTest::addColumn<int>("failure"); // -1: none
        QTest::addColumn<QString>("reason");
        QTest::addColumn<int>("requests");

        const QString s = u"state="_s + kState;
        const QByteArray ok = tokenAnswer(kToken);
        const auto succeed = [&](const char *name, const QUrl &url, const QString &token = kToken) {
            QTest::newRow(name) << url << 200 << tokenAnswer(token) << token << -1 << QString() << 1;
        };
        const auto refuse = [](const char *name, const QUrl &url, FailureKind kind, const QString &reason = {}) {
            QTest::newRow(name) << url << 200 << tokenAnswer(kToken) << QString() << int(kind) << reason << 0;
        };
        const auto answer
            = [&](const char *name, int status, const QByteArray &body, FailureKind kind, const QString &reason = {}) {
                  QTest::newRow(name) << callback(s + u"&code=C"_s) << status << body << QString() << int(kind)
                                      << reason << 1;
              };

        succeed("state and code", callback(s + u"&code=C"_s));
        succeed("empty error item is absent", callback(s + u"&error=&code=C"_s));
        succeed("callback in capitals", QUrl(u"QUARN-MAIL://AUTH?"_s + s + u"&code=C"_s));
        succeed("callback without host", QUrl(u"quarn-mail:/auth?"_s + s + u"&code=C"_s));
        succeed("later duplicate state ignored", callback(s + u"&state=other&code=C"_s));
        succeed("length of the token is not checked here", callback(s + u"&code=C"_s), u"tok_mail_short"_s);

        refuse("state differs in last character", callback(u"state="_s + kState.chopped(1) + u"X&code=C"_s),
            FailureKind::stateMismatch);
        refuse("state of another length, with error",
            callback(u"state="_s + kState + u"X&error=access_denied&code=C"_s), FailureKind::stateMismatch);
        refuse("no state", callback(u"code=C&error=server_error"_s), FailureKind::stateMismatch);
        refuse("empty state", callback(u"state=&code=C"_s), FailureKind::stateMismatch);
        refuse("state without value", callback(u"state&code=C"_s), FailureKind::stateMismatch);
        refuse("first state item is wrong", callback(u"state=other&"_s + s + u"&code=C"_s), FailureKind::stateMismatch);
        refuse("access denied", callback(s + u"&error=access_denied&code=C"_s), FailureKind::declined);
        refuse("server error", callback(s + u"&error=server_error&code=C"_s), FailureKind::rejected, u"server_error"_s);
        refuse(
            "error is percent-decoded", callback(s + u"&error=bad%20thing"_s), FailureKind::rejected, u"bad thing"_s);
        refuse("no code", callback(s), FailureKind::malformedCallback);
        refuse("empty code", callback(s + u"&code="_s), FailureKind::malformedCallback);
        refuse("https URL with path /auth", QUrl(u"https://example.com/auth?"_s + s + u"&code=C"_s),
            FailureKind::malformedCallback);
        refuse("conversation link", QUrl(u"quarn-mail://conversation/conv_1?"_s + s + u"&code=C"_s),
            FailureKind::malformedCallback);

        answer("400 with error only", 400, R"({"error":"invalid_grant"})", FailureKind::rejected, u"invalid_grant"_s);
        answer("400 with code and error", 400, R"({"error":"e","code":"expired_code"})", FailureKind::rejected,
            u"expired_code"_s);
        answer("400 with empty object", 400, "{}", FailureKind::rejected, u"http_400"_s);
        answer("502 whose code is a number", 502, R"({"code":5})", FailureKind::rejected, u"http_502"_s);
        answer("302 with an object", 302, "{}", FailureKind::rejected, u"http_302"_s);
        answer("200 that is not JSON", 200, "<html>", FailureKind::malformedResponse);
        answer("400 that is not JSON", 400, "Bad Request", FailureKind::malformedResponse);
        answer("200 with an array", 200, R"(["tok_mail_x"])", FailureKind::malformedResponse);
        answer("200 without access_token", 200, R"({"token":"tok_mail_x"})", FailureKind::malformedResponse);
        answer("200 with token of another prefix", 200, tokenAnswer(u"tok_chat_"_s + kToken.mid(9)),
            FailureKind::malformedResponse);
        answer("200 with numeric token", 200, R"({"access_token":12345})", FailureKind::malformedResponse);
        answer("200 with mark joined to the prefix", 200, tokenAnswer(u"tok_mail_\u0301"_s + kToken.mid(10)),
            FailureKind::malformedResponse);
        answer("not an HTTP response", -1, ok, FailureKind::malformedResponse);
        answer("transport throws", 0, {}, FailureKind::unreachable);
        answer("65,537 bytes, status 200", 200, ok + QByteArray(65537 - ok.size(), ' '), FailureKind::responseTooLarge);
        answer("65,537 bytes, status 500", 500, QByteArray(65537, 'x'), FailureKind::responseTooLarge);
        answer("65,537 bytes, not HTTP", -1, QByteArray(65537, 'x'), FailureKind::responseTooLarge);
        answer("deeply nested JSON", 200, QByteArray(65536, '['), FailureKind::malformedResponse);
        QTest::newRow("exactly 65,536 bytes")
            << callback(s + u"&code=C"_s) << 200 << ok + QByteArray(65536 - ok.size(), ' ') << kToken << -1 << QString()
            << 1;
    }

    void completeSignIn()
    {
        QFETCH(QUrl, url);
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QString, token);
        QFETCH(int, failure);
        QFETCH(QString, reason);
        QFETCH(int, requests);

        ScriptedTransport transport;
        if (status != 0)
            transport.shared->answer = quarn::HttpResponse { body, status < 0 ? std::nullopt : std::optional(status) };
        const Authorization authorization(transport.function());
        const Outcome outcome = complete(authorization, url);

        QCOMPARE(transport.shared->requests.size(), requests);
        if (failure < 0) {
            QVERIFY2(!outcome.failure, outcome.failure ? outcome.failure->what() : "");
            QCOMPARE(outcome.token, std::optional(token));
        } else {
            QVERIFY(outcome.failure);
            QCOMPARE(int(outcome.failure->kind()), failure);
            QCOMPARE(outcome.failure->reason(), reason);
        }
    }

    void tokenRequestCarriesTheFiveMembers()
    {
        ScriptedTransport transport;
        transport.shared->answer = quarn::HttpResponse { tokenAnswer(kToken), 200 };
        const Authorization authorization(transport.function());
        QCOMPARE(complete(authorization, callback(u"state="_s + kState + u"&code=c%2Bd%20e"_s)).token,
            std::optional(kToken));

        QCOMPARE(transport.shared->requests.size(), 1);
        const quarn::HttpRequest &request = transport.shared->requests.first();
        QCOMPARE(request.method, QByteArray("POST"));
        QCOMPARE(request.request.url(), Authorization::tokenURL());
        QCOMPARE(request.request.url().path(), u"/api/auth/oauth/token"_s);
        QCOMPARE(
            request.request.header(QNetworkRequest::ContentTypeHeader).toByteArray(), QByteArray("application/json"));
        QCOMPARE(request.request.rawHeader("Accept"), QByteArray("application/json"));
        QCOMPARE(request.request.transferTimeout(), 30000);
        QCOMPARE(request.request.attribute(QNetworkRequest::RedirectPolicyAttribute).toInt(),
            int(QNetworkRequest::ManualRedirectPolicy));
        const nlohmann::json sent = nlohmann::json::parse(request.body.toStdString());
        const nlohmann::json expected = {
            { "grant_type", "authorization_code" },
            { "code", "c+d e" },
            { "code_verifier", kVerifier.toStdString() },
            { "client_id", "quarn-mail" },
            { "redirect_uri", "quarn-mail://auth" },
        };
        QCOMPARE(QByteArray::fromStdString(sent.dump()), QByteArray::fromStdString(expected.dump()));
    }

    void exchangeOutlivesTheComponent()
    {
        ScriptedTransport transport;
        transport.shared->answer = quarn::HttpResponse { tokenAnswer(kToken), 200 };
        transport.shared->suspend = true;
        auto task = Authorization(transport.function())
                        .completeSignIn(callback(u"state="_s + kState + u"&code=C"_s), pending());
        QCOMPARE(quarn::blockOn(std::move(task), 10s), kToken);
    }

    void failuresCompareByCaseAndReason()
    {
        QVERIFY(Failure::rejected(u"a"_s) == Failure::rejected(u"a"_s));
        QVERIFY(!(Failure::rejected(u"a"_s) == Failure::rejected(u"b"_s)));
        QVERIFY(!(Failure(FailureKind::unreachable) == Failure(FailureKind::declined)));
        QCOMPARE(Failure(FailureKind::declined).description(),
            u"Quarnアカウントに接続できませんでした。もう一度試してください。"_s);
    }

    // The platform transport against a loopback server that answers what a
    // sane service never would.
    void networkTransport_data()
    {
        QTest::addColumn<QByteArray>("raw");
        QTest::addColumn<int>("failure"); // -1: the token comes back
        QTest::addColumn<QString>("reason");

        const QByteArray ok = tokenAnswer(kToken);
        QTest::newRow("token") << httpAnswer(200, ok) << -1 << QString();
        QTest::newRow("exactly 65,536 bytes")
            << httpAnswer(200, ok + QByteArray(65536 - ok.size(), ' ')) << -1 << QString();
        QTest::newRow("rejected with a reason")
            << httpAnswer(401, R"({"code":"invalid_client"})") << int(FailureKind::rejected) << u"invalid_client"_s;
        QTest::newRow("302 without location") << httpAnswer(302, "{}") << int(FailureKind::rejected) << u"http_302"_s;
        QTest::newRow("redirect is not followed") << httpAnswer(307, "{}", "Location: http://127.0.0.1:1/elsewhere\r\n")
                                                  << int(FailureKind::rejected) << u"http_307"_s;
        QTest::newRow("4 MiB answer") << httpAnswer(200, QByteArray(4 << 20, ' ')) << int(FailureKind::responseTooLarge)
                                      << QString();
        QTest::newRow("not HTTP at all") << QByteArray("hello, this is not http\r\n\r\n")
                                         << int(FailureKind::unreachable) << QString();
        QTest::newRow("closed without answer") << QByteArray() << int(FailureKind::unreachable) << QString();
        // The connection ends before the declared length: the bytes that came
        // (here a complete token answer) are a truncated body, not an answer.
        QTest::newRow("closed mid-body") << QByteArray(
            "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: "
            + QByteArray::number(ok.size() + 100) + "\r\nConnection: close\r\n\r\n" + ok)
                                         << int(FailureKind::unreachable) << QString();
    }

    void networkTransport()
    {
        QFETCH(QByteArray, raw);
        QFETCH(int, failure);
        QFETCH(QString, reason);

        ScriptedServer server;
        QVERIFY(server.port() != 0);
        server.rawAnswer = raw;
        const Authorization authorization(networkTransportTo(server.port()));
        const Outcome outcome = complete(authorization, callback(u"state="_s + kState + u"&code=C"_s));

        QVERIFY(server.lastRequest.startsWith("POST /api/auth/oauth/token "));
        QVERIFY(server.lastRequest.contains("\"code_verifier\":\"" + kVerifier.toUtf8() + '"'));
        if (failure < 0) {
            QVERIFY2(!outcome.failure, outcome.failure ? outcome.failure->what() : "");
            QCOMPARE(outcome.token, std::optional(kToken));
        } else {
            QVERIFY(outcome.failure);
            QCOMPARE(int(outcome.failure->kind()), failure);
            QCOMPARE(outcome.failure->reason(), reason);
        }
    }

    void networkTransportReadsNoMoreThanItNeeds()
    {
        ScriptedServer server;
        server.rawAnswer = httpAnswer(200, QByteArray(4 << 20, 'x'));
        quarn::HttpRequest request;
        request.method = "POST";
        request.request = QNetworkRequest(QUrl(u"http://127.0.0.1:%1/"_s.arg(server.port())));
        request.body = "{}";
        const quarn::HttpResponse response = quarn::blockOn(Authorization::sendThroughNetwork(request), 10s);
        QCOMPARE(response.statusCode, std::optional(200));
        QCOMPARE(response.body.size(), Authorization::maximumResponseSize + 1);
    }

    void tricklingAnswerEndsAtTheRequestsTimeOut()
    {
        // Headers, then one byte every 20 ms: never a pause long enough for
        // a time-out that restarts with each byte.
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost));
        QObject::connect(&server, &QTcpServer::newConnection, &server, [&server] {
            QTcpSocket *socket = server.nextPendingConnection();
            QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            socket->write("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 60000\r\n\r\n");
            auto *timer = new QTimer(socket);
            QObject::connect(timer, &QTimer::timeout, socket, [socket] { socket->write(" "); });
            timer->start(20);
        });
        const quint16 port = server.serverPort();
        const Authorization authorization([port](quarn::HttpRequest request) {
            QUrl url = request.request.url();
            url.setHost(u"127.0.0.1"_s);
            url.setPort(port);
            request.request.setUrl(url);
            request.request.setTransferTimeout(300);
            return Authorization::sendThroughNetwork(std::move(request));
        });
        const Outcome outcome = complete(authorization, callback(u"state="_s + kState + u"&code=C"_s));
        QVERIFY(outcome.failure);
        QCOMPARE(outcome.failure->kind(), FailureKind::unreachable);
    }

    void unreachableEndpoint()
    {
        quint16 port = 0;
        {
            QTcpServer probe;
            QVERIFY(probe.listen(QHostAddress::LocalHost));
            port = probe.serverPort();
        }
        const Authorization authorization(networkTransportTo(port));
        const Outcome outcome = complete(authorization, callback(u"state="_s + kState + u"&code=C"_s));
        QVERIFY(outcome.failure);
        QCOMPARE(outcome.failure->kind(), FailureKind::unreachable);
    }
};

QTEST_GUILESS_MAIN(TestQuarnAccountAuthorization)
#include "test_quarnaccountauthorization.moc"
