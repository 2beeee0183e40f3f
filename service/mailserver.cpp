#include "mailserver.h"

#include "connectionhub.h"
#include "deliveryworker.h"
#include "httpsupport.h"
#include "mailstore.h"
#include "signin.h"
#include "util.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <charconv>
#include <chrono>
#include <cstring>
#include <optional>
#include <stdexcept>

namespace quarn::service {

using http::bodyObject;
using http::guarded;
using http::optionalString;
using http::requiredString;
using http::sendJson;

namespace {

/// The signed-in user of a request: "Authorization: Bearer <device token>".
User authenticate(MailStore &store, const httplib::Request &req)
{
    const std::string header = req.get_header_value("Authorization");
    const std::string scheme = "bearer ";
    if (header.size() > scheme.size() && asciiLower(header.substr(0, scheme.size())) == scheme) {
        if (auto user = store.userForToken(header.substr(scheme.size())))
            return *user;
    }
    throw ServiceError(401, "unauthorized", "Quarnアカウントの認証が必要です。");
}

/// Whether a request whose body is still coming may send it: every API
/// call but the token exchange needs the token of a signed-in device, and
/// a call without one is refused before its body is read.
bool admitsBody(MailStore &store, std::string_view head)
{
    const std::size_t lineEnd = head.find('\n');
    const std::string_view requestLine = head.substr(0, lineEnd);
    const std::size_t pathStart = requestLine.find(' ');
    if (pathStart == std::string_view::npos)
        return true; // the parser refuses it
    const std::string_view target = requestLine.substr(pathStart + 1);
    if (!target.starts_with("/api/") || target.starts_with("/api/auth/"))
        return true;
    for (std::size_t line = lineEnd; line != std::string_view::npos && line + 1 < head.size();
         line = head.find('\n', line + 1)) {
        std::string_view field = head.substr(line + 1);
        field = field.substr(0, field.find('\n'));
        if (asciiLower(field.substr(0, std::min<std::size_t>(field.size(), 14))) != "authorization:")
            continue;
        std::string_view value = field.substr(14);
        while (!value.empty() && (value.front() == ' ' || value.front() == '\t'))
            value.remove_prefix(1);
        while (!value.empty() && (value.back() == '\r' || value.back() == ' ' || value.back() == '\t'))
            value.remove_suffix(1);
        const std::string_view scheme = "bearer ";
        return value.size() > scheme.size() && asciiLower(value.substr(0, scheme.size())) == scheme
            && store.userForToken(std::string(value.substr(scheme.size())));
    }
    return false;
}

/// A path identifier as the router captured it (already percent-decoded).
/// Identifiers the service makes are short ASCII; anything else cannot exist.
std::string pathId(const httplib::Request &req, std::size_t index = 1)
{
    std::string id = req.matches[static_cast<int>(index)].str();
    if (id.empty() || id.size() > 320 || !isValidUtf8(id))
        throw ServiceError(404, "not_found", "見つかりません。");
    return id;
}

std::optional<std::int64_t> parseInt64(const std::string &text)
{
    std::int64_t value = 0;
    const char *end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (text.empty() || ec != std::errc() || ptr != end)
        return std::nullopt;
    return value;
}

std::optional<std::int64_t> optionalInteger(const wire::Json &object, const char *key)
{
    const auto it = object.find(key);
    if (it == object.end() || it->is_null())
        return std::nullopt;
    if (it->is_number_integer() && !(it->is_number_unsigned() && it->get<std::uint64_t>() > INT64_MAX))
        return it->get<std::int64_t>();
    throw ServiceError(400, "invalid_request", std::string("「") + key + "」には整数（ミリ秒）が必要です。");
}

} // namespace

namespace {

using Clock = std::chrono::steady_clock;

int millisecondsUntil(Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : int(std::min<long long>(left, 1'000'000));
}

void addressOf(int fd, bool peer, std::string &ip, int &port)
{
    sockaddr_storage address {};
    socklen_t length = sizeof address;
    const int got = peer ? ::getpeername(fd, reinterpret_cast<sockaddr *>(&address), &length)
                         : ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
    if (got != 0 || address.ss_family != AF_INET)
        return;
    const auto &in = reinterpret_cast<const sockaddr_in &>(address);
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &in.sin_addr, text, sizeof text);
    ip = text;
    port = ntohs(in.sin_port);
}

/// One request's connection for the HTTP parser: first the bytes the hub
/// has collected, then the socket, within the request's deadline; writing
/// the answer has a deadline of its own.
class RequestStream : public httplib::Stream
{
public:
    RequestStream(ReadyRequest &request, std::chrono::milliseconds writeTimeout)
        : m_request(request)
        , m_writeTimeout(writeTimeout)
    { }

