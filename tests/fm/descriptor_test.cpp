// Descriptors: every initialiser against the listing of the file tables,
// and the stored form against golden bytes.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <regex>
#include <string>

#include "../fixtures/hook_override.h"
#include "compiler/em_item.h"
#include "fm_objects_test_util.h"
#include "foundation/descriptors.h"

namespace kivo {
namespace {

std::string field(const char* p, size_t n) {
  std::string s(p, n);
  for (char& c : s)
    if (c == ' ') c = '_';
  return s;
}

// One descriptor in the listing's notation. The design files' key helpers
// are reached through their initialisers.
std::string describe(const FDB& f) {
  const FDB_PATH& p = f.path;
  std::string s = "path " + field(p.fdb_ap, 3) + "/" + field(p.fdb_ver, 2) + "/" + field(p.fdb_name, 8) + "/" +
                  field(p.fdb_db, 3) + "/" + field(p.fdb_src_ap, 3) + "/" + field(p.fdb_src_ver, 2) + " kind " +
                  std::to_string(p.fdb_class) + " tmp " + std::to_string(p.fdb_tmp_id) + "  " +
                  (f.fdb_fs_type == FS_DISK     ? "disk "
                   : f.fdb_fs_type == FS_MEMORY ? "memory "
                                                : "fs? ") +
                  std::to_string(f.fdb_rec_len) + (f.fdb_var ? " variable" : " fixed") + " org " +
                  std::to_string(f.fdb_org) + " opt " + std::to_string(f.fdb_opt) + "  keys ";
  if (f.fdb_nkeys == 0) return s + "none";
  for (int i = 0; i < f.fdb_nkeys; ++i) {
    const KDB& k = f.fdb_kdb[i];
    if (i) s += "; ";
    s += std::to_string(k.kdb_keyno) + " " + char(k.kdb_order) + " [" + std::to_string(k.kdb_flags) + "]:";
    for (int j = 0; j < k.kdb_nsegs; ++j) {
      const SDB& g = k.kdb_sdb[j];
      s += " " + std::to_string(g.sdb_offset) + ":" + std::to_string(g.sdb_len) +
           (g.sdb_type == SDB_BINARY    ? "b"
            : g.sdb_type == SDB_UBINARY ? "u"
                                        : "");
      EXPECT_EQ(g.sdb_segno, j + 1) << "segment numbers of key " << int(k.kdb_keyno);
      EXPECT_EQ(g.sdb_order, '+');
      EXPECT_TRUE(g.sdb_type == SDB_BINARY || g.sdb_type == SDB_UBINARY || g.sdb_type == SDB_CHARS);
    }
    if (k.kdb_flags & KDB_DUP) s += " (dup)";
    EXPECT_EQ(k.kdb_len, 0) << "initialisers leave the key length to the sum";
  }
  return s;
}

// The IT and CV records hold the native conversion block, so their length
// and the IT key offsets are the compiler's figures (sizeof and offsetof on
// this build), set as the compiler starts; the listing gives those.
std::map<std::string, std::string> produced() {
  std::map<std::string, std::string> out;
  kivo_test::hook_snapshot kept;  // em_layout goes back
  em_set_layout();
  auto run = [&](const char* name, auto fill) {
    FDB f;
    KDB k[kInitMaxKeys];
    SDB s[kInitMaxSegs];
    memset(k, 0xEE, sizeof k);
    memset(s, 0xEE, sizeof s);
    fill(&f, k, s);
    out[name] = describe(f);
  };
#define SA(n) run(#n, [](FDB* f, KDB* k, SDB* s) { n(f, k, s); })
#define SRC(n) run(#n, [](FDB* f, KDB* k, SDB* s) { n(f, k, s, "ZZZ", "01"); })
#define TMP(n) run(#n, [](FDB* f, KDB* k, SDB* s) { n(f, k, s, 7); })
  SA(INIT_DAP_FDB), SRC(INIT_DBITMAP_FDB), SRC(INIT_DCHLD_FDB), SRC(INIT_DCHR_FDB), SA(INIT_DDB_FDB);
  SA(INIT_DDBXAP_FDB), SA(INIT_DDFLTMAP_FDB), SRC(INIT_DDOM_FDB), SRC(INIT_DELEM_FDB), SRC(INIT_DFI_FDB);
  SRC(INIT_DFLD_FDB), SA(INIT_DFORM_FDB), SRC(INIT_DFRM_FDB), SRC(INIT_DINIT_FDB), SRC(INIT_DITM_FDB);
  SA(INIT_DKEYMAP_FDB), SRC(INIT_DPROC_FDB), SA(INIT_DPROF_FDB), SA(INIT_DPRTR_FDB), SRC(INIT_DREC_FDB);
  SRC(INIT_DROW_FDB), SRC(INIT_DSLCT_FDB), SRC(INIT_DSTMT_FDB), SA(INIT_DSYSDFLT_FDB), SA(INIT_DSYSDIR_FDB);
  SA(INIT_DSYSPARM_FDB), SRC(INIT_DTOKEN_FDB), SA(INIT_DUSR_FDB), SRC(INIT_DPARM_FDB), SRC(INIT_DIMG_FDB);
  run("INIT_DMSG_FDB", [](FDB* f, KDB* k, SDB* s) { INIT_DMSG_FDB(f, k, s, "EN"); });
  SA(INIT_ERR_FDB), SA(INIT_IFNS_FDB), SA(INIT_INST_FDB), SA(INIT_TOC_FDB);
  TMP(INIT_QPARM_FDB), TMP(INIT_QSLCT_FDB), TMP(INIT_QSORT_FDB), TMP(INIT_QTAG_FDB);
  SA(em_cache_fdb), SA(em_cap_fdb), SA(em_cchld_fdb), SA(em_cchr_fdb), SA(em_cdlu_fdb), SA(em_cfi_fdb);
  SA(em_cfld_fdb), SA(em_cfrm_fdb), SA(em_cimg_fdb), SA(em_citm_fdb), SA(em_clib_fdb), SA(em_cnst_fdb);
  SA(em_cnv_fdb), SA(em_ctoken_fdb), SA(em_dlf_fdb), SA(em_em_qslct_fdb), SA(em_em_qsort_fdb);
  SA(em_kdb_fdb), SA(em_pcf_key_fdb), SA(em_recurse_fdb), SA(em_scan_bud_fdb), SA(em_scan_fdb);
  SA(em_sdb_fdb), SA(em_sum_ref_fdb), SA(em_toc_fdb), SA(em_trap_fdb);
#undef SA
#undef SRC
#undef TMP
  return out;
}

class FmDescriptors : public test::FmFresh {};

TEST_F(FmDescriptors, EveryInitialiserMatchesTheListingOfTheFileTables) {
  std::ifstream in(std::string(KIVO_SOURCE_DIR) + "/tests/fm/descriptor_listing.txt");
  ASSERT_TRUE(in) << "listing missing";
  std::map<std::string, std::string> listed;
  size_t pairs = 0, segs = 0;
  static const std::regex pair_re("[0-9]+:[0-9]+");
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    size_t sp = line.find("  ");
    ASSERT_NE(sp, std::string::npos) << line;
    listed[line.substr(0, sp)] = line.substr(sp + 2);
    pairs += std::distance(std::sregex_iterator(line.begin(), line.end(), pair_re), std::sregex_iterator());
  }
  auto got = produced();
  EXPECT_EQ(listed.size(), 65u);
  EXPECT_EQ(got.size(), listed.size());
  for (auto& [name, text] : got) {
    ASSERT_TRUE(listed.count(name)) << name << " is not in the listing";
    EXPECT_EQ(text, listed[name]) << name;
    segs += std::distance(std::sregex_iterator(text.begin(), text.end(), pair_re), std::sregex_iterator());
  }
  EXPECT_EQ(pairs, segs) << "the listing holds number:number pairs that are not segments";
}

TEST_F(FmDescriptors, TemplatesAndNativeLayoutReachTheInitialisers) {
  FDB f;
  KDB k[kInitMaxKeys];
  SDB s[kInitMaxSegs];
  INIT_DDB_FDB(&f, k, s);
  EXPECT_EQ(f.fdb_acc, 0x0f);
  EXPECT_EQ(f.fdb_shr, 0x0f);
  EXPECT_EQ(f.fdb_struct_date[0], kStampUnknown);
  EXPECT_EQ(f.fdb_struct_date[1], kStampUnknown);
  EXPECT_EQ(f.fdb_cr_size, 0u);
  EXPECT_EQ(memcmp(f.path.fdb_src_ver, "00", 2), 0);
  // The IT and CV records take the native layout set by their owner.
  kivo_test::hook_overrides layout;
  layout.set(em_layout.cnv_len, 312);
  layout.set(em_layout.citm_len, 520);
  layout.set(em_layout.citm_ap_off, 381);
  em_cnv_fdb(&f, k, s);
  EXPECT_EQ(f.fdb_rec_len, 312);
  em_citm_fdb(&f, k, s);
  EXPECT_EQ(f.fdb_rec_len, 520);
  EXPECT_EQ(k[1].kdb_sdb[1].sdb_offset, 381);
  EXPECT_EQ(k[2].kdb_sdb[1].sdb_offset, 381);
}

TEST_F(FmDescriptors, StoredFormMatchesGoldenBytesAndReadsBack) {
  FDB f;
  KDB k[kInitMaxKeys];
  SDB s[kInitMaxSegs];
  INIT_DAP_FDB(&f, k, s);
  f.path.fdb_tmp_id = 0x11223344;
  f.fdb_cr_size = 500;
  f.fdb_fmt = 0x5A;
  f.fdb_opt = 0x0d80;
  f.fdb_struct_date[0] = 0x01020304;
  f.fdb_struct_date[1] = 0x05060708;
  f.fdb_arb = reinterpret_cast<ARB*>(&f);  // a pointer is never stored
  f.fdb_stat = 200490;
  f.fdb_stat2 = 7;
  uint8_t got[kFdbStoredSize];
  fdb_store(f, got);
  const uint8_t golden[kFdbStoredSize] = {
      0x44, 0x33, 0x22, 0x11, '0', 'S', 'A', '0',  '0', 'A', 'P',  'P',  'L',  ' ',  ' ', ' ', ' ', ' ',
      ' ',  ' ',  ' ',  ' ',  ' ', '0', '0', 1,    0,   0,   0,    0,    0,    0,    3,   0,   0,   0,
      0xF4, 0x01, 0,    0,    68,  1,   0,   0x5A, 1,   3,   0x0f, 0x0f, 0x80, 0x0d, 0,   0,   4,   3,
      2,    1,    8,    7,    6,   5,   0,   0,    0,   0,   0x2A, 0x0F, 0x03, 0,    7,   0,   0,   0,
  };
  EXPECT_EQ(memcmp(got, golden, sizeof golden), 0);
  FDB back;
  fdb_load(got, &back);
  uint8_t again[kFdbStoredSize];
  fdb_store(back, again);
  EXPECT_EQ(memcmp(again, golden, sizeof golden), 0);
  EXPECT_EQ(back.fdb_kdb, nullptr);
  EXPECT_EQ(back.fdb_arb, nullptr);

  // Key 1 of APPL: three segments, duplicates; its second segment.
  uint8_t kb[kKdbStoredSize], sb[kSdbStoredSize];
  k[1].kdb_len = 7;
  kdb_store(k[1], kb);
  const uint8_t kgold[kKdbStoredSize] = {1, '+', 7, 1, 3, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(memcmp(kb, kgold, sizeof kgold), 0);
  sdb_store(k[1].kdb_sdb[1], sb);
  const uint8_t sgold[kSdbStoredSize] = {2, 0, 2, 0, 2, 0, SDB_CHARS, '+'};
  EXPECT_EQ(memcmp(sb, sgold, sizeof sgold), 0);
  KDB kback;
  SDB sback;
  kdb_load(kb, &kback);
  sdb_load(sb, &sback);
  EXPECT_EQ(kback.kdb_nsegs, 3);
  EXPECT_EQ(kback.kdb_sdb, nullptr);
  EXPECT_EQ(sback.sdb_offset, 2);
  EXPECT_EQ(sback.sdb_len, 2);
}

}  // namespace
}  // namespace kivo
