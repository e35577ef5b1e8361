// Memory files against a model: random writes, reads, starts, rewrites and
// deletes on a file of three keys, with three streams each positioned on its
// own key whose every next record the model predicts. KIVO_STRESS_SCALE
// multiplies the 100,000 operations of each of the two block sizes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <random>
#include <string>

#include "foundation/bytes.h"
#include "memfile_test_util.h"

namespace kivo {
namespace {

using test::key_def;
using test::mem_handle;
using test::seg_def;

// Record: key 1 (duplicates) a signed word at 0; key 0 (unique) 6 characters
// at 2; key 2 (unique, descending, written deferred) 6 characters at 8
// derived from key 0; the model's serial at 14; payload to the stored length.
constexpr uint16_t kRecLen = 40;
constexpr int kSerial = 14;

// A key value with its order of entry into the key (duplicates keep it).
struct entry {
  std::string v;
  uint64_t seq;
  bool operator<(const entry& o) const { return v != o.v ? v < o.v : seq < o.seq; }
};

// One key of the model: the entries in key order, each naming its serial.
struct model_key {
  std::map<entry, uint32_t> entries;
  bool descending = false;
  std::string ord(std::string v) const {
    if (descending)
      for (char& c : v) c = char(255 - uint8_t(c));
    return v;
  }
};

// Where a stream stands, as its next read-next sees it.
struct model_stream {
  enum { idle, before, after, strict, from, from_after } kind = before;
  entry at{};        // after: the entry last returned; strict/from: the value
  bool at4 = false;  // strict: still at the entry that followed a removed one
};

std::string key_of(const std::string& rec, int k) {
  if (k == 1) {
    int16_t w = int16_t(ld_le16(reinterpret_cast<const uint8_t*>(rec.data()), 0));
    char b[2] = {char(uint8_t((uint16_t(w) ^ 0x8000) >> 8)), char(uint8_t(w))};  // ordered as signed
    return std::string(b, 2);
  }
  return rec.substr(k == 0 ? 2 : 8, 6);
}

class Model {
 public:
  explicit Model(uint32_t per_mib)
      : file_("MODEL", kRecLen, {{1, '+', {{0, 2, SDB_BINARY}}, 0, KDB_DUP}, {0, '+', {{2, 6}}}, {2, '-', {{8, 6}}}},
              true, per_mib) {
    key_[2].descending = true;
    for (int i = 0; i < 3; ++i) stream_[i] = file_.handle();
    worker_ = file_.handle();
    for (int i = 0; i < 3; ++i) restart(i);
  }

  void run(int ops, std::mt19937& rng) {
    for (int op = 1; op <= ops; ++op) {
      int r = std::uniform_int_distribution<int>(0, 99)(rng);
      if (r < 35) write(rng);
      else if (r < 55) rewrite(rng);
      else if (r < 72) del(rng);
      else if (r < 88) read(rng);
      else start(rng);
      for (int i = 0; i < 3; ++i) check_next(i, op);
      if (op % 1000 == 0) {
        ASSERT_EQ(mm_check(file_.f()), "") << "op " << op << " kind " << r;
        ASSERT_EQ(file_.f()->nrecs, recs_.size());
      }
      if (::testing::Test::HasFatalFailure()) return;
    }
    EXPECT_GT(deferred_builds_, 10);
    EXPECT_GT(dup_refusals_, 10);
  }

 private:
  int pick(std::mt19937& rng, int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); }

  std::string new_k0(std::mt19937& rng) {
    std::string s(6, 'a');
    for (char& c : s) c = char('a' + pick(rng, 0, 2));
    return s;
  }
  std::string make(std::mt19937& rng, const std::string& k0, uint32_t serial) {
    std::string rec(size_t(pick(rng, 18, kRecLen)), '\0');
    auto* p = reinterpret_cast<uint8_t*>(rec.data());
    st_le16(p, 0, uint16_t(int16_t(pick(rng, -12, 12))));
    memcpy(p + 2, k0.data(), 6);
    for (int i = 0; i < 6; ++i) p[8 + i] = uint8_t('z' - (k0[i] - 'a'));
    st_le32(p, kSerial, serial);
    for (size_t i = 18; i < rec.size(); ++i) p[i] = uint8_t(pick(rng, 1, 255));
    return rec;
  }

