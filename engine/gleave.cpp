#include "gleave.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>

#include "heuristics.hpp"

namespace gleave {

// ---------------------------------------------------------------------------
// Row storage

std::size_t RowTable::width(std::size_t r) const noexcept {
  const Entry& e = rows_[r];
  if (e.kind() == Kind::Fields) return e.end() - e.begin;
  if (plain_width_ != 0) return plain_width_;
  const char* p = line_base(e);
  std::size_t n = 1;
  for (std::size_t i = e.begin; i < e.end(); ++i)
    n += static_cast<unsigned char>(p[i]) == delimiter_;
  return n;
}

std::string_view RowTable::field(std::size_t r, std::size_t f) const noexcept {
  std::string_view out;
  std::size_t i = 0;
  for_each_field(r, [&](std::string_view v) {
    if (i++ == f) out = v;
  });
  return out;
}

std::vector<std::string> RowTable::row_strings(std::size_t r) const {
  std::vector<std::string> out;
  for_each_field(r, [&](std::string_view v) { out.emplace_back(v); });
  return out;
}

void RowTable::push_row(const Row& row) {
  const std::size_t base = bytes_.size();
  // A Fields row's first field starts at the previous field end; arena lines
  // appended since then have moved bytes_ on, so record the start as an end.
  if ((field_ends_.empty() ? 0 : field_ends_.back()) != base) field_ends_.push_back(base);
  const std::size_t first = field_ends_.size();
  bytes_.append(row.bytes);
  for (const std::size_t e : row.ends) field_ends_.push_back(base + e);
  rows_.push_back(Entry::make(first, field_ends_.size(), Kind::Fields));
}

void RowTable::push_plain_line(std::string_view line, bool ascii) {
  if (owns_source_) {
    const auto begin = static_cast<std::size_t>(line.data() - source_.view().data());
    rows_.push_back(Entry::make(begin, begin + line.size(), Kind::SourceLine, ascii));
    return;
  }
  const std::size_t begin = bytes_.size();
  bytes_.append(line);
  rows_.push_back(Entry::make(begin, bytes_.size(), Kind::ArenaLine, ascii));
}

void RowTable::release_unused_source() noexcept {
  for (const Entry& e : rows_) {
    if (e.kind() == Kind::SourceLine) return;
  }
  source_ = ByteBuffer();
}

// ---------------------------------------------------------------------------
// Writers

namespace {

// Tests fields for the bytes that force quoting and writes them. The delimiter
// and the quote are written as characters (two UTF-8 bytes from 0x80 on), and
// looked for in that form.
class LineWriter {
 public:
  LineWriter(unsigned char delimiter, unsigned char quote_char)
      : delimiter_(byte_char(delimiter)),
        quote_(byte_char(quote_char)),
        finder_(static_cast<unsigned char>(delimiter_[0]), static_cast<unsigned char>(quote_[0]),
                '\n', '\r') {}

  void append_line(std::string& out, const Row& row) const {
    for (std::size_t i = 0; i < row.size(); ++i) {
      if (i != 0) out.append(delimiter_);
      append_field(out, row.field(i));
    }
    out.push_back('\n');
  }

 private:
  bool matches(std::string_view rest, const std::string& token) const noexcept {
    return rest.size() >= token.size() && rest.compare(0, token.size(), token) == 0;
  }

  bool needs_quotes(std::string_view f) const noexcept {
    const char* p = f.data();
    const char* const end = p + f.size();
    while ((p = finder_.find(p, end)) != end) {
      const std::string_view rest(p, static_cast<std::size_t>(end - p));
      if (*p == '\n' || *p == '\r' || matches(rest, delimiter_) || matches(rest, quote_)) {
        return true;
      }
      ++p;
    }
    return false;
  }

  void append_field(std::string& out, std::string_view f) const {
    if (!needs_quotes(f)) {
      out.append(f);
      return;
    }
    out.append(quote_);
    std::size_t from = 0;
    for (std::size_t at; (at = f.find(quote_, from)) != std::string_view::npos;) {
      out.append(f.substr(from, at + quote_.size() - from));
      out.append(quote_);
      from = at + quote_.size();
    }
    out.append(f.substr(from));
    out.append(quote_);
  }

