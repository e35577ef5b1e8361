// Helpers of the crash tests: the writer's messages to the parent (what it
// is about to do, what it did), the records it writes, and the check of a
// pair after the writer was killed: a second session opens it (repairing it
// when the writer left it marked), the pair must then be sound and hold
// every acknowledged write, the write in flight old or new, and nothing
// else; a later insert of a victim's id is refused exactly when it survived.
#pragma once

#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "record_test_util.h"

namespace kivo::test {

enum : uint8_t { kIntent = 1, kDone = 2 };
enum : uint8_t { kPut = 1, kRewrite = 2, kDelete = 3 };

struct wire_msg {
  uint8_t kind, op;
  uint16_t body;
  uint32_t id, num, status;
};
static_assert(sizeof(wire_msg) == 16);

inline void send(int fd, const wire_msg& m) {
  if (write(fd, &m, sizeof m) != sizeof m) _exit(3);
}

// Record `num` of id `id`: the code is null when num % 3 == 0, the number
// when num % 5 == 0, so rewrites move entries in and out of those keys.
inline std::vector<uint8_t> record_of(uint32_t id, uint32_t num, uint16_t body) {
  char code[8];
  snprintf(code, sizeof code, "K%05u", id);
  return make_rec(id, num % 3 == 0 ? "" : code, num % 5 == 0 ? 0 : num, body, static_cast<uint8_t>(id + num));
}

inline std::string id_text(uint32_t id) {
  return std::string(reinterpret_cast<const char*>(record_of(id, 1, 0).data()), kIdLen);
}

using record_model = std::map<std::string, std::vector<uint8_t>>;

// What the writer said before it died: acknowledged writes go into `model`;
// *pending gets the write in flight, if any. "" or the first failed write.
inline std::string read_messages(int fd, record_model* model, bool* pending, wire_msg* intent, long* acked) {
  wire_msg m{};
  *pending = false;
  while (read(fd, &m, sizeof m) == static_cast<ssize_t>(sizeof m)) {
    if (m.kind == kIntent) {
      *intent = m;
      *pending = true;
      continue;
    }
    *pending = false;
    if (m.status != 0) return "op " + std::to_string(m.op) + " failed with " + std::to_string(m.status);
    ++*acked;
    if (m.op == kDelete) model->erase(id_text(m.id));
    else (*model)[id_text(m.id)] = record_of(m.id, m.num, m.body);
  }
  return "";
}

// Uses the three keys without creating them: their null images set, and no
// change made by this session yet.
inline int use_three_keys(BRF_RCB* r) {
  KEY_DESC k[3] = {id_key(), code_key(), num_key()};
  for (int i = 2; i >= 0; --i)
    if (int st = brfsetkey(r, &k[i], false, false, nullptr)) return st;
  return BRF_OK;
}

// Counts the repair announcements of this process.
inline int& repairs_seen() {
  static int n = 0;
  return n;
}
inline void count_repairs(const char*, int, const char* text) {
  if (strncmp(text, "repaired ", 9) == 0) ++repairs_seen();
}

// The second session after a kill: opens the pair and reads through key 0,
// which repairs a pair the writer left marked; then checks it against
// `model` (the write in flight, `intent` when `pending`, may be old or new)
// and brings the model to what the pair holds. "" when all is well.
inline std::string check_after_kill(const std::string& base, record_model* model, bool pending,
                                    const wire_msg& intent) {
  int st;
  BRF_FILE* f = brfopen(&st, base.c_str(), 0, 0, false);
  if (!f) return "open failed with " + std::to_string(st);
  BRF_RCB* r = brfaccess(&st, f, 0, false);
  std::vector<uint8_t> buf(70000);
  uint32_t len = 0;
  std::string err;
  if (!r || use_three_keys(r) != BRF_OK) err = "keys not found";
  if (err.empty()) {
    st = brffirst(r, buf.data(), buf.size(), &len);
    if (st != BRF_OK && st != BRF_EOF) err = "first read gave " + std::to_string(st);
  }
  record_model active;
  if (err.empty()) err = check_pair(base, &active);
  std::string victim = pending ? id_text(intent.id) : std::string();
  for (const auto& [id, bytes] : *model) {
    if (!err.empty()) break;
    if (id == victim) continue;
    if (!active.count(id)) err = "lost " + id;
    else if (active[id] != bytes) err = "changed " + id;
  }
  for (const auto& [id, bytes] : active) {
    if (!err.empty()) break;
    if (id != victim) {
      if (!model->count(id)) err = "never written " + id;
      continue;
    }
    bool old_state = model->count(id) && (*model)[id] == bytes;
    bool new_state = intent.op != kDelete && bytes == record_of(intent.id, intent.num, intent.body);
    if (!old_state && !new_state) err = "neither old nor new " + id;
  }
  // The victim's id: refused while its record lives, accepted (and taken
  // back) when it does not.
  if (err.empty() && pending) {
    std::vector<uint8_t> probe = make_rec(intent.id, "", 0, 3, 0x5A);
    int want = active.count(victim) ? BRF_DUP_KEY : BRF_OK;
    st = brfput(r, probe.data(), static_cast<uint32_t>(probe.size()));
    if (st != want) err = "insert of the victim's id gave " + std::to_string(st);
    else if (st == BRF_OK && brfdelete(r) != BRF_OK) err = "probe not deleted";
    if (active.count(victim)) (*model)[victim] = active[victim];
    else model->erase(victim);
  }
  if (r) brfdeaccess(r);
  brfclose(f);
  return err;
}

}  // namespace kivo::test
