// URL hand-off between real processes, with the real quarn-mail executable
// as every start: as a later start handing its URLs to a running instance
// (this test process, through the same UrlHandoff, so that what arrives can
// be looked at), and as the running instance itself.

#include "app/urlhandoff.h"
#include "platform/filesecurity.h"

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

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

/// A home, a data folder and a runtime folder of the test's own, in which
/// quarn-mail runs as the desktop would start it (offscreen).
class Desktop
{
public:
    Desktop()
    {
        QDir().mkpath(home());
        m_environment = QProcessEnvironment::systemEnvironment();
        m_environment.insert(u"HOME"_s, home());
        m_environment.insert(u"XDG_DATA_HOME"_s, m_dir.filePath(u"data"_s));
        m_environment.insert(u"XDG_RUNTIME_DIR"_s, runtime());
        m_environment.remove(u"XDG_CACHE_HOME"_s);
        m_environment.insert(u"QT_QPA_PLATFORM"_s, u"offscreen"_s);
    }

    [[nodiscard]] QString home() const { return m_dir.filePath(u"home"_s); }
    [[nodiscard]] QString runtime() const { return m_dir.path(); }
    [[nodiscard]] QString handoffDirectory() const { return runtime() + u"/quarn-mail"_s; }
    /// "Quarn Mail" in the data home, as the program forms it (base resolved).
    [[nodiscard]] QString dataFolder() const
    {
        return QFileInfo(m_dir.path()).canonicalFilePath() + u"/data/Quarn Mail"_s;
    }
    /// The socket the running instance recorded; empty while none is.
    [[nodiscard]] QString recordedSocket() const
    {
        QFile record(dataFolder() + u"/instance.address"_s);
        if (!record.open(QIODevice::ReadOnly))
            return {};
        return QFile::decodeName(record.readAll().trimmed());
    }
    [[nodiscard]] QString filePath(const QString &name) const { return m_dir.filePath(name); }
    QProcessEnvironment &environment() { return m_environment; }

private:
    QTemporaryDir m_dir;
    QProcessEnvironment m_environment;
};

/// One start of quarn-mail.
class Start
{
public:
    Start(const QProcessEnvironment &environment, const QStringList &arguments)
    {
        m_process.setProcessEnvironment(environment);
        m_process.start(QStringLiteral(QUARN_MAIL_EXECUTABLE), arguments);
    }
    ~Start()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }
    Start(const Start &) = delete;
    Start &operator=(const Start &) = delete;

    /// Waits for the end: the exit code, or -1 when it did not end normally
    /// within `bound`.
    int finish(int bound = 20'000)
    {
        // The event loop runs meanwhile: the running instance may be this
        // very process, which must answer the start it waits for.
        if (m_process.state() != QProcess::NotRunning) {
            QEventLoop loop;
            QObject::connect(&m_process, &QProcess::finished, &loop, &QEventLoop::quit);
            QTimer::singleShot(bound, &loop, &QEventLoop::quit);
            loop.exec();
        }
        if (m_process.state() != QProcess::NotRunning || m_process.exitStatus() != QProcess::NormalExit)
            return -1;
        return m_process.exitCode();
    }

    [[nodiscard]] bool isRunning() const { return m_process.state() != QProcess::NotRunning; }
    QByteArray standardError() { return m_error += m_process.readAllStandardError(); }
    QProcess &process() { return m_process; }

    void crash()
    {
        ::kill(pid_t(m_process.processId()), SIGKILL);
        m_process.waitForFinished(5000);
    }

private:
    QProcess m_process;
    QByteArray m_error;
};

/// Whether someone listens on the socket (a crashed instance's is refused).
bool isServed(const QString &socket)
{
    QLocalSocket probe;
    probe.connectToServer(socket);
    const bool connected = probe.waitForConnected(1000);
    probe.abort();
    return connected;
}

