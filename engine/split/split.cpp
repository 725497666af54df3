#include "engine/split/split.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

#include "engine/base/fd.hpp"
#include "engine/base/pack.hpp"
#include "engine/io/files.hpp"
#include "engine/io/windowed.hpp"
#include "engine/scan/parser.hpp"

namespace gleave {

namespace {

IoError named(IoError error, IoRole role, const std::string& path) {
  return std::move(error).at(role, path);
}

// A failed step's I/O error, named after the file it concerns.
Status named(Status status, IoRole role, const std::string& path) {
  if (!status) {
    if (IoError* io = status.error().io()) *io = std::move(*io).at(role, path);
  }
  return status;
}

// Where the first line that starts at or after `from` starts: just past
// the first line break from the byte before `from` (a CR LF is one break),
// or `size` when no line starts there.
Result<std::uint64_t> first_line_start(int fd, std::uint64_t from, std::uint64_t size) {
  if (from == 0) return std::uint64_t{0};
  constexpr std::size_t kPiece = std::size_t{64} << 10;
  const std::unique_ptr<char[]> buf(new char[kPiece + 1]);
  for (std::uint64_t at = from - 1; at < size;) {
    const ssize_t r = ::pread(fd, buf.get(), kPiece + 1, static_cast<off_t>(at));
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return IoError::from_errno(errno);
    if (r == 0) break;
    const auto n = static_cast<std::size_t>(r);
    // The last byte read is looked at only to tell a CR LF from a CR.
    const std::size_t look = n > kPiece && at + n < size ? kPiece : n;
    for (std::size_t i = 0; i < look; ++i) {
      if (buf[i] == '\n') return at + i + 1;
      if (buf[i] == '\r') {
        const bool crlf = i + 1 < n && buf[i + 1] == '\n';
        return at + i + (crlf ? 2 : 1);
      }
    }
    at += look;
  }
  return size;
}

// How many of the first rows read from `at` in `window` have the table's
// width: the better of two starts reads more of them.
std::size_t rows_of_width(std::string_view window, std::size_t at, bool final, const Dialect& d) {
  constexpr std::size_t kRows = 32;
  const std::optional<unsigned char>& q = d.quote_char;
  ResilientParser parser(window, d.delimiter, q.value_or('"'), true);
  parser.set_final(final);
  parser.set_quoting(q.has_value());
  if (q) parser.set_escape(d.escape_char);
  parser.set_skip_leading_blanks(d.skip_initial_space);
  parser.set_keep_blanks_after_closing_quote(true);
  parser.resume_at(at, 1);
  Row row;
  std::size_t fitting = 0;
  for (std::size_t i = 0; i < kRows && parser.next_row(row); ++i) {
    fitting += row.size() == d.expected_width ? 1 : 0;
  }
  return fitting;
}

// Where a part's first row most likely starts: at the first line start from
// `from`, unless `from` is more likely inside a quoted field with line
// breaks, where the row after the field's closing quote is read more as
// rows of the table are. A guess: the part that ends before it says whether
// it was right.
Result<std::uint64_t> guess_row_start(int fd, std::uint64_t from, const Dialect& d) {
  auto line_start = first_line_start(fd, from, UINT64_MAX);
  if (!line_start || from == 0 || !d.quote_char.value || d.expected_width < 2) return line_start;
  constexpr std::size_t kWindow = std::size_t{256} << 10;
  std::string window(kWindow, '\0');
  std::size_t got = 0;
  while (got < kWindow) {
    const ssize_t r =
        ::pread(fd, window.data() + got, kWindow - got, static_cast<off_t>(from - 1 + got));
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return IoError::from_errno(errno);
    if (r == 0) break;
    got += static_cast<std::size_t>(r);
  }
  window.resize(got);
  const bool final = got < kWindow;
  const std::uint64_t outside = line_start.value() - (from - 1);
  // Inside a field: it closes at the first quote that is not doubled; the
  // rest of its row is read from there.
  const auto quote = static_cast<char>(*d.quote_char.value);
  std::size_t at = 1;
  while ((at = window.find(quote, at)) != std::string::npos) {
    if (at + 1 < window.size() && window[at + 1] == quote) {
      at += 2;
      continue;
    }
    break;
  }
  if (at == std::string::npos || outside >= window.size()) return line_start;
  ResilientParser rest(window, d.delimiter, static_cast<unsigned char>(quote), true);
  rest.set_final(final);
  rest.resume_at(at + 1, 1);
  Row row;
  if (!rest.next_row(row) || rest.position() >= window.size()) return line_start;
  const std::size_t inside = static_cast<std::size_t>(rest.position());
  if (inside == outside ||
      rows_of_width(window, inside, final, d) <= rows_of_width(window, outside, final, d)) {
    return line_start;
  }
  return from - 1 + inside;
}

void pack_report(Packer& p, const InputRead& read) {
  const Dialect& d = read.dialect;
  const ProductCounts& c = read.counts;
  p.str(d.encoding.value);
  for (const std::uint64_t v :
       {d.replaced_bytes, d.fallback_bytes, d.preamble_lines.value, c.preamble_rows, c.blank_rows,
        std::uint64_t{d.tables}, c.other_table_rows, c.footnote_rows, c.repeated_header_rows,
        c.comment_rows, c.runaway_quotes}) {
    p.u64(v);
  }
  p.u64(d.quote_char.value ? 0x100U | *d.quote_char.value : 0U);
  p.u64(d.escape_char.value ? 0x100U | *d.escape_char.value : 0U);
  p.u64((d.skip_initial_space.value ? 1U : 0U) | (d.header ? 2U : 0U) | (d.not_a_table ? 4U : 0U));
}

InputRead unpack_report(Unpacker& u) {
  InputRead r;
  Dialect& d = r.dialect;
  ProductCounts& c = r.counts;
  d.encoding.value.assign(u.str());
  d.replaced_bytes = u.u64();
  d.fallback_bytes = u.u64();
  d.preamble_lines.value = u.u64();
  c.preamble_rows = u.u64();
  c.blank_rows = u.u64();
  d.tables = static_cast<std::uint32_t>(u.u64());
  c.other_table_rows = u.u64();
  c.footnote_rows = u.u64();
  c.repeated_header_rows = u.u64();
  c.comment_rows = u.u64();
  c.runaway_quotes = u.u64();
  auto byte = [](std::uint64_t v) -> std::optional<unsigned char> {
    if ((v & 0x100U) == 0) return std::nullopt;
    return static_cast<unsigned char>(v & 0xFFU);
  };
  d.quote_char.value = byte(u.u64());
  d.escape_char.value = byte(u.u64());
  const std::uint64_t flags = u.u64();
  d.skip_initial_space.value = (flags & 1U) != 0;
  d.header = (flags & 2U) != 0;
  d.not_a_table = (flags & 4U) != 0;
  return r;
}

// Copies what is left of `in` to `out` (the kernel copies when it can).
Status copy_rest(int in, int out, Interrupt* interrupt) {
  constexpr std::size_t kStep = std::size_t{64} << 20;
  while (true) {
    if (interrupt != nullptr && interrupt->requested()) {
      return IoError::from_fixed(IoFixed::Interrupted);
    }
    const ssize_t r = ::copy_file_range(in, nullptr, out, nullptr, kStep, 0);
    if (r > 0) continue;
    if (r == 0) return {};
    if (errno == EINTR) continue;
    if (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP) {
      return IoError::from_errno(errno);
    }
    break;  // no kernel copy between these files: through memory
  }
  std::string buf(std::size_t{1} << 20, '\0');
  while (true) {
    const ssize_t r = ::read(in, buf.data(), buf.size());
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return IoError::from_errno(errno);
    if (r == 0) return {};
    if (Status written = write_all(out, buf.data(), static_cast<std::size_t>(r), IoFixed::WriteZero,
                                   nullptr, interrupt);
        !written) {
      return written;
    }
  }
}

// Copies `size` bytes of `in` from its start to `out` at `at` (the
// kernel copies when it can). Positional on both sides, so that several
// parts are copied into one file at once. Stops early once `stop` is set.
Status copy_at(int in, int out, std::uint64_t size, std::uint64_t at,
               const std::atomic<bool>& stop) {
  constexpr std::size_t kStep = std::size_t{16} << 20;
  auto in_off = static_cast<off_t>(0), out_off = static_cast<off_t>(at);
  bool kernel = true;
  std::string buf;
  for (std::uint64_t done = 0; done < size;) {
    if (stop.load(std::memory_order_relaxed)) return IoError::from_fixed(IoFixed::Interrupted);
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(kStep, size - done));
    ssize_t r = -1;
    if (kernel) {
      r = ::copy_file_range(in, &in_off, out, &out_off, want, 0);
      if (r < 0 && (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP)) {
        kernel = false;  // no kernel copy between these files: through memory
        continue;
      }
    } else {
      buf.resize(want);
      r = ::pread(in, buf.data(), want, in_off);
      for (ssize_t w = 0, put = 0; put < r; put += w) {
        w = ::pwrite(out, buf.data() + put, static_cast<std::size_t>(r - put), out_off + put);
        if (w < 0 && errno == EINTR) w = 0;
        if (w < 0) return IoError::from_errno(errno);
        if (w == 0) return IoError::from_fixed(IoFixed::WriteZero);
      }
      if (r > 0) {
        in_off += r;
        out_off += r;
      }
    }
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return IoError::from_errno(errno);
    if (r == 0) return IoError::from_errno(EIO);  // the part was cut short under us
    done += static_cast<std::uint64_t>(r);
  }
  return {};
}

// Writes the parts' outputs at their offsets in `out` (a prefix sum of
// their sizes), on a few threads at once; the calling thread alone asks
// the interrupt.
Status copy_parts(const std::vector<PartFiles>& parts, int out, Interrupt* interrupt) {
  std::vector<Fd> ins(parts.size());
  std::vector<std::uint64_t> sizes(parts.size()), offsets(parts.size());
  std::uint64_t total = 0;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    offsets[i] = total;
    if (parts[i].output.empty()) continue;
    auto in = open_path(parts[i].output, O_RDONLY, interrupt);
    if (!in) return named(std::move(*in.error().io()), IoRole::Input, parts[i].output);
    struct stat st {};
    if (::fstat(in.value().get(), &st) != 0) return IoError::from_errno(errno);
    ins[i] = std::move(in.value());
    sizes[i] = static_cast<std::uint64_t>(st.st_size);
    total += sizes[i];
  }
  if (::ftruncate(out, static_cast<off_t>(total)) != 0) return IoError::from_errno(errno);
  std::atomic<std::size_t> next{0};
  std::atomic<bool> stop{false};
  std::mutex mutex;
  Status first_error;
  auto work = [&](bool asks) {
    for (std::size_t i; (i = next.fetch_add(1)) < parts.size();) {
      if (asks && interrupt != nullptr && interrupt->requested()) stop = true;
      if (ins[i].get() < 0) continue;
      if (Status e = copy_at(ins[i].get(), out, sizes[i], offsets[i], stop); !e) {
        const std::lock_guard<std::mutex> lock(mutex);
        if (first_error) first_error = std::move(e);
        stop = true;
      }
    }
  };
  const unsigned threads = std::min<unsigned>(4, std::max(1U, std::thread::hardware_concurrency()));
  std::vector<std::jthread> helpers;
  for (unsigned t = 1; t < threads && t < parts.size(); ++t) helpers.emplace_back(work, false);
  work(true);
  helpers.clear();  // joins
  return first_error;
}

