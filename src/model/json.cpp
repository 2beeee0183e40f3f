#include "model/json.h"

#include <QVarLengthArray>

#include <simdjson.h>

#include <algorithm>
#include <charconv>
#include <iterator>
#include <limits>
#include <memory>
#include <new>

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

QString tooDeep()
{
    return QStringLiteral("JSON nested deeper than %1 levels").arg(kMaxJsonDepth);
}

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
            throw DecodeError(tooDeep());
    }

    std::size_t m_depth = 0;
};

// The typed decoders read either parser's tree through one small interface,
// so that both apply the same rules: simdjson's DOM for speed, and
// nlohmann::json for the few documents simdjson refuses where the strict
// rules need a finer answer (integers beyond 64 bits are a wrong type at a
// path there, not a malformed document).
enum class Kind { null, object, array, string, boolean, integer, unsignedInteger, floating, other };

const char *kindName(Kind kind)
{
    switch (kind) {
    case Kind::null:
        return "null";
    case Kind::object:
        return "object";
    case Kind::array:
        return "array";
    case Kind::string:
        return "string";
    case Kind::boolean:
        return "boolean";
    case Kind::integer:
    case Kind::unsignedInteger:
        return "integer";
    case Kind::floating:
        return "float";
    case Kind::other:
        break;
    }
    return "invalid value";
}

class NlohmannNode
{
public:
    NlohmannNode() = default;
    explicit NlohmannNode(const json &j)
        : m_json(&j)
    { }

    [[nodiscard]] Kind kind() const
    {
        switch (m_json->type()) {
        case json::value_t::null:
            return Kind::null;
        case json::value_t::object:
            return Kind::object;
        case json::value_t::array:
            return Kind::array;
        case json::value_t::string:
            return Kind::string;
        case json::value_t::boolean:
            return Kind::boolean;
        case json::value_t::number_integer:
            return Kind::integer;
        case json::value_t::number_unsigned:
            return Kind::unsignedInteger;
        case json::value_t::number_float:
            return Kind::floating;
        case json::value_t::binary:
        case json::value_t::discarded:
            break;
        }
        return Kind::other;
    }
    [[nodiscard]] std::string_view string() const { return m_json->get_ref<const std::string &>(); }
    [[nodiscard]] std::int64_t int64() const { return m_json->get<std::int64_t>(); }
    [[nodiscard]] std::uint64_t uint64() const { return m_json->get<std::uint64_t>(); }
    [[nodiscard]] bool boolean() const { return m_json->get<bool>(); }
    [[nodiscard]] std::size_t size() const { return m_json->size(); }
    template<typename F> void forEachMember(F &&f) const
    {
        for (auto it = m_json->begin(); it != m_json->end(); ++it)
            f(std::string_view(it.key()), NlohmannNode(*it));
    }
    template<typename F> void forEachElement(F &&f) const
    {
        for (const json &element : *m_json)
            f(NlohmannNode(element));
    }

private:
    const json *m_json = nullptr;
};

class SimdNode
{
public:
    SimdNode() = default;
    explicit SimdNode(simdjson::dom::element e)
        : m_element(e)
    { }

    [[nodiscard]] Kind kind() const
    {
        using T = simdjson::dom::element_type;
        switch (m_element.type()) {
        case T::NULL_VALUE:
            return Kind::null;
        case T::OBJECT:
            return Kind::object;
        case T::ARRAY:
            return Kind::array;
        case T::STRING:
            return Kind::string;
        case T::BOOL:
            return Kind::boolean;
        case T::INT64:
            return Kind::integer;
        case T::UINT64:
            return Kind::unsignedInteger;
        case T::DOUBLE:
            return Kind::floating;
        }
        return Kind::other;
    }
    // Callers have checked kind() first, so the accessors cannot fail.
    [[nodiscard]] std::string_view string() const { return get<std::string_view>(); }
    [[nodiscard]] std::int64_t int64() const { return get<std::int64_t>(); }
    [[nodiscard]] std::uint64_t uint64() const { return get<std::uint64_t>(); }
    [[nodiscard]] bool boolean() const { return get<bool>(); }
    [[nodiscard]] std::size_t size() const { return get<simdjson::dom::array>().size(); }
    template<typename F> void forEachMember(F &&f) const
    {
        for (const simdjson::dom::key_value_pair field : get<simdjson::dom::object>())
            f(field.key, SimdNode(field.value));
    }
    template<typename F> void forEachElement(F &&f) const
    {
        for (const simdjson::dom::element element : get<simdjson::dom::array>())
            f(SimdNode(element));
    }

private:
    template<typename T> [[nodiscard]] T get() const
    {
        T value {};
        if (m_element.get(value) != simdjson::SUCCESS)
            return T {};
        return value;
    }

