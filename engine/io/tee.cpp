#include "engine/io/tee.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "engine/io/files.hpp"

namespace gleave {

Result<std::shared_ptr<TeeFile>> TeeFile::open(Fd pipe) {
  auto file = open_unlinked_temp(temp_dir(), "stream");
  if (!file) {
    if (IoError* io = file.error().io()) return std::move(*io).at(IoRole::Temporary, temp_dir());
    return std::move(file.error());
  }
#ifdef F_SETPIPE_SZ
  // A pipe of 1 MiB (the most an unprivileged process may ask for) gives a
  // window in a few reads instead of one per 64 KiB.
  struct stat st {};
  if (::fstat(pipe.get(), &st) == 0 && S_ISFIFO(st.st_mode)) {
    (void)::fcntl(pipe.get(), F_SETPIPE_SZ, 1 << 20);
  }
#endif
  return std::shared_ptr<TeeFile>(new TeeFile(std::move(pipe), std::move(file.value())));
}

void TeeFile::fail(std::string message) {
  std::lock_guard<std::mutex> lock(failure_mutex_);
  if (!failure_) failure_ = GleaveError(OtherError{std::move(message)});
  failed_.store(true, std::memory_order_release);
}

std::optional<GleaveError> TeeFile::failure() const {
  if (!failed_.load(std::memory_order_acquire)) return std::nullopt;
  std::lock_guard<std::mutex> lock(failure_mutex_);
  return failure_;
}

Result<std::size_t> TeeFile::pull(char* p, std::size_t n, Interrupt* interrupt) {
  std::size_t got = 0;
  while (true) {
    if (auto failed = failure()) return std::move(*failed);
    // A silent pipe is waited on a little at a time, so that a stop or a
    // failure of its writer is heard.
    struct pollfd pfd {
      pipe_.get(), POLLIN, 0
    };
    const int ready = ::poll(&pfd, 1, 50);
    if (ready < 0 && errno != EINTR) return IoError::from_errno(errno);
    if (ready <= 0) {
      if (interrupt != nullptr && interrupt->requested()) {
        return IoError::from_fixed(IoFixed::Interrupted);
      }
      continue;
    }
    const ssize_t r = ::read(pipe_.get(), p, n);
    if (r >= 0) {
      got = static_cast<std::size_t>(r);
      break;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK) continue;
    if (errno != EINTR) return IoError::from_errno(errno);
    if (interrupt != nullptr && interrupt->requested_now()) {
      return IoError::from_fixed(IoFixed::Interrupted);
    }
  }
  if (got == 0) {
    // A writer that fails says so before it closes its end.
    if (auto failed = failure()) return std::move(*failed);
    ended_.store(true, std::memory_order_release);
    return got;
  }
  // Bytes read from the pipe and not kept could not be read again: a
  // failed write ends every later reading too.
  if (Status written = write_all(file_.get(), p, got, IoFixed::WriteZero); !written) {
    GleaveError error = std::move(written.io_error()).at(IoRole::Temporary, temp_dir());
    std::lock_guard<std::mutex> lock(failure_mutex_);
    if (!failure_) failure_ = error;
    failed_.store(true, std::memory_order_release);
    return error;
  }
  kept_.fetch_add(got, std::memory_order_acq_rel);
  return got;
}

Result<std::size_t> TeeFile::read_at(std::uint64_t offset, char* p, std::size_t n,
                                     Interrupt* interrupt) {
  if (n == 0) return std::size_t{0};
  while (true) {
    const std::uint64_t have = kept();
    if (offset < have) {
      const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(n, have - offset));
      while (true) {
        const ssize_t r = ::pread(file_.get(), p, want, static_cast<off_t>(offset));
        if (r > 0) return static_cast<std::size_t>(r);
        if (r == 0) return IoError::from_errno(EIO).at(IoRole::Temporary, temp_dir());
        if (errno != EINTR) return IoError::from_errno(errno).at(IoRole::Temporary, temp_dir());
      }
    }
    if (ended()) return std::size_t{0};
    std::unique_lock<std::timed_mutex> lock(pull_, std::defer_lock);
    while (!lock.try_lock_for(std::chrono::milliseconds(50))) {
      if (interrupt != nullptr && interrupt->requested()) {
        return IoError::from_fixed(IoFixed::Interrupted);
      }
    }
    // Another reading may have read on meanwhile.
    if (offset < kept() || ended()) continue;
    const std::uint64_t at = kept();
    // Reads into the caller's buffer: the bytes are theirs when they are
    // the ones asked for, and only kept when they lie before them.
    auto got = pull(p, n, interrupt);
    if (!got) return got;
    if (got.value() == 0) return got;
    if (offset == at) return got;
  }
}

Status TeeFile::fill(std::uint64_t size, Interrupt* interrupt) {
  std::vector<char> buf(std::size_t{1} << 20);
  while (kept() < size && !ended()) {
    auto got = read_at(kept(), buf.data(), buf.size(), interrupt);
    if (!got) return std::move(got.error());
  }
  return {};
}

Result<std::size_t> TeeSource::read(char* p, std::size_t n) {
  auto got = tee_.read_at(at_, p, n, interrupt_);
  if (got) at_ += got.value();
  return got;
}

std::optional<std::uint64_t> TeeSource::left() const noexcept {
  // Known once the pipe has ended, as a file's length is.
  if (!tee_.ended()) return std::nullopt;
  const std::uint64_t kept = tee_.kept();
  return kept > at_ ? kept - at_ : 0;
}

}  // namespace gleave
