#include "engine/dialect/steps.hpp"

#include <algorithm>
#include <array>

#include "engine/dialect/structure.hpp"

namespace gleave::dialect {

namespace {

// The fields of `row` as candidate `c` cuts them, blanks around each
// trimmed and a quoted field's quotes taken off (a doubled or escaped
// quote inside stays as written: the profile only needs its shape).
void split_row(std::string_view s, const RowInfo& row, const Candidate& c,
               std::vector<std::string_view>& out) {
  out.clear();
  const char delim = static_cast<char>(c.delimiter);
  const std::string_view line = s.substr(row.begin, row.end - row.begin);
  std::size_t p = 0;
  auto blank = [](char ch) { return ch == ' ' || ch == '\t'; };
  while (true) {
    while (p < line.size() && blank(line[p]) && line[p] != delim) ++p;
    std::size_t begin = p, end = p;
    if (c.quote != kNoQuote && p < line.size() && line[p] == static_cast<char>(c.quote)) {
      const char q = line[p];
      begin = ++p;
      while (p < line.size()) {
        if ((c.escape != kNoQuote && line[p] == static_cast<char>(c.escape)) ||
            (line[p] == q && p + 1 < line.size() && line[p + 1] == q)) {
          p += 2;
        } else if (line[p] == q) {
          break;
        } else {
          ++p;
        }
      }
      end = std::min(p, line.size());
      while (p < line.size() && line[p] != delim) ++p;
    } else {
      while (p < line.size() && line[p] != delim) ++p;
      end = p;
    }
    while (end > begin && blank(line[end - 1])) --end;
    out.push_back(line.substr(begin, end - begin));
    if (p >= line.size()) break;
    ++p;  // past the delimiter
  }
}

// The shape of a name or text value: which kinds of character it holds
// and how its letters are cased.
enum : std::uint8_t {
  kLower = 1,       // a lowercase letter
  kUpper = 2,       // an uppercase letter after the first character
  kUpperFirst = 4,  // starts with an uppercase letter
  kDigits = 8,
  kBlanks = 16,
};

std::uint8_t shape(std::string_view v) {
  std::uint8_t out = 0;
  for (std::size_t i = 0; i < v.size(); ++i) {
    const char ch = v[i];
    if (ch >= 'a' && ch <= 'z') out |= kLower;
    if (ch >= 'A' && ch <= 'Z') out |= i == 0 ? kUpperFirst : kUpper;
    if (ch >= '0' && ch <= '9') out |= kDigits;
    if (ch == ' ') out |= kBlanks;
  }
  return out;
}

bool equal_folded(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto fold = [](char ch) { return ch >= 'A' && ch <= 'Z' ? static_cast<char>(ch | 0x20) : ch; };
    if (fold(a[i]) != fold(b[i])) return false;
  }
  return true;
}

bool has_separator(std::string_view v) {
  return v.find_first_of(".,") != std::string_view::npos;
}

// Four digits from 1800 to 2199.
bool year_like(std::string_view v) {
  return v.size() == 4 &&
         (v.substr(0, 2) == "18" || v.substr(0, 2) == "19" || v.substr(0, 2) == "20" ||
          v.substr(0, 2) == "21") &&
         std::all_of(v.begin(), v.end(), [](char ch) { return ch >= '0' && ch <= '9'; });
}

// Whether a word of `v` (words split at blanks, '_' and '-') is one that
// names columns far more often than it fills them.
bool names_a_column(std::string_view v) {
  static constexpr std::string_view kNames[] = {
      "id",         "name",      "type",        "code",     "key",        "value",    "date",
      "time",       "year",      "month",       "city",     "country",    "state",    "region",
      "team",       "title",     "description", "category", "status",     "email",    "address",
      "phone",      "price",     "amount",      "total",    "count",      "number",   "age",
      "gender",     "label",     "note",        "notes",    "comment",    "url",      "user",
      "company",    "product",   "item",        "quantity", "score",      "rank",     "group",
      "level",      "source",    "target",      "lat",      "lon",        "latitude", "longitude",
      "color",      "colour",    "size",        "owner",    "author",     "language", "capital",
      "population", "currency",  "unit",        "street",   "zip",        "first",    "last",
      "surname",    "firstname", "lastname",    "username", "department", "species",  "genre",
      "artist",     "tag"};
  std::size_t p = 0;
  while (p < v.size()) {
    std::size_t e = p;
    while (e < v.size() && v[e] != ' ' && v[e] != '_' && v[e] != '-') ++e;
    const std::string_view word = v.substr(p, e - p);
    for (const auto n : kNames) {
      if (equal_folded(word, n)) return true;
    }
    p = e + 1;
  }
  return false;
}

// What one column says of the first row's cell above it.
// None: it says nothing; Like: a value like those below; Data: it is one
// of them, or of their kind.
enum class Vote : std::uint8_t { None, Like, Data, Weak, Strong };

// The first row's cell `head` over the column's values `column` (empty
// ones left out), each with its type.
Vote column_vote(std::string_view head, CellType head_type,
                 const std::vector<std::pair<std::string_view, CellType>>& column) {
  if (head.empty() || column.empty()) return Vote::None;
  std::uint32_t values = 0, numbers = 0, integers = 0, texts = 0;
  for (const auto& [v, t] : column) {
    if (equal_folded(v, head)) return Vote::Data;  // the first row's value recurs below
    values += is_value(t);
    numbers += t == CellType::Number;
    integers += t == CellType::Number && !has_separator(v);
    texts += is_text(t);
  }
  const auto n = static_cast<std::uint32_t>(column.size());
  if (is_text(head_type)) {
    if (values * 2 >= n) return Vote::Strong;  // a name over a typed column
    if (texts < n) return Vote::None;
    // Text over text: a shape (case, digits, blanks) that no value below
    // has, a length outside theirs, or a value that never recurs over a
    // column that draws from a few values, tells a name from a value.
    const std::uint8_t own = shape(head);
    bool shape_seen = false;
    std::size_t shortest = SIZE_MAX, longest = 0;
    std::uint32_t distinct = 0;
    for (std::size_t i = 0; i < column.size(); ++i) {
      const std::string_view v = column[i].first;
      shape_seen = shape_seen || shape(v) == own;
      shortest = std::min(shortest, v.size());
      longest = std::max(longest, v.size());
      bool earlier = false;
      for (std::size_t j = 0; j < i && !earlier; ++j) earlier = column[j].first == v;
      distinct += !earlier;
    }
    if (!shape_seen) return Vote::Strong;
    const bool repeats = n >= 4 && distinct * 2 <= n;
    return head.size() < shortest || head.size() > longest || repeats ? Vote::Weak : Vote::Like;
  }
  if (!is_value(head_type)) return Vote::None;
  // A number-like name (a year, a code) over values of another kind: text,
  // dates, or numbers that all carry a decimal part.
  if (head_type == CellType::Number && !has_separator(head)) {
    if (numbers == n && integers == 0) return Vote::Strong;
    if (numbers == 0 && values * 2 < n) return Vote::Strong;
  }
  if (head_type == CellType::Date && numbers == n) return Vote::Strong;
  // A year over counts or amounts none of which is a year is the name of
  // a column of a wide table (region,2019,2020): it says nothing either way.
  if (head_type == CellType::Number && year_like(head) &&
      std::none_of(column.begin(), column.end(), [](const auto& x) { return year_like(x.first); }))
    return Vote::None;
  return Vote::Data;
}

// A first row of names over text like it is a header when it holds a
// word that names columns (name, city, team) and no column below holds one.
bool common_names(const HeaderScratch& work, std::size_t width) {
  bool named = false;
  for (std::size_t i = 0; i < width; ++i) {
    named = named || names_a_column(work.head[i]);
    for (const auto& x : work.columns[i]) {
      if (names_a_column(x.first)) return false;
    }
  }
  return named;
}

}  // namespace

