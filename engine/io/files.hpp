// File descriptors, buffered writes and the temporary file that an in-place
// repair commits by rename.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/uio.h>
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

#include "engine/base/byte_buffer.hpp"
#include "engine/base/error.hpp"
#include "engine/base/fd.hpp"
#include "engine/base/interrupt.hpp"
#include "engine/io/pipeline.hpp"

namespace gleave {

// A file in `dir` that has no name (O_TMPFILE, or a named one removed at
// once: ".gleave-" `what` "-" and six random characters), open for reading
// and writing; it goes away with its descriptor.
Result<Fd> open_unlinked_temp(const std::string& dir, const char* what);
// $TMPDIR when it names a directory, else /tmp.
const char* temp_dir() noexcept;

// A write buffer that owns its file. Lines go in whole: one that does not fit
// first writes the buffer out, and one of the buffer's size or more goes
// straight to the file. Destruction writes out what is left (a failure there
// is ignored: the first error has been reported) and closes.
//
// The file sees the same bytes in the same order whatever the capacity, and a
// failed write leaves the same prefix on disk (the system writes what fits
// before it refuses). The capacity only sets how many system calls it takes:
// with 8 KiB writes, repairing a large file took twice as long as with these.
//
// A regular file may be written behind (write_behind()): a full buffer is
// handed to a thread that writes it while the next one fills, with the same
// bytes, the same order and the same failures (met at a later append or at
// flush()).
class WriteBuffer {
 public:
  static constexpr std::size_t kCapacity = std::size_t{256} << 10;

  explicit WriteBuffer(Fd fd, Interrupt* interrupt = nullptr)
      : fd_(std::move(fd)), interrupt_(interrupt), buf_(new char[kCapacity]) {}
  WriteBuffer(const WriteBuffer&) = delete;
  WriteBuffer& operator=(const WriteBuffer&) = delete;
  ~WriteBuffer() { (void)flush(); }

  // Writes full buffers on a thread of their own from now on, when `fd`
  // is a regular file (whose writes never wait for another process) and a
  // thread can be started. The thread starts with the first full buffer:
  // a file written in one buffer (most quarantine files) takes none.
  // `send_on`: the thread also sends the pages written on to the disk as
  // it goes (see WriteBehind).
  void write_behind(bool send_on = false) {
    struct stat st {};
    may_write_behind_ = ::fstat(fd_.get(), &st) == 0 && S_ISREG(st.st_mode);
    send_on_ = send_on;
  }

  Status append(std::string_view line) {
    if (line.size() >= kCapacity) return write_through(line);
    if (line.size() > kCapacity - len_) {
      if (Status passed = pass_on(); !passed) return passed;
    }
    std::memcpy(buf_.get() + len_, line.data(), line.size());
    len_ += line.size();
    return {};
  }

  // The same as appending `text` followed by `last`, without building the
  // line first when it fits.
  Status append(std::string_view text, char last) {
    const std::size_t size = text.size() + 1;
    if (size >= kCapacity || size > kCapacity - len_) {
      std::string line;  // rare: a line that does not fit
      line.reserve(size);
      line.append(text);
      line.push_back(last);
      return append(line);
    }
    std::memcpy(buf_.get() + len_, text.data(), text.size());
    buf_[len_ + text.size()] = last;
    len_ += size;
    return {};
  }

  // Writes out the buffer (and waits for what was handed over before it);
  // what could not be written stays for a retry.
  Status flush() {
    if (behind_) {
      if (Status passed = pass_on(); !passed) return passed;
      return settle();
    }
    if (len_ == 0) return {};
    std::size_t done = 0;
    Status written = write_all(fd_.get(), buf_.get(), len_, IoFixed::FlushZero, &done, interrupt_);
    std::memmove(buf_.get(), buf_.get() + done, len_ - done);
    len_ -= done;
    return written;
  }

  // What is buffered and then a line of the buffer's size or more, in
  // vectored writes: the line is not copied, and both go in one system call
  // where the file takes them whole. What the file refused of the buffer
  // stays for a retry, as in flush().
  Status write_through(std::string_view line) {
    if (behind_) {
      // Rare: everything before the line is written first, the line (which
      // the caller keeps only during the call) by this thread.
      if (Status flushed = flush(); !flushed) return flushed;
    }
    iovec parts[2] = {{buf_.get(), len_}, {const_cast<char*>(line.data()), line.size()}};
    std::size_t first = len_ == 0 ? 1 : 0;
    while (first < 2) {
      const ssize_t w = ::writev(fd_.get(), parts + first, static_cast<int>(2 - first));
      if (w < 0) {
        std::optional<IoError> e;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
          if (Status ready = wait_ready(fd_.get(), POLLOUT, interrupt_); !ready) {
            e = std::move(ready.io_error());
          }
        } else if (errno != EINTR) {
          e = IoError::from_errno(errno);
        } else if (interrupt_ != nullptr && interrupt_->requested_now()) {
          e = IoError::from_fixed(IoFixed::Interrupted);
        }
        if (!e) continue;
        keep_unwritten(parts[0]);
        return std::move(*e);
      }
      if (w == 0) {
        keep_unwritten(parts[0]);
        return IoError::from_fixed(first == 0 ? IoFixed::FlushZero : IoFixed::WriteZero);
      }
      auto done = static_cast<std::size_t>(w);
      for (; first < 2 && done >= parts[first].iov_len; ++first) {
        done -= parts[first].iov_len;
        parts[first].iov_len = 0;
      }
      if (first < 2) {
        parts[first].iov_base = static_cast<char*>(parts[first].iov_base) + done;
        parts[first].iov_len -= done;
      }
    }
    len_ = 0;
    return {};
  }

