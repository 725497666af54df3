// Dialect detection over any text, with parts of the dialect given or not:
// it never fails, names a delimiter it tries (or the one given), keeps the
// delimiter, quote and escape the caller gave, says the same twice, and is
// not thrown by a leading byte-order mark.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string>

#include "engine/dialect/dialect.hpp"
#include "fuzz/fuzz_common.hpp"

namespace {

gleave::Dialect decode(const fuzz::Header& h) {
  gleave::Dialect o;
  o.keep_evidence = true;
  const std::uint8_t f = h.byte(0);
  if (f & 1) o.delimiter.give(fuzz::pick_delimiter(h.byte(1), h.byte(2)));
  if (f & 2) {
    o.quote_char.give(std::nullopt);
    if (f & 4) o.quote_char.give(fuzz::pick_quote(h.byte(1) >> 3, h.byte(2) ^ 0x55));
  }
  if (f & 8) o.skip_initial_space.give((f & 16) != 0);
  if (f & 32) {
    o.escape_char.give(std::nullopt);
    if (f & 64) o.escape_char.give('\\');
  }
  // Small samples reach the cut-off paths without long inputs.
  if (f & 128) {
    o.sample_bytes = 1 + h.byte(2) % 200;
    o.sample_rows = 1 + h.byte(1) % 20;
  }
  return o;
}

bool same(const gleave::Dialect& a, const gleave::Dialect& b) {
  return a.delimiter == b.delimiter && a.quote_char == b.quote_char &&
         a.skip_initial_space == b.skip_initial_space && a.escape_char == b.escape_char &&
         a.preamble_lines == b.preamble_lines && a.header == b.header &&
         a.header_rows == b.header_rows && a.expected_width == b.expected_width &&
         a.tables == b.tables && a.other_table_line == b.other_table_line &&
         a.footnote_line == b.footnote_line && a.not_a_table == b.not_a_table;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const fuzz::Header h(data, size, 3);
  const std::string_view text = h.rest();
  const gleave::Dialect options = decode(h);

  const gleave::Dialect d = gleave::detect_dialect(text, options);
  if (options.delimiter.given) {
    FUZZ_CHECK(d.delimiter == options.delimiter);
  } else {
    // A `sep=` line names its delimiter, which may be any byte.
    FUZZ_CHECK(d.sep_line || std::find(std::begin(gleave::kDialectDelimiters),
                                       std::end(gleave::kDialectDelimiters),
                                       d.delimiter) != std::end(gleave::kDialectDelimiters));
  }
  // A given quote holds, except where it is the delimiter chosen: that
  // reading carries no quote, so that the conflict is refused by the
  // check of the final dialect rather than the file read as one column.
  if (options.quote_char.given) {
    const std::optional<unsigned char>&given = options.quote_char, &found = d.quote_char;
    FUZZ_CHECK(found == given || (!found && given && d.delimiter == *given));
  }
  // (A given skip_initial_space is put in force by the callers: with a tab
  // delimiter no reading skips blanks.)
  // An escape byte means nothing without quoting.
  if (options.escape_char.given && d.quote_char.value) {
    FUZZ_CHECK(d.escape_char.value == options.escape_char.value);
  }
  FUZZ_CHECK(d.header_rows >= 1);
  // At most one line per line-break byte (CR, LF) and the last.
  const auto lines = static_cast<std::uint64_t>(std::count(text.begin(), text.end(), '\n') +
                                                std::count(text.begin(), text.end(), '\r')) +
                     1;
  FUZZ_CHECK(d.preamble_lines <= lines);
  FUZZ_CHECK(d.other_table_line <= lines && d.footnote_line <= lines);
  // The chosen reading comes first, when one was chosen (a sample that is
  // no table, or a fallback taken over every reading, chooses none).
  for (std::size_t i = 1; i < d.evidence.size(); ++i) FUZZ_CHECK(!d.evidence[i].chosen);

  FUZZ_CHECK(same(gleave::detect_dialect(text, options), d));
  if (text.substr(0, 3) != "\xEF\xBB\xBF") {
    const std::string with_bom = "\xEF\xBB\xBF" + std::string(text);
    FUZZ_CHECK(same(gleave::detect_dialect(with_bom, options), d));
  }
  return 0;
}