// Copies the quarantine lines of `in` to `out`, each line number moved by
// `shift`. A line is the number, a comma and two quoted fields; a line
// break inside the quotes is the row's own.
Status renumber_rest(int in, WriteBuffer& out, std::int64_t shift) {
  std::string buf(std::size_t{1} << 20, '\0');
  std::string piece;
  bool at_number = true, quoted = false;
  std::uint64_t number = 0;
  while (true) {
    const ssize_t r = ::read(in, buf.data(), buf.size());
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return IoError::from_errno(errno);
    if (r == 0) break;
    piece.clear();
    for (std::size_t i = 0; i < static_cast<std::size_t>(r); ++i) {
      const char c = buf[i];
      if (at_number) {
        if (c >= '0' && c <= '9') {
          number = number * 10 + static_cast<std::uint64_t>(c - '0');
          continue;
        }
        piece.append(
            std::to_string(static_cast<std::uint64_t>(static_cast<std::int64_t>(number) + shift)));
        at_number = false;
        number = 0;
      }
      piece.push_back(c);
      if (c == '"') quoted = !quoted;
      if (c == '\n' && !quoted) at_number = true;
    }
    if (Status e = out.append(piece); !e) return e;
  }
  return out.flush();
}

// One of the joined files: a replacement of its target, or the target
// itself when that is no regular file.
struct Joined {
  ReplacementFile replacement;
  bool replaced = false;
  std::optional<WriteBuffer> out;