const char* header_evidence(std::string_view s, const Reading& r, const Analysis& a,
                            const Candidate& c, std::size_t top, HeaderScratch& work) {
  const RowInfo& head = r.rows[a.table[top]];
  split_row(s, head, c, work.head);
  const std::size_t width = work.head.size();
  work.types.clear();
  std::uint32_t texts = 0, values = 0, empty = 0, other = 0;
  for (std::string_view& v : work.head) {
    // (A quoted name keeps the blanks around it inside its quotes.)
    while (!v.empty() && (v.front() == ' ' || v.front() == '\t')) v.remove_prefix(1);
    while (!v.empty() && (v.back() == ' ' || v.back() == '\t')) v.remove_suffix(1);
    const CellType t = v.empty() ? CellType::Empty : classify_cell(v, c.delimiter);
    work.types.push_back(t);
    texts += is_text(t);
    values += is_value(t);
    empty += t == CellType::Empty;
    other += t == CellType::Other || t == CellType::Tabbed;
  }
  if (other > 0 || texts + values == 0 || empty * 2 > width) return nullptr;
  work.columns.resize(std::max(work.columns.size(), width));
  for (std::size_t i = 0; i < width; ++i) work.columns[i].clear();
  bool data_names_only = true;
  std::size_t data_rows = 0;
  for (std::size_t k = top + 1; k < a.table.size() && k <= top + kHeaderProbe; ++k) {
    const RowInfo& row = r.rows[a.table[k]];
    ++data_rows;
    data_names_only = data_names_only && header_like(r, row);
    split_row(s, row, c, work.fields);
    for (std::size_t i = 0; i < width && i < work.fields.size(); ++i) {
      if (work.fields[i].empty()) continue;
      work.columns[i].emplace_back(work.fields[i], classify_cell(work.fields[i], c.delimiter));
    }
  }
  const bool names = values == 0 && empty <= 1;
  if (data_rows == 0) return names ? "a lone row of names" : nullptr;
  std::uint32_t strong = 0, weak = 0, data = 0, voting = 0;
  for (std::size_t i = 0; i < width; ++i) {
    const Vote v = column_vote(work.head[i], work.types[i], work.columns[i]);
    strong += v == Vote::Strong;
    weak += v == Vote::Weak;
    data += v == Vote::Data;
    voting += v != Vote::None;
  }
  if (names && !data_names_only) {
    return strong > 0 ? "names over typed columns" : "names over rows with values";
  }
  // Below, the first row is told from rows like it by its profile alone:
  // its names are distinct, and none recurs in its column.
  for (std::size_t i = 0; i < width; ++i) {
    for (std::size_t j = 0; j < i; ++j) {
      if (!work.head[i].empty() && equal_folded(work.head[i], work.head[j])) return nullptr;
    }
  }
  if (data > 0) return nullptr;
  if (names) {
    if (strong > 0) return "names over text of another shape";
    if (weak > 0 && weak * 2 >= voting) return "names unlike the text below";
    // One column of text: its first cell is its name when it never recurs
    // below, as the loaders read it (their header=True) and as strict
    // readers' sniffers decide for a column of strings.
    if (width == 1) return "a name over a column of text";
    if (common_names(work, width)) return "common column names over text";
    return nullptr;
  }
  // Some names look like numbers: every other cell a name, none like the
  // values below it.
  return strong > 0 && empty == 0 ? "number-like names over values of another kind" : nullptr;
}

