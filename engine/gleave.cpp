#include "engine/gleave.hpp"

namespace gleave {

namespace {

struct TableSink {
  GleaveOutcome& outcome;
  void begin(unsigned char delimiter, std::uint64_t width) {
    outcome.rows.set_layout(delimiter, width);
  }
  bool keep(const Row& row, const RowVerdict&) {
    outcome.rows.push_row(row);
    return true;
  }
  bool keep_line(std::string_view line, bool ascii) {
    outcome.rows.push_plain_line(line, ascii);
    return true;
  }
  bool reject(const RowVerdict& verdict, const Row&) {
    outcome.quarantine.push_back(QuarantineRecord::of(verdict));
    return true;
  }
};

void fill_outcome(GleaveOutcome& outcome, std::string_view text, const Dialect& options) {
  TableSink sink{outcome};
  const PassCounts counts = run_pass(text, options, sink);
  static_cast<GleaveCounts&>(outcome) = counts;
  outcome.delimiter = counts.delimiter;
  outcome.text = text;
  outcome.dialect = options;
  outcome.dialect.delimiter.value = counts.delimiter;
  outcome.dialect.expected_width.value = counts.inferred_columns;
}

}  // namespace

GleaveOutcome gleave_slice(std::string_view text, const Dialect& options) {
  GleaveOutcome outcome;
  fill_outcome(outcome, text, options);
  return outcome;
}

GleaveOutcome gleave_slice(ByteBuffer&& text, const Dialect& options) {
  GleaveOutcome outcome;
  const std::string_view view = text.view();
  outcome.rows = RowTable(std::move(text), ',');  // the buffer moves, its bytes stay put
  fill_outcome(outcome, view, options);
  if (outcome.quarantine.empty()) outcome.rows.release_unused_source();
  return outcome;
}

Result<JobCounts> gleave_file(const std::string& input_path, const std::string& output_path,
                              const std::optional<std::string>& quarantine_path,
                              const Dialect& options) {
  FileJob job;
  job.input.path = input_path;
  job.output.path = output_path;
  if (quarantine_path) job.quarantine = FileRef{*quarantine_path, -1};
  job.dialect = options;
  job.allow_in_place = true;
  job.core = true;
  return run_file_job(job);
}

}  // namespace gleave
