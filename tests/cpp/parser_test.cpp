// ResilientParser: the edge-case table, UTF-8 repair, line counting, and a
// differential test of the stray-quote lookahead (and its memo) against a
// byte-by-byte reference tokenizer.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "engine/scan/parser.hpp"
#include "tests/support/reference.hpp"

namespace {

using gleave::ResilientParser;
using gleave::Row;
using Fields = std::vector<std::string>;
using Rows = std::vector<Fields>;

enum Repair { Off, On, Either };
const std::string R = "\xEF\xBF\xBD";  // U+FFFD

struct Case {
  const char* name;
  std::string input;
  Repair repair;
  Rows rows;                              // successive rows; absent follows them
  std::vector<std::uint64_t> lines = {};  // `line` after each row; empty: unchecked
  unsigned char delimiter = ',';
  unsigned char quote = '"';
  std::optional<unsigned char> escape = std::nullopt;
  bool skip_blanks = false;
};

// Q is the double quote byte, spliced into string literals for readability.
#define Q "\""

// clang-format off
const Case kCases[] = {
    // The parser's documented edge cases, in their order.
    {"empty", "", Either, {}},
    {"bom_only", "\xEF\xBB\xBF", Either, {}},
    {"two_fields", "a,b", Either, {{"a", "b"}}, {1}},
    {"trailing_lf_adds_no_row", "a,b\n", Either, {{"a", "b"}}, {2}},
    {"trailing_delim_lf", "a,b,\n", Either, {{"a", "b", ""}}},
    {"trailing_delim_eof", "a,b,", Either, {{"a", "b", ""}}},
    {"lone_lf", "\n", Either, {{""}}, {2}},
    {"crlf_one_row", "\r\n", Either, {{""}}, {2}},
    {"lone_cr", "a\rb", Either, {{"a"}, {"b"}}, {2, 2}},
    {"quoted_delim", Q "x,y" Q ",z", Either, {{"x,y", "z"}}},
    {"doubled_quote", Q "a" Q Q "b" Q, Either, {{"a\"b"}}},
    {"empty_quoted", Q Q ",x", Either, {{"", "x"}}},
    {"quote_in_unquoted", "ab" Q "c,d", Either, {{"ab\"c", "d"}}},
    {"text_after_close", Q "abc" Q "def,x", Either, {{"abcdef", "x"}}},
    {"blanks_after_close", Q "abc" Q "  ,x", Either, {{"abc", "x"}}},
    {"stray_inner_on", Q "a " Q "b" Q " c" Q ",d", On, {{"a \"b\" c", "d"}}},
    {"stray_inner_off", Q "a " Q "b" Q " c" Q ",d", Off, {{"a b\" c\"", "d"}}},
    {"last_byte_candidate_on", Q "a" Q "b" Q, On, {{"a\"b"}}},
    {"last_byte_candidate_off", Q "a" Q "b" Q, Off, {{"ab\""}}},
    {"lf_in_quotes", Q "a\nb" Q ",c\n", Either, {{"a\nb", "c"}}, {3}},
    {"crlf_in_quotes", Q "a\r\nb" Q, Either, {{"a\r\nb"}}, {2}},
    {"unterminated_read_again", Q "abc,def\nghi", Either, {{"\"abc", "def"}, {"ghi"}}, {2, 2}},
    {"lone_quote_at_end", "a," Q, Either, {{"a", "\""}}},
    {"ff_byte", "a,\xFF,c", Either, {{"a", R, "c"}}},
    {"line_numbers", "a\nb\n", Either, {{"a"}, {"b"}}, {2, 3}},
    {"lf_then_cr", "a\n\rb", Either, {{"a"}, {""}, {"b"}}, {2, 3, 3}},
    {"partial_bom", "\xEF\xBB", Either, {{R}}},
    {"tab_delim_lookahead", Q "a " Q "b" Q "\tc", On, {{"a b\"", "c"}}, {}, '\t'},
    {"stray_then_close", Q "a " Q "b" Q ",c", On, {{"a \"b", "c"}}},
    {"space_quote_eof", Q "abc" Q " " Q, On, {{"abc\" "}}},
    {"skip_blanks_to_eof", "a,   ", Either, {{"a", ""}}, {}, ',', '"', std::nullopt, true},
    {"skip_blanks_only", "   ", Either, {}, {}, ',', '"', std::nullopt, true},
    {"escape", Q "a\\" Q "b" Q ",c", Either, {{"a\"b", "c"}}, {}, ',', '"', '\\'},
    // Further cases.
    {"leading_blanks_kept", "  a  , b\r\n c", Either, {{"  a  ", " b"}, {" c"}}, {2, 2}},
    {"skip_blanks_then_quote", "  " Q "a,b" Q ",\t c", Either, {{"a,b", "c"}}, {}, ',', '"',
     std::nullopt, true},
    {"skip_blanks_tab_delim", "a\t\tb", Either, {{"a", "b"}}, {}, '\t', '"', std::nullopt, true},
    {"escape_last_byte", Q "a\\", Either, {{"\"a\\"}}, {}, ',', '"', '\\'},
    {"escape_outside_quotes", "a\\,b", Either, {{"a\\", "b"}}, {}, ',', '"', '\\'},
    {"escaped_lf_is_text", Q "a\\\nb" Q "\n", Either, {{"a\\\nb"}}, {3}, ',', '"', '\\'},
    {"escaped_escape", Q "a\\\\" Q ",c", Either, {{"a\\", "c"}}, {}, ',', '"', '\\'},
    {"escape_before_text_kept", Q "C:\\dir\\" Q "x" Q, Either, {{"C:\\dir\"x"}}, {}, ',', '"', '\\'},
    {"escaped_quote_then_close", Q "a\\" Q Q, On, {{"a\""}}, {}, ',', '"', '\\'},
    {"lookahead_ignores_escape", Q "a" Q "b\\" Q ",c", On, {{"\"a\"b\\\"", "c"}}, {}, ',', '"', '\\'},
    {"apostrophe_quote", "'x,y'," Q "z" Q, Either, {{"x,y", "\"z\""}}, {}, ',', '\''},
    {"high_delimiter_is_a_byte", "a\xA6" "b", Either, {{"a", "b"}}, {}, 0xA6},
    {"high_delimiter_splits_char", "\xC2\xA6", Either, {{R, ""}}, {}, 0xA6},
    {"only_delimiter", ",", Either, {{"", ""}}},
    {"delimiter_lf", ",\n", Either, {{"", ""}}, {2}},
    {"four_quotes", Q Q Q Q, Either, {{"\""}}},
    {"doubled_then_eof", Q "a" Q Q, Either, {{"\"a\"\""}}},
    {"close_then_crlf", Q "a" Q "\r\nb", Either, {{"a"}, {"b"}}, {2, 2}},
    {"close_blank_lf", Q "a" Q " \n", Either, {{"a"}}, {2}},
    {"cr_cr_lf", "x\r\r\n", Either, {{"x"}, {""}}, {2, 3}},
    {"blank_lines", "a\n\n\nb", Either, {{"a"}, {""}, {""}, {"b"}}, {2, 3, 4, 4}},
    {"lookahead_stops_at_lf", Q "a" Q "b\nc" Q ",d", On, {{"ab"}, {"c\"", "d"}}, {2, 2}},
    {"lookahead_stops_at_cr", Q "a" Q "b\rc" Q ",d", On, {{"ab"}, {"c\"", "d"}}},
    {"candidate_blanks_to_eof", Q "a" Q "b" Q "  ", On, {{"a\"b"}}},
    {"doubled_in_scan_on", Q "a" Q "b" Q Q ",c", On, {{"\"a\"b\"\"", "c"}}},
    {"doubled_in_scan_off", Q "a" Q "b" Q Q ",c", Off, {{"ab\"\"", "c"}}},
    {"close_before_delim", Q "a" Q " ,b" Q ",c", On, {{"a", "b\"", "c"}}},
    {"bom_then_quote", "\xEF\xBB\xBF" Q "a,b" Q ",c", Either, {{"a,b", "c"}}},
    {"second_bom_kept", "\xEF\xBB\xBF\xEF\xBB\xBF" "a", Either, {{"\xEF\xBB\xBF" "a"}}},
};
// clang-format on

#undef Q

// A quoted field that never closes is read again with its opening quote as an
// ordinary byte, instead of swallowing the rest of the input.
// clang-format off
const Case kRunaways[] = {
    {"stray_opening_quote", "a,\"b\nc,d\ne,f\n", Either, {{"a", "\"b"}, {"c", "d"}, {"e", "f"}}, {2, 3, 4}},
    {"after_a_closed_field", "a,\"x\",c\n\"y,z\n1,2\n", Either, {{"a", "x", "c"}, {"\"y", "z"}, {"1", "2"}}, {2, 3, 4}},
    {"doubled_quotes_kept_raw", "x,\"q\"\"\n1,2\n", Either, {{"x", "\"q\"\""}, {"1", "2"}}, {2, 3}},
    {"only_an_open_quote", "\"abc", Either, {{"\"abc"}}, {1}},
    {"crlf_row_end", "\"a,b\r\nc,d", Either, {{"\"a", "b"}, {"c", "d"}}, {2, 2}},
    {"lone_cr_row_end", "\"a\rb", Either, {{"\"a"}, {"b"}}, {2, 2}},
    {"many_lines_one_runaway", "h\n\"1\n2\n3\n4\n", Either, {{"h"}, {"\"1"}, {"2"}, {"3"}, {"4"}}, {2, 3, 4, 5, 6}},
    {"every_line_a_runaway", "\"1\"\"\n\"2\"\"\n\"3\"\"", On, {{"\"1\"\""}, {"\"2\"\""}, {"\"3\"\""}}, {2, 3, 3}},
    {"closed_by_a_later_quote", "\"1\n\"2\n\"3", Either, {{"1\n2"}, {"\"3"}}, {3, 3}},
    {"closed_by_a_later_line", "\"a\nb\",c\n", Either, {{"a\nb", "c"}}, {3}},
    {"tab_delimiter", "\"a\tb\nc\td", Either, {{"\"a", "b"}, {"c", "d"}}, {2, 2}, '\t'},
    {"skip_blanks_then_runaway", "  \"a,b\nc", Either, {{"\"a", "b"}, {"c"}}, {2, 2}, ',', '"', std::nullopt, true},
};
// clang-format on

class ParserTable : public testing::TestWithParam<Case> {};

Rows parse_all(const Case& c, bool repair, std::vector<std::uint64_t>* lines) {
  ResilientParser p(c.input, c.delimiter, c.quote, repair);
  p.set_escape(c.escape);
  p.set_skip_leading_blanks(c.skip_blanks);
  Rows out;
  Row row;  // reused across calls, as the repair pass does
  while (p.next_row(row)) {
    out.push_back(row.to_strings());
    lines->push_back(p.line());
    if (out.size() > c.rows.size() + 5) break;
  }
  EXPECT_FALSE(p.next_row(row)) << "absent must stay absent";
  EXPECT_FALSE(p.next_row().has_value());
  return out;
}

TEST_P(ParserTable, SuccessiveRows) {
  const Case& c = GetParam();
  for (const bool repair : {false, true}) {
    if ((c.repair == On && !repair) || (c.repair == Off && repair)) continue;
    std::vector<std::uint64_t> lines;
    EXPECT_EQ(parse_all(c, repair, &lines), c.rows) << "repair_quotes=" << repair;
    if (!c.lines.empty()) {
      EXPECT_EQ(lines, c.lines) << "repair_quotes=" << repair;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Tokenizer, ParserTable, testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });
INSTANTIATE_TEST_SUITE_P(Runaway, ParserTable, testing::ValuesIn(kRunaways),
                         [](const auto& info) { return std::string(info.param.name); });

// Per-field UTF-8 decoding: one U+FFFD per maximal subpart.
struct Utf8Case {
  const char* name;
  std::string input;
  Fields fields;
};

// clang-format off
const Utf8Case kUtf8[] = {
    {"valid_multibyte", "\xC3\xA9,\xE2\x82\xAC,\xF0\x9F\x98\x80", {"\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80"}},
    {"truncated_3byte", "x\xE2\x82y", {"x" + R + "y"}},
    {"truncated_3byte_at_end", "\xE2\x82", {R}},
    {"truncated_4byte", "\xF0\x9F\x98,z", {R, "z"}},
    {"overlong_e0_80", "\xE0\x80\x80", {R + R + R}},
    {"overlong_c0_c1", "\xC0\xAF\xC1\xBF", {R + R + R + R}},
    {"surrogate_ed_a0_80", "\xED\xA0\x80", {R + R + R}},
    {"above_max_f4_90", "\xF4\x90\x80\x80", {R + R + R + R}},
    {"f5_and_up", "\xF5\x80\xFE\xFF", {R + R + R + R}},
    {"stray_continuations", "\x80\xBF" "a", {R + R + "a"}},
    {"unicode_example", "a\xF1\x80\x80\xE1\x80\xC2" "b\x80" "c\x80\xBF" "d",
     {"a" + R + R + R + "b" + R + "c" + R + R + "d"}},
    {"split_by_delimiter", "\xE2,\x82\xAC", {R, R + R}},
    {"lead_before_delimiter", "\xC3,\xA9", {R, R}},
    {"inside_quotes", "\"\xE2\x82\xAC\xE2\",\xC3\xA9", {"\xE2\x82\xAC" + R, "\xC3\xA9"}},
};
// clang-format on

class Utf8Table : public testing::TestWithParam<Utf8Case> {};

TEST_P(Utf8Table, ReplacesMaximalSubparts) {
  ResilientParser p(GetParam().input, ',', '"', true);
  EXPECT_EQ(p.next_row(), std::optional<Fields>(GetParam().fields));
  EXPECT_FALSE(p.next_row().has_value());
}

INSTANTIATE_TEST_SUITE_P(Decoding, Utf8Table, testing::ValuesIn(kUtf8),
                         [](const auto& info) { return std::string(info.param.name); });

// The reference is the fuzz targets' byte-at-a-time tokenizer: one rule at a
// time, the lookahead rescanning the line for every quote (no memo).
void expect_same_as_reference(const std::string& text, char d, bool repair, std::optional<char> esc,
                              bool skip) {
  reference::RefParser ref(text, static_cast<unsigned char>(d), '"', repair);
  if (esc) ref.escape = static_cast<unsigned char>(*esc);
  ref.skip_leading_blanks = skip;
  ResilientParser p(text, static_cast<unsigned char>(d), '"', repair);
  if (esc) p.set_escape(static_cast<unsigned char>(*esc));
  p.set_skip_leading_blanks(skip);
  for (int i = 0;; ++i) {
    const auto want = ref.next();
    const auto got = p.next_row();
    ASSERT_EQ(got, want) << "row " << i << " of " << testing::PrintToString(text);
    if (!want) break;
    ASSERT_EQ(p.line(), ref.line) << "row " << i << " of " << testing::PrintToString(text);
  }
}

TEST(ParserReference, RandomInputsMatchTheAlgorithm) {
  std::mt19937 rng(20240601);
  const std::string alphabet = "aab\"\"\",,  \t\n\r\\";
  for (int iter = 0; iter < 40000; ++iter) {
    std::string text(rng() % 40, ' ');
    for (auto& ch : text) ch = alphabet[rng() % alphabet.size()];
    const unsigned cfg = rng();
    expect_same_as_reference(text, cfg & 1 ? '\t' : ',', cfg & 2,
                             cfg & 4 ? std::optional<char>('\\') : std::nullopt, cfg & 8);
    if (testing::Test::HasFatalFailure()) return;
  }
}

// Many quotes on one long line: every undoubled quote inside the quoted field
// runs the lookahead, which the parser memoises across quotes and rows.
TEST(ParserReference, ManyQuotesOnLongLines) {
  std::mt19937 rng(7);
  const std::vector<std::string> pieces = {"a\"b ", "\" x", "\"\"", "c", " \" ", ",", "\"\t"};
  for (int iter = 0; iter < 200; ++iter) {
    std::string text;
    const int lines = 1 + static_cast<int>(rng() % 3);
    for (int l = 0; l < lines; ++l) {
      text += '"';
      const int n = 50 + static_cast<int>(rng() % 400);
      for (int k = 0; k < n; ++k) text += pieces[rng() % pieces.size()];
      if (rng() % 2) text += "\",end";
      text += l + 1 < lines || rng() % 2 ? "\n" : "";
    }
    expect_same_as_reference(text, ',', true, std::nullopt, false);
    if (testing::Test::HasFatalFailure()) return;
  }
}

}  // namespace

namespace {

std::uint64_t count_rows(const std::string& text) {
  ResilientParser p(text, ',', '"', true);
  Row row;
  std::uint64_t rows = 0;
  while (p.next_row(row)) ++rows;
  return rows;
}

// Every line opens a quote that never closes (each later quote is doubled or
// stray): each is a runaway that ends at its own line, so every line stays a
// row. (That none costs a scan to the end of the input is watched by the
// benchmark's runaway variant, not timed here.)
TEST(ParserRunaway, ManyRunawaysStayRows) {
  auto text_of = [](int lines) {
    std::string t;
    for (int i = 0; i < lines; ++i) t += "x,\"abc" + std::to_string(i) + "\"\"\n";
    return t;
  };
  const std::string small = text_of(4000), large = text_of(32000);
  EXPECT_EQ(count_rows(small), 4000u);
  EXPECT_EQ(count_rows(large), 32000u);
}

}  // namespace
