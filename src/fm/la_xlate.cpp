// The language stack and the translation of message numbers into texts.
//
// Each language is an open MESSAGE file of "0LA" whose version is the
// language id; la_slct keeps one entry per scope level that chose one, the
// newest first. A record shorter than its 8-byte head counts as missing and
// its text is cut to kMsgTextMax, whatever the file holds.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "fm/fm_open.h"
#include "fm/fm_record.h"
#include "fm/fm_status.h"
#include "fm/fm_switch.h"
#include "fm/fm_xlate.h"
#include "fm/la.h"
#include "foundation/bytes.h"
#include "foundation/pool.h"
#include "foundation/sys_err.h"
#include "foundation/text.h"

namespace kivo {

namespace {

constexpr const char* kErPool = " ERPOOL    ";

la_lang* g_lang;  // the current language, its older entries behind it
POOL* g_pool;     // " ERPOOL    ", session level: the stack's entries

// A message's own text (no prefix) and class.
struct msg_text {
  uint16_t cls = 0;
  size_t len = 0;
  char text[kMsgTextMax];
};

bool same_lang(const char* a, const char* b) { return memcmp(a, b, 3) == 0; }

// Reads message `number` of the current language into `m`; false when the
// record is missing or too short to hold its head.
bool read_msg(uint32_t number, msg_text* m) {
  ARB* a = g_lang->arb;
  uint8_t key[kMsgRecMax] = {};
  st_le32(key, MSG_NUMBER, number);
  PROTO_FULL(a, 0, key);
  const uint8_t* rec = fm_read_fast(a, ARB_EQUAL);
  if (!rec) return false;
  size_t n = a->arb_var_len ? a->arb_var_len : a->arb_len;
  if (n < MSG_TEXT) {
    a->arb_stat = FM_NOT_FOUND;
    a->arb_stat2 = 0;
    return false;
  }
  m->cls = ld_le16(rec, MSG_CLASS);
  m->len = std::min(n - MSG_TEXT, kMsgTextMax);
  memcpy(m->text, rec + MSG_TEXT, m->len);
  m->len = ut_buflen(m->text, m->len);
  return true;
}

// The recorded system error for 200650 (for 200660 that of the last change
// whose outcome is unknown), else the record, else the "Unable to
// translate" text of class 3.
void find_msg(uint32_t number, msg_text* m) {
  const char* err = number == MSG_SYS_ERR          ? la_sys_err_text()
                    : number == MSG_SYS_ERR_UNSURE ? la_sys_err_unsure_text()
                                                   : nullptr;
  if (err) {
    m->cls = MSG_CLASS_FATAL;
    m->len = std::min(strlen(err), kMsgTextMax);
    memcpy(m->text, err, m->len);
    return;
  }
  if (read_msg(number, m)) return;
  m->cls = MSG_CLASS_FATAL;
  int n = snprintf(m->text, sizeof m->text, "Unable to translate message: %u (%u,%u)", number, g_lang->arb->arb_stat,
                   g_lang->arb->arb_stat2);
  m->len = static_cast<size_t>(n);
}

// Appends `n` bytes of `p` to `out` at *at, cut to the room left.
void put_cut(cstr* out, size_t* at, const char* p, size_t n) {
  size_t k = std::min(n, out->len - *at);
  memcpy(out->ptr + *at, p, k);
  *at += k;
}

// Entries of levels that have ended lost their handle with the level's
// files: the language of the level still running is current again.
void drop_ended() {
  bool dropped = false;
  while (g_lang && g_lang->level > com.mark_scope) {
    la_lang* old = g_lang;
    g_lang = old->next;
    mm_free(old);
    dropped = true;
  }
  if (dropped && g_lang) load_com();
}

bool usable_lang() {
  drop_ended();
  if (!g_lang) {
    sys_err("LA", __LINE__, "Message text not accessed - error '%d'", 0);
    return false;
  }
  if (!g_lang->arb) {
    sys_err("LA", __LINE__, "la_xlate() - invalid com_dmsg_arb");
    return false;
  }
  return true;
}

// A MESSAGE file on a data server is copied whole into a memory file of
// `level` as it is selected, and the remote file closed: the texts a
// session shows while its server is away (that server's own failures among
// them) must not depend on reaching it. The copy's handle, or `remote` as
// it is when the copy cannot be made.
ARB* local_copy(ARB* remote, const char* id, uint32_t level) {
  if (arb_pfb(remote)->pfb_fms->pfb_fms_fn_type != FMS_REMOTE) return remote;
  FDB f;
  KDB k[kInitMaxKeys];
  SDB s[kInitMaxSegs];
  INIT_DMSG_FDB(&f, k, s, id);
  f.fdb_fs_type = FS_MEMORY;
  INIT_DB_PATH(&f.path, " LM", "0LA", id, "MESSAGE", PATH_DATA);
  f.path.fdb_tmp_id = level;
  if (!FM_CREATE(&f, level, 10, LFB_SCOPED | LFB_OPEN_NEW | LFB_NO_STRUCT_CHK, 15, 15)) return remote;
  ARB* copy = f.fdb_arb;
  std::vector<uint8_t> rec(kMsgRecMax);
  PROTO_FULL(remote, 0, rec.data());
  remote->arb_len = kMsgRecMax;
  remote->arb_mod = ARB_FIRST;
  bool ok = fm_start(remote);
  for (remote->arb_mod = 0; ok && fm_rdnxt(remote);) {
    copy->arb_rec = rec.data();
    copy->arb_len = kMsgRecMax;
    copy->arb_var_len = remote->arb_var_len;
    ok = fm_write(copy);
  }
  copy->arb_rec = remote->arb_rec = nullptr;
  if (!ok || remote->arb_stat != FM_EOF) {
    FM_CLOSE(copy, 0);
    return remote;
  }
  FM_CLOSE(remote, 0);
  return copy;
}

int close_msg_file(la_lang* e) {
  if (FM_CLOSE(e->arb, 0)) return 1;
  sys_err("LA", __LINE__, "la_slct() - close failed");
  return 0;
}

}  // namespace

la_lang* la_current() {
  drop_ended();
  return g_lang;
}

int la_init() {
  if (!g_pool || !mm_find_pool(kErPool, com.sys_scope)) {
    g_pool = mm_create_pool(kErPool, com.sys_scope);
    if (!g_pool) return 0;
    g_lang = nullptr;  // a fresh session: the old entries went with their pool
  }
  la_get_dec_sep_cur();
  return 1;
}

int la_slct(const char* lang, uint32_t level) {
  la_lang* cur = la_current();
  if (cur && cur->level > level) {
    sys_err("LA", __LINE__, "la_slct() - invalid scope");
    return 0;
  }
  // A multi-user id selects the base language, and only one already chosen.
  char id[3];
  memcpy(id, lang, sizeof id);
  const bool mu = id[0] == 'M' && id[1] == 'U';
  if (mu) memcpy(id, "00", 2);
  if (cur && cur->level == level) {
    if (same_lang(cur->lang, id)) return 1;
    if (cur->next && same_lang(cur->next->lang, id)) {
      close_msg_file(cur);
      g_lang = cur->next;
      mm_free(cur);
      load_com();
      return 1;
    }
  }
  if (mu) return 0;
  FDB f;
  KDB k[kInitMaxKeys];
  SDB s[kInitMaxSegs];
  INIT_DMSG_FDB(&f, k, s, id);
  // The engine's own file: its layout is fixed here, not by a structure file.
  if (!FM_OPEN(&f, level, LFB_ANY_DIR | LFB_NO_STRUCT_CHK, 1, 15)) return 0;
  la_lang* e = cur && cur->level == level ? cur : nullptr;
  if (e) {
    close_msg_file(e);
  } else {
    if (!g_pool && !la_init()) return 0;
    e = static_cast<la_lang*>(MM_ALLOC(g_pool, sizeof(la_lang)));
    e->next = cur;
    e->level = level;
    g_lang = e;
  }
  memcpy(e->lang, id, sizeof id);
  e->arb = local_copy(f.fdb_arb, id, level);
  fm_set_lang(e->arb, "ENG", com.lang_id);
  load_com();
  return 1;
}

size_t la_xlate(uint32_t number, cstr* out, uint16_t* cls) {
  if (out && !out->ptr) {
    sys_err("LA", __LINE__, "la_xlate() - no msg_txt buffer");
    return 0;
  }
  if (!usable_lang()) return 0;
  msg_text m;
  find_msg(number, &m);
  if (cls) *cls = m.cls;
  const char* label = nullptr;
  size_t label_len = 0;
  if (m.cls == MSG_CLASS_WARNING) label = com.labels[9], label_len = com.label_lens[1];
  if (m.cls == MSG_CLASS_ERROR || m.cls == MSG_CLASS_FATAL) label = com.labels[10], label_len = com.label_lens[2];
  const size_t full = (label ? label_len + 3 : 0) + m.len;
  if (!out) return full;
  size_t at = 0;
  if (label) {
    put_cut(out, &at, label, label_len);
    put_cut(out, &at, " - ", 3);
  }
  put_cut(out, &at, m.text, m.len);
  memset(out->ptr + at, ' ', out->len - at);
  return std::min<size_t>(full, out->len);
}

size_t sub_parm(cstr* out, const cstr* in, std::span<const cstr> params) {
  size_t o = 0;
  for (size_t i = 0; i < in->len && o < out->len; ++i) {
    const char c = in->ptr[i];
    const size_t idx = i + 1 < in->len ? static_cast<size_t>(in->ptr[i + 1] - '1') : kMaxMsgParms;
    if (c != '~' || idx >= kMaxMsgParms || idx >= params.size()) {
      out->ptr[o++] = c;
      continue;
    }
    const cstr& p = params[idx];
    size_t n = p.ptr ? ut_buflen(p.ptr, p.len) : 0;
    if (n == 0 && p.ptr && p.len) n = 1;  // a blank parameter still shows as one blank
    put_cut(out, &o, p.ptr, n);
    ++i;
  }
  memset(out->ptr + o, ' ', out->len - o);
  return o;
}

int la_center(cstr* out, uint32_t number, uint16_t* cls, std::span<const cstr> params) {
  if (params.size() > kMaxMsgParms) {
    sys_err("LA", __LINE__, "LA_FMT() - too many parameters");
    return 0;
  }
  char msg[kMsgRecMax];
  cstr m{kMsgRecMax, msg};
  m.len = static_cast<uint16_t>(la_xlate(number, &m, cls));
  if (m.len == 0) {
    sys_err("LA", __LINE__, "la_center() - la_xlate failed");
    return 0;
  }
  std::vector<char> work(out->len);
  cstr w{out->len, work.data()};
  sub_parm(&w, &m, params);
  memset(out->ptr, ' ', out->len);
  ut_center(out->ptr, out->len, w.ptr, w.len);
  return 1;
}

char* la_get_str(char* buf, size_t size, uint32_t number) {
  if (!buf || size == 0 || !usable_lang()) return nullptr;
  msg_text m;
  if (!read_msg(number, &m)) return nullptr;
  size_t n = std::min(m.len, size - 1);
  memcpy(buf, m.text, n);
  buf[n] = '\0';
  return buf;
}

std::string la_status_text(uint32_t status) {
  if (!usable_lang()) return "status " + std::to_string(status);
  msg_text m;
  find_msg(status, &m);
  // A recorded system error carries its mark; the words are what matter here.
  std::string t(m.text, ut_buflen(m.text, m.len));
  return !t.empty() && t[0] == '*' && (status == MSG_SYS_ERR || status == MSG_SYS_ERR_UNSURE) ? t.substr(1) : t;
}

void checkstat(uint32_t status, const char* text, const char* module, int line) {
  char msg[132];
  cstr m{sizeof msg, msg};
  // Before the first language (start-up) the number is all there is.
  if (!la_current() || !g_lang->arb) {
    sys_err(module, line, "%s - status %u", text, status);
    return;
  }
  size_t n = la_xlate(status, &m, nullptr);
  sys_err(module, line, "%s - %.*s", text, static_cast<int>(n), msg);
}

void CHECK_FI(int flag, const FDB* fdb, const char* title) {
  if (flag) return;
  const FDB_PATH& p = fdb->path;
  fprintf(stderr, "CHECK_FI - %s\n", title);
  if (memcmp(p.fdb_ap, "0AD", 3) == 0)
    fprintf(stderr, "SRC AP : %.3s\nSRC VER: %.2s\nNAME   : %.8s\n", p.fdb_src_ap, p.fdb_src_ver, p.fdb_name);
  else if (memcmp(p.fdb_ap, "0LA", 3) == 0 || memcmp(p.fdb_ap, "0SA", 3) == 0)
    fprintf(stderr, "AP  : %.3s\nVER : %.2s\nNAME: %.8s\n", p.fdb_ap, p.fdb_ver, p.fdb_name);
  else fprintf(stderr, "DB  : %.3s\nAP  : %.3s\nVER : %.2s\nNAME: %.8s\n", p.fdb_db, p.fdb_ap, p.fdb_ver, p.fdb_name);
  // The status is the file manager's code: its message, not an errno text.
  checkstat(fdb->fdb_stat, title, "LA", __LINE__);
}

}  // namespace kivo
