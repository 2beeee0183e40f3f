// Desktop notifications and the launcher count on a private session bus: a
// dbus-daemon of the test's own, a small notification server on a second
// connection that records what it is sent and invokes actions, and the real
// model against the reference service.

#include "api/apiclient.h"
#include "app/appcommands.h"
#include "app/appmodel.h"
#include "app/desktopnotifier.h"
#include "app/launchercount.h"
#include "appmodelharness.h"
#include "core/blocking.h"
#include "support/referenceservice.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QScopeGuard>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
using namespace quarn;
using namespace quarn::testing;
using quarn::test::ReferenceService;

namespace {

/// One recorded Notify call.
struct Notification
{
    uint id = 0;
    QString appName;
    QString icon;
    QString summary;
    QString body;
    QStringList actions;
    QVariantMap hints;
};

/// The desktop's notification service as far as the client uses it.
class FakeNotificationServer : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

public:
    explicit FakeNotificationServer(QDBusConnection bus)
        : m_bus(std::move(bus))
    { }

    bool start()
    {
        return m_bus.registerObject(u"/org/freedesktop/Notifications"_s, this, QDBusConnection::ExportAllSlots)
            && m_bus.registerService(u"org.freedesktop.Notifications"_s);
    }

    /// The user chose `action` on notification `id`.
    void invoke(uint id, const QString &action)
    {
        QDBusMessage signal = QDBusMessage::createSignal(
            u"/org/freedesktop/Notifications"_s, u"org.freedesktop.Notifications"_s, u"ActionInvoked"_s);
        signal << id << action;
        m_bus.send(signal);
    }

    QStringList capabilities { u"actions"_s, u"body"_s };
    QList<Notification> received;

public Q_SLOTS:
    QStringList GetCapabilities() const { return capabilities; }
    uint Notify(const QString &appName, uint replacesId, const QString &icon, const QString &summary,
        const QString &body, const QStringList &actions, const QVariantMap &hints, int timeout)
    {
        Q_UNUSED(replacesId)
        Q_UNUSED(timeout)
        received.append({ uint(received.size() + 1), appName, icon, summary, body, actions, hints });
        return received.constLast().id;
    }
    void CloseNotification(uint) { }
    QString GetServerInformation(QString &vendor, QString &version, QString &specVersion) const
    {
        vendor = u"test"_s;
        version = u"1"_s;
        specVersion = u"1.2"_s;
        return u"fake"_s;
    }

private:
    QDBusConnection m_bus;
};

/// Every launcher-entry Update seen on the bus.
class LauncherListener : public QObject
{
    Q_OBJECT

public:
    explicit LauncherListener(QDBusConnection bus)
    {
        bus.connect(QString(), QString(), u"com.canonical.Unity.LauncherEntry"_s, u"Update"_s, this,
            SLOT(onUpdate(QString, QVariantMap)));
    }

    QList<std::pair<QString, QVariantMap>> updates;

private Q_SLOTS:
    void onUpdate(const QString &appUri, const QVariantMap &properties) { updates.append({ appUri, properties }); }
};

} // namespace

class TestDesktopNotifier : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();
    void cleanupTestCase();

    void announcesNewNeedsYouWorkAndOpensIt();
    void collapsesSeveralIntoOneWithTheirCount();
    void holdsBackWhatTheUserSees_data();
    void holdsBackWhatTheUserSees();
    void goesOnSilentlyWithoutANotificationService();
    void reusesTheReloadsAnswerWhenTheListIsShown();
    void launcherCountFollowsNeedsYouAndClearsAtZero();

private:
    /// A new incoming conversation, moved to needs-you by a completed AI job
    /// with `summary` (or by the user's status change without one).
    QString newNeedsYou(const QString &fromName, const QString &subject, const QString &summary = {});
    /// Every needs-you conversation of the service goes to done.
    void clearNeedsYou();
    QStringList lookAfterRefresh();
    /// The window's start-up, and the notifier's first look after it.
    void startUp();

    QProcess m_daemon;
    QString m_address;
    QTemporaryDir m_config;
    std::unique_ptr<ReferenceService> m_service;
    int m_sequence = 0;

    // Per test.
    std::unique_ptr<QDBusConnection> m_clientBus;
    std::unique_ptr<QDBusConnection> m_serverBus;
    std::unique_ptr<Harness> m_h;
    std::unique_ptr<AppCommands> m_commands;
    std::unique_ptr<DesktopNotifier> m_notifier;
    std::unique_ptr<FakeNotificationServer> m_server;
};

