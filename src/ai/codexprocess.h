#pragma once

#include <QByteArray>
#include <QCoroTask>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

#include <chrono>
#include <cstdint>
#include <optional>

namespace quarn {

/// Starts and supervises one Codex CLI child: a fixed, minimal environment,
/// nothing of what it prints kept, its input through a pipe, and a time limit
/// enforced with SIGTERM and, if that is ignored, SIGKILL.
///
/// The guarantees a caller can rely on:
/// - exactly one outcome per run: the termination status, `timedOut`, or the
///   launch failure, whichever comes first;
/// - the child sees descriptors 0, 1 and 2 only (input pipe or the null
///   device; the null device for output and error), default signal handling
///   and an empty signal mask;
/// - every descriptor the run opened in this process is closed and the child
///   is reaped (no zombie) once it has ended, whatever the outcome.
///
/// The child dies with this process, however it ends: it is started with a
/// parent-death signal (SIGKILL), and quitting the application kills its
/// group. Start runs from the main thread: the parent-death signal follows
/// the thread that started the child.
///
/// The child leads a process group of its own. Signals go to that group
/// while the child is unreaped (so the group id cannot have been reused),
/// and when the child ends the rest of its group is killed: a helper process
/// it started cannot outlive the run.
///
/// Everything happens on the event loop of the calling thread: exit, time
/// limit and input writing are events of that one thread, so the once-only
/// outcome needs no lock.
class CodexProcess
{
public:
    /// How long a child that has been asked to terminate may take before it
    /// is killed.
    static constexpr std::chrono::milliseconds kKillDelay { 2000 };

    /// Runs `binary` (absolute path; also its argv[0]) with `arguments`.
    /// `input`, when given, is written to the child's standard input and the
    /// pipe closed; without it the child reads the null device. Returns the
    /// termination status: the exit code, or the signal number when a signal
    /// ended the child. Throws `CodexRunnerError::timedOut()` when
    /// `timeLimit` passes first — once the child has ended (it is terminated,
    /// and killed `killDelay` later if it is still there), so that nothing
    /// of the run is still at work when the caller cleans up; at most
    /// 2 × `killDelay` after the limit even for a child that cannot be
    /// killed — or `PlatformError` with the system's text and errno when the
    /// child cannot be started.
    static QCoro::Task<std::int32_t> run(QString binary, QStringList arguments, std::optional<QByteArray> input,
        std::chrono::milliseconds timeLimit, std::chrono::milliseconds killDelay = kKillDelay);

    /// The child's whole environment, in order: "HOME", "USER", "LOGNAME",
    /// "TMPDIR", "LANG" and "LC_ALL" copied from this process when it has
    /// them, then a fixed "PATH", "CODEX_EXEC_SERVER_URL" = "none" and
    /// "NO_COLOR" = "1". Nothing else reaches the child.
    [[nodiscard]] static QList<QPair<QByteArray, QByteArray>> sanitizedEnvironment();
};

} // namespace quarn
