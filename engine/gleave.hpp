// The repair pass (gleave_slice) and the file front end (gleave_file), with
// the byte-exact writers of the output CSV and the quarantine CSV.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "error.hpp"
#include "parser.hpp"

namespace gleave {

struct GleaveOptions {
  std::optional<unsigned char> delimiter;  // absent: sniffed
  unsigned char quote_char = '"';
  bool fill_ragged_rows = true;
  bool merge_overflow = true;
  std::optional<std::uint64_t> expected_columns;  // absent: inferred; 0: no width rule
  bool repair_quotes = true;
};

struct QuarantineRecord {
  std::uint64_t line = 0;  // the parser's line counter right after the row
  std::string reason;
  std::vector<std::string> fields;  // as parsed: not padded, merged or re-quoted
};

// A growable byte buffer that reports exhaustion instead of throwing. Large
// buffers come straight from the kernel, with transparent huge pages asked
// for, so that reading a big file costs few page faults.
class ByteBuffer {
 public:
  ByteBuffer() = default;
  ByteBuffer(const ByteBuffer&) = delete;
  ByteBuffer& operator=(const ByteBuffer&) = delete;
  ByteBuffer(ByteBuffer&& o) noexcept;
  ByteBuffer& operator=(ByteBuffer&& o) noexcept;
  ~ByteBuffer();

  bool reserve(std::size_t capacity) noexcept;
  std::string_view view() const noexcept { return std::string_view(data_, size_); }
  char* data() noexcept { return data_; }
  std::size_t size() const noexcept { return size_; }
  std::size_t capacity() const noexcept { return cap_; }
  void set_size(std::size_t n) noexcept { size_ = n; }

 private:
  void release() noexcept;

  char* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t cap_ = 0;
  bool mapped_ = false;
};

// The kept rows of a pass. A row whose line was plain (see
// ResilientParser::take_plain_line) is stored as the span of that line: in the
// input text itself when the table owns the text, else copied once into the
// arena. Any other row is stored as its fields back to back in the arena with
// one end offset per field. Millions of rows cost a few flat buffers, not one
// heap object per field.
class RowTable {
 public:
  RowTable() = default;
  // A table that keeps `source` and refers into it for plain rows.
  RowTable(ByteBuffer&& source, unsigned char delimiter)
      : source_(std::move(source)), owns_source_(true), delimiter_(delimiter) {}

  std::size_t size() const noexcept { return rows_.size(); }
  std::size_t width(std::size_t r) const noexcept;
  std::string_view field(std::size_t r, std::size_t f) const noexcept;
  std::vector<std::string> row_strings(std::size_t r) const;

