// The debugger's tables from the debug file, and their searches.
#include <algorithm>
#include <cstring>

#include "compiler/em_access.h"
#include "compiler/em_records.h"
#include "compiler/pcb.h"
#include "editors/dbg.h"
#include "foundation/bytes.h"

namespace kivo {

namespace {

constexpr uint8_t kFlagStmt = 0x1, kFlagLast = 0x4;

uint32_t pos_word(em_entry at) { return (uint32_t{at.blk} << 16) | at.off; }

// The sub-file counts are the module's own: a count with no records fails.
bool counts_fit(const std::vector<pl_dbg_rec>& recs, uint32_t n, uint32_t m) {
  return recs.size() >= 1 + uint64_t{n} + m;
}

}  // namespace

bool dbg_file_records(EM* em, std::vector<pl_dbg_rec>* out) {
  if (!em->em_dbg_flag && em->em_toc_cnt && em->em_trap_cnt && em->em_toc_arb && em->em_trap_arb)
    return pl_debug_records(em, out);
  return pl_read_debug_file(em, out);
}

dbg_load_err dbg_load_records(EM* em, const std::vector<pl_dbg_rec>& recs, dbg_blk* b) {
  if (recs.empty() || recs[0].size() < kDbgHeadLen) return DBG_LOAD_SHORT;
  const uint8_t* head = recs[0].data();
  if (ld_le32(head, DBG_STAMP1) != em->em_stamp1 || ld_le32(head, DBG_STAMP2) != em->em_stamp2) return DBG_LOAD_STAMP;
  const uint32_t n = ld_le32(head, DBG_N), m = ld_le32(head, DBG_M);
  if (!n || !m) return DBG_LOAD_EMPTY;
  if (!counts_fit(recs, n, m)) return DBG_LOAD_SHORT;
  for (size_t i = 1; i < recs.size() && i <= uint64_t{n} + m; ++i)
    if (recs[i].size() < TOC_LEN) return DBG_LOAD_SHORT;
  b->toc.assign(size_t{n} * TOC_LEN, 0);
  for (uint32_t i = 0; i < n; ++i) {
    const uint8_t* r = recs[1 + i].data();
    const uint8_t slot = r[TOC_SLOT];
    if (slot >= n) return DBG_LOAD_SLOT;
    // Trap indexes count from 1, as the compiler writes them.
    const uint32_t first = ld_le32(r, TOC_FIRST), last = ld_le32(r, TOC_LAST);
    if (first < 1 || first > last || last > m) return DBG_LOAD_INDEX;
    memcpy(b->toc.data() + size_t{slot} * TOC_LEN, r, TOC_LEN);
  }
  b->traps.assign(m, dbg_trap{});
  b->by_pos.clear();
  for (uint32_t i = 0; i < m; ++i) {
    const uint8_t* r = recs[1 + n + i].data();
    dbg_trap& t = b->traps[i];
    t.pos = {ld_le16(r, TRAP_CODE), ld_le16(r, TRAP_CODE + 2)};
    t.stmt = ld_le32(r, TRAP_SEQ), t.ep = ld_le16(r, TRAP_EP), t.slot = r[TRAP_SLOT], t.spare = r[TRAP_SLOT + 1];
    if (t.slot >= n) return DBG_LOAD_SLOT;
    if (!pos_word(t.pos)) continue;
    if (t.pos.blk > em->em_inst_cnt || t.pos.off + kInstHead > kInstRecLen) return DBG_LOAD_CODE;
    t.addr = INST_RLOC(t.pos, em->em_inst_arb);
    if (!t.addr) return DBG_LOAD_CODE;
    t.addr[2] |= kFlagStmt;
    b->by_pos.push_back(&t);
  }
  std::stable_sort(b->by_pos.begin(), b->by_pos.end(),
                   [](const dbg_trap* x, const dbg_trap* y) { return trap_cmp_addr(x, y) < 0; });
  return DBG_LOAD_OK;
}

int trap_cmp_addr(const dbg_trap* a, const dbg_trap* b) {
  const uint32_t x = pos_word(a->pos), y = pos_word(b->pos);
  return x < y ? -1 : x > y ? 1 : 0;
}

namespace {

uint32_t index_of(const dbg_blk* b, const dbg_trap* t) { return static_cast<uint32_t>(t - b->traps.data()); }

// The first sorted entry past `at`.
std::vector<dbg_trap*>::iterator past(dbg_blk* b, em_entry at) {
  dbg_trap key{};
  key.pos = at;
  return std::upper_bound(b->by_pos.begin(), b->by_pos.end(), &key,
                          [](const dbg_trap* x, const dbg_trap* y) { return trap_cmp_addr(x, y) < 0; });
}

}  // namespace

dbg_trap* find_trap(dbg_blk* b, em_entry at, uint32_t* idx) {
  auto it = past(b, at);
  if (it == b->by_pos.begin() || pos_word((*(it - 1))->pos) != pos_word(at)) return nullptr;
  if (idx) *idx = index_of(b, *(it - 1));
  return *(it - 1);
}

dbg_trap* find_prev_trap(dbg_blk* b, em_entry at, uint32_t* idx) {
  auto it = past(b, at);
  if (it == b->by_pos.begin()) return nullptr;
  if (idx) *idx = index_of(b, *(it - 1));
  return *(it - 1);
}

int dbg_custom(PCB* pcb) {
  dbg_blk* b = dbg_block(pcb);
  if (!b || !pcb->pcb_em) return 0;
  const uint16_t ep = pcb->pcb_em->em_cur_ep;
  if (b->ep != ep) b->first = b->last = kDbgUnknown, b->ep = ep;
  const uint32_t m = static_cast<uint32_t>(b->traps.size());
  if (b->first == kDbgUnknown) {
    for (uint32_t i = 0; i < m && b->first == kDbgUnknown; ++i)
      if (b->traps[i].ep == ep) b->first = i;
    if (b->first == kDbgUnknown) return 0;
  }
  if (b->last == kDbgUnknown) {
    for (uint32_t i = m; i-- > 0 && b->last == kDbgUnknown;)
      if (b->traps[i].ep == ep) b->last = i;
    if (b->last == kDbgUnknown) return 0;
  }
  for (uint32_t i = b->last + 1; i-- > b->first;)
    if (b->traps[i].addr) {
      b->traps[i].addr[2] |= kFlagLast;
      break;
    }
  return 1;
}

}  // namespace kivo
