#include "test_apiclient.h"

#include "api/apiclient.h"
#include "core/blocking.h"
#include "model/json.h"
#include "quarn/config.h"
#include "support/scriptedhttpserver.h"

#include <QTcpServer>
#include <QTest>

#include <functional>

using namespace quarn;
using namespace quarn::test;
using namespace Qt::StringLiterals;

Q_DECLARE_METATYPE(std::optional<QByteArray>)

namespace {

const QString kToken = u"tok_mail_0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJ"_s.left(52);

const QByteArray kListItem = R"({"id":"conv_1","subject":"件名","status":"needs_you","transport":"email",)"
                             R"("participantName":"山田","participantAddress":"y@example.jp","preview":"p",)"
                             R"("lastMessageAt":1000,"unread":false})";
const QByteArray kDetail = kListItem.chopped(1) + R"(,"messages":[]})";
const QByteArray kPerson = R"({"email":"y@example.jp","displayName":"山田","conversationCount":1,)"
                           R"("messageCount":2,"lastMessageAt":3,"needsYouCount":0,"waitingCount":1})";

// Runs one operation against `client` and returns a short description of
// what it handed back, so that rows can check that the answer was decoded.
using Operation = std::function<QString(const APIClient &)>;

template<typename T> T run(QCoro::Task<T> task)
{
    return blockOn(std::move(task), std::chrono::seconds(20));
}

struct Case
{
    Operation op;
};

} // namespace

Q_DECLARE_METATYPE(Case)

template<typename E> std::optional<E> TestAPIClient::failureOf(const Operation &op, ScriptedResponse answer)
{
    m_server.reset();
    m_server.enqueue(std::move(answer));
    try {
        op(client());
    } catch (const E &e) {
        return e;
    }
    return std::nullopt;
}

