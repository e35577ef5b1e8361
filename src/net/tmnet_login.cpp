// The LOGIN block field by field; every text is bounded by its field.
#include "net/tmnet_login.h"

#include <cstring>

#include "foundation/bytes.h"

namespace kivo {

namespace {

bool fits(const std::string& s, size_t field) { return s.size() < field && s.find('\0') == std::string::npos; }

bool text_at(const uint8_t* in, size_t off, size_t field, std::string* out) {
  const char* p = reinterpret_cast<const char*>(in + off);
  const size_t n = strnlen(p, field);
  if (n == field) return false;
  out->assign(p, n);
  return true;
}

}  // namespace

bool login_build(const tmnet_login& in, uint8_t out[kLoginSize]) {
  if (!fits(in.user, kLoginUserSize) || !fits(in.password, kLoginPswdSize) || !fits(in.start, kLoginStartSize))
    return false;
  memset(out, 0, kLoginSize);
  memcpy(out + LOGIN_USER, in.user.data(), in.user.size());
  memcpy(out + LOGIN_PSWD, in.password.data(), in.password.size());
  st_u8(out, LOGIN_REMAP, in.remap ? 1 : 0);
  memcpy(out + LOGIN_START, in.start.data(), in.start.size());
  st_u8(out, LOGIN_VERSION, in.version);
  return true;
}

bool login_parse(const uint8_t in[kLoginSize], tmnet_login* out) {
  if (!text_at(in, LOGIN_USER, kLoginUserSize, &out->user) ||
      !text_at(in, LOGIN_PSWD, kLoginPswdSize, &out->password) ||
      !text_at(in, LOGIN_START, kLoginStartSize, &out->start))
    return false;
  out->remap = ld_u8(in, LOGIN_REMAP) != 0;
  out->version = ld_u8(in, LOGIN_VERSION);
  return true;
}

void reply_build(uint8_t first, uint8_t second, uint8_t out[kReplySize]) {
  st_u8(out, 0, first);
  st_u8(out, 1, second);
}

}  // namespace kivo
