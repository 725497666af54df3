// Arrow tables: the type rules (including every guard against a type that
// would change a value), header naming, nulls, exact text without inference,
// and the export through the C stream interface with its ownership rules.
#include <gtest/gtest.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <unordered_set>
#include <vector>

#include "engine/gleave.hpp"
#include "engine/table/batch_stream.hpp"
#include "engine/table/column_names.hpp"
#include "engine/table/table_builder.hpp"
#include "engine/table/thread_pool.hpp"
#include "engine/table/value_parse.hpp"

namespace {

using namespace gleave::table;
using Cells = std::vector<std::optional<std::string>>;  // nullopt: null

ArrowTable build(const std::vector<std::vector<std::string>>& rows, TableOptions options) {
  TableBuilder b(options);
  for (const auto& row : rows) {
    std::vector<std::string_view> views(row.begin(), row.end());
    b.append_row(views);
  }
  return b.finish();
}

ArrowTable one_column(const std::vector<std::string>& values, bool decimal_comma = false) {
  std::vector<std::vector<std::string>> rows;
  for (const auto& v : values) rows.push_back({v});
  return build(rows, {false, true, decimal_comma});
}

// Every exported array is checked in full by nanoarrow: buffer sizes,
// offsets in order and within the data, views within their buffers.
void expect_valid_arrow(const ArrowSchema& schema, const ArrowArray& array) {
  ArrowArrayView view;
  ArrowError error{};
  ASSERT_EQ(ArrowArrayViewInitFromSchema(&view, &schema, &error), NANOARROW_OK) << error.message;
  EXPECT_EQ(ArrowArrayViewSetArray(&view, &array, &error), NANOARROW_OK) << error.message;
  EXPECT_EQ(ArrowArrayViewValidate(&view, NANOARROW_VALIDATION_LEVEL_FULL, &error), NANOARROW_OK)
      << error.message;
  ArrowArrayViewReset(&view);
}

bool is_valid(const std::uint8_t* validity, std::int64_t i) {
  return validity == nullptr || get_bit(validity, static_cast<std::size_t>(i));
}

// The cells of an exported string column, read through its Arrow buffers.
Cells strings_of(const ArrowArray& a, bool large) {
  const auto* validity = static_cast<const std::uint8_t*>(a.buffers[0]);
  const auto* data = static_cast<const char*>(a.buffers[2]);
  Cells out;
  for (std::int64_t i = a.offset; i < a.offset + a.length; ++i) {
    if (!is_valid(validity, i)) {
      out.push_back(std::nullopt);
      continue;
    }
    std::int64_t b, e;
    if (large) {
      b = static_cast<const std::int64_t*>(a.buffers[1])[i];
      e = static_cast<const std::int64_t*>(a.buffers[1])[i + 1];
    } else {
      b = static_cast<const std::int32_t*>(a.buffers[1])[i];
      e = static_cast<const std::int32_t*>(a.buffers[1])[i + 1];
    }
    out.emplace_back(std::string(data + b, static_cast<std::size_t>(e - b)));
  }
  return out;
}

// A table exported as one struct array, released at scope exit.
struct Exported {
  ArrowArray array{};
  ArrowSchema schema{};
  explicit Exported(ArrowTable&& t) {
    EXPECT_EQ(t.export_schema(&schema), 0);
    EXPECT_EQ(t.export_array(&array), 0);
    expect_valid_arrow(schema, array);
  }
  ~Exported() {
    if (array.release) array.release(&array);
    if (schema.release) schema.release(&schema);
  }
  const ArrowArray& col(std::size_t i) const { return *array.children[i]; }
  std::string format(std::size_t i) const { return schema.children[i]->format; }
  std::string name(std::size_t i) const { return schema.children[i]->name; }
  Cells strings(std::size_t i) const {
    return strings_of(col(i), format(i) == "U" || format(i) == "Z");
  }
  template <class T>
  std::vector<std::optional<T>> values(std::size_t i) const {
    const ArrowArray& a = col(i);
    std::vector<std::optional<T>> out;
    for (std::int64_t r = 0; r < a.length; ++r) {
      if (!is_valid(static_cast<const std::uint8_t*>(a.buffers[0]), r)) {
        out.push_back(std::nullopt);
      } else if constexpr (std::is_same_v<T, bool>) {
        out.push_back(get_bit(static_cast<const std::uint8_t*>(a.buffers[1]), r));
      } else {
        out.push_back(static_cast<const T*>(a.buffers[1])[r]);
      }
    }
    return out;
  }
};

// ---------------------------------------------------------------------------
// Types

struct TypeCase {
  std::vector<std::string> values;
  std::string format;
  bool decimal_comma = false;
};
void PrintTo(const TypeCase& c, std::ostream* os) {
  *os << testing::PrintToString(c.values) << " -> " << c.format;
}

class ColumnType : public testing::TestWithParam<TypeCase> {};

TEST_P(ColumnType, IsInferredOverAllValues) {
  const TypeCase& c = GetParam();
  ArrowTable t = one_column(c.values, c.decimal_comma);
  ASSERT_EQ(t.num_columns(), 1u);
  EXPECT_EQ(t.column(0).format, c.format);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, ColumnType,
    testing::Values(
        // integers, and the forms that would not print back the same
        TypeCase{{"1", "-2", "0", "", "9223372036854775807", "-9223372036854775808"}, "l"},
        TypeCase{{"1", "007"}, "u"}, TypeCase{{"-01"}, "u"}, TypeCase{{"+1"}, "u"},
        TypeCase{{"9223372036854775808"}, "u"}, TypeCase{{"-9223372036854775809"}, "u"},
        TypeCase{{"1 "}, "u"}, TypeCase{{" 1"}, "u"}, TypeCase{{"1_000"}, "u"},
        TypeCase{{"123456789012345678901234"}, "u"},
        // floats
        TypeCase{{"1.5", "2", ".5", "5.", "1e5", "-2.5E-3", "1e+05", "-0"}, "g"},
        TypeCase{{"0.1", "1.7976931348623157e308", "5e-324", "0.000"}, "g"},
        TypeCase{{"00.5"}, "u"}, TypeCase{{"01.5"}, "u"}, TypeCase{{"1e"}, "u"},
        TypeCase{{"."}, "u"}, TypeCase{{"-"}, "u"}, TypeCase{{"e5"}, "u"}, TypeCase{{"nan"}, "u"},
        TypeCase{{"inf"}, "u"}, TypeCase{{"-Infinity"}, "u"}, TypeCase{{"+1.5"}, "u"},
        TypeCase{{"0x1p3"}, "u"}, TypeCase{{"1.5f"}, "u"}, TypeCase{{"1e400"}, "u"},
        TypeCase{{"1e-400"}, "u"},
        // digits a double cannot hold
        TypeCase{{"0.30000000000000001"}, "u"}, TypeCase{{"9007199254740993", "0.5"}, "u"},
        TypeCase{{"9007199254740993"}, "l"}, TypeCase{{"9007199254740992", "0.5"}, "g"},
        TypeCase{{"3.141592653589793"}, "g"}, TypeCase{{"1234567890123456789012", "1.5"}, "u"},
        // decimal comma: only when allowed, and never mixed with a point
        TypeCase{{"1,5", "2", "-0,25"}, "g", true}, TypeCase{{"1,5"}, "u", false},
        TypeCase{{"1,5", "1.5"}, "u", true}, TypeCase{{"1.5", "2"}, "g", true},
        TypeCase{{"1,5,5"}, "u", true},
        // bools
        TypeCase{{"true", "FALSE", "True", ""}, "b"}, TypeCase{{"true", "1"}, "u"},
        TypeCase{{"yes"}, "u"}, TypeCase{{"truee"}, "u"},
        // dates
        TypeCase{{"2024-02-29", "1999-12-31", "0001-01-01", "9999-12-31"}, "tdD"},
        TypeCase{{"2023-02-29"}, "u"}, TypeCase{{"1900-02-29"}, "u"}, TypeCase{{"2024-13-01"}, "u"},
        TypeCase{{"2024-04-31"}, "u"}, TypeCase{{"0000-01-01"}, "u"}, TypeCase{{"2024-1-01"}, "u"},
        TypeCase{{"2024-01-01", "2024-01-01T00:00"}, "u"}, TypeCase{{"2024/01/01"}, "u"},
        // timestamps
        TypeCase{{"2024-01-01T10:00", "2024-01-01 10:00:05.123456"}, "tsu:"},
        TypeCase{{"2024-01-01T10:00:00Z", "2024-01-01T10:00:00+02:00"}, "tsu:UTC"},
        TypeCase{{"2024-01-01T10:00:00Z", "2024-01-01T10:00:00"}, "u"},
        TypeCase{{"2024-01-01T10:00:00.1234567"}, "tsn:"},
        TypeCase{{"2024-01-01T10:00:00.1234567Z"}, "tsn:UTC"},
        TypeCase{{"2024-01-01T10:00:00.1234567890"}, "u"},
        TypeCase{{"1500-01-01T00:00:00.1234567"}, "u"},
        TypeCase{{"1500-01-01T00:00:00.123456"}, "tsu:"}, TypeCase{{"2024-01-01T24:00"}, "u"},
        TypeCase{{"2024-01-01T10:00:60"}, "u"}, TypeCase{{"2024-01-01T10:00:00."}, "u"},
        TypeCase{{"2024-01-01T10:00+0200"}, "u"}, TypeCase{{"2024-01-01T10"}, "u"},
        TypeCase{{"2024-01-01t10:00"}, "u"}, TypeCase{{"2024-01-01T10:00:00z"}, "u"},
        // nothing to go on, or mixed kinds
        TypeCase{{"", ""}, "u"}, TypeCase{{"1", "true"}, "u"}, TypeCase{{"1", "2024-01-01"}, "u"},
        TypeCase{{"1", "\xff"}, "z"}));

struct ValueCase {
  std::vector<std::string> values;
  std::string format;
  std::vector<std::optional<std::int64_t>> expected;  // ints, days, ticks
};

class TypedValue : public testing::TestWithParam<ValueCase> {};

TEST_P(TypedValue, IsExact) {
  const ValueCase& c = GetParam();
  Exported e(one_column(c.values));
  ASSERT_EQ(e.format(0), c.format);
  if (c.format == "tdD") {
    std::vector<std::optional<std::int64_t>> got;
    for (auto v : e.values<std::int32_t>(0))
      got.push_back(v ? std::optional<std::int64_t>(*v) : std::nullopt);
    EXPECT_EQ(got, c.expected);
  } else {
    EXPECT_EQ(e.values<std::int64_t>(0), c.expected);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Values, TypedValue,
    testing::Values(
        ValueCase{{"1", "", "-9223372036854775808"}, "l", {1, std::nullopt, INT64_MIN}},
        ValueCase{
            {"1970-01-02", "1969-12-31", "2000-03-01", ""}, "tdD", {1, -1, 11017, std::nullopt}},
        ValueCase{{"2024-01-01T10:00:00+02:00", "1970-01-01T00:00:00.5Z", "1970-01-01 01:00-01:30"},
                  "tsu:UTC",
                  {1704096000000000, 500000, 9000000000}},
        ValueCase{
            {"1970-01-01T00:00:00.0000001", "1969-12-31T23:59:59.999999999"}, "tsn:", {100, -1}}));

TEST(TypedValue, FloatsAndBools) {
  Exported f(one_column({"1.5", "", "-0", "1e-3", "0.1"}));
  ASSERT_EQ(f.format(0), "g");
  const auto got = f.values<double>(0);
  EXPECT_EQ(got[0], 1.5);
  EXPECT_FALSE(got[1].has_value());
  EXPECT_TRUE(got[2] && *got[2] == 0.0 && std::signbit(*got[2]));
  EXPECT_EQ(got[3], 1e-3);
  EXPECT_EQ(got[4], 0.1);
  Exported c(one_column({"1,25", "-3"}, true));
  EXPECT_EQ(c.values<double>(0), (std::vector<std::optional<double>>{1.25, -3.0}));
  Exported b(one_column({"TRUE", "", "false", "True", "x"}));
  EXPECT_EQ(b.format(0), "u");
  Exported b2(one_column({"TRUE", "", "false", "True", "fAlSe", "true", "true", "true", "false"}));
  EXPECT_EQ(b2.values<bool>(0), (std::vector<std::optional<bool>>{true, std::nullopt, false, true,
                                                                  false, true, true, true, false}));
}

// The check without conversion and the conversion by multiplication agree
// with parse_float64 (from_chars and the read-back test) on every text.
TEST(TypedValue, FloatFastPathsAgreeWithTheFullParse) {
  std::vector<std::string> texts = {"0",
                                    "-0",
                                    "0.000",
                                    "1.50",
                                    "38.50",
                                    "-460.45",
                                    "1e22",
                                    "1e23",
                                    "9e-22",
                                    "1e-23",
                                    ".5",
                                    "5.",
                                    "1000000",
                                    "0.001",
                                    "123456789012345",
                                    "1234567890123456",
                                    "12345678901234567890123",
                                    "100000000000000000000",
                                    "0.1000000000000000000001",
                                    "4.9e-324",
                                    "1.7976931348623157e308",
                                    "2e308",
                                    "1e99999999",
                                    "9007199254740993",
                                    "-1,25",
                                    "1,5e3",
                                    "00.1",
                                    "1e",
                                    "-",
                                    "."};
  std::mt19937_64 rng(7);
  const char alphabet[] = "0123456789000.-e,";
  for (int i = 0; i < 20000; ++i) {
    std::string t;
    const std::size_t n = 1 + rng() % 24;
    for (std::size_t k = 0; k < n; ++k) t += alphabet[rng() % (sizeof alphabet - 1)];
    texts.push_back(t);
  }
  for (const std::string& t : texts) {
    for (const char mark : {'.', ','}) {
      double full = 0;
      const bool accepted = parse_float64(t, mark, full);
      ASSERT_EQ(is_float64(t, mark), accepted) << t << " mark " << mark;
      if (!accepted) continue;
      const double fast = float64_value(t, mark);
      ASSERT_EQ(std::memcmp(&fast, &full, sizeof fast), 0) << t << " mark " << mark;
    }
  }
}

// ---------------------------------------------------------------------------
// Header names

struct NameCase {
  std::vector<std::string> raw;
  std::size_t width;
  std::vector<std::string> expected;
};

class HeaderNames : public testing::TestWithParam<NameCase> {};

TEST_P(HeaderNames, AreUniqueAndNonEmpty) {
  EXPECT_EQ(unique_header_names(GetParam().raw, GetParam().width), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    PandasStyle, HeaderNames,
    testing::Values(NameCase{{"a", "a", "a"}, 3, {"a", "a.1", "a.2"}},
                    NameCase{{"a", "a", "a.1"}, 3, {"a", "a.2", "a.1"}},
                    NameCase{{"a.1", "a", "a"}, 3, {"a.1", "a", "a.2"}},
                    NameCase{{"a", "a.1", "a", "a.2", "a"}, 5, {"a", "a.1", "a.3", "a.2", "a.4"}},
                    NameCase{{"", " ", "x"}, 4, {"Unnamed: 0", "Unnamed: 1", "x", "Unnamed: 3"}},
                    NameCase{{"Unnamed: 1", ""}, 2, {"Unnamed: 1", "Unnamed: 1.1"}},
                    NameCase{{"\xe3\x80\x80", "\x1c\t", "\xc2\xa0x"},
                             3,
                             {"Unnamed: 0", "Unnamed: 1", "\xc2\xa0x"}},
                    NameCase{{"a", "a", "a.1", "a.1"}, 4, {"a", "a.2", "a.1", "a.1.1"}},
                    NameCase{{}, 2, {"Unnamed: 0", "Unnamed: 1"}}));

TEST(HeaderNames, LargeRepeatedHeaderIsLinear) {
  // 128 KiB of "a,a,a,...": the quadratic renaming took minutes on this.
  const std::size_t n = 65536;
  const auto names = unique_header_names(std::vector<std::string>(n, "a"), n);
  ASSERT_EQ(names.size(), n);
  EXPECT_EQ(names[1], "a.1");
  EXPECT_EQ(names[n - 1], "a." + std::to_string(n - 1));
  EXPECT_EQ(std::unordered_set<std::string>(names.begin(), names.end()).size(), n);
}

TEST(HeaderNames, PositionalWithoutHeader) {
  EXPECT_EQ(positional_names(3), (std::vector<std::string>{"column_1", "column_2", "column_3"}));
}

// ---------------------------------------------------------------------------
// Rows, nulls and exact text

TEST(TableBuilder, RaggedRowsGrowColumnsWithNulls) {
  for (bool infer : {true, false}) {
    Exported e(build({{"h1", "", "h1"}, {"1"}, {"2", "", "x", "y"}, {}}, {true, infer, false}));
    ASSERT_EQ(e.array.length, 3);
    ASSERT_EQ(e.array.n_children, 4);
    EXPECT_EQ(e.name(0), "h1");
    EXPECT_EQ(e.name(1), "Unnamed: 1");
    EXPECT_EQ(e.name(2), "h1.1");
    EXPECT_EQ(e.name(3), "Unnamed: 3");
    const std::optional<std::string> empty = infer ? std::nullopt : std::optional<std::string>("");
    if (infer) {
      EXPECT_EQ(e.format(0), "l");
      EXPECT_EQ(e.values<std::int64_t>(0),
                (std::vector<std::optional<std::int64_t>>{1, 2, std::nullopt}));
    } else {
      EXPECT_EQ(e.strings(0), (Cells{"1", "2", std::nullopt}));
    }
    EXPECT_EQ(e.strings(1), (Cells{std::nullopt, empty, std::nullopt}));
    EXPECT_EQ(e.strings(2), (Cells{std::nullopt, "x", std::nullopt}));
    EXPECT_EQ(e.strings(3), (Cells{std::nullopt, "y", std::nullopt}));
    EXPECT_EQ(e.col(3).null_count, 2);
  }
}

TEST(TableBuilder, WithoutInferenceEveryValueIsItsExactText) {
  const std::vector<std::vector<std::string>> rows = {
      {"007", "", "1.50", "TRUE"}, {"", "2024-01-01", " 1 ", std::string("a\0b", 3)}};
  Exported e(build(rows, {false, false, false}));
  ASSERT_EQ(e.array.n_children, 4);
  for (std::size_t c = 0; c < 4; ++c) {
    EXPECT_EQ(e.format(c), "u");
    EXPECT_EQ(e.name(c), "column_" + std::to_string(c + 1));
    EXPECT_EQ(e.col(c).null_count, 0);
    EXPECT_EQ(e.strings(c), (Cells{rows[0][c], rows[1][c]}));
  }
}

// A header of several rows: group labels carry on over the empty cells
// after them and the labels of a column are joined top to bottom.
struct HeaderRowsCase {
  std::vector<std::vector<std::string>> rows;
  std::vector<std::string> expected;
};

class HeaderRows : public testing::TestWithParam<HeaderRowsCase> {};

TEST_P(HeaderRows, CombineIntoOneNamePerColumn) {
  EXPECT_EQ(combine_header_rows(GetParam().rows), GetParam().expected);
  // The builder takes them as its first rows and names the columns so.
  TableOptions options;
  options.header_rows = GetParam().rows.size();
  auto rows = GetParam().rows;
  rows.push_back(std::vector<std::string>(GetParam().expected.size(), "1"));
  Exported e(build(rows, options));
  EXPECT_EQ(e.array.length, 1);
  for (std::size_t i = 0; i < GetParam().expected.size(); ++i) {
    const std::string want = is_python_blank(GetParam().expected[i])
                                 ? "Unnamed: " + std::to_string(i)
                                 : GetParam().expected[i];
    EXPECT_EQ(e.name(i), want);
  }
}

INSTANTIATE_TEST_SUITE_P(
    GroupsAndUnits, HeaderRows,
    testing::Values(HeaderRowsCase{{{"", "2019", "", "2020", ""}, {"name", "q1", "q2", "q1", "q2"}},
                                   {"name", "2019 q1", "2019 q2", "2020 q1", "2020 q2"}},
                    HeaderRowsCase{{{"a", "b", "c"}, {"", "kg", " "}}, {"a", "b kg", "c"}},
                    HeaderRowsCase{{{"", "", "g"}, {"", "y", ""}}, {"", "y", "g"}},
                    HeaderRowsCase{{{"x", "y"}, {"p"}, {"1"}}, {"x p 1", "y p"}},  // short rows
                    HeaderRowsCase{{{"a"}, {"b", "c"}}, {"a b", "a c"}}));

TEST(TableBuilder, HeaderRowsCutShortByTheEnd) {
  TableOptions options;
  options.header_rows = 3;
  Exported e(build({{"", "2019"}, {"n", "q1"}}, options));
  EXPECT_EQ(e.array.length, 0);
  ASSERT_EQ(e.schema.n_children, 2);
  EXPECT_EQ(e.name(1), "2019 q1");
}

TEST(TableBuilder, HeaderOnlyAndEmptyTables) {
  Exported h(build({{"a", "b"}}, {}));
  EXPECT_EQ(h.array.length, 0);
  ASSERT_EQ(h.array.n_children, 2);
  EXPECT_EQ(h.format(1), "u");
  EXPECT_EQ(h.col(1).length, 0);
  Exported none(build({}, {}));
  EXPECT_EQ(none.array.n_children, 0);
  EXPECT_EQ(none.schema.n_children, 0);
}

TEST(TableBuilder, BadUtf8StaysBytesAndNamesAreRepaired) {
  ArrowTable t =
      build({{"ok", "n\xff", std::string("z\0", 2)}, {"caf\xc3\xa9", "\xff\xfe", "x"}}, {});
  EXPECT_EQ(t.names_repaired(), 2u);
  Exported e(std::move(t));
  EXPECT_EQ(e.format(0), "u");
  EXPECT_EQ(e.format(1), "z");
  EXPECT_EQ(e.name(1), "n\xef\xbf\xbd");
  EXPECT_EQ(e.name(2), "z\xef\xbf\xbd");
  EXPECT_EQ(e.strings(1), (Cells{"\xff\xfe"}));
}

TEST(TableBuilder, FeedsFromTheRowsOfAPass) {
  const std::string text = "id,name,score\n1,ann,1.5\n2,\"b,ob\",\n3,c\xc3\xa9,2\n4,d\n";
  gleave::Dialect options;
  options.delimiter.give(',');
  const gleave::GleaveOutcome outcome = gleave::gleave_slice(text, options);
  TableBuilder b;
  b.append_rows(outcome.rows);
  Exported e(b.finish());
  ASSERT_EQ(e.array.length, 4);
  EXPECT_EQ(e.format(0), "l");
  EXPECT_EQ(e.strings(1), (Cells{"ann", "b,ob", "c\xc3\xa9", "d"}));
  EXPECT_EQ(e.values<double>(2),
            (std::vector<std::optional<double>>{1.5, std::nullopt, 2.0, std::nullopt}));
}

// The cells of an exported string view column, read through its views.
Cells views_of(const ArrowArray& a) {
  const auto* validity = static_cast<const std::uint8_t*>(a.buffers[0]);
  const auto* views = static_cast<const std::uint8_t*>(a.buffers[1]);
  Cells out;
  for (std::int64_t i = 0; i < a.length; ++i) {
    if (!is_valid(validity, i)) {
      out.push_back(std::nullopt);
      continue;
    }
    const std::uint8_t* v = views + 16 * i;
    std::int32_t len, buffer, offset;
    std::memcpy(&len, v, 4);
    if (len <= 12) {
      for (std::int32_t k = len; k < 12; ++k) EXPECT_EQ(v[4 + k], 0) << "padding of view " << i;
      out.emplace_back(
          std::string(reinterpret_cast<const char*>(v + 4), static_cast<std::size_t>(len)));
      continue;
    }
    std::memcpy(&buffer, v + 8, 4);
    std::memcpy(&offset, v + 12, 4);
    EXPECT_LT(2 + buffer, a.n_buffers - 1);
    const auto* data = static_cast<const char*>(a.buffers[2 + buffer]);
    EXPECT_EQ(std::memcmp(v + 4, data + offset, 4), 0);  // the prefix
    out.emplace_back(std::string(data + offset, static_cast<std::size_t>(len)));
  }
  return out;
}

// Lines split by the builder itself give the table the same rows split
// outside give, on one thread or two, with offsets 32-bit or 64-bit.
TEST(TableBuilder, LinesAndWideOffsetsGiveTheSameTable) {
  const std::vector<std::string> lines = {
      "id;name;amount;when;flag",
      "1;ann;1.5;2024-01-02;true",
      "2;;;;",
      "3;a name longer than sixteen bytes;-0.25;2024-02-29;FALSE",
      ";;;;;",
      "4;caf\xc3\xa9 \xff;7;1999-12-31;true;and;more",
      "5",
      "",
      "123456789012345;x;1e3;2024-01-01;false",
      std::string(40, ';'),
      "6;0123456789abcdef;12345678901234567;2024-01-01T00:00:00;true",
  };
  auto split = [](const std::string& line) {
    std::vector<std::string_view> fields;
    std::size_t b = 0;
    for (std::size_t e; (e = line.find(';', b)) != std::string::npos; b = e + 1)
      fields.emplace_back(line.data() + b, e - b);
    fields.emplace_back(line.data() + b, line.size() - b);
    return fields;
  };
  for (const bool infer : {true, false}) {
    for (const bool header : {true, false}) {
      TableOptions plain{header, infer, true};
      TableBuilder rows(plain);
      for (const std::string& line : lines) rows.append_row(split(line));
      Exported want(rows.finish(1));
      for (const std::size_t limit : {std::size_t{UINT32_MAX}, std::size_t{0}, std::size_t{20}}) {
        for (const unsigned threads : {1u, 2u, 7u}) {
          for (const bool views : {false, true}) {
            TableOptions o = plain;
            o.narrow_offsets_up_to = limit;
            o.string_views = views;
            TableBuilder b(o);
            for (const std::string& line : lines) b.append_line(line, ';', false);
            Exported got(b.finish(threads));
            SCOPED_TRACE(testing::Message()
                         << "infer " << infer << " header " << header << " limit " << limit
                         << " threads " << threads << " views " << views);
            ASSERT_EQ(got.array.length, want.array.length);
            ASSERT_EQ(got.array.n_children, want.array.n_children);
            for (std::size_t c = 0; c < static_cast<std::size_t>(want.array.n_children); ++c) {
              EXPECT_EQ(got.name(c), want.name(c));
              EXPECT_EQ(got.col(c).null_count, want.col(c).null_count);
              const std::string f = want.format(c);
              if (views && (f == "u" || f == "z")) {
                // Views as long as their data fits 32-bit offsets; here always.
                EXPECT_EQ(got.format(c), f == "u" ? "vu" : "vz");
                EXPECT_EQ(views_of(got.col(c)), want.strings(c));
              } else if (f == "u" || f == "z") {
                // Past the limit a text column has 64-bit offsets.
                const bool wide = limit < UINT32_MAX && got.format(c) != f;
                EXPECT_EQ(got.format(c), wide ? (f == "u" ? "U" : "Z") : f);
                EXPECT_EQ(got.strings(c), want.strings(c));
              } else {
                ASSERT_EQ(got.format(c), f);
                const std::size_t width = f == "b" ? 0 : f == "tdD" ? 4 : 8;
                for (std::int64_t r = 0; r < want.array.length; ++r) {
                  const bool valid =
                      is_valid(static_cast<const std::uint8_t*>(want.col(c).buffers[0]), r);
                  ASSERT_EQ(is_valid(static_cast<const std::uint8_t*>(got.col(c).buffers[0]), r),
                            valid);
                  if (!valid) continue;
                  const auto* a = static_cast<const std::uint8_t*>(want.col(c).buffers[1]);
                  const auto* g = static_cast<const std::uint8_t*>(got.col(c).buffers[1]);
                  if (width == 0) {
                    EXPECT_EQ(get_bit(g, r), get_bit(a, r));
                  } else {
                    EXPECT_EQ(std::memcmp(g + r * width, a + r * width, width), 0);
                  }
                }
              }
            }
          }
        }
      }
    }
  }
}

TEST(TableBuilder, StringViewsHoldTheSameCells) {
  std::vector<std::vector<std::string>> rows = {
      {"short", "exactly12byt", "a value of more than twelve bytes", "\xff\xfe bytes", "1"},
      {"", "x", "", "", "2"},
      {"s"},
  };
  // Then values of every length around the inline limit, in the column
  // whose values are read sixteen bytes at a time.
  for (std::size_t i = 0; i < 300; ++i) {
    rows.push_back({"", "", std::string(i % 20, static_cast<char>('a' + i % 26))});
  }
  for (const bool infer : {true, false}) {
    TableOptions o{false, infer, false};
    Exported want(build(rows, o));
    o.string_views = true;
    Exported got(build(rows, o));
    for (std::size_t c = 0; c < 5; ++c) {
      const std::string f = want.format(c);
      if (f != "u" && f != "z") {
        EXPECT_EQ(got.format(c), f);
        continue;
      }
      EXPECT_EQ(got.format(c), f == "u" ? "vu" : "vz");
      EXPECT_EQ(got.col(c).null_count, want.col(c).null_count);
      EXPECT_EQ(views_of(got.col(c)), want.strings(c));
      // Values of at most twelve bytes all sit in their views: no data
      // buffer, only the (empty) array of data buffer sizes.
      const bool inline_only = c != 2;
      EXPECT_EQ(got.col(c).n_buffers, inline_only ? 3 : 4);
      if (!inline_only) {
        std::int64_t bytes = 0;
        // The data buffer holds the values too long to be inline.
        for (const auto& row : rows) {
          if (row.size() > c && row[c].size() > 12)
            bytes += static_cast<std::int64_t>(row[c].size());
        }
        EXPECT_EQ(static_cast<const std::int64_t*>(got.col(c).buffers[3])[0], bytes);
      }
    }
  }
}

// ---------------------------------------------------------------------------
// Tables built in ranges of rows: the same names, types and cells as one
// builder taking every row, whatever the ranges and threads.

// Every cell of a column as text (fixed-width values as their bytes in hex).
Cells cells_of(const ArrowArray& a, const std::string& format) {
  if (format[0] == 'v') return views_of(a);
  if (format == "u" || format == "z") return strings_of(a, false);
  if (format == "U" || format == "Z") return strings_of(a, true);
  const std::size_t width = format == "b" ? 0 : format == "tdD" ? 4 : 8;
  const auto* validity = static_cast<const std::uint8_t*>(a.buffers[0]);
  const auto* values = static_cast<const std::uint8_t*>(a.buffers[1]);
  Cells out;
  for (std::int64_t r = 0; r < a.length; ++r) {
    if (!is_valid(validity, r)) {
      out.push_back(std::nullopt);
    } else if (width == 0) {
      out.emplace_back(get_bit(values, static_cast<std::size_t>(r)) ? "1" : "0");
    } else {
      std::string hex;
      for (std::size_t k = 0; k < width; ++k) {
        hex += "0123456789abcdef"[values[r * width + k] >> 4];
        hex += "0123456789abcdef"[values[r * width + k] & 15];
      }
      out.push_back(hex);
    }
  }
  return out;
}

// A table read back through its stream: the schema, then every batch.
struct Streamed {
  std::vector<std::string> names, formats;
  std::vector<Cells> columns;
  std::vector<std::int64_t> nulls;
  std::size_t batches = 0;
  explicit Streamed(ArrowTable&& t) {
    ArrowArrayStream s{};
    EXPECT_EQ(export_stream(std::move(t), &s), 0);
    read(s);
  }
  explicit Streamed(ArrowArrayStream& s) { read(s); }
  void read(ArrowArrayStream& s) {
    ArrowSchema schema{};
    EXPECT_EQ(s.get_schema(&s, &schema), 0);
    for (std::int64_t c = 0; c < schema.n_children; ++c) {
      names.emplace_back(schema.children[c]->name);
      formats.emplace_back(schema.children[c]->format);
    }
    columns.resize(names.size());
    nulls.resize(names.size());
    while (true) {
      ArrowArray batch{};
      EXPECT_EQ(s.get_next(&s, &batch), 0);
      if (batch.release == nullptr) break;
      expect_valid_arrow(schema, batch);
      ++batches;
      EXPECT_EQ(static_cast<std::size_t>(batch.n_children), names.size());
      for (std::size_t c = 0; c < names.size(); ++c) {
        EXPECT_EQ(batch.children[c]->length, batch.length);
        const Cells cells = cells_of(*batch.children[c], formats[c]);
        columns[c].insert(columns[c].end(), cells.begin(), cells.end());
        nulls[c] += batch.children[c]->null_count;
      }
      batch.release(&batch);
    }
    schema.release(&schema);
    s.release(&s);
  }
};

struct RangeCase {
  std::string name;
  std::vector<std::string> lines;    // ';' between fields
  std::vector<std::string> formats;  // of the whole table, header or not
};
void PrintTo(const RangeCase& c, std::ostream* os) {
  *os << c.name;
}

class Ranges : public testing::TestWithParam<RangeCase> {};

// The table one builder makes of every line, and the schema a survey (no
// values kept) settles on the first `head` of them.
std::pair<Streamed, TableBuilder::Schema> whole_and_survey(const RangeCase& c,
                                                           const TableOptions& o,
                                                           std::size_t head) {
  TableBuilder one(o);
  TableOptions looking = o;
  looking.keep_values = false;
  TableBuilder survey(looking);
  for (std::size_t i = 0; i < c.lines.size(); ++i) {
    one.append_line(c.lines[i], ';', false);
    if (i < head) survey.append_line(c.lines[i], ';', false);
  }
  return {Streamed(one.finish(1)), survey.settle_schema()};
}

// A survey that keeps no value settles the types one builder of every row
// gives, and the batches made in that schema hold its values, whatever the
// split into blocks and the threads that build them.
TEST_P(Ranges, StreamInTheSchemaASurveySettles) {
  const RangeCase& c = GetParam();
  for (const bool infer : {true, false}) {
    for (const bool views : {false, true}) {
      TableOptions o{true, infer, true};
      o.string_views = views;
      const auto made = whole_and_survey(c, o, c.lines.size());
      const Streamed& want = made.first;
      const TableBuilder::Schema& schema = made.second;
      if (infer && !views) {
        EXPECT_EQ(want.formats, c.formats);
      }
      for (const auto& split : std::vector<std::pair<std::size_t, unsigned>>{
               {1, 1}, {2, 1}, {3, 1}, {1, 2}, {2, 3}, {3, 2}}) {
        const std::size_t rows = split.first;
        const unsigned threads = split.second;
        BlockLimits limits;
        limits.rows = rows;
        ArrowArrayStream s{};
        ASSERT_EQ(export_produced_stream(
                      schema_table(schema),
                      [&](BatchQueue& queue) -> std::optional<std::string> {
                        BatchMaker maker(
                            o, schema, 1, limits,
                            [&](ArrowTable&& batch) { return queue.push(std::move(batch)); },
                            nullptr, threads);
                        // Odd lines as lines of the text, even ones as fields
                        // the pass split itself: the two ways rows arrive.
                        for (std::size_t i = 0; i < c.lines.size(); ++i) {
                          const std::string_view line = c.lines[i];
                          if (i % 2 == 1) {
                            maker.append_line(line, ';', false);
                            continue;
                          }
                          maker.append_row_with([&](auto&& visit) {
                            std::size_t from = 0;
                            for (std::size_t e; (e = line.find(';', from)) != line.npos;
                                 from = e + 1)
                              visit(line.substr(from, e - from));
                            visit(line.substr(from));
                          });
                        }
                        maker.finish();
                        return std::nullopt;
                      },
                      &s),
                  0);
        const Streamed got(s);  // released once read
        SCOPED_TRACE(testing::Message() << "infer " << infer << " views " << views << " rows "
                                        << rows << " threads " << threads);
        EXPECT_EQ(got.names, want.names);
        EXPECT_EQ(got.formats, want.formats);
        EXPECT_EQ(got.columns, want.columns);
        EXPECT_EQ(got.nulls, want.nulls);
        const std::size_t data_rows = c.lines.empty() ? 0 : c.lines.size() - 1;
        EXPECT_EQ(got.batches, std::max<std::size_t>(1, (data_rows + rows - 1) / rows));
      }
    }
  }
}

// Types settled on the header and the first row, then every row streamed
// in them: a value a typed column does not hold ends the stream with
// SchemaMisfit, whatever the split into blocks; the columns a later value
// never contradicts hold what one builder of every row gives.
TEST_P(Ranges, AHeadsTypesNeverMisreadALaterValue) {
  const RangeCase& c = GetParam();
  if (c.lines.size() < 2) return;
  for (const bool views : {false, true}) {
    TableOptions o{true, true, true};
    o.string_views = views;
    const auto made = whole_and_survey(c, o, 2);
    const Streamed& want = made.first;
    const TableBuilder::Schema& schema = made.second;
    // A later row is wider, a typed column's type is not the whole's, or
    // a text column of UTF-8 holds other bytes later.
    bool contradicted = want.formats.size() > schema.types.size();
    for (std::size_t i = 0; i < schema.types.size() && i < want.formats.size(); ++i) {
      const std::string f = schema.types[i].format();
      const std::string& whole = want.formats[i];
      const bool text = f == "u" || f == "z" || f == "vu" || f == "vz";
      const bool binary = whole == "z" || whole == "vz";
      contradicted = contradicted || (text ? binary && f != whole : f != whole);
    }
    for (const std::size_t rows : {1, 2, 3}) {
      BlockLimits limits;
      limits.rows = rows;
      std::vector<Cells> columns(schema.types.size());
      bool misfit = false;
      try {
        BatchMaker maker(o, schema, 1, limits, [&](ArrowTable&& batch) {
          const Streamed got(std::move(batch));
          for (std::size_t k = 0; k < columns.size(); ++k)
            columns[k].insert(columns[k].end(), got.columns[k].begin(), got.columns[k].end());
          return true;
        });
        for (const std::string& line : c.lines) maker.append_line(line, ';', false);
        maker.finish();
      } catch (const SchemaMisfit& e) {
        misfit = true;
        // The message names the value or the row's width.
        const std::string what = e.what();
        EXPECT_TRUE(what.find("holds '") != what.npos || what.find("fields, more") != what.npos)
            << what;
      }
      SCOPED_TRACE(testing::Message() << "views " << views << " rows " << rows);
      EXPECT_EQ(misfit, contradicted);
      for (std::size_t k = 0; !misfit && k < columns.size(); ++k) {
        if (schema.types[k].format() == want.formats[k]) {
          EXPECT_EQ(columns[k], want.columns[k]);
        }
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, Ranges,
    testing::Values(
        RangeCase{"IntThenFloat", {"n;m", "1;2", "3;4", "5;6", "7.5;8"}, {"g", "l"}},
        RangeCase{"FloatThenInt", {"n", "0.5", "2", "3", "4"}, {"g"}},
        RangeCase{"LeadingZeroLast", {"code", "1", "2", "3", "007"}, {"u"}},
        RangeCase{"LeadingZeroMiddle", {"code", "1", "007", "3", "4"}, {"u"}},
        RangeCase{"TextThenBools", {"b", "maybe", "true", "false", "TRUE"}, {"u"}},
        RangeCase{"BoolThenText", {"b", "true", "FALSE", "true", "maybe"}, {"u"}},
        RangeCase{"NullRangeThenInts", {"a;b", ";x", ";y", "1;z", "2;w"}, {"l", "u"}},
        RangeCase{"AllNull", {"a;b", ";1", ";2", ";3"}, {"u", "l"}},
        RangeCase{"OffsetThenLocal",
                  {"t", "2024-01-02T03:04:05Z", "2024-01-02T03:04:06", "2024-01-02T03:04:07Z"},
                  {"u"}},
        RangeCase{
            "NanosLater",
            {"t", "2024-01-02 03:04:05", "2024-01-02 03:04:05.5", "2024-01-02 03:04:05.123456789"},
            {"tsn:"}},
        RangeCase{
            "DatesThenTimestamp", {"d", "2024-01-02", "2024-01-03", "2024-01-04T00:00"}, {"u"}},
        RangeCase{"DecimalCommaThenPoint", {"x", "1,5", "2,25", "3.5"}, {"u"}},
        RangeCase{"BadUtf8Last", {"s", "a", "b", "c\xff"}, {"z"}},
        RangeCase{"BadUtf8First", {"s", "c\xff", "a", "b"}, {"z"}},
        // A character cut by the line break: each line alone is not UTF-8.
        RangeCase{"CharacterAcrossLines", {"a;b", "x;\xC3", "\xA9;y", "\xC3\xA9;z"}, {"z", "z"}},
        RangeCase{"LocalThenOffset", {"t", "2024-01-02 03:04", "2024-01-02 03:04Z"}, {"u"}},
        RangeCase{"NanosFirst",
                  {"t", "2024-01-02 03:04:05.123456789", "2024-01-02 03:04:05", "2024-01-02 03:04"},
                  {"tsn:"}},
        RangeCase{"LongTextAmongShort",
                  {"s;n", "a;1", "a value longer than twelve bytes;2", "b;3", "c;4"},
                  {"u", "l"}},
        RangeCase{"RowsGrowLater", {"a", "1", "2", "3;4", "5;6;7"}, {"l", "l", "l"}},
        RangeCase{"FewerRowsThanThreads", {"a;b", "1;x"}, {"l", "u"}},
        RangeCase{"HeaderOnly", {"a;b"}, {"u", "u"}}, RangeCase{"Empty", {}, {}}),
    [](const testing::TestParamInfo<RangeCase>& i) { return i.param.name; });

// ---------------------------------------------------------------------------
// Export and ownership (run under ASan for the leak and double-free checks)

ArrowTable sample() {
  return build({{"a", "b"}, {"1", "x"}, {"", "yy"}}, {});
}

TEST(Export, StreamGivesSchemaThenOneBatchThenEnd) {
  ArrowArrayStream s{};
  ASSERT_EQ(export_stream(sample(), &s), 0);
  for (int i = 0; i < 2; ++i) {  // the schema may be asked for more than once
    ArrowSchema schema{};
    ASSERT_EQ(s.get_schema(&s, &schema), 0);
    EXPECT_STREQ(schema.format, "+s");
    EXPECT_STREQ(schema.name, "");
    EXPECT_EQ(schema.flags, 0);
    ASSERT_EQ(schema.n_children, 2);
    EXPECT_STREQ(schema.children[0]->format, "l");
    EXPECT_STREQ(schema.children[1]->name, "b");
    EXPECT_EQ(schema.children[1]->flags, ARROW_FLAG_NULLABLE);
    schema.release(&schema);
    EXPECT_EQ(schema.release, nullptr);
  }
  ArrowArray batch{};
  ASSERT_EQ(s.get_next(&s, &batch), 0);
  ASSERT_NE(batch.release, nullptr);
  EXPECT_EQ(batch.length, 2);
  const ArrowArray& b = *batch.children[1];
  EXPECT_EQ(b.n_buffers, 3);
  EXPECT_EQ(b.buffers[0], nullptr);
  EXPECT_EQ(static_cast<const std::int32_t*>(b.buffers[1])[2], 3);
  EXPECT_EQ(strings_of(b, false), (Cells{"x", "yy"}));
  const ArrowArray& a = *batch.children[0];
  EXPECT_EQ(a.null_count, 1);
  EXPECT_EQ(static_cast<const std::uint8_t*>(a.buffers[0])[0] & 3, 1);
  for (int i = 0; i < 2; ++i) {  // pulled past the end: end again, nothing freed twice
    ArrowArray end{};
    end.release = reinterpret_cast<void (*)(ArrowArray*)>(1);
    ASSERT_EQ(s.get_next(&s, &end), 0);
    EXPECT_EQ(end.release, nullptr);
  }
  EXPECT_EQ(s.get_last_error(&s), nullptr);
  s.release(&s);  // the batch outlives the stream
  EXPECT_EQ(s.release, nullptr);
  EXPECT_EQ(strings_of(*batch.children[1], false), (Cells{"x", "yy"}));
  batch.release(&batch);
  EXPECT_EQ(batch.release, nullptr);
}

TEST(Export, UnconsumedStreamFreesEverything) {
  ArrowArrayStream s{};
  ASSERT_EQ(export_stream(sample(), &s), 0);
  s.release(&s);
  EXPECT_EQ(s.release, nullptr);
}

TEST(Export, MovedChildOutlivesItsParent) {
  ArrowTable t = sample();
  ArrowArray batch{};
  ASSERT_EQ(t.export_array(&batch), 0);
  EXPECT_EQ(t.num_columns(), 0u);
  ArrowArray moved = *batch.children[1];
  batch.children[1]->release = nullptr;
  batch.release(&batch);
  EXPECT_EQ(strings_of(moved, false), (Cells{"x", "yy"}));
  moved.release(&moved);
  EXPECT_EQ(moved.release, nullptr);
}

TEST(Export, LargeTableKeepsEveryCell) {
  TableBuilder b({false, true, false});
  const std::size_t n = 200000;
  for (std::size_t i = 0; i < n; ++i) {
    const std::string v = std::to_string(i);
    const std::string_view row[] = {v, i % 3 == 0 ? std::string_view() : std::string_view("t")};
    b.append_row(row, true);
  }
  Exported e(b.finish());
  ASSERT_EQ(e.array.length, static_cast<std::int64_t>(n));
  EXPECT_EQ(e.format(0), "l");
  EXPECT_EQ(e.col(1).null_count, static_cast<std::int64_t>((n + 2) / 3));
  const auto ints = e.values<std::int64_t>(0);
  for (std::size_t i = 0; i < n; i += 997) EXPECT_EQ(ints[i], static_cast<std::int64_t>(i));
}

// Every task of a group runs exactly once, whether pool threads take it or
// the waiting thread does (a pool without threads, as after fork()).
class Pool : public ::testing::TestWithParam<unsigned> {};

TEST_P(Pool, RunsEveryTaskOnceBeforeWaitReturns) {
  ThreadPool pool(GetParam());
  std::vector<int> runs(500, 0);
  {
    TaskGroup group(pool);
    for (std::size_t i = 0; i < runs.size(); ++i) group.run([&runs, i] { ++runs[i]; });
    group.wait();
    EXPECT_EQ(std::count(runs.begin(), runs.end(), 1), static_cast<long>(runs.size()));
  }
  TaskGroup unused(pool);  // waiting on nothing returns at once
}

INSTANTIATE_TEST_SUITE_P(Table, Pool, ::testing::Values(0u, 1u, 3u));

}  // namespace
