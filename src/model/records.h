#pragma once

#include "model/enums.h"

#include <QList>
#include <QMap>
#include <QString>

#include <optional>

/// The value records exchanged with the mail service, produced by the local AI
/// engine and kept in the AI conversation file. Every record is a plain value
/// with exactly one JSON form (see model/json.h). Times are milliseconds since
/// 1970-01-01 UTC (see model/mailtime.h).
namespace quarn {

/// The user's service mail address and the sender name used with it.
struct Mailbox
{
    QString address;
    QString displayName;

    bool operator==(const Mailbox &) const = default;
};

/// The signed-in user.
struct Viewer
{
    QString id;
    QString name;
    QString email;

    bool operator==(const Viewer &) const = default;
};

/// One row of a conversation list. Identity: `id`.
struct ConversationListItem
{
    QString id;
    QString subject;
    ConversationStatus status = ConversationStatus::inbox;
    ConversationTransport transport = ConversationTransport::email;
    QString participantName;
    QString participantAddress;
    QString preview;
    qint64 lastMessageAt = 0;
    bool unread = false;
    /// The service's copy of the last AI triage result.
    std::optional<QString> aiSummary;
    std::optional<QString> aiRequest;
    std::optional<QString> aiDeadline;
    std::optional<QString> aiDraft;
    std::optional<QString> aiRisk;

    bool operator==(const ConversationListItem &) const = default;
};

/// One recipient of a message; `role` is the service's own word for it.
struct MessageRecipientView
{
    QString email;
    QString displayName;
    QString role;

    bool operator==(const MessageRecipientView &) const = default;
};

/// One message inside a conversation. Identity: `id`.
struct MessageView
{
    QString id;
    std::optional<QString> senderUserId;
    QString senderEmail;
    QString senderName;
    QString channel;
    QString bodyText;
    QString deliveryStatus;
    qint64 createdAt = 0;
    std::optional<qint64> scheduledFor;
    QList<MessageRecipientView> recipients;

    bool operator==(const MessageView &) const = default;
};

/// One conversation with its messages: the fields of `ConversationListItem`
/// followed by `messages`. Identity: `id`. Deliberately not comparable.
struct ConversationDetail
{
    QString id;
    QString subject;
    ConversationStatus status = ConversationStatus::inbox;
    ConversationTransport transport = ConversationTransport::email;
    QString participantName;
    QString participantAddress;
    QString preview;
    qint64 lastMessageAt = 0;
    bool unread = false;
    std::optional<QString> aiSummary;
    std::optional<QString> aiRequest;
    std::optional<QString> aiDeadline;
    std::optional<QString> aiDraft;
    std::optional<QString> aiRisk;
    QList<MessageView> messages;

    bool operator==(const ConversationDetail &) const = default;
};

/// The answer of the state request: the conversations of one status plus the
/// number of conversations per status (keyed by raw value; a status without a
/// key is simply absent).
struct MailState
{
    /// None while the account has no service address.
    std::optional<Mailbox> mailbox;
    Viewer viewer;
    ConversationStatus status = ConversationStatus::inbox;
    QMap<QString, qint64> counts;
    QList<ConversationListItem> conversations;

    bool operator==(const MailState &) const = default;
};

/// One correspondent. Identity: `email`.
struct PersonSummary
{
    QString email;
    QString displayName;
    qint64 conversationCount = 0;
    qint64 messageCount = 0;
    qint64 lastMessageAt = 0;
    qint64 needsYouCount = 0;
    qint64 waitingCount = 0;

    bool operator==(const PersonSummary &) const = default;
};

/// One message of a person timeline, with the conversation it belongs to.
/// Identity: `id`.
struct PersonTimelineMessage
{
    QString id;
    QString conversationId;
    QString subject;
    ConversationStatus conversationStatus = ConversationStatus::inbox;
    std::optional<QString> senderUserId;
    QString senderEmail;
    QString senderName;
    QString channel;
    QString bodyText;
    QString deliveryStatus;
    qint64 createdAt = 0;
    std::optional<qint64> scheduledFor;
    QList<MessageRecipientView> recipients;

