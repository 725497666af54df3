// The repair pass, the byte-exact writers and gleave_file with every failure
// path (including the same-file guards and the in-place repair), and
// GleaveError.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "engine/detect/heuristics.hpp"
#include "engine/gleave.hpp"
#include "engine/io/job.hpp"
#include "engine/scan/simd.hpp"

namespace {

namespace fs = std::filesystem;
using namespace gleave;
using Fields = std::vector<std::string>;
using Rows = std::vector<Fields>;

const std::string kFew = "Row has too few columns (expected ";
const std::string kExtra = "Row has extra columns (expected ";

// The core's options: the delimiter and the width sniffed and inferred
// unless given.
Dialect opts(std::optional<unsigned char> d, std::optional<std::uint64_t> w, bool fill = true,
             bool merge = true, unsigned char q = '"', bool repair = true) {
  Dialect o;
  if (d) o.delimiter.give(*d);
  if (w) o.expected_width.give(*w);
  o.quote_char.give(q);
  o.fill_ragged_rows.give(fill);
  o.merge_overflow.give(merge);
  o.repair_quotes.give(repair);
  return o;
}

// ---------------------------------------------------------------------------
// gleave_slice

struct Record {
  std::uint64_t line;
  std::string reason;
  Fields fields;
  bool operator==(const Record&) const = default;
};
void PrintTo(const Record& r, std::ostream* os) {
  *os << "{" << r.line << ", " << r.reason << ", " << testing::PrintToString(r.fields) << "}";
}

Rows rows_of(const GleaveOutcome& o) {
  Rows rows;
  for (std::size_t r = 0; r < o.rows.size(); ++r) rows.push_back(o.rows.row_strings(r));
  return rows;
}
std::vector<Record> records_of(const GleaveOutcome& o) {
  std::vector<Record> records;
  QuarantineLines lines = o.quarantine_lines();
  for (const auto& q : o.quarantine) {
    records.push_back({q.line, lines.reason(q), lines.fields(q).to_strings()});
  }
  return records;
}

struct SliceCase {
  const char* name;
  std::string text;
  Dialect options;
  Rows rows;
  std::vector<Record> quarantine;
  std::uint64_t total, repaired, columns;
  unsigned char delimiter;
};

// clang-format off
const SliceCase kSlice[] = {
    {"empty_ignores_options", "", opts(';', 5, false, false), {}, {}, 0, 0, 0, ','},
    {"bom_only_detected", "\xEF\xBB\xBF", opts({}, {}), {}, {}, 0, 0, 0, ','},
    {"bom_only_given", "\xEF\xBB\xBF", opts(';', 4), {}, {}, 0, 0, 4, ';'},
    {"w0_keeps_all", "a\nb,c,d\n\n", opts(',', 0, false, false), {{"a"}, {"b", "c", "d"}, {""}}, {}, 3, 0, 0, ','},
    {"fill_blank_line", "a,b,c\n\nd,e,f\n", opts(',', 3), {{"a", "b", "c"}, {"", "", ""}, {"d", "e", "f"}}, {}, 3, 1, 3, ','},
    {"fill_off", "a,b,c\n\nd,e,f\n", opts(',', 3, false), {{"a", "b", "c"}, {"d", "e", "f"}}, {{2, kFew + "3)", {""}}}, 3, 0, 3, ','},
    {"merge", "a,b,c,d", opts(',', 2), {{"a", "b,c,d"}}, {}, 1, 1, 2, ','},
    {"merge_off", "a,b,c,d", opts(',', 2, true, false), {}, {{1, kExtra + "2)", {"a", "b", "c", "d"}}}, 1, 0, 2, ','},
    {"merge_w1", "a,b,c", opts(',', 1), {{"a,b,c"}}, {}, 1, 1, 1, ','},
    {"spaces_row_filled", "   \n", opts(',', 3), {{"   ", "", ""}}, {}, 1, 1, 3, ','},
    {"multiline_quoted_line", "\"x\ny\nz\",b,c,d\n", opts(',', 3, true, false), {}, {{1, kExtra + "3)", {"x\ny\nz", "b", "c", "d"}}}, 1, 0, 3, ','},
    {"line_after_row", "h1,h2\n1,2,3\n4,5\n", opts(',', 2, true, false), {{"h1", "h2"}, {"4", "5"}}, {{2, kExtra + "2)", {"1", "2", "3"}}}, 3, 0, 2, ','},
    {"line_of_last_row", "h1,h2\n4,5\n1,2,3", opts(',', 2, true, false), {{"h1", "h2"}, {"4", "5"}}, {{3, kExtra + "2)", {"1", "2", "3"}}}, 3, 0, 2, ','},
    {"crlf_lines", "a,b\r\nc\r\n\r\nd,e\r\n", opts(',', 2, false), {{"a", "b"}, {"d", "e"}}, {{2, kFew + "2)", {"c"}}, {3, kFew + "2)", {""}}}, 4, 0, 2, ','},
    {"two_digit_width", "a\nb,c\n", opts(',', 12, false, false), {}, {{1, kFew + "12)", {"a"}}, {2, kFew + "12)", {"b", "c"}}}, 2, 0, 12, ','},
    {"a6_inside_valid_char", "a\xC2\xA6" "b\n", opts(0xA6, 2), {{"a" + std::string("\xEF\xBF\xBD"), "b"}}, {}, 1, 0, 2, 0xA6},
    {"a6_merge", "a\xA6" "b\xA6" "c\n", opts(0xA6, 2), {{"a", "b\xC2\xA6" "c"}}, {}, 1, 1, 2, 0xA6},
    {"stray_quote_not_a_repair", "\"a\"b\",c\n", opts(',', 2), {{"a\"b", "c"}}, {}, 1, 0, 2, ','},
    {"repair_quotes_off", "\"a \"b\" c\",d\n", opts(',', 2, true, true, '"', false), {{"a b\" c\"", "d"}}, {}, 1, 0, 2, ','},
    {"quote_char_to_parser_only", "'a,b',c\n", opts(',', {}, true, true, '\''), {{"a,b", "c", ""}}, {}, 1, 1, 3, ','},
    {"sniffed_and_inferred", "id;name;city\n1;Ann;Oslo\n2;Bob\n3;Cy;Rome;extra\n", opts({}, {}),
     {{"id", "name", "city"}, {"1", "Ann", "Oslo"}, {"2", "Bob", ""}, {"3", "Cy", "Rome;extra"}}, {}, 4, 2, 3, ';'},
    {"bom_then_rows", "\xEF\xBB\xBF" "a;b\nc;d\n", opts({}, {}), {{"a", "b"}, {"c", "d"}}, {}, 2, 0, 2, ';'},
    {"inferred_then_quarantine_mix", "a,b,c\nx\n1,2,3,4\nd,e,f\n", opts({}, {}, false, false),
     {{"a", "b", "c"}, {"d", "e", "f"}}, {{2, kFew + "3)", {"x"}}, {3, kExtra + "3)", {"1", "2", "3", "4"}}}, 4, 0, 3, ','},
};
// clang-format on

class SliceTable : public testing::TestWithParam<SliceCase> {};

TEST_P(SliceTable, Outcome) {
  const SliceCase& c = GetParam();
  const GleaveOutcome o = gleave_slice(c.text, c.options);
  EXPECT_EQ(rows_of(o), c.rows);
  EXPECT_EQ(records_of(o), c.quarantine);
  EXPECT_EQ(o.total_rows, c.total);
  EXPECT_EQ(o.gleaved_rows, c.rows.size());
  EXPECT_EQ(o.repaired_rows, c.repaired);
  EXPECT_EQ(o.quarantined_rows, c.quarantine.size());
  EXPECT_EQ(o.total_rows, o.gleaved_rows + o.quarantined_rows);
  EXPECT_EQ(o.inferred_columns, c.columns);
  EXPECT_EQ(o.delimiter, c.delimiter);
  EXPECT_EQ(o.detected_delimiter(), static_cast<char32_t>(c.delimiter));
}

INSTANTIATE_TEST_SUITE_P(Repair, SliceTable, testing::ValuesIn(kSlice),
                         [](const auto& info) { return std::string(info.param.name); });

// The verdicts a pass hands its sink, each with the row's first line, its
// offset and its raw bytes. Plain kept lines give no verdict.
struct Seen {
  Verdict verdict;
  std::uint64_t expected, actual, line, offset;
  std::string raw;
  bool operator==(const Seen&) const = default;
};
void PrintTo(const Seen& v, std::ostream* os) {
  *os << "{" << static_cast<int>(v.verdict) << ", " << v.expected << ", " << v.actual << ", "
      << v.line << ", " << v.offset << ", " << testing::PrintToString(v.raw) << "}";
}

struct VerdictSink {
  std::string_view text;
  std::vector<Seen> seen;
  void begin(unsigned char, std::uint64_t) {}
  bool keep_line(std::string_view, bool) { return true; }
  bool note(const RowVerdict& v) {
    EXPECT_EQ(v.raw.data(), text.data() + v.offset) << "raw points into the text";
    seen.push_back({v.verdict, v.expected, v.actual, v.line, v.offset, std::string(v.raw)});
    return true;
  }
  bool keep(const Row& row, const RowVerdict& v) {
    EXPECT_TRUE(v.verdict == Verdict::Kept || v.expected == 0 || row.size() == v.expected);
    return note(v);
  }
  bool reject(const RowVerdict& v, const Row& fields) {
    EXPECT_EQ(fields.size(), v.actual);
    return note(v);
  }
};

struct VerdictCase {
  const char* name;
  std::string text;
  Dialect options;
  std::vector<Seen> seen;
};

constexpr Verdict kKept = Verdict::Kept, kPadded = Verdict::Padded, kMerged = Verdict::Merged,
                  kTooFew = Verdict::TooFew, kTooMany = Verdict::TooMany;

// clang-format off
const VerdictCase kVerdicts[] = {
    {"lf", "a,b\nc\nd,e,f\n", opts(',', 2, false, false),
     {{kTooFew, 2, 1, 2, 4, "c"}, {kTooMany, 2, 3, 3, 6, "d,e,f"}}},
    {"crlf", "a,b\r\nc\r\n\r\nd,e,f\r\n", opts(',', 2, false, false),
     {{kTooFew, 2, 1, 2, 5, "c"}, {kTooFew, 2, 1, 3, 8, ""}, {kTooMany, 2, 3, 4, 10, "d,e,f"}}},
    {"lone_cr", "a,b\rc\rd,e", opts(',', 2, false, false),
     {{kKept, 2, 2, 1, 0, "a,b"}, {kTooFew, 2, 1, 2, 4, "c"}}},  // d,e is a plain line
    {"multi_line_quoted", "h,i\n\"x\ny\r\nz\",b,c\nq\n", opts(',', 2, false, false),
     {{kTooMany, 2, 3, 2, 4, "\"x\ny\r\nz\",b,c"}, {kTooFew, 2, 1, 5, 17, "q"}}},
    {"last_row_without_break", "a,b\nc", opts(',', 2, false, false), {{kTooFew, 2, 1, 2, 4, "c"}}},
    {"last_row_quoted_to_end", "a,b\n\"c\nd\"", opts(',', 2, false, false),
     {{kTooFew, 2, 1, 2, 4, "\"c\nd\""}}},
    {"bom_first_row", "\xEF\xBB\xBF" "a\nb,c\n", opts(',', 2, false, false), {{kTooFew, 2, 1, 1, 3, "a"}}},
    {"padded_and_merged", "a,b\nc\n\"d\",e,f\n", opts(',', 2),
     {{kPadded, 2, 1, 2, 4, "c"}, {kMerged, 2, 3, 3, 6, "\"d\",e,f"}}},
    {"kept_through_the_state_machine", "\"a\",b\n", opts(',', 2), {{kKept, 2, 2, 1, 0, "\"a\",b"}}},
};
// clang-format on

class VerdictTable : public testing::TestWithParam<VerdictCase> {};

TEST_P(VerdictTable, RowsNameTheirFirstLineAndBytes) {
  const VerdictCase& c = GetParam();
  for (const bool portable : {false, true}) {
    use_portable_scan(portable);
    VerdictSink sink{c.text, {}};
    run_pass(c.text, c.options, sink);
    EXPECT_EQ(sink.seen, c.seen) << "portable " << portable;
  }
  use_portable_scan(false);
  // The stored records read back the same lines, and the file says so too.
  const GleaveOutcome o = gleave_slice(c.text, c.options);
  std::size_t k = 0;
  for (const Seen& v : c.seen) {
    if (!is_quarantined(v.verdict)) continue;
    ASSERT_LT(k, o.quarantine.size());
    EXPECT_EQ(o.quarantine[k].line, v.line);
    EXPECT_EQ(o.quarantine[k].raw(o.text), v.raw);
    EXPECT_EQ(o.quarantine[k++].verdict(), v.verdict);
  }
  EXPECT_EQ(k, o.quarantine.size());
}

INSTANTIATE_TEST_SUITE_P(Repair, VerdictTable, testing::ValuesIn(kVerdicts),
                         [](const auto& info) { return std::string(info.param.name); });

// Differential: gleave_slice (with whatever fast paths it takes) against the
// repair rules applied, one row at a time, to the rows of
// ResilientParser::next_row.
struct Reference {
  Rows rows;
  std::vector<Record> quarantine;
  std::uint64_t repaired = 0, columns = 0;
  unsigned char delimiter = ',';
};

Reference reference_slice(const std::string& text, const Dialect& o) {
  Reference ref;
  if (text.empty()) return ref;
  ref.delimiter = o.delimiter.given ? o.delimiter.value : sniff_delimiter(text);
  const std::uint64_t w = ref.columns =
      o.expected_width.given ? o.expected_width.value : infer_column_count(text, ref.delimiter);
  ResilientParser p(text, ref.delimiter, *o.quote_char.value, o.repair_quotes);
  for (std::uint64_t line = p.line();; line = p.line()) {
    auto row = p.next_row();
    if (!row) break;
    if (w == 0 || row->size() == w) {
      ref.rows.push_back(*row);
    } else if (row->size() < w && o.fill_ragged_rows.value) {
      row->resize(w);
      ref.rows.push_back(*row);
      ++ref.repaired;
    } else if (row->size() > w && o.merge_overflow.value) {
      for (std::size_t i = w; i < row->size(); ++i) {
        (*row)[w - 1] += byte_char(ref.delimiter) + (*row)[i];
      }
      row->resize(w);
      ref.rows.push_back(*row);
      ++ref.repaired;
    } else {
      const std::string reason = (row->size() < w ? kFew : kExtra) + std::to_string(w) + ")";
      ref.quarantine.push_back({line, reason, *row});
    }
  }
  return ref;
}

// Options from random bits: delimiter sniffed or one of `delimiters`, width
// inferred or 0 to 3, fill, merge, quote ' or ", repair.
Dialect random_options(unsigned r, const std::vector<unsigned char>& delimiters) {
  const auto d = std::optional<unsigned char>(delimiters[r / 4 % delimiters.size()]);
  const auto w = std::optional<std::uint64_t>(r / 32 % 5 - 1);
  return opts(r % 4 == 0 ? std::nullopt : d, r / 32 % 5 == 0 ? std::nullopt : w, r & 256, r & 512,
              r & 1024 ? '\'' : '"', r & 2048);
}

class SliceReference : public testing::TestWithParam<bool> {
 protected:
  void SetUp() override { use_portable_scan(GetParam()); }
  void TearDown() override { use_portable_scan(false); }
};

TEST_P(SliceReference, RandomTextsAndOptions) {
  std::mt19937 rng(99);
  // clang-format off
  const std::vector<std::string> pieces = {"a", "b", "cd", ",", ",", ";", ";", "\"", "'", " ",
                                           "\n", "\n", "\r\n", "\r", "\xC3\xA9", "\xC2\xA6",
                                           "\xA6", "\xFF", std::string(1, '\0')};
  // clang-format on
  // Long Latin text and odd-length runs put two-byte sequences across the
  // 64-byte blocks of the plain-line scan.
  std::string latin;
  for (int i = 0; i < 40; ++i) latin += "\xC3\xA9";
  const std::vector<std::string> long_pieces = {latin, std::string(63, 'x'), "\xE2\x82\xAC"};
  for (int iter = 0; iter < 20000; ++iter) {
    std::string text = rng() % 8 == 0 ? "\xEF\xBB\xBF" : "";
    for (int i = static_cast<int>(rng() % 30); i > 0; --i) text += pieces[rng() % pieces.size()];
    if (rng() % 3 == 0) text += std::string(70 + rng() % 70, 'x') + ",y\n";  // past 64 bytes
    if (rng() % 4 == 0) text.insert(rng() % (text.size() + 1), long_pieces[rng() % 3]);
    const Dialect o = random_options(rng(), {',', ';', '\t', 0xA6, 0});
    const GleaveOutcome got = gleave_slice(text, o);
    const Reference want = reference_slice(text, o);
    const Rows rows = rows_of(got);
    const std::vector<Record> quarantine = records_of(got);
    const std::string where = testing::PrintToString(text) + " delimiter " +
                              std::to_string(got.delimiter) + " width " +
                              std::to_string(got.inferred_columns);
    ASSERT_EQ(rows, want.rows) << where;
    ASSERT_EQ(quarantine, want.quarantine) << where;
    ASSERT_EQ(got.repaired_rows, want.repaired) << where;
    ASSERT_EQ(got.total_rows, rows.size() + quarantine.size()) << where;
    ASSERT_EQ(got.gleaved_rows, rows.size()) << where;
    ASSERT_EQ(got.quarantined_rows, quarantine.size()) << where;
    ASSERT_EQ(got.inferred_columns, want.columns) << where;
    ASSERT_EQ(got.delimiter, want.delimiter) << where;
  }
}

// The vectorised byte classifier and the portable one must agree.
INSTANTIATE_TEST_SUITE_P(Classifier, SliceReference, testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Portable" : "Native"; });

// Every byte classifier the processor has gives the portable one's masks, on
// blocks of every length and on the control bytes themselves.
TEST(SimdClassifier, AgreesWithThePortableOne) {
  std::mt19937 rng(3);
  const std::string alphabet = std::string("ab,;\"\n\r\t\x80\xBF\xC1\xC2\xDF\xE0\xFF") + '\0';
  const simd::Impl before = simd::active();
  for (const simd::Impl impl : {simd::Impl::Sse2, simd::Impl::Avx2, simd::Impl::Avx512}) {
    if (!simd::supported(impl)) continue;
    for (int iter = 0; iter < 20000; ++iter) {
      char block[64];
      for (char& c : block) c = alphabet[rng() % alphabet.size()];
      const std::size_t len = rng() % 65;
      const auto d = static_cast<unsigned char>(alphabet[rng() % alphabet.size()]);
      const auto q = static_cast<unsigned char>(alphabet[rng() % alphabet.size()]);
      simd::force(simd::Impl::Scalar);
      const simd::ByteMasks want = simd::classify(block, len, d, q);
      simd::force(impl);
      const simd::ByteMasks got = simd::classify(block, len, d, q);
      ASSERT_EQ(std::memcmp(&got, &want, sizeof got), 0) << simd::name(impl) << " len " << len;
    }
  }
  simd::force(before);
}

// Under GLEAVE_FORCE_IMPL the tests run with that classifier, or are skipped
// when the processor lacks it.
TEST(SimdClassifier, ForcedImplementationIsActive) {
  const char* forced = std::getenv("GLEAVE_FORCE_IMPL");
  if (forced == nullptr) GTEST_SKIP() << "no GLEAVE_FORCE_IMPL";
  for (const simd::Impl impl :
       {simd::Impl::Scalar, simd::Impl::Sse2, simd::Impl::Avx2, simd::Impl::Avx512}) {
    if (std::string(forced) != simd::name(impl)) continue;
    if (!simd::supported(impl)) {
      std::printf("%s: not on this processor\n", forced);
      std::exit(77);  // the whole run is skipped, not passed
    }
    EXPECT_STREQ(simd::name(simd::active()), forced);
    return;
  }
  FAIL() << "unknown GLEAVE_FORCE_IMPL " << forced;
}

// ---------------------------------------------------------------------------
// Output and quarantine line formats

struct CsvLineCase {
  const char* name;
  Fields fields;
  unsigned char delimiter, quote;
  std::string expected;
};

// clang-format off
const CsvLineCase kCsvLines[] = {
    {"documented_example", {"a", "b,c", "he said \"hi\"", "", "x"}, ',', '"', "a,\"b,c\",\"he said \"\"hi\"\"\",,x\n"},
    {"empty_row", {""}, ',', '"', "\n"},
    {"two_empty", {"", ""}, ',', '"', ",\n"},
    {"no_quoting_for_spaces_numbers", {" ", " 1.5 ", "-0"}, ',', '"', " , 1.5 ,-0\n"},
    {"lone_cr", {"a\rb"}, ',', '"', "\"a\rb\"\n"},
    {"lone_lf", {"a\nb", "c"}, ',', '"', "\"a\nb\",c\n"},
    {"only_quote", {"\""}, ',', '"', "\"\"\"\"\n"},
    {"semicolon", {"a,b", "c;d"}, ';', '"', "a,b;\"c;d\"\n"},
    {"tab", {"a b", "c\td"}, '\t', '"', "a b\t\"c\td\"\n"},
    {"single_quote", {"it's", "say \"x\"", "a,b"}, ',', '\'', "'it''s',say \"x\",'a,b'\n"},
    {"a6_delimiter", {"a", "b\xC2\xA6" "c", "d,e"}, 0xA6, '"', "a\xC2\xA6\"b\xC2\xA6" "c\"\xC2\xA6" "d,e\n"},
    {"a6_other_c2_char_verbatim", {"\xC2\xA7", "\xC3\xA6"}, 0xA6, '"', "\xC2\xA7\xC2\xA6\xC3\xA6\n"},
    {"high_quote_b4", {"x\xC2\xB4y", "z"}, ',', 0xB4, "\xC2\xB4x\xC2\xB4\xC2\xB4y\xC2\xB4,z\n"},
};
// clang-format on

class CsvLineTable : public testing::TestWithParam<CsvLineCase> {};

TEST_P(CsvLineTable, Bytes) {
  const auto& c = GetParam();
  std::string out = "prefix";
  append_csv_line(out, Row::from_strings(c.fields), c.delimiter, c.quote);
  EXPECT_EQ(out, "prefix" + c.expected);
}

INSTANTIATE_TEST_SUITE_P(Formats, CsvLineTable, testing::ValuesIn(kCsvLines),
                         [](const auto& info) { return std::string(info.param.name); });

// Long fields, dense with quotes or not, against quoting written out the
// plain way: every 64-byte block is copied whole or byte by byte.
TEST(CsvLine, LongFieldsAgainstPlainQuoting) {
  std::mt19937 rng(21);
  const std::string bytes[] = {"a", "\"", "\"", "bcdefgh", ",", "\n", "\xC3\xA9"};
  for (int iter = 0; iter < 400; ++iter) {
    std::string field;
    const unsigned pick = rng() % 4;  // which bytes the field is made of
    for (int i = static_cast<int>(rng() % 300); i > 0; --i) {
      field += bytes[pick == 0 ? rng() % 7 : pick == 1 ? 3 : rng() % 3];
    }
    std::string want = field;
    if (field.find_first_of("\",\n\r") != std::string::npos) {
      want = "\"";
      for (const char c : field) want += c == '"' ? std::string("\"\"") : std::string(1, c);
      want += '"';
    }
    std::string out = "x";
    append_csv_line(out, Row::from_strings({field}), ',', '"');
    ASSERT_EQ(out, "x" + want + "\n") << testing::PrintToString(field);
  }
  // A line of one long field is not grown to twice its size for its LF.
  for (const std::string& field : {std::string(1 << 20, 'a'), std::string(1 << 20, '"')}) {
    std::string out;
    append_csv_line(out, Row::from_strings({field}), ',', '"');
    EXPECT_LT(out.capacity(), out.size() + out.size() / 2);
  }
}

struct QuarantineLineCase {
  const char* name;
  Record record;
  unsigned char delimiter;
  std::string expected;
};

// clang-format off
const QuarantineLineCase kQuarantineLines[] = {
    {"documented_example", {7, kFew + "3)", {"x", "y"}}, ';', "7,\"Row has too few columns (expected 3)\",\"x;y\"\n"},
    {"quotes_doubled", {12, "say \"hi\"", {"a\"b", "c"}}, ',', "12,\"say \"\"hi\"\"\",\"a\"\"b,c\"\n"},
    {"cr_lf_unchanged", {1, "r", {"a\r\nb", "\n"}}, ',', "1,\"r\",\"a\r\nb,\n\"\n"},
    {"a6_delimiter", {3, "r", {"a", "b"}}, 0xA6, "3,\"r\",\"a\xC2\xA6" "b\"\n"},
    {"quote_as_delimiter", {1, "r", {"a", "b"}}, '"', "1,\"r\",\"a\"\"b\"\n"},
    {"empty_field", {5, "", {""}}, ',', "5,\"\",\"\"\n"},
    {"big_line_number", {18446744073709551615ull, "r", {"x"}}, ',', "18446744073709551615,\"r\",\"x\"\n"},
};
// clang-format on

class QuarantineLineTable : public testing::TestWithParam<QuarantineLineCase> {};

TEST_P(QuarantineLineTable, Bytes) {
  const auto& c = GetParam();
  std::string out = "prefix";
  append_quarantine_line(out, c.record.line, c.record.reason, Row::from_strings(c.record.fields),
                         c.delimiter);
  EXPECT_EQ(out, "prefix" + c.expected);
}

INSTANTIATE_TEST_SUITE_P(Formats, QuarantineLineTable, testing::ValuesIn(kQuarantineLines),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(QuarantineHeader, Is24Bytes) {
  EXPECT_EQ(kQuarantineHeader, "line,reason,raw_content\n");
  EXPECT_EQ(kQuarantineHeader.size(), 24u);
}

// ---------------------------------------------------------------------------
// gleave_file

class FileTest : public testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/gleave-test-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir = tmpl;
  }
  void TearDown() override {
    ::chmod(dir.c_str(), 0700);
    fs::remove_all(dir);
  }
  std::string path(const std::string& name) const { return dir + "/" + name; }
  std::string write(const std::string& name, const std::string& bytes) const {
    std::ofstream(path(name), std::ios::binary) << bytes;
    return path(name);
  }
  static std::optional<std::string> read(const std::string& p) {
    std::ifstream f(p, std::ios::binary);
    if (!f) return std::nullopt;
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
  }
  std::vector<std::string> entries() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }
  static void expect_io(const Result<JobCounts>& r, int code) {
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind(), GleaveError::Kind::Io);
    ASSERT_NE(r.error().io(), nullptr);
    EXPECT_EQ(r.error().io()->code, code) << r.error().message();
    EXPECT_EQ(r.error().message(),
              std::string(std::strerror(code)) + " (os error " + std::to_string(code) + ")");
  }
  static void expect_text(const Result<JobCounts>& r, const std::string& text) {
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind(), GleaveError::Kind::Io);
    EXPECT_EQ(r.error().message(), text);
  }
  std::string dir;
};

