#include "station.h"

#include <time.h>

#include <algorithm>
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
    return FieldsFromNaive(seconds) == fields;
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
    std::int64_t year, f[5];  // f: month, day, hour, minute, second after "-- ::" in turn
    if (text.size() != 19 || !ParseInteger(text.substr(0, 4), 1970, 2099, year)) return false;
    for (std::size_t i = 0; i < 5; ++i)
        if (text[4 + 3 * i] != "-- ::"[i] || !ParseInteger(text.substr(5 + 3 * i, 2), 0, 99, f[i]))
            return false;
    return NaiveFromFields({int(year), int(f[0]), int(f[1]), int(f[2]), int(f[3]), int(f[4])},
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

// One item of a mode: silent, KEY=N or field=I:V.
bool ParseItem(std::string_view item, ReplyMode& mode)
{
    if (item == "silent") return mode.silent = true;
    std::size_t equals = item.find('=');
    if (equals == std::string_view::npos) return false;
    std::string_view key = item.substr(0, equals);
    std::string_view value = item.substr(equals + 1);
    std::int64_t number;
    if (key == "field") {
        std::size_t colon = value.find(':');
        std::int64_t index;
        if (colon == std::string_view::npos ||
            !ParseInteger(value.substr(0, colon), 1, FrameSize - 1, index) ||
            !ParseInteger(value.substr(colon + 1), 0, 255, number))
            return false;
        mode.field[index] = std::uint8_t(number);
        return true;
    }
    if (!ParseInteger(value, 0, 600000, number)) return false;
    if (key == "delay") {
        mode.delay_ms = int(number);
    } else if (key == "stream") {
        mode.stream_ms = int(number);
    } else if (key == "prefix") {
        mode.prefix = int(number);
    } else if (key == "trailing") {
        mode.trailing = int(number);
    } else if (key == "short" && number <= FrameSize) {
        mode.length = int(number);
    } else if (key == "hangup" && number <= FrameSize) {
        mode.length = int(number);
        mode.hangup = true;
    } else {
        return false;
    }
    return true;
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

bool ParseModes(std::string_view list, std::vector<ReplyMode>& modes, std::string& error)
{
    modes.clear();
    for (std::size_t start = 0; start <= list.size();) {
        std::size_t comma = std::min(list.find(',', start), list.size());
        std::string_view text = list.substr(start, comma - start);
        start = comma + 1;
        modes.emplace_back().text = text;
        if (text == "normal") continue;
        for (std::size_t from = 0; from <= text.size();) {
            std::size_t plus = std::min(text.find('+', from), text.size());
            std::string_view item = text.substr(from, plus - from);
            from = plus + 1;
            if (!ParseItem(item, modes.back())) {
                error =
                    "bad item \"" + std::string(item) + "\" in mode \"" + std::string(text) + "\"";
                return false;
            }
        }
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
        std::size_t count = std::size_t(std::int64_t(mode.stream_ms) * 1000000 / ByteNs);
        for (std::size_t i = 0; i < count; ++i) out.push_back(JunkByte(i));
        return out;
    }
    for (int i = 0; i < mode.prefix; ++i) out.push_back(JunkByte(std::size_t(i)));
    for (int i = 0; i < mode.length; ++i) out.push_back(mode.field[i].value_or(frame[i]));
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
    constexpr speed_t Bother = 010000;  // from <asm/termbits.h>, which clashes with <termios.h>
    speed_t code = cfgetospeed(&settings);
    std::string baud = "?";
    for (const auto& s : speeds)
        if (s.code == code) baud = std::to_string(s.baud);
    if (code == Bother && other_baud > 0) baud = std::to_string(other_baud);

    tcflag_t size = settings.c_cflag & CSIZE;
    int bits = size == CS5 ? 5 : size == CS6 ? 6 : size == CS7 ? 7 : 8;
    char parity = !(settings.c_cflag & PARENB) ? 'N' : (settings.c_cflag & PARODD) ? 'O' : 'E';
    char stop = (settings.c_cflag & CSTOPB) ? '2' : '1';
    return baud + " " + std::to_string(bits) + parity + stop;
}
