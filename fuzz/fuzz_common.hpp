// Shared pieces of the fuzz targets: option decoding from the first input
// bytes and the invariant check. The reference tokenizer they compare the
// parser with is shared with the tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/repair/pass.hpp"
#include "tests/support/reference.hpp"

namespace fuzz {

using reference::lossy_utf8;
using reference::RefParser;
using reference::valid_utf8;

[[noreturn]] inline void fail(const char* what) {
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::abort();
}
#define FUZZ_CHECK(cond)              \
  do {                                \
    if (!(cond)) ::fuzz::fail(#cond); \
  } while (0)

// Consumes option bytes from the front of the input; missing bytes read as 0,
// so every input, the empty one included, decodes to something.
class Header {
 public:
  Header(const std::uint8_t* data, std::size_t size, std::size_t take)
      : data_(data), n_(size < take ? size : take), size_(size) {}
  std::uint8_t byte(std::size_t i) const { return i < n_ ? data_[i] : 0; }
  std::string_view rest() const {
    return std::string_view(reinterpret_cast<const char*>(data_) + n_, size_ - n_);
  }

 private:
  const std::uint8_t* data_;
  std::size_t n_, size_;
};

// Mostly the delimiters and quotes people use, sometimes any byte at all.
inline unsigned char pick_delimiter(std::uint8_t selector, std::uint8_t raw) {
  static constexpr unsigned char kCommon[] = {',', ';', '\t', '|', ':', ' ', 0xA6};
  const unsigned s = selector % 8;
  return s < 7 ? kCommon[s] : raw;
}
inline unsigned char pick_quote(std::uint8_t selector, std::uint8_t raw) {
  static constexpr unsigned char kCommon[] = {'"', '"', '\'', '~'};
  const unsigned s = selector % 5;
  return s < 4 ? kCommon[s] : raw;
}

// Every call a repair sink receives, as text: two passes that must agree
// (over windows and over the whole text; two passes whose rules coincide)
// must leave the same log. The product pass's extra calls are logged too.
struct Calls {
  std::string log;
  void begin(unsigned char d, std::uint64_t w) {
    log += std::to_string(d) + ' ' + std::to_string(w);
  }
  bool keep_line(std::string_view line, bool) {
    log.append("\nL").append(line);
    return true;
  }
  void row(char kind, const gleave::RowVerdict& v, const gleave::Row& r) {
    log += '\n';
    log += kind;
    log += std::to_string(v.line) + ' ' + std::to_string(v.offset) + ' ';
    log.append(v.raw).append(r.bytes);
    for (std::size_t e : r.ends) log += ' ' + std::to_string(e);
  }
  bool keep(const gleave::Row& r, const gleave::RowVerdict& v) {
    row('K', v, r);
    return true;
  }
  bool reject(const gleave::RowVerdict& v, const gleave::Row& r) {
    row('R', v, r);
    return true;
  }
};

// The product pass's own calls, logged after the common ones.
struct ProductCalls : Calls {
  bool other(char kind, std::uint64_t line, std::string_view raw) {
    log += '\n';
    log += kind;
    log.append(std::to_string(line)).append(" ").append(raw);
    return true;
  }
  bool preamble(std::uint64_t line, std::string_view raw) { return other('P', line, raw); }
  bool other_table(std::uint64_t line, std::string_view raw) { return other('T', line, raw); }
  bool footnote(std::uint64_t line, std::string_view raw) { return other('F', line, raw); }
  bool repeated_header(std::uint64_t line, std::string_view raw) { return other('H', line, raw); }
  void header_rows(std::size_t n) { log += "\nN" + std::to_string(n); }
};

}  // namespace fuzz
