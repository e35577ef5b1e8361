// The executive over a module the loader compiles from design records of
// the "0DN" memory design files: its areas placed as the set-up places them.

#include "compiler/em_access.h"
#include "exec_test_util.h"
#include "process/pi_internal.h"

namespace kivo::test {
namespace {

class ExecutiveCompiled : public ExecFixture {
 protected:
  void SetUp() override {
    ExecFixture::SetUp();
    start_compiled(kSource);
    hooks_.set(interp_seams.proc_exec, ii_proc_exec_own);  // the real event points
  }
  void TearDown() override {
    stop_compiled();
    ExecFixture::TearDown();
  }
  static constexpr const char* kSource =
      "APPLICATION 0DN 01\n"
      "FILE CUST fs=2\n  ID B4 key=primary\n  NAME A20 init=\"NOBODY\"\nEND\n"
      "PROCESS 6 PCFREC pcf_ap=0DN pcf_file=CUST\nSTMTS 6 PCFREC ep=1\n      END PROC\nEND\n";
  // What the open of the files saw: the PCF's record area and file block.
  static inline std::string rec_bytes;
  static inline const uint8_t *rec, *blk;
};

TEST_F(ExecutiveCompiled, PcfRecordInItsOwnArea) {
  hooks_.set(process_seams.open_fi, [](PCB* p) {
    pi_open_fi_run(p);
    const auto* fb = static_cast<const pi_file_blk*>(p->pcb_pcf_blk);
    blk = reinterpret_cast<const uint8_t*>(fb);
    rec = fb && fb->cfi ? p->pcb_areas[ld_le32(fb->cfi, CFI_REC_AREA)] : nullptr;
    if (rec) rec_bytes.assign(reinterpret_cast<const char*>(rec) + 2, 6);
  });
  INVOC v = inv("PCFREC", PT_SUBROUTINE, nullptr, 2, "0DN");
  memcpy(v.b + INVOC_VER, "01", 2);
  EXPECT_EQ(run(v), PI_END_PROCESS);
  ASSERT_TRUE(rec && blk);
  // Neither overlaps the other, and the record holds the file's initial bytes.
  EXPECT_TRUE(rec + 24 <= blk || blk + sizeof(pi_file_blk) <= rec);
  EXPECT_EQ(rec_bytes, "NOBODY");
  for (const std::string& e : captured_errors()) ADD_FAILURE() << "system error: " << e;
  captured_errors().clear();
}

}  // namespace
}  // namespace kivo::test
