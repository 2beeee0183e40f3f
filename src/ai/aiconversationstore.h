#pragma once

#include "core/async.h"
#include "model/records.h"

#include <QCoroTask>
#include <QList>
#include <QString>

#include <memory>

namespace quarn {

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
    /// nothing. Fails with `PlatformError` when the file cannot be read (or is
    /// not a regular file of this user) and with `DecodeError` when it is not
    /// a valid list; the file is then left as it is.
    QCoro::Task<QList<AIConversation>> load();

    /// Replaces the file's content with `conversations`, in the order given.
    /// Fails with `PlatformError`; the file then holds its old content.
    QCoro::Task<void> save(QList<AIConversation> conversations);

private:
    QString m_filePath;
    std::unique_ptr<SerialExecutor> m_executor;
};

} // namespace quarn
