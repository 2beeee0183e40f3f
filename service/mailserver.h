#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace httplib {
class Server;
}

namespace quarn::service {

class MailStore;
class DeliveryWorker;

/// Settings of one running service.
struct ServerOptions
{
    int port = 8787; ///< 0: any free port
    std::size_t payloadMax = 1 << 20; ///< larger request bodies are refused with 413
    std::int64_t codeLifetimeMs = 120'000; ///< how long a sign-in code can be exchanged
};

/// The HTTP face of the service on 127.0.0.1: the eleven mail endpoints, the
/// sign-in page and the token endpoint. Every failure is answered with one
/// shape, {"error": code, "message": Japanese text}.
class MailServer
{
public:
    MailServer(MailStore &store, DeliveryWorker &worker, ServerOptions options);
    ~MailServer();
    MailServer(const MailServer &) = delete;
    MailServer &operator=(const MailServer &) = delete;

    /// Binds the listening socket and answers the port; throws when it cannot.
    int bind();
    /// Serves until stop(); returns false if serving failed.
    bool run();
    /// Whether the accept loop has started.
    [[nodiscard]] bool isRunning() const;
    /// Ends run(); call once, from any thread, after isRunning() was true.
    void stop();

private:
    void installRoutes();

    MailStore &m_store;
    DeliveryWorker &m_worker;
    ServerOptions m_options;
    std::unique_ptr<httplib::Server> m_http;
};

} // namespace quarn::service