  // Some record of the model, by its key 0 value, or empty.
  std::string any_k0(std::mt19937& rng) {
    if (recs_.empty()) return "";
    auto it = key_[0].entries.begin();
    std::advance(it, pick(rng, 0, int(key_[0].entries.size()) - 1));
    return it->first.v;
  }

  void insert_key(int k, uint32_t serial) {
    model_key& mk = key_[k];
    entry w{mk.ord(key_of(recs_[serial], k)), ++seq_};
    mk.entries[w] = serial;
    // A stream waiting at the entry that followed a removed one searches
    // again once a record is put in front of that entry.
    model_stream& s = pos_[k];
    if (s.kind == model_stream::strict && s.at4) {
      const auto* first = first_after(mk, s);
      if (w.v == s.at.v || (first && first->first.seq == w.seq)) s.at4 = false;
    }
  }
  // Takes the serial's entry out of key k; the stream on that key moves as
  // the index moves it.
  void remove_key(int k, uint32_t serial) {
    model_key& mk = key_[k];
    model_stream& s = pos_[k];
    std::string v = mk.ord(key_of(recs_[serial], k));
    auto it = mk.entries.lower_bound({v, 0});
    while (it->second != serial) ++it;
    entry gone = it->first;
    bool last = std::next(it) == mk.entries.end();
    const auto* waiting_at = s.kind == model_stream::strict && s.at4 ? first_after(mk, s) : nullptr;
    bool waiting_on_gone = waiting_at && waiting_at->first.seq == gone.seq;
    mk.entries.erase(it);
    auto eq = mk.entries.lower_bound({v, 0});
    bool equal_left = eq != mk.entries.end() && eq->first.v == v;
    if (s.kind == model_stream::after && s.at.seq == gone.seq && !equal_left) {
      s = {model_stream::strict, gone, !last};
    } else if (waiting_on_gone && last) {
      s = {model_stream::strict, gone, false};
    }
  }
  static const std::pair<const entry, uint32_t>* first_after(const model_key& mk, const model_stream& s) {
    std::map<entry, uint32_t>::const_iterator it;
    switch (s.kind) {
      case model_stream::before: it = mk.entries.begin(); break;
      case model_stream::after: it = mk.entries.upper_bound(s.at); break;
      case model_stream::strict:
      case model_stream::from_after: it = mk.entries.upper_bound({s.at.v, UINT64_MAX}); break;
      case model_stream::from: it = mk.entries.lower_bound({s.at.v, 0}); break;
      default: return nullptr;
    }
    return it == mk.entries.end() ? nullptr : &*it;
  }

  void write(std::mt19937& rng) {
    uint32_t serial = ++serial_;
    std::string rec = make(rng, new_k0(rng), serial);
    ARB* a = worker_.arb;
    a->arb_rec = reinterpret_cast<uint8_t*>(rec.data());
    a->arb_len = kRecLen;
    a->arb_var_len = uint16_t(rec.size());
    a->arb_mod = pick(rng, 0, 1) ? ARB_DEFER_KEYS : 0;
    bool dup = key_[0].entries.lower_bound({key_of(rec, 0), 0}) != key_[0].entries.end() &&
               key_[0].entries.lower_bound({key_of(rec, 0), 0})->first.v == key_of(rec, 0);
    int ok = mm_write(a, worker_.strm);
    ASSERT_EQ(ok, dup ? 0 : 1);
    if (dup) {
      ++dup_refusals_;
      ASSERT_EQ(a->arb_stat, uint32_t{FM_DUP_KEY});
      return;
    }
    recs_[serial] = rec;
    for (int k = 0; k < 3; ++k) insert_key(k, serial);
    if (file_.f()->ndx[2].flags & MNDX_DEFERRED) was_deferred_ = true;
  }

