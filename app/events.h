// The window's happenings as a stream of integer event codes.
#pragma once

#include <cstdint>

constexpr std::int32_t ControlEvent = 13100;
constexpr std::int32_t CloseEvent = 16;
constexpr std::int32_t ClickKind = 0;
constexpr std::int32_t ChangeKind = 768;
constexpr std::int32_t NoKind = -1;

// Waits without a time limit for the next event and returns its code.
std::int32_t WaitEvent();
// Control and kind of the event that WaitEvent last returned.
std::int32_t EventControl();
std::int32_t EventKind();

// Called by the window procedures while a message is dispatched.
void OnControlCommand(int control, int notification);
void OnCloseRequest();

// Platform: fetches the thread's next message (blocking), dispatches it,
// and returns its message number.
std::int32_t FetchAndDispatchMessage();
