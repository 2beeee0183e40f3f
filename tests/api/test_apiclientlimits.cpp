// A hostile or broken service must not hold the client: a loopback server
// that floods, trickles or never finishes its header meets a client with a
// short deadline and a small answer bound, and every request must end with
// the right failure.

#include "api/apiclient.h"
#include "core/blocking.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>

#include <memory>
#include <optional>

using namespace quarn;
using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

const QString kToken = u"tok_mail_"_s + QString(43, u'c');

/// Answers every request with `head` and then `filler` again and again:
/// as fast as the client takes it (flood) or one piece every 20 ms
/// (trickle), until the client goes. Counts what it wrote.
class MisbehavingServer : public QObject
{
public:
    enum class Pace { flood, trickle };

    MisbehavingServer(QByteArray head, QByteArray filler, Pace pace)
        : m_head(std::move(head))
        , m_filler(std::move(filler))
        , m_pace(pace)
    {
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = m_server.nextPendingConnection())
                serve(socket);
        });
        m_server.listen(QHostAddress::LocalHost);
    }

    [[nodiscard]] QUrl baseUrl() const { return QUrl(u"http://127.0.0.1:%1"_s.arg(m_server.serverPort())); }
    [[nodiscard]] qint64 written() const { return m_written; }
    /// Connections that got the misbehaving answer and are still open.
    [[nodiscard]] int heldConnections() const { return m_held; }

    /// Every connection after the first is answered with `answer` at once.
    void thenAnswer(QByteArray answer) { m_then = std::move(answer); }

private:
    void serve(QTcpSocket *socket)
    {
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        if (m_then && m_served++ > 0) {
            connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
                socket->readAll();
                write(socket, *m_then);
                socket->disconnectFromHost();
            });
            return;
        }
        ++m_held;
        connect(socket, &QTcpSocket::disconnected, this, [this] { --m_held; });
        // The head goes once the request has arrived (any bytes will do).
        connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
            socket->readAll();
            if (socket->property("answered").toBool())
                return;
            socket->setProperty("answered", true);
            write(socket, m_head);
            if (m_filler.isEmpty())
                return;
            if (m_pace == Pace::flood) {
                connect(socket, &QTcpSocket::bytesWritten, socket, [this, socket] {
                    // Keeps a few pieces queued: never more than the client takes.
                    while (socket->state() == QAbstractSocket::ConnectedState && socket->bytesToWrite() < (1 << 20))
                        write(socket, m_filler);
                });
                write(socket, m_filler);
            } else {
                auto *timer = new QTimer(socket);
                connect(timer, &QTimer::timeout, socket, [this, socket] {
                    if (socket->state() == QAbstractSocket::ConnectedState)
                        write(socket, m_filler);
                });
                timer->start(20);
            }
        });
    }

    void write(QTcpSocket *socket, const QByteArray &bytes) { m_written += socket->write(bytes); }

    QTcpServer m_server;
    QByteArray m_head;
    QByteArray m_filler;
    Pace m_pace;
    qint64 m_written = 0;
    std::optional<QByteArray> m_then;
    int m_served = 0;
    int m_held = 0;
};

} // namespace

