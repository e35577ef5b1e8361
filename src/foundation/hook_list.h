// How a table of hooks or seams names its entries for the registry
// (src/kivo_registry.cpp), which lists every entry of the engine from these
// names alone.
//
// Beside each table an X-macro names every entry, and KIVO_TABLE_LISTED
// proves at compile time that the names cover the table: the sizes of the
// named entries must add up to the table's, so a member added to the struct
// and not to its list fails to build. Every table holds pointers (or, for
// em_layout, 16-bit figures) and so has no padding to hide a member in.
//
//   #define KIVO_STORE_HOOKS(X) X(store_hooks, anal_headerless) X(store_hooks, lock_status)
//   KIVO_TABLE_LISTED(store_hooks, KIVO_STORE_HOOKS);
//
// A hook is an upward call: a lower library offers the slot and a higher one
// fills it in its <library>_register_hooks. A seam starts with the real
// function and is only replaced by tests (through tests/fixtures/
// hook_override.h), as os_sys is. The lists are kept one entry a line, out
// of clang-format's reach.
#pragma once

#define KIVO_ENTRY_SIZE(table, entry) +sizeof(table.entry)

// Also records the header that offers the table, for the registry's check of
// src/README.md.
#define KIVO_TABLE_LISTED(table, list)                                                             \
  static_assert(sizeof(table) == 0 list(KIVO_ENTRY_SIZE), #table ": an entry is not in its list"); \
  inline constexpr const char* kivo_table_header_##table = __FILE__
