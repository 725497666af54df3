// The pass over input read a window at a time against the pass over the
// whole text: every call the sink sees (lines, rows, verdicts, offsets, line
// numbers, raw spans) and the counts must be the same at every window size,
// down to one byte, with the source read again for runaway quotes or not.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "engine/detect/heuristics.hpp"
#include "engine/gleave.hpp"
#include "engine/io/chunked.hpp"
#include "engine/product_pass/product_pass.hpp"

namespace {

using namespace gleave;

// Everything a sink is told, in order, as text.
struct Recorder {
  std::vector<std::string> calls;
  void begin(unsigned char d, std::uint64_t w) {
    calls.push_back("begin " + std::to_string(d) + " " + std::to_string(w));
  }
  bool keep_line(std::string_view line, bool ascii) {
    calls.push_back("line " + std::string(line) + (ascii ? " ascii" : ""));
    return true;
  }
  static std::string fields(const Row& row) {
    std::string s;
    for (std::size_t i = 0; i < row.size(); ++i) {
      s += '[';
      s += row.field(i);
      s += ']';
    }
    return s;
  }
  static std::string where(const RowVerdict& v) {
    return std::to_string(static_cast<int>(v.verdict)) + " " + std::to_string(v.expected) + " " +
           std::to_string(v.actual) + " line " + std::to_string(v.line) + " at " +
           std::to_string(v.offset) + " raw " + std::string(v.raw);
  }
  bool keep(const Row& row, const RowVerdict& v) {
    calls.push_back("keep " + fields(row) + " " + where(v));
    return true;
  }
  bool reject(const RowVerdict& v, const Row& row) {
    calls.push_back("reject " + fields(row) + " " + where(v));
    return true;
  }
  bool set_aside(const char* what, std::uint64_t line, std::string_view raw) {
    calls.push_back(what + (" " + std::to_string(line)) + " " + std::string(raw));
    return true;
  }
  bool preamble(std::uint64_t line, std::string_view raw) {
    return set_aside("preamble", line, raw);
  }
  bool other_table(std::uint64_t line, std::string_view raw) {
    return set_aside("other", line, raw);
  }
  bool footnote(std::uint64_t line, std::string_view raw) { return set_aside("note", line, raw); }
  bool repeated_header(std::uint64_t line, std::string_view raw) {
    return set_aside("header again", line, raw);
  }
  bool comment(std::uint64_t line, std::string_view raw) { return set_aside("comment", line, raw); }
};

// A source that cannot be read again and hands out a few bytes at a time,
// like a pipe: runaway quotes are then found by reading on.
class PipeSource : public ByteSource {
 public:
  PipeSource(std::string_view text, std::size_t step) : text_(text), step_(step) {}
  Result<std::size_t> read(char* p, std::size_t n) override {
    n = std::min({n, step_, text_.size() - at_});
    std::copy_n(text_.data() + at_, n, p);
    at_ += n;
    return n;
  }

