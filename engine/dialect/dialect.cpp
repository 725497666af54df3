#include "engine/dialect/dialect.hpp"

#include <algorithm>
#include <array>
#include <iterator>
#include <string>

#include "engine/dialect/cells.hpp"

#include "engine/dialect/reading.hpp"
#include "engine/dialect/steps.hpp"
#include "engine/dialect/structure.hpp"

namespace gleave {

namespace {

using namespace dialect;

void rescore(Analysis& a) {
  const double coverage = static_cast<double>(a.table.size()) / static_cast<double>(a.nonblank);
  a.score = a.pattern * std::max(a.types, 1e-3) * coverage;
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
  std::uint64_t cells = 0, typed = 0, tabbed = 0, at_width = 0;
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
    for (std::uint32_t k = 0; k < row.width; ++k) {
      typed += dialect::is_typed(r.cell(row, k));
      tabbed += r.cell(row, k) == CellType::Tabbed;
    }
    cells += row.width;
  }
  double pattern = 0;
  for (const auto& [w, count] : patterns) pattern += count * (w - 1.0) / w;
  a.pattern = pattern / static_cast<double>(patterns.size());
  a.types = cells == 0 ? 0 : static_cast<double>(typed) / static_cast<double>(cells);
  a.tabbed = cells == 0 ? 0 : static_cast<double>(tabbed) / static_cast<double>(cells);
  a.consistency = static_cast<double>(at_width) / static_cast<double>(a.table.size());
  rescore(a);
}

// Whether the delimiter stands inside dates and times in the table's rows:
// a colon delimiter whose colons are, four in five, the colons of times (one
// or two digits before, two digits and no third after: 12:30, 01:00:00), or
// a blank delimiter that cuts a date with the month named (Jan 1 1990) in
// four rows in five.
bool splits_dates(std::string_view s, const Reading& r, const Analysis& a,
                  unsigned char delimiter) {
  if (a.width < 2 || (delimiter != ':' && delimiter != ' ')) return false;
  auto digit = [](char c) { return c >= '0' && c <= '9'; };
  std::size_t colons = 0, in_times = 0, dated_rows = 0;
  for (const std::uint32_t i : a.table) {
    const RowInfo& row = r.rows[i];
    bool dated = false;
    for (std::size_t p = row.begin; p < row.end && !dated; ++p) {
      if (delimiter == ' ') {
        // (A field starts here; a quoted date starts with its quote.)
        if (p > row.begin && s[p - 1] != ' ') continue;
        dated = dialect::month_date_length(s.substr(p, row.end - p)) > 0;
        continue;
      }
      if (s[p] != ':') continue;
      ++colons;
      const bool hours = p > row.begin && digit(s[p - 1]) &&
                         (p < row.begin + 3 || !digit(s[p - 2]) || !digit(s[p - 3]));
      in_times += hours && p + 2 < row.end && digit(s[p + 1]) && digit(s[p + 2]) &&
                  (p + 3 >= row.end || !digit(s[p + 3]));
    }
    dated_rows += dated;
  }
  if (delimiter == ' ') return !a.table.empty() && dated_rows * 5 >= a.table.size() * 4;
  return colons > 0 && in_times * 5 >= colons * 4;
}

// A reading of two or more columns that cuts values: most of its split
// rows are, whole, one time, date or timestamp cut into pieces that are not
// values themselves (2021-03-04 12 | 00 under ':'), or, below a first row
// of a single field (a one-column file's header), one time, date or number
// (05:40 under ':', 12 500 under ' '); or such a first row is followed by
// rows of unsteady width.
bool cuts_values(std::string_view s, const Reading& r, const Analysis& a, double steady,
                 unsigned char delimiter) {
  if (a.width < 2 || a.table.empty()) return false;
  const bool space_delimiter = delimiter == ' ';
  // The file's first row, even when this reading moved it above the table:
  // a one-field header is a header whether or not the candidate keeps it.
  const RowInfo* first = &r.rows[a.table[0]];
  if (a.preamble_rows == 1) {
    for (const RowInfo& row : r.rows) {
      if (row.blank) continue;
      // One name (no title of several words) over a table with no header
      // of its own, over rows a blank splits, or over ragged rows.
      const bool one_name = row.width == 1 && !row.words_first;
      if (one_name && (delimiter == ' ' || !header_like(r, *first) || a.consistency < 1))
        first = &row;
      break;
    }
  }
  const bool narrow_head = first->width == 1;
  std::uint32_t split = 0, values = 0, text_rows = 0;
  for (const std::uint32_t i : a.table) {
    const RowInfo& row = r.rows[i];
    if (row.width < 2) continue;
    ++split;
    std::string_view whole = s.substr(row.begin, row.end - row.begin);
    while (!whole.empty() && (whole.front() == ' ' || whole.front() == '\t'))
      whole.remove_prefix(1);
    while (!whole.empty() && (whole.back() == ' ' || whole.back() == '\t')) whole.remove_suffix(1);
    // A row of values cut apart (pieces that are no values themselves, or
    // under a one-field header) rather than a row of separate values; one
    // value beside empty cells is cut nowhere.
    bool fragments = narrow_head;
    std::uint32_t pieces = 0;
    for (std::uint32_t k = 0; k < row.width; ++k) {
      fragments = fragments || !dialect::is_value(r.cell(row, k));
      pieces += r.cell(row, k) != CellType::Empty;
    }
    bool text_only = true;
    for (std::uint32_t k = 0; k < row.width && text_only; ++k) {
      text_only = !dialect::is_value(r.cell(row, k));
    }
    text_rows += text_only;
    values += fragments && pieces >= 2 &&
              (dialect::is_date_or_time(whole) || (narrow_head && dialect::is_number(whole, true)));
  }
  if (split == 0) return false;
  // Below a one-field header, a blank that yields text only is cutting
  // names with blanks (New York), not separating columns (and a blank that
  // yields text only in half the rows, Digit 7 among them); so is any other
  // delimiter that yields text only in rows of unequal width.
  const bool names_cut = narrow_head && a.preamble_rows == 1 &&
                         ((text_rows == split && (space_delimiter || a.consistency < 1)) ||
                          (space_delimiter && text_rows * 2 >= split));
  // A first row of one value under rows a blank cuts in two is no header
  // one name short: the blanks are inside the values (0, Digit 2).
  const bool short_first_value =
      narrow_head && space_delimiter && a.preamble_rows == 0 && !header_like(r, *first);
  // Blanks that split rows into unequal numbers of pieces, most of them
  // text only, are the blanks inside names and phrases (New York, Digit
  // 7, St. Louis), not a space-delimited table, whose rows keep one width.
  const bool words_cut = space_delimiter && a.consistency < 0.9 && text_rows * 2 >= split;
  return values * 5 >= split * 4 || names_cut || short_first_value || words_cut ||
         (narrow_head && a.consistency < steady);
}

struct Scored {
  Candidate c;
  Analysis a;
  bool pair_up = false;
  bool cuts_values = false;
  bool splits_dates = false;         // a delimiter that stands inside times or spaced dates
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
  TableScratch table;  // describe_table's
};

std::size_t mean_blanks_per_line(std::string_view s) {
  const std::size_t lines = std::max<std::size_t>(1, count_byte(s, '\n'));
  return count_byte(s, ' ') / lines;
}

// What one detection knows of its sample once it is taken.
struct Sample {
  std::string_view text;         // the sample, past a BOM and a `sep=` line
  bool complete = false;         // it is the whole input: a quote may run away only then
  std::uint64_t sep_offset = 0;  // 1 when a `sep=` line was cut off
  bool wordy = false;            // its lines read like sentences
  double steady = 0.6;           // the share of rows at one width that makes a table
};

// Steps 1-2: the sample, past a byte-order mark, cut at a row end; a `sep=`
// line; and the delimiter of a sample of one row.
Sample take_sample(std::string_view text, Dialect& o, Dialect& d) {
  Sample out;
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  std::string_view sample =
      text.substr(0, o.quote_char.given ? sample_end(text, o.sample_bytes, o.quote_char.value)
                                        : sample_end_any_quote(text, o.sample_bytes));
  out.complete = sample.size() == text.size();
  std::size_t sep_end = 0;
  if (const auto x = sep_line(sample, sep_end)) {
    d.sep_line = true;
    out.sep_offset = 1;
    sample.remove_prefix(sep_end);
    if (!o.delimiter.given) o.delimiter.give(*x);
  }
  // One row only. (Plain loops: std::string_view's find_first_of calls
  // memchr per byte.)
  std::size_t body_start = 0;
  while (body_start < sample.size() && is_break(sample[body_start])) ++body_start;
  const std::string_view body = sample.substr(body_start);
  std::size_t body_break = 0;
  while (body_break < body.size() && !is_break(body[body_break])) ++body_break;
  std::size_t after = body_break;
  while (after < body.size() &&
         (is_break(body[after]) || body[after] == ' ' || body[after] == '\t'))
    ++after;
  d.single_line = !body.empty() && after == body.size();
  if (d.single_line && !o.delimiter.given)
    o.delimiter.give(single_line_delimiter(body.substr(0, body_break)));
  out.text = sample;
  // Lines that read like sentences must be cut very steadily to count as a table.
  out.wordy = mean_blanks_per_line(sample) >= 5;
  out.steady = out.wordy ? 0.9 : 0.6;
  return out;
}

// Words with tabs between are clean text in a reading that keeps every row,
// its first included, at one width of two or more, once the tab itself
// does not: a tab that moves rows above the table (a header with no tab)
// or cuts them at unsteady widths is cutting text, not separating columns.
// Under a blank delimiter only a header with no tab tells: a ragged tab
// file of names with one blank each splits as steadily at its blanks.
void credit_tabbed_text(Scored* begin, Scored* end) {
  auto whole = [](const Scored& x) {
    return x.reading != nullptr && x.a.preamble_rows == 0 && x.a.width >= 2 && x.a.consistency >= 1;
  };
  auto tab = [](const Scored& x) { return x.c.delimiter == '\t' && x.reading != nullptr; };
  if (std::any_of(begin, end, [&](const Scored& x) { return tab(x) && whole(x); })) return;
  // A first row with no tab over rows the tab splits: a header with no tab.
  auto untabbed_head = [](const Scored& x) {
    const auto& rows = x.reading->rows;
    const auto first =
        std::find_if(rows.begin(), rows.end(), [](const RowInfo& r) { return !r.blank; });
    return x.a.preamble_rows > 0 || (first != rows.end() && first->width == 1 && x.a.width >= 2);
  };
  const bool header_untabbed =
      std::any_of(begin, end, [&](const Scored& x) { return tab(x) && untabbed_head(x); });
  for (Scored* x = begin; x != end; ++x) {
    if (x->a.tabbed == 0 || !whole(*x) || (x->c.delimiter == ' ' && !header_untabbed)) continue;
    x->a.types += x->a.tabbed;
    x->a.tabbed = 0;
    rescore(x->a);
  }
}

// Steps 3-5: reads and scores every candidate into work.scored[0, n).
// Returns whether some reading is a steady table of two or more columns.
bool score_candidates(const Sample& sample, const Dialect& o, bool single_line, Scratch& work) {
  std::vector<Candidate>& cands = work.candidates;
  candidates(sample.text, o, cands);
  const std::size_t n = cands.size();
  if (work.readings.size() < n + 1) work.readings.resize(n + 1);
  if (work.scored.size() < n + 1) work.scored.resize(n + 1);
  bool consistent_somewhere = false;
  for (std::size_t i = 0; i < n; ++i) {
    const Candidate& c = cands[i];
    Scored& x = work.scored[i];
    // A quote character that starts no field reads the sample as an
    // earlier reading of the same delimiter that quoted nothing did: that
    // reading is shared rather than made again.
    const Scored* twin = nullptr;
    for (std::size_t j = 0; j < i && twin == nullptr; ++j) {
      const Scored& y = work.scored[j];
      if (y.c.delimiter == c.delimiter && y.c.skip == c.skip && y.c.escape == c.escape &&
          y.reading != nullptr && y.reading->same_with(c.quote)) {
        twin = &y;
      }
    }
    if (twin != nullptr) {
      x.a = twin->a;
      x.c = c;
      x.pair_up = false;
      x.cuts_values = twin->cuts_values;
      x.splits_dates = twin->splits_dates;
      x.reading = twin->reading;
      x.escapes_quotes = x.doubles_quotes = false;
      continue;
    }
    Reading& reading = work.readings[i];
    // No quoting loses to a quote that pairs up (see Chooser); with the
    // delimiter settled and no evidence wanted, its reading would only
    // count towards a table somewhere, which a single line or a sample
    // that is not wordy never asks about.
    const bool loses =
        c.quote == kNoQuote && o.delimiter.given && !o.keep_evidence &&
        (single_line || !sample.wordy) &&
        std::any_of(work.scored.begin(), work.scored.begin() + static_cast<std::ptrdiff_t>(i),
                    [&](const Scored& y) {
                      return y.pair_up && y.c.delimiter == c.delimiter && y.c.skip == c.skip;
                    });
    if (loses) {  // never chosen, and not read: no reading to share either
      reading.clear();
      analyse(reading, x.a, work.widths);
      x.c = c;
      x.pair_up = x.cuts_values = x.splits_dates = false;
      x.escapes_quotes = x.doubles_quotes = false;
      x.reading = nullptr;
      continue;
    }
    read_sample(sample.text, c, o.sample_rows, sample.complete, reading);
    analyse(reading, x.a, work.widths);
    consistent_somewhere =
        consistent_somewhere || (x.a.width >= 2 && x.a.consistency >= sample.steady);
    x.c = c;
    x.pair_up = c.quote != kNoQuote && reading.quotes_pair_up();
    // Only the one-column rule (delimiter not settled) and the evidence use it.
    x.cuts_values = (!o.delimiter.given || o.keep_evidence) &&
                    cuts_values(sample.text, reading, x.a, sample.steady, c.delimiter);
    x.splits_dates = splits_dates(sample.text, reading, x.a, c.delimiter);
    x.reading = &reading;
    x.escapes_quotes = reading.escaped > 0;
    x.doubles_quotes = reading.doubled > 0;
  }
  credit_tabbed_text(work.scored.data(), work.scored.data() + n);
  return consistent_somewhere;
}

// Step 5: which scored reading wins, and the rules that rule readings out.
// A later candidate must score strictly higher to win.
class Chooser {
 public:
  Chooser(const Scored* begin, const Scored* end, const Dialect& o, double steady)
      : begin_(begin), end_(end), o_(o), steady_(steady) {
    collect_protected_delimiters();
    find_escaped_delimiter();
    given_quote_pairs_up_ = o.quote_char.given && o.quote_char.value && any([&](const Scored& x) {
                              return x.c.quote == static_cast<int>(*o.quote_char.value) &&
                                     x.reading != nullptr && x.reading->quotes_mostly_pair_up();
                            });
  }

