// One large file repaired in parts, side by side (on the threads of one
// machine or the workers of a cluster), into the bytes one pass over the
// whole file gives.
//
// The file is cut at byte offsets (edges). Each part runs the file job's
// pass over its own bytes and stops before the first row that starts at
// or after the next edge; where that row starts, on which line, and with
// what the pass carries from row to row (PassCarry) is the part's end.
// A part's start is a guess: the first line start from its edge, with the
// carry of a row in the middle of the table. The guess is right when it is
// the previous part's end, which holds unless a quoted field (or a row the
// pass holds back) spans the edge; a part whose guess proves wrong is
// repaired again from the previous part's real end. The parts' outputs
// are then joined, their quarantine lines numbered on from the lines of
// the parts before (a prefix sum of the lines each part read).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/base/error.hpp"
#include "engine/base/interrupt.hpp"
#include "engine/io/job.hpp"

namespace gleave {

// Line numbers a guessed part starts from: past any line of the head that
// the dialect names (the table's start, a footnote, another table), so
// that the rules keyed to those lines read the part's rows as rows that
// come after them. Its quarantine is numbered again when the parts join.
inline constexpr std::uint64_t kPartLineBase = std::uint64_t{1} << 48;

struct PartRequest {
  // Input, output and quarantine of the part (each its own file), options,
  // dialect and interrupt; `part` is set by repair_part.
  FileJob job;
  bool first = false;  // the file's first part: from its start, head and all
  // Where the part's bytes begin. With `guess`, its first row is taken to
  // start at the first line start from there; else a row starts there.
  std::uint64_t start = 0;
  bool guess = false;
  std::uint64_t stop = UINT64_MAX;  // the part ends before the first row from here
  std::uint64_t first_line = kPartLineBase;
  std::string carry;  // PassCarry::pack at the part's first row (not for the first part)
};

struct PartResult {
  std::uint64_t start = 0;  // where its first row starts (the file's size: none)
  std::uint64_t end = 0;    // where the first row after it starts, or the file's size
  bool at_end = false;      // it read to the file's end: no part after it has rows
  std::uint64_t first_line = 0, end_line = 0;  // as the part numbered them
  std::string carry;                           // packed at `end`
  std::string start_carry;                     // packed at `start`, as the part began
  std::uint64_t rule_line = 0;                 // see FilePart::rule_line
  bool same_bytes = true;                      // false: the file cannot be cut by byte offsets
  // The text was read to the end of the file given: a part read from a
  // piece of a larger file (its head and the part's bytes, at their
  // offsets) is right only when the piece ends where the file does.
  bool read_to_end = false;
  // The dialect read the whole text, not only the head (see FilePart).
  bool whole_text = false;
  std::uint64_t head_bytes = 0;  // the bytes of the file's start the dialect is decided on
  JobCounts counts;
};

// Repairs one part. Never throws but std::bad_alloc.
Result<PartResult> repair_part(PartRequest& request);

// What every reading of a part does around its pass. set_up_part: the
// part's start, stop and carry from the request, and `size`, the file's;
// false when no row starts in the part (`out` is then complete).
// wrap_up_part: `out` from where the pass ended.
Result<bool> set_up_part(PartRequest& request, FilePart& part, PartResult& out,
                         std::uint64_t& size);
void wrap_up_part(FilePart& part, std::uint64_t size, JobCounts&& counts, PartResult& out);

// A part's result as bytes and back (to hand it between processes).
std::string pack_part(const PartResult& part);
std::optional<PartResult> unpack_part(std::string_view bytes);

// The counts of a file repaired in parts: each part's added up, with what
// the first part says of the input.
JobCounts add_part_counts(const std::vector<PartResult>& parts);

struct PartFiles {
  std::string output;  // empty: the part adds nothing to the output
  std::optional<std::string> quarantine;
  // Added to the line number of each of the part's quarantine lines.
  std::int64_t line_shift = 0;
};

// Writes the parts' outputs one after the other into `output`, and their
// quarantines into `quarantine`, each as a file that appears whole or not
// at all (a temporary file renamed into place; a target that is no
// regular file is written directly).
Status join_parts(const std::vector<PartFiles>& parts, const std::string& output,
                  const std::optional<std::string>& quarantine, Interrupt* interrupt);

}  // namespace gleave
