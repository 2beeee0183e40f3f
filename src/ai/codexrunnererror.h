#pragma once

#include "core/error.h"

#include <QString>

#include <cstdint>

namespace quarn {

/// The failures of the local AI engine: finding, verifying and running the
/// reviewed Codex CLI build and checking what it answered. File-system and
/// process-launch failures are not cases here: they travel as
/// `PlatformError`, unchanged.
class CodexRunnerError : public Error
{
public:
    /// The cases, in their fixed order.
    enum class Kind {
        /// The run ended with a non-zero exit status (carried by `exitStatus()`).
        Failed,
        /// No install candidate holds the reviewed build.
        Unavailable,
        /// The installed program or its staged copy failed a trust check.
        UntrustedBinary,
        /// The readiness probe failed.
        NotLoggedIn,
        /// The run did not end within its time limit.
        TimedOut,
        /// The result file was missing its limits, unreadable or not acceptable.
        InvalidOutput,
    };

    explicit CodexRunnerError(Kind kind, std::int32_t exitStatus = 0);

    [[nodiscard]] static CodexRunnerError failed(std::int32_t exitStatus)
    {
        return CodexRunnerError(Kind::Failed, exitStatus);
    }
    [[nodiscard]] static CodexRunnerError unavailable() { return CodexRunnerError(Kind::Unavailable); }
    [[nodiscard]] static CodexRunnerError untrustedBinary() { return CodexRunnerError(Kind::UntrustedBinary); }
    [[nodiscard]] static CodexRunnerError notLoggedIn() { return CodexRunnerError(Kind::NotLoggedIn); }
    [[nodiscard]] static CodexRunnerError timedOut() { return CodexRunnerError(Kind::TimedOut); }
    [[nodiscard]] static CodexRunnerError invalidOutput() { return CodexRunnerError(Kind::InvalidOutput); }

    [[nodiscard]] Kind kind() const { return m_kind; }
    /// The child's exit status for `Kind::Failed`; 0 for every other case.
    [[nodiscard]] std::int32_t exitStatus() const { return m_exitStatus; }

    /// The user-facing text. `TimedOut` names two minutes whatever the limit
    /// of the run was: the user only ever sees the longest limit explained.
    [[nodiscard]] QString description() const override;

    friend bool operator==(const CodexRunnerError &a, const CodexRunnerError &b)
    {
        return a.m_kind == b.m_kind && a.m_exitStatus == b.m_exitStatus;
    }

private:
    Kind m_kind;
    std::int32_t m_exitStatus;
};

} // namespace quarn
