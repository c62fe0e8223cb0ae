#include "support/text.h"

Text JoinText(std::initializer_list<std::string_view> pieces)
{
    std::size_t length = 0;
    for (std::string_view piece : pieces) length += piece.size();
    Text joined;
    joined.reserve(length);
    for (std::string_view piece : pieces) joined.append(piece);
    return joined;
}

Text DecimalText(std::int64_t value)
{
    // The magnitude as unsigned, so that the most negative value is exact.
    std::uint64_t magnitude = value < 0 ? 0 - std::uint64_t(value) : std::uint64_t(value);
    char digits[21];
    char* start = digits + sizeof digits;
    do {
        *--start = char('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (value < 0) *--start = '-';
    return Text(start, digits + sizeof digits);
}

Integer TextLength(const char* text)
{
    if (text == nullptr) return 0;
    return Integer(std::char_traits<char>::length(text));
}

Text RightText(const char* text, std::int32_t count)
{
    Integer length = TextLength(text);
    Integer taken = count < 0 ? 0 : (count > length ? length : count);
    if (taken == 0) return Text();
    return Text(text + (length - taken), std::size_t(taken));
}

namespace {

int DigitValue(char c, unsigned base)
{
    int value = -1;
    if (c >= '0' && c <= '9')
        value = c - '0';
    else if (c >= 'A' && c <= 'F')
        value = c - 'A' + 10;
    else if (c >= 'a' && c <= 'f')
        value = c - 'a' + 10;
    return value >= 0 && unsigned(value) < base ? value : -1;
}

}  // namespace

std::int64_t TextValue(const char* text)
{
    if (text == nullptr) return 0;
    const char* at = text;
    while (*at == ' ' || *at == '\t') ++at;
    bool negative = false;
    if (*at == '-') {
        negative = true;
        ++at;
    } else if (*at == '+') {
        ++at;
    }
    unsigned base = 10;
    if (*at == '$') {
        base = 16;
        ++at;
    } else if (*at == '%') {
        base = 2;
        ++at;
    }
    std::uint64_t value = 0;
    for (int digit; (digit = DigitValue(*at, base)) >= 0; ++at)
        value = value * base + unsigned(digit);
    if (negative) value = 0 - value;
    return std::int64_t(value);
}

Integer TwoDigitYear(Integer year)
{
    return Integer(TextValue(RightText(DecimalText(year).c_str(), 2).c_str()));
}
