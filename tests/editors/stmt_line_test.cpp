// Editor line nodes: each holds its own copy of a statement record in the
// editor's pool, and removal gives both allocations back.
#include "editors/stmt_line.h"

#include <cstring>

#include "../foundation/test_support.h"
#include "editors/editors.h"

namespace kivo {
namespace {

class SharedMacros : public test::Fresh {
 protected:
  // An editor pool an earlier test left went with its pools.
  void SetUp() override {
    test::Fresh::SetUp();
    se_pool = nullptr;
  }
  void TearDown() override {
    se_pool = nullptr;
    test::Fresh::TearDown();
  }
};

TEST_F(SharedMacros, NewLineCopiesIntoTheEditorPoolAndOldLineFreesIt) {
  ut_list list{};
  uint8_t rec[kStmtSize] = {};
  se_line* lines[3];
  EXPECT_EQ(nullptr, NEW_LINE(&lines[0], rec, &list));
  EXPECT_TRUE(reported("NEW_LINE - editor pool not set"));
  se_pool = mm_create_pool(" SEPOOL    ", com.sys_scope);
  for (int i = 0; i < 3; ++i) {
    memset(rec, 'a' + i, sizeof rec);
    ASSERT_EQ(lines[i], NEW_LINE(&lines[i], rec, &list));
  }
  memset(rec, 'z', sizeof rec);  // the nodes keep their own copies
  for (int i = 0; i < 3; ++i) EXPECT_EQ(std::string(kStmtSize, 'a' + i), std::string((char*)lines[i]->rec, kStmtSize));
  EXPECT_EQ(6u, se_pool->blocks);
  OLD_LINE(lines[1], &list);
  EXPECT_EQ(4u, se_pool->blocks);
  EXPECT_EQ(lines[2], lines[0]->link.next);
  EXPECT_EQ(1, ut_verify_lst(&list, offsetof(se_line, link), nullptr, "lines"));
}

}  // namespace
}  // namespace kivo
