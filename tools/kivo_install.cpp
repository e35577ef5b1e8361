// kivo_install: writes the system-administration files of the default
// installation into a data directory, through the file manager:
//
//   kivo_install -d <data directory> <messages> <keys> <options> [<applications>]
//
// APPL with the four system applications, an empty USER file, MESSAGE of
// language 00 from <messages> ("<number> <class> <text>" lines), the "OPT"
// group of the runtime's TOKEN file from <options> ("<code> <name>" lines;
// rows already there are kept), and
// DFLTMAP with "MENU ENTRY" and "DATA ENTRY" for every terminal type that
// <keys> names, each physical key's bytes read from the type's terminfo
// entry (or the entry it names, "type=entry") in keypad mode. Identical keys, a combination that does not fit and
// conflicting combinations are faults: exit status 1 and the fault printed,
// so the build fails. <applications>, when given, adds shipped applications
// (share/install/demo.txt): their APPL, DATABASE and DBXAP records and, for
// each data file, its SYSDIR entry and the empty file made from the design
// the build wrote before. Exit status 0 when everything was written.
//
//   kivo_install -d <data directory> -a <applications>
//
// adds applications to an installation that has its system-administration
// files already: a designer's new application, once kivo_design wrote its
// design (a record already there is replaced by the file's; a data file
// that exists is left as it is). A file with a fault writes nothing.
#include <curses.h>
#include <term.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "fm/fm.h"
#include "fm/fm_open.h"
#include "fm/fm_record.h"
#include "fm/fm_switch.h"
#include "fm/fm_sysadm.h"
#include "fm/la.h"
#include "fm/token_cache.h"
#include "foundation/bytes.h"
#include "foundation/com.h"
#include "foundation/descriptors.h"
#include "foundation/opt_token.h"
#include "foundation/pool.h"
#include "foundation/std_fds.h"
#include "foundation/sys_err.h"
#include "install_apps.h"
#include "process/startup.h"
#include "screen/keydef.h"
#include "types/cnv.h"

using namespace kivo;

