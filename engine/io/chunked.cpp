#include "engine/io/chunked.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "engine/scan/parser.hpp"

namespace gleave {

Result<std::size_t> ByteSource::read_at(std::uint64_t, char*, std::size_t) {
  return IoError::from_errno(ESPIPE);
}

FdSource::FdSource(int fd) : fd_(fd) {
  struct stat st {};
  regular_ = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  if (!regular_) return;
  const off_t at = ::lseek(fd, 0, SEEK_CUR);
  start_ = at > 0 ? static_cast<std::uint64_t>(at) : 0;
  const auto size = static_cast<std::uint64_t>(st.st_size);
  size_ = size > start_ ? size - start_ : 0;
  limit_ = size < (UINT64_MAX >> 2) ? 2 * size + (std::uint64_t{64} << 20) : UINT64_MAX;
}

std::optional<std::uint64_t> FdSource::left() const noexcept {
  if (!regular_) return std::nullopt;
  return size_ > read_ ? size_ - read_ : 0;
}

Result<std::size_t> FdSource::read(char* p, std::size_t n) {
  if (read_ >= limit_) {
    reached_end_ = true;
    return std::size_t{0};
  }
  n = static_cast<std::size_t>(std::min<std::uint64_t>(n, limit_ - read_));
  while (true) {
    const ssize_t r = ::read(fd_, p, n);
    if (r >= 0) {
      read_ += static_cast<std::uint64_t>(r);
      reached_end_ = reached_end_ || static_cast<std::size_t>(r) < n;
      return static_cast<std::size_t>(r);
    }
    if (errno != EINTR) return IoError::from_errno(errno);
  }
}

Result<std::size_t> FdSource::read_at(std::uint64_t offset, char* p, std::size_t n) {
  while (true) {
    const ssize_t r = ::pread(fd_, p, n, static_cast<off_t>(start_ + offset));
    if (r >= 0) {
      reached_end_ = reached_end_ || static_cast<std::size_t>(r) < n;
      return static_cast<std::size_t>(r);
    }
    if (errno != EINTR) return IoError::from_errno(errno);
  }
}

StreamSource::StreamSource(int fd, Interrupt* interrupt) : fd_(fd), interrupt_(interrupt) {
  // A pipe of 1 MiB (the most an unprivileged process may ask for) gives
  // a window in a few reads instead of one per 64 KiB.
#ifdef F_SETPIPE_SZ
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISFIFO(st.st_mode)) (void)::fcntl(fd, F_SETPIPE_SZ, 1 << 20);
#endif
}

Result<std::string_view> StreamSource::peek(std::size_t n) {
  if (head_.size() < n && !ended_) {
    const std::size_t had = head_.size();
    head_.resize(n);
    std::size_t got = had;
    while (got < n) {
      auto r = read_more(head_.data() + got, n - got);
      if (!r) {
        head_.resize(got);
        return std::move(r.error());
      }
      if (r.value() == 0) break;
      got += r.value();
    }
    head_.resize(got);
  }
  return std::string_view(head_).substr(0, n);
}

Result<std::size_t> StreamSource::read(char* p, std::size_t n) {
  if (head_at_ < head_.size()) {
    n = std::min(n, head_.size() - head_at_);
    std::memcpy(p, head_.data() + head_at_, n);
    head_at_ += n;
    if (head_at_ == head_.size()) {  // served: its memory goes back
      std::string().swap(head_);
      head_at_ = 0;
    }
    return n;
  }
  return read_more(p, n);
}

Result<std::size_t> StreamSource::read_more(char* p, std::size_t n) {
  while (!ended_) {
    if (interrupt_ != nullptr) {
      struct pollfd pfd {
        fd_, POLLIN, 0
      };
      const int ready = ::poll(&pfd, 1, 50);
      if (ready <= 0) {
        if (ready < 0 && errno != EINTR) return IoError::from_errno(errno);
        if (interrupt_->requested()) return IoError::from_fixed(IoFixed::Interrupted);
        continue;
      }
    }
    const ssize_t r = ::read(fd_, p, n);
    if (r > 0) return static_cast<std::size_t>(r);
    if (r == 0) {
      ended_ = true;
      break;
    }
    if (errno != EINTR) return IoError::from_errno(errno);
    if (interrupt_ != nullptr && interrupt_->requested_now()) {
      return IoError::from_fixed(IoFixed::Interrupted);
    }
  }
  return std::size_t{0};
}

