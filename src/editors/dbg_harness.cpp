// The debugger part of the tool harness (see dbg_harness.h).
#include "editors/dbg_harness.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "compiler/pcb.h"
#include "fm/fm_objects.h"
#include "fm/fm_record.h"
#include "foundation/bytes.h"
#include "foundation/end_codes.h"
#include "foundation/invoc.h"
#include "process/fp.h"
#include "process/process.h"

namespace kivo {

namespace {

void (*g_exec_before)(INVOC*);

// The trigger's bytes on record 1 of ENTRY.
std::string trigger_field() {
  if (!ENTRY) return " field=none";
  uint8_t rec[kEntryRecLen] = {};
  ENTRY->arb_keyno = 0, ENTRY->arb_relno = 1, ENTRY->arb_key = nullptr;
  ENTRY->arb_rec = rec, ENTRY->arb_len = kEntryRecLen, ENTRY->arb_mod = ARB_EQUAL;
  if (!fm_read(ENTRY)) return " field=none";
  std::string name(reinterpret_cast<const char*>(rec + 534), 22);
  name.erase(name.find_last_not_of(' ') + 1);
  return " field=" + std::string(reinterpret_cast<const char*>(rec + 531), 3) + " " + name +
         " occ=" + std::to_string(rec[3]);
}

void exec(INVOC* v) {
  std::string name(v->proc_nam(), kProcNameLen);
  name.erase(name.find_last_not_of(' ') + 1);
  const bool ours =
      memcmp(v->ap_id(), "0LA", 3) == 0 && (name == "WATCH FIELD" || name == "WATCH TRIGGER" || name == "STACK (EDIT)");
  if (!ours) {
    if (g_exec_before) return g_exec_before(v);
    return pi_exec_own(v);
  }
  v->set_end_code(PI_END_NORMAL);
  const char* path = getenv("KIVO_TOOL_LOG");
  if (!path || !*path) return;
  if (FILE* f = fopen(path, "a")) {
    const std::string extra = name == "WATCH TRIGGER" ? trigger_field() : "";
    fprintf(f, "DBG %s parent=%d%s\n", name.c_str(), v->parent_pcb() != 0, extra.c_str());
    fclose(f);
  }
}

}  // namespace

void dbg_tooltest_register() {
  g_exec_before = process_seams.exec;
  process_seams.exec = exec;
}

}  // namespace kivo
