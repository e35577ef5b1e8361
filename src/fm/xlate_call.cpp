// The translation subroutine's side (see fm_xlate.h): the session's work
// record, loading "TRANSLATE FIELD" through the process engine's hooks,
// each call with its log lines, the pseudo-languages, and the translation
// of single values.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fm/fm.h"
#include "fm/fm_xlate.h"
#include "foundation/bytes.h"
#include "foundation/com.h"
#include "foundation/hex_dump.h"
#include "types/cnv.h"

namespace kivo {

namespace {

struct session {
  uint8_t own[kXlateRecLen];  // the work record while no subroutine is loaded
  uint8_t* rec = own;
  bool loaded = false, loading = false, running = false, log_tried = false;
  bool load_tried = false;  // a session without the subroutine asks for it once
  FILE* log = nullptr;
};
session g;

const char* kind_name(uint32_t kind) {
  static const char* const names[] = {"*invalid*", "work fld ", "token    ", "record   ", "message  ", "0la msg  "};
  return kind < 6 ? names[kind] : names[0];
}

size_t trimmed(const uint8_t* p, size_t n) {
  while (n && p[n - 1] == ' ') --n;
  return n;
}

size_t text_len(const uint8_t* w) { return std::min<size_t>(ld_le32(w, XL_TXT_LEN), kXlateTextLen); }

void log_request(const uint8_t* w, const char* fn) {
  const int fld = static_cast<int>(ld_le32(w, XL_FLD_LEN)), txt = static_cast<int>(text_len(w));
  fprintf(g.log, "%s - %s - fld_len = %d, txt_len = %d\n", fn, kind_name(ld_le32(w, XL_KIND)), fld, txt);
  const char* c = reinterpret_cast<const char*>(w);
  fprintf(g.log, "  %3.3s/%2.2s/%8.8s/%22.22s\n", c + XL_AP, c + XL_VER, c + XL_FILE, c + XL_FIELD);
  ut_hex_dump(g.log, w + XL_KEY, trimmed(w + XL_KEY, kXlateKeyLen));
  fprintf(g.log, "  Base = %3.3s, Derived = %3.3s\n", c + XL_BASE, c + XL_DERIVED);
  fprintf(g.log, "  Source = %*.*s\n", txt, txt, c + XL_SOURCE);
}

void log_result(const uint8_t* w) {
  const int txt = static_cast<int>(text_len(w));
  fprintf(g.log, "  Result = %*.*s\n", txt, txt, reinterpret_cast<const char*>(w) + XL_RESULT);
  fprintf(g.log, "  status = %d\n", static_cast<int>(ld_le32(w, XL_STATUS)));
  fflush(g.log);
}

void open_log() {
  if (g.log_tried) return;
  g.log_tried = true;
  // Appended to: other sessions may write the same log.
  if (const char* name = getenv("KIVO_XLATE_LOG"); name && *name) g.log = fopen(name, "a");
}

}  // namespace

uint8_t* xlate_work_rec() { return g.rec; }
bool xlate_running() { return g.running; }
xlate_guard::xlate_guard() { g.running = true; }
xlate_guard::~xlate_guard() { g.running = false; }

void xlate_end_session() {
  if (g.log) fclose(g.log);
  g.log = nullptr;
  g.rec = g.own;
  g.loaded = g.loading = g.running = g.log_tried = g.load_tried = false;
  fm_free_all_maps();
}

void fake_translate() {
  uint8_t* w = g.rec;
  int (*conv)(int) = nullptr;
  if (memcmp(w + XL_DERIVED, "UPC", 3) == 0) conv = [](int c) { return toupper(c); };
  else if (memcmp(w + XL_DERIVED, "LWC", 3) == 0) conv = [](int c) { return tolower(c); };
  else if (memcmp(w + XL_DERIVED, "SWP", 3) == 0) conv = [](int c) { return isupper(c) ? tolower(c) : toupper(c); };
  if (!conv) return;
  const size_t n = text_len(w);
  for (size_t i = 0; i < n; ++i) w[XL_RESULT + i] = static_cast<uint8_t>(conv(w[XL_SOURCE + i]));
}

void call_xlate(const char* fn) {
  uint8_t* w = g.rec;
  memcpy(w + XL_FUNC, fn, 4);
  const size_t fld = std::min<size_t>(ld_le32(w, XL_FLD_LEN), kXlateTextLen);
  st_le32(w, XL_TXT_LEN, static_cast<uint32_t>(trimmed(w + XL_SOURCE, fld)));
  if (g.log) log_request(w, fn);
  if (g.loaded && fm_hooks.xlate_proc && fm_hooks.xlate_proc->run) fm_hooks.xlate_proc->run();
  if (g.log) log_result(w);
  fake_translate();
}

int load_xlate_proc() {
  if (g.loaded) return 1;
  if (g.loading || g.load_tried) return 0;
  g.loading = g.load_tried = true;
  if (uint8_t* rec = fm_hooks.xlate_proc && fm_hooks.xlate_proc->load ? fm_hooks.xlate_proc->load() : nullptr) {
    g.rec = rec;
    g.loaded = true;
    call_xlate("INIT");
  }
  open_log();
  g.loading = false;
  return g.loaded ? 1 : 0;
}

int fm_xlate_fld(const char* base, const char* derived, uint8_t* buf, size_t len, const char* ap, const char* ver,
                 const char* field, const char* fn, uint32_t kind) {
  auto blank = [](const char* s) { return !s || memcmp(s, "   ", 3) == 0; };
  if (g.running || blank(base) || blank(derived) || memcmp(base, derived, 3) == 0) return 1;
  xlate_guard running;
  if (!g.loaded) {
    std::vector<uint8_t> kept(buf, buf + len);  // the load may run code that reuses the caller's area
    load_xlate_proc();
    std::copy(kept.begin(), kept.end(), buf);
  }
  uint8_t* w = g.rec;
  memset(w + XL_KEY, ' ', XL_BASE - XL_KEY);
  if (field) memcpy(w + XL_AP, ap, 3), memcpy(w + XL_VER, ver, 2), memcpy(w + XL_FIELD, field, 22);
  memcpy(w + XL_BASE, base, 3);
  memcpy(w + XL_DERIVED, derived, 3);
  st_le32(w, XL_KIND, kind);
  const size_t n = std::min(len, kXlateTextLen);
  memset(w + XL_SOURCE, ' ', 2 * kXlateTextLen);
  memcpy(w + XL_SOURCE, buf, n);
  memcpy(w + XL_RESULT, buf, n);
  st_le32(w, XL_FLD_LEN, static_cast<uint32_t>(n));
  call_xlate(fn);
  memcpy(buf, w + XL_RESULT, n);
  return 1;
}

int fm_xlate_cnv(const CNV* c, const char* dir, char* text, int len) {
  const cnv_alp_area& a = c->ta.alp;
  return fm_xlate_fld(a.xl_ap2, com.lang_id, reinterpret_cast<uint8_t*>(text), static_cast<size_t>(len), a.xl_ap,
                      a.xl_ver, a.xl_table, dir, XLATE_KIND_WORK);
}

}  // namespace kivo
