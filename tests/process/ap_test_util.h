// ACTION-type processes compiled from a design source of "0DN" 01 over a
// memory file of customers, run by the executive: the frames' event points
// go to a double that logs "frame/ep" and lets a test act in them, the
// processes' own event points to the executive's double, and a test may
// script what the PCF stream reports (level starts and ends, failures)
// through a switch installed on the stream, as a sorted query installs its own.
#pragma once

#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "compiler/compiler.h"
#include "compiler/em.h"
#include "compiler/em_access.h"
#include "compiler/pl.h"
#include "design/design_source.h"
#include "exec_test_util.h"
#include "fm/fm_record.h"
#include "fm/fm_switch.h"
#include "foundation/dbg_ctl.h"
#include "interp/ii_run.h"
#include "process/ap.h"
#include "process/fp.h"
#include "process/pi_exec.h"
#include "process/pi_internal.h"
#include "process/pi_pcf.h"

namespace kivo::test {

// CUST: key K1 + K2 (40 characters each), a region; LOG: a file without keys.
enum : size_t { A_K1 = 0, A_K2 = 40, A_REGION = 80, kApCustLen = 88 };

constexpr const char* kApSource = R"(APPLICATION 0DN 01
FILE CUST fs=2 org=3
  "CUST KEY" G80 @0 key=primary
  K1       A40 @0
  K2       A40 @40
  REGION   A8 @80
END
FILE LOG fs=2 org=2
  TEXT     A16 @0
END
PROCESS 4 ACTS pcf_ap=0DN pcf_file=CUST
FRAME 4 ACTS 0 1 enabled=1 kind=1
FRAME 4 ACTS 0 2 enabled=1 kind=1 range_ap=0DN range_field=REGION count=1
FRAME 4 ACTS 0 3 enabled=1 kind=0
FRAME 4 ACTS 0 4 enabled=1 kind=2 range_ap=0DN range_field=REGION count=1
FRAME 4 ACTS 0 5 enabled=1 kind=2
PROCESS 4 CANCELS pcf_ap=0DN pcf_file=CUST err_cancel=1
FRAME 4 CANCELS 0 1 enabled=1 kind=0
PROCESS 4 NOPCF
FRAME 4 NOPCF 0 1 enabled=1 kind=0
PROCESS 7 UPD pcf_ap=0DN pcf_file=CUST
FRAME 7 UPD 0 1 enabled=1 kind=0
PROCESS 4 NESTACT
FRAME 4 NESTACT 0 1 enabled=1 kind=0
PROCESS 4 SEQ pcf_ap=0DN pcf_file=LOG
FRAME 4 SEQ 0 1 enabled=1 kind=0
PROCESS 4 UNTITLED
PROCESS 4 LOGGED alog=1
PROCESS 4 LOGGEDC alog=1 err_cancel=1
PROCESS 7 LOGGED7 alog=1
PROCESS 8 LOGGED8 alog=1
PROCESS 10 LOGGED10 alog=1
)";

inline std::vector<uint8_t> ap_cust(int i, const std::string& region = "EAST") {
  std::vector<uint8_t> r(kApCustLen, ' ');
  char k[16];
  snprintf(k, sizeof k, "K%03d", i / 1000 % 1000);
  memcpy(r.data() + A_K1, k, 4);
  snprintf(k, sizeof k, "%04d", i % 10000);
  memcpy(r.data() + A_K2, k, 4);
  memcpy(r.data() + A_REGION, region.data(), std::min<size_t>(8, region.size()));
  return r;
}

inline std::string trimmed(std::string s) { return s.erase(s.find_last_not_of(' ') + 1); }

// Every record of a memory file in locate mode.
inline void each_rec(ARB* a, const std::function<void(uint8_t*)>& fn) {
  uint8_t key[512] = {};
  PROTO_FULL(a, 0, key);
  a->arb_mod = ARB_FIRST;
  if (!fm_start(a)) return;
  while (uint8_t* r = fm_rdnxt_fast(a, 0)) fn(r);
}

