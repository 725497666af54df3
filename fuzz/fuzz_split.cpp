// One file repaired in byte ranges: any text, cut every `block` bytes,
// each range started from its guessed row start and repaired again from
// the previous range's real end when the guess does not meet it, joins
// into exactly the output and quarantine of one pass over the whole file,
// and its counts add up to that pass's.
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "engine/split/split.hpp"
#include "fuzz/fuzz_common.hpp"

namespace {

const std::string& work_dir() {
  static const std::string dir = [] {
    std::string tmpl = "/tmp/fuzz-split-XXXXXX";
    if (::mkdtemp(tmpl.data()) == nullptr) fuzz::fail("mkdtemp");
    return tmpl;
  }();
  return dir;
}

std::string file(const std::string& name) {
  return work_dir() + "/" + name;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

gleave::FileJob job_of(const gleave::Dialect& given, const std::string& out,
                       const std::string& quarantine) {
  gleave::FileJob job;
  job.input.path = file("in.csv");
  job.output.path = out;
  job.quarantine = gleave::FileRef{quarantine, -1};
  job.dialect = given;
  return job;
}

// The range repaired as the request places it, into its own files.
gleave::PartResult repair(gleave::PartRequest request, std::size_t index, const char* kind) {
  const std::string stem = file(kind + std::to_string(index));
  request.job.output.path = stem + ".csv";
  request.job.quarantine = gleave::FileRef{stem + ".q", -1};
  auto result = gleave::repair_part(request);
  FUZZ_CHECK(result.ok());
  return std::move(result.value());
}

bool fits(const gleave::PartResult& part, const gleave::PartResult& before, std::uint64_t line) {
  return part.start == before.end && part.start_carry == before.carry && part.same_bytes &&
         line >= part.rule_line;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const fuzz::Header h(data, size, 4);
  const std::string_view text = h.rest();
  {
    std::ofstream out(file("in.csv"), std::ios::binary | std::ios::trunc);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
  }
  gleave::Dialect options;
  options.fill_ragged_rows.give((h.byte(2) & 1) == 0);
  options.merge_overflow.give((h.byte(2) & 2) == 0);
  options.repair_quotes.give((h.byte(2) & 4) == 0);
  // A backslash escape given outright: an escaped line break or quote may
  // fall on a range edge, where the range's guessed row start is wrong.
  if ((h.byte(2) & 8) != 0) options.escape_char.give('\\');
  const gleave::FileJob whole_job = job_of(options, file("whole.csv"), file("whole.q"));
  auto whole = gleave::run_file_job(whole_job);
  if (!whole.ok()) return 0;  // (text the repair refuses is refused by the first range too)

  // Any range size, but at most about 12 ranges: each is a job of its own.
  const std::uint64_t block = std::max<std::uint64_t>(
      1 + (h.byte(0) | (h.byte(1) << 8)) % (text.size() + 1), text.size() / 12 + 1);
  gleave::PartRequest base;
  base.job = job_of(options, "", "");
  // What the ranges after the first guess from: the carry at the end of the head.
  gleave::PartRequest probe = base;
  probe.first = true;
  probe.stop = std::min<std::uint64_t>(text.size(), 256 << 10);
  const gleave::PartResult head = repair(probe, 0, "probe");
  if (!head.same_bytes) return 0;  // not cut by byte offsets: repaired whole

  gleave::PartRequest first = base;
  first.first = true;
  first.stop = block;
  std::vector<gleave::PartResult> parts{repair(first, 0, "part")};
  std::vector<gleave::PartFiles> files{{file("part0.csv"), file("part0.q"), 0}};
  std::uint64_t line = parts[0].end_line;
  for (std::uint64_t edge = block, i = 1; edge < text.size(); edge += block, ++i) {
    const gleave::PartResult& before = parts.back();
    if (before.at_end) break;
    gleave::PartRequest guess = base;
    guess.start = edge;
    guess.guess = true;
    guess.carry = head.carry;
    guess.stop = edge + block;
    gleave::PartResult part = repair(guess, i, "part");
    const char* kind = "part";
    if (!fits(part, before, line)) {
      gleave::PartRequest again = base;
      again.start = before.end;
      again.first_line = line;
      again.carry = before.carry;
      again.stop = edge + block;
      part = repair(again, i, "again");
      kind = "again";
    }
    if (!part.same_bytes) return 0;
    const auto shift = static_cast<std::int64_t>(line - part.first_line);
    line = part.end_line + static_cast<std::uint64_t>(shift);
    if (part.start < text.size()) {
      const std::string stem = file(kind + std::to_string(i));
      files.push_back({stem + ".csv", stem + ".q", shift});
    }
    parts.push_back(std::move(part));
  }
  const auto joined = gleave::join_parts(files, file("joined.csv"), file("joined.q"), nullptr);
  FUZZ_CHECK(joined.ok());
  FUZZ_CHECK(read_file(file("joined.csv")) == read_file(file("whole.csv")));
  FUZZ_CHECK(read_file(file("joined.q")) == read_file(file("whole.q")));
  const gleave::JobCounts sum = gleave::add_part_counts(parts);
  const gleave::JobCounts& one = whole.value();
  FUZZ_CHECK(sum.total_rows == one.total_rows && sum.gleaved_rows == one.gleaved_rows);
  FUZZ_CHECK(sum.repaired_rows == one.repaired_rows);
  FUZZ_CHECK(sum.quarantined_rows == one.quarantined_rows);
  FUZZ_CHECK(sum.input && one.input);
  const gleave::ProductCounts &a = sum.input->counts, &b = one.input->counts;
  FUZZ_CHECK(a.blank_rows == b.blank_rows && a.runaway_quotes == b.runaway_quotes &&
             a.footnote_rows == b.footnote_rows &&
             a.repeated_header_rows == b.repeated_header_rows);
  return 0;
}
