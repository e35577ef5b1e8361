// Memory pools: every dynamic allocation of the engine belongs to a named
// pool owned by a scope level, and a pool goes away with its level.
//
// Each block carries a header (magic word, size, the caller's file and line)
// and, with KIVO_TRAILER_COUNT, checked trailer words behind the caller's
// bytes. Pools of the session level (not above com.sys_scope) live in buckets
// 0-127 and are never cleared by scope; deeper pools live in 128-255, each
// bucket ordered by level (highest first) so clearing stops early.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "foundation/list.h"

namespace kivo {

constexpr uint32_t kMemMagic = 0xBABE;
constexpr size_t kPoolNameLen = 11;

struct POOL;

// Block header. The 32-bit layout was 44 bytes; here it holds 64-bit pointers
// and is padded so the caller's bytes keep the heap's 16-byte alignment.
struct alignas(16) MEMHDR {
  ut_link all;        // all-allocations list
  uint32_t magic;     // kMemMagic while live, its complement once freed
  uint32_t size;      // bytes asked for
  uint32_t reserved;  // always 0
  uint32_t alloc_no;  // running number of the allocation, for the dump
  const char* file;   // source file and line of the MM_ALLOC
  uint16_t line;
  uint8_t note_id;  // debugger tag current when allocated (dbg_find_note)
  uint8_t watched;  // the debugger watches it: freeing it is reported
  POOL* pool;       // owner
  ut_link in_pool;  // the pool's block list
};
constexpr size_t kMemHdrSize = sizeof(MEMHDR);

// Pool record (one heap allocation per pool). In-memory only; 64-bit layout.
struct POOL {
  ut_link all;              // all-pools list
  uint32_t magic;           // kMemMagic while live, its complement once freed
  uint8_t watched;          // the debugger watches it: freeing it is reported
  uint32_t bytes;           // full sizes of the live blocks
  uint32_t blocks;          // live blocks
  uint16_t level;           // scope level that owns it: released when it ends
  char name[kPoolNameLen];  // zero bytes when unnamed
  char* identity;           // "ID" + description, or null
  ut_list* bucket;          // the directory bucket of its name and level
  ut_link in_bucket;        // place in that bucket
  ut_list block_list;       // its live blocks (MEMHDR::in_pool)
};

// Reads KIVO_ZERO_MALLOC, KIVO_CHECK_MEM and KIVO_TRAILER_COUNT, empties the
// directory and creates the memory manager's own pool. Idempotent for tests:
// a second call first destroys every pool.
int mm_init();

// The pool of that 11-byte name and level, created when missing. A null name
// always makes a new pool.
POOL* mm_create_pool(const char* name, uint32_t level);
POOL* mm_find_pool(const char* name, uint32_t level);
// Gives `pool` to another level, its blocks and name kept; 0 when that level
// has a pool of its name already.
int mm_move_pool(POOL* pool, uint32_t level);
void mm_destroy_pool(POOL* pool);
int mm_identify_pool(POOL* pool, const char* text);

// Allocates `size` bytes from `pool`. Out of heap ends the current scope
// level with end code 3. Bad arguments report and return null.
void* mm_dbg_alloc(POOL* pool, size_t size, const char* file, int line);
void mm_free(void* ptr);
void mm_clr_scope(uint32_t level);

#define MM_ALLOC(pool, size) ::kivo::mm_dbg_alloc((pool), (size), __FILE__, __LINE__)

// Totals over all pools.
uint32_t mm_total_bytes();
uint32_t mm_total_blocks();

// The memory manager's own session pool ("   MMPOOL  ").
extern POOL* mm_pool_id;
// Stack position recorded by main, for the dump's stack estimate.
extern const char* mm_bottom_of_stack;

// Built-in routines called by name from statements (arguments are field
// addresses).
// mm_alloc_info: the bytes and blocks allocated into *total and *blocks; with
// flag "1" also a dump of every pool to "pool.dmp". Returns 1.
int mm_alloc_info(void* ignored, int32_t* total, int32_t* blocks, const char* flag);
// dbg_find_note: lists the blocks tagged with *note (when not 0) into
// "pool.dmp", then tags later allocations with *new_note. Returns the sum of
// the listed blocks' sizes.
int dbg_find_note(void* ignored, const uint8_t* note, const uint8_t* new_note);

// Debugger-only diagnostics.
void dbg_mark(uint8_t note);
void dbg_chk_mark(uint8_t note);
int dbg_dump_pool(POOL* pool);
int dbg_lst_chk();
void dbg_free_watch(void* ptr);
void* dbg_note(void* ptr);
int dbg_trailer(MEMHDR* hdr);
int dbg_find_mem(const MEMHDR* hdr);
void* mm_memcpy(void* dst, const void* src, size_t n);
void* mm_memset(void* dst, int c, size_t n);

// "%11.11s(scope %d)" and the identity, for dumps (static buffer).
const char* mm_pool_desc(const POOL* pool);

}  // namespace kivo