    simdjson::dom::element m_element;
};

template<typename N> [[noreturn]] void throwWrongType(const char *expected, const N &node)
{
    throw DecodeError(
        QStringLiteral("expected %1, found %2").arg(QLatin1String(expected), QLatin1String(kindName(node.kind()))));
}

template<typename N> void expectObject(const N &node)
{
    if (node.kind() != Kind::object)
        throwWrongType("object", node);
}

QString fromUtf8(std::string_view s)
{
    return QString::fromUtf8(s.data(), qsizetype(s.size()));
}

/// The members of one object, looked up by key. A key given twice means its
/// last value, as a DOM that keeps one value per key would have it.
template<typename N> class Members
{
public:
    explicit Members(const N &node)
    {
        expectObject(node);
        node.forEachMember([this](std::string_view key, N value) { m_members.append({ key, value }); });
    }

    [[nodiscard]] const N *find(std::string_view key) const
    {
        for (qsizetype i = m_members.size(); i-- > 0;) {
            if (m_members[i].first == key)
                return &m_members[i].second;
        }
        return nullptr;
    }

private:
    QVarLengthArray<std::pair<std::string_view, N>, 24> m_members;
};

// Leaves.

template<typename N> void decodeNode(const N &node, QString &out)
{
    if (node.kind() != Kind::string)
        throwWrongType("string", node);
    out = fromUtf8(node.string());
}

template<typename N> void decodeNode(const N &node, qint64 &out)
{
    // Non-negative integers beyond the signed range arrive as unsigned;
    // numbers with a fraction or exponent, or beyond 64 bits, are floats.
    switch (node.kind()) {
    case Kind::integer:
        out = node.int64();
        return;
    case Kind::unsignedInteger: {
        const std::uint64_t u = node.uint64();
        if (u > std::uint64_t(std::numeric_limits<qint64>::max()))
            throw DecodeError(QStringLiteral("integer outside the signed 64-bit range"));
        out = qint64(u);
        return;
    }
    default:
        throwWrongType("integer", node);
    }
}

template<typename N> void decodeNode(const N &node, bool &out)
{
    if (node.kind() != Kind::boolean)
        throwWrongType("boolean", node);
    out = node.boolean();
}

template<typename N, RawEnum E> void decodeNode(const N &node, E &out)
{
    if (node.kind() != Kind::string)
        throwWrongType("string", node);
    const std::string_view raw = node.string();
    const auto value = fromRawValue<E>(raw);
    if (!value)
        throw DecodeError(QStringLiteral("unknown value \"%1\"").arg(fromUtf8(raw)));
    out = *value;
}

template<typename N> void decodeNode(const N &node, QMap<QString, qint64> &out)
{
    expectObject(node);
    out.clear();
    node.forEachMember([&out](std::string_view key, const N &value) {
        qint64 n = 0;
        try {
            decodeNode(value, n);
        } catch (DecodeError &e) {
            e.prependKey(key);
            throw;
        }
        out.insert(fromUtf8(key), n);
    });
}

