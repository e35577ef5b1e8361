// The registry of every hook and seam of the engine, listed from the tables'
// own X-macro lists (foundation/hook_list.h), so that no entry can be left
// out of it; and the one list of hooks that may stay empty after main's
// registration, each with its reason.
//
// Callers: the HookRegistry tests, which check it against the engine's
// registration and src/README.md; the tests' override helper
// (tests/fixtures/hook_override.h), which saves and restores every entry.
#pragma once

#include <cstddef>
#include <cstring>
#include <vector>

namespace kivo {

enum class registry_kind { hook, seam };

struct registry_entry {
  const char* table;   // "store_hooks"
  const char* name;    // "store_hooks.lock_status"
  const char* header;  // the header that offers it, from src/ on ("store/store.h")
  registry_kind kind;
  void* slot;
  const void* empty;  // the same entry of a value-initialised table
  size_t size;
  // A hook is filled when it differs from its empty state.
  bool filled() const { return memcmp(slot, empty, size) != 0; }
};

// Every entry, hooks and seams, in layer order.
const std::vector<registry_entry>& kivo_registry();

// Why a hook may stay empty after main's registration and start.
struct registry_empty_ok {
  const char* name;
  const char* why;
};
const std::vector<registry_empty_ok>& kivo_hooks_may_stay_empty();

// Hooks that a library's start fills rather than its registration, with the
// start that fills them and why it must wait.
struct registry_start_fill {
  const char* name;
  const char* start;
  const char* why;
};
const std::vector<registry_start_fill>& kivo_hooks_filled_at_start();

}  // namespace kivo
