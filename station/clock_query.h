// The clock query exchange: ask the station for its clock and show its
// time, its distance from the computer's clock and the time elapsed since
// its second timestamp.
#pragma once

#include <cstdint>

#include "support/calendar.h"
#include "support/text.h"

constexpr std::uint8_t QueryCommand = 100;
constexpr std::uint8_t ReplyStartByte = 91;
constexpr int ReplyDataBytes = 12;
// The computer's clock is read this many seconds behind.
constexpr DateSeconds PcTimeLag = 2;

// How long a query waits: for the reply to begin (3 bytes waiting) after the
// command, and then for the rest of the frame.
constexpr std::uint32_t ReplyStartLimitMs = 5000;
constexpr std::uint32_t ReplyFrameLimitMs = 2000;

// Runs the exchange on StationPort, or shows the port warning when it is
// closed. When the station does not answer within the limits, or the port
// fails, both labels keep their texts.
void RunClockQuery();

// The reply's data bytes, offsets 1 to 12 of the frame, as signed values.
struct StationReply {
    std::int8_t data[ReplyDataBytes];
};

enum class ReplyOutcome { Received, NoReply, PortFailed };

// Steps of the exchange, exposed for tests.
ReplyOutcome ReceiveReply(StationReply& reply);
Text StationTimeText(const StationReply& reply, Integer delta);
Text ElapsedText(Integer elapsed);
void ShowReply(const StationReply& reply, DateSeconds now);
