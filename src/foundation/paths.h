// Paths: the data directory, the path part of a file descriptor, and the
// operating-system path of a file, by the fixed layout or from a template
// with $(name) variables held in the system-directory records.
//
// Every path is built into a bounded buffer; a path that does not fit is a
// failure with a status, never a truncated name. Blanks are removed from
// the descriptor's fields (they are blank-padded), never from a directory
// that the installation configured.
#pragma once

#include <cstddef>
#include <cstdint>

#include "foundation/com.h"

namespace kivo {

// The path part of a file descriptor, in its field order.
struct FDB_PATH {
  uint32_t fdb_tmp_id;  // number of a temporary file, 0 otherwise
  char fdb_ap[3];
  char fdb_ver[2];
  char fdb_name[8];  // blank-padded
  char fdb_db[3];
  char fdb_src_ap[3];
  char fdb_src_ver[2];
  uint8_t fdb_class;  // path kind 1-8
};

enum : uint8_t {
  PATH_DATA = 1,
  PATH_STRUCT = 2,
  PATH_EM = 3,
  PATH_DBG = 4,
  PATH_PORTDATA = 5,
  PATH_PRINT = 6,
  PATH_SESS = 7,
  PATH_NEWDATA = 8,
};

constexpr size_t kPathMax = 256;  // a built path, its NUL included

// Offsets in the system-directory records that paths read.
enum : size_t {
  SYSDIR_DB = 0,          // 3
  SYSDIR_DIR = 52,        // 256
  SYSDFLT_DIR = 33,       // 256
  SYSDFLT_OPTIONS = 289,  // 256
};
constexpr size_t kSysDirFieldLen = 256;
// Bytes 6-7 of a DATABASE record: the version that $(ver) gives data files.
constexpr size_t kDdbVersion = 6;

// Outcome of path building.
enum path_status : int {
  PATH_OK = 0,
  PATH_BAD_TEMPLATE = 1,  // no ")" or an unknown variable
  PATH_TOO_LONG = 2,      // the path does not fit in kPathMax bytes
  PATH_BAD_TMP_NAME = 3,  // a temporary name cannot be made
};

// Finds the data directory: KIVOPATH when set, else the program's directory
// followed by /data. The program's path is kept as the image name. root
// and other are left empty. Always 1.
int ss_bob_path(const char* argv0, cstr* root, cstr* data_dir, cstr* other);

// The program's path found by ss_bob_path (empty before it).
const char* ss_image_name();

// The operating-system path of a descriptor (see the rules in the .cpp).
// Returns a counted string in a static buffer whose length counts the
// NUL, or null; *status (when given) says why.
const cstr* ss_bld_path(const FDB_PATH* fdb, int unused, const cstr* root, const uint8_t* sysdir,
                        const uint8_t* sysdflt, int* status = nullptr);

// ---- template expansion ----

constexpr int kEnvSlots = 14;

// One variable: "name=value" in a buffer that grows to its largest value.
struct env_slot {
  char* text;
  size_t cap;
};
struct env_vars {
  env_slot slot[kEnvSlots];
  bool fixed_set;  // slots 0-4 and 11-13 are set once
};

// Releases the buffers of a set of variables.
void env_vars_free(env_vars* vars);

// Sets a slot to name=value, the value without trailing blanks.
void os_add_to_env(env_vars* vars, int slot, const char* name, const char* value, size_t length);

// The value of a variable: the slot whose name is exactly `name`, else the
// process environment. Null when there is none.
const char* findenv(const char* name, const env_vars* vars);

// Expands `length` characters of tmpl into out. *out_len is the capacity on
// entry and the length with the NUL on success. 1 when the result fits; 0
// (and *out_len 0) on a missing ")", an unknown variable or overflow.
int os_expand(char* out, const char* tmpl, size_t* out_len, size_t length, const env_vars* vars);

// Expands a template for a descriptor into out (kPathMax bytes) with the
// path builder's variables. Returns out, or null after recording
// "Error in FMS path - bad environment variable or syntax error".
char* expand_env(char* out, const char* tmpl, size_t length, const FDB_PATH* fdb, const cstr* root);

// The last path error text recorded (empty when none).
const char* ss_path_error();

// Forgets the variables set on the first expansion (tests start afresh).
void ss_path_vars_reset();

// Removes every blank of a NUL-terminated text in place; returns the
// remaining length plus one.
size_t trim_blanks(char* text);

// ---- path initialisers: fill the path part only ----

void INIT_SA_PATH(FDB_PATH* fdb, const char* name, uint8_t kind);
void INIT_SRC_PATH(FDB_PATH* fdb, const char* ap, const char* ver, const char* name, uint8_t kind);
void INIT_LA_PATH(FDB_PATH* fdb, const char* lang, const char* name, uint8_t kind);
void INIT_DB_PATH(FDB_PATH* fdb, const char* db, const char* ap, const char* ver, const char* name, uint8_t kind);
void INIT_TMP_PATH(FDB_PATH* fdb, const char* ap, const char* ver, const char* name, uint32_t tmp_id);
void INIT_UNIQUE_PATH(FDB_PATH* fdb, const char* tag1, const char* tag2, uint8_t kind);

}  // namespace kivo
