#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace quarn::service {

class MailStore;
class DeliveryWorker;
class HttpServer;

/// Settings of one running service.
struct ServerOptions
{
    int port = 8787; ///< 0: any free port
    std::size_t payloadMax = 1 << 20; ///< larger request bodies are refused with 413
    std::int64_t codeLifetimeMs = 120'000; ///< how long a sign-in code can be exchanged
    std::size_t workers = 4; ///< threads that answer requests
    std::int64_t requestDeadlineMs = 10'000; ///< reading one request, from its first byte
    std::int64_t idleTimeoutMs = 5'000; ///< a kept-alive connection waiting for its next request
    std::size_t maxRequestsPerConnection = 100;
    int listenBacklog = 512; ///< connections the system queues before they are accepted
};

/// The HTTP face of the service on 127.0.0.1: the eleven mail endpoints, the
/// sign-in page and the token endpoint. Every failure is answered with one
/// shape, {"error": code, "message": Japanese text}. Connections are held by
/// a ConnectionHub: a request reaches a worker only once it has arrived, so
/// slow or idle clients cannot hold the workers, and connections are served
/// in turn.
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
    /// Ends run() and every open connection at once; call once, from any
    /// thread, after isRunning() was true.
    void stop();

private:
    void installRoutes();

    MailStore &m_store;
    DeliveryWorker &m_worker;
    ServerOptions m_options;
    std::unique_ptr<HttpServer> m_http;
};

} // namespace quarn::service
