// The debug file a saved module leaves on disk holds, record for record,
// what the debugger builds in memory from the module's TO and TP sub-files.
#include "compiler/pl.h"
#include "pc_process_util.h"

namespace kivo::test {
namespace {

using DebugFile = LoaderFixture;

TEST_F(DebugFile, DiskFileEqualsTheRecordsFromTheModule) {
  EM* em = get("6SAVED");
  ASSERT_NE(em, nullptr);
  ASSERT_EQ(em->em_dbg_flag, 1);
  std::vector<pl_dbg_rec> from_module, from_disk;
  ASSERT_TRUE(pl_debug_records(em, &from_module));
  ASSERT_TRUE(pl_read_debug_file(em, &from_disk));
  EXPECT_EQ(from_disk, from_module);
  ASSERT_EQ(from_module.size(), 1 + em->em_toc_cnt + em->em_trap_cnt);
  EXPECT_EQ(from_module[0].size(), size_t{kDbgHeadLen});
  EXPECT_EQ(ld_le32(from_module[0].data(), DBG_M), em->em_trap_cnt);
  pl_free(em);
}

}  // namespace
}  // namespace kivo::test
