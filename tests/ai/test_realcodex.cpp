// The AI engine against the real Codex CLI 0.147.0 from npm, offline: its
// model endpoint is a stub in this process on 127.0.0.1, and the whole test
// runs in a loopback-only network namespace (see tests/support/realcodex.h).
#include "ai/codexprompts.h"
#include "ai/codexrunner.h"
#include "core/blocking.h"
#include "model/json.h"
#include "realcodex.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

#include <sys/stat.h>

using namespace Qt::StringLiterals;
using namespace quarn;
using quarn::testing::StubModelEndpoint;

Q_DECLARE_METATYPE(StubModelEndpoint::Behaviour)

namespace {

constexpr auto kBound = std::chrono::seconds(90);

mode_t modeOf(const QString &path)
{
    struct stat st
    {
    };
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
        return mode_t(-1);
    return st.st_mode & 07777;
}

ConversationDetail sampleConversation()
{
    ConversationDetail c;
    c.id = u"conv_real"_s;
    c.subject = u"来週の打ち合わせ"_s;
    c.status = ConversationStatus::inbox;
    MessageView first;
    first.id = u"m1"_s;
    first.senderName = u"佐藤 花子"_s;
    first.senderEmail = u"hanako@example.com"_s;
    first.bodyText = u"火曜の14時はいかがでしょうか。\n資料は添付します 📎"_s;
    MessageView second = first;
    second.id = u"m2"_s;
    second.senderName = u"Me"_s;
    second.senderEmail = u"me@quarn.local"_s;
    second.bodyText = u"確認して返信します。"_s;
    c.messages = { first, second };
    return c;
}

QList<AIChatMessage> sampleChat()
{
    AIChatMessage user;
    user.id = u"msg_1"_s;
    user.role = AIChatMessage::Role::user;
    user.content = u"今日の予定を三行でまとめて"_s;
    AIChatMessage assistant = user;
    assistant.id = u"msg_2"_s;
    assistant.role = AIChatMessage::Role::assistant;
    assistant.content = u"会議が二件あります。"_s;
    AIChatMessage again = user;
    again.id = u"msg_3"_s;
    again.content = u"ありがとう。次は？"_s;
    return { user, assistant, again };
}

const QString kBody = u"  明日の定例ですが、資料の共有が遅れています。\n午後に送ります。\n"_s;

const QString kInsightAnswer
    = u"{\"summary\":\"打ち合わせ日程の提案\",\"request\":\"火曜14時の可否\",\"deadline\":null,"
      u"\"suggestedStatus\":\"needs_you\",\"draft\":\"火曜14時で問題ありません。\",\"risk\":\"low\"}"_s;

QString outcomeOf(const std::exception_ptr &error)
{
    try {
        std::rethrow_exception(error);
    } catch (const CodexRunnerError &e) {
        switch (e.kind()) {
        case CodexRunnerError::Kind::Failed:
            return u"failed(%1)"_s.arg(e.exitStatus());
        case CodexRunnerError::Kind::Unavailable:
            return u"unavailable"_s;
        case CodexRunnerError::Kind::UntrustedBinary:
            return u"untrustedBinary"_s;
        case CodexRunnerError::Kind::NotLoggedIn:
            return u"notLoggedIn"_s;
        case CodexRunnerError::Kind::TimedOut:
            return u"timedOut"_s;
        case CodexRunnerError::Kind::InvalidOutput:
            return u"invalidOutput"_s;
        }
    } catch (const Error &e) {
        return u"error: "_s + e.description();
    } catch (const std::exception &e) {
        return u"exception: "_s + QString::fromLocal8Bit(e.what());
    }
    return u"?"_s;
}

} // namespace

class TestRealCodex : public QObject
{
    Q_OBJECT

private:
    testing::RealCodexInstall m_install;
    std::unique_ptr<QTemporaryDir> m_root;
    std::unique_ptr<StubModelEndpoint> m_stub;
    std::unique_ptr<CodexRunner> m_runner;
    QByteArray m_previousHome;

