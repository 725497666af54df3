#include "engine/table/column_names.hpp"

#include <algorithm>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

namespace gleave::table {

namespace {

// str.isspace: the Unicode White_Space characters plus the information
// separators U+001C..U+001F.
bool is_python_space(char32_t c) noexcept {
  if (c <= 0x20) return c == 0x20 || (c >= 0x09 && c <= 0x0D) || (c >= 0x1C && c <= 0x1F);
  if (c < 0x85) return false;
  return c == 0x85 || c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x2028 ||
         c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

}  // namespace

bool is_python_blank(std::string_view s) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const std::size_t n = s.size();
  for (std::size_t i = 0; i < n;) {
    char32_t c = p[i];
    std::size_t len = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
    if (i + len > n) return false;
    if (len > 1) {
      c &= (0x7F >> len);
      for (std::size_t k = 1; k < len; ++k) c = (c << 6) | (p[i + k] & 0x3F);
    }
    if (!is_python_space(c)) return false;
    i += len;
  }
  return true;
}

std::vector<std::string> unique_header_names(std::vector<std::string> raw, std::size_t width) {
  if (raw.size() < width) raw.resize(width);
  for (std::size_t i = 0; i < raw.size(); ++i) {
    if (is_python_blank(raw[i])) raw[i] = "Unnamed: " + std::to_string(i);
  }
  // `raw` no longer changes: views into it stay valid.
  const std::unordered_set<std::string_view> taken(raw.begin(), raw.end());
  std::vector<std::string> result;
  result.reserve(raw.size());  // no reallocation: views into `result` stay valid
  std::unordered_set<std::string_view> seen;
  seen.reserve(raw.size());
  std::unordered_map<std::string_view, std::size_t> next_suffix;
  std::string candidate;
  for (const std::string& name : raw) {
    auto [it, fresh] = next_suffix.try_emplace(name, 0);
    std::size_t n = it->second;
    candidate.assign(name);
    if (n != 0) candidate.append(".").append(std::to_string(n));
    while (seen.count(candidate) != 0 || (n != 0 && taken.count(candidate) != 0)) {
      ++n;
      candidate.assign(name).append(".").append(std::to_string(n));
    }
    it->second = n + 1;
    result.push_back(candidate);
    seen.insert(result.back());
  }
  return result;
}

std::vector<std::string> positional_names(std::size_t width) {
  std::vector<std::string> names;
  names.reserve(width);
  for (std::size_t i = 0; i < width; ++i) names.push_back("column_" + std::to_string(i + 1));
  return names;
}

std::vector<std::string> combine_header_rows(const std::vector<std::vector<std::string>>& rows) {
  std::size_t width = 0;
  for (const auto& row : rows) width = std::max(width, row.size());
  std::vector<std::string> out(width);
  for (std::size_t r = 0; r < rows.size(); ++r) {
    const bool group = r + 1 < rows.size();
    std::string_view carried;
    for (std::size_t i = 0; i < width; ++i) {
      std::string_view cell =
          i < rows[r].size() ? std::string_view(rows[r][i]) : std::string_view();
      if (group) {
        if (is_python_blank(cell)) {
          cell = carried;
        } else {
          carried = cell;
        }
      }
      if (is_python_blank(cell)) continue;
      if (!out[i].empty()) out[i] += ' ';
      out[i].append(cell);
    }
  }
  return out;
}

}  // namespace gleave::table