namespace {

constexpr uint32_t kOpts = LFB_ANY_DIR | LFB_NO_STRUCT_CHK;

struct open_file {
  FDB fdb;
  KDB kdb[kInitMaxKeys];
  SDB sdb[kInitMaxSegs];
};

// Opens the file, creating it when missing; null and a message on failure.
ARB* open_or_create(open_file* f, void (*init)(FDB*, KDB*, SDB*), const char* what) {
  init(&f->fdb, f->kdb, f->sdb);
  if (FM_OPEN(&f->fdb, com.sys_scope, kOpts, 15, 15)) return f->fdb.fdb_arb;
  init(&f->fdb, f->kdb, f->sdb);
  if (FM_CREATE(&f->fdb, com.sys_scope, 10, kOpts | LFB_OPEN_NEW, 15, 15)) return f->fdb.fdb_arb;
  fprintf(stderr, "kivo_install: cannot create %s (status %u)\n", what, f->fdb.fdb_stat);
  return nullptr;
}

void messages_00(FDB* f, KDB* k, SDB* s) { INIT_DMSG_FDB(f, k, s, "00 "); }

// The installation being written has no APPL to look applications up in:
// every one is taken with the default class of the native back-end.
const uint8_t* any_application(const char*, const char*) {
  static uint8_t appl[kApplRecLen];
  memset(appl, ' ', sizeof appl);
  return appl;
}

bool fail(const std::string& where, const std::string& what) {
  fprintf(stderr, "kivo_install: %s: %s\n", where.c_str(), what.c_str());
  return false;
}

bool write_messages(const char* path) {
  std::ifstream in(path);
  if (!in) return fail(path, "cannot read");
  open_file f;
  ARB* a = open_or_create(&f, messages_00, "MESSAGE");
  if (!a) return false;
  int n = 0;
  for (std::string line; std::getline(in, line);) {
    ++n;
    if (line.empty() || line[0] == '#') continue;
    std::istringstream w(line);
    uint32_t number = 0, cls = 0;
    std::string text;
    if (!(w >> number >> cls) || !std::getline(w >> std::ws, text) || text.size() > 500)
      return fail(std::string(path) + ":" + std::to_string(n), "expected <number> <class> <text>");
    std::vector<uint8_t> rec(8 + text.size());
    st_le32(rec.data(), 0, number);
    st_le16(rec.data(), 4, uint16_t(cls));
    st_le16(rec.data(), 6, uint16_t(text.size()));
    memcpy(rec.data() + 8, text.data(), text.size());
    a->arb_rec = rec.data();
    a->arb_len = a->arb_var_len = uint16_t(rec.size());
    a->arb_keyno = 0, a->arb_key = nullptr, a->arb_mod = 0;
    if (!fm_write(a)) return fail(path, "message " + std::to_string(number) + " not written");
  }
  return FM_CLOSE(a, 0);
}

void runtime_tokens(FDB* f, KDB* k, SDB* s) { INIT_DTOKEN_FDB(f, k, s, "0LA", "00"); }

// One OPT row: type 0, the group, a character that tells apart the names
// of one code (blank for the first, which answers by code), code, name.
bool write_option(ARB* a, int32_t code, char nth, const std::string& name) {
  uint8_t rec[kTokRecLen];
  memset(rec, ' ', sizeof rec);
  rec[TOK_SRC] = 0;
  memcpy(rec + TOK_GROUP, "OPT", 3);
  rec[TOK_GROUP + kTokenGroupLen] = uint8_t(nth);
  st_le32(rec, TOK_CODE, uint32_t(code));
  memcpy(rec + TOK_TEXT, name.data(), name.size());
  a->arb_rec = rec;
  a->arb_len = a->arb_var_len = kTokRecLen;
  a->arb_keyno = 0, a->arb_key = nullptr, a->arb_mod = 0;
  return fm_write(a) || a->arb_stat == FM_DUP_KEY;
}

bool write_options(const char* path) {
  std::ifstream in(path);
  if (!in) return fail(path, "cannot read");
  open_file f;
  ARB* a = open_or_create(&f, runtime_tokens, "TOKEN");
  if (!a) return false;
  std::map<int32_t, char> named;  // codes seen, and the last character given
  int n = 0;
  for (std::string line; std::getline(in, line);) {
    ++n;
    if (line.empty() || line[0] == '#') continue;
    std::istringstream w(line);
    int32_t code = 0;
    std::string name;
    if (!(w >> code) || !std::getline(w >> std::ws, name) || name.empty() || name.size() > kOptNameLen)
      return fail(std::string(path) + ":" + std::to_string(n), "expected <code> <name of at most 30 characters>");
    const auto seen = named.find(code);
    const char nth = seen == named.end() ? ' ' : seen->second == ' ' ? '1' : char(seen->second + 1);
    if (nth > '9') return fail(std::string(path) + ":" + std::to_string(n), "more than ten names for one code");
    named[code] = nth;
    if (!write_option(a, code, nth, name)) return fail(path, "option " + name + " not written");
  }
  return FM_CLOSE(a, 0);
}

// A key as read from the table: a terminfo capability or literal bytes.
struct key_source {
  std::string cap, bytes, name;  // bytes: the literal, or the fallback of a cap
};

bool parse_literal(const std::string& q, std::string* out) {
  for (size_t i = 1; i + 1 < q.size(); ++i) {
    if (q[i] != '\\') {
      *out += q[i];
    } else if (++i + 1 < q.size()) {
      if (q[i] == 'r') *out += '\r';
      else if (q[i] == 't') *out += '\t';
      else if (q[i] >= '0' && q[i] <= '7') {
        int v = 0, d = 0;
        for (; d < 3 && q[i] >= '0' && q[i] <= '7'; ++d, ++i) v = v * 8 + (q[i] - '0');
        --i;
        *out += char(v);
      } else {
        *out += q[i];
      }
    }
  }
  return !out->empty() && *out != "\x1b";
}

// A terminal type of DFLTMAP and the terminfo entry its keys are read from:
// "name" alone, or "name=entry" for a type without an entry of its own.
struct key_type {
  std::string name, entry;
};

bool read_keys(const char* path, std::vector<key_type>* types, std::vector<key_source>* keys) {
  std::ifstream in(path);
  if (!in) return fail(path, "cannot read");
  int n = 0;
  for (std::string line; std::getline(in, line);) {
    ++n;
    std::istringstream w(line);
    std::string first, name;
    if (!(w >> first) || first[0] == '#') continue;
    const std::string where = std::string(path) + ":" + std::to_string(n);
    if (first == "types") {
      for (std::string t; w >> t;) {
        const size_t eq = t.find('=');
        types->push_back(eq == std::string::npos ? key_type{t, t} : key_type{t.substr(0, eq), t.substr(eq + 1)});
      }
      continue;
    }
    std::string fallback;
    if (first[0] != '"' && (w >> std::ws).peek() == '"') w >> fallback;
    std::getline(w >> std::ws, name);
    key_source k{"", "", name};
    if (first[0] == '"' ? !parse_literal(first, &k.bytes)
                        : ((k.cap = first), !fallback.empty() && !parse_literal(fallback, &k.bytes)))
      return fail(where, "a key is a capability or quoted bytes, never ESC alone");
    if (keys->size() == kPhysKeys || name != tm_phys_key_names[keys->size()])
      return fail(where, "expected the physical key " +
                             std::string(keys->size() < kPhysKeys ? tm_phys_key_names[keys->size()] : "(none)"));
    keys->push_back(k);
  }
  if (keys->size() != kPhysKeys) return fail(path, "not every physical key is given");
  return true;
}

// The type's bytes of each key, from its terminfo entry.
bool phys_of(const key_type& kt, const std::vector<key_source>& keys, kd_keys& phys) {
  const std::string& type = kt.name;
  int err = 0;
  if (setupterm(kt.entry.c_str(), 2, &err) != OK) return fail(type, "no terminfo entry " + kt.entry);
  for (int i = 0; i < kPhysKeys; ++i) {
    std::string b = keys[i].bytes;
    if (!keys[i].cap.empty()) {
      char* s = tigetstr(keys[i].cap.c_str());
      const bool have = s && s != reinterpret_cast<char*>(-1) && *s;
      if (!have && b.empty()) return fail(type, "terminfo has no " + keys[i].cap + " for " + keys[i].name);
      if (have) b = s;
    }
    if (b.size() > size_t(kKeystrokeMax) || b == "\x1b") return fail(type, keys[i].name + ": unusable bytes");
    for (int j = 0; j < kKeystrokeMax; ++j) phys[i][j] = j < int(b.size()) ? uint8_t(b[j]) : kKeystrokeEnd;
  }
  del_curterm(cur_term);
  return true;
}

bool write_dfltmap(const char* path) {
  std::vector<key_type> types;
  std::vector<key_source> keys;
  if (!read_keys(path, &types, &keys)) return false;
  open_file f;
  ARB* a = open_or_create(&f, INIT_DDFLTMAP_FDB, "DFLTMAP");
  if (!a) return false;
  for (const key_type& kt : types) {
    const std::string& type = kt.name;
    kd_keys phys;
    std::vector<kd_combo> combos;
    if (!phys_of(kt, keys, phys)) return false;
    std::vector<std::string> faults = keymap_faults(phys, &combos);
    for (const std::string& s : faults) fail(type, s);
    if (!faults.empty()) return false;
    char term[10];
    memset(term, ' ', sizeof term);
    memcpy(term, type.data(), std::min(type.size(), sizeof term));
    for (const char* name : {"MENU ENTRY", "DATA ENTRY"})
      if (delete_keymaps(a, term, "   ", name) != 1) return fail(type, "old keymap not deleted");
    if (uint32_t st = write_keymaps(a, term, "   ", combos); st != 1)
      return fail(type, "DFLTMAP write failed, status " + std::to_string(st));
  }
  return FM_CLOSE(a, 0);
}

bool write_appl_and_user() {
  open_file f;
  ARB* a = open_or_create(&f, INIT_DAP_FDB, "APPL");
  if (!a) return false;
  if (uint32_t st = write_sys_appls(a); st != 1) return fail("APPL", "write failed, status " + std::to_string(st));
  FM_CLOSE(a, 0);
  ARB* u = open_or_create(&f, INIT_DUSR_FDB, "USER");
  return u && FM_CLOSE(u, 0);
}

}  // namespace

