// transcode_to_utf8 and looks_binary: every way a file can be encoded that
// detection must tell apart, every byte kept or counted, and the explicit
// names that go through iconv.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "engine/encoding/encoding.hpp"

namespace {

using gleave::transcode_to_utf8;

std::string utf16le(const std::string& ascii) {
  std::string out;
  for (const char c : ascii) {
    out += c;
    out += '\0';
  }
  return out;
}

std::string utf16be(const std::string& ascii) {
  std::string out;
  for (const char c : ascii) {
    out += '\0';
    out += c;
  }
  return out;
}

std::string utf32le(const std::string& ascii) {
  std::string out;
  for (const char c : ascii) out += std::string(1, c) + std::string(3, '\0');
  return out;
}

struct Case {
  const char* name;
  std::string input;
  const char* given;  // the encoding argument
  const char* encoding;
  std::string utf8;
  std::uint64_t replaced = 0;
  std::uint64_t fallback = 0;
};

std::string utf16(const std::u16string& text, bool little) {
  std::string out;
  for (const char16_t u : text) {
    const char lo = static_cast<char>(u & 0xFF), hi = static_cast<char>(u >> 8);
    out += little ? lo : hi;
    out += little ? hi : lo;
  }
  return out;
}

// A table of CJK names (no Latin but the delimiters, digits and line breaks).
const std::u16string kCjk =
    u"\u540d\u524d,\u90fd\u5e02,\u5e74\n\u5c71\u7530,\u6771\u4eac,30\n"
    u"\u7530\u4e2d,\u5927\u962a,41\n\u9234\u6728,\u4eac\u90fd,25\n";
const std::string kCjkUtf8 =
    "\xE5\x90\x8D\xE5\x89\x8D,\xE9\x83\xBD\xE5\xB8\x82,\xE5\xB9\xB4\n"
    "\xE5\xB1\xB1\xE7\x94\xB0,\xE6\x9D\xB1\xE4\xBA\xAC,30\n"
    "\xE7\x94\xB0\xE4\xB8\xAD,\xE5\xA4\xA7\xE9\x98\xAA,41\n"
    "\xE9\x88\xB4\xE6\x9C\xA8,\xE4\xBA\xAC\xE9\x83\xBD,25\n";

const std::string kTable = "a\tb\r\n1\t2\r\n";

// clang-format off
const Case kCases[] = {
    {"ascii", "a,b\n", "", "utf-8", "a,b\n"},
    {"utf8", "W\xC3\xA4hler;x\n", "", "utf-8", "W\xC3\xA4hler;x\n"},
    {"utf8_bom", "\xEF\xBB\xBF" "a,b", "", "utf-8-sig", "a,b"},
    {"cp1252_umlaut", "W\xE4hler;x\n", "", "cp1252", "W\xC3\xA4hler;x\n"},
    {"cp1252_euro_quotes", "\x80 \x93x\x94", "", "cp1252", "\xE2\x82\xAC \xE2\x80\x9Cx\xE2\x80\x9D"},
    {"cp1252_undefined_bytes_kept", "\x81\x8D\x8F\x90\x9D", "", "cp1252",
     "\xC2\x81\xC2\x8D\xC2\x8F\xC2\x90\xC2\x9D"},
    {"cp1252_after_ascii_sample", std::string(70000, 'a') + "\xE9", "", "cp1252",
     std::string(70000, 'a') + "\xC3\xA9"},
    // Detected UTF-8: a byte that is not UTF-8 is read as cp1252 and counted.
    {"utf8_with_one_broken_byte", "\xC3\xA4\xC3\xB6\xC3\xBC\xC3\xA4\xC3\xB6 \xFF", "", "utf-8",
     "\xC3\xA4\xC3\xB6\xC3\xBC\xC3\xA4\xC3\xB6 \xC3\xBF", 0, 1},
    {"utf8_with_a_cp1252_line", "n\nJos\xC3\xA9\nJos\xE9\nZo\xC3\xAB\n", "", "utf-8",
     "n\nJos\xC3\xA9\nJos\xC3\xA9\nZo\xC3\xAB\n", 0, 1},
    {"utf8_with_a_longer_cp1252_line", "Jos\xC3\xA9\nM\xFCller,Zo\xEB,\x93q\x94\n", "", "utf-8",
     "Jos\xC3\xA9\nM\xC3\xBCller,Zo\xC3\xAB,\xE2\x80\x9Cq\xE2\x80\x9D\n", 0, 4},
    {"utf8_sig_with_a_cp1252_byte", "\xEF\xBB\xBF\xC3\xA9,\xE9", "", "utf-8-sig",
     "\xC3\xA9,\xC3\xA9", 0, 1},
    // A UTF-16 mark over a UTF-8 body is text.
    {"utf16le_mark_over_utf8", "\xFF\xFE" "a,b\n1,2\n", "", "utf-8", "\xC3\xBF\xC3\xBE" "a,b\n1,2\n",
     0, 2},
    {"utf16be_mark_over_utf8", "\xFE\xFF" "\xC3\xA9,b\n", "", "utf-8",
     "\xC3\xBE\xC3\xBF\xC3\xA9,b\n", 0, 2},
    {"utf16le_cjk_no_bom", utf16(kCjk, true), "", "utf-16le", kCjkUtf8},
    {"utf16be_cjk_no_bom", utf16(kCjk, false), "", "utf-16be", kCjkUtf8},
    {"utf16le_bom", "\xFF\xFE" + utf16le(kTable), "", "utf-16le", kTable},
    {"utf16be_bom", "\xFE\xFF" + utf16be(kTable), "", "utf-16be", kTable},
    {"utf16le_no_bom", utf16le(kTable), "", "utf-16le", kTable},
    {"utf16be_no_bom", utf16be(kTable), "", "utf-16be", kTable},
    {"utf32le_bom", std::string("\xFF\xFE\0\0", 4) + utf32le(kTable), "", "utf-32le", kTable},
    {"utf16le_odd_tail", "\xFF\xFE" + utf16le("ab") + "x", "", "utf-16le", "ab\xEF\xBF\xBD", 1},
    {"utf16le_lone_surrogate", "\xFF\xFE" + utf16le("a") + std::string("\x00\xD8", 2) + utf16le("b"), "",
     "utf-16le", "a\xEF\xBF\xBD" "b", 1},
    // Explicit names.
    {"given_latin1", "\x80\xE9", "Latin-1", "latin-1", "\xC2\x80\xC3\xA9"},
    {"given_cp1252", "\x80", "windows-1252", "cp1252", "\xE2\x82\xAC"},
    {"given_utf8_counts", "a\xFF\xFE" "b", "UTF_8", "utf-8", "a\xEF\xBF\xBD\xEF\xBF\xBD" "b", 2},
    {"given_iconv_koi8", "\xC1", "KOI8-R", "koi8-r", "\xD0\xB0"},
    {"given_iconv_shift_jis", "\x82\xA0", "SHIFT_JIS", "shift_jis", "\xE3\x81\x82"},
    {"given_iconv_ascii_replaces", "a\xE9" "b", "ASCII", "ascii", "a\xEF\xBF\xBD" "b", 1},
    {"given_utf16le_strips_bom", "\xFF\xFE" + utf16le("x"), "utf-16le", "utf-16le", "x"},
    {"given_iconv_iso2022jp_shifts", "\x1B$B$\"\x1B(Ba", "ISO-2022-JP", "iso-2022-jp",
     "\xE3\x81\x82" "a"},
    {"utf16le_surrogate_pair", std::string("\xFF\xFE\x3D\xD8\x00\xDE", 6), "", "utf-16le",
     "\xF0\x9F\x98\x80"},
    {"utf8_cut_at_the_end", "\xC3\xA4\xC3\xB6\xC3\xBC\xC3\xA4 \xE2\x82", "", "utf-8",
     "\xC3\xA4\xC3\xB6\xC3\xBC\xC3\xA4 \xC3\xA2\xE2\x80\x9A", 0, 2},
    // Python's names for iconv's encodings.
    {"given_python_utf_16_le", utf16le("ab"), "utf_16_le", "utf_16_le", "ab"},
    {"given_python_utf16_dashes", utf16le("ab"), "utf-16-le", "utf-16-le", "ab"},
    {"given_python_utf_32", std::string("\xFF\xFE\0\0", 4) + utf32le("ab"), "utf_32", "utf_32", "ab"},
    {"given_python_euc_jp", "\xA4\xA2", "euc_jp", "euc_jp", "\xE3\x81\x82"},
    {"given_python_koi8_r", "\xC1", "koi8_r", "koi8_r", "\xD0\xB0"},
    {"given_python_mac_roman", "\x8E", "mac_roman", "mac_roman", "\xC3\xA9"},
    {"given_python_mac_roman_canonical", "\x8E", "mac-roman", "mac-roman", "\xC3\xA9"},
};
// clang-format on

class Transcode : public ::testing::TestWithParam<Case> {};

TEST_P(Transcode, ConvertsAndCounts) {
  const Case& c = GetParam();
  const gleave::Transcoded t = transcode_to_utf8(c.input, c.given);
  ASSERT_TRUE(t.ok()) << t.error;
  EXPECT_EQ(t.encoding, c.encoding);
  EXPECT_EQ(std::string(t.text(c.input)), c.utf8);
  EXPECT_EQ(t.replaced, c.replaced);
  EXPECT_EQ(t.fallback, c.fallback);
}

// Damaged UTF-8 written into the caller's buffer: the same text and count.
TEST_P(Transcode, IntoABufferGivesTheSameText) {
  const Case& c = GetParam();
  gleave::ByteBuffer into;
  const gleave::Transcoded t = transcode_to_utf8(c.input, c.given, &into);
  ASSERT_TRUE(t.ok()) << t.error;
  EXPECT_EQ(t.encoding, c.encoding);
  EXPECT_TRUE(into.size() == 0 || t.utf8.empty());
  EXPECT_EQ(std::string(into.size() != 0 ? into.view() : t.text(c.input)), c.utf8);
  EXPECT_EQ(t.replaced, c.replaced);
  EXPECT_EQ(t.fallback, c.fallback);
}

INSTANTIATE_TEST_SUITE_P(Encodings, Transcode, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Converted a few bytes at a time, as a pipe is, the text, the name and
// the count are the whole conversion's, whatever cuts a sequence.
TEST_P(Transcode, PiecesGiveTheWholeConversion) {
  const Case& c = GetParam();
  const gleave::PieceConversion how = gleave::piece_conversion(c.input, true, c.given);
  ASSERT_TRUE(how.ok()) << how.error;
  EXPECT_EQ(how.encoding, c.encoding);
  const std::string body = c.input.substr(how.skip);
  for (const std::size_t size : {1, 2, 3, 7, 64}) {
    gleave::PieceDecoder decoder = how.decoder();
    std::string pending, out;
    std::size_t at = 0;
    do {
      pending.append(body.substr(at, size));
      at = std::min(at + size, body.size());
      pending.erase(0, decoder.decode(pending, at == body.size(), out));
    } while (at < body.size());
    EXPECT_EQ(out, c.utf8) << size;
    EXPECT_EQ(decoder.replaced(), c.replaced) << size;
    EXPECT_EQ(decoder.fallback(), c.fallback) << size;
    EXPECT_EQ(pending, "") << size;
  }
}

TEST(Transcode, PieceConversionOfAHead) {
  // A head that goes on decides as the head says; an unknown name is an error.
  EXPECT_EQ(gleave::piece_conversion("abc\xC3", false).encoding, "utf-8");
  EXPECT_EQ(gleave::piece_conversion("abc\xE9,", false).encoding, "cp1252");
  EXPECT_FALSE(gleave::piece_conversion("abc", false, "no-such-codec").ok());
  EXPECT_TRUE(gleave::piece_conversion("\xFF\xFE"
                                       "a",
                                       false)
                  .restartable());
  EXPECT_FALSE(gleave::piece_conversion("a", false, "utf-16").restartable());
}

// After a head of ASCII, the first bytes that are not ASCII (`sample` of
// them) decide between UTF-8 and cp1252, however the pieces cut them.
TEST(Transcode, DecisionPutOffPastAnAsciiHead) {
  gleave::PieceConversion how = gleave::piece_conversion("a,b\n", false);
  ASSERT_EQ(how.from, gleave::PieceDecoder::From::Utf8OrCp1252);
  how.sample = 4;
  const struct {
    std::string rest, utf8;
    gleave::PieceDecoder::From from;
    std::uint64_t fallback;
  } cases[] = {
      {"x\xE9\xE8y", "x\xC3\xA9\xC3\xA8y", gleave::PieceDecoder::From::Cp1252, 0},
      {"x\xC3\xA9\xC3\xA8\xFF", "x\xC3\xA9\xC3\xA8\xC3\xBF", gleave::PieceDecoder::From::Utf8Mixed,
       1},
      {"x\xE2\x82\xAC", "x\xE2\x82\xAC", gleave::PieceDecoder::From::Utf8Mixed, 0},
      {"plain", "plain", gleave::PieceDecoder::From::Utf8OrCp1252, 0},
  };
  for (const auto& c : cases) {
    const std::string in = "a,b\n" + c.rest;
    for (const std::size_t size : {1, 2, 3, 64}) {
      gleave::PieceDecoder decoder = how.decoder();
      std::string pending, out;
      for (std::size_t at = 0; at < in.size(); at += size) {
        pending.append(in.substr(at, size));
        pending.erase(0, decoder.decode(pending, at + size >= in.size(), out));
      }
      EXPECT_EQ(out, "a,b\n" + c.utf8) << c.rest << " " << size;
      EXPECT_EQ(decoder.from(), c.from) << c.rest << " " << size;
      EXPECT_EQ(decoder.fallback(), c.fallback) << c.rest << " " << size;
    }
  }
}

TEST(Transcode, ValidUtf8IsNotCopied) {
  const std::string in = "x,y\n\xC3\xA4,1\n";
  const auto t = transcode_to_utf8(in);
  EXPECT_TRUE(t.borrowed);
  EXPECT_EQ(t.text(in).data(), in.data());
  const std::string bom = "\xEF\xBB\xBFq";
  EXPECT_EQ(transcode_to_utf8(bom).text(bom).data(), bom.data() + 3);
}

TEST(Transcode, UnknownNameIsAnErrorValue) {
  const auto t = transcode_to_utf8("abc", "no-such-codec");
  EXPECT_FALSE(t.ok());
  EXPECT_NE(t.error.find("no-such-codec"), std::string::npos);
}

TEST(Transcode, DetectEncodingFromSample) {
  EXPECT_EQ(gleave::detect_encoding("\xEF\xBB\xBFx"), "utf-8-sig");
  EXPECT_EQ(gleave::detect_encoding("abc\xC3"), "utf-8");  // cut by the sample's end
  EXPECT_EQ(gleave::detect_encoding("abc\xC3", true), "cp1252");
  EXPECT_EQ(gleave::detect_encoding(utf16le(kTable)), "utf-16le");
  EXPECT_EQ(gleave::detect_encoding(utf16(kCjk, true)), "utf-16le");
  // A few NULs in a short UTF-8 text are damage, not UTF-16.
  EXPECT_EQ(gleave::detect_encoding(std::string("hello\n\0world\0\n", 14), true), "utf-8");
  EXPECT_EQ(gleave::detect_encoding("\xFF\xFE"
                                    "a,b\n",
                                    true),
            "utf-8");
  // A mark over a body cut by the sample in the middle of a sequence.
  EXPECT_EQ(gleave::detect_encoding("\xFF\xFE"
                                    "a,\xC3"),
            "utf-8");
}

TEST(LooksBinary, Cases) {
  EXPECT_FALSE(gleave::looks_binary(""));
  EXPECT_FALSE(gleave::looks_binary("a,b\n1,2\n"));
  EXPECT_FALSE(gleave::looks_binary("W\xE4hler\f\v\n"));
  EXPECT_FALSE(gleave::looks_binary("\xFF\xFE" + utf16le(kTable)));
  EXPECT_FALSE(gleave::looks_binary(utf16le(kTable)));
  EXPECT_FALSE(gleave::looks_binary(utf16(kCjk, false)));
  EXPECT_TRUE(gleave::looks_binary(std::string("PK\x03\x04\0\0", 6)));
  EXPECT_TRUE(gleave::looks_binary("\x01\x02\x03\x04\x05x"));
  // Only the first 64 KiB are looked at.
  EXPECT_FALSE(gleave::looks_binary(std::string(70000, 'a') + std::string(1, '\0')));
}

}  // namespace

// Property: for inputs that mix ASCII, well-formed UTF-8 of every length,
// cp1252 bytes and cut sequences, decoding a piece at a time (any sizes,
// changing from piece to piece) gives the whole conversion's text and
// counts, under the decision the whole input takes.
TEST(TranscodeProperty, AnyPiecesGiveTheWholeConversion) {
  const char* const kTokens[] = {
      "a",    ",",    "\n",   "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80",
      "\xE9", "\x93", "\xFF", "\xE2\x82", "\xF0\x9F",     "\xC3"};
  std::mt19937 rng(20261207);
  for (int round = 0; round < 3000; ++round) {
    std::string input;
    const int tokens = static_cast<int>(rng() % 40);
    for (int t = 0; t < tokens; ++t) input += kTokens[rng() % std::size(kTokens)];
    const gleave::Transcoded whole = transcode_to_utf8(input);
    ASSERT_TRUE(whole.ok());
    const gleave::PieceConversion how = gleave::piece_conversion(input, true);
    ASSERT_EQ(how.encoding, whole.encoding) << round;
    gleave::PieceDecoder decoder = how.decoder();
    std::string pending, out;
    std::size_t at = 0;
    do {
      const std::size_t size = 1 + rng() % 6;
      pending.append(input.substr(at, size));
      at = std::min(at + size, input.size());
      pending.erase(0, decoder.decode(pending, at == input.size(), out));
    } while (at < input.size());
    ASSERT_EQ(out, std::string(whole.text(input))) << round;
    ASSERT_EQ(decoder.fallback(), whole.fallback) << round;
    ASSERT_EQ(decoder.replaced(), whole.replaced) << round;

    // Straight into rooms of any size, falling back to decode() when
    // nothing fits (as the reader does).
    gleave::PieceDecoder into = how.decoder();
    if (!into.can_decode_into()) continue;
    std::string text, rest = input;
    while (!rest.empty()) {
      char room[8];
      const auto d = into.decode_into(rest, true, room, 1 + rng() % sizeof room);
      if (d.written == 0) {
        rest.erase(0, into.decode(rest, true, text));
        continue;
      }
      text.append(room, d.written);
      rest.erase(0, d.used);
    }
    ASSERT_EQ(text, std::string(whole.text(input))) << round;
    ASSERT_EQ(into.fallback(), whole.fallback) << round;

    // UTF-8 decoded where it was read, a few bytes at a time, in rooms of
    // any size: what is left over is read again with the next bytes.
    using From = gleave::PieceDecoder::From;
    gleave::PieceDecoder here = how.decoder();
    if (here.from() != From::Utf8Mixed && here.from() != From::Utf8Lossy) continue;
    text.clear();
    rest = input;
    while (!rest.empty()) {
      std::string buf = rest.substr(0, 1 + rng() % 12), left;
      const std::size_t size = buf.size();
      buf.resize(size + rng() % 24);
      const auto d = here.decode_in_place(buf.data(), size, buf.size(), left);
      ASSERT_EQ(d.used + left.size(), size) << round;
      if (d.written == 0 && size == rest.size()) {
        rest.erase(0, here.decode(rest, true, text));
        continue;
      }
      text.append(buf, 0, d.written);
      rest = left + rest.substr(size);
    }
    ASSERT_EQ(text, std::string(whole.text(input))) << round;
    ASSERT_EQ(here.fallback(), whole.fallback) << round;
    ASSERT_EQ(here.replaced(), whole.replaced) << round;
  }
}