void TestAPIClient::endpoints_data()
{
    QTest::addColumn<Case>("operation");
    QTest::addColumn<QByteArray>("method");
    QTest::addColumn<QByteArray>("target");
    QTest::addColumn<std::optional<QByteArray>>("body");
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<QString>("decoded");

    QTest::newRow("state aiWorking") << Case { [](const APIClient &c) {
        auto s = run(c.state(ConversationStatus::aiWorking, kToken));
        return s.viewer.name + rawValue(s.status) + QString::number(s.conversations.size());
    } } << QByteArray("GET") << QByteArray("/api/state?status=ai_working")
                                     << std::optional<QByteArray>()
                                     << QByteArray(
                                            R"({"viewer":{"id":"u","name":"佐藤","email":"s@q"},"status":"ai_working",)"
                                            R"("counts":{},"conversations":[)"
                                            + kListItem + "]}")
                                     << u"佐藤ai_working1"_s;
    QTest::newRow("conversation") << Case { [](const APIClient &c) {
        return run(c.conversation(u"conv_1"_s, kToken)).subject;
    } } << QByteArray("GET") << QByteArray("/api/conversations/conv_1")
                                  << std::optional<QByteArray>() << kDetail << u"件名"_s;
    QTest::newRow("people") << Case { [](const APIClient &c) {
        return run(c.people(kToken)).people.value(0).displayName;
    } } << QByteArray("GET") << QByteArray("/api/people")
                            << std::optional<QByteArray>() << QByteArray(R"({"people":[)" + kPerson + "]}")
                            << u"山田"_s;
    QTest::newRow("timeline without before")
        << Case { [](const APIClient &c) {
               return QString::number(
                   run(c.personTimeline(u"y@example.jp"_s, std::nullopt, kToken)).nextBefore.value_or(-1));
           } }
        << QByteArray("GET") << QByteArray("/api/people/y@example.jp/timeline") << std::optional<QByteArray>()
        << QByteArray(R"({"person":)" + kPerson + R"(,"messages":[],"hasMore":false})") << u"-1"_s;
    QTest::newRow("timeline with before")
        << Case { [](const APIClient &c) {
               return QString::number(
                   run(c.personTimeline(u"y@example.jp"_s, -1700000000123, kToken)).nextBefore.value_or(-1));
           } }
        << QByteArray("GET") << QByteArray("/api/people/y@example.jp/timeline?before=-1700000000123")
        << std::optional<QByteArray>()
        << QByteArray(R"({"person":)" + kPerson + R"(,"messages":[],"hasMore":true,"nextBefore":42})") << u"42"_s;
    QTest::newRow("reply") << Case { [](const APIClient &c) {
        return run(c.reply(u"conv_1"_s, u"了解です\n\"よろしく\""_s, kToken)).messageId.value_or(u"-"_s);
    } } << QByteArray("POST")
                           << QByteArray("/api/conversations/conv_1/messages")
                           << std::optional<QByteArray>(R"({"body":"了解です\n\"よろしく\""})")
                           << QByteArray(R"({"ok":true,"messageId":"msg_9"})") << u"msg_9"_s;
    QTest::newRow("setStatus") << Case { [](const APIClient &c) {
        return QString::number(run(c.setStatus(ConversationStatus::done, u"conv_1"_s, kToken)).ok);
    } } << QByteArray("PUT") << QByteArray("/api/conversations/conv_1/status")
                               << std::optional<QByteArray>(R"({"status":"done"})") << QByteArray(R"({"ok":true})")
                               << u"1"_s;
    QTest::newRow("create unscheduled") << Case { [](const APIClient &c) {
        auto r = run(c.create({ u"b@x.jp"_s, u"a@x.jp"_s }, u"件名"_s, u"本文"_s, std::nullopt, kToken));
        return r.conversationId.value_or(u"-"_s) + rawValue(r.status.value_or(ConversationStatus::inbox));
    } } << QByteArray("POST") << QByteArray("/api/conversations")
                                        << std::optional<QByteArray>(
                                               R"({"to":["b@x.jp","a@x.jp"],"subject":"件名","body":"本文"})")
                                        << QByteArray(R"({"ok":true,"conversationId":"conv_7","status":"waiting"})")
                                        << u"conv_7waiting"_s;
    QTest::newRow("create scheduled 1 s after the epoch")
        << Case { [](const APIClient &c) {
               QDateTime at = QDateTime::fromMSecsSinceEpoch(1000, Qt::UTC);
               return run(c.create({}, u""_s, u""_s, at, kToken)).conversationId.value_or(u"-"_s);
           } }
        << QByteArray("POST") << QByteArray("/api/conversations")
        << std::optional<QByteArray>(R"({"to":[],"subject":"","body":"","scheduledFor":1000})")
        << QByteArray(R"({"ok":true})") << u"-"_s;
    QTest::newRow("claimMailbox") << Case { [](const APIClient &c) {
        return run(c.claimMailbox(u"sato"_s, u"佐藤"_s, kToken)).mailbox.address;
    } } << QByteArray("POST") << QByteArray("/api/mailbox")
                                  << std::optional<QByteArray>(R"({"localPart":"sato","displayName":"佐藤"})")
                                  << QByteArray(R"({"ok":true,"mailbox":{"address":"sato@q","displayName":"佐藤"}})")
                                  << u"sato@q"_s;
    QTest::newRow("startAI") << Case { [](const APIClient &c) {
        auto r = run(c.startAI(u"conv_1"_s, kToken));
        return r.jobId + r.conversation.id;
    } } << QByteArray("POST") << QByteArray("/api/conversations/conv_1/ai/start")
                             << std::optional<QByteArray>("{}")
                             << QByteArray(R"({"ok":true,"jobId":"job_1","conversation":)" + kDetail + "}")
                             << u"job_1conv_1"_s;
    QTest::newRow("completeAI without optionals")
        << Case { [](const APIClient &c) {
               AiInsight insight { u"要約"_s, std::nullopt, std::nullopt, ConversationStatus::waiting, std::nullopt,
                   u"low"_s };
               return run(c.completeAI(u"conv_1"_s, u"job_1"_s, insight, kToken)).conversation.id;
           } }
        << QByteArray("POST") << QByteArray("/api/conversations/conv_1/ai/complete")
        << std::optional<QByteArray>(R"({"jobId":"job_1","summary":"要約","suggestedStatus":"waiting","risk":"low"})")
        << QByteArray(R"({"ok":true,"conversation":)" + kDetail + "}") << u"conv_1"_s;
    QTest::newRow("completeAI with everything")
        << Case { [](const APIClient &c) {
               AiInsight insight { u"s"_s, u"r"_s, u"d"_s, ConversationStatus::needsYou, u"下書き"_s, u"high"_s };
               return run(c.completeAI(u"conv_1"_s, u"job_1"_s, insight, kToken)).conversation.id;
           } }
        << QByteArray("POST") << QByteArray("/api/conversations/conv_1/ai/complete")
        << std::optional<QByteArray>(R"({"jobId":"job_1","summary":"s","request":"r","deadline":"d",)"
                                     R"("suggestedStatus":"needs_you","draft":"下書き","risk":"high"})")
        << QByteArray(R"({"ok":true,"conversation":)" + kDetail + "}") << u"conv_1"_s;
    QTest::newRow("failAI") << Case { [](const APIClient &c) {
        run(c.failAI(u"conv_1"_s, u"job_1"_s, u"codex_timeout"_s, kToken));
        return u"done"_s;
    } } << QByteArray("POST")
                            << QByteArray("/api/conversations/conv_1/ai/fail")
                            << std::optional<QByteArray>(R"({"jobId":"job_1","errorCode":"codex_timeout"})")
                            << QByteArray(R"({"ok":true})") << u"done"_s;
}

