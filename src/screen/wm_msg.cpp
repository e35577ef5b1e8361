// The messages the window manager shows itself: texts of the MESSAGE file
// of the current language, and the message memory file of a show (the
// conversion failures), read back first message first.
//
// Records of both are the MESSAGE layout: u32 number, u16 class, u16 text
// length, then the text. The MESSAGE file is opened once per run at the
// session level; a missing file or message gives an empty text.
#include <cstdio>
#include <cstring>
#include <vector>

#include "fm/fm_open.h"
#include "fm/fm_record.h"
#include "foundation/bytes.h"
#include "foundation/com.h"
#include "foundation/sys_err.h"
#include "foundation/text.h"
#include "screen/wm_show.h"

namespace kivo {

namespace {

enum : size_t { MSG_NUMBER = 0, MSG_CLASS = 4, MSG_TEXT_LEN = 6, MSG_TEXT = 8 };
constexpr uint16_t kMsgRecMax = 508;

ARB* g_msg_file;
uint32_t g_msg_files;

uint16_t rec_len_of(ARB* arb) { return arb->arb_sarb->sarb_cur_strm->strm_lfb->lfb_pfb->pfb_rec_len; }

ARB* open_messages() {
  if (g_msg_file && g_msg_file->arb_sarb) return g_msg_file;
  FDB f;
  KDB k[1];
  SDB s[1];
  char lang[3] = {'0', '0', ' '};
  if (!ut_is_all(com.lang_id, ' ', 3)) memcpy(lang, com.lang_id, 3);
  wm_msg_fdb(&f, k, s, lang);
  g_msg_file = FM_OPEN(&f, com.sys_scope, LFB_NO_STRUCT_CHK | LFB_ANY_DIR, 15, 15) ? f.fdb_arb : nullptr;
  return g_msg_file;
}

std::string text_of(const uint8_t* rec, uint16_t room) {
  uint16_t n = std::min<uint16_t>(ld_le16(rec, MSG_TEXT_LEN), room);
  const char* t = reinterpret_cast<const char*>(rec + MSG_TEXT);
  return std::string(t, ut_buflen(t, n));
}

}  // namespace

void (*wm_msg_fdb)(FDB* fdb, KDB* kdb, SDB* sdb, const char* lang) = INIT_DMSG_FDB;

void wm_msg_session() { g_msg_file = nullptr; }

std::string wm_msg_text(uint32_t number) {
  ARB* arb = open_messages();
  if (!arb) return {};
  std::vector<uint8_t> rec(kMsgRecMax, ' ');
  st_le32(rec.data(), MSG_NUMBER, number);
  arb->arb_rec = rec.data();
  arb->arb_keyno = 0;
  arb->arb_key = nullptr;
  arb->arb_mod = ARB_EQUAL;
  if (!fm_read(arb)) return {};
  return text_of(rec.data(), uint16_t(std::min<size_t>(arb->arb_len, kMsgRecMax) - MSG_TEXT));
}

ARB* wm_msg_file(uint16_t text_len, uint32_t scope) {
  SDB s[2];
  KDB k[1];
  FDB f;
  init_sdb_func(&s[0], 1, MSG_NUMBER, 4, SDB_BINARY, '+');
  init_sdb_func(&s[1], 2, MSG_CLASS, 2, SDB_BINARY, '-');
  INIT_KDB(k, 0, '+', KDB_DUP, s, 2);
  INIT_FDB(&f, FS_MEMORY, uint16_t(text_len + MSG_TEXT), 0, k, 1);
  INIT_UNIQUE_PATH(&f.path, "WM", "MS", PATH_DATA);
  char name[9];
  snprintf(name, sizeof name, "M%07X", ++g_msg_files);
  memcpy(f.path.fdb_name, name, 8);
  if (FM_CREATE(&f, scope, 10, LFB_OPEN_NEW, 15, 15)) return f.fdb_arb;
  sys_err("WM4", __LINE__, "wm_init - la_create_fi failed (status %u)", f.fdb_stat);
  return nullptr;
}

int wm_msg_add(ARB* file, uint32_t number, uint16_t cls) {
  uint16_t len = rec_len_of(file);
  std::vector<uint8_t> rec(len, ' ');
  std::string text = wm_msg_text(number);
  if (text.empty()) text = "Message " + std::to_string(number);
  size_t n = std::min<size_t>(text.size(), len - MSG_TEXT);
  st_le32(rec.data(), MSG_NUMBER, number);
  st_le16(rec.data(), MSG_CLASS, cls);
  st_le16(rec.data(), MSG_TEXT_LEN, uint16_t(n));
  memcpy(rec.data() + MSG_TEXT, text.data(), n);
  file->arb_rec = rec.data();
  file->arb_len = len;
  int ok = fm_write(file);
  file->arb_rec = nullptr;
  if (!ok) sys_err("WM4", __LINE__, "la_add_msg() - fm_write failed (status %u)", file->arb_stat);
  return ok;
}

void wm_msg_clear(ARB* file) {
  if (!file) return;
  std::vector<uint8_t> rec(rec_len_of(file));
  for (;;) {
    file->arb_keyno = 0;
    file->arb_key = nullptr;
    file->arb_mod = ARB_FIRST;
    file->arb_rec = rec.data();
    if (!fm_start(file)) break;
    file->arb_mod = ARB_HOLD;
    if (!fm_rdnxt(file) || !fm_del(file)) break;
  }
  file->arb_rec = nullptr;
}

int wm_msg_first(ARB* file, std::string* text) {
  text->clear();
  if (!file) return 0;
  uint16_t len = rec_len_of(file);
  std::vector<uint8_t> rec(len);
  file->arb_keyno = 0;
  file->arb_key = nullptr;
  file->arb_mod = ARB_FIRST;
  file->arb_rec = rec.data();
  int n = 0;
  if (fm_start(file)) {
    file->arb_mod = 0;
    while (n < 2 && fm_rdnxt(file)) {
      if (n++ == 0) *text = text_of(rec.data(), uint16_t(len - MSG_TEXT));
    }
  }
  file->arb_rec = nullptr;
  return n;
}

}  // namespace kivo
