// A malloc-backed growable byte buffer: realloc growth without the
// zero-filling of std::vector, and a plain pointer that an exported Arrow
// array can own until its release callback runs.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

namespace gleave::table {

class Buffer {
 public:
  Buffer() = default;
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  Buffer(Buffer&& o) noexcept
      : data_(std::exchange(o.data_, nullptr)),
        size_(std::exchange(o.size_, 0)),
        cap_(std::exchange(o.cap_, 0)) {}
  Buffer& operator=(Buffer&& o) noexcept {
    if (this != &o) {
      std::free(data_);
      data_ = std::exchange(o.data_, nullptr);
      size_ = std::exchange(o.size_, 0);
      cap_ = std::exchange(o.cap_, 0);
    }
    return *this;
  }
  ~Buffer() { std::free(data_); }

  std::uint8_t* data() noexcept { return data_; }
  const std::uint8_t* data() const noexcept { return data_; }
  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }

  // Throws std::bad_alloc when memory runs out.
  void reserve(std::size_t capacity) {
    if (capacity <= cap_) return;
    void* p = std::realloc(data_, capacity);
    if (p == nullptr) throw std::bad_alloc();
    data_ = static_cast<std::uint8_t*>(p);
    cap_ = capacity;
  }
  // New bytes are left unset.
  void resize(std::size_t n) {
    if (n > cap_) grow(n);
    size_ = n;
  }
  // New bytes are zero.
  void resize_zeroed(std::size_t n) {
    const std::size_t old = size_;
    resize(n);
    if (n > old) std::memset(data_ + old, 0, n - old);
  }
  void append(const void* p, std::size_t n) {
    if (size_ + n > cap_) grow(size_ + n);
    if (n != 0) std::memcpy(data_ + size_, p, n);
    size_ += n;
  }
  // append() for the short pieces a table is made of: fixed-size copies
  // the compiler inlines instead of a call to memcpy.
  void append_short(const void* src, std::size_t n) {
    if (size_ + n > cap_) grow(size_ + n);
    copy_short(data_ + size_, src, n);
    size_ += n;
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
    if (size_ + sizeof v > cap_) grow(size_ + sizeof v);
    std::memcpy(data_ + size_, &v, sizeof v);
    size_ += sizeof v;
  }
  template <class T>
  T* as() noexcept {
    return reinterpret_cast<T*>(data_);
  }
  template <class T>
  const T* as() const noexcept {
    return reinterpret_cast<const T*>(data_);
  }
  // Gives back the spare capacity.
  void shrink_to_fit() noexcept {
    if (cap_ == size_ || size_ == 0) return;
    if (void* p = std::realloc(data_, size_)) {
      data_ = static_cast<std::uint8_t*>(p);
      cap_ = size_;
    }
  }
  void reset() noexcept {
    std::free(data_);
    data_ = nullptr;
    size_ = cap_ = 0;
  }

 private:
  void grow(std::size_t need) { reserve(std::max(need, cap_ < 64 ? 64 : cap_ + cap_ / 2)); }

  std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t cap_ = 0;
};

// Bit i of an Arrow bitmap (least significant bit first).
inline bool get_bit(const std::uint8_t* bits, std::size_t i) noexcept {
  return (bits[i >> 3] >> (i & 7)) & 1;
}
inline void set_bit(std::uint8_t* bits, std::size_t i) noexcept {
  bits[i >> 3] = static_cast<std::uint8_t>(bits[i >> 3] | (1u << (i & 7)));
}

}  // namespace gleave::table
