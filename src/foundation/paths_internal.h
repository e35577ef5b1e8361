// Helpers shared by the path builder and template expansion.
#pragma once

#include <cstddef>

#include "foundation/paths.h"

namespace kivo {

// The directory name of a path kind ("Data" ... "Newdata"), "" when unknown.
const char* path_kind_name(unsigned kind);

// expand_env that also says why it failed (a path_status).
char* expand_env_status(char* out, const char* tmpl, size_t length, const FDB_PATH* fdb, const cstr* root, int* status);

// Records the text of a path failure for ss_path_error.
void record_path_error(const char* text);

}  // namespace kivo