  std::string delimiter_;
  std::string quote_;
  ByteFinder finder_;
};

// Appends the text with every double quote doubled.
void append_doubling_quotes(std::string& out, std::string_view text) {
  std::size_t from = 0;
  for (std::size_t at; (at = text.find('"', from)) != std::string_view::npos;) {
    out.append(text.substr(from, at + 1 - from));
    out.push_back('"');
    from = at + 1;
  }
  out.append(text.substr(from));
}

}  // namespace

void append_csv_line(std::string& out, const Row& row, unsigned char delimiter,
                     unsigned char quote_char) {
  LineWriter(delimiter, quote_char).append_line(out, row);
}

void append_quarantine_line(std::string& out, const QuarantineRecord& record,
                            unsigned char delimiter) {
  out.append(std::to_string(record.line));
  out.append(",\"");
  append_doubling_quotes(out, record.reason);
  out.append("\",\"");
  const std::string d = byte_char(delimiter);
  for (std::size_t i = 0; i < record.fields.size(); ++i) {
    if (i != 0) append_doubling_quotes(out, d);
    append_doubling_quotes(out, record.fields[i]);
  }
  out.append("\"\n");
}

// ---------------------------------------------------------------------------
// The repair pass

namespace {

struct PassCounts : GleaveCounts {
  unsigned char delimiter = ',';
};

// Folds fields `width` to the last into field `width`, joined by `separator`.
void merge_surplus(Row& row, std::size_t width, std::string_view separator, std::string& scratch) {
  const std::size_t keep_end = row.field_begin(width - 1);
  scratch.clear();
  for (std::size_t i = width - 1; i < row.size(); ++i) {
    if (i != width - 1) scratch.append(separator);
    scratch.append(row.field(i));
  }
  row.bytes.resize(keep_end);
  row.bytes.append(scratch);
  row.ends.resize(width - 1);
  row.ends.push_back(row.bytes.size());
}

std::string reason_text(const char* head, std::uint64_t width) {
  return std::string(head) + std::to_string(width) + ")";
}

// Fills `row` with the fields of a plain line: the pieces between delimiters.
void split_plain_line(std::string_view line, unsigned char delimiter, Row& row) {
  row.clear();
  const char* p = line.data();
  const char* const end = p + line.size();
  while (true) {
    const void* hit = std::memchr(p, delimiter, static_cast<std::size_t>(end - p));
    const char* stop = hit == nullptr ? end : static_cast<const char*>(hit);
    row.push_field(std::string_view(p, static_cast<std::size_t>(stop - p)));
    if (stop == end) return;
    p = stop + 1;
  }
}

// One pass over the text. `sink.begin(delimiter, width)` learns the delimiter
// and width in force once they are settled; `sink.keep_line(line, ascii)`
// receives each kept row that is a plain line of the right width, as its
// bytes; `sink.keep(row)` each other kept row (already padded or merged), and
// `sink.reject(record)` each quarantined one. Any of them may return false to
// stop the pass early (a write failed).
template <class Sink>
PassCounts run_pass(std::string_view text, const GleaveOptions& options, Sink& sink) {
  PassCounts counts;
  // 1. An empty text has nothing to settle: every count 0, the comma.
  if (text.empty()) return counts;
  // 2. Delimiter and expected width: given, or detected over the whole text.
  counts.delimiter = options.delimiter ? *options.delimiter : sniff_delimiter(text);
  const std::uint64_t width = options.expected_columns ? *options.expected_columns
                                                       : infer_column_count(text, counts.delimiter);
  counts.inferred_columns = width;
  sink.begin(counts.delimiter, width);
  const std::string separator = byte_char(counts.delimiter);

  ResilientParser parser(text, counts.delimiter, options.quote_char, options.repair_quotes);
  Row row;
  std::string scratch;

  // 3. Judge every row on its own against the width: keep it as it is, pad
  //    it, merge its surplus fields, or quarantine it.
  auto judge = [&](Row& r) -> bool {
    ++counts.total_rows;
    const std::uint64_t n = r.size();
    const bool fits = width == 0 || n == width;
    const bool short_row = !fits && n < width;
    if (fits || (short_row && options.fill_ragged_rows) || (!short_row && options.merge_overflow)) {
      if (!fits) {
        if (short_row) {
          r.ends.resize(static_cast<std::size_t>(width), r.bytes.size());
        } else {
          merge_surplus(r, static_cast<std::size_t>(width), separator, scratch);
        }
        ++counts.repaired_rows;
      }
      ++counts.gleaved_rows;
      return sink.keep(r);
    }
    QuarantineRecord record;
    record.line = parser.line();
    record.reason = reason_text(
        short_row ? "Row has too few columns (expected " : "Row has extra columns (expected ",
        width);
    record.fields = r.to_strings();
    ++counts.quarantined_rows;
    return sink.reject(std::move(record));
  };

  bool go_on = true;
  auto on_plain_line = [&](std::string_view line, bool ascii, std::uint64_t fields) {
    if (width == 0 || fields == width) {  // the common row: its bytes go out unchanged
      ++counts.total_rows;
      ++counts.gleaved_rows;
      go_on = sink.keep_line(line, ascii);
    } else {
      split_plain_line(line, counts.delimiter, row);
      go_on = judge(row);
    }
    return go_on;
  };
  while (true) {
    parser.take_plain_lines(on_plain_line);
    if (!go_on) return counts;
    if (!parser.next_row(row)) break;
    if (!judge(row)) return counts;
  }
  return counts;
}

struct TableSink {
  GleaveOutcome& outcome;
  void begin(unsigned char delimiter, std::uint64_t width) {
    outcome.rows.set_layout(delimiter, width);
  }
  bool keep(const Row& row) {
    outcome.rows.push_row(row);
    return true;
  }
  bool keep_line(std::string_view line, bool ascii) {
    outcome.rows.push_plain_line(line, ascii);
    return true;
  }
  bool reject(QuarantineRecord&& record) {
    outcome.quarantine.push_back(std::move(record));
    return true;
  }
};

}  // namespace

namespace {

void fill_outcome(GleaveOutcome& outcome, std::string_view text, const GleaveOptions& options) {
  TableSink sink{outcome};
  const PassCounts counts = run_pass(text, options, sink);
  static_cast<GleaveCounts&>(outcome) = counts;
  outcome.delimiter = counts.delimiter;
}

}  // namespace

GleaveOutcome gleave_slice(std::string_view text, const GleaveOptions& options) {
  GleaveOutcome outcome;
  fill_outcome(outcome, text, options);
  return outcome;
}

GleaveOutcome gleave_slice(ByteBuffer&& text, const GleaveOptions& options) {
  GleaveOutcome outcome;
  const std::string_view view = text.view();
  outcome.rows = RowTable(std::move(text), ',');  // the buffer moves, its bytes stay put
  fill_outcome(outcome, view, options);
  outcome.rows.release_unused_source();
  return outcome;
}

// ---------------------------------------------------------------------------
// Files

namespace {

constexpr std::size_t kMapThreshold = std::size_t{1} << 21;  // 2 MiB, one huge page

}  // namespace

ByteBuffer::ByteBuffer(ByteBuffer&& o) noexcept
    : data_(std::exchange(o.data_, nullptr)),
      size_(std::exchange(o.size_, 0)),
      cap_(std::exchange(o.cap_, 0)),
      mapped_(std::exchange(o.mapped_, false)) {}

ByteBuffer& ByteBuffer::operator=(ByteBuffer&& o) noexcept {
  if (this != &o) {
    release();
    data_ = std::exchange(o.data_, nullptr);
    size_ = std::exchange(o.size_, 0);
    cap_ = std::exchange(o.cap_, 0);
    mapped_ = std::exchange(o.mapped_, false);
  }
  return *this;
}

ByteBuffer::~ByteBuffer() {
  release();
}

void ByteBuffer::release() noexcept {
  if (mapped_) {
    ::munmap(data_, cap_);
  } else {
    std::free(data_);
  }
  data_ = nullptr;
  size_ = cap_ = 0;
  mapped_ = false;
}

bool ByteBuffer::reserve(std::size_t capacity) noexcept {
  if (capacity <= cap_) return true;
  if (capacity < kMapThreshold) {
    void* p = std::realloc(data_, capacity);
    if (p == nullptr) return false;
    data_ = static_cast<char*>(p);
    cap_ = capacity;
    return true;
  }
  capacity = (capacity + kMapThreshold - 1) & ~(kMapThreshold - 1);
  void* p;
  if (mapped_) {
    p = ::mremap(data_, cap_, capacity, MREMAP_MAYMOVE);
  } else {
    p = ::mmap(nullptr, capacity, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  }
  if (p == MAP_FAILED) return false;
#ifdef MADV_HUGEPAGE
  (void)::madvise(p, capacity, MADV_HUGEPAGE);
#endif
  if (!mapped_ && size_ != 0) std::memcpy(p, data_, size_);
  if (!mapped_) std::free(data_);
  data_ = static_cast<char*>(p);
  cap_ = capacity;
  mapped_ = true;
  return true;
}

namespace {

class Fd {
 public:
  explicit Fd(int fd = -1) noexcept : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  Fd(Fd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
  ~Fd() { reset(); }
  int get() const noexcept { return fd_; }
  void reset() noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

bool has_nul(const std::string& path) {
  return path.find('\0') != std::string::npos;
}

Result<Fd> open_path(const std::string& path, int flags) {
  if (has_nul(path)) return IoError::from_fixed(IoFixed::NulInPath);
  int fd;
  do {
    fd = ::open(path.c_str(), flags | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return IoError::from_errno(errno);
  return Fd(fd);
}

// Writes everything or reports the first failure.
std::optional<IoError> write_all(int fd, const char* p, std::size_t n, IoFixed on_zero,
                                 std::size_t* written = nullptr) {
  std::size_t done = 0;
  std::optional<IoError> error;
  while (done < n) {
    const ssize_t w = ::write(fd, p + done, n - done);
    if (w < 0) {
      if (errno == EINTR) continue;
      error = IoError::from_errno(errno);
      break;
    }
    if (w == 0) {
      error = IoError::from_fixed(on_zero);
      break;
    }
    done += static_cast<std::size_t>(w);
  }
  if (written != nullptr) *written = done;
  return error;
}

// A write buffer that owns its file. Lines go in whole: one that does not fit
// first writes the buffer out, and one of the buffer's size or more goes
// straight to the file. Destruction writes out what is left (a failure there
// is ignored: the first error has been reported) and closes.
//
// The file sees the same bytes in the same order whatever the capacity, and a
// failed write leaves the same prefix on disk (the system writes what fits
// before it refuses). The capacity only sets how many system calls it takes:
// with 8 KiB writes, repairing a large file took twice as long as with these.
class WriteBuffer {
 public:
  static constexpr std::size_t kCapacity = std::size_t{256} << 10;

  explicit WriteBuffer(Fd fd) : fd_(std::move(fd)), buf_(new char[kCapacity]) {}
  WriteBuffer(const WriteBuffer&) = delete;
  WriteBuffer& operator=(const WriteBuffer&) = delete;
  ~WriteBuffer() { (void)flush(); }

  std::optional<IoError> append(std::string_view line) {
    if (line.size() > kCapacity - len_) {
      if (auto e = flush()) return e;
    }
    if (line.size() >= kCapacity) {
      return write_all(fd_.get(), line.data(), line.size(), IoFixed::WriteZero);
    }
    std::memcpy(buf_.get() + len_, line.data(), line.size());
    len_ += line.size();
    return std::nullopt;
  }

  // The same as appending `text` followed by `last`, without building the
  // line first when it fits.
  std::optional<IoError> append(std::string_view text, char last) {
    const std::size_t size = text.size() + 1;
    if (size >= kCapacity || size > kCapacity - len_) {
      std::string line;
      line.reserve(size);
      line.append(text);
      line.push_back(last);
      return append(line);
    }
    std::memcpy(buf_.get() + len_, text.data(), text.size());
    buf_[len_ + text.size()] = last;
    len_ += size;
    return std::nullopt;
  }

  // Writes out the buffer; what could not be written stays for a retry.
  std::optional<IoError> flush() {
    if (len_ == 0) return std::nullopt;
    std::size_t done = 0;
    auto e = write_all(fd_.get(), buf_.get(), len_, IoFixed::FlushZero, &done);
    std::memmove(buf_.get(), buf_.get() + done, len_ - done);
    len_ -= done;
    return e;
  }

 private:
  Fd fd_;
  std::size_t len_ = 0;
  std::unique_ptr<char[]> buf_;
};

constexpr int kCreateFlags = O_WRONLY | O_CREAT | O_TRUNC;

// Same file: the same path, the same device and inode when both exist, or
// the same directory entry when one does not exist yet. Only regular files
// count: writing twice to a device such as /dev/null destroys nothing.
bool same_file(const std::string& a, const std::string& b) {
  struct stat sa {
  }, sb{};
  const bool ea = ::stat(a.c_str(), &sa) == 0;
  const bool eb = ::stat(b.c_str(), &sb) == 0;
  if (ea && eb) {
    return S_ISREG(sa.st_mode) && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
  }
  if (a == b) return true;
  if (ea != eb) return false;
  auto split = [](const std::string& p) {
    const auto slash = p.find_last_of('/');
    if (slash == std::string::npos) return std::pair<std::string, std::string>(".", p);
    return std::pair<std::string, std::string>(slash == 0 ? "/" : p.substr(0, slash),
                                               p.substr(slash + 1));
  };
  const auto [da, na] = split(a);
  const auto [db, nb] = split(b);
  if (na != nb) return false;
  struct stat pa {
  }, pb{};
  return ::stat(da.c_str(), &pa) == 0 && ::stat(db.c_str(), &pb) == 0 && pa.st_dev == pb.st_dev &&
         pa.st_ino == pb.st_ino;
}

// Writes the output to a temporary file beside the input and renames it over
// the input once complete, so a failed in-place repair leaves the input whole.
class TempOutput {
 public:
  // Opens a temporary file beside the file that `target` names (through any
  // symbolic link, so that the link survives and the real file is replaced).
  Result<Fd> open(const std::string& target) {
    target_ = target;
    if (char* real = ::realpath(target.c_str(), nullptr)) {
      target_ = real;
      std::free(real);
    }
    const auto slash = target_.find_last_of('/');
    const std::string dir = slash == std::string::npos ? "" : target_.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? target_ : target_.substr(slash + 1);
    std::string templ = dir + "." + base + ".gleave-XXXXXX";
    int fd;
    do {
      fd = ::mkostemp(templ.data(), O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return IoError::from_errno(errno);
    path_ = templ;
    struct stat st {};
    if (::stat(target_.c_str(), &st) == 0) (void)::fchmod(fd, st.st_mode & 07777);
    return Fd(fd);
  }
  std::optional<IoError> commit() {
    if (::rename(path_.c_str(), target_.c_str()) != 0) return IoError::from_errno(errno);
    path_.clear();
    return std::nullopt;
  }
  ~TempOutput() {
    if (!path_.empty()) ::unlink(path_.c_str());
  }

 private:
  std::string target_;
  std::string path_;
};

// Streams kept rows to the output file as the pass produces them; quarantine
// records wait until the output is complete.
struct FileSink {
  WriteBuffer& out;
  LineWriter writer;
  unsigned char quote_char;
  std::vector<QuarantineRecord>& quarantine;
  std::string line;
  std::optional<IoError> error;

  void begin(unsigned char delimiter, std::uint64_t) { writer = LineWriter(delimiter, quote_char); }
  bool keep(const Row& row) {
    line.clear();
    writer.append_line(line, row);
    error = out.append(line);
    return !error;
  }
  bool keep_line(std::string_view plain, bool) {
    error = out.append(plain, '\n');
    return !error;
  }
  bool reject(QuarantineRecord&& record) {
    quarantine.push_back(std::move(record));
    return true;
  }
};

}  // namespace

Result<ByteBuffer> read_file(const std::string& path) {
  auto opened = open_path(path, O_RDONLY);
  if (!opened) return std::move(opened.error());
  const int fd = opened.value().get();
  ByteBuffer buf;
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
    if (!buf.reserve(static_cast<std::size_t>(st.st_size) + 1)) {
      return IoError::from_fixed(IoFixed::OutOfMemory);
    }
  }
  while (true) {
    if (buf.size() == buf.capacity()) {
      const std::size_t grow = buf.capacity() < 8192 ? 8192 : buf.capacity();
      if (buf.capacity() > SIZE_MAX / 2 || !buf.reserve(buf.capacity() + grow)) {
        return IoError::from_fixed(IoFixed::OutOfMemory);
      }
    }
    const ssize_t r = ::read(fd, buf.data() + buf.size(), buf.capacity() - buf.size());
    if (r < 0) {
      if (errno == EINTR) continue;
      return IoError::from_errno(errno);
    }
    if (r == 0) break;
    buf.set_size(buf.size() + static_cast<std::size_t>(r));
  }
  return buf;
}

Result<SummaryRecord> gleave_file(const std::string& input_path, const std::string& output_path,
                                  const std::optional<std::string>& quarantine_path,
                                  const GleaveOptions& options) {
  // 1-2. Read the whole input before anything is created.
  auto input = read_file(input_path);
  if (!input) return std::move(input.error());

  // A quarantine file that is the output or the input would destroy the rows
  // just written or the user's data; refuse before touching anything.
  if (quarantine_path && !has_nul(*quarantine_path)) {
    if (!has_nul(output_path) && same_file(*quarantine_path, output_path)) {
      return IoError::from_fixed(IoFixed::QuarantineIsOutput);
    }
    if (same_file(*quarantine_path, input_path)) {
      return IoError::from_fixed(IoFixed::QuarantineIsInput);
    }
  }

  // 3-4. Open the output; in place, a temporary file stands in for it.
  const bool in_place = !has_nul(output_path) && same_file(output_path, input_path);
  TempOutput temp;
  auto output_fd = in_place ? temp.open(output_path) : open_path(output_path, kCreateFlags);
  if (!output_fd) return std::move(output_fd.error());

  std::vector<QuarantineRecord> quarantine;
  PassCounts counts;
  {
    // 5-6. Kept rows go out while the pass runs, through the write buffer.
    WriteBuffer out(std::move(output_fd.value()));
    const unsigned char quote = options.quote_char;
    FileSink sink{out, LineWriter(',', quote), quote, quarantine, {}, {}};
    counts = run_pass(input.value().view(), options, sink);
    if (sink.error) return *sink.error;
    if (auto e = out.flush()) return *e;

    // 7. The quarantine file, after the complete output.
    if (quarantine_path) {
      auto qfd = open_path(*quarantine_path, kCreateFlags);
      if (!qfd) return std::move(qfd.error());
      WriteBuffer qout(std::move(qfd.value()));
      if (auto e = qout.append(kQuarantineHeader)) return *e;
      std::string line;
      for (const auto& record : quarantine) {
        line.clear();
        append_quarantine_line(line, record, counts.delimiter);
        if (auto e = qout.append(line)) return *e;
      }
      if (auto e = qout.flush()) return *e;
    }
  }  // 8. Close the output (and the quarantine file).
  if (in_place) {
    if (auto e = temp.commit()) return *e;
  }

  SummaryRecord summary;
  static_cast<GleaveCounts&>(summary) = counts;
  summary.detected_delimiter = counts.delimiter;
  return summary;
}

}  // namespace gleave
