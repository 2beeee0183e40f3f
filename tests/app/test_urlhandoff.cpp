// URL hand-off between real processes: the peer program claims the instance
// exactly as quarn-mail does (tests/app/urlhandoffpeer.cpp) and prints what
// reaches it; some cases put this test process in the running instance's place.

#include "app/urlhandoff.h"
#include "platform/filesecurity.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <chrono>
#include <memory>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
using quarn::UrlHandoff;

namespace {

const QString kAuth = u"quarn-mail://auth?code=c0de&state=a%2Fb"_s;
const QString kConversation = u"quarn-mail://conversation/conv_123"_s;
const QString kJapanese = u"quarn-mail://conversation/conv_受信"_s;

QByteArray encoded(const QString &url)
{
    return url.toUtf8();
}

/// One run of the peer program with XDG_RUNTIME_DIR set to the test's folder.
class Peer
{
public:
    Peer(const QString &runtimeDirectory, const QStringList &arguments, int boundMs = 0)
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(u"XDG_RUNTIME_DIR"_s, runtimeDirectory);
        if (boundMs > 0)
            environment.insert(u"QUARN_HANDOFF_BOUND_MS"_s, QString::number(boundMs));
        m_process.setProcessEnvironment(environment);
        m_process.start(QStringLiteral(QUARN_URLHANDOFF_PEER), arguments);
    }
    ~Peer()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }

    /// Reads lines until one equals `line` (a bounded wait).
    bool waitForLine(const QByteArray &line, int count = 1)
    {
        for (int round = 0; round < 200; ++round) {
            while (m_process.canReadLine())
                m_lines.append(m_process.readLine().chopped(1));
            if (m_lines.count(line) >= count)
                return true;
            if (!m_process.waitForReadyRead(100) && m_process.state() == QProcess::NotRunning) {
                while (m_process.canReadLine())
                    m_lines.append(m_process.readLine().chopped(1));
                return m_lines.count(line) >= count;
            }
        }
        return false;
    }

    /// Waits for the end; the exit code, or -1 when it did not end normally.
    int finish()
    {
        if (!m_process.waitForFinished(20'000) || m_process.exitStatus() != QProcess::NormalExit)
            return -1;
        while (m_process.canReadLine())
            m_lines.append(m_process.readLine().chopped(1));
        return m_process.exitCode();
    }

    void crash()
    {
        ::kill(pid_t(m_process.processId()), SIGKILL);
        m_process.waitForFinished(5000);
    }

    [[nodiscard]] QList<QByteArray> lines() const { return m_lines; }
    [[nodiscard]] QByteArray standardError() { return m_process.readAllStandardError(); }

private:
    QProcess m_process;
    QList<QByteArray> m_lines;
};

/// A start that is expected to end: its exit code and what it printed.
struct Run
{
    int exitCode = -1;
    QList<QByteArray> lines;
    QByteArray standardError;
};

Run runPeer(const QString &runtimeDirectory, const QStringList &arguments, int boundMs = 0)
{
    Peer peer(runtimeDirectory, arguments, boundMs);
    Run run;
    run.exitCode = peer.finish();
    run.lines = peer.lines();
    run.standardError = peer.standardError();
    return run;
}

QString handoffDirectory(const QTemporaryDir &runtime)
{
    return runtime.filePath(u"quarn-mail"_s);
}

} // namespace

