#include "app/policies.h"

#include "core/text.h"

#include <QRegularExpression>
#include <QUrl>

using namespace Qt::StringLiterals;

namespace quarn {

namespace {

bool isLineBreak(char16_t c)
{
    switch (c) {
    case u'\n':
    case u'\v':
    case u'\f':
    case u'\r':
    case u'\u0085':
    case u'\u2028':
    case u'\u2029':
        return true;
    default:
        return false;
    }
}

/// Every run of white space becomes one blank. All white-space characters lie
/// in the BMP, so walking UTF-16 code units is exact.
QString collapseWhiteSpace(const QString &line)
{
    QString out;
    out.reserve(line.size());
    bool inRun = false;
    for (const QChar c : line) {
        if (text::isWhiteSpace(c.unicode())) {
            if (!inRun)
                out.append(u' ');
            inRun = true;
        } else {
            out.append(c);
            inRun = false;
        }
    }
    return out;
}

} // namespace

QString SubjectPolicy::fallback(const QString &body)
{
    QString line;
    qsizetype start = 0;
    const qsizetype n = body.size();
    // A CR LF pair yields an empty piece between CR and LF; empty pieces are
    // dropped, so splitting at CR and LF separately is the same as at the pair.
    for (qsizetype i = 0; i <= n; ++i) {
        if (i < n && !isLineBreak(body.at(i).unicode()))
            continue;
        if (i > start) {
            const QString piece = text::trimmed(body.mid(start, i - start));
            if (!piece.isEmpty()) {
                line = piece;
                break;
            }
        }
        start = i + 1;
    }
    if (line.isEmpty())
        return u"メッセージ"_s;
    line = collapseWhiteSpace(line);
    if (text::graphemeCount(line) <= kMaxLength)
        return line;
    return text::graphemePrefix(line, kMaxLength - 1) + u'\u2026';
}

bool ComposeSendPolicy::canSend(
    const QStringList &recipients, const QStringList &invalidRecipients, const QString &body)
{
    return !recipients.isEmpty() && invalidRecipients.isEmpty() && !text::trimmed(body).isEmpty();
}

QString ComposeSendPolicy::resolvedSubject(const QString &subject, const QString &body)
{
    const QString trimmed = text::trimmed(subject);
    return trimmed.isEmpty() ? SubjectPolicy::fallback(body) : trimmed;
}

QStringList AutoTriagePolicy::eligibleConversationIDs(
    const QList<ConversationListItem> &conversations, const QHash<QString, qint64> &retryAfter, qint64 now)
{
    QStringList out;
    for (const ConversationListItem &item : conversations) {
        const bool pending = item.status == ConversationStatus::inbox
            || (item.status == ConversationStatus::waiting && !item.aiSummary.has_value());
        if (!pending)
            continue;
        const auto backOff = retryAfter.constFind(item.id);
        if (backOff != retryAfter.cend() && *backOff > now)
            continue;
        out.append(item.id);
    }
    return out;
}

bool PersonTimelinePolicy::isDirect(
    const PersonTimelineMessage &message, const QString &ownerAddress, const QString &personAddress)
{
    const QString owner = ownerAddress.toLower();
    const QString person = personAddress.toLower();
    bool sawPerson = false;
    auto admit = [&](const QString &address) {
        const QString lower = address.toLower();
        if (lower == owner)
            return true;
        if (lower != person)
            return false;
        sawPerson = true;
        return true;
    };
    if (!admit(message.senderEmail))
        return false;
    for (const MessageRecipientView &recipient : message.recipients) {
        if (!admit(recipient.email))
            return false;
    }
    return sawPerson;
}

bool RecipientParser::isSeparator(char32_t c)
{
    return text::isWhiteSpace(c) || c == U',' || c == U';' || c == U'\u3001';
}

namespace {

QStringList fragments(const QString &text)
{
    QStringList out;
    qsizetype start = 0;
    const qsizetype n = text.size();
    for (qsizetype i = 0; i <= n; ++i) {
        // Every separator is in the BMP, so a surrogate half never matches.
        if (i < n && !RecipientParser::isSeparator(text.at(i).unicode()))
            continue;
        const QString piece = text::trimmed(text.mid(start, i - start));
        if (!piece.isEmpty())
            out.append(piece);
        start = i + 1;
    }
    return out;
}

bool isValidAddress(const QString &fragment)
{
    const QStringList parts = fragment.split(u'@', Qt::KeepEmptyParts);
    if (parts.size() != 2 || parts.at(0).isEmpty() || !parts.at(1).contains(u'.'))
        return false;
    for (const QChar c : fragment) {
        if (text::isWhiteSpace(c.unicode()))
            return false;
    }
    return text::graphemeCount(fragment) <= RecipientParser::kMaxAddressLength;
}

} // namespace

QStringList RecipientParser::addresses(const QString &text)
{
    QStringList out;
    for (const QString &fragment : fragments(text)) {
        const QString lower = fragment.toLower();
        if (isValidAddress(lower) && !out.contains(lower))
            out.append(lower);
    }
    return out;
}

QStringList RecipientParser::invalidFragments(const QString &text)
{
    QStringList out;
    for (const QString &fragment : fragments(text)) {
        if (!isValidAddress(fragment))
            out.append(fragment);
    }
    return out;
}

QString DeliveryPresentation::label(const QString &status)
{
    if (status == u"queued"_s || status == u"sending"_s)
        return u"配送中"_s;
    if (status == u"delivered"_s)
        return u"配送済み"_s;
    if (status == u"failed"_s)
        return u"送信失敗"_s;
    if (status == u"scheduled"_s)
        return u"予約済み"_s;
    return {};
}

std::optional<QString> MailDeepLink::conversationID(const QString &url)
{
    const QUrl parsed(url, QUrl::StrictMode);
    if (!parsed.isValid())
        return std::nullopt;

    // Scheme and host are read from the text itself: QUrl folds both to lower
    // case, and a link written "QUARN-MAIL://" or "//Conversation/" is refused.
    static const QString prefix = u"quarn-mail://conversation"_s;
    if (!url.startsWith(prefix, Qt::CaseSensitive))
        return std::nullopt;
    const qsizetype afterHost = prefix.size();
    if (afterHost < url.size()) {
        const QChar next = url.at(afterHost);
        // Anything else would still be part of the host (or a port/user part).
        if (next != u'/' && next != u'?' && next != u'#')
            return std::nullopt;
    }

    QString path = parsed.path(QUrl::FullyDecoded);
    qsizetype from = 0;
    qsizetype to = path.size();
    while (from < to && path.at(from) == u'/')
        ++from;
    while (to > from && path.at(to - 1) == u'/')
        --to;
    path = path.mid(from, to - from);

    static const QRegularExpression pattern(u"\\Aconv_[A-Za-z0-9_-]{1,180}\\z"_s);
    if (!pattern.match(path).hasMatch())
        return std::nullopt;
    return path;
}

bool PersonTimelinePolicy::canLoadOlder(const PersonTimeline &timeline)
{
    return timeline.hasMore && timeline.nextBefore.has_value();
}

bool BodyLinkPolicy::isOpenable(const QString &link)
{
    const QUrl url(link, QUrl::StrictMode);
    if (!url.isValid())
        return false;
    const QString scheme = url.scheme().toLower();
    if (scheme == u"http"_s || scheme == u"https"_s)
        return !url.host().isEmpty();
    if (scheme == u"mailto"_s)
        return !url.path().isEmpty();
    return false;
}

} // namespace quarn
