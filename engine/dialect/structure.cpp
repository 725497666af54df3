#include "engine/dialect/structure.hpp"

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/dialect/steps.hpp"

namespace gleave::dialect {

namespace {

// Lines of a key and its value ("Exported;2024-12-15") from row k of
// `nonblank` right down to a header of the table's width, four or more
// names, with no blank line between: a description of the export above it,
// not its rows (a small table above stands apart, after a blank line).
bool key_values(const Reading& r, const std::vector<std::uint32_t>& nonblank, std::size_t k,
                std::size_t limit, std::uint32_t width) {
  if (width < 4) return false;
  for (std::size_t j = k; j <= limit && j < nonblank.size(); ++j) {
    if (j > k && nonblank[j] != nonblank[j - 1] + 1) return false;
    const RowInfo& row = r.rows[nonblank[j]];
    if (row.width == width) return j > k && header_like(r, row);
    if (row.width != 2 || !dialect::is_text(r.cell(row, 0))) return false;
  }
  return false;
}

// Whether row i of the reading takes one physical line: a title does, a
// row whose quoted field spans lines is a row of the table.
bool one_line(const Reading& r, std::uint32_t i) {
  const std::uint32_t next_line = i + 1 < r.rows.size() ? r.rows[i + 1].line : r.end_line;
  return next_line <= r.rows[i].line + 1;
}

}  // namespace

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
        width >= 3 && row.width == width && one_line(r, nonblank[k]) &&
        ((st.nonempty == 0 && k > 0) ||
         (st.nonempty == 1 && dialect::is_text(r.cell(row, 0)) &&
          (row.words_first || k > 0 || (next.width == width && stats(r, next).nonempty == 0))));
    if (!(is_comment || too_narrow || title_above_header || padded_title ||
          key_values(r, nonblank, k, limit, width))) {
      break;
    }
  }
  return k;
}

namespace {

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

}  // namespace

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

namespace {

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

}  // namespace

namespace {

// A table's first rows to judge it by: its header and the rows below it
// that the header rules probe (kHeaderProbe, after a header of up to four rows).
constexpr std::size_t kHeadRows = kHeaderProbe + 6;

// Appends `row` of `from` (its cell types; no bytes) to `to`.
// Copies a row, its cell types and its bytes (`bytes`, its text) into `to`.
void copy_row(const Reading& from, const RowInfo& row, std::string_view bytes, Reading& to) {
  RowInfo c = row;
  c.first_cell = static_cast<std::uint32_t>(to.cells.size());
  c.begin = to.bytes.size();
  to.bytes.append(bytes);
  c.end = to.bytes.size();
  const auto first = from.cells.begin() + static_cast<std::ptrdiff_t>(row.first_cell);
  to.cells.insert(to.cells.end(), first, first + static_cast<std::ptrdiff_t>(row.width));
  to.rows.push_back(c);
}

// A row of a Reading whose bytes were copied into it.
std::string_view own_bytes(const Reading& r, const RowInfo& row) {
  return std::string_view(r.bytes).substr(row.begin, row.end - row.begin);
}

void count_width(WidthCounts& widths, std::uint32_t w, std::uint32_t n = 1) {
  auto it = std::find_if(widths.begin(), widths.end(), [&](const auto& f) { return f.first == w; });
  if (it == widths.end()) {
    widths.emplace_back(w, n);
  } else {
    it->second += n;
  }
}

// The most frequent width (the wider of equals) and how many rows have it.
std::pair<std::uint32_t, std::uint32_t> modal(const WidthCounts& widths) {
  std::pair<std::uint32_t, std::uint32_t> best{0, 0};
  for (const auto& f : widths) {
    if (f.second > best.second || (f.second == best.second && f.first > best.first)) best = f;
  }
  return best;
}

bool is_title(const Reading& r, const RowInfo& row) {
  return row.width == 1 && dialect::is_text(r.cell(row, 0));
}

// Where a block begins: after blank lines, at a title under a row of
// several fields, or at a row of two or more names of another width than
// the rows above it, two or more of one width, the last no row of names (a
// second table written right under the first, its header one column
// narrower or wider; a header under a row of group labels is none). Whether
// the block is a table of its own is for its rows to say (see TableScan).
struct Above {
  std::uint32_t width = 0;  // the row above's
  std::uint32_t run = 0;    // rows of that width in a row, up to it
  bool names = false;       // it is a row of names (header_like)

