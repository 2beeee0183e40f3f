#pragma once

#include "core/error.h"
#include "model/enums.h"
#include "model/records.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QMap>
#include <QString>

#include <nlohmann/json.hpp>

#include <optional>
#include <string_view>

/// Strict JSON forms of the records. Decoding accepts a document only when
/// every required key is present, non-null and of its JSON type, every time
/// and count is a JSON integer that fits in 64 signed bits (never a float or a
/// string of digits) and every enumeration text is one of its raw values.
/// Anything else fails the whole document with one DecodeError; there are no
/// partial results or defaults. Unknown keys are ignored. Encoding writes the
/// fields in declaration order and leaves out optionals that hold none.
namespace quarn {

/// The one failure of decoding: malformed or truncated JSON, invalid UTF-8,
/// nesting beyond kMaxJsonDepth, or a document that does not fit the record.
class DecodeError : public Error
{
public:
    explicit DecodeError(QString reason);

    /// "<path>: <reason>", e.g. "conversations[3].status: unknown value \"Inbox\"".
    [[nodiscard]] QString description() const override;
    /// Where in the document it failed ("" for the document itself).
    [[nodiscard]] QString path() const { return m_path; }
    [[nodiscard]] QString reason() const { return m_reason; }

    void prependKey(std::string_view key);
    void prependIndex(qsizetype index);

private:
    QString m_path;
    QString m_reason;
};

/// A value that has no JSON form (for example an invalid date), raised
/// before anything is written or sent.
class EncodeError : public Error
{
public:
    explicit EncodeError(QString reason)
        : m_reason(std::move(reason))
    { }
    [[nodiscard]] QString description() const override { return m_reason; }

private:
    QString m_reason;
};

/// No document this client reads nests deeper than a handful of levels; the
/// limit keeps hostile input from costing unbounded memory or stack.
inline constexpr std::size_t kMaxJsonDepth = 128;

/// Parses bytes as one JSON document (UTF-8, nothing after it) into a
/// nlohmann::json tree. Throws DecodeError.
[[nodiscard]] nlohmann::json parseJson(QByteArrayView bytes);

namespace detail {
/// Parses `bytes` and decodes them into `out`; defined for every record and
/// for QList<AIConversation>.
template<typename T> void decodeDocument(QByteArrayView bytes, T &out);
} // namespace detail

/// Parses `bytes` and decodes them as T. Throws DecodeError and nothing else
/// for any input.
template<typename T> [[nodiscard]] T decodeJson(QByteArrayView bytes)
{
    T out {};
    detail::decodeDocument(bytes, out);
    return out;
}

// Encoders. Keys follow declaration order; optionals that hold none are left out.
[[nodiscard]] nlohmann::ordered_json toJson(const QString &v);
[[nodiscard]] nlohmann::ordered_json toJson(qint64 v);
[[nodiscard]] nlohmann::ordered_json toJson(bool v);
[[nodiscard]] nlohmann::ordered_json toJson(const QMap<QString, qint64> &v);
[[nodiscard]] nlohmann::ordered_json toJson(const Mailbox &v);
[[nodiscard]] nlohmann::ordered_json toJson(const Viewer &v);
[[nodiscard]] nlohmann::ordered_json toJson(const ConversationListItem &v);
[[nodiscard]] nlohmann::ordered_json toJson(const MessageRecipientView &v);
[[nodiscard]] nlohmann::ordered_json toJson(const MessageView &v);
[[nodiscard]] nlohmann::ordered_json toJson(const ConversationDetail &v);
[[nodiscard]] nlohmann::ordered_json toJson(const MailState &v);
[[nodiscard]] nlohmann::ordered_json toJson(const PersonSummary &v);
[[nodiscard]] nlohmann::ordered_json toJson(const PersonTimelineMessage &v);
[[nodiscard]] nlohmann::ordered_json toJson(const PersonTimeline &v);
[[nodiscard]] nlohmann::ordered_json toJson(const AIChatMessage &v);
[[nodiscard]] nlohmann::ordered_json toJson(const AIConversation &v);
[[nodiscard]] nlohmann::ordered_json toJson(const AiInsight &v);
[[nodiscard]] nlohmann::ordered_json toJson(const SubjectSuggestion &v);
[[nodiscard]] nlohmann::ordered_json toJson(const OkResponse &v);
[[nodiscard]] nlohmann::ordered_json toJson(const PeopleResponse &v);
[[nodiscard]] nlohmann::ordered_json toJson(const MailboxResponse &v);
[[nodiscard]] nlohmann::ordered_json toJson(const ConversationMutationResponse &v);
[[nodiscard]] nlohmann::ordered_json toJson(const AiStartResponse &v);
[[nodiscard]] nlohmann::ordered_json toJson(const AiCompleteResponse &v);
[[nodiscard]] nlohmann::ordered_json toJson(const APIErrorBody &v);

template<RawEnum E> [[nodiscard]] nlohmann::ordered_json toJson(E v)
{
    return std::string(rawValueUtf8(v));
}

template<typename T> [[nodiscard]] nlohmann::ordered_json toJson(const QList<T> &list)
{
    auto out = nlohmann::ordered_json::array();
    for (const auto &element : list)
        out.push_back(toJson(element));
    return out;
}

/// The compact UTF-8 text of a JSON value.
[[nodiscard]] QByteArray dumpJson(const nlohmann::ordered_json &j);

/// The compact JSON document of a record (or list of records).
template<typename T> [[nodiscard]] QByteArray encodeJson(const T &value)
{
    return dumpJson(toJson(value));
}

/// The same documents as encodeJson above, written directly: the AI
/// conversation file is large and rewritten after every change.
[[nodiscard]] QByteArray encodeJson(const AIChatMessage &value);
[[nodiscard]] QByteArray encodeJson(const AIConversation &value);
[[nodiscard]] QByteArray encodeJson(const QList<AIConversation> &value);

/// QString as UTF-8 std::string, the text type of nlohmann::json.
[[nodiscard]] std::string toStdUtf8(const QString &s);

} // namespace quarn
