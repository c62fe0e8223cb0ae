// Texts: zero-terminated single-byte strings in code page 1251, owned by
// whoever holds them. A null pointer stands for the empty text.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

#include "support/integer.h"

using Text = std::string;

Text JoinText(std::initializer_list<std::string_view> pieces);
Text DecimalText(std::int64_t value);
Integer TextLength(const char* text);
Text RightText(const char* text, std::int32_t count);
// Reads one number from the start of the text: blanks and tabs, one sign,
// then "$" hexadecimal, "%" binary or decimal digits; wraps modulo 2^64.
std::int64_t TextValue(const char* text);
// The last two decimal digits of the year, read back as a number.
Integer TwoDigitYear(Integer year);
