// The running quarn-mail hands the URLs it is given, and those of later
// starts, to its model: a conversation link opens the conversation, which the
// service then counts as read. Everything is the real executable against the
// reference service; this process only starts them and asks the service.
//
// The build's service origin is 127.0.0.1:8787, so the test runs in a network
// namespace of its own (tests/support/loopback-only), where that port is free.

#include "api/apiclient.h"
#include "core/blocking.h"
#include "support/referenceservice.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QLocalSocket>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <optional>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
using quarn::test::ReferenceService;

namespace {

QProcessEnvironment desktopEnvironment(const QTemporaryDir &dir, const QString &data)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(u"HOME"_s, dir.filePath(u"home"_s));
    environment.insert(u"XDG_DATA_HOME"_s, dir.filePath(data));
    environment.insert(u"XDG_RUNTIME_DIR"_s, dir.path());
    environment.insert(u"QT_QPA_PLATFORM"_s, u"offscreen"_s);
    return environment;
}

} // namespace

class TestShellHandoff : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        if (qEnvironmentVariable("QUARN_LOOPBACK_ONLY") != u"1"_s)
            QSKIP("runs inside tests/support/loopback-only (ctest starts it there)");
        m_service.setServeArguments({ u"--port"_s, u"8787"_s });
        QVERIFY2(m_service.start(), qPrintable(m_service.errorString()));
        QCOMPARE(m_service.baseUrl(), QUrl(u"http://127.0.0.1:8787"_s));
    }

    void linksReachTheRunningInstancesModel()
    {
        const auto first = m_service.deliver(
            { .from = u"kim@example.com"_s, .fromName = u"Kim Lee"_s, .subject = u"最初の件"_s, .body = u"一通目"_s });
        const auto second = m_service.deliver(
            { .from = u"ann@example.com"_s, .fromName = u"Ann Ito"_s, .subject = u"次の件"_s, .body = u"二通目"_s });
        QVERIFY(first && second);
        QVERIFY(isUnread(first->conversationId) == true && isUnread(second->conversationId) == true);

        QTemporaryDir dir;
        QVERIFY(QDir().mkpath(dir.filePath(u"home"_s)));
        const QProcessEnvironment signedIn = desktopEnvironment(dir, u"data"_s);
        QProcess provision;
        provision.setProcessEnvironment(signedIn);
        provision.start(QStringLiteral(QUARN_MAIL_EXECUTABLE), { u"--provision-token"_s });
        provision.write(m_service.token().toUtf8() + '\n');
        provision.closeWriteChannel();
        QVERIFY(provision.waitForFinished(20'000));
        QCOMPARE(provision.exitCode(), 0);

        // The running instance, started with a link of its own.
        QProcess running;
        running.setProcessEnvironment(signedIn);
        running.start(
            QStringLiteral(QUARN_MAIL_EXECUTABLE), { u"quarn-mail://conversation/"_s + first->conversationId });
        QVERIFY(running.waitForStarted(10'000));
        QVERIFY(eventually([&] { return isUnread(first->conversationId) == false; }));
        QCOMPARE(running.state(), QProcess::Running);
        QCOMPARE(isUnread(second->conversationId), std::optional<bool>(true));

        // A later start from another session (its own runtime folder) on the
        // same data folder hands its link over and ends.
        QTemporaryDir otherRuntime;
        QProcessEnvironment otherSession = signedIn;
        otherSession.insert(u"XDG_RUNTIME_DIR"_s, otherRuntime.path());
        QProcess later;
        later.setProcessEnvironment(otherSession);
        later.start(
            QStringLiteral(QUARN_MAIL_EXECUTABLE), { u"quarn-mail://conversation/"_s + second->conversationId });
        QVERIFY(later.waitForFinished(20'000));
        QCOMPARE(later.exitStatus(), QProcess::NormalExit);
        QCOMPARE(later.exitCode(), 0);
        QVERIFY(eventually([&] { return isUnread(second->conversationId) == false; }));
        QCOMPARE(running.state(), QProcess::Running);

        running.kill();
        running.waitForFinished(10'000);
    }

private:
    /// Asks `condition` until it holds, for at most 30 s, the event loop
    /// running in between; its last answer.
    template<typename Condition> static bool eventually(Condition condition)
    {
        const QDeadlineTimer deadline(30'000);
        while (!condition()) {
            if (deadline.hasExpired())
                return false;
            QTest::qWait(100);
        }
        return true;
    }

    /// Whether the conversation is unread in the inbox; nothing when the
    /// service does not list it there.
    std::optional<bool> isUnread(const QString &id)
    {
        const quarn::APIClient client(m_service.baseUrl());
        try {
            const quarn::MailState state
                = quarn::blockOn(client.state(quarn::ConversationStatus::inbox, m_service.token()), 10s);
            for (const auto &item : state.conversations) {
                if (item.id == id)
                    return item.unread;
            }
        } catch (...) { }
        return std::nullopt;
    }

    ReferenceService m_service;
};

QTEST_GUILESS_MAIN(TestShellHandoff)
#include "test_shellhandoff.moc"