const std::string kRoadInput = "id;name;city\n1;Ann;Oslo\n2;Bob\n3;Cy;Rome;extra\n";
const std::string kRoadOutput = "id;name;city\n1;Ann;Oslo\n2;Bob;\n3;Cy;\"Rome;extra\"\n";

TEST_F(FileTest, RoadOfOneCall) {
  const auto in = write("in.csv", kRoadInput);
  const auto r = gleave_file(in, path("out.csv"), path("q.csv"), Dialect{});
  ASSERT_TRUE(r.ok()) << r.error().message();
  const JobCounts& s = r.value();
  EXPECT_EQ(s.total_rows, 4u);
  EXPECT_EQ(s.gleaved_rows, 4u);
  EXPECT_EQ(s.repaired_rows, 2u);
  EXPECT_EQ(s.quarantined_rows, 0u);
  EXPECT_EQ(s.inferred_columns, 3u);
  EXPECT_EQ(s.delimiter, ';');
  EXPECT_EQ(read(path("out.csv")), kRoadOutput);
  EXPECT_EQ(read(path("q.csv")), "line,reason,raw_content\n");
  EXPECT_EQ(read(in), kRoadInput);
}

// Whole files, byte-exact: input, options, output, quarantine (absent: no
// quarantine path given).
struct FileCase {
  const char* name;
  std::string input;
  Dialect options;
  std::string output;
  std::optional<std::string> quarantine;
};