class ApFixture : public ExecFixture {
 protected:
  void SetUp() override {
    ExecFixture::SetUp();
    ap = this;
    const std::string kivo = KIVO_BINARY;
    std::filesystem::copy(kivo.substr(0, kivo.rfind('/')) + "/shipped_data/00/0LA", data_ + "/00/0LA",
                          std::filesystem::copy_options::recursive | std::filesystem::copy_options::skip_existing);
    const design_source_result r = design_source_build(kApSource, "ap", com.sys_scope, "0DN");
    ASSERT_TRUE(r.ok) << r.error;
    add_messages({{1260, 0, "HEADING"},
                  {1270, 0, "TOTAL"},
                  {1280, 0, "DETAIL"},
                  {1300, 0, "PROCESSING..."},
                  {200530, 3, "LOCKED BY ANOTHER"},
                  {200999, 3, "DISK TROUBLE"},
                  {777001, 0, "first"},
                  {777002, 0, "second"}});
    ii_init(), sc_init();
    rt_err_arb = nullptr, rt_init(), interp_register_hooks();
    pi_pcf_register();
    for (pi_type_row& row : pi_type_rows) hooks_.keep(row);
    ap_init();
    hooks_.set(compiler_seams.pl_get,
               [](PCB* p, int f) { return ap->mods.count(name_of(p)) ? ap->load(p) : pl_get_module(p, f); });
    hooks_.set(process_seams.fp_ep, [](PCB* p, uint16_t ep, const uint8_t*) { return ap->frame_ep(p, ep); });
    hooks_.set(process_seams.open_fi, [](PCB* p) { ap->open_fi(p); });
    hooks_.set(process_seams.ap_sum_roll, [](PCB* p) { ap->rolls += std::to_string(p->pcb_brk_lvl) + " "; });
  }
  void TearDown() override {
    com_dbg_ctl_bits = 0;
    for (ARB* a : open_) FM_CLOSE(a, 0);
    pl_discard_all();
    rt_err_arb = nullptr;
    ExecFixture::TearDown();
  }
  // Adds {number, class, text} to the message file of language "00".
  static void add_messages(std::initializer_list<std::tuple<uint32_t, uint16_t, std::string>> rows) {
    FDB f;
    KDB k[kInitMaxKeys];
    SDB s[kInitMaxSegs];
    INIT_DMSG_FDB(&f, k, s, "00");
    ASSERT_EQ(FM_OPEN(&f, com.sys_scope, kAnyFile, 15, 15), 1);
    for (auto& [no, cls, text] : rows) {
      uint8_t rec[kMsgRecMax] = {};
      st_le32(rec, MSG_NUMBER, no), st_le16(rec, MSG_CLASS, cls);
      memcpy(rec + MSG_TEXT, text.data(), text.size());
      f.fdb_arb->arb_rec = rec, f.fdb_arb->arb_mod = 0;
      f.fdb_arb->arb_var_len = uint16_t(MSG_TEXT + text.size());
      ASSERT_EQ(fm_write(f.fdb_arb), 1);
    }
    FM_CLOSE(f.fdb_arb, 0);
  }

  // The frame double: "name:frame/ep " into flog; `frames` acts at "name:frame/ep".
  uint32_t frame_ep(PCB* p, uint16_t ep) {
    const uint32_t no = p->pcb_cur_frm ? ld_le32(p->pcb_cur_frm, CFRM_NO) : 0;
    const std::string key = name_of(p) + ":" + std::to_string(no) + "/" + std::to_string(ep);
    flog += key + " ";
    if (auto it = frames.find(key); it != frames.end()) return it->second(p);
    return 0;
  }
  // How often frame `no` of `name` started.
  int runs(const std::string& name, uint32_t no) const {
    int n = 0;
    const std::string key = name + ":" + std::to_string(no) + "/21 ";
    for (size_t at = 0; (at = flog.find(key, at)) != std::string::npos; at += key.size()) ++n;
    return n;
  }

  // The PCF (a memory file of the session) made at the first open and filled
  // with `records` customers; the range blocks and the script set up after
  // the open.
  void open_fi(PCB* p) {
    EM* em = p->pcb_em;
    if (em->em_pcf_id && !made_.count(name_of(p))) {
      each_rec(em->em_cfi_arb, [&](uint8_t* c) {
        if (ld_le32(c, CFI_FILE_NO) != em->em_pcf_id || memcmp(c + FDB_AP, em->em_pcf_ap, 3)) return;
        memset(c + FDB_DB, ' ', 3);
        FDB f;
        ASSERT_EQ(em_cfi_desc(em, c, &f), 1);
        if (!FM_OPEN(&f, com.sys_scope, kAnyFile, 15, 15)) {
          ASSERT_EQ(em_cfi_desc(em, c, &f), 1);
          ASSERT_EQ(FM_CREATE(&f, com.sys_scope, 0, kAnyFile | LFB_OPEN_NEW, 15, 15), 1);
          for (int i = 1; i <= records; ++i) {
            std::vector<uint8_t> r = rec_of(i);
            PROTO_FULL(f.fdb_arb, 0, r.data());
            f.fdb_arb->arb_var_len = uint16_t(r.size()), f.fdb_arb->arb_mod = 0;
            ASSERT_EQ(fm_write(f.fdb_arb), 1);
          }
        }
        open_.push_back(f.fdb_arb);
      });
      made_.insert(name_of(p));
    }
    pi_open_fi_run(p);
    if (levels && p->pcb_pcf_arb) ranges(p);
    if (!script.empty() && p->pcb_pcf_arb) install_script(p->pcb_pcf_arb);
  }
  // Range entries 0..levels: 0 asks for both frames, the others as rng_flags says.
  void ranges(PCB* p) {
    const uint32_t n = uint32_t(levels) + 1;
    auto* ents = static_cast<uint8_t*>(MM_ALLOC(p->pcb_pool, kRngEntLen * n));
    memset(ents, 0, kRngEntLen * n);
    for (uint32_t l = 0; l < n; ++l) {
      uint8_t* e = ents + kRngEntLen * l;
      memset(e + RNG_AP, ' ', 25);
      if (l) memcpy(e + RNG_AP, "0DN", 3), memcpy(e + RNG_FLD, "REGION", 6), st_le16(e, RNG_COUNT, 1);
      e[RNG_FLAGS + 1] = uint8_t(l == 0 || (rng_flags & 1)), e[RNG_FLAGS + 2] = uint8_t(l == 0 || (rng_flags & 2));
    }
    p->pcb_rng = ents, p->pcb_rng_cnt = uint8_t(n);
  }

