#include "app/listmodels.h"

#include "app/policies.h"

#include <QHash>

#include <algorithm>

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
const QString &identity(const MessageView &v)
{
    return v.id;
}

} // namespace

int RecordListModel::rowOf(const QString &key) const
{
    const int rows = rowCount();
    for (int row = 0; row < rows; ++row) {
        if (data(index(row), Qt::UserRole + 1).toString() == key)
            return row;
    }
    return -1;
}

int RecordListModel::rowCount(const QModelIndex &parent) const
{
    if (parent.isValid())
        return 0;
    if (m_transient)
        return int(m_transient->size());
    return int(m_rows ? m_rows->size() : m_sourceSize);
}

namespace {

/// Positions (into `values`) of one longest strictly increasing subsequence.
std::vector<bool> longestIncreasing(const std::vector<qsizetype> &values)
{
    std::vector<qsizetype> tails; // index into values of the smallest tail of each length
    std::vector<qsizetype> previous(values.size(), -1);
    for (std::size_t i = 0; i < values.size(); ++i) {
        const auto at = std::lower_bound(tails.begin(), tails.end(), values[i],
            [&values](qsizetype index, qsizetype value) { return values[std::size_t(index)] < value; });
        if (at != tails.begin())
            previous[i] = *(at - 1);
        if (at == tails.end())
            tails.push_back(qsizetype(i));
        else
            *at = qsizetype(i);
    }
    std::vector<bool> member(values.size(), false);
    for (qsizetype i = tails.empty() ? -1 : tails.back(); i >= 0; i = previous[std::size_t(i)])
        member[std::size_t(i)] = true;
    return member;
}

} // namespace

template<typename T>
void RecordListModel::finish(QList<T> &current, QList<T> incoming, std::optional<QList<qsizetype>> rows, int oldCount)
{
    current = std::move(incoming);
    m_rows = std::move(rows);
    m_sourceSize = current.size();
    m_transient.reset();
    if (oldCount != rowCount())
        Q_EMIT countChanged();
}