std::string lines_of(char c, std::size_t width, int count) {
  std::string s;
  for (int i = 0; i < count; ++i) s += std::string(width, c) + "," + std::to_string(i) + "\n";
  return s;
}
const std::string kH = "line,reason,raw_content\n";
const std::string kBig(9000, 'x');

// clang-format off
const FileCase kFiles[] = {
    {"empty_input", "", opts(';', 3), "", kH},
    {"all_quarantined", "a,b,c\n", opts(',', 2, true, false), "", kH + "1,\"" + kExtra + "2)\",\"a,b,c\"\n"},
    {"no_quarantine_path", "a,b,c\n", opts(',', 2, true, false), "", std::nullopt},
    {"empty_row_is_lf", "a\n\nb\n", opts(',', 0), "a\n\nb\n", kH},
    {"a6_delimiter", "a\xA6" "b\xA6" "c\nd\n", opts(0xA6, 2, false), "a\xC2\xA6\"b\xC2\xA6" "c\"\n",
     kH + "2,\"" + kFew + "2)\",\"d\"\n"},
    {"a6_inside_valid_char", "a\xC2\xA6" "b\n", opts(0xA6, 0), "a\xEF\xBF\xBD\xC2\xA6" "b\n", std::nullopt},
    {"a6_quarantine_raw", "a\xA6" "b\xA6" "c\n", opts(0xA6, 2, true, false), "",
     kH + "1,\"" + kExtra + "2)\",\"a\xC2\xA6" "b\xC2\xA6" "c\"\n"},
    {"single_quote", "'a,b',c\n'it''s',\"q\"\nx,y,z\n", opts(',', 2, true, false, '\''),
     "'a,b',c\n'it''s',\"q\"\n", kH + "3,\"" + kExtra + "2)\",\"x,y,z\"\n"},
    {"cr_lf_in_fields", "\"a\rb\",\"c\nd\"\r\n\"e\r\nf\",g\n  ,h", opts(',', 2),
     "\"a\rb\",\"c\nd\"\n\"e\r\nf\",g\n  ,h\n", kH},
    {"quarantine_quotes_and_newlines", "\"say \"\"hi\"\"\",\"a\nb\",c\n", opts(',', 2, true, false),
     "", kH + "1,\"" + kExtra + "2)\",\"say \"\"hi\"\",a\nb,c\"\n"},
    {"semicolon_comma_verbatim", "a,b;c\n", opts(';', 2), "a,b;c\n", std::nullopt},
    // Lines of 8191, 8192 and 8193 bytes and a 9 kB quarantine line, between
    // enough short lines to fill and write out the output buffer.
    {"long_lines", lines_of('s', 5, 3000) + std::string(8188, 'a') + ",1\n" + std::string(8189, 'b') + ",2\n" +
                       std::string(8190, 'c') + ",3\n" + lines_of('t', 3, 2000) + kBig + ",1,2\n" + "z,9\n",
     opts(',', 2, true, false),
     lines_of('s', 5, 3000) + std::string(8188, 'a') + ",1\n" + std::string(8189, 'b') + ",2\n" +
         std::string(8190, 'c') + ",3\n" + lines_of('t', 3, 2000) + "z,9\n",
     kH + "5004,\"" + kExtra + "2)\",\"" + kBig + ",1,2\"\n"},
};
// clang-format on