  // The chosen reading, or nullptr when none is in the running;
  // `one_column` says it was chosen as a single column of typed cells.
  const Scored* choose(bool& one_column) const;

 private:
  template <typename F>
  bool any(F f) const {
    return std::any_of(begin_, end_, f);
  }

  // The reading of x's delimiter, quote and blanks with (or without) an escape.
  const Scored* twin(const Scored& x, bool escaped) const {
    for (const Scored* y = begin_; y != end_; ++y) {
      if (y->c.delimiter == x.c.delimiter && y->c.quote == x.c.quote && y->c.skip == x.c.skip &&
          (y->c.escape != kNoQuote) == escaped)
        return y;
    }
    return nullptr;
  }

  // Step 5a: the escape character. A reading that takes a backslash before
  // a quote as an escape counts only when it makes the quotes work: it took
  // escaped quotes, saw no doubled one (a file doubles its quotes or
  // escapes them, not both), its quotes pair up, and the same dialect read
  // without the escape leaves quoted fields unclosed or followed by text.
  // Given by the caller, the escape is taken as it is.
  // Outside quotes, it proves itself when every quote byte in an unquoted
  // field stands after it (`say \"hi\"`: a writer that escapes rather
  // than quotes), or when the delimiters it escapes (`a\,b`) make rows of
  // one width, every row kept, that the plain reading leaves ragged or
  // sets rows aside from (or, when every escape byte escapes, in which
  // the plain reading ends fields with it); quoted fields, if any,
  // must still pair up.
  bool escape_proven(const Scored& x) const {
    if (o_.escape_char.given) return true;
    const Scored* plain = twin(x, false);
    if (x.doubles_quotes || x.reading == nullptr) return false;
    if (x.escapes_quotes && x.pair_up && (plain == nullptr || !plain->pair_up)) return true;
    const Reading& r = *x.reading;
    if (plain == nullptr || plain->reading == nullptr || (r.quoted > 0 && !x.pair_up) ||
        r.inner_quotes > 0)
      return false;
    return (r.bare_quotes > 0 && plain->reading->inner_quotes > 0) ||
           (r.bare_delimiters > 0 && x.a.consistency >= 1 && x.a.preamble_rows == 0 &&
            (plain->a.consistency < 1 || plain->a.preamble_rows > 0 || r.lone_escapes == 0));
  }

