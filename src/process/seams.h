// What the rest of the engine calls of the process engine.
//
// The executive's entries go through `pi_hooks`, so that a test (and the
// executive once built, at pi_init) puts its own function in place; an empty
// entry is the executive not built yet, and each call below says what it
// does then.
#pragma once

#include <cstdint>

#include "foundation/invoc.h"

namespace kivo {

struct PCB;

struct pi_hook_table {
  void (*exec)(INVOC* invoc);
  const uint8_t* (*get_dsysparm)();
  const uint8_t* (*get_dap)(const char* ap_id, const char* ver);
  const uint8_t* (*get_ddb)(const char* db_id);
};
extern pi_hook_table pi_hooks;

// The invocation template that pi_init fills.
extern INVOC pi_invoc;

void pi_init();

// Runs the invocation to its end; the end code is stored in the record
// ("no process" with the hook empty).
void pi_exec(INVOC* invoc);

// Design records kept for the run; null when unavailable (always, with the
// hook empty).
const uint8_t* pi_get_dsysparm();
const uint8_t* pi_get_dap(const char* ap_id, const char* ver);
const uint8_t* pi_get_ddb(const char* db_id);

// Sorted-query back-end.
int pb_init();
void pb_clr_scope(uint32_t level);

// Puts the sorted-query start and clearing in the file manager's start-up
// and the scope clearing, and the database look-up in path expansion; main
// calls it before os_init.
void pi_register_hooks();

void rm_init();
void fp_init();
void mp_init();
void ip_init();
void ap_init();
void qp_init();

}  // namespace kivo
