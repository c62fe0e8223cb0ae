// The event source's direct and queued rules, the main loop's dispatch
// table and the keyboard focus order.
#include <gtest/gtest.h>

#include "app/events.h"
#include "app/focus.h"
#include "app/main_loop.h"
#include "app/window.h"
#include "link/serial.h"
#include "tests/unit/fakes/fakes.h"

namespace {

using fake::state;

constexpr int CBN_SELCHANGE_ = 1;
constexpr int CBN_EDITCHANGE_ = 5;
constexpr int CBN_DROPDOWN_ = 7;
constexpr int WM_MOUSEMOVE_ = 0x200;
constexpr int WM_LBUTTONUP_ = 0x202;
constexpr int WM_CLOSE_ = 16;

// A dispatched message that runs the given window-procedure effect.
void Post(std::int32_t number, std::function<void()> effect = [] {})
{
    state.messageScript.push_back([number, effect] {
        effect();
        return number;
    });
}

class EventSource : public ::testing::Test {
protected:
    // Drains the events an earlier test left queued, up to the first fetch:
    // the empty script's close.
    void SetUp() override
    {
        fake::Reset();
        while (WaitEvent() != CloseEvent || state.fetches == 0) {
        }
        state.fetches = 0;
    }
};

TEST_F(EventSource, ButtonClickIsReturnedByTheWaitThatDispatchedIt)
{
    Post(0x111, [] { OnControlCommand(QueryButton, ClickKind); });
    Post(0x111, [] { OnControlCommand(SyncButton, ClickKind); });
    EXPECT_EQ(WaitEvent(), ControlEvent);
    EXPECT_EQ(EventControl(), QueryButton);
    EXPECT_EQ(EventKind(), ClickKind);
    EXPECT_EQ(state.fetches, 1);
    EXPECT_EQ(WaitEvent(), ControlEvent);
    EXPECT_EQ(EventControl(), SyncButton);
}

TEST_F(EventSource, SelectionChangeIsQueuedBehindTheMessageThatRaisedIt)
{
    Post(WM_LBUTTONUP_, [] { OnControlCommand(PortCombo, CBN_SELCHANGE_); });
    Post(WM_MOUSEMOVE_);
    EXPECT_EQ(WaitEvent(), WM_LBUTTONUP_);
    EXPECT_EQ(EventKind(), NoKind);
    // Delivered before any further message is fetched.
    EXPECT_EQ(WaitEvent(), ControlEvent);
    EXPECT_EQ(EventControl(), PortCombo);
    EXPECT_EQ(EventKind(), ChangeKind);
    EXPECT_EQ(state.fetches, 1);
    EXPECT_EQ(WaitEvent(), WM_MOUSEMOVE_);
}

TEST_F(EventSource, OnlySelectionAndEditChangesOfTheListBecomeEvents)
{
    Post(1, [] {
        OnControlCommand(PortCombo, CBN_DROPDOWN_);
        OnControlCommand(PortCombo, CBN_EDITCHANGE_);
    });
    EXPECT_EQ(WaitEvent(), 1);
    EXPECT_EQ(WaitEvent(), ControlEvent);
    EXPECT_EQ(EventKind(), ChangeKind);
    Post(2);
    EXPECT_EQ(WaitEvent(), 2);
}

TEST_F(EventSource, QueuedEventsKeepTheirOrder)
{
    Post(WM_CLOSE_, [] {
        OnControlCommand(PortCombo, CBN_SELCHANGE_);
        OnCloseRequest();
        OnControlCommand(PortCombo, CBN_SELCHANGE_);
    });
    EXPECT_EQ(WaitEvent(), WM_CLOSE_);  // the message itself, not yet the event
    EXPECT_EQ(WaitEvent(), ControlEvent);
    EXPECT_EQ(WaitEvent(), CloseEvent);
    EXPECT_EQ(EventControl(), MainWindow);
    EXPECT_EQ(EventKind(), 0);
    EXPECT_EQ(WaitEvent(), ControlEvent);
    EXPECT_EQ(state.fetches, 1);
}

TEST_F(EventSource, DirectEventRaisedOutsideAWaitIsDiscarded)
{
    // As inside the warning box's own message loop.
    OnControlCommand(QueryButton, ClickKind);
    Post(WM_MOUSEMOVE_);
    EXPECT_EQ(WaitEvent(), WM_MOUSEMOVE_);
    EXPECT_EQ(EventKind(), NoKind);
}

TEST_F(EventSource, ControlAndKindStayFixedUntilTheNextWait)
{
    Post(0x111, [] { OnControlCommand(SyncButton, ClickKind); });
    ASSERT_EQ(WaitEvent(), ControlEvent);
    OnControlCommand(QueryButton, 0);  // handled while a command runs
    EXPECT_EQ(EventControl(), SyncButton);
}

class MainLoop : public EventSource {
protected:
    void SetUp() override
    {
        EventSource::SetUp();
        state.devices = {{"COM1", true}, {"COM2", true}};
        state.controls[PortCombo].items = {"COM1", "COM2"};
        state.controls[PortCombo].selected = 0;
    }
    static void Click(int control)
    {
        Post(0x111, [control] { OnControlCommand(control, ClickKind); });
    }
};

TEST_F(MainLoop, DispatchesEachEventToItsCommandUntilClose)
{
    Post(WM_LBUTTONUP_, [] { OnControlCommand(PortCombo, CBN_SELCHANGE_); });
    Click(SyncButton);  // the port opened by the change event is used
    Click(StationTimeLabel);
    Click(4);
    Post(WM_CLOSE_, [] { OnCloseRequest(); });
    Click(QueryButton);  // never reached
    RunMainLoop();
    EXPECT_EQ(state.openAttempts, std::vector<std::string>{"COM1"});
    ASSERT_EQ(fake::WrittenBytes().size(), 7u);
    EXPECT_EQ(fake::WrittenBytes()[0], 110);
    EXPECT_TRUE(state.messages.empty());
    EXPECT_EQ(state.messageScript.size(), 1u);
}

TEST_F(MainLoop, ButtonsRunTheirCommandsWhateverTheKindAndWarnWithoutAPort)
{
    EXPECT_TRUE(DispatchEvent(WM_MOUSEMOVE_));
    Post(0x111, [] { OnControlCommand(QueryButton, 5); });
    ASSERT_EQ(WaitEvent(), ControlEvent);
    EXPECT_TRUE(DispatchEvent(ControlEvent));
    Post(0x111, [] { OnControlCommand(SyncButton, 0); });
    ASSERT_EQ(WaitEvent(), ControlEvent);
    EXPECT_TRUE(DispatchEvent(ControlEvent));
    ASSERT_EQ(state.messages.size(), 2u);  // no port is open
    EXPECT_TRUE(state.written.empty());
    EXPECT_FALSE(DispatchEvent(CloseEvent));
}

TEST_F(MainLoop, ClicksMadeDuringAnExchangeRunAfterItInOrder)
{
    ASSERT_NE(OpenPort(StationPort, "COM1", 1200, 0, 8, 1.0, 0, 256, 256), 0);
    // The first sync's clicks queue up in the platform's queue meanwhile.
    Click(SyncButton);
    Click(QueryButton);
    Click(SyncButton);
    Post(WM_CLOSE_, [] { OnCloseRequest(); });
    RunMainLoop();
    std::vector<std::uint8_t> commands;
    for (std::uint8_t byte : fake::WrittenBytes())
        if (byte == 110 || byte == 100) commands.push_back(byte);
    EXPECT_EQ(commands, (std::vector<std::uint8_t>{110, 100, 110}));
}

TEST(Focus, TabAndShiftTabCycleThroughTheButtonsAndTheList)
{
    EXPECT_EQ(NextFocusControl(NoFocus, false), QueryButton);
    EXPECT_EQ(NextFocusControl(NoFocus, true), PortCombo);
    EXPECT_EQ(NextFocusControl(QueryButton, false), SyncButton);
    EXPECT_EQ(NextFocusControl(SyncButton, false), PortCombo);
    EXPECT_EQ(NextFocusControl(PortCombo, false), QueryButton);
    EXPECT_EQ(NextFocusControl(QueryButton, true), PortCombo);
    EXPECT_EQ(NextFocusControl(PortCombo, true), SyncButton);
    EXPECT_EQ(NextFocusControl(StatusLabel, false), QueryButton);
}

}  // namespace
