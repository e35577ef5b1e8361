// The instruction builder: code positions, emitting instructions into the
// module's instruction blocks, labels with their fix-ups, the conditional
// branch that the selection compiler patches, and constants.
//
// Invariants: code starts at block 1, offset 0; every instruction but LINK
// ends at or before kInstCodeEnd, and when the next one would not, a LINK to
// offset 0 of a new block is written first, so each block ends with an
// instruction that leaves it. Equal constants share one CN record.
//
// Callers: the statement and process compilers, the selection compiler. The
// context is trivially copyable (it lives in the compile block); its work
// arrays lie in the module pool and bld_finish releases them.
#pragma once

#include <cstdint>

#include "compiler/em.h"
#include "compiler/inst.h"

namespace kivo {

enum bld_status : uint8_t {
  BLD_OK = 0,
  BLD_BAD_OPCODE,   // unknown, odd or reserved opcode
  BLD_BAD_OPERAND,  // an operand the opcode's position does not take, or out of range
  BLD_BAD_CONST,    // constant too long, too many, or not inside its record
  BLD_BAD_LABEL,    // unknown label, or bound where no instruction follows
  BLD_BAD_PATCH,    // not a conditional branch or exit, or a bad sense
  BLD_FILE,         // a sub-file write failed
};

// One operand before encoding.
struct bld_opnd {
  char kind;      // K_F, K_K, K_R, K_X, K_N, K_I
  uint32_t w[3];  // slot words as stored (F: 3 for a date)
  int32_t label;  // R to a label: its number; -1 a known position in w[0]
};

struct inst_buf {
  uint16_t op;
  uint8_t n = 0;
  bld_opnd o[8];

  explicit inst_buf(uint16_t opcode) : op(opcode) {}
  inst_buf& f(uint16_t area, uint16_t off, uint8_t type, uint8_t scale, uint16_t len, uint32_t mask = 0);
  inst_buf& k(uint32_t no, uint8_t type, uint8_t scale, uint16_t len);
  inst_buf& r(em_entry pos);
  inst_buf& to(int32_t label);
  inst_buf& x(uint16_t area, uint16_t cfi);
  inst_buf& nr(uint32_t name_const);
  inst_buf& i(uint32_t v);
};

struct bld_fix {
  int32_t label;
  em_entry at;   // the instruction
  uint8_t slot;  // the R slot in it
};

struct bld_cset {
  uint32_t hash;
  uint32_t no;  // 0 = empty entry
};

struct BLD_CTX {
  EM* em;
  em_entry pos;      // where the next instruction goes
  uint8_t* cur;      // the record of block pos.blk
  em_entry* labels;  // by label number; blk 0 = not bound yet
  uint32_t nlabels, cap_labels;
  bld_fix* fixes;
  uint32_t nfixes, cap_fixes;
  bld_cset* cset;  // open-addressed set of the constants, by content
  uint32_t cap_cset;
  uint16_t* cn_len;  // length of each constant, by number
  uint32_t cap_cn_len;
  bld_status err;  // the first failure; every later call then fails too
};

// Starts the code of `em`: writes its first, empty block and reads it back;
// code position block 1, offset 0. 0 on failure.
int bld_start(BLD_CTX* ctx, EM* em);

// Emits an instruction at the code position. Its position, or {0, 0} with
// ctx->err set when the instruction or the write fails.
em_entry bld_emit(BLD_CTX* ctx, const inst_buf& inst);

// A new label, not bound yet (-1 on failure); bld_bind binds it to the code
// position, where the next instruction will start.
int32_t bld_label(BLD_CTX* ctx);
int bld_bind(BLD_CTX* ctx, int32_t label);

// A conditional branch (38) with sense and target 0, for bld_patch.
int bld_br_cond(BLD_CTX* ctx, em_entry* at);
// The end of the code (22); flag 0 leaves the last comparison as the result.
em_entry bld_end(BLD_CTX* ctx, uint8_t flag);
// Rewrites the 38 or 36 at `at`: with `final` 0 a 38 branching to `target`
// when the outcome equals `sense`; otherwise a 36 ending with result `sense`.
// Sense is 1 (true) or 2 (false).
int bld_patch(BLD_CTX* ctx, em_entry at, uint8_t sense, em_entry target, int final);

// The constant number of `len` bytes (a new CN record, or the one that
// already holds the same bytes); 0 on failure.
uint32_t bld_cnst(BLD_CTX* ctx, const uint8_t* bytes, uint16_t len);

// Resolves the forward references and releases the work arrays. 1 when the
// code is complete: no failure before, every label bound at an instruction.
int bld_finish(BLD_CTX* ctx);

}  // namespace kivo
