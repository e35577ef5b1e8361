// The activity trace's filter: system applications' processes only on
// request.
#include "interp/trace_kivo.h"

#include <cstdlib>

#include "compiler/pcb.h"
#include "foundation/descriptors.h"
#include "interp/interp.h"

namespace kivo {

namespace {

// Whether records of a system application's processes are wanted; read on
// first use, as the environment stays for the run.
bool system_aps_traced() {
  static const bool wanted = getenv("KIVO_TRACE_0APPS") != nullptr;
  return wanted;
}

bool system_process(const PCB* pcb) { return pcb && IS_BOB_AP(pcb->invoc.ap_id()); }

}  // namespace

uint32_t TRACE_KIVO(const char* kind, uint32_t seq, uint32_t code, PCB* pcb, const char* text) {
  if (!system_process(pcb) || system_aps_traced()) return rt_trace(kind, seq, code, pcb, text);
  return rt_trace_number(seq);  // left out, its number taken all the same
}

}  // namespace kivo
