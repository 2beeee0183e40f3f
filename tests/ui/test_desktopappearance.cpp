// The light/dark scheme and reduced motion as the XDG Settings portal gives
// them: a dbus-daemon of the test's own, and on a second connection a small
// stand-in for the portal (the real one needs a desktop session), which
// answers Read as the portal does and announces changes with SettingChanged.

#include "platform/desktopappearance.h"
#include "ui/colorscheme.h"
#include "ui/screenrules.h"

#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QProcess>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;
using quarn::platform::ColorScheme;
using quarn::platform::DesktopAppearance;
using quarn::ui::ScreenRules;

Q_DECLARE_METATYPE(quarn::platform::ColorScheme)

namespace {

constexpr auto kAppearance = "org.freedesktop.appearance";
constexpr auto kGnome = "org.gnome.desktop.interface";

/// The portal's Settings interface, holding the values a test gives it.
class FakeSettingsPortal : public QObject, protected QDBusContext
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.Settings")

public:
    explicit FakeSettingsPortal(QDBusConnection bus)
        : m_bus(std::move(bus))
    { }

    bool start()
    {
        return m_bus.registerObject(QLatin1StringView(DesktopAppearance::kPath), this, QDBusConnection::ExportAllSlots)
            && m_bus.registerService(QLatin1StringView(DesktopAppearance::kService));
    }

    void set(const QString &nameSpace, const QString &key, const QVariant &value)
    {
        m_values.insert(nameSpace + u'/' + key, value);
    }

    /// The desktop changed a setting: the portal's signal, as it sends it.
    void change(const QString &nameSpace, const QString &key, const QVariant &value)
    {
        set(nameSpace, key, value);
        QDBusMessage signal = QDBusMessage::createSignal(QLatin1StringView(DesktopAppearance::kPath),
            QLatin1StringView(DesktopAppearance::kInterface), u"SettingChanged"_s);
        signal << nameSpace << key << QVariant::fromValue(QDBusVariant(value));
        m_bus.send(signal);
    }

public Q_SLOTS:
    // Version 1 of the interface answers a variant inside a variant.
    QDBusVariant Read(const QString &nameSpace, const QString &key)
    {
        const auto found = m_values.constFind(nameSpace + u'/' + key);
        if (found == m_values.constEnd()) {
            sendErrorReply(u"org.freedesktop.portal.Error.NotFound"_s, u"Requested setting not found"_s);
            return {};
        }
        return QDBusVariant(QVariant::fromValue(QDBusVariant(*found)));
    }

private:
    QDBusConnection m_bus;
    QHash<QString, QVariant> m_values;
};

} // namespace

class TestDesktopAppearance : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();
    void cleanupTestCase();

    void readsTheSettingsAtStart_data();
    void readsTheSettingsAtStart();
    void followsAChangeAtOnce();
    void reduceMotionFallsBackToTheFilesUntilThePortalSays();
    void withoutAPortalNothingChanges();
    void paletteForScheme_data();
    void paletteForScheme();
    void screensTakeTheSchemeLive();

private:
    /// An appearance reader on the client connection, started and with its first answers in.
    std::unique_ptr<DesktopAppearance> startedAppearance();

    QProcess m_daemon;
    QString m_address;
    int m_sequence = 0;
    std::unique_ptr<QDBusConnection> m_clientBus;
    std::unique_ptr<QDBusConnection> m_portalBus;
    std::unique_ptr<FakeSettingsPortal> m_portal;
};

