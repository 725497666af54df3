#include "engine/base/byte_buffer.hpp"

#include <sys/mman.h>

#include <cstdlib>
#include <cstring>
#include <utility>

namespace gleave {

namespace {

constexpr std::size_t kMapThreshold = std::size_t{1} << 21;  // 2 MiB, one huge page

}  // namespace

ByteBuffer::ByteBuffer(ByteBuffer&& o) noexcept
    : data_(std::exchange(o.data_, nullptr)),
      size_(std::exchange(o.size_, 0)),
      cap_(std::exchange(o.cap_, 0)),
      mapped_(std::exchange(o.mapped_, false)) {}

ByteBuffer& ByteBuffer::operator=(ByteBuffer&& o) noexcept {
  if (this != &o) {
    release();
    data_ = std::exchange(o.data_, nullptr);
    size_ = std::exchange(o.size_, 0);
    cap_ = std::exchange(o.cap_, 0);
    mapped_ = std::exchange(o.mapped_, false);
  }
  return *this;
}

ByteBuffer::~ByteBuffer() {
  release();
}

void ByteBuffer::release() noexcept {
  if (mapped_) {
    ::munmap(data_, cap_);
  } else {
    std::free(data_);
  }
  data_ = nullptr;
  size_ = cap_ = 0;
  mapped_ = false;
}

bool ByteBuffer::reserve(std::size_t capacity) noexcept {
  if (capacity <= cap_) return true;
  if (capacity < kMapThreshold) {
    void* p = std::realloc(data_, capacity);
    if (p == nullptr) return false;
    data_ = static_cast<char*>(p);
    cap_ = capacity;
    return true;
  }
  capacity = (capacity + kMapThreshold - 1) & ~(kMapThreshold - 1);
  void* p;
  if (mapped_) {
    p = ::mremap(data_, cap_, capacity, MREMAP_MAYMOVE);
  } else {
    p = ::mmap(nullptr, capacity, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  }
  if (p == MAP_FAILED) return false;
#ifdef MADV_HUGEPAGE
  (void)::madvise(p, capacity, MADV_HUGEPAGE);
#endif
  if (!mapped_ && size_ != 0) std::memcpy(p, data_, size_);
  if (!mapped_) std::free(data_);
  data_ = static_cast<char*>(p);
  cap_ = capacity;
  mapped_ = true;
  return true;
}

}  // namespace gleave
