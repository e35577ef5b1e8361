// Execution scopes: MARK enters a level, runs a function, and on the way out
// releases everything tagged with that level.
//
// Unwinding: an end code leaves the current level by a C++ exception that only
// MARK catches (`mark_leave`), so destructors of the frames in between run and
// RAII resources are never leaked. The recovery from a fatal signal cannot
// throw from a handler; it long-jumps to the level's jump point instead
// (`mark_signal_jump`), which MARK sets with sigsetjmp.
//
// The end code travels in a local of each MARK: clearing steps that run
// nested MARKs (file events at close) cannot overwrite it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

#include "foundation/com.h"
#include "foundation/hook_list.h"

namespace kivo {

enum : int {
  MARK_PROCESS = 1,     // sets the process and sub-process level
  MARK_SUBPROCESS = 4,  // sets the sub-process level
  MARK_RECOVERY = 5,    // recovery point only
  MARK_FILE_EVENT = 6,  // process level = com.hook_scope
};

// The value thrown by mark_leave. Deliberately not a std::exception, so that
// generic handlers cannot swallow an unwind.
struct mark_jump {
  uint32_t code;
};

using mark_fn = void (*)(void* arg);
using mark_cleanup = void (*)(uint32_t level);

// Runs fn(arg) one level deeper; returns 1 when it returned, else the end
// code it left with. Beyond the last level: system error, fn not run, 3.
uint32_t MARK(int kind, mark_fn fn, void* arg, mark_cleanup cleanup);

// The same for any callable.
template <class F>
uint32_t MARK(int kind, F&& f, mark_cleanup cleanup = nullptr) {
  auto tramp = [](void* a) { (*static_cast<std::remove_reference_t<F>*>(a))(); };
  return MARK(kind, tramp, static_cast<void*>(&f), cleanup);
}

// Leaves the current level with `code`. At the session level there is no
// MARK to land in: the engine ends with a fatal line.
[[noreturn]] void mark_leave(uint32_t code);

// From a signal handler: long-jumps into the current level's MARK, which
// returns `code`. Async-signal-safe; the caller unblocks its signal first.
[[noreturn]] void mark_signal_jump(uint32_t code);

// Whether a MARK level exists to recover into.
inline bool mark_active() { return com.mark_scope > com.sys_scope; }

// The serial of the current entry of `level`: each MARK gives its level a
// new one, so what a level that has ended left behind (a handle closed with
// it) is told apart from what the level entered anew since holds.
uint32_t ut_scope_serial(uint32_t level);
// Whether `level` is still the entry of that serial (it has not ended).
bool ut_scope_live(uint32_t level, uint32_t serial);

// Saved memory restored when a level ends: one entry of a SCOPE_ENT's reset
// list. The record and its copy come from the reset pool of the session level.
struct RESET_REC {
  void* address;    // where the value goes back
  uint8_t* saved;   // the value to put back (a copy taken by ut_add_reset)
  uint8_t size;     // bytes at `saved`, at most 255
  RESET_REC* prev;  // toward the oldest entry
  RESET_REC* next;  // toward the newest entry
};

// Records that `size` bytes at `address` get `value` back when `level` ends.
// Sizes above 255 are refused with a system error (the count is one byte).
void ut_add_reset(uint32_t level, void* address, const void* value, size_t size);

// The clearing steps of a level that belong to higher subsystems, filled by
// each when it starts. ut_clr_scope runs them in the order of the fields,
// then releases the pools. An empty step is a subsystem not in this build:
// there is nothing of its kind to release.
struct scope_clear_hooks {
  void (*windows)(uint32_t level);         // window manager
  void (*sorted_queries)(uint32_t level);  // sorted-query back-end
  void (*files)(uint32_t level);           // file manager
  void (*modules)(uint32_t level);         // modules being built (compiler)
};
extern scope_clear_hooks ut_clear_hooks;

// clang-format off
#define KIVO_SCOPE_HOOKS(X)         \
  X(ut_clear_hooks, windows)        \
  X(ut_clear_hooks, sorted_queries) \
  X(ut_clear_hooks, files)          \
  X(ut_clear_hooks, modules)
// clang-format on
KIVO_TABLE_LISTED(ut_clear_hooks, KIVO_SCOPE_HOOKS);

// Releases a level: its reset list (newest first, so the oldest value of an
// address wins), then windows, sorted-query blocks, files, modules being
// built and pools of this level and deeper.
void ut_clr_scope(SCOPE_ENT* entry, uint32_t level);

// Clean-up functions that do nothing.
void ut_dummy();
void ut_cleanup(uint32_t level);

}  // namespace kivo
