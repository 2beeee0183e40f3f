// The reference service as many clients meet it at once: connections that
// send their request a byte a second, or stay open doing nothing, must hold
// neither the other clients nor a stop. And the state answer, written
// without a JSON tree, must be the tree's exact text.
#include "support/referenceservice.h"
#include "wire.h"

#include <QElapsedTimer>
#include <QTest>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace Qt::StringLiterals;
using namespace quarn;
namespace wire = quarn::service::wire;

namespace {

int connectTo(quint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

/// `request` on a new connection; the status line of the answer, or empty
/// when none came within `boundMs`.
QByteArray exchange(quint16 port, const QByteArray &request, int boundMs)
{
    const int fd = connectTo(port);
    if (fd < 0)
        return {};
    QByteArray answer;
    if (::send(fd, request.constData(), size_t(request.size()), MSG_NOSIGNAL) == request.size()) {
        QElapsedTimer clock;
        clock.start();
        char buffer[4096];
        while (!answer.contains("\r\n") && clock.elapsed() < boundMs) {
            pollfd p { fd, POLLIN, 0 };
            if (::poll(&p, 1, int(boundMs - clock.elapsed())) <= 0)
                break;
            const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
            if (got <= 0)
                break;
            answer.append(buffer, got);
        }
    }
    ::close(fd);
    return answer.left(answer.indexOf("\r\n"));
}

/// A state request on a new connection; the status line of its answer.
QByteArray statusLine(quint16 port, const QString &token, int boundMs)
{
    return exchange(port,
        "GET /api/state?status=inbox HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer " + token.toUtf8()
            + "\r\nConnection: close\r\n\r\n",
        boundMs);
}

/// Connections that each send the same request slowly, and connections that
/// stay open without sending anything, until stopped. A slow request is a
/// head sent one byte a second, or (an upload) a whole head followed by a
/// chunked body of one byte a second that never ends.
class SlowClients
{
public:
    SlowClients(quint16 port, int trickling, int idle, QByteArray uploadHead = {})
    {
        for (int i = 0; i < trickling + idle; ++i) {
            const int fd = connectTo(port);
            if (fd >= 0)
                (i < trickling ? m_trickling : m_idle).push_back(fd);
        }
        if (!uploadHead.isEmpty()) {
            for (const int fd : m_trickling)
                (void)::send(fd, uploadHead.constData(), size_t(uploadHead.size()), MSG_NOSIGNAL);
        }
        m_thread = std::thread([this, upload = !uploadHead.isEmpty()] {
            static const QByteArray head = "GET /api/state?status=inbox HTTP/1.1\r\nHost: 127.0.0.1\r\n";
            for (int sent = 0; !m_stop && sent < head.size() - 1; ++sent) {
                for (const int fd : m_trickling) {
                    if (upload)
                        (void)::send(fd, "1\r\n \r\n", 6, MSG_NOSIGNAL);
                    else
                        (void)::send(fd, head.constData() + sent, 1, MSG_NOSIGNAL);
                }
                for (int tick = 0; tick < 10 && !m_stop; ++tick)
                    std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
        });
    }
    ~SlowClients()
    {
        m_stop = true;
        m_thread.join();
        for (const int fd : m_trickling)
            ::close(fd);
        for (const int fd : m_idle)
            ::close(fd);
    }

    [[nodiscard]] std::size_t connected() const { return m_trickling.size() + m_idle.size(); }

private:
    std::vector<int> m_trickling;
    std::vector<int> m_idle;
    std::atomic<bool> m_stop { false };
    std::thread m_thread;
};

service::StateSnapshot snapshot(const std::string &text)
{
    service::StateSnapshot s;
    s.viewer = service::User { "usr_1", "佐藤 " + text, "sato@example.jp", std::nullopt, std::nullopt };
    s.mailbox = service::Mailbox { "sato@quarn.local", text };
    s.status = "inbox";
    s.counts = { { "inbox", 2 }, { "done", 7 }, { "future", 1 } };
    for (int i = 0; i < 3; ++i) {
        service::Conversation c;
        c.id = "conv_" + std::to_string(i);
        c.subject = text;
        c.status = "inbox";
        c.transport = "email";
        c.participantName = text;
        c.participantAddress = "p@example.jp";
        c.preview = text + text;
        c.lastMessageAt = i == 1 ? -1 : 1'700'000'000'000 + i;
        c.unread = i % 2 == 0;
        if (i > 0) {
            c.ai.summary = text;
            c.ai.risk = "low";
        }
        if (i == 2) {
            c.ai.request = "";
            c.ai.deadline = text;
            c.ai.draft = text;
        }
        s.conversations.push_back(c);
    }
    return s;
}

} // namespace

class TestServiceLoad : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void stateTextIsTheTreesText_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::newRow("plain") << QByteArray("hello");
        QTest::newRow("empty") << QByteArray("");
        QTest::newRow("Japanese and emoji") << QByteArray("打ち合わせ 🍻");
        QTest::newRow("escapes") << QByteArray("\"q\" \\ /\b\f\n\r\t\x01\x1f\x7f");
        QTest::newRow("NUL") << QByteArray("a\0b", 3);
        QTest::newRow("invalid UTF-8") << QByteArray("bad \xC3\x28 \xFF end");
    }

