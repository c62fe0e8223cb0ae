#include <gtest/gtest.h>

#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <optional>

#include "station.h"

namespace {

std::int64_t Naive(int year, int month, int day, int hour, int minute, int second)
{
    std::int64_t seconds = 0;
    EXPECT_TRUE(NaiveFromFields({year, month, day, hour, minute, second}, seconds));
    return seconds;
}

std::vector<ReplyMode> Modes(std::string_view list)
{
    std::vector<ReplyMode> modes;
    std::string error;
    EXPECT_TRUE(ParseModes(list, modes, error)) << error;
    return modes;
}

Frame SampleFrame()
{
    return BuildFrame(Naive(2024, 2, 29, 23, 59, 58), Naive(1999, 12, 31, 7, 8, 9));
}

TEST(Modes, ParsesEachItem)
{
    auto m = Modes(
        "normal,silent,delay=300+short=5,prefix=3+trailing=2+field=5:13+field=1:200,"
        "stream=400+delay=0,hangup=4");
    ASSERT_EQ(m.size(), 6u);
    EXPECT_EQ(m[0].text + "|" + m[5].text, "normal|hangup=4");
    EXPECT_TRUE(!m[0].silent && m[0].length == 13 && m[0].delay_ms == -1);
    EXPECT_TRUE(m[1].silent);
    EXPECT_TRUE(m[2].delay_ms == 300 && m[2].length == 5);
    EXPECT_TRUE(m[3].prefix == 3 && m[3].trailing == 2 && m[3].field[5] == 13 &&
                m[3].field[1] == 200);
    EXPECT_EQ(std::count(m[3].field.begin(), m[3].field.end(), std::nullopt), 11);
    EXPECT_TRUE(m[4].stream_ms == 400 && m[4].delay_ms == 0);
    EXPECT_TRUE(m[5].hangup && m[5].length == 4 && !m[2].hangup);
}

TEST(Modes, LastModeServesLaterQueries)
{
    auto modes = Modes("silent,short=2,normal");
    EXPECT_TRUE(ModeForQuery(modes, 1).silent);
    EXPECT_EQ(ModeForQuery(modes, 2).length, 2);
    EXPECT_EQ(&ModeForQuery(modes, 3), &modes[2]);
    EXPECT_EQ(&ModeForQuery(modes, 40), &modes[2]);
}

TEST(Modes, RejectsBadListsNamingTheFaultyMode)
{
    for (const char* list :
         {"",          "normal,",       ",normal",     "normal,,silent",
          "loud",      "normal+silent", "delay",       "delay=",
          "delay=-1",  "delay=5x",      "short=14",    "prefix=3+",
          "field=0:1", "field=13:1",    "field=5:256", "field=5",
          "field=5:",  "silent=1",      "hangup=14",   "ref=2024-01-01 00:00:00"}) {
        std::vector<ReplyMode> modes;
        std::string error;
        EXPECT_FALSE(ParseModes(list, modes, error)) << list;
        EXPECT_FALSE(error.empty()) << list;
    }
    std::vector<ReplyMode> modes;
    std::string error;
    ASSERT_FALSE(ParseModes("normal,delay=10+short=99,silent", modes, error));
    EXPECT_NE(error.find("\"short=99\" in mode \"delay=10+short=99\""), std::string::npos) << error;
}

TEST(Frame, EachModeShapesTheReply)
{
    const Frame frame = SampleFrame();
    ASSERT_EQ(frame, (Frame{91, 23, 59, 58, 29, 2, 24, 7, 8, 9, 31, 12, 99}));
    // Junk bytes run 0x55, 0xAA, 0x00, 0xFF over again.
    const struct {
        const char* mode;
        std::vector<std::uint8_t> bytes;
    } cases[] = {
        {"normal", {91, 23, 59, 58, 29, 2, 24, 7, 8, 9, 31, 12, 99}},
        {"short=5", {91, 23, 59, 58, 29}},
        {"prefix=6+trailing=3", {0x55, 0xAA, 0x00, 0xFF, 0x55, 0xAA, 91, 23, 59,   58,   29,
                                 2,    24,   7,    8,    9,    31,   12, 99, 0x55, 0xAA, 0x00}},
        {"field=5:13+field=1:200+field=12:0", {91, 200, 59, 58, 29, 13, 24, 7, 8, 9, 31, 12, 0}},
        {"prefix=2+hangup=4", {0x55, 0xAA, 91, 23, 59, 58}},
        {"silent", {}}};
    for (const auto& c : cases) EXPECT_EQ(ReplyBytes(Modes(c.mode)[0], frame), c.bytes) << c.mode;

    auto stream = ReplyBytes(Modes("stream=4000")[0], frame);
    EXPECT_EQ(stream.size(), 480u);  // 4 s at 1200 baud
    EXPECT_EQ(std::count(stream.begin(), stream.end(), 91), 0);
}

TEST(Calendar, ReadsReferenceTextAndSetBytes)
{
    std::int64_t seconds;
    ASSERT_TRUE(NaiveFromText("2001-02-03 04:05:06", seconds));
    EXPECT_EQ(seconds, Naive(2001, 2, 3, 4, 5, 6));
    for (const char* bad : {"2001-02-03 04:05:06 ", "2001-2-03 04:05:06", "2001-02-03T04:05:06",
                            "1969-12-31 23:59:59", "2100-01-01 00:00:00", "2001-02-30 04:05:06",
                            "2001-02-03 04:05:+6", "2001-02-03 04:05-06", ""})
        EXPECT_FALSE(NaiveFromText(bad, seconds)) << bad;

    const std::uint8_t last[] = {23, 59, 59, 31, 12, 99};
    ASSERT_TRUE(NaiveFromSetBytes(last, seconds));
    EXPECT_EQ(seconds, Naive(2099, 12, 31, 23, 59, 59));
    const std::uint8_t bad[][6] = {
        {0, 0, 0, 1, 1, 100}, {0, 0, 0, 1, 13, 24}, {0, 0, 0, 30, 2, 24}, {24, 0, 0, 1, 1, 24}};
    for (const auto& bytes : bad) EXPECT_FALSE(NaiveFromSetBytes(bytes, seconds));
}

TEST(Clock, OffsetCrossesMonthAndYearEnds)
{
    const struct {
        std::int64_t offset_ms, local_ms, seconds;
    } cases[] = {{45000, Naive(2023, 12, 31, 23, 59, 30) * 1000 + 400, Naive(2024, 1, 1, 0, 0, 15)},
                 {-20000, Naive(2024, 3, 1, 0, 0, 10) * 1000, Naive(2024, 2, 29, 23, 59, 50)},
                 {-1500, 1000, -1}};  // before 1970 the seconds still round down
    for (const auto& c : cases)
        EXPECT_EQ(StationSeconds({.offset_ms = c.offset_ms}, c.local_ms), c.seconds) << c.local_ms;
}

TEST(Clock, SetMovesTheClockAndTheSecondTimestamp)
{
    StationClock clock{.offset_ms = 7200000};
    std::int64_t set_to = Naive(2024, 12, 31, 23, 59, 59);
    std::int64_t local = Naive(2024, 7, 1, 8, 0, 0) * 1000 + 730;
    SetStationClock(clock, set_to, local);

    EXPECT_EQ(clock.reference, set_to);
    EXPECT_EQ(StationSeconds(clock, local), set_to);
    EXPECT_EQ(StationSeconds(clock, local + 999), set_to);
    Frame frame = BuildFrame(StationSeconds(clock, local + 1500), clock.reference);
    EXPECT_EQ(frame[4] * 10000 + frame[5] * 100 + frame[6], 10125);
    EXPECT_EQ(frame[10] * 10000 + frame[11] * 100 + frame[12], 311224);
}

class DaylightSaving : public testing::Test {
   protected:
    void SetUp() override
    {
        if (const char* tz = getenv("TZ")) saved_ = tz;
        setenv("TZ", "EST5EDT", 1);
        tzset();
    }
    void TearDown() override
    {
        saved_ ? setenv("TZ", saved_->c_str(), 1) : unsetenv("TZ");
        tzset();
    }
    // The local naive time of an instant given in UTC.
    static std::int64_t LocalAt(std::int64_t utc_seconds, long ms)
    {
        return LocalNaiveMs(std::chrono::system_clock::time_point(
            std::chrono::seconds(utc_seconds) + std::chrono::milliseconds(ms)));
    }
    std::optional<std::string> saved_;
};

TEST_F(DaylightSaving, LocalTimeFollowsTheZone)
{
    // Spring forward: 07:00 UTC on 10 March 2024 is 03:00 EDT, a second before
    // it 01:59:59 EST.
    std::int64_t change = Naive(2024, 3, 10, 7, 0, 0);
    EXPECT_EQ(LocalAt(change - 1, 250), Naive(2024, 3, 10, 1, 59, 59) * 1000 + 250);
    EXPECT_EQ(LocalAt(change, 0), Naive(2024, 3, 10, 3, 0, 0) * 1000);
    // Fall back: 01:30 comes twice on 3 November 2024.
    EXPECT_EQ(LocalAt(Naive(2024, 11, 3, 5, 30, 0), 0), Naive(2024, 11, 3, 1, 30, 0) * 1000);
    EXPECT_EQ(LocalAt(Naive(2024, 11, 3, 6, 30, 0), 0), Naive(2024, 11, 3, 1, 30, 0) * 1000);
}

TEST_F(DaylightSaving, OffsetIsNotShiftedByTheChange)
{
    // An hour ahead of 01:30 EST on the change night is 02:30, an hour that
    // local time skips; the station shows it all the same.
    StationClock clock{.offset_ms = 3600000};
    std::int64_t local = LocalAt(Naive(2024, 3, 10, 6, 30, 0), 0);
    Frame frame = BuildFrame(StationSeconds(clock, local), 0);
    EXPECT_EQ(frame[1], 2);
    EXPECT_EQ(frame[2], 30);
    EXPECT_EQ(frame[4], 10);

    SetStationClock(clock, Naive(2024, 3, 10, 2, 15, 0), local);
    EXPECT_EQ(clock.offset_ms, 45 * 60000);
}

TEST(Settings, ShowsSpeedAndFraming)
{
    const struct {
        speed_t code;  // in c_cflag; 010000 is BOTHER, the rate then in termios2
        tcflag_t framing;
        const char* text;
    } cases[] = {
        {B1200, CS8, "1200 8N1"},          {B9600, CS7 | PARENB | PARODD | CSTOPB, "9600 7O2"},
        {B9600, CS7 | PARENB, "9600 7E1"}, {B300, CS6 | CSTOPB, "300 6N2"},
        {B4800, CS5, "4800 5N1"},          {010000, CS8, "2400 8N1"}};
    for (const auto& c : cases) {
        termios settings{};
        settings.c_cflag = c.code | c.framing;
        // The termios2 rate, 2400, stands only with the code BOTHER.
        EXPECT_EQ(SettingsText(settings, 2400), c.text) << c.text;
    }
}

}  // namespace
