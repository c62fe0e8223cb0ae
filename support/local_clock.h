// The computer's local wall-clock time, read from the platform.
#pragma once

#include <cstdint>

struct ClockReading {
    std::int32_t year;
    std::int32_t month;
    std::int32_t day;
    std::int32_t hour;
    std::int32_t minute;
    std::int32_t second;
};

ClockReading ReadLocalClock();
