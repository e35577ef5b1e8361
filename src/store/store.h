// The hooks the storage engine offers the layers above, each filled by the
// subsystem named beside it; an empty entry behaves as its comment says.
#pragma once

#include "store/lock.h"

namespace kivo {

struct anal_layout;

struct store_hook_table {
  // Fills `out` when the data file at `base` (no ".dat") keeps no header;
  // false for any other (the file manager's structure files). Empty: every
  // file is taken to have a header.
  bool (*anal_headerless)(const char* base, anal_layout* out);
  // Whether the user asked to break off a lock wait (the debugger's break
  // request). Empty: no break is ever requested.
  bool (*lock_break_requested)();
  // The lock wait's status line (the window manager's, at wm_init). Empty:
  // the line goes to stderr.
  lock_status_presenter lock_status;
};
extern store_hook_table store_hooks;

}  // namespace kivo
