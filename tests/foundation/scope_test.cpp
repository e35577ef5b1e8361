// Execution scope levels: end codes, scope words, reset records and the
// release of everything a level owns.
#include <cstring>

#include "foundation/end_codes.h"
#include "foundation/scope.h"
#include "test_support.h"

namespace kivo {
namespace {

class Scope : public test::Fresh {};

constexpr char kPoolName[] = "TEST POOL  ";

TEST_F(Scope, EndCodesTravelOutwardsAndDestructorsRun) {
  struct Counter {
    int* n;
    ~Counter() { ++*n; }
  };
  int destroyed = 0;
  EXPECT_EQ(PI_END_NORMAL, MARK(MARK_RECOVERY, [] {}));
  EXPECT_EQ(PI_END_CANCEL, MARK(MARK_RECOVERY, [&] {
              Counter c{&destroyed};
              mark_leave(PI_END_CANCEL);
            }));
  EXPECT_EQ(1, destroyed);
  EXPECT_EQ(1u, com.mark_scope);
  EXPECT_EQ(PI_END_CANCEL, com.mark_rc);
  uint32_t rc = MARK(MARK_PROCESS, [] {
    uint32_t inner = MARK(MARK_SUBPROCESS, [] {
      uint32_t innermost = MARK(MARK_RECOVERY, [] { mark_leave(PI_END_LOGOUT); });
      mark_leave(innermost);  // a level that cannot handle the code passes it on
    });
    mark_leave(inner);
  });
  EXPECT_EQ(PI_END_LOGOUT, rc);
}

TEST_F(Scope, ScopeWordsFollowTheKindAndAreRestored) {
  com.hook_scope = 1;
  MARK(MARK_PROCESS, [] {
    EXPECT_EQ(2u, com.proc_scope);
    EXPECT_EQ(2u, com.subproc_scope);
    MARK(MARK_SUBPROCESS, [] {
      EXPECT_EQ(2u, com.proc_scope);
      EXPECT_EQ(3u, com.subproc_scope);
      MARK(MARK_RECOVERY, [] {
        EXPECT_EQ(4u, com.mark_scope);
        EXPECT_EQ(2u, com.proc_scope);
        EXPECT_EQ(3u, com.subproc_scope);
        mark_leave(PI_END_EXIT);
      });
      com.hook_scope = 2;
      MARK(MARK_FILE_EVENT, [] {
        EXPECT_EQ(2u, com.proc_scope);
        EXPECT_EQ(3u, com.subproc_scope);
      });
      EXPECT_EQ(3u, com.subproc_scope);
    });
    EXPECT_EQ(2u, com.proc_scope);
    EXPECT_EQ(2u, com.subproc_scope);
  });
  EXPECT_EQ(1u, com.proc_scope);
  EXPECT_EQ(1u, com.subproc_scope);
  EXPECT_EQ(1u, com.mark_scope);
}

uint32_t g_nested_rc;
void cleanup_running_a_nested_mark(uint32_t) {
  g_nested_rc = MARK(MARK_RECOVERY, [] {});  // closing a file runs its events like this
}

TEST_F(Scope, EndCodeSurvivesNestedMarkInCleanup) {
  uint32_t rc = MARK(
      MARK_PROCESS, [] { mark_leave(PI_END_CANCEL); }, cleanup_running_a_nested_mark);
  EXPECT_EQ(PI_END_NORMAL, g_nested_rc);
  EXPECT_EQ(PI_END_CANCEL, rc);
  EXPECT_EQ(PI_END_CANCEL, com.mark_rc);
}

TEST_F(Scope, ResetRecordsRestoreOldestValueNewestFirstEachAtItsOwnLevel) {
  int value = 1, other = 10, outer_value = 5;
  char big[300] = {};
  MARK(MARK_PROCESS, [&] {
    uint32_t outer = com.mark_scope;
    MARK(MARK_RECOVERY, [&] {
      uint32_t level = com.mark_scope;
      ut_add_reset(level, &value, &value, sizeof value);  // saves 1
      value = 2;
      ut_add_reset(level, &value, &value, sizeof value);  // saves 2
      value = 3;
      ut_add_reset(level, &other, &other, sizeof other);
      other = 11;
      ut_add_reset(outer, &outer_value, &outer_value, sizeof outer_value);  // waits for its level
      outer_value = 6;
      ut_add_reset(level, big, big, sizeof big);  // larger than its one-byte count: refused
      mark_leave(PI_END_CANCEL);
    });
    EXPECT_EQ(1, value);
    EXPECT_EQ(10, other);
    EXPECT_EQ(nullptr, com.scope_tbl[3].reset_head);
    EXPECT_EQ(6, outer_value);
  });
  EXPECT_EQ(5, outer_value);
  EXPECT_TRUE(reported("ut_add_reset"));
}

void nest(int* depth) {
  ++*depth;
  MARK(MARK_RECOVERY, [depth] { nest(depth); });
}

TEST_F(Scope, NestingBeyondTheLastLevelFailsWithoutWritingPastTheTable) {
  int depth = 0;
  uint32_t rc = MARK(MARK_RECOVERY, [&] { nest(&depth); });
  EXPECT_EQ(PI_END_NORMAL, rc);
  EXPECT_EQ(254, depth);  // levels 2..255 exist; the 255th call is refused
  EXPECT_TRUE(reported("beyond the last"));
  EXPECT_EQ(1u, com.mark_scope);
}

TEST_F(Scope, LeavingByJumpClearsTheLevelsPoolsButNotOuterOnes) {
  uint32_t rc = MARK(MARK_PROCESS, [] {
    POOL* p = mm_create_pool(kPoolName, com.mark_scope);
    MM_ALLOC(p, 8);
    uint32_t inner = MARK(MARK_RECOVERY, [] {
      MM_ALLOC(mm_create_pool(kPoolName, com.mark_scope), 100);
      mark_signal_jump(PI_END_FATAL);
    });
    EXPECT_EQ(PI_END_FATAL, inner);
    EXPECT_EQ(2u, com.mark_scope);
    EXPECT_EQ(nullptr, mm_find_pool(kPoolName, 3));  // the inner level's pool went, the outer one stays
    EXPECT_EQ(1u, p->blocks);
    mark_leave(inner);
  });
  EXPECT_EQ(PI_END_FATAL, rc);
  EXPECT_EQ(nullptr, mm_find_pool(kPoolName, 2));
  EXPECT_EQ(1u, com.mark_scope);
}

}  // namespace
}  // namespace kivo
