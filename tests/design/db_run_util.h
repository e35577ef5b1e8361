// A data directory with the real compiler, loader, interpreter and ACTION
// process engine, where the restructure and verify runs write, compile and
// run their generated processes: APP 01's dictionary written (and written
// again changed) from a design source, its data file DATA created with its
// STRUCT file and filled, the run's MESSAGE1 and MESSAGE2 files.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "../process/exec_test_util.h"
#include "compiler/compiler.h"
#include "compiler/rt_names.h"
#include "design/db_restruct.h"
#include "design/dd.h"
#include "design/dd_msg.h"
#include "design/design_builder.h"
#include "design/mu_xlate.h"
#include "fm/fm_switch.h"
#include "fm/fm_sysadm.h"
#include "fm/struct_file.h"
#include "interp/ii_run.h"
#include "process/ap.h"
#include "process/fp.h"
#include "process/pi_internal.h"
#include "process/pi_pcf.h"
#include "types/element.h"
#include "types/pd.h"

namespace kivo::test {

// DATA as first written: record i holds ID "R<i>", AMT i*37-5000
// hundredths, CNT -i, a zero WHEN and LIST "L<k><i%100>" three times.
inline const char* const kOld = R"(APPLICATION APP 01
FILE DATA
  ID      A8    key=primary
  AMT     P7.2S
  CNT     B5S
  WHEN    D7:8-1
  LIST    A4    occurs=3
END
)";

