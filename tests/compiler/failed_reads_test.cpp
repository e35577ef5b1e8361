// A compile whose read of a design file fails part-way (a data server gone,
// an I/O error) fails naming the file, and leaves no module behind: the
// native back-end's record reads of one file of TST fail from the n-th on.
#include <filesystem>
#include <set>

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

bool failing(STRM* strm, ARB* arb) {
  const FDB_PATH& p = strm->strm_lfb->lfb_lfn->lfn_path;
  if (memcmp(p.fdb_src_ap, "TST", 3) != 0 || memcmp(p.fdb_name, g_fault.name, 8) != 0) return false;
  if (++g_fault.reads < g_fault.fail_at) return false;
  arb->arb_stat = FM_IO_ERR;
  return true;
}
int fault_read(ARB* arb, STRM* strm) { return failing(strm, arb) ? 0 : g_fault.read(arb, strm); }
int fault_rdnxt(ARB* arb, STRM* strm) { return failing(strm, arb) ? 0 : g_fault.rdnxt(arb, strm); }

std::set<std::string> files_under(const std::string& dir) {
  std::set<std::string> out;
  for (const auto& e : std::filesystem::recursive_directory_iterator(dir)) out.insert(e.path().string());
  return out;
}

TEST_F(FailedReadsMidWork, DesignFileReadFailingPartWayFailsTheCompileNamingIt) {
  struct {
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
  for (auto& r : rows) {
    const std::string file(r.file, strcspn(r.file, " "));
    const std::set<std::string> before = files_under(data_);
    const uint32_t compiles = pl_compile_count();
    memcpy(g_fault.name, r.file, 8), g_fault.fail_at = r.fail_at, g_fault.reads = 0;
    {
      kivo_test::scoped_hook read(native->read, &fault_read), rdnxt(native->rdnxt, &fault_rdnxt);
      EXPECT_EQ(get(r.proc), nullptr) << r.proc << " " << file;
      fm_clr_scope(kScope);
    }
    EXPECT_GE(g_fault.reads, r.fail_at) << file << ": the fault was never reached";
    const std::string want = "design file " + file + " of TST could not be read (";
    EXPECT_NE(std::string(pl_compile_error()).find(want), std::string::npos) << file << ": " << pl_compile_error();
    EXPECT_EQ(files_under(data_), before) << file << ": a failed compile wrote a file";
    // Nothing was cached: the next run compiles again, whole.
    EM* em = get(r.proc);
    ASSERT_NE(em, nullptr) << file << ": " << pl_compile_error();
    EXPECT_EQ(pl_compile_count(), compiles + 2) << file;
    pl_free(em), pl_discard_all();
    fm_clr_scope(kScope);
  }
}

}  // namespace
}  // namespace kivo::test
