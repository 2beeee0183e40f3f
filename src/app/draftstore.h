#pragma once

#include "core/async.h"
#include "core/error.h"

#include <QCoroTask>
#include <QHash>
#include <QList>
#include <QString>

#include <memory>
#include <optional>

namespace quarn {

/// What the compose sheet held when it was closed unsent.
struct ComposeDraft
{
    /// The recipients as typed.
    QString recipients;
    QString subject;
    QString body;
    bool scheduleEnabled = false;
    /// The chosen send time, ms since 1970-01-01 UTC (0 when none was chosen).
    qint64 scheduledDate = 0;
    /// The subject still follows the body (the user has not written one).
    bool subjectIsAutomatic = true;

    /// Nothing typed: recipients, subject and body are blank.
    [[nodiscard]] bool isEmpty() const;
    bool operator==(const ComposeDraft &) const = default;
};

/// Every unsent text of the user: one reply draft per conversation (by id),
/// the compose sheet's draft, and messages whose send failed after their
/// sheet was closed while another draft held the sheet, oldest first.
struct Drafts
{
    QHash<QString, QString> replies;
    std::optional<ComposeDraft> compose;
    QList<ComposeDraft> unsent;

    bool operator==(const Drafts &) const = default;
};

/// The drafts file could not be used; the description says which file and why.
class DraftStoreError : public Error
{
public:
    explicit DraftStoreError(QString description)
        : m_description(std::move(description))
    { }
    [[nodiscard]] QString description() const override { return m_description; }

private:
    QString m_description;
};

/// The drafts on disk: one JSON file beside the AI conversations, read at
/// start-up and rewritten whole. The same rules as there: the folder must be
/// the user's own real folder, a save is atomic and leaves the file 0600, and
/// a file that cannot be read or decoded is moved aside, never saved over.
/// File work runs on the store's own serial worker, in the order started.
///
/// The store must outlive the tasks it hands out.
class DraftStore
{
public:
    /// A store on `filePath` (absolute). Creation touches no file.
    explicit DraftStore(QString filePath);
    ~DraftStore();
    DraftStore(const DraftStore &) = delete;
    DraftStore &operator=(const DraftStore &) = delete;

    [[nodiscard]] const QString &filePath() const { return m_filePath; }

    /// The stored drafts; none without a file. Fails with DraftStoreError
    /// (the file set aside, or unreadable and left, or an unsafe folder) or
    /// PlatformError.
    QCoro::Task<Drafts> load();
    /// Replaces the file's content with `drafts`. Fails as load does; the
    /// file then holds its old content.
    QCoro::Task<void> save(Drafts drafts);

    /// The file's bytes for `drafts`, and back; a decoding answers nothing
    /// for bytes that are not a drafts file.
    [[nodiscard]] static QByteArray encode(const Drafts &drafts);
    [[nodiscard]] static std::optional<Drafts> decode(const QByteArray &bytes);

private:
    QString m_filePath;
    std::unique_ptr<SerialExecutor> m_executor;
};

} // namespace quarn
