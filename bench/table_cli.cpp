// Times the stages of building an Arrow table from a file, without Python:
// reading, the repair pass alone, the pass feeding the table builder, and
// finishing the columns; prints the peak resident size too. For profiling
// the builder (valgrind --tool=callgrind, perf) on its own.
//
//   table_cli FILE [--no-infer] [--stage pass|build] [--threads N] [--views] [--serial]
//             [--stage whole | --pair FILE2]
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "engine/io/job.hpp"
#include "engine/repair/pass.hpp"
#include "engine/table/parallel_builder.hpp"
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

// What arrow_stream() feeds the builder with: blocks of rows built on
// `threads` threads while the pass goes on (--serial: one TableBuilder fed
// row by row, finished on `threads` threads).
struct BuildSink {
  BuildSink(gleave::table::TableOptions o, unsigned t, bool s)
      : options(o), threads(t), serial(s) {}
  gleave::table::TableOptions options;
  unsigned threads;
  bool serial;
  std::optional<gleave::table::TableBuilder> builder;
  std::optional<gleave::table::ParallelTableBuilder> parallel;
  unsigned char delimiter = ',';
  void begin(unsigned char d, std::uint64_t) {
    delimiter = d;
    options.decimal_comma = options.decimal_comma && d != ',';
    if (serial) {
      builder.emplace(options);
    } else {
      parallel.emplace(options, threads);
    }
  }
  template <class... Why>
  bool keep(const gleave::Row& row, const Why&...) {
    auto each = [&](auto&& visit) {
      for (std::size_t i = 0; i < row.size(); ++i) visit(row.field(i));
    };
    const bool ascii = gleave::is_ascii(row.bytes.data(), row.bytes.size());
    if (serial) {
      builder->append_row_with(each, ascii);
    } else {
      parallel->append_row_with(each, ascii);
    }
    return true;
  }
  bool keep_line(std::string_view line, bool ascii) {
    if (serial) {
      builder->append_line(line, delimiter, ascii);
    } else {
      parallel->append_line(line, delimiter, ascii);
    }
    return true;
  }
  template <class... Rejected>
  bool reject(Rejected&&...) {
    return true;
  }
  // Every line is built (the text may go).
  void wait() {
    if (parallel) parallel->wait();
  }
  gleave::table::ArrowTable finish() {
    if (parallel) return parallel->finish();
    if (!builder) builder.emplace(options);
    return builder->finish(threads);
  }
};

// The whole job on one file: read, build, finish.
std::size_t build_file(const char* path, const gleave::table::TableOptions& table_options,
                       unsigned threads, bool serial) {
  auto text = gleave::read_input(gleave::FileRef{path, -1}, nullptr, false);
  if (!text) return 0;
  BuildSink sink(table_options, threads, serial);
  gleave::run_pass(text.value().view(), gleave::Dialect{}, sink);
  sink.wait();
  text.value() = gleave::ByteBuffer();
  return static_cast<std::size_t>(sink.finish().num_rows());
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
  bool serial = false;
  const char* pair = nullptr;
  for (int i = 2; i < argc; ++i) {
    if (std::strcmp(argv[i], "--no-infer") == 0) table_options.infer_types = false;
    if (std::strcmp(argv[i], "--views") == 0) table_options.string_views = true;
    if (std::strcmp(argv[i], "--serial") == 0) serial = true;
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
    std::thread other([&] { build_file(pair, table_options, threads, serial); });
    build_file(argv[1], table_options, threads, serial);
    other.join();
    std::printf("pair    %.3f s  peak RSS %ld MB\n", seconds_since(t0), peak_rss_mb());
    return 0;
  }
  if (stage == "whole") {
    const auto t0 = Clock::now();
    build_file(argv[1], table_options, threads, serial);
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
  BuildSink sink(table_options, threads, serial);
  gleave::run_pass(view, options, sink);
  sink.wait();
  std::printf("build   %.3f s  peak RSS %ld MB\n", seconds_since(t), peak_rss_mb());
  text.value() = gleave::ByteBuffer();
  t = Clock::now();
  gleave::table::ArrowTable table = sink.finish();
  std::printf("finish  %.3f s  peak RSS %ld MB  %zu batches\n", seconds_since(t), peak_rss_mb(),
              table.num_batches());
  for (std::size_t i = 0; i < table.num_columns(); ++i) {
    const auto& c = table.column(i);
    std::printf("  %-12s %-8s %lld nulls\n", c.name.c_str(), c.format,
                static_cast<long long>(c.null_count));
  }
  return 0;
}
