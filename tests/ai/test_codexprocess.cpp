// The supervised child run: outcomes, termination, input, environment, and
// that nothing (process, zombie, descriptor) outlives a run.

#include "ai/codexprocess.h"
#include "ai/codexrunnererror.h"
#include "codexdoublehome.h"
#include "core/blocking.h"
#include "core/error.h"

#include <QTest>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>

#include <fcntl.h>
#include <unistd.h>

using namespace std::chrono_literals;
using quarn::CodexProcess;
using quarn::CodexRunnerError;
using namespace quarn::testing;

namespace {

const QStringList kExecArguments { QStringLiteral("exec"), QStringLiteral("-") };

/// Either the status of the run or the error it failed with.
struct RunResult
{
    std::optional<std::int32_t> status;
    std::optional<CodexRunnerError::Kind> runnerError;
    std::optional<int> platformErrno;
    QString description;
};

RunResult runOnce(const QString &binary, const QStringList &arguments, std::optional<QByteArray> input,
    std::chrono::milliseconds limit, std::chrono::milliseconds killDelay = CodexProcess::kKillDelay)
{
    RunResult result;
    try {
        result.status = quarn::blockOn(CodexProcess::run(binary, arguments, std::move(input), limit, killDelay), 60s);
    } catch (const CodexRunnerError &e) {
        result.runnerError = e.kind();
        result.description = e.description();
    } catch (const quarn::PlatformError &e) {
        result.platformErrno = e.code();
        result.description = e.description();
    }
    return result;
}

/// Awaits a run and counts how often the awaiting coroutine went on past it.
QCoro::Task<void> awaitCounting(QCoro::Task<std::int32_t> run, int *resumed, RunResult *result)
{
    try {
        const std::int32_t status = co_await std::move(run);
        result->status = status;
    } catch (const CodexRunnerError &e) {
        result->runnerError = e.kind();
    }
    ++*resumed;
}

/// The state letter of a process in /proc ('Z' for a zombie); 0 when gone.
char processState(pid_t pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray line = stat.readAll();
    const qsizetype close = line.lastIndexOf(')');
    return close > 0 && close + 2 < line.size() ? line.at(close + 2) : char(0);
}

} // namespace

