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
  // The keys the description of the data file at `base` (no ".dat") gives
  // it, as its key file would define them (a key with duplicates carrying
  // the primary key behind it), into out[0..15]: their number, or -1 when
  // no description is known (the compiler's reader of the structure file
  // beside it, compiler_register_hooks). Empty: none is ever known.
  int (*described_keys)(const char* base, KEY_DESC* out);
  // The record length the description of the data file at `base` (no
  // ".dat") gives it when it keeps fixed-length records (the engine opens
  // it with that length and reads every record as that many bytes), 0 for
  // variable-length records, -1 when no description is known (the file
  // manager's reader of the structure file beside it, fm_register_hooks).
  // Empty: none is ever known.
  int (*described_rec_len)(const char* base);
};
extern store_hook_table store_hooks;

// clang-format off
#define KIVO_STORE_HOOKS(X)            \
  X(store_hooks, anal_headerless)      \
  X(store_hooks, lock_break_requested) \
  X(store_hooks, lock_status)          \
  X(store_hooks, described_keys)       \
  X(store_hooks, described_rec_len)
// clang-format on
KIVO_TABLE_LISTED(store_hooks, KIVO_STORE_HOOKS);

}  // namespace kivo
