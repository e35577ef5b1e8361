// Instructions of an executable module: the format, the operand kinds and
// the opcode table that the builder, the disassembler and the module-file
// check all read.
//
// An instruction: u16 opcode at 0 (even as built, odd once relocated), u8
// debugger flags at 2 (the compiler writes 0), u8 length in 4-byte words at
// 3, then 4-byte operand slots. Records are not aligned: every access goes
// through the little-endian helpers.
//
// Operands (slots): F field {u16 area, u16 offset} {u8 type, u8 scale, u16
// length} and, for a date type, the constant of its compiled storage mask
// (the scale byte: a number's decimals, with kOpndNoSign on a binary or
// fixed packed field that holds no sign; a date's levels);
// area kRegArea is register `offset` (0-3) set by IDX. K constant {u32
// number} {u8 type | kOpndConst, u8 scale, u16 length}. R code {u16 block,
// u16 offset}. X file {u16 file-block area, u16 CFI index}. N routine {u32
// name constant}. I immediate {u32, laid out per opcode}.
// Where a position admits two kinds, the second slot's type byte tells them
// apart: 1-15 an F, kOpndConst | type a K, 0 a one-slot X or N followed by a
// zero pad slot. So every instruction decodes from its bytes alone.
#pragma once

#include <cstddef>
#include <cstdint>

#include "foundation/bytes.h"

namespace kivo {

constexpr size_t kInstHead = 4;
constexpr uint16_t kInstCodeEnd = 2016;  // every instruction but LINK ends by here
constexpr int kInstMaxSlots = 16;
constexpr uint8_t kOpndConst = 0x80;       // K marker on the type byte
constexpr uint8_t kOpndNoSign = 0x80;      // on the scale byte of types 5 and 8: no sign
constexpr uint16_t kRegArea = 0xFFFF;      // F area of an IDX register
constexpr uint32_t kComConstBase = 65000;  // K numbers from here address com

enum : uint16_t {
  OP_NOP = 2,
  OP_LINK = 4,
  OP_JMP = 6,
  OP_TFTEST = 8,
  OP_END = 10,
  OP_SETTF = 12,
  OP_ANDTF = 14,
  OP_EXIT = 16,
  OP_GOSUB = 18,
  OP_ORTF = 20,
  OP_CODE_END = 22,
  OP_CMP = 24,
  OP_CMPK = 26,
  OP_MOVE = 28,
  OP_RETURN = 30,
  OP_MOVEK = 32,
  OP_CNVTXT = 34,
  OP_COND_EXIT = 36,
  OP_BR_COND = 38,
  OP_INVOKE = 40,
  OP_END_PROC = 42,
  OP_LOGOUT = 44,
  OP_LOOPBEG = 46,
  OP_LOOPEND = 48,
  OP_OVFL = 50,
  OP_STORE = 52,
  OP_RESTORE = 54,
  OP_MSG = 56,
  OP_ERROR = 58,
  OP_CANCEL = 60,
  OP_COMPUTE = 62,
  OP_CPUSH = 64,
  OP_COP = 66,
  OP_CPOP = 68,
  OP_OPEN = 70,  // the file verbs, 70-90
  OP_CREATE = 72,
  OP_CLOSE = 74,
  OP_READ = 76,
  OP_READNEXT = 78,
  OP_START = 80,
  OP_WRITE = 82,
  OP_REWRITE = 84,
  OP_DELETE = 86,
  OP_IFEXIST = 88,
  OP_SCRATCH = 90,
  OP_VERIFY = 100,
  OP_CALL = 102,
  OP_PASS = 104,
  OP_RECEIVE = 106,
  OP_RUN = 108,
  OP_PRINT = 110,
  OP_DISPLAY = 112,
  OP_IDX = 114,
  OP_TRAP = 450,
  OP_STEP_BREAK = 452,
  OP_STEP_BREAK2 = 454,
  OP_COPY = 460,
  OP_LIMIT = 512,  // the routine table's size
};

// Option bits of a file instruction's immediate (its high u16): OPEN and
// CREATE with SHARE? "Y"; a START from the first record (BEG READ without a
// key); CLOSE PHYSICAL? "Y" (the close option it adds).
enum : uint16_t { kFoShare = 0x1, kFoFirst = 0x4, kFoPhysical = 0x400 };
// No KEY IS: the primary key, or the record number of a file without keys.
constexpr uint8_t kFoNoKey = 255;

// Operand kinds, as letters in the table's kind strings. V = F or K,
// E = F or X, M = N or F.
enum : char { K_F = 'F', K_K = 'K', K_R = 'R', K_X = 'X', K_N = 'N', K_I = 'I', K_V = 'V', K_E = 'E', K_M = 'M' };

struct op_info {
  uint16_t op;
  const char* name;
  const char* kinds;  // one letter per operand, in order
  const char* imm;    // how the immediates are laid out ("" = none)
  uint8_t reserved;   // written by the debugger or by a later subsystem, not the builder
};

// The entry of an opcode (its even number), or null for an unused number.
const op_info* op_lookup(uint16_t op);
// Every entry, in opcode order; *count receives their number.
const op_info* op_table(size_t* count);

// Types 3, 4, 6, 7, 9, 10 and 15; inline, since every operand asks.
constexpr bool is_date_type(uint8_t type) { return type < 16 && ((0x86D8u >> type) & 1); }

// The scale byte of a number operand of data type `type` (5, 8, 12): its
// decimals, marked kOpndNoSign for a binary or fixed packed one without sign
// (a variable-point number always has one).
constexpr uint8_t opnd_num_scale(uint8_t type, uint8_t decimals, bool is_signed) {
  return (type == 5 || type == 8) && !is_signed ? static_cast<uint8_t>(decimals | kOpndNoSign) : decimals;
}

// An operand as decoded from an instruction.
struct opnd {
  char kind;     // K_F, K_K, K_R, K_X, K_N, K_I
  uint8_t slot;  // first slot index
  uint8_t nslots;
};

// Decodes the operands of the instruction at `p` (at most `room` bytes).
// Returns their count, or -1 when the bytes do not form an instruction of
// the table (unknown opcode, length that disagrees with the operands or
// leaves `room`).
int inst_decode(const uint8_t* p, size_t room, opnd* out, int max);

inline uint32_t inst_slot(const uint8_t* p, int slot) { return ld_le32(p, kInstHead + 4 * static_cast<size_t>(slot)); }
inline uint16_t inst_op(const uint8_t* p) { return ld_le16(p, 0); }
inline size_t inst_len(const uint8_t* p) { return 4 * static_cast<size_t>(p[3]); }

}  // namespace kivo
