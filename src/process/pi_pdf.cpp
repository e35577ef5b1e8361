// The system data areas of a process (init_pdf), its PCF selection blocks
// (bld_pcf_scb), the profile it is checked against, and the version of an
// application as the process sees it.
#include <cstring>
#include <utility>

#include "fm/fm_sysadm.h"
#include "fm/la.h"
#include "foundation/bytes.h"
#include "foundation/cmdline.h"
#include "foundation/com.h"
#include "foundation/descriptors.h"
#include "foundation/end_codes.h"
#include "foundation/scope.h"
#include "foundation/sys_err.h"
#include "interp/interp.h"
#include "process/pi.h"
#include "process/pi_hooks.h"
#include "process/pi_internal.h"
#include "process/process.h"

namespace kivo {

namespace {

constexpr char kModule[] = "PISHR";

// Area 9, the database area.
enum : size_t { DBA_ID = 0, DBA_TYPE = 3, DBA_AP = 124, DBA_VER = 127, DBA_LANG = 129, kDbAreaLen = 132 };
// The four 30-character texts of the DATABASE record and where they go.
constexpr size_t kDbTexts[4][2] = {{8, 94}, {38, 4}, {68, 34}, {98, 64}};
enum : size_t { USER_DFLT_AP = 190, USER_DFLT_VER = 193 };

void fill_db_area(PCB* p, uint8_t* dba, const uint8_t* sel) {
  const char* ap = p->invoc.ap_id();
  if (sel) memcpy(dba + DBA_ID, sel + 30, 3);
  const char* db = reinterpret_cast<const char*>(dba + DBA_ID);
  const uint8_t* x = IS_BOB_AP(ap) ? nullptr : pi_get_ddbxap(db, ap);
  dba[DBA_TYPE] = x ? x[DBXAP_KIND] : 2;
  const uint8_t* rec = nullptr;
  if (!is_blank(db, 3) && !(rec = pi_get_ddb(db))) sys_err(kModule, __LINE__, "init_pdf() - invalid database");
  for (const auto& t : kDbTexts)
    if (rec) memcpy(dba + t[1], rec + t[0], 30);
    else memset(dba + t[1], ' ', 30);
  if (sel) memcpy(dba + DBA_AP, sel + 33, 5);
  const uint8_t* u = com.user_rec;
  if (u && is_blank(dba + DBA_AP, 3)) memcpy(dba + DBA_AP, u + USER_DFLT_AP, 3);
  if (u && is_blank(dba + DBA_VER, 2)) memcpy(dba + DBA_VER, u + USER_DFLT_VER, 2);
}

// A background SUBPROCESS has its own areas where it would share its
// invoker's: it takes the database it would have shared, which its job then
// runs on.
void copy_db_areas(const PCB* inv, PCB* p) {
  for (const auto& [area, len] : {std::pair<uint32_t, uint32_t>{AREA_DB_SEL, 38}, {AREA_DB, kDbAreaLen}}) {
    const uint8_t* from = pi_area(inv, area, len);
    if (uint8_t* to = pi_area(p, area, len); from && to) memcpy(to, from, len);
  }
}

}  // namespace

bool is_blank(const void* p, size_t n) {
  const auto* c = static_cast<const uint8_t*>(p);
  for (size_t i = 0; i < n; ++i)
    if (c[i] != ' ') return false;
  return true;
}

bool session_pending() {
  for (char c : ss_session)
    if (c != ' ' && c != 0) return true;
  return false;
}

uint8_t* pi_area(const PCB* p, uint32_t n, uint32_t min_len) {
  if (!p || !p->pcb_areas || !p->pcb_em || n > p->pcb_em->em_area_cnt) return nullptr;
  const EM* em = p->pcb_em;
  for (uint32_t i = 0; i < em->em_area_cnt; ++i)
    if (em->em_area_tbl[i].area_no == n) return em->em_area_tbl[i].size >= min_len ? p->pcb_areas[n] : nullptr;
  return nullptr;
}

const uint8_t* pi_cap(EM* em, const char* ap) {
  uint8_t key[CAP_LEN] = {};
  memcpy(key + CAP_AP, ap, 3);
  return em && em->em_cap_arb ? em_read_key(em->em_cap_arb, 0, key) : nullptr;
}

void init_pdf(PCB* p) {
  const INVOC* v = &p->invoc;
  const char* ap = v->ap_id();
  EM* em = p->pcb_em;
  if (uint8_t* u = pi_area(p, AREA_USER, 3); u && is_blank(u, 3)) memcpy(u, com.user_id, 3);
  if (uint8_t* a = pi_area(p, AREA_PROC, 47)) {
    memcpy(a, v->ap_id(), 36);
    memcpy(a + 43, v->caller_code(), 4);
  }
  if (uint8_t* a = pi_area(p, AREA_PCF, 2); a && !is_blank(em->em_pcf_ap, 3) && !is_blank(em->em_area13, 2))
    memcpy(a, em->em_area13, 2);
  if (uint8_t* a = pi_area(p, AREA_PCF_FLAG, 1)) a[0] = em->em_area3;
  const uint8_t type = v->invoc_type();
  // A SUBPROCESS shares its invoker's; one run without an invoker (a query
  // process run to build its query) starts from the session's database.
  if (session_pending()) return;
  if (const PCB* inv = type == 0 ? invoc_parent(p->invoc) : nullptr) {
    if (v->bg_run()) copy_db_areas(inv, p);
    return;
  }
  uint8_t* sel = pi_area(p, AREA_DB_SEL, 38);
  if (sel && is_blank(sel + 30, 3) && !IS_BOB_AP(ap)) memcpy(sel + 30, com.cur_db, 3);
  uint8_t* dba = pi_area(p, AREA_DB, kDbAreaLen);
  if (dba) fill_db_area(p, dba, sel);
  if (type != 2) return;
  if (uint8_t* a = pi_area(p, AREA_DETACHED, 1)) a[0] = 255;
  rt_dflt_disp(p, dba);
  if (dba) memcpy(dba + DBA_LANG, p->pcb_lang, 3);
}

void pi_get_ver(PCB* p, const char* ap, char* out) {
  memcpy(out, "00", 2);
  if (IS_BOB_AP(ap)) return;
  for (int depth = 0; p && depth < 256; ++depth, p = invoc_parent(p->invoc)) {
    if (const uint8_t* a7 = pi_area(p, AREA_NEXT, 71); a7 && !is_blank(a7 + 69, 2))
      return (void)memcpy(out, a7 + 69, 2);
    const char* own = p->invoc.ap_id();
    if (!IS_BOB_AP(own) || !invoc_parent(p->invoc)) return (void)memcpy(out, p->invoc.ver(), 2);
  }
}

void pi_keep_profile(PCB* p) {
  const uint8_t* u = com.user_rec;
  if (!u) return pcb_set_profile(p, nullptr);
  if (p->pcb_profile && memcmp(p->pcb_profile, u + USER_PROFILE, 30) == 0) return;
  const uint8_t* dba = pi_area(p, AREA_DB, kDbAreaLen);
  pcb_set_profile(p, pi_get_dprof(reinterpret_cast<const char*>(u + USER_PROFILE),
                                  dba ? reinterpret_cast<const char*>(dba + DBA_ID) : "   "));
}

}  // namespace kivo
