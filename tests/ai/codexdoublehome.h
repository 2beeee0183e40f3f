#pragma once

#include <QByteArray>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QMap>
#include <QString>
#include <QTemporaryDir>

#include <optional>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

/// Test helpers around the Codex CLI double (tests/doubles/codexdouble.cpp):
/// a temporary home that steers it and collects what it recorded, and
/// process and descriptor accounting for the leak checks.
namespace quarn::testing {

/// The built double.
inline QString codexDoublePath()
{
    return QStringLiteral(QUARN_CODEX_DOUBLE);
}

/// SHA-256 of a file, computed independently of the code under test.
inline QString fileDigest(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(&file);
    return QString::fromLatin1(hash.result().toHex());
}

/// A temporary folder that is $HOME while it lives (the runner hands HOME to
/// its children, which is how the double finds its control file).
class CodexDoubleHome
{
public:
    CodexDoubleHome()
        : m_previousHome(qgetenv("HOME"))
        , m_hadHome(qEnvironmentVariableIsSet("HOME"))
    {
        qputenv("HOME", QFile::encodeName(m_dir.path()));
        QDir().mkpath(controlFolder());
    }
    ~CodexDoubleHome()
    {
        if (m_hadHome)
            qputenv("HOME", m_previousHome);
        else
            qunsetenv("HOME");
    }
    CodexDoubleHome(const CodexDoubleHome &) = delete;
    CodexDoubleHome &operator=(const CodexDoubleHome &) = delete;

    [[nodiscard]] bool isValid() const { return m_dir.isValid(); }
    [[nodiscard]] QString path() const { return m_dir.path(); }
    [[nodiscard]] QString filePath(const QString &name) const { return m_dir.filePath(name); }
    [[nodiscard]] QString controlFolder() const { return m_dir.filePath(QStringLiteral(".codex-double")); }

    /// Control lines, "key=value" each, for the next runs.
    void setControl(const QString &lines) const { write(QStringLiteral("control"), lines.toUtf8()); }
    /// Bytes the double writes as its result.
    void setAnswer(const QByteArray &bytes) const { write(QStringLiteral("answer"), bytes); }
    /// Lets runs held by "hold=1" answer.
    void release() const { write(QStringLiteral("release"), QByteArray()); }

    /// A file the double recorded for `mode` ("login" or "exec"); nothing
    /// when it did not record it (for example because it never ran).
    [[nodiscard]] std::optional<QByteArray> recorded(const QString &mode, const QString &name) const
    {
        QFile file(controlFolder() + u'/' + mode + u'/' + name);
        if (!file.open(QIODevice::ReadOnly))
            return std::nullopt;
        return file.readAll();
    }

    /// A NUL-separated record (argv, env) as its items.
    [[nodiscard]] QList<QByteArray> recordedList(const QString &mode, const QString &name) const
    {
        QByteArray bytes = recorded(mode, name).value_or(QByteArray());
        if (bytes.endsWith('\0'))
            bytes.chop(1);
        return bytes.isEmpty() ? QList<QByteArray>() : bytes.split('\0');
    }

    [[nodiscard]] pid_t recordedPid(const QString &mode, const QString &name = QStringLiteral("pid")) const
    {
        return static_cast<pid_t>(recorded(mode, name).value_or(QByteArray("0")).toLong());
    }

private:
    void write(const QString &name, const QByteArray &bytes) const
    {
        QFile file(controlFolder() + u'/' + name);
        if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            file.write(bytes);
    }

    QTemporaryDir m_dir;
    QByteArray m_previousHome;
    bool m_hadHome;
};

/// Number of descriptors this process has open. Leak checks compare with
/// "at most as many as before": Qt may close a lazily opened descriptor of its
/// own during a run, which is no leak.
inline int openDescriptorCount()
{
    int count = 0;
    if (DIR *dir = ::opendir("/proc/self/fd")) {
        while (const dirent *entry = ::readdir(dir)) {
            if (entry->d_name[0] != '.')
                ++count;
        }
        ::closedir(dir);
    }
    return count - 1; // the listing's own descriptor
}

/// True while `pid` is a running (not zombie) process.
inline bool isAlive(pid_t pid)
{
    if (pid <= 0)
        return false;
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return false;
    const QByteArray line = stat.readAll();
    const qsizetype close = line.lastIndexOf(')');
    if (close < 0 || close + 2 >= line.size())
        return false;
    const char state = line.at(close + 2);
    return state != 'Z' && state != 'X';
}

/// True while `pid` exists at all, zombie or not (a zombie is unreaped).
inline bool exists(pid_t pid)
{
    return pid > 0 && QFileInfo::exists(QStringLiteral("/proc/%1").arg(pid));
}

/// Children of this process, running or zombie.
inline int childCount()
{
    int count = 0;
    const pid_t self = ::getpid();
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        bool numeric = false;
        entry.toInt(&numeric);
        if (!numeric)
            continue;
        QFile stat(QStringLiteral("/proc/%1/stat").arg(entry));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        const QByteArray line = stat.readAll();
        const qsizetype close = line.lastIndexOf(')');
        if (close < 0)
            continue;
        const QList<QByteArray> fields = line.mid(close + 2).split(' ');
        if (fields.size() > 1 && fields.at(1).toInt() == self)
            ++count;
    }
    return count;
}

} // namespace quarn::testing
