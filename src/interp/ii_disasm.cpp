// The disassembler over the opcode table's operand decoder.
#include "interp/ii_disasm.h"

#include <cstdio>

#include "compiler/inst.h"
#include "foundation/maddr.h"

namespace kivo {

namespace {

void add(std::string* s, const char* fmt, unsigned a, unsigned b = 0, unsigned c = 0, unsigned d = 0) {
  char buf[64];
  snprintf(buf, sizeof buf, fmt, a, b, c, d);
  *s += buf;
}

// type.scale.length; "u" after the decimals of a number without sign.
void type_part(std::string* s, uint32_t w) {
  const unsigned type = w & 0x7F, scale = (w >> 8) & 0xFF;
  if ((type == 5 || type == 8) && (scale & kOpndNoSign))
    return add(s, "/%u.%uu.%u", type, scale & ~kOpndNoSign, w >> 16);
  add(s, "/%u.%u.%u", type, scale, w >> 16);
}

void operand(std::string* s, const uint8_t* p, const opnd& o) {
  uint32_t a = inst_slot(p, o.slot);
  *s += ' ';
  switch (o.kind) {
    case K_F:
      if ((a & 0xFFFF) == kRegArea) add(s, "Fr%u", a >> 16);
      else add(s, "F%u.%u", a & 0xFFFF, a >> 16);
      type_part(s, inst_slot(p, o.slot + 1));
      if (o.nslots == 3) add(s, "m%u", inst_slot(p, o.slot + 2));
      return;
    case K_K:
      if (a >= kComConstBase) add(s, "Kcom+%u", a - kComConstBase);
      else add(s, "K%u", a);
      type_part(s, inst_slot(p, o.slot + 1));
      return;
    case K_R: return add(s, "R%u/%u", a & 0xFFFF, a >> 16);
    case K_X: return add(s, "X%u.%u", a & 0xFFFF, a >> 16);
    case K_N: return add(s, "N%u", a);
    default: return add(s, a > 0xFFFF ? "I0x%x" : "I%u", a);
  }
}

}  // namespace

size_t ii_disasm_inst(const uint8_t* p, size_t room, em_entry at, std::string* line) {
  opnd ops[kInstMaxSlots];
  add(line, "%u/%u", at.blk, at.off);
  int n = inst_decode(p, room, ops, kInstMaxSlots);
  if (n < 0) {
    add(line, " %u ? bad instruction, length %u", room >= 2 ? inst_op(p) : 0u, room >= 4 ? p[3] * 4u : 0u);
    return 0;
  }
  add(line, " %u ", inst_op(p));
  *line += op_lookup(inst_op(p))->name;
  for (int i = 0; i < n; ++i) operand(line, p, ops[i]);
  return inst_len(p);
}

int ii_disasm(const EM* em, std::string* out) {
  int bad = 0;
  for (uint32_t b = 1; b <= em->em_inst_cnt; ++b) {
    const uint8_t* blk = MADDR(em->em_inst_arb, b);
    if (!blk) return bad + 1;
    for (size_t off = 0; off + kInstHead <= kInstRecLen && blk[off + 3] != 0;) {
      size_t len =
          ii_disasm_inst(blk + off, kInstRecLen - off, {static_cast<uint16_t>(b), static_cast<uint16_t>(off)}, out);
      *out += '\n';
      if (!len) {
        ++bad;
        break;
      }
      off += len;
    }
  }
  return bad;
}

}  // namespace kivo
