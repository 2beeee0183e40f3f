#pragma once

#include <QString>

#include <optional>

/// Queries for deciding whether an executable file on disk may be trusted:
/// ownership and type by link status, the native executable format, a
/// streaming SHA-256, and link resolution. All of them only read; none of
/// them ever follows a symbolic link at the path itself unless it says so.
///
/// They block on file I/O (a digest reads the whole file), so callers run
/// them on a worker, never on the main thread.
namespace quarn::platform {

/// True when `path` itself (lstat) is a regular file owned by the process's
/// real user id. Permission bits are not looked at.
[[nodiscard]] bool isOwnedRegularFile(const QString &path);

/// True when `path` itself (lstat) is a folder owned by the process's real
/// user id that grants nothing to group or others (mode & 0077 == 0).
[[nodiscard]] bool isOwnedPrivateDirectory(const QString &path);

/// True when the file starts like a 64-bit ELF image for the machine this
/// process runs on: magic 7F 45 4C 46, class 64-bit, this machine's byte
/// order and its e_machine. Follows links (as opening a file does); a
/// short, unreadable or foreign file is false.
[[nodiscard]] bool isNativeExecutableImage(const QString &path);

/// The file's SHA-256 as 64 lower-case hexadecimal digits, streamed in large
/// sequential reads so that memory stays bounded whatever the size. Nothing
/// when the file cannot be opened or a read fails part-way (a digest of a
/// prefix is never passed off as the digest of the file).
[[nodiscard]] std::optional<QString> sha256Hex(const QString &path);

/// True when `path`, following links, names a regular file this process may
/// execute.
[[nodiscard]] bool isExecutableFile(const QString &path);

/// `path` with every symbolic link resolved (and "." / ".." removed); nothing
/// when some component does not exist or cannot be read.
[[nodiscard]] std::optional<QString> resolvingSymlinks(const QString &path);

/// `path` made absolute against the working folder, with "." and ".."
/// components and repeated separators removed lexically (links untouched).
[[nodiscard]] QString standardizedPath(const QString &path);

/// Who may own an executable that is checked.
enum class ExecutableOwner {
    /// The process's real user only: the staged copy, which this program
    /// made and no one else may have replaced.
    realUser,
    /// The real user or root: an installed source. A package manager or an
    /// `npm install -g` run with sudo leaves root's files, which only root
    /// can change and are as trustworthy as the user's own.
    realUserOrRoot,
};

/// The trust check of one executable, all on a single open descriptor so that
/// the file examined is the file digested:
///  1. `path` itself is a regular file owned as `owner` allows (lstat);
///  2. it opens without following a link, as that same file (device and
///     inode), still regular and owned — a file swapped in between fails;
///  3. it is a native 64-bit ELF image (see isNativeExecutableImage);
///  4. its SHA-256 equals `pinnedDigest` character for character;
///  5. no component of the standardized path is a symbolic link.
/// The first failing step answers false.
///
/// There is no code-signature step: Linux has no system-wide signature
/// authority for executables, so the pinned digest is the authority. It pins
/// one exact reviewed build, which is stronger than any signing identity.
[[nodiscard]] bool isTrustedExecutable(
    const QString &path, const QString &pinnedDigest, ExecutableOwner owner = ExecutableOwner::realUser);

} // namespace quarn::platform
