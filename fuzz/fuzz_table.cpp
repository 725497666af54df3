// The table builder and its Arrow export: rows of any text, with any of the
// builder's options, built whole or over two ranges of rows, always export
// as arrays nanoarrow validates in full, with one value per row in every
// column; without type inference every value is the field's exact text and
// only cells a short row lacks are null.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/scan/parser.hpp"
#include "engine/table/batch_stream.hpp"
#include "engine/table/table_builder.hpp"
#include "fuzz/fuzz_common.hpp"

namespace {

using Fields = std::vector<std::string>;
using gleave::table::TableBuilder;
using gleave::table::TableOptions;

struct Releasing {
  ArrowSchema schema{};
  ArrowArray array{};
  ArrowArrayStream stream{};
  ArrowArrayView view{};
  bool view_made = false;
  ~Releasing() {
    if (view_made) ArrowArrayViewReset(&view);
    if (array.release != nullptr) array.release(&array);
    if (schema.release != nullptr) schema.release(&schema);
    if (stream.release != nullptr) stream.release(&stream);
  }
};

// Reads the table back through its stream, checking every batch in full;
// returns each column's cells (nullopt: null) when `texts`.
std::vector<std::vector<std::optional<std::string>>> read_back(gleave::table::ArrowTable&& table,
                                                               std::size_t rows,
                                                               std::size_t width) {
  std::vector<std::vector<std::optional<std::string>>> columns(width);
  Releasing r;
  FUZZ_CHECK(gleave::table::export_stream(std::move(table), &r.stream) == 0);
  FUZZ_CHECK(r.stream.get_schema(&r.stream, &r.schema) == 0);
  FUZZ_CHECK(static_cast<std::size_t>(r.schema.n_children) == width);
  FUZZ_CHECK(ArrowArrayViewInitFromSchema(&r.view, &r.schema, nullptr) == NANOARROW_OK);
  r.view_made = true;
  std::size_t seen = 0;
  while (true) {
    FUZZ_CHECK(r.stream.get_next(&r.stream, &r.array) == 0);
    if (r.array.release == nullptr) break;
    ArrowError error{};
    FUZZ_CHECK(ArrowArrayViewSetArray(&r.view, &r.array, &error) == NANOARROW_OK);
    if (ArrowArrayViewValidate(&r.view, NANOARROW_VALIDATION_LEVEL_FULL, &error) != NANOARROW_OK) {
      std::fprintf(stderr, "%s\n", error.message);
      fuzz::fail("exported array is valid");
    }
    for (std::size_t c = 0; c < width; ++c) {
      const ArrowArrayView* col = r.view.children[c];
      FUZZ_CHECK(col->length == r.array.length);
      const bool text = col->storage_type == NANOARROW_TYPE_STRING ||
                        col->storage_type == NANOARROW_TYPE_LARGE_STRING ||
                        col->storage_type == NANOARROW_TYPE_BINARY ||
                        col->storage_type == NANOARROW_TYPE_LARGE_BINARY ||
                        col->storage_type == NANOARROW_TYPE_STRING_VIEW ||
                        col->storage_type == NANOARROW_TYPE_BINARY_VIEW;
      for (std::int64_t i = 0; i < col->length; ++i) {
        if (ArrowArrayViewIsNull(col, i) || !text) {
          columns[c].emplace_back();
          continue;
        }
        const ArrowStringView v = ArrowArrayViewGetStringUnsafe(col, i);
        columns[c].emplace_back(std::string(v.data, static_cast<std::size_t>(v.size_bytes)));
      }
    }
    seen += static_cast<std::size_t>(r.array.length);
    r.array.release(&r.array);
  }
  FUZZ_CHECK(seen == rows);
  return columns;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const fuzz::Header h(data, size, 4);
  const std::uint8_t f = h.byte(0);
  TableOptions options;
  options.header = (f & 1) != 0;
  options.infer_types = (f & 2) != 0;
  options.string_views = (f & 4) != 0;
  options.decimal_comma = (f & 8) != 0;
  // Tiny limits reach the 64-bit offsets and the way out of views.
  if (f & 16) options.narrow_offsets_up_to = h.byte(3) % 64;
  if (options.header && (f & 32)) options.header_rows = 1 + h.byte(3) % 3;
  const unsigned char d = fuzz::pick_delimiter(h.byte(1), h.byte(2));

  std::vector<Fields> rows;
  gleave::ResilientParser parser(h.rest(), d, '"', true);
  for (auto row = parser.next_row(); row && rows.size() < 2000; row = parser.next_row())
    rows.push_back(std::move(*row));

  // Whole, or in two ranges cut at a row the input picks.
  const std::size_t header = options.header ? options.header_rows : 0;
  const std::size_t cut = (f & 64) && !rows.empty() ? h.byte(2) % (rows.size() + 1) : rows.size();
  TableOptions rest = options;
  rest.header = false;
  TableBuilder first(options), second(rest);
  std::size_t width = 0;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    std::vector<std::string_view> views(rows[i].begin(), rows[i].end());
    (i < std::max(cut, header) ? first : second).append_row(views);
    width = std::max(width, rows[i].size());
  }
  const std::size_t data_rows = rows.size() > header ? rows.size() - header : 0;
  TableBuilder* ranges[] = {&first, &second};
  auto table = TableBuilder::finish_ranges(ranges, 1 + h.byte(3) % 3);
  std::vector<std::string> formats;
  for (std::size_t c = 0; c < table.num_columns(); ++c)
    formats.emplace_back(table.column(c).format);
  const auto columns = read_back(std::move(table), data_rows, width);

