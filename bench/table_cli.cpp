// Times the stages of building an Arrow table from a file, without Python:
// reading, the repair pass alone, the reading that settles the schema, and
// the reading that builds the batches; prints the peak resident size too. For profiling
// the builder (valgrind --tool=callgrind, perf) on its own.
//
//   table_cli FILE [--no-infer] [--stage pass|build] [--threads N] [--views]
//             [--stage whole | --pair FILE2]
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "engine/io/job.hpp"
#include "engine/repair/pass.hpp"
#include "engine/table/batch_stream.hpp"
#include "engine/table/table_builder.hpp"
#include "engine/scan/text.hpp"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t) {
  return std::chrono::duration<double>(Clock::now() - t).count();
}

long peak_rss_mb() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_maxrss / 1024;
}

// Counts what the pass keeps and touches every byte of it, as cheaply as
// a sink can.
struct NullSink {
  std::uint64_t bytes = 0;
  void begin(unsigned char, std::uint64_t) {}
  bool keep_line(std::string_view line, bool) {
    bytes += line.size();
    return true;
  }
  template <class... Why>
  bool keep(const gleave::Row& row, const Why&...) {
    bytes += row.bytes.size();
    return true;
  }
  template <class... Rejected>
  bool reject(Rejected&&...) {
    return true;
  }
};

// What arrow_stream() feeds its builders with: `Into` is a TableBuilder
// that keeps no value (the survey settling the schema) or a BatchMaker
// building batches of that schema on `threads` threads while the pass goes
// on. Made once the delimiter is known, as arrow_stream() makes them.
template <class Into>
struct BuildSink {
  using Make = std::function<Into&(const gleave::table::TableOptions&)>;
  BuildSink(gleave::table::TableOptions o, Make m) : options(o), make(std::move(m)) {}
  gleave::table::TableOptions options;
  Make make;
  Into* into = nullptr;
  unsigned char delimiter = ',';
  void begin(unsigned char d, std::uint64_t) {
    delimiter = d;
    options.decimal_comma = options.decimal_comma && d != ',';
    into = &make(options);
  }
  template <class... Why>
  bool keep(const gleave::Row& row, const Why&...) {
    into->append_row_with(
        [&](auto&& visit) {
          for (std::size_t i = 0; i < row.size(); ++i) visit(row.field(i));
        },
        gleave::is_ascii(row.bytes.data(), row.bytes.size()));
    return true;
  }
  bool keep_line(std::string_view line, bool ascii) {
    into->append_line(line, delimiter, ascii);
    return true;
  }
  template <class... Rejected>
  bool reject(Rejected&&...) {
    return true;
  }
};

// The schema a first reading of every row settles.
gleave::table::TableBuilder::Schema survey(std::string_view text,
                                           const gleave::table::TableOptions& table_options) {
  std::optional<gleave::table::TableBuilder> looked;
  BuildSink<gleave::table::TableBuilder> sink(
      table_options, [&](const gleave::table::TableOptions& o) -> gleave::table::TableBuilder& {
        gleave::table::TableOptions survey_options = o;
        survey_options.keep_values = false;
        return looked.emplace(survey_options);
      });
  gleave::run_pass(text, gleave::Dialect{}, sink);
  if (!looked) sink.begin(',', 0);
  return looked->settle_schema();
}

struct Built {
  std::uint64_t rows = 0;
  std::size_t batches = 0;
};

// The second reading: every row built into batches of `schema`, which are
// counted and dropped as a consumer would take them.
Built build(std::string_view text, const gleave::table::TableOptions& table_options,
            const gleave::table::TableBuilder::Schema& schema, unsigned threads) {
  Built built;
  std::optional<gleave::table::BatchMaker> maker;
  BuildSink<gleave::table::BatchMaker> sink(
      table_options, [&](const gleave::table::TableOptions& o) -> gleave::table::BatchMaker& {
        const std::size_t header = o.header ? std::max<std::size_t>(o.header_rows, 1) : 0;
        return maker.emplace(
            o, schema, header, gleave::table::BlockLimits::from_environment(),
            [&](gleave::table::ArrowTable&& batch) {
              built.rows += static_cast<std::uint64_t>(batch.num_rows());
              ++built.batches;
              return true;
            },
            nullptr, threads);
      });
  gleave::run_pass(text, gleave::Dialect{}, sink);
  if (!maker) sink.begin(',', 0);
  maker->finish();
  return built;
}