Result<std::size_t> TextSource::read(char* p, std::size_t n) {
  n = std::min(n, text_.size() - at_);
  std::memcpy(p, text_.data() + at_, n);
  at_ += n;
  return n;
}

Result<std::size_t> TextSource::read_at(std::uint64_t offset, char* p, std::size_t n) {
  if (offset >= text_.size()) return std::size_t{0};
  n = std::min<std::size_t>(n, text_.size() - static_cast<std::size_t>(offset));
  std::memcpy(p, text_.data() + offset, n);
  return n;
}

Result<std::size_t> SpillSource::read(char* p, std::size_t n) {
  if (spilling() && at_ < end_) {  // read ahead already: from the file
    n = static_cast<std::size_t>(std::min<std::uint64_t>(n, end_ - at_));
    ssize_t r;
    do {
      r = ::pread(file_.get(), p, n, static_cast<off_t>(at_ - first_));
    } while (r < 0 && errno == EINTR);
    if (r < 0) return IoError::from_errno(errno);
    if (r == 0) return IoError::from_errno(EIO);  // the file was cut short under us
    at_ += static_cast<std::uint64_t>(r);
    return static_cast<std::size_t>(r);
  }
  if (spilling() && !keep_) file_.reset();
  if (ended_) return std::size_t{0};
  auto r = inner_.read(p, n);
  if (!r) return r;
  if (r.value() == 0) ended_ = true;
  if (spilling()) {
    if (Status kept = append(p, r.value()); !kept) return std::move(kept.error());
  }
  at_ += r.value();
  return r;
}

Result<std::size_t> SpillSource::read_at(std::uint64_t offset, char* p, std::size_t n) {
  if (!spilling() || offset < first_) return IoError::from_errno(ESPIPE);
  while (offset >= end_) {  // read on, into the file (and `p` on the way)
    if (ended_ || n == 0) return std::size_t{0};
    const std::uint64_t was = end_;
    auto r = inner_.read(p, n);
    if (!r) return r;
    if (r.value() == 0) ended_ = true;
    if (Status kept = append(p, r.value()); !kept) return std::move(kept.error());
    if (offset == was) return r;
  }
  n = static_cast<std::size_t>(std::min<std::uint64_t>(n, end_ - offset));
  while (true) {
    const ssize_t r = ::pread(file_.get(), p, n, static_cast<off_t>(offset - first_));
    if (r > 0) return static_cast<std::size_t>(r);
    if (r == 0) return IoError::from_errno(EIO);
    if (errno != EINTR) return IoError::from_errno(errno);
  }
}

Result<bool> SpillSource::keep_from(std::uint64_t offset, std::string_view held) {
  if (spilling()) {
    if (offset < first_) return false;
    keep_ = true;
    return true;
  }
  if (offset > at_ || at_ - offset != held.size()) return false;
  const char* dir = temp_dir();
  auto opened = open_unlinked_temp(dir, "spill");
  if (!opened) return std::move(*opened.error().io()).at(IoRole::Temporary, dir);
  file_ = std::move(opened.value());
  first_ = offset;
  end_ = offset;
  if (Status kept = append(held.data(), held.size()); !kept) {
    file_.reset();
    return std::move(kept.error());
  }
  keep_ = true;
  return true;
}

void SpillSource::release() noexcept {
  keep_ = false;
  if (at_ >= end_) file_.reset();
}

Status SpillSource::append(const char* p, std::size_t n) {
  // Disk full is an error of the input's: a byte that is not kept would
  // be missing from the rows.
  if (Status written = write_all(file_.get(), p, n, IoFixed::WriteZero); !written) return written;
  end_ += n;
  return {};
}

std::size_t chunk_bytes() noexcept {
  static const std::size_t bytes = [] {
    std::size_t b = std::size_t{8} << 20;
    if (const char* v = std::getenv("GLEAVE_CHUNK_BYTES")) {
      char* end = nullptr;
      const unsigned long long n = std::strtoull(v, &end, 10);
      if (end != v && *end == '\0' && n > 0) b = static_cast<std::size_t>(n);
    }
    return b;
  }();
  return bytes;
}

ChunkedText::ChunkedText(ByteSource& source, std::size_t chunk)
    : source_(source), chunk_(std::max<std::size_t>(chunk, 1)) {
  // Half a window (4 MiB): a quoted field shorter than that costs no
  // file, and a longer one that never closes leaves the window its size
  // (the parser holds a copy of the field's bytes too while it waits for
  // its end).
  bound_ = std::max<std::size_t>(chunk_ / 2, 1);
  if (!source.rereadable()) spill_.emplace(source);
}

