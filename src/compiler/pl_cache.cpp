// The module cache: pl_get (cache, module file, compile, load), the release
// of a use (pl_free) and the discard (pl_discard), the names made from
// stamps and the dump of the cache.
//
// Invariants: em_use_cnt rises only in pl_get and falls only in pl_free; a
// discarded module is out of the cache at once and freed when its count is 0,
// never while a control block still runs it. A module that pl_get began and
// did not hand out is destroyed, also when the compile is unwound.
#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "compiler/compiler.h"
#include "compiler/design_records.h"
#include "compiler/em_access.h"
#include "compiler/em_child.h"
#include "compiler/em_item.h"
#include "compiler/em_records.h"
#include "compiler/pc_cmpl.h"
#include "compiler/pcb.h"
#include "compiler/pl.h"
#include "fm/fm_objects.h"
#include "fm/fm_record.h"
#include "fm/la.h"
#include "foundation/bytes.h"
#include "foundation/foundation.h"
#include "foundation/maddr.h"
#include "foundation/pool.h"
#include "foundation/scope.h"
#include "foundation/sys_err.h"
#include "screen/wm_region.h"

namespace kivo {

namespace {

std::vector<EM*> g_cache;  // cached modules, oldest first
uint32_t g_compiles;
std::string g_compile_error;  // the first error of the last pl_get's compile

bool same_key(const EM* em, const INVOC& inv, const char* lang) {
  return memcmp(em->em_ap, inv.ap_id(), 3) == 0 && memcmp(em->em_ver, inv.ver(), 2) == 0 &&
         em->em_proc_type == inv.proc_type() && memcmp(em->em_proc_nam, inv.proc_nam(), 30) == 0 &&
         memcmp(em->em_lang, lang, 3) == 0;
}

bool same_stamp(const EM* em, const uint8_t* pr) {
  return em->em_stamp1 == ld_le32(pr, PR_STAMP) && em->em_stamp2 == ld_le32(pr, PR_STAMP + 4);
}

void uncache(EM* em) { g_cache.erase(std::remove(g_cache.begin(), g_cache.end(), em), g_cache.end()); }

// A module begun and not yet handed out; destroyed on every way out but
// the hand-over, an unwinding compile included. A long jump skips this
// destructor: the module's guard (em_guard) destroys it with the level.
struct pending {
  EM* em = nullptr;
  ~pending() { em_destroy(em); }
  EM* release() { return std::exchange(em, nullptr); }
};

// Compile errors go to the invoker's message file and the system-error log,
// each naming the process (and a statement's event point, sequence number
// and column).
void report(const PCB* pcb, const PC_CTX& ctx, const std::vector<sc_error>& errs) {
  auto post = [&](const std::string& text) {
    char line[160];
    snprintf(line, sizeof line, "compile %.3s %s", ctx.ap, text.c_str());
    sys_err_log(line);
    if (pcb->pcb_err_fi) la_add_text(pcb->pcb_err_fi, 3, 0, text.data(), text.size());
    if (g_compile_error.empty()) g_compile_error = text;
  };
  std::string proc(ctx.proc_nam, sizeof ctx.proc_nam);
  proc.erase(proc.find_last_not_of(' ') + 1);
  if (errs.empty()) return post(proc + ": " + std::string(ctx.err_text, pc_err_len(&ctx)));
  for (const sc_error& e : errs) post(sc_err_text(e));
  if (ctx.err_cnt > errs.size() && errs.size() >= kPcErrMax)
    post(proc + ": more than " + std::to_string(kPcErrMax) + " errors, the rest not listed");
}

// Compiles the process; with the screen up a status line names it meanwhile.
EM* compile(const PCB* pcb) {
  std::vector<sc_error> errs;
  PC_CTX ctx{};
  TWND* stat = nullptr;
  if (os_ready) {
    char msg[48];
    const int n = snprintf(msg, sizeof msg, "Compiling %.30s", pcb->invoc.proc_nam());
    stat = wm_add_stat(msg, static_cast<size_t>(n));
  }
  ++g_compiles;
  const int ok = pc_cmpl(pcb, &ctx, &errs);
  if (stat) wm_del_stat(stat), os_ready = 1;
  if (!ok) report(pcb, ctx, errs);
  return ok ? ctx.em : nullptr;
}

// The children's constraint arrays from their templates.
bool load_cnstr(EM* em) {
  auto* all = static_cast<pl_cnstr*>(MM_ALLOC(em->em_pool, (em->em_chld_cnt + 1) * sizeof(pl_cnstr)));
  if (!all) return false;
  memset(all, 0, (em->em_chld_cnt + 1) * sizeof(pl_cnstr));
  em->em_cnstr = all;
  uint8_t key[CCHLD_LEN] = {};
  for (uint32_t n = 1; n <= em->em_chld_cnt; ++n) {
    st_le32(key, CCHLD_NO, n);
    const uint8_t* cl = em_read_key(em->em_cchld_arb, 0, key);
    if (!cl) return false;
    const uint32_t c = cchld_view(cl).cnstr();
    if (!c) continue;
    const uint8_t* rec = CNST_RLOC(em, c);
    if (!rec) return false;
    const cnstr_view t(rec);
    pl_cnstr& x = all[n - 1];
    x.cnt = t.count();
    x.segs = static_cast<uint8_t*>(MM_ALLOC(em->em_pool, 6 * x.cnt));
    x.flds = static_cast<pl_cnstr_fld*>(MM_ALLOC(em->em_pool, x.cnt * sizeof(pl_cnstr_fld)));
    if (!x.segs || !x.flds) return false;
    uint16_t val_off = 0;
    for (uint32_t i = 0; i < x.cnt; ++i) {
      const cnstr_view::entry e = t.at(i);
      const uint16_t len = e.fld_len(), area = e.area();
      if (area == 0 || area > em->em_area_cnt) return false;
      st_le16(x.segs + 6 * i, 0, static_cast<uint16_t>(i + 1));
      st_le16(x.segs + 6 * i, 2, e.child_off());
      st_le16(x.segs + 6 * i, 4, len);
      x.flds[i] = {val_off, e.offset(), &em->em_area_addr[area], 1, len, e.flag()};
      val_off = static_cast<uint16_t>(val_off + len);
    }
  }
  return true;
}

// The CV records by number, their address fields zeroed: they are set
// where the records are used.
bool load_cv(EM* em) {
  const uint32_t n = pl_sub_count(em, EM_CV);
  auto** t = static_cast<uint8_t**>(MM_ALLOC(em->em_pool, (n + 1) * sizeof(uint8_t*)));
  if (!t) return false;
  t[0] = nullptr;
  for (uint32_t i = 1; i <= n; ++i) {
    if (!(t[i] = MADDR(em->em_cnv_arb, i))) return false;
    CNV* cv = reinterpret_cast<CNV*>(t[i]);
    cv->int_addr = cv->alt_addr = cv->aux_addr = nullptr;
    cv->ext_addr = nullptr;
  }
  em->em_cv = t;
  return true;
}

// The address fields of the items, which a frame sets when it binds them.
bool zero_items(EM* em) {
  ARB* a = em->em_citm_arb;
  a->arb_keyno = 0, a->arb_key = nullptr, a->arb_mod = ARB_FIRST;
  if (!fm_start(a)) return em->em_itm_cnt == 0;
  uint32_t n = 0;
  for (uint8_t* r; (r = fm_rdnxt_fast(a, 0)); ++n) {
    CITM* c = reinterpret_cast<CITM*>(r);
    c->citm_cnv.int_addr = c->citm_cnv.alt_addr = c->citm_cnv.aux_addr = nullptr;
    c->citm_cnv.ext_addr = nullptr;
    c->citm_status = nullptr;
  }
  a->arb_mod = 0;
  return n == em->em_itm_cnt;
}

// A module with another stamp goes; the "0DN" processes, whose designs are
// written anew for each run, always do.
EM* cached(const INVOC& inv, const char* lang, const uint8_t* pr) {
  for (EM* em : g_cache) {
    if (!same_key(em, inv, lang)) continue;
    if (same_stamp(em, pr) && memcmp(em->em_ap, "0DN", 3) != 0) return em;
    pl_discard(em);
    return nullptr;
  }
  return nullptr;
}

}  // namespace

int pl_load_tables(EM* em) {
  auto** addr = static_cast<uint8_t**>(MM_ALLOC(em->em_pool, (em->em_area_cnt + 1) * sizeof(uint8_t*)));
  if (!addr) return 0;
  memset(addr, 0, (em->em_area_cnt + 1) * sizeof(uint8_t*));
  em->em_area_addr = addr;
  if (!em->em_cfi_native && !em_cfi_load_keys(em)) return 0;
  return load_cv(em) && zero_items(em) && load_cnstr(em) ? 1 : 0;
}

const pl_cnstr* pl_child_cnstr(const EM* em, uint32_t child_no) {
  if (!em->em_cnstr || child_no == 0 || child_no > em->em_chld_cnt) return nullptr;
  return &static_cast<const pl_cnstr*>(em->em_cnstr)[child_no - 1];
}

uint32_t pl_compile_count() { return g_compiles; }

const char* pl_compile_error() { return g_compile_error.c_str(); }

int pl_get_module(PCB* pcb, int) {
  g_compile_error.clear();
  const INVOC& inv = pcb->invoc;
  const char* ap = inv.ap_id();
  const char* ver = inv.ver();
  const char* name = inv.proc_nam();
  uint8_t pr[kProcRecSize];
  if (!pc_read_process(ap, ver, inv.proc_type(), name, pr) || pr[PR_ACTIVE] != '1') return 0;
  EM* em = cached(inv, pcb->pcb_lang, pr);
  if (!em) {
    pending p;
    const bool dn = memcmp(ap, "0DN", 3) == 0;
    p.em = dn ? nullptr : pl_read_em(ap, ver, inv.proc_type(), name, pcb->pcb_lang, pr + PR_STAMP);
    if (!p.em) {
      if (!(p.em = compile(pcb))) return 0;
      build_em(p.em, pr);
      if (p.em->em_dbg_flag) write_em(p.em);
    }
    if (!pl_load_tables(p.em)) return 0;
    em_unguard(p.em);  // handed over to the cache
    g_cache.push_back(em = p.release());
  }
  ++em->em_use_cnt;
  em->em_cache_state = 1;
  pcb->pcb_em = em;
  return 1;
}

void pl_free(EM* em) {
  if (!em || em->em_use_cnt == 0) return;
  if (--em->em_use_cnt) return;
  em->em_cache_state = 0;
  if (em->em_discard) em_destroy(em);
}

void pl_discard(EM* em) {
  if (!em) return;
  uncache(em);
  if (em->em_use_cnt == 0) return em_destroy(em);
  em->em_discard = 1;
}

void pl_discard_all() {
  while (!g_cache.empty()) pl_discard(g_cache.back());
}

int pl_gen_nam(int, const uint8_t* stamp, char* out) {
  static const char kAlphabet[] = "0123456789ABCDEFGHJKMNPRSTUVWXY";
  constexpr uint64_t kMod = 852891037441ull;  // 31^8
  uint64_t v = (uint64_t{ld_le32(stamp, 0)} * 8640000u + ld_le32(stamp, 4)) % kMod;
  for (int i = 7; i >= 0; --i, v /= 31) out[i] = kAlphabet[v % 31];
  return 1;
}

void pl_dump(FILE* out) {
  for (EM* em : g_cache) {
    fprintf(out, "EM - %d %3.3s/%2.2s/%30.30s\n", static_cast<int>(em->em_use_cnt), em->em_ap, em->em_ver,
            em->em_proc_nam);
    for (int s = 0; s < EM_SUB_COUNT; ++s)
      if (ARB* a = em_sub_arb(em, static_cast<em_sub>(s))) {
        const FDB_PATH& p = arb_strm(a)->strm_lfb->lfb_lfn->lfn_path;
        fprintf(out, "     %3.3s/%2.2s/%8.8s\n", p.fdb_ap, p.fdb_ver, p.fdb_name);
      }
  }
}

}  // namespace kivo