  // Drops what is buffered (the file is being thrown away) and closes.
  void abandon() noexcept {
    may_write_behind_ = false;
    behind_.reset();
    len_ = 0;
    fd_.reset();
  }
  int fd() const noexcept { return fd_.get(); }

 private:
  // The full buffer to the writing thread (or written out, without one).
  Status pass_on() {
    if (may_write_behind_) {
      may_write_behind_ = false;
      behind_ = WriteBehind::start(fd_.get(), kCapacity, send_on_);
    }
    if (!behind_) return flush();
    if (len_ == 0) return {};
    if (Status passed = behind_->hand_over(buf_, len_); !passed) return settle();
    len_ = 0;
    return {};
  }
  // Waits for the writing thread; after a failure, what the file refused
  // is the buffer (retried as flush() retries), and this thread writes on.
  Status settle() {
    Status done = behind_->drain(buf_, len_);
    if (!done) behind_.reset();
    return done;
  }

  // After a failed vectored write: the buffer's part it did not write
  // moves to the front.
  void keep_unwritten(const iovec& rest) noexcept {
    std::memmove(buf_.get(), rest.iov_base, rest.iov_len);
    len_ = rest.iov_len;
  }

  Fd fd_;
  Interrupt* interrupt_ = nullptr;
  std::size_t len_ = 0;
  std::unique_ptr<char[]> buf_;
  bool may_write_behind_ = false;
  bool send_on_ = false;
  std::unique_ptr<WriteBehind> behind_;  // last: goes before the file closes
};

inline constexpr int kCreateFlags = O_WRONLY | O_CREAT | O_TRUNC;

// The path a symbolic link finally names, dangling links included: each
// link's target is taken relative to the link's own directory and followed
// again, and the directory part is made canonical when it exists. A path
// that is no link comes back with only its directory made canonical.
std::string resolve_links(const std::string& path);

// The directory part of `path`: "." when it has none, "/" for a file at the root.
std::string parent_directory(const std::string& path);

// Same file: the same device and inode when both exist, or the same
// directory entry once links (dangling ones too) are followed when neither
// exists yet. Only regular files count: writing twice to a device such as
// /dev/null destroys nothing.
bool same_file(const std::string& a, const std::string& b);

// A file written beside its target and renamed over it by commit(); until
// then the target is untouched, and a replacement that is never committed is
// removed. Where the file system allows it the file has no name while it is
// written (O_TMPFILE), and is linked under its temporary name only at
// commit, just before the rename: a process killed during the repair leaves
// nothing behind. Elsewhere it is written under that name from the start.
// The name is ".gleave-" and six random characters, so it fits wherever the
// target's own name fits.
//
// Replacing an existing file keeps its mode and, where the system allows it,
// its owner and group; a setuid or setgid bit is dropped when the owner or
// group could not be kept, so a file never becomes setuid for someone else.
// The rename gives the target a new inode: hard links to the old file keep
// the old contents, and extended attributes and ACLs are not carried over.
class ReplacementFile {
 public:
  ReplacementFile() = default;
  ReplacementFile(const ReplacementFile&) = delete;
  ReplacementFile& operator=(const ReplacementFile&) = delete;
  ReplacementFile(ReplacementFile&& o) noexcept
      : target_(std::move(o.target_)),
        path_(std::exchange(o.path_, std::string())),
        unnamed_(std::move(o.unnamed_)) {}
  ~ReplacementFile() { discard(); }

  // Opens the temporary file beside the file that `target` names (through
  // any symbolic link, so that the link survives and the real file, or the
  // file a dangling link names, is written).
  Result<Fd> open(const std::string& target);
  Status commit();
  // Removes the temporary file, if any.
  void discard() noexcept;

 private:
  std::string target_;
  std::string path_;  // the temporary name, once the file has one
  Fd unnamed_;        // the O_TMPFILE file, until commit links it
};

// The in-place repair's replacement of its input.
using TempOutput = ReplacementFile;

// Reads a whole file into memory; interrupted reads are repeated. A regular
// file is read up to twice the size it had when opened plus 64 MiB: one that
// is appended to as fast as it is read would otherwise never end.
Result<ByteBuffer> read_file(const std::string& path);

// The same from an open descriptor (not closed). With an interrupt, a read
// cut short by a signal, and every 50 ms without data from a pipe, ask it
// whether to stop (IoFixed::Interrupted).
Result<ByteBuffer> read_fd(int fd, Interrupt* interrupt);

}  // namespace gleave
