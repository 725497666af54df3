#include "engine/repair/row_table.hpp"

namespace gleave {

std::size_t RowTable::width(std::size_t r) const noexcept {
  const Entry& e = rows_[r];
  if (e.kind() == Kind::Fields) return e.end() - e.begin;
  if (plain_width_ != 0) return plain_width_;
  const char* p = line_base(e);
  std::size_t n = 1;
  for (std::size_t i = e.begin; i < e.end(); ++i)
    n += static_cast<unsigned char>(p[i]) == delimiter_;
  return n;
}

std::string_view RowTable::field(std::size_t r, std::size_t f) const noexcept {
  std::string_view out;
  std::size_t i = 0;
  for_each_field(r, [&](std::string_view v) {
    if (i++ == f) out = v;
  });
  return out;
}

std::vector<std::string> RowTable::row_strings(std::size_t r) const {
  std::vector<std::string> out;
  for_each_field(r, [&](std::string_view v) { out.emplace_back(v); });
  return out;
}

void RowTable::push_row(const Row& row) {
  const std::size_t base = bytes_.size();
  // A Fields row's first field starts at the previous field end; arena lines
  // appended since then have moved bytes_ on, so record the start as an end.
  if ((field_ends_.empty() ? 0 : field_ends_.back()) != base) field_ends_.push_back(base);
  const std::size_t first = field_ends_.size();
  bytes_.append(row.bytes);
  for (const std::size_t e : row.ends) field_ends_.push_back(base + e);
  rows_.push_back(Entry::make(first, field_ends_.size(), Kind::Fields));
}

void RowTable::push_plain_line(std::string_view line, bool ascii) {
  if (owns_source_) {
    const auto begin = static_cast<std::size_t>(line.data() - source_.view().data());
    rows_.push_back(Entry::make(begin, begin + line.size(), Kind::SourceLine, ascii));
    return;
  }
  const std::size_t begin = bytes_.size();
  bytes_.append(line);
  rows_.push_back(Entry::make(begin, bytes_.size(), Kind::ArenaLine, ascii));
}

void RowTable::release_unused_source() noexcept {
  for (const Entry& e : rows_) {
    if (e.kind() == Kind::SourceLine) return;
  }
  source_ = ByteBuffer();
}

}  // namespace gleave