    bool is_readable() const override
    {
        if (m_offset < m_request.buffered.size())
            return true;
        pollfd p { m_request.fd, POLLIN, 0 };
        return ::poll(&p, 1, millisecondsUntil(m_request.deadline)) > 0;
    }

    bool is_writable() const override
    {
        pollfd p { m_request.fd, POLLOUT, 0 };
        return ::poll(&p, 1, millisecondsUntil(writeDeadline())) > 0 && !(p.revents & (POLLERR | POLLHUP));
    }

    ssize_t read(char *ptr, size_t size) override
    {
        if (m_offset < m_request.buffered.size()) {
            const std::size_t n = std::min(size, m_request.buffered.size() - m_offset);
            std::memcpy(ptr, m_request.buffered.data() + m_offset, n);
            m_offset += n;
            return ssize_t(n);
        }
        for (;;) {
            const ssize_t got = ::recv(m_request.fd, ptr, size, 0);
            if (got >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
                return got;
            pollfd p { m_request.fd, POLLIN, 0 };
            if (::poll(&p, 1, millisecondsUntil(m_request.deadline)) <= 0)
                return -1; // the request missed its deadline
        }
    }

    ssize_t write(const char *ptr, size_t size) override
    {
        for (;;) {
            const ssize_t sent = ::send(m_request.fd, ptr, size, MSG_NOSIGNAL);
            if (sent >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
                return sent;
            pollfd p { m_request.fd, POLLOUT, 0 };
            if (::poll(&p, 1, millisecondsUntil(writeDeadline())) <= 0)
                return -1;
        }
    }

    void get_remote_ip_and_port(std::string &ip, int &port) const override { addressOf(m_request.fd, true, ip, port); }
    void get_local_ip_and_port(std::string &ip, int &port) const override { addressOf(m_request.fd, false, ip, port); }
    socket_t socket() const override { return m_request.fd; }

    /// Hands the bytes that were read but not used (the next request's
    /// start) back to the request.
    void keepUnread()
    {
        m_request.buffered.erase(0, std::min(m_offset, m_request.buffered.size()));
        m_offset = 0;
    }

private:
    Clock::time_point writeDeadline() const
    {
        if (!m_writeStart)
            m_writeStart = Clock::now();
        return *m_writeStart + m_writeTimeout;
    }

    ReadyRequest &m_request;
    std::chrono::milliseconds m_writeTimeout;
    std::size_t m_offset = 0;
    mutable std::optional<Clock::time_point> m_writeStart;
};

} // namespace

/// httplib's server with its connections handed to a ConnectionHub instead
/// of its own per-connection loop.
class HttpServer : public httplib::Server
{
public:
    explicit HttpServer(HubOptions options)
        : m_hub(options, [this](ReadyRequest &request, bool last) { return serve(request, last); })
    {
        // The accept loop only hands sockets over: one thread is enough.
        new_task_queue = [] { return new httplib::ThreadPool(1); };
    }

    /// Raises the listening socket's queue of unaccepted connections (the
    /// library asks for 5).
    void setBacklog(int backlog) { ::listen(svr_sock_, backlog); }

    void stopAll()
    {
        stop();
        m_hub.stop();
    }

private:
    bool process_and_close_socket(socket_t sock) override
    {
        m_hub.add(sock);
        return true;
    }

    bool serve(ReadyRequest &request, bool lastOnConnection)
    {
        RequestStream stream(request, m_hub.options().writeTimeout);
        bool closed = false;
        const bool answered = process_request(stream, lastOnConnection, closed, [&stream](httplib::Request &req) {
            stream.get_remote_ip_and_port(req.remote_addr, req.remote_port);
            stream.get_local_ip_and_port(req.local_addr, req.local_port);
        });
        stream.keepUnread();
        return answered && !closed && !lastOnConnection;
    }

