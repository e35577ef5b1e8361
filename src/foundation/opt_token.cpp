// OPT token lookups by name and by code.
#include "foundation/opt_token.h"

#include <cstring>

#include "foundation/foundation.h"
#include "foundation/sys_err.h"
#include "foundation/text.h"

namespace kivo {

namespace {

bool lookup_ready() {
  if (foundation_hooks.opt_lookup.by_name && foundation_hooks.opt_lookup.by_code) return true;
  sys_err("UT", __LINE__, "can't open token file");
  return false;
}

int32_t code_of(const char* name, size_t len) {
  len = ut_buflen(name, len);
  if (len > kOptNameLen || !lookup_ready()) return OPT_UNKNOWN_NAME;
  char key[kOptNameLen];
  memcpy(key, name, len);
  memset(key + len, ' ', kOptNameLen - len);
  int32_t code = 0;
  return foundation_hooks.opt_lookup.by_name(key, &code) ? code : OPT_UNKNOWN_NAME;
}

int32_t name_of(int32_t code, char* name) {
  // A stale name left in the buffer would read as found.
  name[0] = '\0';
  if (!lookup_ready()) return 0;
  char text[kOptNameLen];
  if (!foundation_hooks.opt_lookup.by_code(code, text)) return 0;
  size_t len = ut_buflen(text, kOptNameLen);
  memcpy(name, text, len);
  name[len] = '\0';
  return static_cast<int32_t>(len);
}

}  // namespace

int32_t ut_get_opt(char* name, size_t len, int32_t code) { return len ? code_of(name, len) : name_of(code, name); }

}  // namespace kivo
