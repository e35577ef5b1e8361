// pi_exec: one invocation from its defaults to its end code, and the
// defaulting of application, version and process (dflt_proc).
//
// Invariants: the invoker's areas are bound in its module again before
// pi_exec returns to it; family numbers given out during a run are given
// out again after it; a PCB that never ran is freed where it was made.
// Callers: the main loop, the invocation verbs, the frame processor's
// children, the editors (all through process/process.h).
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "compiler/compiler.h"
#include "compiler/design_records.h"
#include "compiler/em.h"
#include "compiler/pc_cmpl.h"
#include "fm/fm_record.h"
#include "fm/fm_status.h"
#include "fm/la.h"
#include "foundation/bytes.h"
#include "foundation/com.h"
#include "foundation/descriptors.h"
#include "foundation/end_codes.h"
#include "foundation/pool.h"
#include "foundation/scope.h"
#include "foundation/sys_err.h"
#include "process/pi_exec.h"
#include "process/pi_hooks.h"
#include "process/pi_internal.h"
#include "process/process.h"

namespace kivo {

namespace {

constexpr char kModule[] = "PIEXEC";
constexpr uint32_t kMsgRefused = 200460;
constexpr char kFallbackName[] = "KIVO MENU";

// USER record: database, start application, type and name of the start process.
enum : size_t { USR_DB = 153, USR_AP = 156, USR_TYPE = 159, USR_NAME = 160 };
// DATABASE record: the database's application and version.
enum : size_t { DDB_AP = 3, DDB_VER = 6 };
// PARAM record: the start menus for database kinds 2, 1 and 3.
enum : size_t { PARM_MENU = 38, PARM_MENU1 = 68, PARM_MENU3 = 98 };
// System areas of the invoker read by the defaults.
enum : size_t { A5_DB = 30, A7_NEXT_AP = 66 };

char* ap_of(PCB* k) { return k->invoc.ap_id(); }

// Application "0LA", version "00", the menu "KIVO MENU".
int fallback(PCB* k) {
  INVOC* b = &k->invoc;
  memcpy(b->ap_id(), "0LA", 3);
  memcpy(b->ver(), "00", 2);
  b->set_proc_type(PT_MENU);
  memset(b->proc_nam(), ' ', kProcNameLen);
  memcpy(b->proc_nam(), kFallbackName, sizeof kFallbackName - 1);
  memset(k->pcb_lang, ' ', 3);
  return 1;
}

// The database in effect for the defaults (step 2); false when none.
bool invoker_db(PCB* inv, const INVOC* v, char* db) {
  const uint8_t* a5 = pi_area(inv, AREA_DB_SEL, A5_DB + 3);
  const uint8_t* a9 = pi_area(inv, AREA_DB, 3);
  if (v->invoc_type() != 0 && a5 && !is_blank(a5 + A5_DB, 3)) memcpy(db, a5 + A5_DB, 3);
  else if (a9) memcpy(db, a9, 3);
  else return false;
  return !is_blank(db, 3);
}

// The start menu of the PARAM record for the database kind; null when blank.
const uint8_t* start_menu(const uint8_t* parm, uint8_t kind) {
  size_t at = kind == 1 ? PARM_MENU1 : kind == 3 ? PARM_MENU3 : PARM_MENU;
  if (at != PARM_MENU && is_blank(parm + at, kProcNameLen)) at = PARM_MENU;
  return is_blank(parm + at, kProcNameLen) ? nullptr : parm + at;
}

// What the defaulting has settled so far.
struct dflt_state {
  bool ap_blank, name_blank;
  bool have_db = false;
  char db[3] = {};
  char* db_or_null() { return have_db ? db : nullptr; }
};

// The database in effect, and the invoker's one-shot choice of the next application.
void invoker_choice(PCB* k, INVOC* v, PCB* inv, dflt_state& d) {
  if (!inv) {
    if (is_blank(com.cur_db, 3)) return;
    memcpy(d.db, com.cur_db, 3);
    d.have_db = true;
    return;
  }
  d.have_db = invoker_db(inv, v, d.db);
  uint8_t* a7 = pi_area(inv, AREA_NEXT, A7_NEXT_AP + 3);
  if (!d.ap_blank || !a7 || is_blank(a7 + A7_NEXT_AP, 3)) return;
  memcpy(k->invoc.ap_id(), a7 + A7_NEXT_AP, 3);
  memset(a7 + A7_NEXT_AP, ' ', 3);  // a one-shot choice of the next application
  d.ap_blank = false;
}

// A blank application: the database's, else the user's start process.
// False when neither gives one.
bool start_application(PCB* k, dflt_state& d) {
  INVOC* b = &k->invoc;
  const uint8_t* user = com.user_rec;
  d.name_blank = true;
  if (d.have_db) {
    // A database without its record has no application: the fallback.
    const uint8_t* ddb = pi_get_ddb(d.db);
    if (!ddb) return false;
    memcpy(b->ap_id(), ddb + DDB_AP, 3);
    return true;
  }
  if (!user || is_blank(user + USR_AP, 3)) return false;
  memcpy(b->ap_id(), user + USR_AP, 3);
  memcpy(b->proc_nam(), user + USR_NAME, kProcNameLen);
  b->set_proc_type(user[USR_TYPE]);
  memcpy(com.cur_db, user + USR_DB, 3);
  d.name_blank = is_blank(user + USR_NAME, kProcNameLen);
  return true;
}

// The version: the database's for an application that needs one; false
// when that database has no record.
bool pick_version(PCB* k, INVOC* v, const dflt_state& d) {
  if (!d.have_db || !db_required(ap_of(k))) {
    memcpy(k->invoc.ver(), memcmp(ap_of(k), "0DN", 3) == 0 ? v->ver() : "00", 2);
    return true;
  }
  const uint8_t* ddb = pi_get_ddb(d.db);
  if (!ddb) return false;
  memcpy(k->invoc.ver(), ddb + DDB_VER, 2);
  return true;
}

// A blank process name: the application's start menu of the database's kind.
int start_menu_proc(PCB* k, const dflt_state& d) {
  const uint8_t* parm = pi_get_dparm(ap_of(k), k->invoc.ver());
  if (!parm) return 0;
  uint8_t kind = 2;
  if (d.have_db)
    if (const uint8_t* x = pi_get_ddbxap(d.db, ap_of(k))) kind = x[DBXAP_KIND];
  // The cache's buffer may change with the next read: take the name now.
  const uint8_t* name = start_menu(parm, kind);
  if (!name) return 0;
  k->invoc.set_proc_type(PT_MENU);
  memcpy(k->invoc.proc_nam(), name, kProcNameLen);
  return 1;
}

}  // namespace

bool db_required(const char* ap) { return !IS_BOB_AP(ap) && memcmp(ap, "0DN", 3) != 0; }

int dflt_proc(PCB* k, INVOC* v, PCB* inv) {
  dflt_state d{is_blank(v->ap_id(), 3), is_blank(v->proc_nam(), kProcNameLen)};
  invoker_choice(k, v, inv, d);
  const uint8_t* user = com.user_rec;
  // A blank application is the user's start application, read below with
  // its database: only a named application asks for a database here.
  if (!d.have_db && !d.ap_blank && db_required(ap_of(k))) {
    if (!user || is_blank(user + USR_DB, 3)) return fallback(k);
    memcpy(com.cur_db, user + USR_DB, 3);
    memcpy(d.db, com.cur_db, 3);
    d.have_db = true;
  }
  if (d.ap_blank && !start_application(k, d)) return fallback(k);
  if (!pick_version(k, v, d)) return fallback(k);
  if (d.name_blank && !start_menu_proc(k, d)) return 0;
  // A hook's target database has nowhere to go without a database in effect.
  hook_proc(k, 3, d.db_or_null());
  dflt_lang(k, inv, d.db_or_null());
  return 1;
}

namespace {

// The PCB file's record with the work record's key; null none.
PCB* read_pcb(PCB* key) {
  if (!pi_pcb_arb) return nullptr;
  PROTO_FULL(pi_pcb_arb, 0, reinterpret_cast<uint8_t*>(key));
  pi_pcb_arb->arb_len = sizeof(PCB);
  return reinterpret_cast<PCB*>(fm_read_fast(pi_pcb_arb, ARB_EQUAL));
}

// The first record of p's process in p's family; null none.
PCB* family_head(const PCB* p) {
  PCB k{};
  k.family_no = p->family_no;
  memcpy(k.invoc.b, p->invoc.b, 36);
  return read_pcb(&k);
}

// A background run is the invoker's wish: its output defaults say
// BACKGROUND "1" as it invokes (invoc_proc then hands the job options
// over). A background session runs what it invokes in place, its job being
// the background already; a chained process takes its invoker's place.
void ask_background(INVOC* v, const PCB* inv) {
  if (!inv || com.no_term || v->chain_mode() == 2) return;
  const uint8_t* a1 = pi_area(inv, AREA_OUT_DFLT, A1_BACKGROUND + 1);
  if (a1 && a1[A1_BACKGROUND] == '1') v->set_bg_run(1);
}

// Step 4: the family, and the PCB a SUBPROCESS may reuse; null: a new one.
PCB* find_family(PCB* k, INVOC* v, PCB* inv) {
  const INVOC* b = v;
  if (b->invoc_type() != 0 || b->bg_run() || !inv) {
    k->family_no = pi_nxt_family++;
    return nullptr;
  }
  k->family_no = inv->family_no;
  PCB* found = read_pcb(k);
  if (!found || (b->chain_mode() != 2 && !found->pcb_next_instance)) return found;
  k->pcb_instance = found->pcb_next_instance;
  // A process chaining to itself alternates, so both records live during the hand-over.
  if (b->chain_mode() == 2 && memcmp(b, found->invoc.b, 36) == 0) k->pcb_alt = inv->pcb_alt ? 0 : 1;
  return read_pcb(k);
}

// Step 5: the PCB reused with this invocation.
void reuse(PCB* p, const PCB* k, const INVOC* v) {
  p->invoc = *v;
  memcpy(p->invoc.b, k->invoc.b, 36);
  memcpy(p->pcb_lang, k->pcb_lang, 3);
  auto* s = static_cast<pcb_iscroll_blk*>(p->pcb_iscroll);
  if (!s) return;
  s->first = nullptr, s->count = 0, s->b[0] = s->b[1] = 0, s->cur = nullptr, s->first_line = nullptr;
  if (s->frame && s->frame->word) memset(s->frame->word, 0, sizeof(uint32_t));
}

// Step 6: a new PCB from pi_pool; null when out of memory.
PCB* new_pcb(const PCB* k, const INVOC* v, const PCB* inv) {
  auto* p = static_cast<PCB*>(MM_ALLOC(pi_pool, sizeof(PCB)));
  if (!p) return nullptr;
  memset(p, 0, sizeof *p);
  p->invoc = *v;
  memcpy(p->invoc.b, k->invoc.b, 36);
  memcpy(p->pcb_lang, k->pcb_lang, 3);
  p->family_no = k->family_no, p->pcb_instance = k->pcb_instance, p->pcb_alt = k->pcb_alt;
  const INVOC* b = v;
  if (b->invoc_type() != 0 || b->bg_run() || !inv) p->pcb_pool_owner = 1;
  else if (b->chain_mode() == 2) p->pcb_pool_owner = inv->pcb_pool_owner;
  return p;
}

// A PCB that never ran: its module and its block go.
void drop_pcb(PCB* p) {
  if (p->pcb_profile) mm_free(p->pcb_profile);
  pl_free(p->pcb_em);
  mm_free(p);
}

int mark_kind(const INVOC* v) {
  if (v->bg_run()) return MARK_PROCESS;
  switch (v->invoc_type()) {
    case 0: return MARK_SUBPROCESS;
    case 1: return use_subproc_for_related ? MARK_SUBPROCESS : MARK_PROCESS;
    case 2: return MARK_PROCESS;
    default: sys_err(kModule, __LINE__, "bad invoc type"); return 0;
  }
}

// A module serves every PCB of its process: the invoker's bases go back in.
void rebind(PCB* inv) {
  EM* em = inv->pcb_em;
  if (!em || !em->em_area_cnt || em->em_bound_pcb == inv || !inv->pcb_areas) return;
  pi_bind_areas(inv);
}

void set_end(INVOC* v, uint32_t code) { v->set_end_code(code); }

constexpr size_t kStartFailureLen = 640;
char g_start_failure[kStartFailureLen];
// The PCB of the start's own process while it runs; null otherwise.
const PCB* g_start_pcb;
// The start's own process as it was defaulted, for the line of its failure.
INVOC g_start_invoc;

// The process of `k` and why it cannot run, as one line.
std::string failure_line(const PCB& k, const char* why) {
  const INVOC* b = &k.invoc;
  size_t name_len = kProcNameLen;
  while (name_len > 0 && b->proc_nam()[name_len - 1] == ' ') --name_len;
  char what[80];
  snprintf(what, sizeof what, "process %.3s/%.2s type %d \"%.*s\" ", b->ap_id(), b->ver(), b->proc_type(),
           static_cast<int>(name_len), b->proc_nam());
  return what + std::string(why);
}

// A start that runs nothing says which process and why.
void note_start_failure(const PCB& k, const char* why) {
  snprintf(g_start_failure, sizeof g_start_failure, "%s", failure_line(k, why).c_str());
}

// The line of the last invocation with an invoker that could not run; ""
// when it ran (pi_child_failure).
std::string g_child_failure;

// Why the module of `k` could not be had: its design record, the first
// error of its compile, or the build. The text lives until the next call.
const char* load_failure(const PCB& k) {
  const INVOC* b = &k.invoc;
  uint8_t pr[kProcRecSize];
  static char why[kStartFailureLen];
  uint32_t st = 0;
  if (!pc_read_process(b->ap_id(), b->ver(), b->proc_type(), b->proc_nam(), pr, &st)) {
    if (!st || st == FM_NOT_FOUND || st == FM_NO_FILE) return "does not exist: no PROCESS design record";
    // A design file that cannot be read (its data server unreachable) says
    // nothing of whether the process exists.
    snprintf(why, sizeof why, "cannot be loaded: its PROCESS design record could not be read (%s)",
             la_status_text(st).c_str());
    return why;
  }
  if (pr[PR_ACTIVE] != '1') return "is not active: its PROCESS design record is not marked active";
  if (!*pl_compile_error()) return "cannot be loaded: its module could not be read or compiled";
  snprintf(why, sizeof why, "cannot be loaded: %s", pl_compile_error());
  return why;
}

// Steps 4-9: the PCB that runs `v`, reused or new (loaded, its security
// checked, written to the PCB file); null with the end code set in `v`
// when it cannot run.
PCB* obtain_pcb(PCB* k, INVOC* v, PCB* inv) {
  if (PCB* p = find_family(k, v, inv)) {
    reuse(p, k, v);
    return p;
  }
  PCB* p = new_pcb(k, v, inv);
  if (p && !pl_get(p, 1)) {
    if (!inv) note_start_failure(*k, load_failure(*k));
    else g_child_failure = failure_line(*k, load_failure(*k));
    drop_pcb(p);
    p = nullptr;
  }
  if (!p) {
    set_end(v, PI_END_CANCEL);
    return nullptr;
  }
  if (p->pcb_em->em_secr_class != -1 && !chk_exec_secr(p, inv)) {
    drop_pcb(p);
    set_end(v, PI_END_REFUSED);
    if (inv) {
      const uint32_t msg = kMsgRefused;
      la_add_msg(inv->pcb_err_fi, &msg, 0, {});
    }
    return nullptr;
  }
  PROTO_FULL(pi_pcb_arb, 0, reinterpret_cast<uint8_t*>(p));
  pi_pcb_arb->arb_len = pi_pcb_arb->arb_var_len = sizeof(PCB);
  pi_pcb_arb->arb_mod = ARB_LOCATE;
  if (!fm_write(pi_pcb_arb)) checkstat(pi_pcb_arb->arb_stat, "pi_exec() - bad pcb_arb write", kModule, __LINE__);
  return p;
}

}  // namespace

const char* pi_start_failure() { return g_start_failure; }

const char* pi_child_failure() { return g_child_failure.c_str(); }

void pi_post_failure(PCB* p, const std::string& line, uint16_t cls) {
  sys_err_log(line.c_str());
  if (!p->pcb_err_fi) return;
  constexpr size_t kMsgText = 79, kFirst = 73;  // a message's text; the row beside "(MORE)"
  for (size_t at = 0; at < line.size();) {
    const size_t room = at ? kMsgText : kFirst;
    size_t end = line.size();
    if (end - at > room) {
      end = line.rfind(' ', at + room);
      if (end == std::string::npos || end <= at) end = at + room;
    }
    la_add_text(p->pcb_err_fi, cls, 0, line.data() + at, end - at);
    at = line.find_first_not_of(' ', end);
    if (at == std::string::npos) break;
  }
}

std::string pi_run_failure() {
  if (!*os_run_failure()) return "";
  PCB k{};
  k.invoc = g_start_invoc;
  return failure_line(k, (std::string("failed: ") + os_run_failure()).c_str());
}

void pi_note_file_failure(const PCB* p, const char* why) {
  if (p && p == g_start_pcb) note_start_failure(*p, why);
}

void pi_claim_instance(PCB* p, bool running) {
  if (PCB* head = family_head(p)) head->pcb_next_instance = static_cast<uint16_t>(p->pcb_instance + (running ? 1 : 0));
}

void pi_bind_areas(PCB* p) {
  EM* em = p->pcb_em;
  if (!em) return;
  const size_t n = em->em_area_cnt + 1;
  if (!em->em_area_addr) em->em_area_addr = static_cast<uint8_t**>(MM_ALLOC(em->em_pool, n * sizeof(uint8_t*)));
  if (!em->em_area_addr) return;
  if (p->pcb_areas) memcpy(em->em_area_addr, p->pcb_areas, n * sizeof(uint8_t*));
  else memset(em->em_area_addr, 0, n * sizeof(uint8_t*));
  em->em_bound_pcb = p;
}

void pi_exec(INVOC* v) { process_seams.exec(v); }

void pi_exec_own(INVOC* v) {
  if (!pi_pcb_arb) return set_end(v, PI_END_NO_PROC);  // the executive is not started
  PCB* inv = invoc_parent(*v);
  // Chain mode 2 hands the invoker's place over; without an invoker there is none.
  if (!inv && v->chain_mode() == 2) v->set_chain_mode(1);
  ask_background(v, inv);
  PCB k{};
  memcpy(k.invoc.b, v->b, 36);
  if (!inv) g_start_failure[0] = '\0', os_clear_run_failure();
  g_child_failure.clear();
  if (!dflt_proc(&k, v, inv)) {
    constexpr char kNoMenu[] = "has no start menu: no PARAM record names one";
    if (!inv) note_start_failure(k, kNoMenu);
    else g_child_failure = failure_line(k, kNoMenu);
    return set_end(v, PI_END_NO_PROC);
  }
  // A chaining invoker ends: its instance is free for what takes its place;
  // should nothing take it, the invoker goes on and claims it again.
  const bool chaining = v->chain_mode() == 2;
  if (chaining) pi_claim_instance(inv, false);
  PCB* p = obtain_pcb(&k, v, inv);
  if (!p) {
    if (chaining) pi_claim_instance(inv, true);
    return;
  }
  if (chaining) {
    inv->pcb_next = p;
    mark_leave(PI_END_CHAIN);  // the invoker ends; its invoc_proc runs p next
  }
  const INVOC saved_invoc = os_invoc;
  os_err_set_invoc(v);
  if (!inv) g_start_invoc = p->invoc;
  const uint16_t saved_family = pi_nxt_family;
  PCB* const saved_cur = pi_cur_pcb;
  const PCB* const saved_start = g_start_pcb;
  if (!inv) g_start_pcb = p;
  const uint32_t code = MARK(mark_kind(v), reinterpret_cast<mark_fn>(invoc_proc), p, ut_cleanup);
  g_start_pcb = saved_start;
  pi_cur_pcb = saved_cur;
  set_end(v, code);
  os_err_set_invoc(&saved_invoc);
  pi_nxt_family = saved_family;
  // The invoker goes on: what ended this process is the invoker's to handle
  // (a message, a refusal), no failure of the invoker's own.
  if (inv) rebind(inv), pi_own_file_blks(inv), os_clear_run_failure();
  g_child_failure.clear();  // this invocation ran: a failure below it was told there
  if (code == PI_END_LEAVE || code == PI_END_LOGOUT) mark_leave(code);
}

}  // namespace kivo
