#pragma once

#include <QByteArray>
#include <QString>

#include <cerrno>
#include <functional>
#include <optional>
#include <utility>

#include <sys/types.h>

/// File-security queries and descriptor-level opens for components that keep
/// private files (the device token, the AI conversations, the staged Codex
/// CLI). Everything here reports the status of a path itself, never of a
/// link's target, unless a function says otherwise.
namespace quarn::platform {

/// What kind of file system object a path or descriptor names.
enum class FileKind { regular, directory, symbolicLink, other };

/// The part of a link-status (or descriptor-status) answer that the security
/// checks look at.
struct FileStatus
{
    FileKind kind = FileKind::other;
    uid_t owner = 0;
    /// Permission bits only (mode & 07777).
    mode_t permissions = 0;
};

/// The path as the file system sees it.
[[nodiscard]] QByteArray nativePath(const QString &path);

/// Status of the path itself (lstat); nothing when the query fails.
[[nodiscard]] std::optional<FileStatus> linkStatus(const QString &path);

/// Status of an open descriptor (fstat); nothing when the query fails.
[[nodiscard]] std::optional<FileStatus> descriptorStatus(int fd);

/// Whether something exists at `path`. Follows symbolic links, so a link
/// whose target is missing counts as nothing.
[[nodiscard]] bool exists(const QString &path);

/// The real user id of this process.
[[nodiscard]] uid_t realUserId();

/// Creates `path` with every missing folder above it. Intermediate folders get
/// the default mode (0777 less the umask); the last one gets `lastMode`, so a
/// private folder is never visible with wider permissions. Returns 0 or the
/// errno of the failing step; a path that already is a directory succeeds.
[[nodiscard]] int createDirectories(const QString &path, mode_t lastMode);

/// Sets the mode of a folder of this user's without following a link at
/// `path`: a link there fails (ELOOP or ENOTDIR), a folder of another owner
/// fails with EPERM. A folder the user cannot read (mode 0300, 0000) is
/// repaired too, through a path-only descriptor that needs no permission on
/// the folder itself. Returns 0 or the errno of the failing step.
[[nodiscard]] int setOwnDirectoryMode(const QString &path, mode_t mode);

/// An owned file descriptor: closed when it goes out of scope, on every path.
/// An invalid one carries the errno of the open that failed.
class FileDescriptor
{
public:
    FileDescriptor() = default;
    /// Takes the result of an open(2)-like call: a negative one records errno.
    explicit FileDescriptor(int fd)
        : m_fd(fd)
        , m_error(fd >= 0 ? 0 : errno)
    { }
    static FileDescriptor adopt(int fd) { return FileDescriptor(fd, 0); }
    static FileDescriptor failure(int err) { return FileDescriptor(-1, err); }
    ~FileDescriptor();
    FileDescriptor(FileDescriptor &&other) noexcept;
    FileDescriptor &operator=(FileDescriptor &&other) noexcept;
    FileDescriptor(const FileDescriptor &) = delete;
    FileDescriptor &operator=(const FileDescriptor &) = delete;

    [[nodiscard]] bool isValid() const { return m_fd >= 0; }
    [[nodiscard]] int get() const { return m_fd; }
    /// errno of the failed open; 0 for a valid descriptor.
    [[nodiscard]] int error() const { return m_error; }
    /// Closes now and reports the close's errno (0 when it succeeded), for
    /// callers to whom a failed close means lost data.
    int close();
    /// Hands the close to the caller.
    [[nodiscard]] int release() { return std::exchange(m_fd, -1); }

private:
    FileDescriptor(int fd, int err)
        : m_fd(fd)
        , m_error(err)
    { }
    void reset();

    int m_fd = -1;
    int m_error = 0;
};

/// Opens a folder itself: O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, read-only. A
/// symbolic link in the last component fails with ELOOP, anything that is not
/// a folder with ENOTDIR.
[[nodiscard]] FileDescriptor openDirectoryNoFollow(const QString &path);

/// Opens `path` with `flags` | O_NOFOLLOW | O_CLOEXEC and `mode` for a created
/// file; a symbolic link in the last component fails with ELOOP.
[[nodiscard]] FileDescriptor openNoFollow(const QString &path, int flags, mode_t mode = 0);

/// Opens `name` inside the open folder `directory` (openat), with
/// `flags` | O_NOFOLLOW | O_CLOEXEC. `name` must be a single component.
[[nodiscard]] FileDescriptor openNoFollowAt(
    const FileDescriptor &directory, const QString &name, int flags, mode_t mode = 0);

/// Status of `name` itself (fstatat, no-follow) inside the open folder
/// `directory`; nothing when the query fails.
[[nodiscard]] std::optional<FileStatus> linkStatusAt(const FileDescriptor &directory, const QString &name);

/// Whether something exists at `name` inside the open folder `directory`.
/// Follows a link there, so a link whose target is missing counts as nothing.
[[nodiscard]] bool existsAt(const FileDescriptor &directory, const QString &name);

namespace testing {
/// Called with the path (or the name, for openNoFollowAt) just before each
/// open above. It lets a test replace what lies at a path between a
/// component's check and its open, which is the race those opens guard
/// against. Pass an empty function to remove it. Not for production code.
void setBeforeOpenHook(std::function<void(const QString &path)> hook);
} // namespace testing

} // namespace quarn::platform