int main(int argc, char** argv) {
  kivo::os_std_descriptors();  // before anything is opened
  const bool apps_only = argc == 5 && strcmp(argv[1], "-d") == 0 && strcmp(argv[3], "-a") == 0;
  if ((argc != 6 && argc != 7 && !apps_only) || strcmp(argv[1], "-d") != 0) {
    fprintf(stderr,
            "usage: kivo_install -d <data directory> <messages> <keys> <options> [<applications>]\n"
            "       kivo_install -d <data directory> -a <applications>\n");
    return 1;
  }
  static std::string dir = argv[2];
  com_fill(0, nullptr);
  mm_init();
  fm_register_hooks();
  sys_err_plain_lines("kivo_install");
  fms_select.get_dap = any_application;
  fm_sa_hooks.get_ddb = install_database;
  com.data_dir = cstr{static_cast<uint16_t>(dir.size()), dir.data()};
  com.path_root = cstr{0, nullptr};
  if (fm_init() != 1) return fprintf(stderr, "kivo_install: no start in %s\n", argv[2]), 1;
  if (apps_only) {
    if (la_init()) la_slct("00", com.sys_scope);  // the texts of the statuses it prints
    return write_applications(argv[4]) ? 0 : 1;
  }
  const bool ok = write_appl_and_user() && write_messages(argv[3]) && write_dfltmap(argv[4]) &&
                  write_options(argv[5]) && (argc == 6 || write_applications(argv[6]));
  return ok ? 0 : 1;
}
