#include "platform/clock.h"

#include <time.h>

namespace platform {
namespace {

DateTime FromTimespec(const timespec& ts, bool bLocal)
{
    tm parts;
    if (bLocal)
        localtime_r(&ts.tv_sec, &parts);
    else
        gmtime_r(&ts.tv_sec, &parts);
    DateTime t;
    t.nYear = static_cast<std::uint16_t>(parts.tm_year + 1900);
    t.nMonth = static_cast<std::uint16_t>(parts.tm_mon + 1);
    t.nDayOfWeek = static_cast<std::uint16_t>(parts.tm_wday);
    t.nDay = static_cast<std::uint16_t>(parts.tm_mday);
    t.nHour = static_cast<std::uint16_t>(parts.tm_hour);
    t.nMinute = static_cast<std::uint16_t>(parts.tm_min);
    t.nSecond = static_cast<std::uint16_t>(parts.tm_sec);
    t.nMilliseconds = static_cast<std::uint16_t>(ts.tv_nsec / 1000000);
    return t;
}

timespec Now()
{
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return ts;
}

}  // namespace

DateTime SystemTime()
{
    return FromTimespec(Now(), false);
}

DateTime LocalTime()
{
    return FromTimespec(Now(), true);
}

void DateTimeRecord(const DateTime& t, unsigned char abRecord[16])
{
    const std::uint16_t anFields[8] = {t.nYear, t.nMonth,  t.nDayOfWeek, t.nDay,
                                       t.nHour, t.nMinute, t.nSecond,    t.nMilliseconds};
    for (int i = 0; i < 8; ++i) {
        abRecord[2 * i] = static_cast<unsigned char>(anFields[i] & 0xFF);
        abRecord[2 * i + 1] = static_cast<unsigned char>(anFields[i] >> 8);
    }
}

}  // namespace platform
