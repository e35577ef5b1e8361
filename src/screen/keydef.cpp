// Key definition without the dialogue (keydef.h): combinations, checks,
// order and the KEYMAP records.
#include "screen/keydef.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "fm/fm_open.h"
#include "fm/fm_record.h"
#include "fm/fm_status.h"
#include "foundation/bytes.h"
#include "foundation/com.h"
#include "foundation/descriptors.h"
#include "foundation/scope.h"

namespace kivo {

namespace {

// <0, 0, >0 as a's list sorts before, with, after b's; an ended list
// before its extensions.
int compare_keys(const uint16_t* a, const uint16_t* b) {
  for (int i = 0; i < kKeystrokeMax; ++i) {
    if (a[i] == b[i]) continue;
    if (a[i] == kKeystrokeEnd) return -1;
    if (b[i] == kKeystrokeEnd) return 1;
    return a[i] < b[i] ? -1 : 1;
  }
  return 0;
}

void put_keymap_head(uint8_t* rec, const char* term10, const char* user_id, const char* name10, uint16_t seq) {
  memset(rec, 0xFF, KEYMAP_RECORD_SIZE);  // 65535 ends the codes and each keystroke list
  memcpy(rec + KEYMAP_TERM_TYPE, term10, 10);
  memcpy(rec + KEYMAP_USER, user_id, 3);
  memcpy(rec + KEYMAP_NAME, name10, 10);
  rec[KEYMAP_BLANK] = ' ';
  st_le16(rec, KEYMAP_SEQ, seq);
}

}  // namespace

std::vector<kd_combo> make_all_keys(const kd_keys& phys, std::vector<size_t>* too_long) {
  std::vector<kd_combo> out;
  uint16_t parts[5];
  for (size_t i = 0; i < kAllCombos; ++i) {
    kd_combo c{};
    c.code = tm_combo_parts(i, parts);
    if (tm_make_combo(phys, parts, c.keys) < 0) {
      if (too_long) too_long->push_back(i);
      continue;
    }
    out.push_back(c);
  }
  return out;
}

int check_dupe_keys(const kd_keys& phys, int* a, int* b) {
  for (int i = 1; i < kPhysKeys; ++i)
    for (int j = 0; j < i; ++j)
      if (memcmp(phys[i], phys[j], sizeof phys[i]) == 0) return *a = j, *b = i, 1;
  return 0;
}

std::vector<kd_conflict> check_dupe_combos(const std::vector<kd_combo>& combos) {
  std::vector<kd_conflict> out;
  for (size_t i = 1; i < combos.size(); ++i)
    for (size_t j = 0; j < i; ++j) {
      const uint16_t *x = combos[j].keys, *y = combos[i].keys;
      int k = 0;
      while (k < kKeystrokeMax && x[k] == y[k]) ++k;
      if (k == kKeystrokeMax) out.push_back({j, i, true});
      else if (x[k] == kKeystrokeEnd || y[k] == kKeystrokeEnd) out.push_back({j, i, false});
    }
  return out;
}

void sort_all_keys(std::vector<kd_combo>& combos) {
  std::stable_sort(combos.begin(), combos.end(),
                   [](const kd_combo& a, const kd_combo& b) { return compare_keys(a.keys, b.keys) < 0; });
}

uint32_t write_keymaps(ARB* file, const char* term10, const char* user_id, const std::vector<kd_combo>& combos) {
  uint8_t rec[KEYMAP_RECORD_SIZE];
  for (const char* name : {"MENU ENTRY", "DATA ENTRY"})
    for (size_t k = 0; k * kKeymapSlots <= combos.size(); ++k) {
      put_keymap_head(rec, term10, user_id, name, uint16_t(k + 1));
      for (size_t i = 0; i < kKeymapSlots && k * kKeymapSlots + i < combos.size(); ++i) {
        const kd_combo& c = combos[k * kKeymapSlots + i];
        st_le16(rec, KEYMAP_CODES + 2 * i, c.code);
        for (int j = 0; j < kKeystrokeMax; ++j)
          st_le16(rec, KEYMAP_KEYSTROKES + (i * kKeystrokeMax + j) * 2, c.keys[j]);
      }
      file->arb_rec = rec;
      file->arb_len = file->arb_var_len = KEYMAP_RECORD_SIZE;
      file->arb_keyno = 0, file->arb_key = nullptr, file->arb_mod = 0;
      if (!fm_write(file)) return file->arb_stat ? file->arb_stat : FM_IO_ERR;
    }
  return 1;
}

uint32_t delete_keymaps(ARB* file, const char* term10, const char* user_id, const char* name10) {
  uint8_t key[23], rec[KEYMAP_RECORD_SIZE];
  memcpy(key, term10, 10);
  memcpy(key + 10, user_id, 3);
  memcpy(key + 13, name10, 10);
  uint32_t st = 1;
  // Each delete starts again, as a delete moves the stream on.
  for (;;) {
    file->arb_keyno = 0, file->arb_key = key, file->arb_key_len = sizeof key;
    file->arb_rec = rec, file->arb_len = KEYMAP_RECORD_SIZE;
    file->arb_mod = ARB_PARTIAL;
    if (!fm_start(file)) break;
    file->arb_mod = ARB_EQUAL | ARB_PARTIAL | ARB_HOLD;
    if (!fm_rdnxt(file)) break;
    file->arb_mod = 0;
    if (!fm_del(file)) {
      st = file->arb_stat;
      break;
    }
  }
  file->arb_key = nullptr, file->arb_mod = 0;
  return st;
}

uint32_t kd_store(ARB* file, const char* term10, const char* user_id, const std::vector<kd_combo>& combos) {
  for (const char* name : {"MENU ENTRY", "DATA ENTRY"})
    if (uint32_t st = delete_keymaps(file, term10, user_id, name); st != 1) return st;
  return write_keymaps(file, term10, user_id, combos);
}

ARB* kd_open_keymap(uint32_t* status) {
  static FDB fdb;
  static KDB kdb[kInitMaxKeys];
  static SDB sdb[kInitMaxSegs];
  INIT_DKEYMAP_FDB(&fdb, kdb, sdb);
  if (FM_OPEN(&fdb, com.sys_scope, LFB_ANY_DIR | LFB_NO_STRUCT_CHK, 15, 15)) return fdb.fdb_arb;
  INIT_DKEYMAP_FDB(&fdb, kdb, sdb);
  if (FM_CREATE(&fdb, com.sys_scope, 200, LFB_ANY_DIR | LFB_NO_STRUCT_CHK | LFB_OPEN_NEW, 15, 15)) return fdb.fdb_arb;
  *status = fdb.fdb_stat;
  return nullptr;
}

uint32_t kd_save(ARB* file, const char* term10, const char* user_id, const std::vector<kd_combo>& combos) {
  uint32_t st = 0;
  MARK(MARK_PROCESS, [&] {
    st = kd_store(file, term10, user_id, combos);
    if (st == 1 && !FM_CLOSE(file, 0)) st = file->arb_stat;
  });
  return st;
}

std::vector<std::string> keymap_faults(const kd_keys& phys, std::vector<kd_combo>* combos) {
  std::vector<std::string> out;
  char line[160];
  int a, b;
  if (check_dupe_keys(phys, &a, &b)) {
    snprintf(line, sizeof line, "identical keys: %s and %s", tm_phys_key_names[a], tm_phys_key_names[b]);
    out.push_back(line);
  }
  std::vector<size_t> too_long;
  *combos = make_all_keys(phys, &too_long);
  uint16_t parts[5];
  for (size_t i : too_long) {
    snprintf(line, sizeof line, "combination %u longer than %d values", tm_combo_parts(i, parts), kKeystrokeMax);
    out.push_back(line);
  }
  for (const kd_conflict& c : check_dupe_combos(*combos)) {
    char b1[12], b2[12];
    snprintf(line, sizeof line, "%s combinations: %s and %s", c.identical ? "identical" : "overlapping",
             tm_key_name((*combos)[c.first].code, b1), tm_key_name((*combos)[c.later].code, b2));
    out.push_back(line);
  }
  sort_all_keys(*combos);
  return out;
}

}  // namespace kivo
