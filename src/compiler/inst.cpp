// The opcode table and the operand decoder. Numbers 10, 16, 18, 22, 30,
// 36, 38, 40, 42, 44, 450-455 and 460 are fixed by the interpreter's callers;
// the rest are the engine's own. `imm` documents each immediate slot as the
// disassembler prints it.
#include "compiler/inst.h"

namespace kivo {

namespace {

constexpr const char* kFileImm = "{u8 key number, u8 HOLD digit, u16 options}";

const op_info kOps[] = {
    {OP_NOP, "NOP", "", "", 0},
    {OP_LINK, "LINK", "R", "", 0},
    {OP_JMP, "JMP", "R", "", 0},
    {OP_TFTEST, "TFTEST", "IR", "{u16 mask, u16 value}", 0},
    {OP_END, "END", "", "", 0},
    {OP_SETTF, "SETTF", "I", "{u8 level, u8 mode 1 = F fails}", 0},
    {OP_ANDTF, "ANDTF", "I", "{u8 level}", 0},
    {OP_EXIT, "EXIT", "", "", 0},
    {OP_GOSUB, "GOSUB", "RR", "", 0},  // target, return point
    {OP_ORTF, "ORTF", "I", "{u8 level}", 0},
    {OP_CODE_END, "CODE END", "I", "{u8 0 selection result, 1 plain}", 0},
    {OP_CMP, "CMP", "FFI", "{u8 relop 1-8, u8 pad}", 0},
    {OP_CMPK, "CMPK", "FKI", "{u8 relop 1-8, u8 pad}", 0},
    {OP_MOVE, "MOVE", "FF", "", 0},
    {OP_RETURN, "RETURN", "", "", 0},
    {OP_MOVEK, "MOVEK", "FK", "", 0},
    {OP_CNVTXT, "CNVTXT", "FFII", "{u32 CV record} {u8 direction 1 value to text, 2 text to value}", 0},
    {OP_COND_EXIT, "COND EXIT", "II", "{u8 result 1 true, 2 false} {0}", 0},
    {OP_BR_COND, "BR COND", "IR", "{u8 sense 1 true, 2 false}", 0},
    {OP_INVOKE, "INVOKE", "KI", "{u8 process type, u8 invocation type, u8 END}", 0},
    {OP_END_PROC, "END PROC", "", "", 0},
    {OP_LOGOUT, "LOGOUT", "", "", 0},
    {OP_LOOPBEG, "LOOPBEG", "FVVVR", "", 0},  // index, from, to, step, exit
    {OP_LOOPEND, "LOOPEND", "R", "", 0},      // the test
    {OP_OVFL, "OVFL", "R", "", 0},
    {OP_STORE, "STORE", "FV", "", 0},
    {OP_RESTORE, "RESTORE", "FV", "", 0},
    {OP_MSG, "MSG", "IV", "{u8 class}", 0},
    {OP_ERROR, "ERROR", "IV", "{u8 class}", 0},
    {OP_CANCEL, "CANCEL", "IV", "{u8 class}", 0},
    {OP_COMPUTE, "COMPUTE", "FVI", "{u8 operator}", 0},
    {OP_CPUSH, "CPUSH", "V", "", 0},
    {OP_COP, "COP", "I", "{u8 operator}", 0},
    {OP_CPOP, "CPOP", "F", "", 0},
    {OP_OPEN, "OPEN", "XI", kFileImm, 0},
    {OP_CREATE, "CREATE", "XI", kFileImm, 0},
    {OP_CLOSE, "CLOSE", "XI", kFileImm, 0},
    {OP_READ, "READ", "XI", kFileImm, 0},
    {OP_READNEXT, "READNEXT", "XI", kFileImm, 0},
    {OP_START, "START", "XI", kFileImm, 0},
    {OP_WRITE, "WRITE", "XI", kFileImm, 0},
    {OP_REWRITE, "REWRITE", "XI", kFileImm, 0},
    {OP_DELETE, "DELETE", "XI", kFileImm, 0},
    {OP_IFEXIST, "IFEXIST", "XI", kFileImm, 0},
    {OP_SCRATCH, "SCRATCH", "XI", kFileImm, 0},
    {OP_VERIFY, "VERIFY", "EIII", "{u8 kind, u8 0, u16 occurrences} {u32 CV record} {u32 name constant}", 0},
    {OP_CALL, "CALL", "MI", "{u8 argument count as compiled}", 0},
    {OP_PASS, "PASS", "EI", "{u8 area kind, u8 1 = a copy}", 0},
    {OP_RECEIVE, "RECEIVE", "EI", "{u8 area kind}", 0},
    {OP_RUN, "RUN", "VI", "{u8 END? 1 = end the process after}", 0},
    {OP_PRINT, "PRINT", "FIII", "{u32 CV record} {u16 AT, u16 ROWS} {u16 COLUMNS}", 0},
    {OP_DISPLAY, "DISPLAY", "F", "", 0},
    {OP_IDX, "IDX", "IFF", "{u8 register, u8 0, u16 occurrences}", 0},
    {OP_TRAP, "TRAP", "", "", 0},  // passes through while no debugger takes it
    {OP_STEP_BREAK, "STEP BREAK", "", "", 0},
    {OP_STEP_BREAK2, "STEP BREAK", "", "", 0},
    {OP_COPY, "COPY", "RR", "", 0},  // continuation, copied code
};

constexpr size_t kOpCount = sizeof kOps / sizeof kOps[0];

// Type byte of the slot after `slot`, or -1 past `nslots`.
int next_type(const uint8_t* p, int slot, int nslots) {
  if (slot + 1 >= nslots) return -1;
  return p[kInstHead + 4 * static_cast<size_t>(slot + 1)];
}

// The concrete kind and slot count of one operand position; 0 when the
// bytes fit none of the kinds the position admits.
char resolve(char kind, int type, int* nslots) {
  bool is_const = type >= 0 && (type & kOpndConst);
  bool is_field = type > 0 && !is_const && type <= 15;
  switch (kind) {
    case K_F: *nslots = is_field && is_date_type(static_cast<uint8_t>(type)) ? 3 : 2; return is_field ? K_F : 0;
    case K_K: *nslots = 2; return is_const ? K_K : 0;
    case K_V:
      if (is_const) return resolve(K_K, type, nslots);
      return resolve(K_F, type, nslots);
    case K_E:
    case K_M:
      if (type == 0) {
        *nslots = 2;
        return kind == K_E ? K_X : K_N;
      }
      return resolve(K_F, type, nslots);
    default: *nslots = 1; return kind;
  }
}

}  // namespace

const op_info* op_lookup(uint16_t op) {
  op &= static_cast<uint16_t>(~1u);
  for (const op_info& o : kOps)
    if (o.op == op) return &o;
  return nullptr;
}

const op_info* op_table(size_t* count) {
  *count = kOpCount;
  return kOps;
}

int inst_decode(const uint8_t* p, size_t room, opnd* out, int max) {
  if (room < kInstHead) return -1;
  const op_info* info = op_lookup(inst_op(p));
  size_t len = inst_len(p);
  if (!info || len < kInstHead || len > room) return -1;
  int nslots = static_cast<int>(len / 4) - 1;
  int slot = 0, n = 0;
  for (const char* k = info->kinds; *k; ++k) {
    if (n == max) return -1;
    int width = 0;
    char kind = resolve(*k, next_type(p, slot, nslots), &width);
    if (!kind || slot + width > nslots) return -1;
    if ((kind == K_X || kind == K_N) && width == 2 && inst_slot(p, slot + 1) != 0) return -1;
    out[n++] = {kind, static_cast<uint8_t>(slot), static_cast<uint8_t>(width)};
    slot += width;
  }
  return slot == nslots ? n : -1;
}

}  // namespace kivo
