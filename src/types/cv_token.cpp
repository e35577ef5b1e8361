// Token look-ups of the alpha conversions, over the token tables that the
// file manager's caches provide (`token_hooks`), and the field translation
// hook.
//
// A blank text is code -1 without a look-up; an empty hook knows no token.
// Stamps become names through the loader's naming hook.
// Records handed out are 40 bytes in the caches' layout.
#include <cstring>

#include "foundation/bytes.h"
#include "foundation/text.h"
#include "types/cnv.h"

namespace kivo {

namespace {

token_hooks g_tokens;
xlate_fld_fn g_xlate = nullptr;
stamp_name_fn g_stamp_name = nullptr;
uint8_t g_rec[kTokenRecLen];  // the record cv_get_token returns

const uint8_t* no_code(uint32_t group) {
  memset(g_rec, 0, sizeof g_rec);
  st_le16(g_rec, 0, static_cast<uint16_t>(group));
  st_le32(g_rec, kTokenRecCode, 0xFFFFFFFFu);
  SET_BLANK(g_rec + kTokenRecText, kTokenTextLen);
  return g_rec;
}

}  // namespace

token_hooks set_token_hooks(const token_hooks& h) {
  token_hooks old = g_tokens;
  g_tokens = h;
  return old;
}

uint32_t cv_load_token_of(CNV* c) {
  cnv_alp_area& a = c->ta.alp;
  if (a.token_id == 1 && g_tokens.load) {
    const uint32_t id = g_tokens.load(a.token_ap, a.token_ver, a.token_src, a.token_grp);
    if (id) a.token_id = id;
  }
  return a.token_id;
}

const uint8_t* cv_get_token(uint32_t group, const char* text, int32_t value, int check_only) {
  if (text) {
    if (ut_is_all(text, ' ', kTokenTextLen)) return check_only ? nullptr : no_code(group);
    if (g_tokens.by_text && g_tokens.by_text(group, text, g_rec)) return g_rec;
    if (check_only) return nullptr;
    return no_code(group);
  }
  if (value == -1) return no_code(group);
  return g_tokens.by_code && g_tokens.by_code(group, value, g_rec) ? g_rec : nullptr;
}

int cv_get_token_list(uint32_t group, int, int max, uint8_t* out) {
  return g_tokens.list ? g_tokens.list(group, max, out) : 0;
}

int cv_token_cache_init() { return g_tokens.init ? g_tokens.init() : 1; }

stamp_name_fn set_stamp_name_hook(stamp_name_fn fn) {
  stamp_name_fn old = g_stamp_name;
  g_stamp_name = fn;
  return old;
}

int cv_get_token_info(uint32_t group, char* name1, char* name2, char* ap, char* ver) {
  uint8_t stamp[2][8];
  if (!g_tokens.info || !g_tokens.info(group, stamp[0], stamp[1], ap, ver)) return 0;
  char* names[2] = {name1, name2};
  for (int i = 0; i < 2; ++i)
    if (!g_stamp_name || !g_stamp_name(0, stamp[i], names[i])) SET_BLANK(names[i], 8);
  return 1;
}

xlate_fld_fn set_xlate_fld_hook(xlate_fld_fn fn) {
  xlate_fld_fn old = g_xlate;
  g_xlate = fn;
  return old;
}

int cv_xlate_fld(const CNV* c, const char* dir, char* text, int len) {
  return g_xlate ? g_xlate(c, dir, text, len) : 1;
}

}  // namespace kivo
