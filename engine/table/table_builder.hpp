// Arrow tables straight from rows of fields: TableBuilder appends each field
// to a per-column string buffer (offsets and bytes) while narrowing the
// column's possible types; finish() turns every column into its Arrow form
// (typed where no value would change) and ArrowTable hands the buffers out
// through the Arrow C stream interface without copying them.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "engine/repair/row_table.hpp"
#include "engine/table/buffer.hpp"
#include "engine/table/value_parse.hpp"

namespace gleave::table {

struct TableOptions {
  // The first row appended names the columns instead of holding data.
  bool header = true;
  // Type each column over all its values; else every column is a string
  // column of the exact field texts.
  bool infer_types = true;
  // Numbers may use a decimal comma: only sound when the delimiter is not a
  // comma, which the caller knows.
  bool decimal_comma = false;
  // A column's offsets are 32-bit while its text is at most this long, then
  // 64-bit. Tests lower it to reach the 64-bit path without gigabytes.
  std::size_t narrow_offsets_up_to = UINT32_MAX;
  // Text columns as Arrow string views ("vu", "vz": sixteen bytes a value,
  // short values inline) instead of offsets: the form polars keeps its
  // strings in, so that it takes them over without converting them.
  bool string_views = false;
  // With header: the header spans this many rows, combined into one name
  // per column (see combine_header_rows).
  std::size_t header_rows = 1;
  // False: the values are looked at, not kept, so that a text read twice
  // settles its columns' types on the first reading (settle_schema) and
  // streams its batches on the second.
  bool keep_values = true;
};

// One finished column: its Arrow format string and the buffers of its one
// Arrow array.
struct ArrowColumn {
  std::string name;
  // A static literal: "l", "g", "b", "tdD", "tsu:", "tsn:", "tsu:UTC", "u", "U", "z", "Z",
  // "vu", "vz".
  const char* format = "";
  std::int64_t length = 0;
  std::int64_t null_count = 0;
  Buffer validity;  // empty when null_count is 0
  Buffer values;    // fixed-width values, the value bits of "b", the offsets or the views
  // The bytes of a string or binary column; of views, their one data
  // buffer, empty when every value is inline.
  Buffer data;
};

// One record batch of a finished table: its columns' arrays, all of the
// same length.
struct ArrowBatch {
  std::vector<ArrowColumn> columns;
  std::int64_t rows = 0;
};

// The finished table: owns every buffer until it is exported. Built in one
// piece it is one batch; built over consecutive ranges of rows, one batch a
// range, every batch with the same names and types.
class ArrowTable {
 public:
  ArrowTable() = default;
  ArrowTable(std::vector<ArrowColumn> columns, std::int64_t rows, std::size_t names_repaired);
  ArrowTable(std::vector<ArrowBatch> batches, std::size_t names_repaired);

  std::int64_t num_rows() const noexcept { return rows_; }
  std::size_t num_columns() const noexcept {
    return batches_.empty() ? 0 : batches_[0].columns.size();
  }
  // A column's name and type; of a table of one batch, its values too.
  const ArrowColumn& column(std::size_t i) const noexcept { return batches_[0].columns[i]; }
  std::size_t num_batches() const noexcept { return batches_.size(); }
  const ArrowBatch& batch(std::size_t b) const noexcept { return batches_[b]; }
  // Header cells that were not valid UTF-8 (or held a NUL byte) and were
  // named with U+FFFD in place of the bad bytes: Arrow names are UTF-8 C
  // strings. Data cells are never changed; such a column is binary.
  std::size_t names_repaired() const noexcept { return names_repaired_; }

  // The schema: a struct with one nullable child per column. The caller
  // owns *out and calls its release. Returns 0, or an errno value.
  int export_schema(ArrowSchema* out) const noexcept;
  // Moves every buffer into a table the batch shares and exports its first
  // batch as one struct array (the whole table when it is one batch); the
  // table is left empty. Returns 0, or ENOMEM (the table then is unchanged).
  int export_array(ArrowArray* out) noexcept;

 private:
  std::vector<ArrowBatch> batches_;
  std::int64_t rows_ = 0;
  std::size_t names_repaired_ = 0;
};

// Moves the table into a stream of its record batches. Returns 0, or ENOMEM
// (the table then is unchanged).
int export_stream(ArrowTable&& table, ArrowArrayStream* out) noexcept;

// A finished table shared by everything exported from it: each batch and
// each of its columns holds a reference, so the table lives until the last
// of them is released, and a stream over it can be made any number of times.
using SharedTable = std::shared_ptr<const ArrowTable>;
// Batch `b` of the table as one struct array. Returns 0, ENOMEM, or EINVAL
// (no such batch, or buffers that do not make a valid array).
int export_array(const SharedTable& table, ArrowArray* out, std::size_t b = 0) noexcept;
// A stream of the table's record batches, in order. Returns 0, or ENOMEM.
int export_stream(SharedTable table, ArrowArrayStream* out) noexcept;

// A value (or a row) that the schema a stream settled cannot hold: the
// batch is not made, and the stream ends with this message.
class SchemaMisfit : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class TableBuilder {
 public:
  // What a column's values may still be.
  enum Candidate : unsigned {
    kInt = 1,
    kFloatPoint = 2,
    kFloatComma = 4,
    kBool = 8,
    kDate = 16,
    kTimestamp = 32,
  };

