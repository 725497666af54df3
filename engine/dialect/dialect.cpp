#include "dialect/dialect.hpp"

#include <algorithm>
#include <array>
#include <iterator>
#include <string>

#include "dialect/cells.hpp"

namespace gleave {

namespace {

using dialect::CellType;

constexpr int kNoQuote = -1;
constexpr std::size_t kPreambleScan = 64;  // rows searched for the table's start
constexpr std::size_t kHeaderProbe = 50;   // data rows compared with the header

// The bytes whose occurrences detection counts (the delimiters and the two
// quotes) each have a counter; every other byte shares counter 0.
constexpr std::size_t kCounted = std::size(kDialectDelimiters) + 3;
constexpr auto kCountSlot = [] {
  std::array<std::uint8_t, 256> slot{};
  std::uint8_t next = 1;
  for (const unsigned char d : kDialectDelimiters) slot[d] = next++;
  slot['"'] = next++;
  slot['\''] = next++;
  return slot;
}();

struct Candidate {
  unsigned char delimiter;
  int quote;              // a byte, or kNoQuote
  bool skip;              // blanks at the start of a field are skipped
  int escape = kNoQuote;  // a byte that escapes a quote (or itself) inside quotes, or none
};

struct RowInfo {
  std::uint32_t first_cell;  // index of its first cell in Reading::cells
  std::uint32_t width;
  std::uint32_t line;              // physical line on which it starts, from 0
  bool blank;                      // one empty, unquoted field
  bool comment;                    // starts with '#'
  std::size_t begin = 0, end = 0;  // its bytes in the sample, without the line break
  bool words_first = false;        // its first field holds a blank (several words)
};

// One candidate's reading of the sample: rows and a type per cell, no
// field bytes copied.
struct Reading {
  std::vector<RowInfo> rows;
  std::vector<CellType> cells;
  std::uint32_t end_line = 0;  // physical lines read
  bool complete = false;       // the whole sample was read
  std::uint32_t quoted = 0;    // fields opened by the quote character
  std::uint32_t dirty = 0;     // of those, never closed or followed by more text
  std::uint32_t doubled = 0;   // doubled quotes inside quoted fields
  std::uint32_t escaped = 0;   // backslash-escaped quotes inside quoted fields
  std::uint32_t strays = 0;    // literal quotes inside quoted fields
  // The counted bytes (see kCountSlot) seen inside quoted fields, one bit
  // per counter: the delimiters the quotes protect.
  std::uint32_t quoted_bytes = 0;
  // Fields that start with a double or a single quote byte, whether or not
  // it quoted them: a quote that starts none reads as no quoting at all.
  std::uint32_t double_starts = 0, single_starts = 0;

  void clear() {
    rows.clear();
    cells.clear();
    end_line = 0;
    complete = false;
    quoted = dirty = doubled = escaped = strays = quoted_bytes = 0;
    double_starts = single_starts = 0;
  }
  // Reading with `quote` (a byte or kNoQuote) would give exactly this
  // reading, which quoted nothing.
  bool same_with(int quote) const {
    if (quoted > 0) return false;
    return quote == kNoQuote || (quote == '"' && double_starts == 0) ||
           (quote == '\'' && single_starts == 0);
  }
  // Every quoted field opened and closed where a field starts and ends: the
  // quote character is doing its job.
  bool quotes_pair_up() const { return quoted > 0 && dirty == 0 && strays == 0; }
  // The same but for literal quotes inside fields (`"a "b" c"`, which the
  // parser repairs) and a few fields in ten.
  bool quotes_mostly_pair_up() const {
    return quoted > 0 && (dirty == 0 || (quoted >= 10 && dirty * 10 <= quoted));
  }
  CellType cell(const RowInfo& r, std::size_t i) const { return cells[r.first_cell + i]; }
};

inline bool is_break(char c) noexcept {
  return c == '\n' || c == '\r';
}

// Past a line break at s[p] (CR LF counts as one).
inline std::size_t past_break(std::string_view s, std::size_t p) noexcept {
  if (s[p] == '\r' && p + 1 < s.size() && s[p + 1] == '\n') return p + 2;
  return p + 1;
}

// Whether a quote that could close a field (followed, after blanks, by the
// delimiter, a line break or the end) stands at or after `at` on its
// physical line. Queries move forward, so the last answer is kept with the
// stretch it covers, as the parser does: the work stays linear.
struct QuoteLookahead {
  std::size_t from = 1, to = 0;
  bool found = false;

