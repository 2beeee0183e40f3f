#include "platform/paths.h"

#include <QDir>

#include <pwd.h>
#include <unistd.h>

namespace quarn::platform {

QString homeDirectory()
{
    const QByteArray home = qgetenv("HOME");
    if (!home.isEmpty())
        return QString::fromLocal8Bit(home);
    if (const passwd *pw = ::getpwuid(::getuid()); pw && pw->pw_dir)
        return QString::fromLocal8Bit(pw->pw_dir);
    return QDir::homePath();
}

QString applicationSupportDirectory()
{
    const QString xdg = QString::fromLocal8Bit(qgetenv("XDG_DATA_HOME"));
    const QString base
        = (!xdg.isEmpty() && QDir::isAbsolutePath(xdg)) ? xdg : homeDirectory() + QStringLiteral("/.local/share");
    return base + QStringLiteral("/Quarn Mail");
}

} // namespace quarn::platform
