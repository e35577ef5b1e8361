// The statement-editor part of the tool harness (see se_harness.h).
#include "tools/se_harness.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "compiler/pcb.h"
#include "fm/fm_objects.h"
#include "foundation/bytes.h"
#include "foundation/com.h"
#include "foundation/end_codes.h"
#include "foundation/invoc.h"
#include "process/process.h"
#include "screen/wm_region.h"
#include "screen/wm_show.h"
#include "tools/ie_internal.h"
#include "tools/se_edit.h"

namespace kivo {

namespace {

void (*g_exec_before)(INVOC*);  // the stand-ins registered before these
long g_fail_at = 0;             // the write that fails, 0 none
long g_writes = 0;

int failing_put(ARB* a, const uint8_t* rec, uint16_t len) {
  if (++g_writes == g_fail_at) {
    a->arb_stat = 200999;
    return 0;
  }
  return ie_put(a, rec, len);
}

void log_return(const uint8_t* ctx, int result) {
  const char* path = getenv("KIVO_TOOL_LOG");
  if (!path || !*path) return;
  if (FILE* f = fopen(path, "a")) {
    fprintf(f, "SE_EDIT %d status=%u changed=%u\n", result, ctx[SEC_STATUS], ctx[SEC_CHANGED]);
    fclose(f);
  }
}

// A process of the design application: its name on one line until a key.
void stand_in(INVOC* v, const std::string& name) {
  auto* srf = static_cast<TSRF*>(ih_get(HK_SURFACE, ld_le32(v->b, INVOC_PARENT_SRF)));
  auto* srf2 = static_cast<TSRF*>(ih_get(HK_SURFACE, ld_le32(v->b, INVOC_PARENT_SRF + 4)));
  st_le32(v->b, INVOC_END_CODE, PI_END_NORMAL);
  if (!srf) return;
  const int cols = srf->SRF_SIZE.col;
  WND_BLK w;
  INIT_WND(&w, 12, 1, 1, cols, 0);
  TWND* wnd = WM__ATTACH(&w, srf, com.proc_scope);
  if (!wnd) return;
  std::string text(size_t(cols), ' ');
  text.replace(0, std::min(name.size(), text.size()), name.substr(0, text.size()));
  CHR_BLK c{};
  c.row = 1, c.col = 1, c.rows = 1, c.cols = cols, c.value = 0x80;
  wm_write_reg(wnd, reinterpret_cast<const uint8_t*>(text.data()), {}, {&c, 1});
  SHOW_BLK b{};
  b.show_flags = SHOW_REFRESH | SHOW_INPUT;
  memcpy(b.keymap_name, "DATA ENTRY", 10);
  b.main_srf = srf->id;
  b.pop_srf = srf2 ? srf2->id : srf->id;
  b.curs_type = CURS_MAIN;
  b.main_pos = {12, 1};
  wm_show(&b, nullptr);
  wm_detach(wnd, 1);
}

void exec(INVOC* v) {
  std::string name(reinterpret_cast<const char*>(v->b + INVOC_PROC_NAM), kProcNameLen);
  name.erase(name.find_last_not_of(' ') + 1);
  if (memcmp(v->b + INVOC_AP_ID, "0AD", 3) == 0 && (name == "ZEL EDITOR (HELP)" || name == "ZEL EDITOR (TOOLBOX)"))
    return stand_in(v, name);
  if (g_exec_before) return g_exec_before(v);
  pi_exec_own(v);
}

}  // namespace

void se_tooltest_register() {
  g_exec_before = pi_hooks.exec;
  pi_hooks.exec = exec;
  se_returned = log_return;
  if (const char* k = getenv("KIVO_TOOL_FAIL_WRITE"); k && atol(k) > 0) {
    g_fail_at = atol(k);
    se_stmt_put = failing_put;
  }
}

}  // namespace kivo
