// The engine's interface: the repair pass over a text in memory
// (gleave_slice) and over a file (gleave_file).
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/base/byte_buffer.hpp"
#include "engine/base/error.hpp"
#include "engine/io/files.hpp"
#include "engine/io/job.hpp"
#include "engine/io/writers.hpp"
#include "engine/product_pass/product_pass.hpp"
#include "engine/repair/pass.hpp"
#include "engine/repair/row_table.hpp"
#include "engine/scan/parser.hpp"

namespace gleave {

struct GleaveOutcome : GleaveCounts {
  RowTable rows;
  // Where each rejected row stands in `text` (a deque: it grows without
  // moving what it holds, so a mostly rejected file costs no copy spikes).
  std::deque<QuarantineRecord> quarantine;
  unsigned char delimiter = ',';  // in force, given or sniffed
  std::string_view text;          // the text the records refer to
  Dialect dialect;                // in force: the delimiter and the width settled

  // The delimiter as a character: its code point equals the byte.
  char32_t detected_delimiter() const noexcept { return delimiter; }
  // Reads the records' fields and reasons again; needs `text` alive.
  QuarantineLines quarantine_lines() const { return QuarantineLines(text, dialect); }
};

// Sorts every row of the text into kept rows (unchanged, padded or merged) and
// quarantine records. Never fails on any input.
GleaveOutcome gleave_slice(std::string_view text, const Dialect& options);
// The same over a text that the outcome then keeps (in `rows`, as long as a
// plain row or a quarantine record refers to it): plain rows are not copied.
GleaveOutcome gleave_slice(ByteBuffer&& text, const Dialect& options);

// Repairs a file: reads input_path a window at a time (memory bounded by the
// window and the longest row), writes the kept rows to output_path as they
// come and, when a quarantine path is given, the rejected rows there once
// the output is complete. The input is opened and its first window read
// before anything is created; a read that fails later leaves the output
// written so far (in place: the input untouched).
Result<JobCounts> gleave_file(const std::string& input_path, const std::string& output_path,
                              const std::optional<std::string>& quarantine_path,
                              const Dialect& options);

}  // namespace gleave