  void add(const Reading& r, const RowInfo& row) {
    run = row.width == width ? run + 1 : 1;
    width = row.width;
    names = header_like(r, row);
  }
};

bool starts_block(const Reading& r, const RowInfo& row, bool after_blank, const Above& above) {
  if (after_blank || (is_title(r, row) && above.width > 1)) return true;
  return row.width >= 2 && row.width != above.width && above.run >= 2 && !above.names &&
         header_like(r, row);
}

}  // namespace

void NoteWatch::add(const Reading& r, const RowInfo& row, std::string_view bytes, bool after_blank,
                    bool header, unsigned char delimiter, std::uint64_t line) {
  if (header) {
    run_.clear();
    long_run_ = false;
    return;
  }
  if (row.width >= 2) {
    run_.clear();
    long_run_ = false;
    const CellType t = r.cell(row, 0);
    if (t == CellType::Empty) return;
    ++filled_;
    values_ += dialect::is_value(t);
    const std::size_t cut = bytes.find(static_cast<char>(delimiter));
    longest_ = std::max(longest_, cut == std::string_view::npos ? bytes.size() : cut);
    return;
  }
  if (run_.size() == 2 * kMaxNotes) {  // only the last kMaxNotes can be notes
    run_.erase(run_.begin(), run_.begin() + kMaxNotes);
    long_run_ = true;
  }
  const bool marked = !bytes.empty() && (bytes[0] == '*' || bytes[0] == '(' || bytes[0] == '[' ||
                                         bytes.find(": ") != std::string_view::npos);
  const bool unquoted = !bytes.empty() && bytes[0] != '"' && bytes[0] != '\'';
  run_.push_back({r.cell(row, 0), after_blank, bytes.find(' ') != std::string_view::npos, unquoted,
                  marked, bytes.size(), line});
}

// Step 6b: footnotes: the table's last rows, when they are lines of one
// field that is no value (a note, "Source: ...", "* provisional") under a
// table of three or more columns, and the table's end is known. Such a line
// has no delimiter at all, which no row of the table lacks; it reads as a
// note (words with blanks between) or stands after a blank line, and it
// misfits the first column: text under a column of values, a marked note
// ("* ...", "Source: ..."), or a line far longer than any first cell. A
// short last row of values (a cut-off number), a lone word or a name under
// names stays a row, as does a long run of such lines.
std::size_t NoteWatch::notes(std::size_t rows, std::uint32_t width) const {
  if (width < 3) return 0;
  const bool value_column = filled_ > 0 && values_ * 2 >= filled_;
  const std::size_t kept = std::min(run_.size(), kMaxNotes);
  std::size_t n = 0;
  for (auto it = run_.rbegin(); n < kept; ++it, ++n) {
    const Line& x = *it;
    const bool no_value = x.first != CellType::Empty && !dialect::is_value(x.first);
    const bool note_like = x.spaced || x.after_blank;
    const bool misfit = value_column || x.marked || x.size > 2 * longest_ + 16;
    if (!(no_value && note_like && x.unquoted && misfit)) break;
  }
  if (n == kept && (long_run_ || run_.size() > kept)) return 0;
  // Notes are a few lines under a table, not most of it.
  return n < rows - n ? n : 0;
}

std::size_t footnotes(std::string_view s, const Reading& r, const Analysis& a, bool end_known,
                      unsigned char delimiter) {
  const std::size_t size = a.table.size();
  if (!end_known || a.width < 3) return size;
  NoteWatch watch;
  for (std::size_t i = 0; i < size; ++i) {
    const RowInfo& row = r.rows[a.table[i]];
    const bool after_blank = i > 0 && a.table[i] > a.table[i - 1] + 1;
    watch.add(r, row, s.substr(row.begin, row.end - row.begin), after_blank, i == 0, delimiter, i);
  }
  return size - watch.notes(size, a.width);
}

