// Day numbers and date arithmetic on local dates written as yyyymmdd.
#pragma once
#include <cstdint>

// Day number (days since 1970-01-01) of a yyyymmdd date. A month outside
// 1..12 carries into the year and a day past the month's end runs on into
// the next months, so every value has a day number.
int32_t XKWDateDay(int32_t date);

// The yyyymmdd date of a day number; day 0 means today.
int32_t XKWDateOfDay(int32_t day);

// Add a delta written as yymmdd to a date (negative: subtract), e.g. -7 is
// seven days back, 100 one month on. The date's year is made whole first
// (XKWTimeYear), months carry into years, then the days are counted on.
// Returns the new yyyymmdd, or -1 when the date's month is not 1..12 or its
// day not 1..31.
int32_t XKWDateAdd(int32_t date, int32_t delta);
