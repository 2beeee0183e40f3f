// A look at a list beside the screens: the desktop notifications follow the
// needs-you list whatever list the window shows.

#include "api/apiclient.h"
#include "app/appmodel.h"

namespace quarn {

QCoro::Task<std::optional<MailState>> AppModel::peekState(ConversationStatus status)
{
    if (!m_token)
        co_return std::nullopt;
    const QString token = *m_token;
    std::optional<MailState> answer;
    try {
        answer = co_await m_api->state(status, token);
    } catch (...) {
        // The screens' own reload reports failures (and signs out on an
        // unauthorised answer); an observer's look only misses one round.
    }
    co_return answer;
}

} // namespace quarn