// The whole job on one file: read, survey, build.
std::uint64_t build_file(const char* path, const gleave::table::TableOptions& table_options,
                         unsigned threads) {
  auto text = gleave::read_input(gleave::FileRef{path, -1}, nullptr, false);
  if (!text) return 0;
  const auto schema = survey(text.value().view(), table_options);
  return build(text.value().view(), table_options, schema, threads).rows;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: table_cli FILE [--no-infer] [--stage pass|build]\n");
    return 2;
  }
  gleave::table::TableOptions table_options;
  table_options.decimal_comma = true;
  std::string stage = "build";
  unsigned threads = 2;
  const char* pair = nullptr;
  for (int i = 2; i < argc; ++i) {
    if (std::strcmp(argv[i], "--no-infer") == 0) table_options.infer_types = false;
    if (std::strcmp(argv[i], "--views") == 0) table_options.string_views = true;
    if (std::strcmp(argv[i], "--pair") == 0 && i + 1 < argc) pair = argv[++i];
    if (std::strcmp(argv[i], "--stage") == 0 && i + 1 < argc) stage = argv[++i];
    if (std::strcmp(argv[i], "--threads") == 0 && i + 1 < argc)
      threads = static_cast<unsigned>(std::atoi(argv[++i]));
  }
  gleave::Dialect options;
  if (pair != nullptr) {
    // Two files in two threads of this process, against the first alone
    // (run that in a process of its own for a cold start).
    const auto t0 = Clock::now();
    std::thread other([&] { build_file(pair, table_options, threads); });
    build_file(argv[1], table_options, threads);
    other.join();
    std::printf("pair    %.3f s  peak RSS %ld MB\n", seconds_since(t0), peak_rss_mb());
    return 0;
  }
  if (stage == "whole") {
    const auto t0 = Clock::now();
    build_file(argv[1], table_options, threads);
    std::printf("whole   %.3f s  peak RSS %ld MB\n", seconds_since(t0), peak_rss_mb());
    return 0;
  }
  auto t = Clock::now();
  auto text = gleave::read_input(gleave::FileRef{argv[1], -1}, nullptr, false);
  if (!text) {
    std::fprintf(stderr, "cannot read %s\n", argv[1]);
    return 1;
  }
  const std::string_view view = text.value().view();
  std::printf("read    %.3f s  %zu bytes\n", seconds_since(t), view.size());
  if (stage == "pass") {
    t = Clock::now();
    NullSink sink;
    gleave::run_pass(view, options, sink);
    std::printf("pass    %.3f s  %llu bytes kept\n", seconds_since(t),
                static_cast<unsigned long long>(sink.bytes));
    return 0;
  }
  t = Clock::now();
  const auto schema = survey(view, table_options);
  std::printf("survey  %.3f s  peak RSS %ld MB\n", seconds_since(t), peak_rss_mb());
  t = Clock::now();
  const Built built = build(view, table_options, schema, threads);
  std::printf("build   %.3f s  peak RSS %ld MB  %llu rows  %zu batches\n", seconds_since(t),
              peak_rss_mb(), static_cast<unsigned long long>(built.rows), built.batches);
  const auto table = gleave::table::schema_table(schema);
  for (std::size_t i = 0; i < table->num_columns(); ++i) {
    const auto& c = table->column(i);
    std::printf("  %-12s %s\n", c.name.c_str(), c.format);
  }
  return 0;
}
