// The reference service as a process on loopback, with 10,000 conversations
// in the owner's inbox (and none done):
// - the state answer of the inbox over HTTP, against the state answer of the
//   empty done list measured alternately (what a request costs without the
//   list);
// - the service's resident size after 200 state requests of the inbox from
//   8 concurrent clients, against its size just before them (after the
//   answers it has already given).
#include "seeding.h"
#include "support/referenceservice.h"

#include <QFile>

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace quarn;

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kConversations = 10'000;
constexpr int kClients = 8;
constexpr int kRequestsPerClient = 25;

[[noreturn]] void fail(const std::string &what)
{
    std::fprintf(stderr, "bench_serviceload: %s\n", what.c_str());
    std::abort();
}

double milliseconds(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

/// 10,000 inbox conversations.
void seed(const QString &databasePath)
{
    const std::string error
        = bench::seedConversations(QFile::encodeName(databasePath).toStdString(), "inbox", kConversations);
    if (!error.empty())
        fail(error);
}

/// A keep-alive HTTP/1.1 connection that reads answers into one reused
/// buffer: the client's own cost stays small next to the service's.
class Connection
{
public:
    Connection(quint16 port, std::string authorization)
        : m_authorization(std::move(authorization))
    {
        m_socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        timeval patience { 30, 0 };
        ::setsockopt(m_socket, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
        if (m_socket < 0 || ::connect(m_socket, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
            fail("cannot connect to the service");
        m_buffer.resize(1 << 16);
    }
    ~Connection() { ::close(m_socket); }
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;

    /// The body size of the answer to GET `path`; aborts unless it is a 200.
    std::size_t get(const std::string &path)
    {
        const std::string request = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: " + m_authorization
            + "\r\nAccept: application/json\r\n\r\n";
        if (::send(m_socket, request.data(), request.size(), MSG_NOSIGNAL) != ssize_t(request.size()))
            fail("cannot send a request");
        std::string head;
        std::size_t bodyRead = 0;
        for (;;) {
            const ssize_t n = ::recv(m_socket, m_buffer.data(), m_buffer.size(), 0);
            if (n <= 0)
                fail("the service closed the connection");
            head.append(m_buffer.data(), std::size_t(n));
            if (const auto end = head.find("\r\n\r\n"); end != std::string::npos) {
                bodyRead = head.size() - end - 4;
                head.resize(end);
                break;
            }
        }
        if (head.rfind("HTTP/1.1 200", 0) != 0)
            fail("not answered with 200: " + head.substr(0, head.find('\r')));
        const auto length = head.find("Content-Length: ");
        if (length == std::string::npos)
            fail("an answer without a length");
        const std::size_t total = std::stoul(head.substr(length + 16));
        while (bodyRead < total) {
            const ssize_t n = ::recv(m_socket, m_buffer.data(), std::min(m_buffer.size(), total - bodyRead), 0);
            if (n <= 0)
                fail("the service closed the connection");
            bodyRead += std::size_t(n);
        }
        return total;
    }

private:
    int m_socket = -1;
    std::string m_authorization;
    std::vector<char> m_buffer;
};

struct Fixture
{
    test::ReferenceService service { test::ReferenceService::Data::Empty };
    std::string authorization;

    Fixture()
    {
        if (!service.start())
            fail(service.errorString().toStdString());
        seed(service.databasePath());
        authorization = "Bearer " + service.token().toStdString();
        // The first answers of a fresh process fault in its heap and read
        // the database's pages; the figures are of the service in use.
        const auto warmUp = connect();
        for (int i = 0; i < 3; ++i)
            warmUp->get("/api/state?status=inbox");
    }

    [[nodiscard]] std::unique_ptr<Connection> connect() const
    {
        return std::make_unique<Connection>(service.port(), authorization);
    }
};

Fixture &fixture()
{
    static Fixture f;
    return f;
}

std::size_t stateBytes(Connection &connection, const char *status)
{
    return connection.get(std::string("/api/state?status=") + status);
}

/// Resident size in MB from /proc (0 when it cannot be read).
double residentMB(qint64 pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stod(line.substr(6)) / 1024.0;
    }
    return 0;
}

void BM_StateOverLoopback(benchmark::State &state)
{
    const auto connection = fixture().connect();
    Connection &client = *connection;
    double answer = 0;
    double empty = 0;
    std::size_t bytes = 0;
    for (auto _ : state) {
        const auto t0 = Clock::now();
        stateBytes(client, "done");
        const auto t1 = Clock::now();
        bytes = stateBytes(client, "inbox");
        const auto t2 = Clock::now();
        empty += milliseconds(t1 - t0);
        answer += milliseconds(t2 - t1);
        state.SetIterationTime(milliseconds(t2 - t1) / 1e3);
    }
    const auto n = static_cast<double>(state.iterations());
    state.counters["MB"] = double(bytes) / 1e6;
    state.counters["answer_ms"] = answer / n;
    state.counters["empty_list_ms"] = empty / n;
    state.counters["ratio"] = answer / empty;
}

void BM_ResidentAfterLoad(benchmark::State &state)
{
    Fixture &f = fixture();
    const qint64 pid = f.service.processId();
    for (auto _ : state) {
        stateBytes(*f.connect(), "inbox");
        const double before = residentMB(pid);
        std::atomic<int> answered = 0;
        std::vector<std::thread> clients;
        for (int i = 0; i < kClients; ++i) {
            clients.emplace_back([&] {
                const auto connection = f.connect();
                for (int r = 0; r < kRequestsPerClient; ++r) {
                    stateBytes(*connection, "inbox");
                    ++answered;
                }
            });
        }
        for (auto &t : clients)
            t.join();
        const double after = residentMB(pid);
        if (before <= 0 || after <= 0)
            state.SkipWithError("the service's resident size cannot be read");
        state.counters["requests"] = answered.load();
        state.counters["rss_before_MB"] = before;
        state.counters["rss_MB"] = after;
        state.counters["ratio"] = after / before;
    }
}

} // namespace

BENCHMARK(BM_StateOverLoopback)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(20);
BENCHMARK(BM_ResidentAfterLoad)->Unit(benchmark::kMillisecond)->Iterations(1);
