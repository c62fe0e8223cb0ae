// The clock query exchange against a scripted station: the bytes on the
// line, the exact label texts, and every way a query gives up.
#include <gtest/gtest.h>

#include "app/window.h"
#include "link/serial.h"
#include "station/clock_query.h"
#include "tests/unit/fakes/fakes.h"

namespace {

using fake::state;
using Bytes = std::vector<std::uint8_t>;

const std::string Elapsed = "\xCF\xF0\xEE\xF8\xEB\xEE ";  // "Прошло "
const std::string Days = " \xE4\xED\xE5\xE9 (";           // " дней ("
const std::string Seconds = "\xF1.)";                      // "с.)"
// How far past a limit a query may end: its last 1 ms poll and clock reading.
constexpr std::uint64_t Tick = 2;
// The fake clock's reading for "ms before the 32-bit millisecond count wraps
// for the nth time".
constexpr std::uint64_t BeforeWrap(int nth, std::uint64_t ms)
{
    return (std::uint64_t(nth) << 32) - ms;
}

class ClockQuery : public ::testing::Test {
protected:
    void SetUp() override
    {
        fake::Reset();
        state.devices["COM4"] = true;
        ASSERT_NE(OpenPort(StationPort, "COM4", 1200, 0, 8, 1.0, 0, 256, 256), 0);
        SetControlText(StationTimeLabel, "old time");
        SetControlText(ElapsedLabel, "old elapsed");
        state.textChanges.clear();
    }
    // The station answers every query with this frame after a start byte.
    static void StationAnswers(Bytes data, Bytes before = {}, Bytes after = {})
    {
        Bytes reply = before;
        reply.push_back(91);
        reply.insert(reply.end(), data.begin(), data.end());
        reply.insert(reply.end(), after.begin(), after.end());
        state.stationReply = reply;
    }
    static std::uint64_t CommandSentAt()
    {
        return state.written.empty() ? 0 : state.written.back().atMs;
    }
    // When the third byte of the station's reply to the last command arrived.
    static std::uint64_t ThirdByteAt()
    {
        return CommandSentAt() + state.replyDelayMs + 2 * state.replyByteMs;
    }
    // The labels keep their texts; the query ended minMs to maxMs after fromMs.
    static void ExpectGaveUp(std::uint64_t fromMs, std::uint64_t minMs, std::uint64_t maxMs)
    {
        EXPECT_EQ(GetControlText(StationTimeLabel), "old time");
        EXPECT_EQ(GetControlText(ElapsedLabel), "old elapsed");
        EXPECT_TRUE(state.textChanges.empty());
        EXPECT_GE(state.nowMs - fromMs, minMs);
        EXPECT_LE(state.nowMs - fromMs, maxMs);
        EXPECT_EQ(state.blockingReads, 0);
    }
};

TEST_F(ClockQuery, ShowsStationTimeDeltaAndElapsedExactly)
{
    // PC time (the clock less 2 s) is 2013-11-03 14:05:51: 42 s ahead of the
    // station and 200000 s after the second timestamp.
    state.localClock = {2013, 11, 3, 14, 5, 53};
    StationAnswers({14, 5, 9, 3, 11, 13, 6, 32, 31, 1, 11, 13});
    RunClockQuery();
    EXPECT_EQ(fake::WrittenBytes(), Bytes{100});
    EXPECT_EQ(GetControlText(StationTimeLabel), "14:5:9   Delta 42c. 3/11/2013");
    EXPECT_EQ(GetControlText(ElapsedLabel), Elapsed + "2" + Days + "200000" + Seconds);
    EXPECT_EQ(state.clockReadings, 1);
    EXPECT_EQ(state.blockingReads, 0);
    // Both labels are set, the station time first.
    ASSERT_EQ(state.textChanges.size(), 2u);
    EXPECT_EQ(state.textChanges[0].first, StationTimeLabel);
}

TEST_F(ClockQuery, NumbersHaveNoLeadingZerosAndBytesAreSigned)
{
    state.localClock = {2007, 1, 5, 9, 5, 5};
    StationAnswers({9, 5, 3, 5, 1, 7, 200, 0x7F, 0x80, 0xFF, 1, 7});
    RunClockQuery();
    // Station 2 s behind the clock: Delta 0.
    EXPECT_EQ(GetControlText(StationTimeLabel), "9:5:3   Delta 0c. 5/1/207");
    // The second timestamp is invalid: elapsed is PC time + 1.
    std::int64_t pc = 1167987903;  // 2007-01-05 09:05:03
    EXPECT_EQ(GetControlText(ElapsedLabel),
              Elapsed + std::to_string((pc + 1) / 86400) + Days + std::to_string(pc + 1) + Seconds);

    StationAnswers({200, 0x7F, 0x80, 0xFF, 13, 91, 0, 0, 0, 1, 1, 7});
    RunClockQuery();
    EXPECT_EQ(GetControlText(StationTimeLabel),
              "-56:127:-128   Delta " + std::to_string(pc + 1) + "c. -1/13/2091");
}

TEST_F(ClockQuery, ElapsedDaysAreTruncatedTowardZero)
{
    state.localClock = {2013, 1, 10, 0, 0, 2};  // PC time 2013-01-10 00:00:00
    StationAnswers({0, 0, 0, 10, 1, 13, 13, 53, 20, 10, 1, 13});  // +50000 s
    RunClockQuery();
    EXPECT_EQ(GetControlText(ElapsedLabel), Elapsed + "0" + Days + "-50000" + Seconds);
    StationAnswers({0, 0, 0, 10, 1, 13, 3, 46, 40, 11, 1, 13});  // +100000 s
    RunClockQuery();
    EXPECT_EQ(GetControlText(ElapsedLabel), Elapsed + "-1" + Days + "-100000" + Seconds);
}

TEST_F(ClockQuery, ComputerClockPastTheRangeCountsAsMinusThree)
{
    state.localClock = {2039, 6, 1, 0, 0, 0};
    StationAnswers({0, 0, 0, 1, 1, 0, 0, 0, 0, 1, 1, 0});  // 2000-01-01 twice
    RunClockQuery();
    EXPECT_EQ(GetControlText(StationTimeLabel), "0:0:0   Delta -946684803c. 1/1/200");
}

TEST_F(ClockQuery, SkipsBytesBeforeTheStartAndLeavesTrailingBytesForTheNextFlush)
{
    state.localClock = {2013, 11, 3, 14, 5, 53};
    // Two junk bytes and the start byte make the three that end the wait.
    StationAnswers({14, 5, 9, 3, 11, 13, 6, 32, 31, 1, 11, 13}, {7, 200}, {1, 2, 3});
    state.replyByteMs = 100;
    RunClockQuery();
    EXPECT_EQ(GetControlText(StationTimeLabel), "14:5:9   Delta 42c. 3/11/2013");
    EXPECT_EQ(state.blockingReads, 0);

    // The trailing bytes arrive after the frame and are flushed before the
    // next query's command goes out.
    state.nowMs += 10000;
    state.stationReply.clear();
    ASSERT_EQ(PendingInput(StationPort), 3);
    RunClockQuery();
    EXPECT_EQ(PendingInput(StationPort), 0);
    EXPECT_EQ(fake::WrittenBytes(), (Bytes{100, 100}));
}

TEST_F(ClockQuery, StaleInputIsFlushedBeforeTheCommandForAtMostTwoSeconds)
{
    // Hundreds of stale start bytes, all waiting; the reply follows the command
    // at once, so that a flush after it would discard the reply.
    fake::Arrive(Bytes(300, 91), 0, 0);
    state.localClock = {2013, 11, 3, 14, 5, 53};
    StationAnswers({14, 5, 9, 3, 11, 13, 6, 32, 31, 1, 11, 13});
    state.replyDelayMs = 0;
    std::uint64_t start = state.nowMs;
    RunClockQuery();
    ASSERT_EQ(fake::WrittenBytes(), Bytes{100});
    EXPECT_LE(state.written[0].atMs - start, 10u);
    EXPECT_EQ(GetControlText(StationTimeLabel), "14:5:9   Delta 42c. 3/11/2013");
    EXPECT_EQ(state.blockingReads, 0);

    // A station that keeps sending: the command goes out 2000 ms after the
    // flush began.
    state.stationReply.clear();
    fake::Arrive(Bytes(10000, 0x55), 0, 1);
    start = state.nowMs;
    RunClockQuery();
    ASSERT_EQ(state.written.size(), 2u);
    EXPECT_GE(state.written[1].atMs - start, 2000u);
    EXPECT_LE(state.written[1].atMs - start, 2000u + Tick);
}

TEST_F(ClockQuery, SlowStationWithinTheLimitsIsAnswered)
{
    // The third byte arrives 5000 ms after the command, the last 1000 ms
    // later; the millisecond count wraps 2000 ms after the command.
    state.nowMs = BeforeWrap(1, 2000);
    StationAnswers({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12});
    state.replyDelayMs = 4800;
    state.replyByteMs = 100;
    RunClockQuery();
    EXPECT_EQ(GetControlText(StationTimeLabel).substr(0, 6), "1:2:3 ");

    // Two bytes, then a pause longer than the frame's 2000 ms: the frame's
    // time starts with its third byte and the last comes 1900 ms after it.
    // The count wraps 1000 ms after the third byte.
    state.nowMs = BeforeWrap(2, 3000 + 1000);
    state.stationReply.clear();
    fake::Arrive({91, 4}, 20, 0);
    fake::Arrive({5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}, 3000, 190);
    RunClockQuery();
    EXPECT_EQ(GetControlText(StationTimeLabel).substr(0, 6), "4:5:6 ");
}

TEST_F(ClockQuery, GivesUpOnAStationThatNeverOrOnlyPartlyAnswers)
{
    // Silent after a second of stale input: the reply's 5000 ms start with
    // the command, the frame's 2000 ms with its third byte.
    fake::Arrive(Bytes(1000, 0x55), 0, 1);
    RunClockQuery();
    ExpectGaveUp(CommandSentAt(), 5000, 5000 + Tick);

    state.stationReply = {91, 1};  // never three bytes
    RunClockQuery();
    ExpectGaveUp(CommandSentAt(), 5000, 5000 + Tick);

    // The same across a wrap of the millisecond count after the command.
    state.nowMs = BeforeWrap(1, 1000);
    RunClockQuery();
    ExpectGaveUp(CommandSentAt(), 5000, 5000 + Tick);

    StationAnswers({1, 2, 3, 4, 5});  // stops in the middle of the frame
    RunClockQuery();
    ExpectGaveUp(ThirdByteAt(), 2000, 2000 + Tick);

    // The same across a wrap of the count in mid-frame.
    state.nowMs = BeforeWrap(2, 500);
    RunClockQuery();
    ExpectGaveUp(ThirdByteAt(), 2000, 2000 + Tick);

    state.stationReply = Bytes(2000, 0x55);  // streams without a start byte
    state.replyByteMs = 1;
    RunClockQuery();
    ExpectGaveUp(ThirdByteAt(), 2000, 2000 + Tick);
}

TEST_F(ClockQuery, GivesUpOnALineThatNeverRunsDry)
{
    // Far more junk than can be read before the deadline, all waiting at once.
    state.stationReply = Bytes(20000, 0x55);
    state.replyByteMs = 0;
    RunClockQuery();
    ExpectGaveUp(ThirdByteAt(), 2000, 2000 + Tick);
    EXPECT_GT(state.incoming.size(), 15000u);
}

TEST_F(ClockQuery, GivesUpAtOnceWhenThePortFails)
{
    state.portFailsAtMs = state.nowMs + 10;  // before the reply begins
    RunClockQuery();
    ExpectGaveUp(state.portFailsAtMs, 0, Tick);

    StationAnswers({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12});
    state.portFailsAtMs = state.nowMs + 60;  // in the middle of the frame
    RunClockQuery();
    ExpectGaveUp(state.portFailsAtMs, 0, Tick);

    state.portFailsAtMs = UINT64_MAX;
    state.readsFail = true;
    std::uint64_t start = state.nowMs;
    RunClockQuery();
    ExpectGaveUp(start, 0, Tick);
}

}  // namespace
