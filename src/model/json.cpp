#include "model/json.h"

#include <limits>

namespace quarn {

using nlohmann::json;
using nlohmann::ordered_json;

DecodeError::DecodeError(QString reason)
    : m_reason(std::move(reason))
{ }

QString DecodeError::description() const
{
    if (m_path.isEmpty())
        return m_reason;
    return m_path + QStringLiteral(": ") + m_reason;
}

void DecodeError::prependKey(std::string_view key)
{
    const QString k = QString::fromUtf8(key.data(), qsizetype(key.size()));
    if (m_path.isEmpty() || m_path.startsWith(u'['))
        m_path.prepend(k);
    else
        m_path.prepend(k + u'.');
}

void DecodeError::prependIndex(qsizetype index)
{
    const QString step = u'[' + QString::number(index) + u']';
    m_path.prepend(m_path.isEmpty() || m_path.startsWith(u'[') ? step : step + u'.');
}

namespace {

// The DOM builder of nlohmann::json::parse with a bound on nesting. The base
// class is a documented extension point (sax_parse takes any SAX handler).
class BoundedDomParser : public nlohmann::detail::json_sax_dom_parser<json>
{
    using Base = nlohmann::detail::json_sax_dom_parser<json>;

public:
    explicit BoundedDomParser(json &result)
        : Base(result, true)
    { }

    bool start_object(std::size_t n)
    {
        enter();
        return Base::start_object(n);
    }
    bool end_object()
    {
        --m_depth;
        return Base::end_object();
    }
    bool start_array(std::size_t n)
    {
        enter();
        return Base::start_array(n);
    }
    bool end_array()
    {
        --m_depth;
        return Base::end_array();
    }

private:
    void enter()
    {
        if (++m_depth > kMaxJsonDepth)
            throw DecodeError(QStringLiteral("JSON nested deeper than %1 levels").arg(kMaxJsonDepth));
    }

