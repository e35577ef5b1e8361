// The module block's stored bytes, the sub-files a module owns, and the
// record layouts against their descriptors.
#include <cstring>
#include <set>

#include "compiler/em_access.h"
#include "compiler/em_records.h"
#include "em_test_util.h"

namespace kivo {
namespace {

using test::em_fake;
class EmLayout : public test::EmFixture {};

// Every header field with a distinct value; the rows are where they must lie.
struct row {
  uint16_t off;
  uint8_t width;  // 1, 2 or 4; 0 = text
  uint32_t value;
  const char* text;
};
const row kHeader[] = {
    {0, 4, 0x11121314, 0},
    {4, 4, 0x21222324, 0},
    {8, 0, 0, "APP"},
    {11, 0, 0, "07"},
    {13, 1, 0x35, 0},
    {14, 0, 0, "PROCESS NAME OF THIRTY BYTES.."},
    {44, 0, 0, "ENG"},
    {48, 1, 1, 0},
    {49, 1, 2, 0},
    {50, 1, 3, 0},
    {51, 1, 4, 0},
    {52, 1, 1, 0},
    {56, 4, 0xFFFFFFFE, 0},
    {60, 4, 0x00C0FFEE, 0},
    {64, 0, 0, "PCF"},
    {67, 1, 5, 0},
    {68, 1, 6, 0},
    {69, 1, 7, 0},
    {70, 1, 8, 0},
    {71, 1, 9, 0},
    {72, 1, 10, 0},
    {73, 1, 11, 0},
    {74, 0, 0, "XY"},
    {76, 1, 12, 0},
    {80, 0, 0, "ALT"},
    {83, 0, 0, "ALTFILE1"},
    {91, 0, 0, "ALTERNATE KEY FIELD 22"},
    {116, 0, 0, "A TITLE OF SIXTY BYTES FOR THE APPLICATION, PADDED WITH DOTS"},
    {176, 0, 0, "RPA"},
    {179, 0, 0, "REPORT PROCESS NAME, 30 BYTES."},
    {212, 4, 212, 0},
    {216, 4, 216, 0},
    {220, 4, 220, 0},
    {224, 1, 4, 0},
    {225, 1, 10, 0},
    {226, 1, 8, 0},
    {227, 1, 5, 0},
    {228, 4, 228, 0},
    {232, 1, 7, 0},
    {233, 1, 8, 0},
    {234, 1, 8, 0},
    {235, 1, 1, 0},
    {236, 4, 236, 0},
    {240, 4, 240, 0},
    {244, 1, 8, 0},
    {245, 1, 5, 0},
    {248, 4, 18, 0},
    {252, 4, 252, 0},
    {256, 4, 256, 0},
    {260, 4, 260, 0},
    {264, 4, 264, 0},
    {268, 4, 268, 0},
    {272, 4, 272, 0},
    {276, 4, 276, 0},
    {280, 4, 280, 0},
    {284, 4, 284, 0},
    {288, 4, 288, 0},
    {292, 4, 292, 0},
    {296, 4, 296, 0},
    {300, 4, 300, 0},
    {304, 4, 304, 0},
    {1224, 2, 3, 0},
    {1226, 2, 44, 0},
    {1344, 2, 65535, 0},
    {1346, 2, 0, 0},
};

void fill_header(EM* m) {
  auto txt = [](char* dst, const char* s) { memcpy(dst, s, strlen(s)); };
  m->em_stamp1 = 0x11121314, m->em_stamp2 = 0x21222324, m->em_proc_type = 0x35;
  txt(m->em_ap, "APP"), txt(m->em_ver, "07"), txt(m->em_proc_nam, kHeader[5].text), txt(m->em_lang, "ENG");
  m->em_cache_state = 1, m->em_dbg_flag = 2, m->em_saved = 3, m->em_rcv_class = 4, m->em_format = 1;
  m->em_secr_class = -2, m->em_pcf_id = 0x00C0FFEE, txt(m->em_pcf_ap, "PCF");
  m->em_pcf_key = 5, m->em_pcf_hold = 6, m->em_qry_mode_dflt = 7, m->em_tag_mode = 8, m->em_alog_mode = 9;
  m->em_ap_err_cancel = 10, m->em_no_acc_secr = 11, m->em_area13[0] = 'X', m->em_area13[1] = 'Y', m->em_area3 = 12;
  txt(m->em_alt_ap, "ALT"), txt(m->em_alt_fi, "ALTFILE1"), txt(m->em_alt_key, kHeader[26].text);
  txt(m->em_ap_title, kHeader[27].text), txt(m->em_rpt_ap, "RPA"), txt(m->em_rpt_nam, kHeader[29].text);
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

TEST_F(EmLayout, StoredBlockHoldsEveryFieldAtItsOffsetAndReadsBack) {
  EM m{};
  fill_header(&m);
  uint8_t golden[kEmStoredSize] = {}, got[kEmStoredSize], again[kEmStoredSize];
  for (const row& r : kHeader) {
    if (r.width == 0) memcpy(golden + r.off, r.text, strlen(r.text));
    for (int i = 0; i < r.width; ++i) golden[r.off + i] = static_cast<uint8_t>(r.value >> (8 * i));
  }
  em_store(m, got);
  for (size_t i = 0; i < kEmStoredSize; ++i) ASSERT_EQ(got[i], golden[i]) << "byte " << i;
  EM back{};
  em_load(golden, &back);
  em_store(back, again);
  EXPECT_EQ(memcmp(again, golden, kEmStoredSize), 0);
  EXPECT_EQ(back.em_secr_class, -2);
  EXPECT_EQ(back.em_chg_stamp.last, 1);
  EXPECT_EQ(back.em_ep[0].off, 44);
  EXPECT_EQ(back.em_pool, nullptr);  // the run-time part is not stored
}

TEST_F(EmLayout, CreateMakesEverySubFileAndDestroyReleasesAll) {
  struct {
    int fail_at;  // -1 all succeed; -2 no open built
    bool made;
  } cases[] = {{-1, true}, {0, false}, {13, false}, {EM_SUB_COUNT - 1, false}, {-2, false}};
  for (auto c : cases) {
    SetUp();
    if (c.fail_at == -2) em_files = {};
    em_fake::fail_at = c.fail_at;
    uint32_t blocks = mm_total_blocks();
    EM* m = em_create();
    EXPECT_EQ(m != nullptr, c.made) << c.fail_at;
    if (m) {
      std::set<std::string> paths;
      for (int s = 0; s < EM_SUB_COUNT; ++s) {
        em_fake::file* f = em_fake::of(em_sub_arb(m, static_cast<em_sub>(s)));
        ASSERT_NE(f, nullptr) << s;
        EXPECT_EQ(f->fdb.fdb_fs_type, FS_MEMORY);
        paths.insert(std::string(reinterpret_cast<const char*>(&f->fdb.path), sizeof(FDB_PATH)));
      }
      EXPECT_EQ(paths.size(), size_t{EM_SUB_COUNT});  // no two sub-files share a path
      EXPECT_EQ(m->em_ep[5].blk, kNoCode);
      em_destroy(m);
    } else {
      EXPECT_FALSE(em_fake::errors.empty());
    }
    EXPECT_TRUE(em_fake::open.empty()) << c.fail_at;
    EXPECT_EQ(mm_total_blocks(), blocks) << c.fail_at;
  }
}

TEST_F(EmLayout, RecordLayoutsFitTheirSubFiles) {
  struct {
    em_sub sub;
    size_t len;
  } rows[] = {{EM_FI, CFI_LEN},  {EM_FL, CFLD_LEN},    {EM_AP, CAP_LEN},  {EM_LF, DLF_LEN},
              {EM_FR, CFRM_LEN}, {EM_IM, CIMG_LEN},    {EM_CR, CCHR_LEN}, {EM_CL, CCHLD_LEN},
              {EM_TO, TOC_LEN},  {EM_TP, TRAP_LEN},    {EM_LI, CLIB_LEN}, {EM_PK, PK_LEN},
              {EM_SR, SR_LEN},   {EM_IN, kInstRecLen}, {EM_QL, 112},      {EM_QO, 92}};
  for (auto r : rows) {
    FDB f;
    KDB k[kInitMaxKeys];
    SDB s[kInitMaxSegs];
    em_sub_fdb(r.sub, &f, k, s);
    EXPECT_EQ(f.fdb_rec_len, r.len) << int{r.sub};
    for (int i = 0; i < f.fdb_nkeys; ++i)
      for (int j = 0; j < k[i].kdb_nsegs; ++j)
        EXPECT_LE(size_t{k[i].kdb_sdb[j].sdb_offset} + k[i].kdb_sdb[j].sdb_len, r.len) << int{r.sub};
  }
}

}  // namespace
}  // namespace kivo
