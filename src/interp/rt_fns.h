// The built-in routines that statements call by name, and the call of an
// external routine from a shared library.
//
// Map: RT_CALL (what an adapter receives); rt_fn_row and int_fns_tbl;
// rt_add_fn (rows of higher subsystems, added at their start-up);
// rt_load_fns (rt_init writes the table into the routine file); rt_call_row
// and rt_call_lib (the CALL verb's two ways).
//
// Invariants: a row's index never changes once added, so the routine file
// and relocated CALL instructions may keep it. A row declares its argument
// count and rt_call_row refuses a call with another, so an adapter never
// reads an argument that was not passed; adapters check the lengths they
// rely on as well.
#pragma once

#include <cstdint>
#include <string>

#include "compiler/pcb.h"
#include "compiler/rt_names.h"

namespace kivo {

// One argument: the PASS area word's kind (1 field, 2 file handle, 3
// record ...), the data type, the length and the address of the value.
struct rt_arg {
  uint8_t kind;
  uint8_t type;
  uint16_t len;
  uint8_t* addr;
};

struct RT_CALL {
  PCB* pcb;
  int argc;
  rt_arg args[kPassMax];
};

using rt_adapter = int (*)(RT_CALL& call);

struct rt_fn_row {
  const char* name;  // upper case, at most kIfnsNameLen characters
  rt_adapter adapter;
  int16_t argc;  // kRtAnyArgs: any number
  uint16_t flags;
};

// The rows in index order: the static rows of the subsystems below the
// interpreter first, then those added through rt_add_fn.
const rt_fn_row* int_fns_tbl(size_t* count);

// Appends a row (and writes it into the routine file once that exists); 0
// when the name is taken, too long or empty.
int rt_add_fn(const rt_fn_row& row);

// Writes every row into the routine file `arb`; 0 when a write failed.
int rt_load_fns(ARB* arb);

// Calls row `row` with the call's arguments; the routine's success flag,
// or -1 with `err` set when the row does not exist or the argument count
// differs from the one it declares.
int rt_call_row(uint32_t row, RT_CALL& call, std::string* err);

// Calls `fn` of the library `lib` (already checked by rt_lib_name) from
// KIVO_LIB_DIR, or the data directory when that is unset; -1 with `err`
// set when it cannot be loaded.
int rt_call_lib(const std::string& lib, const std::string& fn, RT_CALL& call, std::string* err);

}  // namespace kivo
