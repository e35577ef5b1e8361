// A compile whose read of a design file fails part-way (a data server gone,
// an I/O error) fails naming the file, and leaves no module behind: the
// native back-end's record reads of one file of TST fail from the n-th on.
#include "../fixtures/kivo_fixture.h"
#include "fm/fm_status.h"
#include "fm/fm_switch.h"
#include "fm/la.h"
#include "pc_process_util.h"

namespace kivo::test {
namespace {

// The shipped messages give the reason its words.
class FailedReadsMidWork : public LoaderFixture {
 protected:
  void SetUp() override {
    LoaderFixture::SetUp();
    ASSERT_EQ(la_init(), 1);
    ASSERT_EQ(la_slct("00 ", com.mark_scope), 1);
  }
  void TearDown() override {
    if (la_lang* l = la_current()) FM_CLOSE(l->arb, 0);
    // The language entry goes with the test: the next one starts without it.
    const uint32_t level = com.mark_scope;
    com.mark_scope = 0, la_current(), com.mark_scope = level;
    LoaderFixture::TearDown();
  }
};

// The file whose reads fail and the read (counted from 1) that fails first;
// reads of other files and those before it go through.
struct read_fault {
  char name[8];
  uint32_t fail_at = 0, reads = 0;
  fms_slot read = nullptr, rdnxt = nullptr;
} g_fault;

// A read of the file from the n-th on fails as an I/O error; others go to
// the native back-end's `real`.
template <fms_slot read_fault::*real>
int faulty(ARB* arb, STRM* strm) {
  const FDB_PATH& p = strm->strm_lfb->lfb_lfn->lfn_path;
  if (memcmp(p.fdb_src_ap, "TST", 3) || memcmp(p.fdb_name, g_fault.name, 8) || ++g_fault.reads < g_fault.fail_at)
    return (g_fault.*real)(arb, strm);
  arb->arb_stat = FM_IO_ERR;
  return 0;
}

TEST_F(FailedReadsMidWork, DesignFileReadFailingPartWayFailsTheCompileNamingIt) {
  const struct {
    const char* proc;
    const char* file;  // 8, blank-padded
    uint32_t fail_at;  // past the first record: the walk has begun
  } rows[] = {
      {"3REPORT1", "FRAME   ", 2}, {"3REPORT1", "CHILD   ", 2}, {"3REPORT1", "SELECT  ", 2},
      {"3SCREEN", "IMAGE   ", 2},  {"3SCREEN", "ROW     ", 2},  {"3SCREEN", "ITEM    ", 2},
      {"3SCREEN", "CHR     ", 2},  {"3REPORT1", "STMT    ", 3}, {"3REPORT1", "ELEMENT ", 5},
      {"3REPORT1", "BITMAP  ", 2}, {"3REPORT1", "FILE    ", 2},
  };
  fms_fn* native = fms_table(FMS_NATIVE);
  g_fault.read = native->read, g_fault.rdnxt = native->rdnxt;
  for (const auto& r : rows) {
    const std::string file(r.file, strcspn(r.file, " "));
    SCOPED_TRACE(file);
    const auto before = kivo_test::tree_sums(data_);
    const uint32_t compiles = pl_compile_count();
    memcpy(g_fault.name, r.file, 8), g_fault.fail_at = r.fail_at, g_fault.reads = 0;
    {
      kivo_test::scoped_hook read(native->read, &faulty<&read_fault::read>),
          rdnxt(native->rdnxt, &faulty<&read_fault::rdnxt>);
      EXPECT_EQ(get(r.proc), nullptr) << r.proc;
      fm_clr_scope(kScope);
    }
    EXPECT_GE(g_fault.reads, r.fail_at) << "the fault was never reached";
    const std::string said = pl_compile_error();
    EXPECT_NE(said.find("design file " + file + " of TST could not be read ("), std::string::npos) << said;
    EXPECT_EQ(kivo_test::tree_sums(data_), before) << "a failed compile wrote a file";
    // Nothing was cached: the next run compiles again, whole.
    EM* em = get(r.proc);
    ASSERT_NE(em, nullptr) << pl_compile_error();
    EXPECT_EQ(pl_compile_count(), compiles + 2);
    pl_free(em), pl_discard_all();
    fm_clr_scope(kScope);
  }
}

}  // namespace
}  // namespace kivo::test
