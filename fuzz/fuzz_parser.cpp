// The tolerant tokenizer driven to the end of any input, under options taken
// from the first four bytes, and compared row by row and line by line with a
// plain byte-at-a-time tokenizer.
#include <cstddef>
#include <cstdint>

#include "engine/scan/parser.hpp"
#include "fuzz/fuzz_common.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // [0] delimiter selector, [1] quote selector, [2] flags, [3] raw byte.
  const fuzz::Header h(data, size, 4);
  const std::string_view text = h.rest();
  const unsigned char delimiter = fuzz::pick_delimiter(h.byte(0), h.byte(3));
  const unsigned char quote = fuzz::pick_quote(h.byte(1), h.byte(3) ^ 0x55);
  const bool repair = (h.byte(2) & 1) == 0;
  const bool escape = (h.byte(2) & 2) != 0;
  const bool skip_blanks = (h.byte(2) & 4) != 0;

  gleave::ResilientParser parser(text, delimiter, quote, repair);
  fuzz::RefParser ref(text, delimiter, quote, repair);
  if (escape) {
    parser.set_escape('\\');
    ref.escape = '\\';
  }
  parser.set_skip_leading_blanks(skip_blanks);
  ref.skip_leading_blanks = skip_blanks;

  gleave::Row row;
  std::uint64_t last_position = parser.position();
  while (parser.next_row(row)) {
    const auto expected = ref.next();
    FUZZ_CHECK(expected.has_value());
    FUZZ_CHECK(row.size() >= 1);
    FUZZ_CHECK(row.size() == expected->size());
    for (std::size_t i = 0; i < row.size(); ++i) {
      FUZZ_CHECK(fuzz::valid_utf8(row.field(i)));
      FUZZ_CHECK(row.field(i) == (*expected)[i]);
    }
    FUZZ_CHECK(parser.line() == ref.line);
    FUZZ_CHECK(parser.position() > last_position);  // every row consumes input
    FUZZ_CHECK(parser.position() <= text.size());
    last_position = parser.position();
  }
  FUZZ_CHECK(!ref.next().has_value());
  FUZZ_CHECK(!parser.next_row(row));  // absent stays absent
  FUZZ_CHECK(parser.line() == ref.line);
  return 0;
}
