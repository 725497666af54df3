// The product pass: over windows of any size it makes exactly the calls it
// makes over the whole text; and where its rules coincide with the core
// pass's (UTF-8 text, the delimiter, quote and width given, no preamble, no
// blank line, no other table, footnote, repeated header, comment line or
// quoted field read again as rows, and no short header kept whole under
// fill_ragged_rows=False), it keeps and
// quarantines exactly the rows the core pass does.
#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/gleave.hpp"
#include "engine/io/chunked.hpp"
#include "engine/product_pass/product_pass.hpp"
#include "fuzz/fuzz_common.hpp"

namespace {

struct Case {
  gleave::Dialect options;  // the product's: the quote given or detected
  unsigned char quote;      // the core's quote
};

Case decode(const fuzz::Header& h) {
  Case c;
  gleave::Dialect& o = c.options;
  const std::uint8_t f = h.byte(0);
  if (f & 1) o.delimiter.give(fuzz::pick_delimiter(h.byte(1), h.byte(3)));
  c.quote = fuzz::pick_quote(h.byte(1) >> 3, h.byte(3) ^ 0x55);
  o.fill_ragged_rows.give((f & 2) == 0);
  o.merge_overflow.give((f & 4) == 0);
  o.repair_quotes.give((f & 8) == 0);
  if (f & 16) o.expected_width.give(h.byte(2) % 8);
  if (f & 32) o.quote_char.give(c.quote);
  if (f & 64) o.preamble_lines.give(0);
  if (f & 128) o.encoding.give((h.byte(2) & 8) ? "cp1252" : "utf-16le");
  return c;
}

bool coincides_with_core(const Case& c, std::string_view text) {
  // (An empty text: the core pass reports nothing, not even its layout.
  // Blanks after a closing quote: the core drops them, the package keeps
  // them as the csv module does; a known difference, left out here.)
  for (std::size_t i = text.find(static_cast<char>(c.quote)); i != std::string_view::npos;
       i = text.find(static_cast<char>(c.quote), i + 1)) {
    if (i + 1 < text.size() && (text[i + 1] == ' ' || text[i + 1] == '\t')) return false;
  }
  const gleave::Dialect& o = c.options;
  return !text.empty() && o.delimiter.given && o.expected_width.given && o.quote_char.given &&
         o.preamble_lines.given && !o.encoding.given && fuzz::valid_utf8(text) &&
         text.substr(0, 3) != "\xEF\xBB\xBF";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const fuzz::Header h(data, size, 4);
  const std::string_view text = h.rest();
  Case c = decode(h);
  const bool core_rules = coincides_with_core(c, text);
  if (core_rules) {
    // The core's rules: no escape byte, blanks after a delimiter are data.
    c.options.escape_char.give(std::nullopt);
    c.options.skip_initial_space.give(false);
    c.options.encoding.give("utf-8");
  }
  const gleave::PreparedText in = gleave::prepare_text(text, c.options);
  if (!in.ok()) return 0;

  fuzz::ProductCalls whole, windows;
  const gleave::ProductCounts counts = gleave::run_product_pass(in, whole);
  FUZZ_CHECK(counts.total_rows == counts.gleaved_rows + counts.quarantined_rows);
  FUZZ_CHECK(counts.repaired_rows <= counts.gleaved_rows);
  // (An empty text may have no address; the source copies from it.)
  gleave::TextSource source(in.text.empty() ? std::string_view("") : in.text);
  gleave::ChunkedText chunks(source, in.text.size() % 13 + 1);
  gleave::run_product_pass(in, chunks, windows);
  FUZZ_CHECK(whole.log == windows.log);

  if (core_rules && counts.blank_rows == 0 && counts.preamble_rows == 0 &&
      counts.other_table_rows == 0 && counts.footnote_rows == 0 &&
      counts.repeated_header_rows == 0 && counts.comment_rows == 0 && counts.runaway_quotes == 0 &&
      (c.options.fill_ragged_rows.value || !in.dialect.header)) {
    fuzz::Calls core, product;
    gleave::Dialect core_options = c.options;
    core_options.quote_char.give(c.quote);
    gleave::run_pass(text, core_options, core);
    gleave::run_product_pass(in, product);
    FUZZ_CHECK(core.log == product.log);
  }
  return 0;
}
