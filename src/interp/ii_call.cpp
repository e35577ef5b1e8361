// The routine verbs at run time: CALL, PASS and RECEIVE.
//
// Invariants: the pass list of a PCB holds at most kPassMax entries; CALL
// hands it to the routine and clears it afterwards, freeing the copies that
// PASS made for SHARE? "N". A relocated CALL's N slot holds the routine's
// row index, or kLibBound with the name constant of a "library:function"
// routine, whose library is loaded at the call.
#include <cstdlib>
#include <cstring>
#include <string>

#include "foundation/com.h"
#include "foundation/end_codes.h"
#include "foundation/os.h"
#include "interp/ii_run.h"
#include "interp/rt_fns.h"

namespace kivo {

namespace {

constexpr uint32_t kLibBound = 0x80000000u;
constexpr uint8_t kPassFile = 2;  // the PASS area word of a file

bool is_alpha(uint8_t type) { return type == 1 || type == 2 || type == 13; }

void clear_pass(PCB* pcb) {
  pcb_pass_list& l = pcb->pcb_pass;
  for (int i = 0; i < l.count; ++i)
    if (l.e[i].copy) free(l.e[i].addr);
  l.count = 0;
}

// The routine's name held in constant `no`, or "" when there is none.
std::string const_name(II_RUN* run, uint32_t no) {
  EM* em = run->em;
  if (no < 1 || no > em->em_cnst_cnt || !em->em_cn[no]) return "";
  return rt_trim_name(reinterpret_cast<const char*>(em->em_cn[no]), kRtNameLen);
}

// The table row of `name`, or -1.
int64_t row_of(const std::string& name) {
  size_t n;
  const rt_fn_row* t = int_fns_tbl(&n);
  for (size_t i = 0; i < n; ++i)
    if (name == t[i].name) return static_cast<int64_t>(i);
  return -1;
}

// Calls routine `name` by row or as "library:function"; -1 and `err` when
// it cannot be called.
int call_named(const std::string& name, RT_CALL& c, std::string* err) {
  if (const int64_t row = row_of(name); row >= 0) return rt_call_row(static_cast<uint32_t>(row), c, err);
  std::string lib, fn;
  switch (rt_lib_name(name, &lib, &fn)) {
    case RT_NAME_LIB: return rt_call_lib(lib, fn, c, err);
    case RT_NAME_BAD_LIB: return *err = "bad library name in " + name, -1;
    default: return *err = "unknown routine " + name, -1;
  }
}

void end_run_with(II_RUN* run, uint32_t code) { run->state = II_ENDED, run->unwind = code; }

bool by_name_const(const uint8_t* p) { return static_cast<uint8_t>(inst_slot(p, 1)) == 0; }

void x_call(II_RUN* run, uint8_t* p) {
  PCB* pcb = run->call->pcb;
  RT_CALL c{};
  c.pcb = pcb, c.argc = pcb->pcb_pass.count;
  for (int i = 0; i < c.argc; ++i) {
    const pass_entry& e = pcb->pcb_pass.e[i];
    c.args[i] = {e.kind, e.type, e.len, e.addr};
  }
  std::string err;
  int r;
  if (by_name_const(p)) {
    const uint32_t w = inst_slot(p, 0);
    r = w & kLibBound ? call_named(const_name(run, w & ~kLibBound), c, &err) : rt_call_row(w, c, &err);
  } else {
    ii_fld f;
    if (!ii_operand(run, p, 0, &f)) return ii_fail(run, "bad routine name operand");
    r = call_named(rt_trim_name(reinterpret_cast<const char*>(f.p), f.len), c, &err);
  }
  clear_pass(pcb);
  if (r < 0) return ii_fail(run, err);
  run->last = r ? OUT_TRUE : OUT_FALSE;
  ii_next(run, p);
}

// Even slot of CALL: binds a constant name to its row once the instruction
// relocated, so that a failed relocation leaves the name to bind again.
void rloc_call(II_RUN* run, uint8_t* p) {
  uint32_t bound = 0;
  if (by_name_const(p)) {
    const uint32_t no = inst_slot(p, 0);
    const std::string name = const_name(run, no);
    std::string lib, fn;
    const int64_t row = row_of(name);
    if (row < 0 && rt_lib_name(name, &lib, &fn) != RT_NAME_LIB) return ii_fail(run, "unknown routine " + name);
    bound = row >= 0 ? static_cast<uint32_t>(row) : no | kLibBound;
  }
  if (!ii_inst_rloc(run, p)) return;
  if (by_name_const(p)) st_le32(p, kInstHead, bound);
  x_call(run, p);
}

// The handle a PASS of a file passes: the process's own stream on its PCF,
// else the file's; null when the file is not open.
ARB* file_handle(II_RUN* run, const uint8_t* p) {
  EM* em = run->em;
  const uint32_t area = inst_slot(p, 0) & 0xFFFF;
  auto* fb = area && area <= em->em_area_cnt ? reinterpret_cast<pi_file_blk*>(em->em_area_addr[area]) : nullptr;
  PCB* pcb = run->call->pcb;
  if (!fb) return nullptr;
  return fb == pcb->pcb_pcf_blk && pcb->pcb_pcf_arb ? pcb->pcb_pcf_arb : fb->arb;
}

void x_pass(II_RUN* run, uint8_t* p) {
  pcb_pass_list& l = run->call->pcb->pcb_pass;
  if (l.count == kPassMax) return ii_fail(run, "more than " + std::to_string(kPassMax) + " values passed");
  if (static_cast<uint8_t>(inst_slot(p, 1)) == 0) {  // a file: its handle
    ARB* a = file_handle(run, p);
    if (!a) return ii_fail(run, "PASS of a file that is not open");
    l.e[l.count++] = pass_entry{kPassFile, 0, 0, reinterpret_cast<uint8_t*>(a), 0};
    return ii_next(run, p);
  }
  ii_fld f;
  if (!ii_operand(run, p, 0, &f)) return ii_fail(run, "bad PASS operand");
  const uint32_t imm = inst_slot(p, ii_opnd_slots(p, 0));
  pass_entry e{static_cast<uint8_t>(imm), f.type, f.len, f.p, 0};
  if (imm >> 8 & 1) {
    e.addr = static_cast<uint8_t*>(malloc(f.len ? f.len : 1)), e.copy = 1;
    if (!e.addr) return ii_fail(run, "no memory for a passed copy");
    memcpy(e.addr, f.p, f.len);
  }
  l.e[l.count++] = e;
  ii_next(run, p);
}

// The invoker's next value into the field: cut, or padded with blanks for
// alpha and zeros otherwise; F when the invoker passed no more.
void x_receive(II_RUN* run, uint8_t* p) {
  PCB* pcb = run->call->pcb;
  PCB* from = invoc_parent(pcb->invoc);
  ii_fld f;
  if (!ii_operand(run, p, 0, &f)) return ii_fail(run, "bad RECEIVE operand");
  run->last = OUT_FALSE;
  if (from && pcb->pcb_pass.received < from->pcb_pass.count) {
    const uint8_t idx = pcb->pcb_pass.received++;
    const pass_entry& e = from->pcb_pass.e[idx];
    const size_t n = e.len < f.len ? e.len : f.len;
    memset(f.p, is_alpha(f.type) ? ' ' : 0, f.len), memcpy(f.p, e.addr, n);
    pcb_pass_list& l = pcb->pcb_pass;
    if (!e.copy && e.kind != kPassFile && e.type == f.type && e.len == f.len && l.back_count < kPassMax)
      l.back[l.back_count++] = {idx, e.addr, f.p, f.len};
    run->last = OUT_TRUE;
  }
  ii_next(run, p);
}

}  // namespace

void ii_pass_back(PCB* pcb) {
  if (!pcb) return;
  pcb_pass_list& l = pcb->pcb_pass;
  PCB* from = l.back_count ? invoc_parent(pcb->invoc) : nullptr;
  for (uint8_t i = 0; from && i < l.back_count; ++i) {
    const pcb_pass_list::shared_value& b = l.back[i];
    // Only while the invoker's list still holds the value it passed.
    if (b.idx >= from->pcb_pass.count) continue;
    const pass_entry& e = from->pcb_pass.e[b.idx];
    if (!e.copy && e.addr == b.from && e.len == b.len && e.kind != kPassFile) memcpy(e.addr, b.to, b.len);
  }
}

namespace {

// An invocation verb through the executive: T for end codes 1 and 2; a
// chain, a leave and a logout end this run with the code they brought.
void x_invoke(II_RUN* run, uint8_t* p) {
  if (!ii_hooks.invoke) return ii_fail(run, "process invocation not built");
  ii_fld proc;
  if (!ii_operand(run, p, 0, &proc) || proc.len < 33) return ii_fail(run, "bad process operand");
  const uint32_t imm = inst_slot(p, 2);
  PCB* pcb = run->call->pcb;
  const uint32_t code =
      ii_hooks.invoke(pcb, reinterpret_cast<const char*>(proc.p), reinterpret_cast<const char*>(proc.p) + 3,
                      static_cast<uint8_t>(imm), static_cast<uint8_t>(imm >> 8), static_cast<uint8_t>(imm >> 16));
  clear_pass(pcb);
  if (code == PI_END_CHAIN || code == PI_END_LEAVE || code == PI_END_LOGOUT) return end_run_with(run, code);
  run->last = code == PI_END_NORMAL || code == PI_END_PROCESS ? OUT_TRUE : OUT_FALSE;
  ii_next(run, p);
}

// RUN: the command through the shell, T when it exits 0; END? "Y" then
// ends the process.
void x_run(II_RUN* run, uint8_t* p) {
  ii_fld cmd;
  if (!ii_operand(run, p, 0, &cmd)) return ii_fail(run, "bad RUN operand");
  std::string text = rt_trim_name(reinterpret_cast<const char*>(cmd.p), cmd.len);
  cstr c{static_cast<uint16_t>(text.size()), text.data()};
  int status = -1;
  os_spawn(&c, &status);
  run->last = status == 0 ? OUT_TRUE : OUT_FALSE;
  if (inst_slot(p, ii_opnd_slots(p, 0)) & 1) return end_run_with(run, PI_END_PROCESS);
  ii_next(run, p);
}

}  // namespace

void ii_fill_call_ops() {
  ii_inst_fns[OP_RUN + 1] = x_run;
  ii_inst_fns[OP_INVOKE + 1] = x_invoke;
  ii_inst_fns[OP_CALL] = rloc_call, ii_inst_fns[OP_CALL + 1] = x_call;
  ii_inst_fns[OP_PASS + 1] = x_pass, ii_inst_fns[OP_RECEIVE + 1] = x_receive;
}

}  // namespace kivo