void TestAPIClient::endpoints()
{
    QFETCH(Case, operation);
    QFETCH(QByteArray, method);
    QFETCH(QByteArray, target);
    QFETCH(std::optional<QByteArray>, body);
    QFETCH(QByteArray, answer);
    QFETCH(QString, decoded);

    m_server.reset();
    m_server.enqueue({ 200, answer });
    QCOMPARE(operation.op(client()), decoded);

    const auto requests = m_server.requests();
    QCOMPARE(requests.size(), 1);
    const RecordedRequest &r = requests.first();
    QCOMPARE(r.method, method);
    QCOMPARE(r.target, target);
    QCOMPARE(r.header("Authorization"), QByteArray("Bearer ") + kToken.toUtf8());
    QCOMPARE(r.header("Accept"), QByteArray("application/json"));
    if (body) {
        QCOMPARE(r.body, *body);
        QCOMPARE(r.header("Content-Type"), QByteArray("application/json"));
    } else {
        QVERIFY(r.body.isEmpty());
        QVERIFY2(!r.hasHeader("Content-Type"), r.header("Content-Type").constData());
    }
}

void TestAPIClient::answerMapping_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QByteArray>("contentType");
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("description");

    const int server = int(MailAPIError::Kind::server);
    const int invalid = int(MailAPIError::Kind::invalidResponse);
    const int unauthorized = int(MailAPIError::Kind::unauthorized);
    const QString signIn = u"Quarnアカウントの接続が無効です。もう一度サインインしてください。"_s;
    const QString unreadable = u"サーバーの応答を読み取れませんでした。"_s;
    const QString generic = u"通信に失敗しました。"_s;
    const QByteArray json = "application/json";

    QTest::newRow("401 with error body") << 401 << QByteArray(R"({"error":"unauthorized"})") << json << unauthorized
                                         << signIn;
    QTest::newRow("403 plain text") << 403 << QByteArray("forbidden") << QByteArray("text/plain") << unauthorized
                                    << signIn;
    QTest::newRow("422 all three") << 422 << QByteArray(R"({"error":"e","reason":"r","message":"宛先が不正です"})")
                                   << json << server << u"宛先が不正です"_s;
    QTest::newRow("422 reason and error")
        << 422 << QByteArray(R"({"error":"e","reason":"r"})") << json << server << u"r"_s;
    QTest::newRow("422 only error") << 422 << QByteArray(R"({"error":"e"})") << json << server << u"e"_s;
    QTest::newRow("422 empty message counts")
        << 422 << QByteArray(R"({"message":"","reason":"r"})") << json << server << u""_s;
    QTest::newRow("422 empty object") << 422 << QByteArray("{}") << json << server << generic;
    QTest::newRow("422 all null") << 422 << QByteArray(R"({"error":null,"reason":null,"message":null})") << json
                                  << server << generic;
    QTest::newRow("422 plain text") << 422 << QByteArray("Unprocessable") << QByteArray("text/plain") << server
                                    << generic;
    QTest::newRow("422 wrong type") << 422 << QByteArray(R"({"message":["x"],"error":"e"})") << json << server
                                    << generic;
    QTest::newRow("500 only error") << 500 << QByteArray(R"({"error":"internal"})") << json << server << u"internal"_s;
    QTest::newRow("500 empty body") << 500 << QByteArray() << QByteArray() << server << generic;
    QTest::newRow("200 missing key") << 200 << QByteArray(R"({"people":[{"email":"a"}]})") << json << invalid
                                     << unreadable;
    QTest::newRow("200 empty body") << 200 << QByteArray() << QByteArray() << invalid << unreadable;
    QTest::newRow("204") << 204 << QByteArray() << QByteArray() << invalid << unreadable;
    QTest::newRow("200 not JSON") << 200 << QByteArray("<html>") << QByteArray("text/html") << invalid << unreadable;
    QTest::newRow("201 valid") << 201 << QByteArray(R"({"people":[],"x":1})") << json << -1 << QString();
}

