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
    /// Why the last change could not be stored (Japanese), or empty: the
    /// change holds for this session only until a later one is stored.
    Q_PROPERTY(QString saveError READ saveError NOTIFY saveErrorChanged)

public:
    explicit NotificationSetting(QObject *parent = nullptr);

    [[nodiscard]] bool isEnabled() const { return m_enabled; }
    /// Stores `enabled` at once.
    void setEnabled(bool enabled);

    [[nodiscard]] const QString &saveError() const { return m_saveError; }

Q_SIGNALS:
    void saveErrorChanged();
    void enabledChanged();

private:
    QString m_saveError;
    bool m_enabled;
};

} // namespace quarn
