#pragma once

#include "core/error.h"

#include <QByteArray>
#include <QString>

#include <functional>
#include <optional>

// Whole-file reads and atomic replacements of a user's private files (the AI
// conversations, the drafts): each a file in a private folder of the user's
// own, read whole and rewritten whole.
namespace quarn {

/// The file could not be read, or its content was not accepted, and it was
/// moved aside, unchanged, to a dated name in the same folder.
class PrivateFileSetAside : public Error
{
public:
    explicit PrivateFileSetAside(QString setAsidePath);
    [[nodiscard]] const QString &setAsidePath() const { return m_setAsidePath; }
    [[nodiscard]] QString description() const override;

private:
    QString m_setAsidePath;
};

/// The file is there but cannot be read and could not be moved aside either:
/// nothing may be saved over it.
class PrivateFileUnreadable : public Error
{
public:
    explicit PrivateFileUnreadable(QString filePath);
    [[nodiscard]] const QString &filePath() const { return m_filePath; }
    [[nodiscard]] QString description() const override;

private:
    QString m_filePath;
};

/// The file's folder is a symbolic link or another user's: neither read from
/// nor written to.
class PrivateFolderUnsafe : public Error
{
public:
    explicit PrivateFolderUnsafe(QString folderPath);
    [[nodiscard]] const QString &folderPath() const { return m_folderPath; }
    [[nodiscard]] QString description() const override;

private:
    QString m_folderPath;
};

/// The content of the private file at `filePath`, or nothing when there is no
/// file. `accept` is handed the bytes and answers whether they are usable.
///
/// A file that cannot be read (an open or read error, not a regular file of
/// this user: a link, a FIFO, a folder) or whose bytes `accept` refuses is moved aside (to
/// "<name>.unreadable-<yyyyMMdd-HHmmss>[-n].<ext>", never over another file)
/// and the call fails with `PrivateFileSetAside`; when it cannot be moved, it
/// fails with `PrivateFileUnreadable` and the file stays. A folder that is a
/// link or another user's fails with `PrivateFolderUnsafe`. Temporary files
/// that interrupted saves left behind are removed.
std::optional<QByteArray> readPrivateFile(
    const QString &filePath, const std::function<bool(const QByteArray &)> &accept);

/// Replaces the file's content with `bytes`, atomically and durably: written
/// and flushed under a temporary name in the same folder, renamed over the
/// file, the folder flushed. The folder is created (0700) when missing and the
/// file is 0600. A file in place that cannot be read is never replaced: it is
/// moved aside first, or the save fails with `PrivateFileUnreadable`. Fails
/// with `PlatformError` or `PrivateFolderUnsafe`; the file then holds its old
/// content.
void writePrivateFile(const QString &filePath, const QByteArray &bytes);

} // namespace quarn