class FileTable : public FileTest, public testing::WithParamInterface<FileCase> {};

TEST_P(FileTable, ByteExact) {
  const FileCase& c = GetParam();
  const auto in = write("in.csv", c.input);
  const auto q = c.quarantine ? std::optional<std::string>(path("q.csv")) : std::nullopt;
  const auto r = gleave_file(in, path("out.csv"), q, c.options);
  ASSERT_TRUE(r.ok()) << r.error().message();
  EXPECT_EQ(read(path("out.csv")), c.output);
  EXPECT_EQ(read(path("q.csv")), c.quarantine);
  const GleaveOutcome o = gleave_slice(c.input, c.options);
  EXPECT_EQ(r.value().total_rows, o.total_rows);
  EXPECT_EQ(r.value().gleaved_rows, o.gleaved_rows);
  EXPECT_EQ(r.value().repaired_rows, o.repaired_rows);
  EXPECT_EQ(r.value().quarantined_rows, o.quarantined_rows);
  EXPECT_EQ(r.value().inferred_columns, o.inferred_columns);
  EXPECT_EQ(r.value().delimiter, o.delimiter);
}

INSTANTIATE_TEST_SUITE_P(Formats, FileTable, testing::ValuesIn(kFiles),
                         [](const auto& info) { return std::string(info.param.name); });

