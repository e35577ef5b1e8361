// Placing a process's data areas: its pools and tables (init_pcb), each
// area of the module's table in its SAA entry or the process pool
// (pi_shr_data), and a fresh area's initial bytes (init_area).
//
// Invariant: pcb_areas[area_no] is the address compiled code uses for the
// area; for a shared kind it is the owner's data, so a change made by one
// process is seen by every process sharing that kind.
#include <algorithm>
#include <cstring>

#include "compiler/em_access.h"
#include "compiler/em_child.h"
#include "compiler/em_field.h"
#include "compiler/em_file.h"
#include "compiler/em_frame.h"
#include "compiler/em_image.h"
#include "fm/fm_record.h"
#include "fm/fm_record_cache.h"
#include "fm/la.h"
#include "foundation/bytes.h"
#include "foundation/cmdline.h"
#include "foundation/com.h"
#include "foundation/end_codes.h"
#include "foundation/sys_err.h"
#include "process/pi.h"
#include "process/pi_internal.h"
#include "process/process.h"
#include "process/qp.h"

namespace kivo {

namespace {

constexpr char kModule[] = "PISHR";
constexpr char kPoolName[] = " PIPOOL    ";
constexpr char kSubPoolName[] = " PISUBP    ";
constexpr uint16_t kMsgTextLen = 79;
constexpr uint8_t CFI_OPT_SHARED = 0x01;  // byte 48 of the file record: shared with another level
constexpr size_t kSmallConst = 255;

uint32_t g_pool_counter;

template <typename T>
T* table(PCB* p, uint32_t n) {
  auto* t = static_cast<T*>(MM_ALLOC(p->pcb_pool, sizeof(T) * n));
  if (t) memset(t, 0, sizeof(T) * n);
  return t;
}

void init_msg_files(PCB* p) {
  const uint32_t level = p->pcb_pool->level;
  if (!(p->pcb_err_fi = la_create_fi(kMsgTextLen, level))) sys_err(kModule, __LINE__, "no err file");
  for (ARB*& fi : p->pcb_prev_err_fi)
    if (!(fi = la_create_fi(kMsgTextLen, level))) sys_err(kModule, __LINE__, "no prev err file");
}

void init_frames(PCB* p, EM* em) {
  if (!em->em_frm_cnt) return;
  auto* t = table<pcb_frm_ent>(p, em->em_frm_cnt + 1);
  p->pcb_frames = reinterpret_cast<uint8_t*>(t);
  const bool input = p->invoc.proc_type() == PT_INPUT;
  bool ok = pi_each_rec(em->em_cfrm_arb, [&](uint8_t* r) {
    uint32_t no = cfrm_view(r).number();
    if (no > em->em_frm_cnt) return;
    t[no].rec = r;
    if (!input || !cfrm_view(r).scroll()) return;
    if (p->pcb_iscroll) return sys_err(kModule, __LINE__, "pcb_iscroll already set");
    auto* s = table<pcb_iscroll_blk>(p, 1);
    if (s) s->frame = &t[no];
    p->pcb_iscroll = s;
  });
  if (!ok) sys_err(kModule, __LINE__, "bad cfrm start");
}

void init_images(PCB* p, EM* em) {
  if (!em->em_img_cnt) return;
  auto* t = table<pcb_img_ent>(p, em->em_img_cnt + 1);
  p->pcb_images = reinterpret_cast<uint8_t*>(t);
  bool ok = pi_each_rec(em->em_cimg_arb, [&](uint8_t* r) {
    uint32_t no = cimg_view(r).index();
    if (no <= em->em_img_cnt) t[no].rec = r;
  });
  if (!ok) sys_err(kModule, __LINE__, "bad cimg start");
}

void init_items(PCB* p, EM* em) {
  if (!em->em_itm_cnt) return;
  auto* t = table<pcb_itm_ent>(p, em->em_itm_cnt + 1);
  p->pcb_items = reinterpret_cast<uint8_t*>(t);
  bool ok = pi_each_rec(em->em_citm_arb, [&](uint8_t* r) {
    uint32_t no = ld_le16(r, em_layout.citm_itemno_off);
    if (no > em->em_itm_cnt) return;
    t[no].rec = r;
    t[no].b250 = r[250];
  });
  if (!ok) sys_err(kModule, __LINE__, "bad citm start");
}

void init_children(PCB* p, EM* em) {
  if (!em->em_chld_cnt) return;
  auto* t = table<pcb_chld_ent>(p, em->em_chld_cnt + 2);
  p->pcb_children = reinterpret_cast<uint8_t*>(t);
  bool ok = pi_each_rec(em->em_cchld_arb, [&](uint8_t* r) {
    uint32_t no = cchld_view(r).number();
    if (no <= em->em_chld_cnt) t[no].rec = r;
  });
  if (!ok) sys_err(kModule, __LINE__, "bad cchld start");
}

// A compiled record of area `ad` by (application, kind x 1000000 + number)
// on key `keyno` of `a`, the number at `no_off`.
uint8_t* by_area_key(ARB* a, uint8_t keyno, size_t ap_off, size_t no_off, const AREA_DESC* ad) {
  uint8_t key[size_t(CFI_LEN)] = {};
  static_assert(size_t(CFI_LEN) >= size_t(CFLD_LEN));
  memcpy(key + ap_off, ad->ap, 3);
  st_le32(key, no_off, ad->kind * 1000000u + ad->number);
  return a ? em_read_key(a, keyno, key) : nullptr;
}

// The file's initial record, taken from the record cache once per file of
// the module.
const uint8_t* dflt_rec(EM* em, const uint8_t* cfi) {
  const uint16_t index = cfi_view(cfi).index();
  if (!em->em_cfi_native && !em_cfi_load_keys(em)) return nullptr;
  if (index == 0 || index > em->em_cfi_cnt) return nullptr;
  em_cfi_keys& k = em->em_cfi_native[index - 1];
  if (k.dflt_rec) return k.dflt_rec;
  FDB fdb;
  if (!em_cfi_desc(em, cfi, &fdb)) return nullptr;
  return k.dflt_rec = fm_cache(&fdb, CACHE_INITIAL);
}

void init_from_field(uint8_t* dst, EM* em, const AREA_DESC* ad) {
  const uint8_t* fld = by_area_key(em->em_cfld_arb, 1, CFLD_AP, CFLD_ELEM, ad);
  if (!fld) {
    sys_err(kModule, __LINE__, "init_area() - Cannot read cfld_rec");
    return;
  }
  uint32_t occurs = cfld_view(fld).occurs();
  if (occurs == 0) occurs = 1;
  const uint32_t elem = ad->size / occurs;
  const uint8_t* c = CNST_RLOC(em, cfld_view(fld).init_const());
  if (!c) return;
  if (c == reinterpret_cast<const uint8_t*>(com.blanks) && elem > kSmallConst) {
    memset(dst, ' ', ad->size);
    return;
  }
  for (uint32_t i = 0; i < occurs; ++i) memcpy(dst + i * elem, c, elem);
}

}  // namespace

void UNIQUE_POOL_NAM(char* out, const char* name) {
  memcpy(out, name, kPoolNameLen);
  memcpy(out + 7, &g_pool_counter, 4);
  ++g_pool_counter;
}

namespace {

// The compiled file record whose first (record area) or second (file
// area) number is the area's.
uint8_t* cfi_of(EM* em, const AREA_DESC* ad, bool file_area) {
  uint8_t* r = file_area ? by_area_key(em->em_cfi_arb, 3, FDB_AP, CFI_FILE_NO2, ad)
                         : by_area_key(em->em_cfi_arb, 2, FDB_AP, CFI_FILE_NO, ad);
  if (!r) sys_err(kModule, __LINE__, "init_area() - Cannot read cfi_rec");
  return r;
}

}  // namespace

uint8_t* get_cfi(EM* em, const AREA_DESC* ad) {
  if (ad->type != 1) {
    sys_err(kModule, __LINE__, "bad dlf type");
    return nullptr;
  }
  return cfi_of(em, ad, true);
}

const uint8_t* pi_dflt_rec(EM* em, const AREA_DESC* ad) {
  const uint8_t* cfi = cfi_of(em, ad, false);
  return cfi ? dflt_rec(em, cfi) : nullptr;
}

void init_area(uint8_t* dst, PCB* p, const AREA_DESC* ad) {
  EM* em = p->pcb_em;
  if (ad->init == 2) return init_from_field(dst, em, ad);
  if (ad->init == 1)
    if (const uint8_t* rec = pi_dflt_rec(em, ad)) return (void)memcpy(dst, rec, ad->size);
  memset(dst, 0, ad->size);
}

void init_pcb(PCB* p) {
  EM* em = p->pcb_em;
  p->pcb_areas = table<uint8_t*>(p, em->em_area_cnt + 1);
  init_msg_files(p);
  init_frames(p, em);
  init_images(p, em);
  init_items(p, em);
  init_children(p, em);
}

uint32_t pi_owner_level(const PCB* p, uint8_t kind) {
  if (kind == kQryAreaKind && qp_auto_scope && p->invoc.proc_type() == PT_QUERY && p->invoc.auto_run() == 1)
    return qp_auto_scope;
  const PCB* owner = kind < kSaaKinds && p->pcb_saa_owner[kind] ? p->pcb_saa_owner[kind] : p;
  return owner->pcb_pool ? owner->pcb_pool->level : com.sys_scope;
}

namespace {

struct placing {
  PCB* p;
  uint32_t total = 0;
  uint8_t* last = nullptr;
  SAA_REC* rec = nullptr;
  bool priv = false;
};

// A file area's block made fresh: its file record, and the level it is
// shared with when the file says so.
void new_file_blk(placing& s, pi_file_blk* fb, const AREA_DESC* ad, const saa_entry& e) {
  memset(fb, 0, sizeof *fb);
  fb->cfi = get_cfi(s.p->pcb_em, ad);
  fb->state = FB_OWN;
  fb->own_scope = s.p->pcb_pool->level;
  if (!fb->cfi || !(cfi_view(fb->cfi).options() & CFI_OPT_SHARED)) return;
  const uint8_t k = cfi_view(fb->cfi).share_kind();
  PCB* owner = k < kSaaKinds ? s.p->pcb_saa_owner[k] : nullptr;
  if (!owner) return;
  fb->state = FB_SHARED;
  fb->shr_scope = pi_owner_level(s.p, k);
  const auto* from = reinterpret_cast<const pi_file_blk*>(e.borrowed);
  uint32_t own = from ? from->own_scope : fb->own_scope;
  fb->own_scope = own > fb->shr_scope ? own : fb->shr_scope;
  // A background owner takes its own copy of the file its invoker shares.
  PCB* owner_inv = invoc_parent(owner->invoc);
  if (owner->invoc.bg_run() && owner_inv && owner_inv->pcb_pool &&
      saa_shared(owner->invoc.invoc_type(), s.p->pcb_em->em_rcv_class, k))
    copy_fi(owner, s.p->pcb_em, fb, owner_inv->pcb_pool->level);
}

// A file block placed before, for this process: its compiled record is
// this process's own (see pi_own_file_blks), and a handle the level that
// opened it took with it when it ended is forgotten, the file opened again
// at this process's level.
void reuse_file_blk(placing& s, pi_file_blk* fb, const AREA_DESC* ad) {
  fb->cfi = get_cfi(s.p->pcb_em, ad);
  if (fb->state || !fb_open_gone(fb)) return;
  fb->arb = fb->cur_arb = nullptr;
  fb->state = FB_OWN;
  fb->own_scope = std::max<uint32_t>(s.p->pcb_pool->level, fb->shr_scope);
}

// A private or fresh entry's bytes: the invoker's when it hands them down,
// else the area's initial value. Restored bytes stay.
void reinit(placing& s, saa_entry& e, const AREA_DESC* ad) {
  if (e.type == 1) {
    auto* fb = reinterpret_cast<pi_file_blk*>(e.own);
    fb->stat[0] = fb->stat[1] = 0;
    reuse_file_blk(s, fb, ad);
    return;
  }
  if (e.received == SAA_RCV_RESTORED) return;
  if (e.received == SAA_RCV_INVOKER && (e.cls & 0x0E) && e.borrowed) memcpy(e.own, e.borrowed, e.size);
  else init_area(e.own, s.p, ad);
}

void place_anchored(placing& s, const AREA_DESC* ad, const AREA_DESC* prev) {
  PCB* p = s.p;
  PCB* owner = p->pcb_saa_owner[ad->kind];
  if (!prev || prev->kind != ad->kind || memcmp(prev->ap, ad->ap, 3) != 0) {
    s.rec = pi_get_saa(p->pcb_em, ad->ap, owner, ad->kind);
    s.priv = p->invoc.bg_run() || !saa_shared(p->invoc.invoc_type(), p->pcb_em->em_rcv_class, ad->kind);
  }
  if (!s.rec || ad->number == 0 || ad->number > s.rec->count) {
    sys_err(kModule, __LINE__, "area %u of kind %u outside its SAA record", ad->number, ad->kind);
    return;
  }
  saa_entry& e = s.rec->e[ad->number];
  if (e.own) {
    if (s.priv) reinit(s, e, ad);
    else if (e.type == 1) reuse_file_blk(s, reinterpret_cast<pi_file_blk*>(e.own), ad);
  } else {
    const uint32_t size = ad->type == 1 ? uint32_t(sizeof(pi_file_blk)) : ad->size;
    if (size > UINT16_MAX)
      return sys_err(kModule, __LINE__, "area %u of kind %u is %u bytes", ad->number, ad->kind, size);
    e.own = static_cast<uint8_t*>(MM_ALLOC(owner->pcb_pool, size));
    if (!e.own) return;
    e.size = static_cast<uint16_t>(size);
    e.type = ad->type, e.flags = ad->flags, e.cls = ad->cls;
    s.rec->pass |= ad->cls;
    if (ad->type == 1) {
      new_file_blk(s, reinterpret_cast<pi_file_blk*>(e.own), ad, e);
    } else {
      s.total += size;
      reinit(s, e, ad);
    }
  }
  s.last = p->pcb_areas[ad->area_no] = e.own;
}

}  // namespace

namespace {

// Per area kind, the owner of the kind's areas for invoker `inv` (null:
// none) as target_pcbs chooses it; true when any differs from now.
bool new_owners(PCB* p, PCB* inv, PCB** owner) {
  const uint8_t rc = p->pcb_em ? p->pcb_em->em_rcv_class : 0;
  bool changed = false;
  for (uint8_t k = 0; k < kSaaKinds; ++k) {
    const bool shared = inv && !p->invoc.bg_run() && saa_shared(p->invoc.invoc_type(), rc, k);
    owner[k] = shared ? inv->pcb_saa_owner[k] : p;
    changed = changed || owner[k] != p->pcb_saa_owner[k];
  }
  return changed;
}

}  // namespace

void pi_reshare(PCB* p, PCB* inv) {
  p->invoc.set_parent_pcb(inv ? inv->pcb_handle : 0);
  PCB* owner[kSaaKinds];
  EM* em = p->pcb_em;
  if (!em || !p->pcb_areas || !new_owners(p, inv, owner)) return;
  bool moved[kSaaKinds];
  for (uint8_t k = 0; k < kSaaKinds; ++k) {
    moved[k] = owner[k] != p->pcb_saa_owner[k];
    p->pcb_saa_owner[k] = owner[k];
    p->pcb_saa_parent[k] = inv ? inv->pcb_saa_owner[k] : nullptr;
  }
  placing s{p};
  const AREA_DESC* prev = nullptr;
  bool placed = false;  // the area before a relative one was placed again
  for (uint32_t i = 0; i < em->em_area_cnt; ++i) {
    const AREA_DESC* ad = &em->em_area_tbl[i];
    if (ad->area_no > em->em_area_cnt) continue;
    if (ad->rel_off) {
      if (placed) p->pcb_areas[ad->area_no] = s.last ? s.last + ad->rel_off : nullptr;
      continue;
    }
    placed = ad->type < 2 && ad->kind < kSaaKinds && moved[ad->kind];
    if (placed) place_anchored(s, ad, prev);
    s.last = p->pcb_areas[ad->area_no];
    prev = placed ? ad : nullptr;  // a skipped area leaves no SAA record to take over
  }
}

void pi_own_file_blks(PCB* p) {
  EM* em = p->pcb_em;
  for (uint32_t i = 0; em && p->pcb_areas && i < em->em_area_cnt; ++i) {
    const AREA_DESC* ad = &em->em_area_tbl[i];
    if (ad->type != 1 || ad->rel_off || ad->area_no > em->em_area_cnt) continue;
    if (auto* fb = reinterpret_cast<pi_file_blk*>(p->pcb_areas[ad->area_no])) fb->cfi = get_cfi(em, ad);
  }
}

uint32_t pi_shr_data(PCB* p, uint32_t scope, uint32_t sub_scope) {
  p->pcb_pool = mm_create_pool(kPoolName, scope);
  // What lived in a pool of an earlier run is gone with it: a reused
  // SUBPROCESS PCB still points at that run's blocks, the selection blocks
  // among them, and a new block must not chain onto them.
  p->pcb_dyna = nullptr, p->pcb_rid = nullptr, p->pcb_rid_len = 0, p->pcb_scb = nullptr;
  char sub[kPoolNameLen];
  UNIQUE_POOL_NAM(sub, kSubPoolName);
  p->pcb_sub_pool = mm_create_pool(sub, sub_scope);
  if (!p->pcb_handle) p->pcb_handle = ih_put(HK_PCB, p);
  if (session_pending()) pi_resume(p);
  PCB* inv = invoc_parent(p->invoc);
  if (p->invoc.bg_run() && inv) qp_copy_pend(scope, pi_owner_level(inv, kQryAreaKind));
  EM* em = p->pcb_em;
  if (!p->pcb_areas) init_pcb(p);
  target_pcbs(p);
  placing s{p};
  const AREA_DESC* prev = nullptr;
  for (uint32_t i = 0; i < em->em_area_cnt && p->pcb_areas; ++i) {
    const AREA_DESC* ad = &em->em_area_tbl[i];
    if (ad->area_no > em->em_area_cnt) {
      sys_err(kModule, __LINE__, "area number %u over %u", ad->area_no, em->em_area_cnt);
    } else if (ad->rel_off) {
      p->pcb_areas[ad->area_no] = s.last ? s.last + ad->rel_off : nullptr;
    } else if (ad->type >= 2) {
      uint8_t*& a = p->pcb_areas[ad->area_no];
      if (!a && (a = static_cast<uint8_t*>(MM_ALLOC(p->pcb_pool, ad->size)))) s.total += ad->size;
      if (a) init_area(a, p, ad);
      s.last = a;
    } else if (ad->kind < kSaaKinds) {
      place_anchored(s, ad, prev);
      prev = ad;  // the next anchored area of the same kind and application takes its record
    }
  }
  init_pdf(p);
  memset(ss_session, ' ', sizeof ss_session);
  pi_keep_profile(p);
  bld_pcf_scb(p);
  return s.total;
}

}  // namespace kivo
