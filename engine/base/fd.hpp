// An owned file descriptor, closed when it goes out of scope, and the
// descriptor-level opens and writes that ask an Interrupt whether to stop.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <optional>
#include <string>
#include <utility>

#include "engine/base/error.hpp"
#include "engine/base/interrupt.hpp"

namespace gleave {

class Fd {
 public:
  explicit Fd(int fd = -1) noexcept : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  Fd(Fd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
  Fd& operator=(Fd&& o) noexcept {
    if (this != &o) {
      reset();
      fd_ = std::exchange(o.fd_, -1);
    }
    return *this;
  }
  ~Fd() { reset(); }
  int get() const noexcept { return fd_; }
  void reset() noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

inline bool has_nul(const std::string& path) {
  return path.find('\0') != std::string::npos;
}

// Opens a FIFO the way a blocking open would (waiting for the other end)
// without blocking: the wait polls, and asks `interrupt` whether to stop at
// least every 50 ms. A FIFO opened for writing stays non-blocking (write_all
// waits for room the same way); one opened for reading blocks again once
// its writer came.
Result<Fd> open_fifo(const std::string& path, int flags, Interrupt& interrupt);

// An open cut short by a signal (one of a FIFO waiting for its writer) asks
// `interrupt` (when given) whether to stop; with one, a FIFO is opened by
// open_fifo, so that a stop is asked for even when no signal comes.
inline Result<Fd> open_path(const std::string& path, int flags, Interrupt* interrupt = nullptr) {
  if (has_nul(path)) return IoError::from_fixed(IoFixed::NulInPath);
  struct stat st {};
  if (interrupt != nullptr && ::stat(path.c_str(), &st) == 0 && S_ISFIFO(st.st_mode)) {
    return open_fifo(path, flags, *interrupt);
  }
  int fd;
  while (true) {
    fd = ::open(path.c_str(), flags | O_CLOEXEC, 0666);
    if (fd >= 0 || errno != EINTR) break;
    if (interrupt != nullptr && interrupt->requested_now()) {
      return IoError::from_fixed(IoFixed::Interrupted);
    }
  }
  if (fd < 0) return IoError::from_errno(errno);
  return Fd(fd);
}

// Waits until `fd` is ready for `events` (POLLIN, POLLOUT), asking
// `interrupt` (when given) whether to stop at least every 50 ms.
Status wait_ready(int fd, short events, Interrupt* interrupt);

// Writes everything or reports the first failure.
// A write cut short by a signal asks `interrupt` (when given) whether to stop.
// A non-blocking descriptor (a FIFO opened by open_fifo, a pipe the caller
// made so) that is full is waited on by wait_ready.
inline Status write_all(int fd, const char* p, std::size_t n, IoFixed on_zero,
                        std::size_t* written = nullptr, Interrupt* interrupt = nullptr) {
  std::size_t done = 0;
  Status error;
  while (done < n) {
    const ssize_t w = ::write(fd, p + done, n - done);
    if (w < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        if (Status ready = wait_ready(fd, POLLOUT, interrupt); !ready) {
          error = std::move(ready);
          break;
        }
        continue;
      }
      if (errno == EINTR) {
        if (interrupt != nullptr && interrupt->requested_now()) {
          error = IoError::from_fixed(IoFixed::Interrupted);
          break;
        }
        continue;
      }
      error = IoError::from_errno(errno);
      break;
    }
    if (w == 0) {
      error = IoError::from_fixed(on_zero);
      break;
    }
    done += static_cast<std::size_t>(w);
  }
  if (written != nullptr) *written = done;
  return error;
}

// A caller's descriptor is never moved: this notes where a seekable one
// stands and puts it back there when it goes (whatever the reads between
// did). A pipe, which cannot seek, is consumed as it is read.
class KeepOffset {
 public:
  explicit KeepOffset(int fd) noexcept
      : fd_(fd), at_(fd >= 0 ? ::lseek(fd, 0, SEEK_CUR) : off_t{-1}) {}
  KeepOffset(const KeepOffset&) = delete;
  KeepOffset& operator=(const KeepOffset&) = delete;
  ~KeepOffset() {
    if (at_ >= 0) (void)::lseek(fd_, at_, SEEK_SET);
  }

 private:
  int fd_;
  off_t at_;
};

}  // namespace gleave
