#include "ai/privatefile.h"

#include "platform/filesecurity.h"

#include <QDateTime>
#include <QFile>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <utility>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace quarn {

namespace {

using platform::FileDescriptor;
using platform::nativePath;

constexpr mode_t kFolderMode = 0700;
constexpr mode_t kFileMode = 0600;

[[noreturn]] void fail(const QString &what, int err = errno)
{
    throw PlatformError::fromErrno(err, what);
}

using Descriptor = FileDescriptor;

void createFolders(const QString &folder)
{
    // Missing folders are made one by one, each private from the start; an
    // existing folder (also one made by someone else meanwhile) is fine.
    const QByteArray path = nativePath(folder);
    for (qsizetype i = 1; i <= path.size(); ++i) {
        if (i < path.size() && path.at(i) != '/')
            continue;
        const QByteArray prefix = path.left(i);
        if (::mkdir(prefix.constData(), kFolderMode) == 0 || errno == EEXIST)
            continue;
        fail(QFile::decodeName(prefix));
    }
    struct stat st
    {
    };
    if (::stat(path.constData(), &st) != 0)
        fail(folder);
    if (!S_ISDIR(st.st_mode))
        fail(folder, ENOTDIR);
}

void writeAll(int fd, const QByteArray &bytes, const QString &what)
{
    const char *data = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, data, size_t(left));
        if (written < 0) {
            if (errno == EINTR)
                continue;
            fail(what);
        }
        data += written;
        left -= written;
    }
}

QByteArray readAll(int fd, qint64 sizeHint, const QString &what)
{
    QByteArray bytes;
    bytes.reserve(qsizetype(std::max<qint64>(sizeHint, 0)) + 1);
    char buffer[1 << 16];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            fail(what);
        }
        if (got == 0)
            return bytes;
        bytes.append(buffer, qsizetype(got));
    }
}

/// Moves the file to "<base>.unreadable-<yyyyMMdd-HHmmss>[-n].json" beside
/// it, never over another file; answers the new path.
QString setAside(const QString &filePath)
{
    const qsizetype slash = filePath.lastIndexOf(u'/');
    const QString folder = filePath.left(slash + 1);
    QString base = filePath.mid(slash + 1);
    QString extension;
    if (const qsizetype dot = base.lastIndexOf(u'.'); dot > 0) {
        extension = base.mid(dot);
        base.truncate(dot);
    }
    const QString stamp = QDateTime::currentDateTime().toString(u"yyyyMMdd-HHmmss"_s);
    const QByteArray from = nativePath(filePath);
    for (int n = 1; n <= 100; ++n) {
        QString candidate
            = folder + base + u".unreadable-"_s + stamp + (n > 1 ? u"-"_s + QString::number(n) : QString()) + extension;
        const QByteArray to = nativePath(candidate);
        if (::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_NOREPLACE) == 0)
            return candidate;
        if (errno == EEXIST)
            continue;
        if (errno != EINVAL && errno != ENOSYS)
            fail(candidate);
        // A file system without the no-replace flag: a name that nobody has.
        struct stat st
        {
        };
        if (::lstat(to.constData(), &st) == 0)
            continue;
        if (::rename(from.constData(), to.constData()) == 0)
            return candidate;
        fail(candidate);
    }
    fail(filePath, EEXIST);
}

/// Moves an unreadable file out of the way so that no save replaces it; when
/// it cannot be moved, nothing may be saved over it either.
[[noreturn]] void setAsideUnreadable(const QString &filePath)
{
    QString aside;
    try {
        aside = setAside(filePath);
    } catch (const PlatformError &) {
        throw PrivateFileUnreadable(filePath);
    }
    throw PrivateFileSetAside(aside);
}

/// Refuses a folder that is a symbolic link or another user's, as the token
/// store does: the files would be read from, or written to, a place
/// someone else chose. A missing folder is fine (a save creates it).
void checkFolder(const QString &folder)
{
    struct stat st
    {
    };
    if (::lstat(nativePath(folder).constData(), &st) != 0) {
        if (errno == ENOENT)
            return;
        fail(folder);
    }
    if (S_ISLNK(st.st_mode) || (S_ISDIR(st.st_mode) && st.st_uid != ::getuid()))
        throw PrivateFolderUnsafe(folder);
}

