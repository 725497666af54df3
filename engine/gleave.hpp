// The engine's interface: the repair pass over a text in memory
// (gleave_slice) and over a file (gleave_file).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "byte_buffer.hpp"
#include "error.hpp"
#include "files.hpp"
#include "parser.hpp"
#include "pass.hpp"
#include "row_table.hpp"
#include "writers.hpp"

namespace gleave {

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

}  // namespace gleave