  // A writer escapes its own delimiter inside values (`a\,b`, a TAB as
  // `\<TAB>`) and no other: an escape proven by escaped delimiters that
  // keep every row at one width of two or more names the delimiter, and
  // leaves in the running only its readings under that escape. Otherwise
  // the blanks of spaced dates (Jun 21 2021) or the colons of text may
  // score higher than the escaped delimiter.
  void find_escaped_delimiter() {
    for (const Scored* x = begin_; x != end_; ++x) {
      if (x->c.escape == kNoQuote || x->reading == nullptr || x->reading->bare_delimiters == 0 ||
          x->reading->lone_escapes > 0 || x->a.width < 2 || x->a.consistency < 1 ||
          x->a.preamble_rows > 0 || x->a.table.size() < 2 || !escape_proven(*x))
        continue;
      if (escaped_delimiter_ >= 0 && escaped_delimiter_ != x->c.delimiter) {
        escaped_delimiter_ = -1;  // two delimiters escaped alike prove neither
        return;
      }
      escaped_delimiter_ = x->c.delimiter;
    }
  }

  bool excluded(const Scored& x) const {
    if (escaped_delimiter_ >= 0 && (x.c.delimiter != escaped_delimiter_ || x.c.escape == kNoQuote))
      return true;
    if (x.c.escape != kNoQuote) return !escape_proven(x);
    const Scored* escaped = x.c.quote == kNoQuote ? nullptr : twin(x, true);
    return escaped != nullptr && escape_proven(*escaped);
  }