    void stateTextIsTheTreesText()
    {
        QFETCH(QByteArray, text);
        auto s = snapshot(text.toStdString());
        QCOMPARE(QByteArray::fromStdString(wire::stateText(s)), QByteArray::fromStdString(wire::dump(wire::state(s))));
        s.mailbox.reset();
        s.conversations.clear();
        QCOMPARE(QByteArray::fromStdString(wire::stateText(s)), QByteArray::fromStdString(wire::dump(wire::state(s))));
    }

    // A chunked upload that arrives whole, in any cut, is served as one
    // request; a malformed or oversized one is refused, and so is one
    // without a valid token, without waiting for the rest of its body.
    void chunkedUploads_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QByteArray>("authorization"); // "token": the service's own
        QTest::addColumn<QByteArray>("framing");
        QTest::addColumn<QByteArray>("status");
        const QByteArray json = R"({"to":["kim@example.com"],"subject":"Chunks","body":"In pieces"})";
        QByteArray pieces;
        for (qsizetype i = 0; i < json.size(); i += 7) {
            const QByteArray piece = json.mid(i, 7);
            pieces += QByteArray::number(piece.size(), 16) + "\r\n" + piece + "\r\n";
        }
        const QByteArray chunked = "Transfer-Encoding: chunked\r\n";
        QTest::newRow("in pieces") << pieces + "0\r\n\r\n"
                                   << QByteArray("token") << chunked << QByteArray("HTTP/1.1 200 OK");
        QTest::newRow("malformed size") << QByteArray("zz\r\n{}\r\n0\r\n\r\n") << QByteArray("token") << chunked
                                        << QByteArray("HTTP/1.1 400 Bad Request");
        // Refused as unreadable: the rest is not read, so no worker waits for
        // two megabytes that may never come.
        QTest::newRow("beyond the bound")
            << QByteArray("200000\r\n") << QByteArray("token") << chunked << QByteArray("HTTP/1.1 400 Bad Request");
        // The rest of these bodies never comes: only the refusal ends them.
        const QByteArray unauthorized = "HTTP/1.1 401 Unauthorized";
        QTest::newRow("no token, chunked") << pieces.left(20) << QByteArray() << chunked << unauthorized;
        QTest::newRow("unknown token, chunked")
            << pieces.left(20) << "Bearer tok_mail_" + QByteArray(43, 'x') << chunked << unauthorized;
        QTest::newRow("not a bearer token, stated length") << json.left(20) << QByteArray("Basic a2ltOng=")
                                                           << QByteArray("Content-Length: 100000\r\n") << unauthorized;
    }
    void chunkedUploads()
    {
        QFETCH(QByteArray, body);
        QFETCH(QByteArray, authorization);
        QFETCH(QByteArray, framing);
        QFETCH(QByteArray, status);
        test::ReferenceService service;
        QVERIFY2(service.start(), qPrintable(service.errorString()));
        if (authorization == "token")
            authorization = "Bearer " + service.token().toUtf8();
        const QByteArray head = "POST /api/conversations HTTP/1.1\r\nHost: 127.0.0.1\r\n"
            + (authorization.isEmpty() ? QByteArray() : "Authorization: " + authorization + "\r\n")
            + "Content-Type: application/json\r\n" + framing + "Connection: close\r\n\r\n";
        QCOMPARE(exchange(service.port(), head + body, 5000), status);
    }

    void slowClientsHoldNeitherOthersNorStop_data()
    {
        QTest::addColumn<QByteArray>("uploadHead");
        QTest::addColumn<bool>("withToken");
        QTest::newRow("slow request heads") << QByteArray() << false;
        const QByteArray upload = "POST /api/conversations HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                                  "Content-Type: application/json\r\nTransfer-Encoding: chunked\r\n";
        QTest::newRow("slow chunked uploads without a token") << upload << false;
        QTest::newRow("slow chunked uploads with the token") << upload << true;
    }
    void slowClientsHoldNeitherOthersNorStop()
    {
        QFETCH(QByteArray, uploadHead);
        QFETCH(bool, withToken);
        test::ReferenceService service;
        QVERIFY2(service.start(), qPrintable(service.errorString()));
        if (!uploadHead.isEmpty()) {
            if (withToken)
                uploadHead += "Authorization: Bearer " + service.token().toUtf8() + "\r\n";
            uploadHead += "\r\n";
        }
        {
            // More slow connections than the service has workers, and idle
            // ones beside them: every probe is still answered while they are
            // all open (well before a slow request's reading deadline, which
            // would otherwise free the workers).
            SlowClients slow(service.port(), 64, 64, uploadHead);
            QCOMPARE(slow.connected(), std::size_t(128));
            for (int probe = 0; probe < 5; ++probe)
                QCOMPARE(statusLine(service.port(), service.token(), 5000), QByteArray("HTTP/1.1 200 OK"));
            // SIGTERM ends the service at once, whatever these clients do.
            QVERIFY2(service.stop(), qPrintable(service.errorString()));
        }
    }
};

QTEST_GUILESS_MAIN(TestServiceLoad)
#include "test_serviceload.moc"
