// Message memory files: the pending messages of a level, ordered by number
// and, within a number, errors before warnings (key 0 with duplicates).
//
// A record is the MESSAGE record with room for the file's text length; the
// text length field says how much of it is text.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "fm/fm_open.h"
#include "fm/fm_record.h"
#include "fm/la.h"
#include "foundation/bytes.h"
#include "foundation/sys_err.h"
#include "foundation/text.h"

namespace kivo {

namespace {

uint32_t g_msgfile_count;  // names the files "%08X"

int add_fail(const char* text) {
  sys_err("LA", __LINE__, "%s", text);
  return 0;
}

uint16_t rec_len_of(ARB* arb) {
  STRM* s = arb && arb->arb_sarb ? arb_strm(arb) : nullptr;
  return s ? strm_pfb(s)->pfb_rec_len : 0;
}

// Puts `n` bytes of `text` into the text of `rec`, which has `room`: a
// longer text is shortened in its middle, so that its end, which says why,
// stays. The length put.
size_t put_text(uint8_t* rec, size_t room, const char* text, size_t n) {
  const std::string fitted = ut_fit_middle(std::string_view(text, n), room);
  memcpy(rec + MSG_TEXT, fitted.data(), fitted.size());
  return fitted.size();
}

// The text of `number` with the parameters into `rec`; its class and length.
bool numbered_text(uint32_t number, std::span<const cstr> params, uint8_t* rec, size_t room, uint16_t* cls,
                   size_t* len) {
  char msg[kMsgRecMax];
  cstr m{kMsgRecMax, msg};
  m.len = static_cast<uint16_t>(la_xlate(number, &m, cls));
  if (m.len == 0) return false;
  std::vector<char> whole(2 * kMsgRecMax);
  cstr out{static_cast<uint16_t>(whole.size()), whole.data()};
  *len = put_text(rec, room, whole.data(), sub_parm(&out, &m, params));
  return true;
}

}  // namespace

ARB* la_create_fi(uint16_t text_len, uint32_t level) {
  if (text_len > UINT16_MAX - MSG_TEXT) {
    sys_err("LA", __LINE__, "la_create_fi() - create failed");
    return nullptr;
  }
  SDB s[2];
  KDB k[1];
  FDB f;
  init_sdb_func(&s[0], 0, MSG_NUMBER, 4, SDB_BINARY, '+');
  init_sdb_func(&s[1], 1, MSG_CLASS, 2, SDB_BINARY, '-');
  INIT_KDB(k, 0, '+', KDB_DUP, s, 2);
  INIT_FDB(&f, FS_MEMORY, static_cast<uint16_t>(text_len + MSG_TEXT), 0, k, 1);
  char name[9];
  snprintf(name, sizeof name, "%08X", g_msgfile_count++);
  INIT_DB_PATH(&f.path, " LM", "0LA", "00", name, PATH_DATA);
  f.path.fdb_tmp_id = level;
  if (FM_CREATE(&f, level, 10, LFB_SCOPED | LFB_OPEN_NEW | LFB_NO_STRUCT_CHK, 15, 15)) return f.fdb_arb;
  sys_err("LA", __LINE__, "la_create_fi() - create failed");
  return nullptr;
}

int la_add_msg(ARB* arb, const uint32_t* number, uint32_t key, std::span<const cstr> params) {
  if (params.size() > kMaxMsgParms) return add_fail("la_add_msg() - too many parameters");
  for (const cstr& p : params)
    if (!p.ptr) return add_fail("la_add_msg() - bad arg");
  const uint16_t rec_len = rec_len_of(arb);
  if (rec_len < MSG_TEXT) return add_fail("la_add_msg() - fm_write failed");
  std::vector<uint8_t> rec(rec_len, ' ');
  const size_t room = rec_len - MSG_TEXT;
  uint16_t cls = 0;
  size_t len = 0;
  if (number) {
    if (!numbered_text(*number, params, rec.data(), room, &cls, &len)) return add_fail("la_add_msg() - xlate failed");
  } else {
    // The caller's record keeps its class and the bytes behind its text.
    const uint8_t* cur = arb->arb_rec;
    const size_t cur_len = ld_le16(cur, MSG_TEXT_LEN);
    if (cur_len > room) return add_fail("la_add_msg() - message length invalid");
    memcpy(rec.data(), cur, rec_len);
    cls = ld_le16(cur, MSG_CLASS);
    std::vector<char> text(cur + MSG_TEXT, cur + MSG_TEXT + cur_len);
    std::vector<char> work(room);
    cstr in{static_cast<uint16_t>(cur_len), text.data()};
    cstr out{static_cast<uint16_t>(room), work.data()};
    len = sub_parm(&out, &in, params);
    memcpy(rec.data() + MSG_TEXT, work.data(), len);
  }
  st_le32(rec.data(), MSG_NUMBER, key);
  st_le16(rec.data(), MSG_CLASS, cls);
  st_le16(rec.data(), MSG_TEXT_LEN, static_cast<uint16_t>(len));
  uint8_t* saved = arb->arb_rec;
  arb->arb_rec = rec.data();
  arb->arb_len = rec_len;
  const int ok = fm_write(arb);
  arb->arb_rec = saved;
  return ok ? 1 : add_fail("la_add_msg() - fm_write failed");
}

int la_add_text(ARB* arb, uint16_t cls, uint32_t key, const char* text, size_t len, std::span<const cstr> params) {
  const uint16_t rec_len = rec_len_of(arb);
  if (rec_len < MSG_TEXT) return add_fail("la_add_msg() - fm_write failed");
  std::vector<uint8_t> rec(rec_len, ' ');
  len = put_text(rec.data(), rec_len - MSG_TEXT, text, len);
  st_le16(rec.data(), MSG_CLASS, cls);
  st_le16(rec.data(), MSG_TEXT_LEN, static_cast<uint16_t>(len));
  uint8_t* saved = arb->arb_rec;
  arb->arb_rec = rec.data();
  const int ok = la_add_msg(arb, nullptr, key, params);
  arb->arb_rec = saved;
  return ok;
}

}  // namespace kivo