 private:
  std::string_view text_;
  std::size_t step_;
  std::size_t at_ = 0;
};

struct Outcome {
  std::vector<std::string> calls;
  PassCounts counts;
};

Outcome whole(const std::string& text, const Dialect& o) {
  Recorder r;
  const PassCounts c = run_pass(std::string_view(text), o, r);
  return {r.calls, c};
}

Outcome chunked(ByteSource& source, std::size_t chunk, const Dialect& o, bool ahead = false) {
  Recorder r;
  ChunkedText in(source, chunk);
  if (ahead) in.read_ahead();  // the next windows read on a thread of their own
  const PassCounts c = run_pass(in, o, r);
  EXPECT_TRUE(in.status().ok());
  return {r.calls, c};
}

void expect_same(const std::string& text, const Dialect& o) {
  const Outcome want = whole(text, o);
  for (const std::size_t chunk : {1, 2, 3, 7, 64, 4096}) {
    TextSource file(text), ahead(text);
    PipeSource pipe(text, chunk % 5 + 1);
    for (ByteSource* source : {static_cast<ByteSource*>(&file), static_cast<ByteSource*>(&ahead),
                               static_cast<ByteSource*>(&pipe)}) {
      const Outcome got = chunked(*source, chunk, o, source == &ahead);
      const std::string where = testing::PrintToString(text) + " chunk " + std::to_string(chunk) +
                                (source == &pipe    ? " pipe"
                                 : source == &ahead ? " ahead"
                                                    : " file");
      ASSERT_EQ(got.calls, want.calls) << where;
      ASSERT_EQ(got.counts.delimiter, want.counts.delimiter) << where;
      ASSERT_EQ(got.counts.total_rows, want.counts.total_rows) << where;
      ASSERT_EQ(got.counts.gleaved_rows, want.counts.gleaved_rows) << where;
      ASSERT_EQ(got.counts.repaired_rows, want.counts.repaired_rows) << where;
      ASSERT_EQ(got.counts.quarantined_rows, want.counts.quarantined_rows) << where;
      ASSERT_EQ(got.counts.inferred_columns, want.counts.inferred_columns) << where;
    }
  }
}

Dialect random_options(unsigned r) {
  static const unsigned char kDelimiters[] = {',', ';', '\t', 0xA6};
  Dialect o;
  if (r % 4 != 0) o.delimiter.give(kDelimiters[r / 4 % 4]);
  if (r / 16 % 5 != 0) o.expected_width.give(r / 16 % 5 - 1);
  o.fill_ragged_rows.give(r & 128);
  o.merge_overflow.give(r & 256);
  o.quote_char.give(r & 512 ? '\'' : '"');
  o.repair_quotes.give(r & 1024);
  return o;
}

TEST(Chunked, RandomTextsMatchTheWholeTextPass) {
  std::mt19937 rng(15);
  // clang-format off
  const std::vector<std::string> pieces = {"a", "b", "cd", ",", ",", ";", ";", "\"", "\"", "'",
                                           " ", "\t", "\n", "\n", "\r\n", "\r", "\xC3\xA9",
                                           "\xC2\xA6", "\xA6", "\xFF", "\xEF\xBB\xBF"};
  // clang-format on
  for (int iter = 0; iter < 4000; ++iter) {
    std::string text = rng() % 8 == 0 ? "\xEF\xBB\xBF" : "";
    for (int i = static_cast<int>(rng() % 40); i > 0; --i) text += pieces[rng() % pieces.size()];
    if (rng() % 3 == 0) text += std::string(70 + rng() % 70, 'x') + ",y\n";  // past 64 bytes
    expect_same(text, random_options(rng()));
    if (testing::Test::HasFatalFailure()) return;
  }
}

// Quotes that never close, quoted fields over many lines, and stray quotes
// whose lookahead reads to the end of a long line: the cases whose answer
// depends on bytes far past a window's end.
TEST(Chunked, QuotesDecidedFarAhead) {
  std::mt19937 rng(16);
  const std::vector<std::string> pieces = {"a\"b ", "\" x", "\"\"", "c",  " \" ",  ",",
                                           "\n",    "\"\n", "x\"",  "\r", "\"\r\n"};
  for (int iter = 0; iter < 1500; ++iter) {
    std::string text;
    for (int i = static_cast<int>(rng() % 60); i > 0; --i) text += pieces[rng() % pieces.size()];
    Dialect o = random_options(rng());
    o.quote_char.give('"');
    expect_same(text, o);
    if (testing::Test::HasFatalFailure()) return;
  }
}

// clang-format off
const char* const kCases[] = {
    "a,b\n\"runaway,c\nd,e\nf,g\n",                 // a quote that never closes
    "a,b\nx,\"one\ntwo\nthree\",y\nz,w\n",           // a quoted field over lines
    "a,b\n\"x\" y \" z\",w\nq,r",                    // a stray quote, no final break
    "a,b\r\nc,d\r\ne,f\r",                           // CR LF and a last CR
    "\xEF\xBB\xBF" "a,b\n\xEF\xBB\xBF" "c,d\n",      // a BOM only at the start counts
    "a,b\n\"x,y\n\"z\"\n\"never\n",                  // two runaways
    "a;b;c\n\"\"\"\",\";\"\n",                       // doubled quotes at every cut
};
// clang-format on

TEST(Chunked, BoundaryCases) {
  for (const char* text : kCases) {
    expect_same(text, Dialect{});
    if (testing::Test::HasFatalFailure()) return;
  }
}

// However many blank lines come first, the heuristics on a prefix give what
// they give on the whole text, and the pass is the same.
TEST(Chunked, BlankLinesBeforeTheRows) {
  for (const std::size_t blanks : {0, 1, 49, 50, 51, 99, 100, 101, 250}) {
    std::string text;
    for (std::size_t i = 0; i < blanks; ++i)
      text += i % 3 == 0 ? " \n" : i % 3 == 1 ? "\n" : "\r\n";
    for (int r = 0; r < 120; ++r) text += r % 7 == 0 ? "a;b;c;d\n" : "a,b,c\n";
    text += "\"open;x\n";
    expect_same(text, Dialect{});
    if (testing::Test::HasFatalFailure()) return;
    for (const std::size_t cut : {text.size() / 3, text.size() / 2, text.size() - 1}) {
      const auto d = sniff_delimiter(std::string_view(text).substr(0, cut), false, {});
      if (d) {
        EXPECT_EQ(*d, sniff_delimiter(text)) << blanks << " " << cut;
      }
      const auto w = infer_column_count(std::string_view(text).substr(0, cut), false, ',', {});
      if (w) {
        EXPECT_EQ(*w, infer_column_count(text, ',')) << blanks << " " << cut;
      }
    }
  }
}

// The product pass the same way, with its dialect (preamble lines, blank
// rows, no quoting, blanks after delimiters) settled on the whole text.
TEST(Chunked, ProductPassMatchesTheWholeText) {
  std::mt19937 rng(17);
  const std::vector<std::string> pieces = {"a", "b c",     ",",  ";",    "\"",       "'",
                                           " ", "\n",      "\n", "\r\n", "\r",       "\xC3\xA9",
                                           "#", "x,y,z\n", "",   ",\"q", "\"r\",s\n"};
  for (int iter = 0; iter < 1500; ++iter) {
    std::string text = rng() % 8 == 0 ? "\xEF\xBB\xBF" : "";
    if (rng() % 3 == 0) text += "Report of the day\n\nsep ok\r\n";  // above the table
    for (int i = static_cast<int>(rng() % 40); i > 0; --i) text += pieces[rng() % pieces.size()];
    Dialect o = random_options(rng());
    o.quote_char = Dialect{}.quote_char;  // detected
    if (rng() % 4 == 0) o.preamble_lines.give(rng() % 4);
    if (rng() % 4 == 0) o.skip_initial_space.give(true);
    if (rng() % 5 == 0) o.quote_char.give(std::nullopt);  // no quoting
    PreparedText prepared = prepare_text(text, o);
    ASSERT_TRUE(prepared.ok());
    if (rng() % 3 == 0) prepared.dialect.comment_char.value = '#';
    Recorder whole;
    const ProductCounts want = run_product_pass(prepared, whole);
    for (const std::size_t chunk : {1, 2, 3, 7, 64, 65}) {
      TextSource source(prepared.text);
      ChunkedText in(source, chunk);
      if (chunk == 65) in.read_ahead();
      Recorder got;
      const ProductCounts counts = run_product_pass(prepared, in, got);
      ASSERT_EQ(got.calls, whole.calls) << testing::PrintToString(text) << " chunk " << chunk;
      ASSERT_EQ(counts.runaway_quotes, want.runaway_quotes);
      ASSERT_EQ(counts.comment_rows, want.comment_rows);
    }
  }
}

// A pipe with a quote that stays open past a few windows: the look-ahead
// goes to a temporary file, the window stays within a few chunks plus the
// longest row, and the pass is the same as over the whole text.
TEST(Chunked, PipeLooksAheadThroughAFile) {
  std::string rows;
  for (int i = 0; i < 300; ++i) rows += std::to_string(i) + ",v\n";
  const std::string field = "\"" + std::string(40, 'q') + "\n" + std::string(700, 'w') + "\n\"";
  struct Case {
    std::string text;
    std::size_t longest;  // the longest row's bytes
  };
  const Case cases[] = {
      {"\"a,b\n" + rows, 8},                                // never closes, first row
      {rows + "7,\"open\n" + rows + rows, 16},              // in the middle
      {rows + "9,\"last\n", 16},                            // the last row
      {"k,v\n1," + field + "\n" + rows, field.size() + 3},  // closes many windows on
      {"k,v\n" + std::string(200, '\n') + "1,\"x\ny\n\"\n" + rows + "2,\"p\nq\"", 16},
      {"k,v\r\n1,\"x\"\" \r\n" + rows + "2,y\r\n", 16},  // a doubled quote, CR LF
  };
  Dialect given;  // no prefix kept for the heuristics: the window's size is the pass's
  given.delimiter.give(',');
  given.expected_width.give(2);
  given.repair_quotes.give(false);
  for (const Case& c : cases) {
    for (const Dialect& o : {Dialect{}, given}) {
      const Outcome want = whole(c.text, o);
      for (const std::size_t chunk : {1, 5, 16, 64}) {
        PipeSource pipe(c.text, 3);
        Recorder r;
        ChunkedText in(pipe, chunk);
        const PassCounts got = run_pass(in, o, r);
        const std::string where = c.text.substr(0, 12) + " chunk " + std::to_string(chunk);
        ASSERT_TRUE(in.status().ok()) << where;
        ASSERT_EQ(r.calls, want.calls) << where;
        ASSERT_EQ(got.quarantined_rows, want.counts.quarantined_rows) << where;
        if (o.delimiter.given) {
          EXPECT_LE(in.capacity(), 2 * (4 * chunk + c.longest)) << where;
        }
      }
    }
  }
}

// Lines dense with stray quotes whose look-ahead runs to the end of a long
// line (`"a"a"a...`, with or without a closing quote or a runaway at the
// end): the pass reads the input about once, however many times the window
// grows, rather than reading the rest of the line again at every growth.
TEST(Chunked, LongStrayQuoteLinesAreReadOnce) {
  struct CountingSource : TextSource {
    using TextSource::TextSource;
    std::uint64_t bytes = 0;
    Result<std::size_t> read(char* p, std::size_t n) override {
      return count(TextSource::read(p, n));
    }
    Result<std::size_t> read_at(std::uint64_t offset, char* p, std::size_t n) override {
      return count(TextSource::read_at(offset, p, n));
    }
    Result<std::size_t> count(Result<std::size_t> r) {
      if (r) bytes += r.value();
      return r;
    }
  };
  std::string dense, runaways = "k,v\n";
  for (int i = 0; i < 20000; ++i) dense += "\"a";
  // Many quotes that each run to the end of the input (a doubled quote
  // keeps every later one open): each is asked about at a window's end.
  for (int i = 0; i < 300; ++i) runaways += "1,\"x\"\"\na,b\nc,d\ne,f\ng,h\n";
  for (const std::string& text : {dense, dense + "\",x\nb,c\n", "k,v\n" + dense + "\n1,2\n",
                                  "k,v\n1," + dense + "\nx\n\"y,z\n", runaways}) {
    for (const Dialect& o : {Dialect{}, [] {
                               Dialect given;
                               given.delimiter.give(',');
                               given.expected_width.give(2);
                               return given;
                             }()}) {
      const Outcome want = whole(text, o);
      CountingSource source(text);
      const Outcome got = chunked(source, 256, o);
      ASSERT_EQ(got.calls, want.calls) << text.substr(0, 12);
      EXPECT_LE(source.bytes, 2 * text.size()) << text.substr(0, 12);
    }
  }
}

// A file that cannot take the look-ahead (here over the size limit, as
// when the disk is full) stops the pass with the system's error.
TEST(Chunked, SpillWriteErrorEndsThePass) {
  std::string text = "\"a,b\n";
  for (int i = 0; i < 2000; ++i) text += "x,y\n";
  rlimit was{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &was), 0);
  const auto handler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit small = was;
  small.rlim_cur = 1000;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  PipeSource pipe(text, 64);
  Recorder r;
  ChunkedText in(pipe, 16);
  run_pass(in, Dialect{}, r);
  setrlimit(RLIMIT_FSIZE, &was);
  std::signal(SIGXFSZ, handler);
  ASSERT_FALSE(in.status().ok());
  EXPECT_EQ(in.status().io_error().code, EFBIG);
}

