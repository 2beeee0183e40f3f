// AI triage: the automatic pass over pending conversations, the job sequence
// for one conversation and the triage the user starts from the opened one.

#include "ai/codexrunner.h"
#include "api/apiclient.h"
#include "app/appmodel.h"
#include "app/policies.h"

using namespace Qt::StringLiterals;

namespace quarn {

QString AppModel::errorCode(std::exception_ptr error)
{
    try {
        std::rethrow_exception(error);
    } catch (const CodexRunnerError &e) {
        switch (e.kind()) {
        case CodexRunnerError::Kind::Unavailable:
            return u"codex_unavailable"_s;
        case CodexRunnerError::Kind::UntrustedBinary:
            return u"codex_untrusted"_s;
        case CodexRunnerError::Kind::NotLoggedIn:
            return u"codex_not_logged_in"_s;
        case CodexRunnerError::Kind::TimedOut:
            return u"codex_timeout"_s;
        case CodexRunnerError::Kind::InvalidOutput:
            return u"codex_invalid_output"_s;
        case CodexRunnerError::Kind::Failed:
            break;
        }
    } catch (...) { }
    return u"codex_failed"_s;
}

QCoro::Task<ConversationDetail> AppModel::triageConversation(QString id, QString token, bool reflectInUI)
{
    // No job exists until this answers, so its failure is not reported back.
    const AiStartResponse start = co_await m_api->startAI(id, token);

    std::exception_ptr failure;
    try {
        // The user sees the conversation in the AI-working list while the
        // engine runs, unless they have moved on to something else.
        if (reflectInUI && m_lens != MailLens::people && m_selectedConversationID == id) {
            ++m_conversationGeneration;
            setDetail(start.conversation);
            setSelectedStatus(ConversationStatus::aiWorking);
            const quint64 request = nextStateRequest();
            MailState working = co_await m_api->state(ConversationStatus::aiWorking, token);
            if (isStateAnswerWanted(request, ConversationStatus::aiWorking, token))
                applyState(request, std::move(working));
        }
        const std::shared_ptr<CodexRunner> codex = m_environment.codex;
        AiInsight insight = co_await codex->triage(start.conversation);
        AiCompleteResponse completed = co_await m_api->completeAI(id, start.jobId, std::move(insight), token);
        co_return std::move(completed.conversation);
    } catch (...) {
        failure = std::current_exception();
    }

    try {
        co_await m_api->failAI(id, start.jobId, errorCode(failure), token);
    } catch (...) {
        // The job's own failure is what matters; a failing report is ignored.
    }
    std::rethrow_exception(failure);
}

QCoro::Task<void> AppModel::autoTriagePendingWork()
{
    if (!m_token || !m_isCodexReady || m_isAutoTriaging || m_isRunningAI)
        co_return;
    setIsAutoTriaging(true);
    const qint64 now = m_environment.now();
    m_autoTriageRetryAfter.removeIf([now](const auto &entry) { return entry.value() <= now; });

    const QString token = *m_token;
    QList<ConversationListItem> pending;
    std::exception_ptr listFailure;
    try {
        const MailState inbox = co_await m_api->state(ConversationStatus::inbox, token);
        const MailState waiting = co_await m_api->state(ConversationStatus::waiting, token);
        pending = inbox.conversations + waiting.conversations;
    } catch (...) {
        listFailure = std::current_exception();
    }
    if (listFailure) {
        presentListFailure(listFailure);
        setIsAutoTriaging(false);
        setIsRunningAI(false);
        co_return;
    }

    const QStringList ids = AutoTriagePolicy::eligibleConversationIDs(pending, m_autoTriageRetryAfter, now);
    setIsRunningAI(!ids.isEmpty());

    // One conversation at a time: never two engine processes at once.
    std::exception_ptr firstFailure;
    for (const QString &id : ids) {
        bool succeeded = false;
        try {
            (void)co_await triageConversation(id, token, false);
            succeeded = true;
        } catch (...) {
            if (!firstFailure)
                firstFailure = std::current_exception();
        }
        if (succeeded) {
            m_autoTriageRetryAfter.remove(id);
        } else {
            // Counted from when the failure is handled, not from the pass's start.
            m_autoTriageRetryAfter.insert(id, m_environment.now() + kAutoTriageBackOffMs);
        }
    }

    co_await refresh(true);
    if (firstFailure && m_token)
        present(firstFailure, Failure::triage);
    else if (!ids.isEmpty())
        clearError(Failure::triage);
    setIsAutoTriaging(false);
    setIsRunningAI(false);
}

QCoro::Task<void> AppModel::runAI()
{
    if (!m_token || !m_detail || m_isRunningAI || m_isAutoTriaging)
        co_return;
    setIsRunningAI(true);
    const QString id = m_detail->id;
    const QString token = *m_token;

    std::optional<ConversationDetail> triaged;
    std::exception_ptr failure;
    try {
        triaged = co_await triageConversation(id, token, true);
    } catch (...) {
        failure = std::current_exception();
    }

    if (triaged) {
        // The triage's success clears the message; a failure of the reload
        // that follows is shown and stays.
        clearError(Failure::triage);
        if (m_lens == MailLens::people || m_selectedConversationID != id) {
            // The user has moved on: the lists follow, the view stays theirs.
            co_await refresh(true);
            setIsRunningAI(false);
            co_return;
        }
        const ConversationStatus status = triaged->status;
        ++m_conversationGeneration;
        setDetail(std::move(triaged));
        setSelectedStatus(status);
        co_await refresh(false);
        // The conversation stays open, now in the list of its new status.
        if (m_token && m_lens != MailLens::people && !m_selectedConversationID)
            co_await openConversation(id);
        setIsRunningAI(false);
        co_return;
    }

    // User-started triage leaves the automatic back-off alone.
    co_await refresh(m_selectedConversationID != id);
    // A reload that found the token rejected has said why the user is
    // signed out; that message stays.
    if (m_token)
        present(failure, Failure::triage);
    setIsRunningAI(false);
}

} // namespace quarn
