// The analyser's command loop through the real executable, commands fed
// through a pipe: the report texts of DUMP HEADER, CHECK REFS, VERIFY FREE,
// the command matching rules, QUIT and the end of input; and the verdict of
// "kivo -v" as the exit status.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include "../fixtures/hook_override.h"
#include "analyser_test_util.h"
#include "foundation/com.h"
#include "foundation/foundation.h"
#include "store_test_util.h"

namespace kivo {
namespace {

using test::make_rec;

class AnalyserSession : public ::testing::Test {
 protected:
  void SetUp() override {
    com_fill(0, nullptr);
    test::pair_builder b(base_, 2);
    for (int i = 0; i < 200; ++i) {
      auto r = make_rec(i, i % 10 == 0 ? 0 : 100 + i, "customer");
      uint32_t seek = b.put(r);
      if (i % 8 == 7) b.del(seek, r);
    }
  }
  kivo_test::scoped_hook<sys_err_presenter> quiet_{foundation_seams.err_presenter, test::quiet_presenter};

  // Runs "kivo -an=<base>.dat" with `script` on a pipe; the error stream's
  // text, and the exit status in *rc.
  std::string session(const std::string& script, int* rc) {
    std::string out = dir_.file("session.out");
    std::string cmd = std::string(KIVO_BINARY) + " -an=" + base_ + ".dat 2>" + out;
    FILE* p = popen(cmd.c_str(), "w");
    EXPECT_NE(p, nullptr);
    fputs(script.c_str(), p);
    int st = pclose(p);
    *rc = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    auto bytes = test::slurp(out);
    return std::string(bytes.begin(), bytes.end());
  }

  int verify_exit() {
    std::string cmd = std::string(KIVO_BINARY) + " -v=" + base_ + " 2>/dev/null";
    int st = system(cmd.c_str());
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  }

  test::scratch_dir dir_;
  std::string base_ = dir_.file("acct");
};

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST_F(AnalyserSession, ScriptedSessionReportsHeaderReferencesAndFreeList) {
  int rc = -1;
  std::string t = session("DUMP HEADER\nCHECK REFS\nVERIFY FREE\nQUIT\n", &rc);
  EXPECT_EQ(rc, 0);
  EXPECT_TRUE(has(t, "BRF> BRF File Header\n\n  Version: 2\n  Flags: 0x2 ( VARIABLE LENGTH )\n  Record length: 0\n"))
      << t;
  for (const char* want :
       {"  freelist(", "Btree file header\n  Version: 1  Page size: 2048  Free Page header: ", "  Key Count: 2\n",
        "    00) Key #0 root (", ") length (6) segments (1)\n           0) type (1) poffs (0) len (6)\n",
        "           0) type (66) poffs (6) len (4)\n"})
    EXPECT_TRUE(has(t, want)) << want;
  // 200 records of one length, 25 deleted; each deleted space but the last
  // was taken again by the next record. Key 1 leaves out the 20 null keys.
  EXPECT_TRUE(has(t, "  175 active records; 1 deleted records\n")) << t;
  EXPECT_TRUE(has(t, "Verifying key #0 - 175 key values\n"));
  EXPECT_TRUE(has(t, "Verifying key #1 - 155 key values\n"));
  EXPECT_FALSE(has(t, "Invalid key count"));
  EXPECT_FALSE(has(t, "not referenced"));
  for (const char* want : {"This FRB is at ", "\t ## - Length Seek\n", "\t 00 - 000018 ", " 1 entries\n"})
    EXPECT_TRUE(has(t, want)) << want;
  EXPECT_TRUE(t.size() >= 5 && t.compare(t.size() - 5, 5, "BRF> ") == 0) << "ends at the prompt of QUIT";
}

TEST_F(AnalyserSession, MatchingIsByWholeCommandWordInAnyCase) {
  int rc = -1;
  std::string t = session("dump\n  count rec\nverify freelist\nhelp\nexit\n", &rc);
  EXPECT_EQ(rc, 0);
  for (const char* want : {"BRF> huh?\a\n", "  175 active records; 1 deleted records\n", "This FRB is at "})
    EXPECT_TRUE(has(t, want)) << want;
  EXPECT_FALSE(has(t, "\ndseek = "));  // VERIFY FREE counts the chain members, lists none
  for (const char* want : {"    DUMP HEADER  \n", "    DUMP INDEX @ <n>\n", "    CHECK REFS  \n"})
    EXPECT_TRUE(has(t, want)) << want;
}

TEST_F(AnalyserSession, EndOfInputEndsTheSessionAndDumpsAreBounded) {
  int rc = -1;
  std::string t = session(
      "DUMP REC @ 512\nDUMP REC @ 99999999\nDUMP PAGE @ 0\nNEXT\nSET KEY # 0\n"
      "DUMP INDEX @ 1536\nVERIFY KEY # ALL\nVERIFY KEY # 9\n",
      &rc);
  EXPECT_EQ(rc, 0);
  for (const char* want :
       {"Seek (512)\tLen (18)  Age (0)\n", "can't read record header at 99999999\n", "Dump of 256 bytes at 0\n",
        "Dump of 256 bytes at 256\n", "------- PAGE_HDR(0): 00001536 parent = ", "Looking for 175 key values\n",
        "  Sorry, bad key number - use DUMP HEADER\n"})
    EXPECT_TRUE(has(t, want)) << want;
}

TEST_F(AnalyserSession, RemovedEntryShowsInCheckRefsAndInTheExitStatus) {
  EXPECT_EQ(verify_exit(), 1);  // good
  auto k = test::slurp(base_ + ".key");
  uint32_t leaf = test::key_root(k, 1);
  while (ld_le32(k.data(), leaf + kPgHdrSize) != 0) leaf = ld_le32(k.data(), leaf + kPgHdrSize);
  uint16_t n = ld_le16(k.data(), leaf + kPgCount);
  uint32_t lost = ld_le32(k.data(), leaf + kPgHdrSize + static_cast<size_t>(n - 1) * (4 + 8) + 4);
  st_le16(k.data(), leaf + kPgCount, static_cast<uint16_t>(n - 1));
  test::spill(base_ + ".key", k);
  EXPECT_EQ(verify_exit(), 0);  // bad
  int rc = -1;
  std::string t = session("CHECK REFS\nQUIT\n", &rc);
  EXPECT_TRUE(has(t, "  Invalid key count on key 1\n")) << t;
  EXPECT_TRUE(has(t, "  Data record at " + std::to_string(lost) + " not referenced by key 1\n")) << t;
}

}  // namespace
}  // namespace kivo
