// The executive over modules the loader compiles from design records of the
// "0DN" memory design files, run by the interpreter itself: the end codes
// that need no scripted event point.
#include <filesystem>

#include "compiler/pl.h"
#include "design/design_source.h"
#include "exec_test_util.h"

namespace kivo::test {
namespace {

class ExecutiveCompiled : public ExecFixture {
 protected:
  void SetUp() override {
    ExecFixture::SetUp();
    const std::string kivo = KIVO_BINARY;
    std::filesystem::copy(kivo.substr(0, kivo.rfind('/')) + "/data/00/0LA", data_ + "/00/0LA",
                          std::filesystem::copy_options::recursive | std::filesystem::copy_options::skip_existing);
    const design_source_result r = design_source_build(kSource, "test", com.sys_scope, "0DN");
    ASSERT_TRUE(r.ok) << r.error;
    pl_init();
    ii_hooks.proc_exec = nullptr;
    ii_init(), sc_init();
    rt_err_arb = nullptr, rt_init();
  }
  void TearDown() override {
    pl_discard_all();
    rt_err_arb = nullptr;  // its file goes with the session's files
    ExecFixture::TearDown();
  }
  static constexpr const char* kSource =
      "APPLICATION 0DN 01\n"
      "PROCESS 6 ENDP\nSTMTS 6 ENDP ep=1\n      END PROC\nEND\n"
      "PROCESS 6 BYE\nSTMTS 6 BYE ep=1\n      LOGOUT           N\nEND\n"
      "PROCESS 6 LEAVE\nSTMTS 6 LEAVE ep=1\n      EXIT\nEND\n"
      "PROCESS 6 PLAIN\n"
      "FRAME 6 OTHER 0 1\nSELECT 6 OTHER 0 1 1\nCHILD 6 OTHER 0 1 0 1 1\nIMAGE 6 OTHER 0 1 1\n"
      "ROW 6 OTHER 0 1 1 1 X\nITEM 6 OTHER 0 1 1 1 1\nCHR 6 OTHER 0 1 1 1 1\n";
};

TEST_F(ExecutiveCompiled, EndCodesOfCompiledSubroutines) {
  const struct {
    const char* proc;
    uint32_t want;
  } rows[] = {{"ENDP", PI_END_PROCESS},
              {"BYE", PI_END_LOGOUT},
              {"LEAVE", PI_END_EXIT},
              {"PLAIN", PI_END_PROCESS},
              {"NONE", PI_END_CANCEL}};
  for (const auto& r : rows) {
    INVOC v = inv(r.proc, PT_SUBROUTINE, nullptr, 2, "0DN");
    memcpy(v.b + INVOC_VER, "01", 2);
    const uint32_t blocks = pi_pool->blocks;
    EXPECT_EQ(run(v), r.want) << r.proc;
    EXPECT_EQ(pi_pool->blocks, blocks) << r.proc;
  }
  // Known, and not the executive's: the placing of a compiled module's
  // system areas reads file records the module does not hold.
  for (const std::string& e : captured_errors())
    EXPECT_TRUE(e == "init_area() - Cannot read cfi_rec" || e == "init_pdf() - invalid database") << e;
  captured_errors().clear();
}

}  // namespace
}  // namespace kivo::test
