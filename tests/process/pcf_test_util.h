// The PCF operations inside a running process: processes of "0DN" compiled
// from a design source, whose Start of Process event (the event-point
// double) runs the test's body with the process's PCB; the double also
// lets an event point ask to stop. Fixture modules (proc) stand for the
// processes a test only counts, such as "CANCEL DYNAKEY".
#pragma once

#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "compiler/compiler.h"
#include "compiler/em_access.h"
#include "exec_test_util.h"
#include "fm/fm_open.h"
#include "fm/fm_record.h"
#include "fm/fm_status.h"
#include "interp/ii_run.h"
#include "process/pi_hooks.h"
#include "process/pi_internal.h"
#include "process/pi_pcf.h"

namespace kivo::test {

inline std::string str(const uint8_t* p, size_t n) { return std::string(reinterpret_cast<const char*>(p), n); }

// The STDMLOG lines past the first *seen (counted on), one text line each:
// kind, application, name, occurrence, old value, new value.
inline std::string mlog_lines(ARB* log, uint32_t* seen) {
  std::string out;
  uint8_t r[kMlogRecLen];
  log->arb_rec = r, log->arb_len = kMlogRecLen, log->arb_keyno = 0, log->arb_key = nullptr;
  log->arb_mod = ARB_FIRST;
  fm_start(log);
  for (uint32_t n = 0; log->arb_mod = 0, fm_rdnxt(log); ++n) {
    if (n < *seen) continue;
    char head[16];
    snprintf(head, sizeof head, "%3u|", r[MLOG_KIND]);
    out += head + str(r + MLOG_AP, 3) + "|" + str(r + MLOG_NAME, 30) + "|" + std::to_string(r[MLOG_OCC]) + "|" +
           str(r + MLOG_OLD, 40) + "|" + str(r + MLOG_NEW, 40) + "\n";
    ++*seen;
  }
  return out;
}

// CUST (native, 120 bytes): key REGION + LAST + FIRST, a balance, three
// quantities, a security code, the stamp, user and protection fields.
// ORDERS: the child's file, keyed on region and last name, with a field of
// data type 14 (no display conversion of its own).
constexpr const char* kPcfSource = R"(APPLICATION 0DN 01
FILE CUST fs=1 len=140
  "CUST KEY"  G44 @0 key=primary
  REGION      A4  @0
  LAST        A20 @4
  FIRST       A20 @24
  BALANCE     B9S @44
  QTY         B4  @48 occurs=3
  SECR        A4  @54
  ADDUSR      A3  @58 special=7
  CHGUSR      A3  @61 special=8
  ADDDT       D7:8-5 @64 special=5
  CHGDT       D7:8-5 @72 special=6
  DELFLG      A1  @80 special=1
  REFCNT      B4  @81 special=3
  CITY        A10 @83
END
FILE ORDERS fs=2 len=40
  "ORD KEY"   G24 @0 key=primary
  OREGION     A4  @0
  OLAST       A20 @4
  ONO         B4  @24
  OCODE       T14:4 @28
END
PROCESS 2 CUSTIN pcf_ap=0DN pcf_file=CUST pcf_update=1 pcf_required=1
FRAME 2 CUSTIN 0 1
CHILD 2 CUSTIN 0 1 0 1 1 ap=0DN proc_type=2 name=ORDIN invoc=0 on_change=3 links=2 link1_ap=0DN link1_field=REGION link2_ap=0DN link2_field=LAST
CHILD 2 CUSTIN 0 1 0 1 2 ap=0DN proc_type=2 name=ORDDEL invoc=0 on_delete=1 links=1 link1_ap=0DN link1_field=REGION
PROCESS 4 CUSTACT pcf_ap=0DN pcf_file=CUST pcf_update=1 pcf_required=1
FRAME 4 CUSTACT 0 1
CHILD 4 CUSTACT 0 1 0 1 1 ap=0DN proc_type=2 name=ORDIN invoc=0 on_change=3 links=2 link1_ap=0DN link1_field=REGION link2_ap=0DN link2_field=LAST
PROCESS 2 PLAIN pcf_ap=0DN pcf_file=CUST pcf_update=1 pcf_required=1
PROCESS 2 ORDIN pcf_ap=0DN pcf_file=ORDERS
PROCESS 2 ORDDEL pcf_ap=0DN pcf_file=ORDERS
STMTS 2 PLAIN ep=1
      END PROC
END
)";

// CUST record offsets.
enum : size_t {
  C_REGION = 0,
  C_LAST = 4,
  C_FIRST = 24,
  C_BAL = 44,
  C_QTY = 48,
  C_SECR = 54,
  C_ADDUSR = 58,
  C_CHGUSR = 61,
  C_ADDDT = 64,
  C_CHGDT = 72,
  C_DEL = 80,
  C_REF = 81,
  C_CITY = 83,
  kCustLen = 140
};