  // A file whose quotes pair up is read with them: reading them as text
  // cuts the quoted delimiters and line breaks, however consistent the
  // pieces look in a small sample.
  bool quoted_reading_pairs_up(const Candidate& c) const {
    return any([&](const Scored& x) {
      return x.pair_up && x.c.delimiter == c.delimiter && x.c.skip == c.skip;
    });
  }

  // Likewise a quote character that (but for a few fields) pairs up under
  // some delimiter that most rows follow is the file's: a reading that
  // ignores it cuts the quoted text at its blanks or colons. The single
  // quote, an apostrophe as often, needs two quoted fields.
  void collect_protected_delimiters() {
    for (const Scored* it = begin_; it != end_; ++it) {
      const Reading* r = it->reading;
      if (r != nullptr && it->c.quote != kNoQuote && r->quotes_pair_up() && r->quoted_breaks > 0 &&
          (it->c.quote == '"' || r->quoted >= 2) && it->a.width >= 2 && it->a.consistency >= 1 &&
          it->a.preamble_rows == 0 &&
          (breaks_quoted_by_ == kNoQuote || breaks_quoted_by_ == it->c.quote))
        breaks_quoted_by_ = it->c.quote;
      if (r == nullptr || it->c.quote == kNoQuote || !r->quotes_mostly_pair_up() ||
          it->a.consistency < steady_) {
        continue;
      }
      if (it->c.quote == '"') double_protects_ |= r->quoted_bytes;
      if (it->c.quote == '\'' && r->quoted >= 2) single_protects_ |= r->quoted_bytes;
    }
  }

