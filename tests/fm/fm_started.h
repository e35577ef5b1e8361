// A test with the file manager started on memory files and the process,
// loader and clean-up hooks put back afterwards; a system error raised during
// the test fails it. The open and record tests build on it.
#pragma once

#include <gtest/gtest.h>

#include "../fixtures/hook_override.h"
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
    hooks_.set(ut_clear_hooks.files, fm_clr_scope);
    process_register_hooks();
    ASSERT_EQ(fm_init(), 1);
    ASSERT_EQ(la_init(), 1);  // the languages an earlier test chose went with its pools
  }
  void TearDown() override {
    for (auto& e : captured_errors()) ADD_FAILURE() << "system error: " << e;
    rt_ifns_arb = nullptr;  // the routine file goes with the pools
    all_.restore();
    mm_fms_install();
    mm_destroy_all();
    Fresh::TearDown();
  }
  // What the process engine's registration and the starts fill goes back.
  kivo_test::hook_snapshot all_;
};

}  // namespace kivo::test
