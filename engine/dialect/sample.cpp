#include "dialect/dialect.hpp"

#include <algorithm>

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

std::size_t sample_end(std::string_view text, std::size_t window,
                       std::optional<unsigned char> quote) {
  if (text.size() <= window) return text.size();
  const std::size_t reach = std::min(text.size(), window * kMaxReach);
  // Row ends as the parser finds them: a quote opens a field only at its
  // start (after a delimiter of any kind, since it is not known yet), and a
  // line break inside an open field belongs to the field.
  std::size_t last = 0, rows = 0;
  bool open = false;
  const char q = quote ? static_cast<char>(*quote) : '\0';
  for (std::size_t p = 0; p < reach; ++p) {
    const char c = text[p];
    if (quote && c == q) {
      if (open) {
        if (p + 1 < reach && text[p + 1] == q) {
          ++p;  // a doubled quote inside the field
        } else {
          open = false;
        }
      } else if (p == 0 || field_start(text[p - 1])) {
        open = true;
      }
    } else if (c == '\n' && !open) {
      if (p + 1 > window && rows >= 2) break;
      last = p + 1;
      ++rows;
    }
  }
  // Fewer than two rows that end as the parser finds them (a quote that
  // never closes, or one row longer than the reach): the window is cut
  // where its last line ends, as a plain reading would.
  if (rows < 2) {
    const std::size_t cut = text.substr(0, window).find_last_of('\n');
    return cut == std::string_view::npos || cut == 0 ? window : cut + 1;
  }
  return last;
}

}  // namespace gleave
