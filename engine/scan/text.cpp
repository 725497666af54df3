#include "engine/scan/text.hpp"

#include "engine/scan/utf8.hpp"

namespace gleave {

namespace {

constexpr char kReplacement[] = "\xEF\xBF\xBD";

}  // namespace

std::size_t valid_utf8_prefix(const char* s, std::size_t n) noexcept {
  // A short field is checked in place; the vectorised check pays from a few
  // dozen bytes on.
  if (n < 32) return utf8::valid_prefix(reinterpret_cast<const unsigned char*>(s), n);
  return simd::valid_utf8_prefix(s, n);
}

void append_utf8_lossy(std::string& out, const char* s, std::size_t n) {
  const auto* p = reinterpret_cast<const unsigned char*>(s);
  std::size_t i = 0;
  while (i < n) {
    const std::size_t good = valid_utf8_prefix(s + i, n - i);
    out.append(s + i, good);
    i += good;
    if (i >= n) break;
    const long len = utf8::sequence_at(p, n, i);  // negative here: ill-formed
    out.append(kReplacement, 3);
    i += static_cast<std::size_t>(-len);
  }
}

void repair_utf8_tail(std::string& s, std::size_t from) {
  const std::size_t n = s.size() - from;
  const std::size_t good = valid_utf8_prefix(s.data() + from, n);
  if (good == n) return;
  const std::string tail(s.data() + from + good, n - good);
  s.resize(from + good);
  append_utf8_lossy(s, tail.data(), tail.size());
}

namespace {

bool is_white_space(char32_t c) noexcept {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

}  // namespace

bool is_all_white_space(std::string_view field) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(field.data());
  const std::size_t n = field.size();
  std::size_t i = 0;
  while (i < n) {
    char32_t c = p[i];
    std::size_t len = 1;
    if (c >= 0xF0) {
      len = 4;
    } else if (c >= 0xE0) {
      len = 3;
    } else if (c >= 0xC0) {
      len = 2;
    }
    if (i + len > n) return false;
    if (len > 1) {
      c &= (0x7F >> len);
      for (std::size_t k = 1; k < len; ++k) c = (c << 6) | (p[i + k] & 0x3F);
    }
    if (!is_white_space(c)) return false;
    i += len;
  }
  return true;
}

}  // namespace gleave