  // ---- the scripted stream ----
  // A step: a status and level for the stream, or kRecord for the next
  // record of the file itself.
  static constexpr uint32_t kRecord = 0;
  struct step {
    uint32_t status, level;
  };
  void install_script(ARB* a) {
    STRM* s = a->arb_sarb->sarb_cur_strm;
    switch_ = *s->strm_fms;
    real_rdnxt_ = switch_.rdnxt;
    switch_.rdnxt = [](ARB* arb, STRM* st) -> int {
      if (ap->script.empty()) return ap->real_rdnxt_(arb, st);
      const step x = ap->script.front();
      ap->script.pop_front();
      if (x.status == kRecord) return ap->real_rdnxt_(arb, st);
      arb->arb_stat = x.status, arb->arb_stat2 = x.level;
      st->strm_active = kStrmOnRecord;  // the stream goes on after a level word
      return 0;
    };
    s->strm_fms = &switch_;
  }

  // The hand-over process: a fixture that reads ALOGID and the family's
  // STDALOG lines ("context:text", and the whole records) at its start.
  void capture_handover() {
    proc("CONSTRAIN ALOG ID");
    eps["CONSTRAIN ALOG ID/1"] = [this](PCB* p) {
      ++cap.runs;
      cap.invoker = invoc_parent(p->invoc);
      cap.type = p->invoc.b[INVOC_INVOC_TYPE];
      uint8_t id[kAlogIdLen];
      ARB* a = alog_id_arb;
      a->arb_keyno = 0, a->arb_relno = 1, a->arb_key = nullptr, a->arb_rec = id, a->arb_len = kAlogIdLen;
      a->arb_mod = ARB_EQUAL;
      ASSERT_EQ(fm_read(a), 1);
      cap.families.push_back(ld_le32(id, 0));
      each_rec(alog_arb, [&](uint8_t* r) {
        if (ld_le32(r, ALOG_FAMILY) != ld_le32(id, 0)) return;
        cap.texts.push_back(trimmed(std::string(reinterpret_cast<char*>(r) + ALOG_CTX, kAlogCtxLen)) + ":" +
                            trimmed(std::string(reinterpret_cast<char*>(r) + ALOG_TEXT, kAlogTextLen)));
        cap.recs.emplace_back(r, r + kAlogLen);
      });
    };
  }
  struct handover_capture {
    int runs = 0;
    PCB* invoker = nullptr;
    uint8_t type = 0;
    std::vector<uint32_t> families;
    std::vector<std::string> texts;
    std::vector<std::vector<uint8_t>> recs;
  } cap;

  uint32_t run_ap(const char* name, uint8_t type = PT_ACTION, PCB* parent = nullptr, uint8_t itype = 2) {
    INVOC v = inv(name, type, parent, itype, "0DN");
    memcpy(v.b + INVOC_VER, "01", 2);
    return parent ? call(v) : run(v);
  }

  static inline ApFixture* ap;
  std::function<std::vector<uint8_t>(int)> rec_of = [](int i) { return ap_cust(i); };
  int records = 0;
  int levels = 0;
  int rng_flags = 3;  // level 1 and on: 1 its heading frame, 2 its total frame
  std::deque<step> script;
  std::string flog, rolls;
  std::map<std::string, std::function<uint32_t(PCB*)>> frames;  // "name:frame/ep"
  std::vector<ARB*> open_;
  std::set<std::string> made_;
  fms_fn switch_{};
  fms_slot real_rdnxt_ = nullptr;
};

}  // namespace kivo::test
