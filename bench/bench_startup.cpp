// Start-up of the real application: from starting its process to the first
// frame that shows conversations, against the reference service with its
// demo mailbox on loopback and an AI conversation file of 100 conversations.
// The baseline, measured in the same iteration, is the start of an empty Qt
// Quick window to its first frame. Both run on the offscreen platform, and
// again on the X server of DISPLAY when there is one (such as Xvfb).
//
// The application learns nothing from the benchmark but QUARN_TRACE_STARTUP,
// which makes it say on standard error when its first frame and its first
// list are on screen; it reaches the service at the origin it was built for
// (http://127.0.0.1:8787 in the local preset), so that port must be free.
#include "ai/aiconversationstore.h"
#include "core/blocking.h"
#include "support/referenceservice.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <optional>

using namespace Qt::StringLiterals;
using namespace quarn;

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kServicePort = 8787;
constexpr auto kPatience = std::chrono::seconds(30);

[[noreturn]] void fail(const QString &what)
{
    std::fprintf(stderr, "bench_startup: %s\n", qPrintable(what));
    std::abort();
}

double milliseconds(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

/// Waits until `process` has written `marker` to standard error; answers
/// when that was seen, or nothing if it ended or took longer than kPatience.
std::optional<Clock::time_point> awaitMarker(QProcess &process, const QByteArray &marker)
{
    const auto deadline = Clock::now() + kPatience;
    QByteArray seen;
    while (Clock::now() < deadline) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (!process.waitForReadyRead(int(std::max<qint64>(left.count(), 1)))) {
            if (process.state() != QProcess::Running)
                return std::nullopt;
            continue;
        }
        seen += process.readAllStandardError();
        if (seen.contains(marker))
            return Clock::now();
    }
    return std::nullopt;
}

void stop(QProcess &process)
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.terminate();
    if (!process.waitForFinished(5000)) {
        process.kill();
        process.waitForFinished(5000);
    }
}

struct Fixture
{
    // The demo mailbox, at the origin the application was built for.
    test::ReferenceService service { test::ReferenceService::Data::Demo };
    QTemporaryDir root;
    QString dataHome;
    int runs = 0;

    Fixture()
    {
        service.setServeArguments({ u"--port"_s, QString::number(kServicePort) });
        if (!service.start())
            fail(service.errorString() + u" (is port %1 taken?)"_s.arg(kServicePort));

        dataHome = root.filePath(u"data"_s);
        QDir().mkpath(dataHome);
        QProcess provision;
        provision.setProcessEnvironment(environment(u"provision"_s, u"offscreen"_s));
        provision.start(QStringLiteral(QUARN_APP_BINARY), { u"--provision-token"_s });
        provision.write(service.token().toUtf8() + '\n');
        provision.closeWriteChannel();
        if (!provision.waitForFinished(30'000) || provision.exitCode() != 0)
            fail(u"provisioning the demo token failed: "_s + QString::fromUtf8(provision.readAllStandardError()));

        QList<AIConversation> conversations;
        for (int c = 0; c < 100; ++c) {
            AIConversation conversation;
            conversation.id = u"ai_%1"_s.arg(c);
            conversation.title = u"相談 %1"_s.arg(c);
            conversation.createdAt = 1'700'000'000'000 + c;
            conversation.updatedAt = conversation.createdAt;
            for (int m = 0; m < 20; ++m) {
                conversation.messages.append(
                    { u"m_%1_%2"_s.arg(c).arg(m), m % 2 ? AIChatRole::assistant : AIChatRole::user,
                        u"来週の打ち合わせの資料について、要点を三つにまとめてください。 (%1)"_s.arg(m),
                        conversation.createdAt + m });
            }
            conversations.append(conversation);
        }
        const QString supportFolder = QDir(dataHome).canonicalPath() + u"/Quarn Mail"_s;
        QDir().mkpath(supportFolder);
        AIConversationStore store(supportFolder + u"/ai-conversations.json"_s);
        blockOn(store.save(conversations), kPatience);
    }

    /// The application's environment: its own data and runtime folders and
    /// home (so no installed Codex CLI is found), the offscreen platform.
    QProcessEnvironment environment(const QString &run, const QString &platform)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        const QString runtime = root.filePath(u"runtime-"_s + run);
        QDir().mkpath(runtime);
        QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        env.insert(u"XDG_DATA_HOME"_s, dataHome);
        env.insert(u"XDG_RUNTIME_DIR"_s, runtime);
        env.insert(u"HOME"_s, root.path());
        env.insert(u"QT_QPA_PLATFORM"_s, platform);
        return env;
    }
};

Fixture &fixture()
{
    static Fixture f;
    return f;
}

/// Starts `program` and answers how long until it wrote `marker`.
double timeToMarker(const QString &program, const QStringList &arguments, const QProcessEnvironment &env,
    const QByteArray &marker, benchmark::State &state)
{
    QProcess process;
    process.setProcessEnvironment(env);
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setReadChannel(QProcess::StandardError);
    const auto started = Clock::now();
    process.start(program, arguments);
    const std::optional<Clock::time_point> seen = awaitMarker(process, marker);
    stop(process);
    if (!seen) {
        state.SkipWithError(qPrintable(u"%1 never said \"%2\""_s.arg(program, QString::fromUtf8(marker))));
        return 0;
    }
    return milliseconds(*seen - started);
}

/// The platform of the run: the offscreen one (0), or the X server of
/// DISPLAY (1), where the scene graph draws with OpenGL.
QString platformOf(const benchmark::State &state)
{
    return state.range(0) == 0 ? u"offscreen"_s : u"xcb"_s;
}

void BM_StartUpToFirstList(benchmark::State &state)
{
    const QString platform = platformOf(state);
    if (platform == u"xcb"_s && qEnvironmentVariableIsEmpty("DISPLAY")) {
        state.SkipWithError("no DISPLAY: start an X server (such as Xvfb) for the xcb run");
        return;
    }
    Fixture &f = fixture();
    double appTotal = 0;
    double windowTotal = 0;
    for (auto _ : state) {
        const QString run = QString::number(++f.runs);
        QProcessEnvironment windowEnv = f.environment(u"window-"_s + run, platform);
        const double window
            = timeToMarker(QStringLiteral(QUARN_EMPTY_WINDOW_BINARY), {}, windowEnv, "startup first-frame", state);
        QProcessEnvironment appEnv = f.environment(u"app-"_s + run, platform);
        appEnv.insert(u"QUARN_TRACE_STARTUP"_s, u"1"_s);
        const double app
            = timeToMarker(QStringLiteral(QUARN_APP_BINARY), {}, appEnv, "quarn-mail: startup first-list", state);
        windowTotal += window;
        appTotal += app;
        state.SetIterationTime(app / 1e3);
    }
    const auto n = double(state.iterations());
    state.counters["app_ms"] = appTotal / n;
    state.counters["empty_window_ms"] = windowTotal / n;
    state.counters["ratio"] = appTotal / windowTotal;
}

} // namespace

BENCHMARK(BM_StartUpToFirstList)
    ->ArgName("xcb")
    ->Arg(0)
    ->Arg(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(10);
