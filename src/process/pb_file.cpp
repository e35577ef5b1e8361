// The sorted-query file type: its switch table installed on a stream at
// attach, the reader that turns pointer records into records and level
// breaks, the progress text, and the entries the executive calls.
//
// Invariant: a status delivered as a failed read leaves the stream on a
// record, so the next read goes on where the statuses stopped.
#include "process/pb.h"

#include <cstdlib>
#include <cstring>
#include <map>

#include "compiler/pcb.h"
#include "fm/fm_objects.h"
#include "fm/fm_open.h"
#include "fm/fm_record.h"
#include "fm/fm_status.h"
#include "fm/fm_switch.h"
#include "foundation/bytes.h"
#include "foundation/com.h"
#include "foundation/pool.h"
#include "foundation/scope.h"
#include "foundation/sys_err.h"
#include "interp/rt_fns.h"
#include "process/pb_fqry.h"
#include "process/pb_slct.h"
#include "process/pi.h"
#include "process/pi_internal.h"
#include "process/process.h"
#include "process/qp.h"
#include "process/qs.h"
#include "screen/wm_region.h"

namespace kivo {

bool pb_show_progress = false;

namespace {
// The one-line window of the progress text and the level it lives in.
TWND* stat_wnd = nullptr;
uint32_t stat_level = 0;

}  // namespace

void pb_progress_line(const std::string& text) {
  if (stat_wnd) wm_del_stat(stat_wnd);
  stat_wnd = text.empty() ? nullptr : wm_add_stat(text.data(), text.size());
  stat_level = com.mark_scope;
}

void pb_progress_show(const std::string& text) { process_seams.pb_progress(text); }
PCF_SCB* pb_attach_chain = nullptr;

namespace {

PB_ATTACH* blk(STRM* s) { return static_cast<PB_ATTACH*>(s->strm_fms_path); }

void push(const pb_level_map& map, uint32_t status, uint32_t level, std::vector<std::pair<uint32_t, uint32_t>>* out) {
  if (level < map.size() && map[level] >= 0) out->emplace_back(status, uint32_t(map[level]));
}

// Switch slots of a sorted stream: reads come from the query; updates go to
// the query's data stream on its current record.
int sq_rdnxt(ARB* arb, STRM* s) {
  PB_ATTACH* b = blk(s);
  uint16_t len = arb->arb_len;
  uint32_t st = 0, level = 0;
  const int r = pb_rdnxt(b, arb->arb_rec, &len, &st, &level);
  arb->arb_stat = st, arb->arb_stat2 = level;
  if (r) {
    arb->arb_len = arb->arb_var_len = len;
    arb->arb_rec_id_len = b->data->arb_rec_id_len, arb->arb_rec_id_area = b->data->arb_rec_id_area;
    return 1;
  }
  // A level status is no end of the stream: the next read goes on.
  if (st == PB_LEVEL_START || st == PB_LEVEL_END) s->strm_active = kStrmOnRecord;
  return 0;
}

int on_data(ARB* arb, STRM* s, int (*op)(ARB*)) {
  ARB* d = blk(s)->data;
  if (!d) return arb->arb_stat = PB_NO_QUERY, 0;  // the query ended with its failed sort
  d->arb_rec = arb->arb_rec, d->arb_len = arb->arb_len, d->arb_var_len = arb->arb_var_len;
  d->arb_mod = arb->arb_mod, d->arb_key = arb->arb_key, d->arb_keyno = arb->arb_keyno;
  const int r = op(d);
  arb->arb_stat = d->arb_stat, arb->arb_stat2 = d->arb_stat2;
  d->arb_mod = 0;
  return r;
}
int sq_read(ARB* a, STRM* s) { return on_data(a, s, fm_read); }
int sq_rewrite(ARB* a, STRM* s) { return on_data(a, s, fm_rewrite); }
int sq_del(ARB* a, STRM* s) { return on_data(a, s, fm_del); }
int sq_release(ARB* a, STRM* s) { return a && s && blk(s)->data ? on_data(a, s, fm_release) : 1; }
int sq_start(ARB*, STRM* s) { return pb_restart(blk(s)); }
int sq_write(ARB* a, STRM*) { return a->arb_stat = PB_NO_QUERY, 0; }
int sq_close(ARB*, STRM* s) {
  if (blk(s)) process_seams.pb_unbuild(blk(s));
  delete blk(s);
  s->strm_fms_path = nullptr;
  return 1;
}

fms_fn sq_table = [] {
  fms_fn t{};
  t.pfb_fms_fn_type = 0;
  t.rdnxt = sq_rdnxt, t.read = sq_read, t.rewrite = sq_rewrite, t.del = sq_del;
  t.release = sq_release, t.start = sq_start, t.write = sq_write;
  t.close = sq_close, t.detach = sq_close;
  return t;
}();

}  // namespace

int pb_sq_attach(ARB* arb, STRM* s, FSCB* scan) {
  if (!scan || scan->fscb_sq_len < kQblkLen) return arb->arb_stat = PB_NO_QUERY, 0;
  auto* b = new PB_ATTACH;
  if (!process_seams.pb_build(arb, s, scan->fscb_sq, b)) {
    arb->arb_stat = b->status ? b->status : PB_NO_QUERY;
    delete b;
    return 0;
  }
  b->breaks = scan->fscb_sq[QB_BREAKS] == 1;
  s->strm_fms = &sq_table;
  s->strm_fms_path = b;
  s->strm_fms_path_len = sizeof(PB_ATTACH);
  s->strm_active = kStrmStartPending;
  return 1;
}

namespace {

// ---- PB_VALID_EXPR ----

int valid_expr_fn(RT_CALL& c) {
  if (c.argc < 3 || !c.args[0].addr || !c.args[1].addr || c.args[1].len < 4 || !c.args[2].addr || c.args[2].len < 4)
    return 0;
  uint32_t pos = 0;
  const uint32_t r = pb_valid_expr(reinterpret_cast<const char*>(c.args[0].addr), c.args[0].len, &pos);
  st_le32(c.args[1].addr, 0, r), st_le32(c.args[2].addr, 0, pos);
  return 1;
}

std::map<uint32_t, std::vector<ARB*>> dds_open;  // by PCB handle

}  // namespace

void pb_breaks(const pb_level_map& map, bool have_prev, uint16_t prev_next, bool have_rec, uint16_t rec_prev,
               std::vector<std::pair<uint32_t, uint32_t>>* out) {
  const uint32_t levels = map.empty() ? 0 : uint32_t(map.size() - 1);
  if (have_prev && prev_next != kTagLevel) {
    // The previous record's groups from the first differing field down end;
    // at the end of the file every group ends.
    const uint32_t from = have_rec ? prev_next : 0;
    for (uint32_t l = levels + 1; l-- > from;) push(map, PB_LEVEL_END, l, out);
  }
  if (have_rec && rec_prev != kTagLevel) {
    const uint32_t from = have_prev ? rec_prev : 0;
    for (uint32_t l = from; l <= levels; ++l) push(map, PB_LEVEL_START, l, out);
  }
}

int pb_restart(PB_ATTACH* b) {
  b->queue.clear();
  b->have_prev = b->rec_waiting = b->ended = b->ahead_end = false;
  b->ahead_at = b->ahead_n = 0;
  b->prev_next = 0, b->read = 0;
  if (!b->ptr) return 1;
  b->ptr->arb_mod = ARB_FIRST, b->ptr->arb_key = nullptr, b->ptr->arb_keyno = 0;
  return fm_start(b->ptr) || b->ptr->arb_stat == FM_EOF || b->ptr->arb_stat == FM_NOT_FOUND;
}

namespace {

// Pointer records read ahead: enough to cover the memory's latency, few
// enough to cost nothing of the budget.
constexpr uint32_t kPtrAhead = 16;

// The next pointer record into b->ptr_rec: 1, or 0 with the pointer
// stream's status (FM_EOF at its end). Up to kPtrAhead pointers are read
// ahead, the record of each asked for as it comes (fm_prefetch_id); a
// status met ahead is given once the pointers before it are delivered, and
// the read after a failure tries the stream again, as an unbuffered one.
int next_pointer(PB_ATTACH* b, uint32_t* status) {
  const size_t size = b->id_len + kPtrExtra;
  if (b->ahead.size() != size * kPtrAhead) b->ahead.assign(size * kPtrAhead, 0), b->ahead_at = b->ahead_n = 0;
  while (b->ahead_n < kPtrAhead && !b->ahead_end) {
    uint8_t* slot = b->ahead.data() + size * ((b->ahead_at + b->ahead_n) % kPtrAhead);
    ARB* a = b->ptr;
    a->arb_rec = slot, a->arb_len = uint16_t(size), a->arb_mod = 0, a->arb_key = nullptr;
    if (!fm_rdnxt(a)) {
      b->ahead_end = true, b->ahead_stat = a->arb_stat;
      break;
    }
    ++b->ahead_n;
    if (!b->by_key) fm_prefetch_id(b->data, slot + PT_ID, b->id_len);
  }
  if (b->ahead_n == 0) {
    b->ahead_end = false;
    return *status = b->ahead_stat, 0;
  }
  b->ptr_rec.assign(b->ahead.begin() + long(size * b->ahead_at), b->ahead.begin() + long(size * (b->ahead_at + 1)));
  b->ahead_at = (b->ahead_at + 1) % kPtrAhead, --b->ahead_n;
  return 1;
}

// Reads the record of the pointer last taken into `rec`; 0 with its status
// when it cannot be read.
int pb_read_waiting(PB_ATTACH* b, uint8_t* rec, uint16_t* len, uint32_t* status) {
  ARB* d = b->data;
  d->arb_rec = rec, d->arb_len = *len, d->arb_keyno = b->key_no;
  if (b->by_key) {
    // The whole key as a separate key: a read takes one only as partial.
    d->arb_key = b->rid.data(), d->arb_key_len = uint16_t(b->rid.size()), d->arb_mod = ARB_EQUAL | ARB_PARTIAL;
  } else {
    d->arb_key = nullptr, d->arb_rec_id_area = b->rid.data(), d->arb_rec_id_len = uint32_t(b->rid.size());
    d->arb_mod = ARB_REC_ID;
  }
  const int r = fm_read(d);
  d->arb_mod = 0, d->arb_key = nullptr;
  if (!r) return *status = d->arb_stat, 0;
  *len = d->arb_var_len ? d->arb_var_len : d->arb_len;
  return 1;
}

}  // namespace

int pb_rdnxt(PB_ATTACH* b, uint8_t* rec, uint16_t* len, uint32_t* status, uint32_t* level) {
  *level = 0;
  if (!b->ptr && b->exec) {
    const uint32_t st = b->exec(b);
    if (st != 1) return *status = st, 0;
  }
  if (b->queue.empty() && !b->rec_waiting) {
    if (b->ended) return *status = FM_EOF, 0;
    const std::vector<uint8_t>& p = b->ptr_rec;
    uint32_t ptr_st = 0;
    if (next_pointer(b, &ptr_st)) {
      ++b->read;
      if (b->progress) b->progress(b, 3);
      const uint16_t prev = ld_le16(p.data(), PT_PREV), next = ld_le16(p.data(), PT_NEXT);
      pb_breaks(b->map, b->have_prev, b->prev_next, true, prev, &b->queue);
      b->rid.assign(p.begin() + PT_ID, p.begin() + PT_ID + b->id_len);
      b->have_prev = true, b->prev_next = next, b->rec_waiting = true;
    } else if (ptr_st == FM_EOF) {
      pb_breaks(b->map, b->have_prev, b->prev_next, false, 0, &b->queue);
      b->ended = true;
      if (b->progress) b->progress(b, 4);
      if (b->queue.empty()) return *status = FM_EOF, 0;
    } else {
      return *status = ptr_st, 0;
    }
  }
  if (!b->queue.empty()) {
    // The groups that start belong to the record that comes next: it is in
    // the record area before their headings run, while the groups that end
    // still see the last record of theirs.
    if (b->queue.front().first == PB_LEVEL_START && b->rec_waiting && !pb_read_waiting(b, rec, len, status)) return 0;
    *status = b->queue.front().first, *level = b->queue.front().second;
    b->queue.erase(b->queue.begin());
    return 0;
  }
  b->rec_waiting = false;
  if (!pb_read_waiting(b, rec, len, status)) return 0;
  *status = b->breaks ? PB_RECORD : 1;
  return 1;
}

std::string pb_progress_text(PB_PROGRESS* s, int kind, uint32_t count, uint32_t selected, uint32_t read) {
  if (kind != s->kind || kind == 4) {
    s->step = 1, s->limit = 10, s->next = 1, s->window = false;
    s->kind = kind;
  }
  if (kind == 4 || count != s->next) return {};
  if (count >= s->limit) s->limit *= 10, s->step *= 10;
  s->next += s->step;
  char t[96];
  if (kind == 1) snprintf(t, sizeof t, "Selecting record %u of %u processed", selected, count);
  else snprintf(t, sizeof t, "Processing record %u of %u selected", read < selected ? read : selected, selected);
  s->window = true;
  return t;
}

uint32_t pb_valid_expr(const char* text, uint16_t len, uint32_t* pos) {
  *pos = 0;
  if (!text || len == 0) return 1;
  std::vector<uint8_t> qparm(kQparmLen, ' ');
  memcpy(qparm.data() + QPARM_EXPR8, text, len < kExprLen ? len : kExprLen);
  PARSE_STATE s{};
  pb_load_parse(&s, nullptr, nullptr);
  s.pos = reinterpret_cast<const char*>(qparm.data() + QPARM_EXPR8);
  s.end = s.pos + kExprLen - 1;
  const char* start = s.pos;
  const uint32_t r = MARK(MARK_RECOVERY, [&] { pb_parse_stmt(&s); });
  *pos = uint32_t(s.pos - start);
  return r == 0 || r == 1 ? 1 : r;
}

void pb_dds_keep(PCB* p, ARB* a) { dds_open[p->pcb_handle].push_back(a); }
void pb_dds_close(PCB* p) {
  auto it = dds_open.find(p->pcb_handle);
  if (it == dds_open.end()) return;
  for (ARB* a : it->second) a->arb_mod = 0, FM_CLOSE(a, 0);
  dds_open.erase(it);
}

void pb_forget_stat(uint32_t level) {
  if (stat_wnd && stat_level >= level) stat_wnd = nullptr;
}

int pb_get_info(ARB* arb, uint8_t* info) {
  memset(info, 0, kPbInfoLen);
  memset(info + PBI_CODE, ' ', kRangeCodeLen);
  STRM* s = arb_strm_or_null(arb);
  if (!s || s->strm_fms != &sq_table || !blk(s)) return 0;
  const auto* q = static_cast<const ACTIVE_QRY*>(blk(s)->query);
  if (!q) return 0;
  // The query process's own range code, as its suspend file brought it.
  if (const uint8_t* a17 = pi_area(&q->pcb, AREA_RANGE, kRangeCodeLen)) memcpy(info + PBI_CODE, a17, kRangeCodeLen);
  return 1;
}

void pb_auto_setup(PCB* p, void* fad_v) {
  auto* fad = static_cast<FAD*>(fad_v);
  // The chain goes only with a sorted request: a chain left for a later
  // attach would outlive the run whose pool holds it.
  pb_attach_chain = nullptr;
  for (auto* b = static_cast<PCF_SCB*>(p->pcb_scb); b; b = b->next) {
    if (b->kind != SCB_RANGE) continue;
    auto* q = static_cast<uint8_t*>(MM_ALLOC(p->pcb_pool, kQblkLen));
    auto* r = static_cast<SCAN_REQ*>(MM_ALLOC(p->pcb_pool, sizeof(SCAN_REQ)));
    if (!q || !r) return;
    memset(q, ' ', kQblkLen);
    q[QB_KIND] = 2;
    st_le32(q, QB_SCOPE, b->rng_scope);
    memcpy(q + QB_AP, b->rng_ap, 3), memcpy(q + QB_VER, b->rng_ver, 2), memcpy(q + QB_PROC, b->rng_nam, 30);
    q[QB_BREAKS] = 1, q[QB_UPDATE] = b->invoc100;
    memset(r, 0, sizeof *r);
    r->type = SCAN_SORTED, r->sq_len = kQblkLen, r->sq_parms = q;
    r->next = fad->fad_scan;  // the request heads the chain
    fad->fad_scan = r;
    pb_attach_chain = static_cast<PCF_SCB*>(p->pcb_scb);
    return;
  }
}

int pb_init() {
  const char* e = getenv("KIVO_SHOW_PROGRESS");
  pb_show_progress = e != nullptr;
  qp_pend_arb = qp_pend_walk = qp_open_arb = nullptr;
  dds_open.clear();
  pb_fqry_register();
  static bool once = false;
  if (!once) {
    once = true;
    rt_add_fn({"PB_VALID_EXPR", valid_expr_fn, 3, 0});
  }
  return 1;
}

}  // namespace kivo
