#include "connectionhub.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace quarn::service {

namespace {

using Clock = std::chrono::steady_clock;

/// Where the head of the request in `buffer` ends (after its empty line), or
/// npos. Lines may end in CRLF or LF.
std::size_t headEnd(const std::string &buffer)
{
    for (std::size_t i = buffer.find('\n'); i != std::string::npos; i = buffer.find('\n', i + 1)) {
        std::size_t next = i + 1;
        if (next < buffer.size() && buffer[next] == '\r')
            ++next;
        if (next < buffer.size() && buffer[next] == '\n')
            return next + 1;
    }
    return std::string::npos;
}

bool startsWithNoCase(std::string_view text, std::string_view prefix)
{
    if (text.size() < prefix.size())
        return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        const auto a = static_cast<unsigned char>(text[i]);
        if (std::tolower(a) != prefix[i])
            return false;
    }
    return true;
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

enum class Body { waiting, whole, malformed, tooLarge };

/// Whether the chunked body at the start of `body` has arrived whole: its
/// chunks, the last (empty) one and the empty line after any trailer fields;
/// or what makes the parser refuse it (a malformed chunk, more than `limit`
/// bytes), which is not waited for.
Body chunkedBody(std::string_view body, std::size_t limit)
{
    // Sizes, line ends and trailers cost a little beyond the data itself.
    if (body.size() > limit + 64 * 1024)
        return Body::tooLarge;
    std::size_t pos = 0;
    std::size_t total = 0;
    for (;;) {
        const std::size_t lineEnd = body.find('\n', pos);
        if (lineEnd == std::string_view::npos)
            return Body::waiting;
        std::size_t size = 0;
        bool digits = false;
        for (std::size_t i = pos; i < lineEnd && hexValue(body[i]) >= 0; ++i) {
            digits = true;
            size = size * 16 + std::size_t(hexValue(body[i]));
            if (size > limit)
                return Body::tooLarge;
        }
        total += size;
        if (!digits)
            return Body::malformed;
        if (total > limit)
            return Body::tooLarge;
        pos = lineEnd + 1;
        if (size == 0) {
            // Trailer fields, up to the empty line that ends the request.
            for (;;) {
                const std::size_t end = body.find('\n', pos);
                if (end == std::string_view::npos)
                    return Body::waiting;
                const bool empty = end == pos || (end == pos + 1 && body[pos] == '\r');
                pos = end + 1;
                if (empty)
                    return Body::whole;
            }
        }
        // The data, then its line end.
        if (body.size() <= pos + size)
            return Body::waiting;
        pos += size;
        if (body[pos] == '\r') {
            if (body.size() <= pos + 1)
                return Body::waiting;
            ++pos;
        }
        if (body[pos] != '\n')
            return Body::malformed;
        ++pos;
    }
}

/// The head of the request in `buffer` (ending at `end`), as a request
/// without a body: its framing fields are replaced by an empty length.
std::string bodylessHead(const std::string &buffer, std::size_t end)
{
    std::string head;
    std::size_t pos = 0;
    while (pos < end) {
        std::size_t next = buffer.find('\n', pos);
        next = next == std::string::npos || next >= end ? end : next + 1;
        const std::string_view line(buffer.data() + pos, next - pos);
        const bool blank = line == "\n" || line == "\r\n";
        if (!blank && !startsWithNoCase(line, "content-length:") && !startsWithNoCase(line, "transfer-encoding:"))
            head.append(line);
        pos = next;
    }
    head.append("Content-Length: 0\r\n\r\n");
    return head;
}

} // namespace

ConnectionHub::ConnectionHub(HubOptions options, Serve serve)
    : m_options(options)
    , m_serve(std::move(serve))
    , m_wakeFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{
    if (m_wakeFd < 0)
        throw std::runtime_error(std::string("eventfd: ") + std::strerror(errno));
    m_poller = std::thread([this] { pollLoop(); });
    for (std::size_t i = 0; i < std::max<std::size_t>(m_options.workers, 1); ++i)
        m_workers.emplace_back([this] { workerLoop(); });
}

ConnectionHub::~ConnectionHub()
{
    stop();
    ::close(m_wakeFd);
}

void ConnectionHub::add(int fd)
{
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    {
        std::lock_guard lock(m_mutex);
        if (!m_stopping) {
            m_arriving.push_back(Connection { fd, {}, Clock::now(), false, 0 });
            wake();
            return;
        }
    }
    ::close(fd);
}

