#include "app/notificationsetting.h"

#include "app/desktopnotifier.h"

#include "app/settingsstatus.h"

#include <QSettings>

namespace quarn {

namespace {

QString key()
{
    return QLatin1StringView(DesktopNotifier::kEnabledKey);
}

} // namespace

NotificationSetting::NotificationSetting(QObject *parent)
    : QObject(parent)
    , m_enabled(QSettings().value(key(), true).toBool())
{ }

void NotificationSetting::setEnabled(bool enabled)
{
    if (enabled == m_enabled)
        return;
    m_enabled = enabled;
    QSettings settings;
    settings.setValue(key(), enabled);
    settings.sync();
    // A store that cannot be written (a full disk, a settings file made
    // read-only) is said, not passed over as if the change were kept.
    const QString error = settingsSaveError(settings);
    if (error != m_saveError) {
        m_saveError = error;
        Q_EMIT saveErrorChanged();
    }
    Q_EMIT enabledChanged();
}

} // namespace quarn
