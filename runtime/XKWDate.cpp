// Day numbers and date arithmetic on local dates written as yyyymmdd.
//
// Day numbers are counted with the proleptic Gregorian calendar directly
// instead of a round trip through local broken-down time: a date has the
// same day number whatever the time zone, and a day without a midnight or
// with 23 or 25 hours at a daylight-saving change cannot shift the result.
#include "runtime/XKWDate.h"

#include "runtime/XKWTime.h"

namespace {

struct civil {
    int64_t year;
    int64_t month;  // 1..12
    int64_t day;    // 1..31
};

int64_t floor_div(int64_t a, int64_t b)
{
    int64_t q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

// Days since 1970-01-01 of the first day of a month (any month value).
int64_t days_of_month(int64_t year, int64_t month)
{
    int64_t carry = floor_div(month - 1, 12);
    year += carry;
    month -= carry * 12;
    // Count years from March so that the leap day ends the year.
    int64_t y = month <= 2 ? year - 1 : year;
    int64_t era = floor_div(y, 400);
    int64_t yoe = y - era * 400;
    int64_t doy = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5;
    int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

civil civil_of_day(int64_t z)
{
    z += 719468;
    int64_t era = floor_div(z, 146097);
    int64_t doe = z - era * 146097;
    int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    int64_t mp = (5 * doy + 2) / 153;
    int64_t day = doy - (153 * mp + 2) / 5 + 1;
    int64_t month = mp < 10 ? mp + 3 : mp - 9;
    return {yoe + era * 400 + (month <= 2 ? 1 : 0), month, day};
}

int64_t day_number(int64_t year, int64_t month, int64_t day)
{
    return days_of_month(year, month) + day - 1;
}

int32_t date_of_day(int64_t day)
{
    civil c = civil_of_day(day);
    return static_cast<int32_t>(c.year * 10000 + c.month * 100 + c.day);
}

}  // namespace

int32_t XKWDateDay(int32_t date)
{
    return static_cast<int32_t>(day_number(date / 10000, date / 100 % 100, date % 100));
}

int32_t XKWDateOfDay(int32_t day)
{
    return day == 0 ? XKWTimeDate(0) : date_of_day(day);
}

int32_t XKWDateAdd(int32_t date, int32_t delta)
{
    int64_t month = date / 100 % 100;
    int64_t day = date % 100;
    if (month < 1 || month > 12 || day < 1 || day > 31)
        return -1;
    int64_t year = XKWTimeYear(date / 10000);
    int64_t sign = delta < 0 ? -1 : 1;
    int64_t size = sign * static_cast<int64_t>(delta);
    year += sign * (size / 10000);
    month += sign * (size / 100 % 100);
    // Through the day number even when no days are added, so that the
    // 31st of a 30-day month comes out as a real date.
    return date_of_day(day_number(year, month, day) + sign * (size % 100));
}
