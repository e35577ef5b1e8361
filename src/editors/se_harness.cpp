// The statement-editor part of the tool harness (see se_harness.h).
#include "editors/se_harness.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "compiler/pcb.h"
#include "editors/editors.h"
#include "editors/ie_gui.h"
#include "editors/ie_internal.h"
#include "editors/se_edit.h"
#include "fm/fm_objects.h"
#include "foundation/bytes.h"
#include "foundation/com.h"
#include "foundation/end_codes.h"
#include "foundation/invoc.h"
#include "process/process.h"
#include "screen/wm_region.h"
#include "screen/wm_show.h"

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

void log_line(const std::string& line) {
  const char* path = getenv("KIVO_TOOL_LOG");
  if (!path || !*path) return;
  if (FILE* f = fopen(path, "a")) {
    fprintf(f, "%s\n", line.c_str());
    fclose(f);
  }
}

// The editor whose context the image editor's client requests would read.
std::string editor_seen() {
  IE_GUI_REQ req;
  req.operation = 1;
  if (!ie_get_info(&req) || req.kind != 2) return "none";
  return std::string(static_cast<const char*>(req.editor), 5);
}

// A run that ends leaves the context of the run it was started from, if
// any ("editor=" then names it).
void log_return(const uint8_t* ctx, int result) {
  char l[80];
  snprintf(l, sizeof l, "SE_EDIT %d status=%u changed=%u", result, ctx[SEC_STATUS], ctx[SEC_CHANGED]);
  const std::string seen = editor_seen();
  // A nested editor's cut buffer is the outer one's to scratch: none may
  // be left once the outermost run has ended.
  if (seen == "none") log_line(xcopy_buf_arb ? l + std::string(" cut buffer left") : std::string(l));
  else log_line(l + std::string(" editor=") + seen);
}

// "ZEL EDITOR (XCOPY)": the n-th 64-byte context of the file that
// KIVO_XCOPY_CONTEXT names goes into the pass file; past its end the pass
// record comes back with status "E".
int g_xcopy_calls = 0;
void xcopy_stand_in() {
  const std::string ver = editor_seen().substr(3);
  uint8_t rec[kSeContextSize];
  if (!se_pass_get(ver.c_str(), rec)) return log_line("XCOPY no pass record");
  const char* path = getenv("KIVO_XCOPY_CONTEXT");
  FILE* f = path ? fopen(path, "rb") : nullptr;
  uint8_t chosen[kSeContextSize];
  bool got = false;
  if (f) {
    got = fseek(f, long(g_xcopy_calls) * long(kSeContextSize), SEEK_SET) == 0 &&
          fread(chosen, 1, sizeof chosen, f) == sizeof chosen;
    fclose(f);
  }
  ++g_xcopy_calls;
  if (got) memcpy(rec, chosen, sizeof rec);
  else rec[SEC_STATUS] = 'E';
  se_pass_put(ver.c_str(), rec);
}

// "ZEL EDITOR (BROWSE)": the pass record appended to KIVO_BROWSE_KEEP.
void browse_stand_in() {
  const std::string ver = editor_seen().substr(3);
  uint8_t rec[kSeContextSize];
  if (!se_pass_get(ver.c_str(), rec)) return log_line("BROWSE no pass record");
  if (const char* path = getenv("KIVO_BROWSE_KEEP"))
    if (FILE* f = fopen(path, "ab")) {
      fwrite(rec, 1, sizeof rec, f);
      fclose(f);
    }
}

// A process of the design application: its name on one line until a key.
void stand_in(INVOC* v, const std::string& name) {
  auto* srf = static_cast<TSRF*>(ih_get(HK_SURFACE, v->parent_srf(0)));
  auto* srf2 = static_cast<TSRF*>(ih_get(HK_SURFACE, v->parent_srf(1)));
  v->set_end_code(PI_END_NORMAL);
  if (!srf) return;
  const int cols = srf->SRF_SIZE.col;
  WND_BLK w;
  INIT_WND(&w, 12, 1, 1, cols, 0);
  TWND* wnd = WM_ATTACH(&w, srf, com.proc_scope);
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

// "SCAN" of "0LA" run by the editor (it passes the scan context and the
// field type) while KIVO_SCAN_NAMES is set: the next name of it
// (comma-separated) into the context. Runs that pass anything else are not
// the editor's, and without the variable the system's "SCAN" runs: false.
int g_scan_calls = 0;
bool scan_stand_in(INVOC* v) {
  auto* from = static_cast<PCB*>(ih_get(HK_PCB, v->parent_pcb()));
  if (!from || from->pcb_pass.count < 2) return false;
  const pass_entry& ctx = from->pcb_pass.e[from->pcb_pass.count - 2];
  const pass_entry& type = from->pcb_pass.e[from->pcb_pass.count - 1];
  if (ctx.len != kSeScanLen || type.len != 1 || !getenv("KIVO_SCAN_NAMES")) return false;
  std::string name(reinterpret_cast<const char*>(ctx.addr + SCAN_RESULT), 30);
  name.erase(name.find_last_not_of(' ') + 1);
  log_line("SCAN ap=" + std::string(reinterpret_cast<const char*>(ctx.addr + SCAN_AP), 3) +
           " ver=" + std::string(reinterpret_cast<const char*>(ctx.addr + SCAN_VER), 2) + " name=" + name +
           " type=" + std::to_string(type.addr[0]));
  std::string names = getenv("KIVO_SCAN_NAMES") ? getenv("KIVO_SCAN_NAMES") : "";
  for (int i = 0; i < g_scan_calls && !names.empty(); ++i) {
    const size_t comma = names.find(',');
    names = comma == std::string::npos ? "" : names.substr(comma + 1);
  }
  ++g_scan_calls;
  std::string next = names.substr(0, names.find(','));
  if (!next.empty()) {
    next.resize(30, ' ');
    memcpy(ctx.addr + SCAN_RESULT, next.data(), 30);
  }
  v->set_end_code(PI_END_NORMAL);
  return true;
}

void exec(INVOC* v) {
  std::string name(v->proc_nam(), kProcNameLen);
  name.erase(name.find_last_not_of(' ') + 1);
  if (memcmp(v->ap_id(), "0AD", 3) == 0 && name.compare(0, 12, "ZEL EDITOR (") == 0) {
    log_line("EXEC " + name + " editor=" + editor_seen());
    v->set_end_code(PI_END_NORMAL);
    if (name == "ZEL EDITOR (HELP)" || name == "ZEL EDITOR (TOOLBOX)") return stand_in(v, name);
    if (name == "ZEL EDITOR (XCOPY)") return xcopy_stand_in();
    if (name == "ZEL EDITOR (BROWSE)") return browse_stand_in();
  }
  if (memcmp(v->ap_id(), "0LA", 3) == 0 && name == "SCAN" && scan_stand_in(v)) return;
  if (g_exec_before) return g_exec_before(v);
  pi_exec_own(v);
}

}  // namespace

void se_tooltest_register() {
  g_exec_before = process_seams.exec;
  process_seams.exec = exec;
  editors_seams.se_returned = log_return;
  if (const char* k = getenv("KIVO_TOOL_FAIL_WRITE"); k && atol(k) > 0) {
    g_fail_at = atol(k);
    editors_seams.se_stmt_put = failing_put;
  }
}

}  // namespace kivo
