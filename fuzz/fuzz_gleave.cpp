// The repair pass and both writers, in memory, under options taken from the
// first four bytes. The outcome is checked against rows parsed independently
// and judged by the padding / merging / quarantine rules; the output CSV is
// parsed again and must give back exactly the kept rows, and the quarantine
// CSV must give back every record.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/detect/heuristics.hpp"
#include "engine/gleave.hpp"
#include "engine/io/chunked.hpp"
#include "engine/scan/parser.hpp"
#include "engine/scan/text.hpp"
#include "fuzz/fuzz_common.hpp"

namespace {

using Fields = std::vector<std::string>;

std::string join(const Fields& f, std::size_t from, const std::string& sep) {
  std::string s;
  for (std::size_t i = from; i < f.size(); ++i) {
    if (i != from) s += sep;
    s += f[i];
  }
  return s;
}

gleave::Dialect decode(const fuzz::Header& h) {
  gleave::Dialect o;
  // [0] delimiter: sniffed for a quarter of the selector values.
  if (h.byte(0) % 4 != 0) o.delimiter.give(fuzz::pick_delimiter(h.byte(0) / 4, h.byte(3)));
  o.quote_char.give(fuzz::pick_quote(h.byte(1), h.byte(3) ^ 0x55));
  // [2] flags, 0 meaning the defaults: fill, merge and quote repair on,
  // width inferred.
  const std::uint8_t f = h.byte(2);
  o.fill_ragged_rows.give((f & 1) == 0);
  o.merge_overflow.give((f & 2) == 0);
  o.repair_quotes.give((f & 4) == 0);
  switch ((f >> 3) & 3) {
    case 1: o.expected_width.give(h.byte(3) % 8); break;
    case 2: o.expected_width.give(0); break;
    case 3: o.expected_width.give(h.byte(3) % 200); break;
    default: break;
  }
  return o;
}

// The writer's output is meant to be read back by the same tokenizer; that
// holds when the control bytes are distinct single-byte characters that are
// not line breaks (a delimiter from 0x80 on is written as two bytes, which
// the byte-wise tokenizer cannot find again as one).
bool reparse_applies(unsigned char d, unsigned char q) {
  auto plain = [](unsigned char c) { return c < 0x80 && c != '\n' && c != '\r'; };
  return plain(d) && plain(q) && d != q;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const fuzz::Header h(data, size, 4);
  const std::string_view text = h.rest();
  const gleave::Dialect options = decode(h);
  const unsigned char quote = *options.quote_char.value;

  const gleave::GleaveOutcome out = gleave::gleave_slice(text, options);

  // Counts.
  FUZZ_CHECK(out.total_rows == out.gleaved_rows + out.quarantined_rows);
  FUZZ_CHECK(out.gleaved_rows == out.rows.size());
  FUZZ_CHECK(out.quarantined_rows == out.quarantine.size());
  FUZZ_CHECK(out.repaired_rows <= out.gleaved_rows);
  if (text.empty()) {
    FUZZ_CHECK(out.total_rows == 0 && out.inferred_columns == 0 && out.delimiter == ',');
    return 0;
  }

  // What the pass should have done, from the same settings and a fresh parse.
  const unsigned char d =
      options.delimiter.given ? options.delimiter.value : gleave::sniff_delimiter(text);
  const std::uint64_t w = options.expected_width.given ? options.expected_width.value
                                                       : gleave::infer_column_count(text, d);
  FUZZ_CHECK(out.delimiter == d);
  FUZZ_CHECK(out.inferred_columns == w);
  const std::string sep = gleave::byte_char(d);

  gleave::ResilientParser parser(text, d, quote, options.repair_quotes);
  std::size_t kept = 0, rejected = 0;
  std::uint64_t total = 0, repaired = 0;
  gleave::QuarantineLines lines = out.quarantine_lines();
  while (true) {
    const std::uint64_t first_line = parser.line();  // the row's own line
    const std::uint64_t offset = parser.position();
    const auto row = parser.next_row();
    if (!row) break;
    ++total;
    Fields fields = *row;
    const std::size_t n = fields.size();
    const char* reason = nullptr;
    if (w != 0 && n < w) {
      if (options.fill_ragged_rows.value) {
        fields.resize(w), ++repaired;
      } else {
        reason = "Row has too few columns (expected ";
      }
    } else if (w != 0 && n > w) {
      if (options.merge_overflow.value) {
        std::string last = join(fields, w - 1, sep);
        fields.resize(w);
        fields[w - 1] = std::move(last);
        ++repaired;
      } else {
        reason = "Row has extra columns (expected ";
      }
    }
    if (reason == nullptr) {
      FUZZ_CHECK(kept < out.rows.size());
      FUZZ_CHECK(out.rows.width(kept) == fields.size());
      FUZZ_CHECK(w == 0 || fields.size() == w);
      for (std::size_t i = 0; i < fields.size(); ++i) {
        FUZZ_CHECK(out.rows.field(kept, i) == fields[i]);
        FUZZ_CHECK(fuzz::valid_utf8(fields[i]));
      }
      ++kept;
    } else {
      FUZZ_CHECK(rejected < out.quarantine.size());
      const gleave::QuarantineRecord& r = out.quarantine[rejected++];
      FUZZ_CHECK(r.line == first_line);
      FUZZ_CHECK(r.offset == offset && r.offset + r.size == parser.row_end());
      FUZZ_CHECK(lines.reason(r) == std::string(reason) + std::to_string(w) + ")");
      FUZZ_CHECK(lines.fields(r).to_strings() == *row);
    }
  }
  FUZZ_CHECK(kept == out.rows.size() && rejected == out.quarantine.size());
  FUZZ_CHECK(total == out.total_rows && repaired == out.repaired_rows);

  // The output CSV: valid UTF-8, and read back it is the kept rows. A
  // byte-order mark goes in front because the reader skips one: a first
  // field that itself begins with U+FEFF must survive.
  std::string csv = "\xEF\xBB\xBF";
  for (std::size_t r = 0; r < out.rows.size(); ++r) {
    gleave::append_csv_line(csv, gleave::Row::from_strings(out.rows.row_strings(r)), d, quote);
  }
  FUZZ_CHECK(fuzz::valid_utf8(csv));
  // Strictly (no quote repair) and with quote repair alike: every quote the
  // writer leaves undoubled is a closing one, right before the delimiter or
  // the line break.
  if (reparse_applies(d, quote)) {
    for (const bool repair : {false, true}) {
      if (repair && !options.repair_quotes.value) continue;
      gleave::ResilientParser again(csv, d, quote, repair);
      std::size_t r = 0;
      for (auto row = again.next_row(); row; row = again.next_row(), ++r) {
        FUZZ_CHECK(r < out.rows.size());
        FUZZ_CHECK(*row == out.rows.row_strings(r));
      }
      FUZZ_CHECK(r == out.rows.size());
    }
  }

  // The quarantine CSV: fixed comma and double quote, every piece read back.
  std::string q(gleave::kQuarantineHeader);
  for (const auto& record : out.quarantine) {
    gleave::append_quarantine_line(q, record.line, lines.reason(record), lines.fields(record), d);
  }
  FUZZ_CHECK(fuzz::valid_utf8(q));
  gleave::ResilientParser qp(q, ',', '"', false);
  FUZZ_CHECK(qp.next_row() == (Fields{"line", "reason", "raw_content"}));
  for (const auto& record : out.quarantine) {
    const auto row = qp.next_row();
    FUZZ_CHECK(row && row->size() == 3);
    FUZZ_CHECK((*row)[0] == std::to_string(record.line));
    FUZZ_CHECK((*row)[1] == lines.reason(record));
    FUZZ_CHECK((*row)[2] == join(lines.fields(record).to_strings(), 0, sep));
  }
  FUZZ_CHECK(!qp.next_row());

  // The same pass read a few bytes at a time.
  fuzz::Calls whole, windows;
  gleave::run_pass(text, options, whole);
  gleave::TextSource source(text);
  gleave::ChunkedText in(source, text.size() % 13 + 1);
  gleave::run_pass(in, options, windows);
  FUZZ_CHECK(whole.log == windows.log);
  return 0;
}