  // Reads the record of a key 0 value with a hold; its serial or 0.
  uint32_t hold(const std::string& k0) {
    ARB* a = worker_.arb;
    uint8_t buf[kRecLen] = {};
    memcpy(buf + 2, k0.data(), 6);
    a->arb_rec = buf;
    a->arb_len = kRecLen;
    a->arb_keyno = 0;
    a->arb_key_end = nullptr;
    a->arb_mod = ARB_EQUAL | ARB_HOLD;
    if (!mm_read(a, worker_.strm)) return 0;
    return ld_le32(buf, kSerial);
  }

  void rewrite(std::mt19937& rng) {
    std::string k0 = any_k0(rng);
    if (k0.empty()) return;
    uint32_t serial = hold(k0);
    ASSERT_EQ(serial, key_[0].entries.lower_bound({k0, 0})->second);
    std::string rec = make(rng, pick(rng, 0, 2) ? k0 : new_k0(rng), serial);
    if (pick(rng, 0, 3) == 0) rec = recs_[serial];  // unchanged
    ARB* a = worker_.arb;
    a->arb_rec = reinterpret_cast<uint8_t*>(rec.data());
    a->arb_var_len = uint16_t(rec.size());
    a->arb_mod = 0;
    std::string nk0 = key_of(rec, 0);
    auto it = key_[0].entries.lower_bound({nk0, 0});
    bool dup = nk0 != k0 && it != key_[0].entries.end() && it->first.v == nk0;
    int ok = mm_rewrite(a, worker_.strm);
    ASSERT_EQ(ok, dup ? 0 : 1);
    if (dup) {
      ++dup_refusals_;
      return;
    }
    std::string old = recs_[serial];
    for (int k = 0; k < 3; ++k)
      if (key_of(old, k) != key_of(rec, k)) {
        remove_key(k, serial);
        recs_[serial] = rec;
        insert_key(k, serial);
        recs_[serial] = old;
      }
    recs_[serial] = rec;
  }

  void del(std::mt19937& rng) {
    std::string k0 = any_k0(rng);
    if (k0.empty()) return;
    uint32_t serial = hold(k0);
    ASSERT_NE(serial, 0u);
    worker_.arb->arb_mod = pick(rng, 0, 1) ? ARB_DEFER_KEYS : 0;
    ASSERT_EQ(mm_del(worker_.arb, worker_.strm), 1);
    for (int k = 0; k < 3; ++k) remove_key(k, serial);
    recs_.erase(serial);
  }

  // Exact, after and prefix reads on key 0 through the worker.
  void read(std::mt19937& rng) {
    std::string k0 = pick(rng, 0, 1) ? any_k0(rng) : new_k0(rng);
    if (k0.empty()) k0 = "aaaaaa";
    ARB* a = worker_.arb;
    uint8_t buf[kRecLen] = {}, key[6];
    memcpy(buf + 2, k0.data(), 6);
    memcpy(key, k0.data(), 6);
    a->arb_rec = buf;
    a->arb_len = kRecLen;
    a->arb_keyno = 0;
    a->arb_key_end = nullptr;
    a->arb_key = key;
    a->arb_key_len = 3;
    int how = pick(rng, 0, 2);
    a->arb_mod = how == 0 ? ARB_EQUAL : how == 1 ? ARB_AFTER : ARB_PARTIAL;
    const auto& m = key_[0].entries;
    std::map<entry, uint32_t>::const_iterator want;
    if (how == 0) {
      want = m.lower_bound({k0, 0});
      if (want != m.end() && want->first.v != k0) want = m.end();
    } else if (how == 1) {
      want = m.upper_bound({k0, UINT64_MAX});
    } else {
      want = m.lower_bound({k0.substr(0, 3), 0});
    }
    int ok = mm_read(a, worker_.strm);
    if (want == m.end()) {
      ASSERT_EQ(ok, 0) << "read " << how << " " << k0;
      ASSERT_EQ(a->arb_stat, how == 0 ? uint32_t{FM_NOT_FOUND} : uint32_t{FM_EOF});
    } else {
      ASSERT_EQ(ok, 1) << "read " << how << " " << k0;
      ASSERT_EQ(ld_le32(buf, kSerial), want->second);
    }
  }