  // Streamed: the schema a survey that keeps no value settles, then batches
  // of a few rows in it, give the same types and the same cells.
  TableOptions looking = options;
  looking.keep_values = false;
  TableBuilder survey(looking);
  for (const Fields& row : rows) {
    std::vector<std::string_view> views(row.begin(), row.end());
    survey.append_row(views);
  }
  const TableBuilder::Schema schema = survey.settle_schema();
  FUZZ_CHECK(schema.types.size() == width);
  gleave::table::BlockLimits limits;
  limits.rows = 1 + h.byte(1) % 5;
  std::vector<std::vector<std::optional<std::string>>> streamed(width);
  std::size_t streamed_rows = 0;
  bool settles = false;
  try {
    gleave::table::BatchMaker maker(
        options, schema, header, limits,
        [&](gleave::table::ArrowTable&& batch) {
          const auto n = static_cast<std::size_t>(batch.num_rows());
          const auto got = read_back(std::move(batch), n, width);
          for (std::size_t c = 0; c < width; ++c)
            streamed[c].insert(streamed[c].end(), got[c].begin(), got[c].end());
          streamed_rows += n;
          return true;
        },
        nullptr, 1 + h.byte(2) % 3);  // built on the calling thread, or on the pool
    for (const Fields& row : rows) {
      maker.append_row_with([&](auto&& visit) {
        for (const std::string& v : row) visit(std::string_view(v));
      });
    }
    maker.finish();
    settles = maker.schema_settles_every_row();
  } catch (const gleave::table::SchemaMisfit&) {
    // Only offsets made tiny on purpose are outgrown by a batch.
    FUZZ_CHECK((f & 16) != 0);
    return 0;
  }
  // The batches, built in any order, come in row order; a schema settled
  // on every row is found to be so.
  FUZZ_CHECK(streamed_rows == data_rows && streamed == columns && settles);
  if ((f & 16) == 0) {
    for (std::size_t c = 0; c < width; ++c) FUZZ_CHECK(formats[c] == schema.types[c].format());
  }
  if (options.infer_types) return 0;
  for (std::size_t c = 0; c < width; ++c) {
    for (std::size_t r = 0; r < data_rows; ++r) {
      const Fields& row = rows[header + r];
      const auto& cell = columns[c][r];
      FUZZ_CHECK(c < row.size() ? cell && *cell == row[c] : !cell);
    }
  }
  return 0;
}