// Every record's decoder, declared before the list and field helpers use them.
#define QUARN_DECLARE_DECODER(Record) template<typename N> void decodeNode(const N &node, Record &out);
QUARN_DECLARE_DECODER(Mailbox)
QUARN_DECLARE_DECODER(Viewer)
QUARN_DECLARE_DECODER(ConversationListItem)
QUARN_DECLARE_DECODER(MessageRecipientView)
QUARN_DECLARE_DECODER(MessageView)
QUARN_DECLARE_DECODER(ConversationDetail)
QUARN_DECLARE_DECODER(MailState)
QUARN_DECLARE_DECODER(PersonSummary)
QUARN_DECLARE_DECODER(PersonTimelineMessage)
QUARN_DECLARE_DECODER(PersonTimeline)
QUARN_DECLARE_DECODER(AIChatMessage)
QUARN_DECLARE_DECODER(AIConversation)
QUARN_DECLARE_DECODER(AiInsight)
QUARN_DECLARE_DECODER(SubjectSuggestion)
QUARN_DECLARE_DECODER(OkResponse)
QUARN_DECLARE_DECODER(PeopleResponse)
QUARN_DECLARE_DECODER(MailboxResponse)
QUARN_DECLARE_DECODER(ConversationMutationResponse)
QUARN_DECLARE_DECODER(AiStartResponse)
QUARN_DECLARE_DECODER(AiCompleteResponse)
QUARN_DECLARE_DECODER(APIErrorBody)
#undef QUARN_DECLARE_DECODER

template<typename N, typename T> void decodeNode(const N &node, QList<T> &out)
{
    if (node.kind() != Kind::array)
        throwWrongType("array", node);
    out.clear();
    out.reserve(qsizetype(node.size()));
    qsizetype index = 0;
    node.forEachElement([&](const N &element) {
        try {
            decodeNode(element, out.emplace_back());
        } catch (DecodeError &e) {
            e.prependIndex(index);
            throw;
        }
        ++index;
    });
}

template<typename N, typename T> void required(const Members<N> &members, std::string_view key, T &out)
{
    const N *value = members.find(key);
    if (!value) {
        DecodeError e(QStringLiteral("missing required key"));
        e.prependKey(key);
        throw e;
    }
    try {
        if (value->kind() == Kind::null)
            throw DecodeError(QStringLiteral("null in a required field"));
        decodeNode(*value, out);
    } catch (DecodeError &e) {
        e.prependKey(key);
        throw;
    }
}

// Absent and null both mean none.
template<typename N, typename T> void optional(const Members<N> &members, std::string_view key, std::optional<T> &out)
{
    const N *value = members.find(key);
    if (!value || value->kind() == Kind::null) {
        out.reset();
        return;
    }
    try {
        decodeNode(*value, out.emplace());
    } catch (DecodeError &e) {
        e.prependKey(key);
        throw;
    }
}

// Records.

template<typename N> void decodeNode(const N &node, Mailbox &out)
{
    const Members<N> m(node);
    required(m, "address", out.address);
    required(m, "displayName", out.displayName);
}

template<typename N> void decodeNode(const N &node, Viewer &out)
{
    const Members<N> m(node);
    required(m, "id", out.id);
    required(m, "name", out.name);
    required(m, "email", out.email);
}

// ConversationListItem and ConversationDetail share their first fourteen fields.
template<typename N, typename R> void decodeConversationFields(const Members<N> &m, R &out)
{
    required(m, "id", out.id);
    required(m, "subject", out.subject);
    required(m, "status", out.status);
    required(m, "transport", out.transport);
    required(m, "participantName", out.participantName);
    required(m, "participantAddress", out.participantAddress);
    required(m, "preview", out.preview);
    required(m, "lastMessageAt", out.lastMessageAt);
    required(m, "unread", out.unread);
    optional(m, "aiSummary", out.aiSummary);
    optional(m, "aiRequest", out.aiRequest);
    optional(m, "aiDeadline", out.aiDeadline);
    optional(m, "aiDraft", out.aiDraft);
    optional(m, "aiRisk", out.aiRisk);
}