class TestUrlHandoff : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void argumentsYieldOnlyQuarnMailUrls()
    {
        // Kept exactly as written: the scheme's case, the raw characters.
        const QStringList urls = UrlHandoff::urlsFromArguments(
            { u"quarn-mail://conversation/conv_0"_s, u"-platform"_s, u"offscreen"_s, kAuth, u"https://example.com/"_s,
                u"quarn-mail"_s, u"QUARN-MAIL://conversation/conv_1"_s, u"quarn-mail://a\nb"_s, kJapanese });
        QCOMPARE(urls, (QStringList { kAuth, u"QUARN-MAIL://conversation/conv_1"_s, kJapanese }));
    }

    void secondStartDeliversEachUrlOnceInOrder()
    {
        QTemporaryDir runtime;
        Peer first(runtime.path(), {});
        QVERIFY(first.waitForLine("listening"));

        // Other arguments travel with the URL (toolkit options, another scheme)
        // and are not handed over.
        Run second = runPeer(runtime.path(), { u"--reverse"_s, kAuth, u"https://example.com/"_s, kJapanese });
        QCOMPARE(second.exitCode, 0);
        QCOMPARE(second.lines, QList<QByteArray> { "delivered" });
        Run third = runPeer(runtime.path(), { kConversation });
        QCOMPARE(third.exitCode, 0);
        Run plain = runPeer(runtime.path(), {});
        QCOMPARE(plain.exitCode, 0);

        // Each start ends with an activation, so after the third one any
        // repetition of an earlier URL would already be in the list.
        QVERIFY(first.waitForLine("activated", 3));
        QCOMPARE(first.lines(),
            (QList<QByteArray> { "listening", "url " + encoded(kAuth), "url " + encoded(kJapanese), "activated",
                "url " + encoded(kConversation), "activated", "activated" }));
        const auto status = quarn::platform::linkStatus(handoffDirectory(runtime));
        QVERIFY(status);
        QCOMPARE(status->permissions, mode_t(0700));
    }

    void withoutRunningInstanceTheStartHandlesItsOwnUrls()
    {
        QTemporaryDir runtime;
        Peer first(runtime.path(), { kConversation });
        QVERIFY(first.waitForLine("url " + encoded(kConversation)));
        QCOMPARE(first.lines(), (QList<QByteArray> { "listening", "url " + encoded(kConversation) }));

        QCOMPARE(runPeer(runtime.path(), { kAuth }).exitCode, 0);
        QVERIFY(first.waitForLine("url " + encoded(kAuth)));
    }

    void crashedInstanceLeavesNoObstacle()
    {
        QTemporaryDir runtime;
        {
            Peer crashing(runtime.path(), {});
            QVERIFY(crashing.waitForLine("listening"));
            crashing.crash();
        }
        // Its socket file is still there, with nobody behind it.
        QVERIFY(QFileInfo::exists(handoffDirectory(runtime) + u"/urls.socket"_s));

        Peer next(runtime.path(), { kAuth });
        QVERIFY(next.waitForLine("url " + encoded(kAuth)));
        QCOMPARE(next.lines().first(), QByteArray("listening"));
        QCOMPARE(runPeer(runtime.path(), { kConversation }).exitCode, 0);
        QVERIFY(next.waitForLine("url " + encoded(kConversation)));
    }

    void startingInstanceIsWaitedFor()
    {
        // This process takes the instance's place but listens only after the
        // second start has begun trying.
        QTemporaryDir runtime;
        UrlHandoff running(handoffDirectory(runtime));
        QCOMPARE(running.claim({}), UrlHandoff::Outcome::primary);
        QSignalSpy received(&running, &UrlHandoff::urlReceived);

        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(u"XDG_RUNTIME_DIR"_s, runtime.path());
        QProcess second;
        second.setProcessEnvironment(environment);
        second.start(QStringLiteral(QUARN_URLHANDOFF_PEER), { kAuth });
        QVERIFY(second.waitForStarted());
        QTest::qWait(300);
        QVERIFY2(running.listen(), qPrintable(running.errorString()));
        QTRY_COMPARE_WITH_TIMEOUT(second.state(), QProcess::NotRunning, 15'000);
        QCOMPARE(second.exitCode(), 0);
        QCOMPARE(received.size(), 1);
        QCOMPARE(received.first().first().toString(), kAuth);
    }

    void silentInstanceFailsTheStartWithinItsBound()
    {
        QTemporaryDir runtime;
        UrlHandoff running(handoffDirectory(runtime));
        QCOMPARE(running.claim({}), UrlHandoff::Outcome::primary);

        const Run second = runPeer(runtime.path(), { kAuth }, 400);
        QCOMPARE(second.exitCode, 1);
        QVERIFY(second.lines.isEmpty());
        QVERIFY(!second.standardError.isEmpty());
    }

    void unsafeFolderIsNeverUsed_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("another user's folder") << u"owner"_s;
        QTest::newRow("group-writable folder") << u"mode"_s;
        QTest::newRow("symbolic link to a private folder") << u"link"_s;
    }

    void unsafeFolderIsNeverUsed()
    {
        QFETCH(QString, kind);
        QTemporaryDir runtime;
        const QString folder = handoffDirectory(runtime);
        QString listenIn = folder;
        if (kind == u"link"_s) {
            listenIn = runtime.filePath(u"elsewhere"_s);
            QVERIFY(QDir().mkdir(listenIn));
            QVERIFY(::chmod(QFile::encodeName(listenIn).constData(), 0700) == 0);
            QVERIFY(QFile::link(listenIn, folder));
        } else {
            QVERIFY(QDir().mkdir(folder));
            QVERIFY(::chmod(QFile::encodeName(folder).constData(), kind == u"mode"_s ? 0770 : 0700) == 0);
        }
        // Someone else's instance, listening where ours would.
        QLocalServer impostor;
        QVERIFY(impostor.listen(listenIn + u"/urls.socket"_s));
        if (kind == u"owner"_s) {
            if (::geteuid() != 0)
                QSKIP("giving a folder to another user needs root");
            QVERIFY(::chown(QFile::encodeName(folder).constData(), 65534, 65534) == 0);
        }

        const Run start = runPeer(runtime.path(), { kAuth });
        QCOMPARE(start.exitCode, 2);
        QVERIFY(start.lines.value(0).startsWith("standalone "));
        QCoreApplication::processEvents();
        QVERIFY(!impostor.hasPendingConnections());
    }

    void malformedRequestsAreDroppedWhole()
    {
        QTemporaryDir runtime;
        UrlHandoff running(handoffDirectory(runtime));
        QCOMPARE(running.claim({}), UrlHandoff::Outcome::primary);
        QVERIFY(running.listen());
        QSignalSpy received(&running, &UrlHandoff::urlReceived);

        const auto send = [&](const QByteArray &bytes) {
            auto socket = std::make_unique<QLocalSocket>();
            socket->connectToServer(running.socketPath());
            if (!socket->waitForConnected(5000))
                return false;
            socket->write(bytes);
            socket->flush();
            return true;
        };
        // A line beyond the limit, a request that never ends, too many URLs.
        QVERIFY(send(QByteArray(UrlHandoff::kMaximumLineLength + 10, 'x')));
        QVERIFY(send(encoded(kAuth) + '\n'));
        QByteArray many;
        for (int i = 0; i <= UrlHandoff::kMaximumURLCount; ++i)
            many += encoded(kConversation) + '\n';
        QVERIFY(send(many + '\n'));

        // A proper start afterwards is served, and only its URL arrives.
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(u"XDG_RUNTIME_DIR"_s, runtime.path());
        QProcess second;
        second.setProcessEnvironment(environment);
        second.start(QStringLiteral(QUARN_URLHANDOFF_PEER), { kJapanese });
        QTRY_COMPARE_WITH_TIMEOUT(second.state(), QProcess::NotRunning, 15'000);
        QCOMPARE(second.exitCode(), 0);
        QCOMPARE(received.size(), 1);
        QCOMPARE(received.first().first().toString(), kJapanese);
    }

    void theApplicationItselfTakesUrlsFromLaterStarts()
    {
        // quarn-mail as the desktop starts it: the first start shows the
        // window (offscreen here), a later one with a URL hands it over and
        // ends at once.
        QTemporaryDir runtime;
        QTemporaryDir data;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(u"XDG_RUNTIME_DIR"_s, runtime.path());
        environment.insert(u"XDG_DATA_HOME"_s, data.path());
        environment.insert(u"QT_QPA_PLATFORM"_s, u"offscreen"_s);
        QProcess first;
        first.setProcessEnvironment(environment);
        first.start(QStringLiteral(QUARN_MAIL_EXECUTABLE), {});
        QVERIFY(first.waitForStarted());
        const QString socket = handoffDirectory(runtime) + u"/urls.socket"_s;
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(socket) || first.state() == QProcess::NotRunning, 20'000);
        QCOMPARE(first.state(), QProcess::Running);

        QProcess second;
        second.setProcessEnvironment(environment);
        second.start(QStringLiteral(QUARN_MAIL_EXECUTABLE), { kConversation });
        QVERIFY(second.waitForFinished(20'000));
        QCOMPARE(second.exitStatus(), QProcess::NormalExit);
        QCOMPARE(second.exitCode(), 0);
        QCOMPARE(second.readAllStandardError(), QByteArray());
        QCOMPARE(first.state(), QProcess::Running);

        first.terminate();
        QVERIFY(first.waitForFinished(10'000));
    }
};

QTEST_GUILESS_MAIN(TestUrlHandoff)
#include "test_urlhandoff.moc"