/// The folder and file name of the store's file.
std::pair<QString, QString> splitPath(const QString &filePath)
{
    const qsizetype slash = filePath.lastIndexOf(u'/');
    return { slash > 0 ? filePath.left(slash) : u"/"_s, filePath.mid(slash + 1) };
}

/// The name under which a save writes before it renames: "." + name +
/// ".tmp-" and six characters chosen by mkostemp.
QByteArray temporaryPrefix(const QString &name)
{
    return nativePath(u"."_s + name + u".tmp-"_s);
}

/// An exclusive advisory lock on the store's folder, held for one whole load
/// or save. Every save of every process holds it while its temporary file
/// exists, so a temporary file found while holding it belongs to a save that
/// never finished (a process killed mid-write) and may go.
class FolderLock
{
public:
    explicit FolderLock(const QString &folder)
        : m_fd(::open(nativePath(folder).constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC))
    {
        if (!m_fd.isValid()) {
            m_error = m_fd.error();
            return;
        }
        int result;
        do {
            result = ::flock(m_fd.get(), LOCK_EX);
        } while (result != 0 && errno == EINTR);
        m_locked = result == 0;
        m_error = m_locked ? 0 : errno;
    }

    [[nodiscard]] bool isLocked() const { return m_locked; }
    /// errno of the open or lock that failed.
    [[nodiscard]] int error() const { return m_error; }
    [[nodiscard]] int fd() const { return m_fd.get(); }

private:
    Descriptor m_fd; // closing it releases the lock
    bool m_locked = false;
    int m_error = 0;
};

/// Removes the temporary files that interrupted saves left beside the store's
/// file (each a full copy of its content). Only regular files of this
/// user with exactly the temporary name's form go; failures are ignored, as
/// a leftover file harms nothing but space.
void removeStaleTemporaries(const FolderLock &lock, const QString &name)
{
    if (!lock.isLocked())
        return;
    const int listFd = ::fcntl(lock.fd(), F_DUPFD_CLOEXEC, 0);
    if (listFd < 0)
        return;
    DIR *dir = ::fdopendir(listFd);
    if (!dir) {
        ::close(listFd);
        return;
    }
    const QByteArray prefix = temporaryPrefix(name);
    QList<QByteArray> stale;
    while (const dirent *entry = ::readdir(dir)) {
        const QByteArray entryName(entry->d_name);
        if (entryName.size() == prefix.size() + 6 && entryName.startsWith(prefix))
            stale.append(entryName);
    }
    ::closedir(dir);
    for (const QByteArray &entryName : std::as_const(stale)) {
        struct stat st
        {
        };
        if (::fstatat(lock.fd(), entryName.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode)
            && st.st_uid == ::getuid())
            (void)::unlinkat(lock.fd(), entryName.constData(), 0);
    }
}

