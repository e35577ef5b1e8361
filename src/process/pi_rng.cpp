// The range (sort-break) blocks of a process's primary file, built from the
// QSORT work file of the level that owns the query areas.
//
// Invariant: at most kRngMax entries, the total entry included, since the
// PCB counts them in one byte.
#include <cstring>

#include "fm/fm_open.h"
#include "fm/fm_record.h"
#include "fm/fm_status.h"
#include "fm/la.h"
#include "foundation/bytes.h"
#include "foundation/com.h"
#include "foundation/descriptors.h"
#include "foundation/sys_err.h"
#include "process/pi.h"
#include "process/pi_hooks.h"
#include "process/pi_internal.h"
#include "types/element.h"

namespace kivo {

namespace {

constexpr char kModule[] = "PIHOOK";
constexpr uint16_t kQsortLen = 92;
constexpr size_t kRngKeyLen = 33;
enum : size_t { QS_TOTAL = 36, QS_AP = 40, QS_FLD = 43, QS_COUNT = 66, QS_FLAGS = 70, QS_USED = 87 };
enum : size_t { ELEM_TEXT = 95 };
// Flags 58-62 from the record's bytes 70, 71, 73, 72, 74 (60 and 61 crossed).
constexpr size_t kFlagSrc[5] = {0, 1, 3, 2, 4};

struct file_desc {
  FDB fdb;
  KDB kdb[kInitMaxKeys];
  SDB sdb[kInitMaxSegs];
};

// Starts the range of `key` (33 bytes); the records follow through next().
struct qsort_range {
  ARB* a;
  uint8_t key[kRngKeyLen];
  uint8_t rec[kQsortLen];
  bool start() {
    PROTO_FULL(a, 0, rec);
    a->arb_key = key;
    a->arb_key_len = kRngKeyLen;
    a->arb_len = kQsortLen;
    a->arb_mod = ARB_PARTIAL;
    return fm_start(a) || a->arb_stat == FM_NOT_FOUND || a->arb_stat == FM_EOF;
  }
  bool next() {
    PROTO_FULL(a, 0, rec);
    a->arb_len = kQsortLen;
    a->arb_mod = 0;
    return fm_rdnxt(a) && memcmp(rec, key, kRngKeyLen) == 0;
  }
};

// The 30-character text of a field's ELEMENT record, blanks when there is none.
void elem_text(ARB* delem, const uint8_t* fld, uint8_t* out) {
  memset(out, ' ', 30);
  if (!delem) return;
  uint8_t e[kElementSize];
  memset(e, ' ', sizeof e);
  memcpy(e + ELEM_NAME, fld, 22);
  PROTO_FULL(delem, 0, e);
  delem->arb_len = kElementSize;
  delem->arb_mod = ARB_EQUAL;
  if (fm_read(delem)) memcpy(out, e + ELEM_TEXT, 30);
  else checkstat(delem->arb_stat, "bad read delem file", kModule, __LINE__);
  delem->arb_mod = 0;
}

ARB* open_delem(PCB* p, const uint8_t* ap) {
  file_desc d;
  char a[4] = {}, v[3] = {};
  memcpy(a, ap, 3), memcpy(v, p->invoc.ver(), 2);
  INIT_DELEM_FDB(&d.fdb, d.kdb, d.sdb, a, v);
  return FM_OPEN(&d.fdb, com.proc_scope, kSaOpts, 1, 15) ? d.fdb.fdb_arb : nullptr;
}

void close_quiet(ARB* a, const char* text) {
  if (!a) return;
  a->arb_mod = 0;
  if (!FM_CLOSE(a, 0)) sys_err(kModule, __LINE__, "%s", text);
}

void fill_entries(PCB* p, qsort_range& q, uint8_t* ents, uint32_t first, uint32_t max) {
  uint32_t i = first;
  for (bool ok = q.start() && q.next(); ok && i < max; ok = q.next()) {
    if (q.rec[QS_USED] != '1') continue;
    uint8_t* e = ents + kRngEntLen * i++;
    memset(e, 0, kRngEntLen);
    memcpy(e + RNG_AP, q.rec + QS_AP, 3);
    memcpy(e + RNG_FLD, q.rec + QS_FLD, 22);
    ARB* delem = open_delem(p, q.rec + QS_AP);
    elem_text(delem, q.rec + QS_FLD, e + RNG_TEXT);
    close_quiet(delem, "can't close ELEMENT file");
    const uint16_t n = ld_le16(q.rec, QS_COUNT);
    st_le16(e, RNG_COUNT, n ? n : 1);
    for (int f = 0; f < 5; ++f) e[RNG_FLAGS + f] = q.rec[QS_FLAGS + kFlagSrc[f]] == '1';
  }
}

}  // namespace

void bld_rng(PCB* p) {
  if (!p) return sys_err(kModule, __LINE__, "NULL pcb pointer");
  p->pcb_rng_cnt = 0;
  p->pcb_rng = nullptr;
  if (!p->pcb_pcf_arb && is_blank(p->pcb_em ? p->pcb_em->em_pcf_ap : "   ", 3)) return;
  file_desc d;
  INIT_QSORT_FDB(&d.fdb, d.kdb, d.sdb, pi_owner_level(p, kQryAreaKind));
  if (!FM_OPEN(&d.fdb, com.mark_scope, 0, 15, 15)) {
    if (d.fdb.fdb_stat != FM_NO_FILE) sys_err(kModule, __LINE__, "can't open QSORT file");
    return;
  }
  qsort_range q{d.fdb.fdb_arb, {}, {}};
  memcpy(q.key, p->invoc.rng_ap(), 3);
  memcpy(q.key + 3, p->invoc.rng_nam(), 30);
  if (!q.start()) {
    close_quiet(q.a, "can't close QSORT file");
    return sys_err(kModule, __LINE__, "can't start QSORT file");
  }
  uint32_t flagged = 0;
  bool total = false;
  for (bool first = true, ok = q.next(); ok; ok = q.next(), first = false) {
    if (first) total = ld_le32(q.rec, QS_TOTAL) != 0;
    flagged += q.rec[QS_USED] == '1';
  }
  const uint32_t count = flagged + total > kRngMax ? kRngMax : flagged + total;
  if (flagged && p->pcb_pool) {
    auto* ents = static_cast<uint8_t*>(MM_ALLOC(p->pcb_pool, kRngEntLen * count));
    if (ents) {
      if (total) memset(ents, 0, kRngEntLen), memset(ents + RNG_AP, ' ', 25), memset(ents + RNG_TEXT, ' ', 30);
      fill_entries(p, q, ents, total, count);
      p->pcb_rng = ents;
      p->pcb_rng_cnt = static_cast<uint8_t>(count);
    }
  }
  close_quiet(q.a, "can't close QSORT file");
}

}  // namespace kivo
