#include "engine/io/job.hpp"

#include <algorithm>
#include <new>
#include <stdexcept>
#include <utility>
#include <vector>

#include "engine/encoding/encoding.hpp"
#include "engine/io/chunked.hpp"
#include "engine/io/windowed.hpp"
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
  std::unique_ptr<WindowedInput> windowed;
  if (job.dialect) {
    auto opened =
        WindowedInput::open(in, job.options, *job.dialect, job.refuse_binary, job.interrupt);
    if (!opened) {
      if (IoError* e = opened.error().io()) return named(std::move(*e), IoRole::Input, job.input);
      return std::move(opened.error());
    }
    windowed = std::move(opened.value());
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

  if (quarantine) {
    if (auto e = quarantine->out().append(kQuarantineHeader))
      return *quarantine->fail(std::move(*e));
  }
  JobSink sink(output, quarantine ? &*quarantine : nullptr, job.interrupt);
  sink.quote_char = job.options.quote_char;
  PassCounts counts;
  std::optional<InputReport> report;
  if (windowed) {
    sink.quote_char = windowed->prepared().quote_byte();
    sink.exact_raw = true;
    ChunkedText& text = windowed->text();
    const ProductCounts product = run_product_pass(windowed->prepared(), text, job.options, sink);
    if (text.error()) return named(std::move(*text.error()), IoRole::Input, job.input);
    counts = product;
    report = windowed->report(product);
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