template<typename N> void decodeNode(const N &node, ConversationListItem &out)
{
    decodeConversationFields(Members<N>(node), out);
}

template<typename N> void decodeNode(const N &node, MessageRecipientView &out)
{
    const Members<N> m(node);
    required(m, "email", out.email);
    required(m, "displayName", out.displayName);
    required(m, "role", out.role);
}

template<typename N> void decodeNode(const N &node, MessageView &out)
{
    const Members<N> m(node);
    required(m, "id", out.id);
    optional(m, "senderUserId", out.senderUserId);
    required(m, "senderEmail", out.senderEmail);
    required(m, "senderName", out.senderName);
    required(m, "channel", out.channel);
    required(m, "bodyText", out.bodyText);
    required(m, "deliveryStatus", out.deliveryStatus);
    required(m, "createdAt", out.createdAt);
    optional(m, "scheduledFor", out.scheduledFor);
    required(m, "recipients", out.recipients);
}

template<typename N> void decodeNode(const N &node, ConversationDetail &out)
{
    const Members<N> m(node);
    decodeConversationFields(m, out);
    required(m, "messages", out.messages);
}

template<typename N> void decodeNode(const N &node, MailState &out)
{
    const Members<N> m(node);
    optional(m, "mailbox", out.mailbox);
    required(m, "viewer", out.viewer);
    required(m, "status", out.status);
    required(m, "counts", out.counts);
    required(m, "conversations", out.conversations);
}

template<typename N> void decodeNode(const N &node, PersonSummary &out)
{
    const Members<N> m(node);
    required(m, "email", out.email);
    required(m, "displayName", out.displayName);
    required(m, "conversationCount", out.conversationCount);
    required(m, "messageCount", out.messageCount);
    required(m, "lastMessageAt", out.lastMessageAt);
    required(m, "needsYouCount", out.needsYouCount);
    required(m, "waitingCount", out.waitingCount);
}

template<typename N> void decodeNode(const N &node, PersonTimelineMessage &out)
{
    const Members<N> m(node);
    required(m, "id", out.id);
    required(m, "conversationId", out.conversationId);
    required(m, "subject", out.subject);
    required(m, "conversationStatus", out.conversationStatus);
    optional(m, "senderUserId", out.senderUserId);
    required(m, "senderEmail", out.senderEmail);
    required(m, "senderName", out.senderName);
    required(m, "channel", out.channel);
    required(m, "bodyText", out.bodyText);
    required(m, "deliveryStatus", out.deliveryStatus);
    required(m, "createdAt", out.createdAt);
    optional(m, "scheduledFor", out.scheduledFor);
    required(m, "recipients", out.recipients);
}

template<typename N> void decodeNode(const N &node, PersonTimeline &out)
{
    const Members<N> m(node);
    required(m, "person", out.person);
    required(m, "messages", out.messages);
    required(m, "hasMore", out.hasMore);
    optional(m, "nextBefore", out.nextBefore);
}

template<typename N> void decodeNode(const N &node, AIChatMessage &out)
{
    const Members<N> m(node);
    required(m, "id", out.id);
    required(m, "role", out.role);
    required(m, "content", out.content);
    required(m, "createdAt", out.createdAt);
}

template<typename N> void decodeNode(const N &node, AIConversation &out)
{
    const Members<N> m(node);
    required(m, "id", out.id);
    required(m, "title", out.title);
    required(m, "messages", out.messages);
    required(m, "createdAt", out.createdAt);
    required(m, "updatedAt", out.updatedAt);
}

template<typename N> void decodeNode(const N &node, AiInsight &out)
{
    const Members<N> m(node);
    required(m, "summary", out.summary);
    optional(m, "request", out.request);
    optional(m, "deadline", out.deadline);
    required(m, "suggestedStatus", out.suggestedStatus);
    optional(m, "draft", out.draft);
    required(m, "risk", out.risk);
}

template<typename N> void decodeNode(const N &node, SubjectSuggestion &out)
{
    const Members<N> m(node);
    required(m, "subject", out.subject);
}

