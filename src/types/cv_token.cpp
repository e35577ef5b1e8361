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
#include "types/types.h"

namespace kivo {

namespace {

uint8_t g_rec[kTokenRecLen];  // the record cv_get_token returns

const uint8_t* no_code(uint32_t group) {
  memset(g_rec, 0, sizeof g_rec);
  st_le16(g_rec, 0, static_cast<uint16_t>(group));
  st_le32(g_rec, kTokenRecCode, 0xFFFFFFFFu);
  SET_BLANK(g_rec + kTokenRecText, kTokenTextLen);
  return g_rec;
}

}  // namespace

uint32_t cv_load_token_of(CNV* c) {
  cnv_alp_area& a = c->ta.alp;
  if (a.token_id == 1 && types_hooks.tokens.load) {
    const uint32_t id = types_hooks.tokens.load(a.token_ap, a.token_ver, a.token_src, a.token_grp);
    if (id) a.token_id = id;
  }
  return a.token_id;
}

const uint8_t* cv_get_token(uint32_t group, const char* text, int32_t value, int check_only) {
  if (text) {
    if (ut_is_all(text, ' ', kTokenTextLen)) return check_only ? nullptr : no_code(group);
    if (types_hooks.tokens.by_text && types_hooks.tokens.by_text(group, text, g_rec)) return g_rec;
    if (check_only) return nullptr;
    return no_code(group);
  }
  if (value == -1) return no_code(group);
  return types_hooks.tokens.by_code && types_hooks.tokens.by_code(group, value, g_rec) ? g_rec : nullptr;
}

int cv_get_token_list(uint32_t group, int, int max, uint8_t* out) {
  return types_hooks.tokens.list ? types_hooks.tokens.list(group, max, out) : 0;
}

int cv_token_cache_init() { return types_hooks.tokens.init ? types_hooks.tokens.init() : 1; }

int cv_get_token_info(uint32_t group, char* name1, char* name2, char* ap, char* ver) {
  uint8_t stamp[2][8];
  if (!types_hooks.tokens.info || !types_hooks.tokens.info(group, stamp[0], stamp[1], ap, ver)) return 0;
  char* names[2] = {name1, name2};
  for (int i = 0; i < 2; ++i)
    if (!types_hooks.stamp_name || !types_hooks.stamp_name(0, stamp[i], names[i])) SET_BLANK(names[i], 8);
  return 1;
}

int cv_xlate_fld(const CNV* c, const char* dir, char* text, int len) {
  return types_hooks.xlate_fld ? types_hooks.xlate_fld(c, dir, text, len) : 1;
}

}  // namespace kivo
