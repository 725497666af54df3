#include "engine/dialect/cells.hpp"

#include <array>
#include <cstddef>
#include <cstdint>

namespace gleave::dialect {

namespace {

inline bool digit(unsigned char c) noexcept {
  return c >= '0' && c <= '9';
}

// Currency signs that stand before or after an amount: $, £ (C2 A3),
// € (E2 82 AC); returns the length of the sign at s[i], 0 for none.
std::size_t currency_at(std::string_view s, std::size_t i) noexcept {
  if (i < s.size() && s[i] == '$') return 1;
  if (s.substr(i, 2) == "\xC2\xA3") return 2;
  if (s.substr(i, 3) == "\xE2\x82\xAC") return 3;
  return 0;
}

bool equals_folded(std::string_view s, std::string_view lower) noexcept {
  if (s.size() != lower.size()) return false;
  for (std::size_t i = 0; i < s.size(); ++i) {
    const auto c = static_cast<unsigned char>(s[i]);
    const unsigned char f = c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c | 0x20) : c;
    if (f != static_cast<unsigned char>(lower[i])) return false;
  }
  return true;
}

bool is_word(std::string_view s) noexcept {
  if (s.size() > 6) return false;  // longer than the longest word below
  static constexpr std::string_view kWords[] = {"true", "false", "yes",  "no",   "na",   "n/a",
                                                "nan",  "null",  "none", "nil",  "-",    "--",
                                                "?",    "#n/a",  "inf",  "-inf", "wahr", "falsch"};
  for (const auto w : kWords) {
    if (equals_folded(s, w)) return true;
  }
  return false;
}

// Letters (any non-ASCII byte counts as part of a letter), digits, blanks and
// the punctuation of names, addresses, identifiers and URLs. Bytes that only
// separate fields (| TAB ^ ~ \) and a comma or semicolon not followed by a
// blank (as in prose) mark a field that was probably cut in the wrong place.
enum : std::uint8_t { kBad, kLetter, kPlain, kComma };
constexpr auto kTextClass = [] {
  std::array<std::uint8_t, 256> t{};
  for (int c = 0x80; c < 256; ++c) t[c] = kLetter;
  for (int c = 'a'; c <= 'z'; ++c) t[c] = t[c - 'a' + 'A'] = kLetter;
  for (int c = '0'; c <= '9'; ++c) t[c] = kPlain;
  for (const char c : std::string_view(" -_.'/()&+#@!?%*:=[]<>$\"")) {
    t[static_cast<unsigned char>(c)] = kPlain;
  }
  t[','] = t[';'] = kComma;
  return t;
}();

bool is_clean_text(std::string_view s) noexcept {
  // Text does not start with the punctuation that follows a word: a piece
  // that does was cut off behind a blank (`red :Olsen` under a blank).
  if (!s.empty() && (s[0] == ':' || s[0] == ',' || s[0] == ';')) return false;
  bool letter = false;
  for (std::size_t i = 0; i < s.size(); ++i) {
    switch (kTextClass[static_cast<unsigned char>(s[i])]) {
      case kLetter: letter = true; break;
      case kPlain: break;
      case kComma:
        if (i + 1 < s.size() && s[i + 1] == ' ') break;
        return false;
      default: return false;
    }
  }
  return letter;
}

// Pieces of clean text, each with a letter and none a value, one tab
// between each two: words with tabs between, not a tab-delimited row of
// typed columns (a tab file cut by a decimal comma leaves "5\t2,5").
bool tabbed_words(std::string_view s) noexcept {
  std::size_t pieces = 0;
  while (true) {
    const std::size_t tab = s.find('\t');
    const std::string_view piece = s.substr(0, tab);
    if (piece.empty() || piece.front() == ' ' || piece.back() == ' ' || !is_clean_text(piece) ||
        is_number(piece, true) || is_date_or_time(piece) || is_word(piece))
      return false;
    ++pieces;
    if (tab == std::string_view::npos) return pieces >= 2;
    s.remove_prefix(tab + 1);
  }
}

}  // namespace

bool is_number(std::string_view s, bool comma_ok) noexcept {
  std::size_t i = 0;
  const std::size_t n = s.size();
  if (i < n && (s[i] == '+' || s[i] == '-')) ++i;
  i += currency_at(s, i);
  if (i < n && (s[i] == '+' || s[i] == '-')) ++i;
  std::size_t digits = 0;
  bool last_sep = true;  // no separator may open the mantissa except before a digit
  bool any_sep = false;
  const std::size_t start = i;
  for (; i < n; ++i) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (digit(c)) {
      ++digits;
      last_sep = false;
    } else if (c == '.' || (c == ',' && comma_ok)) {
      if (last_sep && i != start) return false;  // two separators in a row
      last_sep = true;
      any_sep = true;
    } else {
      break;
    }
  }
  (void)any_sep;
  if (digits == 0 || last_sep) return false;
  // With two or more separators, all but the last group thousands: a run
  // of other than three digits after one is two numbers run together
  // ("1990,0.00").
  std::size_t run = 0, seps = 0;
  bool short_group = false;
  for (std::size_t k = start; k < i; ++k) {
    if (digit(static_cast<unsigned char>(s[k]))) {
      ++run;
      continue;
    }
    short_group = short_group || (seps > 0 && run != 3);
    ++seps;
    run = 0;
  }
  if (seps >= 2 && short_group) return false;
  if (i < n && (s[i] == 'e' || s[i] == 'E')) {
    std::size_t j = i + 1;
    if (j < n && (s[j] == '+' || s[j] == '-')) ++j;
    const std::size_t exp_start = j;
    while (j < n && digit(static_cast<unsigned char>(s[j]))) ++j;
    if (j == exp_start) return false;
    i = j;
  }
  if (i < n && s[i] == ' ' && currency_at(s, i + 1) != 0) ++i;  // "12,50 €"
  if (i < n && s[i] == '%') {
    ++i;
  } else {
    i += currency_at(s, i);
  }
  return i == n;
}

