// The hooks the storage engine offers the layers above, each filled by the
// <library>_register_hooks named beside it; an empty entry behaves as its
// comment says.
#pragma once

#include "foundation/hook_list.h"
#include "store/lock.h"

namespace kivo {

struct anal_layout;
struct KEY_DESC;

struct store_hook_table {
  // Fills `out` when the data file at `base` (no ".dat") keeps no header;
  // false for any other (the file manager's structure files,
  // fm_register_hooks). Empty: every file is taken to have a header.
  bool (*anal_headerless)(const char* base, anal_layout* out);
  // Whether the user asked to break off a lock wait (the debugger's break
  // request, editors_register_hooks). Empty: no break is ever requested.
  bool (*lock_break_requested)();
  // The lock wait's status line (the window manager's, screen_register_hooks:
  // on stderr until the window manager has started). Empty: the line goes to
  // stderr.
  lock_status_presenter lock_status;
  // The keys of the data file at `base` (no ".dat") as its description
  // gives them, in the order the engine's open declares them: how many into
  // `out` (at most `max`), 0 when it gives none (the compiler's reading of
  // the structure file, compiler_register_hooks). Empty: no key is known, and
  // the utilities build no key file the engine's open would not.
  int (*key_definitions)(const char* base, KEY_DESC* out, int max);
};
extern store_hook_table store_hooks;

// clang-format off
#define KIVO_STORE_HOOKS(X)            \
  X(store_hooks, anal_headerless)      \
  X(store_hooks, lock_break_requested) \
  X(store_hooks, lock_status)          \
  X(store_hooks, key_definitions)
// clang-format on
KIVO_TABLE_LISTED(store_hooks, KIVO_STORE_HOOKS);

}  // namespace kivo
