// Details fetched ahead: the conversations next to the one opened, and the
// first of the needs-you list after a reload, so that moving to the next one
// shows it at once while its own answer is still on the way.
#include "api/apiclient.h"
#include "app/appmodel.h"

#include <QPointer>

#include <algorithm>

namespace quarn {

namespace {

/// At most this many details are kept, and no more text than this.
constexpr qsizetype kPrefetchedDetails = 20;
constexpr qsizetype kPrefetchedCharacters = 8 * 1024 * 1024;

void start(QCoro::Task<void> task)
{
    (void)task;
}

qsizetype characters(const ConversationDetail &detail)
{
    qsizetype total = detail.subject.size() + detail.preview.size();
    for (const MessageView &m : detail.messages)
        total += m.bodyText.size() + m.senderName.size() + m.senderEmail.size();
    return total;
}

/// Whether `detail` is still what `row` lists: a new message, another
/// status or a new triage result makes it stale.
bool matches(const ConversationDetail &detail, const ConversationListItem &row)
{
    return detail.id == row.id && detail.subject == row.subject && detail.status == row.status
        && detail.lastMessageAt == row.lastMessageAt && detail.aiSummary == row.aiSummary
        && detail.aiRequest == row.aiRequest && detail.aiDeadline == row.aiDeadline && detail.aiDraft == row.aiDraft
        && detail.aiRisk == row.aiRisk;
}

} // namespace

std::optional<ConversationDetail> AppModel::prefetchedDetail(const QString &id) const
{
    const auto kept = m_prefetched.constFind(id);
    if (kept == m_prefetched.cend() || !m_token || kept->token != *m_token)
        return std::nullopt;
    const QList<ConversationListItem> rows = filteredConversations();
    const auto row
        = std::find_if(rows.cbegin(), rows.cend(), [&](const ConversationListItem &r) { return r.id == id; });
    if (row == rows.cend() || !matches(kept->detail, *row))
        return std::nullopt;
    return kept->detail;
}

void AppModel::rememberDetail(const ConversationDetail &detail, const QString &token, quint64 request)
{
    if (m_token != token)
        return;
    const auto kept = m_prefetched.find(detail.id);
    if (kept != m_prefetched.end() && kept->token == token && kept->request > request)
        return;
    m_prefetched.insert(detail.id, PrefetchedDetail { detail, token, request, ++m_prefetchUses });

    // The least recently kept go first, down to both bounds.
    qsizetype total = 0;
    for (const PrefetchedDetail &p : std::as_const(m_prefetched))
        total += characters(p.detail);
    while (m_prefetched.size() > 1 && (m_prefetched.size() > kPrefetchedDetails || total > kPrefetchedCharacters)) {
        auto oldest = m_prefetched.begin();
        for (auto it = m_prefetched.begin(); it != m_prefetched.end(); ++it) {
            if (it->used < oldest->used)
                oldest = it;
        }
        total -= characters(oldest->detail);
        m_prefetched.erase(oldest);
    }
}

void AppModel::prefetchAround(const QString &id)
{
    const QList<ConversationListItem> rows = filteredConversations();
    for (qsizetype i = 0; i < rows.size(); ++i) {
        if (rows.at(i).id != id)
            continue;
        if (i + 1 < rows.size())
            prefetch(rows.at(i + 1));
        if (i > 0)
            prefetch(rows.at(i - 1));
        return;
    }
}

void AppModel::prefetchFirst(qsizetype count)
{
    const QList<ConversationListItem> rows = filteredConversations();
    for (qsizetype i = 0; i < rows.size() && i < count; ++i)
        prefetch(rows.at(i));
}

void AppModel::prefetch(const ConversationListItem &row)
{
    if (!m_token || m_prefetching.contains(row.id) || m_selectedConversationID == row.id)
        return;
    const auto kept = m_prefetched.constFind(row.id);
    if (kept != m_prefetched.cend() && kept->token == *m_token && matches(kept->detail, row))
        return;
    start(prefetchDetail(row.id));
}

QCoro::Task<void> AppModel::prefetchDetail(QString id)
{
    const QPointer<AppModel> self(this);
    const QString token = *m_token;
    const quint64 request = ++m_detailRequests;
    m_prefetching.insert(id);
    std::optional<ConversationDetail> loaded;
    try {
        auto loading = m_api->conversation(id, token);
        loaded = co_await std::move(loading);
    } catch (...) {
        // Fetched again when it is opened; the failure is that request's.
    }
    if (!self)
        co_return;
    m_prefetching.remove(id);
    if (loaded)
        rememberDetail(*loaded, token, request);
}

void AppModel::forgetPrefetched()
{
    m_prefetched.clear();
}

} // namespace quarn
