#include "wire.h"

#include "util.h"

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

namespace {

void writeString(std::string &out, const std::string &s)
{
    if (!isValidUtf8(s)) {
        out += dump(Json(s)); // the replacement of invalid bytes as dump() does it
        return;
    }
    static constexpr char hex[] = "0123456789abcdef";
    out += '"';
    std::size_t run = 0;
    for (std::size_t i = 0; i < s.size(); ++i) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c >= 0x20 && c != '"' && c != '\\')
            continue;
        out.append(s, run, i - run);
        run = i + 1;
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\b':
            out += "\\b";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\f':
            out += "\\f";
            break;
        case '\r':
            out += "\\r";
            break;
        default:
            out += "\\u00";
            out += hex[c >> 4];
            out += hex[c & 0xF];
        }
    }
    out.append(s, run, std::string::npos);
    out += '"';
}

void writeKey(std::string &out, const char *key)
{
    out += '"';
    out += key;
    out += "\":";
}

void writeOptional(std::string &out, const char *key, const std::optional<std::string> &value)
{
    if (!value)
        return;
    out += ',';
    writeKey(out, key);
    writeString(out, *value);
}

} // namespace

std::string stateText(const StateSnapshot &s)
{
    std::string out;
    std::size_t estimate = 256;
    for (const auto &c : s.conversations)
        estimate += 256 + c.subject.size() + c.preview.size() + c.participantName.size();
    out.reserve(estimate);
    out += '{';
    if (s.mailbox) {
        writeKey(out, "mailbox");
        out += dump(mailbox(*s.mailbox));
        out += ',';
    }
    writeKey(out, "viewer");
    out += "{\"id\":";
    writeString(out, s.viewer.id);
    out += ",\"name\":";
    writeString(out, s.viewer.name);
    out += ",\"email\":";
    writeString(out, s.viewer.email);
    out += "},";
    writeKey(out, "status");
    writeString(out, s.status);
    out += ",\"counts\":{";
    bool first = true;
    for (const auto &status : allStatuses()) {
        if (!first)
            out += ',';
        first = false;
        writeString(out, status);
        out += ':';
        const auto it = s.counts.find(status);
        out += std::to_string(it == s.counts.end() ? 0 : it->second);
    }
    out += "},\"conversations\":[";
    first = true;
    for (const auto &c : s.conversations) {
        if (!first)
            out += ',';
        first = false;
        out += "{\"id\":";
        writeString(out, c.id);
        out += ",\"subject\":";
        writeString(out, c.subject);
        out += ",\"status\":";
        writeString(out, c.status);
        out += ",\"transport\":";
        writeString(out, c.transport);
        out += ",\"participantName\":";
        writeString(out, c.participantName);
        out += ",\"participantAddress\":";
        writeString(out, c.participantAddress);
        out += ",\"preview\":";
        writeString(out, c.preview);
        out += ",\"lastMessageAt\":";
        out += std::to_string(c.lastMessageAt);
        out += c.unread ? ",\"unread\":true" : ",\"unread\":false";
        writeOptional(out, "aiSummary", c.ai.summary);
        writeOptional(out, "aiRequest", c.ai.request);
        writeOptional(out, "aiDeadline", c.ai.deadline);
        writeOptional(out, "aiDraft", c.ai.draft);
        writeOptional(out, "aiRisk", c.ai.risk);
        out += '}';
    }
    out += "]}";
    return out;
}

} // namespace quarn::service::wire
