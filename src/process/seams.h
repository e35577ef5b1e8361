// What the rest of the engine calls of the process engine.
#pragma once

#include <cstdint>

#include "process/invoc.h"

namespace kivo {

struct PCB;

// The invocation template that pi_init fills.
extern INVOC pi_invoc;

void pi_init();

// Runs the invocation to its end; the end code is stored in the record.
void pi_exec(INVOC* invoc);

// Design records kept for the run; null when unavailable.
const uint8_t* pi_get_dsysparm();
const uint8_t* pi_get_dap(const char* ap_id, const char* ver);
const uint8_t* pi_get_ddb(const char* db_id);

// Sorted-query back-end.
int pb_init();
void pb_clr_scope(uint32_t level);

void rm_init();
void fp_init();
void mp_init();
void ip_init();
void ap_init();
void qp_init();

}  // namespace kivo
