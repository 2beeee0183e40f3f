#include "app/calendarfile.h"

#include "core/error.h"
#include "platform/filesecurity.h"

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace quarn::calendarfile {

namespace {

std::optional<QByteArray> utcTime(const std::optional<QDateTime> &time)
{
    if (!time || !time->isValid())
        return std::nullopt;
    const QDateTime utc = time->toUTC();
    if (utc.date().year() < 0 || utc.date().year() > 9999)
        return std::nullopt;
    return utc.toString(u"yyyyMMdd'T'HHmmss'Z'"_s).toLatin1();
}

/// TEXT value escaping: a sender's ";" or "," can never end the value or
/// split it into a list, nor a line break start a property of its own.
QByteArray escapedText(const QString &text)
{
    QByteArray out;
    const QByteArray utf8 = text.toUtf8();
    for (qsizetype i = 0; i < utf8.size(); ++i) {
        const char c = utf8.at(i);
        switch (c) {
        case '\\':
            out += "\\\\";
            break;
        case ';':
            out += "\\;";
            break;
        case ',':
            out += "\\,";
            break;
        case '\r':
            if (i + 1 < utf8.size() && utf8.at(i + 1) == '\n')
                ++i;
            out += "\\n";
            break;
        case '\n':
            out += "\\n";
            break;
        default:
            // Other control characters are not allowed in TEXT.
            if (static_cast<unsigned char>(c) < 0x20 && c != '\t')
                out += ' ';
            else
                out += c;
        }
    }
    return out;
}

/// A content line folded at 75 octets, never inside a UTF-8 sequence.
QByteArray folded(const QByteArray &line)
{
    constexpr qsizetype kLimit = 75;
    QByteArray out;
    qsizetype start = 0;
    qsizetype limit = kLimit;
    while (line.size() - start > limit) {
        qsizetype end = start + limit;
        // Back up to the start of a UTF-8 sequence.
        while (end > start && (static_cast<unsigned char>(line.at(end)) & 0xC0) == 0x80)
            --end;
        out += line.mid(start, end - start) + "\r\n ";
        start = end;
        limit = kLimit - 1; // the continuation's leading blank counts
    }
    out += line.mid(start) + "\r\n";
    return out;
}

} // namespace

QByteArray build(const CalendarEntry &entry)
{
    const auto stamp = utcTime(entry.stamp);
    if (!stamp)
        return {};
    const bool isEvent = entry.kind == OrroActionKind::event;
    const char *component = isEvent ? "VEVENT" : "VTODO";
    QByteArray out;
    const auto line = [&out](const QByteArray &text) { out += folded(text); };
    line("BEGIN:VCALENDAR");
    line("VERSION:2.0");
    line("PRODID:-//Quarn//Quarn Mail//JA");
    line(QByteArray("BEGIN:") + component);
    line("UID:" + escapedText(entry.uid));
    line("DTSTAMP:" + *stamp);
    line("SUMMARY:" + escapedText(entry.title));
    if (!entry.notes.isEmpty())
        line("DESCRIPTION:" + escapedText(entry.notes));
    const std::pair<const char *, const std::optional<QDateTime> *> times[]
        = { { "DUE", &entry.dueAt }, { "DTSTART", &entry.startsAt }, { "DTEND", &entry.endsAt } };
    for (const auto &[name, time] : times) {
        if (!*time)
            continue;
        const auto value = utcTime(*time);
        if (!value)
            return {};
        line(QByteArray(name) + ':' + *value);
    }
    line("URL:" + entry.sourceURL.toUtf8());
    line(QByteArray("END:") + component);
    line("END:VCALENDAR");
    return out;
}

QString writeNew(const QString &folder, const QString &baseName, const QByteArray &bytes)
{
    if (const int error = platform::createDirectories(folder, 0700); error != 0)
        throw PlatformError::fromErrno(error);
    const platform::FileDescriptor directory = platform::openDirectoryNoFollow(folder);
    if (!directory.isValid())
        throw PlatformError::fromErrno(directory.error());
    const auto status = platform::descriptorStatus(directory.get());
    if (!status || status->owner != platform::realUserId())
        throw PlatformError::fromErrno(EPERM);

    for (int attempt = 1; attempt <= 100; ++attempt) {
        const QString name = attempt == 1 ? baseName + u".ics"_s : u"%1 (%2).ics"_s.arg(baseName).arg(attempt);
        platform::FileDescriptor file = platform::openNoFollowAt(directory, name, O_WRONLY | O_CREAT | O_EXCL, 0600);
        if (!file.isValid()) {
            if (file.error() == EEXIST)
                continue;
            throw PlatformError::fromErrno(file.error());
        }
        int error = ::fchmod(file.get(), 0600) == 0 ? 0 : errno;
        qsizetype written = 0;
        while (error == 0 && written < bytes.size()) {
            const ssize_t n = ::write(file.get(), bytes.constData() + written, size_t(bytes.size() - written));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                error = n < 0 ? errno : EIO;
            else
                written += n;
        }
        if (error == 0 && ::fsync(file.get()) != 0)
            error = errno;
        if (const int closed = file.close(); error == 0)
            error = closed;
        if (error != 0) {
            // No half-written file is left for a calendar to import.
            (void)::unlinkat(directory.get(), platform::nativePath(name).constData(), 0);
            throw PlatformError::fromErrno(error);
        }
        return folder + u'/' + name;
    }
    throw PlatformError::fromErrno(EEXIST);
}

} // namespace quarn::calendarfile
