// A growable byte buffer over nanoarrow's ArrowBuffer: its memory is the
// memory an exported Arrow array points at, so finishing a column never
// copies it. The appends the column builders make per field stay inline
// here; growth is by half again (not doubling) to keep the peak of a large
// table down.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <utility>

#include "nanoarrow/nanoarrow.h"

namespace gleave::table {

class Buffer {
 public:
  Buffer() noexcept { ArrowBufferInit(&b_); }
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  Buffer(Buffer&& o) noexcept { ArrowBufferMove(&o.b_, &b_); }
  Buffer& operator=(Buffer&& o) noexcept {
    if (this != &o) {
      ArrowBufferReset(&b_);
      ArrowBufferMove(&o.b_, &b_);
    }
    return *this;
  }
  ~Buffer() { ArrowBufferReset(&b_); }

  std::uint8_t* data() noexcept { return b_.data; }
  const std::uint8_t* data() const noexcept { return b_.data; }
  std::size_t size() const noexcept { return static_cast<std::size_t>(b_.size_bytes); }
  bool empty() const noexcept { return b_.size_bytes == 0; }

  // Throws std::bad_alloc when memory runs out.
  void reserve(std::size_t capacity) {
    if (capacity <= capacity_()) return;
    // On failure the old block stays, and with it every byte so far.
    std::uint8_t* p = b_.allocator.reallocate(&b_.allocator, b_.data, b_.capacity_bytes,
                                              static_cast<std::int64_t>(capacity));
    if (p == nullptr) throw std::bad_alloc();
    b_.data = p;
    b_.capacity_bytes = static_cast<std::int64_t>(capacity);
  }
  // New bytes are left unset.
  void resize(std::size_t n) {
    if (n > capacity_()) grow(n);
    b_.size_bytes = static_cast<std::int64_t>(n);
  }
  // New bytes are zero.
  void resize_zeroed(std::size_t n) {
    const std::size_t old = size();
    resize(n);
    if (n > old) std::memset(b_.data + old, 0, n - old);
  }
  // Appends pieces that are mostly short: fixed-size copies the compiler
  // inlines instead of a call to memcpy.
  void append_short(const void* src, std::size_t n) {
    const std::size_t at = size();
    if (at + n > capacity_()) grow(at + n);
    copy_short(b_.data + at, src, n);
    b_.size_bytes += static_cast<std::int64_t>(n);
  }
  // memcpy for pieces that are mostly short: at most two overlapping
  // fixed-size copies up to sixteen bytes.
  static void copy_short(std::uint8_t* d, const void* src, std::size_t n) noexcept {
    const auto* p = static_cast<const std::uint8_t*>(src);
    if (n >= 8 && n <= 16) {
      std::memcpy(d, p, 8);
      std::memcpy(d + n - 8, p + n - 8, 8);
    } else if (n > 16) {
      std::memcpy(d, p, n);
    } else if (n >= 4) {
      std::memcpy(d, p, 4);
      std::memcpy(d + n - 4, p + n - 4, 4);
    } else if (n != 0) {
      d[0] = p[0];
      d[n / 2] = p[n / 2];
      d[n - 1] = p[n - 1];
    }
  }
  template <class T>
  void push(T v) {
    const std::size_t at = size();
    if (at + sizeof v > capacity_()) grow(at + sizeof v);
    std::memcpy(b_.data + at, &v, sizeof v);
    b_.size_bytes += static_cast<std::int64_t>(sizeof v);
  }
  template <class T>
  T* as() noexcept {
    return reinterpret_cast<T*>(b_.data);
  }
  template <class T>
  const T* as() const noexcept {
    return reinterpret_cast<const T*>(b_.data);
  }
  // Gives back the spare capacity (kept when the smaller block is refused).
  void shrink_to_fit() noexcept {
    if (b_.capacity_bytes == b_.size_bytes || b_.size_bytes == 0) return;
    if (std::uint8_t* p =
            b_.allocator.reallocate(&b_.allocator, b_.data, b_.capacity_bytes, b_.size_bytes)) {
      b_.data = p;
      b_.capacity_bytes = b_.size_bytes;
    }
  }
  void reset() noexcept { ArrowBufferReset(&b_); }

 private:
  std::size_t capacity_() const noexcept { return static_cast<std::size_t>(b_.capacity_bytes); }
  void grow(std::size_t need) {
    const std::size_t cap = capacity_();
    reserve(std::max(need, cap < 64 ? 64 : cap + cap / 2));
  }

  ArrowBuffer b_;
};

// Bit i of an Arrow bitmap (least significant bit first).
inline bool get_bit(const std::uint8_t* bits, std::size_t i) noexcept {
  return (bits[i >> 3] >> (i & 7)) & 1;
}
inline void set_bit(std::uint8_t* bits, std::size_t i) noexcept {
  bits[i >> 3] = static_cast<std::uint8_t>(bits[i >> 3] | (1u << (i & 7)));
}

}  // namespace gleave::table
