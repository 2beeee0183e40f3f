#pragma once

#include "model/records.h"

#include <QAbstractListModel>
#include <QList>

#include <optional>
#include <vector>

/// The list models that AppModel hands to the screens. Each shows a window
/// onto a list the model already holds: the records are shared (QList is
/// implicitly shared), and a filter is a list of row indices, so a ListView
/// stays virtual and cheap at ten thousand rows. Every model is read-only for
/// the screens; only AppModel changes what it shows.
namespace quarn {

/// Shared machinery: the source rows, the optional index filter and the
/// rule for telling views about a change. A new list is compared with the
/// shown one by identity and turns into row removals, insertions, moves and
/// data changes, so that a view keeps its scroll position, its current row
/// and its delegates across the periodic reload; nothing is signalled when
/// nothing changed. Only a list that shares no row with the shown one, or a
/// change that would take more than kMaxIncrementalSteps steps, is a reset.
class RecordListModel : public QAbstractListModel
{
    Q_OBJECT
    /// Number of rows shown.
    Q_PROPERTY(int count READ count NOTIFY countChanged)

public:
    using QAbstractListModel::QAbstractListModel;

    /// Beyond this many removed ranges, inserted runs and moves, replaying
    /// the change costs a view more than rebuilding its rows.
    static constexpr qsizetype kMaxIncrementalSteps = 1000;

    [[nodiscard]] int rowCount(const QModelIndex &parent = {}) const override;
    [[nodiscard]] int count() const { return rowCount(); }
    /// The row whose identity (the first role of every list: a conversation's
    /// or a message's id, a person's email) is `key`, or -1. A view whose
    /// current row is the model's selection finds it here.
    Q_INVOKABLE [[nodiscard]] int rowOf(const QString &key) const;

Q_SIGNALS:
    void countChanged();

protected:
    [[nodiscard]] qsizetype sourceRow(int row) const { return m_rows ? m_rows->at(row) : qsizetype(row); }
    [[nodiscard]] qsizetype sourceSize() const { return m_sourceSize; }

    /// The record shown at `row` of `source`, also while a change is being
    /// replayed to the views.
    template<typename T> [[nodiscard]] const T &record(const QList<T> &source, int row) const
    {
        if (m_transient)
            return *static_cast<const T *>(m_transient->at(std::size_t(row)));
        return source.at(sourceRow(row));
    }

    /// Installs new rows, telling the views what changed (see the class).
    template<typename T> void replace(QList<T> &current, QList<T> incoming, std::optional<QList<qsizetype>> rows);

private:
    template<typename T>
    void finish(QList<T> &current, QList<T> incoming, std::optional<QList<qsizetype>> rows, int oldCount);

    std::optional<QList<qsizetype>> m_rows;
    qsizetype m_sourceSize = 0;
    /// While a change is replayed: the record of each row as the views see it.
    std::optional<std::vector<const void *>> m_transient;
};

/// `filteredConversations`: the rows of the current state that match the
/// search text, in the service's order.
class ConversationListModel : public RecordListModel
{
    Q_OBJECT

public:
    enum Role {
        IdRole = Qt::UserRole + 1, ///< text
        SubjectRole, ///< text
        StatusRole, ///< raw status value, e.g. "needs_you"
        TransportRole, ///< raw transport value, e.g. "email"
        ParticipantNameRole, ///< text
        ParticipantAddressRole, ///< text
        PreviewRole, ///< text
        LastMessageAtRole, ///< milliseconds since the epoch (qint64)
        UnreadRole, ///< bool
        AiSummaryRole, ///< text, or null when there is none
        AiRequestRole, ///< text or null
        AiDeadlineRole, ///< text or null
        AiDraftRole, ///< text or null
        AiRiskRole, ///< text or null
    };
    Q_ENUM(Role)

    using RecordListModel::RecordListModel;

    [[nodiscard]] QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    [[nodiscard]] QHash<int, QByteArray> roleNames() const override;

    /// The record shown at `row`.
    [[nodiscard]] const ConversationListItem &at(int row) const { return record(m_source, row); }
    /// Every shown record, in order.
    [[nodiscard]] QList<ConversationListItem> items() const;

    /// Shows `rows` of `source` (all of it when `rows` is none).
    void show(QList<ConversationListItem> source, std::optional<QList<qsizetype>> rows);

private:
    QList<ConversationListItem> m_source;
};

/// `filteredPeople`: the correspondents that match the search text.
class PersonListModel : public RecordListModel
{
    Q_OBJECT

public:
    enum Role {
        EmailRole = Qt::UserRole + 1, ///< text, the identity
        DisplayNameRole, ///< text
        ConversationCountRole, ///< qint64
        MessageCountRole, ///< qint64
        LastMessageAtRole, ///< milliseconds since the epoch (qint64)
        NeedsYouCountRole, ///< qint64
        WaitingCountRole, ///< qint64
    };
    Q_ENUM(Role)

    using RecordListModel::RecordListModel;

    [[nodiscard]] QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    [[nodiscard]] QHash<int, QByteArray> roleNames() const override;

