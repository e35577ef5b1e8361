// The B-tree against std::multimap: random inserts, deletes and searches on
// unique and duplicate keys, ascending and descending segments of every
// kind, key lengths 10 and 250, with a full structural check of the file
// every 10,000 operations.
#include <gtest/gtest.h>

#include <map>
#include <random>

#include "btree_test_util.h"
#include "foundation/com.h"
#include "types/pd.h"

namespace kivo {
namespace {

using test::scratch_dir;

static int kCheckEvery = getenv("KIVO_BT_CHECK_EVERY") ? atoi(getenv("KIVO_BT_CHECK_EVERY")) : 10000;
constexpr int kTotalOps = 1000000;  // over the four configurations

struct config {
  const char* name;
  KEY_DESC desc;
  int user_len;  // key bytes before the appended record id (dup keys)
  bool dup;      // the last segment is a record id making keys unique
  int values;    // distinct user values
};

// A byte string whose memcmp order is the segment order: the model's own
// account of how keys sort.
std::string sort_form(const KEY_DESC& d, const uint8_t* key, int nsegs) {
  std::string out;
  int off = 0;
  for (int s = 0; s < nsegs; ++s) {
    const BT_SEG& sg = d.seg[s];
    const uint8_t* p = key + off;
    std::string part;
    switch (seg_kind_of_type(sg.type)) {
      case seg_kind::chars: part.assign(reinterpret_cast<const char*>(p), sg.len); break;
      case seg_kind::signed_bin:
      case seg_kind::unsigned_bin: {
        int64_t v = sg.len == 1 ? p[0] : sg.len == 2 ? ld_le16(p, 0) : ld_le32(p, 0);
        if (seg_kind_of_type(sg.type) == seg_kind::signed_bin)
          v = sg.len == 1 ? int8_t(v) : sg.len == 2 ? int16_t(v) : int32_t(v);
        uint64_t u = static_cast<uint64_t>(v) ^ (uint64_t{1} << 63);
        for (int i = 7; i >= 0; --i) part.push_back(static_cast<char>(u >> (8 * i)));
        break;
      }
      case seg_kind::packed: {
        int64_t v = 0;
        for (int i = 0; i < sg.len * 2 - 1; ++i) v = v * 10 + ((p[i / 2] >> (i % 2 ? 0 : 4)) & 0xF);
        if ((p[sg.len - 1] & 0xF) == 0xD) v = -v;
        uint64_t u = static_cast<uint64_t>(v) ^ (uint64_t{1} << 63);
        for (int i = 7; i >= 0; --i) part.push_back(static_cast<char>(u >> (8 * i)));
        break;
      }
      default: break;
    }
    if (sg.type & kSegDescending)
      for (char& ch : part) ch = static_cast<char>(~static_cast<unsigned char>(ch));
    out += part;
    off += sg.len;
  }
  return out;
}

void put_packed(uint8_t* p, int len, int64_t v) {
  bool neg = v < 0;
  uint64_t u = neg ? -v : v;
  memset(p, 0, len);
  p[len - 1] = neg ? 0x0D : 0x0C;
  for (int i = len * 2 - 2; i >= 0 && u; --i, u /= 10) p[i / 2] |= static_cast<uint8_t>((u % 10) << (i % 2 ? 0 : 4));
}

// The record (in record layout: segments at their offsets) of user value v
// and record id `id`.
std::vector<uint8_t> make_record(const config& cf, int v, uint32_t id) {
  std::vector<uint8_t> rec(300, 0);
  uint32_t h = static_cast<uint32_t>(v) * 2654435761u;
  int nsegs = cf.desc.nsegs - (cf.dup ? 1 : 0);
  for (int s = 0; s < nsegs; ++s) {
    const BT_SEG& sg = cf.desc.seg[s];
    uint8_t* p = rec.data() + sg.poffs;
    uint32_t part = h >> (3 * s);
    switch (seg_kind_of_type(sg.type)) {
      case seg_kind::chars:
        memset(p, 'a' + s, sg.len);
        // Differences near the end of long segments, too.
        p[sg.len - 1] = static_cast<uint8_t>('A' + part % 7);
        p[sg.len / 2] = static_cast<uint8_t>(' ' + (part >> 4) % 90);
        break;
      case seg_kind::signed_bin:
      case seg_kind::unsigned_bin:
        for (int i = 0; i < sg.len; ++i) p[i] = static_cast<uint8_t>(part >> (8 * i) ^ (i ? 0 : v));
        break;
      case seg_kind::packed:
        put_packed(p, sg.len, static_cast<int64_t>(part % 19999) - 9999 + (part % 19999 == 9999));
        break;
      default: break;
    }
  }
  if (cf.dup) st_le32(rec.data(), cf.desc.seg[cf.desc.nsegs - 1].poffs, id);
  return rec;
}

struct live {
  int v;
  uint32_t id;
};

void run_model(const config& cf, int ops, uint32_t seed) {
  scratch_dir dir;
  std::string path = dir.file("model.key");
  int st;
  BT_FILE* f = bopen(&st, path.c_str(), kBtCreate);
  ASSERT_NE(f, nullptr);
  BT_CURSOR* c = baccess(&st, f, 0);
  KEY_DESC d = cf.desc;
  ASSERT_EQ(bsetkey(c, &d, true), BRF_KEY_CREATED);
  int user_segs = cf.desc.nsegs - (cf.dup ? 1 : 0);

  std::mt19937 rng(seed);
  std::multimap<std::string, uint32_t> model;  // user key → DSEEK, in record-id order
  std::vector<live> lives;
  uint32_t next_id = 1;
  auto dseek_of = [](uint32_t id) { return 512 + id * 16; };
  auto key_of = [&](const std::vector<uint8_t>& rec, int nsegs) {
    uint8_t key[256];
    getlkey(f, 0, rec.data(), kWholeRecord, key, kKeyFormRecord);
    return sort_form(cf.desc, key, nsegs);
  };
  auto find_live = [&](int v) {
    for (size_t i = 0; i < lives.size(); ++i)
      if (lives[i].v == v) return static_cast<int>(i);
    return -1;
  };
  std::vector<int> present(cf.values, 0);  // unique configs: v → index+1 in lives

  for (int op = 1; op <= ops; ++op) {
    int what = static_cast<int>(rng() % 100);
    int v = static_cast<int>(rng() % cf.values);
    if (what < 45) {
      uint32_t id = next_id++;
      auto rec = make_record(cf, v, id);
      std::string uk = key_of(rec, user_segs);
      bool exists = !cf.dup && present[v];
      int r = binsert(c, rec.data(), dseek_of(id));
      if (exists) {
        ASSERT_EQ(r, BRF_DUP_KEY) << cf.name << " op " << op;
        continue;
      }
      ASSERT_EQ(r, BRF_OK) << cf.name << " op " << op;
      model.emplace(uk, dseek_of(id));
      lives.push_back({v, id});
      if (!cf.dup) present[v] = 1;
    } else if (what < 80) {
      if (lives.empty()) continue;
      size_t i = rng() % lives.size();
      live lv = lives[i];
      auto rec = make_record(cf, lv.v, lv.id);
      if (what < 47) {  // now and then a wrong DSEEK first: not found, nothing changes
        ASSERT_EQ(bdelete(c, rec.data(), dseek_of(lv.id) + 4), BRF_NO_RECORD) << cf.name << " op " << op;
      }
      ASSERT_EQ(bdelete(c, rec.data(), dseek_of(lv.id)), BRF_OK) << cf.name << " op " << op;
      std::string uk = key_of(rec, user_segs);
      auto range = model.equal_range(uk);
      bool erased = false;
      for (auto it = range.first; it != range.second; ++it)
        if (it->second == dseek_of(lv.id)) {
          model.erase(it);
          erased = true;
          break;
        }
      ASSERT_TRUE(erased);
      lives[i] = lives.back();
      lives.pop_back();
      if (!cf.dup) present[lv.v] = 0;
    } else {
      // Searches: equal on the user key (partial for dup keys), greater or
      // equal, greater, then a few steps of next.
      auto rec = make_record(cf, v, 0);
      std::string uk = key_of(rec, user_segs);
      int mode = what < 88 ? kSeekEqual : what < 95 ? (kSeekEqual | kSeekGreater) : kSeekGreater;
      std::multimap<std::string, uint32_t>::iterator want;
      if (mode == kSeekEqual) {
        want = model.lower_bound(uk);
        if (want != model.end() && want->first != uk) want = model.end();
      } else if (mode & kSeekEqual) {
        want = model.lower_bound(uk);
      } else {
        want = model.upper_bound(uk);
      }
      uint8_t key[256] = {};
      getlkey(f, 0, rec.data(), kWholeRecord, key, kKeyFormRecord);
      int r = bseek(c, mode, key, cf.user_len, kKeyFormKey);
      if (want == model.end()) {
        ASSERT_TRUE(r == BRF_NO_RECORD || r == BRF_EOF) << cf.name << " op " << op << " status " << r;
        continue;
      }
      ASSERT_EQ(r, BRF_OK) << cf.name << " op " << op << " mode " << mode;
      ASSERT_EQ(c->dseek, want->second) << cf.name << " op " << op << " mode " << mode;
      int steps = static_cast<int>(rng() % 4);
      for (int s = 0; s < steps; ++s) {
        ++want;
        r = bnext(c);
        if (want == model.end()) {
          ASSERT_EQ(r, BRF_EOF) << cf.name << " op " << op;
          break;
        }
        ASSERT_EQ(r, BRF_OK) << cf.name << " op " << op;
        ASSERT_EQ(c->dseek, want->second) << cf.name << " op " << op;
      }
    }
    if (op % kCheckEvery == 0 || op == ops) {
      test::tree_report rep;
      std::string err = test::check_key_file(path, &rep);
      ASSERT_EQ(err, "") << cf.name << " op " << op;
      ASSERT_EQ(rep.entries[0].size(), model.size()) << cf.name << " op " << op;
      size_t i = 0;
      for (auto& [k, ds] : model) ASSERT_EQ(rep.entries[0][i++].dseek, ds) << cf.name << " op " << op;
      (void)find_live;
    }
  }

  // Emptying the index leaves an empty root and every other page free.
  for (const live& lv : lives) {
    auto rec = make_record(cf, lv.v, lv.id);
    ASSERT_EQ(bdelete(c, rec.data(), dseek_of(lv.id)), BRF_OK);
  }
  test::tree_report rep;
  ASSERT_EQ(test::check_key_file(path, &rep), "");
  EXPECT_EQ(rep.entries[0].size(), 0u);
  EXPECT_EQ(rep.pages_in_trees, 1u);
  EXPECT_EQ(bfirst(c), BRF_EOF);
  bdeaccess(c);
  bclose(f);
}

class BtreeModel : public ::testing::Test {
 protected:
  void SetUp() override { com_fill(0, nullptr); }
  int ops() const { return kTotalOps / 4 * test::stress_scale(); }
};

TEST_F(BtreeModel, ShortUniqueKeysOfMixedSegmentKinds) {
  config cf{"L10 unique",
            test::key_desc({{kSegChars, 3, 0},
                            {kSegBinary | kSegDescending, 2, 3},
                            {kSegPacked, 3, 5},
                            {kSegBinary | kSegUnsigned, 2, 8}}),
            10, false, 30000};
  run_model(cf, ops(), 1);
}

TEST_F(BtreeModel, ShortDuplicateKeysDescending) {
  config cf{"L10 dup", test::key_desc({{kSegChars | kSegDescending, 6, 0}, {kSegBinary | kSegUnsigned, 4, 6}}), 6, true,
            300};
  run_model(cf, ops(), 2);
}

TEST_F(BtreeModel, LongUniqueKeys) {
  config cf{"L250 unique", test::key_desc({{kSegChars, 246, 0}, {kSegBinary, 4, 246}}), 250, false, 6000};
  run_model(cf, ops(), 3);
}

TEST_F(BtreeModel, LongDuplicateKeysWithDescendingPacked) {
  config cf{"L250 dup",
            test::key_desc({{kSegChars | kSegDescending, 200, 0},
                            {kSegPacked | kSegDescending, 8, 200},
                            {kSegChars, 38, 208},
                            {kSegBinary | kSegUnsigned, 4, 246}}),
            246, true, 150};
  run_model(cf, ops(), 4);
}

}  // namespace
}  // namespace kivo
