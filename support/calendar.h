// Calendar time: a count of seconds from 1970-01-01 00:00:00 to a local
// wall-clock date and time, every day 86,400 seconds, no zone and no
// daylight-saving shift. Accepted: 1970-01-01 00:00:00 to 2038-01-18 23:59:59.
#pragma once

#include "support/integer.h"

using DateSeconds = Integer;

constexpr DateSeconds InvalidDate = -1;
constexpr DateSeconds SecondsPerDay = 86400;

DateSeconds DateFromFields(std::int32_t year, std::int32_t month, std::int32_t day,
                           std::int32_t hour, std::int32_t minute, std::int32_t second);

// The computer's local wall-clock time now, cut to the whole second;
// InvalidDate when the clock lies outside the accepted range.
DateSeconds CurrentDate();

// Fields of a count; every one of them is 0 for a negative count.
Integer YearOf(DateSeconds date);
Integer MonthOf(DateSeconds date);
Integer DayOf(DateSeconds date);
Integer HourOf(DateSeconds date);
Integer MinuteOf(DateSeconds date);
Integer SecondOf(DateSeconds date);