// Differential: the files gleave_file writes (kept rows streamed, plain lines
// copied) against the line writers applied to the reference rows.
TEST_F(FileTest, RandomFilesMatchTheWriters) {
  std::mt19937 rng(5);
  // "\xC3\x85" is U+00C5, the character a quote byte 0xC5 stands for.
  const std::vector<std::string> pieces = {"a",    ",",        ";",    "\"",   " ",       "\n",
                                           "\r\n", "\xC3\xA9", "\xA6", "\xFF", "\xC3\x85"};
  for (int iter = 0; iter < 300; ++iter) {
    std::string text;
    for (int i = static_cast<int>(rng() % 200); i > 0; --i) {
      text += rng() % 50 ? pieces[rng() % pieces.size()] : std::string(8000 + rng() % 400, 'L');
    }
    Dialect o = random_options(rng(), {',', ';', 0xA6});
    if (rng() % 4 == 0) o.quote_char.give(0xC5);
    const Reference want = reference_slice(text, o);
    std::string out, quarantine(kQuarantineHeader);
    for (const auto& row : want.rows) {
      append_csv_line(out, Row::from_strings(row), want.delimiter, *o.quote_char.value);
    }
    for (const auto& q : want.quarantine) {
      append_quarantine_line(quarantine, q.line, q.reason, Row::from_strings(q.fields),
                             want.delimiter);
    }
    const auto in = write("in.csv", text);
    const auto res = gleave_file(in, path("out.csv"), path("q.csv"), o);
    ASSERT_TRUE(res.ok()) << res.error().message();
    ASSERT_EQ(read(path("out.csv")), out) << testing::PrintToString(text);
    ASSERT_EQ(read(path("q.csv")), quarantine) << testing::PrintToString(text);
  }
}

