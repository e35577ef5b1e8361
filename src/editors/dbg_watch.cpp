// Field watches: a saved copy of each watched field's bytes, compared
// before every instruction while the watches bit is set.
#include <algorithm>
#include <cstring>
#include <list>

#include "compiler/design_records.h"
#include "compiler/pc_cmpl.h"
#include "compiler/pcb.h"
#include "editors/dbg.h"
#include "editors/editors.h"
#include "fm/fm_open.h"
#include "fm/fm_record.h"
#include "fm/la.h"
#include "foundation/bytes.h"
#include "foundation/dbg_ctl.h"
#include "foundation/end_codes.h"
#include "foundation/invoc.h"
#include "foundation/scope.h"
#include "interp/interp.h"
#include "interp/rt_fns.h"
#include "process/fp.h"
#include "process/pi.h"
#include "process/pi_exec.h"
#include "process/process.h"
#include "types/element.h"
#include "types/element_view.h"

namespace kivo {

namespace {

std::list<dbg_watch> watch_head;

constexpr const char* kModule = "DBG";
// The trigger's bytes on record 1 of ENTRY.
enum : size_t { WT_OCC = 3, WT_AP = 531, WT_NAME = 534 };

}  // namespace

void dbg_run_trigger(PCB* pcb, const dbg_watch& w) {
  if (ENTRY) {
    uint8_t rec[kEntryRecLen] = {};
    ENTRY->arb_keyno = 0, ENTRY->arb_relno = 1, ENTRY->arb_key = nullptr;
    ENTRY->arb_rec = rec, ENTRY->arb_len = kEntryRecLen, ENTRY->arb_mod = ARB_EQUAL | ARB_HOLD;
    const bool there = fm_read(ENTRY) != 0;
    rec[WT_OCC] = static_cast<uint8_t>(w.occ);
    memcpy(rec + WT_AP, w.ap, 3), memcpy(rec + WT_NAME, w.name, 22);
    ENTRY->arb_mod = 0, ENTRY->arb_rec = rec, ENTRY->arb_len = kEntryRecLen, ENTRY->arb_var_len = kEntryRecLen;
    if (there ? !fm_rewrite(ENTRY) : !fm_write(ENTRY))
      checkstat(ENTRY->arb_stat, there ? "can't upd ENTRY" : "can't add ENTRY", kModule, __LINE__);
  }
  dbg_run_process(pcb, "WATCH TRIGGER", pcb->pcb_main_srf, pcb->pcb_pop_srf);
}

namespace {

uint32_t arg_number(const rt_arg& a) {
  if (!a.addr) return 0;
  if (a.type == 5) {  // binary
    uint32_t v = 0;
    for (uint16_t i = a.len; i-- > 0;) v = v << 8 | a.addr[i];
    return v;
  }
  uint32_t v = 0;
  for (uint16_t i = 0; i < a.len; ++i)
    if (a.addr[i] >= '0' && a.addr[i] <= '9') v = v * 10 + (a.addr[i] - '0');
  return v;
}

int rt_dbg_watch(RT_CALL& c) {
  if (!c.args[0].addr || c.args[0].len < 3 || !c.args[1].addr || c.args[1].len < 22) return 0;
  char name[23] = {};
  memcpy(name, c.args[1].addr, 22);
  return add_watch(c.pcb, reinterpret_cast<const char*>(c.args[0].addr), name, arg_number(c.args[2]));
}

int rt_dbg_cleanup_watches(RT_CALL& c) {
  cleanup_watches(c.pcb);
  return 1;
}

int rt_dbg_populate_watch(RT_CALL& c) {
  ARB* a = c.args[0].kind == 2 ? reinterpret_cast<ARB*>(c.args[0].addr) : nullptr;
  return a ? dbg_populate_watch(c.pcb, a) : 0;
}

}  // namespace

bool dbg_run_process(PCB* pcb, const char* name, void* srf_main, void* srf_pop) {
  INVOC v = pi_invoc;
  memcpy(v.ap_id(), "0LA", 3), memcpy(v.ver(), "00", 2);
  v.set_proc_type(2), v.set_invoc_type(0);
  memset(v.proc_nam(), ' ', kProcNameLen);
  memcpy(v.proc_nam(), name, std::min(strlen(name), kProcNameLen));
  const uint32_t srf = ih_put(HK_SURFACE, srf_main), srf2 = ih_put(HK_SURFACE, srf_pop);
  if (!pcb->pcb_handle) pcb->pcb_handle = ih_put(HK_PCB, pcb);
  v.set_parent_srf(0, srf), v.set_parent_srf(1, srf2);
  v.set_parent_pcb(pcb->pcb_handle);
  v.set_end_code(0);
  MARK(MARK_RECOVERY, [&] { pi_exec(&v); });
  ih_drop(srf), ih_drop(srf2);
  if (v.end_code() == PI_END_NORMAL) return true;
  uint8_t pr[kProcRecSize];
  return pc_read_process("0LA", "00", 2, v.proc_nam(), pr) != 0;
}

int add_watch(PCB* pcb, const char* ap, const char* name, uint32_t occ) {
  if (!pcb || !pcb->pcb_em) return 0;
  char ver[2];
  pi_get_ver(pcb, ap, ver);
  ARB* a = ii_open_delem_fi(ap, ver);
  if (!a) return 0;
  uint8_t elem[kElementSize] = {};
  memset(elem + ELEM_NAME, ' ', 22);
  memcpy(elem + ELEM_NAME, name, std::min(strlen(name), size_t{22}));
  PROTO_FULL(a, 0, elem);
  a->arb_len = kElementSize, a->arb_mod = ARB_EQUAL;
  const bool found = fm_read(a) != 0;
  FM_CLOSE(a, 0);  // on every path: a refused watch leaves no file open
  if (!found) return 0;
  const elem_view el(elem);
  const uint32_t count = std::max<uint32_t>(el.occurs(), 1), len = el.size();
  if (!occ) occ = 1;
  if (occ > count || !len) return 0;
  uint8_t* live = pi_find_addr(pcb, ap, el.number(), 0, el.offset() + (occ - 1) * len, nullptr);
  return live ? dbg_add_watch_at(pcb, ap, name, occ, live, len) : 0;
}

int dbg_populate_watch(PCB* pcb, ARB* a) {
  for (auto& r : dbg_watch_records(pcb)) {
    a->arb_mod = 0, a->arb_rec = r.data(), a->arb_len = kWatchRecLen, a->arb_var_len = kWatchRecLen;
    a->arb_key_end = nullptr;
    if (!fm_write(a)) {
      checkstat(a->arb_stat, "bad watch list write", kModule, __LINE__);
      return 0;
    }
  }
  return 1;
}

void dbg_register_watch_fns() {
  rt_add_fn({"DBG_WATCH", rt_dbg_watch, 3, 0});
  rt_add_fn({"DBG_CLEANUP_WATCHES", rt_dbg_cleanup_watches, 0, 0});
  rt_add_fn({"DBG_POPULATE_WATCH", rt_dbg_populate_watch, 1, 0});
}

int dbg_add_watch_at(PCB* owner, const char* ap, const char* name, uint32_t occ, uint8_t* live, uint32_t len) {
  dbg_watch w{len, live, std::vector<uint8_t>(live, live + len), owner, {}, {}, occ ? occ : 1};
  memcpy(w.ap, ap, 3);
  memset(w.name, ' ', sizeof w.name);
  memcpy(w.name, name, std::min(strlen(name), sizeof w.name));
  watch_head.push_back(std::move(w));
  dbg_ctl(DBG_WATCH_ON);
  return 1;
}

int dbg_chk_watches(PCB* pcb) {
  if (!(com_dbg_ctl_bits & kDbgWatches) || watch_head.empty()) return 0;
  int fired = 0;
  for (dbg_watch& w : watch_head) {
    if (memcmp(w.live, w.saved.data(), w.len) == 0) continue;
    memcpy(w.saved.data(), w.live, w.len);
    fired = 1;
    // The trigger process runs with the watches off, so its own moves do
    // not fire them again.
    dbg_ctl(DBG_WATCH_OFF);
    editors_seams.dbg_watch_trigger(pcb, w);
    dbg_ctl(DBG_WATCH_ON);
  }
  return fired;
}

void cleanup_watches(PCB* pcb) {
  watch_head.remove_if([pcb](const dbg_watch& w) { return w.owner == pcb; });
  if (watch_head.empty()) dbg_ctl(DBG_WATCH_OFF);
}

std::vector<std::vector<uint8_t>> dbg_watch_records(PCB* pcb) {
  (void)pcb;  // the list is the engine's: every watch is listed
  std::vector<std::vector<uint8_t>> out;
  for (const dbg_watch& w : watch_head) {
    std::vector<uint8_t> r(kWatchRecLen, 0);
    memcpy(r.data() + WL_AP, w.ap, 3);
    memcpy(r.data() + WL_NAME, w.name, 22);
    st_le16(r.data(), WL_OCC, static_cast<uint16_t>(w.occ));
    out.push_back(std::move(r));
  }
  return out;
}

size_t dbg_watch_count() { return watch_head.size(); }

}  // namespace kivo
