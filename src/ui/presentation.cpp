#include "ui/presentation.h"

#include "app/policies.h"
#include "core/text.h"
#include "ui/screenrules.h"

#include <QByteArrayView>
#include <QDateTime>
#include <QUrl>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace quarn::ui::presentation {

QString avatarInitial(const QString &name)
{
    return text::graphemePrefix(name, 1).toUpper();
}

QString activityLine(qint64 conversationCount, qint64 messageCount)
{
    return QString::number(conversationCount) + u" threads · "_s + QString::number(messageCount) + u" messages"_s;
}

ActivitySuffix activitySuffix(qint64 needsYouCount, qint64 waitingCount)
{
    if (needsYouCount >= 1)
        return { u"Needs you "_s + QString::number(needsYouCount), true };
    if (waitingCount >= 1)
        return { u"Waiting "_s + QString::number(waitingCount), false };
    return {};
}

QList<MessageRecipientView> visibleRecipients(const QList<MessageRecipientView> &recipients)
{
    if (recipients.size() == 1)
        return recipients;
    QList<MessageRecipientView> out;
    for (const MessageRecipientView &r : recipients) {
        if (r.role != u"envelope_to"_s)
            out.append(r);
    }
    return out;
}

QString chipLabel(const MessageRecipientView &recipient)
{
    // A chip without a name would say only its role; the address tells whom.
    const QString name = recipient.displayName.isEmpty() ? recipient.email : recipient.displayName;
    return recipient.role.toUpper() + u' ' + name;
}

QString chipOverflow(qsizetype visibleCount)
{
    return visibleCount > kMaxRecipientChips ? u"+"_s + QString::number(visibleCount - kMaxRecipientChips) : QString();
}

bool isOutgoing(const std::optional<QString> &senderUserId, const std::optional<QString> &viewerId)
{
    return senderUserId == viewerId;
}

QString statusWording(ConversationStatus status)
{
    switch (status) {
    case ConversationStatus::needsYou:
        return u"Needs you"_s;
    case ConversationStatus::aiWorking:
        return u"AI working"_s;
    case ConversationStatus::waiting:
        return u"Waiting"_s;
    case ConversationStatus::scheduled:
        return u"Scheduled"_s;
    case ConversationStatus::inbox:
        return u"Inbox"_s;
    case ConversationStatus::done:
        return u"Done"_s;
    }
    return {};
}

QString aiPreview(qsizetype messageCount, const QString &lastMessage)
{
    return messageCount > 0 ? lastMessage : u"新しい対話"_s;
}

bool canSendAIChat(const QString &input, bool isSending, bool isCodexReady)
{
    return !isSending && isCodexReady && !text::trimmed(input).isEmpty();
}

QString codexNotReadyExplanation(bool isChecking, const QString &problem, const QString &remedy, const QString &command)
{
    if (problem.isEmpty())
        return isChecking ? u"Codex CLIを確認しています"_s : u"Codex CLIの準備ができていません"_s;
    QString text = u"Codex CLIの準備ができていません。"_s + problem;
    if (!remedy.isEmpty())
        text += u' ' + remedy;
    if (!command.isEmpty())
        text += u" $ "_s + command;
    return text;
}