  bool proper_quote_ahead(std::string_view s, std::size_t at, char q, char delim) {
    if (at >= from && at <= to) return found;
    from = at;
    const std::size_t n = s.size();
    std::size_t k = at;
    for (; k < n && !is_break(s[k]); ++k) {
      if (s[k] != q) continue;
      std::size_t m = k + 1;
      while (m < n && (s[m] == ' ' || s[m] == '\t') && s[m] != delim) ++m;
      if (m == n || s[m] == delim || is_break(s[m])) {
        to = k;
        return found = true;
      }
    }
    to = k;
    return found = false;
  }
};

// A small tokenizer with the parser's rules (with quote repair, as the
// product functions read) that records cell types instead of building
// fields: a quote opens a field only at its start; a doubled quote inside is
// one quote; a quote followed by more text is a literal one when a quote
// that can close the field follows on the same line; a field ends at the
// delimiter or a line break outside quotes; and when `complete` (the sample
// is the whole input) a quote that never closes is an ordinary byte, as is
// every field-opening quote after it.
void read_sample(std::string_view s, const Candidate& c, std::size_t max_rows, bool complete,
                 Reading& out) {
  out.clear();
  const std::size_t n = s.size();
  const char delim = static_cast<char>(c.delimiter);
  const bool blank_delim = c.delimiter == ' ' || c.delimiter == '\t';
  std::size_t p = 0;
  std::uint32_t line = 0;
  std::size_t runaway_from = SIZE_MAX;  // quotes from here on open nothing
  QuoteLookahead lookahead;
  while (p < n && out.rows.size() < max_rows) {
    RowInfo row{static_cast<std::uint32_t>(out.cells.size()), 0, line, false, false, p, p};
    bool row_done = false;
    bool first_quoted = false;
    while (!row_done) {
      if (c.skip) {
        while (p < n && (s[p] == ' ' || (s[p] == '\t' && !blank_delim))) ++p;
      }
      if (row.width == 0 && p < n && s[p] == '#') row.comment = true;
      if (p < n) {
        out.double_starts += s[p] == '"';
        out.single_starts += s[p] == '\'';
      }
      const std::size_t cell_begin = p;
      CellType type = CellType::Other;
      bool unquoted = true;
      if (c.quote != kNoQuote && p < n && s[p] == static_cast<char>(c.quote) && p < runaway_from) {
        if (row.width == 0) first_quoted = true;
        const char q = static_cast<char>(c.quote);
        const std::size_t quote_at = p;
        const std::uint32_t line_at = line;
        const std::size_t open = ++p;
        bool closed = false;
        bool plain = true;  // no doubled or literal quote: the content is s[open, p)
        std::uint32_t quoted_bytes = 0;
        while (p < n) {
          if (c.escape != kNoQuote && s[p] == static_cast<char>(c.escape) && p + 1 < n &&
              (s[p + 1] == q || s[p + 1] == s[p])) {
            plain = false;
            out.escaped += s[p + 1] == q;
            p += 2;
            continue;
          }
          if (s[p] == q) {
            if (p + 1 < n && s[p + 1] == q) {
              plain = false;
              ++out.doubled;
              p += 2;
              continue;
            }
            std::size_t j = p + 1;
            while (j < n && (s[j] == ' ' || s[j] == '\t') && s[j] != delim) ++j;
            const bool ends_field = j == n || s[j] == delim || is_break(s[j]);
            if (!ends_field && lookahead.proper_quote_ahead(s, j, q, delim)) {
              plain = false;
              ++out.strays;
              ++p;
              continue;
            }
            closed = true;
            break;
          }
          if (s[p] == '\n' || (s[p] == '\r' && (p + 1 >= n || s[p + 1] != '\n'))) ++line;
          quoted_bytes |= 1u << kCountSlot[static_cast<unsigned char>(s[p])];
          ++p;
        }
        if (!closed && complete) {  // it runs away: read again as an ordinary byte
          runaway_from = quote_at;
          p = quote_at;
          line = line_at;
          ++out.quoted;
          ++out.dirty;
        } else {
          unquoted = false;
          const std::string_view inner = s.substr(open, p - open);
          if (closed) ++p;
          bool cut = !closed;
          while (p < n && (s[p] == ' ' || s[p] == '\t') && s[p] != delim) ++p;
          if (p < n && s[p] != delim && !is_break(s[p])) {  // text after the closing quote
            cut = true;
            while (p < n && s[p] != delim && !is_break(s[p])) ++p;
          }
          ++out.quoted;
          out.dirty += cut;
          out.quoted_bytes |= quoted_bytes;
          if (cut) {
            type = CellType::Other;
          } else if (inner.empty()) {
            type = CellType::Empty;
          } else {
            const CellType t = plain ? dialect::classify_cell(inner, c.delimiter) : CellType::Other;
            type = dialect::is_value(t) ? t : CellType::Quoted;
          }
        }
      }
      if (unquoted) {
        const std::size_t start = p;
        while (p < n && s[p] != delim && !is_break(s[p])) ++p;
        type = dialect::classify_cell(s.substr(start, p - start), c.delimiter);
      }
      if (row.width == 0) {
        row.words_first = s.substr(cell_begin, p - cell_begin).find(' ') != std::string_view::npos;
      }
      out.cells.push_back(type);
      ++row.width;
      row.end = p;
      if (p >= n) {
        row_done = true;
      } else if (s[p] == delim) {
        ++p;
        if (p >= n) {  // a delimiter at the very end leaves an empty last field
          out.cells.push_back(CellType::Empty);
          ++row.width;
          row_done = true;
        }
      } else {
        p = past_break(s, p);
        ++line;
        row_done = true;
      }
    }
    row.blank = row.width == 1 && out.cells.back() == CellType::Empty && !first_quoted;
    out.rows.push_back(row);
  }
  out.end_line = line;
  out.complete = p >= n;
}

struct RowStats {
  std::uint32_t nonempty = 0, values = 0, texts = 0;
};

RowStats stats(const Reading& r, const RowInfo& row) {
  RowStats st;
  for (std::uint32_t i = 0; i < row.width; ++i) {
    const CellType t = r.cell(row, i);
    st.nonempty += t != CellType::Empty;
    st.values += dialect::is_value(t);
    st.texts += dialect::is_text(t);
  }
  return st;
}

// A header: names only (text, at most one left empty), no values.
bool header_like(const Reading& r, const RowInfo& row) {
  const RowStats st = stats(r, row);
  return st.values == 0 && st.texts >= 1 && st.texts + 1 >= row.width && st.texts == st.nonempty;
}

// Everything scoring needs from one reading.
struct Analysis {
  std::vector<std::uint32_t> table;  // indices of the non-blank table rows
  std::uint32_t nonblank = 0;
  std::uint32_t preamble_rows = 0;  // non-blank rows above the table
  std::uint32_t width = 0;
  double consistency = 0, pattern = 0, types = 0, score = 0;
};

// Widths and how often each occurs (scratch memory, see Scratch).
using WidthCounts = std::vector<std::pair<std::uint32_t, std::uint32_t>>;

std::uint32_t modal_width(const Reading& r, const std::vector<std::uint32_t>& rows,
                          WidthCounts& freq) {
  freq.clear();
  for (const std::uint32_t i : rows) {
    const std::uint32_t w = r.rows[i].width;
    auto it = std::find_if(freq.begin(), freq.end(), [&](const auto& f) { return f.first == w; });
    if (it == freq.end()) {
      freq.emplace_back(w, 1);
    } else {
      ++it->second;
    }
  }
  std::pair<std::uint32_t, std::uint32_t> best{0, 0};
  for (const auto& f : freq) {  // the wider of two equally frequent widths
    if (f.second > best.second || (f.second == best.second && f.first > best.first)) best = f;
  }
  return best.first;
}

// Step 4: where the table starts. Rows above it are a preamble when they
// are comments, narrower than a table row (a one-field-short header is not:
// it is followed by data, not by another header), or a title padded with
// delimiters to the full width.
std::size_t table_start(const Reading& r, const std::vector<std::uint32_t>& nonblank,
                        std::uint32_t width) {
  // Lines above a table need a table below them: a width seen once is no
  // evidence that the narrower rows are not part of it.
  const auto at_width = std::count_if(nonblank.begin(), nonblank.end(),
                                      [&](std::uint32_t i) { return r.rows[i].width == width; });
  if (at_width < 2) return 0;
  const std::size_t limit = std::min(kPreambleScan, nonblank.size() / 2);
  std::size_t k = 0;
  for (; k < limit; ++k) {
    const RowInfo& row = r.rows[nonblank[k]];
    const RowInfo& next = r.rows[nonblank[k + 1]];
    const bool is_comment = row.comment && (row.width != width || width == 1);
    const RowStats st = stats(r, row);
    const bool too_narrow = row.width + 1 < width && (st.values == 0 || row.width == 1);
    // Group labels over the columns are the header's first row, not a
    // title: two or more labels with gaps between them.
    const bool group_labels = st.nonempty >= 2 && st.nonempty < row.width;
    const bool title_above_header =
        row.width + 1 == width && next.width >= width && header_like(r, next) && !group_labels;
    // A row of one name padded to the width is the header of a table whose
    // other columns have no name, unless it reads as a title (words) or
    // stands below one; a row of nothing but delimiters likewise.
    const bool padded_title =
        width >= 3 && row.width == width &&
        ((st.nonempty == 0 && k > 0) ||
         (st.nonempty == 1 && dialect::is_text(r.cell(row, 0)) &&
          (row.words_first || k > 0 || (next.width == width && stats(r, next).nonempty == 0))));
    if (!(is_comment || too_narrow || title_above_header || padded_title)) break;
  }
  return k;
}

// Steps 3-5 for one candidate: the width, the table's start, and the score.
// The pattern score follows CleverCSV's (rows of one width score their
// count times (width - 1) / width, summed and divided by the number of
// distinct widths), over the table rows only; the type score is the share of
// typed cells, which is where a decimal-comma column beats a comma split:
// "1,99" is a number under ';', while "99;0" is nothing under ','.
// `a` is overwritten (its table keeps its memory).
void analyse(const Reading& r, Analysis& a, WidthCounts& widths) {
  a = Analysis{std::move(a.table)};
  std::vector<std::uint32_t>& nonblank = a.table;  // the table once the preamble is cut off
  nonblank.clear();
  for (std::uint32_t i = 0; i < r.rows.size(); ++i) {
    if (!r.rows[i].blank) nonblank.push_back(i);
  }
  a.nonblank = static_cast<std::uint32_t>(nonblank.size());
  if (nonblank.empty()) return;
  a.width = modal_width(r, nonblank, widths);
  const std::size_t start = table_start(r, nonblank, a.width);
  a.preamble_rows = static_cast<std::uint32_t>(start);
  a.table.erase(a.table.begin(), a.table.begin() + static_cast<std::ptrdiff_t>(start));
  a.width = modal_width(r, a.table, widths);

  WidthCounts& patterns = widths;
  patterns.clear();
  std::uint64_t cells = 0, typed = 0, at_width = 0;
  for (const std::uint32_t i : a.table) {
    const RowInfo& row = r.rows[i];
    at_width += row.width == a.width;
    auto it = std::find_if(patterns.begin(), patterns.end(),
                           [&](const auto& f) { return f.first == row.width; });
    if (it == patterns.end()) {
      patterns.emplace_back(row.width, 1);
    } else {
      ++it->second;
    }
    for (std::uint32_t k = 0; k < row.width; ++k) typed += dialect::is_typed(r.cell(row, k));
    cells += row.width;
  }
  double pattern = 0;
  for (const auto& [w, count] : patterns) pattern += count * (w - 1.0) / w;
  a.pattern = pattern / static_cast<double>(patterns.size());
  a.types = cells == 0 ? 0 : static_cast<double>(typed) / static_cast<double>(cells);
  a.consistency = static_cast<double>(at_width) / static_cast<double>(a.table.size());
  const double coverage = static_cast<double>(a.table.size()) / static_cast<double>(a.nonblank);
  a.score = a.pattern * std::max(a.types, 1e-3) * coverage;
}

// A reading of two or more columns that cuts values: most of its split
// rows are, whole, one time, date or timestamp cut into pieces that are not
// values themselves (2021-03-04 12 | 00 under ':'), or, below a first row
// of a single field (a one-column file's header), one time, date or number
// (05:40 under ':', 12 500 under ' '); or such a first row is followed by
// rows of unsteady width.
bool cuts_values(std::string_view s, const Reading& r, const Analysis& a, double steady) {
  if (a.width < 2 || a.table.empty()) return false;
  const bool narrow_head = r.rows[a.table[0]].width == 1;
  std::uint32_t split = 0, values = 0;
  for (const std::uint32_t i : a.table) {
    const RowInfo& row = r.rows[i];
    if (row.width < 2) continue;
    ++split;
    std::string_view whole = s.substr(row.begin, row.end - row.begin);
    while (!whole.empty() && (whole.front() == ' ' || whole.front() == '\t'))
      whole.remove_prefix(1);
    while (!whole.empty() && (whole.back() == ' ' || whole.back() == '\t')) whole.remove_suffix(1);
    // A row of values cut apart (pieces that are no values themselves, or
    // under a one-field header) rather than a row of separate values.
    bool fragments = narrow_head;
    for (std::uint32_t k = 0; k < row.width && !fragments; ++k) {
      fragments = !dialect::is_value(r.cell(row, k));
    }
    values += fragments &&
              (dialect::is_date_or_time(whole) || (narrow_head && dialect::is_number(whole, true)));
  }
  if (split == 0) return false;
  return values * 5 >= split * 4 || (narrow_head && a.consistency < steady);
}

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
void candidates(std::string_view s, const DetectOptions& o, std::vector<Candidate>& out) {
  // One pass for every byte's count and how often a blank follows it.
  std::size_t total[kCounted] = {}, followed[kCounted] = {};
  const auto* b = reinterpret_cast<const unsigned char*>(s.data());
  for (std::size_t p = 0; p < s.size(); ++p) {
    const std::uint8_t slot = kCountSlot[b[p]];
    if (slot == 0) continue;
    ++total[slot];
    followed[slot] += p + 1 < s.size() && b[p + 1] == ' ';
  }
  int quotes[3];
  std::size_t nquotes = 0;
  if (o.quote_given) {
    quotes[nquotes++] = o.quote_char ? *o.quote_char : kNoQuote;
  } else {
    quotes[nquotes++] = '"';
    if (total[kCountSlot['"']] > 0) quotes[nquotes++] = kNoQuote;
    if (total[kCountSlot['\'']] > 0) quotes[nquotes++] = '\'';
  }
  // A backslash right before a quote byte may escape it: those quotes are
  // also read with the escape, which must then prove itself (see step 5).
  // Looked for once per quote, and only when the sample has a backslash.
  const bool backslash = s.find('\\') != std::string_view::npos;
  bool escaped_in_sample[3] = {};
  for (std::size_t i = 0; i < nquotes; ++i) {
    const int q = quotes[i];
    if (o.escape_given) {
      escaped_in_sample[i] = o.escape_char.has_value() && q != kNoQuote;
    } else if (backslash && q != kNoQuote) {
      const char pair[2] = {'\\', static_cast<char>(q)};
      escaped_in_sample[i] = s.find(std::string_view(pair, 2)) != std::string_view::npos;
    }
  }
  const int escape = o.escape_given && o.escape_char ? *o.escape_char : '\\';
  out.clear();
  auto add = [&](unsigned char d, bool skip) {
    for (std::size_t i = 0; i < nquotes; ++i) {
      const int q = quotes[i];
      if (q == static_cast<int>(d)) continue;
      if (!o.escape_given || !o.escape_char || q == kNoQuote) out.push_back({d, q, skip});
      if (escaped_in_sample[i]) out.push_back({d, q, skip, escape});
    }
  };
  for (const unsigned char d : kDialectDelimiters) {
    if (o.delimiter && *o.delimiter != d) continue;
    const std::size_t count = total[kCountSlot[d]];
    if (count == 0 && d != ',' && !o.delimiter) continue;
    const std::size_t blank_after = followed[kCountSlot[d]];
    const bool systematic =
        d == ' ' ? blank_after * 5 >= count && count > 0 : blank_after * 2 >= count && count > 0;
    const bool skip_allowed = d != '\t' && (!o.skip_initial_space || *o.skip_initial_space);
    const bool plain_allowed = !o.skip_initial_space || !*o.skip_initial_space;
    // The plain reading first: skipping blanks must read strictly better.
    if (plain_allowed) add(d, false);
    if (skip_allowed && (systematic || o.skip_initial_space)) add(d, true);
  }
  if (out.empty() && o.delimiter) {  // e.g. a delimiter outside the usual set
    for (std::size_t i = 0; i < nquotes; ++i) {
      const int q = quotes[i];
      const bool esc = q != kNoQuote && o.escape_given && o.escape_char;
      out.push_back(
          {*o.delimiter, q, o.skip_initial_space.value_or(false), esc ? escape : kNoQuote});
    }
  }
}

// A row of group labels above a row of names: labels only (text, or
// numbers such as a year), at least one of them over a column that holds
// values below (a data row missing its values keeps its text in the text
// columns instead), not a comment, and split into two or more fields.
bool group_row(const Reading& r, const RowInfo& row, std::uint32_t width,
               const std::vector<bool>& value_columns) {
  std::uint32_t nonempty = 0, labels = 0;
  bool over_values = false;
  for (std::uint32_t i = 0; i < row.width; ++i) {
    const CellType t = r.cell(row, i);
    if (t == CellType::Empty) continue;
    ++nonempty;
    labels += dialect::is_text(t) || t == CellType::Number || t == CellType::Date;
    over_values = over_values || (i < value_columns.size() && value_columns[i]);
  }
  const bool labels_only = nonempty >= 1 && labels == nonempty;
  return labels_only && over_values && row.width >= 2 && row.width <= width && !row.comment;
}

// Step 7a: how many rows the header spans. Rows of group labels (see
// group_row) may stand above the row of names, and a row of units below
// it, when rows of values follow:
//   names_row    the last row of the header: names (header_like), or units
//                under the names (no values, every label over a column of
//                values: ",%,%");
//   names_label_values  with gaps, its names stand over columns of values,
//                where a data row missing its values keeps its text in the
//                text columns;
//   labels_above every row above it is a group row;
//   one_full_row at most one row of the header names every column: group
//                labels and units leave gaps, and several full rows of text
//                above the values are more likely data whose values did not
//                read as values (a quoted "100,000.00" under a comma);
//   data_below   at least two rows follow it, the first holding a value;
//   values_below some column below holds values mostly.
std::uint32_t header_rows(const Reading& r, const Analysis& a) {
  constexpr std::size_t kMaxHeaderRows = 4;
  if (a.width < 2) return 1;
  for (std::size_t k = 1; k < kMaxHeaderRows && k + 2 < a.table.size(); ++k) {
    const RowInfo& names = r.rows[a.table[k]];
    const RowStats names_stats = stats(r, names);
    const bool maybe_units =
        names_stats.values == 0 && names_stats.nonempty >= 1 && names_stats.nonempty < names.width;
    if (names.width < 2 || names.comment || (!header_like(r, names) && !maybe_units)) continue;
    const RowInfo& first_data = r.rows[a.table[k + 1]];
    const bool data_below = stats(r, first_data).values > 0;
    if (!data_below) continue;
    std::vector<std::uint32_t> values(a.width, 0), filled(a.width, 0);
    for (std::size_t j = k + 1; j < a.table.size() && j <= k + kHeaderProbe; ++j) {
      const RowInfo& row = r.rows[a.table[j]];
      for (std::uint32_t i = 0; i < row.width && i < a.width; ++i) {
        const CellType t = r.cell(row, i);
        values[i] += dialect::is_value(t);
        filled[i] += t != CellType::Empty;
      }
    }
    std::vector<bool> value_columns(a.width, false);
    bool values_below = false;
    for (std::uint32_t i = 0; i < a.width; ++i) {
      value_columns[i] = filled[i] > 0 && values[i] * 2 >= filled[i];
      values_below = values_below || value_columns[i];
    }
    bool names_label_values = true;
    bool units_over_values = maybe_units;
    if (names_stats.nonempty < names.width) {
      names_label_values = false;
      for (std::uint32_t i = 0; i < names.width && i < a.width; ++i) {
        const bool labelled = r.cell(names, i) != CellType::Empty;
        names_label_values = names_label_values || (value_columns[i] && labelled);
        units_over_values = units_over_values && (value_columns[i] || !labelled);
      }
    }
    const bool names_row = header_like(r, names) || units_over_values;
    bool labels_above = true;
    std::uint32_t full_rows = 0;
    for (std::size_t j = 0; j <= k; ++j) {
      const RowInfo& row = r.rows[a.table[j]];
      if (j < k) labels_above = labels_above && group_row(r, row, a.width, value_columns);
      full_rows += stats(r, row).nonempty >= a.width;
    }
    const bool one_full_row = full_rows <= 1;
    const bool block = names_row && names_label_values && labels_above && one_full_row &&
                       data_below && values_below;
    return block ? static_cast<std::uint32_t>(k + 1) : 1;
  }
  return 1;
}

// Step 6a: several tables in one sample. The table's rows fall into
// blocks, each starting after blank lines or at a one-field line of text (a
// title); a block starts another table when
//   own_header    its first row (past a title) is a header of two or more
//                 names (header_like);
//   steady_block  two or more of its rows, and four in five, have that
//                 header's width;
//   other_width   that width is not the width of the table above it, or
//   new_names     it is, but the block follows a blank line, the table above
//                 has a header too, the two headers differ, and the block's
//                 header has a name over a column of values above (so it is
//                 no row of text data);
// so a table that goes on after a blank line (a repeated header included),
// or ragged rows with no consistent block of their own, stay one table. The table is the one with
// the most rows (the first of equals): the rows above it are a preamble,
// and the rows from the next table on belong to other tables.
struct Tables {
  std::uint32_t count = 0;
  bool table_above = false;  // the rows above the table's own start with a header
  std::size_t begin = 0;     // index into Analysis::table of the table's first row (its header)
  std::size_t end = 0;       // ... and of the first row of the next table, or table.size()
  std::uint32_t widest = 0;  // the widest of the tables' widths
};

// Two header rows that name the same columns once their quotes, the blanks
// around names and letter case are set aside: a header written again.
bool same_header(std::string_view x, std::string_view y, char delim, int quote) {
  auto next = [&](std::string_view& s) {
    std::size_t cut = 0;
    bool quoted = false;
    while (cut < s.size() && (quoted || s[cut] != delim)) {
      if (quote != kNoQuote && s[cut] == static_cast<char>(quote)) quoted = !quoted;
      ++cut;
    }
    std::string_view f = s.substr(0, cut);
    s.remove_prefix(cut < s.size() ? cut + 1 : cut);
    while (!f.empty() && (f.front() == ' ' || f.front() == '	')) f.remove_prefix(1);
    while (!f.empty() && (f.back() == ' ' || f.back() == '	')) f.remove_suffix(1);
    if (quote != kNoQuote && f.size() >= 2 && f.front() == static_cast<char>(quote) &&
        f.back() == f.front()) {
      f = f.substr(1, f.size() - 2);
    }
    return f;
  };
  auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
  bool more = true;
  while (more) {
    more = !x.empty() || !y.empty();
    if (x.empty() != y.empty()) return false;
    const std::string_view a = next(x), b = next(y);
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
      if (lower(a[i]) != lower(b[i])) return false;
    }
    if (x.empty() && y.empty()) break;
  }
  return true;
}

Tables find_tables(std::string_view s, const Reading& r, const Analysis& a, unsigned char delim,
                   int quote) {
  Tables t;
  t.end = a.table.size();
  if (a.table.empty()) return t;
  auto is_title = [&](std::size_t i) {
    const RowInfo& row = r.rows[a.table[i]];
    return row.width == 1 && dialect::is_text(r.cell(row, 0));
  };
  std::vector<std::size_t> starts;  // block starts, as indices into a.table
  for (std::size_t i = 1; i < a.table.size(); ++i) {
    const bool after_blank = a.table[i] > a.table[i - 1] + 1;
    if (after_blank || (is_title(i) && r.rows[a.table[i - 1]].width > 1)) starts.push_back(i);
  }
  if (starts.empty()) {  // one block, one table (most files: nothing to allocate below)
    t.count = 1;
    return t;
  }
  starts.push_back(a.table.size());
  auto bytes = [&](const RowInfo& row) { return s.substr(row.begin, row.end - row.begin); };
  struct Segment {
    std::size_t start, header;
  };
  std::vector<Segment> segments{{0, 0}};
  // The same width as the table above, and still another table.
  auto new_names = [&](std::size_t b, const RowInfo& head) {
    const std::size_t above_head = segments.back().header;
    const RowInfo& top = r.rows[a.table[above_head]];
    const bool after_blank = a.table[b] > a.table[b - 1] + 1;
    if (!after_blank || !header_like(r, top)) return false;
    if (same_header(bytes(top), bytes(head), static_cast<char>(delim), quote)) return false;
    std::vector<std::uint32_t> values(head.width, 0), filled(head.width, 0);
    for (std::size_t k = above_head + 1; k < b && k <= above_head + kHeaderProbe; ++k) {
      const RowInfo& row = r.rows[a.table[k]];
      for (std::uint32_t i = 0; i < row.width && i < head.width; ++i) {
        values[i] += dialect::is_value(r.cell(row, i));
        filled[i] += r.cell(row, i) != CellType::Empty;
      }
    }
    for (std::uint32_t i = 0; i < head.width; ++i) {
      const bool value_column = filled[i] > 0 && values[i] * 2 >= filled[i];
      if (value_column && dialect::is_text(r.cell(head, i))) return true;
    }
    return false;
  };
  // A block that starts a table: the index of its header, or SIZE_MAX.
  auto table_header = [&](std::size_t b, std::size_t e, std::uint32_t width_above) {
    const std::size_t h = e - b >= 3 && is_title(b) ? b + 1 : b;
    const RowInfo& head = r.rows[a.table[h]];
    const bool own_header = head.width >= 2 && header_like(r, head);
    std::size_t at_width = 0;
    for (std::size_t k = h; k < e; ++k) at_width += r.rows[a.table[k]].width == head.width;
    const bool steady_block = at_width >= 2 && at_width * 5 >= (e - h) * 4;
    const bool other_width = head.width != width_above;
    const bool table = own_header && steady_block && (other_width || new_names(b, head));
    return table ? h : SIZE_MAX;
  };
  // How often each width occurs in the last table so far, kept as rows are
  // added, so that a sample of many blank-separated blocks stays linear.
  WidthCounts widths;  // width, count
  auto modal = [&] {
    std::pair<std::uint32_t, std::uint32_t> best{0, 0};
    for (const auto& f : widths) {
      if (f.second > best.second || (f.second == best.second && f.first > best.first)) best = f;
    }
    return best.first;
  };
  for (std::size_t b = 0; b + 1 < starts.size(); ++b) {
    for (std::size_t k = b == 0 ? 0 : starts[b - 1]; k < starts[b]; ++k) {
      const std::uint32_t w = r.rows[a.table[k]].width;
      auto it =
          std::find_if(widths.begin(), widths.end(), [&](const auto& f) { return f.first == w; });
      if (it == widths.end()) {
        widths.emplace_back(w, 1);
      } else {
        ++it->second;
      }
    }
    const std::size_t h = table_header(starts[b], starts[b + 1], modal());
    if (h != SIZE_MAX) {
      segments.push_back({starts[b], h});
      widths.clear();
    }
  }
  t.count = static_cast<std::uint32_t>(segments.size());
  std::size_t best_rows = 0;
  for (std::size_t k = 0; k < segments.size(); ++k) {
    const std::size_t end = k + 1 < segments.size() ? segments[k + 1].start : a.table.size();
    // Its size: the rows of its own width (a block that is no table of its
    // own, ragged lines or notes, does not make it larger).
    const std::vector<std::uint32_t> rows_of(
        a.table.begin() + static_cast<std::ptrdiff_t>(segments[k].header),
        a.table.begin() + static_cast<std::ptrdiff_t>(end));
    const std::uint32_t width = modal_width(r, rows_of, widths);
    const auto rows = static_cast<std::size_t>(std::count_if(
        rows_of.begin(), rows_of.end(), [&](std::uint32_t i) { return r.rows[i].width == width; }));
    t.widest = std::max(t.widest, width);
    if (rows > best_rows) {
      best_rows = rows;
      t.begin = segments[k].header;
      t.end = end;
    }
  }
  // Rows above the table are another table when the first block has a
  // header of its own, and otherwise a preamble (a block of notes).
  const RowInfo& first = r.rows[a.table[0]];
  t.table_above = t.begin > 0 && first.width >= 2 && header_like(r, first);
  return t;
}

// Step 6b: footnotes: the table's last rows, when they are lines of one
// field that is no value (a note, "Source: ...", "* provisional") under a
// table of three or more columns, and the table's end is known (the sample
// holds the rest of the text, or another table follows). Such a line has no
// delimiter at all, which no row of the table lacks; it reads as a note
// (words with blanks between) or stands after a blank line. A short last row
// of values (a cut-off number) or a lone word stays a row. Returns the index
// into a.table of the first footnote (a.table.size() when there is none).
std::size_t footnotes(std::string_view s, const Reading& r, const Analysis& a, bool end_known,
                      unsigned char delimiter) {
  std::size_t k = a.table.size();
  if (!end_known || a.width < 3) return k;
  // The first column's profile over the table's full rows: a line that
  // could be a short row of it (a name under names) is no note.
  std::uint32_t filled = 0, values = 0;
  std::size_t longest = 0;
  for (std::size_t i = 1; i < a.table.size(); ++i) {
    const RowInfo& row = r.rows[a.table[i]];
    if (row.width < 2) continue;
    const CellType t = r.cell(row, 0);
    if (t == CellType::Empty) continue;
    ++filled;
    values += dialect::is_value(t);
    const std::string_view line = s.substr(row.begin, row.end - row.begin);
    const std::size_t cut = line.find(static_cast<char>(delimiter));
    longest = std::max(longest, cut == std::string_view::npos ? line.size() : cut);
  }
  const bool value_column = filled > 0 && values * 2 >= filled;
  while (k > 1) {
    const RowInfo& row = r.rows[a.table[k - 1]];
    const CellType t = r.cell(row, 0);
    const bool one_field = row.width == 1;
    const bool no_value = t != CellType::Empty && !dialect::is_value(t);
    const std::string_view line = s.substr(row.begin, row.end - row.begin);
    const bool after_blank = a.table[k - 1] > a.table[k - 2] + 1;
    const bool note_like = line.find(' ') != std::string_view::npos || after_blank;
    const bool unquoted = !line.empty() && line[0] != '"' && line[0] != '\'';
    // Text under a column of values, a marked note ("* ...", "Source: ..."),
    // or a line far longer than any first cell: not a short row.
    const bool marked = !line.empty() && (line[0] == '*' || line[0] == '(' || line[0] == '[' ||
                                          line.find(": ") != std::string_view::npos);
    const bool misfit = value_column || marked || line.size() > 2 * longest + 16;
    if (!(one_field && no_value && note_like && unquoted && misfit)) break;
    --k;
  }
  // Notes are a few lines under a table, not most of it.
  const bool few = a.table.size() - k < k;
  return few ? k : a.table.size();
}

// Step 7: header, header width and the width to repair rows to.
void describe_table(const Reading& r, const Analysis& a, Dialect& d,
                    std::vector<std::uint32_t>& value_cells,
                    std::vector<std::uint32_t>& filled_cells) {
  if (a.table.empty()) return;
  d.header_rows = header_rows(r, a);
  // Below, the header is its last row, the row of names.
  const std::size_t top = d.header_rows - 1;
  const RowInfo& head = r.rows[a.table[top]];
  d.header_width = head.width;
  std::uint32_t max_data = 0, data_rows = 0, full_rows = 0, empty_last = 0;
  value_cells.assign(head.width + 1, 0);
  filled_cells.assign(head.width + 1, 0);
  bool data_header_like = true;
  for (std::size_t k = top + 1; k < a.table.size() && k <= top + kHeaderProbe; ++k) {
    const RowInfo& row = r.rows[a.table[k]];
    ++data_rows;
    max_data = std::max(max_data, row.width);
    data_header_like = data_header_like && header_like(r, row);
    for (std::uint32_t i = 0; i < row.width && i <= head.width; ++i) {
      const CellType t = r.cell(row, i);
      value_cells[i] += dialect::is_value(t);
      filled_cells[i] += t != CellType::Empty;
    }
    if (row.width == a.width) {
      ++full_rows;
      empty_last += r.cell(row, row.width - 1) == CellType::Empty;
    }
  }
  bool value_column = false;
  for (std::uint32_t i = 0; i < head.width && i < value_cells.size(); ++i) {
    value_column = value_column || (filled_cells[i] > 0 && value_cells[i] * 2 >= filled_cells[i]);
  }
  // Rows of the wider width whose first cell is a name and whose other
  // cells hold values: the first column labels the rows.
  std::uint32_t labelled = 0;
  bool values_after_label = false;
  for (std::size_t k = top + 1; k < a.table.size() && k <= top + kHeaderProbe; ++k) {
    const RowInfo& row = r.rows[a.table[k]];
    if (row.width != a.width) continue;
    labelled += dialect::is_text(r.cell(row, 0));
    for (std::uint32_t i = 1; i < row.width; ++i) {
      values_after_label = values_after_label || dialect::is_value(r.cell(row, i));
    }
  }
  const bool row_labels = full_rows > 0 && labelled == full_rows && values_after_label;
  std::uint32_t head_width_rows = 0, wide_rows = 0;
  for (const std::uint32_t i : a.table) {
    head_width_rows += r.rows[i].width == head.width;
    wide_rows += r.rows[i].width == a.width;
  }
  // A names-only row above values (or a lone row of names) is a header.
  d.header = d.header_rows > 1 ||
             (header_like(r, head) && (data_rows == 0 || value_column || !data_header_like));
  if (!d.header) d.header_rows = 1;
  d.expected_width = a.width;
  if (d.header && max_data <= head.width) {
    d.expected_width = head.width;
  } else if (d.header && head.width + 1 == a.width && max_data == a.width) {
    // The missing name is the first one only when the data rows say so:
    // several full rows none of which ends in an empty field (a trailing
    // delimiter would put the gap at the end), or a column of row labels.
    // Short of that evidence, a header as frequent as the wider rows keeps
    // its width, as the core's first-come rule does, and otherwise the
    // header is padded at the end.
    d.header_missing_first = top == 0 && empty_last == 0 && (full_rows >= 2 || row_labels);
    d.expected_width = d.header_missing_first || head_width_rows < wide_rows ? a.width : head.width;
  }
  // A header of several rows may leave out the empty cells at the end of a
  // row of group labels or units: the table's own width stands.
  if (d.header_rows > 1) d.expected_width = std::max(a.width, head.width);
}

struct Scored {
  Candidate c;
  Analysis a;
  bool pair_up = false;
  bool cuts_values = false;
  const Reading* reading = nullptr;  // null for a reading skipped as a sure loser
  bool escapes_quotes = false;       // the reading took at least one escaped quote
  bool doubles_quotes = false;       // ... or saw a doubled quote
};

// The working storage of detect_dialect, kept per thread from one call to
// the next: on a short sample the allocations would cost more than the
// reading. Each candidate keeps its reading, so the chosen one is not read
// twice.
constexpr std::size_t kKeepScratchBelow = 16 * 1024;

struct Scratch {
  std::vector<Candidate> candidates;
  std::vector<Reading> readings;  // one per candidate, and one for a one-column reading
  std::vector<Scored> scored;
  WidthCounts widths;
  std::vector<std::uint32_t> value_cells, filled_cells;  // describe_table's
};

std::size_t mean_blanks_per_line(std::string_view s) {
  const std::size_t lines = std::max<std::size_t>(1, count_byte(s, '\n'));
  return count_byte(s, ' ') / lines;
}

}  // namespace

