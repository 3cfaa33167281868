// Calendar time: the clock in seconds and milliseconds, local dates
// (yyyymmdd) and clock times (hhmmss), the zone offset, and time texts.
#pragma once
#include <cstddef>
#include <cstdint>

// Seconds since 1970-01-01 00:00 UTC.
int64_t XKWTimeNow();

// Local date as yyyymmdd of `t` (seconds since the epoch; 0 = now).
int32_t XKWTimeDate(int64_t t);

// Local clock time as hhmmss of `t` (seconds since the epoch; 0 = now).
int32_t XKWTimeClock(int64_t t);

// UTC minus local time in seconds (negative east of Greenwich), taken once
// from the current time and kept for the life of the process.
int32_t XKWTimeZone();

// Milliseconds since midnight UTC, 0..86399999.
int32_t XKWTimeOfDayMs();

// The current time as local date (yyyymmdd), local clock (hhmmss) and
// milliseconds (0..999), all from one reading; any pointer may be null.
// Returns the same moment in milliseconds since the epoch.
int64_t XKWTimeStamp(int32_t* date, int32_t* clock, int32_t* ms);

// Write `t` (seconds since the epoch, shown in local time) into text[size]:
// style 0 "yyyy.mm.dd hh:mm'ss", 1 "yy.mm.dd hh:mm'ss", 2 "yyyy.mm.dd",
// 3 "yy.mm.dd", 4 "hh:mm'ss", 5 "hh:mm"; any other style gives "". The text
// is cut to fit and always terminated. Returns its length, -22 when there
// is no room at all.
int32_t XKWTimeFormat(int32_t style, int64_t t, char* text, size_t size);

// A year made whole: below 0 the current year, below 70 plus 2000, below
// 100 plus 1900, otherwise unchanged.
int32_t XKWTimeYear(int32_t year);
