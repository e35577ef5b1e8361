// What the rest of the engine calls of the data dictionary and design build.
#pragma once

namespace kivo {

// Bootstrap of the system applications (`bs_run`, design/bs_boot.h); the
// result is the exit status.
signed char bs_bootstrap();
// Before the engine's start, for a bootstrap: what a run that did not end
// made in the data directory removed (design/bs_guard.h).
void bs_bootstrap_prepare(const char* argv0);
// Start-up of the data dictionary: its state cleared, the routines
// "DD_CMPL", "DB_RESTRUCT", "DB_VFY", "MU_INIT" and "MU_XLATE" added to the
// built-in table (once), each called with a request and the MESSAGE1 and
// MESSAGE2 handles.
void dd_init();

}  // namespace kivo
