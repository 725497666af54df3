// A pipe made readable again: what is read from it is also kept in an
// unnamed temporary file, so that any number of readings, each at its own
// place, get the same bytes. The pipe is read only as far as the reading
// furthest on asks, as it asks: a reading that is ahead reads on from the
// pipe while one behind reads from the file, and nothing is held in memory
// beyond each reading's own buffer.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

#include "engine/base/error.hpp"
#include "engine/base/fd.hpp"
#include "engine/base/interrupt.hpp"
#include "engine/io/chunked.hpp"

namespace gleave {

class TeeFile {
 public:
  // Takes `pipe` (closed with the tee); the file is made in temp_dir().
  static Result<std::shared_ptr<TeeFile>> open(Fd pipe);
  TeeFile(const TeeFile&) = delete;
  TeeFile& operator=(const TeeFile&) = delete;

  // Up to `n` bytes from `offset` of the pipe's bytes; 0 at its end. Past
  // what is kept, reads on from the pipe (one reading at a time: another
  // waits, asking its `interrupt`). Safe from any thread.
  Result<std::size_t> read_at(std::uint64_t offset, char* p, std::size_t n, Interrupt* interrupt);
  // Reads on until `size` bytes are kept or the pipe has ended.
  Status fill(std::uint64_t size, Interrupt* interrupt);
  std::uint64_t kept() const noexcept { return kept_.load(std::memory_order_acquire); }
  bool ended() const noexcept { return ended_.load(std::memory_order_acquire); }
  // The file holding what is kept (read it with pread: its own offset is
  // where the next bytes from the pipe go).
  int file() const noexcept { return file_.get(); }
  // Ends every reading that waits on the pipe, now or later, with `message`
  // (the writer of the pipe failed: its end would read as the input's end).
  void fail(std::string message);

 private:
  TeeFile(Fd pipe, Fd file) : pipe_(std::move(pipe)), file_(std::move(file)) {}
  // Reads the pipe's next bytes into `p` and keeps them; 0 at its end.
  // Called with pull_ held.
  Result<std::size_t> pull(char* p, std::size_t n, Interrupt* interrupt);
  std::optional<GleaveError> failure() const;

  Fd pipe_;
  Fd file_;
  std::timed_mutex pull_;  // held by the reading that reads the pipe
  std::atomic<std::uint64_t> kept_{0};
  std::atomic<bool> ended_{false};
  mutable std::mutex failure_mutex_;
  std::optional<GleaveError> failure_;  // the pipe or the file failed: no more bytes
  std::atomic<bool> failed_{false};
};

// One reading of a tee from `start` on, as a file is read: read() moves
// on, read_at() looks at any offset (from `start`) without moving.
class TeeSource : public ByteSource {
 public:
  TeeSource(TeeFile& tee, std::uint64_t start, Interrupt* interrupt)
      : tee_(tee), start_(start), at_(start), interrupt_(interrupt) {}
  Result<std::size_t> read(char* p, std::size_t n) override;
  bool rereadable() const noexcept override { return true; }
  std::optional<std::uint64_t> left() const noexcept override;
  Result<std::size_t> read_at(std::uint64_t offset, char* p, std::size_t n) override {
    return tee_.read_at(start_ + offset, p, n, interrupt_);
  }

 private:
  TeeFile& tee_;
  std::uint64_t start_;
  std::uint64_t at_;
  Interrupt* interrupt_;
};

}  // namespace gleave
