// The end of a process's areas (pi_free_data) and their copy into and out
// of one buffer (pi_store_data, pi_restore_data).
//
// Invariant: store and restore walk the same order (kinds 0-12, this PCB's
// records in key order, entries 0 to count, file entries and entries
// without data skipped), so a buffer stored is restored byte for byte.
#include <cstring>

#include "compiler/compiler.h"
#include "fm/fm_open.h"
#include "foundation/sys_err.h"
#include "process/pi.h"
#include "process/pi_internal.h"
#include "process/pi_pcf.h"

namespace kivo {

namespace {

constexpr char kModule[] = "PISHR";

void free_file_blk(uint8_t* data) {
  auto* fb = reinterpret_cast<pi_file_blk*>(data);
  // A handle whose level has ended was closed with it.
  if (fb->arb && !fb_open_gone(fb)) {
    fb->arb->arb_mod = 0;
    if (!FM_CLOSE(fb->arb, 0)) sys_err(kModule, __LINE__, "pi_free_data() - bad close");
    fb->arb = nullptr;
  }
  if (fb->buf1) mm_free(fb->buf1);
  if (fb->buf2) mm_free(fb->buf2);
  mm_free(data);
}

void free_data(uint8_t* data, uint8_t type) {
  if (!data) return;
  if (type == 1) free_file_blk(data);
  else mm_free(data);
}

template <typename T>
void free_block(T*& p) {
  if (p) mm_free(p);
  p = nullptr;
}

// Each data entry of this PCB's records in store order; fn(data, size).
template <typename F>
void each_data(const PCB* p, F&& fn) {
  for (uint8_t k = 0; k < kSaaKinds; ++k)
    for (SAA_REC* r : saa_of(k, p->pcb_handle)) {
      if (r->count == kSaaSkipped) continue;
      for (uint32_t n = 0; n <= r->count; ++n) {
        saa_entry& e = r->e[n];
        uint8_t* d = e.own ? e.own : e.borrowed;
        if (e.type != 1 && d) fn(d, e.size);
      }
    }
}

// The private areas: the process's own blocks of pcb_pool.
void free_private(PCB* p) {
  const EM* em = p->pcb_em;
  for (uint32_t i = 0; em && p->pcb_areas && i < em->em_area_cnt; ++i) {
    const AREA_DESC& d = em->em_area_tbl[i];
    if (d.type >= 2 && !d.rel_off && d.area_no <= em->em_area_cnt) free_block(p->pcb_areas[d.area_no]);
  }
}

void free_tables(PCB* p) {
  pi_dyna_add(p, nullptr);
  free_private(p);
  free_block(p->pcb_areas);
  free_block(p->pcb_pcf_buf1);
  free_block(p->pcb_pcf_buf2);
  free_block(p->pcb_rid);
  p->pcb_rid_len = 0;
  pi_close_scratch(p->pcb_err_fi);
  for (ARB*& a : p->pcb_prev_err_fi) pi_close_scratch(a);
  pi_close_scratch(p->pcb_cdb_arb);
  free_block(p->pcb_frames);
  free_block(p->pcb_images);
  free_block(p->pcb_items);
  free_block(p->pcb_children);
  free_block(p->pcb_iscroll);
  free_block(p->pcb_profile);
  // The selection blocks go with the sub pool they live in (destroyed above,
  // or by the end of the scope of the PCB's last run, which may have come
  // already): freeing them one by one could touch freed memory.
  p->pcb_scb = nullptr;
}

}  // namespace

void pi_close_scratch(ARB*& a) {
  if (!a) return;
  ARB* arb = a;
  a = nullptr;
  arb->arb_mod = 0;
  if (!FM_CLOSE(arb, ARB_SCRATCH)) sys_err(kModule, __LINE__, "pi_close_scratch() - close failed");
}

void pi_free_data(PCB* p, int full) {
  for (uint8_t k = 0; k < kSaaKinds; ++k)
    for (SAA_REC* r : saa_of(k, p->pcb_handle)) {
      for (uint32_t n = 1; full && r->count != kSaaSkipped && n <= r->count; ++n) {
        saa_entry& e = r->e[n];
        free_data(e.own, e.type);
        if (e.flags & SAA_FREES_BORROWED) free_data(e.borrowed, e.type);
        e.own = e.borrowed = nullptr;
      }
      if (!saa_delete(k, r)) sys_err(kModule, __LINE__, "fm_del() - failed");
      mm_free(r);
    }
  if (full) {
    if (p->pcb_pool_owner && p->pcb_sub_pool) mm_destroy_pool(p->pcb_sub_pool);
    p->pcb_sub_pool = nullptr;
    free_tables(p);
    ih_drop(p->pcb_handle);
    p->pcb_handle = 0;
  }
  EM* em = p->pcb_em;
  p->pcb_em = nullptr;
  pl_free(em);
}

size_t pi_data_size(PCB* p) {
  size_t total = 0;
  each_data(p, [&](uint8_t*, uint16_t size) { total += size; });
  return total;
}

int pi_store_data(PCB* p, uint8_t* buf, size_t size) {
  if (pi_data_size(p) > size) {
    sys_err(kModule, __LINE__, "pi_store_data() - too much data");
    return 0;
  }
  each_data(p, [&](uint8_t* d, uint16_t n) { memcpy(buf, d, n), buf += n; });
  return 1;
}

int pi_restore_data(PCB* p, const uint8_t* buf, size_t size) {
  if (pi_data_size(p) > size) {
    sys_err(kModule, __LINE__, "pi_restore_data() - too little data");
    return 0;
  }
  each_data(p, [&](uint8_t* d, uint16_t n) { memcpy(d, buf, n), buf += n; });
  return 1;
}

}  // namespace kivo