void TestDesktopAppearance::initTestCase()
{
    m_daemon.setProgram(u"dbus-daemon"_s);
    m_daemon.setArguments({ u"--session"_s, u"--nofork"_s, u"--nopidfile"_s, u"--print-address"_s });
    m_daemon.start();
    QVERIFY2(m_daemon.waitForStarted(10'000), qPrintable(m_daemon.errorString()));
    QTRY_VERIFY_WITH_TIMEOUT(m_daemon.canReadLine(), 10'000);
    m_address = QString::fromUtf8(m_daemon.readLine()).trimmed();
    QVERIFY(m_address.startsWith(u"unix:"_s));
}

void TestDesktopAppearance::cleanupTestCase()
{
    m_daemon.terminate();
    m_daemon.waitForFinished(5000);
}

void TestDesktopAppearance::init()
{
    ++m_sequence;
    m_clientBus
        = std::make_unique<QDBusConnection>(QDBusConnection::connectToBus(m_address, u"client%1"_s.arg(m_sequence)));
    m_portalBus
        = std::make_unique<QDBusConnection>(QDBusConnection::connectToBus(m_address, u"portal%1"_s.arg(m_sequence)));
    QVERIFY(m_clientBus->isConnected());
    QVERIFY(m_portalBus->isConnected());
    m_portal = std::make_unique<FakeSettingsPortal>(*m_portalBus);
}

void TestDesktopAppearance::cleanup()
{
    m_portal.reset();
    const QString client = m_clientBus->name();
    const QString portal = m_portalBus->name();
    m_clientBus.reset();
    m_portalBus.reset();
    QDBusConnection::disconnectFromBus(client);
    QDBusConnection::disconnectFromBus(portal);
}

std::unique_ptr<DesktopAppearance> TestDesktopAppearance::startedAppearance()
{
    auto appearance = std::make_unique<DesktopAppearance>(*m_clientBus);
    appearance->start();
    if (!QTest::qWaitFor([&] { return !appearance->isReading(); }, 10'000))
        return nullptr;
    return appearance;
}

void TestDesktopAppearance::readsTheSettingsAtStart_data()
{
    QTest::addColumn<QVariant>("scheme");
    QTest::addColumn<QVariant>("animations");
    QTest::addColumn<ColorScheme>("expectedScheme");
    QTest::addColumn<QVariant>("expectedAnimations");
    const QVariant none;
    QTest::newRow("dark, animations off")
        << QVariant(uint(1)) << QVariant(false) << ColorScheme::dark << QVariant(false);
    QTest::newRow("light, animations on")
        << QVariant(uint(2)) << QVariant(true) << ColorScheme::light << QVariant(true);
    QTest::newRow("no preference") << QVariant(uint(0)) << QVariant(true) << ColorScheme::noPreference
                                   << QVariant(true);
    QTest::newRow("a scheme value of a later version")
        << QVariant(uint(7)) << none << ColorScheme::noPreference << none;
    QTest::newRow("values of the wrong type")
        << QVariant(u"dark"_s) << QVariant(u"false"_s) << ColorScheme::noPreference << none;
    QTest::newRow("settings the portal does not know") << none << none << ColorScheme::noPreference << none;
}

void TestDesktopAppearance::readsTheSettingsAtStart()
{
    QFETCH(QVariant, scheme);
    QFETCH(QVariant, animations);
    QFETCH(ColorScheme, expectedScheme);
    QFETCH(QVariant, expectedAnimations);
    if (scheme.isValid())
        m_portal->set(QLatin1StringView(kAppearance), u"color-scheme"_s, scheme);
    if (animations.isValid())
        m_portal->set(QLatin1StringView(kGnome), u"enable-animations"_s, animations);
    QVERIFY(m_portal->start());

    const auto appearance = startedAppearance();
    QVERIFY(appearance);
    QCOMPARE(appearance->colorScheme(), expectedScheme);
    const std::optional<bool> enabled = appearance->animationsEnabled();
    QCOMPARE(enabled.has_value(), expectedAnimations.isValid());
    if (enabled)
        QCOMPARE(*enabled, expectedAnimations.toBool());
}

void TestDesktopAppearance::followsAChangeAtOnce()
{
    m_portal->set(QLatin1StringView(kAppearance), u"color-scheme"_s, uint(2));
    m_portal->set(QLatin1StringView(kGnome), u"enable-animations"_s, true);
    QVERIFY(m_portal->start());
    const auto appearance = startedAppearance();
    QVERIFY(appearance);
    QTemporaryDir config;
    ScreenRules rules(*appearance, config.path());
    QCOMPARE(appearance->colorScheme(), ColorScheme::light);
    QVERIFY(!rules.reduceMotion());

    QSignalSpy scheme(appearance.get(), &DesktopAppearance::colorSchemeChanged);
    QSignalSpy motion(&rules, &ScreenRules::reduceMotionChanged);
    // Other settings of the same signal leave both alone.
    m_portal->change(u"org.gnome.desktop.interface"_s, u"gtk-theme"_s, u"Adwaita-dark"_s);
    m_portal->change(QLatin1StringView(kAppearance), u"color-scheme"_s, uint(1));
    QVERIFY(scheme.wait(10'000));
    QCOMPARE(appearance->colorScheme(), ColorScheme::dark);
    m_portal->change(QLatin1StringView(kGnome), u"enable-animations"_s, false);
    QVERIFY(motion.wait(10'000));
    QVERIFY(rules.reduceMotion());
    QCOMPARE(scheme.count(), 1);
    QCOMPARE(motion.count(), 1);

    m_portal->change(QLatin1StringView(kAppearance), u"color-scheme"_s, uint(0));
    QVERIFY(scheme.wait(10'000));
    QCOMPARE(appearance->colorScheme(), ColorScheme::noPreference);
}

void TestDesktopAppearance::reduceMotionFallsBackToTheFilesUntilThePortalSays()
{
    // A portal without GNOME's setting (another desktop's portal), and GTK's
    // settings file with animations off.
    m_portal->set(QLatin1StringView(kAppearance), u"color-scheme"_s, uint(1));
    QVERIFY(m_portal->start());
    QTemporaryDir config;
    QVERIFY(QDir(config.path()).mkpath(u"gtk-3.0"_s));
    QFile settings(config.filePath(u"gtk-3.0/settings.ini"_s));
    QVERIFY(settings.open(QIODevice::WriteOnly));
    settings.write("[Settings]\ngtk-enable-animations=0\n");
    settings.close();

    const auto appearance = startedAppearance();
    QVERIFY(appearance);
    ScreenRules rules(*appearance, config.path());
    QVERIFY(!appearance->animationsEnabled());
    QVERIFY(rules.reduceMotion());

    QSignalSpy motion(&rules, &ScreenRules::reduceMotionChanged);
    m_portal->change(QLatin1StringView(kGnome), u"enable-animations"_s, true);
    QVERIFY(motion.wait(10'000));
    QVERIFY(!rules.reduceMotion());
}

void TestDesktopAppearance::withoutAPortalNothingChanges()
{
    QTemporaryDir config;
    QFile kde(config.filePath(u"kdeglobals"_s));
    QVERIFY(kde.open(QIODevice::WriteOnly));
    kde.write("[KDE]\nAnimationDurationFactor=0\n");
    kde.close();

    const auto appearance = startedAppearance();
    QVERIFY(appearance);
    QCOMPARE(appearance->colorScheme(), ColorScheme::noPreference);
    QVERIFY(!appearance->animationsEnabled());
    QVERIFY(ScreenRules(*appearance, config.path()).reduceMotion());

    // No bus at all is the same.
    DesktopAppearance unconnected(QDBusConnection(u"nothing"_s));
    unconnected.start();
    QVERIFY(!unconnected.isReading());
    QCOMPARE(unconnected.colorScheme(), ColorScheme::noPreference);
}

void TestDesktopAppearance::paletteForScheme_data()
{
    QTest::addColumn<ColorScheme>("scheme");
    QTest::addColumn<bool>("toolkitDark");
    QTest::addColumn<bool>("dark");
    QTest::addColumn<bool>("toolkitKept");
    QTest::newRow("dark asked, light toolkit") << ColorScheme::dark << false << true << false;
    QTest::newRow("dark asked, dark toolkit") << ColorScheme::dark << true << true << true;
    QTest::newRow("light asked, dark toolkit") << ColorScheme::light << true << false << false;
    QTest::newRow("light asked, light toolkit") << ColorScheme::light << false << false << true;
    QTest::newRow("no preference, dark toolkit") << ColorScheme::noPreference << true << true << true;
    QTest::newRow("no preference, light toolkit") << ColorScheme::noPreference << false << false << true;
}

void TestDesktopAppearance::paletteForScheme()
{
    QFETCH(ColorScheme, scheme);
    QFETCH(bool, toolkitDark);
    QFETCH(bool, dark);
    QFETCH(bool, toolkitKept);
    QPalette toolkit;
    toolkit.setColor(QPalette::Window, toolkitDark ? QColor(0x10, 0x20, 0x30) : QColor(0xfa, 0xf0, 0xe0));
    toolkit.setColor(QPalette::WindowText, toolkitDark ? QColor(0xfa, 0xf0, 0xe0) : QColor(0x10, 0x20, 0x30));
    const QPalette p = quarn::ui::paletteForScheme(scheme, toolkit);
    QCOMPARE(p.color(QPalette::Window).lightnessF() < 0.5, dark);
    QCOMPARE(p.color(QPalette::Window) == toolkit.color(QPalette::Window), toolkitKept);
    // Text stays readable on its background in every palette.
    for (auto [text, back] : { std::pair { QPalette::WindowText, QPalette::Window },
             std::pair { QPalette::Text, QPalette::Base }, std::pair { QPalette::ButtonText, QPalette::Button } }) {
        QVERIFY2(std::abs(p.color(text).lightnessF() - p.color(back).lightnessF()) > 0.5,
            qPrintable(u"role %1 on %2"_s.arg(int(text)).arg(int(back))));
    }
}

void TestDesktopAppearance::screensTakeTheSchemeLive()
{
    m_portal->set(QLatin1StringView(kAppearance), u"color-scheme"_s, uint(2));
    QVERIFY(m_portal->start());
    const auto appearance = startedAppearance();
    QVERIFY(appearance);
    // The offscreen platform's own palette is light.
    const QPalette toolkit = QGuiApplication::palette();
    QVERIFY(toolkit.color(QPalette::Window).lightnessF() >= 0.5);
    quarn::ui::followColorScheme(*appearance);

    // What the screens read their colours from.
    QQmlEngine engine;
    QQmlComponent component(&engine);
    component.setData("import QtQuick\nSystemPalette { colorGroup: SystemPalette.Active }\n", QUrl());
    std::unique_ptr<QObject> palette(component.create());
    QVERIFY2(palette, qPrintable(component.errorString()));
    const auto windowLightness = [&] { return palette->property("window").value<QColor>().lightnessF(); };
    QVERIFY(windowLightness() >= 0.5);

    m_portal->change(QLatin1StringView(kAppearance), u"color-scheme"_s, uint(1));
    QTRY_VERIFY_WITH_TIMEOUT(windowLightness() < 0.5, 10'000);
    m_portal->change(QLatin1StringView(kAppearance), u"color-scheme"_s, uint(0));
    QTRY_VERIFY_WITH_TIMEOUT(windowLightness() >= 0.5, 10'000);
    QCOMPARE(QGuiApplication::palette().color(QPalette::Window), toolkit.color(QPalette::Window));
}

QTEST_MAIN(TestDesktopAppearance)
#include "test_desktopappearance.moc"
