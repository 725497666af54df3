// The stages of a file job that run beside the pass, each on a thread of
// its own: the next windows of input are read (and decoded) while the pass
// parses and repairs this one, and filled output buffers are written while
// the pass fills the next. Each stage passes a few fixed buffers back and
// forth with the pass, so memory stays bounded whatever the file's size,
// and keeps the error it met for the pass to meet where it would have met
// it reading or writing itself: the output is the same bytes, and a
// failure the same error, as when the pass does everything in turn.
//
// The stages serve regular files only, whose reads and writes never wait
// for another process: a stage never needs to be interrupted, and never
// asks the caller's interrupt hook (which may take a lock of the caller's
// that only the pass's thread may take).
#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "engine/base/byte_buffer.hpp"
#include "engine/base/error.hpp"

namespace gleave {

class ByteSource;

// Whether stages may run on threads of their own: yes, unless
// GLEAVE_STAGE_THREADS=0 (read once), which makes every job read, repair
// and write in turn on the caller's thread (to compare the two, or on a
// machine where a job must take one core only).
bool stage_threads() noexcept;

// A thread that takes no signals, joined when it goes: a signal goes to a
// thread of the caller's (which asks the interrupt hook), and a stage's
// own system calls are never cut short.
class StageThread {
 public:
  StageThread() = default;
  StageThread(const StageThread&) = delete;
  StageThread& operator=(const StageThread&) = delete;
  ~StageThread() { join(); }
  // False when no thread could be started (the caller then works alone).
  // `name` (15 bytes at most) is what tools such as top -H and perf show.
  bool start(const char* name, std::function<void()> body) noexcept;
  void join() noexcept;

 private:
  std::thread thread_;
};

// A source read ahead of the pass: a stage fills each free buffer with the
// next `chunk` bytes, after `headroom` bytes left free, where the pass puts
// the bytes it keeps from its last window, so that a window is handed over
// without copying the bytes read. Two buffers go round: the pass reads
// one while the stage fills the other.
class ReadAhead {
 public:
  struct Slot {
    ByteBuffer buf;  // the bytes read are [at, buf.size())
    std::size_t at = 0;
    bool end = false;              // the source ended after them
    std::optional<IoError> error;  // reading failed after them
  };

  // Null when no thread could be started.
  static std::unique_ptr<ReadAhead> start(ByteSource& source, std::size_t chunk,
                                          std::size_t headroom);
  ReadAhead(ByteSource& source, std::size_t chunk, std::size_t headroom);
  ReadAhead(const ReadAhead&) = delete;
  ReadAhead& operator=(const ReadAhead&) = delete;
  ~ReadAhead();

  // The next buffer read, waiting for it. Not called again after a slot
  // that ended the source or failed.
  Slot take();
  // A buffer the pass is done with, to be filled again (one grown past a
  // slot's size is let go, and a new one made).
  void give_back(ByteBuffer buf);
  // While the lock is held, the stage does not read the source: the pass
  // may read it again at an offset (a look-ahead past the window).
  std::unique_lock<std::mutex> hold_source() { return std::unique_lock<std::mutex>(source_lock_); }
  // The bytes each window read holds (fewer at the end).
  std::size_t chunk() const noexcept { return chunk_; }
  // Stops reading ahead and waits for the stage to go: what the source
  // counted (replaced bytes) is then final.
  void stop() noexcept;

 private:
  static constexpr std::size_t kBuffers = 2;
  void run();
  Slot fill(ByteBuffer buf);

  ByteSource& source_;
  const std::size_t chunk_;
  const std::size_t headroom_;
  std::mutex lock_;
  std::condition_variable changed_;
  std::deque<Slot> filled_;
  std::vector<ByteBuffer> free_;
  bool stopping_ = false;
  std::mutex source_lock_;
  StageThread thread_;  // last: it goes first
};

// Output buffers written by a stage, in the order handed over: the pass
// fills one while the stage writes the others (at most two waiting).
// After a failed write the stage writes nothing more and keeps what the
// file refused of that buffer; the buffers after it are dropped, as the
// pass would never have filled them had it written them itself.
class WriteBehind {
 public:
  // Null when no thread could be started. `send_on`: every so many bytes
  // the pages written are sent on to the disk (not a sync: they start on
  // their way), from the stage's thread. For a file that replaces one with
  // data, where the file system would otherwise start them all at once on
  // the caller's thread when the file is renamed over it or closed.
  static std::unique_ptr<WriteBehind> start(int fd, std::size_t capacity, bool send_on = false);
  WriteBehind(int fd, std::size_t capacity, bool send_on);
  WriteBehind(const WriteBehind&) = delete;
  WriteBehind& operator=(const WriteBehind&) = delete;
  ~WriteBehind();  // drops what is not written yet

  // Hands over the first `len` bytes of `buf` and gives back an empty
  // buffer, waiting for one while the stage is behind. A failure of an
  // earlier write: `buf` is kept, nothing handed over.
  Status hand_over(std::unique_ptr<char[]>& buf, std::size_t len);
  // Waits until everything handed over is written. A failure: `buf` and
  // `len` become what the file refused of the buffer that failed.
  Status drain(std::unique_ptr<char[]>& buf, std::size_t& len);

 private:
  struct Piece {
    std::unique_ptr<char[]> buf;
    std::size_t len = 0;
  };
  static constexpr std::size_t kWaiting = 2;
  // Written pages are sent on to the disk every so many bytes.
  static constexpr std::size_t kWriteBackBytes = std::size_t{8} << 20;
  void run();
  void start_write_back(std::size_t written) noexcept;

  const int fd_;
  const std::size_t capacity_;
  const off_t at_;             // where the writes began in the file (-1: none sent on)
  std::uint64_t written_ = 0;  // bytes written since
  std::uint64_t started_ = 0;  // of which sent on to the disk
  std::mutex lock_;
  std::condition_variable changed_;
  std::deque<Piece> waiting_;
  std::vector<std::unique_ptr<char[]>> free_;
  std::size_t made_ = 0;   // buffers made for the stage
  bool writing_ = false;   // the stage is writing the front piece
  bool stopping_ = false;  // the stage is to go
  std::optional<IoError> error_;
  Piece refused_;       // what the failed write left
  StageThread thread_;  // last: it goes first
};

}  // namespace gleave
