// The model's workflows beyond start-up and reload: replies, status changes,
// new conversations, links, the hand-off to Orro, sign-in, token and
// address, person timelines and private AI conversations. The main roads run
// against the reference service and the Codex CLI double; answers the service
// never gives (a creation without status) come from a scripted service.

#include "ai/aiconversationstore.h"
#include "ai/codexrunnererror.h"
#include "api/apiclient.h"
#include "api/mailapierror.h"
#include "app/draftstore.h"
#include "appmodelharness.h"
#include "core/blocking.h"
#include "core/text.h"
#include "platform/filesecurity.h"
#include "support/referenceservice.h"

#include <QCoroNetworkReply>
#include <QDir>
#include <QFileInfo>
#include <QJSEngine>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QStringDecoder>
#include <QTest>
#include <QTimeZone>
#include <QUrlQuery>

#include <algorithm>
#include <csignal>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <unistd.h>

using namespace Qt::StringLiterals;
using namespace quarn;
using namespace quarn::testing;
using quarn::test::ReferenceService;

namespace {

const QString kSato = u"ken.sato@example.co.jp"_s;
const QString kSignInFailed = u"Quarnアカウントに接続できませんでした。もう一度試してください。"_s;
const QString kNoSignInPending = u"サインインを最初からやり直してください。"_s;

QStringList ids(const QList<ConversationListItem> &items)
{
    QStringList out;
    for (const ConversationListItem &c : items)
        out.append(c.id);
    return out;
}

QStringList ids(const QList<PersonTimelineMessage> &messages)
{
    QStringList out;
    for (const PersonTimelineMessage &m : messages)
        out.append(m.id);
    return out;
}

MailState emptyState(ConversationStatus status, QList<ConversationListItem> conversations = {})
{
    MailState s;
    s.mailbox = Mailbox { u"me@quarn.local"_s, u"Me"_s };
    s.viewer = Viewer { u"user_1"_s, u"Me"_s, u"me@quarn.local"_s };
    s.status = status;
    s.conversations = std::move(conversations);
    return s;
}

ConversationDetail detailWithId(const QString &id, ConversationStatus status)
{
    ConversationDetail d;
    d.id = id;
    d.subject = u"件名"_s;
    d.status = status;
    return d;
}

/// A scripted service on which a token-holding model starts without errors.
void routeStartUp(FakeService &service)
{
    service.route("GET", stateTarget(ConversationStatus::needsYou), emptyState(ConversationStatus::needsYou));
    service.route("GET", "/api/people", PeopleResponse {});
}

std::optional<ConversationDetail> serviceConversation(const ReferenceService &service, const QString &id)
{
    try {
        return run(APIClient(service.baseUrl()).conversation(id, service.token()));
    } catch (...) {
        return std::nullopt;
    }
}

PersonTimeline servicePage(const ReferenceService &service, const QString &email, std::optional<qint64> before)
{
    return run(APIClient(service.baseUrl()).personTimeline(email, before, service.token()));
}

/// What the browser does on the sign-in page: submit the form with the
/// page's query items and the user's decision, and answer the redirect's
/// Location (the quarn-mail://auth callback) without following it.
QCoro::Task<QUrl> decide(QUrl page, QUrl serviceBase, QString decision)
{
    page.setHost(serviceBase.host());
    page.setPort(serviceBase.port());
    QUrlQuery form(page);
    form.addQueryItem(u"decision"_s, decision);
    page.setQuery(QString());
    QNetworkRequest request(page);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/x-www-form-urlencoded"));
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    QNetworkAccessManager manager;
    std::unique_ptr<QNetworkReply> reply(manager.post(request, form.toString(QUrl::FullyEncoded).toUtf8()));
    co_await reply.get();
    co_return QUrl(QString::fromUtf8(reply->rawHeader("Location")));
}

PersonTimelineMessage timelineMessage(const QString &id, qint64 at, const QString &body = u"本文"_s)
{
    PersonTimelineMessage m;
    m.id = id;
    m.conversationId = u"conv_1"_s;
    m.senderEmail = u"pat@example.com"_s;
    m.bodyText = body;
    m.createdAt = at;
    return m;
}

PersonSummary pat()
{
    PersonSummary p;
    p.email = u"pat@example.com"_s;
    p.displayName = u"Pat"_s;
    return p;
}

/// A stored AI conversation with one earlier message.
AIConversation earlierConversation()
{
    return AIConversation { u"ai_earlier"_s, u"前の話"_s,
        { AIChatMessage { u"msg_e1"_s, AIChatRole::user, u"最初の質問"_s, 10 } }, 10, 10 };
}

QList<AIConversation> storedConversations(const Harness &h)
{
    AIConversationStore store(h.aiFile());
    return run(store.load());
}

/// Makes a file immutable for its lifetime: neither replaced nor renamed, by
/// anyone. isSet() is false where the file system or the privileges do not
/// allow it.
class ImmutableFile
{
public:
    explicit ImmutableFile(QString path)
        : m_path(std::move(path))
    {
        m_set = setFlag(true);
    }
    ~ImmutableFile()
    {
        if (m_set)
            (void)setFlag(false);
    }
    ImmutableFile(const ImmutableFile &) = delete;
    ImmutableFile &operator=(const ImmutableFile &) = delete;
    [[nodiscard]] bool isSet() const { return m_set; }

private:
    bool setFlag(bool on) const
    {
        const int fd = ::open(QFile::encodeName(m_path).constData(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0)
            return false;
        int flags = 0;
        bool done = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
        if (done) {
            flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
            done = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
        }
        ::close(fd);
        return done;
    }

    QString m_path;
    bool m_set = false;
};

} // namespace

/// The content lines of an iCalendar file, unfolded; empty when a line does
/// not end in CRLF or a physical line is longer than 75 octets.
static QStringList calendarLines(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray bytes = file.readAll();
    if (!bytes.endsWith("\r\n"))
        return {};
    const QList<QByteArray> physical = bytes.chopped(2).split('\n');
    QByteArray unfolded;
    QStringList lines;
    for (qsizetype i = 0; i < physical.size(); ++i) {
        QByteArray line = physical.at(i);
        // Every line but the last still has its CR (the last one's went
        // with the final CRLF).
        if (i + 1 < physical.size()) {
            if (!line.endsWith('\r'))
                return {};
            line.chop(1);
        }
        // At most 75 octets, and never folded inside a UTF-8 sequence.
        QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
        if (line.size() > 75 || (void(decoder.decode(line)), decoder.hasError()))
            return {};
        if (line.startsWith(' ')) {
            unfolded += line.mid(1);
            continue;
        }
        if (!unfolded.isEmpty())
            lines.append(QString::fromUtf8(unfolded));
        unfolded = line;
    }
    lines.append(QString::fromUtf8(unfolded));
    return lines;
}

class TestWorkflows : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // --- replies and status -------------------------------------------------------

    void replyLandsInWaitingWithNothingSelected()
    {
        ReferenceService service;
        QVERIFY2(service.start(), qPrintable(service.errorString()));
        Harness h(service.baseUrl());
        QVERIFY(h.saveToken(service.token()));
        run(h.model->bootstrap());
        const QList<ConversationListItem> needsYou = h.model->filteredConversations();
        QVERIFY(!needsYou.isEmpty());
        const QString id = needsYou.constFirst().id;
        run(h.model->openConversation(id));
        const qsizetype messagesBefore = h.model->detail()->messages.size();

        // Blanks and line breaks alone send nothing and stay in the editor.
        QSignalSpy sending(h.model.get(), &AppModel::isSendingChanged);
        h.model->setReplyText(u" \n\t　"_s);
        auto blank = h.model->sendReply();
        QVERIFY(blank.isReady());
        QCOMPARE(h.model->replyText(), u" \n\t　"_s);
        QCOMPARE(sending.count(), 0);

        h.model->setReplyText(u"\n  承知しました。よろしくお願いします。 \n"_s);
        run(h.model->sendReply());

        QCOMPARE(sending.count(), 2);
        QVERIFY(!h.model->isSending());
        QCOMPARE(h.model->lens(), MailLens::work);
        QCOMPARE(h.model->selectedStatus(), ConversationStatus::waiting);
        QCOMPARE(h.model->state()->status, ConversationStatus::waiting);
        QVERIFY(!h.model->selectedConversationID());
        QVERIFY(!h.model->detail());
        QVERIFY(h.model->replyText().isEmpty());
        QVERIFY(!h.model->errorMessage());
        QVERIFY(ids(h.model->filteredConversations()).contains(id));
        const auto replied = serviceConversation(service, id);
        QVERIFY(replied);
        QCOMPARE(replied->messages.size(), messagesBefore + 1);
        QCOMPARE(replied->messages.constLast().bodyText, u"承知しました。よろしくお願いします。"_s);

        // A reply that cannot be sent keeps the user's text.
        run(h.model->openConversation(id));
        QVERIFY(service.stop());
        h.model->setReplyText(u"もう一通"_s);
        run(h.model->sendReply());
        QVERIFY(h.model->errorMessage());
        QCOMPARE(h.model->replyText(), u"もう一通"_s);
        QVERIFY(!h.model->isSending());
        QCOMPARE(h.model->detail()->id, id);
    }

