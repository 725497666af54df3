#include "engine/io/windowed.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>

#include "engine/dialect/structure.hpp"
#include "engine/encoding/encoding.hpp"
#include "engine/io/files.hpp"
#include "engine/io/job.hpp"
#include "engine/io/tee.hpp"
#include "engine/scan/text.hpp"

namespace gleave {

namespace {

// Appends the bytes from `offset` of the input (a tee reading on from its
// pipe as far as needed) to `out`, as many as there are up to `n`, into
// memory not zeroed first (a head of 8 MiB).
Status read_at(const WindowedSource& input, std::uint64_t offset, std::size_t n,
               Interrupt* interrupt, ByteBuffer& out) {
  const std::size_t had = out.size();
  if (!out.reserve(had + n)) return IoError::from_fixed(IoFixed::OutOfMemory);
  std::size_t got = 0;
  while (got < n) {
    char* p = out.data() + had + got;
    std::size_t r = 0;
    if (input.tee != nullptr) {
      auto t = input.tee->read_at(offset + got, p, n - got, interrupt);
      if (!t) return std::move(t.error());
      r = t.value();
    } else {
      const ssize_t k = ::pread(input.fd, p, n - got, static_cast<off_t>(offset + got));
      if (k < 0 && errno == EINTR) continue;
      if (k < 0) return IoError::from_errno(errno);
      r = static_cast<std::size_t>(k);
    }
    if (r == 0) break;
    got += r;
  }
  out.set_size(had + got);
  return {};
}

// How the input is read a window at a time, converted to UTF-8 a piece at
// a time on the way: the encoding is decided on the input's first bytes
// (see plan_windows), a file's as a pipe's, and the repair reads the input
// once, a window at a time.
struct WindowPlan {
  std::uint64_t text_at = 0;              // a regular file's text starts there (past a mark)
  std::optional<PieceConversion> decode;  // none: the bytes are valid UTF-8
  std::string encoding;                   // as the whole-input conversion names it
  std::string prefix;  // the input's first bytes, or (decoded) its text's first bytes
};

// The sniffers read at most 64 KiB (and the dialect's sample 64 KiB past a
// mark): more than that decides the same as the whole text.
constexpr std::size_t kPrefix = (std::size_t{64} << 10) + 64;
// The bytes read first: enough to give kPrefix bytes of text in UTF-32.
constexpr std::size_t kHead = 4 * kPrefix + 8;

// The encoding is decided on the bytes the input gives first, a window's
// worth (8 MiB) or all it has when it ends before, for a regular file as
// for a pipe (which cannot be read twice): the file is then read once, and
// a file and a pipe of the same bytes give the same text. That is the
// whole-input decision when the input ends within them. When it goes on,
// what the first bytes say holds for the rest (after a head of ASCII,
// which reads the same either way, what the first bytes that are not ASCII
// say): bytes further on that are not UTF-8 when the first ones were are
// read as cp1252 one by one and counted (fallback bytes), as in a UTF-8
// file with a few lines of cp1252; read as cp1252, every byte has its
// character.
// `stream` is where a pipe's first bytes wait to be read again.
// A descriptor that cannot be told a regular file, or that cannot seek, is
// read as a pipe.
Result<WindowPlan> plan_windows(const WindowedSource& input, const std::string& named_encoding,
                                bool refuse_binary, Interrupt* interrupt,
                                std::optional<StreamSource>& stream) {
  const int fd = input.fd;
  struct stat st {};
  off_t here = 0;  // a tee reads as a file does, from its first byte
  if (input.tee == nullptr) {
    here = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? ::lseek(fd, 0, SEEK_CUR) : -1;
  }
  ByteBuffer file_head;
  std::string_view h;
  bool whole_head = false;
  std::uint64_t start = 0;
  const std::size_t sample = head_bytes();
  if (here >= 0) {
    start = static_cast<std::uint64_t>(here);
    // A UTF-8 byte-order mark decides the encoding (none named) of a file
    // longer than the sample: only the dialect's bytes are read first, and
    // the rest once, by the repair.
    if (Status s = read_at(input, start, kHead, interrupt, file_head); !s) {
      return std::move(s.error());
    }
    const bool decided = input.tee == nullptr && named_encoding.empty() &&
                         has_utf8_bom(file_head.view()) &&
                         static_cast<std::uint64_t>(st.st_size) >= start + sample;
    if (file_head.size() == kHead && !decided) {
      if (Status s = read_at(input, start + kHead, sample - kHead, interrupt, file_head); !s) {
        return std::move(s.error());
      }
    }
    h = file_head.view();
    whole_head = !decided && h.size() < sample;
  } else {
    stream.emplace(fd, interrupt);
    auto head = stream->peek(sample);
    if (!head) return std::move(head.error());
    h = head.value();
    whole_head = stream->ended();
  }
  if (refuse_binary && looks_binary(h)) return IoError::from_fixed(IoFixed::NotText);
  PieceConversion c = piece_conversion(h, whole_head, named_encoding);
  c.sample = sample;
  // Names are checked before a job starts; one that iconv still refuses
  // fails as the whole-input conversion would.
  if (!c.ok()) return GleaveError(EncodingError{c.error});
  WindowPlan plan;
  plan.text_at = start + c.skip;
  const std::string_view text = h.substr(std::min(c.skip, h.size()));
  // Valid UTF-8 throughout, used as it is (a longer input is checked as it
  // is read: see DecodedSource).
  const bool utf8 =
      c.from == PieceDecoder::From::Utf8Lossy || c.from == PieceDecoder::From::Utf8Mixed;
  const bool as_is =
      utf8 && whole_head && valid_utf8_prefix(text.data(), text.size()) == text.size();
  plan.encoding = c.encoding;

  // The prefix the dialect is detected on: the input's own bytes when they
  // are used as they are, else their decoded text (from more bytes in
  // UTF-16 and UTF-32, which take two or four for an ASCII character).
  if (as_is) {
    // Whole rows: a header or a quoted field longer than the sample's
    // window is read to its end (and a little past it, so that the sample
    // is not taken for the whole input).
    const std::size_t rows_end = c.skip + sample_end_any_quote(text, Dialect{}.sample_bytes);
    plan.prefix = std::string(h.substr(0, std::max(kPrefix, rows_end + 64)));
    plan.prefix.resize(c.skip +
                       valid_utf8_prefix(plan.prefix.data() + c.skip, plan.prefix.size() - c.skip));
  } else {
    const std::size_t reach = c.from == PieceDecoder::From::Iconv ? kHead : kPrefix;
    const std::string_view part = text.substr(0, reach > c.skip ? reach - c.skip : 0);
    PieceDecoder decoder = c.decoder();
    decoder.decode(part, whole_head && part.size() == text.size(), plan.prefix);
    plan.decode = std::move(c);
  }
  if (stream) {
    stream->skip(plan.text_at);
  } else if (input.tee == nullptr && ::lseek(fd, static_cast<off_t>(plan.text_at), SEEK_SET) < 0) {
    return IoError::from_errno(errno);
  }
  return plan;
}

// The text of a file as it is converted a piece at a time. It can be read
// again at any offset of the text (to look far ahead for a quote that
// never closes): the decoder carries nothing between pieces but the bytes
// of a cut sequence (and a decision put off past a head of ASCII, handed
// on), so decoding starts afresh from where a piece began (not so an iconv
// conversion that keeps a state: its text is read once).
class DecodedSource : public ByteSource {
 public:
  DecodedSource(ByteSource& raw, const PieceConversion& conversion)
      : raw_(raw), conversion_(conversion), ahead_(conversion.decoder()) {
    ahead_.valid = false;
    direct_ = conversion.from == PieceDecoder::From::Utf8Lossy ||
              conversion.from == PieceDecoder::From::Utf8Mixed ||
              conversion.from == PieceDecoder::From::Utf8OrCp1252;
  }
  Result<std::size_t> read(char* p, std::size_t n) override {
    Cursor& c = main_;
    const PieceDecoder::From from = c.decoder.from();
    if (c.served != c.out.size() || c.done) return c.serve(0, p, n, raw_, false, &starts_);
    const bool utf8 = direct_ && from != PieceDecoder::From::Cp1252;
    if (c.in.empty() && utf8) {
      // UTF-8 goes straight into the window when it is valid (ASCII, while
      // it may still be cp1252): no copy, no decoding. Bytes that are not
      // are decoded where they stand; only a sequence cut by the read (or
      // ASCII's first other byte) takes the decoder's way.
      mark_start();
      auto r = raw_.read(p, std::min(n, piece()));
      if (!r) return r;
      const std::size_t k = r.value();
      const bool undecided = from == PieceDecoder::From::Utf8OrCp1252;
      std::size_t used = undecided ? ascii_prefix(p, k) : valid_utf8_prefix(p, k);
      std::size_t written = used;
      if (used < k && !undecided) {
        const auto d = c.decoder.decode_in_place(p + used, k - used, n - used, c.in);
        written += d.written;
        used += d.used;
      } else {
        c.in.assign(p + used, k - used);
      }
      c.text_at += c.out.size() + written;
      c.raw_at += used;
      c.out.clear();
      c.served = 0;
      c.done = k == 0;
      if (written != 0 || k == 0) return written;
    } else if (c.in.empty() && c.decoder.can_decode_into()) {
      // A single-byte code page: read a piece, decoded below.
      c.in.resize(piece());
      auto r = raw_.read(c.in.data(), c.in.size());
      if (!r) {
        c.in.clear();
        return r;
      }
      c.in.resize(r.value());
      c.done = r.value() == 0;
      if (c.done) return std::size_t{0};
    }
    if (!c.in.empty() && c.decoder.can_decode_into()) {
      // Decoded straight into the window, not through `out`.
      mark_start();
      const auto d = c.decoder.decode_into(c.in, c.done, p, n);
      if (d.written != 0) {
        c.text_at += c.out.size() + d.written;
        c.raw_at += d.used;
        c.out.clear();
        c.served = 0;
        c.in.erase(0, d.used);
        return d.written;
      }
    }
    return c.serve(0, p, n, raw_, false, &starts_);  // a cut sequence, or a tiny window
  }
  bool rereadable() const noexcept override {
    return raw_.rereadable() && conversion_.restartable();
  }
  std::optional<std::uint64_t> left() const noexcept override {
    // Valid UTF-8 (the most of input) is as long as its text.
    if (!direct_ || main_.decoder.from() == PieceDecoder::From::Cp1252) return std::nullopt;
    const auto raw = raw_.left();
    if (!raw) return raw;
    return *raw + main_.in.size() + (main_.out.size() - main_.served);
  }
  // Bytes written as U+FFFD in the text read so far.
  std::uint64_t replaced() const noexcept { return main_.decoder.replaced(); }
  // Bytes that were not UTF-8, read as cp1252, in the text read so far.
  std::uint64_t fallback() const noexcept { return main_.decoder.fallback(); }
  // The conversion the text read so far was decided on.
  PieceDecoder::From from() const noexcept { return main_.decoder.from(); }
  Result<std::size_t> read_at(std::uint64_t offset, char* p, std::size_t n) override {
    // The last piece that began at or before `offset`: decoding starts
    // again there when the look-ahead's decoder stands after `offset`, or
    // before that piece (a look-ahead far past the last one would
    // otherwise decode all the text between them).
    auto it = std::upper_bound(starts_.begin(), starts_.end(), offset,
                               [](std::uint64_t o, const Start& s) { return o < s.text; });
    const Start from = it == starts_.begin() ? Start{} : *(it - 1);
    if (!ahead_.valid || offset < ahead_.text_at ||
        from.text > ahead_.text_at + ahead_.out.size()) {
      ahead_ = Cursor(conversion_.decoder());
      ahead_.decoder.decide_as(main_.decoder.from());
      ahead_.text_at = from.text;
      ahead_.raw_at = from.raw;
    }
    return ahead_.serve(offset, p, n, raw_, true, nullptr);
  }