  // Quotes that open and close exactly at field boundaries under one steady
  // delimiter, and are followed by more text (or stand inside fields) under
  // another, belong to the first: the second cuts through what they enclose.
  // So do quotes that close only by taking the quotes after them as text
  // (`"a: b":say \"x\" now` under a blank), when the other delimiter reads
  // those as escaped quotes under an escape that proves itself.
  bool cleanly_quoted_elsewhere(const Scored& x) const {
    if (x.c.quote == kNoQuote || x.reading == nullptr) return false;
    const bool strays_only = x.reading->dirty == 0 && x.reading->inner_quotes == 0;
    if (strays_only && x.reading->strays == 0) return false;
    return any([&](const Scored& y) {
      return y.c.quote == x.c.quote && y.c.delimiter != x.c.delimiter && y.reading != nullptr &&
             y.reading->quotes_pair_up() && y.reading->inner_quotes == 0 && y.a.width >= 2 &&
             y.a.consistency >= steady_ &&
             (!strays_only || (y.c.escape != kNoQuote && escape_proven(y)));
    });
  }

  bool respects_quotes(const Scored& x) const {
    if (x.c.quote == kNoQuote && quoted_reading_pairs_up(x.c)) return false;
    // The given quote read as the delimiter (see candidates) stands only
    // when no reading with it as the quote pairs up.
    if (x.c.quote == kNoQuote && given_quote_pairs_up_ &&
        static_cast<int>(x.c.delimiter) == static_cast<int>(*o_.quote_char.value)) {
      return false;
    }
    if (cleanly_quoted_elsewhere(x)) return false;
    // Quotes that pair up around line breaks in a reading that keeps every
    // row at one width are the file's: a reading that does not read them
    // cuts each quoted line break into two rows.
    if (breaks_quoted_by_ != kNoQuote && !(x.c.quote == breaks_quoted_by_ && x.reading != nullptr &&
                                           x.reading->quotes_mostly_pair_up()))
      return false;
    const std::uint8_t slot = kCountSlot[x.c.delimiter];
    const std::uint32_t bit = slot == 0 ? 0 : 1u << slot;
    const bool reads_them = x.reading != nullptr && x.reading->quotes_mostly_pair_up();
    // A delimiter those quotes protect is cut inside them by a reading that
    // does not read them as quotes.
    if ((double_protects_ & bit) != 0 && !(x.c.quote == '"' && reads_them)) return false;
    if ((single_protects_ & bit) != 0 && !(x.c.quote == '\'' && reads_them)) return false;
    return true;
  }

