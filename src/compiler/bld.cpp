// The instruction builder. Encoding follows the opcode table: each operand
// is checked against the kinds its position admits and laid into slots, with
// the zero pad slot of a one-slot kind in a two-kind position (inst.h).
#include "compiler/bld.h"

#include <cstring>
#include <initializer_list>

#include "foundation/com.h"
#include "foundation/maddr.h"

namespace kivo {

namespace {

bld_opnd make_opnd(char kind, uint32_t a, uint32_t b = 0, uint32_t c = 0) { return {kind, {a, b, c}, -1}; }

uint32_t pair(uint16_t lo, uint16_t hi) { return lo | (static_cast<uint32_t>(hi) << 16); }
uint32_t type_word(uint8_t type, uint8_t scale, uint16_t len) {
  return type | (static_cast<uint32_t>(scale) << 8) | (static_cast<uint32_t>(len) << 16);
}

int fail(BLD_CTX* ctx, bld_status st) {
  if (ctx->err == BLD_OK) ctx->err = st;
  return 0;
}

// Grows a pool array of `elem`-byte entries to hold at least `need`.
bool grow(BLD_CTX* ctx, void** arr, uint32_t* cap, size_t elem, uint32_t need) {
  if (need <= *cap) return true;
  uint32_t n = *cap ? *cap : 64;
  while (n < need) n *= 2;
  void* p = MM_ALLOC(ctx->em->em_pool, elem * n);
  if (!p) return false;
  memset(p, 0, elem * n);
  if (*arr) {
    memcpy(p, *arr, elem * *cap);
    mm_free(*arr);
  }
  *arr = p;
  *cap = n;
  return true;
}

template <typename T>
bool grow_to(BLD_CTX* ctx, T** arr, uint32_t* cap, uint32_t need) {
  void* p = *arr;
  bool ok = grow(ctx, &p, cap, sizeof(T), need);
  *arr = static_cast<T*>(p);
  return ok;
}

uint8_t* block_at(BLD_CTX* ctx, uint16_t blk) {
  if (blk == 0 || blk > ctx->em->em_inst_cnt) return nullptr;
  return MADDR(ctx->em->em_inst_arb, blk);
}

// Appends an empty block and makes it current.
bool new_block(BLD_CTX* ctx) {
  static const uint8_t zero[kInstRecLen] = {};
  EM* em = ctx->em;
  if (em->em_inst_cnt >= 65534) return false;
  if (em_append(em, EM_IN, zero, kInstRecLen) != em->em_inst_cnt + 1) return false;
  ++em->em_inst_cnt;
  ctx->cur = MADDR(em->em_inst_arb, em->em_inst_cnt);
  ctx->pos = {static_cast<uint16_t>(em->em_inst_cnt), 0};
  return ctx->cur != nullptr;
}

bool k_fits(const BLD_CTX* ctx, uint32_t no, uint16_t len) {
  if (no >= kComConstBase) return no - kComConstBase + len <= kComConstAreaSize;
  return no >= 1 && no <= ctx->em->em_cnst_cnt && len <= ctx->cn_len[no];
}

// Checks one operand against the position's kind. Sets *pad for a one-slot
// kind that needs the zero pad slot.
bool admits(const BLD_CTX* ctx, char pos_kind, const bld_opnd& o, bool* pad) {
  *pad = (pos_kind == K_E || pos_kind == K_M) && (o.kind == K_X || o.kind == K_N);
  uint8_t type = static_cast<uint8_t>(o.w[1]);
  switch (o.kind) {
    case K_F:
      if (pos_kind != K_F && pos_kind != K_V && pos_kind != K_E && pos_kind != K_M) return false;
      if (type == 0 || type > 15) return false;
      return static_cast<uint16_t>(o.w[0]) != kRegArea || (o.w[0] >> 16) <= 3;
    case K_K: return (pos_kind == K_K || pos_kind == K_V) && k_fits(ctx, o.w[0], static_cast<uint16_t>(o.w[1] >> 16));
    case K_X: return pos_kind == K_X || pos_kind == K_E;
    case K_N: return pos_kind == K_N || pos_kind == K_M;
    default: return o.kind == pos_kind;
  }
}

int slots_of(const bld_opnd& o, bool pad) {
  if (o.kind == K_F) return is_date_type(static_cast<uint8_t>(o.w[1])) ? 3 : 2;
  if (o.kind == K_K || pad) return 2;
  return 1;
}

// Encodes `inst` into `slots`; the slot count, or -1.
int encode(BLD_CTX* ctx, const inst_buf& inst, uint32_t* slots, uint8_t* rslot, int32_t* rlabel, int* nr) {
  const op_info* info = op_lookup(inst.op);
  if (!info || (inst.op & 1) || info->reserved) return fail(ctx, BLD_BAD_OPCODE) - 1;
  if (strlen(info->kinds) != inst.n) return fail(ctx, BLD_BAD_OPERAND) - 1;
  int n = 0;
  *nr = 0;
  for (int i = 0; i < inst.n; ++i) {
    const bld_opnd& o = inst.o[i];
    bool pad;
    if (!admits(ctx, info->kinds[i], o, &pad)) return fail(ctx, BLD_BAD_OPERAND) - 1;
    if (o.kind == K_R && o.label >= 0) {
      if (static_cast<uint32_t>(o.label) >= ctx->nlabels) return fail(ctx, BLD_BAD_LABEL) - 1;
      rslot[*nr] = static_cast<uint8_t>(n);
      rlabel[(*nr)++] = o.label;
    }
    int w = slots_of(o, pad);
    for (int j = 0; j < w; ++j) slots[n + j] = (pad && j == 1) ? 0 : o.w[j];
    n += w;
  }
  return n;
}

void write_inst(uint8_t* p, uint16_t op, const uint32_t* slots, int n) {
  st_le16(p, 0, op);
  p[2] = 0;
  p[3] = static_cast<uint8_t>(1 + n);
  for (int i = 0; i < n; ++i) st_le32(p, kInstHead + 4 * static_cast<size_t>(i), slots[i]);
}

bool add_fix(BLD_CTX* ctx, int32_t label, em_entry at, uint8_t slot) {
  if (!grow_to(ctx, &ctx->fixes, &ctx->cap_fixes, ctx->nfixes + 1)) return false;
  ctx->fixes[ctx->nfixes++] = {label, at, slot};
  return true;
}

// Moves to a new block behind a LINK when `len` bytes do not fit here.
bool make_room(BLD_CTX* ctx, size_t len) {
  if (ctx->pos.off + len <= kInstCodeEnd) return true;
  uint8_t* link = ctx->cur + ctx->pos.off;
  uint32_t target = pair(static_cast<uint16_t>(ctx->pos.blk + 1), 0);
  if (!new_block(ctx)) return false;
  write_inst(link, OP_LINK, &target, 1);
  return true;
}

uint32_t hash_bytes(const uint8_t* p, uint16_t len) {
  uint32_t h = 2166136261u;
  for (uint16_t i = 0; i < len; ++i) h = (h ^ p[i]) * 16777619u;
  return h ? h : 1;
}

// The set entry that holds these bytes, or the empty entry where they go.
bld_cset* cset_find(BLD_CTX* ctx, const uint8_t* bytes, uint16_t len, uint32_t h) {
  uint32_t mask = ctx->cap_cset - 1;
  for (uint32_t i = h & mask;; i = (i + 1) & mask) {
    bld_cset* e = &ctx->cset[i];
    if (e->no == 0) return e;
    if (e->hash == h && ctx->cn_len[e->no] == len && memcmp(MADDR(ctx->em->em_cnst_arb, e->no), bytes, len) == 0)
      return e;
  }
}

// Keeps the set under half full.
bool cset_reserve(BLD_CTX* ctx) {
  if (ctx->cap_cset && (ctx->em->em_cnst_cnt + 1) * 2 <= ctx->cap_cset) return true;
  bld_cset* old = ctx->cset;
  uint32_t old_cap = ctx->cap_cset;
  ctx->cset = nullptr;
  ctx->cap_cset = 0;
  if (!grow_to(ctx, &ctx->cset, &ctx->cap_cset, old_cap ? old_cap * 2 : 256)) return false;
  for (uint32_t i = 0; i < old_cap; ++i)
    if (old[i].no) *cset_find(ctx, nullptr, 0, old[i].hash) = old[i];
  if (old) mm_free(old);
  return true;
}

}  // namespace

inst_buf& inst_buf::f(uint16_t area, uint16_t off, uint8_t type, uint8_t scale, uint16_t len, uint32_t mask) {
  o[n++] = make_opnd(K_F, pair(area, off), type_word(type, scale, len), mask);
  return *this;
}
inst_buf& inst_buf::k(uint32_t no, uint8_t type, uint8_t scale, uint16_t len) {
  o[n++] = make_opnd(K_K, no, type_word(static_cast<uint8_t>(type | kOpndConst), scale, len));
  return *this;
}
inst_buf& inst_buf::r(em_entry pos) {
  o[n++] = make_opnd(K_R, pair(pos.blk, pos.off));
  return *this;
}
inst_buf& inst_buf::to(int32_t label) {
  o[n] = make_opnd(K_R, 0);
  o[n++].label = label;
  return *this;
}
inst_buf& inst_buf::x(uint16_t area, uint16_t cfi) {
  o[n++] = make_opnd(K_X, pair(area, cfi));
  return *this;
}
inst_buf& inst_buf::nr(uint32_t name_const) {
  o[n++] = make_opnd(K_N, name_const);
  return *this;
}
inst_buf& inst_buf::i(uint32_t v) {
  o[n++] = make_opnd(K_I, v);
  return *this;
}

int bld_start(BLD_CTX* ctx, EM* em) {
  memset(ctx, 0, sizeof *ctx);
  ctx->em = em;
  if (em->em_inst_cnt != 0 || !new_block(ctx)) return fail(ctx, BLD_FILE);
  return 1;
}

em_entry bld_emit(BLD_CTX* ctx, const inst_buf& inst) {
  uint32_t slots[kInstMaxSlots];
  uint8_t rslot[8];
  int32_t rlabel[8];
  int nr;
  if (ctx->err != BLD_OK || !ctx->cur) return {0, 0};
  int n = encode(ctx, inst, slots, rslot, rlabel, &nr);
  if (n < 0) return {0, 0};
  size_t len = kInstHead + 4 * static_cast<size_t>(n);
  if (inst.op != OP_LINK && !make_room(ctx, len)) return fail(ctx, BLD_FILE), em_entry{0, 0};
  if (ctx->pos.off + len > kInstRecLen) return fail(ctx, BLD_BAD_OPERAND), em_entry{0, 0};
  em_entry at = ctx->pos;
  for (int i = 0; i < nr; ++i) {
    em_entry t = ctx->labels[rlabel[i]];
    if (t.blk) {
      slots[rslot[i]] = pair(t.blk, t.off);
    } else if (!add_fix(ctx, rlabel[i], at, rslot[i])) {
      return fail(ctx, BLD_FILE), em_entry{0, 0};
    }
  }
  write_inst(ctx->cur + at.off, inst.op, slots, n);
  ctx->pos.off = static_cast<uint16_t>(at.off + len);
  return at;
}

int32_t bld_label(BLD_CTX* ctx) {
  if (!grow_to(ctx, &ctx->labels, &ctx->cap_labels, ctx->nlabels + 1)) return fail(ctx, BLD_FILE) - 1;
  ctx->labels[ctx->nlabels] = {0, 0};
  return static_cast<int32_t>(ctx->nlabels++);
}

int bld_bind(BLD_CTX* ctx, int32_t label) {
  if (label < 0 || static_cast<uint32_t>(label) >= ctx->nlabels || ctx->labels[label].blk)
    return fail(ctx, BLD_BAD_LABEL);
  ctx->labels[label] = ctx->pos;
  return 1;
}

int bld_br_cond(BLD_CTX* ctx, em_entry* at) {
  *at = bld_emit(ctx, inst_buf(OP_BR_COND).i(0).r({0, 0}));
  return at->blk != 0;
}

em_entry bld_end(BLD_CTX* ctx, uint8_t flag) { return bld_emit(ctx, inst_buf(OP_CODE_END).i(flag)); }

int bld_patch(BLD_CTX* ctx, em_entry at, uint8_t sense, em_entry target, int final) {
  uint8_t* blk = block_at(ctx, at.blk);
  if (!blk || at.off + 12u > kInstRecLen || (sense != 1 && sense != 2)) return fail(ctx, BLD_BAD_PATCH);
  uint8_t* p = blk + at.off;
  uint16_t op = inst_op(p);
  if ((op != OP_BR_COND && op != OP_COND_EXIT) || p[3] != 3) return fail(ctx, BLD_BAD_PATCH);
  if (!final && (!block_at(ctx, target.blk) || target.off + kInstHead > kInstRecLen)) return fail(ctx, BLD_BAD_PATCH);
  uint32_t slots[2] = {sense, final ? 0u : pair(target.blk, target.off)};
  write_inst(p, final ? OP_COND_EXIT : OP_BR_COND, slots, 2);
  return 1;
}

uint32_t bld_cnst(BLD_CTX* ctx, const uint8_t* bytes, uint16_t len) {
  if (ctx->err != BLD_OK) return 0;
  if (len == 0 || len > kMaxConstLen) return fail(ctx, BLD_BAD_CONST);
  if (!cset_reserve(ctx)) return fail(ctx, BLD_FILE);
  uint32_t h = hash_bytes(bytes, len);
  bld_cset* e = cset_find(ctx, bytes, len, h);
  if (e->no) return e->no;
  EM* em = ctx->em;
  if (em->em_cnst_cnt >= kMaxConstants) return fail(ctx, BLD_BAD_CONST);
  uint32_t no = em->em_cnst_cnt + 1;
  if (!grow_to(ctx, &ctx->cn_len, &ctx->cap_cn_len, no + 1) || em_append(em, EM_CN, bytes, len) != no)
    return fail(ctx, BLD_FILE);
  em->em_cnst_cnt = no;
  ctx->cn_len[no] = len;
  *e = {h, no};
  return no;
}

int bld_finish(BLD_CTX* ctx) {
  for (uint32_t i = 0; ctx->err == BLD_OK && i < ctx->nlabels; ++i) {
    em_entry t = ctx->labels[i];
    uint8_t* blk = block_at(ctx, t.blk);
    if (!blk || blk[t.off + 3] == 0) fail(ctx, BLD_BAD_LABEL);
  }
  for (uint32_t i = 0; ctx->err == BLD_OK && i < ctx->nfixes; ++i) {
    const bld_fix& f = ctx->fixes[i];
    em_entry t = ctx->labels[f.label];
    st_le32(block_at(ctx, f.at.blk) + f.at.off, kInstHead + 4 * size_t{f.slot}, pair(t.blk, t.off));
  }
  for (void* p : {static_cast<void*>(ctx->labels), static_cast<void*>(ctx->fixes), static_cast<void*>(ctx->cset),
                  static_cast<void*>(ctx->cn_len)})
    if (p) mm_free(p);
  ctx->labels = nullptr;
  ctx->fixes = nullptr;
  ctx->cset = nullptr;
  ctx->cn_len = nullptr;
  ctx->nlabels = ctx->nfixes = ctx->cap_labels = ctx->cap_fixes = ctx->cap_cset = ctx->cap_cn_len = 0;
  return ctx->err == BLD_OK;
}

}  // namespace kivo
