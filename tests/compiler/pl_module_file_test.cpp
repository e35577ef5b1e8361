// Saved modules of the fixture process SAVED (PROCESS byte 70 "1"): the module and debug files, a
// second engine process that loads the module without compiling, a changed FILE stamp, damaged files
// that are compiled again and rewritten, and the debug file's bytes.
#include <sys/wait.h>
#include <unistd.h>

#include "compiler/design_records.h"
#include "module_file_records.h"
#include "pc_process_util.h"

namespace kivo::test {
namespace {

using recs = std::vector<std::vector<uint8_t>>;

class PlFile : public LoaderFixture {
 protected:
  // The records of the module (kind 3) or debug (kind 4) file of `em`.
  static recs read_file(const EM* em, uint8_t kind) {
    recs out;
    read_module_records(em, kind, com.mark_scope, &out);
    return out;
  }
  static void write_file(const EM* em, const recs& r) { ASSERT_TRUE(write_module_records(em, r, com.mark_scope)); }
  // pl_get of SAVED, its event point 1 run: whether TOTAL came out 99.
  bool runs(EM** out = nullptr) {
    EM* em = get("6SAVED");
    if (out) *out = em;
    if (!em) return false;
    bind(em);
    set_total("0");
    EP_CALL call{};
    call.pcb = &pcb_;
    return MARK(MARK_SUBPROCESS, [&] { II_EXEC_PROC(&call, 1); }) == 1 && total() == "99";
  }
  // Every module released and dropped from the cache.
  void forget() {
    for (PCB& p : pcbs_) pl_free(p.pcb_em), p.pcb_em = nullptr;
    pl_discard_all();
  }
};
using PlModuleFile = PlFile;
using PlDebugFile = PlFile;

TEST_F(PlModuleFile, SecondProcessLoadsTheSavedModuleWithoutCompiling) {
  EM* em = nullptr;
  ASSERT_TRUE(runs(&em));
  EXPECT_EQ(em->em_dbg_flag, 1);
  EXPECT_EQ(em->em_saved, 1);
  EXPECT_GT(read_file(em, PATH_EM).size(), 2u * EM_SUB_COUNT);
  EXPECT_EQ(read_file(em, PATH_DBG).size(), 1 + em->em_toc_cnt + em->em_trap_cnt);
  fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {  // another engine process, with an empty cache
    forget();
    const uint32_t before = pl_compile_count();
    _exit(runs() && pl_compile_count() == before ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST_F(PlModuleFile, RecompiledFileDictionaryCompilesTheModuleAgain) {
  ASSERT_TRUE(runs());
  forget();
  const uint32_t before = pl_compile_count();
  ASSERT_TRUE(runs());
  EXPECT_EQ(pl_compile_count(), before);  // loaded from its file
  forget();
  {
    DesignBuilder b("TST", "01", kScope);
    ARB* a = b.handle(DF_FILE);
    uint8_t fi[kFileRecSize] = {};
    memcpy(fi + FI_NAME, "STAMPED ", 8);
    PROTO_FULL(a, 0, fi);
    a->arb_len = kFileRecSize, a->arb_mod = ARB_EQUAL | ARB_HOLD;
    ASSERT_TRUE(fm_read(a));
    fi[FI_STAMP + 7] ^= 1;
    a->arb_mod = 0;
    ASSERT_TRUE(fm_rewrite(a));
    b.close_all(), fm_clr_scope(kScope);
  }
  ASSERT_TRUE(runs());
  EXPECT_EQ(pl_compile_count(), before + 1);
  forget();
  ASSERT_TRUE(runs());
  EXPECT_EQ(pl_compile_count(), before + 1);  // the file was written again
}

TEST_F(PlModuleFile, DamagedFilesAreCompiledAgainAndRewrittenNeverFollowed) {
  EM* em = nullptr;
  ASSERT_TRUE(runs(&em));
  const recs good = read_file(em, PATH_EM);
  EM copy = *em;  // for the file's descriptor after the module is gone
  forget();
  // Record, byte, new value: header, stored block (identity, counts, an entry), the first tag and count
  // records, the first instruction's opcode, field area and constant number.
  const size_t ep1 = 12 + offsetof(EM, em_ep);
  const struct {
    size_t rec, at;
    uint8_t v;
  } flips[] = {{0, 0, 'X'},
               {0, 4, 9},
               {0, 8, 0x55},
               {0, 12 + 14, 'Z'},
               {0, 12 + 44, 'F'},
               {0, 12 + 3, 0x7F},
               {0, 12 + offsetof(EM, em_cnst_cnt), 0x7F},
               {0, 12 + offsetof(EM, em_area_cnt), 3},
               {0, 12 + offsetof(EM, em_toc_cnt), 9},
               {0, ep1 + 2, 2},
               {0, ep1, 9},
               {1, 0, 'Q'},
               {2, 0, 0xFF},
               {3, 0, 0xFF},
               {3, 1, 0x01},
               {3, 5, 0x7F},
               {3, 15, 0x7F}};
  std::vector<recs> damaged;
  for (size_t k = 0; k < good.size(); ++k) damaged.emplace_back(good.begin(), good.begin() + k);
  for (auto& f : flips) (damaged.emplace_back(good)[f.rec][f.at] = f.v);
  for (size_t i = 0; i < damaged.size(); ++i) {
    write_file(&copy, damaged[i]);
    const uint32_t before = pl_compile_count();
    EXPECT_TRUE(runs()) << "damage " << i;
    EXPECT_EQ(pl_compile_count(), before + 1) << "damage " << i;
    EXPECT_TRUE(read_file(&copy, PATH_EM) == good) << "damage " << i;
    forget();
  }
}

TEST_F(PlDebugFile, DebugFileIsGoldenAndHoldsTheModulesRows) {
  EM* em = nullptr;
  ASSERT_TRUE(runs(&em));
  recs dbg = read_file(em, PATH_DBG);
  ASSERT_FALSE(dbg.empty());
  EXPECT_EQ(ld_le32(dbg[0].data(), 0), em->em_stamp1);
  EXPECT_EQ(ld_le32(dbg[0].data(), 4), em->em_stamp2);
  memset(dbg[0].data(), 0, 8);  // the fixture's build time
  std::string got;
  for (auto& r : dbg) got += hex_lower(r.data(), r.size()) + "\n";
  EXPECT_EQ(got,
            "0000000000000000"
            "0100000005000000\n"          // N, M
            "010000000100000005000000\n"  // event point 1, slot 0, traps 1-5
            "010000006400000001000000\n"  // statement 100 at 1/0, event point 1
            "01001400c800000001000000\n"
            "01002c002c01000001000000\n"
            "01004c009001000001000000\n"
            "01006c00f401000001000000\n");
  recs rows = sub_records(em, EM_TO), traps = sub_records(em, EM_TP);
  rows.insert(rows.end(), traps.begin(), traps.end());
  EXPECT_TRUE(recs(dbg.begin() + 1, dbg.end()) == rows);
}

}  // namespace
}  // namespace kivo::test