  // What the values of a column (or of its part in one range) allow: the
  // type decision is made on these, combined over every range.
  struct Facts {
    std::size_t cells = 0;
    std::size_t empties = 0;
    bool utf8 = true;
    unsigned candidates = ~0u;
    bool seen_offset = false;
    bool seen_local = false;
    unsigned max_fraction = 0;
    std::int64_t min_seconds = INT64_MAX;
    std::int64_t max_seconds = INT64_MIN;
    // Text kept as string views throughout, and the bytes of its values too
    // long to be inline.
    bool in_views = true;
    std::size_t long_bytes = 0;

    void add(const Facts& o) noexcept;
    // Learns from one value that is not empty: rules types out, cheapest
    // tests first; a type once ruled out is never tested again. `utf8`:
    // the value is known to be valid UTF-8.
    void narrow(std::string_view f, bool utf8, bool infer) noexcept;
  };
  // How a text column is laid out, decided once for every range.
  enum class StringLayout { kViews, kNarrow, kLarge };
  // The type a column is given: one candidate (0: text) and its details.
  struct ColumnType {
    unsigned kind = 0;
    bool nanos = false;  // timestamps in nanoseconds, else microseconds
    bool utc = false;    // timestamps with an offset, as UTC
    bool utf8 = true;    // text: utf8, else binary
    StringLayout layout = StringLayout::kNarrow;
    // The type every range's facts allow, as one builder of every row
    // would give it.
    static ColumnType of(const TableOptions& options, const Facts& whole, StringLayout layout);
    // Whether every value with these facts converts to the type unchanged.
    bool holds(const Facts& part) const noexcept;
    const char* format() const noexcept;
    // "int64", "timestamp[us]", ...: for messages.
    const char* name() const noexcept;
  };
  // The names and types of a table settled before its rows are built, so
  // that its batches can be handed out as they are made.
  struct Schema {
    std::vector<std::string> names;
    std::vector<ColumnType> types;
    std::size_t names_repaired = 0;
    bool positional = false;  // column_1, column_2, ...: no header named them
  };
  explicit TableBuilder(TableOptions options = {}) : options_(options) {}
  TableBuilder(const TableBuilder&) = delete;
  TableBuilder& operator=(const TableBuilder&) = delete;
  TableBuilder(TableBuilder&&) = default;
  TableBuilder& operator=(TableBuilder&&) = default;

  // One row. `utf8` promises that every field is valid UTF-8 (a row whose
  // bytes are all below 0x80 is); false means unknown.
  void append_row(std::span<const std::string_view> fields, bool utf8 = false) {
    append_row_with(
        [&](auto&& visit) {
          for (std::string_view f : fields) visit(f);
        },
        utf8);
  }
  // One row given as a function that calls its argument with each field.
  template <class ForEachField>
  void append_row_with(ForEachField&& for_each, bool utf8 = false) {
    if (expect_header_) {
      for_each([&](std::string_view f) { header_.emplace_back(f); });
      if (options_.header_rows > 1) {
        header_parts_.push_back(std::move(header_));
        header_.clear();
        if (header_parts_.size() < options_.header_rows) return;
        header_ = combine_header_parts();
      }
      expect_header_ = false;
      ensure_columns(header_.size());
      return;
    }
    std::size_t i = 0;
    const bool infer = options_.infer_types;
    for_each([&](std::string_view f) {
      if (i == columns_.size()) add_column();
      columns_[i++].append(f, utf8, infer);
    });
    end_row(i);
  }
  // One row that is a line of the text: its fields are the pieces between
  // the delimiters, which are ASCII, so a line of valid UTF-8 splits into
  // fields of valid UTF-8. `ascii`: the line is known to be valid UTF-8
  // (no byte of it is 0x80 or above, or it was checked); false: unknown.
  void append_line(std::string_view line, unsigned char delimiter, bool ascii);
  // Every row of the table, in one pass over it.
  void append_rows(const RowTable& rows) {
    for (std::size_t r = 0; r < rows.size(); ++r) {
      append_row_with([&](auto&& visit) { rows.for_each_field(r, visit); }, rows.is_ascii_row(r));
    }
  }

  std::size_t num_rows() const noexcept { return rows_; }
  std::size_t num_columns() const noexcept { return columns_.size(); }

