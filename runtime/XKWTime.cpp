// Calendar time on the real-time clock, shown in the local time zone.
//
// Every value that combines seconds with milliseconds comes from a single
// clock reading, so the seconds and the milliseconds always belong to the
// same moment and nothing has to be read twice and compared.
#include "runtime/XKWTime.h"

#include <cstdio>
#include <ctime>

#include "runtime/XKWResult.h"

namespace {

timespec clock_now()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return now;
}

tm local(int64_t t)
{
    time_t s = static_cast<time_t>(t);
    tm out{};
    localtime_r(&s, &out);
    return out;
}

int32_t date_of(const tm& lt)
{
    return (lt.tm_year + 1900) * 10000 + (lt.tm_mon + 1) * 100 + lt.tm_mday;
}

int32_t clock_of(const tm& lt)
{
    return lt.tm_hour * 10000 + lt.tm_min * 100 + lt.tm_sec;
}

int32_t zone_now()
{
    return static_cast<int32_t>(-local(XKWTimeNow()).tm_gmtoff);
}

}  // namespace

int64_t XKWTimeNow()
{
    return static_cast<int64_t>(clock_now().tv_sec);
}

int32_t XKWTimeDate(int64_t t)
{
    return date_of(local(t == 0 ? XKWTimeNow() : t));
}

int32_t XKWTimeClock(int64_t t)
{
    return clock_of(local(t == 0 ? XKWTimeNow() : t));
}

int32_t XKWTimeZone()
{
    static const int32_t zone = zone_now();
    return zone;
}

int32_t XKWTimeOfDayMs()
{
    // Straight from the UTC clock: a zone offset cached before a daylight
    // saving change would put the result off by an hour.
    timespec now = clock_now();
    int64_t ms = static_cast<int64_t>(now.tv_sec % 86400) * 1000 + now.tv_nsec / 1000000;
    return static_cast<int32_t>(((ms % 86400000) + 86400000) % 86400000);
}

int64_t XKWTimeStamp(int32_t* date, int32_t* clock, int32_t* ms)
{
    timespec now = clock_now();
    tm lt = local(static_cast<int64_t>(now.tv_sec));
    int32_t milli = static_cast<int32_t>(now.tv_nsec / 1000000);
    if (date != nullptr)
        *date = date_of(lt);
    if (clock != nullptr)
        *clock = clock_of(lt);
    if (ms != nullptr)
        *ms = milli;
    return static_cast<int64_t>(now.tv_sec) * 1000 + milli;
}

int32_t XKWTimeFormat(int32_t style, int64_t t, char* text, size_t size)
{
    if (text == nullptr || size == 0)
        return XKW_E_INVAL;
    tm lt = local(t);
    int year = lt.tm_year + 1900;
    int yy = year % 100;
    int mon = lt.tm_mon + 1;
    int n;
    switch (style) {
    case 0:
        n = std::snprintf(text, size, "%04d.%02d.%02d %02d:%02d'%02d", year, mon, lt.tm_mday,
                          lt.tm_hour, lt.tm_min, lt.tm_sec);
        break;
    case 1:
        n = std::snprintf(text, size, "%02d.%02d.%02d %02d:%02d'%02d", yy, mon, lt.tm_mday,
                          lt.tm_hour, lt.tm_min, lt.tm_sec);
        break;
    case 2:
        n = std::snprintf(text, size, "%04d.%02d.%02d", year, mon, lt.tm_mday);
        break;
    case 3:
        n = std::snprintf(text, size, "%02d.%02d.%02d", yy, mon, lt.tm_mday);
        break;
    case 4:
        n = std::snprintf(text, size, "%02d:%02d'%02d", lt.tm_hour, lt.tm_min, lt.tm_sec);
        break;
    case 5:
        n = std::snprintf(text, size, "%02d:%02d", lt.tm_hour, lt.tm_min);
        break;
    default:
        text[0] = '\0';
        return 0;
    }
    if (n < 0) {
        text[0] = '\0';
        return 0;
    }
    return static_cast<size_t>(n) < size ? n : static_cast<int32_t>(size - 1);
}

int32_t XKWTimeYear(int32_t year)
{
    if (year < 0)
        return XKWTimeDate(0) / 10000;
    if (year < 70)
        return year + 2000;
    if (year < 100)
        return year + 1900;
    return year;
}
