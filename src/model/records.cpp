#include "model/records.h"

namespace quarn {

namespace {

// Qt has no qHash for std::optional; an absent value hashes differently from
// every present one by mixing in a presence marker.
template<typename T> size_t hashOptional(const std::optional<T> &v, size_t seed) noexcept
{
    return v ? qHashMulti(seed, true, *v) : qHashMulti(seed, false);
}

template<typename T> size_t hashList(const QList<T> &list, size_t seed) noexcept
{
    return qHashRange(list.cbegin(), list.cend(), seed);
}

} // namespace

size_t qHash(const MessageRecipientView &v, size_t seed) noexcept
{
    return qHashMulti(seed, v.email, v.displayName, v.role);
}

size_t qHash(const ConversationListItem &v, size_t seed) noexcept
{
    seed = qHashMulti(seed, v.id, v.subject, v.status, v.transport, v.participantName, v.participantAddress, v.preview,
        v.lastMessageAt, v.unread);
    seed = hashOptional(v.aiSummary, seed);
    seed = hashOptional(v.aiRequest, seed);
    seed = hashOptional(v.aiDeadline, seed);
    seed = hashOptional(v.aiDraft, seed);
    return hashOptional(v.aiRisk, seed);
}

size_t qHash(const MessageView &v, size_t seed) noexcept
{
    seed = qHashMulti(seed, v.id);
    seed = hashOptional(v.senderUserId, seed);
    seed = qHashMulti(seed, v.senderEmail, v.senderName, v.channel, v.bodyText, v.deliveryStatus, v.createdAt);
    seed = hashOptional(v.scheduledFor, seed);
    return hashList(v.recipients, seed);
}

size_t qHash(const PersonSummary &v, size_t seed) noexcept
{
    return qHashMulti(seed, v.email, v.displayName, v.conversationCount, v.messageCount, v.lastMessageAt,
        v.needsYouCount, v.waitingCount);
}

size_t qHash(const PersonTimelineMessage &v, size_t seed) noexcept
{
    seed = qHashMulti(seed, v.id, v.conversationId, v.subject, v.conversationStatus);
    seed = hashOptional(v.senderUserId, seed);
    seed = qHashMulti(seed, v.senderEmail, v.senderName, v.channel, v.bodyText, v.deliveryStatus, v.createdAt);
    seed = hashOptional(v.scheduledFor, seed);
    return hashList(v.recipients, seed);
}

size_t qHash(const AIChatMessage &v, size_t seed) noexcept
{
    return qHashMulti(seed, v.id, v.role, v.content, v.createdAt);
}

size_t qHash(const AIConversation &v, size_t seed) noexcept
{
    seed = qHashMulti(seed, v.id, v.title);
    seed = hashList(v.messages, seed);
    return qHashMulti(seed, v.createdAt, v.updatedAt);
}

} // namespace quarn
