#include "app/focus.h"

#include "app/window.h"

namespace {

constexpr int FocusOrder[] = {QueryButton, SyncButton, PortCombo};
constexpr int FocusCount = sizeof FocusOrder / sizeof FocusOrder[0];

}  // namespace

int NextFocusControl(int focused, bool backwards)
{
    int at = -1;
    for (int i = 0; i < FocusCount; ++i)
        if (FocusOrder[i] == focused) at = i;
    if (at < 0) return backwards ? FocusOrder[FocusCount - 1] : FocusOrder[0];
    return FocusOrder[(at + (backwards ? FocusCount - 1 : 1)) % FocusCount];
}
