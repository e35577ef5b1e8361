// The module block's stored bytes, the sub-files a module owns, and the
// record layouts against their descriptors.
#include <cstdio>
#include <cstring>
#include <set>
#include <utility>

#include "compiler/em_access.h"
#include "em_test_util.h"
#include "foundation/hex_dump.h"

namespace kivo {
namespace {

class EmLayout : public test::EmFixture {};

void fill_header(EM* m) {
  auto txt = [](char* dst, const char* s) { memcpy(dst, s, strlen(s)); };
  m->em_stamp1 = 0x11121314, m->em_stamp2 = 0x21222324, m->em_proc_type = 0x35;
  txt(m->em_ap, "APP"), txt(m->em_ver, "07"), txt(m->em_proc_nam, "PROCESS NAME OF THIRTY BYTES.."),
      txt(m->em_lang, "ENG");
  m->em_cache_state = 1, m->em_dbg_flag = 2, m->em_saved = 3, m->em_rcv_class = 4, m->em_format = 1;
  m->em_secr_class = -2, m->em_pcf_id = 0x00C0FFEE, txt(m->em_pcf_ap, "PCF");
  m->em_pcf_key = 5, m->em_pcf_hold = 6, m->em_qry_mode_dflt = 7, m->em_tag_mode = 8, m->em_alog_mode = 9;
  m->em_ap_err_cancel = 10, m->em_no_acc_secr = 11, m->em_area13[0] = 'X', m->em_area13[1] = 'Y', m->em_area3 = 12;
  txt(m->em_alt_ap, "ALT"), txt(m->em_alt_fi, "ALTFILE1"), txt(m->em_alt_key, "ALTERNATE KEY FIELD 22");
  txt(m->em_ap_title, "A TITLE OF SIXTY BYTES FOR THE APPLICATION, PADDED WITH DOTS"), txt(m->em_rpt_ap, "RPA"),
      txt(m->em_rpt_nam, "REPORT PROCESS NAME, 30 BYTES.");
  m->em_add_user_off = 212, m->em_chg_user_off = 216, m->em_add_stamp = {220, 4, 10, 8, 5};
  m->em_chg_stamp = {228, 7, 8, 8, 1}, m->em_del_flag_off = 236, m->em_ref_cnt_off = 240;
  m->em_ref_cnt_type = 8, m->em_ref_cnt_len = 5, m->em_cns_rec = 18;
  uint32_t* counts[] = {&m->em_area_cnt, &m->em_frm_cnt,  &m->em_img_cnt,  &m->em_itm_cnt,
                        &m->em_chld_cnt, &m->em_cnst_cnt, &m->em_inst_cnt, &m->em_toc_cnt,
                        &m->em_trap_cnt, &m->em_lib_cnt,  &m->em_cfi_cnt,  &m->em_fld_cnt};
  for (int i = 0; i < 12; ++i) *counts[i] = 252 + 4 * static_cast<uint32_t>(i);
  m->em_add_stamp_msk = 300, m->em_chg_stamp_msk = 304;
  m->em_ep[0] = {3, 44}, m->em_ep[30] = {65535, 0};
}

// Every header field holds a distinct value; the golden dump pins where each
// lies (texts show in its character column) and that the rest is zero.
TEST_F(EmLayout, StoredBlockMatchesGoldenBytesAndReadsBack) {
  EM m{}, back{};
  fill_header(&m);
  uint8_t got[kEmStoredSize], again[kEmStoredSize];
  em_store(m, got);
  char* dump = nullptr;
  size_t len = 0;
  FILE* f = open_memstream(&dump, &len);
  ut_hex_dump(f, got, kEmStoredSize);
  fclose(f);
  EXPECT_EQ(std::string(dump, len), test::golden("compiler/em_block_golden.txt"));
  free(dump);
  em_load(got, &back);
  em_store(back, again);
  EXPECT_EQ(memcmp(again, got, kEmStoredSize), 0);
  EXPECT_EQ(back.em_secr_class, -2);
  EXPECT_EQ(back.em_chg_stamp.last, 1);
  EXPECT_EQ(back.em_ep[0].off, 44);
  EXPECT_EQ(back.em_pool, nullptr);  // the run-time part is not stored
}

TEST_F(EmLayout, ModulesOwnTheirSubFilesAndDestroyReleasesAll) {
  // The create call that fails (-1 none; -2 no create at all) and whether a module comes.
  std::pair<int, bool> cases[] = {{-1, true}, {0, false}, {13, false}, {EM_SUB_COUNT - 1, false}, {-2, false}};
  for (auto [fail, made] : cases) {
    SetUp();
    if (fail == -2) hooks_.set(em_files.create, nullptr);
    fail_at = fail;
    uint32_t blocks = mm_total_blocks(), lfns = ctl_count_lfn(), pfbs = ctl_count_pfb();
    EM *m = em_create(), *other = made ? em_create() : nullptr;
    EXPECT_EQ(m != nullptr, made) << fail;
    EXPECT_EQ(test::captured_errors().empty(), made) << fail;
    if (m) {
      std::set<std::string> paths;
      for (EM* e : {m, other})
        for (int s = 0; s < EM_SUB_COUNT; ++s)
          paths.insert(std::string(reinterpret_cast<const char*>(fm_path(em_sub_arb(e, em_sub(s)))), sizeof(FDB_PATH)));
      EXPECT_EQ(paths.size(), 2u * EM_SUB_COUNT) << "two sub-files share a path";
      ASSERT_EQ(em_append(m, EM_TO, reinterpret_cast<const uint8_t*>("twelve bytes"), 12), 1u);
      EXPECT_EQ(em_append(m, EM_TO, reinterpret_cast<const uint8_t*>("eleven byte"), 11), 0u) << "fixed length";
      EXPECT_EQ(MADDR(other->em_toc_arb, 1), nullptr) << "two modules share records";
      EXPECT_EQ(memcmp(MADDR(m->em_toc_arb, 1), "twelve bytes", 12), 0);
      EXPECT_EQ(m->em_ep[5].blk, kNoCode);
      em_destroy(other);
      em_destroy(m);
    }
    EXPECT_EQ(ctl_count_lfn(), lfns) << fail;
    EXPECT_EQ(ctl_count_pfb(), pfbs) << fail;
    EXPECT_EQ(mm_total_blocks(), blocks) << fail;
    test::captured_errors().clear();
    TearDown();
  }
}

}  // namespace
}  // namespace kivo
