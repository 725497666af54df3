// File descriptors, buffered writes and the temporary file that an in-place
// repair commits by rename.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "byte_buffer.hpp"
#include "error.hpp"

namespace gleave {

class Fd {
 public:
  explicit Fd(int fd = -1) noexcept : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  Fd(Fd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
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

inline Result<Fd> open_path(const std::string& path, int flags) {
  if (has_nul(path)) return IoError::from_fixed(IoFixed::NulInPath);
  int fd;
  do {
    fd = ::open(path.c_str(), flags | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return IoError::from_errno(errno);
  return Fd(fd);
}

// Writes everything or reports the first failure.
inline std::optional<IoError> write_all(int fd, const char* p, std::size_t n, IoFixed on_zero,
                                 std::size_t* written = nullptr) {
  std::size_t done = 0;
  std::optional<IoError> error;
  while (done < n) {
    const ssize_t w = ::write(fd, p + done, n - done);
    if (w < 0) {
      if (errno == EINTR) continue;
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

// A write buffer that owns its file. Lines go in whole: one that does not fit
// first writes the buffer out, and one of the buffer's size or more goes
// straight to the file. Destruction writes out what is left (a failure there
// is ignored: the first error has been reported) and closes.
//
// The file sees the same bytes in the same order whatever the capacity, and a
// failed write leaves the same prefix on disk (the system writes what fits
// before it refuses). The capacity only sets how many system calls it takes:
// with 8 KiB writes, repairing a large file took twice as long as with these.
class WriteBuffer {
 public:
  static constexpr std::size_t kCapacity = std::size_t{256} << 10;

  explicit WriteBuffer(Fd fd) : fd_(std::move(fd)), buf_(new char[kCapacity]) {}
  WriteBuffer(const WriteBuffer&) = delete;
  WriteBuffer& operator=(const WriteBuffer&) = delete;
  ~WriteBuffer() { (void)flush(); }

  std::optional<IoError> append(std::string_view line) {
    if (line.size() > kCapacity - len_) {
      if (auto e = flush()) return e;
    }
    if (line.size() >= kCapacity) {
      return write_all(fd_.get(), line.data(), line.size(), IoFixed::WriteZero);
    }
    std::memcpy(buf_.get() + len_, line.data(), line.size());
    len_ += line.size();
    return std::nullopt;
  }

  // The same as appending `text` followed by `last`, without building the
  // line first when it fits.
  std::optional<IoError> append(std::string_view text, char last) {
    const std::size_t size = text.size() + 1;
    if (size >= kCapacity || size > kCapacity - len_) {
      std::string line;
      line.reserve(size);
      line.append(text);
      line.push_back(last);
      return append(line);
    }
    std::memcpy(buf_.get() + len_, text.data(), text.size());
    buf_[len_ + text.size()] = last;
    len_ += size;
    return std::nullopt;
  }

  // Writes out the buffer; what could not be written stays for a retry.
  std::optional<IoError> flush() {
    if (len_ == 0) return std::nullopt;
    std::size_t done = 0;
    auto e = write_all(fd_.get(), buf_.get(), len_, IoFixed::FlushZero, &done);
    std::memmove(buf_.get(), buf_.get() + done, len_ - done);
    len_ -= done;
    return e;
  }

 private:
  Fd fd_;
  std::size_t len_ = 0;
  std::unique_ptr<char[]> buf_;
};

inline constexpr int kCreateFlags = O_WRONLY | O_CREAT | O_TRUNC;

// Same file: the same path, the same device and inode when both exist, or
// the same directory entry when one does not exist yet. Only regular files
// count: writing twice to a device such as /dev/null destroys nothing.
inline bool same_file(const std::string& a, const std::string& b) {
  struct stat sa {
  }, sb{};
  const bool ea = ::stat(a.c_str(), &sa) == 0;
  const bool eb = ::stat(b.c_str(), &sb) == 0;
  if (ea && eb) {
    return S_ISREG(sa.st_mode) && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
  }
  if (a == b) return true;
  if (ea != eb) return false;
  auto split = [](const std::string& p) {
    const auto slash = p.find_last_of('/');
    if (slash == std::string::npos) return std::pair<std::string, std::string>(".", p);
    return std::pair<std::string, std::string>(slash == 0 ? "/" : p.substr(0, slash),
                                               p.substr(slash + 1));
  };
  const auto [da, na] = split(a);
  const auto [db, nb] = split(b);
  if (na != nb) return false;
  struct stat pa {
  }, pb{};
  return ::stat(da.c_str(), &pa) == 0 && ::stat(db.c_str(), &pb) == 0 && pa.st_dev == pb.st_dev &&
         pa.st_ino == pb.st_ino;
}

// Writes the output to a temporary file beside the input and renames it over
// the input once complete, so a failed in-place repair leaves the input whole.
class TempOutput {
 public:
  // Opens a temporary file beside the file that `target` names (through any
  // symbolic link, so that the link survives and the real file is replaced).
  Result<Fd> open(const std::string& target) {
    target_ = target;
    if (char* real = ::realpath(target.c_str(), nullptr)) {
      target_ = real;
      std::free(real);
    }
    const auto slash = target_.find_last_of('/');
    const std::string dir = slash == std::string::npos ? "" : target_.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? target_ : target_.substr(slash + 1);
    std::string templ = dir + "." + base + ".gleave-XXXXXX";
    int fd;
    do {
      fd = ::mkostemp(templ.data(), O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return IoError::from_errno(errno);
    path_ = templ;
    struct stat st {};
    if (::stat(target_.c_str(), &st) == 0) (void)::fchmod(fd, st.st_mode & 07777);
    return Fd(fd);
  }
  std::optional<IoError> commit() {
    if (::rename(path_.c_str(), target_.c_str()) != 0) return IoError::from_errno(errno);
    path_.clear();
    return std::nullopt;
  }
  ~TempOutput() {
    if (!path_.empty()) ::unlink(path_.c_str());
  }

 private:
  std::string target_;
  std::string path_;
};

// Reads a whole file into memory; interrupted reads are repeated.
Result<ByteBuffer> read_file(const std::string& path);

}  // namespace gleave
