// Field watches: a saved copy of each watched field's bytes, compared
// before every instruction while the watches bit is set.
#include <algorithm>
#include <cstring>
#include <list>

#include "foundation/bytes.h"
#include "foundation/dbg_ctl.h"
#include "tools/dbg.h"

namespace kivo {

namespace {

std::list<dbg_watch> watch_head;

void no_trigger(PCB*, const dbg_watch&) {}

}  // namespace

void (*dbg_watch_trigger)(PCB* pcb, const dbg_watch& w) = no_trigger;

int dbg_add_watch_at(PCB* owner, const char* ap, const char* name, uint32_t occ, uint8_t* live, uint32_t len) {
  dbg_watch w{len, live, std::vector<uint8_t>(live, live + len), owner, {}, {}, occ ? occ : 1};
  memcpy(w.ap, ap, 3);
  memset(w.name, ' ', sizeof w.name);
  memcpy(w.name, name, std::min(strlen(name), sizeof w.name));
  watch_head.push_back(std::move(w));
  dbg_ctl(DBG_WATCH_ON);
  return 1;
}

int dbg_chk_watches(PCB* pcb) {
  if (!(com_dbg_ctl_bits & kDbgWatches) || watch_head.empty()) return 0;
  int fired = 0;
  for (dbg_watch& w : watch_head) {
    if (memcmp(w.live, w.saved.data(), w.len) == 0) continue;
    memcpy(w.saved.data(), w.live, w.len);
    fired = 1;
    // The trigger process runs with the watches off, so its own moves do
    // not fire them again.
    dbg_ctl(DBG_WATCH_OFF);
    dbg_watch_trigger(pcb, w);
    dbg_ctl(DBG_WATCH_ON);
  }
  return fired;
}

void cleanup_watches(PCB* pcb) {
  watch_head.remove_if([pcb](const dbg_watch& w) { return w.owner == pcb; });
  if (watch_head.empty()) dbg_ctl(DBG_WATCH_OFF);
}

std::vector<std::vector<uint8_t>> dbg_watch_records(PCB* pcb) {
  (void)pcb;  // the list is the engine's: every watch is listed
  std::vector<std::vector<uint8_t>> out;
  for (const dbg_watch& w : watch_head) {
    std::vector<uint8_t> r(kWatchRecLen, 0);
    memcpy(r.data() + WL_AP, w.ap, 3);
    memcpy(r.data() + WL_NAME, w.name, 22);
    st_le16(r.data(), WL_OCC, static_cast<uint16_t>(w.occ));
    out.push_back(std::move(r));
  }
  return out;
}

size_t dbg_watch_count() { return watch_head.size(); }

}  // namespace kivo
