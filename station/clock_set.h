// The clock set exchange: set the station's clock from the computer's.
#pragma once

#include <cstdint>

#include "support/calendar.h"

constexpr std::uint8_t SetClockCommand = 110;
constexpr int ClockSetFrameBytes = 6;
constexpr std::uint32_t ClockSetPauseMs = 210;

// Sends the command and the frame on StationPort, or shows the port warning
// when it is closed. Nothing is read back.
void RunClockSet();

// Hour, minute, second, day, month and two-digit year of one reading; all
// zero for InvalidDate.
void FillClockSetFrame(DateSeconds now, std::uint8_t frame[ClockSetFrameBytes]);
