#include "app/events.h"

#include <deque>

#include "app/window.h"

namespace {

constexpr int ComboSelectionChange = 1;  // CBN_SELCHANGE
constexpr int ComboEditChange = 5;       // CBN_EDITCHANGE

struct Event {
    std::int32_t code;
    std::int32_t control;
    std::int32_t window;
    std::int32_t kind;
};

struct EventSource {
    Event current{0, 0, 0, NoKind};
    Event last{0, 0, 0, NoKind};
    std::deque<Event> queue;  // events delivered by later waits, oldest first
};

EventSource events;

}  // namespace

std::int32_t WaitEvent()
{
    events.current = Event{0, 0, 0, NoKind};
    if (!events.queue.empty()) {
        events.current = events.queue.front();
        events.queue.pop_front();
    } else {
        std::int32_t message = FetchAndDispatchMessage();
        if (events.current.code == 0) events.current.code = message;
    }
    events.last = events.current;
    return events.last.code;
}

std::int32_t EventControl()
{
    return events.last.control;
}

std::int32_t EventKind()
{
    return events.last.kind;
}

void OnControlCommand(int control, int notification)
{
    if (control == PortCombo) {
        // The list's own handler: only a selection change becomes an event,
        // and it waits in the queue for a later wait.
        if (notification == ComboSelectionChange || notification == ComboEditChange)
            events.queue.push_back(Event{ControlEvent, PortCombo, MainWindow, ChangeKind});
        return;
    }
    events.current = Event{ControlEvent, control, MainWindow, notification};
}

void OnCloseRequest()
{
    events.queue.push_back(Event{CloseEvent, MainWindow, MainWindow, 0});
}