// Step 6a: several tables. The table's rows fall into blocks (see
// starts_block); a block
// starts another table when
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
// or ragged rows with no consistent block of their own, stay one table. The
// table is the one with the most rows of its own width (the first of
// equals): the rows above it are a preamble, or another table, and the rows
// from the next table on belong to other tables. Each block is judged when
// it ends, on its first rows and its widths, so the text is read once and
// only a few rows per block are kept.
struct TableScan::State {
  State(unsigned char d, int q) : delimiter(d), quote(q) {}
  unsigned char delimiter;
  int quote;
  std::size_t rows = 0;  // rows added
  Above above;
  bool first_header = false;  // the first row added is a header (header_like)
  std::uint64_t first_line = 0;

  // The block being read: its first rows, the bytes of its first two, its
  // widths, and the notes of a table whose header is its first row or its
  // second (past a title).
  Reading head;
  std::string head_bytes[2];
  std::size_t block_start = 0, block_rows = 0;
  std::uint64_t block_line = 0;
  std::uint64_t head_lines[2] = {0, 0};
  bool block_after_blank = false;
  WidthCounts block_widths;
  NoteWatch fresh[2];
  NoteWatch notes_before;  // the table's notes as the block began

  // The table the rows so far belong to: its first rows from its header
  // on, its header's bytes, and its widths from its first row (a title
  // included) and from its header.
  Reading table_head;
  std::string top_bytes;
  std::size_t table_start = 0, table_header = 0;
  std::uint64_t header_line = 0;
  WidthCounts widths_all, widths_from_header;
  NoteWatch notes;

  // The largest table so far.
  std::uint32_t best_rows = 0, best_width = 0;
  Reading best_head;
  NoteWatch best_notes;
  Found found;

  const RowInfo& head_row(std::size_t k) const { return head.rows[k]; }

  // The same width as the table above, and still another table.
  bool new_names(const RowInfo& h, std::string_view h_bytes) const {
    const RowInfo& top = table_head.rows[0];
    if (!block_after_blank || !header_like(table_head, top)) return false;
    if (same_header(top_bytes, h_bytes, static_cast<char>(delimiter), quote)) return false;
    std::vector<std::uint32_t> values(h.width, 0), filled(h.width, 0);
    for (std::size_t k = 1; k < table_head.rows.size() && k <= kHeaderProbe; ++k) {
      const RowInfo& row = table_head.rows[k];
      for (std::uint32_t i = 0; i < row.width && i < h.width; ++i) {
        values[i] += dialect::is_value(table_head.cell(row, i));
        filled[i] += table_head.cell(row, i) != CellType::Empty;
      }
    }
    for (std::uint32_t i = 0; i < h.width; ++i) {
      const bool value_column = filled[i] > 0 && values[i] * 2 >= filled[i];
      if (value_column && dialect::is_text(head.cell(h, i))) return true;
    }
    return false;
  }

  // Where the block's table would have its header (0 or 1 into the
  // block), or SIZE_MAX when the block starts no table.
  std::size_t block_header() const {
    const std::size_t h = block_rows >= 3 && is_title(head, head_row(0)) ? 1 : 0;
    const RowInfo& top = head_row(h);
    const bool own_header = top.width >= 2 && header_like(head, top);
    std::size_t at_width = 0;
    for (const auto& [w, n] : block_widths) at_width += w == top.width ? n : 0;
    if (h == 1 && head_row(0).width == top.width) --at_width;
    const bool steady_block = at_width >= 2 && at_width * 5 >= (block_rows - h) * 4;
    const bool other_width = top.width != modal(widths_all).first;
    const bool table = own_header && steady_block && (other_width || new_names(top, head_bytes[h]));
    return table ? h : SIZE_MAX;
  }

