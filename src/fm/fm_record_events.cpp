// The null tail of variable-length records and the file's event points
// around record operations (see fm_record.h).
//
// An event point runs the file's own process with a copy of the record and
// may change it; while one runs the file's event depth is raised, so that
// the process reading or writing its own file triggers no event of it.
#include <algorithm>
#include <cstddef>
#include <cstring>

#include "fm/fm_open.h"
#include "fm/fm_record.h"
#include "fm/fm_switch.h"
#include "foundation/bytes.h"
#include "foundation/end_codes.h"
#include "foundation/pool.h"

namespace kivo {

namespace {

// Bytes of the record the caller's buffer and the file both hold.
size_t rec_span(const ARB* arb, const PFB* pfb) {
  return arb->arb_len ? std::min(arb->arb_len, pfb->pfb_rec_len) : pfb->pfb_rec_len;
}

uint8_t mode_of(uint8_t op) {
  switch (op) {
    case FP_OP_WRITE: return 1;
    case FP_OP_DELETE: return 2;
    case FP_OP_UPDATE: return 7;
    default: return 3;
  }
}

// The save area of a stream (strm_ext): the size of the process's data it
// holds, then the data.
struct saved_data {
  size_t size;
  uint8_t data[1];
};
constexpr size_t kSavedHead = offsetof(saved_data, data);

// The process's data into the stream's save area, made or grown to fit.
void store(STRM* s, FM_PROC* proc) {
  if (!fm_proc_hooks.data_size || !fm_proc_hooks.store_data) return;
  const size_t size = fm_proc_hooks.data_size(proc);
  auto* area = static_cast<saved_data*>(s->strm_ext);
  if (area && area->size < size) {
    mm_free(area);
    area = nullptr;
  }
  if (!area) area = static_cast<saved_data*>(fm_zalloc(kSavedHead + size));
  s->strm_ext = area;
  area->size = size;
  fm_proc_hooks.store_data(proc, area->data, size);
}

// The data stored with the stream's held record back into the process;
// data of another size (the process has other areas now) stays as it is.
void restore(STRM* s, FM_PROC* proc) {
  const auto* area = static_cast<const saved_data*>(s->strm_ext);
  if (!area || !fm_proc_hooks.data_size || !fm_proc_hooks.restore_data) return;
  if (area->size == fm_proc_hooks.data_size(proc)) fm_proc_hooks.restore_data(proc, area->data, area->size);
}

FM_PROC* proc_of(STRM* s) { return static_cast<FM_PROC*>(strm_pfb(s)->pfb_proc); }

// Runs event point `ep` with a copy of the record, which it may change;
// true when the event point flagged an error or cancelled.
bool run_point(ARB* arb, STRM* s, uint8_t ep, uint8_t op) {
  PFB* pfb = strm_pfb(s);
  FM_PROC* proc = proc_of(s);
  ++pfb->pfb_event_depth;
  if (ep != EP_READ) restore(s, proc);
  fm_prepare_proc(pfb, s->strm_lfb->lfb_lfn->lfn_path, op, mode_of(op));
  const size_t n = proc->rec ? std::min<size_t>(rec_span(arb, pfb), proc->rec_len) : 0;
  if (n) memcpy(proc->rec, arb->arb_rec, n);
  uint8_t result[4] = {};
  const uint32_t end = run_file_ep(pfb, ep, result);
  // A record read in locate mode is the file's own copy: never written here.
  if (n && !(arb->arb_mod & ARB_LOCATE)) memcpy(arb->arb_rec, proc->rec, n);
  --pfb->pfb_event_depth;
  return (ld_le32(result, 0) & kEpResultStop) || end == PI_END_CANCEL;
}

// The update event points run only when the module has code for them.
bool update_point_runs(STRM* s, uint8_t ep) {
  const FM_PROC* proc = proc_of(s);
  return !strm_pfb(s)->pfb_event_depth && (ep == EP_PRE_UPD ? proc->has_pre : proc->has_post);
}

}  // namespace

void restore_null(ARB* arb) {
  STRM* s = arb_strm_or_null(arb);
  const PFB* pfb = s ? strm_pfb(s) : nullptr;
  if (!pfb || !pfb->pfb_var || (arb->arb_mod & ARB_LOCATE)) return;
  size_t end = std::min(arb->arb_len, pfb->pfb_rec_len);
  size_t from = arb->arb_var_len;
  if (from >= end) return;
  if (pfb->pfb_null_rec) memcpy(arb->arb_rec + from, pfb->pfb_null_rec + from, end - from);
  else memset(arb->arb_rec + from, 0, end - from);
}

uint16_t trimmed_len(ARB* arb) {
  const PFB* pfb = strm_pfb(arb_strm_or_null(arb));
  const uint8_t* null = pfb->pfb_null_rec;
  size_t n = rec_span(arb, pfb);
  size_t floor = std::max<size_t>(pfb->pfb_min_len, 1);
  while (n > floor && arb->arb_rec[n - 1] == (null ? null[n - 1] : 0)) --n;
  return uint16_t(n);
}

bool has_events(const ARB* arb) {
  const STRM* s = arb_strm_or_null(arb);
  return s && (s->strm_lfb->lfb_opt & LFB_FILE_PROC) && strm_pfb(s)->pfb_proc;
}

int post_read(ARB* arb) {
  STRM* s = arb_strm_or_null(arb);
  PFB* pfb = strm_pfb(s);
  if (pfb->pfb_event_depth) return 1;
  bool held = arb->arb_mod & ARB_HOLD;
  uint32_t st = arb->arb_stat;
  bool refused = run_point(arb, s, EP_READ, held ? FP_OP_UPDATE : FP_OP_READ);
  arb->arb_stat = st;
  if (held && st != FM_HELD_SELF && st != FM_LOCKED) {
    if (!refused) store(s, proc_of(s));
    else if (s->strm_fms->release) s->strm_fms->release(arb, s);
  }
  if (!refused) return 1;
  arb->arb_stat = FM_NOT_FOUND;
  return 0;
}

void pre_upd(ARB* arb, uint8_t op) {
  STRM* s = arb_strm_or_null(arb);
  if (!update_point_runs(s, EP_PRE_UPD)) return;
  run_point(arb, s, EP_PRE_UPD, op);
  store(s, proc_of(s));
}

void end_upd(ARB* arb) {
  STRM* s = arb_strm_or_null(arb);
  if (!s || !s->strm_ext) return;
  mm_free(s->strm_ext);
  s->strm_ext = nullptr;
}

void post_upd(ARB* arb, uint8_t op) {
  STRM* s = arb_strm_or_null(arb);
  if (update_point_runs(s, EP_POST_UPD)) run_point(arb, s, EP_POST_UPD, op);
}

}  // namespace kivo
