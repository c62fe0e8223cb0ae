#include "support/text.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "support/literals.h"

namespace {

constexpr std::int64_t Min64 = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t Max64 = std::numeric_limits<std::int64_t>::max();

TEST(Text, JoinsPieces)
{
    EXPECT_EQ(JoinText({}), "");
    EXPECT_EQ(JoinText({"COM", "", "12"}), "COM12");
    EXPECT_EQ(JoinText({ElapsedPrefix, "3", ElapsedDays}),
              "\xCF\xF0\xEE\xF8\xEB\xEE 3 \xE4\xED\xE5\xE9 (");
}

TEST(Text, DecimalTextOfExtremesAndStationBytes)
{
    EXPECT_EQ(DecimalText(0), "0");
    EXPECT_EQ(DecimalText(-1), "-1");
    EXPECT_EQ(DecimalText(86400), "86400");
    EXPECT_EQ(DecimalText(Min64), "-9223372036854775808");
    EXPECT_EQ(DecimalText(Max64), "9223372036854775807");
    EXPECT_EQ(DecimalText(std::int8_t(std::uint8_t{0x7F})), "127");
    EXPECT_EQ(DecimalText(std::int8_t(std::uint8_t{0x80})), "-128");
    EXPECT_EQ(DecimalText(std::int8_t(std::uint8_t{0xFF})), "-1");
}

// Powers of two and their neighbours, both signs, and a pseudo-random walk.
std::vector<std::int64_t> SpreadOfValues()
{
    std::vector<std::int64_t> values{0, Min64, Max64, Min64 + 1};
    for (int shift = 0; shift < 63; ++shift) {
        std::int64_t power = std::int64_t{1} << shift;
        for (std::int64_t v : {power, power - 1, power + 1}) {
            values.push_back(v);
            values.push_back(-v);
        }
    }
    std::uint64_t state = 88172645463325252u;
    for (int i = 0; i < 200; ++i) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        values.push_back(std::int64_t(state >> (i % 64)));
        values.push_back(std::int64_t(state));
    }
    return values;
}

TEST(Text, DecimalTextReadsBackAsTheSameValue)
{
    for (std::int64_t v : SpreadOfValues()) {
        Text text = DecimalText(v);
        EXPECT_EQ(text, std::to_string(v));
        EXPECT_EQ(TextValue(text.c_str()), v) << text;
    }
}

TEST(Text, LengthAndRightPart)
{
    EXPECT_EQ(TextLength(nullptr), 0);
    EXPECT_EQ(TextLength(""), 0);
    EXPECT_EQ(TextLength(ElapsedPrefix), 7);

    EXPECT_EQ(RightText("2013", 2), "13");
    EXPECT_EQ(RightText("2013", 4), "2013");
    EXPECT_EQ(RightText("2013", 10), "2013");
    EXPECT_EQ(RightText("2013", 0), "");
    EXPECT_EQ(RightText("2013", -5), "");
    EXPECT_EQ(RightText("2013", std::numeric_limits<std::int32_t>::min()), "");
    EXPECT_EQ(RightText(nullptr, 2), "");
    EXPECT_EQ(RightText("", 2), "");
}

TEST(Text, ValueReadsOneLeadingNumber)
{
    struct Case {
        const char* text;
        std::int64_t value;
    };
    const Case cases[] = {
        {"  -42abc", -42}, {"+7", 7},     {"--5", 0},  {"- 5", 0},  {"+-3", 0},  {"-+3", 0},
        {"", 0},           {"$1F", 31},   {"$1f", 31}, {"%101", 5}, {"%102", 2}, {"12 34", 12},
        {"\t9", 9},        {"-$10", -16}, {"$", 0},    {"$G1", 0},  {"abc", 0},  {"007", 7},
        {"1e3", 1},        {"$A", 10},    {"$a", 10},  {"$F", 15},  {"$f", 15},  {"$G", 0},
    };
    for (const Case& c : cases) EXPECT_EQ(TextValue(c.text), c.value) << '"' << c.text << '"';
    EXPECT_EQ(TextValue(nullptr), 0);
}

TEST(Text, ValueWrapsModulo2To64)
{
    EXPECT_EQ(TextValue("18446744073709551615"), -1);
    EXPECT_EQ(TextValue("18446744073709551616"), 0);
    EXPECT_EQ(TextValue("9223372036854775808"), Min64);
    EXPECT_EQ(TextValue("-9223372036854775808"), Min64);
    EXPECT_EQ(TextValue("$FFFFFFFFFFFFFFFF"), -1);
    EXPECT_EQ(TextValue("$7fffffffffffffff"), Max64);
    EXPECT_EQ(TextValue("$10000000000000001"), 1);
}

TEST(Text, TwoDigitYear)
{
    const std::pair<Integer, Integer> years[] = {{2013, 13}, {2009, 9},  {2005, 5},
                                                 {2000, 0},  {1999, 99}, {0, 0}};
    for (auto [year, twoDigits] : years) EXPECT_EQ(TwoDigitYear(year), twoDigits) << year;
    for (Integer year = 1970; year <= 2038; ++year) EXPECT_EQ(TwoDigitYear(year), year % 100);
}

}  // namespace
