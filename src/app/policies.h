#pragma once

#include "model/records.h"

#include <QHash>
#include <QString>
#include <QStringList>

#include <optional>

/// The small rules that the model and the screens share about text, addresses
/// and lists. Each namespace is a set of pure functions: no state, no I/O,
/// callable from any thread. "Characters" are user-perceived characters and
/// "white space" is the Unicode set of quarn::text (line breaks included).
namespace quarn {

/// The one-line subject made from a message body when the user gave none.
namespace SubjectPolicy {

/// Subjects never exceed this many characters, the ellipsis included.
inline constexpr qsizetype kMaxLength = 60;

/// The first non-blank line of `body`, trimmed, with every run of white
/// space collapsed to one blank, cut to 59 characters plus "…" when longer
/// than 60; "メッセージ" when the body has no visible line.
[[nodiscard]] QString fallback(const QString &body);

} // namespace SubjectPolicy

/// Whether a composed message may be sent, and with which subject.
namespace ComposeSendPolicy {

/// True when there is at least one recipient, no invalid recipient text and
/// a body that is not blank. The subject plays no part.
[[nodiscard]] bool canSend(const QStringList &recipients, const QStringList &invalidRecipients, const QString &body);

/// The trimmed subject, or the body's fallback subject when that is empty.
[[nodiscard]] QString resolvedSubject(const QString &subject, const QString &body);

} // namespace ComposeSendPolicy

/// Which conversations the automatic triage pass may pick.
namespace AutoTriagePolicy {

/// The ids, in list order, of the inbox conversations (with or without an AI
/// summary) and the waiting ones without a summary, leaving out those whose
/// back-off time in `retryAfter` (milliseconds since the epoch) lies after
/// `now`. An entry equal to `now` has expired.
[[nodiscard]] QStringList eligibleConversationIDs(
    const QList<ConversationListItem> &conversations, const QHash<QString, qint64> &retryAfter, qint64 now);

} // namespace AutoTriagePolicy

/// Whether a message of a person's timeline was exchanged one-to-one.
namespace PersonTimelinePolicy {

/// True when, leaving the owner aside, the sender and all recipients are the
/// person and nobody else (addresses compared case-insensitively). A message
/// the owner sent only to himself is not direct.
[[nodiscard]] bool isDirect(
    const PersonTimelineMessage &message, const QString &ownerAddress, const QString &personAddress);

/// Whether older messages can be asked for: the service says there are more
/// and gave the cursor to ask with (without it there is nothing to send).
[[nodiscard]] bool canLoadOlder(const PersonTimeline &timeline);

} // namespace PersonTimelinePolicy

/// Splits what the user typed into the recipient field.
namespace RecipientParser {

/// Fragments longer than this many characters are not addresses.
inline constexpr qsizetype kMaxAddressLength = 320;

/// The distinct valid addresses, lower-cased, in order of first appearance.
[[nodiscard]] QStringList addresses(const QString &text);

/// The fragments that are not valid addresses, as written, duplicates kept.
[[nodiscard]] QStringList invalidFragments(const QString &text);

/// Whether `c` separates recipients: white space, ",", ";" or "、".
[[nodiscard]] bool isSeparator(char32_t c);

} // namespace RecipientParser

/// The label a message card shows for the service's delivery status.
namespace DeliveryPresentation {

/// "配送中", "配送済み", "送信失敗" or "予約済み"; empty text for a status the
/// client does not know (the card then shows no label).
[[nodiscard]] QString label(const QString &status);

} // namespace DeliveryPresentation

/// Links of the form quarn-mail://conversation/<id>.
namespace MailDeepLink {

/// The conversation id a link names, or nothing. Scheme and host are
/// compared exactly as written, which is why this takes the URL's text: a
/// parsed QUrl has already lower-cased both.
[[nodiscard]] std::optional<QString> conversationID(const QString &url);

} // namespace MailDeepLink

/// Addresses found in message bodies, which the user may open.
namespace BodyLinkPolicy {

/// An http(s) address with a host, or a mailto: address with a recipient;
/// nothing else is opened from mail (no file:, no custom schemes).
[[nodiscard]] bool isOpenable(const QString &link);

} // namespace BodyLinkPolicy

} // namespace quarn
