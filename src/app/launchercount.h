#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <QVariantMap>

namespace quarn {

/// Publishes a count on the application's launcher icon through the
/// launcher-entry signal that docks and panels read
/// (com.canonical.Unity.LauncherEntry: Update(app_uri, {count, count-visible})),
/// and answers their Query for the current value, so a dock started later
/// shows it too. A count of zero hides the badge.
///
/// Nothing is sent while the count stays the same, and nothing at all before
/// a first count above zero. Bus failures are dropped: without a session bus
/// the count is simply not shown.
class LauncherCount : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.canonical.Unity.LauncherEntry")

    /// The count shown; 0 shows none.
    Q_PROPERTY(qint64 count READ count WRITE setCount NOTIFY countChanged)

public:
    /// The object path this entry answers at.
    static constexpr auto kObjectPath = "/com/canonical/unity/launcherentry/quarn_mail";

    /// An entry for the desktop file `desktopId` (for example
    /// "quarn-mail.desktop").
    explicit LauncherCount(const QString &desktopId, const QDBusConnection &bus = QDBusConnection::sessionBus(),
        QObject *parent = nullptr);
    ~LauncherCount() override;

    [[nodiscard]] qint64 count() const { return m_count; }
    void setCount(qint64 count);

    /// The application URI the signal names ("application://" + desktop id).
    [[nodiscard]] QString appUri() const { return m_appUri; }

public Q_SLOTS:
    /// What a dock asks on start: the application URI, and the properties of
    /// the last Update.
    QString Query(QVariantMap &properties) const;

Q_SIGNALS:
    void countChanged();

private:
    [[nodiscard]] QVariantMap properties() const;

    QString m_appUri;
    QDBusConnection m_bus;
    qint64 m_count = 0;
    bool m_registered = false;
};

} // namespace quarn