void TestAPIClient::answerMapping()
{
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(QByteArray, contentType);
    QFETCH(int, kind);
    QFETCH(QString, description);

    const auto error = failureOf<MailAPIError>(
        [](const APIClient &c) {
            (void)run(c.people(kToken));
            return QString();
        },
        { status, body, contentType });
    if (kind < 0) {
        QVERIFY(!error);
        return;
    }
    QVERIFY(error);
    QCOMPARE(int(error->kind()), kind);
    QCOMPARE(error->description(), description);
    QCOMPARE(error->status(), kind == int(MailAPIError::Kind::server) ? status : 0);
}

void TestAPIClient::redirectIsNotFollowed()
{
    m_server.reset();
    m_server.setHandler([](const RecordedRequest &) { return ScriptedResponse { 200, R"({"people":[]})" }; });
    m_server.enqueue({ 302, {}, {}, { { "Location", "/api/elsewhere" } } });
    std::optional<MailAPIError> error;
    try {
        (void)run(client().people(kToken));
    } catch (const MailAPIError &e) {
        error = e;
    }
    m_server.setHandler({});
    QVERIFY(error);
    QCOMPARE(*error, MailAPIError::server(302, u"通信に失敗しました。"_s));
    QCOMPARE(m_server.requests().size(), 1);
}

void TestAPIClient::failAIFailsOnAnErrorStatus()
{
    const auto error = failureOf<MailAPIError>(
        [](const APIClient &c) {
            run(c.failAI(u"conv_1"_s, u"job_1"_s, u"codex_failed"_s, kToken));
            return QString();
        },
        { 404, R"({"error":"not_found"})" });
    QVERIFY(error);
    QCOMPARE(*error, MailAPIError::server(404, u"not_found"_s));
    // A 2xx answer is still checked, although its value is dropped.
    QVERIFY(failureOf<MailAPIError>(
        [](const APIClient &c) {
            run(c.failAI(u"conv_1"_s, u"job_1"_s, u"codex_failed"_s, kToken));
            return QString();
        },
        { 200, R"({"okay":true})" }));
}

