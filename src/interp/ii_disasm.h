// The disassembler: one line per instruction, "block/offset opcode name
// operands", from the opcode table. The instruction trace prints the same
// lines.
//
// Operands print as: F<area>.<offset>/<type>.<scale>.<length>[m<mask>]
// (area r<n> for an IDX register), K<number>/<type>.<scale>.<length> (a
// constant of the common block as Kcom+<byte>), R<block>/<offset>, X<area>.
// <CFI index>, N<name constant>, I<value> (in hex above 65535).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "compiler/em.h"

namespace kivo {

// The line of the instruction at `p` (at most `room` bytes) at position
// `at`, without a line end; its length in bytes, or 0 when the bytes form no
// instruction (the line then says so).
size_t ii_disasm_inst(const uint8_t* p, size_t room, em_entry at, std::string* line);

// Every instruction of the module, block by block; a block's code ends at
// its first zero length byte. Returns the number of lines that did not
// decode (0 for a sound module).
int ii_disasm(const EM* em, std::string* out);

}  // namespace kivo
