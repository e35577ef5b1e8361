// The distribution writer: a native file's records as a raw record file,
// the exact inverse of the import (bs_raw.h). Numbers go out most
// significant byte first, packed signs as 0xD and 0xC, statement
// occurrences by the same layout table the import reads; a file of
// organisation 1 becomes its one record image, any other a file header and
// per live record a header with both lengths, the data and a trailer.
//
// Callers: the build's distribution step (tools/kivo_dist.cpp), tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "design/bs_raw.h"

namespace kivo {

struct FDB;

// Writes every record of the open native file (`native->fdb_arb`, read in
// the order of its first key, or of its record numbers without keys) to
// `raw_os_path`, made with its directories. The number of records written,
// or -1 with `err` set.
long native_to_raw(FDB* native, const std::string& raw_os_path, const bs_field* flds, int nflds, std::string* err);

// One record image in raw form, in place: the writer's conversion, which
// import (adjust_rec, then adjust_stmt for a statement) undoes.
void raw_form(uint8_t* rec, size_t len, const bs_field* flds, int nflds, bool stmt);

}  // namespace kivo
