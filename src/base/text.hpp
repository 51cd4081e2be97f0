#pragma once
// Message templates use "{}" placeholders filled in order.
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "format/header.hpp"

namespace zorvik::text {

// Replaces each "{}" of `tmpl` by the next argument, in order.
std::string fill(std::string_view tmpl, std::initializer_list<std::string_view> args);

// An operating-system error as "<description> (os error <n>)".
std::string os_error(int err);

// An optional "+" then one or more ASCII digits, below 2^64; nothing else.
std::optional<std::uint64_t> parse_count(std::string_view t);

std::string dec(std::uint64_t v);
std::string dec(format::u128 v);

// Marks a malformed UTF-8 sequence in next_code_point's result.
inline constexpr char32_t kMalformed = 0xFFFFFFFF;

// Decodes the UTF-8 sequence at s[i] and moves i past it. A truncated, overlong or
// otherwise malformed sequence, a surrogate or a value above U+10FFFF gives kMalformed
// and moves i by one byte.
char32_t next_code_point(std::string_view s, std::size_t& i);

// True when `s` is well-formed UTF-8 throughout.
bool valid_utf8(std::string_view s);

// Two lowercase hexadecimal digits a byte, high nibble first.
std::string hex(std::span<const unsigned char> bytes);

// Fixed notation with `digits` decimals, rounding as printf does.
std::string fixed(double v, int digits);

}  // namespace zorvik::text
