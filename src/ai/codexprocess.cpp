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
#include <climits>
#include <coroutine>
#include <csignal>
#include <exception>
#include <memory>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/prctl.h>
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
        if (m_timedOut)
            finishTimedOut();
        else
            m_completion->finishWithStatus(status, m_completion);
        deleteLater();
    }

    void onTimeLimit()
    {
        if (m_completion->completed || m_timedOut)
            return;
        // The caller hears of the limit once the child has ended, so that
        // its work folder is never removed under a child still writing in
        // it; only a child that even SIGKILL does not end within a second
        // kill delay (stuck in the kernel) is left behind.
        m_timedOut = true;
        closeInput();
        signalGroup(SIGTERM);
        m_kill.setSingleShot(true);
        connect(&m_kill, &QTimer::timeout, this, [this] {
            signalGroup(SIGKILL);
            QTimer::singleShot(m_killDelay, this, [this] { finishTimedOut(); });
        });
        m_kill.start(m_killDelay);
    }

    void finishTimedOut()
    {
        m_completion->finishWithError(std::make_exception_ptr(CodexRunnerError::timedOut()), m_completion);
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
    bool m_timedOut = false;
};

PlatformError launchError(int err)
{
    // The system's own text, unchanged.
    return PlatformError::fromErrno(err);
}

/// Reports errno from the child to the parent through `errorFd` and ends
/// the child. Only async-signal-safe calls: the child of a threaded process.
[[noreturn]] void failInChild(int errorFd, int err)
{
    while (::write(errorFd, &err, sizeof err) < 0 && errno == EINTR) { }
    ::_exit(127);
}

/// Closes every descriptor from `first` to `last`. Async-signal-safe.
void closeRangeInChild(int first, int last)
{
    if (first > last)
        return;
    if (::syscall(SYS_close_range, unsigned(first), unsigned(last), 0) == 0)
        return;
    for (int fd = first; fd <= last && fd < 65536; ++fd)
        (void)::close(fd);
}

/// Puts `fd` (or the null device, when `fd` is negative) at `target` in
/// the child. Async-signal-safe.
bool placeInChild(int fd, int target, int nullFlags)
{
    if (fd < 0) {
        fd = ::open("/dev/null", nullFlags | O_CLOEXEC);
        if (fd < 0)
            return false;
    }
    return ::dup3(fd, target, 0) == target || (fd == target && ::fcntl(fd, F_SETFD, 0) == 0);
}

/// Starts `program` as a child that leads a process group of its own and
/// dies with this process: PR_SET_PDEATHSIG kills it when the thread that
/// started it ends (the main thread, whose end is the process's), also when
/// this process is killed or crashes and no destructor runs. posix_spawn
/// cannot ask for that, hence fork and exec by hand. Returns the pid, or -1
/// with errno (a failed exec included).
pid_t spawnChild(const QByteArray &program, char *const argv[], char *const envp[], int inputReadFd)
{
    int errorPipe[2];
    if (::pipe2(errorPipe, O_CLOEXEC) != 0)
        return -1;
    errorPipe[0] = aboveStandardStreams(errorPipe[0]);
    errorPipe[1] = aboveStandardStreams(errorPipe[1]);
    if (errorPipe[0] < 0 || errorPipe[1] < 0) {
        const int err = errno;
        closeQuietly(errorPipe[0]);
        closeQuietly(errorPipe[1]);
        errno = err;
        return -1;
    }

    // No signal handler of this process may run in the child before its
    // dispositions are reset.
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int errorFd = errorPipe[1];
        if (::setpgid(0, 0) != 0)
            failInChild(errorFd, errno);
        if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0)
            failInChild(errorFd, errno);
        // This process may have ended before the request above took hold.
        if (::getppid() != parent)
            ::_exit(127);
        // Dispositions this process ignores would otherwise stay ignored in
        // the child (SIGPIPE, for one); it starts as a fresh program would.
        struct sigaction byDefault
        {
        };
        byDefault.sa_handler = SIG_DFL;
        for (int signal = 1; signal < NSIG; ++signal)
            (void)::sigaction(signal, &byDefault, nullptr);
        if (!placeInChild(inputReadFd, STDIN_FILENO, O_RDONLY) || !placeInChild(-1, STDOUT_FILENO, O_WRONLY)
            || !placeInChild(-1, STDERR_FILENO, O_WRONLY))
            failInChild(errorFd, errno);
        // Whatever this process has open without close-on-exec (a library's
        // descriptor, a test's) stays here; the error pipe closes on exec.
        closeRangeInChild(3, errorFd - 1);
        closeRangeInChild(errorFd + 1, INT_MAX);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::execve(program.constData(), argv, envp);
        failInChild(errorFd, errno);
    }
    const int forkErr = errno;
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    closeQuietly(errorPipe[1]);
    if (pid < 0) {
        closeQuietly(errorPipe[0]);
        errno = forkErr;
        return -1;
    }
    // The pipe ends at the exec (close-on-exec) or carries the child's errno.
    int childErr = 0;
    ssize_t n;
    do {
        n = ::read(errorPipe[0], &childErr, sizeof childErr);
    } while (n < 0 && errno == EINTR);
    closeQuietly(errorPipe[0]);
    if (n == 0)
        return pid;
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) { }
    errno = n == sizeof childErr ? childErr : ECHILD;
    return -1;
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

    const pid_t pid = spawnChild(program, argv.data(), envp.data(), inputRead);
    const int err = pid < 0 ? errno : 0;
    closeQuietly(inputRead);
    if (pid < 0) {
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
