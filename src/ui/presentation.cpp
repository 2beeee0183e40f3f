#include "ui/presentation.h"

#include "core/text.h"
#include "ui/screenrules.h"

#include <QDateTime>

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

QString Presenter::relativeTime(qint64 atMs, qint64 nowMs) const
{
    // One wording of relative times for every screen.
    return ScreenRules::relative(atMs, nowMs, QLocale().name());
}

} // namespace quarn::ui
