// The status line's context of a process: the database, application and
// version of the nearest process that is not the runtime's own.
//
// The status line's items read com.cur_db, cur_ap and cur_ver in place, so
// setting them is all a repaint needs.
// Callers: the menu and input processes when they show a screen.
#include <cstring>

#include "foundation/com.h"
#include "foundation/end_codes.h"
#include "foundation/sys_err.h"
#include "process/pi_exec.h"
#include "process/pi_internal.h"

namespace kivo {

namespace {

constexpr char kModule[] = "PIEXEC";
enum : size_t { A5_DB = 30, A9_SRC = 124, A11_AP = 0 };

void put(const uint8_t* db, const uint8_t* ap_ver) {
  if (db) memcpy(com.cur_db, db, 3);
  else memset(com.cur_db, ' ', 3);
  if (ap_ver) memcpy(com.cur_ap, ap_ver, 3), memcpy(com.cur_ver, ap_ver + 3, 2);
  else memset(com.cur_ap, ' ', 3), memset(com.cur_ver, ' ', 2);
}

}  // namespace

void pi_upd_stat(PCB* p) {
  PCB* q = p;
  while (q && memcmp(q->invoc.ap_id(), "0LA", 3) == 0) q = invoc_parent(q->invoc);
  const uint8_t* a11 = pi_area(q, AREA_PROC, A11_AP + 5);
  if (!q || !a11) {
    put(nullptr, nullptr);
  } else if (memcmp(a11, "0AD", 3) == 0) {
    const uint8_t* a9 = pi_area(q, AREA_DB, A9_SRC + 5);
    put(nullptr, a9 ? a9 + A9_SRC : nullptr);
  } else if (memcmp(a11, "0SA", 3) == 0 || memcmp(a11, "0DB", 3) == 0) {
    put(nullptr, a11);
  } else {
    const uint8_t* a5 = pi_area(q, AREA_DB_SEL, A5_DB + 3);
    put(a5 ? a5 + A5_DB : nullptr, a11);
  }
  const uint8_t t = p->invoc.proc_type();
  if (t < 1 || t > kProcTypes) return sys_err(kModule, __LINE__, "invoc_proc() - bad proc. type");
  if (pi_type_rows[t].upd_stat) pi_type_rows[t].upd_stat(p);
}

}  // namespace kivo
