// Input read a window at a time, so that a file of any size is repaired in
// memory bounded by the window and the longest row: the window holds the
// row being parsed and the bytes after it, and grows only for a row longer
// than itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "engine/base/byte_buffer.hpp"
#include "engine/base/error.hpp"
#include "engine/base/interrupt.hpp"
#include "engine/io/files.hpp"
#include "engine/io/pipeline.hpp"

namespace gleave {

// Where the bytes come from: read on from where the source stands, and, when
// the source allows it, read again at an offset (to look far ahead without
// keeping what is looked at).
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Up to `n` bytes into `p`; 0 at the end.
  virtual Result<std::size_t> read(char* p, std::size_t n) = 0;
  virtual bool rereadable() const noexcept { return false; }
  // How many bytes read() has left to give, when known (a regular file):
  // a small input then gets a small window.
  virtual std::optional<std::uint64_t> left() const noexcept { return std::nullopt; }
  // Up to `n` bytes from `offset` of the input, without moving read()'s place.
  virtual Result<std::size_t> read_at(std::uint64_t offset, char* p, std::size_t n);
};

// An open descriptor (not closed), read from where it stands. A regular file
// is read up to twice the size it had when opened plus 64 MiB: one that is
// appended to as fast as it is read would otherwise never end.
class FdSource : public ByteSource {
 public:
  explicit FdSource(int fd);
  Result<std::size_t> read(char* p, std::size_t n) override;
  bool rereadable() const noexcept override { return regular_; }
  std::optional<std::uint64_t> left() const noexcept override;
  Result<std::size_t> read_at(std::uint64_t offset, char* p, std::size_t n) override;
  // Whether a read met the end of the file: what was read from it may then
  // depend on where it ends (a part read from a piece of a larger file).
  bool reached_end() const noexcept { return reached_end_; }

 private:
  int fd_;
  bool regular_ = false;
  bool reached_end_ = false;
  std::uint64_t size_ = 0;
  std::uint64_t start_ = 0;  // the descriptor's offset when handed over
  std::uint64_t read_ = 0;
  std::uint64_t limit_ = UINT64_MAX;
};

// A pipe, FIFO or terminal (not closed), read as its bytes come. Its first
// bytes can be looked at before they are read, to decide how the rest is
// decoded; a silent pipe is waited on a little at a time, so that the job
// can still be stopped whichever thread a signal reached.
class StreamSource : public ByteSource {
 public:
  StreamSource(int fd, Interrupt* interrupt);
  // The input's first `n` bytes (fewer when it ends before: ended() then
  // says so); read() still gives them, from skip()'s place on.
  Result<std::string_view> peek(std::size_t n);
  bool ended() const noexcept { return ended_; }
  // The first `n` bytes looked at are not read (a byte-order mark).
  void skip(std::size_t n) noexcept { head_at_ = n; }
  Result<std::size_t> read(char* p, std::size_t n) override;

 private:
  Result<std::size_t> read_more(char* p, std::size_t n);

  int fd_;
  Interrupt* interrupt_;
  std::string head_;
  std::size_t head_at_ = 0;
  bool ended_ = false;
};

// Bytes in memory, handed out a window at a time like a file (tests).
class TextSource : public ByteSource {
 public:
  explicit TextSource(std::string_view text) : text_(text) {}
  Result<std::size_t> read(char* p, std::size_t n) override;
  bool rereadable() const noexcept override { return true; }
  Result<std::size_t> read_at(std::uint64_t offset, char* p, std::size_t n) override;

 private:
  std::string_view text_;
  std::size_t at_ = 0;
};

// A source that cannot be read again, made readable again on demand: from
// keep_from() on, what is read from it is also written to an unlinked
// temporary file, so that read_at() can give those bytes again (reading on
// ahead of read(), which then serves them from the file). Only a quoted
// field that stays open over half a window or more needs it: the
// look-ahead then goes to disk instead of into the window. The file goes away with the
// source, or once release() is called and read() has served what it holds.
class SpillSource : public ByteSource {
 public:
  explicit SpillSource(ByteSource& inner) : inner_(inner) {}
  Result<std::size_t> read(char* p, std::size_t n) override;
  std::optional<std::uint64_t> left() const noexcept override { return inner_.left(); }
  // Only from the offset given to keep_from() on, while the file is there.
  Result<std::size_t> read_at(std::uint64_t offset, char* p, std::size_t n) override;