namespace {

constexpr char16_t kFirstStrongIsolate = 0x2068;
constexpr char16_t kPopDirectionalIsolate = 0x2069;

bool isDirectionControl(char16_t c)
{
    return (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

} // namespace

QString isolatedText(const QString &text)
{
    // Text that holds no direction control and nothing right-to-left lays out
    // the same isolated or not; it stays as it is, so that it reads (and is
    // compared, copied and spoken) exactly as written.
    bool needsIsolation = false;
    for (qsizetype i = 0; i < text.size() && !needsIsolation; ++i) {
        const QChar c = text.at(i);
        if (isDirectionControl(c.unicode())) {
            needsIsolation = true;
        } else if (c.isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()) {
            const char32_t code = QChar::surrogateToUcs4(c, text.at(i + 1));
            const QChar::Direction d = QChar::direction(code);
            needsIsolation = d == QChar::DirR || d == QChar::DirAL;
            ++i;
        } else {
            const QChar::Direction d = c.direction();
            needsIsolation = d == QChar::DirR || d == QChar::DirAL || d == QChar::DirAN;
        }
    }
    if (!needsIsolation)
        return text;
    QString out;
    out.reserve(text.size() + 2);
    out.append(QChar(kFirstStrongIsolate));
    for (const QChar c : text) {
        if (!isDirectionControl(c.unicode()))
            out.append(c);
    }
    out.append(QChar(kPopDirectionalIsolate));
    return out;
}

namespace {

/// The characters an address may hold (RFC 3986's unreserved, reserved and
/// the percent sign). Anything else, a space or a Japanese character, ends it.
bool isAddressCharacter(QChar c)
{
    if (c.unicode() >= 0x80)
        return false;
    const char a = char(c.unicode());
    return (a >= 'a' && a <= 'z') || (a >= 'A' && a <= 'Z') || (a >= '0' && a <= '9')
        || QByteArrayView("-._~:/?#[]@!$&'()*+,;=%").contains(a);
}

/// The length of the address starting at `from`, without what ends a
/// sentence after it; 0 when nothing that can be opened is left.
qsizetype addressLength(const QString &body, qsizetype from)
{
    qsizetype end = from;
    while (end < body.size() && isAddressCharacter(body.at(end)))
        ++end;
    for (;;) {
        if (end <= from)
            return 0;
        const QChar last = body.at(end - 1);
        if (QStringView(u".,;:!?'").contains(last)) {
            --end;
            continue;
        }
        // A closing bracket belongs to the address only with its opening one
        // ("(see https://example.com/a_(b))").
        if (last == u')' || last == u']') {
            const QChar open = last == u')' ? u'(' : u'[';
            const QStringView address = QStringView(body).mid(from, end - from);
            if (address.count(open) < address.count(last)) {
                --end;
                continue;
            }
        }
        break;
    }
    return isOpenableLink(body.mid(from, end - from)) ? end - from : 0;
}

qsizetype schemeLength(const QString &body, qsizetype at)
{
    for (const QLatin1StringView scheme :
        { QLatin1StringView("https://"), QLatin1StringView("http://"), QLatin1StringView("mailto:") }) {
        if (QStringView(body).mid(at).startsWith(scheme, Qt::CaseInsensitive))
            return scheme.size();
    }
    return 0;
}

} // namespace

QList<BodyPiece> bodyPieces(const QString &body)
{
    QList<BodyPiece> pieces;
    qsizetype textStart = 0;
    qsizetype i = 0;
    while (i < body.size()) {
        // An address starts a word: "xhttp://" is not one.
        const bool startsWord = i == 0 || !(body.at(i - 1).unicode() < 0x80 && body.at(i - 1).isLetterOrNumber());
        const qsizetype scheme = startsWord ? schemeLength(body, i) : 0;
        const qsizetype length = scheme > 0 ? addressLength(body, i) : 0;
        if (length == 0) {
            ++i;
            continue;
        }
        if (i > textStart)
            pieces.append({ body.mid(textStart, i - textStart), {} });
        const QString address = body.mid(i, length);
        pieces.append({ address, address });
        i += length;
        textStart = i;
    }
    if (textStart < body.size())
        pieces.append({ body.mid(textStart), {} });
    return pieces;
}

QString linkedBodyHtml(const QString &body)
{
    const QList<BodyPiece> pieces = bodyPieces(body);
    const bool anyLink
        = std::any_of(pieces.begin(), pieces.end(), [](const BodyPiece &p) { return !p.link.isEmpty(); });
    if (!anyLink)
        return {};
    // Every piece is escaped; the only markup is what is written here. Line
    // breaks and runs of spaces stay as in the plain body.
    QString html = u"<span style=\"white-space: pre-wrap\">"_s;
    for (const BodyPiece &piece : pieces) {
        QString escaped = piece.text.toHtmlEscaped();
        escaped.replace(u"\r\n"_s, u"\n"_s);
        escaped.replace(u'\n', u"<br>"_s);
        if (piece.link.isEmpty())
            html += escaped;
        else
            html += u"<a href=\""_s + piece.link.toHtmlEscaped() + u"\">"_s + escaped + u"</a>"_s;
    }
    html += u"</span>"_s;
    return html;
}

bool isOpenableLink(const QString &link)
{
    return BodyLinkPolicy::isOpenable(link);
}

} // namespace quarn::ui::presentation

namespace quarn::ui {

namespace p = presentation;

namespace {

std::optional<QString> optionalText(const QVariant &value)
{
    if (value.isNull() || !value.isValid())
        return std::nullopt;
    return value.toString();
}

} // namespace

Presenter::Presenter(QObject *parent)
    : QObject(parent)
    , m_now(QDateTime::currentMSecsSinceEpoch())
{
    m_clock.setInterval(std::chrono::seconds(30));
    connect(&m_clock, &QTimer::timeout, this, [this] {
        m_now = QDateTime::currentMSecsSinceEpoch();
        Q_EMIT nowChanged();
    });
    m_clock.start();
}

QString Presenter::avatarInitial(const QString &name) const
{
    return p::avatarInitial(name);
}

QString Presenter::activityLine(qint64 conversationCount, qint64 messageCount) const
{
    return p::activityLine(conversationCount, messageCount);
}

QVariantMap Presenter::activitySuffix(qint64 needsYouCount, qint64 waitingCount) const
{
    const p::ActivitySuffix suffix = p::activitySuffix(needsYouCount, waitingCount);
    return { { u"text"_s, suffix.text }, { u"warm"_s, suffix.warm } };
}

QVariantMap Presenter::recipientChips(const QVariantList &recipients) const
{
    QList<MessageRecipientView> list;
    list.reserve(recipients.size());
    for (const QVariant &entry : recipients) {
        const QVariantMap map = entry.toMap();
        list.append({ map.value(u"email"_s).toString(), map.value(u"displayName"_s).toString(),
            map.value(u"role"_s).toString() });
    }
    const QList<MessageRecipientView> visible = p::visibleRecipients(list);
    QStringList labels;
    for (qsizetype i = 0; i < visible.size() && i < p::kMaxRecipientChips; ++i)
        labels.append(p::chipLabel(visible.at(i)));
    return { { u"labels"_s, labels }, { u"overflow"_s, p::chipOverflow(visible.size()) } };
}

bool Presenter::isOutgoing(const QVariant &senderUserId, const QVariant &viewerId) const
{
    return p::isOutgoing(optionalText(senderUserId), optionalText(viewerId));
}

QString Presenter::statusWording(const QString &status) const
{
    const auto value = fromRawValue<ConversationStatus>(QStringView(status));
    return value ? p::statusWording(*value) : QString();
}

QString Presenter::aiPreview(int messageCount, const QString &lastMessage) const
{
    return p::aiPreview(messageCount, lastMessage);
}

bool Presenter::canSendAIChat(const QString &input, bool isSending, bool isCodexReady) const
{
    return p::canSendAIChat(input, isSending, isCodexReady);
}

QString Presenter::codexNotReadyExplanation(
    bool isChecking, const QString &problem, const QString &remedy, const QString &command) const
{
    return p::codexNotReadyExplanation(isChecking, problem, remedy, command);
}

QString Presenter::relativeTime(qint64 atMs, qint64 nowMs) const
{
    // One wording of relative times for every screen.
    return ScreenRules::relative(atMs, nowMs, QLocale().name());
}

QString Presenter::isolated(const QString &text) const
{
    return p::isolatedText(text);
}

QString Presenter::linkedBody(const QString &body) const
{
    return p::linkedBodyHtml(body);
}

} // namespace quarn::ui
