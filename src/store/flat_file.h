// Flat-file export and import: the records of a variable-length native data
// file to and from a text file of one record per line (the line feed ends a
// record). Both run from the command line and end the process.
//
// A record that a line cannot carry (a line feed inside it, or more than
// kFlatMaxLine bytes) is refused with a message and a failing exit, never
// split; an empty line stands for no record. A file that keeps no header
// (store_hooks.anal_headerless) is exported by its records; an import into one is
// refused.
#pragma once

#include <cstddef>
#include <string>

namespace kivo {

constexpr size_t kFlatMaxLine = 3000;  // longest record a line carries

// The name without a final ".dat" (any case) and without trailing blanks;
// empty when nothing is left ("none").
std::string brf_strip_ext(const char* name);

// Exports "<B>.dat" to the flat file B (B the stripped name); ends the process
// with exit code 0 on success, 1 on any failure.
[[noreturn]] void brf2flat(const char* name);

// Imports the flat file B into a new "<B>.dat"; ends the process with exit
// code 0 on success, 1 on any failure.
[[noreturn]] void flat2brf(const char* name);

// The same work without ending the process: the exit code.
int brf2flat_run(const char* name);
int flat2brf_run(const char* name);

}  // namespace kivo
