#include "ai/codexprocess.h"

#include "ai/codexrunnererror.h"
#include "core/error.h"

#include <QCoreApplication>
#include <QFile>
#include <QObject>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>

#include <cerrno>
#include <coroutine>
#include <csignal>
#include <exception>
#include <memory>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace quarn {

namespace {

// Where a Linux user's own and Homebrew-on-Linux programs live, ahead of the
// system folders, mirroring the search order of the install candidates.
constexpr char kChildPath[] = "/home/linuxbrew/.linuxbrew/bin:/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin";

// Through syscall(): glibc 2.36's <sys/pidfd.h> lacks C linkage for C++.
int openPidfd(pid_t pid)
{
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
}

int sendSignal(int pidfd, int signal)
{
    return static_cast<int>(::syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, 0));
}

/// The one outcome of a run and the coroutine waiting for it. Only the
/// thread that started the run touches it.
struct Completion
{
    bool completed = false;
    std::int32_t status = 0;
    std::exception_ptr error;
    std::coroutine_handle<> waiter;

    void finishWithStatus(std::int32_t value, const std::shared_ptr<Completion> &self)
    {
        if (completed)
            return;
        completed = true;
        status = value;
        resumeLater(self);
    }

    void finishWithError(std::exception_ptr e, const std::shared_ptr<Completion> &self)
    {
        if (completed)
            return;
        completed = true;
        error = std::move(e);
        resumeLater(self);
    }

    // The waiter resumes from the event loop, not from inside the notifier
    // or timer that decided the outcome, so its continuation never runs on
    // the supervisor's stack.
    static void resumeLater(const std::shared_ptr<Completion> &self)
    {
        QTimer::singleShot(0, [self] {
            if (auto h = std::exchange(self->waiter, {}))
                h.resume();
        });
    }
};

class CompletionAwaiter
{
public:
    explicit CompletionAwaiter(std::shared_ptr<Completion> completion)
        : m_completion(std::move(completion))
    { }

    [[nodiscard]] bool await_ready() const { return m_completion->completed; }
    void await_suspend(std::coroutine_handle<> h) { m_completion->waiter = h; }
    std::int32_t await_resume()
    {
        m_completion->waiter = {};
        if (m_completion->error)
            std::rethrow_exception(m_completion->error);
        return m_completion->status;
    }

private:
    std::shared_ptr<Completion> m_completion;
};

/// Lives in the waiting coroutine's frame: a destroyed frame is never resumed.
class WaiterReset
{
public:
    explicit WaiterReset(std::shared_ptr<Completion> completion)
        : m_completion(std::move(completion))
    { }
    ~WaiterReset() { m_completion->waiter = {}; }
    WaiterReset(const WaiterReset &) = delete;
    WaiterReset &operator=(const WaiterReset &) = delete;

private:
    std::shared_ptr<Completion> m_completion;
};

void closeQuietly(int &fd)
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

/// Moves a descriptor above the standard three, so that the child's file
/// actions can never clobber it (possible when this process was started
/// with one of 0, 1 or 2 closed).
int aboveStandardStreams(int fd)
{
    if (fd < 0 || fd > 2)
        return fd;
    const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    const int err = errno;
    ::close(fd);
    errno = err;
    return moved;
}

