// Values packed into bytes and read back: the state and results that the
// parts of one job hand each other across processes. Fixed-width integers
// in the machine's order (both ends run the same build) and strings with
// their length first.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace gleave {

class Packer {
 public:
  void u64(std::uint64_t v) { out_.append(reinterpret_cast<const char*>(&v), sizeof v); }
  void str(std::string_view s) {
    u64(s.size());
    out_.append(s);
  }
  std::string take() { return std::move(out_); }

 private:
  std::string out_;
};

// Reads what a Packer wrote; ok() turns false for good at the first read
// past the end, and every read after it gives 0 or "".
class Unpacker {
 public:
  explicit Unpacker(std::string_view in) : in_(in) {}
  std::uint64_t u64() {
    std::uint64_t v = 0;
    if (!ok_ || in_.size() < sizeof v) {
      ok_ = false;
      return 0;
    }
    std::memcpy(&v, in_.data(), sizeof v);
    in_.remove_prefix(sizeof v);
    return v;
  }
  std::string_view str() {
    const std::uint64_t n = u64();
    if (!ok_ || in_.size() < n) {
      ok_ = false;
      return {};
    }
    const std::string_view s = in_.substr(0, static_cast<std::size_t>(n));
    in_.remove_prefix(static_cast<std::size_t>(n));
    return s;
  }
  // Every byte read, and no more.
  bool done() const noexcept { return ok_ && in_.empty(); }
  bool ok() const noexcept { return ok_; }

 private:
  std::string_view in_;
  bool ok_ = true;
};

}  // namespace gleave
