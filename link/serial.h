// Serial ports by small number. Only StationPort is used by the program.
// Failure is reported by a zero result; nothing here shows or logs anything.
#pragma once

#include <cstdint>

#include "support/integer.h"
#include "support/text.h"

constexpr int StationPort = 2;
constexpr int SerialPortCount = 4;  // capacity of the port table

struct LineSettings {
    std::int32_t baudRate;
    std::int32_t parity;  // 0: none
    std::int32_t dataBits;
    double stopBits;         // 1.0: one stop bit
    std::int32_t handshake;  // 0: none
    std::int32_t inputQueue;
    std::int32_t outputQueue;
};

constexpr LineSettings StationLineSettings{1200, 0, 8, 1.0, 0, 256, 256};

// Time-outs set on every port opened, in milliseconds: reads never time
// out, a write of n bytes may take 100 * n + 10 ms.
constexpr std::uint32_t WriteTimeoutPerByteMs = 100;
constexpr std::uint32_t WriteTimeoutConstantMs = 10;

// The longest part of a device name that goes into its path.
constexpr int DeviceNameLimit = 59;

// "\\.\" followed by at most the first DeviceNameLimit characters of the name.
Text DevicePath(const char* name);

// Non-zero (the device handle) on success, 0 on failure.
std::intptr_t OpenPort(int port, const char* name, std::int32_t baudRate, std::int32_t parity,
                       std::int32_t dataBits, double stopBits, std::int32_t handshake,
                       std::int32_t inputQueue, std::int32_t outputQueue);
bool IsPortOpen(int port);
// Received bytes waiting to be read; 0 for a closed number, -1 when the
// device no longer answers the status query (it failed or was removed).
Integer PendingInput(int port);
// Each returns the count transferred; 0 for a closed number or a failure.
// A read returns only once every requested byte has arrived.
Integer ReadPort(int port, std::uint8_t* bytes, Integer count);
Integer WritePort(int port, const std::uint8_t* bytes, Integer count);
void ClosePort(int port);
void CloseAllPorts();

// Writes the low 8 bits of the value to StationPort, if it is open.
void SendStationByte(Integer value);
