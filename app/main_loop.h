// The main loop: waits for events and runs the command each one asks for,
// until the user closes MainWindow.
#pragma once

#include <cstdint>

// Acts on one event code by the dispatch table; false for CloseEvent.
bool DispatchEvent(std::int32_t code);
void RunMainLoop();