template<typename N> void decodeNode(const N &node, OkResponse &out)
{
    const Members<N> m(node);
    required(m, "ok", out.ok);
}

template<typename N> void decodeNode(const N &node, PeopleResponse &out)
{
    const Members<N> m(node);
    required(m, "people", out.people);
}

template<typename N> void decodeNode(const N &node, MailboxResponse &out)
{
    const Members<N> m(node);
    required(m, "ok", out.ok);
    required(m, "mailbox", out.mailbox);
}

template<typename N> void decodeNode(const N &node, ConversationMutationResponse &out)
{
    const Members<N> m(node);
    required(m, "ok", out.ok);
    optional(m, "conversationId", out.conversationId);
    optional(m, "messageId", out.messageId);
    optional(m, "status", out.status);
}

template<typename N> void decodeNode(const N &node, AiStartResponse &out)
{
    const Members<N> m(node);
    required(m, "ok", out.ok);
    required(m, "jobId", out.jobId);
    required(m, "conversation", out.conversation);
}

template<typename N> void decodeNode(const N &node, AiCompleteResponse &out)
{
    const Members<N> m(node);
    required(m, "ok", out.ok);
    required(m, "conversation", out.conversation);
}

template<typename N> void decodeNode(const N &node, APIErrorBody &out)
{
    const Members<N> m(node);
    optional(m, "error", out.error);
    optional(m, "reason", out.reason);
    optional(m, "message", out.message);
}

} // namespace

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

namespace {

constexpr std::size_t kKeptParserCapacity = 64 << 20;

std::unique_ptr<simdjson::dom::parser> &keptParser()
{
    thread_local std::unique_ptr<simdjson::dom::parser> parser;
    return parser;
}

} // namespace

namespace detail {

template<typename T> void decodeDocument(QByteArrayView bytes, T &out)
{
    // A byte order mark is skipped, as nlohmann::json's reader does.
    if (bytes.startsWith("\xEF\xBB\xBF"))
        bytes = bytes.sliced(3);
    // Each thread keeps its parser: allocating the parser's buffers anew for
    // every large answer costs more than parsing it. A parser grown beyond
    // kKeptParserCapacity by an unusually large document is not kept.
    std::unique_ptr<simdjson::dom::parser> &kept = keptParser();
    std::unique_ptr<simdjson::dom::parser> parser = std::move(kept);
    if (!parser)
        parser = std::make_unique<simdjson::dom::parser>();
    const std::size_t size = std::size_t(bytes.size());
    simdjson::error_code error = simdjson::SUCCESS;
    if (parser->capacity() < size || parser->max_depth() != kMaxJsonDepth)
        error = parser->allocate(std::max<std::size_t>(size, 64), kMaxJsonDepth);
    simdjson::dom::element root;
    // An empty view may have no data at all; the parser copies from its
    // pointer even for no bytes, so it is given a real, empty one.
    static constexpr char kNoBytes[1] = {};
    if (!error)
        error = parser->parse(size == 0 ? kNoBytes : bytes.data(), size).get(root);
    struct KeepParser
    {
        std::unique_ptr<simdjson::dom::parser> &parser;
        std::unique_ptr<simdjson::dom::parser> &kept;
        ~KeepParser()
        {
            if (parser->capacity() <= kKeptParserCapacity)
                kept = std::move(parser);
        }
    } keepParser { parser, kept };
    switch (error) {
    case simdjson::SUCCESS:
        decodeNode(SimdNode(root), out);
        return;
    case simdjson::NUMBER_ERROR:
    case simdjson::NUMBER_OUT_OF_RANGE:
        // simdjson refuses integers beyond 64 bits and numbers beyond the
        // range of a double; nlohmann::json reads the first as floats (a
        // wrong type where an integer belongs) and refuses the second.
        decodeNode(NlohmannNode(parseJson(bytes)), out);
        return;
    case simdjson::DEPTH_ERROR:
        throw DecodeError(tooDeep());
    case simdjson::MEMALLOC:
        throw std::bad_alloc();
    default:
        throw DecodeError(QStringLiteral("malformed JSON: ") + QString::fromUtf8(simdjson::error_message(error)));
    }
}

#define QUARN_INSTANTIATE(Record) template void decodeDocument<Record>(QByteArrayView, Record &);
QUARN_INSTANTIATE(Mailbox)
QUARN_INSTANTIATE(Viewer)
QUARN_INSTANTIATE(ConversationListItem)
QUARN_INSTANTIATE(MessageRecipientView)
QUARN_INSTANTIATE(MessageView)
QUARN_INSTANTIATE(ConversationDetail)
QUARN_INSTANTIATE(MailState)
QUARN_INSTANTIATE(PersonSummary)
QUARN_INSTANTIATE(PersonTimelineMessage)
QUARN_INSTANTIATE(PersonTimeline)
QUARN_INSTANTIATE(AIChatMessage)
QUARN_INSTANTIATE(AIConversation)
QUARN_INSTANTIATE(QList<AIConversation>)
QUARN_INSTANTIATE(AiInsight)
QUARN_INSTANTIATE(SubjectSuggestion)
QUARN_INSTANTIATE(OkResponse)
QUARN_INSTANTIATE(PeopleResponse)
QUARN_INSTANTIATE(MailboxResponse)
QUARN_INSTANTIATE(ConversationMutationResponse)
QUARN_INSTANTIATE(AiStartResponse)
QUARN_INSTANTIATE(AiCompleteResponse)
QUARN_INSTANTIATE(APIErrorBody)
#undef QUARN_INSTANTIATE

} // namespace detail