// Failure paths: the error, and what is on disk afterwards.

// Failing before any output is opened: nothing created, the input untouched.
// Relative paths are inside the test directory, which holds in.csv and sub/.
struct FailCase {
  const char* name;
  std::string input, output;
  int code;
};

// clang-format off
const FailCase kFails[] = {
    {"missing_input", "nope.csv", "out.csv", ENOENT},
    {"input_is_directory", "sub", "out.csv", EISDIR},
    {"input_read_fails_even_for_root", "/proc/self/mem", "out.csv", EIO},  // offset 0 is unmapped
    {"output_in_missing_directory", "in.csv", "no/out.csv", ENOENT},
    {"output_is_directory", "in.csv", "sub", EISDIR},
};
// clang-format on

class FailTable : public FileTest, public testing::WithParamInterface<FailCase> {};

TEST_P(FailTable, NothingCreated) {
  const FailCase& c = GetParam();
  const auto in = write("in.csv", "a,b\n");
  fs::create_directory(path("sub"));
  auto full = [&](const std::string& p) { return p[0] == '/' ? p : path(p); };
  expect_io(gleave_file(full(c.input), full(c.output), path("q.csv"), {}), c.code);
  EXPECT_EQ(entries(), (std::vector<std::string>{"in.csv", "sub"}));
  EXPECT_TRUE(fs::is_empty(path("sub")));
  EXPECT_EQ(read(in), "a,b\n");
}

