#pragma once

#include <QDateTime>
#include <QtGlobal>

/// The only conversions between wire times (signed 64-bit milliseconds since
/// 1970-01-01 UTC) and dates. A date becomes a time by truncation toward zero,
/// never by rounding.
namespace quarn {

/// The time of `date`. QDateTime holds whole milliseconds, so nothing is lost.
[[nodiscard]] qint64 timeFromDate(const QDateTime &date);

/// The time of a date given as (possibly fractional) seconds since the epoch:
/// seconds × 1000 truncated toward zero. Throws std::out_of_range when the
/// result is not finite or does not fit in 64 bits.
[[nodiscard]] qint64 timeFromSeconds(double secondsSinceEpoch);

/// The date of `time`, in UTC.
[[nodiscard]] QDateTime dateFromTime(qint64 time);

/// The time as seconds since the epoch (time ÷ 1000.0).
[[nodiscard]] double secondsFromTime(qint64 time);

} // namespace quarn