class TestAPIClientLimits : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void misbehavingServiceEnds_data()
    {
        QTest::addColumn<QByteArray>("head");
        QTest::addColumn<QByteArray>("filler");
        QTest::addColumn<bool>("flood");
        QTest::addColumn<bool>("timesOut"); // else: cut off as an unreadable answer

        const QByteArray ok = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n";
        const QByteArray kib(1024, ' ');
        QTest::newRow("endless body") << ok + "Connection: close\r\n\r\n[" << kib << true << false;
        QTest::newRow("endless chunked body") << ok + "Transfer-Encoding: chunked\r\n\r\n"
                                              << "400\r\n" + kib + "\r\n"
                                              << true << false;
        QTest::newRow("declared beyond the bound") << ok + "Content-Length: 1099511627776\r\n\r\n"
                                                   << kib << true << false;
        QTest::newRow("trickling body") << ok + "Content-Length: 100000\r\n\r\n" << QByteArray("{") << false << true;
        QTest::newRow("endless header line") << ok + "X-Endless: " << QByteArray(4096, 'a') << false << true;
        QTest::newRow("endless header fields") << ok << QByteArray("X-Field: value\r\n") << false << true;
        QTest::newRow("no answer at all") << QByteArray() << QByteArray() << false << true;
    }
    void misbehavingServiceEnds()
    {
        QFETCH(QByteArray, head);
        QFETCH(QByteArray, filler);
        QFETCH(bool, flood);
        QFETCH(bool, timesOut);
        MisbehavingServer server(
            head, filler, flood ? MisbehavingServer::Pace::flood : MisbehavingServer::Pace::trickle);
        APIClient::Limits limits;
        constexpr qint64 kBound = 256 * 1024;
        limits.maximumAnswerBytes = kBound;
        // Only the failure under test may end the request.
        limits.deadline = timesOut ? 600ms : 60s;
        const APIClient client(server.baseUrl(), limits);

        std::optional<MailAPIError> answerError;
        std::optional<PlatformError> transportError;
        try {
            (void)blockOn(client.state(ConversationStatus::needsYou, kToken), 30s);
            QFAIL("the request succeeded");
        } catch (const MailAPIError &e) {
            answerError = e;
        } catch (const PlatformError &e) {
            transportError = e;
        }

        if (timesOut) {
            QVERIFY2(transportError, answerError ? qPrintable(answerError->description()) : "no failure");
            QCOMPARE(transportError->description(), APIClient::timeoutMessage());
        } else {
            QVERIFY2(answerError, transportError ? qPrintable(transportError->description()) : "no failure");
            QCOMPARE(answerError->kind(), MailAPIError::Kind::invalidResponse);
            QCOMPARE(answerError->description(), u"サーバーの応答を読み取れませんでした。"_s);
            // Cut off near the bound, not read to the end: what the server
            // got rid of is the bound plus what the sockets buffer on the way.
            QVERIFY2(server.written() < 64 * kBound, qPrintable(QString::number(server.written())));
        }
    }

    // A compressed answer that unpacks far beyond the bound fails as an
    // unreadable answer as soon as the bound is passed, not at the deadline.
    void compressionBombIsCutOffAtTheBound_data()
    {
        QTest::addColumn<QByteArray>("encoding");
        QTest::addColumn<bool>("declaresLength");
        QTest::newRow("deflate") << QByteArray("deflate") << true;
        QTest::newRow("gzip") << QByteArray("gzip") << true;
        QTest::newRow("gzip, until the connection closes") << QByteArray("gzip") << false;
    }
    void compressionBombIsCutOffAtTheBound()
    {
        QFETCH(QByteArray, encoding);
        QFETCH(bool, declaresLength);
        constexpr qint64 kBound = 1 << 20;
        // 64 MiB of white space in a few kilobytes. qCompress gives a zlib
        // stream behind a 4-byte length: that stream is HTTP's "deflate";
        // its raw part in a gzip frame is "gzip" (the checksum at the end is
        // never reached).
        const QByteArray zlib = qCompress(QByteArray(64 << 20, ' '), 9).mid(4);
        const QByteArray packed = encoding == "deflate"
            ? zlib
            : QByteArray("\x1f\x8b\x08\0\0\0\0\0\0\x03", 10) + zlib.mid(2).chopped(4) + QByteArray(8, '\0');
        QVERIFY(packed.size() < kBound);
        const QByteArray length = declaresLength ? "Content-Length: " + QByteArray::number(packed.size()) + "\r\n" : "";
        const QByteArray head = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Encoding: " + encoding
            + "\r\n" + length + "Connection: close\r\n\r\n";
        MisbehavingServer server(head + packed, {}, MisbehavingServer::Pace::flood);
        APIClient::Limits limits;
        limits.maximumAnswerBytes = kBound;
        limits.deadline = 60s;
        const APIClient client(server.baseUrl(), limits);
        try {
            (void)blockOn(client.state(ConversationStatus::needsYou, kToken), 30s);
            QFAIL("the bomb was accepted");
        } catch (const MailAPIError &e) {
            QCOMPARE(e.kind(), MailAPIError::Kind::invalidResponse);
        } catch (const PlatformError &e) {
            QFAIL(qPrintable(u"failed as a transport error: "_s + e.description()));
        }
    }

    // A request that timed out must not take the client's network stack
    // with it: the next request reaches the service and is answered.
    void nextRequestWorksAfterAnEndlessHeader_data()
    {
        QTest::addColumn<bool>("flood");
        QTest::newRow("flooded header line") << true;
        QTest::newRow("trickling header line") << false;
    }
    void nextRequestWorksAfterAnEndlessHeader()
    {
        QFETCH(bool, flood);
        MisbehavingServer server("HTTP/1.1 200 OK\r\nX-Endless: ", QByteArray(4096, 'a'),
            flood ? MisbehavingServer::Pace::flood : MisbehavingServer::Pace::trickle);
        const QByteArray state = R"({"mailbox":null,"viewer":{"id":"u","name":"n","email":"e@x.jp"},)"
                                 R"("status":"needs_you","counts":{},"conversations":[]})";
        server.thenAnswer("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: "
            + QByteArray::number(state.size()) + "\r\nConnection: close\r\n\r\n" + state);
        APIClient::Limits limits;
        limits.deadline = 600ms;
        const APIClient client(server.baseUrl(), limits);
        try {
            (void)blockOn(client.state(ConversationStatus::needsYou, kToken), 30s);
            QFAIL("the endless header was accepted");
        } catch (const PlatformError &e) {
            QCOMPARE(e.description(), APIClient::timeoutMessage());
        }

        limits.deadline = 20s;
        const MailState answer
            = blockOn(APIClient(server.baseUrl(), limits).state(ConversationStatus::needsYou, kToken), 30s);
        QCOMPARE(answer.status, ConversationStatus::needsYou);
        // A trickling header is let go at once. A flooding one holds the old
        // manager's network thread until the sender stops: Qt's reader leaves
        // its loop only when no byte is waiting, and nothing outside that
        // thread can close its socket.
        if (!flood)
            QTRY_COMPARE(server.heldConnections(), 0);
    }

    void answerAtTheBoundIsRead()
    {
        // 0.5 MiB of JSON white space around a valid state: exactly the bound.
        const QByteArray state = R"({"mailbox":null,"viewer":{"id":"u","name":"n","email":"e@x.jp"},)"
                                 R"("status":"needs_you","counts":{},"conversations":[]})";
        constexpr qint64 kBound = 512 * 1024;
        const QByteArray body = QByteArray(kBound - state.size(), ' ') + state;
        const QByteArray head = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: "
            + QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n";
        MisbehavingServer server(head + body, {}, MisbehavingServer::Pace::flood);
        APIClient::Limits limits;
        limits.maximumAnswerBytes = kBound;
        const APIClient client(server.baseUrl(), limits);
        const MailState answer = blockOn(client.state(ConversationStatus::needsYou, kToken), 30s);
        QCOMPARE(answer.status, ConversationStatus::needsYou);

        // One byte more is refused.
        limits.maximumAnswerBytes = kBound - 1;
        try {
            (void)blockOn(APIClient(server.baseUrl(), limits).state(ConversationStatus::needsYou, kToken), 30s);
            QFAIL("an answer beyond the bound was accepted");
        } catch (const MailAPIError &e) {
            QCOMPARE(e.kind(), MailAPIError::Kind::invalidResponse);
        }
    }
};

QTEST_GUILESS_MAIN(TestAPIClientLimits)
#include "test_apiclientlimits.moc"
