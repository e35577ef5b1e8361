// A test with the file manager started on memory files and the process,
// loader and clean-up hooks put back afterwards; a system error raised during
// the test fails it. The open and record tests build on it.
#pragma once

#include <gtest/gtest.h>

#include "../foundation/test_support.h"
#include "compiler/compiler.h"
#include "fm/fm.h"
#include "fm/fm_open.h"
#include "fm/la.h"
#include "fm/memfile.h"
#include "foundation/scope.h"
#include "interp/interp.h"
#include "process/process.h"

namespace kivo::test {

class FmStarted : public Fresh {
 protected:
  void SetUp() override {
    Fresh::SetUp();
    ut_clear_hooks.files = fm_clr_scope;
    pi_register_hooks();
    ASSERT_EQ(fm_init(), 1);
    ASSERT_EQ(la_init(), 1);  // the languages an earlier test chose went with its pools
  }
  void TearDown() override {
    for (auto& e : captured_errors()) ADD_FAILURE() << "system error: " << e;
    compiler_hooks.pl = {};
    compiler_hooks.ifns_arb = nullptr;  // the routine file goes with the pools
    foundation_hooks.design_recs = {};
    ii_hooks = {};
    pi_hooks = {};
    fm_proc_hooks = {};
    ut_clear_hooks = {};
    fm_hooks.pb_init = nullptr;
    mm_fms_install();
    mm_destroy_all();
    Fresh::TearDown();
  }
};

}  // namespace kivo::test
