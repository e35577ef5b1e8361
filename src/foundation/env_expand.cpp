// Expansion of path templates: $(name) is replaced by a variable of the
// path builder (root, ext, uid, user, pid, ap, ver, db, scope, file, type,
// engine, endian, host) or, failing that, of the process environment.
//
// A variable matches by its whole name only, so $(u) never takes the value
// of $(uid). The expansion is not rescanned: a value holding $(...) stays as
// it is, which is how "$(ext)" survives into the native file names.
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "foundation/foundation.h"
#include "foundation/os.h"
#include "foundation/paths.h"
#include "foundation/paths_internal.h"
#include "foundation/sys_err.h"
#include "foundation/text.h"

namespace kivo {

namespace {

env_vars g_vars;
std::string g_path_error;

const char* const kSlotNames[kEnvSlots] = {"root", "ext",   "uid",  "user", "pid",    "ap",     "ver",
                                           "db",   "scope", "file", "type", "engine", "endian", "host"};

enum expand_result { EXPAND_OK, EXPAND_SYNTAX, EXPAND_UNKNOWN, EXPAND_OVERFLOW };

expand_result expand(char* out, const char* tmpl, size_t* out_len, size_t length, const env_vars* vars) {
  const size_t cap = *out_len;
  *out_len = 0;
  std::string work(tmpl, strnlen(tmpl, length));
  while (!work.empty() && work.back() == ' ') work.pop_back();

  std::string result;
  size_t pos = 0;
  for (;;) {
    size_t dollar = work.find('$', pos);
    if (dollar == std::string::npos) {
      result.append(work, pos, std::string::npos);
      break;
    }
    result.append(work, pos, dollar - pos);
    if (dollar + 1 >= work.size()) return EXPAND_SYNTAX;
    size_t name_at = dollar + 2;  // the character after "$" is the "("
    size_t close = work.find(')', name_at);
    if (close == std::string::npos) return EXPAND_SYNTAX;
    std::string name = work.substr(name_at, close - name_at);
    const char* value = findenv(name.c_str(), vars);
    if (!value) return EXPAND_UNKNOWN;
    result += value;
    pos = close + 1;
  }
  if (result.size() + 1 > cap) {
    if (cap) out[0] = '\0';
    return EXPAND_OVERFLOW;
  }
  memcpy(out, result.c_str(), result.size() + 1);
  *out_len = result.size() + 1;
  return EXPAND_OK;
}

std::string field_value(const char* p, size_t n) {
  std::string s(p, strnlen(p, n));
  std::string out;
  for (char c : s)
    if (c != ' ') out += c;
  return out;
}

void set_slot(int slot, const std::string& value) {
  os_add_to_env(&g_vars, slot, kSlotNames[slot], value.c_str(), value.size());
}

void set_fixed_slots(const cstr* root) {
  std::string r = root && root->ptr ? std::string(root->ptr, strnlen(root->ptr, root->len)) : "";
  set_slot(0, r);
  set_slot(1, "$(ext)");
  set_slot(2, field_value(com.user_id, 3));
  set_slot(3, com.user_rec ? field_value(reinterpret_cast<const char*>(com.user_rec) + 3, 80) : "");
  set_slot(4, std::to_string(getpid()));
  set_slot(11, "");
  set_slot(12, "intel");
  cstr id, unused, os, host;
  set_slot(13, ss_host_info(&id, &unused, &os, &host) ? std::string(host.ptr, host.len) : "");
  g_vars.fixed_set = true;
}

void set_fdb_slots(const FDB_PATH* fdb) {
  const bool design = memcmp(fdb->fdb_ap, "0AD", 3) == 0;
  set_slot(5, field_value(design ? fdb->fdb_src_ap : fdb->fdb_ap, 3));
  std::string ver;
  if (design) {
    ver = field_value(fdb->fdb_ver, 2);
  } else {
    char db[4];
    memcpy(db, fdb->fdb_db, 3);
    db[3] = '\0';
    if (const uint8_t* ddb = foundation_hooks.ddb_lookup ? foundation_hooks.ddb_lookup(db) : nullptr)
      ver = field_value(reinterpret_cast<const char*>(ddb) + kDdbVersion, 2);
  }
  set_slot(6, ver);
  set_slot(7, design ? "" : field_value(fdb->fdb_db, 3));
  set_slot(8, std::to_string(fdb->fdb_tmp_id));
  set_slot(9, field_value(fdb->fdb_name, 8));
  set_slot(10, path_kind_name(fdb->fdb_class));
}

}  // namespace

void os_add_to_env(env_vars* vars, int slot, const char* name, const char* value, size_t length) {
  if (slot < 0 || slot >= kEnvSlots) return;
  size_t vlen = ut_buflen(value, strnlen(value, length));
  const size_t nlen = strlen(name);
  const size_t need = nlen + 1 + vlen + 1;
  env_slot& s = vars->slot[slot];
  // Grows to the largest value it has held; the buffer lives for the run.
  if (s.cap < need) {
    char* grown = static_cast<char*>(realloc(s.text, need));
    if (!grown) return;
    s.text = grown;
    s.cap = need;
  }
  memcpy(s.text, name, nlen);
  s.text[nlen] = '=';
  memcpy(s.text + nlen + 1, value, vlen);
  s.text[nlen + 1 + vlen] = '\0';
}

const char* findenv(const char* name, const env_vars* vars) {
  const size_t n = strlen(name);
  if (vars) {
    for (const env_slot& s : vars->slot) {
      if (s.text && strncmp(s.text, name, n) == 0 && s.text[n] == '=') return s.text + n + 1;
    }
  }
  return getenv(name);
}

int os_expand(char* out, const char* tmpl, size_t* out_len, size_t length, const env_vars* vars) {
  return expand(out, tmpl, out_len, length, vars) == EXPAND_OK;
}

char* expand_env(char* out, const char* tmpl, size_t length, const FDB_PATH* fdb, const cstr* root) {
  int status = PATH_OK;
  return expand_env_status(out, tmpl, length, fdb, root, &status);
}

char* expand_env_status(char* out, const char* tmpl, size_t length, const FDB_PATH* fdb, const cstr* root,
                        int* status) {
  if (!g_vars.fixed_set) set_fixed_slots(root);
  set_fdb_slots(fdb);
  size_t len = kPathMax;
  expand_result r = expand(out, tmpl, &len, length, &g_vars);
  if (r == EXPAND_OK) return out;
  *status = r == EXPAND_OVERFLOW ? PATH_TOO_LONG : PATH_BAD_TEMPLATE;
  g_path_error = r == EXPAND_OVERFLOW ? "FMS path longer than 255 characters"
                                      : "Error in FMS path - bad environment variable or syntax error";
  la_sys_err(g_path_error.c_str(), 0);
  return nullptr;
}

const char* ss_path_error() { return g_path_error.c_str(); }

void record_path_error(const char* text) {
  g_path_error = text;
  la_sys_err(text, 0);
}

void env_vars_free(env_vars* vars) {
  for (env_slot& s : vars->slot) {
    free(s.text);
    s = env_slot{nullptr, 0};
  }
  vars->fixed_set = false;
}

void ss_path_vars_reset() {
  env_vars_free(&g_vars);
  g_path_error.clear();
}

size_t trim_blanks(char* text) {
  char* w = text;
  for (char* r = text; *r; ++r)
    if (*r != ' ') *w++ = *r;
  *w = '\0';
  return static_cast<size_t>(w - text) + 1;
}

}  // namespace kivo
