// Start-up of the real application: from starting its process to the first
// frame that shows conversations, against the reference service with its
// demo mailbox on loopback and an AI conversation file of 100 conversations.
// The baseline, measured in the same iteration, is the start of an empty Qt
// Quick window to its first frame. Both run on the offscreen platform, and
// again on the X server of DISPLAY when there is one (such as Xvfb); there
// with the renderer the application chooses itself and again with OpenGL
// forced (on a machine without a GPU, a software rasterizer).
//
// Cold: every start gets a new, empty cache folder (XDG_CACHE_HOME), so that
// neither Mesa's nor Qt's shader cache helps, as on a new user's first start.
// Warm: the same cache folder, filled by one start before the timed ones.
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
        provision.setProcessEnvironment(environment(u"provision"_s, u"offscreen"_s, u"cache-provision"_s));
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
    /// home (so no installed Codex CLI is found), the platform, and the cache
    /// folder `cache` (under the fixture's root).
    QProcessEnvironment environment(const QString &run, const QString &platform, const QString &cache)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        const QString runtime = root.filePath(u"runtime-"_s + run);
        QDir().mkpath(runtime);
        QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        env.insert(u"XDG_DATA_HOME"_s, dataHome);
        env.insert(u"XDG_RUNTIME_DIR"_s, runtime);
        env.insert(u"HOME"_s, root.path());
        env.insert(u"QT_QPA_PLATFORM"_s, platform);
        env.insert(u"XDG_CACHE_HOME"_s, root.filePath(cache));
        // The renderer is the application's own choice unless a run forces it.
        env.remove(u"QT_QUICK_BACKEND"_s);
        env.remove(u"QSG_RHI_BACKEND"_s);
        return env;
    }
};

Fixture &fixture()
{
    static Fixture f;
    return f;
}

/// Resident memory of the process `pid` in MiB (0 when it cannot be read).
double residentMiB(qint64 pid)
{
    QFile status(u"/proc/%1/status"_s.arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toDouble() / 1024.0;
    }
    return 0;
}

struct Start
{
    double ms = 0;
    double residentMiB = 0; ///< when the marker was seen
};

/// Starts `program` and answers how long until it wrote `marker`.
Start timeToMarker(const QString &program, const QStringList &arguments, const QProcessEnvironment &env,
    const QByteArray &marker, benchmark::State &state)
{
    QProcess process;
    process.setProcessEnvironment(env);
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setReadChannel(QProcess::StandardError);
    const auto started = Clock::now();
    process.start(program, arguments);
    const std::optional<Clock::time_point> seen = awaitMarker(process, marker);
    const double resident = seen ? residentMiB(process.processId()) : 0;
    stop(process);
    if (!seen) {
        state.SkipWithError(qPrintable(u"%1 never said \"%2\""_s.arg(program, QString::fromUtf8(marker))));
        return {};
    }
    return { milliseconds(*seen - started), resident };
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
    const bool warm = state.range(1) == 1;
    const bool openGL = state.range(2) == 1;
    if (platform == u"xcb"_s && qEnvironmentVariableIsEmpty("DISPLAY")) {
        state.SkipWithError("no DISPLAY: start an X server (such as Xvfb) for the xcb run");
        return;
    }
    Fixture &f = fixture();
    const QString series = u"%1-%2-%3"_s.arg(platform).arg(state.range(1)).arg(state.range(2));
    const auto environmentOf = [&](const QString &who, const QString &run) {
        // Warm: one cache folder per program for the whole series.
        const QString cache = warm ? u"cache-%1-%2"_s.arg(series, who) : u"cache-%1-%2-%3"_s.arg(series, who, run);
        QProcessEnvironment env = f.environment(who + u'-' + series + u'-' + run, platform, cache);
        if (openGL)
            env.insert(u"QSG_RHI_BACKEND"_s, u"opengl"_s);
        if (who == u"app"_s)
            env.insert(u"QUARN_TRACE_STARTUP"_s, u"1"_s);
        return env;
    };
    const QString window = QStringLiteral(QUARN_EMPTY_WINDOW_BINARY);
    const QString app = QStringLiteral(QUARN_APP_BINARY);
    const QByteArray windowMarker = "startup first-frame";
    const QByteArray appMarker = "quarn-mail: startup first-list";
    if (warm) {
        (void)timeToMarker(window, {}, environmentOf(u"window"_s, u"prime"_s), windowMarker, state);
        (void)timeToMarker(app, {}, environmentOf(u"app"_s, u"prime"_s), appMarker, state);
    }
    double appTotal = 0;
    double windowTotal = 0;
    double appResident = 0;
    double windowResident = 0;
    for (auto _ : state) {
        const QString run = QString::number(++f.runs);
        const Start w = timeToMarker(window, {}, environmentOf(u"window"_s, run), windowMarker, state);
        const Start a = timeToMarker(app, {}, environmentOf(u"app"_s, run), appMarker, state);
        windowTotal += w.ms;
        appTotal += a.ms;
        windowResident += w.residentMiB;
        appResident += a.residentMiB;
        state.SetIterationTime(a.ms / 1e3);
    }
    const auto n = double(state.iterations());
    state.counters["app_ms"] = appTotal / n;
    state.counters["empty_window_ms"] = windowTotal / n;
    state.counters["ratio"] = appTotal / windowTotal;
    state.counters["app_rss_mib"] = appResident / n;
    state.counters["window_rss_mib"] = windowResident / n;
}

} // namespace

BENCHMARK(BM_StartUpToFirstList)
    ->ArgNames({ "xcb", "warm", "opengl" })
    ->Args({ 0, 0, 0 })
    ->Args({ 0, 1, 0 })
    ->Args({ 1, 0, 0 })
    ->Args({ 1, 1, 0 })
    ->Args({ 1, 0, 1 })
    ->Args({ 1, 1, 1 })
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(10);
