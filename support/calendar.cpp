#include "support/calendar.h"

#include <chrono>

#include "support/local_clock.h"

namespace {

namespace chr = std::chrono;

bool FieldsAccepted(std::int32_t year, std::int32_t month, std::int32_t day, std::int32_t hour,
                    std::int32_t minute, std::int32_t second)
{
    if (year < 1970 || year > 2038) return false;
    if (month < 1 || month > 12 || day < 1 || day > 31) return false;
    if (year == 2038 && (month > 1 || day > 18)) return false;
    if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59)
        return false;
    // Day 31 of a short month and days past the end of February.
    chr::year_month_day date{chr::year{year}, chr::month{unsigned(month)}, chr::day{unsigned(day)}};
    return date.ok();
}

chr::year_month_day CalendarDay(DateSeconds date)
{
    return chr::year_month_day{chr::sys_days{chr::days{date / SecondsPerDay}}};
}

}  // namespace

DateSeconds DateFromFields(std::int32_t year, std::int32_t month, std::int32_t day,
                           std::int32_t hour, std::int32_t minute, std::int32_t second)
{
    if (!FieldsAccepted(year, month, day, hour, minute, second)) return InvalidDate;
    chr::year_month_day date{chr::year{year}, chr::month{unsigned(month)}, chr::day{unsigned(day)}};
    DateSeconds days = DateSeconds(chr::sys_days{date}.time_since_epoch().count());
    return days * SecondsPerDay + DateSeconds(hour) * 3600 + DateSeconds(minute) * 60 + second;
}

DateSeconds CurrentDate()
{
    ClockReading now = ReadLocalClock();
    return DateFromFields(now.year, now.month, now.day, now.hour, now.minute, now.second);
}

Integer YearOf(DateSeconds date)
{
    return date < 0 ? 0 : Integer(int(CalendarDay(date).year()));
}

Integer MonthOf(DateSeconds date)
{
    return date < 0 ? 0 : Integer(unsigned(CalendarDay(date).month()));
}

Integer DayOf(DateSeconds date)
{
    return date < 0 ? 0 : Integer(unsigned(CalendarDay(date).day()));
}

Integer HourOf(DateSeconds date)
{
    return date < 0 ? 0 : date % SecondsPerDay / 3600;
}

Integer MinuteOf(DateSeconds date)
{
    return date < 0 ? 0 : date % 3600 / 60;
}

Integer SecondOf(DateSeconds date)
{
    return date < 0 ? 0 : date % 60;
}
