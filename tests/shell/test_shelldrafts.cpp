// A reply typed into the real executable's window outlives the process being
// killed: the next start on the same data folder shows it in the same
// conversation's reply box. The keys reach the window as a user's would, from
// an X server of the test's own (Xvfb) through xdotool; the service is the
// reference service on the build's origin, so the test runs in a network
// namespace of its own (tests/support/loopback-only), where that port is free.

#include "api/apiclient.h"
#include "core/blocking.h"
#include "support/referenceservice.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <optional>

#include <csignal>

#include <sys/prctl.h>
#include <sys/stat.h>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
using quarn::test::ReferenceService;

class TestShellDrafts : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        if (qEnvironmentVariable("QUARN_LOOPBACK_ONLY") != u"1"_s)
            QSKIP("runs inside tests/support/loopback-only (ctest starts it there)");
        if (QStandardPaths::findExecutable(u"Xvfb"_s).isEmpty()
            || QStandardPaths::findExecutable(u"xdotool"_s).isEmpty())
            QSKIP("needs Xvfb and xdotool to type into the real window");
        m_service.setServeArguments({ u"--port"_s, u"8787"_s });
        QVERIFY2(m_service.start(), qPrintable(m_service.errorString()));
        QCOMPARE(m_service.baseUrl(), QUrl(u"http://127.0.0.1:8787"_s));

        // An X server of this test's own; it names its display when ready.
        m_xServer.setProcessChannelMode(QProcess::SeparateChannels);
        m_xServer.setChildProcessModifier(dieWithTheTest);
        m_xServer.start(
            u"Xvfb"_s, { u"-displayfd"_s, u"1"_s, u"-nolisten"_s, u"tcp"_s, u"-screen"_s, u"0"_s, u"1280x800x24"_s });
        QVERIFY(m_xServer.waitForStarted(10'000));
        QVERIFY(eventually([&] {
            m_xServer.waitForReadyRead(100);
            return m_xServer.peek(16).endsWith('\n');
        }));
        m_display = u":"_s + QString::fromLatin1(m_xServer.readLine()).trimmed();
    }

    void cleanupTestCase()
    {
        m_xServer.terminate();
        if (!m_xServer.waitForFinished(10'000))
            m_xServer.kill();
    }

    void replyDraftSurvivesSigkill()
    {
        const auto delivered = m_service.deliver(
            { .from = u"kim@example.com"_s, .fromName = u"Kim Lee"_s, .subject = u"日程の件"_s, .body = u"火曜は?"_s });
        QVERIFY(delivered);
        const QString id = delivered->conversationId;
        QVERIFY(fileAsNeedsYou(id));
        const QString link = u"quarn-mail://conversation/"_s + id;

        QTemporaryDir dir;
        QVERIFY(QDir().mkpath(dir.filePath(u"home"_s)));
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(u"HOME"_s, dir.filePath(u"home"_s));
        environment.insert(u"XDG_DATA_HOME"_s, dir.filePath(u"data"_s));
        environment.insert(u"XDG_RUNTIME_DIR"_s, dir.path());
        environment.insert(u"QT_QPA_PLATFORM"_s, u"xcb"_s);
        environment.insert(u"DISPLAY"_s, m_display);
        const QString draftsFile = dir.filePath(u"data/Quarn Mail/drafts.json"_s);

        QProcess provision;
        provision.setProcessEnvironment(environment);
        provision.start(QStringLiteral(QUARN_MAIL_EXECUTABLE), { u"--provision-token"_s });
        provision.write(m_service.token().toUtf8() + '\n');
        provision.closeWriteChannel();
        QVERIFY(provision.waitForFinished(20'000));
        QCOMPARE(provision.exitCode(), 0);

        // The link opens the conversation, which the service then counts as
        // read: from then on "R" reaches its reply box.
        QProcess first;
        first.setProcessEnvironment(environment);
        first.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        first.setChildProcessModifier(dieWithTheTest);
        first.start(QStringLiteral(QUARN_MAIL_EXECUTABLE), { link });
        QVERIFY(first.waitForStarted(10'000));
        QVERIFY(eventually([&] { return isUnread(id) == false; }));
        QVERIFY(focusWindow());
        QCOMPARE(probeReplyBox(draftsFile, id), std::optional<QString>(u"x"_s));
        QVERIFY(xdotool({ u"key"_s, u"BackSpace"_s }));
        QVERIFY(xdotool({ u"type"_s, u"--delay"_s, u"20"_s, u"Tuesday works for me"_s }));
        // Written a moment after typing rests, while the process lives on.
        const bool written = eventually([&] { return replyDraft(draftsFile, id) == u"Tuesday works for me"_s; });
        QVERIFY2(written, qPrintable(replyDraft(draftsFile, id).value_or(u"<none>"_s)));
        struct stat st
        {
        };
        QCOMPARE(::stat(QFile::encodeName(draftsFile).constData(), &st), 0);
        QCOMPARE(st.st_mode & 0777, mode_t(0600));
        QCOMPARE(first.state(), QProcess::Running);

        first.kill();
        QVERIFY(first.waitForFinished(10'000));
        QCOMPARE(first.exitStatus(), QProcess::CrashExit);

        // A new message makes the conversation unread again, so that the
        // next start is seen opening it.
        QVERIFY(m_service.deliver({ .from = u"kim@example.com"_s,
            .fromName = u"Kim Lee"_s,
            .subject = u"日程の件"_s,
            .body = u"水曜でも"_s,
            .conversationId = id }));
        QVERIFY(fileAsNeedsYou(id));
        QVERIFY(eventually([&] { return isUnread(id) == true; }));

        QProcess second;
        second.setProcessEnvironment(environment);
        second.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        second.setChildProcessModifier(dieWithTheTest);
        second.start(QStringLiteral(QUARN_MAIL_EXECUTABLE), { link });
        QVERIFY(second.waitForStarted(10'000));
        QVERIFY(eventually([&] { return isUnread(id) == false; }));
        QVERIFY(focusWindow());
        // A letter added in the reply box goes after what it shows: the file
        // holds both only if the box showed the kept draft.
        QCOMPARE(probeReplyBox(draftsFile, id), std::optional<QString>(u"Tuesday works for mex"_s));
        QVERIFY(xdotool({ u"key"_s, u"BackSpace"_s }));
        QVERIFY(xdotool({ u"type"_s, u"--delay"_s, u"20"_s, u", or Wednesday"_s }));
        const bool both
            = eventually([&] { return replyDraft(draftsFile, id) == u"Tuesday works for me, or Wednesday"_s; });
        QVERIFY2(both, qPrintable(replyDraft(draftsFile, id).value_or(u"<none>"_s)));

        second.kill();
        second.waitForFinished(10'000);
    }

private:
    /// A test stopped by its time limit takes the X server and the
    /// application with it.
    static void dieWithTheTest() { ::prctl(PR_SET_PDEATHSIG, SIGKILL); }

    /// Asks `condition` until it holds, for at most `boundMs`, the event
    /// loop running in between; its last answer.
    template<typename Condition> static bool eventually(Condition condition, int boundMs = 30'000)
    {
        const QDeadlineTimer deadline(boundMs);
        while (!condition()) {
            if (deadline.hasExpired())
                return false;
            QTest::qWait(100);
        }
        return true;
    }

    /// Runs xdotool on the test's display; whether it succeeded.
    bool xdotool(const QStringList &arguments)
    {
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(u"DISPLAY"_s, m_display);
        process.setProcessEnvironment(environment);
        process.start(u"xdotool"_s, arguments);
        if (!process.waitForFinished(20'000)) {
            process.kill();
            process.waitForFinished(10'000);
            return false;
        }
        return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    }

    /// Gives the application's window the keyboard. There is no window
    /// manager, so the focus is set on the window itself, and the pointer is
    /// put over it, where the server's default focus would follow it.
    bool focusWindow()
    {
        return xdotool({ u"search"_s, u"--sync"_s, u"--onlyvisible"_s, u"--name"_s, u"Quarn Mail"_s, u"windowfocus"_s,
                   u"--sync"_s })
            && xdotool({ u"mousemove"_s, u"640"_s, u"400"_s });
    }

    /// Types "R" and a letter until the letter reaches the reply box of
    /// conversation `id`, as the drafts file shows; that draft then. The
    /// service counts the conversation as read when it answers for it, a
    /// moment before the window shows it and "R" has a reply box to go to;
    /// until then both keys go to the list, where neither does anything.
    std::optional<QString> probeReplyBox(const QString &file, const QString &id)
    {
        const std::optional<QString> before = replyDraft(file, id);
        for (int attempt = 0; attempt < 6; ++attempt) {
            if (!xdotool({ u"key"_s, u"r"_s, u"x"_s }))
                return std::nullopt;
            if (eventually([&] { return replyDraft(file, id) != before; }, 10'000))
                return replyDraft(file, id);
        }
        return std::nullopt;
    }

    /// The reply draft of conversation `id` in the drafts file; nothing while
    /// the file is missing or holds none.
    static std::optional<QString> replyDraft(const QString &file, const QString &id)
    {
        QFile f(file);
        if (!f.open(QIODevice::ReadOnly))
            return std::nullopt;
        const QJsonValue draft = QJsonDocument::fromJson(f.readAll()).object().value(u"replies"_s)[id];
        return draft.isString() ? std::optional(draft.toString()) : std::nullopt;
    }

    /// Puts the conversation in the list the application shows first: a
    /// link to a conversation of another list moves the keyboard to that list
    /// a moment after the conversation shows, which would take the keys
    /// meant for the reply box.
    bool fileAsNeedsYou(const QString &id)
    {
        const quarn::APIClient client(m_service.baseUrl());
        try {
            (void)quarn::blockOn(client.setStatus(quarn::ConversationStatus::needsYou, id, m_service.token()), 10s);
            return true;
        } catch (...) {
            return false;
        }
    }

    /// Whether the conversation is unread in the needs-you list; nothing when
    /// the service does not list it there.
    std::optional<bool> isUnread(const QString &id)
    {
        const quarn::APIClient client(m_service.baseUrl());
        try {
            const quarn::MailState state
                = quarn::blockOn(client.state(quarn::ConversationStatus::needsYou, m_service.token()), 10s);
            for (const auto &item : state.conversations) {
                if (item.id == id)
                    return item.unread;
            }
        } catch (...) { }
        return std::nullopt;
    }

    ReferenceService m_service;
    QProcess m_xServer;
    QString m_display;
};

QTEST_GUILESS_MAIN(TestShellDrafts)
#include "test_shelldrafts.moc"
