#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QUrl>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

namespace quarn::test {

/// One request as the scripted server received it.
struct RecordedRequest
{
    QByteArray method;
    /// The request target exactly as sent, percent-encoding and query included.
    QByteArray target;
    /// The path part of `target`, still percent-encoded.
    QByteArray rawPath;
    /// The query part of `target` without "?", still encoded; null when the
    /// target had no "?" at all.
    QByteArray rawQuery;
    /// Header names in lower case, in the order received.
    QList<QPair<QByteArray, QByteArray>> headers;
    QByteArray body;

    [[nodiscard]] bool hasHeader(const QByteArray &name) const;
    /// The first value of the header (name compared case-insensitively), or null.
    [[nodiscard]] QByteArray header(const QByteArray &name) const;
};

/// What the scripted server answers to one request.
struct ScriptedResponse
{
    int status = 200;
    QByteArray body;
    /// Sent as Content-Type when not empty.
    QByteArray contentType = "application/json";
    QList<QPair<QByteArray, QByteArray>> headers;
    /// Wait before answering (bounded by the test; keep it short).
    std::chrono::milliseconds delay { 0 };
};

/// An HTTP/1.1 server on 127.0.0.1 at a free port, for tests that need answers
/// a sane service never gives (redirects, non-JSON bodies, odd statuses). It
/// runs on its own thread, records every request and answers either from a
/// queue of scripted responses (first in, first out) or from a handler; with
/// neither it answers 599 with an empty body, so a test never hangs on it.
class ScriptedHttpServer
{
public:
    using Handler = std::function<ScriptedResponse(const RecordedRequest &)>;

    ScriptedHttpServer();
    ~ScriptedHttpServer();
    ScriptedHttpServer(const ScriptedHttpServer &) = delete;
    ScriptedHttpServer &operator=(const ScriptedHttpServer &) = delete;

    [[nodiscard]] quint16 port() const;
    /// "http://127.0.0.1:<port>", no path.
    [[nodiscard]] QUrl baseUrl() const;

    /// Queues the answer to the next request that finds the queue non-empty.
    void enqueue(ScriptedResponse response);
    /// Answers every request for which the queue is empty. Runs on the server thread.
    void setHandler(Handler handler);

    [[nodiscard]] QList<RecordedRequest> requests() const;
    /// The last request received, or none.
    [[nodiscard]] std::optional<RecordedRequest> lastRequest() const;
    /// Forgets recorded requests and queued answers.
    void reset();

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

} // namespace quarn::test
