// Time for the exchanges: a monotonic millisecond count for deadlines (never
// the time of day, which this program compares and sets) and a pause.
#pragma once

#include <cstdint>

std::uint64_t MonotonicMs();
// Pauses with the system timer resolution raised to 1 ms meanwhile.
void PauseMs(std::uint32_t milliseconds);
