#include "engine/io/job.hpp"

#include <algorithm>
#include <new>
#include <stdexcept>
#include <utility>
#include <vector>

#include "engine/encoding/encoding.hpp"
#include "engine/io/chunked.hpp"
#include "engine/io/writers.hpp"
#include "engine/scan/text.hpp"

namespace gleave {

namespace {

// Rows between two questions to the interrupt hook: cheap to count, and
// short enough that even very wide rows are asked about often.
constexpr std::uint64_t kRowsPerCheck = 1024;

IoError named(IoError error, IoRole role, const FileRef& ref) {
  return std::move(error).at(role, ref.path);
}

// Where one of the job's outputs goes: a replacement file renamed over the
// target at the end, or straight into a descriptor.
class Target {
 public:
  // kAuto: a regular file (or a path to none yet) is replaced at commit, a
  // pipe, a device or a descriptor written directly, and what was written
  // is dropped on failure. kReplace and kInPlace, the core's: the path is
  // replaced at commit, or opened, created and truncated at once; a
  // failed write keeps what was written before it and tries once more.
  enum Mode : std::uint8_t { kAuto, kReplace, kInPlace };

  std::optional<IoError> open(const FileRef& ref, IoRole role, Interrupt* interrupt,
                              Mode mode = kAuto) {
    role_ = role;
    ref_ = &ref;
    keep_partial_ = mode != kAuto;
    Fd fd;
    if (mode == kInPlace) {
      auto opened = open_path(ref.path, kCreateFlags, interrupt);
      if (!opened) return named(std::move(*opened.error().io()), role, ref);
      fd = std::move(opened.value());
    } else if (ref.fd >= 0) {
      const int copy = ::fcntl(ref.fd, F_DUPFD_CLOEXEC, 0);
      if (copy < 0) return named(IoError::from_errno(errno), role, ref);
      fd = Fd(copy);
    } else {
      struct stat st {};
      const bool exists = mode == kAuto && ::stat(ref.path.c_str(), &st) == 0;
      if (exists && S_ISDIR(st.st_mode)) return named(IoError::from_errno(EISDIR), role, ref);
      if (exists && !S_ISREG(st.st_mode)) {
        auto opened = open_path(ref.path, O_WRONLY | O_TRUNC, interrupt);
        if (!opened) return named(std::move(*opened.error().io()), role, ref);
        fd = std::move(opened.value());
      } else {
        auto opened = replacement_.open(ref.path);
        if (!opened) return named(std::move(*opened.error().io()), role, ref);
        fd = std::move(opened.value());
        replaced_ = true;
      }
    }
    out_.emplace(std::move(fd), interrupt);
    return std::nullopt;
  }
  WriteBuffer& out() { return *out_; }
  std::optional<IoError> fail(IoError e) const { return named(std::move(e), role_, *ref_); }
  std::optional<IoError> finish() {
    if (auto e = out_->flush()) return fail(std::move(*e));
    out_.reset();  // closes
    return std::nullopt;
  }
  std::optional<IoError> commit() {
    if (!replaced_) return std::nullopt;
    if (auto e = replacement_.commit()) return fail(std::move(*e));
    return std::nullopt;
  }
  ~Target() {
    // A job that did not finish writes nothing more (the core's: what its
    // buffer still holds, once more).
    if (out_ && !keep_partial_) out_->abandon();
  }