  // A stream starts at a key value, or at the first record.
  void start(std::mt19937& rng) {
    int i = pick(rng, 0, 2);
    if (pos_[i].kind == model_stream::idle && i == 2 && pick(rng, 0, 3)) return;
    ARB* a = stream_[i].arb;
    a->arb_keyno = uint8_t(i);
    a->arb_key_end = nullptr;
    uint8_t buf[kRecLen] = {};
    std::string probe = make(rng, new_k0(rng), 0);
    memcpy(buf, probe.data(), 18);
    a->arb_rec = buf;
    if (pick(rng, 0, 3) == 0) {
      a->arb_mod = ARB_FIRST;
      pos_[i] = {model_stream::before, {}};
    } else {
      bool after = pick(rng, 0, 1);
      a->arb_mod = after ? ARB_AFTER : 0;
      pos_[i] = {after ? model_stream::from_after : model_stream::from, {key_[i].ord(key_of(probe, i)), 0}};
    }
    ASSERT_EQ(mm_start(a, stream_[i].strm), 1);
    if (i == 2 && was_deferred_) ++deferred_builds_, was_deferred_ = false;
  }

  void restart(int i) {
    stream_[i].arb->arb_keyno = uint8_t(i);
    stream_[i].arb->arb_mod = ARB_FIRST;
    mm_start(stream_[i].arb, stream_[i].strm);
    pos_[i] = {model_stream::before, {}};
    if (i == 2 && was_deferred_) ++deferred_builds_, was_deferred_ = false;
  }

  void check_next(int i, int op) {
    if (pos_[i].kind == model_stream::idle) {
      if (--idle_[i] <= 0) restart(i);
      return;
    }
    const auto* want = first_after(key_[i], pos_[i]);
    uint8_t buf[kRecLen];
    ARB* a = stream_[i].arb;
    a->arb_rec = buf;
    a->arb_len = kRecLen;
    a->arb_mod = 0;
    int ok = mm_rdnxt(a, stream_[i].strm);
    if (!want) {
      ASSERT_EQ(ok, 0) << "stream " << i << " op " << op;
      ASSERT_EQ(a->arb_stat, uint32_t{FM_EOF}) << "stream " << i << " op " << op;
      pos_[i] = {model_stream::idle, {}};
      idle_[i] = i == 2 ? 25 : 0;
      if (i != 2) restart(i);
      return;
    }
    ASSERT_EQ(ok, 1) << "stream " << i << " op " << op << " status " << a->arb_stat;
    ASSERT_EQ(ld_le32(buf, kSerial), want->second) << "stream " << i << " op " << op;
    ASSERT_EQ(a->arb_var_len, recs_[want->second].size());
    ASSERT_EQ(memcmp(buf, recs_[want->second].data(), a->arb_var_len), 0);
    pos_[i] = {model_stream::after, want->first};
  }

  test::mem_file file_;
  mem_handle stream_[3], worker_;
  model_key key_[3];
  model_stream pos_[3];
  int idle_[3] = {};
  std::map<uint32_t, std::string> recs_;
  uint32_t serial_ = 0;
  uint64_t seq_ = 0;
  int deferred_builds_ = 0, dup_refusals_ = 0;
  bool was_deferred_ = false;
};

class MemFileModel : public test::FmFresh {};

TEST_F(MemFileModel, RandomOperationsMatchTheModelWithThreePositionedStreams) {
  for (uint32_t per_mib : {3u, 25u}) {
    SCOPED_TRACE(per_mib);
    std::mt19937 rng(per_mib * 7919);
    Model model(per_mib);
    const char* scale = getenv("KIVO_STRESS_SCALE");
    model.run(100000 * std::clamp(scale ? atoi(scale) : 1, 1, 1000), rng);
    if (HasFatalFailure()) return;
  }
}

}  // namespace
}  // namespace kivo