  // Before the first row of a batch of `schema`: its integer, float and
  // date columns convert each value as it comes instead of keeping its
  // text. When a value is not of its column's type, misfit() says so and
  // the rows must be taken again by a builder without targets (which
  // keeps the texts that the messages and the widening need).
  void set_targets(const Schema& schema);
  bool misfit() const noexcept;

  // The bytes each column's buffers hold (its cells, then its text), so
  // that a builder of a similar range can reserve them at once instead of
  // growing to them.
  std::vector<std::size_t> buffer_sizes() const;
  // Makes the columns of `sizes` (as buffer_sizes gives them) and reserves
  // that much in each. Only before the first row.
  void reserve_like(const std::vector<std::size_t>& sizes);

  // Builds the Arrow columns, freeing each column's text once it is built;
  // with several columns, on `threads` threads (at most two are useful on
  // most machines; 1 builds them on the calling thread). The builder is
  // left empty. Throws std::bad_alloc when memory runs out.
  ArrowTable finish(unsigned threads = 2);
  // One table from builders that took consecutive ranges of its rows, each
  // range becoming one batch. The first builder gives the options and the
  // names (its header row); the others were made with header = false and
  // the same options otherwise. Every column gets the type its values take
  // over all ranges, as if one builder had taken every row: a column of
  // integers in one range and floats in another is float, one value of text
  // anywhere makes it text. Ranges without rows give no batch (unless no
  // range has any). Builds on `threads` threads, freeing each range's
  // column once built; every builder is left empty. Throws std::bad_alloc.
  static ArrowTable finish_ranges(std::span<TableBuilder* const> ranges, unsigned threads = 2);

  // The names (of the header, or positional) and the type each column's
  // values allow, over every row taken. Of a builder with keep_values
  // false, made to take every row of a text before it is read again.
  Schema settle_schema();
  // The rows taken as one record batch of `schema`, named as it names the
  // columns; the builder is left empty for the next rows (header = false).
  // A value the schema's type does not hold unchanged, or a row wider than
  // the schema, is never built into the wrong type: SchemaMisfit names it.
  // `first_row`: the table's row number of the first row taken, for the
  // message. Throws SchemaMisfit or std::bad_alloc.
  ArrowTable finish_batch(const Schema& schema, std::uint64_t first_row);
  // For a schema settled on a head of the rows: each column whose values
  // taken since the last batch it does not hold unchanged becomes text
  // (binary when a value is not UTF-8), and a row wider than the schema
  // adds text columns (named as a header of that width names them), so
  // that no later text is lost.
  // Returns what changed, one line a column naming its first value that
  // did not fit (`first_row` numbers the rows, as in finish_batch); empty
  // when the schema holds every value.
  std::string widen_to_fit(Schema& schema, std::uint64_t first_row) const;
  // Adds what the values taken since the last batch allow to `seen` (one
  // a column, grown as needed), so that a reading of every row in batches
  // learns what a builder of every row would.
  void add_facts(std::vector<Facts>& seen) const;
  // Whether `schema` types every column as `seen` (the facts of every row)
  // does: the types settled on a head then are those of every row.
  bool settles(const Schema& schema, std::vector<Facts> seen) const;

 private:
  // The layout one builder taking every row would have given: string views
  // while their data fits 32-bit offsets, else offsets, 64-bit past 2 GiB.
  // `text_bytes()` sums the column's bytes over the ranges (asked only when
  // needed: it may scan views).
  template <class TextBytes>
  static StringLayout string_layout(const TableOptions& options, const Facts& whole,
                                    TextBytes&& text_bytes);

  class ColumnBuilder {
   public:
    ColumnBuilder(std::size_t missing_rows, unsigned candidates, std::size_t narrow_limit,
                  bool views, bool keep);
    void append(std::string_view f, bool utf8, bool infer) {
      if (target_ != 0) {
        append_typed(f, utf8, infer);
        return;
      }
      if (!keep_) {
      } else if (in_views_) {
        append_view(f);
      } else {
        append_text(f);
      }
      if (!present_.empty()) [[unlikely]]
        mark_present(cells_, true);
      ++cells_;
      if (f.empty()) {
        ++empties_;
        return;
      }
      facts_.narrow(f, utf8, infer);
    }
    void append_missing();
    // Before the first cell: the column's values will be of `kind` (an
    // integer, float or date type), so each is converted as it comes and
    // its text is not kept; a value that is not of it marks the column
    // misfit (its cells are then of no use).
    void set_target(unsigned kind);
    bool misfit() const noexcept { return misfit_; }
    std::size_t cell_bytes() const noexcept {
      return target_ != 0 ? typed_.size() : in_views_ ? views_.size() : offsets_.size();
    }
    std::size_t data_bytes() const noexcept { return data_.size(); }
    void reserve(std::size_t cell_bytes, std::size_t data_bytes) {
      (target_ != 0 ? typed_ : in_views_ ? views_ : offsets_).reserve(cell_bytes);
      data_.reserve(data_bytes);
    }
    Facts facts(bool views_asked) const noexcept;
    // The bytes of every value.
    std::size_t text_bytes() const noexcept;
    // At least text_bytes(), known without a look at every view.
    std::size_t text_bytes_bound() const noexcept {
      return in_views_ ? data_.size() + 12 * cells_ : data_.size();
    }
    // This range's part of the column, typed as `type` says; its own
    // buffers are freed.
    ArrowColumn finish(std::string name, const TableOptions& options, const ColumnType& type);
    // The first cell whose value `type` does not hold, and its text.
    std::optional<std::pair<std::size_t, std::string>> first_misfit(const ColumnType& type) const;