// ---- encoding ----

namespace {

template<typename T> void put(ordered_json &obj, const char *key, const T &value)
{
    obj[key] = toJson(value);
}

template<typename T> void put(ordered_json &obj, const char *key, const std::optional<T> &value)
{
    if (value)
        obj[key] = toJson(*value);
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

namespace {

// The AI conversation file is the one large document the client writes, and
// building a nlohmann tree of it first costs several times the writing
// itself; these write the same compact text (the same escapes, non-ASCII as
// UTF-8) straight into the output.
constexpr char kHex[] = "0123456789abcdef";

// The escape of an ASCII character that JSON text cannot hold as it is.
char *writeEscape(char *p, unsigned char c)
{
    *p++ = '\\';
    switch (c) {
    case '"':
        *p++ = '"';
        break;
    case '\\':
        *p++ = '\\';
        break;
    case '\b':
        *p++ = 'b';
        break;
    case '\t':
        *p++ = 't';
        break;
    case '\n':
        *p++ = 'n';
        break;
    case '\f':
        *p++ = 'f';
        break;
    case '\r':
        *p++ = 'r';
        break;
    default:
        *p++ = 'u';
        *p++ = '0';
        *p++ = '0';
        *p++ = kHex[c >> 4];
        *p++ = kHex[c & 0xF];
    }
    return p;
}

bool needsEscape(unsigned char c)
{
    return c < 0x20 || c == '"' || c == '\\';
}

// Through QString::toUtf8, for the rare text with a lone surrogate, so that
// it is replaced exactly as everywhere else.
void writeConvertedString(QByteArray &out, const QString &s)
{
    const QByteArray utf8 = s.toUtf8();
    out.append('"');
    const char *run = utf8.constData();
    const char *const end = run + utf8.size();
    for (const char *p = run; p != end; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if (!needsEscape(c))
            continue;
        out.append(run, p - run);
        run = p + 1;
        char escape[6];
        out.append(escape, writeEscape(escape, c) - escape);
    }
    out.append(run, end - run);
    out.append('"');
}

void writeString(QByteArray &out, const QString &s)
{
    // UTF-16 to UTF-8 and escaping in one pass, straight into the output:
    // at most six bytes per UTF-16 unit (an escape), and the quotes.
    const qsizetype start = out.size();
    out.resize(start + 2 + s.size() * 6);
    char *p = out.data() + start;
    *p++ = '"';
    const auto *u = reinterpret_cast<const char16_t *>(s.constData());
    const char16_t *const end = u + s.size();
    while (u != end) {
        const char16_t c = *u++;
        if (c < 0x80) {
            if (needsEscape(static_cast<unsigned char>(c)))
                p = writeEscape(p, static_cast<unsigned char>(c));
            else
                *p++ = char(c);
        } else if (c < 0x800) {
            *p++ = char(0xC0 | (c >> 6));
            *p++ = char(0x80 | (c & 0x3F));
        } else if (!QChar::isSurrogate(c)) {
            *p++ = char(0xE0 | (c >> 12));
            *p++ = char(0x80 | ((c >> 6) & 0x3F));
            *p++ = char(0x80 | (c & 0x3F));
        } else if (QChar::isHighSurrogate(c) && u != end && QChar::isLowSurrogate(*u)) {
            const char32_t code = QChar::surrogateToUcs4(c, *u++);
            *p++ = char(0xF0 | (code >> 18));
            *p++ = char(0x80 | ((code >> 12) & 0x3F));
            *p++ = char(0x80 | ((code >> 6) & 0x3F));
            *p++ = char(0x80 | (code & 0x3F));
        } else {
            out.resize(start);
            writeConvertedString(out, s);
            return;
        }
    }
    *p++ = '"';
    out.resize(p - out.constData());
}

void writeInteger(QByteArray &out, qint64 v)
{
    char digits[24];
    const auto result = std::to_chars(std::begin(digits), std::end(digits), v);
    out.append(digits, result.ptr - digits);
}

void writeMessage(QByteArray &out, const AIChatMessage &m)
{
    out.append("{\"id\":");
    writeString(out, m.id);
    out.append(",\"role\":\"");
    out.append(rawValueUtf8(m.role));
    out.append("\",\"content\":");
    writeString(out, m.content);
    out.append(",\"createdAt\":");
    writeInteger(out, m.createdAt);
    out.append('}');
}

void writeConversation(QByteArray &out, const AIConversation &c)
{
    out.append("{\"id\":");
    writeString(out, c.id);
    out.append(",\"title\":");
    writeString(out, c.title);
    out.append(",\"messages\":[");
    for (qsizetype i = 0; i < c.messages.size(); ++i) {
        if (i > 0)
            out.append(',');
        writeMessage(out, c.messages.at(i));
    }
    out.append("],\"createdAt\":");
    writeInteger(out, c.createdAt);
    out.append(",\"updatedAt\":");
    writeInteger(out, c.updatedAt);
    out.append('}');
}

} // namespace

QByteArray encodeJson(const AIChatMessage &value)
{
    QByteArray out;
    writeMessage(out, value);
    return out;
}

QByteArray encodeJson(const AIConversation &value)
{
    QByteArray out;
    writeConversation(out, value);
    return out;
}

QByteArray encodeJson(const QList<AIConversation> &value)
{
    // Text is mostly its UTF-8 size plus the keys; reserving a guess saves
    // most of the regrowth of a large file.
    qsizetype estimate = 2;
    for (const AIConversation &c : value) {
        estimate += 96 + c.title.size() * 3;
        for (const AIChatMessage &m : c.messages)
            estimate += 80 + m.id.size() + m.content.size() * 3;
    }
    QByteArray out;
    out.reserve(estimate);
    out.append('[');
    for (qsizetype i = 0; i < value.size(); ++i) {
        if (i > 0)
            out.append(',');
        writeConversation(out, value.at(i));
    }
    out.append(']');
    return out;
}

QByteArray dumpJson(const ordered_json &j)
{
    // Text comes from QString::toUtf8, which never yields invalid UTF-8, so
    // strict error handling cannot fire; replace keeps it total regardless.
    const std::string text = j.dump(-1, ' ', false, ordered_json::error_handler_t::replace);
    return QByteArray(text.data(), qsizetype(text.size()));
}

} // namespace quarn
