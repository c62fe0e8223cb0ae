#include "link/port_selection.h"

#include "app/window.h"
#include "link/serial.h"
#include "support/literals.h"
#include "support/text.h"

void FillPortList()
{
    for (int number = 1; number <= PortListSize; ++number)
        AppendItem(PortCombo, JoinText({"COM", DecimalText(number)}).c_str());
}

void OpenSelectedPort()
{
    if (IsPortOpen(StationPort)) ClosePort(StationPort);
    Text name = GetControlText(PortCombo);
    const LineSettings& line = StationLineSettings;
    std::intptr_t opened =
        OpenPort(StationPort, name.c_str(), line.baudRate, line.parity, line.dataBits,
                 line.stopBits, line.handshake, line.inputQueue, line.outputQueue);
    SetControlText(StatusLabel, opened != 0 ? "READY" : "not available");
}

void ProbePorts()
{
    for (int entry = 0; entry < PortListSize; ++entry) {
        SelectItem(PortCombo, entry);
        OpenSelectedPort();
        if (IsPortOpen(StationPort)) return;
    }
    SelectItem(PortCombo, 0);
}

void PortWarning()
{
    Text text = JoinText({WarningPrefix, GetControlText(PortCombo), WarningSuffix});
    ShowMessage("", text.c_str(), WarningBoxStyle);
}
