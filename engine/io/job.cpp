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
  std::optional<IoError> open(const FileRef& ref, IoRole role, Interrupt* interrupt) {
    role_ = role;
    ref_ = &ref;
    Fd fd;
    if (ref.fd >= 0) {
      const int copy = ::fcntl(ref.fd, F_DUPFD_CLOEXEC, 0);
      if (copy < 0) return named(IoError::from_errno(errno), role, ref);
      fd = Fd(copy);
    } else {
      struct stat st {};
      if (::stat(ref.path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        return named(IoError::from_errno(EISDIR), role, ref);
      }
      if (::stat(ref.path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
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
    if (out_) out_->abandon();  // a job that did not finish writes nothing more
  }

 private:
  IoRole role_ = IoRole::None;
  const FileRef* ref_ = nullptr;
  ReplacementFile replacement_;
  bool replaced_ = false;
  std::optional<WriteBuffer> out_;
};

struct JobSink {
  JobSink(Target& out, Target* q, Interrupt* i) : output(out), quarantine(q), interrupt(i) {}
  Target& output;
  Target* quarantine;
  Interrupt* interrupt;
  LineWriter writer{',', '"'};
  PassRange* part = nullptr;
  unsigned char quote_char = '"';
  unsigned char delimiter = ',';
  bool exact_raw = false;  // a kept row that reads back as its fields is written as it came
  std::string line;
  std::uint64_t rows = 0;
  std::optional<IoError> error;
  bool interrupted = false;

  PassRange* range() const noexcept { return part; }
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
  bool preamble(std::uint64_t number, std::string_view raw) {
    if (quarantine == nullptr) return go_on();
    line.clear();
    append_raw_quarantine_line(line, number, kPreambleReason, raw);
    if (auto e = quarantine->out().append(line)) {
      error = quarantine->fail(std::move(*e));
      return false;
    }
    return go_on();
  }
  bool other_table(std::uint64_t number, std::string_view raw) {
    return set_aside(number, kOtherTableReason, raw);
  }
  bool footnote(std::uint64_t number, std::string_view raw) {
    return set_aside(number, kFootnoteReason, raw);
  }
  bool repeated_header(std::uint64_t number, std::string_view raw) {
    return set_aside(number, kRepeatedHeaderReason, raw);
  }
  bool comment(std::uint64_t number, std::string_view raw) {
    return set_aside(number, kCommentReason, raw);
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
  bool reject(const RowVerdict& verdict, const Row&) {
    if (quarantine == nullptr) return go_on();
    line.clear();
    append_raw_quarantine_line(line, verdict.line, reason_text(verdict.verdict, verdict.expected),
                               verdict.raw);
    if (auto e = quarantine->out().append(line)) {
      error = quarantine->fail(std::move(*e));
      return false;
    }
    return go_on();
  }
};

void append_doubling_quotes(std::string& out, std::string_view text) {
  std::size_t from = 0;
  for (std::size_t at; (at = text.find('"', from)) != std::string_view::npos;) {
    out.append(text.substr(from, at + 1 - from));
    out.push_back('"');
    from = at + 1;
  }
  out.append(text.substr(from));
}

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
Result<std::optional<WindowPlan>> plan_windows(int fd, const FileJob& job,
                                               std::optional<StreamSource>& stream) {
  using Plan = std::optional<WindowPlan>;
  struct stat st {};
  if (::fstat(fd, &st) != 0) return Plan();
  const std::string& named_encoding = job.dialect->encoding;
  std::string file_head;
  std::string_view h;
  bool whole_head = false;
  std::uint64_t start = 0;
  const std::size_t sample = std::max(chunk_bytes(), kHead);
  if (S_ISREG(st.st_mode)) {
    const off_t here = ::lseek(fd, 0, SEEK_CUR);
    if (here < 0) return Plan();
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
  if (!c.ok()) return IoError::from_errno(EINVAL);
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
  return Plan(std::move(plan));
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

Result<JobCounts> run_job(const FileJob& job) {
  if (auto e = check_job_paths(job)) return std::move(*e);

  // The input is opened first so that a missing input is what is reported,
  // then both outputs are created (as temporary files) before anything is
  // read or written: a quarantine that cannot be created stops the job
  // before any work is done.
  Fd input_fd;
  int in = job.input.fd;
  const KeepOffset keep(in);  // a caller's descriptor ends where it stood
  if (in < 0) {
    auto opened = open_path(job.input.path, O_RDONLY, job.interrupt);
    if (!opened) return named(std::move(*opened.error().io()), IoRole::Input, job.input);
    input_fd = std::move(opened.value());
    in = input_fd.get();
  }
  Target output;
  if (auto e = output.open(job.output, IoRole::Output, job.interrupt)) return std::move(*e);
  std::optional<Target> quarantine;
  if (job.quarantine) {
    quarantine.emplace();
    if (auto e = quarantine->open(*job.quarantine, IoRole::Quarantine, job.interrupt)) {
      return std::move(*e);
    }
  }

  // Input with a dialect to detect is read a window at a time; anything
  // else whole.
  std::optional<WindowPlan> windowed;
  std::optional<StreamSource> stream;  // a pipe's first bytes wait here
  if (job.dialect) {
    auto checked = plan_windows(in, job, stream);
    if (!checked) return named(std::move(*checked.error().io()), IoRole::Input, job.input);
    windowed = std::move(checked.value());
  }
  ByteBuffer whole;
  if (!windowed) {
    auto text = read_fd(in, job.interrupt);
    if (!text) return named(std::move(*text.error().io()), IoRole::Input, job.input);
    whole = std::move(text.value());
    input_fd.reset();
    if (job.refuse_binary && looks_binary(whole.view())) {
      return named(IoError::from_fixed(IoFixed::NotText), IoRole::Input, job.input);
    }
  }
  const std::string_view view = whole.view();

  const bool mid_table = job.part != nullptr && job.part->pass.mid_table;
  if (quarantine && !mid_table) {
    if (auto e = quarantine->out().append(kQuarantineHeader))
      return *quarantine->fail(std::move(*e));
  }
  JobSink sink(output, quarantine ? &*quarantine : nullptr, job.interrupt);
  sink.quote_char = job.options.quote_char;
  PassCounts counts;
  std::optional<InputReport> report;
  if (windowed) {
    // The dialect from the prefix, the rows from the file.
    DialectRequest request = *job.dialect;
    if (windowed->decode) request.encoding = "utf-8";  // the prefix is decoded already
    PreparedText prepared = prepare_text(windowed->prefix, job.options, request, false, false);
    if (!prepared.ok()) return named(IoError::from_errno(EINVAL), IoRole::Input, job.input);
    if (auto conflict = check_dialect(prepared, job.options, *job.dialect)) {
      return std::move(*conflict);
    }
    prepared.encoding = windowed->encoding;
    sink.quote_char = prepared.quote_byte();
    sink.exact_raw = true;
    if (job.part != nullptr) {
      if (stream) return named(IoError::from_errno(ESPIPE), IoRole::Input, job.input);
      if (mid_table && job.part->place) {
        auto start = job.part->place(in, prepared.dialect);
        if (!start) return named(std::move(*start.error().io()), IoRole::Input, job.input);
        job.part->start = start.value();
      }
      job.part->text_at = mid_table ? job.part->start : windowed->text_at;
      if (::lseek(in, static_cast<off_t>(job.part->text_at), SEEK_SET) < 0) {
        return named(IoError::from_errno(errno), IoRole::Input, job.input);
      }
      const std::uint64_t stop = job.part->stop, at = job.part->text_at;
      job.part->pass.stop_at = stop == UINT64_MAX ? stop : stop > at ? stop - at : 0;
      sink.part = &job.part->pass;
      const Dialect& d = prepared.dialect;
      job.part->rule_line = std::max(
          {d.preamble_lines + 1, d.other_table_line, d.other_table_above_line, d.footnote_line});
    }
    FdSource file(in);
    ByteSource& raw = stream ? static_cast<ByteSource&>(*stream) : file;
    std::optional<DecodedSource> decoded;
    if (windowed->decode) decoded.emplace(raw, *windowed->decode);
    ChunkedText text(decoded ? static_cast<ByteSource&>(*decoded) : raw);
    text.set_interrupt(job.interrupt);
    const ProductCounts product = run_product_pass(prepared, text, job.options, sink);
    if (text.error()) return named(std::move(*text.error()), IoRole::Input, job.input);
    if (decoded) {
      prepared.replaced = decoded->replaced();
      prepared.fallback = decoded->fallback();
      if (decoded->from() == PieceDecoder::From::Cp1252) prepared.encoding = "cp1252";
    }
    if (job.part != nullptr) {
      using From = PieceDecoder::From;
      const From from = decoded ? decoded->from() : From::Utf8Lossy;
      job.part->same_bytes =
          prepared.replaced == 0 && prepared.fallback == 0 &&
          (from == From::Utf8Lossy || from == From::Utf8Mixed || from == From::Utf8OrCp1252);
    }
    counts = product;
    report = input_report(prepared, product);
  } else if (job.dialect) {
    const PreparedText prepared = prepare_text(view, job.options, *job.dialect);
    if (!prepared.ok()) return named(IoError::from_errno(EINVAL), IoRole::Input, job.input);
    if (auto conflict = check_dialect(prepared, job.options, *job.dialect)) {
      return std::move(*conflict);
    }
    sink.quote_char = prepared.quote_byte();
    sink.exact_raw = true;
    const ProductCounts product = run_product_pass(prepared, job.options, sink);
    counts = product;
    report = input_report(prepared, product);
  } else {
    counts = run_pass(view, job.options, sink);
  }
  if (sink.error) return std::move(*sink.error);
  if (sink.interrupted) return IoError::from_fixed(IoFixed::Interrupted);

  if (auto e = output.finish()) return std::move(*e);
  if (quarantine) {
    if (auto e = quarantine->finish()) return std::move(*e);
  }
  // A Ctrl-C that landed after the last block of rows was asked about (or
  // while the input ended) still means nothing is put in place.
  if (job.interrupt != nullptr && job.interrupt->requested_now()) {
    return IoError::from_fixed(IoFixed::Interrupted);
  }
  // Everything is written: the rename of each is all that is left.
  if (auto e = output.commit()) return std::move(*e);
  if (quarantine) {
    if (auto e = quarantine->commit()) return std::move(*e);
  }
  JobCounts result;
  static_cast<GleaveCounts&>(result) = counts;
  result.delimiter = counts.delimiter;
  result.input = std::move(report);
  return result;
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

std::optional<IoError> check_job_paths(const FileJob& job) {
  const FileRef* refs[] = {&job.input, &job.output, job.quarantine ? &*job.quarantine : nullptr};
  const IoRole roles[] = {IoRole::Input, IoRole::Output, IoRole::Quarantine};
  for (int i = 0; i < 3; ++i) {
    if (refs[i] != nullptr && refs[i]->fd < 0 && has_nul(refs[i]->path)) {
      return named(IoError::from_fixed(IoFixed::NulInPath), roles[i], *refs[i]);
    }
  }
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

void append_raw_quarantine_line(std::string& out, std::uint64_t line, std::string_view reason,
                                std::string_view raw) {
  out.append(std::to_string(line));
  out.append(",\"");
  append_doubling_quotes(out, reason);
  out.append("\",\"");
  if (valid_utf8_prefix(raw.data(), raw.size()) == raw.size()) {
    append_doubling_quotes(out, raw);
  } else {
    std::string text;
    append_utf8_lossy(text, raw.data(), raw.size());
    append_doubling_quotes(out, text);
  }
  out.append("\"\n");
}

}  // namespace gleave
