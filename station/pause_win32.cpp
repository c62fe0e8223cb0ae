#include <windows.h>

#include "station/pause.h"

std::uint64_t MonotonicMs()
{
    return GetTickCount64();
}

void PauseMs(std::uint32_t milliseconds)
{
    timeBeginPeriod(1);
    Sleep(milliseconds);
    timeEndPeriod(1);
}