  // A reading that keeps every row, its first included, at one width of
  // two or more.
  bool steady_whole(const Scored& x) const {
    return x.a.preamble_rows == 0 && x.a.width >= 2 && x.a.consistency >= 1 &&
           x.a.table.size() >= 2 && respects_quotes(x) && !excluded(x) && !x.cuts_values &&
           !x.splits_dates;
  }

  // A single column of recognised cells in every row, read as the core
  // reads (double quote, blanks kept), kept unless a steady reading of two
  // or more columns is also mostly typed: a file whose delimiter never
  // occurs, or only inside quotes. Short of such a reading, one whose
  // other quote character pairs up makes the values recognised (values in
  // single quotes).
  const Scored* one_column() const {
    const Scored* other_quote = nullptr;
    for (const Scored* x = begin_; x != end_; ++x) {
      const bool one = !x->c.skip && x->a.width == 1 && x->a.consistency >= 1 && x->a.types >= 1 &&
                       x->a.table.size() >= 2 && respects_quotes(*x) && !excluded(*x);
      if (one && x->c.quote == '"') return x;
      // (An apostrophe is a quote only when it quotes two fields or more,
      // or a field that holds a delimiter.)
      const bool quotes =
          x->pair_up && (x->reading->quoted >= 2 || (x->reading->quoted_bytes & ~1u));
      if (one && quotes && other_quote == nullptr) other_quote = x;
    }
    return other_quote;
  }

