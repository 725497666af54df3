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
  // kAuto: a regular file (or a path to none yet) is replaced at commit, a
  // pipe, a device or a descriptor written directly, and what was written
  // is dropped on failure. kReplace and kInPlace, the core's: the path is
  // replaced at commit, or opened, created and truncated at once; a
  // failed write keeps what was written before it and tries once more.
  enum Mode : std::uint8_t { kAuto, kReplace, kInPlace };

  Status open(const FileRef& ref, IoRole role, Interrupt* interrupt, Mode mode = kAuto) {
    role_ = role;
    ref_ = &ref;
    keep_partial_ = mode != kAuto;
    Fd fd;
    // Whether the file written takes the place of one with data in it: the
    // file system then starts every page written on its way to the disk
    // when the new one is renamed over it (or closed after the truncation).
    bool replaces = mode == kReplace;
    if (mode == kInPlace) {
      struct stat st {};
      replaces = ::stat(ref.path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0;
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
        replaces = replaces || (exists && st.st_size > 0);
      }
    }
    out_.emplace(std::move(fd), interrupt);
    out_->write_behind(replaces);
    return {};
  }
  WriteBuffer& out() { return *out_; }
  // A failed write or commit, naming this file.
  Status fail(Status s) const {
    if (s.ok() || s.error().io() == nullptr) return s;
    return named(std::move(s.io_error()), role_, *ref_);
  }
  Status finish() {
    if (Status flushed = out_->flush(); !flushed) return fail(std::move(flushed));
    out_.reset();  // closes
    return {};
  }
  Status commit() {
    if (!replaced_) return {};
    if (Status done = replacement_.commit(); !done) return fail(std::move(done));
    return {};
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
  Status spill_if_large() {
    if (pending_.size() < kInMemory) return {};
    if (spill_.get() < 0) {
      if (Status opened = open_spill(); !opened) return opened;
    }
    Status written = write_all(spill_.get(), pending_.data(), pending_.size(), IoFixed::WriteZero);
    spilled_ += pending_.size();
    pending_.clear();
    return written;
  }
  // Writes every line, in order, to `out`.
  Status copy_to(WriteBuffer& out) {
    if (spilled_ != 0) {
      std::string buf(kInMemory, '\0');
      for (std::uint64_t at = 0; at < spilled_;) {
        const ssize_t r = ::pread(spill_.get(), buf.data(), buf.size(), static_cast<off_t>(at));
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return IoError::from_errno(errno);
        if (r == 0) return IoError::from_errno(EIO);  // the file was cut short under us
        if (Status s = out.append(std::string_view(buf.data(), static_cast<std::size_t>(r))); !s) {
          return s;
        }
        at += static_cast<std::uint64_t>(r);
      }
    }
    return out.append(pending_);
  }

 private:
  Status open_spill() {
    auto opened = open_unlinked_temp(dir_, "quarantine");
    if (!opened) opened = open_unlinked_temp(temp_dir(), "quarantine");
    if (!opened) return std::move(opened.error());
    spill_ = std::move(opened.value());
    return {};
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
  PassRange* part = nullptr;
  std::string line;
  std::uint64_t rows = 0;
  Status status;  // the first failure to write, which stops the pass
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
    Status s;
    if (exact_raw && verdict.verdict == Verdict::Kept &&
        reads_back_as(verdict.raw, row, delimiter, quote_char)) {
      // A quoted row that needs no change keeps its quoting, copied once.
      s = output.out().append(verdict.raw, '\n');
    } else {
      line.clear();
      writer.append_line(line, row);
      s = output.out().append(line);
    }
    if (!s) {
      status = output.fail(std::move(s));
      return false;
    }
    return go_on();
  }
  bool keep_line(std::string_view plain, bool) {
    if (Status s = output.out().append(plain, '\n'); !s) {
      status = output.fail(std::move(s));
      return false;
    }
    return go_on();
  }
  bool set_aside(std::uint64_t number, std::string_view reason, std::string_view raw) {
    if (quarantine == nullptr) return go_on();
    line.clear();
    append_raw_quarantine_line(line, number, reason, raw);
    if (Status s = quarantine->out().append(line); !s) {
      status = quarantine->fail(std::move(s));
      return false;
    }
    return go_on();
  }
  bool reject(const RowVerdict& verdict, const Row& fields) {
    if (store == nullptr) return SetAsideByReason::reject(verdict, fields);
    append_quarantine_line(store->pending(), verdict.line, reason(verdict), fields, delimiter);
    status = store->spill_if_large();
    return status.ok();
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
    if (Status s = job_.core ? check_nul_paths(job_) : check_job_paths(job_); !s) return s.error();
    if (Status s = open_input(); !s) return s.error();
    if (Status s = job_.core ? start_core() : open_outputs(); !s) return s.error();
    if (!job_.core) {
      if (Status s = start_product(); !s) return s.error();
    }
    JobSink sink(output_, quarantine_ ? &*quarantine_ : nullptr, job_.interrupt);
    const Dialect& dialect = job_.core ? job_.dialect : windowed_->prepared().dialect;
    sink.quote_char = dialect.quote_char.value.value_or('"');
    sink.exact_raw = !job_.core;
    if (store_) sink.store = &*store_;
    if (job_.part != nullptr) sink.part = &job_.part->pass;
    RepairPass<ChunkedText, JobSink> pass(*text_, dialect, job_.core ? kCoreRules : kProductRules,
                                          sink);
    const ProductCounts counts = pass.run();
    if (!text_->status())
      return named(std::move(text_->status().io_error()), IoRole::Input, job_.input);
    if (!sink.status) return sink.status.error();
    if (sink.interrupted) return IoError::from_fixed(IoFixed::Interrupted);
    if (Status s = finish(); !s) return s.error();
    JobCounts result;
    static_cast<GleaveCounts&>(result) = counts;
    result.delimiter = counts.delimiter;
    if (!job_.core) result.input = report(counts);
    if (job_.part != nullptr) note_part_text(*job_.part, *windowed_);
    return result;
  }

 private:
  Status open_input() {
    in_ = job_.input.fd;
    if (in_ >= 0) return {};
    auto opened = open_path(job_.input.path, O_RDONLY, job_.interrupt);
    if (!opened) return named(std::move(*opened.error().io()), IoRole::Input, job_.input);
    input_fd_ = std::move(opened.value());
    in_ = input_fd_.get();
    return {};
  }

  Status open_outputs() {
    if (Status s = output_.open(job_.output, IoRole::Output, job_.interrupt); !s) return s;
    if (!job_.quarantine) return {};
    quarantine_.emplace();
    return quarantine_->open(*job_.quarantine, IoRole::Quarantine, job_.interrupt);
  }

  // The core's input is read as it is, a window at a time; an output that
  // is the input is replaced once complete, any other written in place.
  Status start_core() {
    file_.emplace(in_);
    text_ = &core_text_.emplace(*file_);
    text_->read_ahead();
    if (!text_->advance(0) && !text_->status()) return std::move(text_->status().error());
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
  Status start_product() {
    const bool mid_table = job_.part != nullptr && job_.part->pass.mid_table;
    const WindowedInput::BeforeText before = [&](const PreparedText& prepared,
                                                 std::uint64_t text_at, bool pipe) {
      return place_part(*job_.part, in_, prepared, text_at, pipe);
    };
    auto opened = WindowedInput::open(in_, job_.dialect, job_.refuse_binary, job_.interrupt,
                                      job_.part != nullptr ? &before : nullptr);
    if (!opened) {
      if (IoError* io = opened.error().io())
        return named(std::move(*io), IoRole::Input, job_.input);
      return std::move(opened.error());
    }
    windowed_ = std::move(opened.value());
    if (quarantine_ && !mid_table) {
      if (Status s = quarantine_->out().append(kQuarantineHeader); !s) {
        return quarantine_->fail(std::move(s));
      }
    }
    text_ = &windowed_->text();
    // A part stops before the file's end: it reads no further than its pass.
    if (job_.part == nullptr) text_->read_ahead();
    return {};
  }

  // Both files complete, then each put in place: the core's quarantine
  // file is written only now, from the lines the pass set aside.
  Status finish() {
    if (Status s = output_.finish(); !s) return s;
    if (store_) {
      quarantine_.emplace();
      if (Status s =
              quarantine_->open(*job_.quarantine, IoRole::Quarantine, nullptr, Target::kInPlace);
          !s) {
        return s;
      }
      if (Status s = quarantine_->out().append(kQuarantineHeader); !s) {
        return quarantine_->fail(std::move(s));
      }
      if (Status s = store_->copy_to(quarantine_->out()); !s)
        return quarantine_->fail(std::move(s));
    }
    if (quarantine_) {
      if (Status s = quarantine_->finish(); !s) return s;
    }
    // A Ctrl-C that landed after the last block of rows was asked about (or
    // while the input ended) still means nothing is put in place.
    if (job_.interrupt != nullptr && job_.interrupt->requested_now()) {
      return IoError::from_fixed(IoFixed::Interrupted);
    }
    // Everything is written: the rename of each is all that is left.
    if (Status s = output_.commit(); !s) return s;
    if (quarantine_) {
      if (Status s = quarantine_->commit(); !s) return s;
    }
    return {};
  }

  InputRead report(const ProductCounts& counts) { return windowed_->report(counts); }

  const FileJob& job_;
  const KeepOffset keep_;  // a caller's descriptor ends where it stood
  Fd input_fd_;
  int in_ = -1;
  Target output_;
  std::optional<Target> quarantine_;
  std::optional<QuarantineStore> store_;
  std::unique_ptr<WindowedInput> windowed_;  // the product's input
  std::optional<FdSource> file_;             // the core's input
  std::optional<ChunkedText> core_text_;
  ChunkedText* text_ = nullptr;  // the one the pass reads
};

Result<JobCounts> run_job(const FileJob& job) {
  JobRun run(job);
  return run.run();
}

}  // namespace

