#pragma once

#include <QDBusConnection>
#include <QHash>
#include <QObject>
#include <QString>

#include <optional>

class QDBusVariant;

namespace quarn::platform {

/// The scheme the desktop asks applications for.
enum class ColorScheme { noPreference, dark, light };

/// The desktop's appearance settings as the XDG Settings portal
/// (org.freedesktop.portal.Settings) publishes them: the colour scheme and
/// whether animations are on. The first answers arrive shortly after start();
/// later changes arrive as the portal announces them. Where the bus or the
/// portal is missing, or the portal does not know a setting, the value stays
/// unknown and the caller keeps its own fallback.
class DesktopAppearance : public QObject
{
    Q_OBJECT

public:
    static constexpr auto kService = "org.freedesktop.portal.Desktop";
    static constexpr auto kPath = "/org/freedesktop/portal/desktop";
    static constexpr auto kInterface = "org.freedesktop.portal.Settings";

    explicit DesktopAppearance(const QDBusConnection &bus, QObject *parent = nullptr);

    /// Asks the portal for the current values and follows its changes from
    /// then on. Once only.
    void start();

    /// noPreference until the portal says otherwise (and where it is missing).
    [[nodiscard]] ColorScheme colorScheme() const { return m_colorScheme; }
    /// GNOME's enable-animations as the portal gives it; nothing when it does not.
    [[nodiscard]] std::optional<bool> animationsEnabled() const { return m_animationsEnabled; }
    /// A first answer is still on its way.
    [[nodiscard]] bool isReading() const { return m_reading > 0; }

    /// The portal's color-scheme value (0 none, 1 dark, 2 light; others none).
    [[nodiscard]] static ColorScheme colorSchemeOf(const QVariant &value);

Q_SIGNALS:
    void colorSchemeChanged();
    void animationsEnabledChanged();

private Q_SLOTS:
    void settingChanged(const QString &nameSpace, const QString &key, const QDBusVariant &value);

private:
    void read(const QString &nameSpace, const QString &key);
    void apply(const QString &nameSpace, const QString &key, const QVariant &value);

    QDBusConnection m_bus;
    bool m_started = false;
    int m_reading = 0;
    ColorScheme m_colorScheme = ColorScheme::noPreference;
    std::optional<bool> m_animationsEnabled;
    /// How many changes the portal announced, per "namespace\nkey".
    QHash<QString, int> m_announcements;
};

/// The process's one reader, on the session bus, started on first use.
DesktopAppearance &desktopAppearance();

} // namespace quarn::platform
