#include "station/clock_query.h"

#include "app/window.h"
#include "link/port_selection.h"
#include "link/serial.h"
#include "station/pause.h"
#include "support/literals.h"

namespace {

// Polling interval while a frame byte is awaited.
constexpr std::uint32_t BytePollMs = 1;

DateSeconds ReplyDate(const std::int8_t* fields)
{
    // Fields in frame order: hour, minute, second, day, month, year - 2000.
    return DateFromFields(2000 + fields[5], fields[4], fields[3], fields[0], fields[1], fields[2]);
}

// Whether limitMs have passed since the reading start, also across the wrap
// of the millisecond count.
bool LimitPassed(std::uint32_t start, std::uint32_t limitMs)
{
    return std::uint32_t(MonotonicMs() - start) >= limitMs;
}

// Discards what is waiting, never asking for more than is there. A line that
// keeps delivering is drained only for the frame's time limit.
bool FlushInput()
{
    std::uint32_t start = MonotonicMs();
    std::uint8_t discard[64];
    for (Integer waiting; (waiting = PendingInput(StationPort)) > 0;) {
        Integer count = waiting < Integer(sizeof discard) ? waiting : Integer(sizeof discard);
        if (ReadPort(StationPort, discard, count) != count) return false;
        if (LimitPassed(start, ReplyFrameLimitMs)) break;
    }
    return true;
}

// Reads one byte once it is waiting, so that the read cannot block. The
// frame's time limit from start holds also for a line that never stops
// delivering.
ReplyOutcome ReadWaitingByte(std::uint32_t start, std::uint8_t& byte)
{
    for (;;) {
        Integer waiting = PendingInput(StationPort);
        if (waiting < 0) return ReplyOutcome::PortFailed;
        if (LimitPassed(start, ReplyFrameLimitMs)) return ReplyOutcome::NoReply;
        if (waiting > 0)
            return ReadPort(StationPort, &byte, 1) == 1 ? ReplyOutcome::Received
                                                        : ReplyOutcome::PortFailed;
        PauseMs(BytePollMs);
    }
}

}  // namespace

ReplyOutcome ReceiveReply(StationReply& reply)
{
    if (!FlushInput()) return ReplyOutcome::PortFailed;
    SendStationByte(QueryCommand);

    std::uint32_t start = MonotonicMs();
    for (;;) {
        Integer waiting = PendingInput(StationPort);
        if (waiting < 0) return ReplyOutcome::PortFailed;
        if (waiting >= 3) break;
        if (LimitPassed(start, ReplyStartLimitMs)) return ReplyOutcome::NoReply;
    }

    start = MonotonicMs();
    std::uint8_t byte = 0;
    do {
        ReplyOutcome outcome = ReadWaitingByte(start, byte);
        if (outcome != ReplyOutcome::Received) return outcome;
    } while (byte != ReplyStartByte);
    for (std::int8_t& field : reply.data) {
        ReplyOutcome outcome = ReadWaitingByte(start, byte);
        if (outcome != ReplyOutcome::Received) return outcome;
        field = std::int8_t(byte);
    }
    return ReplyOutcome::Received;
}

Text StationTimeText(const StationReply& reply, Integer delta)
{
    const std::int8_t* d = reply.data;
    return JoinText({DecimalText(d[0]), ":", DecimalText(d[1]), ":", DecimalText(d[2]), "   Delta ",
                     DecimalText(delta), "c. ", DecimalText(d[3]), "/", DecimalText(d[4]), "/20",
                     DecimalText(d[5])});
}

Text ElapsedText(Integer elapsed)
{
    return JoinText({ElapsedPrefix, DecimalText(elapsed / SecondsPerDay), ElapsedDays,
                     DecimalText(elapsed), ElapsedSeconds});
}

void ShowReply(const StationReply& reply, DateSeconds now)
{
    DateSeconds stationTime = ReplyDate(reply.data);
    DateSeconds pcTime = now - PcTimeLag;
    SetControlText(StationTimeLabel, StationTimeText(reply, pcTime - stationTime).c_str());
    DateSeconds referenceTime = ReplyDate(reply.data + 6);
    SetControlText(ElapsedLabel, ElapsedText(pcTime - referenceTime).c_str());
}

void RunClockQuery()
{
    if (!IsPortOpen(StationPort)) {
        PortWarning();
        return;
    }
    StationReply reply{};
    if (ReceiveReply(reply) != ReplyOutcome::Received) return;
    ShowReply(reply, CurrentDate());
}
