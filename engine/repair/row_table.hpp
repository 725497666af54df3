// RowTable: the kept rows of a pass in a few flat buffers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/base/byte_buffer.hpp"
#include "engine/scan/parser.hpp"
#include "engine/scan/simd.hpp"

namespace gleave {

// The kept rows of a pass. A row whose line was plain (see
// ResilientParser::take_plain_lines) is stored as the span of that line: in the
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
    // Fields are short: take the delimiters of 64 bytes at a time as one
    // mask rather than searching once per field.
    const simd::Targets d{{delimiter_, delimiter_, delimiter_, delimiter_}, false};
    while (end - p >= kShortTail) {
      const std::size_t len = end - p < 64 ? static_cast<std::size_t>(end - p) : 64;
      for (std::uint64_t hits = simd::match(p, len, d); hits != 0; hits &= hits - 1) {
        const char* stop = p + __builtin_ctzll(hits);
        visit(std::string_view(field, static_cast<std::size_t>(stop - field)));
        field = stop + 1;
      }
      p += len;
    }
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
  bool is_ascii_row(std::size_t r) const noexcept { return rows_[r].ascii(); }
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
  static constexpr std::ptrdiff_t kShortTail = 16;  // bytes left to a byte-by-byte loop
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

}  // namespace gleave