// Step 7: header, header width and the width to repair rows to.
void describe_table(std::string_view s, const Reading& r, const Analysis& a, const Candidate& c,
                    Dialect& d, TableScratch& work) {
  if (a.table.empty()) return;
  d.header_rows = header_rows(r, a);
  // Below, the header is its last row, the row of names.
  const std::size_t top = d.header_rows - 1;
  const RowInfo& head = r.rows[a.table[top]];
  d.header_width = head.width;
  std::uint32_t max_data = 0, full_rows = 0, empty_last = 0;
  for (std::size_t k = top + 1; k < a.table.size() && k <= top + kHeaderProbe; ++k) {
    const RowInfo& row = r.rows[a.table[k]];
    max_data = std::max(max_data, row.width);
    if (row.width == a.width) {
      ++full_rows;
      empty_last += r.cell(row, row.width - 1) == CellType::Empty;
    }
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
  const char* reason = d.header_rows > 1 ? "group labels over a row of names"
                                         : header_evidence(s, r, a, c, top, work.header);
  d.header = reason != nullptr;
  d.header_evidence = reason != nullptr ? reason : "first row like the rows below";
  if (!d.header) d.header_rows = 1;
  d.expected_width.value = a.width;
  if (d.header && max_data <= head.width) {
    d.expected_width.value = head.width;
  } else if (d.header && head.width + 1 == a.width && max_data == a.width) {
    // The missing name is the first one only when the data rows say so:
    // several full rows none of which ends in an empty field (a trailing
    // delimiter would put the gap at the end), or a column of row labels.
    // Short of that evidence, a header as frequent as the wider rows keeps
    // its width, as the core's first-come rule does, and otherwise the
    // header is padded at the end.
    d.header_missing_first = top == 0 && empty_last == 0 && (full_rows >= 2 || row_labels);
    d.expected_width.value =
        d.header_missing_first || head_width_rows < wide_rows ? a.width : head.width;
  }
  // A header of several rows may leave out the empty cells at the end of a
  // row of group labels or units: the table's own width stands.
  if (d.header_rows > 1) d.expected_width.value = std::max(a.width, head.width);
}

}  // namespace gleave::dialect
