#include <algorithm>
#include <string>

#include "engine/dialect/dialect.hpp"
#include "engine/dialect/steps.hpp"

namespace gleave {

namespace {

// How far past the window a sample may reach to hold whole rows: a header
// or quoted field longer than that is rare enough to be read in part.
constexpr std::size_t kMaxReach = 16;

bool field_start(char before) noexcept {
  for (const unsigned char d : kDialectDelimiters) {
    if (before == static_cast<char>(d)) return true;
  }
  return before == '\n' || before == '\r';
}

}  // namespace

namespace {

// Where the sample ends, and how many quoted fields the scan closed where
// no field ends (text after the closing quote): the evidence of whether
// `quote` is the text's quote byte.
struct SampleCut {
  std::size_t end = 0;
  std::size_t opened = 0, unclean = 0, sure_opens = 0;
};

SampleCut cut_sample(std::string_view text, std::size_t window,
                     std::optional<unsigned char> quote) {
  SampleCut cut;
  if (text.size() <= window) {
    cut.end = text.size();
    return cut;
  }
  const std::size_t reach = std::min(text.size(), window * kMaxReach);
  // Row ends as the parser finds them: a quote opens a field only at its
  // start (after a delimiter of any kind, since it is not known yet), and a
  // line break inside an open field belongs to the field.
  std::size_t last = 0, rows = 0;
  bool open = false;
  // Every quoted field of the row being read closed where a field ends: a
  // row that reaches past the window on that evidence is one long row, not a
  // stray quote that swallowed lines until another stray one.
  bool row_clean = true;
  const char q = quote ? static_cast<char>(*quote) : '\0';
  std::size_t p = 0;
  for (; p < reach; ++p) {
    const char c = text[p];
    if (quote && c == q) {
      if (open) {
        if (p + 1 < reach && text[p + 1] == q) {
          ++p;  // a doubled quote inside the field
        } else {
          open = false;
          const bool clean = p + 1 >= text.size() || field_start(text[p + 1]);
          row_clean = row_clean && clean;
          cut.unclean += !clean;
        }
      } else if (p == 0 || field_start(text[p - 1])) {
        open = true;
        ++cut.opened;
        // At a line's start or after a delimiter other than a blank or a
        // colon: a field's start for certain, not a word's in text.
        cut.sure_opens += p == 0 || (text[p - 1] != ' ' && text[p - 1] != ':');
      }
    } else if (c == '\n' && !open) {
      if (p + 1 > window && rows >= 2) {
        // The row across the window's end holds more than half of it (a
        // quoted field longer than the window): the sample takes it whole,
        // as a sample cut inside it would be read as another table.
        if (last < window / 2 && row_clean) {
          cut.end = p + 1;
          return cut;
        }
        break;  // p stays short of the reach
      }
      last = p + 1;
      ++rows;
      row_clean = true;
    }
  }
  // Fewer than two rows that end as the parser finds them (a quote that
  // never closes, or one row longer than the reach): the window is cut
  // where its last line ends, as a plain reading would.
  // So is a window whose second half holds no row end and no long row that
  // ends past it (a quote that opens and never closes): a sample of a few
  // rows would decide for the file.
  if (rows < 2 || last < window / 2) {
    // Unless the text ends within the reach with every field closed: one
    // long row (or two) is then the whole text, read whole.
    if (p == text.size() && !open && row_clean) {
      cut.end = text.size();
      return cut;
    }
    const std::size_t line_end = text.substr(0, window).find_last_of('\n');
    cut.end = line_end == std::string_view::npos || line_end == 0 ? window : line_end + 1;
    return cut;
  }
  cut.end = last;
  return cut;
}

}  // namespace

std::size_t sample_end(std::string_view text, std::size_t window,
                       std::optional<unsigned char> quote) {
  return cut_sample(text, window, quote).end;
}

std::size_t sample_end_any_quote(std::string_view text, std::size_t window) {
  const SampleCut dq = cut_sample(text, window, '"');
  if (dq.end == text.size()) return dq.end;
  const SampleCut sq = cut_sample(text, window, '\'');
  const bool single =
      sq.unclean < dq.unclean || (sq.unclean == dq.unclean && sq.sure_opens > dq.sure_opens);
  return sq.opened > 0 && single ? sq.end : dq.end;
}

namespace dialect {

namespace {

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

// An unquoted field read under an escape, from p to its end: the escape
// takes the delimiter, the quote or itself as a byte of the field. Returns
// whether a quote byte stands in it unescaped.
bool skip_escaped_field(std::string_view s, const Candidate& c, std::size_t& p, std::uint32_t& line,
                        Reading& out) {
  const std::size_t n = s.size();
  bool bare_quote = false;
  const char delim = static_cast<char>(c.delimiter);
  const char esc = static_cast<char>(c.escape);
  const char q = c.quote == kNoQuote ? esc : static_cast<char>(c.quote);
  while (p < n && s[p] != delim && !is_break(s[p])) {
    if (s[p] == esc && p + 1 < n &&
        (s[p + 1] == delim || s[p + 1] == q || s[p + 1] == esc || is_break(s[p + 1]))) {
      out.bare_quotes += s[p + 1] == q && q != esc;
      // (An escaped line break is an escaped row delimiter.)
      out.bare_delimiters += s[p + 1] == delim || is_break(s[p + 1]);
      line += s[p + 1] == '\n' || (s[p + 1] == '\r' && (p + 2 >= n || s[p + 2] != '\n'));
      ++p;
    } else {
      bare_quote = bare_quote || (s[p] == q && q != esc);
      out.lone_escapes += s[p] == esc;
    }
    ++p;
  }
  return bare_quote;
}

// The field as an escape reads it (its escapes dropped), for its type:
// `0\,00` is the number 0,00. Copied only when it holds an escape.
std::string_view unescaped(std::string_view field, const Candidate& c) {
  if (c.escape == kNoQuote || field.find(static_cast<char>(c.escape)) == std::string_view::npos)
    return field;
  thread_local std::string out;
  out.clear();
  const char esc = static_cast<char>(c.escape);
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] == esc && i + 1 < field.size()) ++i;
    out.push_back(field[i]);
  }
  return out;
}