void ConnectionHub::stop()
{
    {
        std::lock_guard lock(m_mutex);
        if (m_stopping)
            return;
        m_stopping = true;
        // Answers being read or written end now instead of at their deadlines.
        for (const int fd : m_busy)
            ::shutdown(fd, SHUT_RDWR);
    }
    m_readyChanged.notify_all();
    wake();
    if (m_poller.joinable())
        m_poller.join();
    for (auto &worker : m_workers) {
        if (worker.joinable())
            worker.join();
    }
    std::lock_guard lock(m_mutex);
    for (const ReadyRequest &r : m_ready)
        ::close(r.fd);
    m_ready.clear();
    for (const Connection &c : m_arriving)
        ::close(c.fd);
    m_arriving.clear();
}

void ConnectionHub::wake()
{
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(m_wakeFd, &one, sizeof one);
}

void ConnectionHub::closeConnection(int fd)
{
    ::close(fd);
}

bool ConnectionHub::requestArrived(Connection &c, Refusal *refusal) const
{
    const std::size_t end = headEnd(c.buffer);
    if (end == std::string::npos)
        return c.buffer.size() > m_options.headLimit;
    // The body is waited for here too, whether of a stated length or chunked,
    // so that a slow upload holds a connection of this thread and never a
    // worker; the deadline and the size bound end it.
    const std::string_view head(c.buffer.data(), end);
    std::optional<std::size_t> length;
    bool chunked = false;
    for (std::size_t line = head.find('\n'); line != std::string_view::npos; line = head.find('\n', line + 1)) {
        const std::string_view rest = head.substr(line + 1);
        if (startsWithNoCase(rest, "transfer-encoding:")) {
            const std::string_view value = rest.substr(0, rest.find('\n'));
            for (std::size_t i = 0; i + 7 <= value.size(); ++i) {
                if (startsWithNoCase(value.substr(i), "chunked"))
                    chunked = true;
            }
            continue;
        }
        if (!startsWithNoCase(rest, "content-length:") || length)
            continue;
        std::size_t i = std::strlen("content-length:");
        while (i < rest.size() && (rest[i] == ' ' || rest[i] == '\t'))
            ++i;
        std::size_t value = 0;
        bool digits = false;
        for (; i < rest.size() && rest[i] >= '0' && rest[i] <= '9'; ++i) {
            digits = true;
            value = value * 10 + std::size_t(rest[i] - '0');
            if (value > m_options.payloadMax)
                return true; // refused without waiting for it
        }
        if (!digits)
            return true; // the parser refuses it
        length = value;
    }
    bool waiting = false;
    if (chunked) {
        const Body body = chunkedBody(std::string_view(c.buffer).substr(end), m_options.payloadMax);
        if (body == Body::tooLarge) {
            if (refusal)
                *refusal = Refusal::body;
            return true;
        }
        waiting = body == Body::waiting;
    } else {
        waiting = length && c.buffer.size() < end + *length;
    }
    if (!waiting)
        return true;
    // A body that is still coming is waited for only when the service wants
    // it: an upload without a valid token would hold a connection for the
    // whole reading deadline to be refused at its end.
    if (m_options.admitsBody && !c.bodyAdmitted)
        c.bodyAdmitted = m_options.admitsBody(head);
    if (c.bodyAdmitted.value_or(true))
        return false;
    if (refusal)
        *refusal = Refusal::unadmitted;
    return true;
}

ReadyRequest ConnectionHub::takeRequest(Connection &c, Refusal refusal, std::chrono::milliseconds deadline)
{
    if (refusal != Refusal::none)
        ::shutdown(c.fd, SHUT_RD);
    if (refusal == Refusal::unadmitted)
        c.buffer = bodylessHead(c.buffer, headEnd(c.buffer));
    ReadyRequest request { c.fd, std::move(c.buffer), c.since + deadline, c.served };
    c.buffer.clear();
    c.bodyAdmitted.reset();
    return request;
}