  const Scored* begin_;
  const Scored* end_;
  const Dialect& o_;
  double steady_;
  std::uint32_t double_protects_ = 0, single_protects_ = 0;  // bits as in Reading::quoted_bytes
  bool given_quote_pairs_up_ = false;
  int breaks_quoted_by_ = kNoQuote;  // a quote around line breaks (see respects_quotes)
  int escaped_delimiter_ = -1;       // a delimiter its escapes prove (see find_escaped_delimiter)
};

const Scored* Chooser::choose(bool& one_column_kept) const {
  // A reading of two or more columns that most rows follow outweighs any
  // unsteady one, unless the unsteady one's cells are far better typed (a
  // file of several tables of other widths is unsteady under its own
  // delimiter, while blanks inside its text split it steadily).
  double steady_types = -1;  // the best cell types of a steady reading; -1: none
  bool typed_split = false;
  for (const Scored* x = begin_; x != end_; ++x) {
    if (!respects_quotes(*x) || x->a.width < 2 || x->a.consistency < steady_) continue;
    steady_types = std::max(steady_types, x->a.types);
    typed_split = typed_split || x->a.types >= 0.5;
  }
  one_column_kept = false;
  if (!typed_split) {
    if (const Scored* one = one_column()) {
      one_column_kept = true;
      return one;
    }
  }
  // Moving rows out of the table costs: a reading that keeps every row, its
  // first included, at one width of two or more leaves no reading that sets
  // rows aside in the running (a header above a table is not a title).
  double whole_types = -1;  // the best cell types of such a reading; -1: none
  for (const Scored* x = begin_; x != end_; ++x) {
    if (steady_whole(*x)) whole_types = std::max(whole_types, x->a.types);
  }
  const Scored* chosen = nullptr;
  for (const Scored* it = begin_; it != end_; ++it) {
    const Scored& x = *it;
    if (!respects_quotes(x) || excluded(x)) continue;
    // ... and so does one that stands inside times or dates (when it is
    // typed as well: blanks inside text may split a title and every row
    // alike).
    const bool as_typed = whole_types + 0.05 >= x.a.types;
    const bool moves_or_repairs = x.a.preamble_rows > 0 || x.a.consistency < 1;
    if (whole_types >= 0 && ((moves_or_repairs && as_typed) || x.splits_dates)) continue;
    // Of two readings that both keep every row steady, one whose pieces
    // are clearly less often values or clean text cuts inside the values
    // (Jan 1 1990 under a blank).
    if (whole_types >= 0.9 && x.a.types + 0.1 < whole_types) continue;
    const bool far_better_typed = x.a.types >= 0.9 && x.a.types > steady_types + 0.5;
    if (steady_types >= 0 && x.a.width >= 2 && x.a.consistency < steady_ && !far_better_typed)
      continue;
    // Reading quotes as text cuts a quoted line break into two rows, and
    // more rows lift the pattern score a little: no quoting must win by a
    // clear margin, not by that.
    const double margin = x.c.quote == kNoQuote ? 1.03 : 1 + 1e-9;
    if (chosen == nullptr || x.a.score > chosen->a.score * margin + 1e-12) chosen = &x;
  }
  return chosen;
}

// One column: when every reading of two or more columns cuts values
// (times, dates, numbers) or splits a one-field header's rows unsteadily,
// the file is a single column, read with a delimiter it never uses. So is
// one whose best reading is a single column that some rows leave (a
// delimiter that only cuts a few of them), unless that delimiter is the
// comma: a comma that cuts a few rows of a CSV file is most likely a ragged
// row's delimiter, which the repair is for. Returns the reading made, in
// work.scored[n], or nullptr.
Scored* single_column(const Sample& sample, const Dialect& o, const Scored* chosen, std::size_t n,
                      Scratch& work) {
  const auto b = work.scored.begin();
  const auto e = b + static_cast<std::ptrdiff_t>(n);
  const bool some_split = std::any_of(b, e, [](const Scored& x) { return x.a.width >= 2; });
  const bool all_cut =
      std::all_of(b, e, [](const Scored& x) { return x.a.width < 2 || x.cuts_values; });
  const bool ragged_single = chosen != nullptr && chosen->a.width < 2 &&
                             chosen->a.consistency < 1 && chosen->c.delimiter != ',';
  if (!(some_split && all_cut) && !ragged_single) return nullptr;
  for (const unsigned char u : kDialectDelimiters) {
    if (sample.text.find(static_cast<char>(u)) != std::string_view::npos) continue;
    // With no reading chosen, a given quote (or none) holds as in every other.
    const int given = o.quote_char.value ? static_cast<int>(*o.quote_char.value) : kNoQuote;
    // (An apostrophe that quoted nothing cleanly is no quote of a column of
    // names such as O'Brien.)
    const bool apostrophe =
        chosen != nullptr && chosen->c.quote == '\'' && !chosen->pair_up && !o.quote_char.given;
    const int quote = apostrophe           ? '"'
                      : chosen != nullptr  ? chosen->c.quote
                      : o.quote_char.given ? given
                                           : '"';
    Scored& x = work.scored[n];
    x.c = Candidate{u, quote, false, chosen != nullptr ? chosen->c.escape : kNoQuote};
    read_sample(sample.text, x.c, o.sample_rows, sample.complete, work.readings[n]);
    analyse(work.readings[n], x.a, work.widths);
    x.pair_up = x.cuts_values = x.splits_dates = false;
    x.escapes_quotes = x.doubles_quotes = false;
    x.reading = &work.readings[n];
    return &x;
  }
  return nullptr;
}

CandidateEvidence evidence_of(const Scored& x, const Scored* chosen) {
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
}

// Steps 6-7 on the chosen reading: the dialect, the table's start, other
// tables and notes, then the header and widths. `best` is narrowed to the
// table itself.
void settle_table(const Sample& sample, const Reading& r, Analysis& best, const Candidate& winner,
                  Dialect& d, Scratch& work) {
  d.delimiter.value = winner.delimiter;
  d.quote_char.value =
      winner.quote == kNoQuote ? std::nullopt : std::optional<unsigned char>(winner.quote);
  d.skip_initial_space.value = winner.skip;
  if (winner.escape != kNoQuote) d.escape_char.value = static_cast<unsigned char>(winner.escape);
  const std::uint64_t sep_offset = sample.sep_offset;
  d.preamble_lines.value = sep_offset;
  if (best.preamble_rows > 0 && !best.table.empty())
    d.preamble_lines.value = sep_offset + r.rows[best.table[0]].line;

  // Step 6a: with several tables, the largest is the table: the lines
  // above it are a preamble, and from the next table on no row is its own.
  // Which table is largest is known only when the sample holds the whole
  // text: a table that runs on past it may be the largest. Short of that,
  // a table followed by another stays one table with it, at the widest of
  // their widths, and no row is set aside on the sample's word.
  const bool whole = sample.complete && r.complete;
  Tables tables = find_tables(sample.text, r, best, winner.delimiter, winner.quote);
  d.tables = tables.count;
  const bool undecided = !whole && tables.end < best.table.size();
  if (undecided) tables.end = best.table.size();
  d.tables_undecided = undecided;
  if (tables.begin > 0 || tables.end < best.table.size()) {
    if (tables.end < best.table.size())
      d.other_table_line = sep_offset + r.rows[best.table[tables.end]].line + 1;
    if (tables.begin > 0) {
      d.preamble_lines.value = sep_offset + r.rows[best.table[tables.begin]].line;
      if (tables.table_above)
        d.other_table_above_line = sep_offset + r.rows[best.table[0]].line + 1;
    }
    best.table.assign(best.table.begin() + static_cast<std::ptrdiff_t>(tables.begin),
                      best.table.begin() + static_cast<std::ptrdiff_t>(tables.end));
    best.width = modal_width(r, best.table, work.widths);
  }
  // Step 6b: notes under the table.
  const bool end_known = whole || d.other_table_line != 0;
  const std::size_t notes = footnotes(sample.text, r, best, end_known, winner.delimiter);
  if (notes < best.table.size()) {
    d.footnote_line = sep_offset + r.rows[best.table[notes]].line + 1;
    best.table.resize(notes);
  }
  // Step 7: header and widths.
  describe_table(sample.text, r, best, winner, d, work.table);
  if (undecided && tables.widest > d.expected_width) {
    d.expected_width.value = tables.widest;
    d.header_missing_first = false;
  }
}

// Comments: given, or '#' when a line starts with it and is no row of the
// table: above the table, or of another width than its rows (a '#' row of
// the table's width, a header "#id,name" included, is a row).
void find_comments(const Dialect& o, const Reading& r, const Analysis& best, Dialect& d) {
  if (o.comment_char.given) {
    d.comment_char.value = o.comment_char.value;
    return;
  }
  const std::size_t head = best.table.empty() ? SIZE_MAX : best.table.front();
  for (std::size_t i = 0; i < r.rows.size() && !d.comment_char.value; ++i) {
    const RowInfo& row = r.rows[i];
    if (!row.comment || row.blank || i == head) continue;
    if (i < head || row.width != best.width || best.width == 1) d.comment_char.value = '#';
  }
}

}  // namespace

