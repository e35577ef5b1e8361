// Memory pools: pool directory, block headers and trailers, and the checks.
//
// Invariant: a block is on exactly two lists while alive (the all-allocations
// list and its pool's block list) and its magic is kMemMagic; a freed block
// carries the complement. Freed blocks rest in a short quarantine before the
// heap gets them back, so that a double free reads a header that is still
// ours and is reported instead of corrupting the heap.
#include "foundation/pool.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "foundation/com.h"
#include "foundation/end_codes.h"
#include "foundation/foundation.h"
#include "foundation/scope.h"
#include "foundation/sys_err.h"

namespace kivo {

POOL* mm_pool_id;
const char* mm_bottom_of_stack;

namespace {

constexpr size_t kBuckets = 256;
constexpr size_t kQuarantine = 64;

struct {
  bool check;
  ut_list all;  // blocks and pool records
  uint32_t total;
  uint16_t trailers;
  bool zero_fill;
} local_dbg_ctl;

ut_list mm_pool[kBuckets];
uint32_t alloc_counter;
uint8_t note_id;

MEMHDR* quarantine[kQuarantine];
size_t quarantine_next;

const size_t kInPoolOff = offsetof(MEMHDR, in_pool);
const size_t kInBucketOff = offsetof(POOL, in_bucket);

MEMHDR* header_of(void* ptr) { return reinterpret_cast<MEMHDR*>(static_cast<char*>(ptr) - kMemHdrSize); }
char* data_of(MEMHDR* h) { return reinterpret_cast<char*>(h) + kMemHdrSize; }

size_t even(size_t n) { return (n + 1) & ~size_t{1}; }
size_t full_size(size_t size) { return kMemHdrSize + even(size) + 4u * local_dbg_ctl.trailers; }

unsigned name_hash(const char* name) {
  if (!name) return 127;
  unsigned h = static_cast<uint8_t>(name[0]);
  for (size_t i = 1; i < kPoolNameLen; ++i) h = (h * 2 + static_cast<uint8_t>(name[i])) % 256;
  return h % 128;
}

ut_list* bucket_for(const char* name, uint32_t level) {
  return &mm_pool[name_hash(name) + (level > com.sys_scope ? 128 : 0)];
}

bool named(const POOL* p) {
  for (char c : p->name)
    if (c) return true;
  return false;
}

[[noreturn]] void out_of_memory() {
  sys_err("MM", __LINE__, "mm_alloc - panic out of memory\n");
  mark_leave(PI_END_EXIT);
}

void write_trailers(MEMHDR* h) {
  uint8_t* t = reinterpret_cast<uint8_t*>(data_of(h)) + even(h->size);
  for (unsigned i = 0; i < local_dbg_ctl.trailers; ++i, t += 4) {
    uint16_t a = kMemMagic;
    auto dist = static_cast<uint16_t>((t + 2 - reinterpret_cast<uint8_t*>(h)) ^ kMemMagic);
    memcpy(t, &a, 2);
    memcpy(t + 2, &dist, 2);
  }
}

bool trailers_ok(MEMHDR* h) {
  const uint8_t* t = reinterpret_cast<uint8_t*>(data_of(h)) + even(h->size);
  for (unsigned i = 0; i < local_dbg_ctl.trailers; ++i, t += 4) {
    uint16_t a, d;
    memcpy(&a, t, 2);
    memcpy(&d, t + 2, 2);
    if (a != kMemMagic || d != static_cast<uint16_t>((t + 2 - reinterpret_cast<const uint8_t*>(h)) ^ kMemMagic))
      return false;
  }
  return true;
}

int check_block(void* elem) { return dbg_trailer(static_cast<MEMHDR*>(elem)); }

void verify_all() {
  for (auto& b : mm_pool) {
    if (!ut_verify_lst(&b, kInBucketOff, nullptr, "Pool List")) continue;
    for (void* p = b.head; p; p = static_cast<POOL*>(p)->in_bucket.next)
      ut_verify_lst(&static_cast<POOL*>(p)->block_list, kInPoolOff, check_block, "Memory List");
  }
}

// Checks a block that is about to be freed. False: it must not be touched.
bool block_alive(MEMHDR* h, const char* who) {
  if (h->watched)
    sys_err("MM", __LINE__, "%s - freeing watched address 0x%lX", who, reinterpret_cast<unsigned long>(data_of(h)));
  if (h->magic == kMemMagic) return true;
  if (h->magic == (~kMemMagic)) sys_err("MM", __LINE__, "%s - attempting to free freed memory", who);
  else sys_err("MM", __LINE__, "%s - attempting to free unallocated memory", who);
  return false;
}

void release_to_heap(MEMHDR* h) {
  h->magic = ~kMemMagic;
  if (MEMHDR* old = quarantine[quarantine_next]) free(old);
  quarantine[quarantine_next] = h;
  quarantine_next = (quarantine_next + 1) % kQuarantine;
}

void drain_quarantine() {
  for (auto& q : quarantine) {
    free(q);
    q = nullptr;
  }
}

void account(POOL* pool, MEMHDR* h, bool add) {
  uint32_t fs = static_cast<uint32_t>(full_size(h->size));
  if (add) {
    local_dbg_ctl.total += fs;
    pool->bytes += fs;
    ++pool->blocks;
  } else {
    local_dbg_ctl.total -= fs;
    pool->bytes -= fs;
    --pool->blocks;
  }
}

FILE* open_dump(const char* name, const char* mode) {
  FILE* f = fopen(name, mode);
  return f ? f : stderr;
}
void close_dump(FILE* f) {
  if (f != stderr) fclose(f);
}

}  // namespace

int mm_init() {
  if (foundation_hooks.mm_reset) foundation_hooks.mm_reset();
  for (auto& b : mm_pool)
    while (b.head) mm_destroy_pool(static_cast<POOL*>(b.head));
  drain_quarantine();
  local_dbg_ctl = {};
  local_dbg_ctl.zero_fill = getenv("KIVO_ZERO_MALLOC") != nullptr;
  local_dbg_ctl.check = getenv("KIVO_CHECK_MEM") != nullptr;
  if (const char* t = getenv("KIVO_TRAILER_COUNT")) {
    long n = strtol(t, nullptr, 10);
    local_dbg_ctl.trailers = static_cast<uint16_t>(n < 0 ? 0 : n > 64 ? 64 : n);
  }
  note_id = 0;
  mm_pool_id = mm_create_pool("   MMPOOL  ", com.sys_scope);
  return 1;
}

namespace {

// Where a pool of `name` and `level` stands in its bucket: before the pool
// returned (null: at the end); *same is the named pool already there.
POOL* place_of(ut_list* bucket, const char* name, uint32_t level, POOL** same) {
  *same = nullptr;
  for (void* e = bucket->head; e; e = static_cast<POOL*>(e)->in_bucket.next) {
    POOL* p = static_cast<POOL*>(e);
    if (p->level < level) return p;
    if (p->level == level && name) {
      if (!named(p)) return p;  // unnamed pools stand after the named ones of a level
      int c = memcmp(name, p->name, kPoolNameLen);
      if (c == 0) return *same = p, nullptr;
      if (c > 0) return p;
    }
  }
  return nullptr;
}

void link_in(POOL* p, ut_list* bucket, POOL* before) {
  p->bucket = bucket;
  if (before) {
    p->in_bucket.next = before;
    ut_add_to_lst(p, &p->in_bucket, nullptr);
    if (bucket->head == before) bucket->head = p;
  } else {
    ut_add_to_lst(p, &p->in_bucket, bucket);
  }
}

}  // namespace

POOL* mm_create_pool(const char* name, uint32_t level) {
  ut_list* bucket = bucket_for(name, level);
  POOL* same = nullptr;
  POOL* before = place_of(bucket, name, level, &same);
  if (same) return same;
  auto* p = static_cast<POOL*>(calloc(1, sizeof(POOL)));
  if (!p) out_of_memory();
  p->magic = kMemMagic;
  p->level = static_cast<uint16_t>(level);
  if (name) memcpy(p->name, name, kPoolNameLen);
  link_in(p, bucket, before);
  ut_add_to_lst(p, &p->all, &local_dbg_ctl.all);
  return p;
}

int mm_move_pool(POOL* pool, uint32_t level) {
  if (!pool || pool->magic != kMemMagic) return 0;
  if (pool->level == level) return 1;
  const char* name = named(pool) ? pool->name : nullptr;
  if (name && mm_find_pool(name, level)) return 0;
  ut_remove_from_lst(pool, &pool->in_bucket, pool->bucket);
  ut_list* bucket = bucket_for(name, level);
  POOL* same = nullptr;
  link_in(pool, bucket, place_of(bucket, name, level, &same));
  pool->level = static_cast<uint16_t>(level);
  return 1;
}

POOL* mm_find_pool(const char* name, uint32_t level) {
  if (!name) return nullptr;
  for (void* e = bucket_for(name, level)->head; e; e = static_cast<POOL*>(e)->in_bucket.next) {
    POOL* p = static_cast<POOL*>(e);
    if (p->level < level) return nullptr;
    if (p->level > level || !named(p)) continue;
    int c = memcmp(name, p->name, kPoolNameLen);
    if (c == 0) return p;
    if (c > 0) return nullptr;
  }
  return nullptr;
}

void mm_destroy_pool(POOL* pool) {
  if (!pool) return;
  if (local_dbg_ctl.check) verify_all();
  if (pool->magic != kMemMagic) {
    sys_err("MM", __LINE__,
            pool->magic == ~kMemMagic ? "free_pool() - attempting to free freed memory"
                                      : "free_pool() - attempting to free unallocated memory");
    return;
  }
  while (void* e = pool->block_list.head) {
    MEMHDR* h = static_cast<MEMHDR*>(e);
    ut_remove_from_lst(h, &h->in_pool, &pool->block_list);
    if (!block_alive(h, "free_pool()")) continue;  // not ours: leave it alone
    if (!trailers_ok(h)) sys_err("MM", __LINE__, "mm_free() - corrupted trailer");
    ut_remove_from_lst(h, &h->all, &local_dbg_ctl.all);
    account(pool, h, false);
    h->magic = ~kMemMagic;
    free(h);
  }
  if (pool->watched)
    sys_err("MM", __LINE__, "free_pool() - freeing watched address 0x%lX", reinterpret_cast<unsigned long>(pool));
  local_dbg_ctl.total -= pool->bytes;
  ut_remove_from_lst(pool, &pool->in_bucket, pool->bucket);
  ut_remove_from_lst(pool, &pool->all, &local_dbg_ctl.all);
  pool->magic = ~kMemMagic;
  free(pool);
  if (local_dbg_ctl.check) verify_all();
}

int mm_identify_pool(POOL* pool, const char* text) {
  size_t n = strlen(text);
  char* id = static_cast<char*>(MM_ALLOC(pool, n + 3));
  if (!id) return 0;
  memcpy(id, "ID", 2);
  memcpy(id + 2, text, n + 1);
  pool->identity = id;
  return static_cast<int>(n);
}

void* mm_dbg_alloc(POOL* pool, size_t size, const char* file, int line) {
  if (size == 0) sys_err("MM", __LINE__, "mm_alloc() - zero bytes requested");
  if (!pool) {
    sys_err("MM", __LINE__, "mm_alloc() - no pool specified");
    return nullptr;
  }
  if (pool->magic != kMemMagic) {
    sys_err("MM", __LINE__, "mm_alloc() - invalid pool id");
    return nullptr;
  }
  if (size > UINT32_MAX - kMemHdrSize - 4u * 64 - 1) out_of_memory();
  auto* h = static_cast<MEMHDR*>(malloc(full_size(size)));
  if (!h) out_of_memory();
  memset(h, 0, kMemHdrSize);
  ut_add_to_lst(h, &h->in_pool, &pool->block_list);
  ut_add_to_lst(h, &h->all, &local_dbg_ctl.all);
  h->magic = kMemMagic;
  h->size = static_cast<uint32_t>(size);
  h->alloc_no = ++alloc_counter;
  h->note_id = note_id;
  h->file = file;
  h->line = static_cast<uint16_t>(line);
  h->pool = pool;
  write_trailers(h);
  if (local_dbg_ctl.zero_fill) memset(data_of(h), 0, size);
  account(pool, h, true);
  if (local_dbg_ctl.check) verify_all();
  return data_of(h);
}

void mm_free(void* ptr) {
  if (!ptr) return;
  if (local_dbg_ctl.check) verify_all();
  MEMHDR* h = header_of(ptr);
  if (!block_alive(h, "mm_free()")) return;
  ut_remove_from_lst(h, &h->all, &local_dbg_ctl.all);
  account(h->pool, h, false);
  if (!trailers_ok(h)) sys_err("MM", __LINE__, "mm_free() - corrupted trailer");
  ut_remove_from_lst(h, &h->in_pool, &h->pool->block_list);
  release_to_heap(h);
}

void mm_clr_scope(uint32_t level) {
  for (size_t b = 128; b < kBuckets; ++b) {
    while (void* e = mm_pool[b].head) {
      POOL* p = static_cast<POOL*>(e);
      if (p->level < level) break;
      mm_destroy_pool(p);
    }
  }
  if (local_dbg_ctl.check) verify_all();
}

uint32_t mm_total_bytes() { return local_dbg_ctl.total; }

uint32_t mm_total_blocks() {
  uint32_t n = 0;
  for (auto& b : mm_pool)
    for (void* p = b.head; p; p = static_cast<POOL*>(p)->in_bucket.next) n += static_cast<POOL*>(p)->blocks;
  return n;
}

const char* mm_pool_desc(const POOL* pool) {
  static char buf[132];
  bool printable = true;
  for (char c : pool->name) {
    auto u = static_cast<uint8_t>(c);
    if (u < 32 || u > 122) printable = false;
  }
  int n;
  if (printable) {
    n = snprintf(buf, sizeof buf, "%11.11s(scope %d)", pool->name, pool->level);
  } else {
    n = 0;
    for (char c : pool->name) n += snprintf(buf + n, sizeof buf - n, "%02X", static_cast<uint8_t>(c));
    n += snprintf(buf + n, sizeof buf - n, "(scope%d)", pool->level);
  }
  if (pool->identity && memcmp(pool->identity, "ID", 2) == 0 && n < static_cast<int>(sizeof buf))
    snprintf(buf + n, sizeof buf - n, " ID --> %s", pool->identity + 2);
  return buf;
}

int mm_alloc_info(void*, int32_t* total, int32_t* blocks, const char* flag) {
  *total = static_cast<int32_t>(local_dbg_ctl.total);
  *blocks = static_cast<int32_t>(mm_total_blocks());
  if (!flag || *flag != '1') return 1;
  FILE* f = open_dump("pool.dmp", "a");
  char here;
  long stack = mm_bottom_of_stack ? static_cast<long>(mm_bottom_of_stack - &here) : 0;
  fprintf(f, "\nTotal Memory Allocated:  %d\n", *total);
  fprintf(f, "Current Proc Scope:      %d\n", com.proc_scope);
  fprintf(f, "Current Subproc Scope:   %d\n", com.subproc_scope);
  fprintf(f, "Current Mark Scope:      %d\n", com.mark_scope);
  fprintf(f, "Approximate Stack Usage: %ld\n\n", stack < 0 ? -stack : stack);
  for (auto& b : mm_pool) {
    for (void* e = b.head; e; e = static_cast<POOL*>(e)->in_bucket.next) {
      POOL* p = static_cast<POOL*>(e);
      fprintf(f, "%08d bytes in %04d blocks at scope %03d ", p->bytes, p->blocks, p->level);
      bool odd = false;
      for (char c : p->name) odd |= static_cast<uint8_t>(c) < 32 || static_cast<uint8_t>(c) > 126;
      if (!odd) {
        fprintf(f, "Pool Name:  %.11s\n", p->name);
      } else {
        fprintf(f, "Pool Name:  0x");
        for (char c : p->name) fprintf(f, "%02X", static_cast<uint8_t>(c));
        fprintf(f, "\n");
      }
    }
  }
  if (mm_pool_id)
    for (void* e = mm_pool_id->block_list.head; e; e = static_cast<MEMHDR*>(e)->in_pool.next) {
      auto* h = static_cast<MEMHDR*>(e);
      fprintf(f, "  %d - %04d bytes allocated from %s, line %d\n", h->note_id, h->size, h->file, h->line);
    }
  if (foundation_hooks.mm_dump) foundation_hooks.mm_dump(f);
  close_dump(f);
  ++note_id;
  return 1;
}

namespace {
// Walks the live blocks (the all-allocations list also holds pool records).
template <class F>
void each_block(F f) {
  for (auto& b : mm_pool)
    for (void* p = b.head; p; p = static_cast<POOL*>(p)->in_bucket.next)
      for (void* e = static_cast<POOL*>(p)->block_list.head; e; e = static_cast<MEMHDR*>(e)->in_pool.next)
        f(static_cast<MEMHDR*>(e));
}
}  // namespace

int dbg_find_note(void*, const uint8_t* note, const uint8_t* new_note) {
  FILE* f = open_dump("pool.dmp", "a");
  int sum = 0, blocks = 0;
  if (*note) {
    fprintf(f, "looking for mark %d\n", *note);
    each_block([&](MEMHDR* h) {
      if (h->note_id != *note) return;
      fprintf(f, "  %d - %04d bytes allocated from %s, line %d - pool %s\n", h->note_id, h->size, h->file, h->line,
              mm_pool_desc(h->pool));
      sum += static_cast<int>(h->size);
      ++blocks;
    });
    fprintf(f, "wasted bytes --> %d, overhead = %d\n", sum, blocks * static_cast<int>(kMemHdrSize));
  }
  note_id = *new_note;
  fprintf(f, "new note id = %d\n", note_id);
  close_dump(f);
  return sum;
}

void dbg_mark(uint8_t note) {
  each_block([&](MEMHDR* h) { h->note_id = note; });
}

void dbg_chk_mark(uint8_t note) {
  FILE* f = open_dump("mark.chk", "w");
  int sum = 0;
  each_block([&](MEMHDR* h) {
    if (h->note_id == note) return;
    fprintf(f, "%.11s - 0x%08X - %d bytes\n", h->pool->name, h->reserved, h->size);
    sum += static_cast<int>(h->size);
  });
  if (sum) fprintf(f, "wasted bytes --> %d\n", sum);
  close_dump(f);
}

int dbg_dump_pool(POOL* pool) {
  FILE* f = open_dump("pool.dmp", "w");
  int sum = 0;
  fprintf(f, "Pool contents (%.11s) - %d bytes\n", pool->name, pool->bytes);
  for (void* e = pool->block_list.head; e; e = static_cast<MEMHDR*>(e)->in_pool.next) {
    auto* h = static_cast<MEMHDR*>(e);
    fprintf(f, "0x%08lX - %d bytes\n", reinterpret_cast<unsigned long>(data_of(h)), h->size);
    sum += static_cast<int>(h->size);
  }
  fprintf(f, "%.11s - %d bytes\n", pool->name, sum);
  close_dump(f);
  return sum;
}

int dbg_lst_chk() {
  local_dbg_ctl.check = !local_dbg_ctl.check;
  return local_dbg_ctl.check;
}

void dbg_free_watch(void* ptr) {
  MEMHDR* h = header_of(ptr);
  if (h->magic != kMemMagic) return sys_err("MM", __LINE__, "pointer has not been allocated");
  h->watched = 1;
}

void* dbg_note(void* ptr) {
  if (header_of(ptr)->magic == kMemMagic) return ptr;
  sys_err("MM", __LINE__, "pointer has not been allocated");
  return nullptr;
}

int dbg_trailer(MEMHDR* h) {
  if (h->magic != kMemMagic) {
    sys_err("MM", __LINE__, "pointer has not been allocated");
    return 0;
  }
  if (!trailers_ok(h)) {
    sys_err("MM", __LINE__, "dbg_trailer() - corrupted trailer");
    return 0;
  }
  return 1;
}

int dbg_find_mem(const MEMHDR* hdr) {
  for (void* e = local_dbg_ctl.all.head; e; e = static_cast<MEMHDR*>(e)->all.next)
    if (e == hdr) return 1;
  return 0;
}

void* mm_memcpy(void* dst, const void* src, size_t n) { return memcpy(dst, src, n); }
void* mm_memset(void* dst, int c, size_t n) { return memset(dst, c, n); }

}  // namespace kivo
