// Exact parsers for the typed columns. Each accepts only a text that its
// value would give back unchanged (up to the letter case of a bool, the
// trailing zeros of a fraction and the UTC conversion of an offset), so
// that a column typed by them loses no information.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace gleave::table {

inline bool is_digit(char c) noexcept {
  return static_cast<unsigned char>(c - '0') < 10;
}

// -?(0|[1-9][0-9]*) within int64, and not "-0": exactly the text an int64
// prints as.
inline bool parse_int64(std::string_view s, std::int64_t& out) noexcept {
  const char* p = s.data();
  const char* const end = p + s.size();
  const bool negative = p != end && *p == '-';
  if (negative) ++p;
  const std::size_t digits = static_cast<std::size_t>(end - p);
  if (digits == 0 || digits > 19) return false;
  if (*p == '0' && (digits > 1 || negative)) return false;
  std::uint64_t v = 0;  // nineteen digits cannot overflow 64 bits
  for (; p != end; ++p) {
    if (!is_digit(*p)) return false;
    v = v * 10 + static_cast<std::uint64_t>(*p - '0');
  }
  constexpr std::uint64_t kMax = 9223372036854775807ULL;
  if (v > kMax + (negative ? 1 : 0)) return false;
  out = negative ? static_cast<std::int64_t>(0 - v) : static_cast<std::int64_t>(v);
  return true;
}

// true or false, in any letter case.
inline bool parse_bool(std::string_view s, bool& out) noexcept {
  auto lower = [](char c) { return static_cast<char>(c | 0x20); };
  if (s.size() == 4 && lower(s[0]) == 't' && lower(s[1]) == 'r' && lower(s[2]) == 'u' &&
      lower(s[3]) == 'e') {
    out = true;
    return true;
  }
  if (s.size() == 5 && lower(s[0]) == 'f' && lower(s[1]) == 'a' && lower(s[2]) == 'l' &&
      lower(s[3]) == 's' && lower(s[4]) == 'e') {
    out = false;
    return true;
  }
  return false;
}

// A decimal number: -?, an integer part that is empty, "0" or starts with
// 1-9, an optional decimal mark ('.' or ',') with digits, at least one digit
// in all, an optional exponent e/E[+-]digits. No plus sign, no leading
// zeros, no nan/inf words. The double must stand for the same decimal
// value: fifteen significant digits always do; longer texts are checked by
// printing the double back.
bool parse_float64(std::string_view s, char decimal_mark, double& out) noexcept;

// Whether parse_float64 would accept a text, decided without converting it
// when it can be: the grammar, and the fifteen-digit rule that makes the
// nearest double exact. Only longer texts go through the full check.
bool is_float64(std::string_view s, char decimal_mark) noexcept;

// The value of a text parse_float64 accepts (anything else gives 0). Texts
// of at most fifteen significant digits and a small power of ten are
// converted with one correctly rounded multiplication or division, others
// by std::from_chars: the same double either way.
double float64_value(std::string_view s, char decimal_mark) noexcept;

// is_float64 and float64_value in one reading of the text: false when
// is_float64 is, else true with `out` the value float64_value gives.
bool float64_checked(std::string_view s, char decimal_mark, double& out) noexcept;

// YYYY-MM-DD, a real date of the years 0001 to 9999; days since 1970-01-01.
bool parse_date32(std::string_view s, std::int32_t& out) noexcept;

struct TimestampValue {
  std::int64_t seconds = 0;  // since 1970-01-01T00:00:00, in UTC when has_offset
  std::uint32_t nanos = 0;
  std::uint8_t fraction_digits = 0;
  bool has_offset = false;  // Z or +-HH:MM
};

// YYYY-MM-DD, 'T' or ' ', HH:MM[:SS[.fraction of 1 to 9 digits]], then
// optionally Z or +HH:MM / -HH:MM (converted to UTC).
bool parse_timestamp(std::string_view s, TimestampValue& out) noexcept;

}  // namespace gleave::table
