// Temporary-name series.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "foundation/os.h"

using namespace kivo;

namespace {

std::string nxt(std::string s) {
  std::vector<char> b(s.begin(), s.end());
  b.push_back('\0');
  EXPECT_EQ(ss_tmp_nxt(b.data()), 1) << s;
  return b.data();
}

std::string suffix(uint32_t tmp, uint32_t pid) {
  char out[9];
  EXPECT_EQ(ss_tmp_suffix(out, tmp, pid), 1);
  return out;
}

uint64_t pack(const char* s) {
  uint64_t v = 0;
  memcpy(&v, s, 8);
  return v;
}

}  // namespace

TEST(TmpName, NextNameKeepsTheLengthAndNeverWraps) {
  EXPECT_EQ(nxt("TMP099"), "TMP100");
  EXPECT_EQ(nxt("TMP999"), "TM1000");
  EXPECT_EQ(nxt("A9"), "10");
  EXPECT_EQ(nxt("ABC"), "AB1");
  EXPECT_EQ(nxt("/d/Tmpdata/WORK0A3F"), "/d/Tmpdata/WORK0A31");  // a letter is no digit: it becomes 1
  // No further name is an error, never a wrap to an earlier one.
  char all_nines[] = "9999";
  EXPECT_EQ(ss_tmp_nxt(all_nines), 0);
  EXPECT_STREQ(all_nines, "9999");
  char in_dir[] = "/data/99";
  EXPECT_EQ(ss_tmp_nxt(in_dir), 0);
  EXPECT_STREQ(in_dir, "/data/99");
}

TEST(TmpName, FirstShortNameDropsTheEightBeforeTheLastFour) {
  char out[64];
  ss_tmp_1st(out, "/b/ABC/Tmpdata/WORK0000-0100A3F");
  EXPECT_STREQ(out, "/b/ABC/Tmpdata/WORK0A3F");
  ss_tmp_1st(out, "short");
  EXPECT_STREQ(out, "short");
}

// Small pids take five hex digits; a number or pid beyond the form is refused.
TEST(TmpName, SuffixIsUniqueAcrossAllPidsAndKeepsItsLength) {
  EXPECT_EQ(suffix(1, 0x100A3F & 0xFFFFF), "-0100A3F");
  EXPECT_EQ(suffix(0xFF, 0xFFFFF), "-FFFFFFF");
  char out[9];
  EXPECT_EQ(ss_tmp_suffix(out, 0x100, 5) + ss_tmp_suffix(out, 1, 21u << 20), 0);
  // Every pid Linux can hand out (pid_max is at most 2^22), with two numbers.
  const uint32_t max_pid = static_cast<uint32_t>(1) << 22;
  std::vector<uint64_t> seen;
  seen.reserve(2 * max_pid);
  for (uint32_t tmp : {1u, 0x10u}) {
    for (uint32_t pid = 1; pid < max_pid; ++pid) {
      ASSERT_EQ(ss_tmp_suffix(out, tmp, pid), 1) << pid;
      ASSERT_EQ(strlen(out), 8u);
      seen.push_back(pack(out));
    }
  }
  std::sort(seen.begin(), seen.end());
  EXPECT_EQ(std::adjacent_find(seen.begin(), seen.end()), seen.end());
}
