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

#include "../tests/support/reference.hpp"

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

}  // namespace fuzz