  // Calls visit(std::string_view) for each field of row r, in order.
  template <class Visit>
  void for_each_field(std::size_t r, Visit&& visit) const {
    const Entry& e = rows_[r];
    if (e.kind() == Kind::Fields) {
      std::size_t b = e.begin == 0 ? 0 : field_ends_[e.begin - 1];
      for (std::size_t i = e.begin; i < e.end(); ++i) {
        visit(std::string_view(bytes_.data() + b, field_ends_[i] - b));
        b = field_ends_[i];
      }
      return;
    }
    const char* const line = line_base(e) + e.begin;
    const char* const end = line_base(e) + e.end();
    const char* field = line;
    const char* p = line;
#if defined(__SSE2__)
    // Fields are short: find delimiters sixteen bytes at a time rather than
    // with one library call per field.
    const __m128i d = _mm_set1_epi8(static_cast<char>(delimiter_));
    for (; end - p >= 16; p += 16) {
      auto hits = static_cast<unsigned>(_mm_movemask_epi8(
          _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), d)));
      for (; hits != 0; hits &= hits - 1) {
        const char* stop = p + __builtin_ctz(hits);
        visit(std::string_view(field, static_cast<std::size_t>(stop - field)));
        field = stop + 1;
      }
    }
#endif
    for (; p < end; ++p) {
      if (static_cast<unsigned char>(*p) == delimiter_) {
        visit(std::string_view(field, static_cast<std::size_t>(p - field)));
        field = p + 1;
      }
    }
    visit(std::string_view(field, static_cast<std::size_t>(end - field)));
  }

  // The delimiter that splits plain lines, and their width when the pass
  // holds every row to one (0: count the delimiters).
  void set_layout(unsigned char delimiter, std::uint64_t plain_width) noexcept {
    delimiter_ = delimiter;
    plain_width_ = plain_width;
  }
  void push_row(const Row& row);
  // A plain line split at each delimiter; when the table owns the text, the
  // line must lie inside it.
  void push_plain_line(std::string_view line, bool ascii);
  // Whether every byte of row r is known to be below 0x80.
  bool is_ascii_row(std::size_t r) const noexcept {
    return rows_[r].ascii();
  }
  // Drops the source text when no row refers to it.
  void release_unused_source() noexcept;

 private:
  enum class Kind : std::uint8_t { Fields, SourceLine, ArenaLine };
  // Fields: [begin, end) are field indices; lines: byte offsets. The kind
  // sits in the top two bits of the second word and an all-ASCII flag in the
  // bit below, keeping an entry 16 bytes.
  struct Entry {
    std::uint64_t begin;
    std::uint64_t end_kind;
    static constexpr int kShift = 62;
    static constexpr std::uint64_t kAscii = std::uint64_t{1} << 61;
    static Entry make(std::uint64_t b, std::uint64_t e, Kind k, bool ascii = false) noexcept {
      return Entry{b, e | (static_cast<std::uint64_t>(k) << kShift) | (ascii ? kAscii : 0)};
    }
    std::uint64_t end() const noexcept { return end_kind & (kAscii - 1); }
    Kind kind() const noexcept { return static_cast<Kind>(end_kind >> kShift); }
    bool ascii() const noexcept { return (end_kind & kAscii) != 0; }
  };
  const char* line_base(const Entry& e) const noexcept {
    return e.kind() == Kind::SourceLine ? source_.view().data() : bytes_.data();
  }

  ByteBuffer source_;
  bool owns_source_ = false;
  unsigned char delimiter_ = ',';
  std::uint64_t plain_width_ = 0;
  std::string bytes_;
  std::vector<std::size_t> field_ends_;
  std::vector<Entry> rows_;
};

// The counts of a pass: every row the parser returned is either kept
// (gleaved, possibly repaired) or quarantined.
struct GleaveCounts {
  std::uint64_t total_rows = 0;
  std::uint64_t gleaved_rows = 0;
  std::uint64_t repaired_rows = 0;
  std::uint64_t quarantined_rows = 0;
  std::uint64_t inferred_columns = 0;  // the expected width in force
};

struct GleaveOutcome : GleaveCounts {
  RowTable rows;
  std::vector<QuarantineRecord> quarantine;
  unsigned char delimiter = ',';  // in force, given or sniffed

  // The delimiter as a character: its code point equals the byte.
  char32_t detected_delimiter() const noexcept { return delimiter; }
};

// Sorts every row of the text into kept rows (unchanged, padded or merged) and
// quarantine records. Never fails on any input.
GleaveOutcome gleave_slice(std::string_view text, const GleaveOptions& options);
// The same over a text that the outcome then keeps: plain rows are not copied.
GleaveOutcome gleave_slice(ByteBuffer&& text, const GleaveOptions& options);

struct SummaryRecord : GleaveCounts {
  char32_t detected_delimiter = U',';
};

// Repairs a file: reads all of input_path, writes the kept rows to
// output_path and, when a quarantine path is given, the rejected rows there.
Result<SummaryRecord> gleave_file(const std::string& input_path, const std::string& output_path,
                                  const std::optional<std::string>& quarantine_path,
                                  const GleaveOptions& options);

// Reads a whole file into memory; interrupted reads are repeated.
Result<ByteBuffer> read_file(const std::string& path);

// Appends one output line: the fields joined by the delimiter, quoted where a
// field holds the quote, the delimiter, CR or LF, then LF.
void append_csv_line(std::string& out, const Row& row, unsigned char delimiter,
                     unsigned char quote_char);

// Appends one quarantine line: line,"reason","raw content" and LF.
void append_quarantine_line(std::string& out, const QuarantineRecord& record,
                            unsigned char delimiter);

inline constexpr std::string_view kQuarantineHeader = "line,reason,raw_content\n";

}  // namespace gleave
