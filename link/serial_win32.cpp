// The port table and byte-level access to serial devices.
#include <windows.h>

#include "link/serial.h"

namespace {

struct PortEntry {
    HANDLE handle = nullptr;  // null while the number is closed
};

PortEntry SerialPorts[SerialPortCount];

HANDLE OpenHandle(int port)
{
    if (port < 0 || port >= SerialPortCount) return nullptr;
    return SerialPorts[port].handle;
}

}  // namespace

std::intptr_t OpenPort(int port, const char* name, std::int32_t baudRate, std::int32_t parity,
                       std::int32_t dataBits, double stopBits, std::int32_t handshake,
                       std::int32_t inputQueue, std::int32_t outputQueue)
{
    // Only one stop bit and no handshake are supported; numbers out of the
    // table and numbers still open are refused.
    if (port < 0 || port >= SerialPortCount || SerialPorts[port].handle != nullptr) return 0;
    if (stopBits != 1.0 || handshake != 0) return 0;

    Text path = DevicePath(name);
    HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return 0;
    if (inputQueue > 0 && outputQueue > 0) SetupComm(handle, DWORD(inputQueue), DWORD(outputQueue));

    DCB line{};
    line.DCBlength = sizeof line;
    if (!GetCommState(handle, &line)) {
        CloseHandle(handle);
        return 0;
    }
    line.BaudRate = DWORD(baudRate);
    line.ByteSize = BYTE(dataBits);
    line.Parity = BYTE(parity);
    line.StopBits = ONESTOPBIT;
    line.fParity = TRUE;
    line.fOutxCtsFlow = FALSE;
    line.fRtsControl = RTS_CONTROL_DISABLE;
    if (!SetCommState(handle, &line)) {
        CloseHandle(handle);
        return 0;
    }

    COMMTIMEOUTS timeouts{};
    timeouts.WriteTotalTimeoutMultiplier = WriteTimeoutPerByteMs;
    timeouts.WriteTotalTimeoutConstant = WriteTimeoutConstantMs;
    SetCommTimeouts(handle, &timeouts);

    SerialPorts[port].handle = handle;
    return reinterpret_cast<std::intptr_t>(handle);
}

bool IsPortOpen(int port)
{
    return OpenHandle(port) != nullptr;
}

Integer PendingInput(int port)
{
    HANDLE handle = OpenHandle(port);
    if (handle == nullptr) return 0;
    DWORD errors = 0;
    COMSTAT status{};
    if (!ClearCommError(handle, &errors, &status)) return -1;
    return Integer(status.cbInQue);
}

Integer ReadPort(int port, std::uint8_t* bytes, Integer count)
{
    HANDLE handle = OpenHandle(port);
    if (handle == nullptr || count <= 0) return 0;
    DWORD read = 0;
    if (!ReadFile(handle, bytes, DWORD(count), &read, nullptr)) return 0;
    return Integer(read);
}

Integer WritePort(int port, const std::uint8_t* bytes, Integer count)
{
    HANDLE handle = OpenHandle(port);
    if (handle == nullptr || count <= 0) return 0;
    DWORD written = 0;
    if (!WriteFile(handle, bytes, DWORD(count), &written, nullptr)) return 0;
    return Integer(written);
}

void ClosePort(int port)
{
    HANDLE handle = OpenHandle(port);
    if (handle == nullptr) return;
    CloseHandle(handle);
    SerialPorts[port].handle = nullptr;
}

void CloseAllPorts()
{
    for (int port = 0; port < SerialPortCount; ++port) ClosePort(port);
}
