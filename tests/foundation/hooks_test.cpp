// The hooks through which lower subsystems reach higher ones: scope clearing
// runs them in its order and survives a jump out of one; start-up, the remote
// connect and ping, and the database look-up behave as "not built" while a
// hook is empty and call the filled one otherwise.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "../fixtures/hook_override.h"
#include "compiler/compiler.h"
#include "fm/fm.h"
#include "foundation/bytes.h"
#include "foundation/cmdline.h"
#include "foundation/end_codes.h"
#include "foundation/foundation.h"
#include "foundation/os.h"
#include "foundation/paths.h"
#include "foundation/scope.h"
#include "process/process.h"
#include "test_support.h"

using namespace kivo;

namespace {

std::vector<std::string> g_steps;
const char* g_throw_in = "";  // the step that leaves with PI_END_CANCEL
bool g_pool_alive_at_files = false;

const char kPoolName[kPoolNameLen + 1] = "HOOK POOL  ";

void step(const char* name, uint32_t level) {
  g_steps.push_back(std::string(name) + std::to_string(level));
  if (strcmp(g_throw_in, name) == 0) mark_leave(PI_END_CANCEL);
}
void windows(uint32_t level) { step("w", level); }
void queries(uint32_t level) { step("q", level); }
void files(uint32_t level) {
  g_pool_alive_at_files = mm_find_pool(kPoolName, level) != nullptr;
  step("f", level);
}
void modules(uint32_t level) { step("m", level); }

class Hooks : public test::Fresh {
 protected:
  void SetUp() override {
    test::Fresh::SetUp();
    g_steps.clear();
    g_throw_in = "";
  }
  void TearDown() override {
    com.rmt_sock = 0;
    test::Fresh::TearDown();
  }
  kivo_test::hook_snapshot all_;  // what os_init's start fills goes back too
};

TEST_F(Hooks, ScopeClearingRunsEveryFilledStepInOrderBeforeThePools) {
  struct row {
    scope_clear_hooks hooks;
    const char* throw_in;
    std::vector<std::string> steps;
    uint32_t rc;
  };
  const row rows[] = {
      {{windows, queries, files, modules}, "", {"w2", "q2", "f2", "m2"}, PI_END_NORMAL},
      {{nullptr, queries, nullptr, nullptr}, "", {"q2"}, PI_END_NORMAL},
      {{}, "", {}, PI_END_NORMAL},
      // A jump out of one step replaces the end code; the others still run.
      {{windows, queries, files, modules}, "w", {"w2", "q2", "f2", "m2"}, PI_END_CANCEL},
      {{windows, queries, files, nullptr}, "f", {"w2", "q2", "f2"}, PI_END_CANCEL},
  };
  for (const row& r : rows) {
    g_steps.clear();
    g_throw_in = r.throw_in;
    g_pool_alive_at_files = false;
    kivo_test::scoped_hook steps(ut_clear_hooks, r.hooks);
    uint32_t rc = MARK(MARK_RECOVERY, [] { mm_create_pool(kPoolName, com.mark_scope); });
    EXPECT_EQ(g_steps, r.steps) << r.throw_in;
    EXPECT_EQ(rc, r.rc) << r.throw_in;
    if (r.hooks.files) {
      EXPECT_TRUE(g_pool_alive_at_files) << "files closed after their level's pools went";
    }
    EXPECT_EQ(mm_find_pool(kPoolName, 2), nullptr);
  }
}

TEST_F(Hooks, StartUpNeedsTheFileManagerAndItsSortedQueries) {
  testing::internal::CaptureStdout();
  EXPECT_EQ(os_init(0, nullptr), 0);
  EXPECT_NE(testing::internal::GetCapturedStdout().find("No file manager in this build"), std::string::npos);

  hooks_.set(foundation_hooks.fm_init, fm_init);
  EXPECT_EQ(os_init(0, nullptr), 1);
  hooks_.set(fm_hooks.pb_init, [] { return 0; });
  testing::internal::CaptureStdout();
  EXPECT_EQ(os_init(0, nullptr), 0);
  EXPECT_NE(testing::internal::GetCapturedStdout().find("Unable to initialize the Generic File Handler"),
            std::string::npos);
}

std::string g_host, g_port;

TEST_F(Hooks, RemoteConnectAndPingGoThroughTheNetworkHooks) {
  std::string opt = "-x=srv.example:7001";
  char* argv[] = {const_cast<char*>("kivo"), opt.data(), nullptr};
  int argc = 2;
  INVOC inv{};
  char db[3] = {' ', ' ', ' '};
  uint8_t mode = 0;
  hooks_.set(ss_remote_hooks.connect, [](const char* host, const char* port) {
    g_host = host;
    g_port = port;
    return 42;
  });
  os_parse_cmd(&argc, argv, &inv, db, &mode);
  EXPECT_EQ(g_host, "srv.example");
  EXPECT_EQ(g_port, "7001");
  EXPECT_EQ(com.rmt_sock, 42);

  // A local terminal always goes on; a remote one only while its client
  // answers: a client gone ends the process with 9.
  struct row {
    uint16_t sock;
    int (*ping)();
    bool gone;
  };
  const row rows[] = {
      {0, nullptr, false},
      {42, nullptr, true},
      {42, [] { return 1; }, false},
      {42, [] { return 0; }, true},
  };
  for (const row& r : rows) {
    com.rmt_sock = r.sock;
    kivo_test::scoped_hook ping(ss_remote_hooks.ping, r.ping);
    if (r.gone) EXPECT_EXIT(ss_yield(), testing::ExitedWithCode(kRemoteGoneExit), "") << r.sock;
    else EXPECT_EQ(ss_yield(), 1) << r.sock;
  }
}

TEST_F(Hooks, PathVersionComesFromTheDatabaseLookUp) {
  ss_unix_init();
  ss_path_vars_reset();
  FDB_PATH f;
  memset(&f, ' ', sizeof f);
  f.fdb_tmp_id = 0;
  INIT_DB_PATH(&f, "DB1", "ABC", "01", "CUST", PATH_DATA);
  std::vector<uint8_t> dflt(600, ' ');
  memcpy(&dflt[SYSDFLT_DIR], "/v$(ver)/$(db)", 14);
  char root_text[] = "/r";
  cstr root{2, root_text};

  const cstr* p = ss_bld_path(&f, 0, &root, nullptr, dflt.data(), nullptr);
  ASSERT_NE(p, nullptr);
  EXPECT_STREQ(p->ptr, "/v/DB1");  // no look-up: no version

  hooks_.set(foundation_hooks.ddb_lookup, [](const char* db) -> const uint8_t* {
    static uint8_t ddb[16];
    memset(ddb, ' ', sizeof ddb);
    if (strcmp(db, "DB1") == 0) memcpy(ddb + kDdbVersion, "07", 2);
    return ddb;
  });
  ss_path_vars_reset();
  p = ss_bld_path(&f, 0, &root, nullptr, dflt.data(), nullptr);
  ASSERT_NE(p, nullptr);
  EXPECT_STREQ(p->ptr, "/v07/DB1");
  ss_path_vars_reset();
}

// A seam starts as the engine's own function (the executive, not started,
// ends the invocation with "no process") and a test puts its own in place.
TEST_F(Hooks, SeamsStartAsTheEngineAndTestsPutTheirOwnInPlace) {
  INVOC inv{};
  pi_exec(&inv);
  EXPECT_EQ(ld_le32(inv.b, INVOC_END_CODE), PI_END_NO_PROC);
  EXPECT_EQ(compiler_seams.pl_get, &pl_get_module);

  hooks_.set(process_seams.exec, [](INVOC* i) { st_le32(i->b, INVOC_END_CODE, PI_END_NORMAL); });
  hooks_.set(compiler_seams.pl_get, [](PCB*, int flag) { return flag + 1; });
  pi_exec(&inv);
  EXPECT_EQ(ld_le32(inv.b, INVOC_END_CODE), PI_END_NORMAL);
  EXPECT_EQ(pl_get(nullptr, 4), 5);
}

}  // namespace
