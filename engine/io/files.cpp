#include "files.hpp"

#include <deque>

#include "gleave.hpp"
#include "writers.hpp"

namespace gleave {

namespace {

// Streams kept rows to the output file as the pass produces them; quarantine
// records (where each rejected row stands in the input) wait until the
// output is complete.
struct FileSink {
  WriteBuffer& out;
  LineWriter writer;
  unsigned char quote_char;
  std::deque<QuarantineRecord>& quarantine;
  std::string line;
  std::optional<IoError> error;

  void begin(unsigned char delimiter, std::uint64_t) { writer = LineWriter(delimiter, quote_char); }
  bool keep(const Row& row, const RowVerdict&) {
    line.clear();
    writer.append_line(line, row);
    error = out.append(line);
    return !error;
  }
  bool keep_line(std::string_view plain, bool) {
    error = out.append(plain, '\n');
    return !error;
  }
  bool reject(const RowVerdict& verdict, const Row&) {
    quarantine.push_back(QuarantineRecord::of(verdict));
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

  std::deque<QuarantineRecord> quarantine;
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
      QuarantineLines lines(input.value().view(), counts.delimiter, options,
                            counts.inferred_columns);
      std::string line;
      for (const auto& record : quarantine) {
        line.clear();
        append_quarantine_line(line, lines, record);
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
