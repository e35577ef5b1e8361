// The statement builders of the restructure and verify generators: each
// fills the operand area of one shared STMT buffer for one verb, sets the
// condition, advances the sequence number and writes the record to the
// STMT file of "0DN". The generator sets the key part of the buffer
// (process type, name, event point) once per event point.
//
// Invariants: every builder writes bytes 78-151 whole (condition, blank,
// verb, zero, operands) and leaves the key bytes as the generator set them;
// the sequence number advances only for a record that is written (a TRAP
// without KIVO_TRAP_RESTRUCT writes nothing and leaves no gap). A failed
// write is a system error with the builder's text.
//
// Callers: the restructure (db_restruct.h) and the verify (db_vfy.cpp).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "foundation/paths.h"

namespace kivo {

struct ARB;

// A 4-byte occurrence operand.
using stmt_occ = std::array<uint8_t, 4>;
stmt_occ occ_lit(uint16_t n);                // a literal occurrence: u16 value, u16 0
stmt_occ occ_idx(const char* name);          // an index: 2-character name, u16 1
stmt_occ occ_none();                         // none: two blanks, u16 2
stmt_occ occ_blank();                        // none as STORE and RESTORE write it
constexpr stmt_occ kOccZero = {0, 0, 0, 0};  // the End of Process STORE and RESTORE

// The relational operators of IF, in the order of "EQGEGTLELTNEIN".
enum : uint8_t { RELOP_EQ = 1, RELOP_NE = 6 };

// STORE and RESTORE kinds.
enum : uint8_t { SR_FIELD = 1, SR_RECORD = 3, SR_INIT_RECORD = 6, SR_INIT_FIELD = 7 };

constexpr size_t kLabelLen = 30;  // a 22-character element name and 8 characters

// Starts event point `ep` of process `type` `name` in the buffer: key zero
// but for type, name and event point; condition blank; sequence 0, so the
// first statement written is number 1.
void stmt_start(uint8_t* st, uint8_t type, const char* name, uint8_t ep);

// `cond` null or shorter than 5 is blank-filled to 5 characters.
int bld_fi_stmt(uint8_t* st, ARB* a, uint16_t verb, const FDB_PATH& path);
int bld_eop(uint8_t* st, ARB* a, const FDB_PATH& path);
int bld_write_stmt(uint8_t* st, ARB* a, const FDB_PATH& path);
int bld_eop_rewrite(uint8_t* st, ARB* a);
int bld_read_entry_stmt(uint8_t* st, ARB* a);
int bld_read_stmt(uint8_t* st, ARB* a, const char* ap, const char* file8, const char* key22, uint8_t mode,
                  const char* cond);
int bld_full_set(uint8_t* st, ARB* a, const char* tap, const char* tfld, const stmt_occ& tocc, const char* sap,
                 const char* sfld, const stmt_occ& socc, const char* cond);
int bld_token_set(uint8_t* st, ARB* a, const char* tap, const char* tfld, const stmt_occ& tocc, const char* sap,
                  int number, const stmt_occ& socc, const char* cond);
int bld_pdf_set(uint8_t* st, ARB* a, const char* fld, const uint8_t* value, size_t len);
int bld_cnv_txt(uint8_t* st, ARB* a, const char* tap, const char* tfld, const stmt_occ& tocc, const char* sap,
                const char* sfld, const stmt_occ& socc, const char* cond);
int bld_if_stmt(uint8_t* st, ARB* a, const char* tap, const char* tfld, const stmt_occ& tocc, const char* sap,
                const char* sfld, const stmt_occ& socc, const char* cond, uint8_t relop);
int bld_store_stmt(uint8_t* st, ARB* a, uint8_t kind, const char* name, const stmt_occ& occ, const char* cond,
                   const char* ap);
int bld_restore_stmt(uint8_t* st, ARB* a, uint8_t kind, const char* name, const stmt_occ& occ, const char* cond,
                     const char* ap);
int bld_eop_re_store(uint8_t* st, ARB* a, uint16_t verb);
int bld_overflow_stmt(uint8_t* st, ARB* a, const char* label, const char* cond);
int bld_goto_stmt(uint8_t* st, ARB* a, const char* label, const char* cond);
int bld_label_stmt(uint8_t* st, ARB* a, const char* label);
// The block that moves every occurrence of `new22` (0DN) from `old22`
// (0DO) with the index "AI", from 1 to `count`.
int bld_loop(uint8_t* st, ARB* a, const char* new22, const char* old22, uint16_t count);
int bld_msg_stmt(uint8_t* st, ARB* a, uint16_t verb, const char* text, const char* cond);
int bld_vfy_stmt(uint8_t* st, ARB* a, const char* ap, const char* fld, const stmt_occ& occ);
int bld_end_stmt(uint8_t* st, ARB* a, uint16_t verb, const char* cond);
int bld_trap_stmt(uint8_t* st, ARB* a, const char* cond);
int bld_read_loop(uint8_t* st, ARB* a, uint16_t verb, const FDB_PATH& path);

// The label of a 22-character name followed by `what` (8 characters).
void stmt_label(const char* name22, const char* what, char* out);

}  // namespace kivo
