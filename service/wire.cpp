#include "wire.h"

namespace quarn::service::wire {

namespace {

void putOptional(Json &j, const char *key, const std::optional<std::string> &value)
{
    if (value)
        j[key] = *value;
}

Json recipients(const std::vector<Recipient> &list)
{
    Json out = Json::array();
    for (const auto &r : list)
        out.push_back({ { "email", r.email }, { "displayName", r.displayName }, { "role", r.role } });
    return out;
}

/// The fields a conversation message and a timeline message share, in the
/// order of the timeline record, after `id` and the conversation fields.
void messageFields(Json &j, const Message &m)
{
    putOptional(j, "senderUserId", m.senderUserId);
    j["senderEmail"] = m.senderEmail;
    j["senderName"] = m.senderName;
    j["channel"] = m.channel;
    j["bodyText"] = m.bodyText;
    j["deliveryStatus"] = m.deliveryStatus;
    j["createdAt"] = m.createdAt;
    if (m.scheduledFor)
        j["scheduledFor"] = *m.scheduledFor;
    j["recipients"] = recipients(m.recipients);
}

Json message(const Message &m)
{
    Json j = { { "id", m.id } };
    messageFields(j, m);
    return j;
}

} // namespace

Json error(const std::string &code, const std::string &message)
{
    return { { "error", code }, { "message", message } };
}

Json mailbox(const Mailbox &m)
{
    return { { "address", m.address }, { "displayName", m.displayName } };
}

Json listItem(const Conversation &c)
{
    Json j = { { "id", c.id }, { "subject", c.subject }, { "status", c.status }, { "transport", c.transport },
        { "participantName", c.participantName }, { "participantAddress", c.participantAddress },
        { "preview", c.preview }, { "lastMessageAt", c.lastMessageAt }, { "unread", c.unread } };
    putOptional(j, "aiSummary", c.ai.summary);
    putOptional(j, "aiRequest", c.ai.request);
    putOptional(j, "aiDeadline", c.ai.deadline);
    putOptional(j, "aiDraft", c.ai.draft);
    putOptional(j, "aiRisk", c.ai.risk);
    return j;
}

Json detail(const Conversation &c)
{
    Json j = listItem(c);
    Json messages = Json::array();
    for (const auto &m : c.messages)
        messages.push_back(message(m));
    j["messages"] = std::move(messages);
    return j;
}

Json state(const StateSnapshot &s)
{
    Json j = Json::object();
    if (s.mailbox)
        j["mailbox"] = mailbox(*s.mailbox);
    j["viewer"] = { { "id", s.viewer.id }, { "name", s.viewer.name }, { "email", s.viewer.email } };
    j["status"] = s.status;
    Json counts = Json::object();
    for (const auto &status : allStatuses())
        counts[status] = s.counts.contains(status) ? s.counts.at(status) : 0;
    j["counts"] = std::move(counts);
    Json list = Json::array();
    for (const auto &c : s.conversations)
        list.push_back(listItem(c));
    j["conversations"] = std::move(list);
    return j;
}

Json person(const Person &p)
{
    return { { "email", p.email }, { "displayName", p.displayName }, { "conversationCount", p.conversationCount },
        { "messageCount", p.messageCount }, { "lastMessageAt", p.lastMessageAt }, { "needsYouCount", p.needsYouCount },
        { "waitingCount", p.waitingCount } };
}

Json people(const std::vector<Person> &list)
{
    Json out = Json::array();
    for (const auto &p : list)
        out.push_back(person(p));
    return { { "people", std::move(out) } };
}

Json timeline(const TimelinePage &page)
{
    Json messages = Json::array();
    for (const auto &tm : page.messages) {
        Json j = { { "id", tm.message.id }, { "conversationId", tm.message.conversationId }, { "subject", tm.subject },
            { "conversationStatus", tm.conversationStatus } };
        messageFields(j, tm.message);
        messages.push_back(std::move(j));
    }
    Json j = { { "person", person(page.person) }, { "messages", std::move(messages) }, { "hasMore", page.hasMore } };
    if (page.nextBefore)
        j["nextBefore"] = *page.nextBefore;
    return j;
}

Json mutation(const Mutation &m)
{
    return { { "ok", true }, { "conversationId", m.conversationId }, { "messageId", m.messageId },
        { "status", m.status } };
}

std::string dump(const Json &j)
{
    return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

} // namespace quarn::service::wire