class PcfFixture : public ExecFixture {
 protected:
  void SetUp() override {
    ExecFixture::SetUp();
    start_compiled(kPcfSource);
    pi_pcf_register();
    // Fixture modules by name first, then the loader.
    hooks_.set(compiler_seams.pl_get, [](PCB* p, int f) { return static_cast<PcfFixture*>(self)->get(p, f); });
    hooks_.set(interp_seams.proc_exec, [](PROC_EXEC_BLK* b) { return static_cast<PcfFixture*>(self)->event(b); });
    // 0DN processes are compiled at each run: the PCF is made native again.
    hooks_.set(process_seams.open_fi, [](PCB* p) {
      if (p->pcb_em->em_pcf_id)
        if (uint8_t* c = pcf_cfi(p->pcb_em)) {
          if (static_cast<PcfFixture*>(self)->native_) go_native(c), memcpy(p->pcb_em->em_pcf_ap, "NAT", 3);
          else c[FDB_FS_TYPE] = FS_MEMORY;
        }
      pi_open_fi_run(p);
    });
    memset(com.user_id, ' ', 3);
    memcpy(com.user_id, "USR", 3);
  }
  void TearDown() override {
    for (ARB* a : open_)
      if (a) FM_CLOSE(a, 0);
    open_.clear();
    stop_compiled();
    ExecFixture::TearDown();
  }
  // A PCF of application "NAT" outside the 0DN files, which each engine
  // process keeps apart: a native file that processes share (without a
  // design of its own, so its structure is not checked).
  static void go_native(uint8_t* c) {
    memcpy(c + FDB_AP, "NAT", 3), memcpy(c + FDB_SRC_AP, "NAT", 3);
    st_le32(c, FDB_OPT, ld_le32(c, FDB_OPT) | kAnyFile);
  }
  int get(PCB* p, int f) { return mods.count(name_of(p)) ? load(p) : pl_get_module(p, f); }
  // The double: logs "NAME/ep", runs the test's step, and asks to stop
  // when `stops` names the event.
  uint32_t event(PROC_EXEC_BLK* b) {
    const std::string key = name_of(b->pcb) + "/" + std::to_string(b->ep_no);
    log += key + " ";
    if (auto it = eps.find(key); it != eps.end()) it->second(b->pcb);
    if (b->result_area) st_le32(b->result_area, 0, stops.count(key) ? kResultStop : 0);
    return PI_END_NORMAL;
  }
  // The module of a 0DN process, loaded (one use released at the end).
  EM* module_of(const char* name, uint8_t type = PT_INPUT) {
    PCB k{};
    k.invoc = inv(name, type, nullptr, 2, "0DN");
    memcpy(k.invoc.b + INVOC_VER, "01", 2);
    memcpy(k.pcb_lang, "ENG", 3);
    if (!pl_get_module(&k, 1)) return nullptr;
    pl_free(k.pcb_em);
    return k.pcb_em;
  }
  // The compiled record of the module's PCF.
  static uint8_t* pcf_cfi(EM* em) {
    uint8_t key[CFI_LEN] = {};
    PROTO_FULL(em->em_cfi_arb, 0, key);
    em->em_cfi_arb->arb_mod = ARB_FIRST;
    fm_start(em->em_cfi_arb);
    while (uint8_t* c = fm_rdnxt_fast(em->em_cfi_arb, 0))
      if (ld_le32(c, CFI_FILE_NO) == em->em_pcf_id) return c;
    return nullptr;
  }
  // Creates the PCF of process `name` and writes `recs` into it. `native`
  // makes it a file of the native back-end (a memory file otherwise), so
  // that engine processes share it.
  void make_pcf(const char* name, const std::vector<std::vector<uint8_t>>& recs = {}, bool native = false) {
    EM* em = module_of(name);
    ASSERT_NE(em, nullptr) << (captured_errors().empty() ? "" : captured_errors().back());
    uint8_t c[CFI_LEN];
    memcpy(c, pcf_cfi(em), CFI_LEN);
    if (native) go_native(c), native_ = true;
    else c[FDB_FS_TYPE] = FS_MEMORY;
    memset(c + FDB_DB, ' ', 3);
    FDB fdb;
    ASSERT_EQ(em_cfi_desc(em, c, &fdb), 1);
    if (!FM_OPEN(&fdb, com.sys_scope, kAnyFile, 15, 15)) {
      ASSERT_EQ(em_cfi_desc(em, c, &fdb), 1);
      ASSERT_EQ(FM_CREATE(&fdb, com.sys_scope, 10, kAnyFile | LFB_OPEN_NEW, 15, 15), 1) << fdb.fdb_stat;
    }
    ARB* a = fdb.fdb_arb;
    for (auto r : recs) {
      PROTO_FULL(a, 0, r.data());
      a->arb_var_len = uint16_t(r.size()), a->arb_mod = 0;
      ASSERT_EQ(fm_write(a), 1) << a->arb_stat;
    }
    // A memory file lives while it is open.
    if (native) FM_CLOSE(a, 0);
    else open_.push_back(a);
  }
  // A CUST record.
  static std::vector<uint8_t> cust(const std::string& region, const std::string& last, const std::string& first = "",
                                   int32_t bal = 0) {
    std::vector<uint8_t> r(kCustLen, ' ');
    memcpy(r.data() + C_REGION, region.data(), std::min<size_t>(4, region.size()));
    memcpy(r.data() + C_LAST, last.data(), std::min<size_t>(20, last.size()));
    memcpy(r.data() + C_FIRST, first.data(), std::min<size_t>(20, first.size()));
    st_le32(r.data(), C_BAL, uint32_t(bal));
    for (int i = 0; i < 3; ++i) st_le16(r.data(), C_QTY + 2 * i, 0);
    memset(r.data() + C_ADDDT, 0, 16);
    r[C_REF] = 0, r[C_REF + 1] = 0;
    return r;
  }
  // Runs 0DN process `name` of `type`; `body` runs in its Start of Process.
  uint32_t run_in(const char* name, const std::function<void(PCB*)>& body, uint8_t type = PT_INPUT) {
    eps[std::string(name) + "/1"] = body;
    INVOC v = inv(name, type, nullptr, 2, "0DN");
    memcpy(v.b + INVOC_VER, "01", 2);
    return run(v);
  }
  static uint8_t* rec(PCB* p) { return p->pcb_pcf_arb->arb_rec; }
  static uint32_t outcome(PCB* p) { return ld_le32(p->invoc.b, INVOC_END_CODE); }

  std::set<std::string> stops;
  bool native_ = false;
  std::vector<ARB*> open_;
};

}  // namespace kivo::test