/// Writes to a pipe whose reader may have gone without SIGPIPE reaching
/// this process: the signal is blocked for the write and a pending one is
/// consumed, so the write just fails with EPIPE.
ssize_t writeWithoutSigpipe(int fd, const char *data, std::size_t size)
{
    sigset_t pipeOnly;
    sigset_t previous;
    sigemptyset(&pipeOnly);
    sigaddset(&pipeOnly, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeOnly, &previous);
    ssize_t n;
    do {
        n = ::write(fd, data, size);
    } while (n < 0 && errno == EINTR);
    const int err = errno;
    if (n < 0 && err == EPIPE) {
        const timespec zero {};
        while (sigtimedwait(&pipeOnly, nullptr, &zero) < 0 && errno == EINTR) { }
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    errno = err;
    return n;
}

/// Watches one started child until it has been reaped; deletes itself then.
class ChildSupervisor : public QObject
{
public:
    ChildSupervisor(
        pid_t pid, int pidfd, int inputFd, QByteArray input, std::shared_ptr<Completion> completion, QObject *parent)
        : QObject(parent)
        , m_pid(pid)
        , m_pidfd(pidfd)
        , m_inputFd(inputFd)
        , m_input(std::move(input))
        , m_completion(std::move(completion))
    {
        m_exitNotifier = new QSocketNotifier(m_pidfd, QSocketNotifier::Read, this);
        connect(m_exitNotifier, &QSocketNotifier::activated, this, &ChildSupervisor::onChildEnded);
        if (m_inputFd >= 0) {
            m_inputNotifier = new QSocketNotifier(m_inputFd, QSocketNotifier::Write, this);
            connect(m_inputNotifier, &QSocketNotifier::activated, this, &ChildSupervisor::writeInput);
        }
    }

    ~ChildSupervisor() override
    {
        // Only reached before the child was reaped when the event loop or the
        // application goes away: the child must not outlive its supervisor.
        if (m_pidfd >= 0) {
            signalGroup(SIGKILL);
            siginfo_t info {};
            while (::waitid(P_PIDFD, static_cast<id_t>(m_pidfd), &info, WEXITED) < 0 && errno == EINTR) { }
        }
        closeInput();
        closeQuietly(m_pidfd);
    }

    void startTimeLimit(std::chrono::milliseconds limit, std::chrono::milliseconds killDelay)
    {
        m_killDelay = killDelay;
        m_limit.setSingleShot(true);
        m_limit.setTimerType(Qt::PreciseTimer);
        connect(&m_limit, &QTimer::timeout, this, &ChildSupervisor::onTimeLimit);
        m_limit.start(limit);
    }

private:
    void writeInput()
    {
        while (m_inputFd >= 0 && m_written < m_input.size()) {
            const ssize_t n = writeWithoutSigpipe(
                m_inputFd, m_input.constData() + m_written, static_cast<std::size_t>(m_input.size() - m_written));
            if (n < 0) {
                if (errno == EAGAIN)
                    return; // the pipe is full: wait until the child reads
                break; // the reader is gone: the outcome is the child's to decide
            }
            m_written += n;
        }
        closeInput();
    }

    void closeInput()
    {
        if (m_inputNotifier) {
            m_inputNotifier->setEnabled(false);
            delete m_inputNotifier;
            m_inputNotifier = nullptr;
        }
        closeQuietly(m_inputFd);
        m_input.clear();
    }

    void onChildEnded()
    {
        siginfo_t info {};
        int rc;
        // Look first without reaping: only a child that has really ended
        // lets the rest of its group be killed.
        do {
            rc = ::waitid(P_PIDFD, static_cast<id_t>(m_pidfd), &info, WEXITED | WNOHANG | WNOWAIT);
        } while (rc < 0 && errno == EINTR);
        if (rc == 0 && info.si_pid == 0)
            return; // readable but not yet waitable; the notifier fires again
        // The child is a zombie until it is reaped below, so its process
        // group id cannot have been reused: what remains of the group goes.
        signalGroup(SIGKILL);
        if (rc == 0) {
            do {
                rc = ::waitid(P_PIDFD, static_cast<id_t>(m_pidfd), &info, WEXITED | WNOHANG);
            } while (rc < 0 && errno == EINTR);
        }
        m_exitNotifier->setEnabled(false);
        closeQuietly(m_pidfd);
        m_limit.stop();
        m_kill.stop();
        closeInput();
        // CLD_EXITED carries the exit code, the other codes the signal.
        const std::int32_t status = rc == 0 ? info.si_status : -1;
        m_completion->finishWithStatus(status, m_completion);
        deleteLater();
    }

    void onTimeLimit()
    {
        if (m_completion->completed)
            return;
        m_completion->finishWithError(std::make_exception_ptr(CodexRunnerError::timedOut()), m_completion);
        closeInput();
        signalGroup(SIGTERM);
        m_kill.setSingleShot(true);
        connect(&m_kill, &QTimer::timeout, this, [this] { signalGroup(SIGKILL); });
        m_kill.start(m_killDelay);
    }

    void signalGroup(int signal)
    {
        if (m_pidfd < 0)
            return;
        // The leader first through its pidfd (immune to pid reuse), then the
        // rest of its group; the leader is unreaped, so its group id is ours.
        (void)sendSignal(m_pidfd, signal);
        (void)::kill(-m_pid, signal);
    }

    pid_t m_pid;
    int m_pidfd;
    int m_inputFd;
    QByteArray m_input;
    qsizetype m_written = 0;
    std::shared_ptr<Completion> m_completion;
    QSocketNotifier *m_exitNotifier = nullptr;
    QSocketNotifier *m_inputNotifier = nullptr;
    QTimer m_limit;
    QTimer m_kill;
    std::chrono::milliseconds m_killDelay { 0 };
};

PlatformError launchError(int err)
{
    // The system's own text, unchanged.
    return PlatformError::fromErrno(err);
}

/// posix_spawn's attribute and file-action objects, destroyed on every path.
struct SpawnSetup
{
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_t actions;
    bool hasAttributes = false;
    bool hasActions = false;
    ~SpawnSetup()
    {
        if (hasAttributes)
            posix_spawnattr_destroy(&attributes);
        if (hasActions)
            posix_spawn_file_actions_destroy(&actions);
    }
};

/// Prepares the child's descriptors, signals and group. Returns 0 or errno.
int prepareSpawn(SpawnSetup &setup, int inputReadFd)
{
    if (int err = posix_spawnattr_init(&setup.attributes))
        return err;
    setup.hasAttributes = true;
    if (int err = posix_spawn_file_actions_init(&setup.actions))
        return err;
    setup.hasActions = true;

    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    sigfillset(&all);
    // Dispositions this process ignores would otherwise stay ignored in the
    // child (SIGPIPE, for one); the child starts as a fresh program would.
    if (int err = posix_spawnattr_setsigmask(&setup.attributes, &none))
        return err;
    if (int err = posix_spawnattr_setsigdefault(&setup.attributes, &all))
        return err;
    if (int err = posix_spawnattr_setpgroup(&setup.attributes, 0))
        return err;
    if (int err = posix_spawnattr_setflags(
            &setup.attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP))
        return err;

    posix_spawn_file_actions_t *a = &setup.actions;
    if (inputReadFd >= 0) {
        if (int err = posix_spawn_file_actions_adddup2(a, inputReadFd, STDIN_FILENO))
            return err;
    } else if (int err = posix_spawn_file_actions_addopen(a, STDIN_FILENO, "/dev/null", O_RDONLY, 0)) {
        return err;
    }
    if (int err = posix_spawn_file_actions_addopen(a, STDOUT_FILENO, "/dev/null", O_WRONLY, 0))
        return err;
    if (int err = posix_spawn_file_actions_addopen(a, STDERR_FILENO, "/dev/null", O_WRONLY, 0))
        return err;
    // Whatever this process has open without close-on-exec (a library's
    // descriptor, a test's) stays here.
    return posix_spawn_file_actions_addclosefrom_np(a, 3);
}

/// Starts the child and hands it to a supervisor. Throws the launch error.
std::shared_ptr<Completion> startChild(const QString &binary, const QStringList &arguments,
    std::optional<QByteArray> input, std::chrono::milliseconds timeLimit, std::chrono::milliseconds killDelay)
{
    const QByteArray program = QFile::encodeName(binary);
    std::vector<QByteArray> argStorage;
    argStorage.reserve(static_cast<std::size_t>(arguments.size()) + 1);
    argStorage.push_back(program);
    for (const QString &argument : arguments)
        argStorage.push_back(argument.toUtf8());
    std::vector<char *> argv;
    for (QByteArray &arg : argStorage)
        argv.push_back(arg.data());
    argv.push_back(nullptr);

    std::vector<QByteArray> envStorage;
    for (const auto &[name, value] : CodexProcess::sanitizedEnvironment())
        envStorage.push_back(name + '=' + value);
    std::vector<char *> envp;
    for (QByteArray &entry : envStorage)
        envp.push_back(entry.data());
    envp.push_back(nullptr);

    int inputRead = -1;
    int inputWrite = -1;
    if (input) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0)
            throw launchError(errno);
        inputRead = aboveStandardStreams(fds[0]);
        inputWrite = aboveStandardStreams(fds[1]);
        if (inputRead < 0 || inputWrite < 0) {
            const int err = errno;
            closeQuietly(inputRead);
            closeQuietly(inputWrite);
            throw launchError(err);
        }
    }

    SpawnSetup setup;
    pid_t pid = -1;
    int err = prepareSpawn(setup, inputRead);
    if (err == 0)
        err = ::posix_spawn(&pid, program.constData(), &setup.actions, &setup.attributes, argv.data(), envp.data());
    closeQuietly(inputRead);
    if (err != 0) {
        closeQuietly(inputWrite);
        throw launchError(err);
    }

    const int pidfd = openPidfd(pid);
    if (pidfd < 0) {
        // Without a pidfd the child cannot be supervised safely: end it now.
        const int openErr = errno;
        ::kill(pid, SIGKILL);
        while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) { }
        closeQuietly(inputWrite);
        throw launchError(openErr);
    }
    if (inputWrite >= 0)
        ::fcntl(inputWrite, F_SETFL, ::fcntl(inputWrite, F_GETFL) | O_NONBLOCK);

    auto completion = std::make_shared<Completion>();
    // Parented to the application when on its thread, so that quitting kills
    // a child still running; otherwise it deletes itself once the child ends.
    QObject *app = QCoreApplication::instance();
    QObject *parent = app && app->thread() == QThread::currentThread() ? app : nullptr;
    auto *supervisor = new ChildSupervisor(pid, pidfd, inputWrite, input.value_or(QByteArray()), completion, parent);
    supervisor->startTimeLimit(timeLimit, killDelay);
    return completion;
}

} // namespace

