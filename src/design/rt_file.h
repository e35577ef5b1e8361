// The file routines of the built-in library: create, scratch and path of a
// data file from its current dictionary description, its native descriptor
// built by the migration's one builder; failures filed as messages.
//
// Callers: the restructure and the system applications' routines.
#pragma once

#include <string>

#include "foundation/paths.h"

namespace kivo {

struct ARB;
struct PCB;

// Writes the file's MESSAGE1 record and creates the file; with `flag` '0'
// only its structure file is recorded anew (the data file stays). 1 when
// done, 0 with the failure filed.
int rt_create(PCB* caller, const FDB_PATH& path, ARB* msg1, ARB* msg2, char flag);
// Scratches the data file (and with it its structure file); 1, or 0 filed.
int rt_scratch(PCB* caller, const FDB_PATH& path, ARB* msg1, ARB* msg2);
// The operating-system path of the data file; empty with the failure filed.
std::string rt_get_path(PCB* caller, const FDB_PATH& path, ARB* msg1, ARB* msg2);

// The same path for a described file, files no message: "" when it cannot be built.
std::string rt_os_path(const FDB_PATH& path);

}  // namespace kivo