/// Runs a start to its end: its exit code and what it wrote to its error.
std::pair<int, QByteArray> runToEnd(const QProcessEnvironment &environment, const QStringList &arguments)
{
    Start start(environment, arguments);
    const int code = start.finish();
    return { code, start.standardError() };
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

    void laterStartsDeliverEachUrlOnceInOrder()
    {
        Desktop desktop;
        UrlHandoff running(desktop.dataFolder(), { desktop.handoffDirectory() });
        QCOMPARE(running.claim({}), UrlHandoff::Outcome::primary);
        QVERIFY2(running.listen(), qPrintable(running.errorString()));
        QStringList events;
        connect(&running, &UrlHandoff::urlReceived, this, [&](const QString &url) { events.append(url); });
        connect(&running, &UrlHandoff::activationRequested, this, [&] { events.append(u"activated"_s); });

        // Other arguments travel with the URLs (toolkit options, another
        // scheme) and are not handed over; a start without URLs asks the
        // running instance to come forward.
        const QList<QStringList> starts { { u"--reverse"_s, kAuth, u"https://example.com/"_s, kJapanese },
            { kConversation }, {} };
        for (const QStringList &arguments : starts) {
            const auto [code, error] = runToEnd(desktop.environment(), arguments);
            QCOMPARE(code, 0);
            QCOMPARE(error, QByteArray());
        }
        QTRY_COMPARE_WITH_TIMEOUT(events.count(u"activated"_s), 3, 10'000);
        QCOMPARE(
            events, (QStringList { kAuth, kJapanese, u"activated"_s, kConversation, u"activated"_s, u"activated"_s }));
        const auto status = quarn::platform::linkStatus(desktop.handoffDirectory());
        QVERIFY(status);
        QCOMPARE(status->permissions, mode_t(0700));
    }

    void theApplicationIsTheRunningInstance()
    {
        // The first start shows its window (offscreen) and takes later starts'
        // URLs, which end at once; after it crashed, its socket left behind,
        // the next start takes its place.
        Desktop desktop;
        auto first = std::make_unique<Start>(desktop.environment(), QStringList {});
        QTRY_VERIFY_WITH_TIMEOUT(!desktop.recordedSocket().isEmpty() || !first->isRunning(), 20'000);
        QVERIFY2(first->isRunning(), first->standardError().constData());
        const QString socket = desktop.recordedSocket();
        QCOMPARE(QFileInfo(socket).path(), desktop.handoffDirectory());

        for (const QStringList &arguments : { QStringList { kConversation }, QStringList {} }) {
            const auto [code, error] = runToEnd(desktop.environment(), arguments);
            QCOMPARE(code, 0);
            QCOMPARE(error, QByteArray());
        }
        QVERIFY(first->isRunning());

        first->crash();
        QVERIFY(QFileInfo::exists(socket));
        QVERIFY(!isServed(socket));
        Start next(desktop.environment(), { kAuth });
        QTRY_VERIFY_WITH_TIMEOUT(isServed(socket) || !next.isRunning(), 20'000);
        const auto [code, error] = runToEnd(desktop.environment(), { kConversation });
        QCOMPARE(code, 0);
        QVERIFY(next.isRunning());
    }

    void withoutRuntimeFolderTheInstanceLivesInTheUsersHome()
    {
        // Another local user took the name a shared temporary folder would
        // offer; the instance is found in the user's own cache folder instead.
        if (::geteuid() != 0)
            QSKIP("giving a folder to another user needs root");
        Desktop desktop;
        const QString shared = desktop.filePath(u"shared-tmp"_s);
        const QString taken = shared + u"/quarn-mail-"_s + QString::number(::getuid());
        QVERIFY(QDir().mkpath(taken));
        QVERIFY(::chmod(QFile::encodeName(taken).constData(), 0700) == 0);
        QVERIFY(::chown(QFile::encodeName(taken).constData(), 65534, 65534) == 0);
        desktop.environment().remove(u"XDG_RUNTIME_DIR"_s);
        desktop.environment().insert(u"TMPDIR"_s, shared);

        Start first(desktop.environment(), {});
        QTRY_VERIFY_WITH_TIMEOUT(!desktop.recordedSocket().isEmpty() || !first.isRunning(), 20'000);
        QVERIFY2(first.isRunning(), first.standardError().constData());
        const QString socket = desktop.recordedSocket();
        QCOMPARE(QFileInfo(socket).path(), desktop.home() + u"/.cache/quarn-mail/instance"_s);
        QCOMPARE(quarn::platform::linkStatus(QFileInfo(socket).path())->permissions, mode_t(0700));
        const auto [code, error] = runToEnd(desktop.environment(), { kAuth });
        QCOMPARE(code, 0);
        QCOMPARE(error, QByteArray());
        QVERIFY2(!first.standardError().contains("quarn-mail: "), first.standardError().constData());
    }

    void startingInstanceIsWaitedFor()
    {
        // This process takes the instance's place but listens only after the
        // later start has begun trying.
        Desktop desktop;
        UrlHandoff running(desktop.dataFolder(), { desktop.handoffDirectory() });
        QCOMPARE(running.claim({}), UrlHandoff::Outcome::primary);
        QSignalSpy received(&running, &UrlHandoff::urlReceived);

        Start second(desktop.environment(), { kAuth });
        QVERIFY(second.process().waitForStarted());
        QTest::qWait(300);
        QVERIFY2(running.listen(), qPrintable(running.errorString()));
        QTRY_VERIFY_WITH_TIMEOUT(!second.isRunning(), 15'000);
        QCOMPARE(second.finish(), 0);
        QCOMPARE(received.size(), 1);
        QCOMPARE(received.first().first().toString(), kAuth);
    }

    void silentInstanceFailsTheStartWithinItsBound()
    {
        Desktop desktop;
        UrlHandoff running(desktop.dataFolder(), { desktop.handoffDirectory() });
        QCOMPARE(running.claim({}), UrlHandoff::Outcome::primary);

        const auto [code, error] = runToEnd(desktop.environment(), { kAuth });
        QCOMPARE(code, 1);
        QVERIFY2(error.startsWith("quarn-mail: Quarn Mailはすでに起動していますが"), error.constData());
    }

    void oneInstancePerDataFolderWhateverTheEnvironment_data()
    {
        QTest::addColumn<QString>("change");
        QTest::newRow("another runtime folder") << u"runtime"_s;
        QTest::newRow("no runtime folder, another cache folder") << u"cache"_s;
        QTest::newRow("a runtime folder of another user") << u"foreign runtime"_s;
    }

    void oneInstancePerDataFolderWhateverTheEnvironment()
    {
        // A terminal, a `su` shell or an ssh login starts with other runtime
        // and cache folders than the desktop; on the same data folder it
        // hands its URL to the running application and ends.
        QFETCH(QString, change);
        Desktop desktop;
        Start first(desktop.environment(), {});
        QTRY_VERIFY_WITH_TIMEOUT(!desktop.recordedSocket().isEmpty() || !first.isRunning(), 20'000);
        QVERIFY2(first.isRunning(), first.standardError().constData());

        QProcessEnvironment other = desktop.environment();
        const QString otherRuntime = desktop.filePath(u"other-runtime"_s);
        QVERIFY(QDir().mkpath(otherRuntime));
        QVERIFY(::chmod(QFile::encodeName(otherRuntime).constData(), 0700) == 0);
        if (change == u"runtime"_s) {
            other.insert(u"XDG_RUNTIME_DIR"_s, otherRuntime);
        } else if (change == u"cache"_s) {
            other.remove(u"XDG_RUNTIME_DIR"_s);
            other.insert(u"XDG_CACHE_HOME"_s, desktop.filePath(u"other-cache"_s));
        } else {
            if (::geteuid() != 0)
                QSKIP("giving a folder to another user needs root");
            QVERIFY(::chown(QFile::encodeName(otherRuntime).constData(), 65534, 65534) == 0);
            other.insert(u"XDG_RUNTIME_DIR"_s, otherRuntime);
        }
        const auto [code, error] = runToEnd(other, { kConversation });
        QCOMPARE(code, 0);
        QCOMPARE(error, QByteArray());
        QVERIFY(first.isRunning());
        // The later start made nothing of its own in its folders.
        QVERIFY(QDir(otherRuntime).isEmpty());
        QVERIFY(!QFileInfo::exists(desktop.filePath(u"other-cache"_s)));
    }

    void runningInstanceWhoseSocketWentIsNeverJoinedBySecondOne()
    {
        // The runtime folder was cleared under the running instance (a
        // log-out of another session, a hand-made clean-up): a later start
        // cannot reach it, says so and ends, instead of running beside it.
        Desktop desktop;
        UrlHandoff running(desktop.dataFolder(), { desktop.handoffDirectory() });
        QCOMPARE(running.claim({}), UrlHandoff::Outcome::primary);
        QVERIFY2(running.listen(), qPrintable(running.errorString()));
        QVERIFY(QDir(desktop.handoffDirectory()).removeRecursively());

        const auto [code, error] = runToEnd(desktop.environment(), { kAuth });
        QCOMPARE(code, 1);
        QVERIFY2(error.contains("Quarn Mailはすでに起動していますが"), error.constData());
    }

    void instanceThatCannotListenGivesTheDataFolderUp()
    {
        Desktop desktop;
        // Every socket folder lies below a plain file: none can be made.
        QFile blocker(desktop.filePath(u"blocker"_s));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        UrlHandoff deaf(desktop.dataFolder(), { blocker.fileName() + u"/a"_s, blocker.fileName() + u"/b"_s });
        QCOMPARE(deaf.claim({}), UrlHandoff::Outcome::primary);
        QVERIFY(!deaf.listen());
        QVERIFY2(deaf.errorString().contains(u"/a"_s) && deaf.errorString().contains(u"/b"_s),
            qPrintable(deaf.errorString()));
        deaf.release();

        // The next start is not kept waiting: it becomes the running instance.
        UrlHandoff next(desktop.dataFolder(), { desktop.handoffDirectory() });
        QCOMPARE(next.claim({}, 0ms), UrlHandoff::Outcome::primary);
        QVERIFY2(next.listen(), qPrintable(next.errorString()));
    }

    void unsafeSocketFolderIsNeverUsed_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("another user's folder") << u"owner"_s;
        QTest::newRow("symbolic link to a private folder") << u"link"_s;
    }

    void unsafeSocketFolderIsNeverUsed()
    {
        QFETCH(QString, kind);
        Desktop desktop;
        const QString folder = desktop.handoffDirectory();
        QString listenIn = folder;
        if (kind == u"link"_s) {
            listenIn = desktop.filePath(u"elsewhere"_s);
            QVERIFY(QDir().mkdir(listenIn));
            QVERIFY(::chmod(QFile::encodeName(listenIn).constData(), 0700) == 0);
            QVERIFY(QFile::link(listenIn, folder));
        } else {
            if (::geteuid() != 0)
                QSKIP("giving a folder to another user needs root");
            QVERIFY(QDir().mkdir(folder));
            QVERIFY(::chmod(QFile::encodeName(folder).constData(), 0700) == 0);
        }
        // Someone else's listener wherever a socket of ours could be named.
        QLocalServer impostor;
        QVERIFY(impostor.listen(listenIn + u"/impostor.socket"_s));
        if (kind == u"owner"_s)
            QVERIFY(::chown(QFile::encodeName(folder).constData(), 65534, 65534) == 0);

        // The instance listens in the user's own cache folder instead, and a
        // later start reaches it there.
        Start first(desktop.environment(), {});
        QTRY_VERIFY_WITH_TIMEOUT(!desktop.recordedSocket().isEmpty() || !first.isRunning(), 20'000);
        QVERIFY2(first.isRunning(), first.standardError().constData());
        QCOMPARE(QFileInfo(desktop.recordedSocket()).path(), desktop.home() + u"/.cache/quarn-mail/instance"_s);
        QCOMPARE(QDir(listenIn).entryList(QDir::System | QDir::Files), QStringList { u"impostor.socket"_s });
        const auto [code, error] = runToEnd(desktop.environment(), { kAuth });
        QCOMPARE(code, 0);
        QCoreApplication::processEvents();
        QVERIFY(!impostor.hasPendingConnections());
    }

    void foldersWithChangedModesArePutRight_data()
    {
        QTest::addColumn<QString>("which");
        QTest::addColumn<int>("mode");
        QTest::newRow("socket folder opened up") << u"socket"_s << 0755;
        QTest::newRow("socket folder closed") << u"socket"_s << 0300;
        QTest::newRow("data folder opened up") << u"data"_s << 0755;
        QTest::newRow("data folder closed") << u"data"_s << 0300;
    }

    void foldersWithChangedModesArePutRight()
    {
        // Both folders are the program's own: a mode changed by hand is
        // repaired, not a reason to fail every start from now on.
        QFETCH(QString, which);
        QFETCH(int, mode);
        Desktop desktop;
        const QString folder = which == u"socket"_s ? desktop.handoffDirectory() : desktop.dataFolder();
        QVERIFY(QDir().mkpath(folder));
        QVERIFY(::chmod(QFile::encodeName(folder).constData(), mode_t(mode)) == 0);

        Start first(desktop.environment(), {});
        QTRY_VERIFY_WITH_TIMEOUT(!desktop.recordedSocket().isEmpty() || !first.isRunning(), 20'000);
        QVERIFY2(first.isRunning(), first.standardError().constData());
        QCOMPARE(QFileInfo(desktop.recordedSocket()).path(), desktop.handoffDirectory());
        QCOMPARE(quarn::platform::linkStatus(folder)->permissions, mode_t(0700));
        const auto [code, error] = runToEnd(desktop.environment(), { kAuth });
        QCOMPARE(code, 0);
        QVERIFY2(!first.standardError().contains("quarn-mail: "), first.standardError().constData());
    }

    void applicationSweepsStaleCodexWorkFolders()
    {
        // Work folders of Codex runs that a killed instance left in the
        // runtime folder go at the next start; one a living run holds stays.
        Desktop desktop;
        const QString stale = desktop.runtime() + u"/quarn-mail-chat-0F8FAD5B-D9CB-469F-A165-70867728950E"_s;
        const QString living = desktop.runtime() + u"/quarn-mail-codex-0F8FAD5B-D9CB-469F-A165-70867728950F"_s;
        QVERIFY(QDir().mkpath(stale + u"/inner"_s) && QDir().mkpath(living));
        const int held = ::open(QFile::encodeName(living).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        QVERIFY(held >= 0 && ::flock(held, LOCK_SH) == 0);

        Start first(desktop.environment(), {});
        QTRY_VERIFY_WITH_TIMEOUT(!QFileInfo::exists(stale) || !first.isRunning(), 20'000);
        QVERIFY2(first.isRunning(), first.standardError().constData());
        QVERIFY(QFileInfo::exists(living));
        ::close(held);
    }

    void applicationQuitsOnTerminationSignals()
    {
        // Ctrl-C or the session's SIGTERM end the application the way "終了"
        // does (what it tears down on the way, Codex CLI children included,
        // goes with it), not by the default action.
        Desktop desktop;
        Start first(desktop.environment(), {});
        QTRY_VERIFY_WITH_TIMEOUT(!desktop.recordedSocket().isEmpty() || !first.isRunning(), 20'000);
        QVERIFY2(first.isRunning(), first.standardError().constData());
        ::kill(pid_t(first.process().processId()), SIGINT);
        QCOMPARE(first.finish(), 0);
        QVERIFY(!QFileInfo::exists(desktop.dataFolder() + u"/instance.address"_s));
    }

    void malformedRequestsAreDroppedWhole()
    {
        Desktop desktop;
        UrlHandoff running(desktop.dataFolder(), { desktop.handoffDirectory() });
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
        QVERIFY(send(kAuth.toUtf8() + '\n'));
        QByteArray many;
        for (int i = 0; i <= UrlHandoff::kMaximumURLCount; ++i)
            many += kConversation.toUtf8() + '\n';
        QVERIFY(send(many + '\n'));

        // A proper start afterwards is served, and only its URL arrives.
        Start second(desktop.environment(), { kJapanese });
        QTRY_VERIFY_WITH_TIMEOUT(!second.isRunning(), 15'000);
        QCOMPARE(second.finish(), 0);
        QCOMPARE(received.size(), 1);
        QCOMPARE(received.first().first().toString(), kJapanese);
    }
};

QTEST_GUILESS_MAIN(TestUrlHandoff)
#include "test_urlhandoff.moc"