QCoro::Task<std::int32_t> CodexProcess::run(QString binary, QStringList arguments, std::optional<QByteArray> input,
    std::chrono::milliseconds timeLimit, std::chrono::milliseconds killDelay)
{
    const std::shared_ptr<Completion> completion
        = startChild(binary, arguments, std::move(input), timeLimit, killDelay);
    const WaiterReset reset(completion);
    CompletionAwaiter awaiter(completion);
    const std::int32_t status = co_await awaiter;
    co_return status;
}

QList<QPair<QByteArray, QByteArray>> CodexProcess::sanitizedEnvironment()
{
    QList<QPair<QByteArray, QByteArray>> environment;
    for (const char *name : { "HOME", "USER", "LOGNAME", "TMPDIR", "LANG", "LC_ALL" }) {
        // Present means present, even when empty; absent stays absent.
        if (const char *value = std::getenv(name))
            environment.append({ QByteArray(name), QByteArray(value) });
    }
    environment.append({ QByteArrayLiteral("PATH"), QByteArray(kChildPath) });
    environment.append({ QByteArrayLiteral("CODEX_EXEC_SERVER_URL"), QByteArrayLiteral("none") });
    environment.append({ QByteArrayLiteral("NO_COLOR"), QByteArrayLiteral("1") });
    return environment;
}

} // namespace quarn
