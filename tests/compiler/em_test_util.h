// Modules on the file manager's memory files, with a create that can be
// made to fail, the golden files, and the common block, pools and captured
// system errors of each test.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "../foundation/test_support.h"
#include "compiler/bld.h"
#include "fm/fm.h"
#include "fm/fm_open.h"
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
    ut_clear_hooks.files = fm_clr_scope;
    pi_register_hooks();
    ASSERT_EQ(fm_init(), 1);
    fail_at = -1, creates = 0;
    em_files = real;
    em_files.create = create;
    foundation_hooks.maddr = nullptr;
  }
  void TearDown() override {
    em_destroy(em_);
    em_ = nullptr;
    em_files = real;
    pi_hooks = {};
    fm_proc_hooks = {};
    ut_clear_hooks = {};
    fm_hooks.pb_init = nullptr;
    Fresh::TearDown();
  }
  EM* module() { return em_ = em_create(); }

  EM* em_ = nullptr;
};

}  // namespace kivo::test
