// detect_dialect over generated variants of every file shape it must read
// right with no option given (each a failure measured on real files), the
// cell types behind its type score, and the two parser options dialects use.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "engine/dialect/cells.hpp"
#include "engine/dialect/dialect.hpp"
#include "engine/dialect/structure.hpp"
#include "engine/scan/parser.hpp"

namespace {

using gleave::detect_dialect;
using gleave::Dialect;

std::string rows(const std::string& header, const std::string& row, int n) {
  std::string out = header.empty() ? "" : header + "\n";
  for (int i = 0; i < n; ++i) out += row + "\n";
  return out;
}

// A typed table under any delimiter: header plus n rows of id, name, amount, date.
std::string table(const std::string& d, int n = 12) {
  std::string out = "id" + d + "name" + d + "amount" + d + "date\n";
  for (int i = 1; i <= n; ++i) {
    out += std::to_string(i) + d + (i % 2 ? "Anna" : "Jürgen") + d + std::to_string(i * 7) + ".5" +
           d + "2021-03-" + std::to_string(10 + i) + "\n";
  }
  return out;
}

constexpr int kAny = -2;  // the quote char is not checked
constexpr int kNone = -1;

struct Case {
  const char* name;
  std::string text;
  char delimiter;
  int quote = kAny;
  bool skip = false;
  std::uint64_t preamble = 0;
  std::uint64_t width = 0;  // expected_width; 0: unchecked
  bool missing_first = false;
  bool not_a_table = false;
};

const std::string kProse =
    "It was the best of times, it was the worst of times, it was the age\n"
    "of wisdom, it was the age of foolishness, it was the epoch of belief\n"
    "it was the epoch of incredulity, it was the season of Light, it was the\n"
    "season of Darkness, it was the spring of hope, it was the winter of\n"
    "despair, we had everything before us, we had nothing before us, we were\n"
    "all going direct to Heaven, we were all going direct the other way, in\n"
    "short, the period was so far like the present period, that some of its\n"
    "noisiest authorities insisted on its being received, for good or for\n"
    "evil, in the superlative degree of comparison only.\n";

// clang-format off
const Case kCases[] = {
    // Delimiters of the wider set.
    {"comma", table(","), ',', '"', false, 0, 4},
    {"semicolon", table(";"), ';', kAny, false, 0, 4},
    {"tab", table("\t"), '\t', kAny, false, 0, 4},
    {"pipe", table("|"), '|', kAny, false, 0, 4},
    {"space", rows("id name score", "7 Smith 3.5", 10), ' ', kAny, false, 0, 3},
    {"colon", table(":"), ':', kAny, false, 0, 4},
    {"caret", table("^"), '^', kAny, false, 0, 4},
    {"tilde", table("~"), '~', kAny, false, 0, 4},
    // A comma and a blank, with quoted commas inside.
    {"comma_space", rows("id, name, ok", "1, \"Smith, J\", yes", 8), ',', '"', true, 0, 3},
    {"comma_space_unquoted", rows("a, b, c", "1, 2.5, x", 8), ',', kAny, true, 0, 3},
    // Quote characters.
    {"single_quotes", rows("id,name,n", "1,'Smith, J',3", 8), ',', '\'', false, 0, 3},
    {"double_quotes", rows("id;name;n", "1;\"Smith; J\";3", 8), ';', '"', false, 0, 3},
    {"no_quoting", rows("id,size,note", "1,5\" pipe,\"open ended", 8), ',', kNone, false, 0, 3},
    // Decimal commas under ';' beat a comma split.
    {"decimal_comma", rows("a;b;c", "1,99;0,38;2,37", 6), ';', kAny, false, 0, 3},
    {"decimal_comma_two_cols", rows("Name;Wert", "A;1,5", 6), ';', kAny, false, 0, 2},
    {"decimal_comma_no_header", rows("", "1,5;2,5", 6), ';', kAny, false, 0, 2},
    // One-line files: the delimiter seen most often outside quotes.
    {"one_line_semicolon", "a;b;c\n", ';', kAny, false, 0, 3},
    {"one_line_quoted", "\"Stimmen\";\"Wahlkreis, Name\"\n", ';', '"', false, 0, 2},
    {"one_line_tab", "a\tb\tc", '\t', kAny, false, 0, 3},
    {"one_line_space_only", "alpha beta gamma\n", ' ', kAny, false, 0, 3},
    {"one_line_decimal_commas", "1,99;0,38;2,37\n", ';', kAny, false, 0, 3},
    {"one_line_times", "12:,12:0,12:00,12:0:,12:00:\n", ',', kAny, false, 0, 5},
    // Preambles: titles, comments, blank lines, padded titles, sep= lines.
    {"title", "Election results 2021\n" + table(";"), ';', kAny, false, 1, 4},
    {"comments", "# exported by tool\n# version 2\n" + table(","), ',', kAny, false, 2, 4},
    {"title_blank_source", "Report\n\nSource: office\n" + table("\t"), '\t', kAny, false, 3, 4},
    {"padded_title", "Report 2003;;;\n" + table(";"), ';', kAny, false, 1, 4},
    {"sep_line", "sep=;\n" + table(";"), ';', kAny, false, 1, 4},
    {"sep_line_tab_quoted", "\"sep=|\"\n" + table("|"), '|', kAny, false, 1, 4},
    {"sep_line_then_title", "sep=,\nTitle\n" + table(","), ',', kAny, false, 2, 4},
    // Header one field short: the unnamed row-label column is at the front.
    {"header_short", rows("x,y", "r1,1,2", 6) + rows("", "r2,3,4", 6), ',', kAny, false, 0, 3, true},
    {"header_short_trailing_delimiter", rows("x,y", "1,2,", 8), ',', kAny, false, 0, 3, false},
    {"header_short_row_labels", "x,y\nrow one,1,2\n", ',', kAny, false, 0, 3, true},
    // One wider data row is no evidence: the header keeps its width.
    {"header_short_one_row", "h1,h2\n1,2,3\n4\n", ',', kAny, false, 0, 2, false},
    {"header_short_tie", "a,b,c\n1,2\n3,4,5,6\n", ',', kAny, false, 0, 3, false},
    {"header_short_empty_last", rows("x,y", "1,2,", 3) + rows("", "3,4,5", 1), ',', kAny, false, 0, 3,
     false},
    // Quotes that pair up are read as quotes, however small the sample.
    {"quoted_delimiter_small", "h1,h2,h3\n\"a,b\",c\n", ',', '"', false, 0, 3},
    {"quoted_line_break_small", "h1,h2,h3\na,\"x\ny\",c,d\n", ',', '"', false, 0, 0},
    // One column of times, dates or numbers is not split on ':' or ' '.
    {"one_column_times", rows("time", "05:40", 3) + "21:30\n", ',', kAny, false, 0, 1},
    // Rows of separate numbers are a table, whatever a whole line looks like.
    {"space_numbers", rows("Int0 int_1 num_2", "1 1 849.72", 6), ' ', kAny, false, 0, 3},
    {"one_column_grouped", rows("amount", "12 500", 4), ',', kAny, false, 0, 1},
    // A width seen once makes no lines above it a preamble.
    {"no_table_no_preamble", "x,y\n1,2,3,4,5,6\nz\n", ',', kAny, false, 0, 0},
    // Most rows leave out an empty last column: the header's width wins.
    {"missing_last_column", rows("a,b,c,note", "1,2,3", 9) + "4,5,6,late\n" + rows("", "7,8,9", 5),
     ',', kAny, false, 0, 4},
    // Prose is not a table.
    {"prose", kProse, ',', kAny, false, 0, 0, false, true},
    // Quotes read as the parser reads them: a quote inside a field with a
    // closing quote further on is literal; one that never closes is a byte.
    {"stray_quotes_one_column", "\"Pedro \"the\" legend\"\n\"Pedro \"the\"\n\"Pedro \"the\"\n", ',', '"',
     false, 0, 1},
    {"stray_quotes_keep_delimiter", rows("id;name", "1;\"pedro \"pdet\" ho;landa\"", 5), ';', '"',
     false, 0, 2},
    {"runaway_quote_one_line", ",,x,,\"a,,b,c,,\n", ',', kAny, false, 0, 10},
    // Quotes that pair up protect what they hold from splits that ignore them.
    {"quotes_hold_blanks", rows("", "Apfel,\"This is Alice's apple, so you can't eat it.\"", 3), ',',
     '"', false, 0, 2},
    {"quoted_struct_one_column", "struct_col\n\"{'a': 1, 'b': 2}\"\n", ',', '"', false, 0, 1},
    {"tab_table_quoted_json", rows("id\tteam\ttags", "1\t58\t{\"rule\": \"four score, and seven\"}", 4),
     '\t', kAny, false, 0, 3},
    // Steady readings outweigh unsteady ones; a steady single column of
    // recognised cells outweighs splits only some rows allow.
    {"colon_in_some_rows", "ann@example.com:pw1\nbob@example.com\nV-I:bogus:vega\ncy@example.com:pw3\n",
     ',', '"', false, 0, 1},
    {"steady_semicolon_over_blanks",
     "   bla;    eeee x   ee y      1\n3   # 5;7   1\n3   #  5;7\n6bld   bla;\n", ';', kAny, false, 0, 2},
    // A header of empty names, or of one name padded, is no title; a title's
    // padding is.
    {"empty_header_is_no_title", ",,\n123,TEST3,text1\n345,TEST3,text2\n", ',', kAny, false, 0, 3},
    {"one_name_header_is_no_title", "a,,,,\n1,x,y,,v\n2,x,y,,v\n3,x,y,,v\n", ',', kAny, false, 0, 5},
    {"title_then_padding", "Report 2003,,\n,,\nid,name,n\n1,a,2\n2,b,3\n3,c,4\n", ',', kAny, false, 2,
     3},
};
// clang-format on

class Detect : public ::testing::TestWithParam<Case> {};

TEST_P(Detect, ReadsRight) {
  const Case& c = GetParam();
  Dialect o;
  o.keep_evidence = true;
  const Dialect d = detect_dialect(c.text, o);
  EXPECT_EQ(d.not_a_table, c.not_a_table);
  if (c.not_a_table) return;
  EXPECT_EQ(static_cast<char>(d.delimiter), c.delimiter);
  if (c.quote == kNone) {
    EXPECT_FALSE(d.quote_char.value.has_value());
  } else if (c.quote != kAny) {
    ASSERT_TRUE(d.quote_char.value.has_value());
    EXPECT_EQ(static_cast<int>(*d.quote_char.value), c.quote);
  }
  EXPECT_EQ(d.skip_initial_space, c.skip);
  EXPECT_EQ(d.preamble_lines, c.preamble);
  if (c.width != 0) {
    EXPECT_EQ(d.expected_width, c.width);
  }
  EXPECT_EQ(d.header_missing_first, c.missing_first);
  EXPECT_FALSE(d.evidence.empty());
}

INSTANTIATE_TEST_SUITE_P(Shapes, Detect, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Detect, HeaderAndSingleLineFlags) {
  EXPECT_TRUE(detect_dialect(table(",")).header);
  EXPECT_FALSE(detect_dialect(rows("", "1,2.5,2021-01-01", 5)).header);
  const Dialect one = detect_dialect("a;b;c");
  EXPECT_TRUE(one.single_line && one.header);
  EXPECT_TRUE(detect_dialect("sep=;\na;b\n1;2\n").sep_line);
}

TEST(Detect, EmptyAndBomInputs) {
  const Dialect empty = detect_dialect("");
  EXPECT_EQ(empty.delimiter, ',');
  EXPECT_EQ(empty.expected_width, 0u);
  EXPECT_FALSE(empty.not_a_table);
  EXPECT_EQ(detect_dialect("\xEF\xBB\xBF" + table(";")).delimiter, ';');
  EXPECT_EQ(detect_dialect("\n\n\n").expected_width, 0u);
}

TEST(Detect, GivenPartsAreKept) {
  Dialect o;
  o.delimiter.give(';');
  EXPECT_EQ(detect_dialect(table(","), o).delimiter, ';');
  o = {};
  o.quote_char.give(std::nullopt);  // no quoting
  EXPECT_FALSE(detect_dialect(rows("a,b", "\"x,y\",1", 5), o).quote_char.value.has_value());
  o = {};
  o.skip_initial_space.give(false);
  EXPECT_FALSE(detect_dialect(rows("a, b", "1, 2", 5), o).skip_initial_space.value);
}

TEST(Detect, SampleIsBounded) {
  // A comma table whose far end (past the sample) turns into semicolons.
  std::string text = table(",", 200) + rows("", "1;2;3;4;5;6;7;8", 20000);
  Dialect o;
  o.sample_bytes = 4096;
  EXPECT_EQ(detect_dialect(text, o).delimiter, ',');
}

// The table's structure: quotes escaped with a backslash, headers of
// several rows, and several tables.
struct StructureCase {
  const char* name;
  std::string text;
  int escape = kNone;  // the escape byte detected, or kNone
  std::uint32_t header_rows = 1;
  std::uint32_t tables = 1;
  std::uint64_t other_table_line = 0;
  std::uint64_t preamble = 0;
  std::uint64_t footnote_line = 0;
};

// clang-format off
const StructureCase kStructures[] = {
    {"escaped_quotes", rows("id,text", "1,\"say \\\"hi\\\", ok\"", 5), '\\'},
    {"escaped_quotes_semicolon", rows("a;b;c", "1;\"x \\\"y\\\"\";2,5", 5), '\\'},
    {"doubled_quotes", rows("id,text", "1,\"say \"\"hi\"\", ok\"", 5)},
    {"backslash_before_closing_quote", rows("id,path", "1,\"C:\\dir\\\"", 5)},
    {"both_doubled_and_escaped", rows("id,t", "1,\"a \"\"b\"\" \\\"c\\\"\"", 5)},
    {"group_row", ",2019,,2020,\nname,q1,q2,q1,q2\n" + rows("", "Ann,1.5,2,3,4", 5), kNone, 2},
    {"group_row_short", ",2019,,2020\nname,q1,q2,q1,q2\n" + rows("", "Ann,1.5,2,3,4", 5), kNone, 2},
    {"units_row", "name,w,h\n,kg,%\n" + rows("", "Ann,1.5,2", 5), kNone, 2},
    {"plain_header", table(","), kNone, 1},
    {"data_missing_values", "name,score\nAnna,\nBob,\n" + rows("", "Cy,3", 4), kNone, 1},
    {"no_header", rows("", "1,2.5,2021-01-01", 5), kNone, 1},
    {"two_tables", table(",", 5) + "\nregion,total\nNorth,1\nSouth,2\n", kNone, 1, 2, 8},
    {"titled_table", table(",", 5) + "Totals\nregion,total\nNorth,1\n", kNone, 1, 2, 7},
    {"small_table_above", "region,total\nNorth,1\n\n" + table(",", 5), kNone, 1, 2, 0, 3},
    // Keys and their values right above a header of four or more names.
    {"key_values_above", "Title;Quarterly export\nExported;2024-12-15\nSource;Oslo office\n" + table(";"), kNone, 1, 1, 0, 3},
    {"key_values_above_tab", "Exported\t2024-12-15 10:00:00\nRows\t12\n" + table("\t"), kNone, 1, 1, 0, 2},
    {"blank_inside_table", table(",", 3) + "\n" + rows("", "9,Ann,1.5,2021-03-01", 3), kNone, 1, 1},
    {"ragged_after_blank", table(",", 5) + "\nnote,x\n7\n8,a,b,c,d\n", kNone, 1, 1},
    {"same_width_block", table(",", 3) + "\n" + table(",", 3), kNone, 1, 1},
    {"same_width_new_header", table(",", 4) + "\nregion,city,x,y\nN,Oslo,a,b\nS,Rome,c,d\n", kNone, 1, 2, 7},
    {"same_width_without_blank", table(",", 4) + "region,city,x,y\nN,Oslo,a,b\nS,Rome,c,d\n", kNone, 1, 1},
    {"footnotes", table(",", 3) + "\nSource: office\n* provisional\n", kNone, 1, 1, 0, 0, 6},
    {"cut_off_last_row", table(",", 3) + "4\n", kNone, 1, 1, 0, 0, 0},
    {"note_under_two_columns", rows("a,b", "1,2", 4) + "Source: office\n", kNone, 1, 1, 0, 0, 0},
};
// clang-format on

class Structure : public ::testing::TestWithParam<StructureCase> {};

TEST_P(Structure, IsDetected) {
  const StructureCase& c = GetParam();
  const Dialect d = detect_dialect(c.text);
  EXPECT_EQ(d.escape_char.value ? static_cast<int>(*d.escape_char.value) : kNone, c.escape);
  EXPECT_EQ(d.header_rows, c.header_rows);
  EXPECT_EQ(d.tables, c.tables);
  EXPECT_EQ(d.other_table_line, c.other_table_line);
  EXPECT_EQ(d.preamble_lines, c.preamble);
  EXPECT_EQ(d.footnote_line, c.footnote_line);
  EXPECT_TRUE(d.header || c.header_rows == 1);
}

INSTANTIATE_TEST_SUITE_P(Tables, Structure, ::testing::ValuesIn(kStructures),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Structure, GivenEscapeIsKept) {
  Dialect o;
  o.escape_char.give(std::nullopt);  // none
  EXPECT_FALSE(detect_dialect(rows("id,text", "1,\"say \\\"hi\\\"\"", 5), o).escape_char.value);
  o.escape_char.give('~');
  EXPECT_EQ(detect_dialect(table(","), o).escape_char.value, std::optional<unsigned char>('~'));
}

// A quote that never closes is an ordinary byte only when the sample is
// the whole input: in a longer one it may close past the sample's end.
TEST(Detect, QuoteRunsAwayOnlyInTheWholeInput) {
  const std::string text = "a,b\n1,\"x\n" + rows("", "2,y", 50);
  Dialect o;
  o.keep_evidence = true;
  const Dialect whole = detect_dialect(text, o);
  o.sample_bytes = text.size() - 2;
  const Dialect part = detect_dialect(text, o);
  auto quoted_rows = [](const Dialect& d) {
    for (const auto& e : d.evidence) {
      if (e.delimiter == ',' && e.quote_char == '"' && !e.skip_initial_space) return e.rows;
    }
    return 0u;
  };
  EXPECT_EQ(quoted_rows(whole), 52u);  // the quote read as a byte
  EXPECT_EQ(quoted_rows(part), 2u);    // the quoted field runs to the sample's end
  EXPECT_EQ(whole.expected_width, 2u);
}

struct CellCase {
  const char* cell;
  char delimiter;
  gleave::dialect::CellType type;
};

// Without evidence, detection skips readings that cannot win and shares
// those a quote character would not change, and it keeps its working memory
// from one call to the next: none of that may change what it finds.
TEST(Detect, ShortcutsFindWhatTheFullComparisonFinds) {
  const std::vector<std::string> texts = {
      "\"'pedro;br;nl;1.72\nmark;nl\ndiego;\"\npedro;nl",  // quotes of both kinds, cut
      "id, name, ok\n1, \"Smith, J\", yes\n2, \"Doe, A\", no\n3, O'Neil, no\n",
      "id,name,n\n1,'Smith, J',3\n2,'Doe, A',4\n3,O'Neil,5\n",
      "\"How would\",\"My, Name\"\n",
      "\"Two\"\t\"All at, Name\"\n",
      "Go;People;So\n",
      "a \"b\" c d e f g h, i j k l m\nn o \"p q\" r s t, u v w x\ny z a b c d e, f g h i\n",
      "sep=;\n\"a\";\"b\"\n1;2\n",
      table(";"),
      rows("", "12:30", 6),
  };
  std::vector<Dialect> settings(4);
  settings[1].delimiter.give(',');
  settings[2].delimiter.give(';');
  settings[3].quote_char.give(std::nullopt);  // no quoting
  auto same = [](const Dialect& a, const Dialect& b) {
    return a.delimiter == b.delimiter && a.quote_char == b.quote_char &&
           a.skip_initial_space == b.skip_initial_space && a.preamble_lines == b.preamble_lines &&
           a.sep_line == b.sep_line && a.header == b.header && a.header_width == b.header_width &&
           a.expected_width == b.expected_width &&
           a.header_missing_first == b.header_missing_first && a.single_line == b.single_line &&
           a.not_a_table == b.not_a_table;
  };
  const std::string big = table(",", 300);
  for (const auto& text : texts) {
    for (auto o : settings) {
      o.keep_evidence = true;
      const Dialect full = detect_dialect(text, o);
      o.keep_evidence = false;
      EXPECT_TRUE(same(detect_dialect(text, o), full)) << text;
      detect_dialect(big, o);  // leaves larger working memory behind
      EXPECT_TRUE(same(detect_dialect(text, o), full)) << text;
    }
  }
}

TEST(Cells, Types) {
  using T = gleave::dialect::CellType;
  const CellCase cases[] = {
      {"", ',', T::Empty},
      {"42", ',', T::Number},
      {"-3.5e4", ',', T::Number},
      {"1,99", ';', T::Number},
      {"1,99", ',', T::Other},
      {"1.234,56", ';', T::Number},
      {"$12.50", ',', T::Number},
      {"12,50 \xE2\x82\xAC", ';', T::Number},
      {"45%", ',', T::Number},
      {"2021-03-04", ',', T::Date},
      {"12:30:00", ',', T::Date},
      {"04.03.2021 12:00", ',', T::Date},
      {"TRUE", ',', T::Word},
      {"N/A", ',', T::Word},
      {"Zoë Müller", ',', T::Text},
      {"Smith, J", ';', T::Text},
      {"99;0", ',', T::Other},
      {"a,b", ';', T::Other},
      {" x", ',', T::Other},
      {"\"x", ',', T::Other},
      {"'x'", ',', T::Other},
      {"1..2", ',', T::Other},
      {"x|y", ',', T::Other},
      {"Jan 1 1990", ',', T::Date},
      {"1 Sept. 2001", ',', T::Date},
      {"January 31, 2020", ';', T::Date},
      {"Jan 1 90", ',', T::Text},
      {"Janu 1 1990", ',', T::Text},
      {"red\tNew York", ',', T::Tabbed},
      {"red\t12", ',', T::Other},
      {"5\t2,5", ';', T::Other},
      {":Olsen", ' ', T::Other},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(gleave::dialect::classify_cell(c.cell, static_cast<unsigned char>(c.delimiter)),
              c.type)
        << c.cell;
  }
}

std::vector<std::vector<std::string>> parse(const std::string& text, bool quoting, bool keep) {
  gleave::ResilientParser p(text, ',', '"', false);
  p.set_quoting(quoting);
  p.set_keep_blanks_after_closing_quote(keep);
  std::vector<std::vector<std::string>> out;
  while (auto row = p.next_row()) out.push_back(*row);
  return out;
}

TEST(ParserOptions, QuotingOffAndBlanksAfterClosingQuote) {
  using Rows = std::vector<std::vector<std::string>>;
  EXPECT_EQ(parse("\"a,b\",c\n", false, false), (Rows{{"\"a", "b\"", "c"}}));
  EXPECT_EQ(parse("\"a,b\",c\n", true, false), (Rows{{"a,b", "c"}}));
  const std::string poverty = "\"Extreme Poverty\" (BM 2002),x\n";
  EXPECT_EQ(parse(poverty, true, true), (Rows{{"Extreme Poverty (BM 2002)", "x"}}));
  EXPECT_EQ(parse(poverty, true, false), (Rows{{"Extreme Poverty(BM 2002)", "x"}}));
  // Blanks before a delimiter, a line break or the end still go.
  EXPECT_EQ(parse("\"a\"  ,b\n\"c\"  \n\"d\" ", true, true), (Rows{{"a", "b"}, {"c"}, {"d"}}));
}

TEST(ParserOptions, BlanksAfterQuoteStopAtTabDelimiter) {
  gleave::ResilientParser p("\"a\" \tb\n", '\t', '"', false);
  p.set_keep_blanks_after_closing_quote(true);
  EXPECT_EQ(*p.next_row(), (std::vector<std::string>{"a", "b"}));
}

// A text handed out a few bytes at a time, as a file is read in windows.
struct Trickle {
  std::string_view text;
  std::size_t step, base = 0, have = 0;
  std::string_view window() const { return text.substr(base, have); }
  bool complete() const { return base + have >= text.size(); }
  bool advance(std::size_t keep) {
    base += keep;
    have = std::min(text.size() - base, have - keep + step);
    return true;
  }
};

// The tables settled on the whole text are the same whatever pieces it is
// read in: every row end, quoted line break and CR LF may fall at a window's
// edge, and pieces end where rows do.
TEST(SettleTables, SameInAnyWindows) {
  std::string big = "date,city,temp,rain\r\n";
  for (int i = 0; i < 30000; ++i) {
    big += "2020-01-0" + std::to_string(i % 9 + 1) + ",\"c\n" + std::to_string(i) + "\"," +
           std::to_string(i % 40) + ".5," + std::to_string(i % 7) + "\r\n";
  }
  const std::string small = rows("id,name,score", "1,n,3", 300);
  // The text, the lines above the table, where the next table begins and
  // where the notes do (each row of `big` takes two lines).
  const struct {
    std::string text;
    std::uint64_t above, other, notes;
  } cases[] = {{small + "\n" + big, 302, 0, 0},
               {big + "\nSource: the weather office\n", 0, 0, 60003},
               {small + "\n" + big + "\n" + small, 302, 60305, 0}};
  for (const auto& [text, above, other, notes] : cases) {
    Dialect whole = detect_dialect(text);
    Dialect pieces = whole;
    gleave::dialect::settle_tables(text, whole);
    EXPECT_FALSE(whole.tables_undecided);
    EXPECT_EQ(whole.expected_width, 4u);
    EXPECT_TRUE(whole.header);
    Trickle in{text, 65537};
    ASSERT_TRUE(gleave::dialect::settle_tables(in, pieces));
    for (const Dialect* d : {&whole, &pieces}) {
      EXPECT_EQ(d->preamble_lines, above);
      EXPECT_EQ(d->other_table_above_line, above == 0 ? 0 : 1);
      EXPECT_EQ(d->other_table_line, other);
      EXPECT_EQ(d->footnote_line, notes);
    }
  }
}

}  // namespace
