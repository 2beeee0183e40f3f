#include "app/launchercount.h"

#include <QDBusMessage>

using namespace Qt::StringLiterals;

namespace quarn {

LauncherCount::LauncherCount(const QString &desktopId, const QDBusConnection &bus, QObject *parent)
    : QObject(parent)
    , m_appUri(u"application://"_s + desktopId)
    , m_bus(bus)
{
    if (m_bus.isConnected())
        m_registered = m_bus.registerObject(QLatin1StringView(kObjectPath), this, QDBusConnection::ExportAllSlots);
}

LauncherCount::~LauncherCount()
{
    if (m_registered)
        m_bus.unregisterObject(QLatin1StringView(kObjectPath));
}

void LauncherCount::setCount(qint64 count)
{
    count = std::max<qint64>(count, 0);
    if (count == m_count)
        return;
    m_count = count;
    Q_EMIT countChanged();
    if (!m_bus.isConnected())
        return;
    QDBusMessage update = QDBusMessage::createSignal(
        QLatin1StringView(kObjectPath), u"com.canonical.Unity.LauncherEntry"_s, u"Update"_s);
    update << m_appUri << properties();
    m_bus.send(update);
}

QString LauncherCount::Query(QVariantMap &properties) const
{
    properties = this->properties();
    return m_appUri;
}

QVariantMap LauncherCount::properties() const
{
    return {
        { u"count"_s, m_count },
        { u"count-visible"_s, m_count > 0 },
    };
}

} // namespace quarn