void TestAPIClient::identifiersArePercentEncoded_data()
{
    QTest::addColumn<QString>("id");
    QTest::addColumn<QByteArray>("path");
    QTest::newRow("space") << u"conv 1"_s << QByteArray("/api/conversations/conv%201");
    QTest::newRow("slash splits the path") << u"a/b"_s << QByteArray("/api/conversations/a/b");
    QTest::newRow("query and fragment characters") << u"a?b#c"_s << QByteArray("/api/conversations/a%3Fb%23c");
    QTest::newRow("percent sign") << u"50%"_s << QByteArray("/api/conversations/50%25");
    QTest::newRow("non-ASCII") << u"日本"_s << QByteArray("/api/conversations/%E6%97%A5%E6%9C%AC");
    QTest::newRow("sub-delimiters stay") << u"a+b=c;d@e:f"_s << QByteArray("/api/conversations/a+b=c;d@e:f");
    QTest::newRow("dots inside a segment") << u"a..b/c.d/e."_s << QByteArray("/api/conversations/a..b/c.d/e.");
    QTest::newRow("empty segment") << u"a//b"_s << QByteArray("/api/conversations/a//b");
    QTest::newRow("brackets and quote") << u"[x]\"y"_s << QByteArray("/api/conversations/%5Bx%5D%22y");
}

void TestAPIClient::identifiersArePercentEncoded()
{
    QFETCH(QString, id);
    QFETCH(QByteArray, path);
    m_server.reset();
    m_server.enqueue({ 200, kDetail });
    (void)run(client().conversation(id, kToken));
    QCOMPARE(m_server.lastRequest()->target, path);
}

void TestAPIClient::dotSegmentsAreRefused_data()
{
    QTest::addColumn<QString>("id");
    QTest::newRow("parent") << u".."_s;
    QTest::newRow("parent then path") << u"../state"_s;
    QTest::newRow("parent at the end") << u"conv_1/.."_s;
    QTest::newRow("current") << u"a/./b"_s;
    QTest::newRow("short dot segment") << u"a/.c/b"_s;
    QTest::newRow("hidden name") << u".conv"_s;
}

void TestAPIClient::dotSegmentsAreRefused()
{
    // The network stack would rewrite these paths and send the request, with
    // the token, to another resource than the one named.
    QFETCH(QString, id);
    m_server.reset();
    m_server.setHandler([](const RecordedRequest &) { return ScriptedResponse { 200, R"({"ok":true})" }; });
    QVERIFY_THROWS_EXCEPTION(EncodeError, (void)run(client().setStatus(ConversationStatus::done, id, kToken)));
    QVERIFY_THROWS_EXCEPTION(EncodeError, (void)run(client().personTimeline(id, std::nullopt, kToken)));
    m_server.setHandler({});
    QVERIFY(m_server.requests().isEmpty());
}

void TestAPIClient::emailInTimelinePath()
{
    m_server.reset();
    m_server.enqueue({ 200, R"({"person":)" + kPerson + R"(,"messages":[],"hasMore":false})" });
    (void)run(client().personTimeline(u"山田 花子+x@example.jp"_s, std::nullopt, kToken));
    QCOMPARE(m_server.lastRequest()->target,
        QByteArray("/api/people/%E5%B1%B1%E7%94%B0%20%E8%8A%B1%E5%AD%90+x@example.jp/timeline"));
    QVERIFY(m_server.lastRequest()->rawQuery.isNull());
}

void TestAPIClient::transportFailureIsPassedOn()
{
    // A port that was free a moment ago and has no listener now.
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost));
    const quint16 port = probe.serverPort();
    probe.close();
    const APIClient unreachable(QUrl(u"http://127.0.0.1:%1"_s.arg(port)));
    try {
        (void)run(unreachable.people(kToken));
        QFAIL("no error");
    } catch (const MailAPIError &e) {
        QFAIL(qPrintable(u"wrapped in MailAPIError: "_s + e.description()));
    } catch (const PlatformError &e) {
        QCOMPARE(e.code(), int(QNetworkReply::ConnectionRefusedError));
        QCOMPARE(e.description(), u"Connection refused"_s);
    }
}

void TestAPIClient::stateIsDecodedOnlyWhenItsBytesChange_data()
{
    QTest::addColumn<int>("conversations");
    QTest::newRow("small answer") << 1;
    QTest::newRow("answer decoded on a worker") << 400;
}

