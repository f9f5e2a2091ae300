// Wall-clock time: the system time (UTC) as Windows' 16-byte date-and-time record,
// and the local time for names made from it.
#pragma once

#include <cstdint>

namespace platform {

// The parts of a date and time, as Windows' SYSTEMTIME holds them.
struct DateTime {
    std::uint16_t nYear;
    std::uint16_t nMonth;      // 1-12
    std::uint16_t nDayOfWeek;  // 0 Sunday
    std::uint16_t nDay;
    std::uint16_t nHour;
    std::uint16_t nMinute;
    std::uint16_t nSecond;
    std::uint16_t nMilliseconds;
};

DateTime SystemTime();  // UTC (GetSystemTime)
DateTime LocalTime();   // GetLocalTime

// The 16-byte record of t: the eight fields in order, each 16-bit little-endian.
void DateTimeRecord(const DateTime& t, unsigned char abRecord[16]);

}  // namespace platform