void ChunkedText::read_ahead() {
  // Windows of a few bytes (tests) would cost a hand-over per few bytes.
  constexpr std::size_t kLeast = 16;
  if (ahead_ || spill_ || chunk_ < kLeast || !source_.rereadable() || base_ != 0 ||
      buf_.size() != 0) {
    return;
  }
  // Nothing to read ahead of a file that fits in one window.
  if (const auto left = source_.left(); left && *left < chunk_) return;
  // Two buffers of half a window go round, so the memory is what one
  // window read in turn takes. Each leaves room (an eighth of a window,
  // 1 MiB) before the bytes read for the bytes kept from the last (most
  // often part of a row), which then cost no copy of the bytes read.
  const std::size_t room = std::max<std::size_t>(chunk_ / 8, 1);
  const std::size_t piece = chunk_ / 2 > room ? chunk_ / 2 - room : 1;
  ahead_ = ReadAhead::start(source_, piece, room);
}

void ChunkedText::stop_reading_ahead() noexcept {
  if (ahead_) ahead_->stop();
}

// The kept bytes go in front of the next window read, in the room left
// there for them; a row longer than that room (or a window that must grow)
// takes a buffer of its own, the next windows read copied after it until
// it is as long as it must be.
bool ChunkedText::advance_ahead(std::size_t keep) {
  const std::size_t kept = buf_.size() - start_ - keep;
  const char* const from = buf_.data() + start_ + keep;
  base_ += keep;
  // At least one more byte; twice the row when it is longer than a window
  // (a long row costs few passes over it), the whole quoted field and a
  // window more when its end is known to lie past the next window.
  std::size_t want = kept + 1;
  const std::size_t piece = ahead_->chunk();
  if (kept >= piece) want = kept > SIZE_MAX / 2 ? SIZE_MAX : kept * 2;
  if (reach_ > base_ && reach_ - base_ > kept + piece) {
    want = std::max(want, static_cast<std::size_t>(reach_ - base_) + piece);
  }
  ReadAhead::Slot slot = ahead_->take();
  if (kept <= slot.at && (want <= kept + piece || slot.end || slot.error)) {
    if (kept != 0) std::memcpy(slot.buf.data() + slot.at - kept, from, kept);
    start_ = slot.at - kept;
    ahead_->give_back(std::exchange(buf_, std::move(slot.buf)));
  } else {
    if (kept != 0 && from != buf_.data()) std::memmove(buf_.data(), from, kept);
    start_ = 0;
    buf_.set_size(kept);
    while (true) {
      const std::size_t n = slot.buf.size() - slot.at;
      if (!buf_.reserve(std::max(want, buf_.size() + n))) {
        status_ = IoError::from_fixed(IoFixed::OutOfMemory);
        return false;
      }
      if (n != 0) std::memcpy(buf_.data() + buf_.size(), slot.buf.data() + slot.at, n);
      buf_.set_size(buf_.size() + n);
      ahead_->give_back(std::move(slot.buf));
      if (slot.end || slot.error || buf_.size() >= want) break;
      slot = ahead_->take();
    }
  }
  if (slot.error) {
    status_ = std::move(*slot.error);
    return false;
  }
  eof_ = slot.end;
  return true;
}

bool ChunkedText::advance(std::size_t keep) {
  if (!status_) return false;
  if (eof_) return true;
  if (ahead_) return advance_ahead(keep);
  // The bytes kept move to the front; the buffer doubles only when they
  // fill it.
  const std::size_t kept = buf_.size() - start_ - keep;
  base_ += keep;
  // A short window again: the field that needed the file has been read.
  if (spill_ && kept < bound_) spill_->release();
  if (kept != 0 && start_ + keep != 0) std::memmove(buf_.data(), buf_.data() + start_ + keep, kept);
  start_ = 0;
  buf_.set_size(kept);
  std::size_t want = std::max(chunk_, buf_.capacity());
  if (kept == want) want = kept > SIZE_MAX / 2 ? SIZE_MAX : kept * 2;
  if (const auto left = in().left(); left && *left < want - kept) {
    // All that is left fits (one byte more shows the end at once): a row
    // that runs to the end of a file takes what it needs, not twice that.
    want = std::max(kept + static_cast<std::size_t>(*left) + 1, buf_.capacity());
  }
  if (reach_ > base_ && reach_ - base_ + chunk_ > want) {
    want = static_cast<std::size_t>(reach_ - base_) + chunk_;
  }
  if (!buf_.reserve(want)) {
    status_ = IoError::from_fixed(IoFixed::OutOfMemory);
    return false;
  }
  // Fill the buffer: a short read (a pipe) is not the end of the input.
  const std::size_t before = buf_.size();
  while (buf_.size() < buf_.capacity()) {
    auto r = in().read(buf_.data() + buf_.size(), buf_.capacity() - buf_.size());
    if (!r) {
      status_ = std::move(r.error());
      return false;
    }
    if (r.value() == 0) {
      eof_ = true;
      break;
    }
    buf_.set_size(buf_.size() + r.value());
    if (buf_.size() > before && !source_.rereadable()) break;  // a pipe: go on with what came
  }
  return true;
}

