// Operating-system layer entry points used by start-up.
#pragma once

#include <cstdint>

#include "foundation/com.h"

namespace kivo {

// Start-up of the operating-system layer (signals, logs). 1 on success.
int ss_unix_init();

// The current date and time in the 8-byte form of com.stat_time.
void ss_time(uint8_t* out);

// Fills com.path_root and com.data_dir.
void ss_bob_path();

// The terminal's device name into `out` (empty without a terminal).
void ss_trm_id(cstr* out);

}  // namespace kivo