    [[nodiscard]] const PersonSummary &at(int row) const { return record(m_source, row); }
    [[nodiscard]] QList<PersonSummary> items() const;
    void show(QList<PersonSummary> source, std::optional<QList<qsizetype>> rows);

private:
    QList<PersonSummary> m_source;
};

/// `filteredPersonMessages`: the messages of the loaded person timeline that
/// the group filter lets through, oldest first.
class PersonMessageListModel : public RecordListModel
{
    Q_OBJECT

public:
    enum Role {
        IdRole = Qt::UserRole + 1, ///< text
        ConversationIdRole, ///< text
        SubjectRole, ///< text: the conversation's subject
        ConversationStatusRole, ///< raw status value
        SenderUserIdRole, ///< text or null
        SenderEmailRole, ///< text
        SenderNameRole, ///< text
        ChannelRole, ///< text, the service's word
        BodyTextRole, ///< text
        DeliveryStatusRole, ///< text, the service's word
        DeliveryLabelRole, ///< the Japanese label of the delivery status, or empty
        CreatedAtRole, ///< milliseconds since the epoch (qint64)
        ScheduledForRole, ///< milliseconds since the epoch, or null
        RecipientsRole, ///< list of {email, displayName, role}
    };
    Q_ENUM(Role)

    using RecordListModel::RecordListModel;

    [[nodiscard]] QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    [[nodiscard]] QHash<int, QByteArray> roleNames() const override;

    [[nodiscard]] const PersonTimelineMessage &at(int row) const { return record(m_source, row); }
    [[nodiscard]] QList<PersonTimelineMessage> items() const;
    /// The row of the message with `id`, or -1 (the timeline keeps the
    /// reader's place by it when older messages arrive).
    Q_INVOKABLE [[nodiscard]] int indexOf(const QString &id) const;
    void show(QList<PersonTimelineMessage> source, std::optional<QList<qsizetype>> rows);

private:
    QList<PersonTimelineMessage> m_source;
};

/// A message of a conversation as the screens read it: {id, senderUserId
/// (or null), senderEmail, senderName, channel, bodyText, deliveryStatus,
/// deliveryLabel, createdAt, scheduledFor (or null), recipients: [{email,
/// displayName, role}]}.
[[nodiscard]] QVariantMap messageValue(const MessageView &message);

/// `detailMessages`: the messages of the shown conversation, oldest first.
/// A reload of the same conversation tells only of the messages that came,
/// went or changed, so the others keep their delegates (and a selection the
/// user is making in one of them).
class MessageListModel : public RecordListModel
{
    Q_OBJECT

public:
    enum Role {
        IdRole = Qt::UserRole + 1, ///< text
        MessageRole, ///< the message as messageValue gives it
    };
    Q_ENUM(Role)

    using RecordListModel::RecordListModel;

    [[nodiscard]] QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    [[nodiscard]] QHash<int, QByteArray> roleNames() const override;

    [[nodiscard]] const MessageView &at(int row) const { return record(m_source, row); }
    void show(QList<MessageView> messages);

private:
    QList<MessageView> m_source;
};

/// `aiConversations`: the private AI conversations, most recent first.
class AIConversationListModel : public RecordListModel
{
    Q_OBJECT

public:
    enum Role {
        IdRole = Qt::UserRole + 1, ///< text
        TitleRole, ///< text
        CreatedAtRole, ///< milliseconds since the epoch (qint64)
        UpdatedAtRole, ///< milliseconds since the epoch (qint64)
        MessageCountRole, ///< int
        LastMessageRole, ///< content of the newest message, or empty
    };
    Q_ENUM(Role)

    using RecordListModel::RecordListModel;

    [[nodiscard]] QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    [[nodiscard]] QHash<int, QByteArray> roleNames() const override;

    [[nodiscard]] const AIConversation &at(int row) const { return record(m_source, row); }
    void show(QList<AIConversation> source);

private:
    QList<AIConversation> m_source;
};

/// `selectedAIConversation`: the messages of the selected AI conversation
/// (no rows when nothing is selected or the id is not in the list), with the
/// conversation's own fields as properties.
class AIChatMessageListModel : public RecordListModel
{
    Q_OBJECT
    /// Whether a conversation is selected and present.
    Q_PROPERTY(bool present READ present NOTIFY conversationChanged)
    /// The conversation's id, empty when none.
    Q_PROPERTY(QString conversationId READ conversationId NOTIFY conversationChanged)
    /// The conversation's title, empty when none.
    Q_PROPERTY(QString title READ title NOTIFY conversationChanged)
    /// The content of the conversation's last message, empty when it has none
    /// (what a hand-off to Orro starts its notes from).
    Q_PROPERTY(QString lastMessage READ lastMessage NOTIFY conversationChanged)

public:
    enum Role {
        IdRole = Qt::UserRole + 1, ///< text
        RoleRole, ///< "user" or "assistant"
        ContentRole, ///< text
        CreatedAtRole, ///< milliseconds since the epoch (qint64)
    };
    Q_ENUM(Role)

    using RecordListModel::RecordListModel;

    [[nodiscard]] QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    [[nodiscard]] QHash<int, QByteArray> roleNames() const override;

    [[nodiscard]] bool present() const { return m_conversation.has_value(); }
    [[nodiscard]] QString conversationId() const { return m_conversation ? m_conversation->id : QString(); }
    [[nodiscard]] QString title() const { return m_conversation ? m_conversation->title : QString(); }
    [[nodiscard]] QString lastMessage() const
    {
        return m_conversation && !m_conversation->messages.isEmpty() ? m_conversation->messages.constLast().content
                                                                     : QString();
    }
    [[nodiscard]] const std::optional<AIConversation> &conversation() const { return m_conversation; }

    void show(std::optional<AIConversation> conversation);

Q_SIGNALS:
    void conversationChanged();

private:
    std::optional<AIConversation> m_conversation;
    QList<AIChatMessage> m_source;
};

} // namespace quarn
