#include "engine/split/part_table.hpp"

#include <fcntl.h>

#include <algorithm>
#include <memory>
#include <utility>

#include "engine/base/fd.hpp"
#include "engine/io/windowed.hpp"
#include "engine/io/writers.hpp"
#include "engine/scan/text.hpp"
#include "engine/table/table_sink.hpp"

namespace gleave {

namespace {

using table::TableBuilder;

// The part's kept rows into a builder of the whole part, its set-aside
// rows into quarantine lines.
struct PartSink : table::TableSink<PartSink, TableBuilder> {
  PartSink(const table::TableOptions& o, PassRange& r, Interrupt* i)
      : TableSink(o, i,
                  [this](const table::TableOptions& made) -> TableBuilder& {
                    return builder.emplace(made);
                  }),
        part(r) {}
  PassRange& part;
  std::optional<TableBuilder> builder;
  std::string set_aside_text;
  std::uint64_t set_aside_rows = 0;
  std::uint64_t skip = 0;

  PassRange* range() noexcept { return &part; }
  // The header rows a later part holds: dropped, as the names are given.
  bool skipped() {
    if (skip == 0) return false;
    --skip;
    return true;
  }
  template <class... Why>
  bool keep(const Row& row, const Why&...) {
    if (!skipped()) add(row);
    return go_on();
  }
  bool keep_line(std::string_view line, bool ascii) {
    if (!skipped()) add_line(line, ascii);
    return go_on();
  }
  bool set_aside(std::uint64_t number, std::string_view reason, std::string_view raw) {
    append_raw_quarantine_line(set_aside_text, number, reason, raw);
    ++set_aside_rows;
    return go_on();
  }
};

// The pass over the part's text, read a window at a time from where
// place_part puts it.
Result<JobCounts> read_part(const FileJob& job, FilePart& part, PartSink& sink) {
  auto opened = open_path(job.input.path, O_RDONLY, job.interrupt);
  if (!opened) return std::move(*opened.error().io()).at(IoRole::Input, job.input.path);
  const int fd = opened.value().get();
  const WindowedInput::BeforeText before = [&](const PreparedText& prepared, std::uint64_t text_at,
                                               bool pipe) {
    return place_part(part, fd, prepared, text_at, pipe);
  };
  auto in = WindowedInput::open(fd, job.dialect, job.refuse_binary, job.interrupt, &before);
  if (!in) {
    if (IoError* io = in.error().io()) return std::move(*io).at(IoRole::Input, job.input.path);
    return std::move(in.error());
  }
  WindowedInput& windowed = *in.value();
  if (!part.pass.mid_table) sink.set_aside_text.assign(kQuarantineHeader);
  const ProductCounts counts = run_product_pass(windowed.prepared(), windowed.text(), sink);
  if (!windowed.text().status()) {
    return std::move(windowed.text().status().io_error()).at(IoRole::Input, job.input.path);
  }
  if (sink.interrupted || (job.interrupt != nullptr && job.interrupt->requested_now())) {
    return IoError::from_fixed(IoFixed::Interrupted);
  }
  JobCounts out;
  static_cast<GleaveCounts&>(out) = counts;
  out.delimiter = counts.delimiter;
  out.input = windowed.report(counts);
  note_part_text(part, windowed);
  if (!sink.builder) sink.begin(counts.delimiter, 0);  // no text at all
  return out;
}

// The part's rows as a table with the request's names, its text columns
// kept as text and every other column typed by its own values.
table::ArrowTable finish_table(TableBuilder& builder, const PartTableRequest& request) {
  TableBuilder::Schema schema = builder.settle_schema();
  if (!request.names.empty()) {
    schema.types.resize(std::max(schema.types.size(), request.names.size()));
    schema.names = request.names;
    for (std::size_t i = schema.names.size(); i < schema.types.size(); ++i) {
      schema.names.push_back("column_" + std::to_string(i + 1));
    }
  }
  for (std::size_t i = 0; i < schema.types.size() && i < request.text.size(); ++i) {
    if (request.text[i]) schema.types[i].kind = 0;
  }
  return builder.finish_batch(schema, 0);
}

}  // namespace

Result<PartTable> table_part(PartRequest& request, const PartTableRequest& table_request) {
  try {
    PartTable out;
    FilePart part;
    std::uint64_t size = 0;
    auto rows = set_up_part(request, part, out.part, size);
    if (!rows) return std::move(rows.error());
    PartSink sink(table_request.options, part.pass, request.job.interrupt);
    sink.skip = table_request.skip_rows;
    if (rows.value()) {
      auto counts = read_part(request.job, part, sink);
      if (!counts) return std::move(counts.error());
      wrap_up_part(part, size, std::move(counts.value()), out.part);
    } else {
      sink.begin(',', 0);
    }
    out.set_aside = std::move(sink.set_aside_text);
    out.set_aside_rows = sink.set_aside_rows;
    out.header_rows =
        table_request.options.header ? std::max<std::size_t>(sink.options.header_rows, 1) : 0;
    try {
      out.table = finish_table(*sink.builder, table_request);
    } catch (const table::SchemaMisfit& misfit) {
      return GleaveError(InvalidError{misfit.what()});
    }
    return out;
  } catch (const std::bad_alloc&) {
  } catch (const std::length_error&) {
  }
  return IoError::from_fixed(IoFixed::OutOfMemory);
}

}  // namespace gleave
