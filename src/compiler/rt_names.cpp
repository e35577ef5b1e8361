// Look-ups in the routine file and the check of external routine names.
#include "compiler/rt_names.h"

#include <cstring>

#include "compiler/compiler.h"
#include "fm/fm_objects.h"
#include "fm/fm_record.h"
#include "foundation/bytes.h"

namespace kivo {

std::string rt_trim_name(const char* name, size_t len) {
  std::string s(name, strnlen(name, len));
  s.erase(s.find_last_not_of(' ') + 1);
  return s;
}

int rt_fn_find(const char* name, size_t len, rt_fn_ref* out) {
  const std::string n = rt_trim_name(name, len);
  ARB* a = compiler_hooks.ifns_arb ? compiler_hooks.ifns_arb() : nullptr;
  if (!a || n.empty() || n.size() > kIfnsNameLen) return 0;
  uint8_t rec[kIfnsRecLen];
  memset(rec, ' ', kIfnsNameLen), memcpy(rec, n.data(), n.size());
  a->arb_keyno = 0, a->arb_relno = 0, a->arb_key = nullptr;
  a->arb_mod = ARB_EQUAL, a->arb_rec = rec, a->arb_len = kIfnsRecLen;
  if (!fm_read(a)) return 0;
  *out = {ld_le32(rec, IFNS_ROW), static_cast<int16_t>(ld_le16(rec, IFNS_ARGC)), ld_le16(rec, IFNS_FLAGS)};
  return 1;
}

rt_name_kind rt_lib_name(const std::string& name, std::string* lib, std::string* fn) {
  const size_t colon = name.find(':');
  if (colon == std::string::npos) return RT_NAME_UNKNOWN;
  *lib = name.substr(0, colon), *fn = name.substr(colon + 1);
  if (lib->empty() || fn->empty() || lib->find('/') != std::string::npos || lib->find("..") != std::string::npos)
    return RT_NAME_BAD_LIB;
  if (lib->find(".so") == std::string::npos) *lib = (lib->rfind("lib", 0) == 0 ? "" : "lib") + *lib + ".so";
  return RT_NAME_LIB;
}

}  // namespace kivo
