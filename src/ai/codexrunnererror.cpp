#include "ai/codexrunnererror.h"

namespace quarn {

CodexRunnerError::CodexRunnerError(Kind kind, std::int32_t exitStatus)
    : m_kind(kind)
    , m_exitStatus(kind == Kind::Failed ? exitStatus : 0)
{ }

QString CodexRunnerError::description() const
{
    switch (m_kind) {
    case Kind::Failed:
        return QStringLiteral("Codexが整理を完了できませんでした。");
    case Kind::Unavailable:
        return QStringLiteral("Codex CLI 0.147.0が見つかりません。");
    case Kind::UntrustedBinary:
        return QStringLiteral("Codex CLIの署名を確認できませんでした。");
    case Kind::NotLoggedIn:
        return QStringLiteral("Codex CLIへログインしてください。");
    case Kind::TimedOut:
        return QStringLiteral("Codexの処理が2分以内に完了しませんでした。");
    case Kind::InvalidOutput:
        return QStringLiteral("Codexの結果を安全に読み取れませんでした。");
    }
    return QStringLiteral("Codexの結果を安全に読み取れませんでした。");
}

} // namespace quarn