 private:
  IoRole role_ = IoRole::None;
  const FileRef* ref_ = nullptr;
  ReplacementFile replacement_;
  bool replaced_ = false;
  bool keep_partial_ = false;
  std::optional<WriteBuffer> out_;
};

// Bytes at `offset` of a descriptor, as many as there are up to `n`.
Result<std::string> read_at(int fd, std::uint64_t offset, std::size_t n) {
  std::string out(n, '\0');
  std::size_t got = 0;
  while (got < n) {
    const ssize_t r = ::pread(fd, out.data() + got, n - got, static_cast<off_t>(offset + got));
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return IoError::from_errno(errno);
    if (r == 0) break;
    got += static_cast<std::size_t>(r);
  }
  out.resize(got);
  return out;
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

// Reads the file from `at` to its end a piece at a time; `each(piece, last)`
// returns false to stop.
template <class Each>
std::optional<IoError> each_piece(int fd, std::uint64_t at, Interrupt* interrupt, Each&& each) {
  struct stat st {};
  std::size_t size = std::size_t{1} << 20;
  // A file appended to as fast as it is read ends where a whole read would.
  std::uint64_t end = UINT64_MAX;
  if (::fstat(fd, &st) == 0) {
    const auto bytes = static_cast<std::uint64_t>(st.st_size);
    if (bytes < size) size = static_cast<std::size_t>(bytes) + 1;
    if (bytes < (UINT64_MAX >> 2)) end = at + 2 * bytes + (std::uint64_t{64} << 20);
  }
  const std::unique_ptr<char[]> buf(new char[size]);
  while (true) {
    if (interrupt != nullptr && interrupt->requested()) {
      return IoError::from_fixed(IoFixed::Interrupted);
    }
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(size, end - at));
    const ssize_t r = want == 0 ? 0 : ::pread(fd, buf.get(), want, static_cast<off_t>(at));
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return IoError::from_errno(errno);
    if (!each(std::string_view(buf.get(), static_cast<std::size_t>(r)), r == 0) || r == 0) {
      return std::nullopt;
    }
    at += static_cast<std::uint64_t>(r);
  }
}

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
Result<WindowPlan> plan_windows(int fd, const FileJob& job, std::optional<StreamSource>& stream) {
  struct stat st {};
  const off_t here = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? ::lseek(fd, 0, SEEK_CUR) : -1;
  const std::string& named_encoding = job.dialect->encoding;
  std::string file_head;
  std::string_view h;
  bool whole_head = false;
  std::uint64_t start = 0;
  const std::size_t sample = std::max(chunk_bytes(), kHead);
  if (here >= 0) {
    start = static_cast<std::uint64_t>(here);
    auto head = read_at(fd, start, sample);
    if (!head) return std::move(head.error());
    file_head = std::move(head.value());
    h = file_head;
    whole_head = h.size() < sample;
  } else {
    stream.emplace(fd, job.interrupt);
    auto head = stream->peek(sample);
    if (!head) return std::move(head.error());
    h = head.value();
    whole_head = stream->ended();
  }
  if (job.refuse_binary && looks_binary(h)) return IoError::from_fixed(IoFixed::NotText);
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
    const std::size_t rows_end = c.skip + sample_end(text, DetectOptions{}.sample_bytes);
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
  } else if (::lseek(fd, static_cast<off_t>(plan.text_at), SEEK_SET) < 0) {
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
      // it may still be cp1252): no copy, no decoding. Only from the first
      // byte that is not (or a sequence cut by the read) on does it take
      // the decoder's way.
      mark_start();
      auto r = raw_.read(p, std::min(n, piece()));  // what is not valid is copied
      if (!r) return r;
      const std::size_t k = r.value();
      const std::size_t good =
          from == PieceDecoder::From::Utf8OrCp1252 ? ascii_prefix(p, k) : valid_utf8_prefix(p, k);
      c.text_at += c.out.size() + good;
      c.raw_at += good;
      c.out.clear();
      c.served = 0;
      c.in.assign(p + good, k - good);
      c.done = k == 0;
      if (good != 0 || k == 0) return good;
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
    if (!ahead_.valid || offset < ahead_.text_at) {
      // Back to the last piece that began at or before `offset`.
      auto it = std::upper_bound(starts_.begin(), starts_.end(), offset,
                                 [](std::uint64_t o, const Start& s) { return o < s.text; });
      const Start from = it == starts_.begin() ? Start{} : *(it - 1);
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

// Where the core's quarantine lines wait until the output is complete: in
// memory while they are few, then in an unlinked temporary file beside the
// quarantine file (or in the temporary directory), which goes away with its
// descriptor. Lines are formatted when their row is rejected, from the
// fields as parsed, so nothing of the input need stay behind.
class QuarantineStore {
 public:
  static constexpr std::size_t kInMemory = std::size_t{1} << 20;

  explicit QuarantineStore(std::string dir) : dir_(std::move(dir)) {}

  std::string& pending() noexcept { return pending_; }
  // Moves the pending lines to the temporary file once there are enough.
  std::optional<IoError> spill_if_large() {
    if (pending_.size() < kInMemory) return std::nullopt;
    if (spill_.get() < 0) {
      if (auto e = open_spill()) return e;
    }
    auto e = write_all(spill_.get(), pending_.data(), pending_.size(), IoFixed::WriteZero);
    spilled_ += pending_.size();
    pending_.clear();
    return e;
  }
  // Writes every line, in order, to `out`.
  std::optional<IoError> copy_to(WriteBuffer& out) {
    if (spilled_ != 0) {
      std::string buf(kInMemory, '\0');
      for (std::uint64_t at = 0; at < spilled_;) {
        const ssize_t r = ::pread(spill_.get(), buf.data(), buf.size(), static_cast<off_t>(at));
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return IoError::from_errno(errno);
        if (r == 0) return IoError::from_errno(EIO);  // the file was cut short under us
        if (auto e = out.append(std::string_view(buf.data(), static_cast<std::size_t>(r)))) {
          return e;
        }
        at += static_cast<std::uint64_t>(r);
      }
    }
    return out.append(pending_);
  }

 private:
  std::optional<IoError> open_spill() {
    auto opened = open_unlinked_temp(dir_, "quarantine");
    if (!opened) opened = open_unlinked_temp(temp_dir(), "quarantine");
    if (!opened) return std::move(*opened.error().io());
    spill_ = std::move(opened.value());
    return std::nullopt;
  }

  std::string dir_;
  std::string pending_;
  Fd spill_;
  std::uint64_t spilled_ = 0;
};

struct JobSink : SetAsideByReason<JobSink> {
  JobSink(Target& out, Target* q, Interrupt* i) : output(out), quarantine(q), interrupt(i) {}
  Target& output;
  Target* quarantine;
  QuarantineStore* store = nullptr;  // the core's quarantine: lines from the parsed fields
  Interrupt* interrupt;
  LineWriter writer{',', '"'};
  unsigned char quote_char = '"';
  unsigned char delimiter = ',';
  bool exact_raw = false;  // a kept row that reads back as its fields is written as it came
  std::string line;
  std::uint64_t rows = 0;
  std::optional<IoError> error;
  bool interrupted = false;

  bool go_on() {
    if (++rows % kRowsPerCheck != 0 || interrupt == nullptr) return true;
    if (!interrupt->requested()) return true;
    interrupted = true;
    return false;
  }
  void begin(unsigned char d, std::uint64_t) {
    delimiter = d;
    writer = LineWriter(d, quote_char);
  }
  bool keep(const Row& row, const RowVerdict& verdict) {
    line.clear();
    if (exact_raw && verdict.verdict == Verdict::Kept &&
        reads_back_as(verdict.raw, row, delimiter, quote_char)) {
      line.append(verdict.raw);  // a quoted row that needs no change keeps its quoting
      line.push_back('\n');
    } else {
      writer.append_line(line, row);
    }
    if (auto e = output.out().append(line)) {
      error = output.fail(std::move(*e));
      return false;
    }
    return go_on();
  }
  bool keep_line(std::string_view plain, bool) {
    if (auto e = output.out().append(plain, '\n')) {
      error = output.fail(std::move(*e));
      return false;
    }
    return go_on();
  }
  bool set_aside(std::uint64_t number, std::string_view reason, std::string_view raw) {
    if (quarantine == nullptr) return go_on();
    line.clear();
    append_raw_quarantine_line(line, number, reason, raw);
    if (auto e = quarantine->out().append(line)) {
      error = quarantine->fail(std::move(*e));
      return false;
    }
    return go_on();
  }
  bool reject(const RowVerdict& verdict, const Row& fields) {
    if (store == nullptr) return SetAsideByReason::reject(verdict, fields);
    append_quarantine_line(store->pending(), verdict.line, reason(verdict), fields, delimiter);
    error = store->spill_if_large();
    return !error;
  }
};

// One job, from its paths to its counts. The product's job checks every
// path first, creates both outputs (as temporary files) before anything
// is read or written, so that a quarantine that cannot be created stops it
// before any work is done, and detects the input's dialect on its first
// bytes. The core's opens the input and reads its first window before it
// compares the paths, and writes the quarantine file once the output is
// complete.
class JobRun {
 public:
  explicit JobRun(const FileJob& job) : job_(job), keep_(job.input.fd) {}

  Result<JobCounts> run() {
    if (auto e = job_.core ? check_nul_paths(job_) : check_job_paths(job_)) return std::move(*e);
    if (auto e = open_input()) return std::move(*e);
    if (job_.core) {
      if (auto e = start_core()) return std::move(*e);
    } else {
      if (auto e = open_outputs()) return std::move(*e);
      if (auto e = start_product()) return std::move(*e);
    }
    JobSink sink(output_, quarantine_ ? &*quarantine_ : nullptr, job_.interrupt);
    sink.quote_char = job_.core ? job_.options.quote_char : prepared_.quote_byte();
    sink.exact_raw = !job_.core;
    if (store_) sink.store = &*store_;
    RepairPass<ChunkedText, JobSink> pass(*text_, job_.options,
                                          job_.core ? kCoreRules : kProductRules, sink);
    const ProductCounts counts = pass.run(job_.core ? nullptr : &prepared_.dialect);
    if (text_->error()) return named(std::move(*text_->error()), IoRole::Input, job_.input);
    if (sink.error) return std::move(*sink.error);
    if (sink.interrupted) return IoError::from_fixed(IoFixed::Interrupted);
    if (auto e = finish()) return std::move(*e);
    JobCounts result;
    static_cast<GleaveCounts&>(result) = counts;
    result.delimiter = counts.delimiter;
    if (!job_.core) result.input = report(counts);
    return result;
  }

 private:
  std::optional<GleaveError> open_input() {
    in_ = job_.input.fd;
    if (in_ >= 0) return std::nullopt;
    auto opened = open_path(job_.input.path, O_RDONLY, job_.interrupt);
    if (!opened) return named(std::move(*opened.error().io()), IoRole::Input, job_.input);
    input_fd_ = std::move(opened.value());
    in_ = input_fd_.get();
    return std::nullopt;
  }

  std::optional<GleaveError> open_outputs() {
    if (auto e = output_.open(job_.output, IoRole::Output, job_.interrupt)) return std::move(*e);
    if (!job_.quarantine) return std::nullopt;
    quarantine_.emplace();
    return quarantine_->open(*job_.quarantine, IoRole::Quarantine, job_.interrupt);
  }

  // The core's input is read as it is, a window at a time; an output that
  // is the input is replaced once complete, any other written in place.
  std::optional<GleaveError> start_core() {
    file_.emplace(in_);
    text_.emplace(*file_);
    if (!text_->advance(0) && text_->error()) return std::move(*text_->error());
    // A quarantine file that is the output or the input would destroy the
    // rows just written or the user's data; refuse before touching anything.
    if (job_.quarantine) {
      const std::string& q = job_.quarantine->path;
      if (same_file(q, job_.output.path)) return IoError::from_fixed(IoFixed::QuarantineIsOutput);
      if (same_file(q, job_.input.path)) return IoError::from_fixed(IoFixed::QuarantineIsInput);
      store_.emplace(parent_directory(resolve_links(q)));
    }
    const bool in_place = same_file(job_.output.path, job_.input.path);
    return output_.open(job_.output, IoRole::Output, nullptr,
                        in_place ? Target::kReplace : Target::kInPlace);
  }

  // The product's input: its encoding and dialect from its first bytes,
  // then its text a window at a time, converted to UTF-8 on the way.
  std::optional<GleaveError> start_product() {
    auto planned = plan_windows(in_, job_, stream_);
    if (!planned) {
      if (IoError* io = planned.error().io())
        return named(std::move(*io), IoRole::Input, job_.input);
      return std::move(planned.error());
    }
    plan_.emplace(std::move(planned.value()));
    if (quarantine_) {
      if (auto e = quarantine_->out().append(kQuarantineHeader)) {
        return *quarantine_->fail(std::move(*e));
      }
    }
    DialectRequest request = *job_.dialect;
    if (plan_->decode) request.encoding = "utf-8";  // the prefix is decoded already
    prepared_ = prepare_text(plan_->prefix, job_.options, request, false, false);
    if (!prepared_.ok()) return EncodingError{prepared_.error};
    if (auto conflict = check_dialect(prepared_, job_.options, *job_.dialect)) return conflict;
    prepared_.encoding = plan_->encoding;
    if (!stream_) file_.emplace(in_);
    ByteSource& raw = stream_ ? static_cast<ByteSource&>(*stream_) : *file_;
    if (plan_->decode) decoded_.emplace(raw, *plan_->decode);
    text_.emplace(decoded_ ? static_cast<ByteSource&>(*decoded_) : raw);
    text_->set_interrupt(job_.interrupt);
    return std::nullopt;
  }

  // Both files complete, then each put in place: the core's quarantine
  // file is written only now, from the lines the pass set aside.
  std::optional<GleaveError> finish() {
    if (auto e = output_.finish()) return std::move(*e);
    if (store_) {
      quarantine_.emplace();
      if (auto e =
              quarantine_->open(*job_.quarantine, IoRole::Quarantine, nullptr, Target::kInPlace)) {
        return e;
      }
      if (auto e = quarantine_->out().append(kQuarantineHeader)) return quarantine_->fail(*e);
      if (auto e = store_->copy_to(quarantine_->out())) return quarantine_->fail(*e);
    }
    if (quarantine_) {
      if (auto e = quarantine_->finish()) return std::move(*e);
    }
    // A Ctrl-C that landed after the last block of rows was asked about (or
    // while the input ended) still means nothing is put in place.
    if (job_.interrupt != nullptr && job_.interrupt->requested_now()) {
      return IoError::from_fixed(IoFixed::Interrupted);
    }
    // Everything is written: the rename of each is all that is left.
    if (auto e = output_.commit()) return std::move(*e);
    if (quarantine_) {
      if (auto e = quarantine_->commit()) return std::move(*e);
    }
    return std::nullopt;
  }

  InputReport report(const ProductCounts& counts) {
    if (decoded_) {
      prepared_.replaced = decoded_->replaced();
      prepared_.fallback = decoded_->fallback();
      if (decoded_->from() == PieceDecoder::From::Cp1252) prepared_.encoding = "cp1252";
    }
    return input_report(prepared_, counts);
  }

  const FileJob& job_;
  const KeepOffset keep_;  // a caller's descriptor ends where it stood
  Fd input_fd_;
  int in_ = -1;
  Target output_;
  std::optional<Target> quarantine_;
  std::optional<QuarantineStore> store_;
  PreparedText prepared_;
  std::optional<WindowPlan> plan_;
  std::optional<StreamSource> stream_;  // a pipe's first bytes wait here
  std::optional<FdSource> file_;
  std::optional<DecodedSource> decoded_;
  std::optional<ChunkedText> text_;
};

Result<JobCounts> run_job(const FileJob& job) {
  JobRun run(job);
  return run.run();
}

}  // namespace

const char* dialect_conflict(unsigned char delimiter, std::optional<unsigned char> quote_char,
                             std::optional<unsigned char> escape_char) noexcept {
  if (quote_char && *quote_char == delimiter) return "delimiter and quote_char must differ";
  if (escape_char && (*escape_char == delimiter || escape_char == quote_char)) {
    return "escape_char must differ from delimiter and quote_char";
  }
  return nullptr;
}

std::optional<GleaveError> check_dialect(const PreparedText& prepared, const GleaveOptions& options,
                                         const DialectRequest& request) {
  const Dialect& d = prepared.dialect;
  const unsigned char delimiter = options.delimiter.value_or(d.delimiter);
  const std::optional<unsigned char> quote =
      request.quote_given ? request.quote_char : d.quote_char;
  const std::optional<unsigned char> escape = !quote                 ? std::nullopt
                                              : request.escape_given ? request.escape_char
                                                                     : d.escape_char;
  const char* conflict = dialect_conflict(delimiter, quote, escape);
  if (conflict == nullptr) return std::nullopt;
  return GleaveError(InvalidError{conflict});
}

std::optional<IoError> check_nul_paths(const FileJob& job) {
  const FileRef* refs[] = {&job.input, &job.output, job.quarantine ? &*job.quarantine : nullptr};
  const IoRole roles[] = {IoRole::Input, IoRole::Output, IoRole::Quarantine};
  for (int i = 0; i < 3; ++i) {
    if (refs[i] != nullptr && refs[i]->fd < 0 && has_nul(refs[i]->path)) {
      return named(IoError::from_fixed(IoFixed::NulInPath), roles[i], *refs[i]);
    }
  }
  return std::nullopt;
}

std::optional<IoError> check_job_paths(const FileJob& job) {
  if (auto e = check_nul_paths(job)) return e;
  auto both_paths = [](const FileRef& a, const FileRef& b) { return a.fd < 0 && b.fd < 0; };
  if (job.quarantine) {
    const FileRef& q = *job.quarantine;
    if (both_paths(q, job.output) && same_file(q.path, job.output.path)) {
      return named(IoError::from_fixed(IoFixed::QuarantineIsOutput), IoRole::Quarantine, q);
    }
    if (both_paths(q, job.input) && same_file(q.path, job.input.path)) {
      return named(IoError::from_fixed(IoFixed::QuarantineIsInput), IoRole::Quarantine, q);
    }
  }
  if (!job.allow_in_place && both_paths(job.output, job.input) &&
      same_file(job.output.path, job.input.path)) {
    return named(IoError::from_fixed(IoFixed::OutputIsInput), IoRole::Output, job.output);
  }
  return std::nullopt;
}

Result<JobCounts> run_file_job(const FileJob& job) {
  if (job.core) return run_job(job);  // the core's memory faults are its caller's
  try {
    return run_job(job);
  } catch (const std::bad_alloc&) {
  } catch (const std::length_error&) {
  }
  return named(IoError::from_fixed(IoFixed::OutOfMemory), IoRole::None, FileRef{});
}

Result<ByteBuffer> read_input(const FileRef& input, Interrupt* interrupt, bool refuse_binary) {
  if (input.fd < 0 && has_nul(input.path)) {
    return named(IoError::from_fixed(IoFixed::NulInPath), IoRole::Input, input);
  }
  Fd owned;
  int fd = input.fd;
  const KeepOffset keep(fd);
  if (fd < 0) {
    auto opened = open_path(input.path, O_RDONLY, interrupt);
    if (!opened) return named(std::move(*opened.error().io()), IoRole::Input, input);
    owned = std::move(opened.value());
    fd = owned.get();
  }
  auto text = read_fd(fd, interrupt);
  if (!text) return named(std::move(*text.error().io()), IoRole::Input, input);
  if (refuse_binary && looks_binary(text.value().view())) {
    return named(IoError::from_fixed(IoFixed::NotText), IoRole::Input, input);
  }
  return text;
}

}  // namespace gleave