  Status open(const std::string& path, Interrupt* interrupt) {
    struct stat st {};
    const bool other = ::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode);
    if (other && S_ISDIR(st.st_mode)) return IoError::from_errno(EISDIR);
    auto fd = other ? open_path(path, O_WRONLY | O_TRUNC, interrupt) : replacement.open(path);
    if (!fd) return std::move(*fd.error().io());
    replaced = !other;
    out.emplace(std::move(fd.value()), interrupt);
    return {};
  }
  ~Joined() {
    if (out) out->abandon();
  }
};

}  // namespace

Result<bool> set_up_part(PartRequest& request, FilePart& part, PartResult& out,
                         std::uint64_t& size) {
  FileJob& job = request.job;
  auto opened = open_path(job.input.path, O_RDONLY, job.interrupt);
  if (!opened) return named(std::move(*opened.error().io()), IoRole::Input, job.input.path);
  struct stat st {};
  if (::fstat(opened.value().get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    return named(IoError::from_errno(ESPIPE), IoRole::Input, job.input.path);
  }
  size = static_cast<std::uint64_t>(st.st_size);
  out.start = request.first ? 0 : std::min(request.start, size);
  opened.value().reset();
  out.first_line = request.first ? 1 : request.first_line;
  out.head_bytes = head_bytes();
  if (!request.first && out.start >= size) {
    // No row starts in the part: nothing to read, nothing written.
    out.end = size;
    out.at_end = true;
    out.carry = request.carry;
    out.start_carry = request.carry;
    return false;
  }
  part.pass.mid_table = !request.first;
  part.pass.first_line = out.first_line;
  part.start = out.start;
  if (request.guess) {
    const std::uint64_t from = request.start;
    part.place = [from, size](int fd, const Dialect& d) -> Result<std::uint64_t> {
      auto start = guess_row_start(fd, from, d);
      if (start && start.value() > size) return size;
      return start;
    };
  }
  part.stop = request.stop;
  if (!request.first && !PassCarry::unpack(request.carry, part.pass.first_line, part.pass.carry)) {
    return GleaveError(InvalidError{"the state handed to a part of the file is damaged"});
  }
  if (request.guess) {
    // A row in the middle of the table, the header's words kept: no blank
    // line just before, no row held back.
    PassCarry& c = part.pass.carry;
    c.first_row = false;
    c.after_blank = false;
    c.held.clear();
    c.held_count = 0;
  }
  out.start_carry = part.pass.carry.pack(out.first_line);
  return true;
}

void wrap_up_part(FilePart& part, std::uint64_t size, JobCounts&& counts, PartResult& out) {
  out.counts = std::move(counts);
  out.start = part.start;
  out.same_bytes = part.same_bytes;
  out.read_to_end = part.read_to_end;
  out.whole_text = part.whole_text;
  out.at_end = !part.pass.stopped;
  out.end = part.pass.stopped ? part.text_at + part.pass.end_offset : size;
  out.end_line = part.pass.stopped ? part.pass.end_line : 0;
  out.rule_line = part.rule_line;
  out.carry = part.pass.carry.pack(out.end_line);
}

Result<PartResult> repair_part(PartRequest& request) {
  FileJob& job = request.job;
  PartResult out;
  FilePart part;
  std::uint64_t size = 0;
  auto rows = set_up_part(request, part, out, size);
  if (!rows) return std::move(rows.error());
  if (!rows.value()) return out;
  job.part = &part;
  auto counts = run_file_job(job);
  job.part = nullptr;
  if (!counts) return std::move(counts.error());
  wrap_up_part(part, size, std::move(counts.value()), out);
  return out;
}

std::string pack_part(const PartResult& part) {
  Packer p;
  for (const std::uint64_t v : {part.start, part.end, std::uint64_t{part.at_end}, part.first_line,
                                part.end_line, std::uint64_t{part.same_bytes}, part.rule_line}) {
    p.u64(v);
  }
  p.str(part.carry);
  p.str(part.start_carry);
  const JobCounts& c = part.counts;
  for (const std::uint64_t v : {c.total_rows, c.gleaved_rows, c.repaired_rows, c.quarantined_rows,
                                c.inferred_columns, std::uint64_t{c.delimiter}}) {
    p.u64(v);
  }
  p.u64(c.input ? 1 : 0);
  if (c.input) pack_report(p, *c.input);
  return p.take();
}

std::optional<PartResult> unpack_part(std::string_view bytes) {
  Unpacker u(bytes);
  PartResult part;
  part.start = u.u64();
  part.end = u.u64();
  part.at_end = u.u64() != 0;
  part.first_line = u.u64();
  part.end_line = u.u64();
  part.same_bytes = u.u64() != 0;
  part.rule_line = u.u64();
  part.carry.assign(u.str());
  part.start_carry.assign(u.str());
  JobCounts& c = part.counts;
  c.total_rows = u.u64();
  c.gleaved_rows = u.u64();
  c.repaired_rows = u.u64();
  c.quarantined_rows = u.u64();
  c.inferred_columns = u.u64();
  c.delimiter = static_cast<unsigned char>(u.u64());
  if (u.u64() != 0) c.input = unpack_report(u);
  if (!u.done()) return std::nullopt;
  return part;
}

JobCounts add_part_counts(const std::vector<PartResult>& parts) {
  JobCounts sum;
  if (parts.empty()) return sum;
  sum = parts.front().counts;
  for (std::size_t i = 1; i < parts.size(); ++i) {
    const JobCounts& c = parts[i].counts;
    sum.total_rows += c.total_rows;
    sum.gleaved_rows += c.gleaved_rows;
    sum.repaired_rows += c.repaired_rows;
    sum.quarantined_rows += c.quarantined_rows;
    if (!sum.input || !c.input) continue;
    ProductCounts& r = sum.input->counts;
    const ProductCounts& part = c.input->counts;
    sum.input->dialect.replaced_bytes += c.input->dialect.replaced_bytes;
    sum.input->dialect.fallback_bytes += c.input->dialect.fallback_bytes;
    r.preamble_rows += part.preamble_rows;
    r.blank_rows += part.blank_rows;
    r.other_table_rows += part.other_table_rows;
    r.footnote_rows += part.footnote_rows;
    r.repeated_header_rows += part.repeated_header_rows;
    r.comment_rows += part.comment_rows;
    r.runaway_quotes += part.runaway_quotes;
  }
  return sum;
}

Status join_parts(const std::vector<PartFiles>& parts, const std::string& output,
                  const std::optional<std::string>& quarantine, Interrupt* interrupt) {
  Joined out, q;
  if (Status e = out.open(output, interrupt); !e)
    return named(std::move(e), IoRole::Output, output);
  if (quarantine) {
    if (Status e = q.open(*quarantine, interrupt); !e) {
      return named(std::move(e), IoRole::Quarantine, *quarantine);
    }
  }
  if (out.replaced) {
    // A regular file: every part at its own offset, side by side.
    if (Status e = copy_parts(parts, out.out->fd(), interrupt); !e) {
      return named(std::move(e), IoRole::Output, output);
    }
  }
  for (const PartFiles& part : parts) {
    if (!out.replaced && !part.output.empty()) {
      auto in = open_path(part.output, O_RDONLY, interrupt);
      if (!in) return named(std::move(*in.error().io()), IoRole::Input, part.output);
      if (Status e = copy_rest(in.value().get(), out.out->fd(), interrupt); !e) {
        return named(std::move(e), IoRole::Output, output);
      }
    }
    if (!quarantine || !part.quarantine) continue;
    auto qin = open_path(*part.quarantine, O_RDONLY, interrupt);
    if (!qin) return named(std::move(*qin.error().io()), IoRole::Input, *part.quarantine);
    Status e = part.line_shift == 0 ? copy_rest(qin.value().get(), q.out->fd(), interrupt)
                                    : renumber_rest(qin.value().get(), *q.out, part.line_shift);
    if (!e) return named(std::move(e), IoRole::Quarantine, *quarantine);
  }
  if (interrupt != nullptr && interrupt->requested_now()) {
    return IoError::from_fixed(IoFixed::Interrupted);
  }
  for (Joined* j : {&out, &q}) {
    if (!j->out) continue;
    const bool is_out = j == &out;
    const std::string& path = is_out ? output : *quarantine;
    const IoRole role = is_out ? IoRole::Output : IoRole::Quarantine;
    if (Status e = j->out->flush(); !e) return named(std::move(e), role, path);
    j->out.reset();
  }
  if (out.replaced) {
    if (Status e = out.replacement.commit(); !e) return named(std::move(e), IoRole::Output, output);
  }
  if (quarantine && q.replaced) {
    if (Status e = q.replacement.commit(); !e) {
      return named(std::move(e), IoRole::Quarantine, *quarantine);
    }
  }
  return {};
}

}  // namespace gleave
