// The routine file: the built-in routines by name, as the compiler and the
// interpreter look them up, and the "library:function" form of an external
// routine's name.
//
// Map: the 32-byte record (name 0-22, row index 24, argument count 28,
// flags 30); compiler_hooks.ifns_arb, the file's handle; rt_fn_find; rt_lib_name.
//
// Invariants: the interpreter's start-up writes every row of its routine
// table into the file (and each row added later too), so a name found here
// always has a row with that index. A library name never holds "/" or "..":
// external routines load only from the library directory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kivo {

struct ARB;

constexpr size_t kIfnsRecLen = 32;
constexpr size_t kIfnsNameLen = 23;
constexpr size_t kRtNameLen = 22;  // a CALL names its routine in a 22-character field
enum : size_t { IFNS_NAME = 0, IFNS_ROW = 24, IFNS_ARGC = 28, IFNS_FLAGS = 30 };
constexpr int16_t kRtAnyArgs = -1;

// The routine file is compiler_hooks.ifns_arb (compiler/compiler.h).

struct rt_fn_ref {
  uint32_t row;
  int16_t argc;  // kRtAnyArgs: any number
  uint16_t flags;
};

// The row of routine `name` (`len` bytes, trailing blanks and NULs
// ignored); 1 when the routine file holds it.
int rt_fn_find(const char* name, size_t len, rt_fn_ref* out);

// Kinds of a routine name.
enum rt_name_kind : uint8_t { RT_NAME_ROW = 0, RT_NAME_LIB, RT_NAME_BAD_LIB, RT_NAME_UNKNOWN };
// Splits "library:function" into its parts (the library's file name gets
// "lib" and ".so" when it has neither); RT_NAME_BAD_LIB when either part
// is empty or the library part holds "/" or "..".
rt_name_kind rt_lib_name(const std::string& name, std::string* lib, std::string* fn);
// The name without trailing blanks and NULs.
std::string rt_trim_name(const char* name, size_t len);

}  // namespace kivo