    bool operator==(const PersonTimelineMessage &) const = default;
};

/// One page of a person's messages across conversations. `nextBefore` is the
/// cursor to send as `before` for the next older page.
struct PersonTimeline
{
    PersonSummary person;
    QList<PersonTimelineMessage> messages;
    bool hasMore = false;
    std::optional<qint64> nextBefore;

    bool operator==(const PersonTimeline &) const = default;
};

/// A private AI chat message, kept on the device only. Identity: `id`.
struct AIChatMessage
{
    using Role = AIChatRole;

    QString id;
    Role role = Role::user;
    QString content;
    qint64 createdAt = 0;

    bool operator==(const AIChatMessage &) const = default;
};

/// A private AI conversation, kept on the device only. Identity: `id`.
struct AIConversation
{
    QString id;
    QString title;
    QList<AIChatMessage> messages;
    qint64 createdAt = 0;
    qint64 updatedAt = 0;

    bool operator==(const AIConversation &) const = default;
};

/// Result of the AI triage of one conversation. `risk` is free text here; the
/// local AI engine admits only "low", "medium" and "high".
struct AiInsight
{
    QString summary;
    std::optional<QString> request;
    std::optional<QString> deadline;
    ConversationStatus suggestedStatus = ConversationStatus::inbox;
    std::optional<QString> draft;
    QString risk;

    bool operator==(const AiInsight &) const = default;
};

/// A subject line proposed by the local AI engine.
struct SubjectSuggestion
{
    QString subject;

    bool operator==(const SubjectSuggestion &) const = default;
};

/// Answer of the set-status and fail-AI requests.
struct OkResponse
{
    bool ok = false;

    bool operator==(const OkResponse &) const = default;
};

/// Answer of the people request.
struct PeopleResponse
{
    QList<PersonSummary> people;

    bool operator==(const PeopleResponse &) const = default;
};

/// Answer of the claim-mailbox request.
struct MailboxResponse
{
    bool ok = false;
    Mailbox mailbox;

    bool operator==(const MailboxResponse &) const = default;
};

/// Answer of the reply and create requests.
struct ConversationMutationResponse
{
    bool ok = false;
    std::optional<QString> conversationId;
    std::optional<QString> messageId;
    std::optional<ConversationStatus> status;

    bool operator==(const ConversationMutationResponse &) const = default;
};

/// Answer of the start-AI request; `jobId` is closed later by complete or fail.
struct AiStartResponse
{
    bool ok = false;
    QString jobId;
    ConversationDetail conversation;
};

/// Answer of the complete-AI request.
struct AiCompleteResponse
{
    bool ok = false;
    ConversationDetail conversation;
};

/// Body of any failed service answer.
struct APIErrorBody
{
    std::optional<QString> error;
    std::optional<QString> reason;
    std::optional<QString> message;

    bool operator==(const APIErrorBody &) const = default;
};

// Hashes cover every field, in declaration order, for the records that are
// used as keys or in sets.
[[nodiscard]] size_t qHash(const MessageRecipientView &v, size_t seed = 0) noexcept;
[[nodiscard]] size_t qHash(const ConversationListItem &v, size_t seed = 0) noexcept;
[[nodiscard]] size_t qHash(const MessageView &v, size_t seed = 0) noexcept;
[[nodiscard]] size_t qHash(const PersonSummary &v, size_t seed = 0) noexcept;
[[nodiscard]] size_t qHash(const PersonTimelineMessage &v, size_t seed = 0) noexcept;
[[nodiscard]] size_t qHash(const AIChatMessage &v, size_t seed = 0) noexcept;
[[nodiscard]] size_t qHash(const AIConversation &v, size_t seed = 0) noexcept;

} // namespace quarn
