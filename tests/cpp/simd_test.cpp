// The scans built on the byte classifier (the byte search, the ASCII and
// UTF-8 checks, plain-line field splitting, the writer's quoting test)
// against plain byte-by-byte references. Runs of every length around the 16- and 64-byte steps,
// with the bytes that matter near block edges.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "engine/io/writers.hpp"
#include "engine/repair/row_table.hpp"
#include "engine/scan/simd.hpp"
#include "engine/scan/text.hpp"
#include "tests/support/reference.hpp"

namespace {

using namespace gleave;

// Each check runs with the implementation in force; ctest runs this file
// once per implementation (GLEAVE_FORCE_IMPL).
template <class Check>
void under_active_impl(Check check) {
  SCOPED_TRACE(simd::name(simd::active()));
  check();
}

// A text of `len` bytes drawn from `alphabet`, mostly its first letter so
// that hits are sparse and runs long.
std::string random_text(std::mt19937& rng, std::size_t len, const std::string& alphabet) {
  std::string s(len, alphabet[0]);
  for (char& c : s) {
    if (rng() % 8 == 0) c = alphabet[rng() % alphabet.size()];
  }
  return s;
}

const std::string kBytes =
    std::string("a,;\t\"'\n\r\x7F\x80\xA6\xBF\xC2\xDF\xE0\xED\xF4\xFF") + '\0';

TEST(SimdScans, ByteFinderFindsTheFirstTarget) {
  std::mt19937 rng(11);
  under_active_impl([&] {
    for (int iter = 0; iter < 4000; ++iter) {
      const std::string s = random_text(rng, rng() % 200, kBytes);
      unsigned char t[4];
      for (unsigned char& b : t)
        b = static_cast<unsigned char>(kBytes[1 + rng() % (kBytes.size() - 1)]);
      const ByteFinder finder(t[0], t[1], t[2], t[3]);
      for (std::size_t from : {std::size_t{0}, s.size() / 3, s.size()}) {
        const char* got = finder.find(s.data() + from, s.data() + s.size());
        const auto want = std::find_if(s.begin() + static_cast<long>(from), s.end(), [&](char c) {
          return std::find(t, t + 4, static_cast<unsigned char>(c)) != t + 4;
        });
        ASSERT_EQ(got - s.data(), want - s.begin()) << "len " << s.size() << " from " << from;
      }
    }
  });
}

TEST(SimdScans, AsciiAndUtf8ChecksMatchTheReference) {
  std::mt19937 rng(12);
  // Whole sequences and pieces of them, so that both outcomes are common.
  const std::vector<std::string> pieces = {"a",
                                           "b,c",
                                           "\xC3\xA9",
                                           "\xC2\x80",
                                           "\xDF\xBF",
                                           "\xE2\x82\xAC",
                                           "\xF0\x9F\x98\x80",
                                           "\xED\xA0\x80",
                                           "\xC3",
                                           "\x80",
                                           "\xE2\x82",
                                           "\xC0\xAF",
                                           "\xFF",
                                           "\xF4\x90\x80\x80",
                                           "plain text of some length, "};
  under_active_impl([&] {
    for (int iter = 0; iter < 3000; ++iter) {
      std::string s;
      const std::size_t target = rng() % 260;
      const bool latin = rng() % 2 == 0;  // ASCII and two-byte only, up to a rare slip
      while (s.size() < target) {
        const std::size_t k =
            latin ? (rng() % 20 == 0 ? rng() % pieces.size() : rng() % 5) : rng() % pieces.size();
        s += pieces[k];
      }
      std::size_t want = s.size();
      while (!reference::valid_utf8(std::string_view(s).substr(0, want))) --want;
      ASSERT_EQ(valid_utf8_prefix(s.data(), s.size()), want) << testing::PrintToString(s);
      const bool ascii = std::all_of(s.begin(), s.end(),
                                     [](char c) { return static_cast<unsigned char>(c) < 0x80; });
      ASSERT_EQ(is_ascii(s.data(), s.size()), ascii);
    }
  });
}

TEST(SimdScans, PlainLinesSplitAtEveryDelimiter) {
  std::mt19937 rng(13);
  under_active_impl([&] {
    for (const unsigned char d : {',', ';', '\t', '\0'}) {
      RowTable table;
      table.set_layout(d, 0);
      std::vector<std::string> lines;
      for (int i = 0; i < 400; ++i) {
        lines.push_back(random_text(rng, rng() % 300, std::string("xy\xC3\xA9") + char(d)));
        table.push_plain_line(lines.back(), false);
      }
      for (std::size_t r = 0; r < lines.size(); ++r) {
        std::vector<std::string> want(1);
        for (const char c : lines[r]) {
          if (static_cast<unsigned char>(c) == d) {
            want.emplace_back();
          } else {
            want.back().push_back(c);
          }
        }
        ASSERT_EQ(table.row_strings(r), want) << "delimiter " << int(d) << " row " << r;
        ASSERT_EQ(table.width(r), want.size());
      }
    }
  });
}

TEST(SimdScans, WriterQuotesExactlyTheFieldsThatNeedIt) {
  std::mt19937 rng(14);
  under_active_impl([&] {
    for (const auto& [d, q] : {std::pair<unsigned char, unsigned char>{',', '"'},
                               {'\t', '\''},
                               {0xA6, '"'},
                               {';', 0xB4}}) {
      const std::string dc = byte_char(d), qc = byte_char(q);
      for (int iter = 0; iter < 1500; ++iter) {
        const std::string f = random_text(rng, rng() % 150, "ab\n\r\xC2\xC3\xA6\xB4\"',;\t");
        const bool quote = f.find_first_of("\n\r") != std::string::npos ||
                           f.find(dc) != std::string::npos || f.find(qc) != std::string::npos;
        std::string want = f;
        if (quote) {
          want.clear();
          for (std::size_t i = 0; i < f.size();) {
            if (f.compare(i, qc.size(), qc) == 0) {
              want += qc + qc;
              i += qc.size();
            } else {
              want += f[i++];
            }
          }
          want = qc + want + qc;
        }
        std::string got;
        append_csv_line(got, Row::from_strings({f}), d, q);
        ASSERT_EQ(got, want + "\n") << testing::PrintToString(f);
      }
    }
  });
}

}  // namespace
