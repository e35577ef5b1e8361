// What the statement compilers share among their files: a statement's
// operands, emitting an instruction, storing an outcome (sc_stmt.cpp), and
// the compile routines of the data verbs (sc_data.cpp).
//
// Invariant: every routine records a failure in the context (pc_err) and
// answers 0; nothing here is for callers outside the statement compiler.
#pragma once

#include <cstddef>
#include <vector>

#include "compiler/sc.h"

namespace kivo::sc_in {

// The operand bytes of the statement from `off`.
const char* opnd_at(const sc_stmt* st, size_t off);
// The occurrence {i16 value, u16 kind} at `off`; four blanks mean none.
int occ_at(PC_CTX* ctx, const sc_stmt* st, size_t off, pc_occ* out);
// Operand `no` of a two-field verb: {occurrence, application, field}.
int two_field(PC_CTX* ctx, sc_stmt* st, int no, PC_OPND* out);
// Emits `b`; a failure names `what`.
int emit(PC_CTX* ctx, const inst_buf& b, const char* what);
// The SETTF of the statement's outcome as its FAIL digit says.
int outcome(PC_CTX* ctx, const sc_stmt* st);

// The record area of file `name` of `ap` as one alpha operand; `cfi`
// receives the compiled file.
int record_opnd(PC_CTX* ctx, const char* ap, const char* name, PC_OPND* out, uint8_t* cfi);

// An open BEG READ of the event point being compiled: its file (application
// and name), the READNEXT each pass returns to and the label after END READ.
struct sc_read_loop {
  char file[11];
  int32_t top;
  int32_t exit;
};
extern std::vector<sc_read_loop>* g_reads;
// The file whose application and name (8 of 22 characters) lie at the
// operand offsets, compiled as an opened file, as the X operand of `b`.
int file_x_opnd(PC_CTX* ctx, sc_stmt* st, size_t ap_off, size_t name_off, inst_buf* b);
// Fills cmpl_ with the file verbs (sc_file.cpp).
void sc_fill_file_verbs();

// PASS statements since the last CALL of the event point being compiled.
extern int g_passed;

int c_store_restore(PC_CTX* ctx, sc_stmt* st);
int c_cnv_text(PC_CTX* ctx, sc_stmt* st);
int c_verify(PC_CTX* ctx, sc_stmt* st);
int c_print(PC_CTX* ctx, sc_stmt* st);
int c_display(PC_CTX* ctx, sc_stmt* st);
int c_call(PC_CTX* ctx, sc_stmt* st);
int c_pass(PC_CTX* ctx, sc_stmt* st);
int c_receive(PC_CTX* ctx, sc_stmt* st);
int c_invoke(PC_CTX* ctx, sc_stmt* st);
int c_run(PC_CTX* ctx, sc_stmt* st);

}  // namespace kivo::sc_in
