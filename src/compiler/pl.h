// The module loader: the cache of modules (pl_cache.cpp), the module and
// debug files (pl_file.cpp, pl_check.cpp), and the native constraint arrays
// of a module's children. pl_get, pl_free, pl_discard, pl_gen_nam and
// pl_dump are declared in compiler/compiler.h.
//
// Invariants: a module handed out is complete (every sub-file, run-time
// tables, key arrays, constraint arrays and an em_area_addr array of
// em_area_cnt + 1 entries that the executive fills in place and never
// replaces, since the constraint arrays point into it). A module file is
// never followed unchecked: anything that does not check is compiled again.
//
// Callers: the process executive (pl_get, pl_free, pl_discard), the
// debugger (the debug file), tests.
#pragma once

#include <cstdint>
#include <string>

#include "compiler/em.h"

namespace kivo {

// A field entry of a child's constraint, as the process engine reads it:
// the value lies at *addr + add_off (indirect 1) for len bytes; val_off is
// its place in the value buffer of an automatic run.
struct pl_cnstr_fld {
  uint16_t val_off;
  uint16_t add_off;
  uint8_t** addr;  // &em_area_addr[parent area]: follows whichever PCB is bound
  uint8_t indirect;
  uint16_t len;
  uint8_t flag;  // 1: a value is given
};
// The constraint of one child: `cnt` 6-byte segment entries {u16 field
// number from 1, u16 offset in the child's PCF record, u16 length} and
// `cnt` field entries. cnt 0: the child has no linking fields.
struct pl_cnstr {
  uint32_t cnt;
  uint8_t* segs;
  pl_cnstr_fld* flds;
};

// The constraint arrays of compiled child `child_no` (1..em_chld_cnt), kept
// with the module; null for another number or a module not loaded.
const pl_cnstr* pl_child_cnstr(const EM* em, uint32_t child_no);

// The number of records of a sub-file of the module.
uint32_t pl_sub_count(EM* em, em_sub sub);

// Discards every cached module (a fresh session, tests).
void pl_discard_all();

// How often a module was compiled in this process (tests).
uint32_t pl_compile_count();

// The load steps that pc_cmpl_finish does not do: the area address array,
// the CV table with its address fields zeroed, the key arrays and the
// children's constraint arrays. 1 on success.
int pl_load_tables(EM* em);

// ---- module and debug files (pl_file.cpp) ----

// The name (pl_gen_nam of the stamp) under which the module file (path
// kind 3) and the debug file (kind 4) of the module are kept.
std::string pl_file_name(const EM* em);
// The descriptor of the module's module file (kind 3) or debug file (kind 4).
void pl_file_fdb(FDB* fdb, const EM* em, uint8_t kind);

// Sets the debug-file flag from PROCESS byte 70 ("1": the files are
// written). Returns 1.
int build_em(EM* em, const uint8_t* process);
// Writes the module file alone (in the place of any old one). 1 on success.
int pl_write_module_file(EM* em);
// Writes the module file and the debug file. 1 when both were written;
// otherwise the debug-file flag is cleared again and 0 returned (the module
// stays usable).
int write_em(EM* em);

// The module of the module file for this process, language and stamp (the
// PROCESS record's bytes 80-87), loaded and checked, guarded (em_guard) for
// its taker; null when there is no such file or it does not check (the
// reason into `why` when given).
EM* pl_read_em(const char* ap, const char* ver, uint8_t type, const char* name, const char* lang, const uint8_t* stamp,
               std::string* why = nullptr);

// Checks a module read from a file against itself and the design: counts,
// record lengths, code, references, rows and the compile stamps of its
// files. 1 when everything checks, else 0 with the reason in `why`.
int pl_check_em(EM* em, std::string* why);

// The layout hash of this build: the sizes and key offsets of the native
// records and the opcode table.
uint32_t pl_layout_hash();

}  // namespace kivo
