// MARK and the release of a scope level.
#include "foundation/scope.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "foundation/end_codes.h"
#include "foundation/pool.h"
#include "foundation/sys_err.h"

namespace kivo {

scope_clear_hooks ut_clear_hooks;

namespace {

volatile sig_atomic_t g_signal_code;
uint32_t g_scope_serial;  // the last serial a MARK gave

POOL* reset_pool() {
  static const char kName[kPoolNameLen + 1] = " RESET POOL";
  return mm_create_pool(kName, com.sys_scope);
}

void set_scopes(int kind, uint32_t level) {
  if (kind == MARK_FILE_EVENT) com.proc_scope = com.hook_scope;
  if (kind == MARK_PROCESS) com.proc_scope = level;
  if (kind == MARK_PROCESS || kind == MARK_SUBPROCESS) com.subproc_scope = level;
}

// Runs one clearing step. A jump out of it cannot reach a MARK of its own
// level any more; it replaces the level's end code and the clearing goes on,
// so nothing of the level is left behind.
template <class F>
void clear_step(uint32_t& rc, F step) {
  try {
    step();
  } catch (const mark_jump& j) {
    rc = j.code;
  }
}

void run_clear_hook(uint32_t& rc, void (*step)(uint32_t), uint32_t level) {
  if (step) clear_step(rc, [&] { step(level); });
}

}  // namespace

uint32_t MARK(int kind, mark_fn fn, void* arg, mark_cleanup cleanup) {
  if (com.mark_scope + 1 >= static_cast<uint32_t>(kMaxScopeLevels)) {
    // Reached by calls that nest without end: a subroutine that calls itself.
    sys_err("UT", __LINE__,
            "MARK - scope level %u beyond the last (%d): the calls nest too deep (a process that invokes itself, "
            "directly or through others?)",
            com.mark_scope + 1, kMaxScopeLevels - 1);
    return PI_END_EXIT;
  }
  const uint32_t level = ++com.mark_scope;
  SCOPE_ENT& ent = com.scope_tbl[level];
  ent.saved_proc_scope = com.proc_scope;
  ent.saved_subproc_scope = com.subproc_scope;
  ent.reset_head = ent.reset_tail = nullptr;
  ent.serial = ++g_scope_serial ? g_scope_serial : ++g_scope_serial;  // 0 stays the session's

  uint32_t rc;
  if (sigsetjmp(ent.jmp, 0) == 0) {
    set_scopes(kind, level);
    try {
      fn(arg);
      rc = PI_END_NORMAL;
    } catch (const mark_jump& j) {
      rc = j.code;
    }
  } else {
    // A fatal signal was recovered into this level; frames above were cut.
    com.mark_scope = level;
    rc = static_cast<uint32_t>(g_signal_code);
  }
  com.mark_rc = rc;

  clear_step(rc, [&] {
    if (cleanup) cleanup(level);
  });
  clear_step(rc, [&] { ut_clr_scope(&ent, level); });

  com.proc_scope = ent.saved_proc_scope;
  com.subproc_scope = ent.saved_subproc_scope;
  com.mark_scope = level - 1;
  com.mark_rc = rc;
  return rc;
}

void mark_leave(uint32_t code) {
  if (!mark_active()) {
    fprintf(stderr, "Fatal error - end code %u with no scope level to return to\n", code);
    exit(static_cast<int>(code & 0xFF));
  }
  throw mark_jump{code};
}

void mark_signal_jump(uint32_t code) {
  g_signal_code = static_cast<sig_atomic_t>(code);
  siglongjmp(com.scope_tbl[com.mark_scope].jmp, 1);
}

uint32_t ut_scope_serial(uint32_t level) {
  return level < static_cast<uint32_t>(kMaxScopeLevels) ? com.scope_tbl[level].serial : 0;
}

bool ut_scope_live(uint32_t level, uint32_t serial) {
  return level <= com.mark_scope && ut_scope_serial(level) == serial;
}

void ut_add_reset(uint32_t level, void* address, const void* value, size_t size) {
  if (level >= static_cast<uint32_t>(kMaxScopeLevels) || size > 255) {
    sys_err("UT", __LINE__, "ut_add_reset - bad level %u or size %zu", level, size);
    return;
  }
  POOL* pool = reset_pool();
  auto* rec = static_cast<RESET_REC*>(MM_ALLOC(pool, sizeof(RESET_REC)));
  auto* copy = static_cast<uint8_t*>(MM_ALLOC(pool, size ? size : 1));
  if (!rec || !copy) return;
  memcpy(copy, value, size);
  *rec = RESET_REC{address, copy, static_cast<uint8_t>(size), nullptr, nullptr};
  SCOPE_ENT& ent = com.scope_tbl[level];
  rec->prev = ent.reset_tail;
  if (ent.reset_tail) ent.reset_tail->next = rec;
  else ent.reset_head = rec;
  ent.reset_tail = rec;
}

void ut_clr_scope(SCOPE_ENT* entry, uint32_t level) {
  if (entry->reset_head) {
    for (RESET_REC* r = entry->reset_tail; r; r = r->prev) memcpy(r->address, r->saved, r->size);
    RESET_REC* r = entry->reset_head;
    entry->reset_head = entry->reset_tail = nullptr;
    while (r) {
      RESET_REC* next = r->next;
      mm_free(r->saved);
      mm_free(r);
      r = next;
    }
  }
  uint32_t rc = 0;  // a jump out of one step must not skip the others
  run_clear_hook(rc, ut_clear_hooks.windows, level);
  run_clear_hook(rc, ut_clear_hooks.sorted_queries, level);
  run_clear_hook(rc, ut_clear_hooks.files, level);
  run_clear_hook(rc, ut_clear_hooks.modules, level);
  clear_step(rc, [&] { mm_clr_scope(level); });
  if (rc) throw mark_jump{rc};
}

void ut_dummy() {}
void ut_cleanup(uint32_t) {}

}  // namespace kivo
