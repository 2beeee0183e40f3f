#include "platform/desktopappearance.h"

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusVariant>

using namespace Qt::StringLiterals;

namespace quarn::platform {

namespace {

constexpr auto kAppearance = "org.freedesktop.appearance";
constexpr auto kColorScheme = "color-scheme";
constexpr auto kGnomeInterface = "org.gnome.desktop.interface";
constexpr auto kEnableAnimations = "enable-animations";

/// The value inside however many variants wrap it: Read (version 1 of the
/// interface) answers a variant holding a variant, ReadOne and the signal one.
QVariant unwrapped(QVariant value)
{
    // Bounded: a value cannot nest deeper than the bus's own limit anyway.
    for (int depth = 0; depth < 8 && value.canConvert<QDBusVariant>(); ++depth)
        value = qvariant_cast<QDBusVariant>(value).variant();
    return value;
}

} // namespace

DesktopAppearance::DesktopAppearance(const QDBusConnection &bus, QObject *parent)
    : QObject(parent)
    , m_bus(bus)
{ }

ColorScheme DesktopAppearance::colorSchemeOf(const QVariant &value)
{
    // The portal sends a uint32; a value of any other type says nothing.
    if (value.typeId() != QMetaType::UInt && value.typeId() != QMetaType::Int)
        return ColorScheme::noPreference;
    switch (value.toInt()) {
    case 1:
        return ColorScheme::dark;
    case 2:
        return ColorScheme::light;
    default:
        return ColorScheme::noPreference;
    }
}

void DesktopAppearance::start()
{
    if (m_started || !m_bus.isConnected())
        return;
    m_started = true;
    // Subscribed before asking, so that a change made between the answer and
    // the subscription is not missed.
    m_bus.connect(QLatin1StringView(kService), QLatin1StringView(kPath), QLatin1StringView(kInterface),
        u"SettingChanged"_s, this, SLOT(settingChanged(QString, QString, QDBusVariant)));
    read(QLatin1StringView(kAppearance), QLatin1StringView(kColorScheme));
    read(QLatin1StringView(kGnomeInterface), QLatin1StringView(kEnableAnimations));
}

void DesktopAppearance::read(const QString &nameSpace, const QString &key)
{
    QDBusMessage ask = QDBusMessage::createMethodCall(
        QLatin1StringView(kService), QLatin1StringView(kPath), QLatin1StringView(kInterface), u"Read"_s);
    ask << nameSpace << key;
    // A portal that hangs must not leave the fallback waiting forever.
    auto *watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(ask, 5000), this);
    ++m_reading;
    const QString setting = nameSpace + u'\n' + key;
    const int asked = m_announcements.value(setting);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
        [this, nameSpace, key, setting, asked](QDBusPendingCallWatcher *call) {
            call->deleteLater();
            --m_reading;
            const QDBusPendingReply<QDBusVariant> reply = *call;
            // A missing portal or setting leaves the fallback; a change the
            // portal announced after this question was asked is newer than
            // the answer.
            if (reply.isError() || m_announcements.value(setting) != asked)
                return;
            apply(nameSpace, key, reply.value().variant());
        });
}

void DesktopAppearance::settingChanged(const QString &nameSpace, const QString &key, const QDBusVariant &value)
{
    ++m_announcements[nameSpace + u'\n' + key];
    apply(nameSpace, key, value.variant());
}

void DesktopAppearance::apply(const QString &nameSpace, const QString &key, const QVariant &value)
{
    const QVariant plain = unwrapped(value);
    if (nameSpace == QLatin1StringView(kAppearance) && key == QLatin1StringView(kColorScheme)) {
        const ColorScheme scheme = colorSchemeOf(plain);
        if (scheme != m_colorScheme) {
            m_colorScheme = scheme;
            Q_EMIT colorSchemeChanged();
        }
    } else if (nameSpace == QLatin1StringView(kGnomeInterface) && key == QLatin1StringView(kEnableAnimations)) {
        if (plain.typeId() != QMetaType::Bool)
            return;
        const bool enabled = plain.toBool();
        if (m_animationsEnabled != enabled) {
            m_animationsEnabled = enabled;
            Q_EMIT animationsEnabledChanged();
        }
    }
}

DesktopAppearance &desktopAppearance()
{
    static DesktopAppearance *const instance = [] {
        auto *appearance = new DesktopAppearance(QDBusConnection::sessionBus(), QCoreApplication::instance());
        appearance->start();
        return appearance;
    }();
    return *instance;
}

} // namespace quarn::platform