 private:
  // 1 MiB, or the window when tests make it tiny (so that pieces cut
  // sequences too).
  static std::size_t piece() noexcept { return std::min(std::size_t{1} << 20, chunk_bytes()); }
  // read_at() may start a decoder again where main_ is about to decode
  // from (its `in` begins at a sequence's first byte, its `out` is served).
  void mark_start() {
    const std::uint64_t text = main_.text_at + main_.out.size();
    if (raw_.rereadable() && (starts_.empty() || starts_.back().text != text)) {
      starts_.push_back({text, main_.raw_at});
    }
  }
  struct Start {
    std::uint64_t text = 0;  // offset in the text of the piece's first decoded byte
    std::uint64_t raw = 0;   // offset in the file of its first byte
  };
  // A decoder going through the file: `out` holds the text from `text_at`,
  // `in` the file's bytes from `raw_at` not yet decoded.
  struct Cursor {
    explicit Cursor(PieceDecoder d) : decoder(std::move(d)) {}
    PieceDecoder decoder;
    std::string in, out;
    std::uint64_t text_at = 0, raw_at = 0;
    std::size_t served = 0;  // bytes of `out` handed out by read()
    bool done = false;
    bool valid = true;

    // Up to `n` bytes of the text from `offset` (at or after text_at;
    // `at` false: from where the last call stopped, reading on).
    Result<std::size_t> serve(std::uint64_t offset, char* p, std::size_t n, ByteSource& raw,
                              bool at, std::vector<Start>* starts) {
      if (!at) offset = text_at + served;
      while (offset >= text_at + out.size()) {
        if (done) return std::size_t{0};
        text_at += out.size();
        out.clear();
        served = 0;
        if (starts != nullptr) starts->push_back({text_at, raw_at});
        const std::size_t have = in.size();
        const std::size_t size = piece();
        in.resize(have + size);
        auto r = at ? raw.read_at(raw_at + have, in.data() + have, size)
                    : raw.read(in.data() + have, size);
        if (!r) return std::move(r.error());
        in.resize(have + r.value());
        done = r.value() == 0;
        const std::size_t used = decoder.decode(in, done, out);
        in.erase(0, used);
        raw_at += used;
      }
      const std::size_t from = static_cast<std::size_t>(offset - text_at);
      const std::size_t k = std::min(n, out.size() - from);
      std::memcpy(p, out.data() + from, k);
      if (!at) served = from + k;
      return k;
    }
  };

