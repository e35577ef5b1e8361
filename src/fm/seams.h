// What the engine's command line calls of the native-file utilities.
#pragma once

#include <cstdint>

namespace kivo {

// Exports a native data file to flat form; ends the process.
[[noreturn]] void brf2flat(const char* name);

// Imports a flat file into native form; ends the process.
[[noreturn]] void flat2brf(const char* name);

// Analyses (interactive = 1) or verifies a native data file. 1 good, 0 bad.
int brfanal(const char* name, int interactive, int unused, int32_t* records);

}  // namespace kivo