Dialect detect_dialect(std::string_view text, const Dialect& given) {
  Dialect d;
  Dialect o = given;
  const Sample sample = take_sample(text, o, d);
  thread_local Scratch storage;
  Scratch& work = storage;  // the thread's storage looked up once
  const bool consistent_somewhere = score_candidates(sample, o, d.single_line, work);
  const std::size_t n = work.candidates.size();
  bool one_column_kept = false;
  const Scored* chosen =
      Chooser(work.scored.data(), work.scored.data() + n, o, sample.steady).choose(one_column_kept);
  const Scored* single = nullptr;
  if (!d.single_line && !o.delimiter.given && !one_column_kept) {
    if (Scored* x = single_column(sample, o, chosen, n, work)) chosen = single = x;
  }
  if (o.keep_evidence) {
    if (single != nullptr) d.evidence.push_back(evidence_of(*single, chosen));
    for (std::size_t i = 0; i < n; ++i) d.evidence.push_back(evidence_of(work.scored[i], chosen));
    std::stable_sort(d.evidence.begin(), d.evidence.end(), [](const auto& x, const auto& y) {
      return x.chosen != y.chosen ? x.chosen : x.score > y.score;
    });
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
  const Candidate winner = chosen != nullptr ? chosen->c : Candidate{',', '"', false};
  settle_table(sample, best_reading, best, winner, d, work);
  find_comments(o, best_reading, best, d);
  // Step 8: not a table: several rows of sentence-like lines, and no
  // candidate reads them at a steady width of two or more.
  d.not_a_table = !d.single_line && best.nonblank >= 3 && sample.wordy && !consistent_somewhere;
  if (d.not_a_table) d.header_rows = 1;  // no table, no header of several rows
  // A long sample costs far more to read than to allocate for: its working
  // memory (up to a few MiB) is not kept with the thread.
  if (sample.text.size() > kKeepScratchBelow) work = Scratch{};
  return d;
}

}  // namespace gleave
