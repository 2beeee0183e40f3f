// The user's unsent words: one reply draft per conversation and the compose
// sheet's draft, kept in memory at once and on disk a moment after typing
// rests, so that a crash or a restart loses none of them.

#include "api/apiclient.h"
#include "api/mailapierror.h"
#include "app/appmodel.h"
#include "app/draftstore.h"
#include "core/blocking.h"

#include <chrono>

using namespace Qt::StringLiterals;

namespace quarn {

void AppModel::setComposeDraft(std::optional<ComposeDraft> draft)
{
    if (draft && draft->isEmpty())
        draft.reset();
    if (m_composeDraft == draft)
        return;
    m_composeDraft = std::move(draft);
    Q_EMIT composeDraftChanged();
    draftsChanged();
}

void AppModel::composeDraftSent(const ComposeDraft &sent)
{
    // A sheet opened meanwhile may have taken the draft further: that is the
    // user's new text, not what went out.
    if (m_composeDraft && *m_composeDraft == sent)
        setComposeDraft(std::nullopt);
}

void AppModel::composeSendFailed(const ComposeDraft &unsent)
{
    if (!m_composeDraft && !m_composePresented) {
        setComposeDraft(unsent);
        return;
    }
    // A sheet opened meanwhile holds the user's newer words (or will, as
    // they type): the failed message waits for its own turn instead.
    m_unsentComposes.append(unsent);
    draftsChanged();
    const QString where
        = u"送信できなかったメッセージは残してあります。いまの下書きを送信するか空にすると、次の「新規メッセージ」で開きます。"_s;
    if (m_errorMessage && m_errorOperation == Failure::compose)
        showError(*m_errorMessage + u"\n"_s + where, Failure::compose);
    else
        showError(where, Failure::compose);
}

void AppModel::draftsChanged()
{
    m_draftsUnsaved = true;
    // Before the file was read a write would replace what it holds; the
    // read schedules the write when it is done.
    if (m_hasReadDrafts)
        m_draftTimer.start();
}

Drafts AppModel::currentDrafts() const
{
    return Drafts { m_replyDrafts, m_composeDraft, m_unsentComposes };
}

QCoro::Task<void> AppModel::loadDrafts()
{
    if (m_hasReadDrafts)
        co_return;
    std::optional<Drafts> loaded;
    std::exception_ptr failure;
    try {
        loaded = co_await m_draftStore->load();
    } catch (...) {
        failure = std::current_exception();
    }
    if (m_hasReadDrafts)
        co_return;
    if (failure) {
        // A file that was set aside no longer stands in the way; one that
        // could not be moved is refused by every save, which says so.
        m_hasReadDrafts = true;
        present(failure, Failure::notice);
        if (m_draftsUnsaved)
            m_draftTimer.start();
        co_return;
    }
    m_hasReadDrafts = true;
    // What was typed since start-up is newer than what the file holds.
    const std::optional<QString> shown = m_detail ? std::optional(m_detail->id) : std::nullopt;
    bool shownChanged = false;
    for (auto it = loaded->replies.cbegin(); it != loaded->replies.cend(); ++it) {
        if (m_replyDrafts.contains(it.key()))
            continue;
        m_replyDrafts.insert(it.key(), it.value());
        shownChanged = shownChanged || shown == it.key();
    }
    if (!m_composeDraft && loaded->compose) {
        m_composeDraft = std::move(loaded->compose);
        Q_EMIT composeDraftChanged();
    } else if (loaded->compose && *loaded->compose != *m_composeDraft) {
        // The stored draft was replaced by words typed since start-up: it
        // waits its turn rather than being written over.
        loaded->unsent.prepend(std::move(*loaded->compose));
        m_draftsUnsaved = true;
    }
    m_unsentComposes = loaded->unsent + m_unsentComposes;
    if (shownChanged)
        Q_EMIT replyTextChanged();
    if (m_draftsUnsaved)
        m_draftTimer.start();
}

QCoro::Task<void> AppModel::saveDrafts()
{
    if (!m_hasReadDrafts)
        co_return;
    m_draftTimer.stop();
    m_draftsUnsaved = false;
    ++m_draftSavesRunning;
    std::exception_ptr failure;
    try {
        auto saving = m_draftStore->save(currentDrafts());
        co_await std::move(saving);
    } catch (...) {
        failure = std::current_exception();
    }
    --m_draftSavesRunning;
    if (failure) {
        // Memory keeps every draft; the next change tries again.
        m_draftsUnsaved = true;
        present(failure, Failure::drafts);
    } else {
        clearError(Failure::drafts);
    }
    Q_EMIT draftsSaved();
}

void AppModel::saveDraftsNow(int boundMs)
{
    if (!m_draftsUnsaved && m_draftSavesRunning == 0)
        return;
    try {
        // The store writes in the order asked: this write ends after any
        // already on its way, which may hold the last words typed.
        blockOn(saveDrafts(), std::chrono::milliseconds(boundMs));
    } catch (const TaskTimeout &) {
        // The disk did not answer in time; quitting goes on.
    }
}

QCoro::Task<void> AppModel::dropVanishedDrafts(QString token, QStringList listed)
{
    if (m_checkedVanishedDrafts || !m_hasReadDrafts)
        co_return;
    m_checkedVanishedDrafts = true;
    const QStringList ids = m_replyDrafts.keys();
    for (const QString &id : ids) {
        if (listed.contains(id))
            continue;
        bool gone = false;
        try {
            (void)co_await m_api->conversation(id, token);
        } catch (const MailAPIError &e) {
            gone = e.kind() == MailAPIError::Kind::server && e.status() == 404;
        } catch (...) {
            // Unreachable or refused: nothing is known, the draft stays.
        }
        // Only the account that asked may drop its drafts.
        if (gone && m_token == token)
            setReplyDraft(id, QString());
    }
}

} // namespace quarn
