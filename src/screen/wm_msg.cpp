// The messages the window manager shows itself, over the message layer:
// texts of the current language, and the message memory file of a show
// (the conversion failures), emptied before each conversion and read back
// first message first.
#include <cstring>
#include <vector>

#include "fm/fm_record.h"
#include "fm/la.h"
#include "foundation/bytes.h"
#include "foundation/text.h"
#include "screen/wm_show.h"

namespace kivo {

namespace {

uint16_t rec_len_of(ARB* arb) { return arb_pfb(arb)->pfb_rec_len; }

// Positions the file before its first record, reading into `rec`.
bool rewind(ARB* file, std::vector<uint8_t>& rec) {
  rec.assign(rec_len_of(file), ' ');
  file->arb_keyno = 0;
  file->arb_key = nullptr;
  file->arb_mod = ARB_FIRST;
  file->arb_rec = rec.data();
  return fm_start(file);
}

}  // namespace

std::string wm_msg_text(uint32_t number) {
  char buf[kMsgTextMax + 1];
  return la_get_str(buf, sizeof buf, number) ? std::string(buf) : std::string();
}

int wm_msg_add(ARB* file, uint32_t number) { return la_add_msg(file, &number, number, {}); }

void wm_msg_clear(ARB* file) {
  std::vector<uint8_t> rec;
  while (file && rewind(file, rec)) {
    file->arb_mod = ARB_HOLD;
    if (!fm_rdnxt(file) || !fm_del(file)) break;
  }
  if (file) file->arb_rec = nullptr;
}

int wm_msg_first(ARB* file, std::string* text) {
  text->clear();
  std::vector<uint8_t> rec;
  int n = 0;
  if (file && rewind(file, rec)) {
    for (file->arb_mod = 0; n < 2 && fm_rdnxt(file); ++n) {
      if (n) continue;
      const char* t = reinterpret_cast<const char*>(rec.data() + MSG_TEXT);
      size_t len = std::min<size_t>(ld_le16(rec.data(), MSG_TEXT_LEN), rec.size() - MSG_TEXT);
      text->assign(t, ut_buflen(t, len));
    }
  }
  if (file) file->arb_rec = nullptr;
  return n;
}

}  // namespace kivo
