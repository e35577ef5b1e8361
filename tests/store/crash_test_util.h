// Helpers of the crash tests: the writer's messages to the parent (what it
// is about to do, what it did), the records it writes, and the check of a
// pair after the writer was killed.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "../fixtures/hook_override.h"
#include "foundation/foundation.h"
#include "record_test_util.h"
#include "store_test_util.h"

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
  char code[16];  // room for any id, though the tests' ids take 5 digits
  snprintf(code, sizeof code, "K%05u", id);
  return make_rec(id, num % 3 == 0 ? "" : code, num % 5 == 0 ? 0 : num, body, static_cast<uint8_t>(id + num));
}

inline std::string id_text(uint32_t id) {
  return std::string(reinterpret_cast<const char*>(record_of(id, 1, 0).data()), kIdLen);
}

using record_model = std::map<std::string, std::vector<uint8_t>>;

// Every record some writer wrote, or was about to write when it died.
using written_set = std::set<std::vector<uint8_t>>;

// What the writer said before it died: acknowledged writes go into `model`;
// *pending gets the write in flight, if any, and `written` (when given) every
// record it set out to write. "" or the first failed write.
inline std::string read_messages(int fd, record_model* model, bool* pending, wire_msg* intent, long* acked,
                                 written_set* written = nullptr) {
  wire_msg m{};
  *pending = false;
  while (read(fd, &m, sizeof m) == static_cast<ssize_t>(sizeof m)) {
    if (m.kind == kIntent) {
      *intent = m;
      *pending = true;
      if (written && m.op != kDelete) written->insert(record_of(m.id, m.num, m.body));
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

// A pair of `n` records under the three keys, and the model of it; each
// body `grow` bytes longer than the one before.
inline void make_pair(const std::string& base, uint32_t n, uint16_t body, record_model* model, uint16_t grow = 0) {
  int st;
  BRF_FILE* f = brfopen(&st, base.c_str(), BRF_CREATE, 0, false);
  ASSERT_NE(f, nullptr);
  BRF_RCB* r = brfaccess(&st, f, 0, false);
  ASSERT_EQ(brf_upd_ver(f), BRF_OK);
  ASSERT_EQ(set_three_keys(r), BRF_OK);
  for (uint32_t id = 0; id < n; ++id) {
    std::vector<uint8_t> rec = record_of(id, id * 1000 + 500, static_cast<uint16_t>(body + id * grow));
    ASSERT_EQ(brfput(r, rec.data(), static_cast<uint32_t>(rec.size())), BRF_OK);
    (*model)[id_text(id)] = rec;
  }
  brfdeaccess(r);
  brfclose(f);
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

// A second session on the pair, the three keys in use, key 0 current.
struct session {
  BRF_FILE* f = nullptr;
  BRF_RCB* r = nullptr;
  explicit session(const std::string& base) {
    int st;
    f = brfopen(&st, base.c_str(), 0, 0, false);
    r = f ? brfaccess(&st, f, 0, false) : nullptr;
    if (r && use_three_keys(r) != BRF_OK) {
      brfdeaccess(r);
      r = nullptr;
    }
  }
  ~session() {
    if (r) brfdeaccess(r);
    if (f) brfclose(f);
  }
};

// Opens the pair and reads through key 0, which repairs a pair that a dead
// writer left marked; then checks it. "" when sound; `active` gets its
// records.
inline std::string reopen_and_check(const std::string& base, record_model* active) {
  {
    session s(base);
    if (!s.r) return "keys not found";
    std::vector<uint8_t> buf(70000);
    uint32_t len = 0;
    int st = brffirst(s.r, buf.data(), buf.size(), &len);
    if (st != BRF_OK && st != BRF_EOF) return "first read gave " + std::to_string(st);
  }
  return check_pair(base, active);
}

// "" when every live record of the data file, read from its bytes, is one
// that some writer wrote, whole, and (`one_per_id`) no id lives twice.
inline std::string only_written(const std::string& base, const written_set& written, bool one_per_id = true) {
  std::vector<data_record> recs;
  std::string err = walk_data(read_file(base + ".dat"), &recs);
  if (!err.empty()) return err;
  std::set<std::string> ids;
  for (const data_record& r : recs) {
    if (r.flags & (kRecDeleted | kRecNotUser)) continue;
    if (!written.count(r.body)) return "a record no writer wrote at seek " + std::to_string(r.seek);
    std::string id(r.body.begin(), r.body.begin() + std::min<size_t>(kIdLen, r.body.size()));
    if (!ids.insert(id).second && one_per_id) return "two live records of id " + id;
  }
  return "";
}

// The check after a kill of writers on ids of their own: the pair sound once
// reopened, holding `model` (each write in flight, one of `pending`, old or
// new) and nothing else, only records some writer wrote (`written`, when
// given), and an insert of each victim's id refused exactly when its record
// lives. The model is brought to what the pair holds. "" when all is well.
inline std::string check_after_kills(const std::string& base, record_model* model, const std::vector<wire_msg>& pending,
                                     const written_set* written = nullptr) {
  record_model active;
  std::string err = reopen_and_check(base, &active);
  if (err.empty() && written) err = only_written(base, *written);
  std::map<std::string, wire_msg> victims;
  for (const wire_msg& m : pending) victims[id_text(m.id)] = m;
  for (const auto& [id, bytes] : *model) {
    if (!err.empty()) break;
    if (victims.count(id)) continue;
    if (!active.count(id)) err = "lost " + id;
    else if (active[id] != bytes) err = "changed " + id;
  }
  for (const auto& [id, bytes] : active) {
    if (!err.empty()) break;
    auto v = victims.find(id);
    if (v == victims.end()) {
      if (!model->count(id)) err = "never written " + id;
      continue;
    }
    const wire_msg& intent = v->second;
    bool old_state = model->count(id) && (*model)[id] == bytes;
    bool new_state = intent.op != kDelete && bytes == record_of(intent.id, intent.num, intent.body);
    if (!old_state && !new_state) err = "neither old nor new " + id;
  }
  for (const auto& [victim, intent] : victims) {
    if (!err.empty()) break;
    session s(base);
    std::vector<uint8_t> probe = make_rec(intent.id, "", 0, 3, 0x5A);
    int want = active.count(victim) ? BRF_DUP_KEY : BRF_OK;
    int st = s.r ? brfput(s.r, probe.data(), static_cast<uint32_t>(probe.size())) : -1;
    if (st != want) err = "insert of the victim's id gave " + std::to_string(st);
    else if (st == BRF_OK && brfdelete(s.r) != BRF_OK) err = "probe not deleted";
    if (active.count(victim)) (*model)[victim] = active[victim];
    else model->erase(victim);
  }
  return err;
}

// The same after the kill of one writer, its write `intent` in flight when
// `pending`.
inline std::string check_after_kill(const std::string& base, record_model* model, bool pending, const wire_msg& intent,
                                    const written_set* written = nullptr) {
  std::vector<wire_msg> in_flight;
  if (pending) in_flight.push_back(intent);
  return check_after_kills(base, model, in_flight, written);
}

// Processes on one pair at `base_` ("p" in a fresh directory); `spawn` runs
// a child as an engine process of its own, a hang bounded.
class process_fixture : public ::testing::Test {
 protected:
  void SetUp() override {
    com_fill(0, nullptr);
    hooks_.set(foundation_seams.err_presenter, quiet);
    brfinit();
    base_ = dir_.file("p");
  }
  template <typename Fn>
  pid_t spawn(Fn fn) {
    pid_t pid = fork();
    if (pid == 0) {
      fd_cache_after_fork();
      alarm(120);  // a hang fails the test instead of stopping it
      _exit(fn());
    }
    return pid;
  }
  scratch_dir dir_;
  std::string base_;
  kivo_test::hook_overrides hooks_;
};

}  // namespace kivo::test
