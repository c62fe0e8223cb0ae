// Port discovery at start-up, reopening on the user's choice, the status
// shown and the warning given while no port is open.
#include <gtest/gtest.h>

#include "app/window.h"
#include "link/port_selection.h"
#include "link/serial.h"
#include "station/clock_query.h"
#include "station/clock_set.h"
#include "tests/unit/fakes/fakes.h"

namespace {

using fake::state;

std::vector<std::string> Names(int first, int last)
{
    std::vector<std::string> names;
    for (int n = first; n <= last; ++n) names.push_back("COM" + std::to_string(n));
    return names;
}

class PortSelection : public ::testing::Test {
protected:
    void SetUp() override
    {
        fake::Reset();
    }
    static void StartUp(std::map<std::string, bool> devices)
    {
        state.devices = std::move(devices);
        FillPortList();
        EXPECT_EQ(state.controls[PortCombo].selected, -1);
        ProbePorts();
    }
    static void UserPicks(int entry)
    {
        SelectItem(PortCombo, entry);
        OpenSelectedPort();
    }
};

TEST_F(PortSelection, ListHoldsComOneToTwentyInOrder)
{
    FillPortList();
    EXPECT_EQ(state.controls[PortCombo].items, Names(1, 20));
}

TEST_F(PortSelection, NoPortsAtAllLeavesComOneSelectedAndBothButtonsWarn)
{
    StartUp({});
    EXPECT_EQ(state.openAttempts, Names(1, 20));
    EXPECT_EQ(GetControlText(PortCombo), "COM1");
    EXPECT_EQ(GetControlText(StatusLabel), "not available");
    EXPECT_FALSE(IsPortOpen(StationPort));

    state.textChanges.clear();
    std::uint64_t now = state.nowMs;
    RunClockQuery();
    RunClockSet();
    ASSERT_EQ(state.messages.size(), 2u);
    for (const fake::ShownMessage& box : state.messages) {
        EXPECT_EQ(box.title, "");
        EXPECT_EQ(box.text, "\xCF\xEE\xF0\xF2 COM1 \xED\xE5\xE4\xEE\xF1\xF2\xF3\xEF\xE5\xED");
        EXPECT_EQ(box.style, 48u);
    }
    // After the warning nothing else happens: no byte, pause, wait or label.
    EXPECT_TRUE(state.written.empty());
    EXPECT_TRUE(state.pauses.empty());
    EXPECT_EQ(state.nowMs, now);
    EXPECT_EQ(state.statusQueries, 0);
    EXPECT_EQ(state.clockReadings, 0);
    EXPECT_TRUE(state.textChanges.empty());
    EXPECT_EQ(state.openAttempts.size(), 20u);  // the final selection is not tried again
}

TEST_F(PortSelection, ProbeStopsAtTheFirstPortThatOpens)
{
    StartUp({{"COM7", true}, {"COM9", true}});
    EXPECT_EQ(state.openAttempts, Names(1, 7));
    EXPECT_EQ(GetControlText(PortCombo), "COM7");
    EXPECT_EQ(GetControlText(StatusLabel), "READY");
    EXPECT_EQ(state.openDevice, "COM7");
    // 1200 baud, no parity, 8 data bits, one stop bit, no handshake, queues of 256.
    EXPECT_EQ(state.lineSettings, (std::vector<double>{1200, 0, 8, 1.0, 0, 256, 256}));
}

TEST_F(PortSelection, HeldAndAbsentPortsAreSkipped)
{
    StartUp({{"COM1", false}, {"COM3", true}});  // COM1 held elsewhere, COM2 absent
    EXPECT_EQ(GetControlText(PortCombo), "COM3");
    EXPECT_EQ(state.openDevice, "COM3");
}

TEST_F(PortSelection, TwoDigitPortIsFoundLikeAnyOther)
{
    StartUp({{"COM15", true}});
    EXPECT_EQ(state.controls[PortCombo].selected, 14);
    EXPECT_EQ(GetControlText(StatusLabel), "READY");
}

TEST_F(PortSelection, PickingAnAbsentPortClosesTheOpenOneAndWarnsWithTheNewName)
{
    StartUp({{"COM3", true}});
    UserPicks(4);
    EXPECT_EQ(state.closes, 1);
    EXPECT_FALSE(IsPortOpen(StationPort));
    EXPECT_EQ(GetControlText(StatusLabel), "not available");
    RunClockSet();
    ASSERT_EQ(state.messages.size(), 1u);
    EXPECT_EQ(state.messages[0].text,
              "\xCF\xEE\xF0\xF2 COM5 \xED\xE5\xE4\xEE\xF1\xF2\xF3\xEF\xE5\xED");

    UserPicks(2);  // back to a port that opens
    EXPECT_EQ(GetControlText(StatusLabel), "READY");
    EXPECT_EQ(state.openDevice, "COM3");
}

TEST_F(PortSelection, ChoosingTheOpenPortAgainReopensIt)
{
    StartUp({{"COM3", true}});
    std::size_t attempts = state.openAttempts.size();
    OpenSelectedPort();
    EXPECT_EQ(state.closes, 1);
    EXPECT_EQ(state.openAttempts.size(), attempts + 1);
    EXPECT_EQ(state.openDevice, "COM3");
    EXPECT_EQ(GetControlText(StatusLabel), "READY");
}

TEST(SerialText, DevicePathTakesAtMostFiftyNineCharactersOfTheName)
{
    EXPECT_EQ(DevicePath("COM1"), "\\\\.\\COM1");
    EXPECT_EQ(DevicePath("COM12").size(), 9u);
    std::string longName(70, 'x');
    EXPECT_EQ(DevicePath(longName.c_str()), "\\\\.\\" + longName.substr(0, 59));
    EXPECT_EQ(DevicePath(std::string(59, 'y').c_str()).size(), 63u);
    EXPECT_EQ(DevicePath(nullptr), "\\\\.\\");
}

TEST(SerialText, StationByteKeepsTheLowEightBits)
{
    fake::Reset();
    state.devices["COM2"] = true;
    SendStationByte(100);  // closed: nothing goes out
    EXPECT_TRUE(state.written.empty());
    ASSERT_NE(OpenPort(StationPort, "COM2", 1200, 0, 8, 1.0, 0, 256, 256), 0);
    SendStationByte(100);
    SendStationByte(256 + 7);
    SendStationByte(-1);
    EXPECT_EQ(fake::WrittenBytes(), (std::vector<std::uint8_t>{0x64, 7, 0xFF}));
}

}  // namespace
