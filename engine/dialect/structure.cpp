#include "engine/dialect/structure.hpp"

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <vector>

namespace gleave::dialect {

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

}  // namespace gleave::dialect
