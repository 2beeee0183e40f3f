#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace quarn::service {

/// Limits of the connection hub.
struct HubOptions
{
    std::size_t workers = 4; ///< threads that answer requests
    std::chrono::milliseconds requestDeadline { 10'000 }; ///< from a request's first byte to its last
    std::chrono::milliseconds idleTimeout { 5'000 }; ///< a kept-alive connection with no new request
    std::chrono::milliseconds writeTimeout { 10'000 }; ///< writing one answer
    std::size_t maxRequestsPerConnection = 100; ///< then the answer says "Connection: close"
    std::size_t maxConnections = 1024; ///< beyond this, new connections are closed at once
    std::size_t headLimit = 64 * 1024; ///< a request head longer than this goes to the parser to be refused
    std::size_t payloadMax = 1 << 20; ///< a larger body is not waited for: the parser refuses it
    /// Asked, once the head of a request has arrived without all of its
    /// body, whether that body is worth waiting for. A request it refuses
    /// (one without a valid token, say) is served at once as if it had no
    /// body, and the rest of the body is not read.
    std::function<bool(std::string_view head)> admitsBody;
};

/// One request whose head (and body, when its length is given) has arrived:
/// the connection, the bytes read so far and how long reading may still take.
struct ReadyRequest
{
    int fd = -1;
    std::string buffered;
    std::chrono::steady_clock::time_point deadline;
    std::size_t served = 0; ///< requests answered on this connection before
};

/// Holds the open connections of the service. One thread waits on all of
/// them and collects each request's bytes; a request is handed to a worker
/// only once it has arrived whole, so that a client that sends slowly, or
/// keeps a connection open, never holds a worker. After its answer a kept-
/// alive connection comes back here and queues again behind the others, so
/// every connection is served in turn. Reading a request has an overall
/// deadline, and stop() ends every connection at once.
class ConnectionHub
{
public:
    /// Answers one request; returns whether the connection may stay open
    /// (the request is then fully consumed and `request.buffered` holds any
    /// bytes of the next one).
    using Serve = std::function<bool(ReadyRequest &request, bool lastOnConnection)>;

    ConnectionHub(HubOptions options, Serve serve);
    ~ConnectionHub();
    ConnectionHub(const ConnectionHub &) = delete;
    ConnectionHub &operator=(const ConnectionHub &) = delete;

    /// Takes over an accepted connection (closed by the hub from now on).
    void add(int fd);
    /// Closes every connection and ends the threads; answers being written
    /// are cut off. Idempotent.
    void stop();

    [[nodiscard]] const HubOptions &options() const { return m_options; }

private:
    struct Connection
    {
        int fd = -1;
        std::string buffer;
        std::chrono::steady_clock::time_point since; ///< idle since, or the request's first byte
        bool requestStarted = false;
        std::size_t served = 0;
        std::optional<bool> bodyAdmitted; ///< asked once per request
    };

    /// What must not be read of a request that is handed on before its end.
    enum class Refusal {
        none,
        body, ///< the parser refuses the body (beyond the bound) without the rest
        unadmitted, ///< served as if it had no body
    };

    void pollLoop();
    void workerLoop();
    void wake();
    /// Whether `c.buffer` holds a whole request (or enough to refuse it).
    /// `refusal`, when given, tells whether the rest of a body must not be
    /// read (a chunked body beyond the bound: the parser would wait for all
    /// of it before refusing it; a body the service does not admit).
    [[nodiscard]] bool requestArrived(Connection &c, Refusal *refusal = nullptr) const;
    /// Hands on the request of `c`, whole or refused as `refusal` says.
    static ReadyRequest takeRequest(Connection &c, Refusal refusal, std::chrono::milliseconds deadline);
    void closeConnection(int fd);

    HubOptions m_options;
    Serve m_serve;
    int m_wakeFd = -1;

    std::mutex m_mutex;
    bool m_stopping = false;
    std::vector<Connection> m_arriving; // handed in by add() or by a worker
    std::deque<ReadyRequest> m_ready;
    std::vector<int> m_busy; // connections a worker is answering
    std::condition_variable m_readyChanged;

    std::thread m_poller;
    std::vector<std::thread> m_workers;
};

} // namespace quarn::service
