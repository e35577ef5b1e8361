// The shared-area anchors: SAA records of a kind held by reference in that
// kind's memory file, found, created and grown (pi_get_saa), handed from an
// invoker to its child (copy_saas) and chosen per kind (target_pcbs).
//
// Invariant: a record's block is allocated from pi_pool and belongs to the
// file entry that points at it; whoever deletes the entry frees the block.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fm/fm_record.h"
#include "fm/fm_status.h"
#include "foundation/bytes.h"
#include "foundation/com.h"
#include "foundation/sys_err.h"
#include "process/pi.h"
#include "process/pi_internal.h"

namespace kivo {

namespace {

constexpr char kModule[] = "PISHR";

// The KIVO_SAA_LOG file, opened for writing at the first record made or
// grown (again when the variable names another file).
FILE* saa_log() {
  static FILE* log;
  static std::string name;
  const char* now = getenv("KIVO_SAA_LOG");
  if (!now || name == now) return now ? log : nullptr;
  if (log) fclose(log);
  name = now;
  return log = fopen(now, "w");
}

void log_saa(int tag, uint8_t kind, const SAA_REC* r, const PCB* owner) {
  FILE* f = saa_log();
  if (!f) return;
  const INVOC* v = owner ? &owner->invoc : nullptr;
  fprintf(f, "(%d)%d %3.3s %2.2s %3.3s %30.30s - cnt = %d\n", tag, kind, r->ap, r->ver, v ? v->ap_id() : "   ",
          v ? v->proc_nam() : "", int(r->count));
  fflush(f);
}

SAA_REC* new_rec(uint32_t owner, const char* ap, const char* ver, uint32_t count) {
  auto* r = static_cast<SAA_REC*>(MM_ALLOC(pi_pool, saa_rec_len(count)));
  if (!r) return nullptr;
  memset(r, 0, saa_rec_len(count));
  r->owner = owner, r->count = count;
  memcpy(r->ap, ap, 3);
  memcpy(r->ver, ver, 2);
  return r;
}

// A grown copy of `r` with `count` entries, the old ones kept.
SAA_REC* grown(const SAA_REC* r, uint32_t count) {
  SAA_REC* n = new_rec(r->owner, r->ap, r->ver, count);
  if (!n) return nullptr;
  memcpy(n, r, saa_rec_len(r->count));
  n->count = count;
  return n;
}

}  // namespace

PCB* pcb_of_handle(uint32_t h) { return static_cast<PCB*>(ih_get(HK_PCB, h)); }

SAA_REC* saa_read(uint8_t kind, uint32_t owner, const char* ap, const char* ver) {
  ARB* a = pi_saa_arb[kind];
  if (!a) return nullptr;
  alignas(8) uint8_t key[16] = {};
  st_le32(key, 0, owner);
  memcpy(key + 8, ap, 3);
  memcpy(key + 11, ver, 2);
  PROTO_FULL(a, 0, key);
  a->arb_len = sizeof key;
  return reinterpret_cast<SAA_REC*>(fm_read_fast(a, ARB_EQUAL));
}

bool saa_write(uint8_t kind, SAA_REC* r) {
  ARB* a = pi_saa_arb[kind];
  if (!a) return false;
  PROTO_FULL(a, 0, reinterpret_cast<uint8_t*>(r));
  a->arb_len = a->arb_var_len = static_cast<uint16_t>(saa_rec_len(r->count == kSaaSkipped ? 0 : r->count));
  a->arb_mod = ARB_LOCATE;
  if (fm_write(a)) return true;
  sys_err(kModule, __LINE__, "fm_write() - failed on saa file");
  return false;
}

bool saa_delete(uint8_t kind, SAA_REC* r) {
  ARB* a = pi_saa_arb[kind];
  if (!a) return false;
  alignas(8) uint8_t key[16] = {};
  memcpy(key, r, sizeof key);
  PROTO_FULL(a, 0, key);
  a->arb_len = sizeof key;
  if (!fm_read_fast(a, ARB_EQUAL | ARB_HOLD)) return false;
  a->arb_mod = 0;
  if (fm_del(a)) return true;
  sys_err(kModule, __LINE__, "fm_del() - failed");
  return false;
}

std::vector<SAA_REC*> saa_of(uint8_t kind, uint32_t owner) {
  std::vector<SAA_REC*> out;
  ARB* a = pi_saa_arb[kind];
  if (!a || !owner) return out;
  uint8_t dummy[16] = {};
  PROTO_FULL(a, 0, dummy);
  a->arb_mod = ARB_FIRST;
  if (!fm_start(a)) return out;
  while (uint8_t* rec = fm_rdnxt_fast(a, 0)) {
    auto* r = reinterpret_cast<SAA_REC*>(rec);
    if (r->owner == owner) out.push_back(r);
  }
  return out;
}

SAA_REC* saa_replace(uint8_t kind, SAA_REC* old, uint32_t count) {
  SAA_REC* n = grown(old, count);
  if (!n) return nullptr;
  if (!saa_delete(kind, old)) {
    sys_err(kModule, __LINE__, "get_saa() - bad saa file delete");
    mm_free(n);
    return nullptr;
  }
  mm_free(old);
  if (!saa_write(kind, n)) return nullptr;
  return n;
}

SAA_REC* pi_get_saa(EM* em, const char* ap, PCB* owner, uint8_t kind) {
  const uint8_t* cap = pi_cap(em, ap);
  if (!cap || kind >= kSaaKinds) {
    sys_err(kModule, __LINE__, "get_saa() - bad ap id");
    return nullptr;
  }
  uint32_t count = ld_le32(cap, CAP_AREA_CNT + 4u * kind);
  if (count > kSaaMaxEntries) count = kSaaMaxEntries;
  const char* ver = reinterpret_cast<const char*>(cap + CAP_VER);
  SAA_REC* r = saa_read(kind, owner->pcb_handle, ap, ver);
  if (!r) {
    r = new_rec(owner->pcb_handle, ap, ver, count);
    if (!r || !saa_write(kind, r)) return nullptr;
    log_saa(2, kind, r, owner);
    return r;
  }
  if (r->count >= count) return r;
  r = saa_replace(kind, r, count);
  if (r) log_saa(3, kind, r, owner);
  return r;
}

namespace {

struct hand_over {
  uint8_t pass, rcv;
  bool move;
};

// Entry `e` of the invoker's record `from` into `to`'s entry.
void copy_entry(saa_entry& to, saa_entry& from, const hand_over& h) {
  if (from.own) {
    to.borrowed = from.own;
    to.size = from.size, to.type = from.type, to.cls = from.cls;
    if (h.move) {
      from.own = nullptr;
      to.flags = static_cast<uint8_t>((from.flags & ~SAA_PASSABLE) | SAA_FREES_BORROWED);
    } else {
      to.flags = static_cast<uint8_t>(from.flags & ~(SAA_PASSABLE | SAA_FREES_BORROWED));
    }
  } else {
    if (!from.borrowed || !((from.cls & h.rcv) || (from.flags & h.pass))) return;
    to.borrowed = from.borrowed;
    to.size = from.size, to.type = from.type, to.cls = from.cls;
    if (h.move && (from.flags & SAA_FREES_BORROWED)) {
      from.flags &= static_cast<uint8_t>(~SAA_FREES_BORROWED);
      to.flags = static_cast<uint8_t>((from.flags & ~SAA_PASSABLE) | SAA_FREES_BORROWED);
    } else if (from.flags & h.pass) {
      to.flags = static_cast<uint8_t>(from.flags | SAA_PASSABLE);
    } else {
      to.flags = static_cast<uint8_t>(from.flags & ~(SAA_PASSABLE | SAA_FREES_BORROWED));
    }
  }
  if (from.cls & h.rcv) to.received = SAA_RCV_INVOKER;
}

// This PCB's record for the invoker's record `from`, made or grown to its count.
SAA_REC* own_copy(PCB* p, uint8_t kind, const SAA_REC* from) {
  SAA_REC* r = saa_read(kind, p->pcb_handle, from->ap, from->ver);
  if (!r) {
    r = new_rec(p->pcb_handle, from->ap, from->ver, from->count);
    if (!r || !saa_write(kind, r)) return nullptr;
    log_saa(1, kind, r, p);
    return r;
  }
  if (r->count >= from->count) return r;
  r = saa_replace(kind, r, from->count);
  if (r) log_saa(0, kind, r, p);
  return r;
}

}  // namespace

bool pi_hand_over(const PCB* p, uint8_t kind) {
  PCB* inv = invoc_parent(p->invoc);
  if (!inv || p->invoc.chain_mode() != 2 || inv->family_no == p->family_no) return false;
  PCB* owner = inv->pcb_saa_owner[kind];
  return owner && owner->family_no == inv->family_no && inv->pcb_pool_owner;
}

void copy_saas(PCB* p, uint8_t kind) {
  for (SAA_REC* r : saa_of(kind, p->pcb_handle))
    for (uint32_t n = 1; n <= r->count && r->count != kSaaSkipped; ++n) {
      r->e[n].borrowed = nullptr;
      if (r->e[n].received == SAA_RCV_INVOKER) r->e[n].received = 0;
    }
  PCB* inv = invoc_parent(p->invoc);
  PCB* from_owner = inv ? inv->pcb_saa_owner[kind] : nullptr;
  if (!from_owner || p->invoc.bg_run()) return;
  const uint8_t it = p->invoc.invoc_type();
  const uint8_t rc = p->pcb_em ? p->pcb_em->em_rcv_class : 0;
  hand_over h{it < kInvocTypes ? saa_pass_tbl[it] : uint8_t(0), rc < kRcvClasses ? saa_rcv_tbl[rc] : uint8_t(0),
              pi_hand_over(p, kind)};
  for (SAA_REC* from : saa_of(kind, from_owner->pcb_handle)) {
    if (!(from->pass & h.pass) || from->count == kSaaSkipped) continue;
    SAA_REC* to = own_copy(p, kind, from);
    if (!to) return;
    for (uint32_t n = from->count; n >= 1; --n)
      if (from->e[n].cls & h.pass) {
        copy_entry(to->e[n], from->e[n], h);
        to->pass |= to->e[n].cls;  // so that it passes them on in turn
      }
  }
}

void target_pcbs(PCB* p) {
  PCB* inv = invoc_parent(p->invoc);
  const bool bg = p->invoc.bg_run() != 0;
  const uint8_t rc = p->pcb_em ? p->pcb_em->em_rcv_class : 0;
  for (uint8_t k = 0; k < kSaaKinds; ++k) {
    const bool shared = saa_shared(p->invoc.invoc_type(), rc, k);
    if (!shared || bg || !inv) {
      p->pcb_saa_owner[k] = p;
      p->pcb_saa_parent[k] = inv && !bg ? inv->pcb_saa_owner[k] : nullptr;
      copy_saas(p, k);
    } else if (pi_hand_over(p, k)) {
      PCB* old = inv->pcb_saa_owner[k];
      p->pcb_saa_owner[k] = p;
      for (SAA_REC* r : saa_of(k, old->pcb_handle)) {
        if (!saa_delete(k, r)) {
          sys_err(kModule, __LINE__, "shr_data() - delete failed on saa file");
          continue;
        }
        r->owner = p->pcb_handle;
        if (!saa_write(k, r)) sys_err(kModule, __LINE__, "bad saa file write");
      }
    } else {
      p->pcb_saa_owner[k] = inv->pcb_saa_owner[k];
    }
  }
}

}  // namespace kivo
