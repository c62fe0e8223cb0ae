#include "station/clock_set.h"

#include "link/port_selection.h"
#include "link/serial.h"
#include "station/pause.h"
#include "support/text.h"

void FillClockSetFrame(DateSeconds now, std::uint8_t frame[ClockSetFrameBytes])
{
    frame[0] = std::uint8_t(HourOf(now));
    frame[1] = std::uint8_t(MinuteOf(now));
    frame[2] = std::uint8_t(SecondOf(now));
    frame[3] = std::uint8_t(DayOf(now));
    frame[4] = std::uint8_t(MonthOf(now));
    frame[5] = std::uint8_t(TwoDigitYear(YearOf(now)));
}

void RunClockSet()
{
    if (!IsPortOpen(StationPort)) {
        PortWarning();
        return;
    }
    SendStationByte(SetClockCommand);
    // One reading for all six fields, so that they belong to one moment.
    std::uint8_t frame[ClockSetFrameBytes];
    FillClockSetFrame(CurrentDate(), frame);
    for (std::uint8_t byte : frame) {
        PauseMs(ClockSetPauseMs);
        WritePort(StationPort, &byte, 1);
    }
}
