#pragma once

#include "ai/codexrunnererror.h"
#include "core/async.h"
#include "model/records.h"

#include <QByteArray>
#include <QCoroTask>
#include <QList>
#include <QString>
#include <QStringList>

#include <chrono>
#include <exception>
#include <optional>

namespace quarn {

/// The answer of a readiness probe.
struct CodexReadiness
{
    /// Why the Codex CLI cannot be used, or null when it is ready:
    /// `CodexRunnerError` (`Unavailable`: no installation; `UntrustedBinary`:
    /// not the reviewed build; `NotLoggedIn`: "login status" answered no;
    /// `TimedOut`: it did not answer in time) or `PlatformError` (the copy
    /// could not be staged or started).
    std::exception_ptr problem;

    [[nodiscard]] bool isReady() const { return !problem; }
};

/// The local AI engine: finds the one reviewed build of the Codex CLI
/// (0.147.0), verifies it, copies it into a private runtime folder and runs
/// only that copy — to probe the login, triage a conversation, suggest a
/// subject or answer a private chat turn.
///
/// Operations are coroutines started on one thread (the main thread); the
/// file work (discovery, digests, staging, work folders, result reads) runs
/// on the runner's own serial worker, one job after another, and never on
/// the calling thread. A run suspends while its child works, so operations
/// may overlap. Failures are `CodexRunnerError`, or `PlatformError` with the
/// system's own text. The runner must outlive every operation started on it.
class CodexRunner
{
public:
    /// Everything that production fixes as constants; tests substitute their
    /// own (a test double's digest, a temporary home, short limits).
    struct Configuration
    {
        /// SHA-256 of the reviewed executable for this machine, lower-case hex.
        QString pinnedDigest;
        /// Where an installation is looked for, in order.
        QStringList installCandidates;
        /// Private folder (0700) that holds the staged copy.
        QString runtimeDirectory;
        /// Folder in which per-run work folders are made; empty means the
        /// platform's temporary folder at the time of the run
        /// (platform::temporaryDirectory(), never empty or relative).
        QString temporaryDirectory;
        std::chrono::milliseconds probeTimeLimit { 15'000 };
        std::chrono::milliseconds triageTimeLimit { 120'000 };
        std::chrono::milliseconds subjectTimeLimit { 45'000 };
        std::chrono::milliseconds chatTimeLimit { 120'000 };
        /// Between SIGTERM and SIGKILL of a child past its limit.
        std::chrono::milliseconds killDelay { 2'000 };
        /// How long a failed staging keeps subject suggestions from staging
        /// again (requests the user makes stage again at once).
        std::chrono::milliseconds stagingBackOff { 300'000 };

        /// The constants of this platform, with candidates and runtime folder
        /// derived from the user's home and data folders.
        [[nodiscard]] static Configuration production();
    };

    /// The reviewed version and the staged copy's file name.
    static constexpr char kReviewedVersion[] = "0.147.0";
    static constexpr char kStagedFileName[] = "reviewed-codex-0.147.0";
    /// Pinned digests of the reviewed Linux executables.
    static constexpr char kPinnedDigestX86_64[] = "cb0a15567e9a60a5820d54b0f6ae86d504dc3805c1eab21a47f70e3eb7b73a40";
    static constexpr char kPinnedDigestAarch64[] = "e23d0be344d2496986c985cd3db61e6f649b1ddd900e6afc1b5aaabbffcbb4e2";

    explicit CodexRunner(Configuration configuration = Configuration::production());
    CodexRunner(const CodexRunner &) = delete;
    CodexRunner &operator=(const CodexRunner &) = delete;

    /// The process-wide runner with the production configuration, created at
    /// first use and never destroyed (children may still be running at exit).
    [[nodiscard]] static CodexRunner &shared();

    /// True when the staged copy can be prepared and `codex login status`
    /// exits 0 within the probe limit. Never fails.
    QCoro::Task<bool> isReady();

    /// The same probe, answering why the Codex CLI cannot be used. Never fails.
    QCoro::Task<CodexReadiness> readiness();

    /// Triage of a conversation into an accepted insight.
    QCoro::Task<AiInsight> triage(ConversationDetail conversation);

    /// A subject line for the body of a new message (trimmed, accepted).
    /// Asked at typing pauses: while a staging failure is recent (see
    /// Configuration::stagingBackOff) it fails with that failure at once.
    QCoro::Task<QString> suggestSubject(QString body);

    /// The assistant's reply to a private chat, oldest message first, the
    /// user's new message last (trimmed, non-empty).
    QCoro::Task<QString> chat(QList<AIChatMessage> messages);

    /// Removes the work folders that runs of this user left behind (a
    /// process that was killed or quit while its child ran), on the serial
    /// worker; folders in use by a living run, here or in another process,
    /// stay. Answers how many went. For the start of the application.
    QCoro::Task<int> sweepStaleWorkFolders();

    /// The same, blocking, in `temporaryDirectory` (empty: the platform's).
    static int sweepStaleWorkFolders(const QString &temporaryDirectory);

    /// Locates, verifies and stages the reviewed executable; returns the
    /// staged copy's path. Runs on the serial worker.
    QCoro::Task<QString> prepare();

    /// The remembered staged copy (read it only while no preparation runs).
    [[nodiscard]] std::optional<QString> stagedBinary() const { return m_stagedBinary; }

    [[nodiscard]] const Configuration &configuration() const { return m_configuration; }

    // The building blocks, static so that tests can exercise each rule.

    /// First candidate that is an executable file: the link-resolved path of
    /// a native executable, or the platform executable of the npm package
    /// whose launcher the candidate resolves to. Nothing when none yields.
    [[nodiscard]] static std::optional<QString> findInstalledBinary(const QStringList &candidates);

    /// True when the installed executable at `path` passes every trust check
    /// against `pinnedDigest`. Owned by the user or by root (a system-wide
    /// installation is root's).
    [[nodiscard]] static bool isTrustedCodexBinary(const QString &path, const QString &pinnedDigest);

    /// True when `path` names the staged file in a private folder of the
    /// user and the file itself is trusted and owned by the user (the copy
    /// is always the user's own, whoever owns its source).
    [[nodiscard]] static bool isTrustedStagedBinary(const QString &path, const QString &pinnedDigest);

private:
    struct Operation;

    /// Blocking; only on the serial worker.
    QString prepareBinary();
    QCoro::Task<bool> isStagedCopyTrusted(QString path);
    QCoro::Task<QByteArray> runOperation(Operation operation);
    QCoro::Task<QByteArray> runInWorkFolder(const Operation &operation, QString binary, QString folder);

    Configuration m_configuration;
    SerialExecutor m_executor;
    /// Touched only by jobs on m_executor.
    std::optional<QString> m_stagedBinary;
    struct StagingFailure
    {
        std::chrono::steady_clock::time_point when;
        std::exception_ptr error;
    };
    /// The last preparation's failure, if it failed; only on m_executor.
    StagingFailure m_stagingFailure;
};

} // namespace quarn
