// A file repaired in two parts, cut at every byte, joins into the bytes of
// the whole file's repair: the part after the cut starts where the part
// before it ended, with its carry and line, and the quarantine's lines are
// numbered on.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "engine/split/split.hpp"

namespace fs = std::filesystem;
using namespace gleave;

namespace {

class SplitTest : public testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/gleave-split-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir = tmpl;
  }
  void TearDown() override { fs::remove_all(dir); }
  std::string path(const std::string& name) const { return dir + "/" + name; }
  static std::string read(const std::string& p) {
    std::ifstream f(p, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
  }
  FileJob job(const std::string& out, const std::string& quarantine) const {
    FileJob j;
    j.input.path = path("in.csv");
    j.output.path = path(out);
    j.quarantine = FileRef{path(quarantine), -1};
    return j;
  }
  std::string dir;
};

const char* kTexts[] = {
    "id,name,note\n1,a,b\n2,\"x\ny\",z\n3,short\n4,a,b,c,d\n\n5,\"q \"q\" q\",w\n6,a,b\n",
    "id,name,note\r\n1,\"\r\n\r\n\",b\r\n2,\xc3\xa9\xe6\xbc\xa2,c\r\n3,only\r\n",
    "id,name,note\n1,a,b\nReport B,,\n,,\nid,name,note\n2,c,d\n\nid,name,note\n3,e,f\n",
    "sep=;\nid;name;note\n1;a;b\n2;\"open;never\n3;c;d\n4;e\n",
    ("\xef\xbb\xbf"
     "a,b,c\n1,2,3\n4,5\n# note\n6,7,8,9\n7,8,9\nSource: x\n"),
};

TEST_P(SplitTest, TwoPartsCutAnywhereJoinAsTheWhole) {
  const std::string text = GetParam();
  std::ofstream(path("in.csv"), std::ios::binary) << text;
  auto whole = run_file_job(job("whole.csv", "whole.q"));
  ASSERT_TRUE(whole.ok()) << whole.error().message();
  for (std::uint64_t cut = 1; cut < text.size(); ++cut) {
    PartRequest first{job("a.csv", "a.q"), true, 0, false, cut, kPartLineBase, {}};
    auto a = repair_part(first);
    ASSERT_TRUE(a.ok()) << a.error().message();
    std::vector<PartFiles> files{{path("a.csv"), path("a.q"), 0}};
    std::vector<PartResult> parts{a.value()};
    if (!a.value().at_end) {
      // The second part from where the first really ended, on its line.
      PartRequest second{job("b.csv", "b.q"), false,          a.value().end, false, UINT64_MAX,
                         a.value().end_line,  a.value().carry};
      auto b = repair_part(second);
      ASSERT_TRUE(b.ok()) << b.error().message();
      files.push_back({path("b.csv"), path("b.q"), 0});
      parts.push_back(b.value());
    }
    ASSERT_TRUE(join_parts(files, path("j.csv"), path("j.q"), nullptr)) << cut;
    EXPECT_EQ(read(path("j.csv")), read(path("whole.csv"))) << "cut at " << cut;
    EXPECT_EQ(read(path("j.q")), read(path("whole.q"))) << "cut at " << cut;
    const JobCounts sum = add_part_counts(parts);
    EXPECT_EQ(sum.total_rows, whole.value().total_rows) << cut;
    EXPECT_EQ(sum.quarantined_rows, whole.value().quarantined_rows) << cut;
    ASSERT_TRUE(sum.input && whole.value().input);
    EXPECT_EQ(sum.input->counts.blank_rows, whole.value().input->counts.blank_rows) << cut;
    auto packed = unpack_part(pack_part(parts.back()));
    ASSERT_TRUE(packed);
    EXPECT_EQ(packed->carry, parts.back().carry);
  }
}

INSTANTIATE_TEST_SUITE_P(Texts, SplitTest, testing::ValuesIn(kTexts));

// Parts of any size (empty ones, and parts that add no output, among
// them) land at their offsets, however many are copied at once: the joined
// file is their concatenation, into a file replaced whole or a device.
class JoinTest : public SplitTest {};

TEST_P(JoinTest, PartsOfAnySizeJoinInOrder) {
  const std::string target = GetParam();
  std::string whole;
  std::vector<PartFiles> files;
  for (std::size_t i = 0; i < 23; ++i) {
    const std::string text(i * i * 37 % 3001, static_cast<char>('a' + i));
    const std::string part = path(std::to_string(i));
    std::ofstream(part, std::ios::binary) << text;
    const bool left_out = i % 7 == 3;
    files.push_back({left_out ? "" : part, std::nullopt, 0});
    if (!left_out) whole += text;
  }
  const std::string out = target == "file" ? path("joined") : "/dev/null";
  ASSERT_TRUE(join_parts(files, out, std::nullopt, nullptr));
  if (target == "file") {
    EXPECT_EQ(read(out), whole);
  }
}

INSTANTIATE_TEST_SUITE_P(Targets, JoinTest, testing::Values("file", "device"));

TEST(PassCarry, DamagedBytesAreRefused) {
  PassCarry carry;
  carry.header_text = "a,b";
  const std::string bytes = carry.pack(10);
  PassCarry out;
  EXPECT_TRUE(PassCarry::unpack(bytes, 10, out));
  EXPECT_EQ(out.header_text, "a,b");
  for (std::size_t n = 0; n < bytes.size(); ++n) {
    EXPECT_FALSE(PassCarry::unpack(std::string_view(bytes).substr(0, n), 10, out)) << n;
  }
}

}  // namespace
