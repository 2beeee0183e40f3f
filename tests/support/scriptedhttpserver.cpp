#include "support/scriptedhttpserver.h"

#include <httplib.h>

#include <QtGlobal>

#include <deque>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace quarn::test {

bool RecordedRequest::hasHeader(const QByteArray &name) const
{
    return !header(name).isNull();
}

QByteArray RecordedRequest::header(const QByteArray &name) const
{
    const QByteArray lower = name.toLower();
    for (const auto &[key, value] : headers) {
        if (key == lower)
            return value.isNull() ? QByteArray("") : value;
    }
    return {};
}

namespace {
QByteArray bytes(const std::string &s)
{
    return QByteArray(s.data(), qsizetype(s.size()));
}
} // namespace

struct ScriptedHttpServer::Impl
{
    httplib::Server server;
    std::thread thread;
    int port = 0;

    mutable std::mutex mutex;
    QList<RecordedRequest> requests;
    std::deque<ScriptedResponse> queue;
    Handler handler;

    ScriptedResponse answerFor(const RecordedRequest &request)
    {
        Handler h;
        {
            std::lock_guard lock(mutex);
            requests.append(request);
            if (!queue.empty()) {
                ScriptedResponse r = std::move(queue.front());
                queue.pop_front();
                return r;
            }
            h = handler;
        }
        if (h)
            return h(request);
        return ScriptedResponse { 599, {}, {}, {}, {} };
    }
};

ScriptedHttpServer::ScriptedHttpServer()
    : d(std::make_unique<Impl>())
{
    // One handler for every path and method, so nothing is answered by
    // httplib's own 404 logic. (Its pre-routing hook would run before the
    // request body has been read.)
    const auto handler = [impl = d.get()](const httplib::Request &req, httplib::Response &res) {
        RecordedRequest r;
        r.method = bytes(req.method);
        r.target = bytes(req.target);
        const qsizetype q = r.target.indexOf('?');
        r.rawPath = q < 0 ? r.target : r.target.left(q);
        r.rawQuery = q < 0 ? QByteArray() : r.target.mid(q + 1);
        if (q >= 0 && r.rawQuery.isNull())
            r.rawQuery = QByteArray("");
        for (const auto &[key, value] : req.headers) {
            // httplib adds these for its own bookkeeping; they were not sent.
            if (key == "REMOTE_ADDR" || key == "REMOTE_PORT" || key == "LOCAL_ADDR" || key == "LOCAL_PORT")
                continue;
            r.headers.append({ bytes(key).toLower(), bytes(value) });
        }
        r.body = bytes(req.body);

        const ScriptedResponse answer = impl->answerFor(r);
        if (answer.delay.count() > 0)
            std::this_thread::sleep_for(answer.delay);
        res.status = answer.status;
        for (const auto &[key, value] : answer.headers)
            res.set_header(key.toStdString(), value.toStdString());
        if (!answer.contentType.isEmpty() || !answer.body.isEmpty())
            res.set_content(answer.body.toStdString(),
                answer.contentType.isEmpty() ? "application/octet-stream" : answer.contentType.toStdString());
    };
    // One request per connection: a kept-alive connection would hold a worker
    // in its read wait, and stop() in the destructor, for up to five seconds.
    d->server.set_keep_alive_max_count(1);
    const std::string anyPath = ".*";
    d->server.Get(anyPath, handler);
    d->server.Post(anyPath, handler);
    d->server.Put(anyPath, handler);
    d->server.Patch(anyPath, handler);
    d->server.Delete(anyPath, handler);
    d->server.Options(anyPath, handler);
    d->port = d->server.bind_to_any_port("127.0.0.1");
    if (d->port <= 0)
        throw std::runtime_error("scripted HTTP server could not bind to 127.0.0.1");
    d->thread = std::thread([impl = d.get()] { impl->server.listen_after_bind(); });
    // The socket already listens, so early connections wait in its backlog;
    // but stop() is a no-op until the accept loop runs, so the destructor
    // could otherwise wait forever on a server that starts after it.
    for (int i = 0; i < 5000 && !d->server.is_running(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

ScriptedHttpServer::~ScriptedHttpServer()
{
    d->server.stop();
    if (d->thread.joinable())
        d->thread.join();
}

quint16 ScriptedHttpServer::port() const
{
    return quint16(d->port);
}

QUrl ScriptedHttpServer::baseUrl() const
{
    return QUrl(QStringLiteral("http://127.0.0.1:%1").arg(d->port));
}

void ScriptedHttpServer::enqueue(ScriptedResponse response)
{
    std::lock_guard lock(d->mutex);
    d->queue.push_back(std::move(response));
}

void ScriptedHttpServer::setHandler(Handler handler)
{
    std::lock_guard lock(d->mutex);
    d->handler = std::move(handler);
}

QList<RecordedRequest> ScriptedHttpServer::requests() const
{
    std::lock_guard lock(d->mutex);
    return d->requests;
}

std::optional<RecordedRequest> ScriptedHttpServer::lastRequest() const
{
    std::lock_guard lock(d->mutex);
    if (d->requests.isEmpty())
        return std::nullopt;
    return d->requests.last();
}

void ScriptedHttpServer::reset()
{
    std::lock_guard lock(d->mutex);
    d->requests.clear();
    d->queue.clear();
}

} // namespace quarn::test
