#include "engine/dialect/steps.hpp"

#include <algorithm>
#include <string_view>

namespace gleave::dialect {

// Step 1: a first line `sep=X` (Excel's way to name the delimiter), bare or
// quoted, possibly padded with the delimiter itself.
std::optional<unsigned char> sep_line(std::string_view s, std::size_t& line_end) {
  std::size_t p = 0;
  if (p < s.size() && s[p] == '"') ++p;
  if (s.size() < p + 5) return std::nullopt;
  const std::string_view key = s.substr(p, 4);
  if (!(key == "sep=" || key == "SEP=" || key == "Sep=")) return std::nullopt;
  const auto x = static_cast<unsigned char>(s[p + 4]);
  if (x == '\n' || x == '\r' || x == '"' || x >= 0x80) return std::nullopt;
  std::size_t q = p + 5;
  while (q < s.size() && (static_cast<unsigned char>(s[q]) == x || s[q] == '"' || s[q] == ' ')) ++q;
  if (q < s.size() && !is_break(s[q])) return std::nullopt;
  line_end = q < s.size() ? past_break(s, q) : q;
  return x;
}

// Step 2 (one row only): the delimiter seen most often outside double
// quotes. A comma between two digits is a decimal comma when anything else
// occurs; the space counts only when nothing else does.
unsigned char single_line_delimiter(std::string_view line) {
  std::size_t count[kCounted] = {};
  std::size_t raw_commas = 0;
  bool quoted = false;
  for (std::size_t i = 0; i < line.size(); ++i) {
    const auto c = static_cast<unsigned char>(line[i]);
    const std::uint8_t slot = kCountSlot[c];
    if (slot == 0) continue;  // most bytes: nothing to count
    if (c == '"') quoted = !quoted;
    if (quoted || c == '"') continue;
    const bool digit_before = i > 0 && line[i - 1] >= '0' && line[i - 1] <= '9';
    if (c == ',') {
      ++raw_commas;
      const bool digit_after = i + 1 < line.size() && line[i + 1] >= '0' && line[i + 1] <= '9';
      if (digit_before && digit_after) continue;  // 1,99
    }
    if (c == ':' && digit_before) continue;  // 12:30
    ++count[slot];
  }
  unsigned char best = ',';
  std::size_t best_count = 0;
  for (const unsigned char d : kDialectDelimiters) {
    if (d == ' ') continue;
    if (count[kCountSlot[d]] > best_count) {
      best = d;
      best_count = count[kCountSlot[d]];
    }
  }
  if (best_count == 0 && raw_commas == 0 && count[kCountSlot[' ']] > 0) return ' ';
  return best;
}

std::size_t count_byte(std::string_view s, char c) {
  return static_cast<std::size_t>(std::count(s.begin(), s.end(), c));
}

// Step 3: the candidates worth reading. Delimiters that occur in the sample
// (the comma always, as the fallback), each read plainly and, when most of
// its occurrences are followed by a blank, skipping blanks after it; the
// double quote always, then no quoting and the single quote when those
// bytes occur.
void candidates(std::string_view s, const Dialect& o, std::vector<Candidate>& out) {
  // One pass for every byte's count and how often a blank follows it.
  std::size_t total[kCounted] = {}, followed[kCounted] = {};
  const auto* b = reinterpret_cast<const unsigned char*>(s.data());
  for (std::size_t p = 0; p < s.size(); ++p) {
    const std::uint8_t slot = kCountSlot[b[p]];
    if (slot == 0) continue;
    ++total[slot];
    followed[slot] += p + 1 < s.size() && b[p + 1] == ' ';
  }
  const std::optional<bool> skip_given = o.skip_initial_space.if_given();
  int quotes[3];
  std::size_t nquotes = 0;
  if (o.quote_char.given) {
    quotes[nquotes++] = o.quote_char.value ? *o.quote_char.value : kNoQuote;
  } else {
    quotes[nquotes++] = '"';
    if (total[kCountSlot['"']] > 0) quotes[nquotes++] = kNoQuote;
    if (total[kCountSlot['\'']] > 0) quotes[nquotes++] = '\'';
  }
  // A backslash right before a quote byte may escape it: those quotes are
  // also read with the escape, which must then prove itself (see step 5).
  // Looked for once per quote, and only when the sample has a backslash.
  const bool backslash = s.find('\\') != std::string_view::npos;
  // ... or before a delimiter, as a writer that escapes rather than quotes
  // leaves it (`a\,b`), or before a line break inside a value.
  bool escaped_delimiter = false;
  for (std::size_t p = s.find('\\'); backslash && p < s.size() && !escaped_delimiter;
       p = s.find('\\', p + 2)) {
    escaped_delimiter =
        p + 1 < s.size() &&
        (kCountSlot[static_cast<unsigned char>(s[p + 1])] != 0 || is_break(s[p + 1]));
  }
  bool escaped_in_sample[3] = {};
  for (std::size_t i = 0; i < nquotes; ++i) {
    const int q = quotes[i];
    if (o.escape_char.given) {
      escaped_in_sample[i] = o.escape_char.value.has_value() && q != kNoQuote;
    } else if (backslash && q != kNoQuote) {
      const char pair[2] = {'\\', static_cast<char>(q)};
      escaped_in_sample[i] =
          escaped_delimiter || s.find(std::string_view(pair, 2)) != std::string_view::npos;
    }
  }
  const int escape = o.escape_char.given && o.escape_char.value ? *o.escape_char.value : '\\';
  out.clear();
  auto add = [&](unsigned char d, bool skip) {
    for (std::size_t i = 0; i < nquotes; ++i) {
      const int q = quotes[i];
      if (q == static_cast<int>(d)) {
        // A given quote that may be the file's delimiter: read it as one
        // too, so that the conflict is found (and refused) rather than the
        // file read as one column.
        if (o.quote_char.given) out.push_back({d, kNoQuote, skip});
        continue;
      }
      if (!o.escape_char.given || !o.escape_char.value || q == kNoQuote)
        out.push_back({d, q, skip});
      if (escaped_in_sample[i]) out.push_back({d, q, skip, escape});
    }
  };
  for (const unsigned char d : kDialectDelimiters) {
    if (o.delimiter.given && o.delimiter.value != d) continue;
    const std::size_t count = total[kCountSlot[d]];
    if (count == 0 && d != ',' && !o.delimiter.given) continue;
    const std::size_t blank_after = followed[kCountSlot[d]];
    const bool systematic =
        d == ' ' ? blank_after * 5 >= count && count > 0 : blank_after * 2 >= count && count > 0;
    const bool skip_allowed = d != '\t' && (!skip_given || *skip_given);
    const bool plain_allowed = !skip_given || !*skip_given;
    // The plain reading first: skipping blanks must read strictly better.
    if (plain_allowed) add(d, false);
    if (skip_allowed && (systematic || skip_given)) add(d, true);
  }
  if (out.empty() && o.delimiter.given) {  // e.g. a delimiter outside the usual set
    for (std::size_t i = 0; i < nquotes; ++i) {
      const int q = quotes[i];
      const bool esc = q != kNoQuote && o.escape_char.given && o.escape_char.value;
      out.push_back({o.delimiter.value, q, skip_given.value_or(false), esc ? escape : kNoQuote});
    }
  }
}

}  // namespace gleave::dialect