    std::size_t m_depth = 0;
};

const char *typeName(const json &j)
{
    switch (j.type()) {
    case json::value_t::null:
        return "null";
    case json::value_t::object:
        return "object";
    case json::value_t::array:
        return "array";
    case json::value_t::string:
        return "string";
    case json::value_t::boolean:
        return "boolean";
    case json::value_t::number_integer:
    case json::value_t::number_unsigned:
        return "integer";
    case json::value_t::number_float:
        return "float";
    case json::value_t::binary:
        return "binary";
    case json::value_t::discarded:
        break;
    }
    return "invalid value";
}

void expectObject(const json &j)
{
    if (!j.is_object())
        detail::throwWrongType("object", j);
}

template<typename T> void required(const json &obj, std::string_view key, T &out)
{
    const auto it = obj.find(key);
    if (it == obj.end()) {
        DecodeError e(QStringLiteral("missing required key"));
        e.prependKey(key);
        throw e;
    }
    try {
        if (it->is_null())
            throw DecodeError(QStringLiteral("null in a required field"));
        decode(*it, out);
    } catch (DecodeError &e) {
        e.prependKey(key);
        throw;
    }
}

// Absent and null both mean none.
template<typename T> void optional(const json &obj, std::string_view key, std::optional<T> &out)
{
    const auto it = obj.find(key);
    if (it == obj.end() || it->is_null()) {
        out.reset();
        return;
    }
    try {
        decode(*it, out.emplace());
    } catch (DecodeError &e) {
        e.prependKey(key);
        throw;
    }
}

template<typename T> void put(ordered_json &obj, const char *key, const T &value)
{
    obj[key] = toJson(value);
}

template<typename T> void put(ordered_json &obj, const char *key, const std::optional<T> &value)
{
    if (value)
        obj[key] = toJson(*value);
}

} // namespace

namespace detail {

void throwUnknownRawValue(const json &j)
{
    const auto &s = j.get_ref<const std::string &>();
    throw DecodeError(QStringLiteral("unknown value \"%1\"").arg(QString::fromUtf8(s.data(), qsizetype(s.size()))));
}

void throwWrongType(const char *expected, const json &j)
{
    throw DecodeError(QStringLiteral("expected %1, found %2").arg(QLatin1String(expected), QLatin1String(typeName(j))));
}

} // namespace detail

json parseJson(QByteArrayView bytes)
{
    json result;
    BoundedDomParser parser(result);
    try {
        json::sax_parse(bytes.begin(), bytes.end(), &parser, nlohmann::detail::input_format_t::json, true, false);
    } catch (const json::exception &e) {
        // Covers malformed and truncated text as well as invalid UTF-8 and
        // unpaired surrogate escapes, which the lexer rejects inside strings.
        throw DecodeError(QStringLiteral("malformed JSON: ") + QString::fromUtf8(e.what()));
    }
    return result;
}

// ---- leaves ----

void decode(const json &j, QString &out)
{
    if (!j.is_string())
        detail::throwWrongType("string", j);
    const auto &s = j.get_ref<const std::string &>();
    out = QString::fromUtf8(s.data(), qsizetype(s.size()));
}

void decode(const json &j, qint64 &out)
{
    // nlohmann keeps non-negative integers as unsigned and the rest as signed;
    // numbers with a fraction or exponent, or beyond 64 bits, are floats.
    if (j.is_number_unsigned()) {
        const auto u = j.get<std::uint64_t>();
        if (u > std::uint64_t(std::numeric_limits<qint64>::max()))
            throw DecodeError(QStringLiteral("integer outside the signed 64-bit range"));
        out = qint64(u);
    } else if (j.is_number_integer()) {
        out = j.get<std::int64_t>();
    } else {
        detail::throwWrongType("integer", j);
    }
}

void decode(const json &j, bool &out)
{
    if (!j.is_boolean())
        detail::throwWrongType("boolean", j);
    out = j.get<bool>();
}

void decode(const json &j, QMap<QString, qint64> &out)
{
    expectObject(j);
    out.clear();
    for (const auto &[key, value] : j.items()) {
        qint64 n = 0;
        try {
            decode(value, n);
        } catch (DecodeError &e) {
            e.prependKey(key);
            throw;
        }
        out.insert(QString::fromUtf8(key.data(), qsizetype(key.size())), n);
    }
}

// ---- records ----

void decode(const json &j, Mailbox &out)
{
    expectObject(j);
    required(j, "address", out.address);
    required(j, "displayName", out.displayName);
}

void decode(const json &j, Viewer &out)
{
    expectObject(j);
    required(j, "id", out.id);
    required(j, "name", out.name);
    required(j, "email", out.email);
}

namespace {
// ConversationListItem and ConversationDetail share their first fourteen fields.
template<typename R> void decodeConversationFields(const json &j, R &out)
{
    expectObject(j);
    required(j, "id", out.id);
    required(j, "subject", out.subject);
    required(j, "status", out.status);
    required(j, "transport", out.transport);
    required(j, "participantName", out.participantName);
    required(j, "participantAddress", out.participantAddress);
    required(j, "preview", out.preview);
    required(j, "lastMessageAt", out.lastMessageAt);
    required(j, "unread", out.unread);
    optional(j, "aiSummary", out.aiSummary);
    optional(j, "aiRequest", out.aiRequest);
    optional(j, "aiDeadline", out.aiDeadline);
    optional(j, "aiDraft", out.aiDraft);
    optional(j, "aiRisk", out.aiRisk);
}

template<typename R> ordered_json conversationFieldsToJson(const R &v)
{
    ordered_json o = ordered_json::object();
    put(o, "id", v.id);
    put(o, "subject", v.subject);
    put(o, "status", v.status);
    put(o, "transport", v.transport);
    put(o, "participantName", v.participantName);
    put(o, "participantAddress", v.participantAddress);
    put(o, "preview", v.preview);
    put(o, "lastMessageAt", v.lastMessageAt);
    put(o, "unread", v.unread);
    put(o, "aiSummary", v.aiSummary);
    put(o, "aiRequest", v.aiRequest);
    put(o, "aiDeadline", v.aiDeadline);
    put(o, "aiDraft", v.aiDraft);
    put(o, "aiRisk", v.aiRisk);
    return o;
}
} // namespace

void decode(const json &j, ConversationListItem &out)
{
    decodeConversationFields(j, out);
}

void decode(const json &j, MessageRecipientView &out)
{
    expectObject(j);
    required(j, "email", out.email);
    required(j, "displayName", out.displayName);
    required(j, "role", out.role);
}

void decode(const json &j, MessageView &out)
{
    expectObject(j);
    required(j, "id", out.id);
    optional(j, "senderUserId", out.senderUserId);
    required(j, "senderEmail", out.senderEmail);
    required(j, "senderName", out.senderName);
    required(j, "channel", out.channel);
    required(j, "bodyText", out.bodyText);
    required(j, "deliveryStatus", out.deliveryStatus);
    required(j, "createdAt", out.createdAt);
    optional(j, "scheduledFor", out.scheduledFor);
    required(j, "recipients", out.recipients);
}

void decode(const json &j, ConversationDetail &out)
{
    decodeConversationFields(j, out);
    required(j, "messages", out.messages);
}

void decode(const json &j, MailState &out)
{
    expectObject(j);
    optional(j, "mailbox", out.mailbox);
    required(j, "viewer", out.viewer);
    required(j, "status", out.status);
    required(j, "counts", out.counts);
    required(j, "conversations", out.conversations);
}

void decode(const json &j, PersonSummary &out)
{
    expectObject(j);
    required(j, "email", out.email);
    required(j, "displayName", out.displayName);
    required(j, "conversationCount", out.conversationCount);
    required(j, "messageCount", out.messageCount);
    required(j, "lastMessageAt", out.lastMessageAt);
    required(j, "needsYouCount", out.needsYouCount);
    required(j, "waitingCount", out.waitingCount);
}

void decode(const json &j, PersonTimelineMessage &out)
{
    expectObject(j);
    required(j, "id", out.id);
    required(j, "conversationId", out.conversationId);
    required(j, "subject", out.subject);
    required(j, "conversationStatus", out.conversationStatus);
    optional(j, "senderUserId", out.senderUserId);
    required(j, "senderEmail", out.senderEmail);
    required(j, "senderName", out.senderName);
    required(j, "channel", out.channel);
    required(j, "bodyText", out.bodyText);
    required(j, "deliveryStatus", out.deliveryStatus);
    required(j, "createdAt", out.createdAt);
    optional(j, "scheduledFor", out.scheduledFor);
    required(j, "recipients", out.recipients);
}

void decode(const json &j, PersonTimeline &out)
{
    expectObject(j);
    required(j, "person", out.person);
    required(j, "messages", out.messages);
    required(j, "hasMore", out.hasMore);
    optional(j, "nextBefore", out.nextBefore);
}

void decode(const json &j, AIChatMessage &out)
{
    expectObject(j);
    required(j, "id", out.id);
    required(j, "role", out.role);
    required(j, "content", out.content);
    required(j, "createdAt", out.createdAt);
}

void decode(const json &j, AIConversation &out)
{
    expectObject(j);
    required(j, "id", out.id);
    required(j, "title", out.title);
    required(j, "messages", out.messages);
    required(j, "createdAt", out.createdAt);
    required(j, "updatedAt", out.updatedAt);
}

void decode(const json &j, AiInsight &out)
{
    expectObject(j);
    required(j, "summary", out.summary);
    optional(j, "request", out.request);
    optional(j, "deadline", out.deadline);
    required(j, "suggestedStatus", out.suggestedStatus);
    optional(j, "draft", out.draft);
    required(j, "risk", out.risk);
}

void decode(const json &j, SubjectSuggestion &out)
{
    expectObject(j);
    required(j, "subject", out.subject);
}

void decode(const json &j, OkResponse &out)
{
    expectObject(j);
    required(j, "ok", out.ok);
}

void decode(const json &j, PeopleResponse &out)
{
    expectObject(j);
    required(j, "people", out.people);
}

void decode(const json &j, MailboxResponse &out)
{
    expectObject(j);
    required(j, "ok", out.ok);
    required(j, "mailbox", out.mailbox);
}

void decode(const json &j, ConversationMutationResponse &out)
{
    expectObject(j);
    required(j, "ok", out.ok);
    optional(j, "conversationId", out.conversationId);
    optional(j, "messageId", out.messageId);
    optional(j, "status", out.status);
}

void decode(const json &j, AiStartResponse &out)
{
    expectObject(j);
    required(j, "ok", out.ok);
    required(j, "jobId", out.jobId);
    required(j, "conversation", out.conversation);
}

void decode(const json &j, AiCompleteResponse &out)
{
    expectObject(j);
    required(j, "ok", out.ok);
    required(j, "conversation", out.conversation);
}

void decode(const json &j, APIErrorBody &out)
{
    expectObject(j);
    optional(j, "error", out.error);
    optional(j, "reason", out.reason);
    optional(j, "message", out.message);
}

// ---- encoding ----

std::string toStdUtf8(const QString &s)
{
    const QByteArray utf8 = s.toUtf8();
    return std::string(utf8.constData(), std::size_t(utf8.size()));
}

ordered_json toJson(const QString &v)
{
    return toStdUtf8(v);
}

ordered_json toJson(qint64 v)
{
    return std::int64_t(v);
}

ordered_json toJson(bool v)
{
    return v;
}

ordered_json toJson(const QMap<QString, qint64> &v)
{
    ordered_json o = ordered_json::object();
    for (auto it = v.cbegin(); it != v.cend(); ++it)
        o[toStdUtf8(it.key())] = std::int64_t(it.value());
    return o;
}

ordered_json toJson(const Mailbox &v)
{
    ordered_json o = ordered_json::object();
    put(o, "address", v.address);
    put(o, "displayName", v.displayName);
    return o;
}

ordered_json toJson(const Viewer &v)
{
    ordered_json o = ordered_json::object();
    put(o, "id", v.id);
    put(o, "name", v.name);
    put(o, "email", v.email);
    return o;
}

ordered_json toJson(const ConversationListItem &v)
{
    return conversationFieldsToJson(v);
}

ordered_json toJson(const MessageRecipientView &v)
{
    ordered_json o = ordered_json::object();
    put(o, "email", v.email);
    put(o, "displayName", v.displayName);
    put(o, "role", v.role);
    return o;
}

ordered_json toJson(const MessageView &v)
{
    ordered_json o = ordered_json::object();
    put(o, "id", v.id);
    put(o, "senderUserId", v.senderUserId);
    put(o, "senderEmail", v.senderEmail);
    put(o, "senderName", v.senderName);
    put(o, "channel", v.channel);
    put(o, "bodyText", v.bodyText);
    put(o, "deliveryStatus", v.deliveryStatus);
    put(o, "createdAt", v.createdAt);
    put(o, "scheduledFor", v.scheduledFor);
    put(o, "recipients", v.recipients);
    return o;
}

ordered_json toJson(const ConversationDetail &v)
{
    ordered_json o = conversationFieldsToJson(v);
    put(o, "messages", v.messages);
    return o;
}

ordered_json toJson(const MailState &v)
{
    ordered_json o = ordered_json::object();
    put(o, "mailbox", v.mailbox);
    put(o, "viewer", v.viewer);
    put(o, "status", v.status);
    put(o, "counts", v.counts);
    put(o, "conversations", v.conversations);
    return o;
}

ordered_json toJson(const PersonSummary &v)
{
    ordered_json o = ordered_json::object();
    put(o, "email", v.email);
    put(o, "displayName", v.displayName);
    put(o, "conversationCount", v.conversationCount);
    put(o, "messageCount", v.messageCount);
    put(o, "lastMessageAt", v.lastMessageAt);
    put(o, "needsYouCount", v.needsYouCount);
    put(o, "waitingCount", v.waitingCount);
    return o;
}

ordered_json toJson(const PersonTimelineMessage &v)
{
    ordered_json o = ordered_json::object();
    put(o, "id", v.id);
    put(o, "conversationId", v.conversationId);
    put(o, "subject", v.subject);
    put(o, "conversationStatus", v.conversationStatus);
    put(o, "senderUserId", v.senderUserId);
    put(o, "senderEmail", v.senderEmail);
    put(o, "senderName", v.senderName);
    put(o, "channel", v.channel);
    put(o, "bodyText", v.bodyText);
    put(o, "deliveryStatus", v.deliveryStatus);
    put(o, "createdAt", v.createdAt);
    put(o, "scheduledFor", v.scheduledFor);
    put(o, "recipients", v.recipients);
    return o;
}

ordered_json toJson(const PersonTimeline &v)
{
    ordered_json o = ordered_json::object();
    put(o, "person", v.person);
    put(o, "messages", v.messages);
    put(o, "hasMore", v.hasMore);
    put(o, "nextBefore", v.nextBefore);
    return o;
}

ordered_json toJson(const AIChatMessage &v)
{
    ordered_json o = ordered_json::object();
    put(o, "id", v.id);
    put(o, "role", v.role);
    put(o, "content", v.content);
    put(o, "createdAt", v.createdAt);
    return o;
}

ordered_json toJson(const AIConversation &v)
{
    ordered_json o = ordered_json::object();
    put(o, "id", v.id);
    put(o, "title", v.title);
    put(o, "messages", v.messages);
    put(o, "createdAt", v.createdAt);
    put(o, "updatedAt", v.updatedAt);
    return o;
}

ordered_json toJson(const AiInsight &v)
{
    ordered_json o = ordered_json::object();
    put(o, "summary", v.summary);
    put(o, "request", v.request);
    put(o, "deadline", v.deadline);
    put(o, "suggestedStatus", v.suggestedStatus);
    put(o, "draft", v.draft);
    put(o, "risk", v.risk);
    return o;
}

ordered_json toJson(const SubjectSuggestion &v)
{
    ordered_json o = ordered_json::object();
    put(o, "subject", v.subject);
    return o;
}

ordered_json toJson(const OkResponse &v)
{
    ordered_json o = ordered_json::object();
    put(o, "ok", v.ok);
    return o;
}

ordered_json toJson(const PeopleResponse &v)
{
    ordered_json o = ordered_json::object();
    put(o, "people", v.people);
    return o;
}

ordered_json toJson(const MailboxResponse &v)
{
    ordered_json o = ordered_json::object();
    put(o, "ok", v.ok);
    put(o, "mailbox", v.mailbox);
    return o;
}

ordered_json toJson(const ConversationMutationResponse &v)
{
    ordered_json o = ordered_json::object();
    put(o, "ok", v.ok);
    put(o, "conversationId", v.conversationId);
    put(o, "messageId", v.messageId);
    put(o, "status", v.status);
    return o;
}

ordered_json toJson(const AiStartResponse &v)
{
    ordered_json o = ordered_json::object();
    put(o, "ok", v.ok);
    put(o, "jobId", v.jobId);
    put(o, "conversation", v.conversation);
    return o;
}

ordered_json toJson(const AiCompleteResponse &v)
{
    ordered_json o = ordered_json::object();
    put(o, "ok", v.ok);
    put(o, "conversation", v.conversation);
    return o;
}

ordered_json toJson(const APIErrorBody &v)
{
    ordered_json o = ordered_json::object();
    put(o, "error", v.error);
    put(o, "reason", v.reason);
    put(o, "message", v.message);
    return o;
}

QByteArray dumpJson(const ordered_json &j)
{
    // Text comes from QString::toUtf8, which never yields invalid UTF-8, so
    // strict error handling cannot fire; replace keeps it total regardless.
    const std::string text = j.dump(-1, ' ', false, ordered_json::error_handler_t::replace);
    return QByteArray(text.data(), qsizetype(text.size()));
}

} // namespace quarn
