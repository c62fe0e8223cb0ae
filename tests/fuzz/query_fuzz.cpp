// libFuzzer target: the clock query exchange against a scripted station line.
//
// Input layout (missing bytes read as zero):
//   0      flags: 1 fold the clock fields into their ranges, 2 the port fails,
//          4 reads fail, 8 the 32-bit millisecond count wraps 3 s in
//   1..24  local clock: year, month, day, hour, minute, second, int32 little-endian
//   25..26 when the port fails, in ms after the query starts (uint16)
//   27     count of stale bytes, then the stale bytes themselves
//   rest   pairs (delay, byte) of the station's stream; a delay below F0 is
//          in ms, F0..FE is 1..15 s, FF means this and every later byte
//          never arrives.
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "app/window.h"
#include "link/serial.h"
#include "station/clock_query.h"
#include "support/literals.h"
#include "tests/unit/fakes/fakes.h"

#define REQUIRE(condition)                                        \
    do {                                                          \
        if (!(condition)) {                                       \
            std::fprintf(stderr, "query_fuzz: %s\n", #condition); \
            __builtin_trap();                                     \
        }                                                         \
    } while (0)

namespace {

constexpr std::uint64_t Never = UINT64_MAX;
constexpr std::uint64_t SlackMs = 16;
constexpr char Untouched[] = "untouched";

class Input {
   public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    std::size_t Left() const
    {
        return size_ - at_;
    }

    std::uint8_t Byte()
    {
        return at_ < size_ ? data_[at_++] : 0;
    }

    std::uint32_t Word(int bytes)
    {
        std::uint32_t word = 0;
        for (int i = 0; i < bytes; ++i) word |= std::uint32_t(Byte()) << (8 * i);
        return word;
    }

   private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

std::uint64_t DelayMs(std::uint8_t code)
{
    if (code < 0xF0) return code;
    if (code < 0xFF) return std::uint64_t(code - 0xEF) * 1000;
    return Never;
}

// Reads a text piece by piece: literal pieces and decimal numbers written
// with an optional minus sign, no plus and no leading zeros.
class Matcher {
   public:
    explicit Matcher(const std::string& text) : text_(text) {}

    bool Literal(std::string_view piece)
    {
        if (text_.compare(at_, piece.size(), piece) != 0) return false;
        at_ += piece.size();
        return true;
    }

    // from_chars takes no plus sign and fails on overflow; leading zeros and -0 are refused here.
    bool Number(std::int64_t& value)
    {
        const char* start = text_.c_str() + at_;
        auto [end, error] = std::from_chars(start, text_.c_str() + text_.size(), value);
        const char* digits = start + (*start == '-' ? 1 : 0);
        if (error != std::errc() || (*digits == '0' && (end - digits > 1 || digits != start)))
            return false;
        at_ = std::size_t(end - text_.c_str());
        return true;
    }

    bool AtEnd() const
    {
        return at_ == text_.size();
    }

   private:
    const std::string& text_;
    std::size_t at_ = 0;
};

// "H:M:S   Delta Nc. D/M/20Y"; the fields come back in frame order.
bool MatchStationTime(const std::string& text, std::int64_t (&fields)[6])
{
    Matcher m(text);
    std::int64_t delta = 0;
    return m.Number(fields[0]) && m.Literal(":") && m.Number(fields[1]) && m.Literal(":") &&
           m.Number(fields[2]) && m.Literal("   Delta ") && m.Number(delta) && m.Literal("c. ") &&
           m.Number(fields[3]) && m.Literal("/") && m.Number(fields[4]) && m.Literal("/20") &&
           m.Number(fields[5]) && m.AtEnd();
}

bool MatchElapsed(const std::string& text, std::int64_t& days, std::int64_t& seconds)
{
    Matcher m(text);
    return m.Literal(ElapsedPrefix) && m.Number(days) && m.Literal(ElapsedDays) &&
           m.Number(seconds) && m.Literal(ElapsedSeconds) && m.AtEnd();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using fake::state;
    Input input(data, size);

    fake::Reset();
    std::uint8_t flags = input.Byte();
    std::int32_t clock[6];
    for (std::int32_t& field : clock) field = std::int32_t(input.Word(4));
    const std::int32_t low[6] = {1970, 1, 1, 0, 0, 0};
    const std::uint32_t range[6] = {69, 12, 31, 24, 60, 60};
    for (int i = 0; (flags & 1) && i < 6; ++i)
        clock[i] = low[i] + std::int32_t(std::uint32_t(clock[i]) % range[i]);
    state.localClock = {clock[0], clock[1], clock[2], clock[3], clock[4], clock[5]};

    if (flags & 8) state.nowMs = (std::uint64_t{1} << 32) - 3000;
    const std::uint64_t start = state.nowMs;
    std::uint64_t failsAfterMs = input.Word(2);
    if (flags & 2) state.portFailsAtMs = start + failsAfterMs;
    state.readsFail = (flags & 4) != 0;

    std::vector<std::uint8_t> script;
    std::size_t staleCount = input.Byte();
    if (staleCount > input.Left()) staleCount = input.Left();
    for (std::size_t i = 0; i < staleCount; ++i) {
        script.push_back(input.Byte());
        state.incoming.push_back({0, script.back()});
    }
    std::uint64_t arrival = start;
    while (input.Left() >= 2) {
        std::uint64_t delay = DelayMs(input.Byte());
        arrival = delay == Never || arrival == Never ? Never : arrival + delay;
        script.push_back(input.Byte());
        state.incoming.push_back({arrival, script.back()});
    }

    state.devices["COM1"] = true;
    REQUIRE(OpenPort(StationPort, "COM1", 1200, 0, 8, 1.0, 0, 256, 256) != 0);
    SetControlText(StationTimeLabel, Untouched);
    SetControlText(ElapsedLabel, Untouched);
    state.textChanges.clear();

    RunClockQuery();

    REQUIRE(state.blockingReads == 0);
    // A status query that reports the failure ends the query at once.
    REQUIRE(state.readsAfterFailureReport == 0);
    REQUIRE(state.failureReports == 0 || state.nowMs <= state.firstFailureReportMs + 1);
    REQUIRE(state.nowMs - start <= 2 * ReplyFrameLimitMs + ReplyStartLimitMs + SlackMs);
    REQUIRE(state.messages.empty());
    // A read failure while flushing may stop the query before it is sent.
    REQUIRE(state.written.size() == 1 || (state.readsFail && state.written.empty()));
    for (const fake::TimedByte& sent : state.written) REQUIRE(sent.byte == QueryCommand);

    const std::string& timeText = state.controls[StationTimeLabel].text;
    const std::string& elapsedText = state.controls[ElapsedLabel].text;
    if (state.textChanges.empty()) {
        REQUIRE(timeText == Untouched && elapsedText == Untouched);
        return 0;
    }
    REQUIRE(state.textChanges.size() == 2);
    REQUIRE(state.textChanges[0].first == StationTimeLabel);
    REQUIRE(state.textChanges[1].first == ElapsedLabel);
    REQUIRE(!state.readsFail);
    REQUIRE(state.failureReports == 0);

    // The frame is the last 13 bytes taken from the line, and none of them
    // was waiting before the query.
    std::size_t consumed = script.size() - state.incoming.size();
    REQUIRE(consumed >= staleCount + 1 + ReplyDataBytes);
    const std::uint8_t* frame = script.data() + consumed - 1 - ReplyDataBytes;
    REQUIRE(frame[0] == ReplyStartByte);

    std::int64_t fields[6];
    REQUIRE(MatchStationTime(timeText, fields));
    for (int i = 0; i < 6; ++i) REQUIRE(fields[i] == std::int8_t(frame[1 + i]));

    std::int64_t days = 0;
    std::int64_t seconds = 0;
    REQUIRE(MatchElapsed(elapsedText, days, seconds));
    REQUIRE(days == seconds / 86400);
    return 0;
}
