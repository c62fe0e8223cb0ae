// Test doubles of the platform procedures: a settable local clock, a
// monotonic clock that tests drive, a scripted serial line, a recording
// window and a scripted message source. All state lives in `fake::state`.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "support/local_clock.h"

namespace fake {

struct TimedByte {
    std::uint64_t atMs;
    std::uint8_t byte;
};

struct Control {
    std::vector<std::string> items;
    long selected = -1;
    std::string text;
};

struct ShownMessage {
    std::string title;
    std::string text;
    unsigned style;
};

struct State {
    // Clocks.
    ClockReading localClock{2013, 7, 1, 12, 0, 0};
    int clockReadings = 0;
    std::uint64_t nowMs = 1000;  // the program reads its low 32 bits, as Windows' tick count
    std::uint64_t msPerReading = 1;  // each MonotonicMs call moves time on
    std::vector<std::uint32_t> pauses;

    // Serial line. Devices that open, by name; any other name fails.
    std::map<std::string, bool> devices;
    std::vector<std::string> openAttempts;
    // Line settings of the last attempt, in the order OpenPort takes them.
    std::vector<double> lineSettings;
    std::string openDevice;  // name StationPort is open on, "" when closed
    int closes = 0;
    std::deque<TimedByte> incoming;  // bytes reaching the program, by arrival time
    std::vector<TimedByte> written;  // bytes the program wrote
    std::vector<std::uint8_t> stationReply;  // sent by the station after each byte 100
    std::uint64_t replyDelayMs = 20;
    std::uint64_t replyByteMs = 8;
    std::uint64_t portFailsAtMs = UINT64_MAX;  // status queries fail from then on
    int failureReports = 0;                    // status queries that reported the failure
    std::uint64_t firstFailureReportMs = 0;
    int readsAfterFailureReport = 0;
    bool readsFail = false;
    int blockingReads = 0;  // reads that asked for more than was waiting
    int statusQueries = 0;  // PendingInput calls

    // Window.
    std::map<int, Control> controls;
    std::vector<ShownMessage> messages;
    std::vector<std::pair<int, std::string>> textChanges;

    // Message source: each entry acts like one dispatched message and
    // returns its number.
    std::deque<std::function<std::int32_t()>> messageScript;
    int fetches = 0;
};

extern State state;

// Fresh state with MainWindow's six controls present and empty.
void Reset();
// Bytes arriving from now on, one every byteMs, starting after delayMs.
void Arrive(const std::vector<std::uint8_t>& bytes, std::uint64_t delayMs, std::uint64_t byteMs);
std::vector<std::uint8_t> WrittenBytes();

}  // namespace fake