// Digit groups with one blank between, every group after the first of three.
static bool blank_grouped(std::string_view s) noexcept {
  std::size_t run = 0, groups = 1;
  for (const char ch : s) {
    if (ch == ' ') {
      if (run == 0 || (groups > 1 && run != 3)) return false;
      ++groups;
      run = 0;
    } else {
      ++run;
    }
  }
  return run == 3 && groups >= 2;
}

namespace {

// The length of an English month name or its three-letter abbreviation
// (with an optional point) at the start of `s`, or 0.
std::size_t month_at(std::string_view s) noexcept {
  static constexpr std::string_view kMonths[] = {"january",   "february", "march",    "april",
                                                 "may",       "june",     "july",     "august",
                                                 "september", "october",  "november", "december"};
  std::size_t letters = 0;
  while (letters < s.size() && ((s[letters] | 0x20) >= 'a' && (s[letters] | 0x20) <= 'z'))
    ++letters;
  if (letters < 3) return 0;
  for (const auto m : kMonths) {
    if ((letters == 3 || letters == m.size() || (m == "september" && letters == 4)) &&
        equals_folded(s.substr(0, letters), m.substr(0, letters))) {
      return letters + (letters < m.size() && letters < s.size() && s[letters] == '.');
    }
  }
  return 0;
}

// The length of a run of `lo` to `hi` digits at the start of `s`, or 0.
std::size_t digits_at(std::string_view s, std::size_t lo, std::size_t hi) noexcept {
  std::size_t k = 0;
  while (k < s.size() && digit(static_cast<unsigned char>(s[k]))) ++k;
  return k >= lo && k <= hi ? k : 0;
}

}  // namespace

std::size_t month_date_length(std::string_view s) noexcept {
  const std::size_t size = s.size();
  std::size_t day = 0, month = 0;
  if ((day = digits_at(s, 1, 2)) != 0) {
    if (s.size() <= day + 1 || s[day] != ' ') return 0;
    s.remove_prefix(day + 1);
    if ((month = month_at(s)) == 0) return 0;
    s.remove_prefix(month);
  } else {
    if ((month = month_at(s)) == 0 || s.size() <= month + 1 || s[month] != ' ') return 0;
    s.remove_prefix(month + 1);
    if ((day = digits_at(s, 1, 2)) == 0) return 0;
    s.remove_prefix(day);
    if (!s.empty() && s[0] == ',') s.remove_prefix(1);
  }
  if (s.empty() || s[0] != ' ') return 0;
  s.remove_prefix(1);
  if (digits_at(s, 4, 4) != 4) return 0;
  return size - s.size() + 4;
}

bool is_date_or_time(std::string_view s) noexcept {
  const std::size_t n = s.size();
  if (n >= 8 && n <= 20 && month_date_length(s) == n) return true;
  if (n < 4 || n > 35 || !digit(static_cast<unsigned char>(s[0]))) return false;
  std::size_t digits = 0, groups = 0;
  bool in_group = false;
  bool dated = false;  // a separator other than a blank
  for (std::size_t i = 0; i < n; ++i) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (digit(c)) {
      digits += 1;
      if (!in_group) ++groups;
      in_group = true;
      continue;
    }
    in_group = false;
    const bool sep = c == '-' || c == '/' || c == '.' || c == ':' || c == ' ';
    const bool t_between = (c == 'T') && i > 0 && i + 1 < n;
    // A date is followed by a time (with its colon), not by a bare number:
    // "2015-01-01 0" is a date and a number cut from "0,00".
    if ((c == ' ' || c == 'T') && groups >= 3 && s.find(':', i) == std::string_view::npos)
      return false;
    // Minutes and seconds take two digits.
    if (c == ':' && (i + 2 >= n || !digit(static_cast<unsigned char>(s[i + 1])) ||
                     !digit(static_cast<unsigned char>(s[i + 2])) ||
                     (i + 3 < n && digit(static_cast<unsigned char>(s[i + 3]))))) {
      return false;
    }
    const bool zone = (c == 'Z' && i + 1 == n) || (c == '+' && i > 8);
    if (!sep && !t_between && !zone) return false;
    dated = dated || (sep && c != ' ');
  }
  // Digits with blanks between alone are a number in groups of three
  // (12 500), or numbers cut apart ("00 0").
  return groups >= 2 && digits >= 3 && (dated || blank_grouped(s));
}

CellType classify_cell(std::string_view cell, unsigned char delimiter) noexcept {
  if (cell.empty()) return CellType::Empty;
  while (!cell.empty() && (cell.back() == ' ' || cell.back() == '\t')) cell.remove_suffix(1);
  if (cell.empty()) return CellType::Empty;
  const auto first = static_cast<unsigned char>(cell[0]);
  // Blanks before a field, or a quote byte that did not quote it, are what a
  // wrong blank or quote setting leaves behind.
  if (first == ' ' || first == '\t' || first == '"' || first == '\'') return CellType::Other;
  if (is_number(cell, delimiter != ',')) return CellType::Number;
  if (is_date_or_time(cell)) return CellType::Date;
  if (is_word(cell)) return CellType::Word;
  if (is_clean_text(cell)) return CellType::Text;
  return delimiter != '\t' && tabbed_words(cell) ? CellType::Tabbed : CellType::Other;
}

}  // namespace gleave::dialect