Dialect detect_dialect(std::string_view text, const DetectOptions& options) {
  Dialect d;
  // Step 1: the sample, past a byte-order mark, cut at a line break.
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  std::string_view sample = text.substr(0, options.sample_bytes);
  const bool complete = sample.size() == text.size();  // a quote may run away only then
  if (sample.size() < text.size()) {
    const std::size_t cut = sample.find_last_of('\n');
    if (cut != std::string_view::npos && cut > 0) sample = sample.substr(0, cut + 1);
  }
  DetectOptions o = options;
  std::uint64_t sep_offset = 0;
  std::size_t sep_end = 0;
  if (const auto x = sep_line(sample, sep_end)) {
    d.sep_line = true;
    sep_offset = 1;
    sample.remove_prefix(sep_end);
    if (!o.delimiter) o.delimiter = *x;
  }

  // Step 2: one row only.
  // (Plain loops: std::string_view's find_first_of calls memchr per byte.)
  std::size_t body_start = 0;
  while (body_start < sample.size() && is_break(sample[body_start])) ++body_start;
  const std::string_view body = sample.substr(body_start);
  std::size_t body_break = 0;
  while (body_break < body.size() && !is_break(body[body_break])) ++body_break;
  std::size_t after = body_break;
  while (after < body.size() &&
         (is_break(body[after]) || body[after] == ' ' || body[after] == '\t'))
    ++after;
  const bool lone_row = after == body.size();
  d.single_line = !body.empty() && lone_row;
  if (d.single_line && !o.delimiter)
    o.delimiter = single_line_delimiter(body.substr(0, body_break));

  // Steps 3-5: read and score every candidate; a later one must score
  // strictly higher to win.
  thread_local Scratch storage;
  Scratch& work = storage;  // the thread's storage looked up once
  std::vector<Candidate>& cands = work.candidates;
  candidates(sample, o, cands);
  const std::size_t n = cands.size();
  if (work.readings.size() < n + 1) work.readings.resize(n + 1);
  if (work.scored.size() < n + 1) work.scored.resize(n + 1);
  Candidate winner{',', '"', false};
  // Lines that read like sentences must be cut very steadily to count as a table.
  const bool wordy = mean_blanks_per_line(sample) >= 5;
  const double steady = wordy ? 0.9 : 0.6;
  bool consistent_somewhere = false;
  const auto scored_begin = work.scored.begin();
  const auto scored_end = scored_begin + static_cast<std::ptrdiff_t>(n);
  for (std::size_t i = 0; i < n; ++i) {
    const Candidate& c = cands[i];
    Scored& x = work.scored[i];
    // A quote character that starts no field reads the sample as an
    // earlier reading of the same delimiter that quoted nothing did: that
    // reading is shared rather than made again.
    const Scored* twin = nullptr;
    for (std::size_t j = 0; j < i && twin == nullptr; ++j) {
      const Scored& y = work.scored[j];
      if (y.c.delimiter == c.delimiter && y.c.skip == c.skip && y.reading != nullptr &&
          y.reading->same_with(c.quote)) {
        twin = &y;
      }
    }
    if (twin != nullptr) {
      x.a = twin->a;
      x.c = c;
      x.pair_up = false;
      x.cuts_values = twin->cuts_values;
      x.reading = twin->reading;
      x.escapes_quotes = x.doubles_quotes = false;
      continue;
    }
    Reading& reading = work.readings[i];
    // No quoting loses to a quote that pairs up (see below); with the
    // delimiter settled and no evidence wanted, its reading would only
    // count towards a table somewhere, which a single line or a sample
    // that is not wordy never asks about.
    const bool loses =
        c.quote == kNoQuote && o.delimiter && !o.keep_evidence && (d.single_line || !wordy) &&
        std::any_of(work.scored.begin(), work.scored.begin() + static_cast<std::ptrdiff_t>(i),
                    [&](const Scored& y) {
                      return y.pair_up && y.c.delimiter == c.delimiter && y.c.skip == c.skip;
                    });
    if (loses) {  // never chosen, and not read: no reading to share either
      reading.clear();
      analyse(reading, x.a, work.widths);
      x.c = c;
      x.pair_up = x.cuts_values = false;
      x.escapes_quotes = x.doubles_quotes = false;
      x.reading = nullptr;
      continue;
    }
    read_sample(sample, c, o.sample_rows, complete, reading);
    analyse(reading, x.a, work.widths);
    consistent_somewhere = consistent_somewhere || (x.a.width >= 2 && x.a.consistency >= steady);
    x.c = c;
    x.pair_up = c.quote != kNoQuote && reading.quotes_pair_up();
    // Only the one-column rule (delimiter not settled) and the evidence use it.
    x.cuts_values = (!o.delimiter || o.keep_evidence) && cuts_values(sample, reading, x.a, steady);
    x.reading = &reading;
    x.escapes_quotes = reading.escaped > 0;
    x.doubles_quotes = reading.doubled > 0;
  }
  // Step 5a: the escape character. A reading that takes a backslash before a
  // quote as an escape counts only when it makes the quotes work: it took
  // escaped quotes, saw no doubled one (a file doubles its quotes or escapes
  // them, not both), its quotes pair up, and the same dialect read without
  // the escape leaves quoted fields unclosed or followed by text. Given by
  // the caller, the escape is taken as it is.
  auto twin = [&](const Scored& x, bool escaped) -> const Scored* {
    for (auto it = scored_begin; it != scored_end; ++it) {
      const Scored& y = *it;
      if (y.c.delimiter == x.c.delimiter && y.c.quote == x.c.quote && y.c.skip == x.c.skip &&
          (y.c.escape != kNoQuote) == escaped)
        return &y;
    }
    return nullptr;
  };
  auto escape_proven = [&](const Scored& x) {
    if (o.escape_given) return true;
    const Scored* plain = twin(x, false);
    const bool takes_escapes = x.escapes_quotes;
    const bool no_doubled_quotes = !x.doubles_quotes;
    const bool pairs_up_with_escape = x.pair_up;
    const bool unpaired_without = plain == nullptr || !plain->pair_up;
    return takes_escapes && no_doubled_quotes && pairs_up_with_escape && unpaired_without;
  };
  auto excluded = [&](const Scored& x) {
    if (x.c.escape != kNoQuote) return !escape_proven(x);
    const Scored* escaped = x.c.quote == kNoQuote ? nullptr : twin(x, true);
    return escaped != nullptr && escape_proven(*escaped);
  };
  // A file whose quotes pair up is read with them: reading them as text
  // cuts the quoted delimiters and line breaks, however consistent the
  // pieces look in a small sample.
  auto quoted_reading_pairs_up = [&](const Candidate& c) {
    return std::any_of(scored_begin, scored_end, [&](const Scored& x) {
      return x.pair_up && x.c.delimiter == c.delimiter && x.c.skip == c.skip;
    });
  };
  // Likewise a quote character that (but for a few fields) pairs up under
  // some delimiter that most rows follow is the file's: a reading that
  // ignores it cuts the quoted text at its blanks or colons. The single
  // quote, an apostrophe as often, needs two quoted fields.
  std::uint32_t double_protects = 0, single_protects = 0;  // bits as in Reading::quoted_bytes
  for (auto it = scored_begin; it != scored_end; ++it) {
    const Reading* r = it->reading;
    if (r == nullptr || it->c.quote == kNoQuote || !r->quotes_mostly_pair_up() ||
        it->a.consistency < steady) {
      continue;
    }
    if (it->c.quote == '"') double_protects |= r->quoted_bytes;
    if (it->c.quote == '\'' && r->quoted >= 2) single_protects |= r->quoted_bytes;
  }
  auto respects_quotes = [&](const Scored& x) {
    if (x.c.quote == kNoQuote && quoted_reading_pairs_up(x.c)) return false;
    const std::uint8_t slot = kCountSlot[x.c.delimiter];
    const std::uint32_t bit = slot == 0 ? 0 : 1u << slot;
    const bool reads_them = x.reading != nullptr && x.reading->quotes_mostly_pair_up();
    // A delimiter those quotes protect is cut inside them by a reading that
    // does not read them as quotes.
    if ((double_protects & bit) != 0 && !(x.c.quote == '"' && reads_them)) return false;
    if ((single_protects & bit) != 0 && !(x.c.quote == '\'' && reads_them)) return false;
    return true;
  };
  // A reading of two or more columns that most rows follow outweighs any
  // unsteady one, unless the unsteady one's cells are far better typed (a
  // file of several tables of other widths is unsteady under its own
  // delimiter, while blanks inside its text split it steadily). A single column
  // of recognised cells in every row, read as the core reads (double quote,
  // blanks kept), is kept unless such a steady reading is also mostly typed:
  // a file whose delimiter never occurs, or only inside quotes.
  double steady_types = -1;  // the best cell types of a steady reading; -1: none
  for (auto it = scored_begin; it != scored_end; ++it) {
    if (respects_quotes(*it) && it->a.width >= 2 && it->a.consistency >= steady)
      steady_types = std::max(steady_types, it->a.types);
  }
  const bool steady_split = steady_types >= 0;
  const bool typed_split = std::any_of(scored_begin, scored_end, [&](const Scored& x) {
    return respects_quotes(x) && x.a.width >= 2 && x.a.consistency >= steady && x.a.types >= 0.5;
  });
  const Scored* chosen = nullptr;
  for (auto it = scored_begin; it != scored_end && !typed_split && chosen == nullptr; ++it) {
    const Scored& x = *it;
    const bool one_column = x.c.quote == '"' && !x.c.skip && x.a.width == 1 &&
                            x.a.consistency >= 1 && x.a.types >= 1 && x.a.table.size() >= 2;
    if (one_column && respects_quotes(x) && !excluded(x)) chosen = &x;
  }
  const bool one_column_kept = chosen != nullptr;
  for (auto it = scored_begin; it != scored_end && !one_column_kept; ++it) {
    const Scored& x = *it;
    if (!respects_quotes(x) || excluded(x)) continue;
    const bool far_better_typed = x.a.types >= 0.9 && x.a.types > steady_types + 0.5;
    if (steady_split && x.a.width >= 2 && x.a.consistency < steady && !far_better_typed) continue;
    // Reading quotes as text cuts a quoted line break into two rows, and
    // more rows lift the pattern score a little: no quoting must win by a
    // clear margin, not by that.
    const double margin = x.c.quote == kNoQuote ? 1.03 : 1 + 1e-9;
    if (chosen == nullptr || x.a.score > chosen->a.score * margin + 1e-12) chosen = &x;
  }
  // One column: when every reading of two or more columns cuts values
  // (times, dates, numbers) or splits a one-field header's rows unsteadily,
  // the file is a single column, read with a delimiter it never uses.
  const Scored* single = nullptr;
  const bool some_split =
      std::any_of(scored_begin, scored_end, [](const Scored& x) { return x.a.width >= 2; });
  const bool all_cut = std::all_of(scored_begin, scored_end,
                                   [](const Scored& x) { return x.a.width < 2 || x.cuts_values; });
  // So is one whose best reading is a single column that some rows leave
  // (a delimiter that only cuts a few of them), unless that delimiter is
  // the comma: a comma that cuts a few rows of a CSV file is most likely
  // a ragged row's delimiter, which the repair is for.
  const bool ragged_single = chosen != nullptr && chosen->a.width < 2 &&
                             chosen->a.consistency < 1 && chosen->c.delimiter != ',';
  if (!d.single_line && !o.delimiter && !one_column_kept &&
      ((some_split && all_cut) || ragged_single)) {
    for (const unsigned char u : kDialectDelimiters) {
      if (sample.find(static_cast<char>(u)) != std::string_view::npos) continue;
      const int quote = chosen != nullptr ? chosen->c.quote : '"';
      Scored& x = work.scored[n];
      x.c = Candidate{u, quote, false, chosen != nullptr ? chosen->c.escape : kNoQuote};
      read_sample(sample, x.c, o.sample_rows, complete, work.readings[n]);
      analyse(work.readings[n], x.a, work.widths);
      x.pair_up = x.cuts_values = false;
      x.escapes_quotes = x.doubles_quotes = false;
      x.reading = &work.readings[n];
      chosen = single = &x;
      break;
    }
  }
  static const Reading kNoReading;
  const Reading& best_reading = chosen != nullptr ? *chosen->reading : kNoReading;
  // The steps below narrow the chosen reading's analysis to the table
  // itself (other tables, notes under it): it is the thread's scratch, read
  // by nothing else from here on.
  Analysis no_analysis;
  Analysis& best = chosen != nullptr
                       ? work.scored[static_cast<std::size_t>(chosen - work.scored.data())].a
                       : no_analysis;
  if (chosen != nullptr) winner = chosen->c;
  if (o.keep_evidence) {
    auto evidence = [&](const Scored& x) {
      CandidateEvidence e;
      e.delimiter = x.c.delimiter;
      if (x.c.quote != kNoQuote) e.quote_char = static_cast<unsigned char>(x.c.quote);
      e.skip_initial_space = x.c.skip;
      if (x.c.escape != kNoQuote) e.escape_char = static_cast<unsigned char>(x.c.escape);
      e.rows = x.a.nonblank;
      e.preamble_rows = x.a.preamble_rows;
      e.width = x.a.width;
      e.consistency = x.a.consistency;
      e.pattern_score = x.a.pattern;
      e.type_score = x.a.types;
      e.score = x.a.score;
      e.quotes_pair_up = x.pair_up;
      e.cuts_values = x.cuts_values;
      e.chosen = &x == chosen;
      return e;
    };
    if (single != nullptr) d.evidence.push_back(evidence(*single));
    for (auto it = scored_begin; it != scored_end; ++it) d.evidence.push_back(evidence(*it));
    std::stable_sort(d.evidence.begin(), d.evidence.end(), [](const auto& x, const auto& y) {
      return x.chosen != y.chosen ? x.chosen : x.score > y.score;
    });
  }
  // Step 6: the dialect and the table's start.
  d.delimiter = winner.delimiter;
  d.quote_char =
      winner.quote == kNoQuote ? std::nullopt : std::optional<unsigned char>(winner.quote);
  d.skip_initial_space = winner.skip;
  if (winner.escape != kNoQuote) d.escape_char = static_cast<unsigned char>(winner.escape);
  if (best.preamble_rows > 0 && !best.table.empty()) {
    d.preamble_lines = sep_offset + best_reading.rows[best.table[0]].line;
  } else {
    d.preamble_lines = sep_offset;
  }

  // Step 6a: with several tables, the largest is the table: the lines
  // above it are a preamble, and from the next table on no row is its own.
  // Which table is largest is known only when the sample holds the whole
  // text: a table that runs on past it may be the largest. Short of that,
  // a table followed by another stays one table with it, at the widest of
  // their widths, and no row is set aside on the sample's word.
  const bool whole = complete && best_reading.complete;
  Tables tables = find_tables(sample, best_reading, best, winner.delimiter, winner.quote);
  d.tables = tables.count;
  const bool undecided = !whole && tables.end < best.table.size();
  if (undecided) tables.end = best.table.size();
  if (tables.begin > 0 || tables.end < best.table.size()) {
    if (tables.end < best.table.size())
      d.other_table_line = sep_offset + best_reading.rows[best.table[tables.end]].line + 1;
    if (tables.begin > 0) {
      d.preamble_lines = sep_offset + best_reading.rows[best.table[tables.begin]].line;
      if (tables.table_above)
        d.other_table_above_line = sep_offset + best_reading.rows[best.table[0]].line + 1;
    }
    best.table.assign(best.table.begin() + static_cast<std::ptrdiff_t>(tables.begin),
                      best.table.begin() + static_cast<std::ptrdiff_t>(tables.end));
    best.width = modal_width(best_reading, best.table, work.widths);
  }
  // Step 6b: notes under the table.
  const bool end_known = whole || d.other_table_line != 0;
  const std::size_t notes = footnotes(sample, best_reading, best, end_known, winner.delimiter);
  if (notes < best.table.size()) {
    d.footnote_line = sep_offset + best_reading.rows[best.table[notes]].line + 1;
    best.table.resize(notes);
  }

  // Step 7: header and widths.
  describe_table(best_reading, best, d, work.value_cells, work.filled_cells);
  if (undecided && tables.widest > d.expected_width) {
    d.expected_width = tables.widest;
    d.header_missing_first = false;
  }

  // Step 8: not a table: several rows of sentence-like lines, and no
  // candidate reads them at a steady width of two or more.
  d.not_a_table = !d.single_line && best.nonblank >= 3 && wordy && !consistent_somewhere;
  if (d.not_a_table) d.header_rows = 1;  // no table, no header of several rows
  // A long sample costs far more to read than to allocate for: its working
  // memory (up to a few MiB) is not kept with the thread.
  if (sample.size() > kKeepScratchBelow) work = Scratch{};
  return d;
}

}  // namespace gleave
