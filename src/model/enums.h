#pragma once

#include <QHashFunctions>
#include <QList>
#include <QString>
#include <QStringView>

#include <array>
#include <optional>
#include <string_view>
#include <utility>

namespace quarn {

/// The work state of a conversation. The order of the cases is the order of
/// `allCases<ConversationStatus>()` and of the status lists on screen.
enum class ConversationStatus { needsYou, aiWorking, waiting, scheduled, inbox, done };

/// By which channel(s) a conversation runs.
enum class ConversationTransport { email, chat, mixed, ai };

/// The main window's lens. It has raw values but never appears in a JSON document.
enum class MailLens { work, people, ai };

/// What a conversation is handed to Orro as. Never appears in a JSON document.
enum class OrroActionKind { task, event };

/// Author of a private AI chat message (`AIChatMessage::Role`).
enum class AIChatRole { user, assistant };

/// Raw text values of an enumeration, in case order. Decoding accepts exactly
/// these texts (case-sensitive); encoding writes them.
template<typename E> struct EnumTraits;

template<> struct EnumTraits<ConversationStatus>
{
    static constexpr std::array<std::pair<ConversationStatus, std::string_view>, 6> values { {
        { ConversationStatus::needsYou, "needs_you" },
        { ConversationStatus::aiWorking, "ai_working" },
        { ConversationStatus::waiting, "waiting" },
        { ConversationStatus::scheduled, "scheduled" },
        { ConversationStatus::inbox, "inbox" },
        { ConversationStatus::done, "done" },
    } };
};

template<> struct EnumTraits<ConversationTransport>
{
    static constexpr std::array<std::pair<ConversationTransport, std::string_view>, 4> values { {
        { ConversationTransport::email, "email" },
        { ConversationTransport::chat, "chat" },
        { ConversationTransport::mixed, "mixed" },
        { ConversationTransport::ai, "ai" },
    } };
};

template<> struct EnumTraits<MailLens>
{
    static constexpr std::array<std::pair<MailLens, std::string_view>, 3> values { {
        { MailLens::work, "work" },
        { MailLens::people, "people" },
        { MailLens::ai, "ai" },
    } };
};

template<> struct EnumTraits<OrroActionKind>
{
    static constexpr std::array<std::pair<OrroActionKind, std::string_view>, 2> values { {
        { OrroActionKind::task, "task" },
        { OrroActionKind::event, "event" },
    } };
};

template<> struct EnumTraits<AIChatRole>
{
    static constexpr std::array<std::pair<AIChatRole, std::string_view>, 2> values { {
        { AIChatRole::user, "user" },
        { AIChatRole::assistant, "assistant" },
    } };
};

template<typename E>
concept RawEnum = requires
{
    EnumTraits<E>::values;
};

/// The raw value as UTF-8 (all raw values are ASCII).
template<RawEnum E> [[nodiscard]] constexpr std::string_view rawValueUtf8(E value)
{
    for (const auto &[e, raw] : EnumTraits<E>::values) {
        if (e == value)
            return raw;
    }
    return {};
}

/// The raw value, which is also the identity of `ConversationStatus` and
/// `OrroActionKind` in lists and menus.
template<RawEnum E> [[nodiscard]] QString rawValue(E value)
{
    const std::string_view raw = rawValueUtf8(value);
    return QString::fromLatin1(raw.data(), qsizetype(raw.size()));
}

/// The case whose raw value is exactly `raw`, or none.
template<RawEnum E> [[nodiscard]] constexpr std::optional<E> fromRawValue(std::string_view raw)
{
    for (const auto &[e, text] : EnumTraits<E>::values) {
        if (text == raw)
            return e;
    }
    return std::nullopt;
}

template<RawEnum E> [[nodiscard]] std::optional<E> fromRawValue(QStringView raw)
{
    for (const auto &[e, text] : EnumTraits<E>::values) {
        if (raw == QLatin1String(text.data(), qsizetype(text.size())))
            return e;
    }
    return std::nullopt;
}

/// Every case, in declaration order.
template<RawEnum E> [[nodiscard]] QList<E> allCases()
{
    QList<E> out;
    out.reserve(qsizetype(EnumTraits<E>::values.size()));
    for (const auto &entry : EnumTraits<E>::values)
        out.append(entry.first);
    return out;
}

/// Whether the user may move a conversation to this status: the service alone
/// sets `aiWorking` and `scheduled`.
[[nodiscard]] constexpr bool isUserSelectable(ConversationStatus status)
{
    return status != ConversationStatus::aiWorking && status != ConversationStatus::scheduled;
}

template<RawEnum E> [[nodiscard]] size_t qHash(E value, size_t seed = 0) noexcept
{
    return ::qHash(static_cast<int>(value), seed);
}

} // namespace quarn
