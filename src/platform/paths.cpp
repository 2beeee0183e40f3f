#include "platform/paths.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstdlib>
#include <memory>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quarn::platform {

namespace {

/// The variable's value when it is an absolute path, else nothing.
QString absoluteFromEnvironment(const char *name)
{
    const QString value = qEnvironmentVariable(name);
    return (!value.isEmpty() && QDir::isAbsolutePath(value)) ? QDir::cleanPath(value) : QString();
}

bool isExistingDirectory(const QString &path)
{
    struct stat st
    {
    };
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 && S_ISDIR(st.st_mode);
}

} // namespace

QString homeDirectory()
{
    const QByteArray home = qgetenv("HOME");
    if (!home.isEmpty())
        return QString::fromLocal8Bit(home);
    if (const passwd *pw = ::getpwuid(::getuid()); pw && pw->pw_dir)
        return QString::fromLocal8Bit(pw->pw_dir);
    return QDir::homePath();
}

QString realPathOfExistingPart(const QString &path)
{
    if (path.isEmpty() || !QDir::isAbsolutePath(path))
        return {};
    QString existing = QDir::cleanPath(path);
    QString rest;
    for (;;) {
        std::unique_ptr<char, decltype(&std::free)> resolved(
            ::realpath(QFile::encodeName(existing).constData(), nullptr), &std::free);
        if (resolved) {
            const QString real = QFile::decodeName(resolved.get());
            if (rest.isEmpty())
                return real;
            return real.endsWith(u'/') ? real + rest : real + u'/' + rest;
        }
        // Only a missing part is appended as written; any other failure (a
        // loop of links, a part that is not a folder) leaves the path as it
        // is, and whoever uses it meets the same failure with its own error.
        if (errno != ENOENT || existing == QLatin1String("/"))
            return QDir::cleanPath(path);
        const qsizetype slash = existing.lastIndexOf(u'/');
        const QString last = existing.mid(slash + 1);
        rest = rest.isEmpty() ? last : last + u'/' + rest;
        existing = slash == 0 ? QStringLiteral("/") : existing.left(slash);
    }
}

QString applicationSupportDirectory()
{
    QString base = absoluteFromEnvironment("XDG_DATA_HOME");
    if (base.isEmpty())
        base = homeDirectory() + QStringLiteral("/.local/share");
    // A linked ~/.local/share (or data home) is common; resolving it here,
    // before anything is formed inside it, keeps every path below free of
    // links, which is what the staged copy's trust check demands.
    const QString real = realPathOfExistingPart(base);
    return (real.isEmpty() ? base : real) + QStringLiteral("/Quarn Mail");
}

QString privateRuntimeDirectory()
{
    const QString candidate = absoluteFromEnvironment("XDG_RUNTIME_DIR");
    if (candidate.isEmpty())
        return {};
    struct stat st
    {
    };
    if (::lstat(QFile::encodeName(candidate).constData(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid()
        || (st.st_mode & 07777) != 0700)
        return {};
    return candidate;
}

QString temporaryDirectory()
{
    if (QString runtime = privateRuntimeDirectory(); !runtime.isEmpty())
        return runtime;
    const QString candidate = absoluteFromEnvironment("TMPDIR");
    if (!candidate.isEmpty() && isExistingDirectory(candidate))
        return candidate;
    return QStringLiteral("/tmp");
}

} // namespace quarn::platform