    // A failure stays until the user closes it or the operation that failed
    // succeeds: the 30-second reload in between is not that operation.
    void aFailureOutlivesOtherOperationsSuccesses()
    {
        FakeService service;
        routeStartUp(service);
        const ConversationListItem c = item(u"c1"_s, ConversationStatus::needsYou);
        service.route(
            "GET", stateTarget(ConversationStatus::needsYou), emptyState(ConversationStatus::needsYou, { c }));
        service.route("GET", stateTarget(ConversationStatus::waiting), emptyState(ConversationStatus::waiting, { c }));
        service.route("GET", "/api/conversations/c1", detailOf(c));
        service.route(
            "POST", "/api/conversations/c1/messages", 503, R"({"message":"送信できませんでした（一時停止中）"})");
        Harness h(service.baseUrl());
        QVERIFY(h.saveToken(u"tok_mail_"_s + QString(43, u'a')));
        run(h.model->bootstrap());
        run(h.model->openConversation(u"c1"_s));

        h.model->setReplyText(u"よろしくお願いします"_s);
        run(h.model->sendReply());
        const std::optional<QString> failed(u"送信できませんでした（一時停止中）"_s);
        QCOMPARE(h.model->errorMessage(), failed);
        run(h.model->refresh(true));
        QCOMPARE(h.model->errorMessage(), failed);
        QCOMPARE(h.model->replyText(), u"よろしくお願いします"_s);

        // The same operation's success is what clears it.
        service.route("POST", "/api/conversations/c1/messages", 200, R"({"ok":true})");
        run(h.model->sendReply());
        QVERIFY2(!h.model->errorMessage(), qPrintable(h.model->errorMessage().value_or(QString())));
    }

