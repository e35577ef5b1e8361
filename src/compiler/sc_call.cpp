// The routine verbs: CALL (a built-in routine by name, or "library:function"),
// PASS (an argument onto the pass list) and RECEIVE (the next value of the
// invoker's list into a field or record).
//
// Invariant: a CALL whose name is a constant is checked here against the
// routine file: an unknown name, a bad library name or an argument count
// other than the routine's (the PASS statements since the last CALL of the
// event point) fails the compile. A name taken from a field is checked at
// each call instead.
#include <cstring>
#include <string>

#include "compiler/em_access.h"
#include "compiler/rt_names.h"
#include "compiler/sc.h"
#include "compiler/sc_in.h"
#include "compiler/stmt_view.h"
#include "foundation/bytes.h"

namespace kivo {
namespace sc_in {

int g_passed;

namespace {

enum : uint8_t { kAreaField = 1, kAreaFile = 2, kAreaRecord = 3 };

// The routine name constant of a CALL whose application is blank.
int call_name(PC_CTX* ctx, sc_stmt* st, uint32_t* no) {
  const std::string name = rt_trim_name(opnd_at(st, 7), kRtNameLen);
  std::string lib, fn;
  rt_fn_ref ref;
  st->column = 20;
  if (name.empty()) return pc_err(ctx, "CALL without a routine name");
  if (rt_fn_find(name.data(), name.size(), &ref)) {
    if (ref.argc != kRtAnyArgs && ref.argc != g_passed)
      return pc_err(ctx, "%s takes %d arguments, %d passed", name.c_str(), ref.argc, g_passed);
  } else if (rt_name_kind k = rt_lib_name(name, &lib, &fn); k != RT_NAME_LIB) {
    return pc_err(ctx, k == RT_NAME_BAD_LIB ? "bad library name in %s" : "unknown routine %s", name.c_str());
  }
  uint8_t text[kRtNameLen];
  memset(text, ' ', sizeof text), memcpy(text, name.data(), name.size());
  *no = bld_cnst(&ctx->bld, text, kRtNameLen);
  return *no ? 1 : pc_err(ctx, "routine name not kept");
}

// The field or record a PASS or RECEIVE names, by its area word.
int area_opnd(PC_CTX* ctx, sc_stmt* st, PC_OPND* out) {
  const uint8_t kind = st->rec[STMT_OPND + 30];
  const char* ap = opnd_at(st, 4);
  if (kind == kAreaRecord) {
    uint8_t cfi[CFI_LEN];
    return st->column = 20, record_opnd(ctx, ap, opnd_at(st, 7), out, cfi);
  }
  if (kind != kAreaField) return st->column = 47, pc_err(ctx, "area kind %u not supported here", kind);
  return two_field(ctx, st, 1, out);
}

}  // namespace

int c_call(PC_CTX* ctx, sc_stmt* st) {
  inst_buf b(OP_CALL);
  if (!memcmp(opnd_at(st, 4), "   ", 3)) {
    uint32_t no = 0;
    if (!call_name(ctx, st, &no)) return 0;
    b.nr(no);
  } else {
    PC_OPND f{};
    if (!two_field(ctx, st, 1, &f)) return 0;
    if (f.kind != K_F || (f.w[1] & 0xFF) != 1) return pc_err(ctx, "routine name field is not alpha");
    b.o[b.n++] = bld_opnd{K_F, {f.w[0], f.w[1], f.w[2]}, -1};
  }
  const uint32_t argc = static_cast<uint32_t>(g_passed);
  g_passed = 0;
  return emit(ctx, b.i(argc), "CALL") && outcome(ctx, st);
}

int c_pass(PC_CTX* ctx, sc_stmt* st) {
  if (st->rec[STMT_OPND + 30] == kAreaFile) {  // the file's handle
    inst_buf b(OP_PASS);
    if (!file_x_opnd(ctx, st, 4, 7, &b)) return 0;
    ++g_passed;
    return emit(ctx, b.i(kAreaFile), "PASS");
  }
  PC_OPND f{};
  if (!area_opnd(ctx, st, &f)) return 0;
  if (f.kind != K_F) return pc_err(ctx, "PASS of a constant");
  const uint32_t copy = st->rec[STMT_OPND + 31] == '0' ? 1 : 0;  // SHARE? "N"
  inst_buf b(OP_PASS);
  b.o[b.n++] = bld_opnd{K_F, {f.w[0], f.w[1], f.w[2]}, -1};
  ++g_passed;
  return emit(ctx, b.i(st->rec[STMT_OPND + 30] | copy << 8), "PASS");
}

int c_receive(PC_CTX* ctx, sc_stmt* st) {
  PC_OPND f{};
  if (!area_opnd(ctx, st, &f)) return 0;
  if (f.kind != K_F) return pc_err(ctx, "RECEIVE into a constant");
  inst_buf b(OP_RECEIVE);
  b.o[b.n++] = bld_opnd{K_F, {f.w[0], f.w[1], f.w[2]}, -1};
  return emit(ctx, b.i(st->rec[STMT_OPND + 30]), "RECEIVE") && outcome(ctx, st);
}

// MENU, INPUT ... STATUS: the process (application, blank for the process's
// own, and name) as one constant; the verb's process type, the invocation
// type and END? as the immediate.
int c_invoke(PC_CTX* ctx, sc_stmt* st) {
  struct verb_type {
    uint16_t verb;
    uint8_t type;
  };
  static const verb_type kTypes[] = {{VERB_MENU, 1},    {VERB_INPUT, 2},  {VERB_OUTPUT, 3}, {VERB_ACTION, 4},
                                     {VERB_QUERY, 5},   {VERB_SUBR, 6},   {VERB_UPDATE, 7}, {VERB_JOB, 8},
                                     {VERB_INQUIRY, 9}, {VERB_STATUS, 10}};
  const uint16_t verb = stmt_view(st->rec).verb();
  uint8_t type = 0;
  for (const verb_type& v : kTypes)
    if (v.verb == verb) type = v.type;
  uint8_t proc[33];
  const char* ap = opnd_at(st, 0);
  memcpy(proc, memcmp(ap, "   ", 3) ? ap : ctx->ap, 3), memcpy(proc + 3, opnd_at(st, 3), 30);
  st->column = 20;
  if (!memcmp(proc + 3, std::string(30, ' ').data(), 30)) return pc_err(ctx, "no process named");
  const uint32_t no = bld_cnst(&ctx->bld, proc, sizeof proc);
  if (!no) return pc_err(ctx, "process name not kept");
  const uint32_t chain = st->rec[STMT_OPND + 34] == '1' ? 1 : 0;  // END? "Y"
  const uint32_t imm = type | uint32_t{st->rec[STMT_OPND + 33]} << 8 | chain << 16;
  g_passed = 0;
  return emit(ctx, inst_buf(OP_INVOKE).k(no, 1, 0, sizeof proc).i(imm), "invocation") && outcome(ctx, st);
}

// RUN: the command text of a field, or the text standing in the name when
// the application is blank; END? as the immediate.
int c_run(PC_CTX* ctx, sc_stmt* st) {
  PC_OPND f{};
  if (!memcmp(opnd_at(st, 4), "   ", 3)) {
    const std::string text = rt_trim_name(opnd_at(st, 7), kRtNameLen);
    st->column = 20;
    if (text.empty()) return pc_err(ctx, "RUN without a command");
    f.kind = K_K, f.w[0] = bld_cnst(&ctx->bld, reinterpret_cast<const uint8_t*>(text.data()), text.size());
    f.w[1] = (1u | kOpndConst) | static_cast<uint32_t>(text.size()) << 16;
    if (!f.w[0]) return pc_err(ctx, "command text not kept");
  } else if (!two_field(ctx, st, 1, &f)) {
    return 0;
  }
  if ((f.w[1] & 0x7F) != 1) return pc_err(ctx, "RUN needs an alpha command");
  inst_buf b(OP_RUN);
  b.o[b.n++] = bld_opnd{f.kind, {f.w[0], f.w[1], f.w[2]}, -1};
  const uint32_t end = st->rec[STMT_OPND + 30] == '1' ? 1 : 0;  // END? "Y"
  return emit(ctx, b.i(end), "RUN") && outcome(ctx, st);
}

}  // namespace sc_in
}  // namespace kivo
