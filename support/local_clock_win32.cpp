#include <windows.h>

#include "support/local_clock.h"

ClockReading ReadLocalClock()
{
    SYSTEMTIME now;
    GetLocalTime(&now);
    return {now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond};
}
