#include "mailserver.h"

#include "deliveryworker.h"
#include "httpsupport.h"
#include "mailstore.h"
#include "signin.h"
#include "util.h"

#include <sys/socket.h>

#include <charconv>
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

MailServer::MailServer(MailStore &store, DeliveryWorker &worker, ServerOptions options)
    : m_store(store)
    , m_worker(worker)
    , m_options(options)
    , m_http(std::make_unique<httplib::Server>())
{
    m_http->set_payload_max_length(m_options.payloadMax);
    // Each open keep-alive connection holds a worker while it idles, and a
    // client keeps several: enough workers for a few clients at once, and
    // idle connections let go soon.
    m_http->new_task_queue = [] { return new httplib::ThreadPool(24); };
    // An idle connection also delays shutdown until it times out.
    m_http->set_keep_alive_timeout(1);
    // Headers and body leave in separate writes; without this, Nagle's
    // algorithm and the peer's delayed acknowledgement add 40 ms to answers.
    m_http->set_tcp_nodelay(true);
    // The library's default also sets SO_REUSEPORT, which lets a second
    // service bind the same port and silently take half of the requests.
    m_http->set_socket_options([](socket_t sock) {
        int yes = 1;
        ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    m_http->set_keep_alive_max_count(1000);
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
    if (m_options.port == 0) {
        const int port = m_http->bind_to_any_port("127.0.0.1");
        if (port <= 0)
            throw std::runtime_error("cannot listen on 127.0.0.1");
        return port;
    }
    if (!m_http->bind_to_port("127.0.0.1", m_options.port))
        throw std::runtime_error("cannot listen on 127.0.0.1:" + std::to_string(m_options.port));
    return m_options.port;
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
    m_http->stop();
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
        sendJson(res, 200, wire::state(store.state(user.id, req.get_param_value("status"))));
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
