// The choice of a dynamic key: the fields an input process adds one after
// another (each ascending, then descending, then ascending again), the
// message that lists them, the built-in routine "PI_DYNA_BLD", and the drop
// of the key with its file. Also the trace of key entries (KIVO_DYNA_LOG).
//
// Invariants: a field is known by its address; a key whose file was built
// starts again from the next field added; pcb_dyna is null when there is
// no dynamic key, and everything it holds lives in pcb_pool.
// Callers: the INPUT process's key that picks a field, statements through
// "PI_DYNA_BLD", pi_open_fi (a drop when the PCF starts).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fm/fm_open.h"
#include "fm/la.h"
#include "foundation/pool.h"
#include "process/pi_pcf.h"

namespace kivo {

namespace {

constexpr size_t kMaxDynaSegs = 32;  // fields in one dynamic key
FILE* dyna_log = nullptr;

dyna_ctx* ctx(PCB* p) { return static_cast<dyna_ctx*>(p->pcb_dyna); }

void drop(PCB* p) {
  dyna_ctx* x = ctx(p);
  if (!x) return;
  p->pcb_dyna = nullptr;
  if (x->rid_arb) fm_detach(x->rid_arb);
  if (x->key_arb) FM_CLOSE(x->key_arb, ARB_SCRATCH);
  for (dyna_seg* s = x->segs; s;) {
    dyna_seg* next = s->next;
    mm_free(s);
    s = next;
  }
  if (x->entry) mm_free(x->entry);
  mm_free(x);
}

std::string name_of(const dyna_seg* s) {
  std::string n(s->name, strnlen(s->name, sizeof s->name));
  n.erase(n.find_last_not_of(' ') + 1);
  return n;
}

// Message 300710: the key's fields in order, a descending one marked.
void post(PCB* p) {
  std::string text;
  char b[64];
  for (const dyna_seg* s = ctx(p)->segs; s; s = s->next) {
    if (!text.empty()) text += ", ";
    if (s->order == '-') {
      snprintf(b, sizeof b, "%s(%c)", name_of(s).c_str(), s->order);
      text += b;
    } else {
      text += name_of(s);
    }
  }
  if (!p->pcb_err_fi) return;
  cstr par{static_cast<uint16_t>(text.size()), text.data()};
  la_add_msg(p->pcb_err_fi, &MSG_DYNA_KEY, 0, std::span<const cstr>(&par, 1));
}

}  // namespace

int pi_dyna_add(PCB* p, const dyna_seg* d) {
  if (!d) return drop(p), 1;
  // A key that has been used starts again with this field.
  if (ctx(p) && ctx(p)->key_arb) drop(p);
  if (!ctx(p)) {
    auto* x = static_cast<dyna_ctx*>(MM_ALLOC(p->pcb_pool, sizeof(dyna_ctx)));
    if (!x) return 1;
    memset(x, 0, sizeof *x);
    p->pcb_dyna = x;
  }
  dyna_seg** at = &ctx(p)->segs;
  size_t n = 0;
  for (; *at; at = &(*at)->next, ++n)
    if ((*at)->addr == d->addr) {
      (*at)->order = (*at)->order == '+' ? '-' : '+';
      return post(p), 1;
    }
  if (n >= kMaxDynaSegs || !d->addr || !d->len) return post(p), 1;
  auto* s = static_cast<dyna_seg*>(MM_ALLOC(p->pcb_pool, sizeof(dyna_seg)));
  if (!s) return 1;
  *s = *d;
  s->next = nullptr;
  *at = s;
  return post(p), 1;
}

void pi_dyna_post(PCB* p) {
  if (ctx(p) && ctx(p)->segs) post(p);
}

int pi_dyna_bld(RT_CALL& call) {
  for (int i = 0; i < call.argc; ++i) {
    const rt_arg& g = call.args[i];
    dyna_seg d{};
    d.addr = g.addr, d.type = g.type, d.len = g.len, d.order = '+';
    memset(d.name, ' ', sizeof d.name);
    pi_dyna_add(call.pcb, &d);
  }
  return 1;
}

uint32_t dyna_prompt_limit() {
  const char* s = getenv("KIVO_DYNAKEY_PROMPT");
  if (!s || !*s) return kDynaPromptDflt;
  char* end = nullptr;
  const long long v = strtoll(s, &end, 0);
  // Not a number, or a negative one, keeps the default.
  if (end == s || *end || v < 0 || v > INT32_MAX) return kDynaPromptDflt;
  return static_cast<uint32_t>(v);
}

void dyna_init() {
  // A start takes the environment as it is now; the trace of a start before ends.
  if (dyna_log) fclose(dyna_log), dyna_log = nullptr;
  const char* path = getenv("KIVO_DYNA_LOG");
  if (path && *path) dyna_log = fopen(path, "w");
}

void dyna_dump(const char* label, const uint8_t* entry, size_t len) {
  if (!dyna_log) return;
  fprintf(dyna_log, "%s: ", label);
  for (size_t i = 0; i < len; ++i) {
    if (entry[i] >= 0x20 && entry[i] < 0x7F) fputc(entry[i], dyna_log);
    else fprintf(dyna_log, "\\%02x", entry[i]);
  }
  fputc('\n', dyna_log);
  fflush(dyna_log);
}

}  // namespace kivo
