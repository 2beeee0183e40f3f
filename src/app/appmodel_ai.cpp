// Private AI conversations: loading, creating and extending them. They never
// reach the service; every change is written through the device's store.

#include "ai/aiconversationstore.h"
#include "ai/codexrunner.h"
#include "app/appmodel.h"
#include "app/policies.h"
#include "core/text.h"

#include <QCoroSignal>

#include <QUuid>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace quarn {

namespace {

const QString kNewAIConversationTitle = QStringLiteral("新しい会話");

} // namespace

QCoro::Task<void> AppModel::loadAIConversations()
{
    const quint64 revision = m_aiConversationsRevision;
    ++m_aiLoadsRunning;
    std::optional<QList<AIConversation>> loaded;
    std::exception_ptr failure;
    try {
        loaded = co_await m_aiStore->load();
    } catch (...) {
        failure = std::current_exception();
    }
    --m_aiLoadsRunning;
    applyLoadedAIConversations(revision, std::move(loaded), failure);
    Q_EMIT aiConversationsRead();
}

void AppModel::applyLoadedAIConversations(
    quint64 revision, std::optional<QList<AIConversation>> loaded, std::exception_ptr failure)
{
    if (failure) {
        // The conversations in memory stay as they were. A file set aside is
        // a notice the user must see: no later success takes it away.
        bool setAside = false;
        try {
            std::rethrow_exception(failure);
        } catch (const AIConversationFileSetAside &) {
            setAside = true;
        } catch (...) { }
        // What was there has been dealt with (moved aside): saving is safe.
        if (setAside)
            m_hasReadAIConversations = true;
        present(failure, setAside ? Failure::notice : Failure::aiStore);
        return;
    }
    m_hasReadAIConversations = true;
    // The list changed while the file was read (a message sent, a
    // conversation created), or a save failed and memory holds what the file
    // does not: memory is newer than what was read, and replacing it would
    // lose the change.
    if (revision != m_aiConversationsRevision || m_hasUnsavedAIConversations)
        return;
    setAIConversations(std::move(*loaded));
    if (m_selectedAIConversationID && aiConversationIndex(*m_selectedAIConversationID) < 0)
        setSelectedAIConversationID(std::nullopt);
}

QCoro::Task<void> AppModel::awaitAIConversationsRead()
{
    if (m_hasReadAIConversations)
        co_return;
    if (m_aiLoadsRunning > 0) {
        // The list being read is the base of any change: a change made on
        // the empty list before it arrives would be saved over the file.
        auto read = qCoro(this, &AppModel::aiConversationsRead);
        co_await std::move(read);
        co_return;
    }
    co_await loadAIConversations();
}

QCoro::Task<bool> AppModel::saveAIConversations()
{
    std::exception_ptr failure;
    ++m_aiSavesRunning;
    try {
        auto saving = m_aiStore->save(m_aiConversations);
        co_await std::move(saving);
    } catch (...) {
        failure = std::current_exception();
    }
    --m_aiSavesRunning;
    if (failure) {
        // Memory keeps what the file lacks until a save succeeds.
        m_hasUnsavedAIConversations = true;
        present(failure, Failure::aiStore);
        co_return false;
    }
    m_hasUnsavedAIConversations = false;
    clearError(Failure::aiStore);
    co_return true;
}

QString AppModel::newIdentifier(const QString &prefix)
{
    return prefix + QUuid::createUuid().toString(QUuid::WithoutBraces).toLower();
}

qsizetype AppModel::aiConversationIndex(const QString &id) const
{
    for (qsizetype i = 0; i < m_aiConversations.size(); ++i) {
        if (m_aiConversations.at(i).id == id)
            return i;
    }
    return -1;
}

bool AppModel::appendAIChatMessage(const QString &id, AIChatRole role, const QString &content)
{
    const qsizetype index = aiConversationIndex(id);
    if (index < 0)
        return false;
    QList<AIConversation> conversations = m_aiConversations;
    AIConversation &conversation = conversations[index];
    AIChatMessage message;
    message.id = newIdentifier(u"msg_"_s);
    message.role = role;
    message.content = content;
    message.createdAt = m_environment.now();
    conversation.messages.append(message);
    // The title follows the first message once; later messages leave it,
    // and so does a conversation the user has named before writing in it.
    if (role == AIChatRole::user && conversation.messages.size() == 1 && conversation.title == kNewAIConversationTitle)
        conversation.title = text::graphemePrefix(SubjectPolicy::fallback(content), 40);
    conversation.updatedAt = message.createdAt;
    conversations.move(index, 0);
    setAIConversations(std::move(conversations));
    return true;
}

