// The product layer's file job: a repair whose output and quarantine files
// appear whole or not at all, which can be interrupted, and whose every
// error names the file it concerns.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "engine/base/byte_buffer.hpp"
#include "engine/base/error.hpp"
#include "engine/base/interrupt.hpp"
#include "engine/io/files.hpp"
#include "engine/io/writers.hpp"
#include "engine/product_pass/product_pass.hpp"
#include "engine/repair/pass.hpp"

namespace gleave {

// A file named by a path, or an open descriptor (fd >= 0; never closed by
// the job). `path` is what errors show in either case.
struct FileRef {
  std::string path;
  int fd = -1;
};

// One part of a file repaired on its own, so that the parts of a large
// file can be repaired side by side (see engine/split): the pass runs over
// `pass` (PassRange), from the file's start, or with `pass.mid_table` from
// `start`, a byte offset in the file where a row of the table begins. The
// dialect is decided on the file's head as for the whole file. A
// mid-table part writes no quarantine header.
struct FilePart {
  PassRange pass;
  std::uint64_t start = 0;
  // Set: where a mid-table part starts is found from `start` (an input
  // descriptor, the dialect in force) before the part is read.
  std::function<Result<std::uint64_t>(int fd, const Dialect& dialect)> place;
  std::uint64_t stop = UINT64_MAX;  // a byte offset in the file: pass.stop_at in the text
  std::uint64_t text_at = 0;        // out: the offset in the file of the text's first byte
  // out: the last line a rule of the dialect names (where the table
  // starts, another table, footnotes): a pass that numbers its lines from
  // past it reads the rows after it as it would on their own lines
  std::uint64_t rule_line = 0;
  // out: the text read is the file's own bytes (UTF-8 as it came, nothing
  // replaced or read as cp1252), so offsets in it are offsets in the file
  bool same_bytes = false;
  // out: the text was read to the file's end (see WindowedInput::read_to_end)
  bool read_to_end = false;
  // out: the dialect's tables were settled over the whole text, not the head
  bool whole_text = false;
};

class WindowedInput;
// After a part's pass: what `in` says of how the part's text was read, into
// the part's out fields.
void note_part_text(FilePart& part, const WindowedInput& in);

// Places a part's text before it is first read (the BeforeText hook of
// the part's WindowedInput on `fd`): finds where a mid-table part starts,
// puts the descriptor there and sets where the pass stops and which line
// the dialect's rules name last. A pipe cannot be cut: ESPIPE.
Status place_part(FilePart& part, int fd, const PreparedText& prepared, std::uint64_t text_at,
                  bool pipe);

struct FileJob {
  FileRef input;
  FileRef output;
  std::optional<FileRef> quarantine;
  // The options given; the rest of the dialect is detected (the product's
  // job) or settled on the text (the core's).
  Dialect dialect;
  bool allow_in_place = false;  // an output naming the input replaces it
  bool refuse_binary = false;   // IoFixed::NotText for input that is plainly not text
  Interrupt* interrupt = nullptr;
  // Unless `core`, the product pass: the input converted to UTF-8, its
  // dialect detected around the parts given. The core module's file repair (no dialect): rows read
  // by the core's rules, quarantine lines rebuilt from the parsed fields and written once the
  // output is complete, both files written where they stand (only an output that is the input is
  // replaced, by rename), and the paths compared once the input is open and its first bytes read.
  // Exhausted memory is not caught.
  bool core = false;
  FilePart* part = nullptr;  // set: only this part of a regular file (the product's job)
};

struct JobCounts : GleaveCounts {
  unsigned char delimiter = ',';
  std::optional<InputRead> input;  // how the product pass read the input
};

// Reads the input (with a dialect to detect: a window at a time, a regular
// file or a pipe, in any encoding; else whole), runs the pass and writes
// kept rows to the output and quarantined rows to the quarantine file as
// they come, each into a temporary file beside its target that is renamed
// into place only when both are complete. An output or quarantine that is not a regular file (a
// pipe, a terminal, /dev/null) or a descriptor is written directly. On any
// failure or interrupt the temporary files are removed and existing targets
// are untouched. Never throws: exhausted memory is IoFixed::OutOfMemory.
Result<JobCounts> run_file_job(const FileJob& job);

// Reads all of a file (path or descriptor) for a job, interruptibly; errors
// carry IoRole::Input.
Result<ByteBuffer> read_input(const FileRef& input, Interrupt* interrupt, bool refuse_binary);

// The dialect's check (Dialect::conflict) as an InvalidError (a
// ValueError) naming the rule it breaks. The argument checks ask it before
// detection, and the jobs once the dialect is settled and before any row is
// read or written: detection may have had to work around a given part (a
// quote that is the file's delimiter); the caller's part is what counts.
Status check_dialect(const Dialect& dialect);

// Checks that no path holds a NUL byte.
Status check_nul_paths(const FileJob& job);

// Checks that no path holds a NUL byte and that the quarantine is neither
// the output nor the input (nor the output the input, unless allowed).
Status check_job_paths(const FileJob& job);

}  // namespace gleave
