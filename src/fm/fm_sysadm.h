// The system administration files the file manager keeps open for the run:
// SYSDIR, SYSDFLT, APPL and DATABASE, opened at start-up (deferred: a file
// that does not exist yet costs nothing until it is read), and the readers
// the back-end selection and the process engine take their records from.
//
// Callers: fm_init; the process engine's design-record seams.
#pragma once

#include <cstdint>

#include "foundation/hook_list.h"

namespace kivo {

// The APPL and DATABASE records as the process engine keeps them (its
// pi_get_dap and pi_get_ddb), filled by process_register_hooks. Empty: the
// selection finds no such records.
struct fm_sa_hook_table {
  const uint8_t* (*get_dap)(const char* ap, const char* ver) = nullptr;
  const uint8_t* (*get_ddb)(const char* db) = nullptr;
};
extern fm_sa_hook_table fm_sa_hooks;

// clang-format off
#define KIVO_FM_SA_HOOKS(X) \
  X(fm_sa_hooks, get_dap)   \
  X(fm_sa_hooks, get_ddb)
// clang-format on
KIVO_TABLE_LISTED(fm_sa_hooks, KIVO_FM_SA_HOOKS);

// Start-up steps 7 and 8: the four files opened in the system scope, APPL's
// handle published in com.dap_stream, the selection's readers installed.
// 0 when APPL or DATABASE cannot be opened. Nothing without the native
// back-end.
int fm_sysadm_init();

// Exact reads through the open handles into `rec`: 1 found.
int sa_read_sysdir(const uint8_t* key, uint8_t* rec);
int sa_read_sysdflt(const uint8_t* key, uint8_t* rec);
int sa_read_appl(const char* ap, const char* ver, uint8_t* rec);
int sa_read_database(const char* db, uint8_t* rec);

// The SYSDIR entry of `key` takes the stamp when it differs: 0, also when
// there is no entry; else the rewrite's status.
uint32_t sa_update_stamp(const uint8_t* key, uint32_t stamp0, uint32_t stamp1);

constexpr uint16_t kApplRecLen = 324;
enum : uint16_t { APPL_AP = 4, APPL_VER = 7 };  // APPL key 0: application, version
constexpr uint16_t kDatabaseRecLen = 424;

}  // namespace kivo