/// A file in the store's place that this user cannot read is never replaced:
/// it is moved aside first, or the save is refused.
void keepUnreadableFile(const QString &filePath)
{
    Descriptor fd(::open(nativePath(filePath).constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    struct stat st
    {
    };
    if (fd.get() < 0) {
        if (errno == ENOENT)
            return;
    } else if (::fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::getuid()) {
        return;
    }
    // A folder under the name is no exception: no save could ever rename
    // over it, and whatever it holds is not ours to remove.
    try {
        (void)setAside(filePath);
    } catch (const PlatformError &) {
        throw PrivateFileUnreadable(filePath);
    }
}

void syncFolder(const QString &folder)
{
    Descriptor fd(::open(nativePath(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.get() < 0 || ::fsync(fd.get()) != 0)
        fail(folder);
}

} // namespace

std::optional<QByteArray> readPrivateFile(
    const QString &filePath, const std::function<bool(const QByteArray &)> &accept)
{
    const auto [folder, name] = splitPath(filePath);
    checkFolder(folder);
    const FolderLock lock(folder);
    if (!lock.isLocked() && lock.error() == ELOOP)
        throw PrivateFolderUnsafe(folder);
    removeStaleTemporaries(lock, name);

    const QByteArray path = nativePath(filePath);
    // No-follow and non-blocking: a link or a FIFO put in the file's place is
    // refused instead of being followed or hanging the worker. Whatever
    // cannot be read is moved aside, as the next save would replace it.
    Descriptor fd(::open(path.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (fd.get() < 0) {
        if (errno == ENOENT)
            return std::nullopt;
        setAsideUnreadable(filePath);
    }
    struct stat st
    {
    };
    if (::fstat(fd.get(), &st) != 0)
        setAsideUnreadable(filePath);
    // A folder under the name is moved aside too: left in place it would
    // refuse every save for good.
    if (!S_ISREG(st.st_mode) || st.st_uid != ::getuid())
        setAsideUnreadable(filePath);
    QByteArray bytes;
    try {
        bytes = readAll(fd.get(), st.st_size, filePath);
    } catch (const PlatformError &) {
        setAsideUnreadable(filePath);
    }
    if (!accept(bytes)) {
        // The next save would replace it, and everything in it with it: it is
        // kept, private, under a name that nothing here writes to.
        if (::fchmod(fd.get(), kFileMode) != 0)
            fail(filePath);
        throw PrivateFileSetAside(setAside(filePath));
    }
    return bytes;
}

void writePrivateFile(const QString &filePath, const QByteArray &bytes)
{
    const auto [folder, name] = splitPath(filePath);

    checkFolder(folder);
    createFolders(folder);
    const FolderLock lock(folder);
    if (!lock.isLocked()) {
        if (lock.error() == ELOOP)
            throw PrivateFolderUnsafe(folder);
        fail(folder, lock.error());
    }
    if (::fchmod(lock.fd(), kFolderMode) != 0)
        fail(folder);
    removeStaleTemporaries(lock, name);
    keepUnreadableFile(filePath);

    // The temporary file lies in the same folder, so the rename that puts it
    // in place never crosses a file system and is atomic.
    QByteArray temporary = nativePath(folder) + '/' + temporaryPrefix(name) + "XXXXXX";
    Descriptor fd(::mkostemp(temporary.data(), O_CLOEXEC));
    if (fd.get() < 0)
        fail(folder);
    const QString temporaryName = QFile::decodeName(temporary);
    try {
        // Private from the first byte, whatever the umask; the mode moves with
        // the file when it is renamed.
        if (::fchmod(fd.get(), kFileMode) != 0)
            fail(temporaryName);
        writeAll(fd.get(), bytes, temporaryName);
        // The data must be on disk before the name points at it, or a crash
        // right after the rename could leave an empty or partial file.
        if (::fsync(fd.get()) != 0)
            fail(temporaryName);
        if (::close(fd.release()) != 0)
            fail(temporaryName);
        if (::rename(temporary.constData(), nativePath(filePath).constData()) != 0)
            fail(filePath);
    } catch (...) {
        ::unlink(temporary.constData());
        throw;
    }
    // Makes the rename itself durable.
    syncFolder(folder);
}

PrivateFileSetAside::PrivateFileSetAside(QString setAsidePath)
    : m_setAsidePath(std::move(setAsidePath))
{ }

QString PrivateFileSetAside::description() const
{
    return u"ファイルを読み取れなかったため、「%1」に移しました。"_s.arg(m_setAsidePath);
}

PrivateFileUnreadable::PrivateFileUnreadable(QString filePath)
    : m_filePath(std::move(filePath))
{ }

QString PrivateFileUnreadable::description() const
{
    return u"ファイル「%1」を読み取れず、移動することもできませんでした。このファイルは上書きしません。ファイルの所有者と権限を確かめてください。"_s
        .arg(m_filePath);
}

PrivateFolderUnsafe::PrivateFolderUnsafe(QString folderPath)
    : m_folderPath(std::move(folderPath))
{ }

QString PrivateFolderUnsafe::description() const
{
    return u"保存場所「%1」がリンクか他のユーザーのフォルダーのため、読み書きしません。"_s.arg(m_folderPath);
}

} // namespace quarn
