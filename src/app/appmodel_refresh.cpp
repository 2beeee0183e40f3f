// Start-up, the main reload, switching lenses and status lists, and opening a
// conversation of the current list.

#include "account/devicecredentialstore.h"
#include "ai/codexrunner.h"
#include "api/apiclient.h"
#include "app/appmodel.h"
#include "core/async.h"

#include <algorithm>

namespace quarn {

namespace {

/// `incoming`, or `shown` itself when the two lists are equal. The comparison
/// runs on a worker, and so does freeing the list that is not kept; an
/// unchanged reload then hands the main thread the very list it shows, which
/// it finds equal without looking at a row. (A plain function on purpose:
/// written as a coroutine awaited in place, with these parameters moved into
/// the job, it lost a reference to the shown list under GCC 12, which ASan
/// reported as a use after free in the list model.)
QCoro::Task<QList<ConversationListItem>> keepShownIfEqual(
    QList<ConversationListItem> shown, QList<ConversationListItem> incoming)
{
    return runOn(QThreadPool::globalInstance(), [shown = std::move(shown), incoming = std::move(incoming)]() mutable {
        if (shown == incoming) {
            incoming = {};
            return std::move(shown);
        }
        shown = {};
        return std::move(incoming);
    });
}

/// What the AI screens say about an unusable Codex CLI: why, what to do and
/// the command that does it.
struct CodexAdvice
{
    QString problem;
    QString remedy;
    QString command;
};

CodexAdvice codexAdvice(std::exception_ptr problem)
{
    if (!problem)
        return {};
    const QString version = QLatin1String(CodexRunner::kReviewedVersion);
    const QString install = QStringLiteral("sudo npm install -g @openai/codex@") + version;
    try {
        std::rethrow_exception(problem);
    } catch (const CodexRunnerError &e) {
        switch (e.kind()) {
        case CodexRunnerError::Kind::Unavailable:
            return { e.description(),
                QStringLiteral("ターミナルで次のコマンドを実行してインストールし、codex login "
                               "でログインしてから「もう一度確認」を押してください。"),
                install };
        case CodexRunnerError::Kind::UntrustedBinary:
            return { QStringLiteral("インストールされているCodex CLIは確認済みの%1ではありません。").arg(version),
                QStringLiteral("ターミナルで次のコマンドを実行して入れ直し、「もう一度確認」を押してください。"),
                install };
        case CodexRunnerError::Kind::NotLoggedIn:
            return { e.description(),
                QStringLiteral("ターミナルで次のコマンドを実行してログインし、「もう一度確認」を押してください。"),
                QStringLiteral("codex login") };
        case CodexRunnerError::Kind::TimedOut:
            return { QStringLiteral("Codex CLIがログインの確認に応答しませんでした。"),
                QStringLiteral("ターミナルで次のコマンドが応答するか確かめ、「もう一度確認」を押してください。"),
                QStringLiteral("codex login status") };
        case CodexRunnerError::Kind::Failed:
        case CodexRunnerError::Kind::InvalidOutput:
            break;
        }
    } catch (...) { }
    // The copy could not be staged or started: the system's own words.
    return { describe(problem), QStringLiteral("原因を取り除いてから「もう一度確認」を押してください。"), QString() };
}

} // namespace

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
    // With a token the client is loading from the moment it counts as
    // configured until the first reload has answered: the workspace shows its
    // progress, and no screen acts on the absence of an answer (such as
    // asking for an address).
    std::optional<LoadingScope> startUpLoading;
    if (loadFailure) {
        present(loadFailure, Failure::token);
        m_token.reset();
        setIsConfigured(false);
    } else {
        m_token = token;
        if (token) {
            startUpLoading.emplace(*this);
            m_isStartingUp = true;
        }
        setIsConfigured(token.has_value());
    }
    m_hasReadToken = true;
    Q_EMIT hasReadTokenChanged();

    // The readiness probe runs beside the loading below; it is awaited before
    // the triage pass, which needs its answer. The first list is asked for
    // before the AI conversations are read, and applied after them.
    QCoro::Task<void> probe = probeCodex();
    std::optional<PendingState> firstList;
    if (m_isConfigured && m_lens != MailLens::people)
        firstList.emplace(requestState());
    co_await loadDrafts();
    co_await loadAIConversations();
    if (firstList)
        co_await completeRefresh(std::move(*firstList), true);
    else if (m_isConfigured)
        co_await refresh(true);
    m_isStartingUp = false;
    startUpLoading.reset();
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
    const quint64 probe = ++m_codexProbes;
    ++m_codexProbesRunning;
    if (m_codexProbesRunning == 1)
        Q_EMIT codexReadinessChanged();
    const CodexReadiness answer = co_await codex->readiness();
    const std::exception_ptr problem = answer.problem;
    --m_codexProbesRunning;
    // An older probe that ends late says nothing about the newer one's answer.
    if (probe == m_codexProbes) {
        const CodexAdvice advice = codexAdvice(problem);
        m_codexProblem = advice.problem;
        m_codexRemedy = advice.remedy;
        m_codexFixCommand = advice.command;
        setIsCodexReady(!problem);
    }
    Q_EMIT codexReadinessChanged();
}

QCoro::Task<void> AppModel::checkCodex()
{
    if (m_codexProbesRunning > 0)
        co_return;
    co_await probeCodex();
}

