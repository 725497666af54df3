#include "dialect/dialect.hpp"

#include <algorithm>
#include <array>
#include <iterator>
#include <string>

#include "dialect/cells.hpp"

#include "dialect/reading.hpp"
#include "dialect/structure.hpp"

namespace gleave {

namespace {

using namespace dialect;

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
      if (q == static_cast<int>(d)) {
        // A given quote that may be the file's delimiter: read it as one
        // too, so that the conflict is found (and refused) rather than the
        // file read as one column.
        if (o.quote_given) out.push_back({d, kNoQuote, skip});
        continue;
      }
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
  // The given quote read as the delimiter (see candidates) stands only
  // when no reading with it as the quote pairs up.
  const bool given_quote_pairs_up =
      o.quote_given && o.quote_char && std::any_of(scored_begin, scored_end, [&](const Scored& x) {
        return x.c.quote == static_cast<int>(*o.quote_char) && x.reading != nullptr &&
               x.reading->quotes_mostly_pair_up();
      });
  auto respects_quotes = [&](const Scored& x) {
    if (x.c.quote == kNoQuote && quoted_reading_pairs_up(x.c)) return false;
    if (x.c.quote == kNoQuote && given_quote_pairs_up &&
        static_cast<int>(x.c.delimiter) == static_cast<int>(*o.quote_char)) {
      return false;
    }
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
  d.tables_undecided = undecided;
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
