#include "app/notificationsetting.h"

#include "app/desktopnotifier.h"

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
    Q_EMIT enabledChanged();
}

} // namespace quarn