void TestAPIClient::stateIsDecodedOnlyWhenItsBytesChange()
{
    QFETCH(int, conversations);
    const auto stateBody = [conversations](int inboxCount) {
        QByteArray list;
        for (int i = 0; i < conversations; ++i) {
            if (i > 0)
                list += ',';
            list += QByteArray(kListItem).replace("conv_1", "conv_" + QByteArray::number(i));
        }
        return R"({"viewer":{"id":"u","name":"佐藤","email":"s@q"},"status":"needs_you","counts":{"inbox":)"
            + QByteArray::number(inboxCount) + R"(},"conversations":[)" + list + "]}";
    };
    const QByteArray first = stateBody(1);
    const QByteArray second = stateBody(2);
    QVERIFY(conversations < 400 || first.size() > 64 * 1024);

    m_server.reset();
    for (const QByteArray &body : { first, first, first, second, QByteArray("{\"viewer\":"), second })
        m_server.enqueue({ 200, body });
    const auto memo = std::make_shared<MailStateMemo>();
    const auto state = [&] { return run(client().state(ConversationStatus::needsYou, kToken, memo)); };

    const MailState decoded = state();
    QCOMPARE(decoded.conversations.size(), conversations);
    QCOMPARE(memo->body, first);
    // The same bytes again: the decoded state itself, as often as they come.
    for (int round = 0; round < 2; ++round) {
        const MailState again = state();
        QCOMPARE(again, decoded);
        QVERIFY(again.conversations.constData() == decoded.conversations.constData());
    }
    // One byte differs: decoded afresh, and remembered instead.
    const MailState changed = state();
    QCOMPARE(changed.counts.value(u"inbox"_s), 2);
    QVERIFY(changed.conversations.constData() != decoded.conversations.constData());
    QCOMPARE(memo->state, changed);
    // An unreadable answer fails as ever and leaves the memo as it was.
    QVERIFY_THROWS_EXCEPTION(MailAPIError, (void)state());
    QCOMPARE(memo->body, second);
    QVERIFY(state().conversations.constData() == changed.conversations.constData());
    QCOMPARE(m_server.requests().size(), 6);
}

void TestAPIClient::invalidScheduleFailsBeforeSending()
{
    m_server.reset();
    QVERIFY_THROWS_EXCEPTION(EncodeError, (void)run(client().create({}, u"s"_s, u"b"_s, QDateTime(), kToken)));
    QVERIFY(m_server.requests().isEmpty());
}

void TestAPIClient::tokenCannotInjectHeaders_data()
{
    QTest::addColumn<QString>("token");
    QTest::newRow("CR LF") << u"tok_mail_abc\r\nX-Injected: 1"_s;
    QTest::newRow("LF") << u"tok_mail_abc\nX-Injected: 1"_s;
    QTest::newRow("NUL") << u"tok_mail_abc\u0000"_s;
    QTest::newRow("DEL") << u"tok_mail_abc\u007f"_s;
}

void TestAPIClient::tokenCannotInjectHeaders()
{
    QFETCH(QString, token);
    m_server.reset();
    m_server.setHandler([](const RecordedRequest &) { return ScriptedResponse { 200, R"({"people":[]})" }; });
    std::optional<MailAPIError> error;
    try {
        (void)run(client().people(token));
    } catch (const MailAPIError &e) {
        error = e;
    }
    m_server.setHandler({});
    QCOMPARE(error, MailAPIError::unauthorized());
    QVERIFY(m_server.requests().isEmpty());
}

void TestAPIClient::errorDescriptions()
{
    QCOMPARE(MailAPIError::server(500, u"壊れました"_s).description(), u"壊れました"_s);
    QCOMPARE(MailAPIError::invalidResponse().description(), u"サーバーの応答を読み取れませんでした。"_s);
    QCOMPARE(MailAPIError::unauthorized().description(),
        u"Quarnアカウントの接続が無効です。もう一度サインインしてください。"_s);
}

void TestAPIClient::productionBaseURL()
{
    QCOMPARE(APIClient::productionBaseURL(), QUrl(QString::fromUtf8(config::kBaseUrl)));
    QVERIFY(APIClient::productionBaseURL().path().isEmpty());
}

QTEST_GUILESS_MAIN(TestAPIClient)
