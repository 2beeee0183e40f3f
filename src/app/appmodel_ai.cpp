// Private AI conversations: loading them from the device's store.

#include "ai/aiconversationstore.h"
#include "app/appmodel.h"

#include <algorithm>

namespace quarn {

QCoro::Task<void> AppModel::loadAIConversations()
{
    std::optional<QList<AIConversation>> loaded;
    std::exception_ptr failure;
    try {
        loaded = co_await m_aiStore->load();
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure) {
        // The conversations in memory stay as they were.
        present(failure);
        co_return;
    }
    setAIConversations(std::move(*loaded));
    if (m_selectedAIConversationID) {
        const QString selected = *m_selectedAIConversationID;
        const bool stillThere = std::any_of(m_aiConversations.cbegin(), m_aiConversations.cend(),
            [&](const AIConversation &c) { return c.id == selected; });
        if (!stillThere)
            setSelectedAIConversationID(std::nullopt);
    }
}

} // namespace quarn