    // A reply draft is written a moment after typing, privately, and the next
    // start of the application finds it (the first model never quits, as
    // after a crash). A draft of a conversation the service no longer has
    // goes when the list loads; a sent reply's draft leaves the file.
    void replyDraftsOutliveTheProcess()
    {
        ReferenceService service;
        QVERIFY2(service.start(), qPrintable(service.errorString()));
        Harness h(service.baseUrl());
        QVERIFY(h.saveToken(service.token()));
        run(h.model->bootstrap());
        const QString id = h.model->filteredConversations().value(0).id;
        QVERIFY(!id.isEmpty());
        run(h.model->openConversation(id));
        QSignalSpy saved(h.model.get(), &AppModel::draftsSaved);
        h.model->setReplyText(u"続きは明日書きます"_s);
        QVERIFY(saved.wait(10'000));
        const QString file = h.dataDir() + u"/drafts.json"_s;
        QCOMPARE(QFile::permissions(file), QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser);

        // A conversation that has gone from the service meanwhile.
        Drafts stored = run(DraftStore(file).load());
        QCOMPARE(stored.replies.value(id), u"続きは明日書きます"_s);
        stored.replies.insert(u"conv_gone"_s, u"宛先のない下書き"_s);
        run(DraftStore(file).save(stored));

        AppEnvironment environment;
        environment.baseURL = service.baseUrl();
        environment.credentialDirectory = h.dataDir();
        environment.aiConversationFile = h.aiFile();
        environment.codex = h.runner;
        environment.openWithDesktop = [](QString) -> QCoro::Task<bool> { co_return true; };
        AppModel again(environment);
        run(again.bootstrap());
        QCOMPARE(again.replyDrafts(), (QHash<QString, QString> { { id, u"続きは明日書きます"_s } }));
        run(again.openConversation(id));
        QCOMPARE(again.replyText(), u"続きは明日書きます"_s);

        run(again.sendReply());
        QVERIFY2(!again.errorMessage(), qPrintable(again.errorMessage().value_or(QString())));
        QVERIFY(again.replyDrafts().isEmpty());
        QTRY_VERIFY_WITH_TIMEOUT(run(DraftStore(file).load()).replies.isEmpty(), 10'000);
    }

    // Words typed while the reply is on its way stay; only what went out
    // leaves the draft.
    void textTypedWhileSendingStays()
    {
        FakeService service;
        routeStartUp(service);
        const ConversationListItem c = item(u"c1"_s, ConversationStatus::needsYou);
        service.route(
            "GET", stateTarget(ConversationStatus::needsYou), emptyState(ConversationStatus::needsYou, { c }));
        service.route("GET", stateTarget(ConversationStatus::waiting), emptyState(ConversationStatus::waiting, { c }));
        service.route("GET", "/api/conversations/c1", detailOf(c));
        service.route("POST", "/api/conversations/c1/messages", 200, R"({"ok":true})");
        const std::shared_ptr<Gate> replying = service.hold("POST", "/api/conversations/c1/messages");
        Harness h(service.baseUrl());
        QVERIFY(h.saveToken(u"tok_mail_"_s + QString(43, u'a')));
        run(h.model->bootstrap());
        run(h.model->openConversation(u"c1"_s));

        h.model->setReplyText(u"一段落目。"_s);
        auto sending = h.model->sendReply();
        QTRY_COMPARE_WITH_TIMEOUT(replying->arrived(), 1, 20'000);
        h.model->setReplyText(u"一段落目。\n追伸：資料は明日送ります"_s);
        replying->open();
        run(std::move(sending));

        QVERIFY2(!h.model->errorMessage(), qPrintable(h.model->errorMessage().value_or(QString())));
        QCOMPARE(h.model->replyDrafts().value(u"c1"_s), u"\n追伸：資料は明日送ります"_s);
        const QList<test::RecordedRequest> requests = service.requests();
        const auto sent = std::find_if(
            requests.cbegin(), requests.cend(), [](const test::RecordedRequest &r) { return r.method == "POST"; });
        QVERIFY(sent != requests.cend());
        QVERIFY(!QString::fromUtf8(sent->body).contains(u"追伸"_s));
    }

    // Out of reach, a reload says so in the banner, not in the alert, and
    // leaves the alert's message alone.
    void anUnreachableServiceIsABannerUntilAReloadGetsThrough()
    {
        ReferenceService service;
        QVERIFY2(service.start(), qPrintable(service.errorString()));
        // Started again, it comes back where the client knows it.
        const quint16 port = service.port();
        service.setServeArguments({ u"--port"_s, QString::number(port) });
        Harness h(service.baseUrl());
        QVERIFY(h.saveToken(service.token()));
        run(h.model->bootstrap());
        QVERIFY(!h.model->isServiceUnreachable());
        QCOMPARE(h.model->lastLoadedAt(), std::optional<qint64>(h.now));
        const qint64 loadedAt = h.now;
        h.now += 60'000;
        h.model->setErrorMessage(u"前の操作の失敗"_s);

        QVERIFY(service.stop());
        QSignalSpy alerts(h.model.get(), &AppModel::errorMessageChanged);
        run(h.model->refresh(true));
        run(h.model->refresh(true));
        QVERIFY(h.model->isServiceUnreachable());
        QCOMPARE(h.model->lastLoadedAt(), std::optional<qint64>(loadedAt));
        QCOMPARE(alerts.count(), 0);
        QCOMPARE(h.model->errorMessage(), std::optional<QString>(u"前の操作の失敗"_s));

        // A reply tried meanwhile fails, and says so.
        const QString id = h.model->filteredConversations().value(0).id;
        QVERIFY(!id.isEmpty());
        h.model->setErrorMessage(std::nullopt);
        QVERIFY2(service.start(), qPrintable(service.errorString()));
        run(h.model->openConversation(id));
        QCOMPARE(h.model->detail()->id, id);
        QVERIFY(service.stop());
        h.model->setReplyText(u"届くまで残してください"_s);
        run(h.model->sendReply());
        const std::optional<QString> replyFailure = h.model->errorMessage();
        QVERIFY(replyFailure);

        // The next reload that gets through ends the banner by itself; the
        // reply's failure stays, with its text, until the reply goes out.
        QVERIFY2(service.start(), qPrintable(service.errorString()));
        QCOMPARE(service.port(), port);
        h.now += 60'000;
        run(h.model->refresh(true));
        QVERIFY(!h.model->isServiceUnreachable());
        QCOMPARE(h.model->lastLoadedAt(), std::optional<qint64>(h.now));
        QCOMPARE(h.model->errorMessage(), replyFailure);
        QCOMPARE(h.model->replyText(), u"届くまで残してください"_s);
        run(h.model->sendReply());
        QVERIFY2(!h.model->errorMessage(), qPrintable(h.model->errorMessage().value_or(QString())));
        QVERIFY(h.model->replyText().isEmpty());
    }

    void setStatus_data()
    {
        QTest::addColumn<ConversationStatus>("status");
        QTest::addColumn<bool>("moves");
        QTest::newRow("done") << ConversationStatus::done << true;
        QTest::newRow("inbox") << ConversationStatus::inbox << true;
        QTest::newRow("ai working is not the user's to choose") << ConversationStatus::aiWorking << false;
        QTest::newRow("scheduled is not the user's to choose") << ConversationStatus::scheduled << false;
    }

    void setStatus()
    {
        QFETCH(ConversationStatus, status);
        QFETCH(bool, moves);
        ReferenceService service;
        QVERIFY2(service.start(), qPrintable(service.errorString()));
        Harness h(service.baseUrl());
        QVERIFY(h.saveToken(service.token()));
        run(h.model->bootstrap());
        const QString id = h.model->filteredConversations().value(0).id;
        QVERIFY(!id.isEmpty());
        run(h.model->openConversation(id));

        run(h.model->setStatus(status));

        QVERIFY2(!h.model->errorMessage(), qPrintable(h.model->errorMessage().value_or(QString())));
        QCOMPARE(serviceConversation(service, id)->status, moves ? status : ConversationStatus::needsYou);
        if (moves) {
            QCOMPARE(h.model->selectedStatus(), status);
            QCOMPARE(h.model->state()->status, status);
            QVERIFY(!h.model->selectedConversationID());
            QVERIFY(!h.model->detail());
            QVERIFY(ids(h.model->filteredConversations()).contains(id));
        } else {
            QCOMPARE(h.model->selectedStatus(), ConversationStatus::needsYou);
            QCOMPARE(h.model->detail()->id, id);
        }
    }

    // --- new conversations ----------------------------------------------------------

    void createdConversationOpensInItsList_data()
    {
        QTest::addColumn<bool>("scheduled");
        QTest::addColumn<ConversationStatus>("lands");
        QTest::addColumn<QString>("from"); // the lens the compose window was opened in
        QTest::newRow("sent now") << false << ConversationStatus::waiting << u"work"_s;
        QTest::newRow("scheduled") << true << ConversationStatus::scheduled << u"work"_s;
        QTest::newRow("sent from the people lens") << false << ConversationStatus::waiting << u"people"_s;
        QTest::newRow("sent from the AI lens") << false << ConversationStatus::waiting << u"ai"_s;
    }

    void createdConversationOpensInItsList()
    {
        QFETCH(bool, scheduled);
        QFETCH(ConversationStatus, lands);
        QFETCH(QString, from);
        ReferenceService service;
        QVERIFY2(service.start(), qPrintable(service.errorString()));
        Harness h(service.baseUrl());
        QVERIFY(h.saveToken(service.token()));
        run(h.model->bootstrap());
        if (from == u"people"_s)
            run(h.model->selectPeople());
        else if (from == u"ai"_s)
            run(h.model->selectAI());
        h.model->setComposePresented(true);
        std::optional<QDateTime> when;
        if (scheduled)
            when = QDateTime::currentDateTimeUtc().addDays(1);

        const bool sent = run(
            h.model->createConversation({ u"kim@example.com"_s }, u"新しい相談"_s, u"お時間ありますか。"_s, when));

        QVERIFY(sent);
        QVERIFY2(!h.model->errorMessage(), qPrintable(h.model->errorMessage().value_or(QString())));
        QVERIFY(!h.model->composePresented());
        QVERIFY(!h.model->isSending());
        QCOMPARE(h.model->lens(), MailLens::work);
        QCOMPARE(h.model->selectedStatus(), lands);
        QCOMPARE(h.model->state()->status, lands);
        QVERIFY(h.model->detail());
        QCOMPARE(h.model->detail()->subject, u"新しい相談"_s);
        QCOMPARE(h.model->selectedConversationID(), std::optional<QString>(h.model->detail()->id));
        QVERIFY(ids(h.model->filteredConversations()).contains(h.model->detail()->id));
    }

    void createdConversationAnswers_data()
    {
        QTest::addColumn<int>("httpStatus");
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<bool>("sent");
        QTest::addColumn<ConversationStatus>("shown");
        QTest::addColumn<QString>("opened");
        QTest::newRow("no status, with id") << 200 << QByteArray(R"({"ok":true,"conversationId":"conv_9"})") << true
                                            << ConversationStatus::waiting << u"conv_9"_s;
        QTest::newRow("status, no id") << 200 << QByteArray(R"({"ok":true,"status":"scheduled"})") << true
                                       << ConversationStatus::scheduled << QString();
        QTest::newRow("refused") << 422 << QByteArray(R"({"error":"invalid","message":"宛先を確認してください。"})")
                                 << false << ConversationStatus::needsYou << QString();
    }

    void createdConversationAnswers()
    {
        QFETCH(int, httpStatus);
        QFETCH(QByteArray, answer);
        QFETCH(bool, sent);
        QFETCH(ConversationStatus, shown);
        QFETCH(QString, opened);
        FakeService service;
        routeStartUp(service);
        service.route("POST", "/api/conversations", httpStatus, answer);
        service.route("GET", stateTarget(ConversationStatus::waiting),
            emptyState(ConversationStatus::waiting, { ConversationListItem { .id = u"conv_9"_s } }));
        service.route("GET", stateTarget(ConversationStatus::scheduled), emptyState(ConversationStatus::scheduled));
        service.route("GET", "/api/conversations/conv_9", detailWithId(u"conv_9"_s, ConversationStatus::waiting));
        Harness h(service.baseUrl());
        QVERIFY(h.saveToken(u"tok_mail_"_s + QString(43, u'a')));
        run(h.model->bootstrap());
        h.model->setComposePresented(true);

        // Whole milliseconds, truncated.
        const QDateTime when = QDateTime::fromMSecsSinceEpoch(1'800'000'000'123, Qt::UTC);
        QCOMPARE(run(h.model->createConversation({ u"kim@example.com"_s }, u"件名"_s, u"本文"_s, when)), sent);

        bool bodyChecked = false;
        for (const test::RecordedRequest &r : service.requests()) {
            if (r.method == "POST") {
                QVERIFY2(r.body.contains("\"scheduledFor\":1800000000123"), r.body.constData());
                bodyChecked = true;
            }
        }
        QVERIFY(bodyChecked);
        QVERIFY(!h.model->isSending());
        QCOMPARE(h.model->composePresented(), !sent);
        QCOMPARE(h.model->selectedStatus(), shown);
        QCOMPARE(h.model->selectedConversationID().value_or(QString()), opened);
        QCOMPARE(h.model->detail().has_value(), !opened.isEmpty());
        QCOMPARE(h.model->errorMessage(), sent ? std::nullopt : std::optional<QString>(u"宛先を確認してください。"_s));
    }

    // --- links ---------------------------------------------------------------------------

    void deepLinks_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<bool>("withToken");
        QTest::addColumn<QString>("opened");
        QTest::addColumn<QString>("error");
        QTest::addColumn<bool>("startsUp");
        QTest::addColumn<bool>("duringStartUp");
        QTest::newRow("conversation link")
            << u"quarn-mail://conversation/conv_1"_s << true << u"conv_1"_s << QString() << true << false;
        QTest::newRow("conversation link before any token")
            << u"quarn-mail://conversation/conv_1"_s << false << QString() << QString() << true << false;
        QTest::newRow("id outside the pattern")
            << u"quarn-mail://conversation/conv_1%20x"_s << true << QString() << QString() << false << false;
        QTest::newRow("scheme written in capitals")
            << u"QUARN-MAIL://conversation/conv_1"_s << true << QString() << QString() << false << false;
        QTest::newRow("another host") << u"quarn-mail://inbox/conv_1"_s << true << QString() << QString() << false
                                      << false;
        QTest::newRow("web link") << u"https://example.com/conversation/conv_1"_s << true << QString() << QString()
                                  << false << false;
        QTest::newRow("sign-in callback with no sign-in started")
            << u"quarn-mail://auth?code=abc&state=def"_s << true << QString() << kNoSignInPending << false << false;
        // The application started by a link: the window's start-up is still
        // reading the token when the link arrives.
        QTest::newRow("conversation link while start-up runs")
            << u"quarn-mail://conversation/conv_1"_s << true << u"conv_1"_s << QString() << true << true;
    }

    void deepLinks()
    {
        QFETCH(QString, url);
        QFETCH(bool, withToken);
        QFETCH(QString, opened);
        QFETCH(QString, error);
        QFETCH(bool, startsUp);
        QFETCH(bool, duringStartUp);
        FakeService service;
        routeStartUp(service);
        // A slow first reload: it must not close the linked conversation again.
        if (duringStartUp)
            service.route(
                "GET", stateTarget(ConversationStatus::needsYou), emptyState(ConversationStatus::needsYou), 300ms);
        service.route("GET", "/api/conversations/conv_1", detailWithId(u"conv_1"_s, ConversationStatus::waiting));
        service.route("GET", stateTarget(ConversationStatus::waiting),
            emptyState(ConversationStatus::waiting, { ConversationListItem { .id = u"conv_1"_s } }));
        Harness h(service.baseUrl());
        if (withToken)
            QVERIFY(h.saveToken(u"tok_mail_"_s + QString(43, u'a')));
        h.model->setSearchText(u"検索"_s);

        if (duringStartUp) {
            auto startUp = h.model->bootstrap();
            run(h.model->openDeepLink(url));
            run(std::move(startUp));
        } else {
            run(h.model->openDeepLink(url));
        }

        QCOMPARE(h.model->errorMessage().value_or(QString()), error);
        QVERIFY(!h.model->isSigningIn());
        // Start-up ran exactly when the link named a conversation.
        QCOMPARE(h.model->isConfigured(), startsUp && withToken);
        QCOMPARE(h.model->selectedConversationID().value_or(QString()), opened);
        if (opened.isEmpty()) {
            QVERIFY(!h.model->detail());
            QCOMPARE(service.count("/api/conversations"), 0);
            if (!startsUp)
                QCOMPARE(service.count(), 0);
        } else {
            QCOMPARE(h.model->detail()->id, opened);
            QCOMPARE(h.model->lens(), MailLens::work);
            QCOMPARE(h.model->selectedStatus(), ConversationStatus::waiting);
            QCOMPARE(h.model->state()->status, ConversationStatus::waiting);
            QVERIFY(h.model->searchText().isEmpty());
            QVERIFY(!h.model->isLoading());
        }
    }

    void conversationFromATimelineOpensInTheWorkLens()
    {
        ReferenceService service;
        QVERIFY2(service.start(), qPrintable(service.errorString()));
        Harness h(service.baseUrl());
        QVERIFY(h.saveToken(service.token()));
        run(h.model->bootstrap());
        run(h.model->openPerson(kSato));
        const QList<PersonTimelineMessage> messages = h.model->filteredPersonMessages();
        QVERIFY(!messages.isEmpty());
        // The oldest shown message is a weekly report, long done.
        const PersonTimelineMessage &message = messages.constFirst();
        QCOMPARE(message.conversationStatus, ConversationStatus::done);

        run(h.model->openTimelineConversation(message.conversationId));

        QCOMPARE(h.model->lens(), MailLens::work);
        QCOMPARE(h.model->selectedStatus(), ConversationStatus::done);
        QCOMPARE(h.model->detail()->id, message.conversationId);
        QCOMPARE(h.model->state()->status, ConversationStatus::done);
        QVERIFY(ids(h.model->filteredConversations()).contains(message.conversationId));
        // The person stays selected for the way back.
        QCOMPARE(h.model->selectedPersonEmail(), std::optional<QString>(kSato));

        // An unknown conversation leaves everything as it was.
        run(h.model->openTimelineConversation(u"conv_missing"_s));
        QVERIFY(h.model->errorMessage());
        QCOMPARE(h.model->detail()->id, message.conversationId);
        QVERIFY(!h.model->isLoading());
    }

    // --- Orro ------------------------------------------------------------------------------

    void orroLink_data()
    {
        QTest::addColumn<OrroActionKind>("kind");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("notes");
        QTest::addColumn<QDateTime>("dueAt");
        QTest::addColumn<QDateTime>("startsAt");
        QTest::addColumn<QDateTime>("endsAt");
        QTest::addColumn<bool>("opens");
        // name=value pairs, decoded, in order.
        QTest::addColumn<QStringList>("items");
        QTest::addColumn<QString>("path");

        const QString source = u"conv_1"_s;
        const QStringList sourceItems { u"sourceId=conv_1"_s, u"sourceUrl=quarn-mail://conversation/conv_1"_s,
            u"sourceLabel=Quarn Mail"_s };
        const QDateTime none;
        QTest::newRow("task without dates")
            << OrroActionKind::task << u"  請求書を確認  \n"_s << u" メモ "_s << none << none << none << true
            << (QStringList { u"title=請求書を確認"_s, u"notes= メモ "_s } + sourceItems) << u"/task"_s;
        QTest::newRow("event with start and end")
            << OrroActionKind::event << u"定例"_s << QString() << none
            << QDateTime(QDate(2026, 12, 5), QTime(14, 0, 0, 999), QTimeZone(9 * 3600))
            << QDateTime::fromMSecsSinceEpoch(1'796'446'800'500, Qt::UTC) << true
            << (QStringList { u"title=定例"_s, u"notes="_s } + sourceItems
                   + QStringList { u"startsAt=2026-12-05T05:00:00Z"_s, u"endsAt=2026-12-05T05:00:00Z"_s })
            << u"/event"_s;
        QTest::newRow("all three dates") << OrroActionKind::task << u"t"_s << u"n"_s
                                         << QDateTime::fromMSecsSinceEpoch(0, Qt::UTC)
                                         << QDateTime::fromMSecsSinceEpoch(1000, Qt::UTC)
                                         << QDateTime::fromMSecsSinceEpoch(2000, Qt::UTC) << true
                                         << (QStringList { u"title=t"_s, u"notes=n"_s } + sourceItems
                                                + QStringList { u"dueAt=1970-01-01T00:00:00Z"_s,
                                                    u"startsAt=1970-01-01T00:00:01Z"_s,
                                                    u"endsAt=1970-01-01T00:00:02Z"_s })
                                         << u"/task"_s;
        QTest::newRow("delimiters travel as text")
            << OrroActionKind::task << u"A+B & C=D #1 100%"_s << u"a&b=c+d\n2行目"_s << none << none << none << true
            << (QStringList { u"title=A+B & C=D #1 100%"_s, u"notes=a&b=c+d\n2行目"_s } + sourceItems) << u"/task"_s;
        // "é" as e + combining accent is one character; 300 of them cut to 240.
        const QString e = u"e\u0301"_s;
        QTest::newRow("long title and notes cut in characters")
            << OrroActionKind::task << e.repeated(300) << u"👍🏽"_s.repeated(20001) << none << none << none << true
            << (QStringList { u"title="_s + e.repeated(240), u"notes="_s + u"👍🏽"_s.repeated(20000) }
                   + sourceItems)
            << u"/task"_s;
        QTest::newRow("blank title") << OrroActionKind::task << u" \n　"_s << u"notes"_s << none << none << none
                                     << false << QStringList() << QString();
        QTest::newRow("time without a date-time form")
            << OrroActionKind::event << u"t"_s << QString() << none
            << QDateTime(QDate(10000, 1, 1), QTime(0, 0), Qt::UTC) << none << false << QStringList() << QString();
    }

    void orroLink()
    {
        QFETCH(OrroActionKind, kind);
        QFETCH(QString, title);
        QFETCH(QString, notes);
        QFETCH(QDateTime, dueAt);
        QFETCH(QDateTime, startsAt);
        QFETCH(QDateTime, endsAt);
        QFETCH(bool, opens);
        QFETCH(QStringList, items);
        QFETCH(QString, path);
        FakeService service;
        Harness h(service.baseUrl());
        auto given = [](const QDateTime &t) { return t.isNull() ? std::nullopt : std::optional<QDateTime>(t); };
        QSignalSpy anyChange(h.model.get(), &AppModel::errorMessageChanged);

        const AppModel::OrroHandoff answered
            = run(h.model->sendToOrro(kind, title, notes, given(dueAt), given(startsAt), given(endsAt), u"conv_1"_s));

        QCOMPARE(answered.outcome == AppModel::OrroHandoff::Outcome::handedOver, opens);
        QCOMPARE(anyChange.count(), 0);
        if (!opens) {
            QVERIFY(h.opened.isEmpty());
            return;
        }
        QCOMPARE(h.opened.size(), 1);
        const QUrl url = h.opened.constFirst();
        QCOMPARE(url.scheme(), u"quarn-orro"_s);
        QCOMPARE(url.host(), u"action"_s);
        QCOMPARE(url.path(), path);
        // Both ways of reading a query give back the same texts: "+" is never a blank.
        const QByteArray encodedQuery = url.query(QUrl::FullyEncoded).toLatin1();
        QVERIFY2(!encodedQuery.contains('+') && !encodedQuery.contains(' '), encodedQuery.constData());
        QStringList decoded;
        for (const QByteArray &pair : encodedQuery.split('&')) {
            const qsizetype eq = pair.indexOf('=');
            decoded.append(QString::fromUtf8(QByteArray::fromPercentEncoding(pair.left(eq))) + u'='
                + QString::fromUtf8(QByteArray::fromPercentEncoding(pair.mid(eq + 1))));
        }
        QCOMPARE(decoded, items);
        // And the link survives the trip through its text to the receiving program.
        QCOMPARE(QUrlQuery(QUrl(url.toString(QUrl::FullyEncoded))).queryItemValue(u"title"_s, QUrl::FullyDecoded),
            items.constFirst().mid(6));
    }

    void orroLinkNobodyHandles()
    {
        FakeService service;
        Harness h(service.baseUrl());
        h.urlsOpen = false;
        const AppModel::OrroHandoff answered = run(h.model->sendToOrro(
            OrroActionKind::task, u"t"_s, QString(), std::nullopt, std::nullopt, std::nullopt, u"conv_1"_s));
        QCOMPARE(answered.outcome, AppModel::OrroHandoff::Outcome::failed);
        QCOMPARE(answered.message, u"Orroを開けませんでした。"_s);
        QCOMPARE(h.opened.size(), 1);
        QVERIFY(!h.model->errorMessage());
    }

    void calendarFileWhenNoProgramTakesOrroLinks_data()
    {
        QTest::addColumn<OrroActionKind>("kind");
        QTest::addColumn<bool>("dated");
        QTest::addColumn<QStringList>("expected"); // unfolded lines between BEGIN and END of the item
        const QString url = u"URL:quarn-mail://conversation/conv_1"_s;
        // A title with every character TEXT escapes, notes with a line break
        // and long enough to be folded inside a multi-byte character.
        const QString escapedNotes = u"DESCRIPTION:一行目\\n"_s + u"あ"_s.repeated(40);
        QTest::newRow("Todo with a due time")
            << OrroActionKind::task << true
            << QStringList { u"SUMMARY:見積\\; 税\\, 込\\\\版"_s, escapedNotes, u"DUE:20261205T050000Z"_s, url };
        QTest::newRow("Todo without a date")
            << OrroActionKind::task << false << QStringList { u"SUMMARY:見積\\; 税\\, 込\\\\版"_s, escapedNotes, url };
        QTest::newRow("event of one hour") << OrroActionKind::event << true
                                           << QStringList { u"SUMMARY:見積\\; 税\\, 込\\\\版"_s, escapedNotes,
                                                  u"DTSTART:20261205T050000Z"_s, u"DTEND:20261205T060000Z"_s, url };
    }

    void calendarFileWhenNoProgramTakesOrroLinks()
    {
        // No program takes quarn-orro links: the item goes to the desktop's
        // calendar app as an iCalendar file, private, that links back.
        QFETCH(OrroActionKind, kind);
        QFETCH(bool, dated);
        QFETCH(QStringList, expected);
        FakeService service;
        Harness h(service.baseUrl());
        h.handledTypes = QStringList { u"text/calendar"_s };
        const QDateTime start(QDate(2026, 12, 5), QTime(5, 0), Qt::UTC);
        const bool event = kind == OrroActionKind::event;
        const auto due = dated && !event ? std::optional(start) : std::nullopt;
        const auto starts = event ? std::optional(start) : std::nullopt;
        const auto ends = event ? std::optional(start.addSecs(3600)) : std::nullopt;

        const AppModel::OrroHandoff answered = run(h.model->sendToOrro(
            kind, u" 見積; 税, 込\\版 "_s, u"一行目\n"_s + u"あ"_s.repeated(40), due, starts, ends, u"conv_1"_s));

        QCOMPARE(answered.outcome, AppModel::OrroHandoff::Outcome::handedOver);
        QCOMPARE(h.opened.size(), 1);
        QVERIFY(h.opened.first().isLocalFile());
        const QString path = h.opened.first().toLocalFile();
        QCOMPARE(QFileInfo(path).path(), h.home.filePath(u"data/calendar"_s));
        QCOMPARE(quarn::platform::linkStatus(path)->permissions, mode_t(0600));
        QCOMPARE(quarn::platform::linkStatus(QFileInfo(path).path())->permissions, mode_t(0700));
        const QStringList lines = calendarLines(path);
        const QString component = event ? u"VEVENT"_s : u"VTODO"_s;
        QCOMPARE(lines.mid(0, 3), (QStringList { u"BEGIN:VCALENDAR"_s, u"VERSION:2.0"_s, lines.value(2) }));
        QVERIFY(lines.value(2).startsWith(u"PRODID:"_s));
        QCOMPARE(lines.value(3), u"BEGIN:"_s + component);
        QVERIFY(lines.value(4).startsWith(u"UID:"_s) && lines.value(4).size() > 10);
        QCOMPARE(lines.value(5),
            u"DTSTAMP:"_s
                + QDateTime::fromMSecsSinceEpoch(h.model->now(), Qt::UTC).toString(u"yyyyMMdd'T'HHmmss'Z'"_s));
        QCOMPARE(lines.mid(6, expected.size()), expected);
        QCOMPARE(lines.mid(6 + expected.size()), (QStringList { u"END:"_s + component, u"END:VCALENDAR"_s }));

        // Nothing takes calendar files either: kept in Downloads, and the
        // sheet is told where.
        h.handledTypes.clear();
        const AppModel::OrroHandoff kept = run(h.model->sendToOrro(
            kind, u" 見積; 税, 込\\版 "_s, u"一行目\n"_s + u"あ"_s.repeated(40), due, starts, ends, u"conv_1"_s));
        QCOMPARE(kept.outcome, AppModel::OrroHandoff::Outcome::saved);
        QCOMPARE(h.opened.size(), 1);
        const QStringList downloads = QDir(h.home.filePath(u"Downloads"_s)).entryList(QDir::Files);
        QCOMPARE(downloads.size(), 1);
        QVERIFY2(kept.message.contains(h.home.filePath(u"Downloads/"_s) + downloads.first()), qPrintable(kept.message));
        QCOMPARE(calendarLines(h.home.filePath(u"Downloads/"_s) + downloads.first()).mid(6), lines.mid(6));
    }

    void calendarAppThatFailsIsAFailure()
    {
        FakeService service;
        Harness h(service.baseUrl());
        h.handledTypes = QStringList { u"text/calendar"_s };
        h.urlsOpen = false;
        const AppModel::OrroHandoff answered = run(h.model->sendToOrro(
            OrroActionKind::task, u"t"_s, QString(), std::nullopt, std::nullopt, std::nullopt, u"conv_1"_s));
        QCOMPARE(answered.outcome, AppModel::OrroHandoff::Outcome::failed);
        QCOMPARE(answered.message, u"カレンダーアプリで開けませんでした。"_s);
    }

    void operationsAreCallableFromScript()
    {
        FakeService service;
        routeStartUp(service);
        service.route("POST", "/api/conversations", 200, R"({"ok":true,"status":"waiting"})");
        service.route("GET", stateTarget(ConversationStatus::waiting), emptyState(ConversationStatus::waiting));
        Harness h(service.baseUrl());
        QVERIFY(h.saveToken(u"tok_mail_"_s + QString(43, u'a')));
        run(h.model->bootstrap());
        QJSEngine engine;
        QJSEngine::setObjectOwnership(h.model.get(), QJSEngine::CppOwnership);
        engine.globalObject().setProperty(u"appModel"_s, engine.newQObject(h.model.get()));
        auto evaluate = [&](const QString &script) {
            const QJSValue value = engine.evaluate(script);
            if (value.isError())
                qWarning("%s", qPrintable(value.toString()));
            return value;
        };

        QVERIFY(evaluate(u"appModel.operations.sendToOrro('event', ' 定例 ', '', null,"
                         " new Date(Date.UTC(2026, 11, 5, 5, 0, 0, 250)), undefined, 'conv_1')"_s)
                    .toBool());
        const QUrlQuery query(h.opened.constLast());
        QCOMPARE(query.queryItemValue(u"startsAt"_s, QUrl::FullyDecoded), u"2026-12-05T05:00:00Z"_s);
        QVERIFY(!query.hasQueryItem(u"dueAt"_s) && !query.hasQueryItem(u"endsAt"_s));
        QCOMPARE(evaluate(u"appModel.operations.sendToOrro('note', 't', '', null, null, null, 'c')"_s).toBool(), false);
        QCOMPARE(h.opened.size(), 1);

        // An unknown status is not a request.
        const int before = service.count();
        evaluate(u"appModel.operations.selectStatus('urgent')"_s);
        QCOMPARE(service.count(), before);

        QSignalSpy finished(h.model->operations(), &AppModelOperations::createConversationFinished);
        evaluate(u"appModel.operations.createConversation(['kim@example.com'], '件名', '本文', null)"_s);
        QVERIFY(h.model->isSending());
        QVERIFY(finished.wait(20'000));
        QCOMPARE(finished.constFirst().constFirst().toBool(), true);
        QCOMPARE(h.model->selectedStatus(), ConversationStatus::waiting);
        for (const test::RecordedRequest &r : service.requests()) {
            if (r.method == "POST")
                QVERIFY2(!r.body.contains("scheduledFor"), r.body.constData());
        }
    }

    // --- sign-in, token, address -------------------------------------------------------

    void browserSignInEndsWithAWorkingModel()
    {
        ReferenceService service;
        QVERIFY2(service.start(), qPrintable(service.errorString()));
        Harness h(service.baseUrl());
        run(h.model->bootstrap());
        QVERIFY(!h.model->isConfigured());
        // An earlier sign-in's failure goes when a new one starts.
        run(h.model->openDeepLink(u"quarn-mail://auth/callback?code=x&state=y"_s));
        QVERIFY(h.model->errorMessage());

        h.model->signInWithQuarn();
        QVERIFY(h.model->isSigningIn());
        QVERIFY(!h.model->errorMessage());
        QCOMPARE(h.opened.size(), 1);
        // A second press while the browser is open changes nothing.
        h.model->signInWithQuarn();
        QCOMPARE(h.opened.size(), 1);

        const QUrl callback = blockOn(decide(h.opened.constFirst(), service.baseUrl(), u"allow"_s), 20s);
        QVERIFY2(QuarnAccountAuthorization::isAuthorizationCallback(callback), qPrintable(callback.toString()));
        run(h.model->openDeepLink(callback));

        QVERIFY2(!h.model->errorMessage(), qPrintable(h.model->errorMessage().value_or(QString())));
        QVERIFY(!h.model->isSigningIn());
        QVERIFY(h.model->isConfigured());
        QVERIFY(h.model->state());
        QVERIFY(!h.model->filteredConversations().isEmpty());
        const std::optional<QString> stored = DeviceCredentialStore(h.dataDir()).load();
        QVERIFY(stored && DeviceCredentialStore::isValidToken(*stored));

        // The sign-in is over: the same callback again finds nothing pending.
        run(h.model->openDeepLink(callback));
        QCOMPARE(h.model->errorMessage(), std::optional<QString>(kNoSignInPending));
        QVERIFY(h.model->isConfigured());
    }

    void failedSignIn_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<QString>("error");
        QTest::newRow("declined in the browser") << u"deny"_s << kSignInFailed;
        QTest::newRow("callback for another sign-in") << u"forged state"_s << kSignInFailed;
        QTest::newRow("browser does not open") << u"no browser"_s << u"ブラウザを開けませんでした。"_s;
        QTest::newRow("no secure randomness") << u"no randomness"_s << SecureRandomError().description();
    }

    void failedSignIn()
    {
        QFETCH(QString, how);
        QFETCH(QString, error);
        ReferenceService service;
        QVERIFY2(service.start(), qPrintable(service.errorString()));
        Harness h(service.baseUrl());
        h.urlsOpen = how != u"no browser"_s;
        h.randomFails = how == u"no randomness"_s;

        h.model->signInWithQuarn();
        if (how == u"deny"_s || how == u"forged state"_s) {
            QVERIFY(h.model->isSigningIn());
            QUrl callback
                = blockOn(decide(h.opened.constFirst(), service.baseUrl(), how == u"deny"_s ? how : u"allow"_s), 20s);
            if (how == u"forged state"_s) {
                QUrlQuery query(callback);
                query.removeAllQueryItems(u"state"_s);
                query.addQueryItem(u"state"_s, QString(43, u'x'));
                callback.setQuery(query);
            }
            run(h.model->openDeepLink(callback));
        }

        QCOMPARE(h.model->errorMessage(), std::optional<QString>(error));
        QVERIFY(!h.model->isSigningIn());
        QVERIFY(!h.model->isConfigured());
        QCOMPARE(h.opened.size(), how == u"no randomness"_s ? 0 : 1);
        QVERIFY(!QFileInfo::exists(h.tokenPath()));
        // Nothing stays pending: a late callback asks for a fresh start.
        run(h.model->openDeepLink(QUrl(u"quarn-mail://auth?code=c&state=s"_s)));
        QCOMPARE(h.model->errorMessage(), std::optional<QString>(kNoSignInPending));
        // And a new sign-in can begin.
        h.urlsOpen = true;
        h.randomFails = false;
        h.model->signInWithQuarn();
        QVERIFY(h.model->isSigningIn());
    }

    void savingAToken_data()
    {
        QTest::addColumn<bool>("wellFormed");
        QTest::newRow("with surrounding blanks") << true;
        QTest::newRow("malformed") << false;
    }

    void savingAToken()
    {
        QFETCH(bool, wellFormed);
        ReferenceService service;
        QVERIFY2(service.start(), qPrintable(service.errorString()));
        Harness h(service.baseUrl());
        run(h.model->bootstrap());

        run(h.model->saveToken(wellFormed ? u" \t"_s + service.token() + u"\r\n"_s : u" tok_mail_short "_s));

        if (wellFormed) {
            QVERIFY2(!h.model->errorMessage(), qPrintable(h.model->errorMessage().value_or(QString())));
            QVERIFY(h.model->isConfigured());
            QCOMPARE(DeviceCredentialStore(h.dataDir()).load(), std::optional<QString>(service.token()));
            // Used without the blanks: the service accepted it.
            QVERIFY(h.model->state());
        } else {
            QCOMPARE(h.model->errorMessage(),
                std::optional<QString>(CredentialStoreError(CredentialStoreError::Kind::invalidToken).description()));
            QVERIFY(!h.model->isConfigured());
            QVERIFY(!h.model->state());
            QVERIFY(!QFileInfo::exists(h.tokenPath()));
        }
    }

    void claimingAnAddress_data()
    {
        QTest::addColumn<QString>("localPart");
        QTest::addColumn<QString>("displayName");
        QTest::addColumn<QString>("error");
        QTest::addColumn<QString>("address");
        const QString taken = u"このアドレスはすでに使われています。"_s;
        QTest::newRow("claimed as typed") << u" Yamada.Taro "_s << u" 山田 太郎 "_s << QString() << u"yamada.taro"_s;
        QTest::newRow("taken by another account") << u"kim"_s << u"山田"_s << taken << QString();
        QTest::newRow("reserved") << u"admin"_s << u"山田"_s << taken << QString();
        QTest::newRow("refused by the rules")
            << u"a"_s << u"山田"_s
            << u"アドレスには英小文字・数字・「.」「_」「-」だけを使い、3〜30文字で、英数字で始めて英数字で終えてください。"_s
            << QString();
        QTest::newRow("no display name") << u"yamada"_s << u"  "_s << u"表示名を入力してください。"_s << QString();
    }

    void claimingAnAddress()
    {
        QFETCH(QString, localPart);
        QFETCH(QString, displayName);
        QFETCH(QString, error);
        QFETCH(QString, address);
        ReferenceService service(ReferenceService::Data::Empty);
        QVERIFY2(service.start(), qPrintable(service.errorString()));
        QVERIFY(service.addUser(u"Kim"_s, u"kim@example.com"_s, u"kim"_s));
        Harness h(service.baseUrl());
        QVERIFY(h.saveToken(service.token()));
        run(h.model->bootstrap());
        QVERIFY(h.model->state());
        QVERIFY(!h.model->state()->mailbox);
        QSignalSpy claiming(h.model.get(), &AppModel::isClaimingAddressChanged);

        auto claim = h.model->claimAddress(localPart, displayName);
        QVERIFY(h.model->isClaimingAddress());
        // A second press while the first runs is not sent.
        auto second = h.model->claimAddress(u"other"_s, u"Other"_s);
        QVERIFY(second.isReady());
        run(std::move(claim));

        QCOMPARE(claiming.count(), 2);
        QVERIFY(!h.model->isClaimingAddress());
        QCOMPARE(h.model->errorMessage().value_or(QString()), error);
        if (address.isEmpty()) {
            QVERIFY(!h.model->state()->mailbox);
        } else {
            QVERIFY(h.model->state()->mailbox);
            QCOMPARE(h.model->state()->mailbox->address, address + u'@' + service.mailDomain());
            QCOMPARE(h.model->state()->mailbox->displayName, u"山田 太郎"_s);
        }
    }

    // --- people ---------------------------------------------------------------------------

    void timelinePagesMergeWithoutGapsOrRepeats()
    {
        ReferenceService service;
        QVERIFY2(service.start(), qPrintable(service.errorString()));
        Harness h(service.baseUrl());
        QVERIFY(h.saveToken(service.token()));
        run(h.model->bootstrap());
        // The service's own pages, newest first, for comparison.
        const PersonTimeline page1 = servicePage(service, kSato, std::nullopt);
        QVERIFY(page1.hasMore && page1.nextBefore);
        QVERIFY2(page1.messages.size() > 50, "the demo's first page ends inside a run of equal times");
        const PersonTimeline page2 = servicePage(service, kSato, page1.nextBefore);
        QVERIFY(page2.hasMore && page2.nextBefore);
        const PersonTimeline page3 = servicePage(service, kSato, page2.nextBefore);
        QVERIFY(!page3.hasMore);

        run(h.model->openPerson(kSato));
        QCOMPARE(h.model->personTimeline()->messages, page1.messages);
        run(h.model->loadOlderPersonMessages());
        QCOMPARE(h.model->personTimeline()->nextBefore, page2.nextBefore);
        run(h.model->loadOlderPersonMessages());

        const PersonTimeline &loaded = *h.model->personTimeline();
        QCOMPARE(loaded.messages.size(), 114);
        QCOMPARE(ids(loaded.messages), ids(page3.messages + page2.messages + page1.messages));
        const QStringList loadedIds = ids(loaded.messages);
        QCOMPARE(QSet<QString>(loadedIds.cbegin(), loadedIds.cend()).size(), 114);
        QVERIFY(!loaded.hasMore);
        QCOMPARE(loaded.nextBefore, page3.nextBefore);
        QCOMPARE(h.model->filteredPersonMessagesModel()->rowCount(), 114);
        // At the end nothing more is asked for.
        QSignalSpy paging(h.model.get(), &AppModel::isLoadingOlderMessagesChanged);
        auto more = h.model->loadOlderPersonMessages();
        QVERIFY(more.isReady());
        QCOMPARE(paging.count(), 0);

        // A reload keeps the older pages and their cursor, and adds what arrived.
        const auto delivered = service.deliver(
            { .from = kSato, .fromName = u"佐藤 健"_s, .subject = u"追加のご連絡"_s, .body = u"資料を送ります。"_s });
        QVERIFY2(delivered, qPrintable(service.errorString()));
        run(h.model->refresh(true));
        const PersonTimeline &reloaded = *h.model->personTimeline();
        QCOMPARE(reloaded.messages.size(), 115);
        QCOMPARE(reloaded.messages.constLast().id, delivered->messageId);
        QVERIFY(!reloaded.hasMore);
        QCOMPARE(reloaded.person.messageCount, page1.person.messageCount + 1);

        // Another person replaces the timeline; nothing is merged in.
        QString other;
        for (const PersonSummary &p : h.model->people()) {
            if (p.email != kSato) {
                other = p.email;
                break;
            }
        }
        QVERIFY(!other.isEmpty());
        run(h.model->openPerson(other));
        QCOMPARE(h.model->personTimeline()->messages, servicePage(service, other, std::nullopt).messages);
    }

    void mergeRules()
    {
        FakeService service;
        routeStartUp(service);
        service.route("GET", "/api/people", PeopleResponse { { pat() } });
        PersonTimeline newest;
        newest.person = pat();
        newest.messages = { timelineMessage(u"m2"_s, 200), timelineMessage(u"m5"_s, 300) };
        newest.hasMore = true;
        newest.nextBefore = 200;
        service.route("GET", "/api/people/pat@example.com/timeline", newest);
        PersonTimeline older;
        older.person = pat();
        older.messages = { timelineMessage(u"m1"_s, 100) };
        service.route("GET", "/api/people/pat@example.com/timeline?before=200", older);
        Harness h(service.baseUrl());
        QVERIFY(h.saveToken(u"tok_mail_"_s + QString(43, u'a')));
        run(h.model->bootstrap());
        run(h.model->selectPeople());
        run(h.model->openPerson(u"pat@example.com"_s));
        run(h.model->loadOlderPersonMessages());
        QCOMPARE(ids(h.model->personTimeline()->messages), (QStringList { u"m1"_s, u"m2"_s, u"m5"_s }));
        QVERIFY(!h.model->personTimeline()->hasMore);

        // The next reload's page repeats m5 with new content and brings m3 at
        // the same time: one copy of m5, the newer one, and ties by id.
        newest.person.messageCount = 4;
        newest.messages = { timelineMessage(u"m2"_s, 200), timelineMessage(u"m5"_s, 300, u"改訂"_s),
            timelineMessage(u"m3"_s, 300) };
        service.route("GET", "/api/people/pat@example.com/timeline", newest);
        run(h.model->refresh(true));
        const PersonTimeline &merged = *h.model->personTimeline();
        QCOMPARE(ids(merged.messages), (QStringList { u"m1"_s, u"m2"_s, u"m3"_s, u"m5"_s }));
        QCOMPARE(merged.messages.constLast().bodyText, u"改訂"_s);
        QCOMPARE(merged.person.messageCount, 4);
        QVERIFY(!merged.hasMore);
        QVERIFY(!merged.nextBefore);

        // Once the person is no longer listed, the selection and timeline go.
        service.route("GET", "/api/people", PeopleResponse {});
        run(h.model->refresh(true));
        QVERIFY(!h.model->selectedPersonEmail());
        QVERIFY(!h.model->personTimeline());
        QCOMPARE(h.model->filteredPersonMessagesModel()->rowCount(), 0);
    }

    // --- AI conversations ---------------------------------------------------------------

    void chatStartsAConversationWhenNoneIsSelected()
    {
        FakeService service;
        Harness h(service.baseUrl(), Harness::Codex::double_);
        run(h.model->bootstrap());
        QVERIFY(h.model->isCodexReady());
        h.home.setAnswer(u"  はい、どうぞ。\n"_s.toUtf8());
        h.model->setAiInput(u"\n  来週の予定を整理して  \n  二行目も読んで \n"_s);

        // Pressed twice before the new conversation is saved: one turn only.
        auto turn = h.model->sendAIChat();
        auto again = h.model->sendAIChat();
        run(std::move(turn));
        run(std::move(again));

        QVERIFY2(!h.model->errorMessage(), qPrintable(h.model->errorMessage().value_or(QString())));
        QCOMPARE(h.model->lens(), MailLens::ai);
        QCOMPARE(h.model->aiConversations().size(), 1);
        const AIConversation conversation = h.model->aiConversations().constFirst();
        QCOMPARE(h.model->selectedAIConversationID(), std::optional<QString>(conversation.id));
        const QRegularExpression uuid(u"^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$"_s);
        QVERIFY(conversation.id.startsWith(u"ai_"_s) && uuid.match(conversation.id.mid(3)).hasMatch());
        QCOMPARE(conversation.title, u"来週の予定を整理して"_s);
        QCOMPARE(conversation.messages.size(), 2);
        QCOMPARE(conversation.messages.at(0).role, AIChatRole::user);
        QCOMPARE(conversation.messages.at(0).content, u"来週の予定を整理して  \n  二行目も読んで"_s);
        QCOMPARE(conversation.messages.at(1).role, AIChatRole::assistant);
        QCOMPARE(conversation.messages.at(1).content, u"はい、どうぞ。"_s);
        for (const AIChatMessage &m : conversation.messages)
            QVERIFY(m.id.startsWith(u"msg_"_s) && uuid.match(m.id.mid(4)).hasMatch());
        QVERIFY(conversation.messages.at(0).id != conversation.messages.at(1).id);
        QCOMPARE(conversation.updatedAt, h.now);
        QVERIFY(h.model->aiInput().isEmpty());
        QVERIFY(!h.model->isSendingAIChat());
        QCOMPARE(storedConversations(h), h.model->aiConversations());
        QVERIFY(QString::fromUtf8(h.home.recorded(u"exec"_s, u"stdin"_s).value_or(QByteArray()))
                    .contains(u"二行目も読んで"_s));

        // The title came from the first message; later ones leave it.
        h.model->setAiInput(u"別の話題"_s);
        run(h.model->sendAIChat());
        QCOMPARE(h.model->aiConversations().constFirst().title, u"来週の予定を整理して"_s);
        QCOMPARE(h.model->aiConversations().constFirst().messages.size(), 4);

        // A first line of 100 characters gives a 40-character title; two
        // conversations made in the same millisecond still differ.
        run(h.model->newAIConversation());
        const QString first = *h.model->selectedAIConversationID();
        run(h.model->newAIConversation());
        QVERIFY(*h.model->selectedAIConversationID() != first);
        h.model->setAiInput(u"あ"_s.repeated(100) + u"\n続き"_s);
        run(h.model->sendAIChat());
        QCOMPARE(h.model->selectedAIConversation()->title, u"あ"_s.repeated(40));
        QCOMPARE(h.model->aiConversations().size(), 3);
        QCOMPARE(storedConversations(h), h.model->aiConversations());

        // A name the user gave before the first message stays.
        run(h.model->newAIConversation());
        run(h.model->renameAIConversation(*h.model->selectedAIConversationID(), u"旅行"_s));
        h.model->setAiInput(u"宿はどこが良い？"_s);
        run(h.model->sendAIChat());
        QCOMPARE(h.model->selectedAIConversation()->messages.size(), 2);
        QCOMPARE(h.model->selectedAIConversation()->title, u"旅行"_s);
        QCOMPARE(storedConversations(h), h.model->aiConversations());
    }

    void answerLandsInTheConversationItWasAskedIn()
    {
        FakeService service;
        Harness h(service.baseUrl(), Harness::Codex::double_);
        run(h.model->bootstrap());
        run(h.model->newAIConversation());
        const QString asked = *h.model->selectedAIConversationID();
        h.now += 1000;
        run(h.model->newAIConversation());
        const QString other = *h.model->selectedAIConversationID();
        h.model->setSelectedAIConversationID(asked);
        h.home.setAnswer(QByteArrayLiteral("答えです"));
        // Long enough for the user's moves below to happen while it runs.
        h.home.setControl(u"delay_ms=1500\n"_s);

        h.model->setAiInput(u"質問"_s);
        auto turn = h.model->sendAIChat();
        QVERIFY(h.model->isSendingAIChat());
        QCOMPARE(h.model->aiConversations().constFirst().id, asked);
        // Meanwhile the user goes elsewhere and starts a new conversation;
        // a send there is ignored while the turn runs.
        h.model->setSelectedAIConversationID(other);
        run(h.model->newAIConversation());
        const QString created = *h.model->selectedAIConversationID();
        h.model->setAiInput(u"待てない"_s);
        auto ignored = h.model->sendAIChat();
        QVERIFY(ignored.isReady());
        run(std::move(turn));

        QVERIFY(!h.model->isSendingAIChat());
        QCOMPARE(h.model->selectedAIConversationID(), std::optional<QString>(created));
        QCOMPARE(h.model->aiInput(), u"待てない"_s);
        const QList<AIConversation> &all = h.model->aiConversations();
        QCOMPARE(all.size(), 3);
        QCOMPARE(all.at(0).id, asked);
        QCOMPARE(all.at(0).messages.size(), 2);
        QCOMPARE(all.at(0).messages.at(1).content, u"答えです"_s);
        for (qsizetype i = 1; i < all.size(); ++i)
            QVERIFY(all.at(i).messages.isEmpty());
        QCOMPARE(storedConversations(h), all);
    }

    void failedTurnKeepsTheUsersMessage_data()
    {
        QTest::addColumn<bool>("storeFails");
        QTest::newRow("the engine fails") << false;
        QTest::newRow("the store fails") << true;
    }

    void failedTurnKeepsTheUsersMessage()
    {
        QFETCH(bool, storeFails);
        FakeService service;
        Harness h(service.baseUrl(), Harness::Codex::double_);
        run(h.model->bootstrap());
        run(h.model->newAIConversation());
        (void)h.execRan();
        h.home.setControl(u"exec_exit=3\n"_s);
        // Writing fails part-way: the file-size limit stops the rewrite (its
        // signal ignored).
        rlimit saved {};
        QVERIFY(::getrlimit(RLIMIT_FSIZE, &saved) == 0);
        const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        if (storeFails) {
            rlimit small = saved;
            small.rlim_cur = 64;
            QVERIFY(::setrlimit(RLIMIT_FSIZE, &small) == 0);
        }

        h.model->setAiInput(u"届きますか"_s);
        run(h.model->sendAIChat());
        QVERIFY(::setrlimit(RLIMIT_FSIZE, &saved) == 0);
        std::signal(SIGXFSZ, oldHandler);

        QVERIFY(!h.model->isSendingAIChat());
        QVERIFY(h.model->errorMessage());
        const AIConversation shown = *h.model->selectedAIConversation();
        QCOMPARE(shown.messages.size(), 1);
        QCOMPARE(shown.messages.constFirst().content, u"届きますか"_s);
        QCOMPARE(shown.title, u"届きますか"_s);
        if (storeFails) {
            // The AI was never asked.
            QVERIFY(!h.execRan());
        } else {
            QCOMPARE(h.model->errorMessage(), std::optional<QString>(CodexRunnerError::failed(3).description()));
            QCOMPARE(storedConversations(h), h.model->aiConversations());
        }
    }

    void chatNeedsAReadyEngineAndText()
    {
        FakeService service;
        Harness h(service.baseUrl());
        run(h.model->bootstrap());
        QVERIFY(!h.model->isCodexReady());
        h.model->setAiInput(u"こんにちは"_s);
        auto notReady = h.model->sendAIChat();
        QVERIFY(notReady.isReady());
        QVERIFY(h.model->aiConversations().isEmpty());
        QCOMPARE(h.model->aiInput(), u"こんにちは"_s);
        QVERIFY(!h.model->errorMessage());

        // A selection that the file no longer holds goes when the list loads.
        run(h.model->newAIConversation());
        run(AIConversationStore(h.aiFile()).save({ AIConversation { u"ai_kept"_s, u"残る"_s, {}, 1, 1 } }));
        run(h.model->selectAI());
        QCOMPARE(h.model->selectedAIConversationID(), std::optional<QString>(u"ai_kept"_s));
    }

    void loadStillReadingNeverReplacesANewerList()
    {
        FakeService service;
        Harness h(service.baseUrl(), Harness::Codex::double_);
        const AIConversation earlier = earlierConversation();
        run(AIConversationStore(h.aiFile()).save({ earlier }));
        run(h.model->bootstrap());
        QVERIFY(h.model->isCodexReady());
        h.model->setSelectedAIConversationID(earlier.id);
        h.home.setAnswer(QByteArrayLiteral("答えです"));

        // The lens reloads the file while the user sends: the read comes
        // back after the user's message was added to the list. (A save still
        // being written keeps the read queued behind it on the store.)
        auto saving = h.model->newAIConversation();
        h.model->setSelectedAIConversationID(earlier.id);
        h.model->setAiInput(u"続きの質問"_s);
        auto loading = h.model->selectAI();
        QVERIFY(!loading.isReady());
        auto turn = h.model->sendAIChat();
        QVERIFY(!turn.isReady());
        QCOMPARE(h.model->aiConversations().constFirst().messages.size(), 2);
        run(std::move(saving));
        run(std::move(loading));
        QCOMPARE(h.model->aiConversations().constFirst().messages.size(), 2);
        run(std::move(turn));

        QVERIFY2(!h.model->errorMessage(), qPrintable(h.model->errorMessage().value_or(QString())));
        const QList<AIChatMessage> messages = h.model->aiConversations().constFirst().messages;
        QCOMPARE(messages.size(), 3);
        QCOMPARE(messages.at(1).content, u"続きの質問"_s);
        QCOMPARE(messages.at(2).content, u"答えです"_s);
        // The engine was asked with the whole conversation.
        const QString asked = QString::fromUtf8(h.home.recorded(u"exec"_s, u"stdin"_s).value_or(QByteArray()));
        QVERIFY(asked.contains(u"続きの質問"_s));
        QVERIFY(asked.contains(earlier.messages.constFirst().content));
        QCOMPARE(storedConversations(h), h.model->aiConversations());
    }

    // The first read of the file is held (its folder lock taken by the test)
    // while the user starts a conversation: the new one joins the stored
    // ones instead of being saved alone over them.
    void conversationStartedWhileTheFirstReadRunsJoinsTheStoredOnes()
    {
        FakeService service;
        Harness h(service.baseUrl());
        const AIConversation earlier = earlierConversation();
        const AIConversation second { u"ai_second"_s, u"二つ目"_s, {}, 5, 5 };
        run(AIConversationStore(h.aiFile()).save({ earlier, second }));
        const QByteArray folder = QFile::encodeName(h.dataDir());
        const int held = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        QVERIFY(held >= 0);
        QCOMPARE(::flock(held, LOCK_EX), 0);

        auto starting = h.model->bootstrap();
        auto creating = h.model->newAIConversation();
        QVERIFY(!creating.isReady());
        QVERIFY(h.model->isReadingAIConversations());
        ::close(held);
        run(std::move(creating));
        run(std::move(starting));

        QVERIFY2(!h.model->errorMessage(), qPrintable(h.model->errorMessage().value_or(QString())));
        QVERIFY(!h.model->isReadingAIConversations());
        const QList<AIConversation> stored = storedConversations(h);
        QCOMPARE(stored.size(), 3);
        QCOMPARE(stored.at(0).id, *h.model->selectedAIConversationID());
        QCOMPARE(stored.at(1), earlier);
        QCOMPARE(stored.at(2), second);
        QCOMPARE(h.model->aiConversations(), stored);
    }

    void renameAndDeleteWaitForTheFirstRead_data()
    {
        QTest::addColumn<bool>("deleting");
        QTest::newRow("rename") << false;
        QTest::newRow("delete") << true;
    }

    // Renaming or deleting asked for while the first read is held works on
    // the stored list once it is read, and saves that list whole: nothing
    // made on the empty list before the read is saved over the file.
    void renameAndDeleteWaitForTheFirstRead()
    {
        QFETCH(bool, deleting);
        FakeService service;
        Harness h(service.baseUrl());
        const AIConversation earlier = earlierConversation();
        const AIConversation second { u"ai_second"_s, u"二つ目"_s, {}, 5, 5 };
        run(AIConversationStore(h.aiFile()).save({ earlier, second }));
        const QByteArray folder = QFile::encodeName(h.dataDir());
        const int held = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        QVERIFY(held >= 0);
        QCOMPARE(::flock(held, LOCK_EX), 0);

        auto starting = h.model->bootstrap();
        auto changing = deleting ? h.model->deleteAIConversation(second.id)
                                 : h.model->renameAIConversation(second.id, u"  改名  "_s);
        QVERIFY(!changing.isReady());
        QVERIFY(h.model->isReadingAIConversations());
        ::close(held);
        run(std::move(changing));
        run(std::move(starting));

        QVERIFY2(!h.model->errorMessage(), qPrintable(h.model->errorMessage().value_or(QString())));
        QVERIFY(!h.model->isReadingAIConversations());
        AIConversation renamed = second;
        renamed.title = u"改名"_s;
        const QList<AIConversation> expected
            = deleting ? QList<AIConversation> { earlier } : QList<AIConversation> { earlier, renamed };
        QCOMPARE(h.model->aiConversations(), expected);
        QCOMPARE(storedConversations(h), expected);
    }

    // A save that failed leaves memory ahead of the file: visiting the lens
    // again must not read the older file back over it, and the next save
    // writes it all.
    void unsavedConversationsAreNotReplacedByALoad()
    {
        FakeService service;
        Harness h(service.baseUrl());
        const AIConversation earlier = earlierConversation();
        run(AIConversationStore(h.aiFile()).save({ earlier }));
        run(h.model->bootstrap());

        // Writing fails part-way: the file-size limit stops the write (its
        // signal ignored), while the old file stays readable.
        rlimit saved {};
        QVERIFY(::getrlimit(RLIMIT_FSIZE, &saved) == 0);
        const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit small = saved;
        small.rlim_cur = 64;
        QVERIFY(::setrlimit(RLIMIT_FSIZE, &small) == 0);
        run(h.model->newAIConversation());
        QVERIFY(::setrlimit(RLIMIT_FSIZE, &saved) == 0);
        std::signal(SIGXFSZ, oldHandler);
        const std::optional<QString> failure = h.model->errorMessage();
        QVERIFY(failure);
        const QList<AIConversation> unsaved = h.model->aiConversations();
        QCOMPARE(unsaved.size(), 2);
        QCOMPARE(storedConversations(h), QList<AIConversation> { earlier });

        run(h.model->selectAI());
        QCOMPARE(h.model->aiConversations(), unsaved);
        QCOMPARE(h.model->errorMessage(), failure);

        run(h.model->newAIConversation());
        QVERIFY2(!h.model->errorMessage(), qPrintable(h.model->errorMessage().value_or(QString())));
        QCOMPARE(storedConversations(h).size(), 3);
        QCOMPARE(storedConversations(h), h.model->aiConversations());
    }

    void unreadableConversationFileIsSetAsideNotOverwritten()
    {
        FakeService service;
        Harness h(service.baseUrl());
        // A role this version does not know: the whole list fails to decode.
        const QByteArray unreadable = R"([{"id":"ai_1","title":"大事な相談","createdAt":1,"updatedAt":2,)"
                                      R"("messages":[{"id":"msg_1","role":"system","content":"消えては困る",)"
                                      R"("createdAt":1}]}])";
        QDir().mkpath(h.dataDir());
        {
            QFile file(h.aiFile());
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(unreadable);
            QVERIFY(file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup));
        }

        run(h.model->bootstrap());

        // Moved aside beside the file, unchanged and private; the user is told where.
        const QStringList aside = QDir(h.dataDir()).entryList({ u"ai-conversations.unreadable-*.json"_s }, QDir::Files);
        QCOMPARE(aside.size(), 1);
        const QString asidePath = h.dataDir() + u'/' + aside.constFirst();
        QVERIFY(QRegularExpression(u"^ai-conversations\\.unreadable-\\d{8}-\\d{6}\\.json$"_s)
                    .match(aside.constFirst())
                    .hasMatch());
        QFile moved(asidePath);
        QVERIFY(moved.open(QIODevice::ReadOnly));
        QCOMPARE(moved.readAll(), unreadable);
        const QFileDevice::Permissions everyone = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
            | QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup | QFile::ReadOther | QFile::WriteOther
            | QFile::ExeOther;
        QCOMPARE(moved.permissions() & everyone, QFile::ReadOwner | QFile::WriteOwner);
        QVERIFY(h.model->errorMessage());
        QVERIFY(h.model->errorMessage()->contains(asidePath));
        QVERIFY(h.model->errorMessage()->contains(u"新しい一覧で始めます"_s));
        QVERIFY(h.model->aiConversations().isEmpty());

        // A fresh list is saved under the usual name; the old file stays.
        run(h.model->newAIConversation());
        QCOMPARE(storedConversations(h), h.model->aiConversations());
        QVERIFY(moved.seek(0));
        QCOMPARE(moved.readAll(), unreadable);
        QCOMPARE(QDir(h.dataDir()).entryList({ u"ai-conversations.unreadable-*.json"_s }, QDir::Files), aside);
    }

    // Another user's file that cannot be moved either (immutable): the user
    // is told which file, conversations started meanwhile live in memory, and
    // no save or later read touches the file or replaces them.
    void aConversationFileThatCannotBeMovedIsNeverSavedOver()
    {
        if (::geteuid() != 0)
            QSKIP("needs root to give the file to another user and make it immutable");
        FakeService service;
        Harness h(service.baseUrl());
        QVERIFY(QDir().mkpath(h.dataDir()));
        const QByteArray stored = encodeJson(QList<AIConversation> { earlierConversation() });
        {
            QFile file(h.aiFile());
            QVERIFY(file.open(QIODevice::WriteOnly));
            QCOMPARE(file.write(stored), stored.size());
        }
        QVERIFY(::chown(QFile::encodeName(h.aiFile()).constData(), ::getuid() + 4242, -1) == 0);
        ImmutableFile immutable(h.aiFile());
        if (!immutable.isSet())
            QSKIP("the immutable attribute cannot be set here (needs a file system that has it)");
        const auto storedNow = [&] {
            QFile file(h.aiFile());
            return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
        };

        run(h.model->bootstrap());
        QVERIFY(h.model->errorMessage());
        QVERIFY2(h.model->errorMessage()->contains(h.aiFile()), qPrintable(*h.model->errorMessage()));
        QVERIFY(h.model->errorMessage()->contains(u"上書きしない"_s));

        run(h.model->newAIConversation());
        QCOMPARE(h.model->aiConversations().size(), 1);
        QVERIFY(h.model->errorMessage());
        QVERIFY2(h.model->errorMessage()->contains(h.aiFile()), qPrintable(*h.model->errorMessage()));
        QVERIFY(h.model->errorMessage()->contains(u"会話は保存していません"_s));
        QCOMPARE(storedNow(), stored);

        const QList<AIConversation> inMemory = h.model->aiConversations();
        run(h.model->selectAI());
        QCOMPARE(h.model->aiConversations(), inMemory);
        QCOMPARE(storedNow(), stored);
        QCOMPARE(QDir(h.dataDir()).entryList({ u"ai-conversations*"_s }, QDir::AllEntries | QDir::Hidden),
            QStringList { u"ai-conversations.json"_s });
    }
};

QTEST_MAIN(TestWorkflows)
#include "test_workflows.moc"