  // Keeps the bytes from `offset` on: `held` are those from there to where
  // read() stands, which the caller still has. False when the file already
  // starts after `offset`, or `held` is not those bytes.
  Result<bool> keep_from(std::uint64_t offset, std::string_view held);
  // Stops keeping: the file goes once read() has served what it holds.
  void release() noexcept;
  bool spilling() const noexcept { return file_.get() >= 0; }

 private:
  Status append(const char* p, std::size_t n);

  ByteSource& inner_;
  Fd file_;
  std::uint64_t at_ = 0;     // read()'s place in the input
  std::uint64_t first_ = 0;  // the offset in the input of the file's first byte
  std::uint64_t end_ = 0;    // of the byte after its last: where inner_ stands
  bool keep_ = false;        // what is read from inner_ goes to the file too
  bool ended_ = false;       // inner_ has given its last byte
};

// The bytes read at a time: 8 MiB, or GLEAVE_CHUNK_BYTES when set (read once;
// tests make it tiny so that rows cross every kind of boundary).
std::size_t chunk_bytes() noexcept;

// The input as a sliding window over a source.
class ChunkedText {
 public:
  explicit ChunkedText(ByteSource& source, std::size_t chunk = chunk_bytes());

  // Asked between the pieces of a long look-ahead (which may read a whole
  // file for one quote): a stop then ends it with an Interrupted error.
  void set_interrupt(Interrupt* interrupt) noexcept { interrupt_ = interrupt; }

  // Reads the next windows on a thread of their own from now on (before
  // the first advance), while the pass works on this one, when the source
  // can be read again (a regular file) and a thread can be started. The
  // windows differ in where they are cut, never in the text.
  void read_ahead();
  // Stops reading ahead: what the source counted is then what the windows
  // handed out hold, and no thread is left reading.
  void stop_reading_ahead() noexcept;

  std::string_view window() const noexcept { return buf_.view().substr(start_); }
  // The window ends where the input ends.
  bool complete() const noexcept { return eof_; }
  // The offset in the input of the window's first byte.
  std::uint64_t base() const noexcept { return base_; }
  // Drops the window's bytes before `keep` and reads at least one more byte
  // (or to the end of the input), growing the buffer only when the bytes
  // kept fill it. False when reading failed (see status()).
  bool advance(std::size_t keep);
  // The bytes the window's buffer holds room for (it never shrinks).
  std::size_t capacity() const noexcept { return buf_.capacity(); }
  // Whether reading failed, and how (an I/O error).
  const Status& status() const noexcept { return status_; }
  Status& status() noexcept { return status_; }

  // Whether the quoted field whose opening quote stands at `quote` in the
  // window runs to the end of the input without closing (the parser's rule
  // for a quote that never closes), scanned from there to its end without
  // keeping what is scanned. A source that cannot be read again is read on
  // into the window first, and once the field fills half a window, into a
  // temporary file (see SpillSource). Nothing when the window has to grow
  // or reading failed.
  std::optional<bool> runs_away(std::size_t quote, unsigned char delimiter,
                                unsigned char quote_char, bool repair_quotes,
                                std::optional<unsigned char> escape = std::nullopt);

 private:
  ByteSource& in() noexcept { return spill_ ? static_cast<ByteSource&>(*spill_) : source_; }
  bool advance_ahead(std::size_t keep);

  ByteSource& source_;
  std::optional<SpillSource> spill_;  // over a source that cannot be read again
  std::size_t chunk_;
  std::size_t bound_;  // the longest open field read on in memory before spilling
  ByteBuffer buf_;
  std::size_t start_ = 0;  // the window's first byte in buf_
  std::uint64_t base_ = 0;
  bool eof_ = false;
  std::uint64_t reach_ = 0;  // a quoted field was found to close there (input offset)
  // A quoted field found to run to the end of the input: the scan is at a
  // line start in nothing but that field, so any field of the same dialect
  // still open at a line start from `from` on runs to the end too. Messy
  // files hold many such quotes; each would otherwise read the rest of the
  // input again.
  struct Runaway {
    std::uint64_t from = UINT64_MAX;  // an offset in the input where a line starts
    unsigned char delimiter = 0, quote_char = 0;
    bool repair_quotes = false;
    std::optional<unsigned char> escape;
    bool same(unsigned char d, unsigned char q, bool r,
              std::optional<unsigned char> e) const noexcept {
      return from != UINT64_MAX && d == delimiter && q == quote_char && r == repair_quotes &&
             e == escape;
    }
  } runaway_;
  Status status_;
  Interrupt* interrupt_ = nullptr;
  std::unique_ptr<ReadAhead> ahead_;  // last: it stops reading first
};

}  // namespace gleave
