#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <nlohmann/json.hpp>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

namespace httplib {
class Server;
}

/// Support for the tests that drive the real Codex CLI 0.147.0 offline: where
/// the cached npm installation is, its offline configuration and login, and a
/// stub of the model endpoint that the CLI talks to on 127.0.0.1.
///
/// The real binary only ever runs inside a loopback-only network namespace
/// (tests/support/loopback-only) and only after `writeOfflineConfig`, which
/// turns off everything in it that would reach other hosts.
namespace quarn::testing {

/// The npm installation made by scripts/fetch-codex (the CTest fixture
/// "real_codex_fetch"), as the test process finds it.
struct RealCodexInstall
{
    enum class State {
        /// Installed and verified; the paths are set.
        ready,
        /// The package registry was unreachable: the tests skip.
        registryUnreachable,
        /// Anything else (fixture not run, failed, cache incomplete): the
        /// tests fail with `problem`.
        missing,
    };
    State state = State::missing;
    QString problem;
    /// The npm prefix (the cache folder).
    QString prefix;
    /// "<prefix>/node_modules/.bin/codex", npm's link to the launcher script.
    QString launcherLink;
    /// The Linux platform executable inside the platform package.
    QString binary;

    /// Reads QUARN_CODEX_CACHE and QUARN_CODEX_FETCH_STATUS (set by CTest).
    [[nodiscard]] static RealCodexInstall locate();
};

/// SHA-256 of a file as lower-case hex, streamed through libcrypto (a Qt
/// digest of the 258 MB executable takes seconds); empty when unreadable.
[[nodiscard]] QString fileSha256(const QString &path);

/// True when this process sees no network interface but "lo" — that is, it
/// runs inside the loopback-only namespace. The tests refuse to start the
/// real binary otherwise.
[[nodiscard]] bool onlyLoopbackInterfaces();

/// Writes HOME/.codex/config.toml (folder 0700): the stub provider at
/// http://127.0.0.1:<port>/v1, retries off, analytics, plugins and apps off,
/// no update check. Returns false when it cannot be written.
[[nodiscard]] bool writeOfflineConfig(const QString &home, int port);

/// Logs in with a dummy API key: HOME/.codex/auth.json, mode 0600.
[[nodiscard]] bool writeApiKeyLogin(const QString &home);

/// Removes the login again.
void removeLogin(const QString &home);

/// The model endpoint as the Codex CLI expects it: POST /v1/responses
/// answered with server-sent events. It listens on 127.0.0.1 at a free port,
/// records every request and answers as the test chose last.
class StubModelEndpoint
{
public:
    enum class Behaviour {
        /// A final assistant message with the given text, then completion.
        answer,
        /// Only the completion event: the CLI writes an empty result file.
        emptyResult,
        /// HTTP 500.
        fail,
        /// Accepts the request and never answers (until `releaseHanging` or
        /// destruction), so only the client's own time limit ends the run.
        hang,
    };

    struct Request
    {
        QByteArray method;
        QByteArray path;
        QByteArray authorization;
        QByteArray body;
    };

    StubModelEndpoint();
    ~StubModelEndpoint();
    StubModelEndpoint(const StubModelEndpoint &) = delete;
    StubModelEndpoint &operator=(const StubModelEndpoint &) = delete;

    [[nodiscard]] bool isListening() const { return m_port > 0; }
    [[nodiscard]] int port() const { return m_port; }

    void setBehaviour(Behaviour behaviour, const QString &text = QString());
    /// Lets every hanging request end (with a 500).
    void releaseHanging();

    [[nodiscard]] QList<Request> requests() const;
    void clearRequests();

    /// The text of the last input item with role "user" of a request body:
    /// the prompt the CLI read on standard input. Nothing when there is none.
    [[nodiscard]] static std::optional<QString> lastUserInput(const QByteArray &body);
    /// The body's "text.format" member; nothing when the body has no "text".
    [[nodiscard]] static std::optional<nlohmann::json> textFormat(const QByteArray &body);

private:
    std::unique_ptr<httplib::Server> m_server;
    std::thread m_thread;
    int m_port = 0;

    mutable std::mutex m_mutex;
    std::condition_variable m_released;
    Behaviour m_behaviour = Behaviour::fail;
    QString m_text;
    quint64 m_releaseGeneration = 0;
    bool m_stopping = false;
    QList<Request> m_requests;
};

} // namespace quarn::testing
