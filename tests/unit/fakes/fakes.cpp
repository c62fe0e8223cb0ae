#include "tests/unit/fakes/fakes.h"

#include "app/events.h"
#include "app/window.h"
#include "link/serial.h"
#include "station/pause.h"

namespace fake {

State state;

void Reset()
{
    state = State{};
    for (int control : {QueryButton, SyncButton, StationTimeLabel, ElapsedLabel, PortCombo,
                        StatusLabel})
        state.controls[control] = Control{};
}

void Arrive(const std::vector<std::uint8_t>& bytes, std::uint64_t delayMs, std::uint64_t byteMs)
{
    std::uint64_t at = state.nowMs + delayMs;
    if (!state.incoming.empty() && state.incoming.back().atMs > at) at = state.incoming.back().atMs;
    for (std::uint8_t byte : bytes) {
        state.incoming.push_back({at, byte});
        at += byteMs;
    }
}

std::vector<std::uint8_t> WrittenBytes()
{
    std::vector<std::uint8_t> bytes;
    for (const TimedByte& written : state.written) bytes.push_back(written.byte);
    return bytes;
}

namespace {

// Bytes reach the program in line order, so what is waiting is the arrived
// front of the queue.
Integer Waiting()
{
    Integer count = 0;
    for (const TimedByte& byte : state.incoming) {
        if (byte.atMs > state.nowMs) break;
        ++count;
    }
    return count;
}

}  // namespace

}  // namespace fake

using fake::state;

ClockReading ReadLocalClock()
{
    ++state.clockReadings;
    return state.localClock;
}

std::uint32_t MonotonicMs()
{
    std::uint64_t now = state.nowMs;
    state.nowMs += state.msPerReading;
    return std::uint32_t(now);
}

void PauseMs(std::uint32_t milliseconds)
{
    state.pauses.push_back(milliseconds);
    state.nowMs += milliseconds;
}

std::intptr_t OpenPort(int port, const char* name, std::int32_t baudRate, std::int32_t parity,
                       std::int32_t dataBits, double stopBits, std::int32_t handshake,
                       std::int32_t inputQueue, std::int32_t outputQueue)
{
    state.openAttempts.push_back(name);
    state.lineSettings = {double(baudRate),  double(parity),     double(dataBits),   stopBits,
                          double(handshake), double(inputQueue), double(outputQueue)};
    if (port != StationPort || !state.devices[name]) return 0;
    state.openDevice = name;
    return 1;
}

bool IsPortOpen(int port)
{
    return port == StationPort && !state.openDevice.empty();
}

Integer PendingInput(int port)
{
    ++state.statusQueries;
    if (!IsPortOpen(port)) return 0;
    if (state.nowMs >= state.portFailsAtMs) {
        if (state.failureReports++ == 0) state.firstFailureReportMs = state.nowMs;
        return -1;
    }
    return fake::Waiting();
}

Integer ReadPort(int port, std::uint8_t* bytes, Integer count)
{
    if (state.failureReports > 0) ++state.readsAfterFailureReport;
    if (!IsPortOpen(port) || state.readsFail) return 0;
    if (count > fake::Waiting()) ++state.blockingReads;
    Integer read = 0;
    while (read < count && !state.incoming.empty() && state.incoming.front().atMs <= state.nowMs) {
        bytes[read++] = state.incoming.front().byte;
        state.incoming.pop_front();
    }
    return read;
}

Integer WritePort(int port, const std::uint8_t* bytes, Integer count)
{
    if (!IsPortOpen(port)) return 0;
    for (Integer i = 0; i < count; ++i) {
        state.written.push_back({state.nowMs, bytes[i]});
        if (bytes[i] == 100 && !state.stationReply.empty())
            fake::Arrive(state.stationReply, state.replyDelayMs, state.replyByteMs);
    }
    return count;
}

void ClosePort(int port)
{
    if (!IsPortOpen(port)) return;
    state.openDevice.clear();
    ++state.closes;
}

void CloseAllPorts()
{
    ClosePort(StationPort);
}

void AppendItem(int control, const char* text)
{
    auto found = state.controls.find(control);
    if (found != state.controls.end()) found->second.items.push_back(text);
}

void SelectItem(int control, Integer index)
{
    auto found = state.controls.find(control);
    if (found == state.controls.end()) return;
    fake::Control& list = found->second;
    bool inside = index >= 0 && std::size_t(index) < list.items.size();
    list.selected = inside ? long(index) : -1;
}

void SetControlText(int control, const char* text)
{
    auto found = state.controls.find(control);
    if (found == state.controls.end()) return;
    found->second.text = text;
    state.textChanges.emplace_back(control, text);
}

Text GetControlText(int control)
{
    auto found = state.controls.find(control);
    if (found == state.controls.end()) return Text();
    const fake::Control& c = found->second;
    if (control == PortCombo) return c.selected >= 0 ? c.items[std::size_t(c.selected)] : Text();
    return c.text;
}

int ShowMessage(const char* title, const char* text, unsigned style)
{
    state.messages.push_back({title, text, style});
    return 1;
}

std::int32_t FetchAndDispatchMessage()
{
    ++state.fetches;
    if (state.messageScript.empty()) return CloseEvent;  // a script that ran out ends the loop
    auto message = state.messageScript.front();
    state.messageScript.pop_front();
    return message();
}
