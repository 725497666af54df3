#include "engine/dialect/steps.hpp"

#include <algorithm>

#include "engine/dialect/structure.hpp"

namespace gleave::dialect {

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

}  // namespace gleave::dialect
