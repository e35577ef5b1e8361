// A data directory with the real compiler, loader, interpreter and ACTION
// process engine, where the restructure and verify runs write, compile and
// run their generated processes: APP 01's dictionary written (and written
// again changed) from a design source, in process or compiled by
// kivo_design -c from the test application tests/design/restruct_app.dsgn,
// its data file DATA created with its STRUCT file and filled, a model of
// the conversion of its records, the run's MESSAGE1 and MESSAGE2 files.
#pragma once

#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "../fixtures/hook_override.h"
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
#include "types/std_date.h"

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

// A field of a record layout: where it lies, one occurrence's size, how
// often it occurs, its element type, digits (or highest level) and
// decimals (or lowest level).
struct field_desc {
  uint16_t offset, size, occurs;
  uint8_t type, hi, lo;
};

class DbRunFixture : public ExecFixture {
 protected:
  void SetUp() override {
    // The routine file of a test before is gone with its session.
    rt_ifns_arb = nullptr;
    ExecFixture::SetUp();
    self_ = this;
    unsetenv("KIVO_VFY_RESTRUCT");
    unsetenv("KIVO_TRAP_RESTRUCT");
    const std::string kivo = KIVO_BINARY;
    std::filesystem::copy(kivo.substr(0, kivo.rfind('/')) + "/shipped_data/00/0LA", data_ + "/00/0LA",
                          std::filesystem::copy_options::recursive | std::filesystem::copy_options::skip_existing);
    hooks_.set(fms_select.get_dap, [](const char*, const char*) -> const uint8_t* {
      static uint8_t appl[324];
      memset(appl, ' ', sizeof appl);
      return appl;
    });
    hooks_.set(fms_select.get_ddb, [](const char*) -> const uint8_t* {
      static uint8_t db[512];
      memset(db, ' ', sizeof db);
      return db;
    });
    hooks_.set(compiler_seams.pl_get, pl_get_module);  // the loader itself
    ii_init(), sc_init();
    rt_err_arb = nullptr, rt_init(), interp_register_hooks();
    pi_pcf_register();
    for (pi_type_row& row : pi_type_rows) hooks_.keep(row);
    ap_init();
    fp_init();
    hooks_.set(interp_seams.proc_exec, ii_proc_exec_own);  // the real event points
    // Every compiled file may lie outside SYSDIR, as the test's data files do.
    hooks_.set(process_seams.open_fi, [](PCB* p) {
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
    });
    // The run's database DB1 has a record of its own.
    hooks_.set(process_seams.get_ddb, [](const char*) -> const uint8_t* {
      static uint8_t db[kDatabaseRecLen];
      memset(db, ' ', sizeof db);
      return db;
    });
    memset(com.user_id, ' ', 3), memcpy(com.user_id, "USR", 3);
    FDB ap;
    KDB ak[kInitMaxKeys];
    SDB as[kInitMaxSegs];
    INIT_DAP_FDB(&ap, ak, as);
    ASSERT_EQ(FM_CREATE(&ap, com.sys_scope, 0, LFB_OPEN_NEW, 15, 15), 1) << ap.fdb_stat;
    FM_CLOSE(ap.fdb_arb, 0);
    ASSERT_EQ(mu_init(), 1);
    // The restructure's verdicts that are no failure, which a call by name files.
    FDB mf;
    KDB mk[kInitMaxKeys];
    SDB ms[kInitMaxSegs];
    INIT_DMSG_FDB(&mf, mk, ms, "00");
    ASSERT_EQ(FM_OPEN(&mf, com.sys_scope, kAnyFile, 15, 15), 1);
    for (auto& [no, text] : {std::pair{RS_SAME, "structure unchanged"}, std::pair{RS_CONVERTED, "data converted"}}) {
      uint8_t rec[kMsgRecMax] = {};
      st_le32(rec, MSG_NUMBER, no), st_le16(rec, MSG_CLASS, 0);
      memcpy(rec + MSG_TEXT, text, strlen(text));
      mf.fdb_arb->arb_rec = rec, mf.fdb_arb->arb_var_len = uint16_t(MSG_TEXT + strlen(text));
      ASSERT_EQ(fm_write(mf.fdb_arb), 1);
    }
    FM_CLOSE(mf.fdb_arb, 0);
    m1_ = msg_file(INIT_MSG1_FDB), m2_ = msg_file(INIT_MSG2_FDB);
    ASSERT_TRUE(m1_ && m2_);
  }
  void TearDown() override {
    pl_discard_all();
    rt_err_arb = nullptr, rt_ifns_arb = nullptr;
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
  // The test application's source (tests/design/restruct_app.dsgn).
  static std::string app_source() {
    std::ifstream in(std::string(KIVO_SOURCE_DIR) + "/tests/design/restruct_app.dsgn");
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  // `src` with its line part `from` replaced by `to` (`from` must be there).
  static std::string with(std::string src, const std::string& from, const std::string& to) {
    const size_t at = src.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return at == std::string::npos ? src : src.replace(at, from.size(), to);
  }
  // kivo_design -c of `src` into the data directory, as the build compiles
  // its dictionaries; `fresh` writes the version's design files from
  // nothing (-r), so that the FILE record and its structure date are new.
  // A fault (exit status 2 and up) fails the test with the tool's listing.
  void compile_app(const std::string& src, bool fresh) {
    const std::string source = data_ + "/app.dsgn", listing = data_ + "/app.lst";
    std::ofstream(source) << src;
    const std::string cmd = std::string("ASAN_OPTIONS=detect_leaks=0 ") + KIVO_DESIGN + (fresh ? " -r" : "") +
                            " -c -d " + data_ + " " + source + " </dev/null >" + listing + " 2>&1";
    const int st = std::system(cmd.c_str());
    std::ifstream in(listing);
    ASSERT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) < 2) << st << "\n"
                                                      << std::string(std::istreambuf_iterator<char>(in), {});
  }
  // The initial image of `file`'s record of `len` bytes in the dictionary now.
  std::vector<uint8_t> initial_image(size_t len, const char* file = "DATA    ") {
    DesignBuilder b("APP", "01", com.sys_scope);
    std::vector<std::vector<uint8_t>> recs;
    uint8_t from[kInitRecMax] = {};
    memcpy(from + INIT_FILE, file, 8);
    from[INIT_KIND] = INIT_VALUES;
    dd_scan(
        b.handle(DF_INITIAL), 0, from, kInitRecMax,
        [](const uint8_t* r, const uint8_t* f) { return memcmp(r, f, INIT_KIND + 1) == 0; }, &recs);
    b.close_all();
    std::vector<uint8_t> image;
    for (auto& r : recs) image.insert(image.end(), r.begin() + INIT_DATA, r.end());
    image.resize(len);
    return image;
  }
  // The record a conversion from layout `from` to layout `to` must make of
  // `old`: each field of `to` found in `from` (by its name, or the old name
  // `renamed` gives) is carried over, occurrence by occurrence, as far as
  // both have them; a value that does not fit, and every field or
  // occurrence not carried, keeps its initial value from `initial`.
  static std::vector<uint8_t> model_record(const std::vector<uint8_t>& old,
                                           const std::map<std::string, field_desc>& from,
                                           const std::map<std::string, field_desc>& to,
                                           const std::vector<uint8_t>& initial,
                                           const std::map<std::string, std::string>& renamed = {}) {
    std::vector<uint8_t> r = initial;
    for (auto& [name, t] : to) {
      const auto rn = renamed.find(name);
      const auto it = from.find(rn == renamed.end() ? name : rn->second);
      if (it == from.end()) continue;
      const field_desc& f = it->second;
      for (int o = 0; o < std::min(t.occurs, f.occurs); ++o) {
        const uint8_t* src = old.data() + f.offset + o * f.size;
        uint8_t* dst = r.data() + t.offset + o * t.size;
        if (t.type == 1) {
          memset(dst, ' ', t.size);
          memcpy(dst, src, std::min(t.size, f.size));
        } else if (t.type == 8 || t.type == 5) {
          const int64_t v = t.type == 8 ? pd_cvb(src, f.size) : bin_get(src, f.size);
          int64_t top = 1;
          for (int d = 0; d < t.hi + t.lo; ++d) top *= 10;
          if (v >= top || v <= -top) continue;
          if (t.type == 8) pd_put(dst, t.size, v);
          else bin_put(dst, t.size, v);
        } else if (t.size == f.size) {
          memcpy(dst, src, t.size);
        }
      }
    }
    return r;
  }
  // The fields of `file` by name as the dictionary describes them now.
  std::map<std::string, field_desc> layout(const char* file = "DATA    ") {
    std::map<std::string, field_desc> out;
    DesignBuilder b("APP", "01", com.sys_scope);
    std::vector<std::vector<uint8_t>> elems;
    uint8_t from[kElementSize] = {};
    memcpy(from + ELEM_FILE, file, 8);
    dd_scan(
        b.handle(DF_ELEMENT), 2, from, kElementSize,
        [](const uint8_t* r, const uint8_t* f) { return memcmp(r + ELEM_FILE, f + ELEM_FILE, 8) == 0; }, &elems);
    b.close_all();
    for (auto& rec : elems) {
      const uint8_t* e = rec.data();
      std::string n(reinterpret_cast<const char*>(e + ELEM_NAME), 22);
      out[n.erase(n.find_last_not_of(' ') + 1)] = {ld_le16(e, ELEM_OFFSET),
                                                   ld_le16(e, ELEM_SIZE),
                                                   ld_le16(e, ELEM_OCCURS),
                                                   e[ELEM_TYPE],
                                                   e[ELEM_HI],
                                                   e[ELEM_LO]};
    }
    return out;
  }
  // Offsets and sizes of the fields of DATA by name, in the dictionary now.
  std::map<std::string, std::pair<uint16_t, uint16_t>> fields(const char* file = "DATA    ") {
    std::map<std::string, std::pair<uint16_t, uint16_t>> out;
    for (auto& [name, f] : layout(file)) out[name] = {f.offset, f.size};
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
  // The old file of kOld with `n` records.
  void old_file(int n) {
    dictionary(kOld, 1);
    create();
    sysdir_entry();
    fill(n);
  }
  // DATA of the test application, compiled anew, with `n` records.
  void app_file(int n) {
    compile_app(app_source(), true);
    create();
    sysdir_entry();
    fill(n);
  }
  // `n` records into DATA by the dictionary's layout: record i holds ID
  // "R<i>", AMT i*37-5000 hundredths, CNT -i, WHEN a date of its own (when
  // a binary day), LIST "L<k><i%100>" and SLOT "S<k><i%100>".
  void fill(int n) {
    auto fl = layout();
    uint16_t len = 0;
    ARB* a = open_data(&len);
    ASSERT_NE(a, nullptr);
    for (int i = 0; i < n; ++i) {
      std::vector<uint8_t> r(len, ' ');
      char t[16];
      snprintf(t, sizeof t, "R%07d", i), memcpy(r.data() + fl["ID"].offset, t, 8);
      pd_put(r.data() + fl["AMT"].offset, fl["AMT"].size, i * 37 - 5000);
      bin_put(r.data() + fl["CNT"].offset, fl["CNT"].size, -i);
      ASSERT_TRUE(date_put(r.data() + fl["WHEN"].offset, fl["WHEN"], i)) << i;
      for (const char* name : {"LIST", "SLOT"})
        if (fl.count(name))
          for (int o = 0; o < fl[name].occurs; ++o)
            snprintf(t, sizeof t, "%c%d%02d", name[0], o, i % 100), memcpy(r.data() + fl[name].offset + 4 * o, t, 4);
      a->arb_rec = r.data(), a->arb_len = len, a->arb_var_len = len, a->arb_mod = 0;
      ASSERT_EQ(fm_write(a), 1) << i;
    }
    FM_CLOSE(a, 0);
  }
  static void bin_put(uint8_t* p, size_t len, int64_t v) {
    for (size_t b = 0; b < len; ++b) p[b] = static_cast<uint8_t>(static_cast<uint64_t>(v) >> (8 * b));
  }
  static int64_t bin_get(const uint8_t* p, size_t len) {
    uint64_t u = 0;
    for (size_t b = 0; b < len; ++b) u |= uint64_t{p[b]} << (8 * b);
    const int shift = static_cast<int>(64 - 8 * len);
    return static_cast<int64_t>(u << shift) >> shift;
  }
  // A binary day date of record i (another day for each); any other date
  // form is left zero.
  static bool date_put(uint8_t* p, const field_desc& f, int i) {
    memset(p, 0, f.size);
    if (f.type != DT_BIN || f.size != 4) return true;
    std_date d{};
    d.raw = p, d.raw_len = 4, d.type = DT_BIN, d.first = f.hi, d.last = f.lo;
    memset(d.part, kPartNotGiven, sizeof d.part);
    d.at(LVL_CENTURY) = 19 + i % 2, d.at(LVL_YEAR) = static_cast<int8_t>(i % 100);
    d.at(LVL_MONTH) = static_cast<int8_t>(1 + i % 12), d.at(LVL_DAY) = static_cast<int8_t>(1 + i % 28);
    return cv_ston_date(&d) == 1;
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
  // Every record of the file in the order of key `keyno`.
  std::vector<std::vector<uint8_t>> all_records(uint16_t* len, const char* name = "DATA", uint8_t keyno = 0) {
    std::vector<std::vector<uint8_t>> out;
    ARB* a = open_data(len, name);
    if (!a) return out;
    std::vector<uint8_t> r(*len);
    PROTO_FULL(a, keyno, r.data());
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
  ARB* m1_ = nullptr;
  ARB* m2_ = nullptr;
};

}  // namespace kivo::test
