// Filing design-build messages: MESSAGE1 counted and its class raised,
// MESSAGE2 written with the translated text.
#include "design/dd_msg.h"

#include <cstring>
#include <vector>

#include "design/dd.h"

#include "fm/fm_record.h"
#include "fm/la.h"
#include "foundation/bytes.h"
#include "foundation/text.h"

namespace kivo {

namespace {

void key_of(uint8_t* rec, const char* ap, const char* ver, const char* file) {
  memcpy(rec + M1_AP, ap, 3);
  memcpy(rec + M1_VER, ver, 2);
  memcpy(rec + M1_FILE, file, 8);
}

}  // namespace

int msg1_start(ARB* msg1, ARB* msg2, const char* ap, const char* ver, const char* file) {
  uint8_t m1[kMsg1Size] = {};
  key_of(m1, ap, ver, file);
  msg1->arb_rec = m1;
  msg1->arb_len = kMsg1Size;
  msg1->arb_var_len = 0;
  msg1->arb_mod = 0;
  if (fm_write(msg1)) return 1;
  // A file checked again in the same message files starts afresh: the
  // messages of the run before would collide with the new ones.
  uint8_t held[kMsg1Size];
  memcpy(held, m1, kMsg1Size);
  if (!dd_read(msg1, 0, held, kMsg1Size, true)) return 0;
  std::vector<std::vector<uint8_t>> old;
  uint8_t from[kMsg2Size] = {};
  key_of(from, ap, ver, file);
  dd_scan(
      msg2, 0, from, kMsg2Size, [](const uint8_t* r, const uint8_t* f) { return memcmp(r, f, 13) == 0; }, &old);
  for (auto& r : old) dd_delete(msg2, 0, r.data(), kMsg2Size);
  return dd_rewrite(msg1, m1, kMsg1Size);
}

int msg_file(ARB* msg1, ARB* msg2, const char* ap, const char* ver, const char* file, uint32_t number,
             const uint8_t* own) {
  uint8_t m1[kMsg1Size] = {};
  key_of(m1, ap, ver, file);
  PROTO_FULL(msg1, 0, m1);
  msg1->arb_len = kMsg1Size;
  msg1->arb_mod = ARB_EQUAL | ARB_HOLD;
  const int found = fm_read(msg1);
  msg1->arb_mod = 0;
  if (!found) return checkstat(msg1->arb_stat, "Bad first level message read ", "DDMSG", __LINE__), 0;
  const uint32_t seq = ld_le32(m1, M1_COUNT) + 1;
  st_le32(m1, M1_COUNT, seq);
  uint8_t m2[kMsg2Size] = {};
  key_of(m2, ap, ver, file);
  SET_BLANK(m2 + M2_BLANKS, 3);
  st_le32(m2, M2_SEQ, seq);
  memcpy(m2 + M2_DB, own, M2_CLASS - M2_DB);
  char text[kMsg2TextMax];
  cstr out{static_cast<uint16_t>(sizeof text), text};
  uint16_t cls = 0;
  size_t len = la_xlate(number, &out, &cls);
  if (len > kMsg2TextMax) len = kMsg2TextMax;
  while (len && text[len - 1] == ' ') --len;
  memcpy(m2 + M2_TEXT, text, len);
  SET_BLANK(m2 + M2_TEXT + len, kMsg2TextMax - len);
  st_le16(m2, M2_CLASS, cls);
  st_le16(m2, M2_TEXT_LEN, static_cast<uint16_t>(len));
  if (cls > ld_le32(m1, M1_CLASS)) st_le32(m1, M1_CLASS, cls);
  msg1->arb_rec = m1;
  if (!fm_rewrite(msg1)) return checkstat(msg1->arb_stat, "Bad db_msg1 write ", "DDMSG", __LINE__), 0;
  msg2->arb_rec = m2;
  msg2->arb_len = kMsg2Size;
  msg2->arb_var_len = 0;
  msg2->arb_mod = 0;
  if (!fm_write(msg2)) return checkstat(msg2->arb_stat, "bad db_msg2 file write", "DDMSG", __LINE__), 0;
  return 1;
}

int db_err(uint32_t number, const FDB_PATH& path, ARB* msg1, ARB* msg2) {
  const bool design = memcmp(path.fdb_ap, "0AD", 3) == 0;
  uint8_t own[M2_CLASS - M2_DB] = {};
  memcpy(own, path.fdb_db, 3);
  return msg_file(msg1, msg2, design ? path.fdb_src_ap : path.fdb_ap, design ? path.fdb_src_ver : path.fdb_ver,
                  path.fdb_name, number, own);
}

}  // namespace kivo