// Strict CSV read the plain way, byte by byte: fields quoted whole with
// doubled quotes inside, or unquoted with no quote or line break.
std::optional<std::vector<std::string>> strict_fields(std::string_view raw) {
  std::vector<std::string> out;
  std::size_t p = 0;
  while (true) {
    std::string f;
    if (p < raw.size() && raw[p] == '"') {
      for (++p;; ++p) {
        if (p >= raw.size()) return std::nullopt;
        if (raw[p] != '"') {
          f += raw[p];
        } else if (p + 1 < raw.size() && raw[p + 1] == '"') {
          f += raw[++p];
        } else {
          ++p;
          break;
        }
      }
    } else {
      for (; p < raw.size() && raw[p] != ','; ++p) {
        if (raw[p] == '"' || raw[p] == '\n' || raw[p] == '\r') return std::nullopt;
        f += raw[p];
      }
    }
    out.push_back(f);
    if (p == raw.size()) return out;
    if (raw[p++] != ',') return std::nullopt;
  }
}

// Property: a kept row is written as it came exactly when strict CSV reads
// it back as its fields, and a runaway's lines are read strictly the same.
TEST(Chunked, StrictReadingMatchesThePlainWay) {
  std::mt19937 rng(18);
  const char* const pieces[] = {"a", "bc", ",", "\"", "\"\"", "\n", " "};
  for (int iter = 0; iter < 20000; ++iter) {
    std::string raw;
    for (int i = static_cast<int>(rng() % 12); i > 0; --i) raw += pieces[rng() % std::size(pieces)];
    const auto want = strict_fields(raw);
    Row row;
    for (const std::string& f : want.value_or(std::vector<std::string>{"a"})) row.push_field(f);
    ASSERT_EQ(reads_back_as(raw, row, ',', '"'), want.has_value()) << raw;
    if (want && !row.bytes.empty()) {
      row.bytes.back() ^= 1;  // one byte off: no longer the row
      ASSERT_FALSE(reads_back_as(raw, row, ',', '"')) << raw;
    }
    if (raw.find('\n') != std::string::npos) continue;
    ASSERT_EQ(read_strict_line(raw, ',', '"', false, row), want.has_value()) << raw;
    if (!want) continue;
    ASSERT_EQ(row.size(), want->size()) << raw;
    for (std::size_t i = 0; i < row.size(); ++i) ASSERT_EQ(row.field(i), (*want)[i]) << raw;
  }
}

}  // namespace

// Comment lines go to the quarantine with their own count, above the table
// or inside it, whole windows or not; a line that only holds the comment
// byte later on is data.
TEST(Chunked, CommentLinesAreSetAside) {
  const std::string text = "# exported\nid,name\n1,a\n# page 2\n2,b#\n\"# quoted\",c\n";
  PreparedText prepared = prepare_text(text, Dialect{});
  ASSERT_TRUE(prepared.ok());
  prepared.dialect.comment_char.value = '#';
  for (const std::size_t chunk : {1, 5, 4096}) {
    TextSource source(prepared.text);
    ChunkedText in(source, chunk);
    Recorder r;
    const ProductCounts c = run_product_pass(prepared, in, r);
    EXPECT_EQ(c.comment_rows, 2u);
    EXPECT_EQ(c.quarantined_rows, 2u);
    EXPECT_EQ(c.gleaved_rows, 4u);
    EXPECT_NE(std::find(r.calls.begin(), r.calls.end(), "comment 1 # exported"), r.calls.end());
    EXPECT_NE(std::find(r.calls.begin(), r.calls.end(), "comment 4 # page 2"), r.calls.end());
  }
}
