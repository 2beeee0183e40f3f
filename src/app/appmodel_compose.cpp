#include "ai/codexrunner.h"
#include "app/appmodel.h"

namespace quarn {

QCoro::Task<QString> AppModel::suggestSubject(QString body)
{
    // Held here, so that the runner outlives the request even if the
    // environment were changed meanwhile.
    const std::shared_ptr<CodexRunner> codex = m_environment.codex;
    auto suggesting = codex->suggestSubject(std::move(body));
    co_return co_await std::move(suggesting);
}

qint64 AppModel::now() const
{
    return m_environment.now();
}

} // namespace quarn