   private:
    void append_text(std::string_view f) {
      data_.append_short(f.data(), f.size());
      // 32-bit offsets while the column's text fits them: half the memory
      // of 64-bit ones, and the offsets Arrow's "u" takes as they are.
      if (data_.size() <= narrow_limit_) [[likely]] {
        offsets_.push(static_cast<std::uint32_t>(data_.size()));
      } else {
        push_wide_offset();
      }
    }
    // A string view of the value: values of up to twelve bytes live in
    // the view itself, longer ones in data_.
    void append_view(std::string_view f) {
      const std::size_t n = f.size();
      std::uint8_t v[16] = {};
      const auto len = static_cast<std::uint32_t>(n);
      std::memcpy(v, &len, 4);
      if (n <= 12) {
        Buffer::copy_short(v + 4, f.data(), n);
      } else {
        if (data_.size() + n > view_data_limit_) [[unlikely]] {
          leave_views();
          append_text(f);
          return;
        }
        const auto offset = static_cast<std::uint32_t>(data_.size());
        std::memcpy(v + 4, f.data(), 4);
        std::memcpy(v + 12, &offset, 4);
        data_.append_short(f.data(), n);
      }
      views_.append_short(v, 16);
    }
    void append_typed(std::string_view f, bool utf8, bool infer);
    template <class T>
    void push_typed(T value, bool valid);
    // Views hold offsets of 32 bits into one data buffer: past that the
    // column goes on with offsets (and makes views at the end if it can).
    void leave_views();
    void push_wide_offset();
    void mark_present(std::size_t cell, bool present);
    // Calls visit(i, value) for every cell with a value (present and not
    // empty) and returns the number of the others.
    template <class Visit>
    std::int64_t for_each_value(Visit&& visit) const;
    void finish_strings(ArrowColumn& out, bool infer, StringLayout layout, bool utf8);
    void make_views(ArrowColumn& out, bool utf8);
    template <class T, class Parse>
    void finish_fixed(ArrowColumn& out, Parse&& parse);

    Buffer views_;    // while in_views_: sixteen bytes a cell
    Buffer offsets_;  // otherwise: cells_ + 1 of them, uint32 until wide_, then int64
    Buffer data_;
    Buffer present_;  // bitmap of cells that exist; empty while all do
    std::size_t cells_ = 0;
    std::size_t empties_ = 0;   // cells of no bytes, missing ones included
    std::size_t narrow_limit_;  // 0 once wide_
    std::size_t view_data_limit_;
    bool in_views_;
    bool wide_ = false;
    bool keep_;    // false: only the facts are learnt
    Facts facts_;  // its cells and empties are counted above
    // With a target: the converted values and the bitmap of those not null.
    unsigned target_ = 0;
    bool misfit_ = false;
    Buffer typed_;
    Buffer valid_;
  };

  void ensure_columns(std::size_t width) {
    while (columns_.size() < width) add_column();
  }
  void add_column() {
    const unsigned comma = options_.decimal_comma ? unsigned{kFloatComma} : 0u;
    columns_.emplace_back(rows_, kInt | kFloatPoint | comma | kBool | kDate | kTimestamp,
                          std::min<std::size_t>(options_.narrow_offsets_up_to, UINT32_MAX),
                          options_.string_views, options_.keep_values);
  }
  // Pads the row after its `filled` fields with missing cells.
  void end_row(std::size_t filled) {
    for (; filled < columns_.size(); ++filled) columns_[filled].append_missing();
    ++rows_;
  }

  std::vector<std::string> combine_header_parts();
  // The header's names (repaired to UTF-8, made unique) or positional ones.
  std::vector<std::string> column_names(std::size_t width, std::size_t& repaired);

  TableOptions options_;
  bool expect_header_ = options_.header;
  std::vector<std::string> header_;
  std::vector<std::vector<std::string>> header_parts_;  // rows of a header not yet complete
  std::vector<ColumnBuilder> columns_;
  std::size_t rows_ = 0;
};

}  // namespace gleave::table