INSTANTIATE_TEST_SUITE_P(Formats, FailTable, testing::ValuesIn(kFails),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(FileTest, UnreadableInputNoPermission) {
  if (::geteuid() == 0) GTEST_SKIP() << "root reads files without read permission";
  const auto in = write("in.csv", "a,b\n");
  ::chmod(in.c_str(), 0200);
  expect_io(gleave_file(in, path("out.csv"), std::nullopt, {}), EACCES);
  EXPECT_EQ(entries(), std::vector<std::string>{"in.csv"});
}

TEST_F(FileTest, OutputInReadOnlyDirectory) {
  const auto in = write("in.csv", "a,b\n");
  if (::geteuid() == 0) {
    // Root ignores directory modes; sysfs refuses file creation even to root.
    const auto r = gleave_file(in, "/sys/gleave-test-out.csv", path("q.csv"), {});
    ASSERT_FALSE(r.ok());
    const int code = r.error().io()->code;
    if (code == ENOENT) GTEST_SKIP() << "no sysfs mounted";
    EXPECT_TRUE(code == EACCES || code == EROFS || code == EPERM) << r.error().message();
  } else {
    fs::create_directory(path("ro"));
    ::chmod(path("ro").c_str(), 0555);
    expect_io(gleave_file(in, path("ro/out.csv"), path("q.csv"), {}), EACCES);
  }
  EXPECT_EQ(read(in), "a,b\n");
  EXPECT_FALSE(fs::exists(path("q.csv")));
}

TEST_F(FileTest, NulInPaths) {
  const auto in = write("in.csv", "a,b\n");
  const std::string nul("x\0y", 3);
  const std::string text = "file name contained an unexpected NUL byte";
  expect_text(gleave_file(path(nul), path("out.csv"), path("q.csv"), {}), text);
  expect_text(gleave_file(in, path(nul), path("q.csv"), {}), text);
  EXPECT_EQ(entries(), std::vector<std::string>{"in.csv"});
  // Every path is checked before anything is opened: a bad quarantine path
  // leaves no output behind.
  expect_text(gleave_file(in, path("out.csv"), path(nul), {}), text);
  EXPECT_EQ(entries(), std::vector<std::string>{"in.csv"});
}

TEST_F(FileTest, QuarantineOpenFailsAfterCompleteOutput) {
  const auto in = write("in.csv", kRoadInput);
  expect_io(gleave_file(in, path("out.csv"), std::string(), {}), ENOENT);
  EXPECT_EQ(read(path("out.csv")), kRoadOutput);
  expect_io(gleave_file(in, path("out2.csv"), path("no/q.csv"), {}), ENOENT);
  EXPECT_EQ(read(path("out2.csv")), kRoadOutput);
}

TEST_F(FileTest, WriteFailures) {
  const auto in = write("in.csv", kRoadInput);
  expect_io(gleave_file(in, "/dev/full", path("q.csv"), {}), ENOSPC);
  EXPECT_FALSE(fs::exists(path("q.csv")));  // the quarantine path is not touched
  expect_io(gleave_file(in, path("out.csv"), std::string("/dev/full"), {}), ENOSPC);
  EXPECT_EQ(read(path("out.csv")), kRoadOutput);
}

// Runs f with RLIMIT_FSIZE lowered: writes past that size fail with EFBIG,
// even for root (SIGXFSZ ignored meanwhile). A cheap stand-in for a full disk.
template <class F>
Result<JobCounts> limited(rlim_t bytes, F f) {
  rlimit saved{};
  ::getrlimit(RLIMIT_FSIZE, &saved);
  const auto old_handler = ::signal(SIGXFSZ, SIG_IGN);
  rlimit lim = saved;
  lim.rlim_cur = bytes;
  ::setrlimit(RLIMIT_FSIZE, &lim);
  Result<JobCounts> r = f();
  ::setrlimit(RLIMIT_FSIZE, &saved);
  ::signal(SIGXFSZ, old_handler);
  return r;
}

TEST_F(FileTest, PartialOutputStays) {
  const std::string input = lines_of('p', 20, 1000);
  const auto in = write("in.csv", input);
  const auto run = [&] { return gleave_file(in, path("out.csv"), path("q.csv"), opts(',', 2)); };
  expect_io(limited(10000, run), EFBIG);
  const auto out = read(path("out.csv"));
  ASSERT_TRUE(out.has_value());
  EXPECT_EQ(out->size(), 10000u);
  EXPECT_EQ(*out, input.substr(0, 10000));
  EXPECT_FALSE(fs::exists(path("q.csv")));
}

// Lines of every size around the buffer's, into a file and through a full
// non-blocking pipe (a partial vectored write goes on where it stopped):
// the bytes come out in order; past a size limit, the file holds a prefix.
TEST_F(FileTest, WriteBufferKeepsOrder) {
  std::mt19937 rng(24);
  const std::size_t cap = WriteBuffer::kCapacity;
  const std::size_t sizes[] = {1, 100, cap - 1, cap, cap + 5, 3 * cap};
  std::vector<std::string> lines;
  std::string want;
  for (int i = 0; i < 24; ++i) {
    lines.emplace_back(sizes[rng() % 6], static_cast<char>('a' + i));
    want += lines.back();
  }
  auto write_lines = [&](WriteBuffer& out) -> Status {
    for (const std::string& line : lines) {
      if (Status s = out.append(line); !s) return s;
    }
    return out.flush();
  };
  // A file is written in turn, and behind by a thread of its own.
  for (const bool behind : {false, true}) {
    {
      auto fd = open_path(path("out.csv"), kCreateFlags);
      ASSERT_TRUE(fd.ok());
      WriteBuffer out(std::move(fd.value()));
      if (behind) out.write_behind();
      EXPECT_TRUE(write_lines(out).ok());
    }
    EXPECT_EQ(read(path("out.csv")), want);
  }

  int pipe_fds[2];
  ASSERT_EQ(::pipe(pipe_fds), 0);
  ::fcntl(pipe_fds[1], F_SETFL, O_NONBLOCK);
  std::string got;
  std::thread reader([&] {
    char buf[4096];
    ssize_t n;
    while ((n = ::read(pipe_fds[0], buf, sizeof buf)) > 0)
      got.append(buf, static_cast<std::size_t>(n));
  });
  {
    WriteBuffer out{Fd(pipe_fds[1])};
    EXPECT_TRUE(write_lines(out).ok());
  }
  reader.join();
  ::close(pipe_fds[0]);
  EXPECT_EQ(got, want);

  for (const bool behind : {false, true}) {
    const auto run = [&]() -> Result<JobCounts> {
      auto fd = open_path(path("cut.csv"), kCreateFlags);
      WriteBuffer out(std::move(fd.value()));
      if (behind) out.write_behind();
      if (Status s = write_lines(out); !s) return std::move(s.error());
      return JobCounts{};
    };
    expect_io(limited(cap + 1000, run), EFBIG);
    EXPECT_EQ(read(path("cut.csv")), want.substr(0, cap + 1000));
  }
}

// Mended fault 1: a quarantine path naming the output or the input fails
// before the output is opened, every file untouched.
TEST_F(FileTest, QuarantineSameAsOutput) {
  const auto in = write("in.csv", kRoadInput);
  const std::string text = "quarantine path is the same file as the output path";
  expect_text(gleave_file(in, path("out.csv"), path("out.csv"), {}), text);
  expect_text(gleave_file(in, path("out.csv"), dir + "/./out.csv", {}), text);  // neither exists
  EXPECT_EQ(entries(), std::vector<std::string>{"in.csv"});
  write("out.csv", "OLD");
  ::link(path("out.csv").c_str(), path("hard.csv").c_str());
  expect_text(gleave_file(in, path("out.csv"), path("hard.csv"), {}), text);
  const std::string other_spelling = dir + "/../" + fs::path(dir).filename().string() + "/out.csv";
  expect_text(gleave_file(in, other_spelling, path("out.csv"), {}), text);
  EXPECT_EQ(read(path("out.csv")), "OLD");
  EXPECT_EQ(read(in), kRoadInput);
}

TEST_F(FileTest, QuarantineSameAsInput) {
  const auto in = write("in.csv", kRoadInput);
  const std::string text = "quarantine path is the same file as the input path";
  expect_text(gleave_file(in, path("out.csv"), in, {}), text);
  fs::create_symlink(in, path("link.csv"));
  expect_text(gleave_file(in, path("out.csv"), path("link.csv"), {}), text);
  EXPECT_EQ(entries(), (std::vector<std::string>{"in.csv", "link.csv"}));
  EXPECT_EQ(read(in), kRoadInput);
}

// Mended fault 2: output = input is repaired through a temporary file that is
// renamed over the input; on failure the input stays as it was.
TEST_F(FileTest, InPlaceRepair) {
  const auto in = write("in.csv", kRoadInput);
  ::chmod(in.c_str(), 0640);
  const auto r = gleave_file(in, in, path("q.csv"), {});
  ASSERT_TRUE(r.ok()) << r.error().message();
  EXPECT_EQ(r.value().repaired_rows, 2u);
  EXPECT_EQ(read(in), kRoadOutput);
  EXPECT_EQ(read(path("q.csv")), kH);
  EXPECT_EQ(entries(), (std::vector<std::string>{"in.csv", "q.csv"}));
  EXPECT_EQ(fs::status(in).permissions(), fs::perms(0640));
  // The same file under another spelling is also in place.
  const auto r2 = gleave_file(in, dir + "/./in.csv", std::nullopt, opts(';', 2));
  ASSERT_TRUE(r2.ok()) << r2.error().message();
  EXPECT_EQ(read(in), "id;\"name;city\"\n1;\"Ann;Oslo\"\n2;\"Bob;\"\n3;\"Cy;Rome;extra\"\n");
  EXPECT_EQ(entries(), (std::vector<std::string>{"in.csv", "q.csv"}));
  // Through a symbolic link: the real file is repaired, the link stays a link.
  write("in.csv", kRoadInput);
  fs::create_symlink(in, path("link.csv"));
  ASSERT_TRUE(gleave_file(path("link.csv"), path("link.csv"), std::nullopt, {}).ok());
  EXPECT_TRUE(fs::is_symlink(path("link.csv")));
  EXPECT_EQ(read(in), kRoadOutput);
  EXPECT_EQ(entries(), (std::vector<std::string>{"in.csv", "link.csv", "q.csv"}));
}

// A stray opening quote on line 2 of a 100,001-line file takes no other line
// with it: the detection, the pass and both files see every row.
TEST_F(FileTest, RunawayQuoteKeepsTheRestOfTheFile) {
  std::string input = "id,name,value\n1,\"stray,10\n";
  std::string rest;
  for (int i = 2; i <= 100000; ++i) rest += std::to_string(i) + ",n" + std::to_string(i) + ",1\n";
  input += rest;
  const auto in = write("in.csv", input);
  const auto r = gleave_file(in, path("out.csv"), path("q.csv"), Dialect{});
  ASSERT_TRUE(r.ok()) << r.error().message();
  EXPECT_EQ(r.value().total_rows, 100001u);
  EXPECT_EQ(r.value().gleaved_rows, 100001u);
  EXPECT_EQ(r.value().repaired_rows, 0u);
  EXPECT_EQ(r.value().inferred_columns, 3u);
  EXPECT_EQ(r.value().delimiter, ',');
  EXPECT_EQ(read(path("out.csv")), "id,name,value\n1,\"\"\"stray\",10\n" + rest);
  EXPECT_EQ(read(path("q.csv")), kH);
  // Held to two columns, the runaway row is quarantined under its own line.
  const GleaveOutcome o = gleave_slice(input, opts(',', 2, false, false));
  ASSERT_EQ(o.quarantine.size(), 100001u);
  EXPECT_EQ(records_of(o)[1], (Record{2, kExtra + "2)", {"1", "\"stray", "10"}}));
}

// Writing twice to a device destroys nothing: /dev/null may be both outputs.
TEST_F(FileTest, DevNullForBothOutputs) {
  const auto in = write("in.csv", kRoadInput);
  const auto r = gleave_file(in, "/dev/null", std::string("/dev/null"), {});
  ASSERT_TRUE(r.ok()) << r.error().message();
  EXPECT_EQ(r.value().total_rows, 4u);
}

TEST_F(FileTest, InPlaceWriteFailureKeepsInput) {
  const std::string input = lines_of('p', 20, 1000);
  const auto in = write("in.csv", input);
  expect_io(limited(10000, [&] { return gleave_file(in, in, std::nullopt, opts(',', 3)); }), EFBIG);
  EXPECT_EQ(read(in), input);
  EXPECT_EQ(entries(), std::vector<std::string>{"in.csv"});
}

TEST_F(FileTest, InPlaceQuarantineFailureKeepsInput) {
  const auto in = write("in.csv", kRoadInput);
  expect_io(gleave_file(in, in, path("no/q.csv"), {}), ENOENT);
  EXPECT_EQ(read(in), kRoadInput);
  EXPECT_EQ(entries(), std::vector<std::string>{"in.csv"});
}

// An encoding that cannot be read is an error of its own kind, not an I/O
// error, and nothing is put in place.
TEST_F(FileTest, UnknownEncodingIsAnEncodingError) {
  FileJob job;
  job.input.path = write("in.csv", "a,b\n1,2\n");
  job.output.path = path("out.csv");
  job.quarantine = FileRef{path("q.csv"), -1};
  job.dialect.encoding.give("no-such-encoding");
  auto r = run_file_job(job);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind(), GleaveError::Kind::Encoding);
  EXPECT_EQ(r.error().message(), "unknown encoding: no-such-encoding");
  EXPECT_EQ(entries(), std::vector<std::string>{"in.csv"});
}

