// Process control blocks over modules made with the module builder, on the
// native file manager in a scratch data directory: the executive started
// (pi_init), PCBs and modules released after each test.
#pragma once

#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include "../fm/fm_native_util.h"
#include "compiler/compiler.h"
#include "compiler/em_access.h"
#include "compiler/em_records.h"
#include "compiler/inst.h"
#include "foundation/bytes.h"
#include "foundation/end_codes.h"
#include "process/pi.h"
#include "process/pi_hooks.h"
#include "process/process.h"

namespace kivo::test {

// One area of a module: kind, application, number, size, type, init, class.
struct area_row {
  uint8_t kind;
  const char* ap;
  uint32_t no, size;
  uint8_t type = 0, init = 0, cls = 0;
};
// Areas 1-16 are the system areas: a module made here keeps them as 1-byte
// private areas unless given, so the test's own areas start at 17.
constexpr uint32_t kFirstArea = 17;

constexpr uint32_t kBlankConst = kComConstBase + uint32_t(offsetof(com_area, blanks));

// The compiled field of kind-0 area `no` with `occurs` occurrences of constant `cnst`.
inline void init_field(EM* em, uint32_t no, uint32_t cnst, uint16_t occurs = 1, const char* ap = "TST") {
  uint8_t f[CFLD_LEN] = {};
  memcpy(f + CFLD_AP, ap, 3);
  st_le32(f, CFLD_ELEM, no);
  st_le16(f, CFLD_OCCURS, occurs);
  st_le32(f, CFLD_INIT, cnst);
  EXPECT_NE(em_append(em, EM_FL, f, CFLD_LEN), 0u);
}
inline void blank_field(EM* em, uint32_t no, const char* ap = "TST") { init_field(em, no, kBlankConst, 1, ap); }

using fdb_init = std::function<void(FDB*, KDB*, SDB*)>;

// Writes `rec` to the file (created when missing); 1 done.
inline int write_rec(const fdb_init& init, std::vector<uint8_t> rec, uint8_t fs = FS_DISK) {
  FDB f;
  KDB k[kInitMaxKeys];
  SDB s[kInitMaxSegs];
  init(&f, k, s);
  f.fdb_fs_type = fs;
  if (!FM_OPEN(&f, com.sys_scope, kAnyFile, 15, 15)) {
    init(&f, k, s);
    f.fdb_fs_type = fs;
    if (!FM_CREATE(&f, com.sys_scope, 10, kAnyFile | LFB_OPEN_NEW, 15, 15)) return 0;
  }
  ARB* a = f.fdb_arb;
  PROTO_FULL(a, 0, rec.data());
  a->arb_len = a->arb_var_len = uint16_t(rec.size()), a->arb_mod = 0;
  const int ok = fm_write(a);
  if (fs == FS_DISK) FM_CLOSE(a, 0);
  return ok;
}
// A blank record of `len` bytes with `parts` at their offsets.
inline std::vector<uint8_t> rec(size_t len, std::initializer_list<std::pair<size_t, std::string>> parts) {
  std::vector<uint8_t> r(len, ' ');
  for (auto& [at, text] : parts) memcpy(r.data() + at, text.data(), text.size());
  return r;
}
class PiFixture : public NativeFm {
 protected:
  void SetUp() override {
    NativeFm::SetUp();
    pc_init();
    pi_reset_caches();
    pi_init();
  }
  void TearDown() override {
    for (auto it = pcbs_.rbegin(); it != pcbs_.rend(); ++it)
      if ((*it)->pcb_handle) pi_free_data(it->get(), 1);
    pcbs_.clear();
    for (EM* em : mods_) em_destroy(em);
    NativeFm::TearDown();
  }

  // A module whose areas from kFirstArea are `rows`; `sys` rows replace
  // system areas (their number is the area number).
  EM* module(const std::vector<area_row>& rows, uint8_t rcv = 0, std::vector<area_row> sys = {}) {
    EM* em = em_create();
    mods_.push_back(em);
    em->em_rcv_class = rcv;
    em->em_secr_class = -1;
    memset(em->em_pcf_ap, ' ', 3);
    const uint32_t n = kFirstArea - 1 + uint32_t(rows.size());
    auto* t = static_cast<AREA_DESC*>(MM_ALLOC(em->em_pool, sizeof(AREA_DESC) * n));
    for (uint32_t a = 1; a <= n; ++a) {
      area_row r = a >= kFirstArea ? rows[a - kFirstArea] : area_row{0, "TST", a, 1, 2};
      for (const area_row& s : sys)
        if (s.no == a && a < kFirstArea) r = s;
      AREA_DESC& d = t[a - 1];
      d = AREA_DESC{};
      d.kind = r.kind, d.number = r.no, d.size = r.size, d.area_no = a;
      memcpy(d.ap, r.ap, 3);
      d.type = r.type, d.init = r.init, d.cls = r.cls;
      if (r.type < 2) count(em, r.ap, r.kind, r.no);
    }
    em->em_area_tbl = t;
    em->em_area_cnt = n;
    return em;
  }
  // The compiled application record of `ap` holds at least `no` areas of `kind`.
  static void count(EM* em, const char* ap, uint8_t kind, uint32_t no) {
    uint8_t key[CAP_LEN] = {};
    memcpy(key + CAP_AP, ap, 3);
    uint8_t* cap = em_read_key(em->em_cap_arb, 0, key);
    if (!cap) {
      memcpy(key + CAP_VER, "00", 2);
      em_append(em, EM_AP, key, CAP_LEN);
      memset(key, 0, CAP_LEN), memcpy(key + CAP_AP, ap, 3);
      cap = em_read_key(em->em_cap_arb, 0, key);
    }
    if (ld_le32(cap, CAP_AREA_CNT + 4u * kind) < no) st_le32(cap, CAP_AREA_CNT + 4u * kind, no);
  }

  // A PCB of process TST "name" over `em`, invoked by `parent`.
  PCB* pcb(EM* em, PCB* parent, uint8_t invoc_type, uint8_t bg = 0, uint32_t family = 1, const char* ap = "TST") {
    pcbs_.push_back(std::make_unique<PCB>());
    PCB* p = pcbs_.back().get();
    p->invoc = pi_invoc;
    memcpy(p->invoc.b + INVOC_AP_ID, ap, 3);
    memcpy(p->invoc.b + INVOC_PROC_NAM, "NAME", 4);
    p->invoc.b[INVOC_INVOC_TYPE] = invoc_type;
    p->invoc.b[INVOC_BG_RUN] = bg;
    if (parent) st_le32(p->invoc.b, INVOC_PARENT_PCB, parent->pcb_handle);
    p->family_no = family;
    p->pcb_em = em;
    p->pcb_handle = ih_put(HK_PCB, p);
    return p;
  }
  uint32_t place(PCB* p) { return pi_shr_data(p, com.sys_scope, com.sys_scope); }
  // Frees `p` with the full flag, as the end of its family does.
  void end(PCB* p) { pi_free_data(p, 1); }

  std::vector<std::unique_ptr<PCB>> pcbs_;
  std::vector<EM*> mods_;
};

}  // namespace kivo::test
