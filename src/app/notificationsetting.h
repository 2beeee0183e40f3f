#pragma once

#include <QObject>

namespace quarn {

/// Whether new needs-you work is announced on the desktop: the switch of the
/// settings window, kept in the application's settings store beside the
/// signature (the key DesktopNotifier reads before every announcement), on
/// unless the user turned it off.
///
/// Every change is stored at once, like the signature: the settings window has
/// no save step.
class NotificationSetting : public QObject
{
    Q_OBJECT

    /// Announcements are on.
    Q_PROPERTY(bool enabled READ isEnabled WRITE setEnabled NOTIFY enabledChanged)

public:
    explicit NotificationSetting(QObject *parent = nullptr);

    [[nodiscard]] bool isEnabled() const { return m_enabled; }
    /// Stores `enabled` at once.
    void setEnabled(bool enabled);

Q_SIGNALS:
    void enabledChanged();

private:
    bool m_enabled;
};

} // namespace quarn