  ByteSource& raw_;
  const PieceConversion& conversion_;
  bool direct_ = false;  // valid UTF-8 is read into the caller's buffer
  Cursor main_{conversion_.decoder()};
  Cursor ahead_;
  std::vector<Start> starts_;
};

// Which of the tables the sample saw is the largest, and which rows under
// it are notes, settled on the whole file before any row is set aside: the
// file's text is read once for that (as the repair will read it), and the
// descriptor put back where the text starts. A pipe is read once: its
// tables stay one, padded and counted, when its sample leaves that open.
Status settle_file_tables(const WindowedSource& input, const WindowPlan& plan, Interrupt* interrupt,
                          Dialect& d) {
  {
    std::optional<FdSource> fd_file;
    std::optional<TeeSource> tee_file;
    ByteSource* source = nullptr;
    if (input.tee != nullptr) {
      source = &tee_file.emplace(*input.tee, plan.text_at, interrupt);
    } else {
      source = &fd_file.emplace(input.fd);
    }
    ByteSource& file = *source;
    std::optional<DecodedSource> decoded;
    if (plan.decode) decoded.emplace(file, *plan.decode);
    ChunkedText text(decoded ? static_cast<ByteSource&>(*decoded) : file);
    text.set_interrupt(interrupt);
    struct Stoppable {  // the text, asking about Ctrl-C between its windows
      ChunkedText& text;
      Interrupt* interrupt;
      bool stopped = false;
      std::string_view window() const noexcept { return text.window(); }
      bool complete() const noexcept { return text.complete(); }
      bool advance(std::size_t keep) {
        stopped = interrupt != nullptr && interrupt->requested();
        return !stopped && text.advance(keep);
      }
    } in{text, interrupt};
    if (!dialect::settle_tables(in, d)) {
      if (in.stopped) return IoError::from_fixed(IoFixed::Interrupted);
      if (!text.status()) return std::move(text.status());
      return IoError::from_errno(EIO);
    }
  }
  if (input.tee == nullptr && ::lseek(input.fd, static_cast<off_t>(plan.text_at), SEEK_SET) < 0) {
    return IoError::from_errno(errno);
  }
  return {};
}

}  // namespace

std::size_t head_bytes() noexcept {
  return std::max(chunk_bytes(), kHead);
}

struct WindowedInput::Parts {
  std::optional<StreamSource> stream;  // a pipe's first bytes wait here
  std::optional<FdSource> file;
  std::optional<TeeSource> tee;
  std::optional<DecodedSource> decoded;
  std::optional<ChunkedText> text;
  std::optional<WindowPlan> plan;
};

WindowedInput::WindowedInput() : parts_(std::make_unique<Parts>()) {}
WindowedInput::~WindowedInput() = default;

Result<std::unique_ptr<WindowedInput>> WindowedInput::open(int fd, const Dialect& given,
                                                           bool refuse_binary, Interrupt* interrupt,
                                                           const BeforeText* before) {
  return open_input(WindowedSource{fd, nullptr}, given, refuse_binary, interrupt, before);
}

Result<std::unique_ptr<WindowedInput>> WindowedInput::open(TeeFile& tee, const Dialect& given,
                                                           bool refuse_binary,
                                                           Interrupt* interrupt) {
  return open_input(WindowedSource{-1, &tee}, given, refuse_binary, interrupt, nullptr);
}

Result<std::unique_ptr<WindowedInput>> WindowedInput::open_input(const WindowedSource& input,
                                                                 const Dialect& given,
                                                                 bool refuse_binary,
                                                                 Interrupt* interrupt,
                                                                 const BeforeText* before) {
  std::unique_ptr<WindowedInput> in(new WindowedInput());
  Parts& p = *in->parts_;
  auto planned = plan_windows(input, given.encoding.value, refuse_binary, interrupt, p.stream);
  if (!planned) return std::move(planned.error());
  p.plan = std::move(planned.value());
  // The dialect from the prefix, the rows from the file.
  Dialect asked = given;
  if (p.plan->decode) asked.encoding.value = "utf-8";  // the prefix is decoded already
  in->prepared_ = prepare_text(p.plan->prefix, asked, false);
  if (!in->prepared_.ok()) return std::move(in->prepared_.status.error());
  Dialect& d = in->prepared_.dialect;
  if (Status s = check_dialect(d); !s) return std::move(s.error());
  d.encoding.value = p.plan->encoding;
  if (d.tables_undecided && !p.stream && !given.preamble_lines.given) {
    if (Status s = settle_file_tables(input, *p.plan, interrupt, d); !s) {
      return std::move(s.error());
    }
    d.take_given(given);
    in->tables_read_whole_ = true;
  }
  if (before != nullptr) {
    if (Status s = (*before)(in->prepared_, p.plan->text_at, p.stream.has_value()); !s) {
      return std::move(s.error());
    }
  }
  ByteSource* raw = nullptr;
  if (p.stream) {
    raw = &*p.stream;
  } else if (input.tee != nullptr) {
    raw = &p.tee.emplace(*input.tee, p.plan->text_at, interrupt);
  } else {
    raw = &p.file.emplace(input.fd);
  }
  if (p.plan->decode) raw = &p.decoded.emplace(*raw, *p.plan->decode);
  in->text_ = &p.text.emplace(*raw);
  in->text_->set_interrupt(interrupt);
  return in;
}

InputRead WindowedInput::report(const ProductCounts& counts) {
  if (parts_->text) parts_->text->stop_reading_ahead();
  Dialect& d = prepared_.dialect;
  if (parts_->decoded) {
    d.replaced_bytes = parts_->decoded->replaced();
    d.fallback_bytes = parts_->decoded->fallback();
    if (parts_->decoded->from() == PieceDecoder::From::Cp1252) d.encoding.value = "cp1252";
  }
  return input_read(prepared_, counts);
}

bool WindowedInput::read_to_end() const noexcept {
  return (parts_->text && parts_->text->complete()) ||
         (parts_->file && parts_->file->reached_end());
}

bool WindowedInput::text_is_bytes() const {
  using From = PieceDecoder::From;
  const From from = parts_->decoded ? parts_->decoded->from() : From::Utf8Lossy;
  return prepared_.dialect.replaced_bytes == 0 && prepared_.dialect.fallback_bytes == 0 &&
         (from == From::Utf8Lossy || from == From::Utf8Mixed || from == From::Utf8OrCp1252);
}

}  // namespace gleave
