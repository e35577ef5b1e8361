// Whole processes of the fixture application TST (pc_tst.dsgn, pc_proc.dsgn) compiled by pc_cmpl: the
// header and the compiled records against golden bytes, the code of event point 1 run on bound areas,
// and the faults that leave no module.
#include <filesystem>
#include <list>

#include "../design/design_test_util.h"
#include "../fixtures/hook_override.h"
#include "compiler/compiler.h"
#include "compiler/design_records.h"
#include "compiler/em_records.h"
#include "compiler/pc_cmpl.h"
#include "compiler/pcb.h"
#include "em_test_util.h"
#include "interp/ii_run.h"
#include "interp/interp.h"
#include "pc_process_util.h"

namespace kivo::test {
namespace {

using PcProcess = ProcessFixture;

TEST_F(PcProcess, HeaderAndRecordsMatchGoldenBytes) {
  build(golden("compiler/pc_restruct_old.dsgn"), "0DO"), build(golden("compiler/pc_restruct.dsgn"), "0DN");
  std::string got;
  for (const char* p : {"6SUB1", "3REPORT1", "5QRY", "3SCREEN", "4RESTRUCTURE"}) {
    const char* apver = strcmp(p, "4RESTRUCTURE") ? "TST01" : "0DN00";
    ASSERT_EQ(compile(p, apver), 1) << err();
    uint8_t pr[kProcRecSize];
    ASSERT_EQ(pc_read_process(em_->em_ap, em_->em_ver, em_->em_proc_type, em_->em_proc_nam, pr), 1);
    EXPECT_EQ(em_->em_stamp1, ld_le32(pr, PR_STAMP));
    EXPECT_EQ(em_->em_stamp2, ld_le32(pr, PR_STAMP + 4));
    got += std::string("== ") + p + "\n" + stored_block(em_);
    for (em_sub s : {EM_FI, EM_FR, EM_IM, EM_CR, EM_CL, EM_QL, EM_QO, EM_PK, EM_SR, EM_TO, EM_TP})
      got += sub_dump(em_, s);
    got += item_dump(em_) + constraint_dump(em_);
  }
  EXPECT_EQ(got, golden("compiler/pc_process_golden.txt"));
}

// A child's invocation starts from the engine's template when one is set
// (the process engine's), else from the compiler's copy of its defaults;
// what the CHILD record names overrides either.
TEST_F(PcProcess, ChildInvocationStartsFromTheTemplate) {
  INVOC engine;
  pc_invoc_defaults(&engine);
  engine.b[INVOC_CHAIN_MODE] = 1, engine.b[INVOC_INTERRUPT_OK] = 1;
  memcpy(engine.b + INVOC_CALLER_CODE, "CODE", 4);
  size_t children = 0;
  for (const char* p : {"6SUB1", "3REPORT1", "5QRY", "3SCREEN"}) {
    SCOPED_TRACE(p);
    std::vector<std::vector<uint8_t>> with[2];
    for (int t = 0; t < 2; ++t) {
      kivo_test::scoped_hook tmpl(compiler_hooks.invoc_template, t ? &engine : nullptr);
      ASSERT_EQ(compile(p, "TST01"), 1) << err();
      with[t] = sub_records(em_, EM_CL);
    }
    ASSERT_EQ(with[0].size(), with[1].size());
    for (size_t i = 0; i < with[0].size(); ++i, ++children) {
      const uint8_t* dflt = with[0][i].data() + CCHLD_INVOC;
      const uint8_t* eng = with[1][i].data() + CCHLD_INVOC;
      EXPECT_EQ(dflt[INVOC_INTERRUPT_OK], 0);
      EXPECT_EQ(eng[INVOC_INTERRUPT_OK], 1);
      EXPECT_EQ(eng[INVOC_CHAIN_MODE], 1);
      EXPECT_EQ(memcmp(eng + INVOC_CALLER_CODE, "CODE", 4), 0);
      EXPECT_EQ(memcmp(eng + INVOC_PROC_NAM, dflt + INVOC_PROC_NAM, 30), 0);
      EXPECT_EQ(eng[INVOC_PROC_TYPE], dflt[INVOC_PROC_TYPE]);
    }
  }
  EXPECT_GT(children, 0u);
}

TEST_F(PcProcess, EventPointsRunWhatTheirStatementsSay) {
  ASSERT_EQ(compile("6SUB1"), 1) << err();
  bind(em_);
  struct {
    uint16_t ep;
    const char* total;  // TOTAL after the run
  } rows[] = {{1, "99"}, {3, "1"}, {2, "0"}};
  for (auto& r : rows) {
    set_total("0");
    EP_CALL call{};
    call.pcb = &pcb_;
    EXPECT_EQ(MARK(MARK_SUBPROCESS, [&] { II_EXEC_PROC(&call, r.ep); }), 1u);
    EXPECT_EQ(total(), r.total) << "event point " << r.ep;
  }
}

TEST_F(PcProcess, FaultsLeaveNoModuleAndNameTheirCause) {
  struct {
    const char* proc;
    const char* src;  // design lines added before the compile
    const char* error;
  } rows[] = {
      {"6NOSUCH", "", "process NOSUCH not found"},
      {"6BADPCF", "PROCESS 6 BADPCF pcf_ap=TST pcf_file=NOFILE", "PCF NOFILE of TST not found"},
      {"3BADCHLD",
       "PROCESS 3 BADCHLD\nCHILD 3 BADCHLD 0 0 0 1 1 proc_type=2 name=NONE links=1 link1_ap=TST link1_field=ID",
       "child NONE not found"},
      {"3TWOFRM", "PROCESS 3 TWOFRM\nFRAME 3 TWOFRM 0 4\nFRAME 3 TWOFRM 1 4", "frame 4: two frames with one number"},
      {"3LINKS",
       "PROCESS 3 LINKS\nCHILD 3 LINKS 0 0 0 1 1 proc_type=2 name=LINES links=2 pcf_key=1 link1_ap=TST link1_field=ID "
       "link2_ap=TST link2_field=ID",
       "key 1 of the PCF of child LINES has fewer"},
  };
  for (auto& r : rows) {
    if (*r.src) add_design(r.src);
    EXPECT_EQ(compile(r.proc), 0) << r.proc;
    EXPECT_EQ(ctx_.em, nullptr);
    EXPECT_EQ(err().substr(0, strlen(r.error)), r.error) << r.proc;
  }
}

}  // namespace
}  // namespace kivo::test
