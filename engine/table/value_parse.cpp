#include "engine/table/value_parse.hpp"

#include <charconv>
#include <cstring>

namespace gleave::table {

namespace {

// A decimal value as its significant digits d1 d2 ... dn (no leading or
// trailing zeros) and the power of ten of d1; zero has no digits.
struct Decimal {
  char digits[800];
  std::size_t count = 0;
  long exponent = 0;
};

// Splits a text already known to follow the float grammar (or printed by
// std::to_chars) into its Decimal. False when it does not fit.
bool to_decimal(std::string_view s, Decimal& d) noexcept {
  const std::size_t n = s.size();
  std::size_t i = n != 0 && s[0] == '-' ? 1 : 0;
  std::size_t j = i;
  while (j < n && is_digit(s[j])) ++j;
  long power = static_cast<long>(j - i) - 1;  // of the digit at i
  bool started = false;
  std::size_t zeros_pending = 0;
  for (; i < n; ++i) {
    const char c = s[i];
    if (c == '.' || c == ',') continue;
    if (!is_digit(c)) break;
    if (!started) {
      if (c == '0') {
        --power;
        continue;
      }
      started = true;
      d.exponent = power;
    }
    if (c == '0') {
      ++zeros_pending;
      continue;
    }
    if (d.count + zeros_pending + 1 > sizeof d.digits) return false;
    for (; zeros_pending > 0; --zeros_pending) d.digits[d.count++] = '0';
    d.digits[d.count++] = c;
  }
  if (!started) {  // zero
    d.count = 0;
    d.exponent = 0;
    return true;
  }
  if (i < n) {  // the exponent part: e or E, an optional sign, digits
    ++i;
    bool neg = false;
    if (i < n && (s[i] == '+' || s[i] == '-')) neg = s[i++] == '-';
    long e = 0;
    for (; i < n; ++i) {
      if (e > 100000) return false;
      e = e * 10 + (s[i] - '0');
    }
    d.exponent += neg ? -e : e;
  }
  return true;
}

}  // namespace

namespace {

// A text split along the float grammar: its digits from the first nonzero
// one on (as a number while there are at most nineteen), where they stand,
// and the exponent.
struct FloatText {
  const char* mark = nullptr;   // the decimal mark, if any
  std::uint64_t digits = 0;     // the digits from the first nonzero one, when at most nineteen
  std::size_t count = 0;        // how many digits from the first nonzero one
  std::size_t significant = 0;  // the same up to the last nonzero one
  long first_power = 0;         // power of ten of the first nonzero digit
  long last_power = 0;          // power of ten of the last digit written
  long exponent = 0;            // the e part, saturated
  bool negative = false;
};

// False when the text does not follow the grammar.
bool scan_float(std::string_view s, char decimal_mark, FloatText& t) noexcept {
  const char* p = s.data();
  const char* const end = p + s.size();
  const bool negative = p != end && *p == '-';
  if (negative) ++p;
  std::uint64_t digits = 0;
  std::size_t count = 0, significant = 0, index = 0, first_index = 0;
  auto take = [&](unsigned d) {
    if (count == 0) {
      if (d == 0) {  // a leading zero
        ++index;
        return;
      }
      first_index = index;
    }
    ++index;
    ++count;
    if (count <= 19) digits = digits * 10 + d;
    if (d != 0) significant = count;
  };
  const char* const int_begin = p;
  for (unsigned d; p != end && (d = static_cast<unsigned>(*p - '0')) < 10; ++p) take(d);
  const long int_len = static_cast<long>(p - int_begin);
  if (int_len > 1 && *int_begin == '0') return false;
  long frac_len = 0;
  if (p != end && *p == decimal_mark) {
    t.mark = p++;
    const char* const frac_begin = p;
    for (unsigned d; p != end && (d = static_cast<unsigned>(*p - '0')) < 10; ++p) take(d);
    frac_len = static_cast<long>(p - frac_begin);
  }
  if (int_len + frac_len == 0) return false;
  if (p != end) {
    if (*p != 'e' && *p != 'E') return false;
    ++p;
    bool neg = false;
    if (p != end && (*p == '+' || *p == '-')) neg = *p++ == '-';
    const char* const exp_begin = p;
    long e = 0;
    while (p != end && is_digit(*p)) {
      if (e < 100000) e = e * 10 + (*p - '0');
      ++p;
    }
    if (p == exp_begin || p != end) return false;
    t.exponent = neg ? -e : e;
  }
  t.negative = negative;
  t.digits = digits;
  t.count = count;
  t.significant = significant;
  t.first_power = int_len - 1 - static_cast<long>(first_index);
  t.last_power = -frac_len;
  return true;
}

// Fifteen significant digits well inside the normal range always come back
// from the nearest double; zero too.
bool is_short(const FloatText& t) noexcept {
  if (t.significant == 0) return true;
  const long power = t.first_power + t.exponent;
  return t.significant <= 15 && power > -300 && power < 300;
}

// from_chars on the text, with a decimal comma made a point.
bool convert(std::string_view s, const FloatText& t, char decimal_mark, double& out) noexcept {
  char local[128];
  std::string_view text = s;
  if (t.mark != nullptr && decimal_mark != '.') {
    if (s.size() > sizeof local) return false;
    std::memcpy(local, s.data(), s.size());
    local[t.mark - s.data()] = '.';
    text = std::string_view(local, s.size());
  }
  const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
  return ec == std::errc() && ptr == text.data() + text.size();
}

// Slow path: print the double in its shortest form and compare the digits:
// a value exactly representable but printed otherwise (2^63 comes back as
// 9.223372036854776e18) would not read back as the same text.
bool reads_back(std::string_view s, double value) noexcept {
  Decimal written, printed;
  if (!to_decimal(s, written)) return false;
  char buf[64];
  const auto printed_end =
      std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
  if (printed_end.ec != std::errc()) return false;
  if (!to_decimal(std::string_view(buf, static_cast<std::size_t>(printed_end.ptr - buf)), printed))
    return false;
  return written.count == printed.count && written.exponent == printed.exponent &&
         std::memcmp(written.digits, printed.digits, written.count) == 0;
}

constexpr double kPowersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                   1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                   1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

}  // namespace

bool parse_float64(std::string_view s, char decimal_mark, double& out) noexcept {
  FloatText t;
  if (!scan_float(s, decimal_mark, t) || !convert(s, t, decimal_mark, out)) return false;
  return is_short(t) || reads_back(s, out);
}

bool is_float64(std::string_view s, char decimal_mark) noexcept {
  FloatText t;
  if (!scan_float(s, decimal_mark, t)) return false;
  if (is_short(t)) return true;
  double ignored;
  return convert(s, t, decimal_mark, ignored) && reads_back(s, ignored);
}

namespace {
// The value of a scanned text (see float64_value).
double value_of(std::string_view s, const FloatText& t, char decimal_mark) noexcept {
  if (t.significant == 0) return t.negative ? -0.0 : 0.0;
  // digits < 10^15 < 2^53 and 10^|power| <= 10^22 are exact doubles, so
  // one IEEE operation gives the correctly rounded value.
  long power = t.last_power + t.exponent;
  if (t.significant <= 15 && t.count <= 19) {
    std::uint64_t digits = t.digits;
    for (std::size_t zeros = t.count - t.significant; zeros > 0; --zeros, ++power) digits /= 10;
    if (power >= -22 && power <= 22) {
      const double d = static_cast<double>(digits);
      const double v = power >= 0 ? d * kPowersOfTen[power] : d / kPowersOfTen[-power];
      return t.negative ? -v : v;
    }
  }
  double out = 0;
  if (!convert(s, t, decimal_mark, out)) return 0;
  return out;
}
}  // namespace

double float64_value(std::string_view s, char decimal_mark) noexcept {
  FloatText t;
  if (!scan_float(s, decimal_mark, t)) return 0;
  return value_of(s, t, decimal_mark);
}

bool float64_checked(std::string_view s, char decimal_mark, double& out) noexcept {
  FloatText t;
  if (!scan_float(s, decimal_mark, t)) return false;
  if (!is_short(t)) {
    double read;
    if (!convert(s, t, decimal_mark, read) || !reads_back(s, read)) return false;
  }
  out = value_of(s, t, decimal_mark);
  return true;
}

namespace {

// Days from 1970-01-01 to y-m-d in the proleptic Gregorian calendar.
std::int64_t days_from_civil(int y, unsigned m, unsigned d) noexcept {
  y -= m <= 2;
  const int era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return static_cast<std::int64_t>(era) * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

bool two_digits(const char* p, unsigned& out) noexcept {
  if (!is_digit(p[0]) || !is_digit(p[1])) return false;
  out = static_cast<unsigned>((p[0] - '0') * 10 + (p[1] - '0'));
  return true;
}

bool date_prefix(std::string_view s, std::int64_t& days) noexcept {
  if (s.size() < 10 || s[4] != '-' || s[7] != '-') return false;
  unsigned y_hi, y_lo, m, d;
  if (!two_digits(s.data(), y_hi) || !two_digits(s.data() + 2, y_lo) ||
      !two_digits(s.data() + 5, m) || !two_digits(s.data() + 8, d))
    return false;
  const unsigned y = y_hi * 100 + y_lo;
  if (y == 0 || m == 0 || m > 12 || d == 0) return false;
  static constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  if (d > kDays[m - 1] + (m == 2 && leap ? 1 : 0)) return false;
  days = days_from_civil(static_cast<int>(y), m, d);
  return true;
}

}  // namespace

bool parse_date32(std::string_view s, std::int32_t& out) noexcept {
  std::int64_t days;
  if (s.size() != 10 || !date_prefix(s, days)) return false;
  out = static_cast<std::int32_t>(days);
  return true;
}

bool parse_timestamp(std::string_view s, TimestampValue& out) noexcept {
  std::int64_t days;
  if (s.size() < 16 || (s[10] != 'T' && s[10] != ' ') || !date_prefix(s, days)) return false;
  unsigned h, m, sec = 0;
  if (!two_digits(s.data() + 11, h) || s[13] != ':' || !two_digits(s.data() + 14, m) || h > 23 ||
      m > 59)
    return false;
  std::size_t i = 16;
  std::uint32_t nanos = 0;
  unsigned fraction_digits = 0;
  if (i < s.size() && s[i] == ':') {
    if (s.size() < i + 3 || !two_digits(s.data() + i + 1, sec) || sec > 59) return false;
    i += 3;
    if (i < s.size() && s[i] == '.') {
      ++i;
      while (i < s.size() && is_digit(s[i])) {
        if (++fraction_digits > 9) return false;
        nanos = nanos * 10 + static_cast<std::uint32_t>(s[i] - '0');
        ++i;
      }
      if (fraction_digits == 0) return false;
      for (unsigned k = fraction_digits; k < 9; ++k) nanos *= 10;
    }
  }
  std::int64_t offset = 0;
  bool has_offset = false;
  if (i < s.size()) {
    if (s[i] == 'Z') {
      has_offset = true;
      ++i;
    } else if (s[i] == '+' || s[i] == '-') {
      unsigned oh, om;
      if (s.size() != i + 6 || !two_digits(s.data() + i + 1, oh) || s[i + 3] != ':' ||
          !two_digits(s.data() + i + 4, om) || oh > 23 || om > 59)
        return false;
      offset = (s[i] == '-' ? -1 : 1) * static_cast<std::int64_t>(oh * 3600 + om * 60);
      has_offset = true;
      i += 6;
    }
    if (i != s.size()) return false;
  }
  out.seconds = days * 86400 + h * 3600 + m * 60 + sec - offset;
  out.nanos = nanos;
  out.fraction_digits = static_cast<std::uint8_t>(fraction_digits);
  out.has_offset = has_offset;
  return true;
}

}  // namespace gleave::table