TEST_F(FileTest, InPlaceTempNotCreatable) {
  if (::geteuid() == 0) GTEST_SKIP() << "root writes into read-only directories";
  const auto in = write("in.csv", kRoadInput);
  ::chmod(dir.c_str(), 0555);
  expect_io(gleave_file(in, in, std::nullopt, {}), EACCES);
  EXPECT_EQ(read(in), kRoadInput);
}

// ---------------------------------------------------------------------------
// GleaveError

struct ErrorCase {
  const char* name;
  GleaveError error;
  GleaveError::Kind kind;
  std::string message;
};

// clang-format off
const ErrorCase kErrors[] = {
    {"io_errno", IoError::from_errno(ENOENT), GleaveError::Kind::Io,
     std::string(std::strerror(ENOENT)) + " (os error 2)"},
    {"io_eacces", IoError::from_errno(EACCES), GleaveError::Kind::Io,
     std::string(std::strerror(EACCES)) + " (os error 13)"},
    {"io_nul", IoError::from_fixed(IoFixed::NulInPath), GleaveError::Kind::Io, "file name contained an unexpected NUL byte"},
    {"io_oom", IoError::from_fixed(IoFixed::OutOfMemory), GleaveError::Kind::Io, "out of memory"},
    {"io_write_zero", IoError::from_fixed(IoFixed::WriteZero), GleaveError::Kind::Io, "failed to write whole buffer"},
    {"io_flush_zero", IoError::from_fixed(IoFixed::FlushZero), GleaveError::Kind::Io, "failed to write the buffered data"},
    {"invalid", InvalidError{"bad value"}, GleaveError::Kind::Invalid, "bad value"},
    {"parse", ParseError{"msg", 12}, GleaveError::Kind::Parse, "Line 12: msg"},
    {"other", OtherError{"something"}, GleaveError::Kind::Other, "something"},
    {"encoding", EncodingError{"unknown encoding: x"}, GleaveError::Kind::Encoding, "unknown encoding: x"},
};
// clang-format on

class ErrorTable : public testing::TestWithParam<ErrorCase> {};

TEST_P(ErrorTable, KindAndMessage) {
  EXPECT_EQ(GetParam().error.kind(), GetParam().kind);
  EXPECT_EQ(GetParam().error.message(), GetParam().message);
  EXPECT_EQ(GetParam().error.io() != nullptr, GetParam().kind == GleaveError::Kind::Io);
}

INSTANTIATE_TEST_SUITE_P(Errors, ErrorTable, testing::ValuesIn(kErrors),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ErrorKinds, DeclarationOrder) {
  EXPECT_EQ(static_cast<int>(GleaveError::Kind::Io), 0);
  EXPECT_EQ(static_cast<int>(GleaveError::Kind::Invalid), 1);
  EXPECT_EQ(static_cast<int>(GleaveError::Kind::Parse), 2);
  EXPECT_EQ(static_cast<int>(GleaveError::Kind::Other), 3);
  EXPECT_EQ(static_cast<int>(GleaveError::Kind::Encoding), 4);
}

}  // namespace
