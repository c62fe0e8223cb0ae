// The simulated station's frames, clock and reply modes: no input or output
// here, so that the tests can drive every part of it.
#pragma once

#include <termios.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

constexpr std::uint8_t QueryByte = 100;
constexpr std::uint8_t SetByte = 110;
constexpr std::uint8_t StartByte = 91;
constexpr int FrameSize = 13;  // start byte and 12 data bytes
constexpr int SetFieldCount = 6;
constexpr std::int64_t ByteNs = 8333333;  // one byte at 1200 baud 8N1: 10 bits

using Frame = std::array<std::uint8_t, FrameSize>;

// A number from the command line or the mode list: the whole text, in range.
bool ParseInteger(std::string_view text, std::int64_t low, std::int64_t high, std::int64_t& value);

// Naive calendar seconds: calendar fields counted from 1970-01-01 00:00:00 as
// if every day had 86,400 seconds, so no zone or daylight-saving shift.
struct Fields {
    int year, month, day, hour, minute, second;
    bool operator==(const Fields&) const = default;
};
bool NaiveFromFields(const Fields& fields, std::int64_t& seconds);  // false: no such date
Fields FieldsFromNaive(std::int64_t seconds);
// "YYYY-MM-DD HH:MM:SS", years 1970 to 2099.
bool NaiveFromText(std::string_view text, std::int64_t& seconds);
// The local wall-clock time (TZ) of a system_clock (CLOCK_REALTIME) reading,
// in naive ms.
std::int64_t LocalNaiveMs(std::chrono::system_clock::time_point wall);

// The station's clock runs at local time + offset; a clock set moves the
// offset and the second timestamp.
struct StationClock {
    std::int64_t offset_ms = 0;
    std::int64_t reference = 0;  // the second timestamp, naive seconds
};
// The station's clock in whole naive seconds at local time local_ms.
std::int64_t StationSeconds(const StationClock& clock, std::int64_t local_ms);
// The six bytes of a clock set: hour, minute, second, day, month, year - 2000.
bool NaiveFromSetBytes(const std::uint8_t* bytes, std::int64_t& seconds);
void SetStationClock(StationClock& clock, std::int64_t seconds, std::int64_t local_ms);

Frame BuildFrame(std::int64_t clock_seconds, std::int64_t reference_seconds);

// How the station answers one query. silent and stream replace the frame;
// the other items shape it.
struct ReplyMode {
    std::string text = "normal";  // as given
    bool silent = false;
    int delay_ms = -1;  // -1: the default reply delay
    int length = FrameSize;
    int prefix = 0;
    int trailing = 0;
    int stream_ms = -1;                                        // junk instead of a reply
    bool hangup = false;                                       // drop the line after the reply
    std::array<std::optional<std::uint8_t>, FrameSize> field;  // empty: keep the byte
};

bool ParseModes(std::string_view list, std::vector<ReplyMode>& modes, std::string& error);
// Query number 1, 2, ...; the last mode serves every query past the list.
const ReplyMode& ModeForQuery(const std::vector<ReplyMode>& modes, std::int64_t query);
std::uint8_t JunkByte(std::size_t index);
// Every byte the mode sends, in order; a stream fills its time at 1200 baud.
std::vector<std::uint8_t> ReplyBytes(const ReplyMode& mode, const Frame& frame);

// "1200 8N1". A pty clears the parity bit and forces 8 data bits whatever the
// program sets; speed and stop bits come through. other_baud is the rate in
// termios2, which stands when the speed code is BOTHER.
std::string SettingsText(const termios& settings, int other_baud);