// The field that does not start with a quote at s[p]: `p` moves to its end
// (and `line` past the line breaks it escapes); returns its type.
CellType read_unquoted(std::string_view s, const Candidate& c, std::size_t& p, std::uint32_t& line,
                       Reading& out) {
  const std::size_t n = s.size(), start = p;
  const char delim = static_cast<char>(c.delimiter);
  bool bare_quote = false;  // a quote byte inside, not escaped
  bool lines_escaped = false;
  if (c.escape == kNoQuote) {
    while (p < n && s[p] != delim && !is_break(s[p])) ++p;
    bare_quote =
        c.quote != kNoQuote &&
        s.substr(start, p - start).find(static_cast<char>(c.quote)) != std::string_view::npos;
  } else {
    const std::uint32_t line_before = line;
    bare_quote = skip_escaped_field(s, c, p, line, out);
    lines_escaped = line != line_before;
  }
  out.inner_quotes += bare_quote;
  const CellType type =
      dialect::classify_cell(unescaped(s.substr(start, p - start), c), c.delimiter);
  // Text whose line breaks are escaped is as clean as quoted text.
  return type == CellType::Other && lines_escaped ? CellType::Quoted : type;
}

}  // namespace

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
        // A field that is a quote and nothing more: a title or mark that is
        // one quote, in text that does not quote, when what it opens runs
        // on over a line (a quoted value may start with the delimiter).
        const bool lone = p >= n || s[p] == delim || is_break(s[p]);
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
          out.quoted_breaks += is_break(s[p]);
          quoted_bytes |= 1u << kCountSlot[static_cast<unsigned char>(s[p])];
          ++p;
        }
        out.lone_opens += lone && (!closed || line != line_at);
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
      if (unquoted) type = read_unquoted(s, c, p, line, out);
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

}  // namespace dialect

}  // namespace gleave