class DbRunFixture : public ExecFixture {
 protected:
  void SetUp() override {
    // The routine file of a test before is gone with its session.
    compiler_hooks.ifns_arb = nullptr;
    ExecFixture::SetUp();
    self_ = this;
    unsetenv("KIVO_VFY_RESTRUCT");
    unsetenv("KIVO_TRAP_RESTRUCT");
    const std::string kivo = KIVO_BINARY;
    std::filesystem::copy(kivo.substr(0, kivo.rfind('/')) + "/data/00/0LA", data_ + "/00/0LA",
                          std::filesystem::copy_options::recursive | std::filesystem::copy_options::skip_existing);
    fms_select.get_dap = [](const char*, const char*) -> const uint8_t* {
      static uint8_t appl[324];
      memset(appl, ' ', sizeof appl);
      return appl;
    };
    fms_select.get_ddb = [](const char*) -> const uint8_t* {
      static uint8_t db[512];
      memset(db, ' ', sizeof db);
      return db;
    };
    pl_init();
    ii_init(), sc_init();
    rt_err_arb = nullptr, rt_init();
    pi_register_hooks();
    pi_pcf_register();
    for (int t = 0; t <= kProcTypes; ++t) saved_rows_[t] = pi_type_rows[t];
    ap_init();
    fp_init();
    ii_hooks.proc_exec = nullptr;
    // Every compiled file may lie outside SYSDIR, as the test's data files do.
    pi_hooks.open_fi = [](PCB* p) {
      EM* em = p->pcb_em;
      uint8_t key[CFI_LEN] = {};
      PROTO_FULL(em->em_cfi_arb, 0, key);
      em->em_cfi_arb->arb_mod = ARB_FIRST;
      fm_start(em->em_cfi_arb);
      while (uint8_t* c = fm_rdnxt_fast(em->em_cfi_arb, 0)) {
        st_le32(c, FDB_OPT, ld_le32(c, FDB_OPT) | LFB_ANY_DIR);
        memcpy(c + FDB_DB, "DB1", 3);
      }
      pi_open_fi_run(p);
    };
    // The run's database DB1 has a record of its own.
    pi_hooks.get_ddb = [](const char*) -> const uint8_t* {
      static uint8_t db[kDatabaseRecLen];
      memset(db, ' ', sizeof db);
      return db;
    };
    memset(com.user_id, ' ', 3), memcpy(com.user_id, "USR", 3);
    FDB ap;
    KDB ak[kInitMaxKeys];
    SDB as[kInitMaxSegs];
    INIT_DAP_FDB(&ap, ak, as);
    ASSERT_EQ(FM_CREATE(&ap, com.sys_scope, 0, LFB_OPEN_NEW, 15, 15), 1) << ap.fdb_stat;
    FM_CLOSE(ap.fdb_arb, 0);
    ASSERT_EQ(mu_init(), 1);
    m1_ = msg_file(INIT_MSG1_FDB), m2_ = msg_file(INIT_MSG2_FDB);
    ASSERT_TRUE(m1_ && m2_);
  }
  void TearDown() override {
    ii_dbg_hooks = {};
    pi_hooks.get_ddb = nullptr;
    for (int t = 0; t <= kProcTypes; ++t) pi_type_rows[t] = saved_rows_[t];
    pl_discard_all();
    rt_err_arb = nullptr, compiler_hooks.ifns_arb = nullptr;
    mu_forget();
    ExecFixture::TearDown();
  }
  static ARB* msg_file(void (*init)(FDB*, KDB*, SDB*, const char*, const char*)) {
    FDB f;
    KDB k[kInitMaxKeys];
    SDB s[kInitMaxSegs];
    init(&f, k, s, "APP", "01");
    return FM_CREATE(&f, com.sys_scope, 0, LFB_OPEN_NEW | kAnyFile, 15, 15) ? f.fdb_arb : nullptr;
  }
  static FDB_PATH path(const char* name = "DATA") {
    FDB_PATH p{};
    char n[9];
    snprintf(n, sizeof n, "%-8s", name);
    INIT_DB_PATH(&p, "DB1", "APP", "01", n, PATH_DATA);
    return p;
  }
  // The dictionary of APP 01 from `src` afresh, the FILE records of
  // DATA (and LONG when there) with structure date `date`.
  void dictionary(const std::string& src, uint32_t date) {
    {
      DesignBuilder b("APP", "01", com.sys_scope);
      ASSERT_EQ(b.scratch_all(), 1) << b.error();
    }
    const design_source_result r = design_source_build(src, "t", com.sys_scope, "APP");
    ASSERT_TRUE(r.ok) << r.error;
    DesignBuilder b("APP", "01", com.sys_scope);
    ARB* a = b.handle(DF_FILE);
    for (const char* name : {"DATA    ", "LONG    ", "LOOK    "}) {
      uint8_t fi[kFileRecSize] = {};
      memcpy(fi + FI_NAME, name, 8);
      if (!dd_read(a, 0, fi, kFileRecSize, true)) continue;
      st_le32(fi, FI_STRUCT, date), st_le32(fi, FI_STRUCT + 4, date);
      ASSERT_EQ(dd_rewrite(a, fi, kFileRecSize), 1);
    }
    b.close_all();
  }
  // Offsets and sizes of the fields of DATA by name, in the dictionary now.
  std::map<std::string, std::pair<uint16_t, uint16_t>> fields(const char* file = "DATA    ") {
    std::map<std::string, std::pair<uint16_t, uint16_t>> out;
    DesignBuilder b("APP", "01", com.sys_scope);
    std::vector<std::vector<uint8_t>> elems;
    uint8_t from[kElementSize] = {};
    memcpy(from + ELEM_FILE, file, 8);
    dd_scan(
        b.handle(DF_ELEMENT), 2, from, kElementSize,
        [](const uint8_t* r, const uint8_t* f) { return memcmp(r + ELEM_FILE, f + ELEM_FILE, 8) == 0; }, &elems);
    b.close_all();
    for (auto& e : elems) {
      std::string n(reinterpret_cast<char*>(e.data() + ELEM_NAME), 22);
      out[n.erase(n.find_last_not_of(' ') + 1)] = {ld_le16(e.data(), ELEM_OFFSET), ld_le16(e.data(), ELEM_SIZE)};
    }
    return out;
  }
  ARB* open_data(uint16_t* len, const char* name = "DATA") {
    static FDB f;
    static KDB k[kFileMaxKeys];
    static SDB s[kMuMaxSegs];
    if (!mu_bld_native_fdb(&f, k, s, path(name), 2, m1_, m2_)) return nullptr;
    *len = f.fdb_rec_len;
    return FM_OPEN(&f, com.sys_scope, LFB_ANY_DIR, 15, 15) ? f.fdb_arb : nullptr;
  }
  // The old file of kOld with `n` records.
  // DATA's SYSDIR record: checked, in DB1's own directory.
  static void sysdir_entry() {
    FDB f;
    KDB k[kInitMaxKeys];
    SDB s[kInitMaxSegs];
    INIT_DSYSDIR_FDB(&f, k, s);
    if (!FM_OPEN(&f, com.sys_scope, 0, 15, 15)) {
      INIT_DSYSDIR_FDB(&f, k, s);
      ASSERT_EQ(FM_CREATE(&f, com.sys_scope, 0, LFB_OPEN_NEW, 15, 15), 1) << f.fdb_stat;
    }
    uint8_t r[kSysdirLen];
    memset(r, ' ', sizeof r);
    memcpy(r + SYSDIR_DB, "DB1APP  DATA    ", 16);
    st_le32(r, SYSDIR_REDIRECT, 0), st_le16(r, SYSDIR_FS_TYPE, 1);
    r[SYSDIR_CHECK] = '1';
    st_le32(r, SYSDIR_STAMP, kStampUnknown), st_le32(r, SYSDIR_STAMP + 4, 0);
    uint8_t there[kSysdirLen];
    memcpy(there, r, sizeof r);
    if (!dd_read(f.fdb_arb, 0, there, kSysdirLen, false)) {
      ASSERT_EQ(dd_write(f.fdb_arb, r, kSysdirLen), 1);
    }
    FM_CLOSE(f.fdb_arb, 0);
  }
  // The data file `name` created from the dictionary, with its STRUCT file.
  void create(const char* name = "DATA") {
    FDB f;
    KDB k[kFileMaxKeys];
    SDB s[kMuMaxSegs];
    ASSERT_EQ(mu_bld_native_fdb(&f, k, s, path(name), 1, m1_, m2_), 1) << f.fdb_stat;
    ASSERT_EQ(FM_CREATE(&f, com.sys_scope, 0, LFB_OPEN_NEW | LFB_ANY_DIR, 15, 15), 1) << f.fdb_stat;
    FM_CLOSE(f.fdb_arb, 0);
  }
  void scratch(const char* name = "DATA") {
    FDB f;
    KDB k[kFileMaxKeys];
    SDB s[kMuMaxSegs];
    if (mu_bld_native_fdb(&f, k, s, path(name), 2, m1_, m2_)) FM_SCRATCH(&f, LFB_ANY_DIR | LFB_FORCE);
    captured_errors().clear();
  }
  void old_file(int n) {
    dictionary(kOld, 1);
    create();
    sysdir_entry();
    auto fl = fields();
    uint16_t len = 0;
    ARB* a = open_data(&len);
    ASSERT_NE(a, nullptr);
    for (int i = 0; i < n; ++i) {
      std::vector<uint8_t> r(len, ' ');
      char t[16];
      snprintf(t, sizeof t, "R%07d", i), memcpy(r.data() + fl["ID"].first, t, 8);
      pd_put(r.data() + fl["AMT"].first, fl["AMT"].second, i * 37 - 5000);
      st_le32(r.data(), fl["CNT"].first, static_cast<uint32_t>(-i));
      memset(r.data() + fl["WHEN"].first, 0, fl["WHEN"].second);
      for (int o = 0; o < 3; ++o)
        snprintf(t, sizeof t, "L%d%02d", o, i % 100), memcpy(r.data() + fl["LIST"].first + 4 * o, t, 4);
      a->arb_rec = r.data(), a->arb_len = len, a->arb_var_len = len, a->arb_mod = 0;
      ASSERT_EQ(fm_write(a), 1) << i;
    }
    FM_CLOSE(a, 0);
  }
  static void pd_put(uint8_t* p, size_t len, int64_t v) {
    memset(p, 0, len);
    const bool neg = v < 0;
    uint64_t u = static_cast<uint64_t>(neg ? -v : v);
    p[len - 1] = static_cast<uint8_t>((u % 10) << 4 | (neg ? 0xD : 0xC));
    u /= 10;
    for (size_t i = len - 1; i-- > 0 && u;) {
      p[i] = static_cast<uint8_t>(u % 10 | (u / 10 % 10) << 4);
      u /= 100;
    }
  }
  std::vector<std::vector<uint8_t>> all_records(uint16_t* len, const char* name = "DATA") {
    std::vector<std::vector<uint8_t>> out;
    ARB* a = open_data(len, name);
    if (!a) return out;
    std::vector<uint8_t> r(*len);
    PROTO_FULL(a, 0, r.data());
    a->arb_len = *len, a->arb_mod = ARB_FIRST;
    if (fm_start(a))
      for (;;) {
        a->arb_rec = r.data(), a->arb_len = *len, a->arb_var_len = 0, a->arb_mod = 0;
        if (!fm_rdnxt(a)) break;
        out.push_back(r);
      }
    FM_CLOSE(a, 0);
    return out;
  }
  std::string findings() {
    std::string out;
    uint8_t r[kMsg2Size];
    PROTO_FULL(m2_, 0, r);
    m2_->arb_len = kMsg2Size, m2_->arb_mod = ARB_FIRST;
    if (!fm_start(m2_)) return out;
    m2_->arb_mod = 0;
    while (fm_rdnxt(m2_)) out += std::string(reinterpret_cast<char*>(r + M2_TEXT), ld_le16(r, M2_TEXT_LEN)) + "|";
    return out;
  }

  static inline DbRunFixture* self_;
  pi_type_row saved_rows_[kProcTypes + 1];
  ARB* m1_ = nullptr;
  ARB* m2_ = nullptr;
};

}  // namespace kivo::test
