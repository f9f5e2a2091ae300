#include <windows.h>

#include "platform/clock.h"

namespace platform {
namespace {

DateTime FromSystemTime(const SYSTEMTIME& st)
{
    DateTime t;
    t.nYear = st.wYear;
    t.nMonth = st.wMonth;
    t.nDayOfWeek = st.wDayOfWeek;
    t.nDay = st.wDay;
    t.nHour = st.wHour;
    t.nMinute = st.wMinute;
    t.nSecond = st.wSecond;
    t.nMilliseconds = st.wMilliseconds;
    return t;
}

}  // namespace

DateTime SystemTime()
{
    SYSTEMTIME st;
    GetSystemTime(&st);
    return FromSystemTime(st);
}

DateTime LocalTime()
{
    SYSTEMTIME st;
    GetLocalTime(&st);
    return FromSystemTime(st);
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