void ConnectionHub::pollLoop()
{
    std::vector<Connection> connections;
    std::vector<pollfd> fds;
    char chunk[16 * 1024];
    for (;;) {
        std::vector<ReadyRequest> ready;
        {
            std::lock_guard lock(m_mutex);
            if (m_stopping)
                break;
            for (Connection &c : m_arriving) {
                if (connections.size() >= m_options.maxConnections)
                    ::close(c.fd);
                else
                    connections.push_back(std::move(c));
            }
            m_arriving.clear();
        }

        const auto now = Clock::now();
        auto limitOf = [this](const Connection &c) {
            return c.since + (c.requestStarted ? m_options.requestDeadline : m_options.idleTimeout);
        };
        // A connection that came back with the start of its next request
        // may hold all of it already.
        auto arrived = [&](Connection &c) {
            Refusal refusal = Refusal::none;
            if (!c.requestStarted || !requestArrived(c, &refusal))
                return false;
            ready.push_back(takeRequest(c, refusal, m_options.requestDeadline));
            return true;
        };
        std::erase_if(connections, arrived);

        auto wait = std::chrono::milliseconds(1000);
        fds.clear();
        fds.push_back(pollfd { m_wakeFd, POLLIN, 0 });
        for (const Connection &c : connections) {
            fds.push_back(pollfd { c.fd, POLLIN, 0 });
            wait = std::min(wait,
                std::max(std::chrono::milliseconds(0),
                    std::chrono::duration_cast<std::chrono::milliseconds>(limitOf(c) - now)
                        + std::chrono::milliseconds(1)));
        }
        if (!ready.empty()) {
            std::lock_guard lock(m_mutex);
            for (ReadyRequest &r : ready)
                m_ready.push_back(std::move(r));
            m_readyChanged.notify_all();
            continue;
        }

        if (::poll(fds.data(), fds.size(), int(wait.count())) < 0 && errno != EINTR)
            break;
        if (fds[0].revents) {
            std::uint64_t count = 0;
            [[maybe_unused]] const auto got = ::read(m_wakeFd, &count, sizeof count);
        }

        const auto after = Clock::now();
        std::vector<bool> drop(connections.size(), false);
        for (std::size_t i = 0; i < connections.size(); ++i) {
            Connection &c = connections[i];
            const pollfd &p = fds[i + 1];
            if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
                // At most a few chunks per turn, so one fast sender cannot
                // starve the rest.
                for (int round = 0; round < 8; ++round) {
                    const ssize_t got = ::recv(c.fd, chunk, sizeof chunk, 0);
                    if (got > 0) {
                        if (!c.requestStarted) {
                            c.requestStarted = true;
                            c.since = after;
                        }
                        c.buffer.append(chunk, std::size_t(got));
                        if (requestArrived(c))
                            break;
                        continue;
                    }
                    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
                        break;
                    drop[i] = true; // closed by the client, or failed
                    break;
                }
            }
            if (drop[i])
                continue;
            Refusal refusal = Refusal::none;
            if (c.requestStarted && requestArrived(c, &refusal)) {
                ready.push_back(takeRequest(c, refusal, m_options.requestDeadline));
                c.fd = -1;
                drop[i] = true;
            } else if (after >= limitOf(c)) {
                drop[i] = true; // idle too long, or the request missed its deadline
            }
        }
        std::size_t index = 0;
        std::erase_if(connections, [&](const Connection &c) {
            const bool gone = drop[index++];
            if (gone && c.fd >= 0)
                closeConnection(c.fd);
            return gone;
        });
        if (!ready.empty()) {
            std::lock_guard lock(m_mutex);
            for (ReadyRequest &r : ready)
                m_ready.push_back(std::move(r));
            m_readyChanged.notify_all();
        }
    }
    for (const Connection &c : connections)
        closeConnection(c.fd);
}

void ConnectionHub::workerLoop()
{
    for (;;) {
        ReadyRequest request;
        {
            std::unique_lock lock(m_mutex);
            m_readyChanged.wait(lock, [this] { return m_stopping || !m_ready.empty(); });
            if (m_stopping)
                return;
            request = std::move(m_ready.front());
            m_ready.pop_front();
            m_busy.push_back(request.fd);
        }
        bool keep = false;
        try {
            keep = m_serve(request, request.served + 1 >= m_options.maxRequestsPerConnection);
        } catch (...) {
            keep = false;
        }
        std::lock_guard lock(m_mutex);
        std::erase(m_busy, request.fd);
        if (keep && !m_stopping) {
            const bool started = !request.buffered.empty();
            m_arriving.push_back(
                Connection { request.fd, std::move(request.buffered), Clock::now(), started, request.served + 1 });
            wake();
        } else {
            ::close(request.fd);
        }
    }
}

} // namespace quarn::service
