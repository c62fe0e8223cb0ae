#include "station.h"

#include <time.h>

#include <charconv>

bool ParseInteger(std::string_view text, std::int64_t low, std::int64_t high, std::int64_t& value)
{
    const char* end = text.data() + text.size();
    auto [stop, error] = std::from_chars(text.data(), end, value);
    return !text.empty() && error == std::errc() && stop == end && value >= low && value <= high;
}

bool NaiveFromFields(const Fields& fields, std::int64_t& seconds)
{
    tm broken{};
    broken.tm_year = fields.year - 1900;
    broken.tm_mon = fields.month - 1;
    broken.tm_mday = fields.day;
    broken.tm_hour = fields.hour;
    broken.tm_min = fields.minute;
    broken.tm_sec = fields.second;
    seconds = timegm(&broken);
    // timegm carries a field out of its range into the next one: a real date
    // comes back unchanged.
    Fields back = FieldsFromNaive(seconds);
    return back.year == fields.year && back.month == fields.month && back.day == fields.day &&
           back.hour == fields.hour && back.minute == fields.minute && back.second == fields.second;
}

Fields FieldsFromNaive(std::int64_t seconds)
{
    time_t t = seconds;
    tm broken{};
    gmtime_r(&t, &broken);
    return {broken.tm_year + 1900, broken.tm_mon + 1, broken.tm_mday,
            broken.tm_hour,        broken.tm_min,     broken.tm_sec};
}

bool NaiveFromText(std::string_view text, std::int64_t& seconds)
{
    if (text.size() != 19 || text[4] != '-' || text[7] != '-' || text[10] != ' ' ||
        text[13] != ':' || text[16] != ':')
        return false;
    std::int64_t year, month, day, hour, minute, second;
    if (!ParseInteger(text.substr(0, 4), 1970, 2099, year) ||
        !ParseInteger(text.substr(5, 2), 0, 99, month) ||
        !ParseInteger(text.substr(8, 2), 0, 99, day) ||
        !ParseInteger(text.substr(11, 2), 0, 99, hour) ||
        !ParseInteger(text.substr(14, 2), 0, 99, minute) ||
        !ParseInteger(text.substr(17, 2), 0, 99, second))
        return false;
    return NaiveFromFields({int(year), int(month), int(day), int(hour), int(minute), int(second)},
                           seconds);
}

std::int64_t LocalNaiveMs(std::chrono::system_clock::time_point wall)
{
    // Whole seconds rounded down, so the milliseconds are never negative.
    auto seconds = std::chrono::floor<std::chrono::seconds>(wall);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(wall - seconds).count();
    time_t t = time_t(seconds.time_since_epoch().count());
    tm local{};
    localtime_r(&t, &local);
    return std::int64_t(timegm(&local)) * 1000 + ms;
}

std::int64_t StationSeconds(const StationClock& clock, std::int64_t local_ms)
{
    std::int64_t ms = local_ms + clock.offset_ms;
    return ms / 1000 - (ms % 1000 < 0 ? 1 : 0);
}

bool NaiveFromSetBytes(const std::uint8_t* bytes, std::int64_t& seconds)
{
    Fields fields{2000 + bytes[5], bytes[4], bytes[3], bytes[0], bytes[1], bytes[2]};
    return fields.year <= 2099 && NaiveFromFields(fields, seconds);
}

void SetStationClock(StationClock& clock, std::int64_t seconds, std::int64_t local_ms)
{
    clock.offset_ms = seconds * 1000 - local_ms;
    clock.reference = seconds;
}

namespace {

void PutFields(std::uint8_t* out, std::int64_t seconds)
{
    Fields f = FieldsFromNaive(seconds);
    // Two-digit year: year - 2000 for the station's own century.
    int values[SetFieldCount] = {f.hour, f.minute, f.second, f.day, f.month, f.year % 100};
    for (int i = 0; i < SetFieldCount; ++i) out[i] = std::uint8_t(values[i]);
}

}  // namespace

Frame BuildFrame(std::int64_t clock_seconds, std::int64_t reference_seconds)
{
    Frame frame{};
    frame[0] = StartByte;
    PutFields(&frame[1], clock_seconds);
    PutFields(&frame[1 + SetFieldCount], reference_seconds);
    return frame;
}