Status check_dialect(const Dialect& dialect) {
  if (const char* conflict = dialect.conflict()) return GleaveError(InvalidError{conflict});
  return {};
}

Status check_nul_paths(const FileJob& job) {
  const FileRef* refs[] = {&job.input, &job.output, job.quarantine ? &*job.quarantine : nullptr};
  const IoRole roles[] = {IoRole::Input, IoRole::Output, IoRole::Quarantine};
  for (int i = 0; i < 3; ++i) {
    if (refs[i] != nullptr && refs[i]->fd < 0 && has_nul(refs[i]->path)) {
      return named(IoError::from_fixed(IoFixed::NulInPath), roles[i], *refs[i]);
    }
  }
  return {};
}

Status check_job_paths(const FileJob& job) {
  if (Status s = check_nul_paths(job); !s) return s;
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
  return {};
}

Status place_part(FilePart& part, int fd, const PreparedText& prepared, std::uint64_t text_at,
                  bool pipe) {
  if (pipe) return IoError::from_errno(ESPIPE);
  const bool mid_table = part.pass.mid_table;
  if (mid_table && part.place) {
    auto start = part.place(fd, prepared.dialect);
    if (!start) return std::move(start.error());
    part.start = start.value();
  }
  part.text_at = mid_table ? part.start : text_at;
  if (::lseek(fd, static_cast<off_t>(part.text_at), SEEK_SET) < 0) {
    return IoError::from_errno(errno);
  }
  const std::uint64_t stop = part.stop, at = part.text_at;
  part.pass.stop_at = stop == UINT64_MAX ? stop : stop > at ? stop - at : 0;
  const Dialect& d = prepared.dialect;
  part.rule_line = std::max(
      {d.preamble_lines + 1, d.other_table_line, d.other_table_above_line, d.footnote_line});
  return {};
}

void note_part_text(FilePart& part, const WindowedInput& in) {
  part.same_bytes = in.text_is_bytes();
  part.read_to_end = in.read_to_end();
  part.whole_text = in.tables_read_whole();
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
