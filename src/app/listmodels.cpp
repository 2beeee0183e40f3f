#include "app/listmodels.h"

#include "app/policies.h"

using namespace Qt::StringLiterals;

namespace quarn {

namespace {

QVariant optionalText(const std::optional<QString> &value)
{
    return value ? QVariant(*value) : QVariant();
}

const QString &identity(const ConversationListItem &v)
{
    return v.id;
}
const QString &identity(const PersonSummary &v)
{
    return v.email;
}
const QString &identity(const PersonTimelineMessage &v)
{
    return v.id;
}
const QString &identity(const AIConversation &v)
{
    return v.id;
}
const QString &identity(const AIChatMessage &v)
{
    return v.id;
}

} // namespace

int RecordListModel::rowCount(const QModelIndex &parent) const
{
    if (parent.isValid())
        return 0;
    return int(m_rows ? m_rows->size() : m_sourceSize);
}

template<typename T>
void RecordListModel::replace(QList<T> &current, QList<T> incoming, std::optional<QList<qsizetype>> rows)
{
    const int oldCount = rowCount();
    const int newCount = int(rows ? rows->size() : incoming.size());
    auto newSourceRow = [&](int row) { return rows ? rows->at(row) : qsizetype(row); };

    bool sameIdentities = oldCount == newCount;
    int firstChanged = -1;
    int lastChanged = -1;
    if (sameIdentities) {
        for (int row = 0; row < newCount; ++row) {
            const T &before = current.at(sourceRow(row));
            const T &after = incoming.at(newSourceRow(row));
            // The same shared record (a new filter over the same list) is unchanged.
            if (&before == &after)
                continue;
            if (identity(before) != identity(after)) {
                sameIdentities = false;
                break;
            }
            if (!(before == after)) {
                if (firstChanged < 0)
                    firstChanged = row;
                lastChanged = row;
            }
        }
    }

    if (sameIdentities) {
        current = std::move(incoming);
        m_rows = std::move(rows);
        m_sourceSize = current.size();
        if (firstChanged >= 0)
            Q_EMIT dataChanged(index(firstChanged), index(lastChanged));
        return;
    }

    beginResetModel();
    current = std::move(incoming);
    m_rows = std::move(rows);
    m_sourceSize = current.size();
    endResetModel();
    if (oldCount != newCount)
        Q_EMIT countChanged();
}

// --- conversations -----------------------------------------------------------

QVariant ConversationListModel::data(const QModelIndex &index, int role) const
{
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return {};
    const ConversationListItem &c = at(index.row());
    switch (role) {
    case Qt::DisplayRole:
    case SubjectRole:
        return c.subject;
    case IdRole:
        return c.id;
    case StatusRole:
        return rawValue(c.status);
    case TransportRole:
        return rawValue(c.transport);
    case ParticipantNameRole:
        return c.participantName;
    case ParticipantAddressRole:
        return c.participantAddress;
    case PreviewRole:
        return c.preview;
    case LastMessageAtRole:
        return c.lastMessageAt;
    case UnreadRole:
        return c.unread;
    case AiSummaryRole:
        return optionalText(c.aiSummary);
    case AiRequestRole:
        return optionalText(c.aiRequest);
    case AiDeadlineRole:
        return optionalText(c.aiDeadline);
    case AiDraftRole:
        return optionalText(c.aiDraft);
    case AiRiskRole:
        return optionalText(c.aiRisk);
    default:
        return {};
    }
}

QHash<int, QByteArray> ConversationListModel::roleNames() const
{
    return {
        { IdRole, "id" },
        { SubjectRole, "subject" },
        { StatusRole, "status" },
        { TransportRole, "transport" },
        { ParticipantNameRole, "participantName" },
        { ParticipantAddressRole, "participantAddress" },
        { PreviewRole, "preview" },
        { LastMessageAtRole, "lastMessageAt" },
        { UnreadRole, "unread" },
        { AiSummaryRole, "aiSummary" },
        { AiRequestRole, "aiRequest" },
        { AiDeadlineRole, "aiDeadline" },
        { AiDraftRole, "aiDraft" },
        { AiRiskRole, "aiRisk" },
    };
}

QList<ConversationListItem> ConversationListModel::items() const
{
    QList<ConversationListItem> out;
    out.reserve(rowCount());
    for (int row = 0; row < rowCount(); ++row)
        out.append(at(row));
    return out;
}

void ConversationListModel::show(QList<ConversationListItem> source, std::optional<QList<qsizetype>> rows)
{
    replace(m_source, std::move(source), std::move(rows));
}

// --- people ------------------------------------------------------------------

QVariant PersonListModel::data(const QModelIndex &index, int role) const
{
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return {};
    const PersonSummary &p = at(index.row());
    switch (role) {
    case Qt::DisplayRole:
    case DisplayNameRole:
        return p.displayName;
    case EmailRole:
        return p.email;
    case ConversationCountRole:
        return p.conversationCount;
    case MessageCountRole:
        return p.messageCount;
    case LastMessageAtRole:
        return p.lastMessageAt;
    case NeedsYouCountRole:
        return p.needsYouCount;
    case WaitingCountRole:
        return p.waitingCount;
    default:
        return {};
    }
}

QHash<int, QByteArray> PersonListModel::roleNames() const
{
    return {
        { EmailRole, "email" },
        { DisplayNameRole, "displayName" },
        { ConversationCountRole, "conversationCount" },
        { MessageCountRole, "messageCount" },
        { LastMessageAtRole, "lastMessageAt" },
        { NeedsYouCountRole, "needsYouCount" },
        { WaitingCountRole, "waitingCount" },
    };
}

QList<PersonSummary> PersonListModel::items() const
{
    QList<PersonSummary> out;
    out.reserve(rowCount());
    for (int row = 0; row < rowCount(); ++row)
        out.append(at(row));
    return out;
}

void PersonListModel::show(QList<PersonSummary> source, std::optional<QList<qsizetype>> rows)
{
    replace(m_source, std::move(source), std::move(rows));
}

// --- person timeline ---------------------------------------------------------

QVariant PersonMessageListModel::data(const QModelIndex &index, int role) const
{
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return {};
    const PersonTimelineMessage &m = at(index.row());
    switch (role) {
    case Qt::DisplayRole:
    case BodyTextRole:
        return m.bodyText;
    case IdRole:
        return m.id;
    case ConversationIdRole:
        return m.conversationId;
    case SubjectRole:
        return m.subject;
    case ConversationStatusRole:
        return rawValue(m.conversationStatus);
    case SenderUserIdRole:
        return optionalText(m.senderUserId);
    case SenderEmailRole:
        return m.senderEmail;
    case SenderNameRole:
        return m.senderName;
    case ChannelRole:
        return m.channel;
    case DeliveryStatusRole:
        return m.deliveryStatus;
    case DeliveryLabelRole:
        return DeliveryPresentation::label(m.deliveryStatus);
    case CreatedAtRole:
        return m.createdAt;
    case ScheduledForRole:
        return m.scheduledFor ? QVariant(*m.scheduledFor) : QVariant();
    case RecipientsRole: {
        QVariantList out;
        for (const MessageRecipientView &r : m.recipients)
            out.append(
                QVariantMap { { u"email"_s, r.email }, { u"displayName"_s, r.displayName }, { u"role"_s, r.role } });
        return out;
    }
    default:
        return {};
    }
}

QHash<int, QByteArray> PersonMessageListModel::roleNames() const
{
    return {
        { IdRole, "id" },
        { ConversationIdRole, "conversationId" },
        { SubjectRole, "subject" },
        { ConversationStatusRole, "conversationStatus" },
        { SenderUserIdRole, "senderUserId" },
        { SenderEmailRole, "senderEmail" },
        { SenderNameRole, "senderName" },
        { ChannelRole, "channel" },
        { BodyTextRole, "bodyText" },
        { DeliveryStatusRole, "deliveryStatus" },
        { DeliveryLabelRole, "deliveryLabel" },
        { CreatedAtRole, "createdAt" },
        { ScheduledForRole, "scheduledFor" },
        { RecipientsRole, "recipients" },
    };
}

QList<PersonTimelineMessage> PersonMessageListModel::items() const
{
    QList<PersonTimelineMessage> out;
    out.reserve(rowCount());
    for (int row = 0; row < rowCount(); ++row)
        out.append(at(row));
    return out;
}

void PersonMessageListModel::show(QList<PersonTimelineMessage> source, std::optional<QList<qsizetype>> rows)
{
    replace(m_source, std::move(source), std::move(rows));
}

// --- AI conversations --------------------------------------------------------

QVariant AIConversationListModel::data(const QModelIndex &index, int role) const
{
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return {};
    const AIConversation &c = at(index.row());
    switch (role) {
    case Qt::DisplayRole:
    case TitleRole:
        return c.title;
    case IdRole:
        return c.id;
    case CreatedAtRole:
        return c.createdAt;
    case UpdatedAtRole:
        return c.updatedAt;
    case MessageCountRole:
        return int(c.messages.size());
    case LastMessageRole:
        return c.messages.isEmpty() ? QString() : c.messages.constLast().content;
    default:
        return {};
    }
}

QHash<int, QByteArray> AIConversationListModel::roleNames() const
{
    return {
        { IdRole, "id" },
        { TitleRole, "title" },
        { CreatedAtRole, "createdAt" },
        { UpdatedAtRole, "updatedAt" },
        { MessageCountRole, "messageCount" },
        { LastMessageRole, "lastMessage" },
    };
}

void AIConversationListModel::show(QList<AIConversation> source)
{
    replace(m_source, std::move(source), std::nullopt);
}

// --- the selected AI conversation --------------------------------------------

QVariant AIChatMessageListModel::data(const QModelIndex &index, int role) const
{
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return {};
    const AIChatMessage &m = m_source.at(sourceRow(index.row()));
    switch (role) {
    case Qt::DisplayRole:
    case ContentRole:
        return m.content;
    case IdRole:
        return m.id;
    case RoleRole:
        return rawValue(m.role);
    case CreatedAtRole:
        return m.createdAt;
    default:
        return {};
    }
}

QHash<int, QByteArray> AIChatMessageListModel::roleNames() const
{
    return {
        { IdRole, "id" },
        { RoleRole, "role" },
        { ContentRole, "content" },
        { CreatedAtRole, "createdAt" },
    };
}

void AIChatMessageListModel::show(std::optional<AIConversation> conversation)
{
    const bool changed = conversation != m_conversation;
    QList<AIChatMessage> messages = conversation ? conversation->messages : QList<AIChatMessage>();
    m_conversation = std::move(conversation);
    replace(m_source, std::move(messages), std::nullopt);
    if (changed)
        Q_EMIT conversationChanged();
}

} // namespace quarn
