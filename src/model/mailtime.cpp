#include "model/mailtime.h"

#include <cmath>
#include <stdexcept>

namespace quarn {

qint64 timeFromDate(const QDateTime &date)
{
    return date.toMSecsSinceEpoch();
}

qint64 timeFromSeconds(double secondsSinceEpoch)
{
    const double ms = std::trunc(secondsSinceEpoch * 1000.0);
    // 2^63 is exactly representable; anything at or beyond it would overflow the cast.
    constexpr double limit = 9223372036854775808.0;
    if (!std::isfinite(ms) || ms >= limit || ms < -limit)
        throw std::out_of_range("date outside the range of a 64-bit millisecond time");
    return static_cast<qint64>(ms);
}

QDateTime dateFromTime(qint64 time)
{
    return QDateTime::fromMSecsSinceEpoch(time, Qt::UTC);
}

double secondsFromTime(qint64 time)
{
    return double(time) / 1000.0;
}

} // namespace quarn