QCoro::Task<void> AppModel::refresh(bool keepingSelection)
{
    if (!m_token)
        co_return;
    if (m_lens == MailLens::people) {
        co_await refreshPeople(keepingSelection);
        co_return;
    }

    co_await completeRefresh(requestState(), keepingSelection);
}

AppModel::PendingState AppModel::requestState()
{
    const quint64 request = nextStateRequest();
    return { request, m_selectedStatus, *m_token, m_api->state(m_selectedStatus, *m_token, m_stateMemo) };
}

QCoro::Task<void> AppModel::completeRefresh(PendingState pending, bool keepingSelection)
{
    const LoadingScope loading(*this);
    const ReloadScope reloading(*this);
    const QString token = pending.token;
    const ConversationStatus status = pending.status;
    const quint64 request = pending.request;
    std::optional<MailState> fresh;
    std::exception_ptr failure;
    try {
        fresh = co_await std::move(pending.answer);
    } catch (...) {
        failure = std::current_exception();
    }
    if (fresh && m_state && !fresh->conversations.isEmpty()
        && fresh->conversations.size() == m_state->conversations.size()) {
        auto comparing = keepShownIfEqual(m_state->conversations, std::move(fresh->conversations));
        fresh->conversations = co_await std::move(comparing);
    }
    if (!isStateAnswerWanted(request, status, token)) {
        // Another status was chosen, a newer list has landed or the account
        // changed meanwhile: this answer, or its failure, says nothing about
        // what is shown now. A rejected token is still a rejected token.
        if (failure && m_token == token && isUnauthorized(failure))
            presentListFailure(failure);
        co_return;
    }
    if (failure) {
        // The list, the selection and the detail stay as they were.
        presentListFailure(failure);
        co_return;
    }
    applyState(request, *fresh);
    noteReloadSucceeded();
    // The first of the needs-you list are what the user opens next.
    if (status == ConversationStatus::needsYou)
        prefetchFirst(3);

    try {
        PeopleResponse answer = co_await m_api->people(token);
        if (m_token == token)
            setPeople(std::move(answer.people));
    } catch (...) {
        // A failed people list during a reload is dropped: the previous list stays.
    }
    // Whether the selection stays is decided on this reload's own list, and
    // only while that list is still the one shown: a reload, a status change
    // or a triage that replaced it meanwhile decides for itself.
    if (request != m_stateApplied || status != m_selectedStatus || m_token != token)
        co_return;
    if (!m_checkedVanishedDrafts) {
        QStringList listed;
        for (const ConversationListItem &c : fresh->conversations)
            listed.append(c.id);
        auto dropping = dropVanishedDrafts(token, listed);
        co_await std::move(dropping);
        if (request != m_stateApplied || status != m_selectedStatus || m_token != token)
            co_return;
    }

    if (keepingSelection && m_selectedConversationID) {
        const QString selected = *m_selectedConversationID;
        const bool stillListed = std::any_of(fresh->conversations.cbegin(), fresh->conversations.cend(),
            [&](const ConversationListItem &c) { return c.id == selected; });
        if (stillListed) {
            co_await openConversation(selected);
            co_return;
        }
    }
    if (m_selectedConversationID)
        clearConversationSelection();
}

QCoro::Task<void> AppModel::selectStatus(ConversationStatus status)
{
    if (m_lens == MailLens::work && m_selectedStatus == status)
        co_return;
    setLens(MailLens::work);
    if (status != m_selectedStatus)
        m_listAnswered = false;
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
    const QString token = *m_token;
    // The row shows as selected while the detail loads; the previous detail
    // stays in the model until the answer arrives, but the screens show the
    // chosen one as on its way (openingConversation), never the previous one
    // as if it were chosen. One that was fetched ahead and still matches its
    // row shows at once instead, and the answer below refreshes it.
    const quint64 generation = ++m_conversationGeneration;
    m_conversationLoadFailed.reset();
    setSelectedConversationID(id);
    bool shownAhead = false;
    if (!m_detail || m_detail->id != id) {
        if (std::optional<ConversationDetail> ahead = prefetchedDetail(id)) {
            setDetail(std::move(ahead));
            clearError(Failure::conversation);
            shownAhead = true;
        }
    }
    updateLoadStates();
    const quint64 request = ++m_detailRequests;
    std::optional<ConversationDetail> loaded;
    std::exception_ptr failure;
    try {
        loaded = co_await m_api->conversation(id, token);
    } catch (...) {
        failure = std::current_exception();
    }
    if (loaded)
        rememberDetail(*loaded, token, request);
    // Another conversation was opened, or the selection cleared, meanwhile:
    // a reply typed now must not go to this one.
    if (generation != m_conversationGeneration || m_selectedConversationID != id || m_token != token)
        co_return;
    if (failure) {
        // What was fetched ahead stays shown; the reload's banner tells
        // when the service is out of reach.
        if (shownAhead)
            co_return;
        m_conversationLoadFailed = id;
        updateLoadStates();
        present(failure, Failure::conversation);
        co_return;
    }
    // What was shown ahead and is still current changes nothing here.
    setDetail(std::move(loaded));
    clearError(Failure::conversation);
    prefetchAround(id);
}

} // namespace quarn
