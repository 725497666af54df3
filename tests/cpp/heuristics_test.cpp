// sniff_delimiter and infer_column_count: the edge cases
// as tables, the White_Space blank filter, the row budgets and the tie rule
// (among tied field counts, the one that first occurred in the text wins).
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "engine/detect/heuristics.hpp"

namespace {

using gleave::infer_column_count;
using gleave::sniff_delimiter;

std::string repeat(const std::string& s, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += s;
  return out;
}

// Blank-looking lines, each a single field that is White_Space only.
const std::string kBlanks =
    "\n  \n\xC2\xA0\n\xE3\x80\x80 \n\x0B\x0C\n\xC2\x85\n\xE2\x80\xA8\n\"\"\n";

struct SniffCase {
  const char* name;
  std::string text;
  char expected;
};

// clang-format off
const SniffCase kSniff[] = {
    {"empty", "", ','},
    {"single_row", "a;b;c|d\te\n", ','},
    {"blank_lines_only", kBlanks, ','},
    {"two_semicolon_rows", "a;b\nc;d\n", ';'},
    {"comma_and_semicolon_tie", "a,b;c\nd,e;f\n", ','},
    {"wider_beats_more_consistent", repeat("a,b;c;d;e\n", 8) + repeat("a,b\n", 2), ';'},
    {"three_fields_beat_two", "a;b;c\nd;e;f\ng,h\ni,j\n", ';'},
    {"tab", "a\tb\tc\nd\te\tf\n", '\t'},
    {"bar", "a|b\nc|d\n", '|'},
    // Comma: rows of 1, 2, 2, 2 fields give 3/4 = 0.75; semicolon 1.0. Left
    // out of the denominator, the one-field row would give comma 1.0 and the
    // tie to comma.
    {"one_field_rows_count_in_denominator", "w;x\na,b;c\na,b;c\na,b;c\n", ';'},
    {"overview_example", "id;name;city\n1;Ann;Oslo\n2;Bob\n3;Cy;Rome;extra\n", ';'},
    {"quoted_multiline_is_one_row", "\"a;b\nc;d\ne;f\",x\n\"g\",y\n", ','},
    {"bom_skipped", "\xEF\xBB\xBF\"a;b;c\",x\nc;d;e,f\n", ','},
    {"no_bom_same_text", "\"a;b;c\",x\nc;d;e,f\n", ','},
    {"unskipped_bom_would_split", "\xEF\xBB\"a;b;c\",x\nc;d;e,f\n", ';'},
    {"blank_multi_field_rows_count", ";\n;\n,x\n", ';'},
    // Budget of 50 counted rows: 25 rows of a;b and 25 of a,b tie (comma
    // wins); a 51st row x;y would tip it, a 49-row budget too.
    {"budget_exactly_50", repeat("a;b\n", 25) + repeat("a,b\n", 25) + "x;y\n", ','},
    // Counted, the eight blank rows after each a;b would fill the budget after
    // six a;b rows: semicolon 0.12, comma 0.
    {"budget_not_used_by_blanks", repeat("a;b\n" + kBlanks, 25) + repeat("a,b\n", 25) + "x;y\n", ','},
    {"after_budget_ignored", repeat(kBlanks, 10) + repeat("a;b\n", 50) + repeat("a,b,c\n", 100), ';'},
    // Ties inside a candidate: semicolon sees four rows of 3 and four of 4
    // fields; comma scores 5/8. The width seen first decides: ln 3 / 2 = 0.549
    // loses, ln 4 / 2 = 0.693 wins.
    {"tie_first_width_3_wins", repeat("a,b;c;d\n", 4) + "a,b;c;d;e\n" + repeat("a;b;c;d\n", 3), ','},
    {"tie_first_width_4_wins", "a,b;c;d;e\n" + repeat("a;b;c;d\n", 3) + repeat("a,b;c;d\n", 4), ';'},
};
// clang-format on

class SniffTable : public testing::TestWithParam<SniffCase> {};

TEST_P(SniffTable, ChoosesDelimiter) {
  EXPECT_EQ(sniff_delimiter(GetParam().text), static_cast<unsigned char>(GetParam().expected));
}

INSTANTIATE_TEST_SUITE_P(Sniff, SniffTable, testing::ValuesIn(kSniff),
                         [](const auto& info) { return std::string(info.param.name); });

struct InferCase {
  const char* name;
  std::string text;
  char delimiter;
  std::uint64_t expected;
};

// clang-format off
const InferCase kInfer[] = {
    {"empty", "", ',', 0},
    {"blank_lines_only", kBlanks, ',', 0},
    {"single_words", "a\nb\nc\n", ',', 1},
    {"three_three_two", "a,b,c\nd,e,f\ng,h\n", ',', 3},
    {"header_word_then_fours", "title\n" + repeat("a;b;c;d\n", 5), ';', 4},
    {"blank_multi_field_rows_count", ",\n , \n,\na,b,c\n", ',', 2},
    {"first_100_only", repeat("a,b,c,d\n", 100) + repeat("a,b,c,d,e\n", 200), ',', 4},
    // 49 rows of 3, 50 of 4, then the 100th row of 3: a tie broken by first
    // occurrence (3). A 99- or 101-row budget would give 4.
    {"budget_exactly_100", repeat("a,b,c\n", 49) + repeat("a,b,c,d\n", 50) + "a,b,c\n" + repeat("a,b,c,d\n", 9), ',', 3},
    {"budget_not_used_by_blanks", repeat(kBlanks, 20) + repeat("a,b,c\n" + kBlanks, 49) +
                                      repeat("a,b,c,d\n", 50) + "a,b,c\n" + repeat("a,b,c,d\n", 9), ',', 3},
    {"bom_skipped", "\xEF\xBB\xBF\"a,b\",c\n", ',', 2},
    {"multiline_quoted_is_one_row", "\"a\nb,c\nd\",e\n", ',', 2},
    {"double_quote_only", "'a,b',c\n'd,e',f\n", ',', 3},
    {"tie_first_seen_3", "a,b,c\na,b,c\na,b,c,d\na,b,c,d\n", ',', 3},
    {"tie_first_seen_4", "a,b,c,d\na,b,c\na,b,c,d\na,b,c\n", ',', 4},
    {"tie_first_seen_1", "x\ny\na,b\nc,d\n", ',', 1},
    {"other_delimiter", "a|b|c\n", '|', 3},
};
// clang-format on

class InferTable : public testing::TestWithParam<InferCase> {};

TEST_P(InferTable, MostFrequentWidth) {
  const auto& c = GetParam();
  EXPECT_EQ(infer_column_count(c.text, static_cast<unsigned char>(c.delimiter)), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Infer, InferTable, testing::ValuesIn(kInfer),
                         [](const auto& info) { return std::string(info.param.name); });

// The blank-row filter: one field, empty after trimming Unicode White_Space
// (not C isspace, not Python's str.strip). Both heuristics use it, so a
// one-line text counts as a row of width 1 exactly when it is not blank.
struct BlankCase {
  const char* name;
  std::string line;
  bool blank;
};

// clang-format off
const BlankCase kBlank[] = {
    {"empty", "", true},
    {"spaces_tabs", " \t ", true},
    {"vt_ff", "\x0B\x0C", true},
    {"nel_u0085", "\xC2\x85", true},
    {"nbsp_u00a0", "\xC2\xA0", true},
    {"ogham_u1680", "\xE1\x9A\x80", true},
    {"en_quad_to_hair_u2000_200a", "\xE2\x80\x80\xE2\x80\x8A", true},
    {"line_para_sep_u2028_2029", "\xE2\x80\xA8\xE2\x80\xA9", true},
    {"narrow_nbsp_u202f", "\xE2\x80\xAF", true},
    {"math_space_u205f", "\xE2\x81\x9F", true},
    {"ideographic_u3000", "\xE3\x80\x80", true},
    {"quoted_blank", "\" \xC2\xA0 \"", true},
    {"zero_width_space_u200b", "\xE2\x80\x8B", false},
    {"mongolian_vowel_sep_u180e", "\xE1\xA0\x8E", false},
    {"bom_char_ufeff_mid_text", " \xEF\xBB\xBF", false},
    {"info_separators_1c_1f", "\x1C\x1D\x1E\x1F", false},
    {"nul", std::string("\0", 1), false},
    {"invalid_utf8_becomes_fffd", "\xA0", false},
    {"nbsp_around_word", "\xC2\xA0x\xC2\xA0", false},
    {"word", "x", false},
};
// clang-format on

class BlankTable : public testing::TestWithParam<BlankCase> {};

TEST_P(BlankTable, WhiteSpaceFilter) {
  const auto& c = GetParam();
  EXPECT_EQ(infer_column_count(c.line + "\n", ','), c.blank ? 0u : 1u);
}

INSTANTIATE_TEST_SUITE_P(Parts1_2_and_1_3, BlankTable, testing::ValuesIn(kBlank),
                         [](const auto& info) { return std::string(info.param.name); });

// The sniff filter itself, with its budget: 50 blank lines of the kind under
// test before 50 counted rows. If the line counted, it would use up comma's
// budget with rows of one field and leave the semicolon rows unread.
TEST_P(BlankTable, SniffBudgetIgnoresBlankRows) {
  const auto& c = GetParam();
  const std::string text = repeat(c.line + "\n", 50) + repeat("a;b\n", 50);
  // Blank: semicolon reads its 50 rows and wins with 1.0. Not blank: 50
  // one-field rows fill every budget, all score 0, comma.
  EXPECT_EQ(sniff_delimiter(text), c.blank ? ';' : ',');
}

}  // namespace
