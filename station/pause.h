// Time for the exchanges: a monotonic millisecond count for time limits
// (never the time of day, which this program compares and sets) and a pause.
#pragma once

#include <cstdint>

// The system's 32-bit tick count. It wraps after 49.7 days, so only the
// difference of two readings means anything.
std::uint32_t MonotonicMs();
// Pauses with the system timer resolution raised to 1 ms meanwhile.
void PauseMs(std::uint32_t milliseconds);
