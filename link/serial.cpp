#include "link/serial.h"

Text DevicePath(const char* name)
{
    Text path = "\\\\.\\";
    if (name != nullptr) {
        Integer length = TextLength(name);
        path.append(name, std::size_t(length < DeviceNameLimit ? length : DeviceNameLimit));
    }
    return path;
}

void SendStationByte(Integer value)
{
    std::uint8_t byte = std::uint8_t(value);
    WritePort(StationPort, &byte, 1);
}
