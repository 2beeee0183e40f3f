#include "ai/codexrunner.h"

#include "ai/codexprocess.h"
#include "ai/codexprompts.h"
#include "core/error.h"
#include "platform/executabletrust.h"
#include "platform/filesecurity.h"
#include "platform/paths.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QUuid>

#include <cerrno>
#include <exception>
#include <functional>
#include <utility>

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/file.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace quarn {

namespace {

#if defined(__x86_64__)
constexpr const char *kPinnedDigest = CodexRunner::kPinnedDigestX86_64;
constexpr char kNpmPlatformPackage[] = "codex-linux-x64";
constexpr char kNpmPlatformExecutable[] = "vendor/x86_64-unknown-linux-musl/bin/codex";
#elif defined(__aarch64__)
constexpr const char *kPinnedDigest = CodexRunner::kPinnedDigestAarch64;
constexpr char kNpmPlatformPackage[] = "codex-linux-arm64";
constexpr char kNpmPlatformExecutable[] = "vendor/aarch64-unknown-linux-musl/bin/codex";
#else
// No reviewed build for this machine: no digest matches, discovery finds nothing.
constexpr const char *kPinnedDigest = "";
constexpr char kNpmPlatformPackage[] = "codex-unsupported-platform";
constexpr char kNpmPlatformExecutable[] = "vendor/unsupported/bin/codex";
#endif

using platform::nativePath;

[[noreturn]] void throwErrno(int err)
{
    throw PlatformError::fromErrno(err);
}

using Descriptor = platform::FileDescriptor;

/// `path` without its last component ("/" stays "/").
QString withoutLastComponent(const QString &path)
{
    const qsizetype slash = path.lastIndexOf(u'/');
    if (slash <= 0)
        return QStringLiteral("/");
    return path.left(slash);
}

QString joined(const QString &folder, const QString &rest)
{
    return folder.endsWith(u'/') ? folder + rest : folder + u'/' + rest;
}

/// Creates `path` and any missing folder above it, each new one 0700 (they
/// lie inside the user's private data folder). An existing folder is fine; a
/// link in its place is not (ENOTDIR): the staged copy must lie on a path
/// without links, or its check would refuse every copy made there.
void makePath(const QString &path)
{
    const QByteArray target = nativePath(QDir::cleanPath(path));
    for (qsizetype end = 1; end <= target.size(); ++end) {
        if (end < target.size() && target.at(end) != '/')
            continue;
        const QByteArray prefix = target.left(end);
        if (::mkdir(prefix.constData(), 0700) == 0)
            continue;
        const int err = errno;
        struct stat st
        {
        };
        if (err == EEXIST && ::lstat(prefix.constData(), &st) == 0 && S_ISDIR(st.st_mode))
            continue;
        throwErrno(err == EEXIST ? ENOTDIR : err);
    }
}

/// Sets a folder's mode without following a link at the path: a link there
/// fails (ENOTDIR) instead of loosening or tightening someone else's folder.
/// A folder of the user's that the user cannot read (mode 0300, 0000) is
/// repaired too: it is reached through a path-only descriptor, which needs
/// no permission on the folder itself.
void setDirectoryMode(const QString &path, mode_t mode)
{
    const Descriptor fd = platform::openDirectoryNoFollow(path);
    if (fd.isValid()) {
        if (::fchmod(fd.get(), mode) != 0)
            throwErrno(errno);
        return;
    }
    if (fd.error() != EACCES)
        throwErrno(fd.error());
    const Descriptor pathOnly(::open(nativePath(path).constData(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!pathOnly.isValid())
        throwErrno(errno);
    struct stat st
    {
    };
    if (::fstat(pathOnly.get(), &st) != 0)
        throwErrno(errno);
    if (st.st_uid != ::getuid())
        throwErrno(EPERM);
    // fchmod refuses a path-only descriptor; its name under /proc reaches
    // the very folder that was opened, whatever happened to the path since.
    const QByteArray self = "/proc/self/fd/" + QByteArray::number(pathOnly.get());
    if (::chmod(self.constData(), mode) != 0)
        throwErrno(errno);
}

/// Removes a folder with everything in it, never following a link and never
/// leaving the file system it lies on; `status` is the folder's own lstat.
void removeFolderTree(const QByteArray &folder, const struct stat &status)
{
    // A folder of the program's that the user cannot read or enter is
    // opened up first.
    if ((status.st_mode & S_IRWXU) != S_IRWXU)
        setDirectoryMode(QFile::decodeName(folder), 0700);
    QList<QByteArray> names;
    {
        DIR *dir = ::opendir(folder.constData());
        if (!dir)
            throwErrno(errno);
        while (const dirent *entry = ::readdir(dir)) {
            const QByteArray name(entry->d_name);
            if (name != "." && name != "..")
                names.append(name);
        }
        ::closedir(dir);
    }
    for (const QByteArray &name : std::as_const(names)) {
        const QByteArray child = folder + '/' + name;
        struct stat childStatus
        {
        };
        if (::lstat(child.constData(), &childStatus) != 0)
            throwErrno(errno);
        if (!S_ISDIR(childStatus.st_mode)) {
            if (::unlink(child.constData()) != 0)
                throwErrno(errno);
            continue;
        }
        if (childStatus.st_dev != status.st_dev)
            throwErrno(EXDEV);
        removeFolderTree(child, childStatus);
    }
    if (::rmdir(folder.constData()) != 0)
        throwErrno(errno);
}

/// Removes whatever is at `path` itself (never a link's target), a folder
/// with everything in it. Only for names inside the runtime folder, which
/// is the program's own: whatever stands at the staged path was put there
/// for the program, and nothing of it may block staging forever.
void removeItem(const QString &path)
{
    const QByteArray p = nativePath(path);
    struct stat st
    {
    };
    if (::lstat(p.constData(), &st) != 0)
        throwErrno(errno);
    if (S_ISDIR(st.st_mode)) {
        removeFolderTree(p, st);
        return;
    }
    if (::unlink(p.constData()) != 0)
        throwErrno(errno);
}

/// A plain copy of `source` into a new file at `target` (which must not
/// exist), with mode `mode`. A partial copy is removed.
void copyFile(const QString &source, const QString &target, mode_t mode)
{
    const Descriptor in(::open(nativePath(source).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!in.isValid())
        throwErrno(errno);
    Descriptor out(::open(nativePath(target).constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!out.isValid())
        throwErrno(errno);
    const auto fail = [&](int err) {
        (void)out.close();
        (void)::unlink(nativePath(target).constData());
        throwErrno(err);
    };
    bool kernelCopy = true;
    for (;;) {
        ssize_t n;
        if (kernelCopy) {
            n = ::copy_file_range(in.get(), nullptr, out.get(), nullptr, std::size_t { 1 } << 30, 0);
            if (n < 0 && (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP)) {
                kernelCopy = false;
                continue;
            }
        } else {
            n = ::sendfile(out.get(), in.get(), nullptr, std::size_t { 1 } << 30);
        }
        if (n == 0)
            break;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            fail(errno);
        }
    }
    if (::fchmod(out.get(), mode) != 0)
        fail(errno);
    if (const int err = out.close())
        fail(err);
}

/// Fails with a clear message, before anything is written, when the folder's
/// file system has less room than the copy of `source` needs: a copy that
/// runs the disk full fails late and makes every other save fail meanwhile.
void requireSpaceFor(const QString &source, const QString &folder)
{
    struct stat st
    {
    };
    struct statvfs fs
    {
    };
    if (::stat(nativePath(source).constData(), &st) != 0 || ::statvfs(nativePath(folder).constData(), &fs) != 0)
        return; // the copy itself reports what is wrong
    const auto available = static_cast<unsigned long long>(fs.f_bavail) * fs.f_frsize;
    const auto needed = static_cast<unsigned long long>(st.st_size);
    if (available >= needed)
        return;
    constexpr double kMiB = 1024.0 * 1024.0;
    throw PlatformError(
        QStringLiteral("Codex CLIをコピーする空き容量が足りません（必要: %1 MB、空き: %2 MB、場所: %3）。")
            .arg(double(needed) / kMiB, 0, 'f', 1)
            .arg(double(available) / kMiB, 0, 'f', 1)
            .arg(folder),
        ENOSPC);
}

/// Writes `bytes` to `path` completely under a temporary name beside it,
/// then renames it into place.
void writeAtomically(const QString &path, const QByteArray &bytes)
{
    QByteArray temporary = nativePath(path) + ".XXXXXX";
    Descriptor fd(::mkostemp(temporary.data(), O_CLOEXEC));
    if (!fd.isValid())
        throwErrno(errno);
    const auto fail = [&](int err) {
        (void)fd.close();
        (void)::unlink(temporary.constData());
        throwErrno(err);
    };
    qsizetype written = 0;
    while (written < bytes.size()) {
        const ssize_t n
            = ::write(fd.get(), bytes.constData() + written, static_cast<std::size_t>(bytes.size() - written));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            fail(errno);
        }
        written += n;
    }
    if (const int err = fd.close())
        fail(err);
    if (::rename(temporary.constData(), nativePath(path).constData()) != 0)
        fail(errno);
}

int removeEntry(const char *path, const struct stat *, int, struct FTW *)
{
    (void)::remove(path);
    return 0;
}

/// Removes a work folder and everything in it, without following links a
/// child may have left there. Failures are ignored.
void removeTree(const QString &path)
{
    (void)::nftw(nativePath(path).constData(), removeEntry, 16, FTW_DEPTH | FTW_PHYS | FTW_MOUNT);
}

/// A work folder and the descriptor through which this process holds a
/// shared lock on it for as long as the folder is in use.
struct WorkFolder
{
    QString path;
    int lockFd = -1;
};

/// Makes a private work folder (never its parents) and marks it in use: a
/// shared flock on the folder, which the sweep of stale folders (another
/// instance's start) cannot take exclusively while this process lives. The
/// folder is made under a name the sweep does not look at and renamed once
/// locked, so that no sweep can come between the two. It is removed again
/// if it cannot be made private, so that a failure leaves nothing.
WorkFolder createWorkFolder(const QString &temporaryDirectory, const QString &prefix)
{
    const QString base = temporaryDirectory.isEmpty() ? platform::temporaryDirectory() : temporaryDirectory;
    const QString folder = joined(base, prefix + QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper());
    const QByteArray making = nativePath(folder) + ".new";
    if (::mkdir(making.constData(), 0700) != 0)
        throwErrno(errno);
    Descriptor lock(::open(making.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    try {
        setDirectoryMode(QFile::decodeName(making), 0700);
        if (!lock.isValid() || ::flock(lock.get(), LOCK_SH) != 0
            || ::rename(making.constData(), nativePath(folder).constData()) != 0)
            throwErrno(lock.isValid() ? errno : lock.error());
    } catch (...) {
        (void)::rmdir(making.constData());
        throw;
    }
    return { folder, lock.release() };
}

/// Whether `name` is that of a work folder: one of the three prefixes and
/// a UUID in upper-case canonical form.
bool isWorkFolderName(const QString &name)
{
    static const QRegularExpression pattern(QStringLiteral(
        "^quarn-mail-(codex|subject|chat)-[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}$"));
    return pattern.match(name).hasMatch();
}

/// Reads the result file, but only when it is a regular file no larger than
/// `limit`: a child cannot make the client read an unbounded file, block on
/// a FIFO or follow a link out of the work folder.
QByteArray readResult(const QString &path, qint64 limit)
{
    const QByteArray p = nativePath(path);
    struct stat atPath
    {
    };
    if (::lstat(p.constData(), &atPath) != 0)
        throwErrno(errno); // no result written: the file system's own error
    if (!S_ISREG(atPath.st_mode) || atPath.st_size < 0 || atPath.st_size > limit)
        throw CodexRunnerError::invalidOutput();
    const Descriptor fd(::open(p.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    struct stat opened
    {
    };
    if (!fd.isValid() || ::fstat(fd.get(), &opened) != 0 || !S_ISREG(opened.st_mode) || opened.st_ino != atPath.st_ino
        || opened.st_dev != atPath.st_dev)
        throw CodexRunnerError::invalidOutput();
    // Read at most one byte past the limit: a file that grew since its size
    // was checked is still refused without reading it whole.
    QByteArray bytes(static_cast<qsizetype>(limit) + 1, Qt::Uninitialized);
    qsizetype got = 0;
    while (got < bytes.size()) {
        const ssize_t n = ::read(fd.get(), bytes.data() + got, static_cast<std::size_t>(bytes.size() - got));
        if (n == 0)
            break;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw CodexRunnerError::invalidOutput();
        }
        got += n;
    }
    if (got > limit)
        throw CodexRunnerError::invalidOutput();
    bytes.truncate(got);
    return bytes;
}

/// Removes the work folder when the operation's frame goes away without
/// having removed it (a cancelled operation), so that none is ever left,
/// and holds the folder's in-use lock until then.
class WorkFolderGuard
{
public:
    explicit WorkFolderGuard(WorkFolder folder)
        : m_path(std::move(folder.path))
        , m_lockFd(folder.lockFd)
    { }
    ~WorkFolderGuard()
    {
        if (!m_path.isEmpty())
            removeTree(m_path);
        if (m_lockFd >= 0)
            ::close(m_lockFd);
    }
    WorkFolderGuard(const WorkFolderGuard &) = delete;
    WorkFolderGuard &operator=(const WorkFolderGuard &) = delete;
    /// The folder has been removed by the caller: only the lock goes.
    void removed() { m_path.clear(); }

private:
    QString m_path;
    int m_lockFd = -1;
};

QStringList execArguments(const std::optional<QString> &schemaPath, const QString &resultPath)
{
    QStringList arguments { QStringLiteral("exec"), QStringLiteral("--ephemeral"), QStringLiteral("--sandbox"),
        QStringLiteral("read-only"), QStringLiteral("--skip-git-repo-check"), QStringLiteral("--color"),
        QStringLiteral("never") };
    if (schemaPath)
        arguments << QStringLiteral("--output-schema") << *schemaPath;
    arguments << QStringLiteral("--output-last-message") << resultPath << QStringLiteral("-");
    return arguments;
}

} // namespace

/// What distinguishes triage, subject and chat inside the common frame.
struct CodexRunner::Operation
{
    QString folderPrefix;
    /// Empty for a run without output schema.
    QString schemaFileName;
    QByteArray schema;
    QString resultFileName;
    qint64 resultByteLimit = 0;
    std::chrono::milliseconds timeLimit { 0 };
    /// Builds the prompt's UTF-8 bytes; runs on the serial worker.
    std::function<QByteArray()> prompt;
    /// Started without the user asking (see runOperation).
    bool isAutomatic = false;
};

CodexRunner::Configuration CodexRunner::Configuration::production()
{
    Configuration configuration;
    configuration.pinnedDigest = QString::fromLatin1(kPinnedDigest);
    configuration.installCandidates = {
        QStringLiteral("/usr/local/bin/codex"),
        QStringLiteral("/usr/bin/codex"),
        QStringLiteral("/home/linuxbrew/.linuxbrew/bin/codex"),
        platform::homeDirectory() + QStringLiteral("/.local/bin/codex"),
    };
    configuration.runtimeDirectory = platform::applicationSupportDirectory() + QStringLiteral("/runtime");
    return configuration;
}

CodexRunner::CodexRunner(Configuration configuration)
    : m_configuration(std::move(configuration))
{ }

CodexRunner &CodexRunner::shared()
{
    static CodexRunner *const runner = new CodexRunner();
    return *runner;
}

std::optional<QString> CodexRunner::findInstalledBinary(const QStringList &candidates)
{
    const QString platformExecutable = QString::fromLatin1(kNpmPlatformExecutable);
    for (const QString &candidate : candidates) {
        if (!platform::isExecutableFile(candidate))
            continue;
        const std::optional<QString> resolved = platform::resolvingSymlinks(candidate);
        if (!resolved)
            continue;
        if (platform::isNativeExecutableImage(*resolved))
            return resolved;
        // Otherwise the candidate is taken for the launcher script of the npm
        // package (".../@openai/codex/bin/codex.js"): its platform package is
        // either installed inside it or beside it. Neither path is resolved
        // or tested for its format here; the trust check does both.
        const QString package = withoutLastComponent(withoutLastComponent(*resolved));
        const QString scope = withoutLastComponent(package);
        const QString nested = joined(package,
            QStringLiteral("node_modules/@openai/") + QString::fromLatin1(kNpmPlatformPackage) + u'/'
                + platformExecutable);
        const QString sibling = joined(scope, QString::fromLatin1(kNpmPlatformPackage) + u'/' + platformExecutable);
        if (platform::isExecutableFile(nested))
            return nested;
        if (platform::isExecutableFile(sibling))
            return sibling;
    }
    return std::nullopt;
}

bool CodexRunner::isTrustedCodexBinary(const QString &path, const QString &pinnedDigest)
{
    // Ownership, native format, pinned digest and a path free of links. The
    // code-signature step of other platforms has no counterpart here: the
    // pinned digest is the authority (see platform::isTrustedExecutable).
    return platform::isTrustedExecutable(path, pinnedDigest, platform::ExecutableOwner::realUserOrRoot);
}

bool CodexRunner::isTrustedStagedBinary(const QString &path, const QString &pinnedDigest)
{
    const QString standardized = platform::standardizedPath(path);
    if (QFileInfo(standardized).fileName() != QLatin1String(kStagedFileName))
        return false;
    if (!platform::isOwnedPrivateDirectory(withoutLastComponent(standardized)))
        return false;
    return platform::isTrustedExecutable(path, pinnedDigest, platform::ExecutableOwner::realUser);
}

QString CodexRunner::prepareBinary()
{
    const QString &digest = m_configuration.pinnedDigest;
    if (m_stagedBinary && isTrustedStagedBinary(*m_stagedBinary, digest))
        return *m_stagedBinary;

    // The first installation found decides: a refused one is never passed
    // over for a later candidate.
    const std::optional<QString> source = findInstalledBinary(m_configuration.installCandidates);
    if (!source)
        throw CodexRunnerError::unavailable();
    if (!isTrustedCodexBinary(*source, digest))
        throw CodexRunnerError::untrustedBinary();

    const QString &runtime = m_configuration.runtimeDirectory;
    makePath(runtime);
    setDirectoryMode(runtime, 0700);

    const QString staged = joined(runtime, QLatin1String(kStagedFileName));
    struct stat st
    {
    };
    if (::lstat(nativePath(staged).constData(), &st) == 0) {
        if (isTrustedStagedBinary(staged, digest)) {
            m_stagedBinary = staged;
            return staged;
        }
        removeItem(staged);
    }
    requireSpaceFor(*source, runtime);
    copyFile(*source, staged, 0500);
    if (isTrustedStagedBinary(staged, digest)) {
        m_stagedBinary = staged;
        return staged;
    }
    (void)::unlink(nativePath(staged).constData());
    throw CodexRunnerError::untrustedBinary();
}

int CodexRunner::sweepStaleWorkFolders(const QString &temporaryDirectory)
{
    const QString base = temporaryDirectory.isEmpty() ? platform::temporaryDirectory() : temporaryDirectory;
    QList<QString> names;
    {
        DIR *dir = ::opendir(nativePath(base).constData());
        if (!dir)
            return 0;
        while (const dirent *entry = ::readdir(dir)) {
            const QString name = QFile::decodeName(entry->d_name);
            if (isWorkFolderName(name))
                names.append(name);
        }
        ::closedir(dir);
    }
    int removed = 0;
    for (const QString &name : std::as_const(names)) {
        const QString path = joined(base, name);
        // Only this user's folders, never a link; a folder that a living run
        // (of this process or another) holds is in use, not stale.
        const auto status = platform::linkStatus(path);
        if (!status || status->kind != platform::FileKind::directory || status->owner != platform::realUserId())
            continue;
        const Descriptor folder(::open(nativePath(path).constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!folder.isValid() || ::flock(folder.get(), LOCK_EX | LOCK_NB) != 0)
            continue;
        removeTree(path);
        if (!platform::exists(path))
            ++removed;
    }
    return removed;
}

QCoro::Task<int> CodexRunner::sweepStaleWorkFolders()
{
    auto job = [base = m_configuration.temporaryDirectory] { return sweepStaleWorkFolders(base); };
    auto jobTask = m_executor.run(std::move(job));
    const int removed = co_await std::move(jobTask);
    co_return removed;
}

// In the coroutines below, every job for the worker and its task are named
// before they are awaited, and nothing is awaited inside a condition: GCC 12
// destroys lambda captures, braced temporaries and the arguments of a
// coroutine awaited in an if-condition twice (see README).

QCoro::Task<QString> CodexRunner::prepare()
{
    auto job = [this] {
        try {
            QString staged = prepareBinary();
            m_stagingFailure = {};
            return staged;
        } catch (...) {
            m_stagingFailure = StagingFailure { std::chrono::steady_clock::now(), std::current_exception() };
            throw;
        }
    };
    auto jobTask = m_executor.run(std::move(job));
    const QString staged = co_await std::move(jobTask);
    co_return staged;
}

QCoro::Task<bool> CodexRunner::isStagedCopyTrusted(QString path)
{
    auto job = [path, digest = m_configuration.pinnedDigest] { return isTrustedStagedBinary(path, digest); };
    auto jobTask = m_executor.run(std::move(job));
    const bool trusted = co_await std::move(jobTask);
    co_return trusted;
}

QCoro::Task<bool> CodexRunner::isReady()
{
    const CodexReadiness answer = co_await this->readiness();
    co_return answer.isReady();
}

QCoro::Task<CodexReadiness> CodexRunner::readiness()
{
    CodexReadiness answer;
    try {
        const QString binary = co_await prepare();
        const bool trusted = co_await isStagedCopyTrusted(binary);
        if (!trusted)
            throw CodexRunnerError::untrustedBinary();
        const QStringList arguments { QStringLiteral("login"), QStringLiteral("status") };
        const std::int32_t status = co_await CodexProcess::run(
            binary, arguments, std::nullopt, m_configuration.probeTimeLimit, m_configuration.killDelay);
        // The exit status is the only sign of a missing login.
        if (status != 0)
            throw CodexRunnerError::notLoggedIn();
    } catch (...) {
        answer.problem = std::current_exception();
    }
    co_return answer;
}

QCoro::Task<QByteArray> CodexRunner::runOperation(Operation operation)
{
    // A request nobody asked for explicitly (a subject at a typing pause)
    // does not stage again while a recent staging failure stands: each
    // attempt copies the whole executable.
    if (operation.isAutomatic) {
        auto check = [this] {
            if (m_stagingFailure.error
                && std::chrono::steady_clock::now() - m_stagingFailure.when < m_configuration.stagingBackOff)
                std::rethrow_exception(m_stagingFailure.error);
        };
        auto checkTask = m_executor.run(std::move(check));
        co_await std::move(checkTask);
    }
    const QString binary = co_await prepare();
    // The probe's exit status is the only sign of a missing login: nothing a
    // child prints is ever looked at.
    const bool ready = co_await isReady();
    if (!ready)
        throw CodexRunnerError::notLoggedIn();

    auto create = [base = m_configuration.temporaryDirectory, prefix = operation.folderPrefix] {
        return createWorkFolder(base, prefix);
    };
    auto createTask = m_executor.run(std::move(create));
    const WorkFolder made = co_await std::move(createTask);
    const QString folder = made.path;
    WorkFolderGuard guard(made);
    std::exception_ptr failure;
    QByteArray result;
    try {
        result = co_await runInWorkFolder(operation, binary, folder);
    } catch (...) {
        failure = std::current_exception();
    }
    auto remove = [folder] { removeTree(folder); };
    auto removeTask = m_executor.run(std::move(remove));
    co_await std::move(removeTask);
    guard.removed();
    if (failure)
        std::rethrow_exception(failure);
    co_return result;
}

QCoro::Task<QByteArray> CodexRunner::runInWorkFolder(const Operation &operation, QString binary, QString folder)
{
    const QString resultPath = joined(folder, operation.resultFileName);
    std::optional<QString> schemaPath;
    if (!operation.schemaFileName.isEmpty())
        schemaPath = joined(folder, operation.schemaFileName);

    auto writeSchemaAndBuildPrompt = [schemaPath, schema = operation.schema, build = operation.prompt] {
        if (schemaPath)
            writeAtomically(*schemaPath, schema);
        return build();
    };
    auto writeSchemaAndBuildPromptTask = m_executor.run(std::move(writeSchemaAndBuildPrompt));
    QByteArray prompt = co_await std::move(writeSchemaAndBuildPromptTask);

    // The copy may have changed since it was prepared; only a copy verified
    // now is started.
    const bool trusted = co_await isStagedCopyTrusted(binary);
    if (!trusted)
        throw CodexRunnerError::untrustedBinary();

    const QStringList arguments = execArguments(schemaPath, resultPath);
    std::optional<QByteArray> input = std::move(prompt);
    const std::int32_t status = co_await CodexProcess::run(
        binary, arguments, std::move(input), operation.timeLimit, m_configuration.killDelay);
    if (status != 0)
        throw CodexRunnerError::failed(status);

    auto read = [resultPath, limit = operation.resultByteLimit] { return readResult(resultPath, limit); };
    auto readTask = m_executor.run(std::move(read));
    const QByteArray bytes = co_await std::move(readTask);
    co_return bytes;
}

QCoro::Task<AiInsight> CodexRunner::triage(ConversationDetail conversation)
{
    Operation operation {
        QStringLiteral("quarn-mail-codex-"),
        QStringLiteral("insight.schema.json"),
        codexprompts::triageSchema(),
        QStringLiteral("result.json"),
        codexprompts::kTriageResultByteLimit,
        m_configuration.triageTimeLimit,
        [conversation = std::move(conversation)] { return codexprompts::triagePrompt(conversation).toUtf8(); },
    };
    const QByteArray result = co_await runOperation(std::move(operation));
    co_return codexprompts::acceptTriage(result);
}

QCoro::Task<QString> CodexRunner::suggestSubject(QString body)
{
    Operation operation {
        QStringLiteral("quarn-mail-subject-"),
        QStringLiteral("subject.schema.json"),
        codexprompts::subjectSchema(),
        QStringLiteral("result.json"),
        codexprompts::kSubjectResultByteLimit,
        m_configuration.subjectTimeLimit,
        [body = std::move(body)] { return codexprompts::subjectPrompt(body).toUtf8(); },
        true,
    };
    const QByteArray result = co_await runOperation(std::move(operation));
    co_return codexprompts::acceptSubject(result);
}

QCoro::Task<QString> CodexRunner::chat(QList<AIChatMessage> messages)
{
    Operation operation {
        QStringLiteral("quarn-mail-chat-"),
        QString(),
        QByteArray(),
        QStringLiteral("result.txt"),
        codexprompts::kChatResultByteLimit,
        m_configuration.chatTimeLimit,
        [messages = std::move(messages)] { return codexprompts::chatPrompt(messages).toUtf8(); },
    };
    const QByteArray result = co_await runOperation(std::move(operation));
    co_return codexprompts::acceptChat(result);
}

} // namespace quarn
