// The clock set exchange: the command, the paced frame of one clock reading.
#include <gtest/gtest.h>

#include "link/serial.h"
#include "station/clock_set.h"
#include "tests/unit/fakes/fakes.h"

namespace {

using fake::state;
using Bytes = std::vector<std::uint8_t>;

class ClockSet : public ::testing::Test {
protected:
    void SetUp() override
    {
        fake::Reset();
        state.devices["COM2"] = true;
        ASSERT_NE(OpenPort(StationPort, "COM2", 1200, 0, 8, 1.0, 0, 256, 256), 0);
    }
};

TEST_F(ClockSet, SendsCommandThenEachFieldAfterItsPause)
{
    state.localClock = {2013, 3, 7, 9, 5, 3};
    fake::Arrive({1, 2}, 0, 0);  // waiting input is left alone
    RunClockSet();
    EXPECT_EQ(fake::WrittenBytes(), (Bytes{110, 9, 5, 3, 7, 3, 13}));
    EXPECT_EQ(state.pauses, std::vector<std::uint32_t>(6, 210));
    for (std::size_t i = 1; i < state.written.size(); ++i)
        EXPECT_GE(state.written[i].atMs - state.written[i - 1].atMs, 210u);
    EXPECT_EQ(state.clockReadings, 1);
    EXPECT_EQ(PendingInput(StationPort), 2);
}

TEST_F(ClockSet, YearByteIsTheLastTwoDigits)
{
    state.localClock = {2005, 12, 31, 23, 59, 59};
    RunClockSet();
    EXPECT_EQ(fake::WrittenBytes(), (Bytes{110, 23, 59, 59, 31, 12, 5}));
    state.written.clear();
    state.localClock = {2000, 1, 1, 0, 0, 0};
    RunClockSet();
    EXPECT_EQ(fake::WrittenBytes(), (Bytes{110, 0, 0, 0, 1, 1, 0}));
}

TEST_F(ClockSet, ClockOutsideTheRangeSendsSixZeroBytes)
{
    state.localClock = {2038, 1, 19, 3, 14, 8};
    RunClockSet();
    EXPECT_EQ(fake::WrittenBytes(), (Bytes{110, 0, 0, 0, 0, 0, 0}));
}

}  // namespace