  // The table ends before row `end` (on line `end_line`; 0: the text ends),
  // its notes as `watch` says.
  void close_table(std::size_t end, std::uint64_t end_line, const NoteWatch& watch) {
    const auto [width, at_width] = modal(widths_from_header);
    found.tables.widest = std::max(found.tables.widest, width);
    ++found.tables.count;
    if (at_width <= best_rows) return;
    best_rows = at_width;
    best_width = width;
    found.tables.begin = table_header;
    found.tables.end = end;
    found.begin_line = header_line;
    found.end_line = end_line;
    best_head = table_head;
    best_notes = watch;
  }

  // The block's rows from `h` on start a table.
  void open_table(std::size_t h) {
    table_start = block_start;
    table_header = block_start + h;
    header_line = head_lines[h];
    table_head.clear();
    for (std::size_t k = h; k < head.rows.size(); ++k) {
      copy_row(head, head.rows[k], own_bytes(head, head.rows[k]), table_head);
    }
    top_bytes = head_bytes[h];
    widths_all = block_widths;
    widths_from_header = block_widths;
    if (h == 1) {  // the title above the header is no row of the table
      for (auto& f : widths_from_header) f.second -= f.first == head_row(0).width;
    }
  }

  // The block ends: it starts a table, or its rows are the table's.
  void close_block() {
    if (block_start == 0) {
      open_table(0);
      return;
    }
    const std::size_t h = block_header();
    if (h != SIZE_MAX) {
      close_table(block_start, block_line, notes_before);
      open_table(h);
      notes = fresh[h];
      return;
    }
    for (const auto& [w, n] : block_widths) {
      count_width(widths_all, w, n);
      count_width(widths_from_header, w, n);
    }
    for (std::size_t k = 0; k < head.rows.size() && table_head.rows.size() < kHeadRows; ++k) {
      copy_row(head, head.rows[k], own_bytes(head, head.rows[k]), table_head);
    }
  }
};

TableScan::TableScan(unsigned char delimiter, int quote)
    : s_(std::make_unique<State>(delimiter, quote)) {}

TableScan::~TableScan() = default;

void TableScan::add(const Reading& r, const RowInfo& row, std::string_view bytes, bool after_blank,
                    std::uint64_t line) {
  State& s = *s_;
  const bool starts = s.rows > 0 && starts_block(r, row, after_blank, s.above);
  if (s.rows == 0) {
    s.first_header = row.width >= 2 && header_like(r, row);
    s.first_line = line;
  }
  if (starts) s.close_block();
  if (s.rows == 0 || starts) {
    s.head.clear();
    s.block_start = s.rows;
    s.block_rows = 0;
    s.block_line = line;
    s.block_after_blank = after_blank;
    s.block_widths.clear();
    s.notes_before = s.notes;
    s.fresh[0] = s.fresh[1] = NoteWatch{};
  }
  if (s.block_rows < 2) {
    s.head_bytes[s.block_rows].assign(bytes);
    s.head_lines[s.block_rows] = line;
  }
  if (s.block_rows < kHeadRows) copy_row(r, row, bytes, s.head);
  count_width(s.block_widths, row.width);
  s.notes.add(r, row, bytes, after_blank, s.rows == 0, s.delimiter, line);
  for (std::size_t h = 0; h < 2; ++h) {
    s.fresh[h].add(r, row, bytes, after_blank, s.block_rows == h, s.delimiter, line);
  }
  ++s.block_rows;
  ++s.rows;
  s.above.add(r, row);
}

const TableScan::Found& TableScan::finish(bool notes) {
  State& s = *s_;
  Found& f = s.found;
  if (s.rows == 0) return f;
  s.close_block();
  s.close_table(s.rows, 0, s.notes);
  f.tables.table_above = f.tables.begin > 0 && s.first_header;
  f.first_line = s.first_line;
  f.head = &s.best_head;
  const std::size_t size = f.tables.end - f.tables.begin;
  f.notes = notes ? s.best_notes.notes(size, s.best_width) : 0;
  f.notes_line = f.notes == 0 ? 0 : s.best_notes.line_of(f.notes);
  return f;
}