std::optional<bool> ChunkedText::runs_away(std::size_t quote, unsigned char delimiter,
                                           unsigned char quote_char, bool repair_quotes,
                                           std::optional<unsigned char> escape) {
  if (!status_) return std::nullopt;
  const std::string_view w = window();
  // The field's first line break: past it the scan is where a field known
  // to run away was, when that one's first line start came no later.
  const std::size_t first_break = w.find('\n', quote + 1);
  const bool same_dialect = runaway_.same(delimiter, quote_char, repair_quotes, escape);
  if (same_dialect && first_break != std::string_view::npos &&
      base_ + first_break + 1 >= runaway_.from) {
    ResilientParser scan(w.substr(quote + 1, first_break - quote), delimiter, quote_char,
                         repair_quotes);
    scan.resume_at(0, 1);
    scan.set_final(false);
    scan.set_escape(escape);
    std::size_t resume = 0;
    if (scan.scan_quoted(0, resume) == ResilientParser::QuotedEnd::Starved &&
        resume == first_break - quote) {
      return true;
    }
  }
  // First the rest of the window, then the input after it, read again a
  // piece at a time from the last line start the scan passed (the lookahead
  // after a quote reads to the end of its line, so a piece holds whole
  // lines and grows only for a longer one).
  std::uint64_t at = base_ + quote + 1;
  std::string_view piece = w.substr(quote + 1);
  bool last = eof_;
  ByteBuffer more;
  std::size_t size = std::size_t{64} << 10;  // small first: most fields close soon
  std::unique_lock<std::mutex> holding;
  while (true) {
    ResilientParser scan(piece, delimiter, quote_char, repair_quotes);
    scan.resume_at(0, 1);  // no byte-order mark inside the input
    scan.set_final(last);
    // An escaped quote does not close the field, here as in the pass.
    scan.set_escape(escape);
    std::size_t resume = 0;
    switch (scan.scan_quoted(0, resume)) {
      case ResilientParser::QuotedEnd::Closes:
        // The row reaches at least this far: the next window holds it at once.
        reach_ = std::max(reach_, at + resume);
        return false;
      case ResilientParser::QuotedEnd::RunsAway:
        if (first_break != std::string_view::npos &&
            (!same_dialect || base_ + first_break + 1 < runaway_.from)) {
          runaway_ = {base_ + first_break + 1, delimiter, quote_char, repair_quotes, escape};
        }
        return true;
      case ResilientParser::QuotedEnd::Starved: break;
    }
    // The look-ahead reads the source again: not while the next window is
    // read from it.
    if (ahead_ && !holding) holding = ahead_->hold_source();
    if (!source_.rereadable()) {
      // Read on into the window while the field in it is short (most
      // fields close soon), then into the file, from the window's first
      // byte on.
      if (!spill_ || w.size() - quote < bound_) return std::nullopt;
      auto kept = spill_->keep_from(base_, w);
      if (!kept) {
        status_ = std::move(kept.error());
        return std::nullopt;
      }
      if (!kept.value()) return std::nullopt;
    }
    if (interrupt_ != nullptr && interrupt_->requested()) {
      status_ = IoError::from_fixed(IoFixed::Interrupted);
      return std::nullopt;
    }
    at += resume;
    if (resume == 0) size = std::max(size, piece.size()) * 2;  // no whole line in the piece
    if (!more.reserve(size)) {
      status_ = IoError::from_fixed(IoFixed::OutOfMemory);
      return std::nullopt;
    }
    std::size_t got = 0;
    last = false;
    while (got < size) {
      auto r = in().read_at(at + got, more.data() + got, size - got);
      if (!r) {
        status_ = std::move(r.error());
        return std::nullopt;
      }
      if (r.value() == 0) {
        last = true;
        break;
      }
      got += r.value();
    }
    more.set_size(got);
    piece = more.view();
  }
}

}  // namespace gleave
