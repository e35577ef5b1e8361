// What the executive consults before and during a run: the process hooks of
// this user, the process language, the cached records of the
// system-administration files, object properties, the range blocks of a
// primary file and the security bits of the user's profile.
//
// Invariants: each default-record cache keeps one record and the key it was
// read for; a failed read clears that key, so nothing stale is ever given.
// The records given are the cache's own buffers, valid until the next call
// of the same cache: keep a copy (as pcb_profile does) to hold one longer.
//
// Callers: pi_init (fill_mhook), the executive's dflt_proc (hook_proc,
// dflt_lang, the caches), init_pdf, the statements of the property and
// security routines, the output and query processes (bld_rng).
#pragma once

#include <cstddef>
#include <cstdint>

#include "compiler/pcb.h"
#include "fm/fm_objects.h"

namespace kivo {

// ---- record layouts read here ----
constexpr uint16_t kHookRecLen = 82;
enum : size_t { HOOK_DB = 36, HOOK_USER = 39, HOOK_TARGET = 42, HOOK_TARGET_DB = 78, HOOK_ACTIVE = 81 };
constexpr uint16_t kPropRecLen = 406;
enum : size_t { PROP_TYPE = 0, PROP_KEY = 8, PROP_NAME = 136, PROP_VALUE = 150 };
constexpr size_t kPropKeyLen = 128, kPropNameLen = 14, kPropValueLen = 256;
// Property cache record: application, version, database (key 0), the
// requester's word (key 1), the open handle.
enum : size_t { PRC_AP = 0, PRC_VER = 3, PRC_DB = 5, PRC_OWNER = 8, PRC_ARB = 16 };
constexpr uint16_t kPropCacheLen = PRC_ARB + sizeof(ARB*);
constexpr uint16_t kDbxapRecLen = 176, kProfRecLen = 1340, kParmRecLen = 232;
enum : size_t { DBXAP_KIND = 6, PROF_DB = 30, PROF_BITMAP = 64 };
enum : size_t { USER_PROFILE = 123 };
// The work record dflt_proc fills: a PCB-shaped block whose application,
// version, type and name are bytes 4-39 and language bytes 636-638.
enum : size_t { WK_AP = 4, WK_VER = 7, WK_TYPE = 9, WK_NAME = 10 };

// ---- hooks and language ----
int fill_mhook(ARB* mhook);
// `work` is the executive's work record (a PCB); `db` 3 characters or null,
// replaced by a hook's target database when it names one.
int hook_proc(PCB* work, uint8_t kind, char* db);
int use_hook(PCB* work, const uint8_t* hook, char* db);
void dflt_lang(PCB* work, PCB* invoker, const char* db);

// ---- default-record caches: the cache's buffer, or null ----
const uint8_t* pi_get_ddbxap(const char* db, const char* ap);
const uint8_t* pi_get_dparm(const char* ap, const char* ver);
const uint8_t* pi_get_dprof(const char* profile, const char* db);
const uint8_t* pi_get_dusr(const char* user_id);
// Reads of each cache's file since the start (tests count them).
struct pi_read_counts {
  uint32_t dap, ddb, ddbxap, dparm, dprof, dsysparm, dusr;
};
extern pi_read_counts pi_reads;
// Forgets every cached record (a new session in the same process).
void pi_reset_caches();

// ---- properties ----
ARB* pi_get_prop_arb(const char* ap, const char* ver, const char* db, uint32_t owner);
int pi_get_prop(ARB* a, const char* type, const char* key, size_t key_len, const char* name, uint8_t* out);
int pi_put_prop(ARB* a, const char* type, const char* key, size_t key_len, const char* name, const uint8_t* value);
int pi_del_prop(ARB* a, const char* type, const char* key, size_t key_len, const char* name);
int pi_move_prop(ARB* a, const char* type, const char* new_key, size_t key_len, const char* name, const char* old_key);
int pi_get_sa_prop(const char* type, const char* key, size_t key_len, const char* name, uint8_t* out, size_t out_len);

// ---- range blocks ----
constexpr size_t kRngEntLen = 68;
enum : size_t { RNG_AP = 0, RNG_FLD = 3, RNG_COUNT = 26, RNG_TEXT = 28, RNG_FLAGS = 58 };
constexpr uint8_t kRngMax = 255;
void bld_rng(PCB* p);

// ---- security ----
// Whether class `c` is allowed by the PROFILE record `prof`: bit c mod 8 of
// byte 64 + c div 8; a class outside the record is refused.
bool secr_bit(const uint8_t* prof, int32_t c);
// pcb_profile := a copy of `prof` in pcb_pool (null: none), the old one freed.
void pcb_set_profile(PCB* p, const uint8_t* prof);
int chk_exec_secr(PCB* p, PCB* invoker);
int pi_chk_secr(int32_t c, PCB* p);
int pi_chk_acc_secr(PCB* p, const uint8_t* base, int32_t offset);

}  // namespace kivo