template<typename T>
void RecordListModel::replace(QList<T> &current, QList<T> incoming, std::optional<QList<qsizetype>> rows)
{
    const int oldCount = rowCount();
    const int newCount = int(rows ? rows->size() : incoming.size());
    auto newSourceRow = [&](int row) { return rows ? rows->at(row) : qsizetype(row); };
    const T *const oldBase = current.constData();
    const T *const newBase = incoming.constData();
    auto oldAt = [&](int row) -> const T & { return oldBase[sourceRow(row)]; };
    auto newAt = [&](int row) -> const T & { return newBase[newSourceRow(row)]; };

    // Where each new row was shown before (-1: it is new). Identities that
    // repeat within one list cannot be matched: the list is then replaced.
    QHash<QString, int> oldRowOf;
    oldRowOf.reserve(oldCount);
    bool unmatchable = false;
    for (int row = 0; row < oldCount && !unmatchable; ++row) {
        const QString &id = identity(oldAt(row));
        unmatchable = oldRowOf.contains(id);
        oldRowOf.insert(id, row);
    }
    std::vector<int> fromOld(std::size_t(newCount), -1);
    std::vector<bool> kept(std::size_t(oldCount), false);
    qsizetype keptCount = 0;
    for (int row = 0; row < newCount && !unmatchable; ++row) {
        const auto it = oldRowOf.constFind(identity(newAt(row)));
        if (it == oldRowOf.constEnd())
            continue;
        if (kept[std::size_t(*it)]) {
            unmatchable = true;
            break;
        }
        kept[std::size_t(*it)] = true;
        fromOld[std::size_t(row)] = *it;
        ++keptCount;
    }

    // Kept rows in their new order, as positions among the kept rows of the
    // old order; those on one longest increasing run stay where they are and
    // every other kept row moves.
    std::vector<qsizetype> keptRank(std::size_t(oldCount), -1);
    qsizetype rank = 0;
    for (int row = 0; row < oldCount; ++row) {
        if (kept[std::size_t(row)])
            keptRank[std::size_t(row)] = rank++;
    }
    std::vector<qsizetype> order;
    order.reserve(std::size_t(keptCount));
    for (int row = 0; row < newCount; ++row) {
        if (fromOld[std::size_t(row)] >= 0)
            order.push_back(keptRank[std::size_t(fromOld[std::size_t(row)])]);
    }
    const std::vector<bool> staysInOrder = longestIncreasing(order);
    std::vector<bool> stays(std::size_t(newCount), false);
    qsizetype steps = keptCount - qsizetype(std::count(staysInOrder.begin(), staysInOrder.end(), true));
    for (int row = 0, k = 0; row < newCount; ++row) {
        if (fromOld[std::size_t(row)] >= 0)
            stays[std::size_t(row)] = staysInOrder[std::size_t(k++)];
        else if (row == 0 || fromOld[std::size_t(row - 1)] >= 0)
            ++steps; // a run of new rows is one insertion
    }
    for (int row = 0; row < oldCount; ++row) {
        if (!kept[std::size_t(row)] && (row == 0 || kept[std::size_t(row - 1)]))
            ++steps;
    }

    if (unmatchable || (keptCount == 0 && oldCount > 0 && newCount > 0) || steps > kMaxIncrementalSteps) {
        beginResetModel();
        finish(current, std::move(incoming), std::move(rows), oldCount);
        endResetModel();
        return;
    }

    // The change is replayed on a list of the records the views see, so that
    // every signal leaves the model in the state it announces.
    std::vector<const void *> shown(static_cast<std::size_t>(oldCount));
    std::vector<int> token(static_cast<std::size_t>(oldCount)); // old row, or -1 - new row
    for (int row = 0; row < oldCount; ++row) {
        shown[std::size_t(row)] = &oldAt(row);
        token[std::size_t(row)] = row;
    }
    m_transient = std::move(shown);
    auto position = [&token](int t) { return int(std::find(token.begin(), token.end(), t) - token.begin()); };
    // Where the row that follows `row` in the new order stands now.
    auto anchorOf = [&](int row) {
        if (row == newCount - 1)
            return int(token.size());
        const int next = fromOld[std::size_t(row + 1)];
        return position(next >= 0 ? next : -1 - (row + 1));
    };

    // Removals, last range first so that earlier rows keep their numbers.
    for (int last = oldCount - 1; last >= 0;) {
        if (kept[std::size_t(last)]) {
            --last;
            continue;
        }
        int first = last;
        while (first > 0 && !kept[std::size_t(first - 1)])
            --first;
        beginRemoveRows({}, first, last);
        m_transient->erase(m_transient->begin() + first, m_transient->begin() + last + 1);
        token.erase(token.begin() + first, token.begin() + last + 1);
        endRemoveRows();
        last = first - 1;
    }

    // From the end, each row that moves or is new is put right before the
    // row that follows it in the new order.
    for (int row = newCount - 1; row >= 0;) {
        if (fromOld[std::size_t(row)] < 0) {
            const int anchor = anchorOf(row);
            int first = row;
            while (first > 0 && fromOld[std::size_t(first - 1)] < 0)
                --first;
            beginInsertRows({}, anchor, anchor + (row - first));
            // The run goes in at once: row by row at one place would move
            // every row inserted before it again (quadratic in the run).
            std::vector<const void *> records;
            std::vector<int> tokens;
            records.reserve(std::size_t(row - first + 1));
            tokens.reserve(std::size_t(row - first + 1));
            for (int r = first; r <= row; ++r) {
                records.push_back(&newAt(r));
                tokens.push_back(-1 - r);
            }
            m_transient->insert(m_transient->begin() + anchor, records.begin(), records.end());
            token.insert(token.begin() + anchor, tokens.begin(), tokens.end());
            endInsertRows();
            row = first - 1;
            continue;
        }
        if (!stays[std::size_t(row)]) {
            const int anchor = anchorOf(row);
            const int from = position(fromOld[std::size_t(row)]);
            if (from + 1 != anchor) {
                beginMoveRows({}, from, from, {}, anchor);
                const int to = from < anchor ? anchor - 1 : anchor;
                const void *moved = (*m_transient)[std::size_t(from)];
                m_transient->erase(m_transient->begin() + from);
                m_transient->insert(m_transient->begin() + to, moved);
                const int t = token[std::size_t(from)];
                token.erase(token.begin() + from);
                token.insert(token.begin() + to, t);
                endMoveRows();
            }
        }
        --row;
    }

    // The rows now stand in the new order; kept rows whose content changed
    // are told in runs once the new records are in place.
    std::vector<bool> changed(std::size_t(newCount), false);
    for (int row = 0; row < newCount; ++row) {
        const int before = fromOld[std::size_t(row)];
        // The same shared record (a new filter over the same list) is unchanged.
        if (before >= 0 && &oldAt(before) != &newAt(row) && !(oldAt(before) == newAt(row)))
            changed[std::size_t(row)] = true;
    }
    finish(current, std::move(incoming), std::move(rows), oldCount);
    for (int row = 0; row < newCount;) {
        if (!changed[std::size_t(row)]) {
            ++row;
            continue;
        }
        int last = row;
        while (last + 1 < newCount && changed[std::size_t(last + 1)])
            ++last;
        Q_EMIT dataChanged(index(row), index(last));
        row = last + 1;
    }
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

int PersonMessageListModel::indexOf(const QString &id) const
{
    for (int row = 0; row < rowCount(); ++row) {
        if (at(row).id == id)
            return row;
    }
    return -1;
}

void PersonMessageListModel::show(QList<PersonTimelineMessage> source, std::optional<QList<qsizetype>> rows)
{
    replace(m_source, std::move(source), std::move(rows));
}

// --- the shown conversation's messages ---------------------------------------

QVariantMap messageValue(const MessageView &m)
{
    QVariantList recipients;
    for (const MessageRecipientView &r : m.recipients)
        recipients.append(
            QVariantMap { { u"email"_s, r.email }, { u"displayName"_s, r.displayName }, { u"role"_s, r.role } });
    return {
        { u"id"_s, m.id },
        { u"senderUserId"_s, optionalText(m.senderUserId) },
        { u"senderEmail"_s, m.senderEmail },
        { u"senderName"_s, m.senderName },
        { u"channel"_s, m.channel },
        { u"bodyText"_s, m.bodyText },
        { u"deliveryStatus"_s, m.deliveryStatus },
        { u"deliveryLabel"_s, DeliveryPresentation::label(m.deliveryStatus) },
        { u"createdAt"_s, m.createdAt },
        { u"scheduledFor"_s, m.scheduledFor ? QVariant(*m.scheduledFor) : QVariant() },
        { u"recipients"_s, recipients },
    };
}

QVariant MessageListModel::data(const QModelIndex &index, int role) const
{
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return {};
    const MessageView &m = at(index.row());
    switch (role) {
    case IdRole:
        return m.id;
    case Qt::DisplayRole:
        return m.bodyText;
    case MessageRole:
        return messageValue(m);
    default:
        return {};
    }
}

QHash<int, QByteArray> MessageListModel::roleNames() const
{
    return {
        { IdRole, "id" },
        { MessageRole, "message" },
    };
}

void MessageListModel::show(QList<MessageView> messages)
{
    replace(m_source, std::move(messages), std::nullopt);
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
    const AIChatMessage &m = record(m_source, index.row());
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
