// Start-up, the main reload, switching lenses and status lists, and opening a
// conversation of the current list.

#include "account/devicecredentialstore.h"
#include "ai/codexrunner.h"
#include "api/apiclient.h"
#include "app/appmodel.h"

namespace quarn {

QCoro::Task<void> AppModel::bootstrap()
{
    if (m_didBootstrap)
        co_return;
    m_didBootstrap = true;

    std::exception_ptr loadFailure;
    std::optional<QString> token;
    try {
        token = co_await m_credentialStore->loadAsync();
    } catch (...) {
        loadFailure = std::current_exception();
    }
    if (loadFailure) {
        present(loadFailure);
        m_token.reset();
        setIsConfigured(false);
    } else {
        m_token = token;
        setIsConfigured(token.has_value());
    }

    // The readiness probe runs beside the loading below; it is awaited before
    // the triage pass, which needs its answer.
    QCoro::Task<void> probe = probeCodex();
    co_await loadAIConversations();
    if (m_isConfigured)
        co_await refresh(true);
    m_didLoadStartUp = true;
    Q_EMIT startUpLoaded();
    co_await std::move(probe);
    // An unauthorised first reload has cleared isConfigured: no triage then.
    if (m_isConfigured)
        co_await autoTriagePendingWork();
}

QCoro::Task<void> AppModel::probeCodex()
{
    const std::shared_ptr<CodexRunner> codex = m_environment.codex;
    const bool ready = co_await codex->isReady();
    setIsCodexReady(ready);
}

QCoro::Task<void> AppModel::refresh(bool keepingSelection)
{
    if (!m_token)
        co_return;
    if (m_lens == MailLens::people) {
        co_await refreshPeople(keepingSelection);
        co_return;
    }

    setIsLoading(true);
    const QString token = *m_token;
    std::optional<MailState> fresh;
    std::exception_ptr failure;
    try {
        fresh = co_await m_api->state(m_selectedStatus, token);
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure) {
        // The list, the selection and the detail stay as they were.
        presentListFailure(failure);
        setIsLoading(false);
        co_return;
    }
    setState(std::move(fresh));

    try {
        PeopleResponse answer = co_await m_api->people(token);
        setPeople(std::move(answer.people));
    } catch (...) {
        // A failed people list during a reload is dropped: the previous list stays.
    }
    setErrorMessage(std::nullopt);

    if (keepingSelection && m_selectedConversationID) {
        const QString selected = *m_selectedConversationID;
        bool stillListed = false;
        for (const ConversationListItem &c : m_state->conversations) {
            if (c.id == selected) {
                stillListed = true;
                break;
            }
        }
        if (stillListed) {
            co_await openConversation(selected);
            setIsLoading(false);
            co_return;
        }
    }
    if (m_selectedConversationID)
        clearConversationSelection();
    setIsLoading(false);
}

QCoro::Task<void> AppModel::selectStatus(ConversationStatus status)
{
    if (m_lens == MailLens::work && m_selectedStatus == status)
        co_return;
    setLens(MailLens::work);
    setSelectedStatus(status);
    setSearchText(QString());
    clearConversationSelection();
    if (m_state) {
        // The old status's rows go at once; the counts stay until the reload.
        MailState emptied = *m_state;
        emptied.status = status;
        emptied.conversations.clear();
        setState(std::move(emptied));
    }
    co_await refresh(true);
}

QCoro::Task<void> AppModel::selectPeople()
{
    if (m_lens == MailLens::people)
        co_return;
    setLens(MailLens::people);
    setSearchText(QString());
    clearConversationSelection();
    co_await refreshPeople(true);
}

QCoro::Task<void> AppModel::selectAI()
{
    setLens(MailLens::ai);
    setSearchText(QString());
    clearConversationSelection();
    co_await loadAIConversations();
    if (!m_selectedAIConversationID && !m_aiConversations.isEmpty())
        setSelectedAIConversationID(m_aiConversations.constFirst().id);
}

QCoro::Task<void> AppModel::openConversation(QString id)
{
    if (!m_token)
        co_return;
    // The row shows as selected while the detail loads; the previous detail
    // stays until the answer arrives.
    setSelectedConversationID(id);
    std::exception_ptr failure;
    try {
        ConversationDetail loaded = co_await m_api->conversation(id, *m_token);
        setDetail(std::move(loaded));
        setErrorMessage(std::nullopt);
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure)
        present(failure);
}

} // namespace quarn