QCoro::Task<void> AppModel::newAIConversation()
{
    if (m_isCreatingAIConversation)
        co_return;
    m_isCreatingAIConversation = true;
    Q_EMIT isReadingAIConversationsChanged();
    co_await awaitAIConversationsRead();
    m_isCreatingAIConversation = false;
    Q_EMIT isReadingAIConversationsChanged();

    const qint64 now = m_environment.now();
    AIConversation conversation;
    conversation.id = newIdentifier(u"ai_"_s);
    conversation.title = kNewAIConversationTitle;
    conversation.createdAt = now;
    conversation.updatedAt = now;
    const QString id = conversation.id;
    QList<AIConversation> conversations = m_aiConversations;
    conversations.prepend(std::move(conversation));
    setAIConversations(std::move(conversations));
    setSelectedAIConversationID(id);
    setLens(MailLens::ai);

    // The conversation stays in memory and selected either way.
    (void)co_await saveAIConversations();
}

QCoro::Task<void> AppModel::awaitAIConversationsReadForChange()
{
    ++m_aiChangesWaitingForRead;
    if (m_aiChangesWaitingForRead == 1)
        Q_EMIT isReadingAIConversationsChanged();
    co_await awaitAIConversationsRead();
    --m_aiChangesWaitingForRead;
    if (m_aiChangesWaitingForRead == 0)
        Q_EMIT isReadingAIConversationsChanged();
}

QCoro::Task<void> AppModel::renameAIConversation(QString id, QString title)
{
    const QString wanted = text::trimmed(title);
    if (wanted.isEmpty())
        co_return;
    // A change made before the file was read would be saved over it.
    co_await awaitAIConversationsReadForChange();
    const qsizetype index = aiConversationIndex(id);
    if (index < 0 || m_aiConversations.at(index).title == wanted)
        co_return;
    QList<AIConversation> conversations = m_aiConversations;
    // A new name is no new activity: the conversation keeps its place and time.
    conversations[index].title = wanted;
    setAIConversations(std::move(conversations));
    (void)co_await saveAIConversations();
}

QCoro::Task<void> AppModel::deleteAIConversation(QString id)
{
    co_await awaitAIConversationsReadForChange();
    const qsizetype index = aiConversationIndex(id);
    if (index < 0)
        co_return;
    QList<AIConversation> conversations = m_aiConversations;
    conversations.removeAt(index);
    std::optional<QString> neighbour;
    if (!conversations.isEmpty())
        neighbour = conversations.at(std::min(index, conversations.size() - 1)).id;
    const bool wasShown = m_selectedAIConversationID == id;
    setAIConversations(std::move(conversations));
    if (wasShown)
        setSelectedAIConversationID(neighbour);
    // A turn still running there finds its conversation gone and drops the answer.
    (void)co_await saveAIConversations();
}

QCoro::Task<void> AppModel::sendAIChat()
{
    if (m_isSendingAIChat || !m_isCodexReady)
        co_return;
    const QString input = text::trimmed(m_aiInput);
    if (input.isEmpty())
        co_return;
    if (!m_selectedAIConversationID) {
        co_await newAIConversation();
        // A second send started while the new conversation was being saved
        // found it selected and took the input: this one would repeat it.
        if (m_isSendingAIChat || !m_selectedAIConversationID)
            co_return;
    }
    // From here on the conversation is found by its id only: the user may
    // select, create or reorder conversations while the AI answers.
    const QString id = *m_selectedAIConversationID;
    if (aiConversationIndex(id) < 0)
        co_return;
    setSendingAIConversation(id);
    setAiInput(QString());
    appendAIChatMessage(id, AIChatRole::user, input);

    const bool saved = co_await saveAIConversations();
    if (!saved) {
        // The message stays on screen, but the AI is not asked.
        setSendingAIConversation(std::nullopt);
        co_return;
    }

    const qsizetype index = aiConversationIndex(id);
    if (index < 0) {
        setSendingAIConversation(std::nullopt);
        co_return;
    }
    std::optional<QString> answer;
    std::exception_ptr failure;
    try {
        const std::shared_ptr<CodexRunner> codex = m_environment.codex;
        auto chatting = codex->chat(m_aiConversations.at(index).messages);
        answer = co_await std::move(chatting);
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure) {
        // The user's message stays saved, without an answer.
        present(failure, Failure::aiChat);
        setSendingAIConversation(std::nullopt);
        co_return;
    }
    clearError(Failure::aiChat);

    if (!appendAIChatMessage(id, AIChatRole::assistant, *answer)) {
        setSendingAIConversation(std::nullopt);
        co_return;
    }

    (void)co_await saveAIConversations();
    setSendingAIConversation(std::nullopt);
}

} // namespace quarn
