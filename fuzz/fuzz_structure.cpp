// The product pass: detection, then the rules about the table's structure
// (preamble, other tables, notes, repeated headers and block titles,
// comments, runaway quotes), over the whole text and over windows of a few
// bytes. Options come from the first four bytes (all zero: the defaults).
// Every row is kept or set aside and counted once, under one reason at
// most; a kept row has the width in force; windows change nothing.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/io/chunked.hpp"
#include "engine/product_pass/product_pass.hpp"
#include "fuzz/fuzz_common.hpp"

namespace {

using namespace gleave;

struct Calls {
  std::vector<std::string> calls;
  std::uint64_t width = 0;
  std::uint64_t kept = 0, rejected = 0, set_aside = 0;

  void begin(unsigned char, std::uint64_t w) { width = w; }
  bool keep_line(std::string_view line, bool) {
    ++kept;
    calls.emplace_back(line);
    return true;
  }
  bool keep(const Row& row, const RowVerdict& v) {
    FUZZ_CHECK(width == 0 || row.size() == width);
    ++kept;
    calls.emplace_back(std::string(v.raw) + "|" + std::to_string(v.line));
    return true;
  }
  bool reject(const RowVerdict& v, const Row&) {
    ++rejected;
    calls.emplace_back("reject " + std::string(v.raw));
    return true;
  }
  bool aside(char kind, std::uint64_t line, std::string_view raw) {
    ++set_aside;
    calls.push_back(kind + std::to_string(line) + " " + std::string(raw));
    return true;
  }
  bool preamble(std::uint64_t l, std::string_view r) { return aside('p', l, r); }
  bool other_table(std::uint64_t l, std::string_view r) { return aside('o', l, r); }
  bool footnote(std::uint64_t l, std::string_view r) { return aside('f', l, r); }
  bool repeated_header(std::uint64_t l, std::string_view r) { return aside('h', l, r); }
  bool comment(std::uint64_t l, std::string_view r) { return aside('c', l, r); }
};

void check(const ProductCounts& c, const Calls& s) {
  FUZZ_CHECK(c.gleaved_rows + c.quarantined_rows == c.total_rows);
  FUZZ_CHECK(c.gleaved_rows == s.kept);
  FUZZ_CHECK(c.quarantined_rows == s.rejected + s.set_aside);
  FUZZ_CHECK(c.preamble_rows + c.other_table_rows + c.footnote_rows + c.repeated_header_rows +
                 c.comment_rows ==
             s.set_aside);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 4) return 0;
  const std::uint8_t f = data[0];
  const std::string_view input(reinterpret_cast<const char*>(data) + 4, size - 4);
  Dialect o;
  o.fill_ragged_rows.give((f & 1) == 0);
  o.merge_overflow.give((f & 2) == 0);
  o.repair_quotes.give((f & 4) == 0);
  if ((f & 8) != 0) o.quote_char.give(std::nullopt);  // no quoting
  PreparedText p = prepare_text(input, o);
  if (!p.ok()) return 0;
  if ((f & 16) != 0) p.dialect.comment_char.value = '#';
  Calls whole;
  const ProductCounts want = run_product_pass(p, whole);
  check(want, whole);
  TextSource source(p.text);
  ChunkedText in(source, 1 + data[1] % 13);
  Calls windows;
  const ProductCounts got = run_product_pass(p, in, windows);
  check(got, windows);
  FUZZ_CHECK(windows.calls == whole.calls);
  FUZZ_CHECK(got.total_rows == want.total_rows && got.runaway_quotes == want.runaway_quotes);
  return 0;
}
