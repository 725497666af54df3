#include "engine/io/pipeline.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <system_error>
#include <utility>

#include "engine/base/fd.hpp"
#include "engine/io/chunked.hpp"

namespace gleave {

bool stage_threads() noexcept {
  static const bool on = [] {
    const char* v = std::getenv("GLEAVE_STAGE_THREADS");
    return v == nullptr || std::strcmp(v, "0") != 0;
  }();
  return on;
}

bool StageThread::start(const char* name, std::function<void()> body) noexcept {
  if (!stage_threads()) return false;
  // The new thread takes the signal mask of the one that starts it.
  sigset_t all, was;
  sigfillset(&all);
  if (pthread_sigmask(SIG_SETMASK, &all, &was) != 0) return false;
  bool started = true;
  try {
    thread_ = std::thread(std::move(body));
    (void)pthread_setname_np(thread_.native_handle(), name);
  } catch (const std::system_error&) {
    started = false;
  } catch (const std::bad_alloc&) {
    started = false;
  }
  (void)pthread_sigmask(SIG_SETMASK, &was, nullptr);
  return started;
}

void StageThread::join() noexcept {
  if (thread_.joinable()) thread_.join();
}

// ---------------------------------------------------------------------------

ReadAhead::ReadAhead(ByteSource& source, std::size_t chunk, std::size_t headroom)
    : source_(source), chunk_(chunk), headroom_(headroom) {
  // The other buffer is the window the pass holds, given back when it
  // takes the next.
  free_.resize(kBuffers - 1);
}

std::unique_ptr<ReadAhead> ReadAhead::start(ByteSource& source, std::size_t chunk,
                                            std::size_t headroom) {
  auto ahead = std::make_unique<ReadAhead>(source, chunk, headroom);
  ReadAhead* self = ahead.get();
  if (!ahead->thread_.start("gleave-read", [self] { self->run(); })) return nullptr;
  return ahead;
}

ReadAhead::~ReadAhead() {
  stop();
}

void ReadAhead::stop() noexcept {
  {
    const std::lock_guard<std::mutex> held(lock_);
    stopping_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

ReadAhead::Slot ReadAhead::fill(ByteBuffer buf) {
  Slot slot;
  if (!buf.reserve(headroom_ + chunk_)) {
    slot.error = IoError::from_fixed(IoFixed::OutOfMemory);
    slot.buf = std::move(buf);
    return slot;
  }
  // Room rounded up by the buffer is room for more of the kept bytes.
  slot.at = buf.capacity() - chunk_;
  buf.set_size(slot.at);
  const std::size_t full = slot.at + chunk_;
  const std::lock_guard<std::mutex> reading(source_lock_);
  while (buf.size() < full) {
    auto r = source_.read(buf.data() + buf.size(), full - buf.size());
    if (!r) {
      slot.error = std::move(*r.error().io());
      break;
    }
    if (r.value() == 0) {
      slot.end = true;
      break;
    }
    buf.set_size(buf.size() + r.value());
  }
  slot.buf = std::move(buf);
  return slot;
}

void ReadAhead::run() {
  while (true) {
    ByteBuffer buf;
    {
      std::unique_lock<std::mutex> held(lock_);
      changed_.wait(held, [this] { return stopping_ || !free_.empty(); });
      if (stopping_) return;
      buf = std::move(free_.back());
      free_.pop_back();
    }
    Slot slot = fill(std::move(buf));
    const bool last = slot.end || slot.error.has_value();
    {
      const std::lock_guard<std::mutex> held(lock_);
      filled_.push_back(std::move(slot));
    }
    changed_.notify_all();
    if (last) return;
  }
}

ReadAhead::Slot ReadAhead::take() {
  std::unique_lock<std::mutex> held(lock_);
  changed_.wait(held, [this] { return !filled_.empty(); });
  Slot slot = std::move(filled_.front());
  filled_.pop_front();
  return slot;
}

void ReadAhead::give_back(ByteBuffer buf) {
  if (buf.capacity() > headroom_ + chunk_ + (std::size_t{2} << 20)) buf = ByteBuffer();
  {
    const std::lock_guard<std::mutex> held(lock_);
    free_.push_back(std::move(buf));
  }
  changed_.notify_all();
}

// ---------------------------------------------------------------------------

WriteBehind::WriteBehind(int fd, std::size_t capacity, bool send_on)
    : fd_(fd), capacity_(capacity), at_(send_on ? ::lseek(fd, 0, SEEK_CUR) : -1) {}

std::unique_ptr<WriteBehind> WriteBehind::start(int fd, std::size_t capacity, bool send_on) {
  auto behind = std::make_unique<WriteBehind>(fd, capacity, send_on);
  WriteBehind* self = behind.get();
  if (!behind->thread_.start("gleave-write", [self] { self->run(); })) return nullptr;
  return behind;
}

WriteBehind::~WriteBehind() {
  {
    const std::lock_guard<std::mutex> held(lock_);
    stopping_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

void WriteBehind::run() {
  std::unique_lock<std::mutex> held(lock_);
  while (true) {
    changed_.wait(held, [this] { return stopping_ || !waiting_.empty(); });
    if (stopping_) return;
    Piece& piece = waiting_.front();
    writing_ = true;
    held.unlock();
    std::size_t done = 0;
    Status written = write_all(fd_, piece.buf.get(), piece.len, IoFixed::FlushZero, &done);
    if (written) start_write_back(done);
    held.lock();
    writing_ = false;
    Piece front = std::move(waiting_.front());
    waiting_.pop_front();
    if (!written) {
      std::memmove(front.buf.get(), front.buf.get() + done, front.len - done);
      front.len -= done;
      refused_ = std::move(front);
      error_ = std::move(written.io_error());
      waiting_.clear();
      changed_.notify_all();
      return;
    }
    free_.push_back(std::move(front.buf));
    changed_.notify_all();
  }
}

void WriteBehind::start_write_back(std::size_t written) noexcept {
#ifdef SYNC_FILE_RANGE_WRITE
  if (at_ < 0) return;
  written_ += written;
  if (written_ - started_ < kWriteBackBytes) return;
  // Not a sync: the pages already written start on their way to the disk
  // now, from this thread, rather than all at once when the file is
  // renamed over the one it replaces or closed after a truncation (where
  // the file system starts them on the caller's thread).
  (void)::sync_file_range(fd_, at_ + static_cast<off_t>(started_),
                          static_cast<off_t>(written_ - started_), SYNC_FILE_RANGE_WRITE);
  started_ = written_;
#else
  (void)written;
#endif
}

Status WriteBehind::hand_over(std::unique_ptr<char[]>& buf, std::size_t len) {
  std::unique_lock<std::mutex> held(lock_);
  if (free_.empty() && made_ < kWaiting) {
    free_.push_back(std::unique_ptr<char[]>(new char[capacity_]));
    ++made_;
  }
  changed_.wait(held, [this] { return error_.has_value() || !free_.empty(); });
  if (error_) return *error_;
  waiting_.push_back(Piece{std::move(buf), len});
  buf = std::move(free_.back());
  free_.pop_back();
  held.unlock();
  changed_.notify_all();
  return {};
}

Status WriteBehind::drain(std::unique_ptr<char[]>& buf, std::size_t& len) {
  std::unique_lock<std::mutex> held(lock_);
  changed_.wait(held, [this] { return error_.has_value() || (waiting_.empty() && !writing_); });
  if (!error_) return {};
  if (refused_.buf) {
    buf = std::move(refused_.buf);
    len = std::exchange(refused_.len, 0);
  }
  return *error_;
}

}  // namespace gleave
