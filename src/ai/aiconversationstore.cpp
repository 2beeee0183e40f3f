#include "ai/aiconversationstore.h"

#include "core/error.h"
#include "model/json.h"
#include "platform/filesecurity.h"
#include "platform/paths.h"

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

constexpr mode_t kFolderMode = 0700;
constexpr mode_t kFileMode = 0600;

[[noreturn]] void fail(const QString &what, int err = errno)
{
    throw PlatformError::fromErrno(err, what);
}

using Descriptor = platform::FileDescriptor;

void createFolders(const QString &folder)
{
    // Missing folders are made one by one, each private from the start; an
    // existing folder (also one made by someone else meanwhile) is fine.
    const QByteArray path = platform::nativePath(folder);
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
    if (base.endsWith(u".json"_s))
        base.chop(5);
    const QString stamp = QDateTime::currentDateTime().toString(u"yyyyMMdd-HHmmss"_s);
    const QByteArray from = platform::nativePath(filePath);
    for (int n = 1; n <= 100; ++n) {
        QString candidate = folder + base + u".unreadable-"_s + stamp
            + (n > 1 ? u"-"_s + QString::number(n) : QString()) + u".json"_s;
        const QByteArray to = platform::nativePath(candidate);
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
    return platform::nativePath(u"."_s + name + u".tmp-"_s);
}

/// An exclusive advisory lock on the store's folder, held for one whole load
/// or save. Every save of every process holds it while its temporary file
/// exists, so a temporary file found while holding it belongs to a save that
/// never finished (a process killed mid-write) and may go.
class FolderLock
{
public:
    explicit FolderLock(const QString &folder)
        : m_fd(::open(platform::nativePath(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC))
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
/// file (each a full copy of the conversations). Only regular files of this
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

QList<AIConversation> loadFile(const QString &filePath)
{
    const auto [folder, name] = splitPath(filePath);
    const FolderLock lock(folder);
    removeStaleTemporaries(lock, name);

    const QByteArray path = platform::nativePath(filePath);
    // No-follow and non-blocking: a link or a FIFO put in the file's place is
    // refused instead of being followed or hanging the worker.
    Descriptor fd(::open(path.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (fd.get() < 0) {
        if (errno == ENOENT)
            return {};
        fail(filePath);
    }
    struct stat st
    {
    };
    if (::fstat(fd.get(), &st) != 0)
        fail(filePath);
    if (!S_ISREG(st.st_mode))
        fail(filePath, EINVAL);
    if (st.st_uid != ::getuid())
        fail(filePath, EPERM);

    QList<AIConversation> conversations;
    try {
        conversations = decodeJson<QList<AIConversation>>(readAll(fd.get(), st.st_size, filePath));
    } catch (const DecodeError &) {
        // The next save would replace it, and every conversation in it with
        // it: it is kept, under a name that nothing here writes to.
        if (::fchmod(fd.get(), kFileMode) != 0)
            fail(filePath);
        throw AIConversationFileSetAside(setAside(filePath));
    }
    std::stable_sort(conversations.begin(), conversations.end(),
        [](const AIConversation &a, const AIConversation &b) { return a.updatedAt > b.updatedAt; });
    return conversations;
}

void syncFolder(const QString &folder)
{
    Descriptor fd(::open(platform::nativePath(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.get() < 0 || ::fsync(fd.get()) != 0)
        fail(folder);
}

void saveFile(const QString &filePath, const QList<AIConversation> &conversations)
{
    const auto [folder, name] = splitPath(filePath);

    createFolders(folder);
    if (::chmod(platform::nativePath(folder).constData(), kFolderMode) != 0)
        fail(folder);
    const FolderLock lock(folder);
    if (!lock.isLocked())
        fail(folder, lock.error());
    removeStaleTemporaries(lock, name);

    const QByteArray bytes = encodeJson(conversations);

    // The temporary file lies in the same folder, so the rename that puts it
    // in place never crosses a file system and is atomic.
    QByteArray temporary = platform::nativePath(folder) + '/' + temporaryPrefix(name) + "XXXXXX";
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
        if (::rename(temporary.constData(), platform::nativePath(filePath).constData()) != 0)
            fail(filePath);
    } catch (...) {
        ::unlink(temporary.constData());
        throw;
    }
    // Makes the rename itself durable.
    syncFolder(folder);
}

} // namespace

AIConversationFileSetAside::AIConversationFileSetAside(QString setAsidePath)
    : m_setAsidePath(std::move(setAsidePath))
{ }

QString AIConversationFileSetAside::description() const
{
    return u"AIとの会話のファイルを読み取れなかったため、新しい一覧で始めます。元のファイルは「%1」に残してあります。"_s
        .arg(m_setAsidePath);
}

AIConversationStore::AIConversationStore()
    : AIConversationStore(defaultFilePath())
{ }

AIConversationStore::AIConversationStore(QString filePath)
    : m_filePath(std::move(filePath))
    , m_executor(std::make_unique<SerialExecutor>())
{ }

AIConversationStore::~AIConversationStore() = default;

QString AIConversationStore::defaultFilePath()
{
    return platform::applicationSupportDirectory() + u"/ai-conversations.json"_s;
}

// The jobs are named and their tasks awaited as locals: GCC 12 destroys a
// lambda or task that is a temporary inside a co_await expression twice,
// which drops the reference count of captured Qt containers below zero.
QCoro::Task<QList<AIConversation>> AIConversationStore::load()
{
    auto job = [path = m_filePath] { return loadFile(path); };
    auto task = m_executor->run(std::move(job));
    co_return co_await std::move(task);
}

QCoro::Task<void> AIConversationStore::save(QList<AIConversation> conversations)
{
    auto job = [path = m_filePath, conversations = std::move(conversations)] { saveFile(path, conversations); };
    auto task = m_executor->run(std::move(job));
    co_await std::move(task);
}

} // namespace quarn