namespace {

bool ParseMode(std::string_view text, ReplyMode& mode, std::string& error)
{
    mode = ReplyMode();
    mode.text = std::string(text);
    auto fail = [&](std::string_view why) {
        error = "mode \"" + mode.text + "\": " + std::string(why);
        return false;
    };
    if (text == "normal") return true;

    unsigned seen = 0;  // one bit per key, field= excepted
    for (std::size_t start = 0; start <= text.size();) {
        std::size_t plus = text.find('+', start);
        if (plus == std::string_view::npos) plus = text.size();
        std::string_view item = text.substr(start, plus - start);
        start = plus + 1;

        std::size_t equals = item.find('=');
        std::string_view key = item.substr(0, equals);
        std::string_view value = equals == std::string_view::npos ? "" : item.substr(equals + 1);

        static constexpr std::string_view keys[] = {"silent",   "delay",  "short", "prefix",
                                                    "trailing", "stream", "hangup"};
        static constexpr std::int64_t highs[] = {0,      600000, FrameSize, 100000,
                                                 100000, 600000, FrameSize};
        int* targets[] = {nullptr,        &mode.delay_ms,  &mode.length, &mode.prefix,
                          &mode.trailing, &mode.stream_ms, &mode.hangup};
        if (key == "field") {
            std::size_t colon = value.find(':');
            std::int64_t index, byte;
            if (colon == std::string_view::npos ||
                !ParseInteger(value.substr(0, colon), 1, FrameSize - 1, index) ||
                !ParseInteger(value.substr(colon + 1), 0, 255, byte))
                return fail("field=I:V needs I in 1..12 and V in 0..255");
            mode.field[index] = int(byte);
            continue;
        }
        std::size_t k = 0;
        while (k < std::size(keys) && keys[k] != key) ++k;
        if (k == std::size(keys)) return fail("unknown item \"" + std::string(item) + "\"");
        if (seen & (1u << k)) return fail("\"" + std::string(key) + "\" given twice");
        seen |= 1u << k;
        if (targets[k] == nullptr) {
            if (equals != std::string_view::npos) return fail("silent takes no value");
            mode.silent = true;
            continue;
        }
        std::int64_t number;
        if (!ParseInteger(value, 0, highs[k], number))
            return fail(std::string(key) + " needs a number from 0 to " + std::to_string(highs[k]));
        *targets[k] = int(number);
    }

    bool frame_items = mode.length != FrameSize || mode.prefix || mode.trailing ||
                       mode.hangup >= 0 || mode.field != ReplyMode().field;
    if (mode.silent && (seen != 1u || frame_items)) return fail("silent takes nothing else");
    if (mode.stream_ms >= 0 && frame_items) return fail("stream takes only delay");
    if (mode.hangup >= 0 && (mode.length != FrameSize || mode.trailing))
        return fail("hangup takes neither short nor trailing");
    return true;
}

}  // namespace

bool ParseModes(std::string_view list, std::vector<ReplyMode>& modes, std::string& error)
{
    modes.clear();
    for (std::size_t start = 0; start <= list.size();) {
        std::size_t comma = list.find(',', start);
        if (comma == std::string_view::npos) comma = list.size();
        std::string_view text = list.substr(start, comma - start);
        if (text.empty()) {
            error = "empty mode in \"" + std::string(list) + "\"";
            return false;
        }
        modes.emplace_back();
        if (!ParseMode(text, modes.back(), error)) return false;
        start = comma + 1;
    }
    return true;
}

const ReplyMode& ModeForQuery(const std::vector<ReplyMode>& modes, std::int64_t query)
{
    std::size_t index = query < 1 ? 0 : std::size_t(query - 1);
    return modes[index < modes.size() ? index : modes.size() - 1];
}

std::uint8_t JunkByte(std::size_t index)
{
    static constexpr std::uint8_t junk[] = {0x55, 0xAA, 0x00, 0xFF};
    return junk[index % std::size(junk)];
}

std::vector<std::uint8_t> ReplyBytes(const ReplyMode& mode, const Frame& frame)
{
    std::vector<std::uint8_t> out;
    if (mode.silent) return out;
    if (mode.stream_ms >= 0) {
        std::size_t count = std::size_t(mode.stream_ms * 1000000 / ByteNs);
        for (std::size_t i = 0; i < count; ++i) out.push_back(JunkByte(i));
        return out;
    }
    for (int i = 0; i < mode.prefix; ++i) out.push_back(JunkByte(std::size_t(i)));
    int length = mode.hangup >= 0 ? mode.hangup : mode.length;
    for (int i = 0; i < length; ++i)
        out.push_back(mode.field[i] >= 0 ? std::uint8_t(mode.field[i]) : frame[i]);
    if (mode.hangup < 0)
        for (int i = 0; i < mode.trailing; ++i) out.push_back(JunkByte(std::size_t(i)));
    return out;
}

std::string SettingsText(const termios& settings, int other_baud)
{
    static constexpr struct {
        speed_t code;
        int baud;
    } speeds[] = {{B0, 0},         {B50, 50},         {B75, 75},         {B110, 110},
                  {B134, 134},     {B150, 150},       {B200, 200},       {B300, 300},
                  {B600, 600},     {B1200, 1200},     {B1800, 1800},     {B2400, 2400},
                  {B4800, 4800},   {B9600, 9600},     {B19200, 19200},   {B38400, 38400},
                  {B57600, 57600}, {B115200, 115200}, {B230400, 230400}, {B460800, 460800}};
    speed_t code = cfgetospeed(&settings);
    std::string baud = "?";
    for (const auto& s : speeds)
        if (s.code == code) baud = std::to_string(s.baud);
    if (code == OtherSpeedCode && other_baud > 0) baud = std::to_string(other_baud);

    int bits = 8;
    switch (settings.c_cflag & CSIZE) {
        case CS5:
            bits = 5;
            break;
        case CS6:
            bits = 6;
            break;
        case CS7:
            bits = 7;
            break;
    }
    char parity = !(settings.c_cflag & PARENB) ? 'N' : (settings.c_cflag & PARODD) ? 'O' : 'E';
    char stop = (settings.c_cflag & CSTOPB) ? '2' : '1';
    return baud + " " + std::to_string(bits) + parity + stop;
}
