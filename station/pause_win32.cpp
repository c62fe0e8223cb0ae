#include <windows.h>

#include "station/pause.h"

std::uint32_t MonotonicMs()
{
    return GetTickCount();
}

void PauseMs(std::uint32_t milliseconds)
{
    timeBeginPeriod(1);
    Sleep(milliseconds);
    timeEndPeriod(1);
}
