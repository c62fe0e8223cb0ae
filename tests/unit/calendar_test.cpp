#include "support/calendar.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <optional>
#include <string>

#include "tests/unit/fakes/fakes.h"

namespace {

using Fields = std::array<std::int32_t, 6>;  // year, month, day, hour, minute, second

DateSeconds FromFields(const Fields& f)
{
    return DateFromFields(f[0], f[1], f[2], f[3], f[4], f[5]);
}

std::array<Integer, 6> FieldsOf(DateSeconds date)
{
    return {YearOf(date), MonthOf(date), DayOf(date), HourOf(date), MinuteOf(date), SecondOf(date)};
}

std::array<Integer, 6> Widened(const Fields& f)
{
    return {f[0], f[1], f[2], f[3], f[4], f[5]};
}

const std::array<Integer, 6> NoFields{0, 0, 0, 0, 0, 0};

int MonthLength(int year, int month)
{
    bool leap = year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
    if (month == 2) return leap ? 29 : 28;
    return month == 4 || month == 6 || month == 9 || month == 11 ? 30 : 31;
}

TEST(Calendar, CountsSecondsFromTheEpoch)
{
    struct Case {
        Fields fields;
        std::int64_t seconds;
    };
    const Case cases[] = {
        {{1970, 1, 1, 0, 0, 0}, 0},
        {{1970, 1, 1, 23, 59, 59}, 86399},
        {{1970, 1, 2, 0, 0, 0}, 86400},
        {{2000, 2, 29, 0, 0, 0}, 951782400},
        {{2012, 2, 29, 23, 59, 59}, 1330559999},
        {{2013, 7, 1, 12, 0, 0}, 1372680000},
        {{2038, 1, 18, 23, 59, 59}, 2147471999},
    };
    for (const Case& c : cases) {
        DateSeconds date = FromFields(c.fields);
        EXPECT_EQ(std::int64_t(date), c.seconds) << c.fields[0] << "-" << c.fields[1];
        EXPECT_EQ(FieldsOf(date), Widened(c.fields));
    }
}

TEST(Calendar, RejectsFieldsOutsideTheCalendarWithoutNormalising)
{
    constexpr std::int32_t Low = std::numeric_limits<std::int32_t>::min();
    constexpr std::int32_t High = std::numeric_limits<std::int32_t>::max();
    // clang-format off
    const Fields rejected[] = {
        // Outside the accepted span.
        {1969, 12, 31, 23, 59, 59}, {2038, 1, 19, 0, 0, 0}, {2038, 2, 1, 0, 0, 0},
        {2038, 12, 18, 0, 0, 0}, {2039, 1, 1, 0, 0, 0}, {Low, 1, 1, 0, 0, 0},
        {High, 1, 1, 0, 0, 0},
        // Days past the end of their month.
        {2013, 4, 31, 0, 0, 0}, {2013, 6, 31, 0, 0, 0}, {2013, 9, 31, 0, 0, 0},
        {2013, 11, 31, 0, 0, 0}, {2012, 2, 30, 0, 0, 0}, {2012, 2, 31, 0, 0, 0},
        {2013, 2, 29, 0, 0, 0}, {1970, 2, 29, 12, 0, 0}, {2037, 2, 29, 0, 0, 0},
        {2013, 1, 32, 0, 0, 0},
        // Each field out of its range on either side.
        {2013, 0, 1, 0, 0, 0}, {2013, 13, 1, 0, 0, 0}, {2013, -1, 1, 0, 0, 0},
        {2013, 1, 0, 0, 0, 0}, {2013, 1, -1, 0, 0, 0}, {2013, 1, Low, 0, 0, 0},
        {2013, 1, 1, 24, 0, 0}, {2013, 1, 1, -1, 0, 0}, {2013, 1, 1, Low, 0, 0},
        {2013, 1, 1, 0, 60, 0}, {2013, 1, 1, 0, -1, 0}, {2013, 1, 1, 0, High, 0},
        {2013, 1, 1, 0, 0, 60}, {2013, 1, 1, 0, 0, -1}, {2013, 1, 1, 0, 0, Low},
        {2013, High, High, High, High, High},
    };
    // clang-format on
    for (const Fields& f : rejected)
        EXPECT_EQ(FromFields(f), InvalidDate)
            << f[0] << "-" << f[1] << "-" << f[2] << " " << f[3] << ":" << f[4] << ":" << f[5];
}

TEST(Calendar, NegativeCountsHaveNoFields)
{
    for (DateSeconds date : {DateSeconds(-1), DateSeconds(-59), DateSeconds(-86400),
                             DateSeconds(-90000), std::numeric_limits<DateSeconds>::min()})
        EXPECT_EQ(FieldsOf(date), NoFields) << date;
}

TEST(Calendar, IgnoresTheTimeZone)
{
    std::optional<std::string> previous;
    if (const char* saved = std::getenv("TZ")) previous = saved;

    fake::Reset();
    fake::state.localClock = {2013, 7, 1, 12, 0, 0};
    for (const char* zone : {"EST5EDT", "UTC", "Asia/Kolkata"}) {
        setenv("TZ", zone, 1);
        tzset();
        EXPECT_EQ(std::int64_t(DateFromFields(2013, 7, 1, 12, 0, 0)), 1372680000) << zone;
        EXPECT_EQ(std::int64_t(CurrentDate()), 1372680000) << zone;
        EXPECT_EQ(HourOf(1372680000), 12) << zone;
        EXPECT_EQ(DayOf(1372680000), 1) << zone;
    }

    if (previous)
        setenv("TZ", previous->c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

TEST(Calendar, CurrentDateReadsTheLocalClock)
{
    fake::Reset();
    fake::state.localClock = {2038, 1, 18, 23, 59, 59};
    EXPECT_EQ(std::int64_t(CurrentDate()), 2147471999);
    fake::state.localClock = {1970, 1, 1, 0, 0, 0};
    EXPECT_EQ(CurrentDate(), 0);

    for (ClockReading clock :
         {ClockReading{2039, 3, 4, 5, 6, 7}, ClockReading{2013, 2, 29, 0, 0, 0},
          ClockReading{2013, 7, 1, 24, 0, 0}}) {
        fake::state.localClock = clock;
        DateSeconds now = CurrentDate();
        EXPECT_EQ(now, InvalidDate) << clock.year;
        EXPECT_EQ(FieldsOf(now), NoFields);
    }
}

// Walks every day of the accepted span with a running day count and checks
// the conversion both ways at a few times of each day.
TEST(Calendar, EveryAcceptedDayRoundTrips)
{
    std::int64_t dayNumber = 0;
    for (std::int32_t year = 1970; year <= 2038; ++year) {
        for (std::int32_t month = 1; month <= 12; ++month) {
            int length = MonthLength(year, month);
            if (length < 31) {
                ASSERT_EQ(DateFromFields(year, month, length + 1, 0, 0, 0), InvalidDate);
            }
            for (std::int32_t day = 1; day <= length; ++day, ++dayNumber) {
                if (year == 2038 && (month > 1 || day > 18)) {
                    ASSERT_EQ(DateFromFields(year, month, day, 0, 0, 0), InvalidDate);
                    continue;
                }
                std::int32_t spread = std::int32_t((dayNumber * 7919 + 12345) % 86400);
                for (std::int32_t time : {0, 86399, spread}) {
                    Fields f{year, month, day, time / 3600, time / 60 % 60, time % 60};
                    DateSeconds date = FromFields(f);
                    ASSERT_EQ(std::int64_t(date), dayNumber * 86400 + time)
                        << year << "-" << month << "-" << day << " +" << time;
                    ASSERT_EQ(FieldsOf(date), Widened(f));
                }
            }
        }
    }
    EXPECT_EQ(dayNumber, 69 * 365 + 17);  // 1970 to 2038, 17 of them leap years
}

}  // namespace
