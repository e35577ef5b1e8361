// Modules on the file manager's memory files, with a create that can be
// made to fail, the golden files, and the common block, pools and captured
// system errors of each test.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "../fixtures/hook_override.h"
#include "../foundation/test_support.h"
#include "compiler/bld.h"
#include "compiler/compiler.h"
#include "fm/fm.h"
#include "fm/fm_open.h"
#include "fm/memfile.h"
#include "foundation/foundation.h"
#include "foundation/maddr.h"
#include "foundation/scope.h"
#include "process/process.h"

namespace kivo::test {

// A golden file under tests/, whole.
inline std::string golden(const char* name) {
  std::ifstream in(std::string(KIVO_SOURCE_DIR) + "/tests/" + name);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class EmFixture : public Fresh {
 protected:
  static inline int fail_at = -1, creates = 0;  // the create call that fails, -1 none
  static inline em_file_ops real = em_files;
  static ARB* create(FDB* fdb, uint32_t scope) { return creates++ == fail_at ? nullptr : real.create(fdb, scope); }

  void SetUp() override {
    Fresh::SetUp();
    hooks_.set(ut_clear_hooks.files, fm_clr_scope);
    process_register_hooks();
    compiler_register_hooks();  // the module files' layout and MADDR's reader
    ASSERT_EQ(fm_init(), 1);
    fail_at = -1, creates = 0;
    hooks_.set(em_files.create, create);
  }
  void TearDown() override {
    em_destroy(em_);
    em_ = nullptr;
    mm_destroy_all();  // the memory files go before the next test's fresh start drops their pools
    Fresh::TearDown();
  }
  EM* module() { return em_ = em_create(); }

  EM* em_ = nullptr;
  kivo_test::hook_snapshot all_;  // what the registrations and fm_init fill goes back
};

}  // namespace kivo::test