    ConnectionHub m_hub;
};

MailServer::MailServer(MailStore &store, DeliveryWorker &worker, ServerOptions options)
    : m_store(store)
    , m_worker(worker)
    , m_options(options)
    , m_http(std::make_unique<HttpServer>(HubOptions { m_options.workers,
          std::chrono::milliseconds(m_options.requestDeadlineMs), std::chrono::milliseconds(m_options.idleTimeoutMs),
          std::chrono::milliseconds(10'000), m_options.maxRequestsPerConnection, 1024, 64 * 1024, m_options.payloadMax,
          [storage = &store](std::string_view head) { return admitsBody(*storage, head); } }))
{
    m_http->set_payload_max_length(m_options.payloadMax);
    // What the answers announce; the hub enforces both.
    m_http->set_keep_alive_timeout(std::max<std::int64_t>(m_options.idleTimeoutMs / 1000, 1));
    m_http->set_keep_alive_max_count(m_options.maxRequestsPerConnection);
    // Headers and body leave in separate writes; without this, Nagle's
    // algorithm and the peer's delayed acknowledgement add 40 ms to answers.
    m_http->set_tcp_nodelay(true);
    // The library's default also sets SO_REUSEPORT, which lets a second
    // service bind the same port and silently take half of the requests.
    m_http->set_socket_options([](socket_t sock) {
        int yes = 1;
        ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    m_http->set_error_handler([](const httplib::Request &, httplib::Response &res) {
        // Answers the library makes itself (no route, body too large, bad
        // request line) get the same error shape as ours.
        if (!res.body.empty())
            return;
        switch (res.status) {
        case 404:
            http::sendError(res, 404, "not_found", "見つかりません。");
            break;
        case 413:
            http::sendError(res, 413, "payload_too_large", "リクエストが大きすぎます。");
            break;
        case 414:
            http::sendError(res, 414, "uri_too_long", "URLが長すぎます。");
            break;
        case 400:
            http::sendError(res, 400, "bad_request", "リクエストが正しくありません。");
            break;
        default:
            http::sendError(res, res.status, "error", "リクエストを処理できませんでした。");
        }
    });
    installRoutes();
    installSignIn(*m_http, m_store, m_options.codeLifetimeMs);
}

MailServer::~MailServer() = default;

int MailServer::bind()
{
    int port = m_options.port;
    if (port == 0) {
        port = m_http->bind_to_any_port("127.0.0.1");
        if (port <= 0)
            throw std::runtime_error("cannot listen on 127.0.0.1");
    } else if (!m_http->bind_to_port("127.0.0.1", port)) {
        throw std::runtime_error("cannot listen on 127.0.0.1:" + std::to_string(port));
    }
    m_http->setBacklog(m_options.listenBacklog);
    return port;
}

bool MailServer::run()
{
    return m_http->listen_after_bind();
}

bool MailServer::isRunning() const
{
    return m_http->is_running();
}

void MailServer::stop()
{
    m_http->stopAll();
}

void MailServer::installRoutes()
{
    auto &store = m_store;
    auto &worker = m_worker;
    const std::string id = "([^/]+)";

    m_http->Get("/api/state", guarded([&store](const httplib::Request &req, httplib::Response &res) {
        const User user = authenticate(store, req);
        if (!req.has_param("status"))
            throw ServiceError(400, "invalid_request", "「status」を指定してください。");
        http::sendJsonText(res, 200, wire::stateText(store.state(user.id, req.get_param_value("status"))));
    }));

    m_http->Get("/api/conversations/" + id, guarded([&store](const httplib::Request &req, httplib::Response &res) {
        const User user = authenticate(store, req);
        sendJson(res, 200, wire::detail(store.conversation(user.id, pathId(req), true)));
    }));

    m_http->Get("/api/people", guarded([&store](const httplib::Request &req, httplib::Response &res) {
        const User user = authenticate(store, req);
        sendJson(res, 200, wire::people(store.people(user.id)));
    }));

    m_http->Get(
        "/api/people/" + id + "/timeline", guarded([&store](const httplib::Request &req, httplib::Response &res) {
            const User user = authenticate(store, req);
            std::optional<std::int64_t> before;
            if (req.has_param("before")) {
                before = parseInt64(req.get_param_value("before"));
                if (!before)
                    throw ServiceError(400, "invalid_request", "「before」には整数（ミリ秒）が必要です。");
            }
            sendJson(res, 200, wire::timeline(store.timeline(user.id, pathId(req), before)));
        }));

    m_http->Post("/api/conversations/" + id + "/messages",
        guarded([&store, &worker](const httplib::Request &req, httplib::Response &res) {
            const User user = authenticate(store, req);
            const std::string conversationId = pathId(req);
            const auto body = bodyObject(req);
            const auto result = store.reply(user.id, conversationId, requiredString(body, "body"));
            worker.wake();
            sendJson(res, 200, wire::mutation(result));
        }));

    m_http->Put(
        "/api/conversations/" + id + "/status", guarded([&store](const httplib::Request &req, httplib::Response &res) {
            const User user = authenticate(store, req);
            const std::string conversationId = pathId(req);
            const auto body = bodyObject(req);
            store.setStatus(user.id, conversationId, requiredString(body, "status"));
            sendJson(res, 200, { { "ok", true } });
        }));

    m_http->Post("/api/conversations", guarded([&store, &worker](const httplib::Request &req, httplib::Response &res) {
        const User user = authenticate(store, req);
        const auto body = bodyObject(req);
        const auto to = body.find("to");
        if (to == body.end() || !to->is_array())
            throw ServiceError(400, "invalid_request", "「to」には文字列の配列が必要です。");
        std::vector<std::string> recipients;
        for (const auto &item : *to) {
            if (!item.is_string())
                throw ServiceError(400, "invalid_request", "「to」には文字列の配列が必要です。");
            recipients.push_back(item.get<std::string>());
        }
        const auto result = store.create(user.id, recipients, requiredString(body, "subject"),
            requiredString(body, "body"), optionalInteger(body, "scheduledFor"));
        worker.wake();
        sendJson(res, 200, wire::mutation(result));
    }));

    m_http->Post("/api/mailbox", guarded([&store](const httplib::Request &req, httplib::Response &res) {
        const User user = authenticate(store, req);
        const auto body = bodyObject(req);
        const auto mailbox
            = store.claimMailbox(user.id, requiredString(body, "localPart"), requiredString(body, "displayName"));
        sendJson(res, 200, { { "ok", true }, { "mailbox", wire::mailbox(mailbox) } });
    }));

    m_http->Post("/api/conversations/" + id + "/ai/start",
        guarded([&store](const httplib::Request &req, httplib::Response &res) {
            const User user = authenticate(store, req);
            const std::string conversationId = pathId(req);
            // The body carries nothing, but it must still be an object when present.
            if (!req.body.empty())
                bodyObject(req);
            const auto [jobId, conversation] = store.startAI(user.id, conversationId);
            sendJson(res, 200, { { "ok", true }, { "jobId", jobId }, { "conversation", wire::detail(conversation) } });
        }));

    m_http->Post("/api/conversations/" + id + "/ai/complete",
        guarded([&store](const httplib::Request &req, httplib::Response &res) {
            const User user = authenticate(store, req);
            const std::string conversationId = pathId(req);
            const auto body = bodyObject(req);
            Insight insight;
            const std::string jobId = requiredString(body, "jobId");
            insight.summary = requiredString(body, "summary");
            insight.request = optionalString(body, "request");
            insight.deadline = optionalString(body, "deadline");
            const std::string suggested = requiredString(body, "suggestedStatus");
            insight.draft = optionalString(body, "draft");
            insight.risk = requiredString(body, "risk");
            const auto conversation = store.completeAI(user.id, conversationId, jobId, insight, suggested);
            sendJson(res, 200, { { "ok", true }, { "conversation", wire::detail(conversation) } });
        }));

    m_http->Post(
        "/api/conversations/" + id + "/ai/fail", guarded([&store](const httplib::Request &req, httplib::Response &res) {
            const User user = authenticate(store, req);
            const std::string conversationId = pathId(req);
            const auto body = bodyObject(req);
            store.failAI(user.id, conversationId, requiredString(body, "jobId"), requiredString(body, "errorCode"));
            sendJson(res, 200, { { "ok", true } });
        }));
}

} // namespace quarn::service