void TestDesktopNotifier::initTestCase()
{
    // The preference lives in a settings file of the test's own.
    QVERIFY(m_config.isValid());
    qputenv("XDG_CONFIG_HOME", m_config.path().toLocal8Bit());
    QCoreApplication::setOrganizationName(u"Quarn"_s);
    QCoreApplication::setApplicationName(u"Quarn Mail"_s);

    m_daemon.setProgram(u"dbus-daemon"_s);
    m_daemon.setArguments({ u"--session"_s, u"--nofork"_s, u"--nopidfile"_s, u"--print-address"_s });
    m_daemon.start();
    QVERIFY2(m_daemon.waitForStarted(10'000), qPrintable(m_daemon.errorString()));
    QTRY_VERIFY_WITH_TIMEOUT(m_daemon.canReadLine(), 10'000);
    m_address = QString::fromUtf8(m_daemon.readLine()).trimmed();
    QVERIFY(m_address.startsWith(u"unix:"_s));

    m_service = std::make_unique<ReferenceService>(ReferenceService::Data::Demo);
    QVERIFY2(m_service->start(), qPrintable(m_service->errorString()));
}

void TestDesktopNotifier::cleanupTestCase()
{
    m_service.reset();
    m_daemon.terminate();
    m_daemon.waitForFinished(5000);
}

void TestDesktopNotifier::init()
{
    ++m_sequence;
    m_clientBus
        = std::make_unique<QDBusConnection>(QDBusConnection::connectToBus(m_address, u"client%1"_s.arg(m_sequence)));
    m_serverBus
        = std::make_unique<QDBusConnection>(QDBusConnection::connectToBus(m_address, u"server%1"_s.arg(m_sequence)));
    QVERIFY(m_clientBus->isConnected());
    QVERIFY(m_serverBus->isConnected());
    QSettings().remove(QLatin1StringView(DesktopNotifier::kEnabledKey));

    clearNeedsYou();
    m_h = std::make_unique<Harness>(m_service->baseUrl());
    QVERIFY(m_h->saveToken(m_service->token()));
    m_commands = std::make_unique<AppCommands>(*m_h->model);
    m_notifier = std::make_unique<DesktopNotifier>(*m_h->model, *m_clientBus);
    connect(m_commands.get(), &AppCommands::refreshFinished, m_notifier.get(), &DesktopNotifier::refreshFinished);
    connect(m_notifier.get(), &DesktopNotifier::openURLRequested, m_commands.get(), &AppCommands::openURL);
    m_server = std::make_unique<FakeNotificationServer>(*m_serverBus);
}

void TestDesktopNotifier::cleanup()
{
    // Nothing may still be on its way into the model or the notifier.
    if (m_h)
        QTRY_VERIFY_WITH_TIMEOUT(!m_h->model->isLoading() && !m_notifier->isLooking(), 30'000);
    m_notifier.reset();
    m_commands.reset();
    m_h.reset();
    m_server.reset();
    const QString client = m_clientBus->name();
    const QString server = m_serverBus->name();
    m_clientBus.reset();
    m_serverBus.reset();
    QDBusConnection::disconnectFromBus(client);
    QDBusConnection::disconnectFromBus(server);
}

QString TestDesktopNotifier::newNeedsYou(const QString &fromName, const QString &subject, const QString &summary)
{
    ReferenceService::Incoming incoming;
    incoming.from = u"sender%1@example.com"_s.arg(++m_sequence);
    incoming.fromName = fromName;
    incoming.subject = subject;
    incoming.body = u"お願いがあります。"_s;
    const auto delivered = m_service->deliver(incoming);
    if (!delivered)
        return {};
    const APIClient client(m_service->baseUrl());
    if (summary.isEmpty()) {
        run(client.setStatus(ConversationStatus::needsYou, delivered->conversationId, m_service->token()));
    } else {
        const AiStartResponse job = run(client.startAI(delivered->conversationId, m_service->token()));
        AiInsight insight;
        insight.summary = summary;
        insight.request = u"返信する"_s;
        insight.suggestedStatus = ConversationStatus::needsYou;
        insight.draft = u"承知しました。"_s;
        insight.risk = u"low"_s;
        run(client.completeAI(delivered->conversationId, job.jobId, insight, m_service->token()));
    }
    return delivered->conversationId;
}

void TestDesktopNotifier::clearNeedsYou()
{
    const APIClient client(m_service->baseUrl());
    const MailState state = run(client.state(ConversationStatus::needsYou, m_service->token()));
    for (const ConversationListItem &c : state.conversations)
        run(client.setStatus(ConversationStatus::done, c.id, m_service->token()));
}

void TestDesktopNotifier::startUp()
{
    QSignalSpy looked(m_notifier.get(), &DesktopNotifier::looked);
    run(m_h->model->bootstrap());
    // The look may already have ended while the start-up was awaited.
    QTRY_VERIFY_WITH_TIMEOUT(!looked.isEmpty(), 30'000);
    // The first look sets the baseline only.
    QCOMPARE(looked.constFirst().constFirst().toStringList(), QStringList());
}

/// The toolbar's reload, and what the notifier's look after it announced.
QStringList TestDesktopNotifier::lookAfterRefresh()
{
    QSignalSpy looked(m_notifier.get(), &DesktopNotifier::looked);
    m_commands->refresh();
    if (looked.isEmpty() && !looked.wait(30'000))
        return { u"(no look)"_s };
    return looked.constFirst().constFirst().toStringList();
}

void TestDesktopNotifier::announcesNewNeedsYouWorkAndOpensIt()
{
    m_server->capabilities.append(u"body-markup"_s);
    QVERIFY(m_server->start());
    QSignalSpy activation(m_notifier.get(), &DesktopNotifier::activationRequested);

    // Work that was there at start is not news.
    QVERIFY(!newNeedsYou(u"Old Work"_s, u"昨日からの件"_s).isEmpty());
    startUp();
    QVERIFY(m_server->received.isEmpty());

    const QString id = newNeedsYou(u"Kim Lee"_s, u"Tom & <Jerry>"_s, u"日程の確認を求めています"_s);
    QVERIFY(!id.isEmpty());
    QCOMPARE(lookAfterRefresh(), QStringList { id });
    QTRY_COMPARE(m_server->received.size(), 1);
    const Notification sent = m_server->received.constFirst();
    QCOMPARE(sent.appName, u"Quarn Mail"_s);
    QCOMPARE(sent.icon, u"quarn-mail"_s);
    QCOMPARE(sent.summary, u"Kim Lee"_s);
    // The server reads markup: the subject's own characters stay text.
    QCOMPARE(sent.body, u"Tom &amp; &lt;Jerry&gt;\n日程の確認を求めています"_s);
    QVERIFY(sent.actions.contains(u"open"_s));
    QCOMPARE(sent.actions.at(sent.actions.indexOf(u"open"_s) + 1), u"開く"_s);
    QCOMPARE(sent.hints.value(u"desktop-entry"_s).toString(), u"quarn-mail"_s);

    // Announced once: the next look finds nothing new.
    QCOMPARE(lookAfterRefresh(), QStringList());

    // Elsewhere in the meantime; "開く" brings the announced conversation.
    run(m_h->model->selectStatus(ConversationStatus::done));
    m_server->invoke(sent.id, u"open"_s);
    QTRY_VERIFY_WITH_TIMEOUT(m_h->model->detail() && m_h->model->detail()->id == id, 30'000);
    QCOMPARE(m_h->model->selectedStatus(), ConversationStatus::needsYou);
    QCOMPARE(activation.size(), 1);

    // Another client's notification with the same action is not ours: of
    // the two actions below (delivered in order) only the second counts.
    QSignalSpy links(m_notifier.get(), &DesktopNotifier::openURLRequested);
    activation.clear();
    m_server->invoke(sent.id + 100, u"open"_s);
    m_server->invoke(sent.id, u"open"_s);
    QTRY_COMPARE(links.size(), 1);
    QCOMPARE(links.constFirst().constFirst().toString(), u"quarn-mail://conversation/"_s + id);
    QCOMPARE(activation.size(), 1);
}

void TestDesktopNotifier::collapsesSeveralIntoOneWithTheirCount()
{
    QVERIFY(m_server->start());
    QSignalSpy activation(m_notifier.get(), &DesktopNotifier::activationRequested);
    startUp();

    QStringList ids;
    for (int i = 1; i <= 4; ++i)
        ids.append(newNeedsYou(u"Sender %1"_s.arg(i), u"A & B %1"_s.arg(i)));
    QCOMPARE(lookAfterRefresh().size(), 4);
    QTRY_COMPARE(m_server->received.size(), 1);
    const Notification sent = m_server->received.constFirst();
    QCOMPARE(sent.summary, u"Needs youの会話が4件増えました"_s);
    // No markup on this server: the text goes as it is.
    const QStringList lines = sent.body.split(u'\n');
    QCOMPARE(lines.size(), 4);
    QVERIFY2(lines.at(0).contains(u": A & B "_s), qPrintable(lines.at(0)));
    QCOMPARE(lines.at(3), u"ほか1件"_s);

    // Its action shows the needs-you list.
    run(m_h->model->selectStatus(ConversationStatus::done));
    m_server->invoke(sent.id, u"default"_s);
    QTRY_COMPARE(m_h->model->selectedStatus(), ConversationStatus::needsYou);
    QCOMPARE(activation.size(), 1);
    QVERIFY(!m_h->model->detail());
}

void TestDesktopNotifier::holdsBackWhatTheUserSees_data()
{
    QTest::addColumn<bool>("windowActive");
    QTest::addColumn<ConversationStatus>("shownList");
    QTest::addColumn<bool>("enabled");
    QTest::addColumn<bool>("openedByUser");
    QTest::addColumn<bool>("announced");

    QTest::newRow("window active on the needs-you list")
        << true << ConversationStatus::needsYou << true << false << false;
    QTest::newRow("window active on another list") << true << ConversationStatus::inbox << true << false << true;
    QTest::newRow("window inactive on the needs-you list")
        << false << ConversationStatus::needsYou << true << false << true;
    QTest::newRow("switched off") << false << ConversationStatus::inbox << false << false << false;
    QTest::newRow("opened by the user") << false << ConversationStatus::inbox << true << true << false;
}

void TestDesktopNotifier::holdsBackWhatTheUserSees()
{
    QFETCH(bool, windowActive);
    QFETCH(ConversationStatus, shownList);
    QFETCH(bool, enabled);
    QFETCH(bool, openedByUser);
    QFETCH(bool, announced);

    QVERIFY(m_server->start());
    startUp();
    run(m_h->model->selectStatus(shownList));
    m_notifier->setWindowActive(windowActive);
    // The preference as another view writes it: straight into the settings.
    QSettings().setValue(QLatin1StringView(DesktopNotifier::kEnabledKey), enabled);

    const QString id = newNeedsYou(u"Kim Lee"_s, u"確認のお願い"_s);
    if (openedByUser) {
        run(m_h->model->openTimelineConversation(id));
        run(m_h->model->selectStatus(shownList));
    }
    QCOMPARE(lookAfterRefresh(), announced ? QStringList { id } : QStringList());
    if (announced)
        QTRY_COMPARE(m_server->received.size(), 1);

    // What was held back is not announced later either.
    m_notifier->setWindowActive(false);
    QSettings().setValue(QLatin1StringView(DesktopNotifier::kEnabledKey), true);
    QCOMPARE(lookAfterRefresh(), QStringList());
    QCOMPARE(m_server->received.size(), announced ? 1 : 0);
}

void TestDesktopNotifier::reusesTheReloadsAnswerWhenTheListIsShown()
{
    QVERIFY(m_server->start());
    startUp();
    int asked = 0;
    const QMetaObject::Connection counting = connect(
        APIClient::networkAccessManager(), &QNetworkAccessManager::finished, this, [&asked](QNetworkReply *reply) {
            if (reply->url().path() == u"/api/state"_s && reply->url().query().contains(u"status=needs_you"_s))
                ++asked;
        });
    const auto stopCounting = qScopeGuard([&counting] { disconnect(counting); });

    // The reload has just answered for the needs-you list on screen: the
    // notifier looks at that answer instead of asking again, and still
    // finds what is new in it.
    QCOMPARE(m_h->model->selectedStatus(), ConversationStatus::needsYou);
    const QString id = newNeedsYou(u"Kim Lee"_s, u"確認のお願い"_s);
    QCOMPARE(lookAfterRefresh(), QStringList { id });
    QCOMPARE(asked, 1);
    QTRY_COMPARE(m_server->received.size(), 1);

    // Another list on screen: the notifier asks for its own.
    run(m_h->model->selectStatus(ConversationStatus::inbox));
    asked = 0;
    QCOMPARE(lookAfterRefresh(), QStringList());
    QCOMPARE(asked, 1);
}

void TestDesktopNotifier::goesOnSilentlyWithoutANotificationService()
{
    // Nobody owns org.freedesktop.Notifications on this bus.
    startUp();
    const QString first = newNeedsYou(u"Kim Lee"_s, u"一件目"_s);
    QCOMPARE(lookAfterRefresh(), QStringList { first });
    // The notifier is not stuck on the missing service, and the model saw nothing.
    const QString second = newNeedsYou(u"Kim Lee"_s, u"二件目"_s);
    QCOMPARE(lookAfterRefresh(), QStringList { second });
    QVERIFY(!m_h->model->errorMessage());

    // Nor without any session bus.
    DesktopNotifier unconnected(*m_h->model, QDBusConnection(u"no such connection"_s));
    QSignalSpy looked(&unconnected, &DesktopNotifier::looked);
    unconnected.refreshFinished();
    QTRY_COMPARE_WITH_TIMEOUT(looked.size(), 1, 30'000);
    const QString third = newNeedsYou(u"Kim Lee"_s, u"三件目"_s);
    unconnected.refreshFinished();
    QTRY_COMPARE_WITH_TIMEOUT(looked.size(), 2, 30'000);
    QCOMPARE(looked.constLast().constFirst().toStringList(), QStringList { third });
}

void TestDesktopNotifier::launcherCountFollowsNeedsYouAndClearsAtZero()
{
    LauncherListener listener(*m_serverBus);
    LauncherCount launcher(u"quarn-mail.desktop"_s, *m_clientBus);
    connect(m_notifier.get(), &DesktopNotifier::needsYouCountChanged, &launcher, &LauncherCount::setCount);

    newNeedsYou(u"Kim Lee"_s, u"一件目"_s);
    newNeedsYou(u"Kim Lee"_s, u"二件目"_s);
    startUp();
    QTRY_VERIFY(!listener.updates.isEmpty());
    QCOMPARE(listener.updates.constLast().first, u"application://quarn-mail.desktop"_s);
    QCOMPARE(listener.updates.constLast().second.value(u"count"_s).toLongLong(), 2);
    QCOMPARE(listener.updates.constLast().second.value(u"count-visible"_s).toBool(), true);

    // A dock that starts later asks.
    QDBusMessage query = QDBusMessage::createMethodCall(m_clientBus->baseService(),
        QLatin1StringView(LauncherCount::kObjectPath), u"com.canonical.Unity.LauncherEntry"_s, u"Query"_s);
    QDBusPendingCallWatcher watcher(m_serverBus->asyncCall(query));
    QSignalSpy answered(&watcher, &QDBusPendingCallWatcher::finished);
    QTRY_VERIFY_WITH_TIMEOUT(!answered.isEmpty(), 10'000);
    const QDBusPendingReply<QString, QVariantMap> reply = watcher;
    QVERIFY2(!reply.isError(), qPrintable(reply.error().message()));
    QCOMPARE(reply.argumentAt<0>(), u"application://quarn-mail.desktop"_s);
    QCOMPARE(reply.argumentAt<1>().value(u"count"_s).toLongLong(), 2);

    // Viewing another list changes nothing; the count follows the service.
    const qsizetype before = listener.updates.size();
    run(m_h->model->selectStatus(ConversationStatus::done));
    clearNeedsYou();
    lookAfterRefresh();
    QTRY_COMPARE(listener.updates.size(), before + 1);
    QCOMPARE(listener.updates.constLast().second.value(u"count"_s).toLongLong(), 0);
    QCOMPARE(listener.updates.constLast().second.value(u"count-visible"_s).toBool(), false);
}

QTEST_MAIN(TestDesktopNotifier)
#include "test_desktopnotifier.moc"
