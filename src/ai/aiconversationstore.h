#pragma once

#include "core/async.h"
#include "core/error.h"
#include "model/records.h"

#include <QCoroTask>
#include <QList>
#include <QString>

#include <memory>

namespace quarn {

/// The conversation file could not be decoded. Rather than be overwritten by
/// the next save, it was moved aside, unchanged and private, to a dated name
/// in the same folder; the store starts afresh.
class AIConversationFileSetAside : public Error
{
public:
    explicit AIConversationFileSetAside(QString setAsidePath);
    /// Where the unreadable file now lies.
    [[nodiscard]] const QString &setAsidePath() const { return m_setAsidePath; }
    /// Tells the user, in Japanese, that the list starts afresh and where the
    /// old file is.
    [[nodiscard]] QString description() const override;

private:
    QString m_setAsidePath;
};

/// The conversation file is there but cannot be read (no permission, another
/// user's, not a regular file, an I/O error) and could not be moved aside
/// either. Nothing is saved over it: the conversations stay in memory only.
class AIConversationFileUnreadable : public Error
{
public:
    explicit AIConversationFileUnreadable(QString filePath);
    [[nodiscard]] const QString &filePath() const { return m_filePath; }
    /// Tells the user, in Japanese, which file is in the way and that nothing
    /// is saved over it.
    [[nodiscard]] QString description() const override;

private:
    QString m_filePath;
};

/// The store's folder is a symbolic link, not a folder, or another user's:
/// the conversations are neither read from nor written there.
class AIConversationFolderUnsafe : public Error
{
public:
    explicit AIConversationFolderUnsafe(QString folderPath);
    [[nodiscard]] QString description() const override;

private:
    QString m_folderPath;
};

/// The private AI conversations on disk: one JSON file, an array of
/// `AIConversation`, read at start-up and rewritten whole after every change.
/// The conversations never leave the device.
///
/// File work runs on the store's own serial worker, so a load and a save (or
/// two saves) never interleave and the main thread never touches the file.
/// A save is atomic and crash-safe: the complete new content is written and
/// flushed under a temporary name in the same folder, moved over the old file
/// and the folder flushed, so the file always holds the old or the new list.
/// The folder is kept at 0700 and the file at 0600.
///
/// The store must outlive the tasks it hands out.
class AIConversationStore
{
public:
    /// A store on the default file, "ai-conversations.json" in the
    /// application's private data folder. Creation touches no file.
    AIConversationStore();
    /// A store on `filePath` (absolute). Creation touches no file.
    explicit AIConversationStore(QString filePath);
    ~AIConversationStore();
    AIConversationStore(const AIConversationStore &) = delete;
    AIConversationStore &operator=(const AIConversationStore &) = delete;

    /// "ai-conversations.json" in `platform::applicationSupportDirectory()`.
    [[nodiscard]] static QString defaultFilePath();

    [[nodiscard]] const QString &filePath() const { return m_filePath; }

    /// The stored conversations, most recently updated first (equal times keep
    /// their order in the file). A missing file is an empty list and creates
    /// nothing. A file that cannot be read (or is not a regular file of this
    /// user, a folder included) or is not a valid list is moved aside (to
    /// "ai-conversations.unreadable-<date>-<time>.json", mode 0600 where it
    /// can be set) and the load fails with `AIConversationFileSetAside`; the
    /// next save starts a new file. Should the move fail, the load fails with
    /// `AIConversationFileUnreadable` and the file stays as it is. A folder
    /// that is a link or another user's fails with `AIConversationFolderUnsafe`.
    QCoro::Task<QList<AIConversation>> load();

    /// Replaces the file's content with `conversations`, in the order given.
    /// A file in place that cannot be read is never replaced: it is moved
    /// aside first, or the save fails with `AIConversationFileUnreadable`.
    /// Fails with `PlatformError` (or `AIConversationFolderUnsafe`); the file
    /// then holds its old content.
    QCoro::Task<void> save(QList<AIConversation> conversations);

private:
    QString m_filePath;
    std::unique_ptr<SerialExecutor> m_executor;
};

} // namespace quarn
