#include "platform/filesecurity.h"

#include <QFile>

#include <cerrno>
#include <mutex>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quarn::platform {

namespace {

FileStatus fromStat(const struct stat &st)
{
    FileStatus status;
    if (S_ISREG(st.st_mode))
        status.kind = FileKind::regular;
    else if (S_ISDIR(st.st_mode))
        status.kind = FileKind::directory;
    else if (S_ISLNK(st.st_mode))
        status.kind = FileKind::symbolicLink;
    else
        status.kind = FileKind::other;
    status.owner = st.st_uid;
    status.permissions = st.st_mode & 07777;
    return status;
}

std::mutex &hookMutex()
{
    static std::mutex mutex;
    return mutex;
}

std::function<void(const QString &)> &hookSlot()
{
    static std::function<void(const QString &)> hook;
    return hook;
}

void runBeforeOpenHook(const QString &path)
{
    std::function<void(const QString &)> hook;
    {
        std::lock_guard lock(hookMutex());
        hook = hookSlot();
    }
    if (hook)
        hook(path);
}

} // namespace

QByteArray nativePath(const QString &path)
{
    return QFile::encodeName(path);
}

std::optional<FileStatus> linkStatus(const QString &path)
{
    struct stat st
    {
    };
    if (::lstat(nativePath(path).constData(), &st) != 0)
        return std::nullopt;
    return fromStat(st);
}

std::optional<FileStatus> descriptorStatus(int fd)
{
    struct stat st
    {
    };
    if (::fstat(fd, &st) != 0)
        return std::nullopt;
    return fromStat(st);
}

bool exists(const QString &path)
{
    struct stat st
    {
    };
    return ::stat(nativePath(path).constData(), &st) == 0;
}

uid_t realUserId()
{
    return ::getuid();
}

int createDirectories(const QString &path, mode_t lastMode)
{
    QByteArray native = nativePath(path);
    while (native.size() > 1 && native.endsWith('/'))
        native.chop(1);
    if (native.isEmpty())
        return ENOENT;
    // Walk down from the top: each prefix ending just before a '/' is an
    // intermediate folder; the whole path is the last one.
    for (qsizetype end = 1; end <= native.size(); ++end) {
        if (end < native.size() && native.at(end) != '/')
            continue;
        const QByteArray prefix = native.left(end);
        if (prefix.endsWith('/'))
            continue;
        const bool isLast = end == native.size();
        if (::mkdir(prefix.constData(), isLast ? lastMode : 0777) == 0)
            continue;
        const int err = errno;
        if (err != EEXIST)
            return err;
        // Something is there: a folder (or a link to one) is fine, anything
        // else stops the walk. A dangling link stays "File exists".
        struct stat st
        {
        };
        if (::stat(prefix.constData(), &st) != 0)
            return EEXIST;
        if (!S_ISDIR(st.st_mode))
            return ENOTDIR;
    }
    return 0;
}

int setOwnDirectoryMode(const QString &path, mode_t mode)
{
    const QByteArray native = nativePath(path);
    const int fd = ::open(native.constData(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return errno;
    const FileDescriptor pathOnly = FileDescriptor::adopt(fd);
    struct stat st
    {
    };
    if (::fstat(pathOnly.get(), &st) != 0)
        return errno;
    if (st.st_uid != ::getuid())
        return EPERM;
    if ((st.st_mode & 07777) == mode)
        return 0;
    // fchmod refuses a path-only descriptor; its name under /proc reaches
    // the very folder that was opened, whatever happened to the path since.
    const QByteArray self = "/proc/self/fd/" + QByteArray::number(pathOnly.get());
    return ::chmod(self.constData(), mode) == 0 ? 0 : errno;
}

FileDescriptor::~FileDescriptor()
{
    reset();
}

FileDescriptor::FileDescriptor(FileDescriptor &&other) noexcept
    : m_fd(std::exchange(other.m_fd, -1))
    , m_error(other.m_error)
{ }

FileDescriptor &FileDescriptor::operator=(FileDescriptor &&other) noexcept
{
    if (this != &other) {
        reset();
        m_fd = std::exchange(other.m_fd, -1);
        m_error = other.m_error;
    }
    return *this;
}

int FileDescriptor::close()
{
    if (m_fd < 0)
        return EBADF;
    const int rc = ::close(std::exchange(m_fd, -1));
    return rc == 0 ? 0 : errno;
}

void FileDescriptor::reset()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

FileDescriptor openDirectoryNoFollow(const QString &path)
{
    runBeforeOpenHook(path);
    const int fd = ::open(nativePath(path).constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    return fd >= 0 ? FileDescriptor::adopt(fd) : FileDescriptor::failure(errno);
}

FileDescriptor openNoFollow(const QString &path, int flags, mode_t mode)
{
    runBeforeOpenHook(path);
    const int fd = ::open(nativePath(path).constData(), flags | O_NOFOLLOW | O_CLOEXEC, mode);
    return fd >= 0 ? FileDescriptor::adopt(fd) : FileDescriptor::failure(errno);
}

FileDescriptor openNoFollowAt(const FileDescriptor &directory, const QString &name, int flags, mode_t mode)
{
    if (!directory.isValid())
        return FileDescriptor::failure(EBADF);
    const QByteArray native = nativePath(name);
    if (native.isEmpty() || native.contains('/') || native == "." || native == "..")
        return FileDescriptor::failure(EINVAL);
    runBeforeOpenHook(name);
    const int fd = ::openat(directory.get(), native.constData(), flags | O_NOFOLLOW | O_CLOEXEC, mode);
    return fd >= 0 ? FileDescriptor::adopt(fd) : FileDescriptor::failure(errno);
}

std::optional<FileStatus> linkStatusAt(const FileDescriptor &directory, const QString &name)
{
    struct stat st
    {
    };
    if (!directory.isValid() || ::fstatat(directory.get(), nativePath(name).constData(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return std::nullopt;
    return fromStat(st);
}

bool existsAt(const FileDescriptor &directory, const QString &name)
{
    struct stat st
    {
    };
    return directory.isValid() && ::fstatat(directory.get(), nativePath(name).constData(), &st, 0) == 0;
}

namespace testing {
void setBeforeOpenHook(std::function<void(const QString &path)> hook)
{
    std::lock_guard lock(hookMutex());
    hookSlot() = std::move(hook);
}
} // namespace testing

} // namespace quarn::platform
