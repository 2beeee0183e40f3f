#pragma once

#include "model/enums.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <optional>

namespace quarn {

/// One Todo or event for the desktop's calendar or task app, as iCalendar
/// (RFC 5545): how a conversation reaches a calendar on a desktop where no
/// program handles quarn-orro links.
struct CalendarEntry
{
    OrroActionKind kind = OrroActionKind::task;
    QString title;
    QString notes;
    /// A Todo's due time.
    std::optional<QDateTime> dueAt;
    /// An event's start and end.
    std::optional<QDateTime> startsAt;
    std::optional<QDateTime> endsAt;
    /// The link back to the conversation (URL property).
    QString sourceURL;
    QString uid;
    QDateTime stamp;
};

namespace calendarfile {

/// A VCALENDAR holding one VTODO (task) or VEVENT (event): UID, DTSTAMP,
/// SUMMARY, DESCRIPTION when there are notes, DUE or DTSTART/DTEND in UTC,
/// URL. Text is escaped (backslash, ";", ",", line breaks) and every line
/// folded at 75 octets without splitting a UTF-8 sequence; lines end with
/// CRLF. Empty when a time is invalid or outside years 0–9999.
[[nodiscard]] QByteArray build(const CalendarEntry &entry);

/// Writes `bytes` to a new file in `folder` (created 0700 if missing; an
/// existing one must be the user's own folder and not a link), named after
/// `baseName` with ".ics" (a number added while the name is taken), mode
/// 0600, complete or not at all. Returns the file's path; throws
/// PlatformError with the system's text.
QString writeNew(const QString &folder, const QString &baseName, const QByteArray &bytes);

} // namespace calendarfile

} // namespace quarn
