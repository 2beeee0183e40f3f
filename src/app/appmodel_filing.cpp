// Filing from the keyboard: a status change that keeps the list in place and
// moves on to the next conversation, and its undo.

#include "api/apiclient.h"
#include "app/appmodel.h"

namespace quarn {

QCoro::Task<bool> AppModel::fileAndOpenNext(ConversationStatus status)
{
    if (!isUserSelectable(status) || !m_token || !m_detail || m_lens != MailLens::work)
        co_return false;
    const QString id = m_detail->id;
    const ConversationStatus list = m_selectedStatus;
    const QString token = *m_token;
    // The neighbour is taken from the list as the user sees it now: after the
    // reload the filed conversation is gone and its place says nothing.
    std::optional<QString> next;
    const QList<ConversationListItem> rows = filteredConversations();
    for (qsizetype i = 0; i < rows.size(); ++i) {
        if (rows.at(i).id != id)
            continue;
        if (i + 1 < rows.size())
            next = rows.at(i + 1).id;
        else if (i > 0)
            next = rows.at(i - 1).id;
        break;
    }

    std::exception_ptr failure;
    try {
        (void)co_await m_api->setStatus(status, id, token);
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure) {
        present(failure, Failure::status);
        co_return false;
    }
    clearError(Failure::status);
    // The user went elsewhere meanwhile: the change stands, where they are
    // now is theirs.
    if (m_token != token || m_lens != MailLens::work || m_selectedStatus != list || m_selectedConversationID != id)
        co_return true;
    if (next) {
        // Opened before the reload, so the pane never stands empty between
        // the two; the reload then keeps it.
        co_await openConversation(*next);
        co_await refresh(true);
    } else {
        co_await refresh(false);
    }
    co_return true;
}

QCoro::Task<bool> AppModel::restoreStatus(QString id, ConversationStatus status)
{
    if (!isUserSelectable(status) || !m_token)
        co_return false;
    const QString token = *m_token;
    std::exception_ptr failure;
    try {
        (void)co_await m_api->setStatus(status, id, token);
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure) {
        present(failure, Failure::status);
        co_return false;
    }
    clearError(Failure::status);
    if (m_token != token)
        co_return true;
    if (m_lens == MailLens::work && m_selectedStatus == status)
        co_await openConversation(id);
    co_await refresh(true);
    co_return true;
}

} // namespace quarn
