// ByteBuffer: the growable byte buffer that holds an input text.
#pragma once

#include <cstddef>
#include <string_view>

namespace gleave {

// A growable byte buffer that reports exhaustion instead of throwing. Large
// buffers come straight from the kernel, with transparent huge pages asked
// for, so that reading a big file costs few page faults.
class ByteBuffer {
 public:
  ByteBuffer() = default;
  ByteBuffer(const ByteBuffer&) = delete;
  ByteBuffer& operator=(const ByteBuffer&) = delete;
  ByteBuffer(ByteBuffer&& o) noexcept;
  ByteBuffer& operator=(ByteBuffer&& o) noexcept;
  ~ByteBuffer();

  bool reserve(std::size_t capacity) noexcept;
  std::string_view view() const noexcept { return std::string_view(data_, size_); }
  char* data() noexcept { return data_; }
  std::size_t size() const noexcept { return size_; }
  // Whether the bytes are pages of their own (mmap), which may be given
  // back to the system a range at a time.
  bool mapped() const noexcept { return mapped_; }
  std::size_t capacity() const noexcept { return cap_; }
  void set_size(std::size_t n) noexcept { size_ = n; }

 private:
  void release() noexcept;

  char* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t cap_ = 0;
  bool mapped_ = false;
};

}  // namespace gleave
