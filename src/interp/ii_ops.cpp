// The exec routines that need no file, routine or screen: control flow, the
// true/false word, compare, move, arithmetic, the calculation stack, loops,
// IDX, the message verbs, CNV TEXT and VERIFY; and the routine table they
// fill.
//
// Map: TF word helpers; control flow; compare; move and COMPUTE; CALC;
// loops; IDX; messages; CNV TEXT and VERIFY; debugger slots; ii_fill_ops.
#include <cstring>

#include "compiler/em_access.h"
#include "compiler/em_field.h"
#include "compiler/em_records.h"
#include "compiler/pc_cmpl.h"
#include "foundation/com.h"
#include "foundation/end_codes.h"
#include "foundation/maddr.h"
#include "foundation/tf_word.h"
#include "interp/ii_value.h"
#include "interp/trace_kivo.h"
#include "types/cnv.h"

namespace kivo {

namespace {

// ---- the TF word: level k (1-5) at bits 10-2k and 11-2k; 01 T, 10 F, 11 unset ----

int tf_shift(int level) { return 10 - 2 * level; }
uint16_t tf_get(uint16_t tf, int level) { return (tf >> tf_shift(level)) & 3; }

// Level := v, deeper levels unset.
void tf_set(II_RUN* run, int level, uint16_t v) {
  if (level < 1 || level > 5) return ii_fail(run, "bad condition level " + std::to_string(level));
  run->tf = ii_tf_with(run->tf, level, v);
}

uint16_t outcome(II_RUN* run) { return run->last == OUT_TRUE ? 1 : 2; }

// NOP, JMP, LINK and TFTEST when they do not run inline in the loop (the
// debugger or the trace is on, or a jump leaves the module).
void x_control(II_RUN* run, uint8_t* p) {
  em_entry to{};
  if (ii_control(run->tf, p, &to) == II_GO_TO) return ii_jump(run, to);
  ii_next(run, p);
}

void x_settf(II_RUN* run, uint8_t* p) {
  uint32_t w = inst_slot(p, 0);
  int level = w & 0xFF;
  tf_set(run, level, outcome(run));
  if (run->state != II_RUNNING) return;
  if (((w >> 8) & 0xFF) == 1 && run->last != OUT_TRUE) return ii_fail(run, "statement failed");
  ii_next(run, p);
}

void tf_combine(II_RUN* run, uint8_t* p, bool is_and) {
  int level = inst_slot(p, 0) & 0xFF;
  if (level < 1 || level > 5) return ii_fail(run, "bad condition level " + std::to_string(level));
  uint16_t cur = tf_get(run->tf, level), o = outcome(run);
  uint16_t v = cur == 3 ? o : is_and ? (cur == 1 && o == 1 ? 1 : 2) : (cur == 1 || o == 1 ? 1 : 2);
  tf_set(run, level, v);
  ii_next(run, p);
}
void x_andtf(II_RUN* run, uint8_t* p) { tf_combine(run, p, true); }
void x_ortf(II_RUN* run, uint8_t* p) { tf_combine(run, p, false); }

void end_run(II_RUN* run, uint32_t code) {
  run->state = II_ENDED;
  run->unwind = code;
}
void x_end(II_RUN* run, uint8_t*) { end_run(run, 0); }
void x_exit(II_RUN* run, uint8_t*) { end_run(run, PI_END_EXIT); }
void x_end_proc(II_RUN* run, uint8_t*) { end_run(run, PI_END_PROCESS); }
void x_logout(II_RUN* run, uint8_t*) { end_run(run, PI_END_LOGOUT); }

void set_selection(II_RUN* run, uint8_t result) {
  run->call->result = (run->call->result & ~0x300u) | (uint32_t{result} << 8);
}

void x_code_end(II_RUN* run, uint8_t* p) {
  if ((inst_slot(p, 0) & 0xFF) == 0) set_selection(run, run->last == OUT_TRUE ? OUT_TRUE : OUT_FALSE);
  end_run(run, 0);
}

void x_cond_exit(II_RUN* run, uint8_t* p) {
  uint8_t want = inst_slot(p, 0) & 0xFF;
  if (run->last != want) return ii_next(run, p);
  set_selection(run, want);
  end_run(run, 0);
}

void x_br_cond(II_RUN* run, uint8_t* p) {
  if (run->last == (inst_slot(p, 0) & 0xFF)) return ii_jump(run, ii_slot_pos(p, 1));
  ii_next(run, p);
}

// ---- compare ----

bool operands(II_RUN* run, uint8_t* p, int n, ii_fld* f) {
  for (int i = 0, slot = 0; i < n; slot += ii_opnd_slots(p, slot), ++i) {
    if (ii_operand(run, p, slot, &f[i])) continue;
    ii_fail(run, "bad operand " + std::to_string(i + 1) + " at block " + std::to_string(run->blk_no) + " offset " +
                     std::to_string(p - run->blk));
    return false;
  }
  return true;
}

int imm_slot(const uint8_t* p, int operands_before) {
  int slot = 0;
  while (operands_before--) slot += ii_opnd_slots(p, slot);
  return slot;
}

void x_cmp(II_RUN* run, uint8_t* p) {
  if (ii_fast_cmp(run, p)) return;
  ii_fld f[2];
  if (!operands(run, p, 2, f)) return;
  uint32_t w = inst_slot(p, imm_slot(p, 2));
  int r = ii_compare(f[0], f[1], w & 0xFF, (w >> 8) & 0xFF);
  if (r < 0) return ii_fail(run, "values cannot be compared");
  run->last = r ? OUT_TRUE : OUT_FALSE;
  ii_next(run, p);
}

// ---- move and COMPUTE ----

// After a moving instruction: the armed target is cleared whatever the outcome.
void moved(II_RUN* run, uint8_t* p, ii_move_rc rc, const char* text) {
  if (rc == MOVE_OVERFLOW) return ii_overflow(run, text);
  run->ovfl = {};
  ii_next(run, p);
}

void x_move(II_RUN* run, uint8_t* p) {
  ii_fld f[2];
  if (!operands(run, p, 2, f)) return;
  // With a target armed, lost characters of an alpha move are an overflow:
  // the destination keeps its value.
  std::string was;
  if (run->ovfl.blk) was.assign(reinterpret_cast<const char*>(f[0].p), f[0].len);
  ii_move_rc rc = ii_move(f[0], f[1]);
  if (rc == MOVE_CUT && run->ovfl.blk) {
    memcpy(f[0].p, was.data(), was.size());
    rc = MOVE_OVERFLOW;
  }
  moved(run, p, rc, "numeric overflow");
}

bool ii_arith(ii_num a, ii_num b, char op, int to, __int128* out, bool* div0) {
  *div0 = false;
  __int128 x, y;
  int s = a.scale > b.scale ? a.scale : b.scale;
  switch (op) {
    case '+':
    case '-':
      if (!num_rescale(a.v, a.scale, s, &x) || !num_rescale(b.v, b.scale, s, &y)) return false;
      if (op == '+' ? __builtin_add_overflow(x, y, &x) : __builtin_sub_overflow(x, y, &x)) return false;
      return num_rescale(x, s, to, out);
    case '*':
      if (__builtin_mul_overflow(a.v, b.v, &x)) return false;
      return num_rescale(x, a.scale + b.scale, to, out);
    case '/': {
      if (b.v == 0) return !(*div0 = true);
      // a / b at scale `to`: a * 10^(to + b.scale - a.scale) / b, rounded.
      int e = to + b.scale - a.scale;
      x = a.v, y = b.v;
      if (e >= 0 && !num_rescale(x, 0, e, &x)) return false;
      for (; e < 0; ++e)
        if (__builtin_mul_overflow(y, 10, &y)) return (*out = 0, true);  // |a / b| far below 1
      __int128 q = x / y, r = x % y;
      __int128 ar = r < 0 ? -r : r, ay = y < 0 ? -y : y;
      if (ar >= ay - ar) q += (x < 0) != (y < 0) ? -1 : 1;
      *out = q;
      return true;
    }
    default: return false;
  }
}

void x_compute(II_RUN* run, uint8_t* p) {
  if (ii_fast_compute(run, p)) return;
  ii_fld f[2];
  if (!operands(run, p, 2, f)) return;
  char op = static_cast<char>(inst_slot(p, imm_slot(p, 2)) & 0xFF);
  ii_num a, b;
  if (!is_num_type(f[0].type) || !num_get(f[0], &a) || !num_get(f[1], &b))
    return moved(run, p, MOVE_OVERFLOW, "numeric overflow");
  __int128 v;
  bool div0 = false, ok = false;
  if (f[0].type != 12) {
    ok = ii_arith(a, b, op, f[0].scale, &v, &div0) && num_put_at(f[0], v, f[0].scale);
  } else {
    // The operands' larger scale, or fewer decimals where the digits do not
    // fit: each try rounds the exact result once.
    for (int s = a.scale > b.scale ? a.scale : b.scale; s >= 0 && !ok; --s) {
      ok = ii_arith(a, b, op, s, &v, &div0) && num_put_at(f[0], v, s);
      if (div0) break;
    }
  }
  moved(run, p, ok ? MOVE_OK : MOVE_OVERFLOW, div0 ? "division by zero" : "numeric overflow");
}

void x_ovfl(II_RUN* run, uint8_t* p) {
  run->ovfl = ii_slot_pos(p, 0);
  ii_next(run, p);
}

// ---- STORE and RESTORE: raw copies, blanks past a shorter source ----

void x_copy_raw(II_RUN* run, uint8_t* p) {
  ii_fld f[2];
  if (!operands(run, p, 2, f)) return;
  // A number (a field's initial value) goes in through the field's range.
  if (is_num_type(f[0].type) && is_num_type(f[1].type)) return moved(run, p, ii_move(f[0], f[1]), "numeric overflow");
  const uint16_t n = f[1].len < f[0].len ? f[1].len : f[0].len;
  memmove(f[0].p, f[1].p, n);
  memset(f[0].p + n, ' ', f[0].len - n);
  ii_next(run, p);
}

// ---- CALC: integers on the calculation stack ----

void x_cpush(II_RUN* run, uint8_t* p) {
  ii_fld f;
  ii_num n;
  if (!operands(run, p, 1, &f)) return;
  if (run->calc_n == kCalcDepth) return ii_fail(run, "calculation too deep");
  if (!num_get(f, &n) || !num_rescale(n.v, n.scale, 0, &run->calc[run->calc_n]))
    return ii_fail(run, "numeric overflow");
  ++run->calc_n;
  ii_next(run, p);
}

void x_cop(II_RUN* run, uint8_t* p) {
  if (run->calc_n < 2) return ii_fail(run, "calculation stack empty");
  __int128 b = run->calc[--run->calc_n], &a = run->calc[run->calc_n - 1];
  bool bad = false;
  switch (static_cast<char>(inst_slot(p, 0) & 0xFF)) {
    case '+': bad = __builtin_add_overflow(a, b, &a); break;
    case '-': bad = __builtin_sub_overflow(a, b, &a); break;
    case '*': bad = __builtin_mul_overflow(a, b, &a); break;
    case '/':
      if (b == 0) return ii_fail(run, "division by zero");
      a /= b;
      break;
    default: return ii_fail(run, "bad calculation operator");
  }
  if (bad) return ii_fail(run, "numeric overflow");
  ii_next(run, p);
}

void x_cpop(II_RUN* run, uint8_t* p) {
  ii_fld f;
  if (!operands(run, p, 1, &f)) return;
  if (run->calc_n < 1) return ii_fail(run, "calculation stack empty");
  if (!num_put(f, {run->calc[--run->calc_n], 0})) return ii_fail(run, "numeric overflow");
  ii_next(run, p);
}

// ---- loops: the test is the LOOPBEG instruction, after its first step ----

// Into the body while the index has not passed the limit in the step's
// direction, else past the loop. `idx` is the index as its field holds it.
void loop_test(II_RUN* run, uint8_t* beg, const ii_fld* f, const ii_num& idx, const ii_num& step) {
  ii_num to;
  if (!num_get(f[2], &to)) return ii_fail(run, "numeric overflow");
  if (step.v == 0) return ii_fail(run, "loop step 0");
  int c = num_cmp(idx, to);
  if ((step.v > 0 && c > 0) || (step.v < 0 && c < 0)) return ii_jump(run, ii_slot_pos(beg, imm_slot(beg, 4)));
  ii_next(run, beg);
}

void x_loopbeg(II_RUN* run, uint8_t* p) {
  ii_fld f[4];
  if (!operands(run, p, 4, f)) return;
  if (ii_move(f[0], f[1]) == MOVE_OVERFLOW) return ii_fail(run, "numeric overflow");
  ii_num idx, step;
  if (!num_get(f[0], &idx) || !num_get(f[3], &step)) return ii_fail(run, "numeric overflow");
  loop_test(run, p, f, idx, step);
}

void x_loopend(II_RUN* run, uint8_t* p) {
  em_entry at = ii_slot_pos(p, 0);
  ii_jump(run, at);
  if (run->state != II_RUNNING) return;
  uint8_t* beg = run->ip;
  ii_fld f[4];
  ii_num idx, step;
  if ((inst_op(beg) & ~1u) != OP_LOOPBEG) return ii_fail(run, "bad loop end");
  if (!ii_inst_rloc(run, beg) || ii_fast_loop_step(run, beg) || !operands(run, beg, 4, f)) return;
  if (!num_get(f[0], &idx) || !num_get(f[3], &step)) return ii_fail(run, "numeric overflow");
  int s = idx.scale > step.scale ? idx.scale : step.scale;
  __int128 a, b;
  if (!num_rescale(idx.v, idx.scale, s, &a) || !num_rescale(step.v, step.scale, s, &b) ||
      __builtin_add_overflow(a, b, &a) || !num_put(f[0], {a, s}))
    return ii_fail(run, "numeric overflow");
  // A binary or packed field at its own scale holds the sum exactly; any
  // other index is read back as stored.
  ii_num now{a, s};
  const bool exact = (f[0].type == 5 || f[0].type == 8) && s == f[0].scale;
  if (!exact && !num_get(f[0], &now)) return ii_fail(run, "numeric overflow");
  loop_test(run, beg, f, now, step);
}

// ---- IDX ----

// The field by its place, which is all IDX carries: the module's compiled
// field that starts there with that many occurrences names it; a module
// without one (built by hand) gives the place as area.offset.
std::string field_name(II_RUN* run, uint32_t w0, uint16_t occ) {
  const uint32_t area = w0 & 0xFFFF, off = w0 >> 16;
  std::string name;
  uint8_t key[CFLD_LEN] = {};
  if (run->em)
    pc_each(em_sub_arb(run->em, EM_FL), key, 0, CFLD_LEN, [&](const uint8_t* f) {
      const cfld_view fl(f);
      if (fl.area() != area || fl.offset() != off || fl.occurs() != occ) return true;
      name.assign(fl.name(), 22);
      name.erase(name.find_last_not_of(' ') + 1);
      return false;
    });
  return name.empty() ? "field " + std::to_string(area) + "." + std::to_string(off) : name;
}

void x_idx(II_RUN* run, uint8_t* p) {
  uint32_t w = inst_slot(p, 0);
  int reg = w & 0xFF;
  uint16_t occ = static_cast<uint16_t>(w >> 16);
  ii_fld base, index;
  ii_num i;
  if (!ii_operand(run, p, 1, &base) || !ii_operand(run, p, 1 + ii_opnd_slots(p, 1), &index) || reg >= kIiRegs)
    return ii_fail(run, "bad operand at block " + std::to_string(run->blk_no));
  if (!num_get(index, &i) || !num_rescale(i.v, i.scale, 0, &i.v)) return ii_fail(run, "numeric overflow");
  if (i.v < 1 || i.v > occ) {
    std::string name = field_name(run, inst_slot(p, 1), occ);
    return ii_fail(run, "occurrence " + std::to_string(static_cast<long long>(i.v)) + " of " + name +
                            " out of range 1-" + std::to_string(occ));
  }
  run->reg[reg] = {base.p + (static_cast<size_t>(i.v) - 1) * base.len, base.type, base.len};
  ii_next(run, p);
}

// ---- messages: into the process's error-message file ----

std::string msg_text(II_RUN* run, uint8_t* p) {
  ii_fld f;
  if (!ii_operand(run, p, 1, &f)) return {};
  if (!is_alpha_type(f.type)) {
    uint8_t buf[48];
    ii_fld t{buf, 1, 0, sizeof buf, false, nullptr};
    if (ii_move(t, f) != MOVE_OK) return {};
    f = t;
  }
  size_t n = f.len;
  while (n && f.p[n - 1] == ' ') --n;
  return std::string(reinterpret_cast<const char*>(f.p), n);
}

// Through the message layer into pcb_err_fi; without a file the text goes
// to the statement trace, so nothing is lost in silence (a system
// application's only with KIVO_TRACE_0APPS, as its other records).
bool post_text(II_RUN* run, const std::string& t, int cls) {
  PCB* pcb = run->call->pcb;
  ARB* fi = pcb ? pcb->pcb_err_fi : nullptr;
  if (!fi) {
    TRACE_KIVO("M", 0, static_cast<uint32_t>(cls), pcb, t.c_str());
    return true;
  }
  if (interp_seams.add_msg(cls, fi, t.data(), t.size())) return true;
  ii_fail(run, "message not written");
  return false;
}

bool post_msg(II_RUN* run, uint8_t* p, int cls) { return post_text(run, msg_text(run, p), cls); }

void x_msg(II_RUN* run, uint8_t* p) {
  if (post_msg(run, p, inst_slot(p, 0) & 0xFF)) ii_next(run, p);
}

// ERROR: the message is posted and the statements are asked to stop; the
// run goes on to the statement's END.
void x_error(II_RUN* run, uint8_t* p) {
  if (!post_msg(run, p, inst_slot(p, 0) & 0xFF)) return;
  run->call->result |= kResultStop;
  ii_next(run, p);
}

void x_cancel(II_RUN* run, uint8_t* p) {
  if (post_msg(run, p, inst_slot(p, 0) & 0xFF)) end_run(run, PI_END_CANCEL);
}

// ---- CNV TEXT and VERIFY: through the module's CV records ----

// CV record `no` ready to convert the value at `value`, its display in `text`.
bool cv_ready(II_RUN* run, uint32_t no, uint8_t* value, std::string* text, CNV* c) {
  const uint8_t* rec = MADDR(run->em->em_cnv_arb, no);
  if (!no || !rec) return ii_fail(run, "conversion record " + std::to_string(no) + " missing"), false;
  memcpy(static_cast<void*>(c), rec, sizeof *c);
  const int32_t rows = c->ext_rows > 0 ? c->ext_rows : 1;
  text->assign(static_cast<size_t>(rows) * static_cast<size_t>(c->ext_cols), ' ');
  c->int_addr = value, c->int_indirect = 0, c->addr_mode = 0;
  c->ext_addr = text->data(), c->ext_stride = static_cast<uint32_t>(c->ext_cols);
  c->ext_len = static_cast<uint16_t>(text->size());
  if ((c->cnv_type == ELEM_ALP || c->cnv_type == ELEM_ALP_BLOCK) && c->ta.alp.token_id) cv_load_token_of(c);
  return true;
}

bool all_blank(const uint8_t* p, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (p[i] != ' ') return false;
  return true;
}

// Direction 1: the value operand 2 as text into alpha operand 1; 2: the
// text of operand 2 into the value operand 1. What does not convert or fit
// leaves the destination and is an overflow.
void x_cnvtxt(II_RUN* run, uint8_t* p) {
  ii_fld f[2];
  if (!operands(run, p, 2, f)) return;
  const int s = imm_slot(p, 2);
  const bool to_text = (inst_slot(p, s + 1) & 0xFF) == 1;
  CNV c;
  std::string text, value(to_text ? 0 : f[0].len, '\0');
  if (!cv_ready(run, inst_slot(p, s), to_text ? f[1].p : reinterpret_cast<uint8_t*>(value.data()), &text, &c)) return;
  bool ok;
  if (to_text) {
    ok = cv_itoe(&c) && text.size() <= f[0].len;
    if (ok) memcpy(f[0].p, text.data(), text.size()), memset(f[0].p + text.size(), ' ', f[0].len - text.size());
  } else {
    const size_t n = f[1].len < text.size() ? f[1].len : text.size();
    memcpy(text.data(), f[1].p, n);
    ok = all_blank(f[1].p + n, f[1].len - n) && cv_etoi(&c);
    if (ok) memcpy(f[0].p, value.data(), value.size());
  }
  moved(run, p, ok ? MOVE_OK : MOVE_OVERFLOW, "value not converted");
}

// One occurrence: a number must read and keep within its digits, and the
// value must show through its conversion.
bool value_sound(II_RUN* run, const ii_fld& f, uint32_t cv) {
  CNV c;
  std::string text;
  if (!cv_ready(run, cv, f.p, &text, &c)) return true;
  if (is_num_type(f.type)) {
    ii_num n;
    // A packed value's last nibble is its sign, A to F.
    const size_t sign_at = f.type == 12 ? f.len - 2u : f.len - 1u;
    if (f.type != 5 && (f.len < 2 || (f.p[sign_at] & 0x0F) < 0x0A)) return false;
    if (!num_get(f, &n)) return false;
    __int128 limit = 1, v = n.v < 0 ? -n.v : n.v;
    for (int d = 0; d < c.ta.num.tot_digits && d < 38; ++d) limit *= 10;
    if (c.ta.num.tot_digits && v >= limit) return false;
  }
  return cv_itoe(&c) == 1;
}

// PRINT: the field's display text to the report of the process.
void x_print(II_RUN* run, uint8_t* p) {
  ii_fld f;
  if (!operands(run, p, 1, &f)) return;
  const int s = imm_slot(p, 1);
  const uint32_t pos = inst_slot(p, s + 1), cols = inst_slot(p, s + 2);
  CNV c;
  std::string text;
  if (!cv_ready(run, inst_slot(p, s), f.p, &text, &c)) return;
  if (!cv_itoe(&c)) return ii_fail(run, "value not converted");
  if (!ii_hooks.print) return ii_fail(run, "PRINT without a report");
  if (!ii_hooks.print(run->call->pcb, text.data(), text.size(), uint16_t(pos & 0xFFFF), uint16_t(pos >> 16),
                      uint16_t(cols & 0xFFFF)))
    return ii_fail(run, "PRINT without a report");
  ii_next(run, p);
}

// DISPLAY: the report items that show the field take its value now.
void x_display(II_RUN* run, uint8_t* p) {
  ii_fld f;
  if (!operands(run, p, 1, &f)) return;
  if (ii_hooks.display && !ii_hooks.display(run->call->pcb, f.p)) return ii_fail(run, "DISPLAY failed");
  ii_next(run, p);
}

// Each unsound occurrence posts a class-1 message naming the field; the
// number of them goes onto the calculation stack. The statement succeeds.
void x_verify(II_RUN* run, uint8_t* p) {
  ii_fld f;
  if (!operands(run, p, 1, &f)) return;
  const int s = imm_slot(p, 1);
  const uint16_t occurs = static_cast<uint16_t>(inst_slot(p, s) >> 16);
  const uint32_t cv = inst_slot(p, s + 1), name_no = inst_slot(p, s + 2);
  const uint8_t* name = name_no && name_no <= run->em->em_cnst_cnt ? run->em->em_cn[name_no] : nullptr;
  if (!name) return ii_fail(run, "bad operand at block " + std::to_string(run->blk_no));
  if (run->calc_n == kCalcDepth) return ii_fail(run, "calculation too deep");
  std::string field(reinterpret_cast<const char*>(name), 22);
  field.erase(field.find_last_not_of(' ') + 1);
  __int128 found = 0;
  for (uint16_t i = 0; i < occurs && run->state == II_RUNNING; ++i) {
    ii_fld o = f;
    o.p += size_t{i} * f.len;
    if (value_sound(run, o, cv)) continue;
    ++found;
    const std::string occ = occurs > 1 ? " (" + std::to_string(i + 1) + ")" : "";
    if (!post_text(run, field + occ + ": value not valid", 1)) return;
  }
  if (run->state != II_RUNNING) return;
  run->calc[run->calc_n++] = found;
  run->last = OUT_TRUE;
  ii_next(run, p);
}

// ---- debugger slots: defaults until the debugger fills its hooks ----

void x_trap(II_RUN* run, uint8_t* p) {
  if (ii_dbg_hooks.inst_trap && !com.no_db_traps && !(p[2] & 0x2)) return ii_dbg_hooks.inst_trap(run, p);
  run->ip = p + 4;
}

void x_step_break(II_RUN* run, uint8_t* p) {
  if (ii_dbg_hooks.inst_step_break) return ii_dbg_hooks.inst_step_break(run, p);
  run->ip = p + 4;
}

// Even slot: relocate once, then execute through the odd slot.
void rloc_exec(II_RUN* run, uint8_t* p) {
  if (ii_inst_rloc(run, p)) ii_inst_fns[inst_op(p)](run, p);
}

struct op_row {
  uint16_t op;
  ii_fn fn;
};

const op_row kRows[] = {
    {OP_NOP, x_control},       {OP_LINK, x_control},      {OP_JMP, x_control},
    {OP_TFTEST, x_control},    {OP_END, x_end},           {OP_SETTF, x_settf},
    {OP_ANDTF, x_andtf},       {OP_EXIT, x_exit},         {OP_ORTF, x_ortf},
    {OP_CODE_END, x_code_end}, {OP_CMP, x_cmp},           {OP_CMPK, x_cmp},
    {OP_MOVE, x_move},         {OP_MOVEK, x_move},        {OP_COND_EXIT, x_cond_exit},
    {OP_BR_COND, x_br_cond},   {OP_END_PROC, x_end_proc}, {OP_LOGOUT, x_logout},
    {OP_LOOPBEG, x_loopbeg},   {OP_LOOPEND, x_loopend},   {OP_OVFL, x_ovfl},
    {OP_MSG, x_msg},           {OP_ERROR, x_error},       {OP_CANCEL, x_cancel},
    {OP_COMPUTE, x_compute},   {OP_CPUSH, x_cpush},       {OP_COP, x_cop},
    {OP_CPOP, x_cpop},         {OP_IDX, x_idx},           {OP_STORE, x_copy_raw},
    {OP_RESTORE, x_copy_raw},  {OP_CNVTXT, x_cnvtxt},     {OP_VERIFY, x_verify},
    {OP_PRINT, x_print},       {OP_DISPLAY, x_display},
};

}  // namespace

void ii_fill_ops() {
  for (const op_row& r : kRows) {
    ii_inst_fns[r.op] = rloc_exec;
    ii_inst_fns[r.op + 1] = r.fn;
  }
  ii_inst_fns[OP_TRAP] = ii_inst_fns[OP_TRAP + 1] = x_trap;
  for (uint16_t op = OP_STEP_BREAK; op <= OP_STEP_BREAK2 + 1; ++op) ii_inst_fns[op] = x_step_break;
  ii_inst_fns[OP_PASS] = ii_inst_fns[OP_RECEIVE] = ii_inst_fns[OP_INVOKE] = ii_inst_fns[OP_RUN] = rloc_exec;
  for (uint16_t op = OP_OPEN; op <= OP_SCRATCH; op += 2) ii_inst_fns[op] = rloc_exec;
  ii_fill_call_ops();
  ii_fill_file_ops();
}

}  // namespace kivo