class TestCodexProcess : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void outcomes_data()
    {
        QTest::addColumn<QString>("control");
        QTest::addColumn<bool>("hasInput");
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<int>("limitMs");
        QTest::addColumn<int>("expectedStatus"); // -1: timed out
        QTest::addColumn<QByteArray>("expectedStdinKind");

        const QByteArray prompt = QStringLiteral("件名: 見積もり\n本文は信頼できないデータ ✓").toUtf8();
        QByteArray large(3 * 1024 * 1024 + 7, 'x');
        for (qsizetype i = 0; i < large.size(); i += 4093)
            large[i] = char('a' + i % 26);

        QTest::newRow("exit 0, no input: null device")
            << QString() << false << QByteArray() << 10'000 << 0 << QByteArray("null");
        QTest::newRow("non-zero status is returned")
            << QStringLiteral("exec_exit=3") << false << QByteArray() << 10'000 << 3 << QByteArray("null");
        QTest::newRow("crash reports the signal")
            << QStringLiteral("crash_signal=11") << false << QByteArray() << 10'000 << 11 << QByteArray("null");
        QTest::newRow("input through a pipe") << QString() << true << prompt << 10'000 << 0 << QByteArray("pipe");
        QTest::newRow("input larger than the pipe") << QString() << true << large << 10'000 << 0 << QByteArray("pipe");
        QTest::newRow("empty input still a pipe")
            << QString() << true << QByteArray() << 10'000 << 0 << QByteArray("pipe");
        QTest::newRow("child never reads its input")
            << QStringLiteral("read_stdin=0") << true << large << 10'000 << 0 << QByteArray("pipe");
        QTest::newRow("hang meets the limit")
            << QStringLiteral("delay_ms=-1") << true << prompt << 200 << -1 << QByteArray("pipe");
        QTest::newRow("hang without reading input")
            << QStringLiteral("delay_ms=-1\nread_stdin=0") << true << large << 200 << -1 << QByteArray("pipe");
    }

    void outcomes()
    {
        QFETCH(QString, control);
        QFETCH(bool, hasInput);
        QFETCH(QByteArray, input);
        QFETCH(int, limitMs);
        QFETCH(int, expectedStatus);
        QFETCH(QByteArray, expectedStdinKind);

        CodexDoubleHome home;
        QVERIFY(home.isValid());
        home.setControl(control);
        const int descriptorsBefore = openDescriptorCount();

        const RunResult result = runOnce(codexDoublePath(), kExecArguments,
            hasInput ? std::optional<QByteArray>(input) : std::nullopt, std::chrono::milliseconds(limitMs), 100ms);

        if (expectedStatus < 0) {
            QCOMPARE(result.runnerError, CodexRunnerError::Kind::TimedOut);
            QCOMPARE(result.description, QStringLiteral("Codexの処理が2分以内に完了しませんでした。"));
        } else {
            QVERIFY2(result.status.has_value(), qPrintable(result.description));
            QCOMPARE(*result.status, expectedStatus);
        }
        QCOMPARE(home.recorded(QStringLiteral("exec"), QStringLiteral("stdin-kind")), expectedStdinKind);
        if (hasInput && !control.contains(QStringLiteral("read_stdin=0")))
            QCOMPARE(home.recorded(QStringLiteral("exec"), QStringLiteral("stdin")), input);

        // Nothing outlives the run: the child is reaped (not even a zombie)
        // and every descriptor of the run is closed.
        const pid_t child = home.recordedPid(QStringLiteral("exec"));
        QVERIFY(child > 0);
        QTRY_VERIFY_WITH_TIMEOUT(!exists(child), 10'000);
        QTRY_VERIFY_WITH_TIMEOUT(openDescriptorCount() <= descriptorsBefore, 10'000);
        QCOMPARE(childCount(), 0);
    }

    void ignoredTerminationIsFollowedByKill()
    {
        CodexDoubleHome home;
        home.setControl(QStringLiteral("delay_ms=-1\nignore_term=1"));
        const int descriptorsBefore = openDescriptorCount();

        const RunResult result = runOnce(codexDoublePath(), kExecArguments, std::nullopt, 200ms, 300ms);
        QCOMPARE(result.runnerError, CodexRunnerError::Kind::TimedOut);

        // It ignores SIGTERM and never ends by itself: only SIGKILL removes
        // it, and the caller hears of the limit only once it is gone, so
        // that its work folder is never cleared under it.
        const pid_t child = home.recordedPid(QStringLiteral("exec"));
        QVERIFY(child > 0);
        QVERIFY(!exists(child));
        QVERIFY(home.recorded(QStringLiteral("exec"), QStringLiteral("term")).has_value());
        QTRY_VERIFY_WITH_TIMEOUT(openDescriptorCount() <= descriptorsBefore, 10'000);
        QCOMPARE(childCount(), 0);
    }

    void helperProcessesDoNotOutliveTheRun_data()
    {
        QTest::addColumn<QString>("control");
        QTest::addColumn<bool>("timesOut");
        QTest::newRow("child exits") << QStringLiteral("grandchild=1") << false;
        QTest::newRow("child times out") << QStringLiteral("grandchild=1\ndelay_ms=-1") << true;
    }

    void helperProcessesDoNotOutliveTheRun()
    {
        QFETCH(QString, control);
        QFETCH(bool, timesOut);
        CodexDoubleHome home;
        home.setControl(control);

        const RunResult result
            = runOnce(codexDoublePath(), kExecArguments, std::nullopt, timesOut ? 200ms : 10s, 100ms);
        QCOMPARE(result.runnerError.has_value(), timesOut);

        const pid_t helper = home.recordedPid(QStringLiteral("exec"), QStringLiteral("grandchild-pid"));
        QVERIFY(helper > 0);
        QTRY_VERIFY_WITH_TIMEOUT(!isAlive(helper), 10'000);
    }

    void launchFailureIsPassedOnUnchanged_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<int>("expectedErrno");
        QTest::newRow("missing file") << QStringLiteral("missing") << ENOENT;
        QTest::newRow("not executable") << QStringLiteral("plain") << EACCES;
        QTest::newRow("a folder") << QStringLiteral("folder") << EACCES;
    }

    void launchFailureIsPassedOnUnchanged()
    {
        QFETCH(QString, kind);
        QFETCH(int, expectedErrno);
        QTemporaryDir dir;
        QString path = dir.filePath(QStringLiteral("codex"));
        if (kind == QLatin1String("plain")) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write("#!/bin/sh\nexit 0\n");
            file.close();
            QVERIFY(file.setPermissions(QFile::ReadOwner | QFile::WriteOwner));
        } else if (kind == QLatin1String("folder")) {
            QVERIFY(QDir().mkdir(path));
        }
        const int descriptorsBefore = openDescriptorCount();

        const RunResult result = runOnce(path, kExecArguments, QByteArray("prompt"), 10s);

        QCOMPARE(result.platformErrno, expectedErrno);
        QCOMPARE(result.description, QString::fromLocal8Bit(std::strerror(expectedErrno)));
        QVERIFY(!result.runnerError.has_value());
        QVERIFY(openDescriptorCount() <= descriptorsBefore);
        QCOMPARE(childCount(), 0);
    }

    void environmentIsSanitised()
    {
        CodexDoubleHome home;
        const QByteArray savedLcAll = qgetenv("LC_ALL");
        const bool hadLcAll = qEnvironmentVariableIsSet("LC_ALL");
        qunsetenv("LC_ALL");
        qputenv("LANG", "ja_JP.UTF-8");
        qputenv("TMPDIR", QFile::encodeName(home.path()));
        qputenv("HTTPS_PROXY", "http://127.0.0.1:9");
        qputenv("OPENAI_API_KEY", "sk-secret");
        qputenv("LD_PRELOAD", "/nonexistent.so");
        qputenv("CODEX_HOME", "/elsewhere");
        qputenv("PATH", "/tmp/evil:/usr/bin");

        const RunResult result = runOnce(codexDoublePath(), kExecArguments, std::nullopt, 10s);

        for (const char *name : { "HTTPS_PROXY", "OPENAI_API_KEY", "LD_PRELOAD", "CODEX_HOME" })
            qunsetenv(name);
        qputenv("PATH", "/usr/local/bin:/usr/bin:/bin");
        if (hadLcAll)
            qputenv("LC_ALL", savedLcAll);

        QCOMPARE(result.status, 0);
        QList<QByteArray> expected;
        for (const char *name : { "HOME", "USER", "LOGNAME", "TMPDIR", "LANG" }) {
            if (qEnvironmentVariableIsSet(name))
                expected << QByteArray(name) + '=' + qgetenv(name);
        }
        expected << "PATH=/home/linuxbrew/.linuxbrew/bin:/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin"
                 << "CODEX_EXEC_SERVER_URL=none"
                 << "NO_COLOR=1";
        QCOMPARE(home.recordedList(QStringLiteral("exec"), QStringLiteral("env")), expected);
        QCOMPARE(home.recordedList(QStringLiteral("exec"), QStringLiteral("argv")),
            (QList<QByteArray> { QFile::encodeName(codexDoublePath()), "exec", "-" }));
    }

    void childSeesOnlyTheStandardDescriptors()
    {
        CodexDoubleHome home;
        // A descriptor without close-on-exec, as a careless library leaves one.
        const int stray = ::open("/dev/null", O_RDONLY);
        QVERIFY(stray > 2);

        const RunResult result = runOnce(codexDoublePath(), kExecArguments, QByteArray("x"), 10s);
        ::close(stray);

        QCOMPARE(result.status, 0);
        QCOMPARE(home.recorded(QStringLiteral("exec"), QStringLiteral("fds")), QByteArray("0 1 2 "));
        // Its own process group, so that signals reach its helpers too.
        QCOMPARE(
            home.recordedPid(QStringLiteral("exec"), QStringLiteral("pgid")), home.recordedPid(QStringLiteral("exec")));
    }

    void exactlyOneOutcomeWhenExitMeetsTheLimit()
    {
        // Every round stages the race for real: the child has ended (a zombie
        // not yet reaped) and the limit has passed before the event loop gets
        // to look at either, so the exit and the limit are due in the same
        // turn. The caller must be resumed exactly once, with one of the two
        // outcomes intact, and the loser must do nothing afterwards.
        CodexDoubleHome home;
        home.setControl(QStringLiteral("exec_exit=7"));
        constexpr auto limit = 30ms;
        for (int round = 0; round < 6; ++round) {
            const QString pidFile = home.controlFolder() + QStringLiteral("/exec/pid");
            QFile::remove(pidFile);
            int resumed = 0;
            RunResult result;
            const auto started = std::chrono::steady_clock::now();
            QCoro::Task<void> observer = awaitCounting(
                CodexProcess::run(codexDoublePath(), kExecArguments, std::nullopt, limit, 200ms), &resumed, &result);

            // No event is processed here: wait for the zombie and the limit.
            bool zombie = false;
            for (int i = 0; i < 1000 && !zombie; ++i) {
                const pid_t pid = home.recordedPid(QStringLiteral("exec"));
                zombie = pid > 0 && processState(pid) == 'Z';
                if (!zombie)
                    ::usleep(5000);
            }
            QVERIFY2(zombie, "the child did not end");
            while (std::chrono::steady_clock::now() - started < limit + 20ms)
                ::usleep(5000);

            QTRY_COMPARE_WITH_TIMEOUT(resumed, 1, 10'000);
            QVERIFY(result.status.has_value() != result.runnerError.has_value());
            if (result.status)
                QCOMPARE(*result.status, 7);
            else
                QCOMPARE(*result.runnerError, CodexRunnerError::Kind::TimedOut);
            // Past the kill delay: whatever the loser would still do has happened.
            QTest::qWait(300);
            QCOMPARE(resumed, 1);
            QCOMPARE(childCount(), 0);
        }
    }
};

QTEST_GUILESS_MAIN(TestCodexProcess)
#include "test_codexprocess.moc"
