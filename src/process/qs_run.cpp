// Runs of a sorted query: the run memory, the selection of PCF records into
// entries, the in-memory run, the work and pointer files, and the pointer
// file written straight from one run.
//
// The run holds pointers into the entry buffer, sorted once the run is
// full; entries never move. Only the end of the file ends the input: any other read
// failure ends the sort with its status, so a short sort is never complete.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fm/fm_open.h"
#include "fm/fm_record.h"
#include "fm/fm_status.h"
#include "fm/la.h"
#include "fm/memfile.h"
#include "foundation/bytes.h"
#include "foundation/com.h"
#include "foundation/descriptors.h"
#include "foundation/os.h"
#include "foundation/pool.h"
#include "foundation/scope.h"
#include "foundation/sys_err.h"
#include "interp/interp.h"
#include "process/pi_internal.h"
#include "process/qs.h"

namespace kivo {

uint32_t run_mem = kRunMemDefault;

namespace {

constexpr uint32_t kCollateMsg = 524000;
constexpr uint32_t kMinCapacity = 2;
constexpr uint32_t kWrkOptions = LFB_SCOPED | LFB_NO_STRUCT_CHK | LFB_ANY_DIR;
constexpr uint8_t kWrkAccess = 15, kWrkShare = 0;
constexpr uint16_t kEpPreSelect = 7, kEpPostSelect = 8;
constexpr uint32_t kAnswerArea = 7, kAnswerByte = 57;
constexpr uint32_t kSlctTrue = 1;
constexpr uint32_t kPrefixLen = 8;
constexpr int32_t kPrefetch = 8;
// Memory the sort holds besides the run: each work file and the pointer
// file, written alone, gathers up to 256 KiB of appends (and one record)
// before the storage engine writes them. A budget large enough keeps it out
// of the run's share.
constexpr uint32_t kWriteBehindBytes = 256 * 1024;

// KIVO_RUN_MEM when it is a positive decimal number that fits; else the
// budget stays.
void read_run_mem() {
  const char* v = getenv("KIVO_RUN_MEM");
  if (!v || !*v) return;
  uint64_t n = 0;
  for (const char* p = v; *p; ++p) {
    if (*p < '0' || *p > '9') return;
    n = n * 10 + uint64_t(*p - '0');
    if (n > INT32_MAX) return;
  }
  if (n) run_mem = uint32_t(n);
}

void load_collate(QRY_SORT* q) {
  for (int i = 0; i < 256; ++i) q->collate[i] = uint8_t(i);
  char text[512];
  cstr out{uint16_t(sizeof text), text};
  if (la_current() && la_xlate(kCollateMsg, &out, nullptr) >= 256) memcpy(q->collate, text, 256);
}

void copy_id(QRY_SORT* q, uint8_t* id) {
  if (q->ids.empty()) {
    const ARB* a = q->pcf_arb;
    memset(id, 0, q->id_len);
    if (a->arb_rec_id_area) memcpy(id, a->arb_rec_id_area, std::min(q->id_len, a->arb_rec_id_len));
    return;
  }
  for (const auto& s : q->ids) memcpy(id, s.addr, s.len), id += s.len;
}

// 1 when the record was read (or is held elsewhere and still considered),
// 0 at the end, -1 on a failure.
int read_pcf(QRY_SORT* q) {
  ARB* a = q->pcf_arb;
  a->arb_rec = q->rec_area;
  a->arb_len = q->rec_len;
  a->arb_mod = q->hold ? ARB_HOLD : 0;
  a->arb_key = nullptr;
  a->arb_key_end = nullptr;
  a->arb_lock_wait = 0;
  if (fm_rdnxt(a)) return 1;
  if (a->arb_stat == FM_HELD_SELF || a->arb_stat == FM_LOCKED) return 1;
  if (a->arb_stat == FM_EOF) return 0;
  q->status = a->arb_stat;
  return -1;
}

uint32_t put_ptr_rec(QRY_SORT* q, std::vector<uint8_t>& rec, const uint8_t* entry, uint16_t prev, uint16_t next) {
  rec.assign(q->id_len + kPtrExtra, 0);
  st_le16(rec.data(), PT_PREV, prev);
  st_le16(rec.data(), PT_NEXT, next);
  memcpy(rec.data() + PT_ID, entry + q->key_len, q->id_len);
  ARB* a = q->ptr_arb;
  a->arb_rec = rec.data();
  a->arb_len = a->arb_var_len = uint16_t(rec.size());
  a->arb_mod = 0;
  if (fm_write(a)) return 1;
  sys_err("PBSORT", __LINE__, "bad pointer write");
  return q->status = a->arb_stat ? a->arb_stat : QS_FAILED;
}

// Runs the query process's event point `ep` when it has code; its answer
// byte ('0' rejects, '1' selects), blank without one.
char run_event(PCB* p, uint16_t ep) {
  uint8_t* sa = pi_area(p, kAnswerArea, kAnswerByte + 1);
  if (sa) sa[kAnswerByte] = ' ';
  EP_CALL call{};
  call.pcb = p;
  II_EXEC_PROC(&call, ep);
  return sa ? char(sa[kAnswerByte]) : ' ';
}

}  // namespace

int qs_select(void* ctx) {
  const QS_SLCT_CTX* s = static_cast<const QS_SLCT_CTX*>(ctx);
  const char pre = s->proc ? run_event(s->proc, kEpPreSelect) : ' ';
  if (pre == '0') return QS_REJECT;
  if (pre != '1' && s->entry_blk != 65535 && s->slct) {
    EP_CALL call{};
    call.pcb = s->slct, call.ep_no = kEpPreSelect;
    II_EXEC_ANY(&call, em_entry{s->entry_blk, s->entry_off});
    if (((call.result >> 8) & 3) != kSlctTrue) return QS_REJECT;
  }
  if (s->proc && run_event(s->proc, kEpPostSelect) == '0') return QS_REJECT;
  return QS_SELECT;
}

uint32_t qs_entry_cost(const QRY_SORT* q) { return q->key_len + q->id_len + uint32_t(sizeof(QRY_SORT::slot)); }

uint32_t qs_ptr_mem_cost(const QRY_SORT* q) {
  // The pool's block header and the heap's own word and rounding to 16.
  const uint32_t copy = uint32_t(kMemHdrSize) + ((q->id_len + kPtrExtra + 15) & ~15u) + 16;
  return uint32_t(sizeof(FIX) + sizeof(FIX*)) + copy;
}

void alloc_exec(QRY_SORT* q) {
  read_run_mem();
  q->entry_len = q->key_len + q->id_len;
  const uint32_t files = (kWorkFiles + 1) * (kWriteBehindBytes + q->entry_len);
  const uint32_t share = run_mem > 4 * files ? run_mem - files : run_mem;
  q->capacity = std::max(kMinCapacity, share / qs_entry_cost(q));
  q->buf.reset(new uint8_t[size_t(q->capacity) * q->entry_len]);
  q->run.reset(new QRY_SORT::slot[q->capacity]);
  q->last = -1;
  load_collate(q);
  for (QS_FILE& f : q->f) f = QS_FILE{};
  q->out = kWorkFiles - 1;
  q->passes = 0;
  q->wrk_io = 0;
}

void free_run(QRY_SORT* q) {
  q->buf.reset();
  q->run.reset();
  q->last = -1;
  q->next = 0;
}

int get_pcf_rec(uint8_t* entry, QRY_SORT* q) {
  for (;;) {
    ss_yield();
    if (q->interrupt && q->interrupt(q->ctx)) mark_leave(QS_INTERRUPTED);
    const int r = read_pcf(q);
    if (r <= 0) return r;
    if (q->in_view && !q->in_view(q->ctx)) continue;
    copy_id(q, entry + q->key_len);
    if (q->select && q->select(q->ctx) != QS_SELECT) {
      ++q->rejected;
      if (q->progress) q->progress(q->ctx);
      continue;
    }
    ++q->selected;
    if (q->progress) q->progress(q->ctx);
    if (!qs_make_key(q, entry, q->selected)) return q->status = QS_FAILED, -1;
    return 1;
  }
}

namespace {

// The key's first eight bytes as a number that orders as they do.
uint64_t key_prefix(const uint8_t* key, uint32_t len) {
  uint64_t p = 0;
  for (uint32_t i = 0; i < kPrefixLen; ++i) p = p << 8 | (i < len ? key[i] : 0);
  return p;
}

}  // namespace

int64_t make_run(QRY_SORT* q) {
  q->last = -1;
  uint32_t n = 0;
  const uint32_t len = q->key_len;
  while (n < q->capacity) {
    uint8_t* e = q->buf.get() + size_t(n) * q->entry_len;
    const int r = get_pcf_rec(e, q);
    if (r < 0) return -1;
    if (r == 0) break;
    q->run[size_t(++q->last)] = {key_prefix(e, len), e};
    ++n;
  }
  // Keys are unique, so the sorted run is the order a heap would give.
  const uint32_t rest = len > kPrefixLen ? len - kPrefixLen : 0;
  std::sort(q->run.get(), q->run.get() + n, [rest](const QRY_SORT::slot& a, const QRY_SORT::slot& b) {
    if (a.prefix != b.prefix) return a.prefix < b.prefix;
    return memcmp(a.entry + kPrefixLen, b.entry + kPrefixLen, rest) < 0;
  });
  q->next = 0;
  return n;
}

uint8_t* get_rec_id(QRY_SORT* q) {
  if (q->next > q->last) return nullptr;
  // Entries are handed out in key order, scattered over the buffer.
  if (q->next + kPrefetch <= q->last) __builtin_prefetch(q->run[size_t(q->next + kPrefetch)].entry);
  return q->run[size_t(q->next++)].entry;
}

uint32_t qs_put_ptr(QRY_SORT* q, QS_PTR_OUT* o, const uint8_t* entry) {
  if (o->have) {
    const uint16_t level = qs_level(q, o->prev.data(), entry);
    const uint32_t st = put_ptr_rec(q, o->rec, o->prev.data(), o->prev_level, level);
    if (st != 1) return st;
    o->prev_level = level;
  }
  o->prev.assign(entry, entry + q->entry_len);
  o->have = true;
  return 1;
}

uint32_t qs_end_ptr(QRY_SORT* q, QS_PTR_OUT* o) {
  return o->have ? put_ptr_rec(q, o->rec, o->prev.data(), o->prev_level, 0) : 1;
}

uint32_t single_run(QRY_SORT* q) {
  // The run's entries stay in memory while the pointers are written: a
  // pointer file that would not fit beside them goes to disk.
  const uint64_t count = uint64_t(q->last + 1);
  const uint64_t used = count * qs_entry_cost(q) + count * qs_ptr_mem_cost(q);
  const uint8_t type = used <= run_mem ? FS_MEMORY : FS_DISK;
  q->ptr_arb = open_wrk_fi(q, 0, true, type, true);
  if (!q->ptr_arb) return QS_FAILED;
  QS_PTR_OUT o;
  while (const uint8_t* e = get_rec_id(q)) {
    const uint32_t st = qs_put_ptr(q, &o, e);
    if (st != 1) return st;
  }
  return qs_end_ptr(q, &o);
}

ARB* open_wrk_fi(QRY_SORT* q, int index, bool ptr, uint8_t fs_type, bool create) {
  char name[9];
  snprintf(name, sizeof name, "%08X", q->wrk_no + (ptr ? 0 : 1 + uint32_t(index)));
  const uint32_t entry = q->key_len + q->id_len;
  const uint16_t len = uint16_t(ptr ? q->id_len + kPtrExtra : std::max<uint32_t>(entry, kRunHdrLen));
  FDB fdb;
  INIT_FDB(&fdb, fs_type, len, 0, nullptr, 0);
  char ap[4] = {};
  memcpy(ap, q->ap, 3);
  INIT_TMP_PATH(&fdb.path, ap, "00", name, q->scope);
  fdb.path.fdb_class = PATH_DATA;
  if (!create) {
    if (FM_OPEN(&fdb, q->scope, kWrkOptions, kWrkAccess, kWrkShare)) return fdb.fdb_arb;
    sys_err("PBSORT", __LINE__, "can't reopen work file");
    return nullptr;
  }
  if (!FM_SCRATCH(&fdb, kWrkOptions) && fdb.fdb_stat != FM_NO_FILE && fdb.fdb_stat != FM_NOT_FOUND) {
    sys_err("PBSORT", __LINE__, "can't scratch work file");
    return nullptr;
  }
  if (FM_CREATE(&fdb, q->scope, 0, kWrkOptions | LFB_OPEN_NEW, kWrkAccess, kWrkShare)) return fdb.fdb_arb;
  sys_err("PBSORT", __LINE__, "can't create work file");
  return nullptr;
}

}  // namespace kivo
