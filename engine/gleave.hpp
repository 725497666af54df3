// The repair pass (gleave_slice) and the file front end (gleave_file), with
// the byte-exact writers of the output CSV and the quarantine CSV.
#pragma once

#include <cstddef>
#include <cstdint>
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

// Kept rows stored in one arena: all field bytes back to back, the end offset
// of every field, and for every row the index of its last field end. Millions
// of rows cost three flat buffers, not one heap object per field.
class RowTable {
 public:
  std::size_t size() const noexcept { return row_ends_.size(); }
  std::size_t width(std::size_t r) const noexcept { return row_ends_[r] - first_field(r); }
  std::string_view field(std::size_t r, std::size_t f) const noexcept {
    const std::size_t i = first_field(r) + f;
    const std::size_t b = i == 0 ? 0 : field_ends_[i - 1];
    return std::string_view(bytes_.data() + b, field_ends_[i] - b);
  }
  // The bytes of all fields of row r, back to back.
  std::string_view row_bytes(std::size_t r) const noexcept {
    const std::size_t f0 = first_field(r);
    const std::size_t b = f0 == 0 ? 0 : field_ends_[f0 - 1];
    const std::size_t e = row_ends_[r] == f0 ? b : field_ends_[row_ends_[r] - 1];
    return std::string_view(bytes_.data() + b, e - b);
  }
  std::vector<std::string> row_strings(std::size_t r) const;
  void push_row(const Row& row);
  void shrink_to_fit();

 private:
  std::size_t first_field(std::size_t r) const noexcept { return r == 0 ? 0 : row_ends_[r - 1]; }

  std::string bytes_;
  std::vector<std::size_t> field_ends_;
  std::vector<std::size_t> row_ends_;
};

struct GleaveOutcome {
  RowTable rows;
  std::vector<QuarantineRecord> quarantine;
  std::uint64_t total_rows = 0;
  std::uint64_t gleaved_rows = 0;
  std::uint64_t repaired_rows = 0;
  std::uint64_t quarantined_rows = 0;
  std::uint64_t inferred_columns = 0;
  unsigned char delimiter = ',';  // in force, given or sniffed

  // The delimiter as a character: its code point equals the byte.
  char32_t detected_delimiter() const noexcept { return delimiter; }
};

// Sorts every row of the text into kept rows (unchanged, padded or merged) and
// quarantine records. Never fails on any input.
GleaveOutcome gleave_slice(std::string_view text, const GleaveOptions& options);

struct SummaryRecord {
  std::uint64_t total_rows = 0;
  std::uint64_t gleaved_rows = 0;
  std::uint64_t repaired_rows = 0;
  std::uint64_t quarantined_rows = 0;
  std::uint64_t inferred_columns = 0;
  char32_t detected_delimiter = U',';
};

// Repairs a file: reads all of input_path, writes the kept rows to
// output_path and, when a quarantine path is given, the rejected rows there.
Result<SummaryRecord> gleave_file(const std::string& input_path, const std::string& output_path,
                                  const std::optional<std::string>& quarantine_path,
                                  const GleaveOptions& options);

// A growable byte buffer that reports exhaustion instead of throwing.
class ByteBuffer {
 public:
  ByteBuffer() = default;
  ByteBuffer(const ByteBuffer&) = delete;
  ByteBuffer& operator=(const ByteBuffer&) = delete;
  ByteBuffer(ByteBuffer&& o) noexcept : data_(o.data_), size_(o.size_), cap_(o.cap_) {
    o.data_ = nullptr;
    o.size_ = o.cap_ = 0;
  }
  ByteBuffer& operator=(ByteBuffer&& o) noexcept;
  ~ByteBuffer();

  bool reserve(std::size_t capacity) noexcept;
  std::string_view view() const noexcept { return std::string_view(data_, size_); }
  char* data() noexcept { return data_; }
  std::size_t size() const noexcept { return size_; }
  std::size_t capacity() const noexcept { return cap_; }
  void set_size(std::size_t n) noexcept { size_ = n; }

 private:
  char* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t cap_ = 0;
};

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
