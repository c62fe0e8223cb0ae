// Keyboard focus order of MainWindow: QueryButton, SyncButton, PortCombo.
#pragma once

constexpr int NoFocus = -1;

// The control that Tab (or Shift+Tab, when backwards) moves the focus to
// from the given one; from NoFocus or a control outside the order, Tab
// starts at the first and Shift+Tab at the last.
int NextFocusControl(int focused, bool backwards);
