#pragma once

#include "model/records.h"

#include <QLocale>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QVariant>
#include <QtQml/qqmlregistration.h>

#include <optional>

/// The small decisions the people and AI screens make about what to show:
/// which recipients get a chip, how a person's activity reads, which side a
/// message sits on, how a time reads relative to now. Pure functions, so
/// that a unit test reaches every rule; the QML only binds their results.
namespace quarn::ui::presentation {

/// Recipient chips shown under a timeline message before the "+N" text.
inline constexpr qsizetype kMaxRecipientChips = 4;

/// The first user-perceived character of `name`, upper-cased; empty for an
/// empty name.
[[nodiscard]] QString avatarInitial(const QString &name);

/// "3 threads · 12 messages".
[[nodiscard]] QString activityLine(qint64 conversationCount, qint64 messageCount);

/// What follows the activity line of a person.
struct ActivitySuffix
{
    /// "Needs you 2", "Waiting 1", or empty.
    QString text;
    /// Shown in the warm colour (the needs-you text).
    bool warm = false;

    bool operator==(const ActivitySuffix &) const = default;
};

/// Needs-you wins over waiting; nothing when both counts are below one.
[[nodiscard]] ActivitySuffix activitySuffix(qint64 needsYouCount, qint64 waitingCount);

/// The recipients a timeline message shows: a lone recipient always, and
/// otherwise every one except the envelope recipients, in order.
[[nodiscard]] QList<MessageRecipientView> visibleRecipients(const QList<MessageRecipientView> &recipients);

/// The text of one recipient chip: the role upper-cased, a blank, the name
/// (the address when the recipient has no name).
[[nodiscard]] QString chipLabel(const MessageRecipientView &recipient);

/// "+N" for the recipients beyond the chips, or empty.
[[nodiscard]] QString chipOverflow(qsizetype visibleCount);

/// A message is the viewer's own when its sender is the viewer; two absent
/// ids count as equal.
[[nodiscard]] bool isOutgoing(const std::optional<QString> &senderUserId, const std::optional<QString> &viewerId);

/// "Needs you", "AI working", "Waiting", "Scheduled", "Inbox" or "Done".
[[nodiscard]] QString statusWording(ConversationStatus status);

/// The preview line of an AI conversation row: its last message, or
/// "新しい対話" while it has none.
[[nodiscard]] QString aiPreview(qsizetype messageCount, const QString &lastMessage);

/// Whether the AI chat's send button is enabled.
[[nodiscard]] bool canSendAIChat(const QString &input, bool isSending, bool isCodexReady);

/// Why the AI cannot be used while the Codex CLI is not ready, on one line:
/// "Codex CLIの準備ができていません。" with the probe's finding, what to do and
/// the command that does it; while a probe runs and nothing is known yet,
/// that it is being checked.
[[nodiscard]] QString codexNotReadyExplanation(
    bool isChecking, const QString &problem, const QString &remedy, const QString &command);

/// A one-line field from outside the program (a name, an address, a subject)
/// as its own isolated run: the explicit direction controls it holds
/// (embeddings, overrides, isolates: U+202A–U+202E, U+2066–U+2069) are
/// dropped, so that it cannot reverse its own characters ("gnp.exe" shown as
/// "exe.png"), and the rest is wrapped in FSI … PDI, so that its natural
/// direction cannot move the texts beside it. Empty stays empty.
[[nodiscard]] QString isolatedText(const QString &text);

/// One piece of a message body: text, or a link the user may open.
struct BodyPiece
{
    QString text;
    /// Empty for text; the address to open for a link.
    QString link;

    bool operator==(const BodyPiece &) const = default;
};

/// The body cut into text and the http(s):// and mailto: addresses in it.
/// Punctuation that ends a sentence is not part of an address, nor is a
/// closing bracket without its opening one.
[[nodiscard]] QList<BodyPiece> bodyPieces(const QString &body);

/// The body as rich text built from escaped pieces, each address a link to
/// itself; empty when the body holds no address (it is then shown as plain
/// text). Nothing of the body is ever markup.
[[nodiscard]] QString linkedBodyHtml(const QString &body);

/// Whether `link` may be opened on the user's action: an http(s) address with
/// a host, or a mailto: address.
[[nodiscard]] bool isOpenableLink(const QString &link);

} // namespace quarn::ui::presentation

namespace quarn::ui {

/// The presentation rules as QML calls them (`Presenter.avatarInitial(name)`).
/// Records arrive as the list models hand them to delegates (maps and
/// nullable values). `now` moves every 30 seconds, so a binding that passes
/// it to relativeTime() rewords itself as time goes by.
class Presenter : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON

    /// The clock the relative times are measured against, in milliseconds
    /// since 1970.
    Q_PROPERTY(qint64 now READ now NOTIFY nowChanged)

public:
    explicit Presenter(QObject *parent = nullptr);

    [[nodiscard]] qint64 now() const { return m_now; }

    Q_INVOKABLE [[nodiscard]] QString avatarInitial(const QString &name) const;
    Q_INVOKABLE [[nodiscard]] QString activityLine(qint64 conversationCount, qint64 messageCount) const;
    /// {text, warm}
    Q_INVOKABLE [[nodiscard]] QVariantMap activitySuffix(qint64 needsYouCount, qint64 waitingCount) const;
    /// The chips of a message's recipients (a list of {email, displayName,
    /// role}): {labels: the first four chip texts, overflow: "+N" or ""}.
    Q_INVOKABLE [[nodiscard]] QVariantMap recipientChips(const QVariantList &recipients) const;
    Q_INVOKABLE [[nodiscard]] bool isOutgoing(const QVariant &senderUserId, const QVariant &viewerId) const;
    /// The wording of a raw status value ("needs_you"); empty for an unknown one.
    Q_INVOKABLE [[nodiscard]] QString statusWording(const QString &status) const;
    Q_INVOKABLE [[nodiscard]] QString aiPreview(int messageCount, const QString &lastMessage) const;
    Q_INVOKABLE [[nodiscard]] bool canSendAIChat(const QString &input, bool isSending, bool isCodexReady) const;
    Q_INVOKABLE [[nodiscard]] QString codexNotReadyExplanation(
        bool isChecking, const QString &problem, const QString &remedy, const QString &command) const;
    Q_INVOKABLE [[nodiscard]] QString relativeTime(qint64 atMs, qint64 nowMs) const;
    /// isolatedText(): a field from outside as its own run.
    Q_INVOKABLE [[nodiscard]] QString isolated(const QString &text) const;
    /// linkedBodyHtml(): "" when the body has no address to open.
    Q_INVOKABLE [[nodiscard]] QString linkedBody(const QString &body) const;

Q_SIGNALS:
    void nowChanged();

private:
    qint64 m_now;
    QTimer m_clock;
};

} // namespace quarn::ui
