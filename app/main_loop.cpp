#include "app/main_loop.h"

#include "app/events.h"
#include "app/window.h"
#include "link/port_selection.h"
#include "station/clock_query.h"
#include "station/clock_set.h"

namespace {

struct LoopState {
    std::int32_t lastEvent = 0;
    std::int32_t lastControl = 0;
};

LoopState loop;

}  // namespace

bool DispatchEvent(std::int32_t code)
{
    loop.lastEvent = code;
    if (code == CloseEvent) return false;
    if (code != ControlEvent) return true;
    loop.lastControl = EventControl();
    if (loop.lastControl == PortCombo) {
        if (EventKind() == ChangeKind) OpenSelectedPort();
    } else if (loop.lastControl == QueryButton) {
        RunClockQuery();
    } else if (loop.lastControl == SyncButton) {
        RunClockSet();
    }
    return true;
}

void RunMainLoop()
{
    while (DispatchEvent(WaitEvent())) {
    }
}
