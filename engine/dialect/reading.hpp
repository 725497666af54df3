// What one candidate dialect makes of the sample: its rows, a type per
// cell and what its quotes did, without copying a field. The scoring and
// the structure step (which rows belong to the table) both work on it.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/dialect/cells.hpp"
#include "engine/dialect/dialect.hpp"

namespace gleave::dialect {

inline constexpr int kNoQuote = -1;
inline constexpr std::size_t kPreambleScan = 64;  // rows searched for the table's start
inline constexpr std::size_t kHeaderProbe = 50;   // data rows compared with the header

// The bytes whose occurrences detection counts (the delimiters and the two
// quotes) each have a counter; every other byte shares counter 0.
inline constexpr std::size_t kCounted = std::size(kDialectDelimiters) + 3;
inline constexpr auto kCountSlot = [] {
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
  // The rows' bytes when they were copied out of their text (a few rows a
  // table scan keeps): their begin and end then point in here.
  std::string bytes;
  std::uint32_t end_line = 0;       // physical lines read
  bool complete = false;            // the whole sample was read
  std::uint32_t quoted = 0;         // fields opened by the quote character
  std::uint32_t dirty = 0;          // of those, never closed or followed by more text
  std::uint32_t doubled = 0;        // doubled quotes inside quoted fields
  std::uint32_t escaped = 0;        // backslash-escaped quotes inside quoted fields
  std::uint32_t strays = 0;         // literal quotes inside quoted fields
  std::uint32_t inner_quotes = 0;   // unquoted fields with a quote byte inside
  std::uint32_t lone_opens = 0;     // quotes opening a field with the delimiter or a break next
  std::uint32_t quoted_breaks = 0;  // line breaks inside quoted fields
  // Outside quotes, under an escape: quote bytes and delimiters it escaped
  // (`say \"hi\"`, `a\,b`, as writers that escape rather than quote do).
  // ... and escape bytes before anything else (a path's `C:\dir`).
  std::uint32_t bare_quotes = 0, bare_delimiters = 0, lone_escapes = 0;
  // The counted bytes (see kCountSlot) seen inside quoted fields, one bit
  // per counter: the delimiters the quotes protect.
  std::uint32_t quoted_bytes = 0;
  // Fields that start with a double or a single quote byte, whether or not
  // it quoted them: a quote that starts none reads as no quoting at all.
  std::uint32_t double_starts = 0, single_starts = 0;

  void clear() {
    rows.clear();
    cells.clear();
    bytes.clear();
    end_line = 0;
    complete = false;
    quoted = dirty = doubled = escaped = strays = quoted_bytes = inner_quotes = lone_opens = 0;
    quoted_breaks = 0;
    bare_quotes = bare_delimiters = lone_escapes = 0;
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
  // A quote that is a whole field opens no quoted field in most text: when
  // half the quoted fields open so, the quotes are doing no job.
  bool lone_quotes() const { return lone_opens > 0 && lone_opens * 2 >= quoted; }
  bool quotes_pair_up() const { return quoted > 0 && dirty == 0 && strays == 0 && !lone_quotes(); }
  // The same but for literal quotes inside fields (`"a "b" c"`, which the
  // parser repairs) and a few fields in ten.
  bool quotes_mostly_pair_up() const {
    return quoted > 0 && !lone_quotes() && (dirty == 0 || (quoted >= 10 && dirty * 10 <= quoted));
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

struct RowStats {
  std::uint32_t nonempty = 0, values = 0, texts = 0;
};

inline RowStats stats(const Reading& r, const RowInfo& row) {
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
inline bool header_like(const Reading& r, const RowInfo& row) {
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
  double tabbed = 0;  // the share of cells that are words with tabs between
};

// Widths and how often each occurs (scratch memory, see Scratch).
using WidthCounts = std::vector<std::pair<std::uint32_t, std::uint32_t>>;

inline std::uint32_t modal_width(const Reading& r, const std::vector<std::uint32_t>& rows,
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

}  // namespace gleave::dialect