Tables find_tables(std::string_view s, const Reading& r, const Analysis& a, unsigned char delim,
                   int quote) {
  Tables t;
  t.end = a.table.size();
  if (a.table.empty()) return t;
  // One block, one table (most files: nothing to allocate below).
  bool blocks = false;
  Above above;
  above.add(r, r.rows[a.table[0]]);
  for (std::size_t i = 1; i < a.table.size() && !blocks; ++i) {
    const bool after_blank = a.table[i] > a.table[i - 1] + 1;
    blocks = starts_block(r, r.rows[a.table[i]], after_blank, above);
    above.add(r, r.rows[a.table[i]]);
  }
  if (!blocks) {
    t.count = 1;
    return t;
  }
  TableScan scan(delim, quote);
  for (std::size_t i = 0; i < a.table.size(); ++i) {
    const RowInfo& row = r.rows[a.table[i]];
    const bool after_blank = i > 0 && a.table[i] > a.table[i - 1] + 1;
    scan.add(r, row, s.substr(row.begin, row.end - row.begin), after_blank, i + 1);
  }
  return scan.finish(false).tables;
}

}  // namespace gleave::dialect

namespace gleave::dialect {

TextTables::TextTables(const Dialect& d)
    : candidate_{d.delimiter, d.quote_char.value ? static_cast<int>(*d.quote_char.value) : kNoQuote,
                 d.skip_initial_space,
                 d.quote_char.value && d.escape_char.value ? static_cast<int>(*d.escape_char.value)
                                                           : kNoQuote},
      above_(d.other_table_above_line != 0 ? d.other_table_above_line - 1 : d.preamble_lines),
      scan_(d.delimiter, candidate_.quote) {}

std::size_t TextTables::piece_end(std::string_view rest) const {
  const std::optional<unsigned char> quote =
      candidate_.quote == kNoQuote ? std::nullopt : std::optional<unsigned char>(candidate_.quote);
  return sample_end(rest, kPiece, quote);
}

void TextTables::read(std::string_view piece) {
  // Each piece ends where a row does, so a quote that does not close in it
  // never closes: it is an ordinary byte, as the repair reads it.
  read_sample(piece, candidate_, SIZE_MAX, true, reading_);
  for (const RowInfo& row : reading_.rows) {
    const std::uint64_t line = lines_ + row.line + 1;
    if (line <= above_) continue;
    if (row.blank) {
      blank_ = true;
      continue;
    }
    scan_.add(reading_, row, piece.substr(row.begin, row.end - row.begin), blank_, line);
    blank_ = false;
  }
  lines_ += reading_.end_line;
}

void TextTables::settle(Dialect& d) {
  const TableScan::Found& f = scan_.finish(true);
  d.tables_undecided = false;
  if (f.tables.count == 0) return;
  d.tables = f.tables.count;
  d.preamble_lines.value = above_;
  d.other_table_above_line = 0;
  if (f.tables.begin > 0) {
    d.preamble_lines.value = f.begin_line - 1;
    if (f.tables.table_above) d.other_table_above_line = f.first_line;
  }
  d.other_table_line = f.end_line;
  d.footnote_line = f.notes_line;
  // The header and the widths, from the table's own first rows.
  const Reading& head = *f.head;
  Analysis a;
  for (std::uint32_t i = 0; i < head.rows.size(); ++i) a.table.push_back(i);
  WidthCounts widths;
  a.width = modal_width(head, a.table, widths);
  d.header_rows = 1;
  d.header_missing_first = false;
  TableScratch work;
  describe_table(head.bytes, head, a, candidate_, d, work);
}

namespace {

// A text in one piece, read as a window that is the whole of it.
struct WholeTextInput {
  std::string_view text;
  std::string_view window() const noexcept { return text; }
  bool complete() const noexcept { return true; }
  bool advance(std::size_t) const noexcept { return true; }
};

}  // namespace

void settle_tables(std::string_view text, Dialect& d) {
  WholeTextInput in{text};
  settle_tables(in, d);
}

}  // namespace gleave::dialect