    QString home() const { return m_root->filePath(u"home"_s); }
    QString workRoot() const { return m_root->filePath(u"tmp"_s); }

    CodexRunner::Configuration configuration() const
    {
        CodexRunner::Configuration config = CodexRunner::Configuration::production();
        // npm's link to the launcher script, as a user's PATH entry would hold it.
        config.installCandidates = { m_install.launcherLink };
        config.runtimeDirectory = m_root->filePath(u"home/.local/share/Quarn Mail/runtime"_s);
        config.temporaryDirectory = workRoot();
        return config;
    }

    QStringList workFolders() const
    {
        return QDir(workRoot()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    }

private Q_SLOTS:
    void initTestCase()
    {
        m_install = testing::RealCodexInstall::locate();
        if (m_install.state == testing::RealCodexInstall::State::registryUnreachable)
            QSKIP(qPrintable(u"real Codex CLI not available: "_s + m_install.problem));
        QVERIFY2(m_install.state == testing::RealCodexInstall::State::ready, qPrintable(m_install.problem));
        // Never start the real binary where it could reach another host.
        QVERIFY2(testing::onlyLoopbackInterfaces(),
            "not inside a loopback-only network namespace: run through tests/support/loopback-only");

        m_root = std::make_unique<QTemporaryDir>();
        QVERIFY(m_root->isValid());
        QVERIFY(QDir().mkpath(home()));
        QVERIFY(QDir().mkpath(workRoot()));
        m_stub = std::make_unique<StubModelEndpoint>();
        QVERIFY(m_stub->isListening());
        // The offline configuration comes before the first start of the binary.
        QVERIFY(testing::writeOfflineConfig(home(), m_stub->port()));
        // The runner hands HOME on to its children, which find their
        // configuration and login there.
        m_previousHome = qgetenv("HOME");
        qputenv("HOME", QFile::encodeName(home()));
        m_runner = std::make_unique<CodexRunner>(configuration());
    }

    void cleanupTestCase()
    {
        m_runner.reset();
        m_stub.reset();
        if (!m_previousHome.isNull())
            qputenv("HOME", m_previousHome);
    }

    void discoveryFollowsTheNpmLauncherToThePlatformPackage()
    {
        // The link resolves to bin/codex.js, a script; the platform package
        // sits beside the launcher's package in npm's flat layout.
        QVERIFY(QFileInfo(m_install.launcherLink).isSymLink());
        QCOMPARE(
            CodexRunner::findInstalledBinary({ m_install.launcherLink }), std::optional<QString>(m_install.binary));
        // The launcher script itself is never taken for the program.
        QVERIFY(!CodexRunner::isTrustedCodexBinary(QFileInfo(m_install.launcherLink).canonicalFilePath(),
            CodexRunner::Configuration::production().pinnedDigest));
    }

    void pinnedDigestAcceptsTheReviewedBuildOnly()
    {
        const QString pinned = CodexRunner::Configuration::production().pinnedDigest;
        QCOMPARE(testing::fileSha256(m_install.binary), pinned);
        QVERIFY(CodexRunner::isTrustedCodexBinary(m_install.binary, pinned));

        // One byte changed in the middle of an otherwise identical copy.
        const QString copy = m_root->filePath(u"modified-codex"_s);
        QVERIFY(QFile::copy(m_install.binary, copy));
        {
            QFile file(copy);
            QVERIFY(file.open(QIODevice::ReadWrite));
            const qint64 middle = file.size() / 2;
            QVERIFY(file.seek(middle));
            const char byte = file.read(1).at(0);
            QVERIFY(file.seek(middle));
            QCOMPARE(file.write(QByteArray(1, char(byte ^ 0x01))), qint64(1));
        }
        QVERIFY(CodexRunner::isTrustedCodexBinary(m_install.binary, pinned));
        QVERIFY(!CodexRunner::isTrustedCodexBinary(copy, pinned));
        QVERIFY(QFile::remove(copy));
    }

    void stagingCopiesTheReviewedBuildOnce()
    {
        const QString staged = blockOn(m_runner->prepare(), kBound);
        const QString runtime = configuration().runtimeDirectory;
        QCOMPARE(staged, runtime + u"/reviewed-codex-0.147.0"_s);
        QCOMPARE(modeOf(runtime), mode_t(0700));
        QCOMPARE(modeOf(staged), mode_t(0500));
        QCOMPARE(testing::fileSha256(staged), testing::fileSha256(m_install.binary));

        // A second runner (as after a restart) verifies and keeps the copy.
        struct stat before
        {
        };
        QCOMPARE(::stat(QFile::encodeName(staged).constData(), &before), 0);
        CodexRunner restarted(configuration());
        QCOMPARE(blockOn(restarted.prepare(), kBound), staged);
        struct stat after
        {
        };
        QCOMPARE(::stat(QFile::encodeName(staged).constData(), &after), 0);
        QCOMPARE(after.st_ino, before.st_ino);
    }

    void probeFollowsTheLogin()
    {
        testing::removeLogin(home());
        QCOMPARE(blockOn(m_runner->isReady(), kBound), false);
        // Every operation stops at the probe, before any work folder exists.
        try {
            (void)blockOn(m_runner->suggestSubject(kBody), kBound);
            QFAIL("an operation ran without a login");
        } catch (const CodexRunnerError &e) {
            QCOMPARE(e, CodexRunnerError::notLoggedIn());
        }
        QCOMPARE(workFolders(), QStringList());
        QVERIFY(m_stub->requests().isEmpty());

        QVERIFY(testing::writeApiKeyLogin(home()));
        QCOMPARE(modeOf(home() + u"/.codex/auth.json"_s), mode_t(0600));
        QCOMPARE(blockOn(m_runner->isReady(), kBound), true);
        QVERIFY(m_stub->requests().isEmpty());
    }

    void operations_data()
    {
        QTest::addColumn<QString>("operation");
        QTest::addColumn<StubModelEndpoint::Behaviour>("behaviour");
        QTest::addColumn<QString>("answer");
        QTest::addColumn<QString>("expected");

        using B = StubModelEndpoint::Behaviour;
        AiInsight insight;
        insight.summary = u"打ち合わせ日程の提案"_s;
        insight.request = u"火曜14時の可否"_s;
        insight.suggestedStatus = ConversationStatus::needsYou;
        insight.draft = u"火曜14時で問題ありません。"_s;
        insight.risk = u"low"_s;
        QTest::newRow("triage accepted") << u"triage"_s << B::answer << kInsightAnswer
                                         << QString::fromUtf8(encodeJson(insight));
        QTest::newRow("subject accepted")
            << u"subject"_s << B::answer << u"{\"subject\":\"  資料共有の遅れ\\n\"}"_s << u"資料共有の遅れ"_s;
        QTest::newRow("chat accepted") << u"chat"_s << B::answer << u"\n 会議は三件です。\n"_s << u"会議は三件です。"_s;

        QTest::newRow("triage status outside the schema")
            << u"triage"_s << B::answer
            << u"{\"summary\":\"s\",\"request\":null,\"deadline\":null,\"suggestedStatus\":\"inbox\",\"draft\":null,\"risk\":\"low\"}"_s
            << u"invalidOutput"_s;
        QTest::newRow("subject of 121 characters")
            << u"subject"_s << B::answer << u"{\"subject\":\"%1\"}"_s.arg(u"件"_s.repeated(121)) << u"invalidOutput"_s;

        QTest::newRow("triage empty result") << u"triage"_s << B::emptyResult << QString() << u"invalidOutput"_s;
        QTest::newRow("chat empty result") << u"chat"_s << B::emptyResult << QString() << u"invalidOutput"_s;

        QTest::newRow("triage failing endpoint") << u"triage"_s << B::fail << QString() << u"failed(1)"_s;
        QTest::newRow("chat failing endpoint") << u"chat"_s << B::fail << QString() << u"failed(1)"_s;
    }
    void operations()
    {
        QFETCH(QString, operation);
        QFETCH(StubModelEndpoint::Behaviour, behaviour);
        QFETCH(QString, answer);
        QFETCH(QString, expected);
        QVERIFY(testing::writeApiKeyLogin(home()));
        m_stub->setBehaviour(behaviour, answer);
        m_stub->clearRequests();

        QString outcome;
        QString prompt;
        std::optional<QByteArray> schema;
        try {
            if (operation == u"triage") {
                const ConversationDetail conversation = sampleConversation();
                prompt = codexprompts::triagePrompt(conversation);
                schema = codexprompts::triageSchema();
                outcome = QString::fromUtf8(encodeJson(blockOn(m_runner->triage(conversation), kBound)));
            } else if (operation == u"subject") {
                prompt = codexprompts::subjectPrompt(kBody);
                schema = codexprompts::subjectSchema();
                outcome = blockOn(m_runner->suggestSubject(kBody), kBound);
            } else {
                prompt = codexprompts::chatPrompt(sampleChat());
                outcome = blockOn(m_runner->chat(sampleChat()), kBound);
            }
        } catch (...) {
            outcome = outcomeOf(std::current_exception());
        }
        QCOMPARE(outcome, expected);
        QCOMPARE(workFolders(), QStringList());

        // What reached the model: the prompt byte for byte and, for the
        // structured runs, the schema file's content as the output format.
        // (After a failing answer the CLI asks once more: every request must
        // carry the same.)
        const auto requests = m_stub->requests();
        QVERIFY(!requests.isEmpty());
        for (const auto &request : requests) {
            QCOMPARE(request.method, QByteArray("POST"));
            QCOMPARE(request.path, QByteArray("/v1/responses"));
            QCOMPARE(request.authorization, QByteArray("Bearer sk-dummy"));
            QCOMPARE(StubModelEndpoint::lastUserInput(request.body), std::optional<QString>(prompt));
            const auto format = StubModelEndpoint::textFormat(request.body);
            if (schema) {
                QVERIFY(format.has_value());
                QCOMPARE(QString::fromStdString(format->value("type", std::string())), u"json_schema"_s);
                QCOMPARE(QString::fromStdString(format->value("name", std::string())), u"codex_output_schema"_s);
                QCOMPARE(format->value("strict", false), true);
                QVERIFY(format->contains("schema"));
                QCOMPARE(QString::fromStdString((*format)["schema"].dump()),
                    QString::fromStdString(nlohmann::json::parse(schema->toStdString()).dump()));
            } else {
                QVERIFY2(!format.has_value(), "a chat run sent an output format");
            }
        }
    }

    void hangingEndpointEndsAtTheClientsTimeLimit()
    {
        QVERIFY(testing::writeApiKeyLogin(home()));
        CodexRunner::Configuration config = configuration();
        config.triageTimeLimit = std::chrono::seconds(3);
        CodexRunner impatient(config);
        m_stub->setBehaviour(StubModelEndpoint::Behaviour::hang);
        m_stub->clearRequests();

        QString outcome;
        try {
            (void)blockOn(impatient.triage(sampleConversation()), kBound);
            outcome = u"accepted"_s;
        } catch (...) {
            outcome = outcomeOf(std::current_exception());
        }
        m_stub->releaseHanging();
        QCOMPARE(outcome, u"timedOut"_s);
        QVERIFY(!m_stub->requests().isEmpty());
        QCOMPARE(workFolders(), QStringList());
    }
};

QTEST_GUILESS_MAIN(TestRealCodex)
#include "test_realcodex.moc"
