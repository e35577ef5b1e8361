// Helpers of the record-operation tests: a keyed pair with three keys over a
// variable-length layout, and a structural check that reads the data and key
// files straight from disk and compares every index with the active records.
//
// Layout: bytes 0..7 id (key 0, characters), 8..13 code (key 1, characters,
// all zero = null), 14..17 number (key 2, unsigned binary, 0 = null), then a
// body of any length.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

#include "btree_test_util.h"
#include "foundation/bytes.h"
#include "foundation/com.h"
#include "foundation/sys_err.h"
#include "store/record_ops.h"

namespace kivo::test {

inline void quiet(const char*, int, const char*) {}

constexpr uint32_t kIdLen = 8, kCodeOff = 8, kCodeLen = 6, kNumOff = 14, kFixedPart = 18;

inline KEY_DESC id_key() { return key_desc({{kSegChars, kIdLen, 0}}); }
inline KEY_DESC code_key() { return key_desc({{kSegChars, kCodeLen, kCodeOff}}); }
inline KEY_DESC num_key() { return key_desc({{static_cast<uint8_t>(kSegBinary | kSegUnsigned), 4, kNumOff}}); }

// A record: id, code (empty = null), number (0 = null) and a body.
inline std::vector<uint8_t> make_rec(uint32_t id, const std::string& code, uint32_t num, size_t body_len,
                                     uint8_t fill) {
  std::vector<uint8_t> r(kFixedPart + body_len, fill);
  char idt[9];
  snprintf(idt, sizeof idt, "%08u", id % 100000000u);
  memcpy(r.data(), idt, kIdLen);
  memset(r.data() + kCodeOff, 0, kCodeLen);
  memcpy(r.data() + kCodeOff, code.data(), std::min<size_t>(code.size(), kCodeLen));
  st_le32(r.data(), kNumOff, num);
  return r;
}

// Sets the three keys on a control block (creating them), key 0 current.
inline int set_three_keys(BRF_RCB* r) {
  KEY_DESC k[3] = {id_key(), code_key(), num_key()};
  for (int i = 0; i < 3; ++i) {
    int st = brfsetkey(r, &k[i], true, false, nullptr);
    if (st != BRF_OK) return st;
  }
  return brfsetkeyN(r, 0);
}

// A new pair at `base` under the three keys, open for update: its control
// block, or null on a failure; the file in `*f`.
inline BRF_RCB* create_three_keys(const std::string& base, BRF_FILE** f) {
  int st;
  *f = brfopen(&st, base.c_str(), BRF_CREATE, 0, false);
  BRF_RCB* r = *f ? brfaccess(&st, *f, 0, false) : nullptr;
  return r && brf_upd_ver(*f) == BRF_OK && set_three_keys(r) == BRF_OK ? r : nullptr;
}

struct data_record {
  uint32_t seek;
  uint8_t flags;
  std::vector<uint8_t> body;
};

// Walks the data file; "" when every record is whole and the free chains
// are sound. `strict` also wants record numbers in file order, one chain a
// length and every deleted record on a chain (a crash may leave one off).
// `free_blocks`, when given, gets the seeks of the free-list blocks.
inline std::string walk_data(const std::vector<uint8_t>& d, std::vector<data_record>* out, bool strict = false,
                             std::set<uint32_t>* free_blocks = nullptr) {
  if (d.size() < kDataHeaderSize) return "data file shorter than its header";
  brf_hdr h = decode_brf_hdr(d.data());
  if (h.eofseek > d.size() || h.eofseek < kDataHeaderSize) return "eofseek outside the file";
  std::map<uint32_t, size_t> at;
  for (uint64_t s = kDataHeaderSize; s < h.eofseek;) {
    if (s + kRecOverhead > h.eofseek) return "torn record at " + std::to_string(s);
    rec_hdr rh = decode_rec_hdr(d.data() + s);
    uint64_t next = s + rh.length + kRecOverhead;
    if (next > h.eofseek) return "record past eofseek at " + std::to_string(s);
    if (ld_le32(d.data(), next - 4) != rh.length) return "trailer mismatch at " + std::to_string(s);
    if (!(rh.flags & (kRecDeleted | kRecNotUser)) && rh.link != s && !(rh.link & kOwnerBit))
      return "active record not naming itself at " + std::to_string(s);
    // A moved record's copy names the old one only while its change runs.
    if ((rh.flags & (kRecDeleted | kRecNotUser)) == kRecNotUser && rh.link != s)
      return "unsettled copy at " + std::to_string(s);
    if (strict && rh.recno != out->size()) return "record number out of order at " + std::to_string(s);
    at[static_cast<uint32_t>(s)] = out->size();
    out->push_back({static_cast<uint32_t>(s), rh.flags,
                    std::vector<uint8_t>(d.begin() + s + kRecHdrSize, d.begin() + s + kRecHdrSize + rh.length)});
    s = next;
  }
  // Free list: blocks and chains inside the file, members deleted, of the
  // entry's length, each on one chain only.
  std::set<uint32_t> members, blocks;
  std::set<uint16_t> lengths;
  for (uint32_t b = h.freelist; b; b = ld_le32(d.data(), b + kRecHdrSize)) {
    if (!at.count(b) || !blocks.insert(b).second) return "bad free block " + std::to_string(b);
    const uint8_t* body = d.data() + b + kRecHdrSize;
    for (int i = 0; i < kFreeEntries; ++i) {
      uint16_t len = ld_le16(body, kFbLenOff + 2 * i);
      if (strict && ld_le32(body, kFbSeekOff + 4 * i) && !lengths.insert(len).second)
        return "two chains of length " + std::to_string(len);
      for (uint32_t m = ld_le32(body, kFbSeekOff + 4 * i); m; m = ld_le32(d.data(), m + kRhLinkOff)) {
        auto it = at.find(m);
        if (it == at.end() || !members.insert(m).second) return "bad chain member " + std::to_string(m);
        const data_record& dr = (*out)[it->second];
        if (!(dr.flags & kRecDeleted) || dr.body.size() != len)
          return "live or wrong record on chain " + std::to_string(m);
      }
    }
  }
  size_t deleted = 0;
  for (const data_record& r : *out) deleted += (r.flags & kRecDeleted) != 0;
  if (strict && members.size() != deleted) return "deleted records off the chains";
  if (free_blocks) *free_blocks = blocks;
  return "";
}

// Checks the pair at `base` (no extension): the key file's trees are sound
// and each key holds exactly the active records with a non-null key, each
// once, under the record's own key. `active` gets id -> body.
inline std::string check_pair(const std::string& base, std::map<std::string, std::vector<uint8_t>>* active) {
  std::vector<uint8_t> d = read_file(base + ".dat");
  std::vector<data_record> recs;
  std::string err = walk_data(d, &recs);
  if (!err.empty()) return err;
  tree_report rep;
  err = check_key_file(base + ".key", &rep);
  if (!err.empty()) return err;
  if (rep.entries.size() != 3) return "key count " + std::to_string(rep.entries.size());
  std::set<std::pair<std::vector<uint8_t>, uint32_t>> want[3];
  for (const data_record& r : recs) {
    if (r.flags & (kRecDeleted | kRecNotUser)) continue;
    std::vector<uint8_t> b = r.body;
    b.resize(std::max<size_t>(b.size(), kFixedPart), 0);
    std::vector<uint8_t> k0(b.begin(), b.begin() + kIdLen);
    std::vector<uint8_t> k1(b.begin() + kCodeOff, b.begin() + kCodeOff + kCodeLen);
    std::vector<uint8_t> k2(b.begin() + kNumOff, b.begin() + kNumOff + 4);
    want[0].insert({k0, r.seek});
    if (k1 != std::vector<uint8_t>(kCodeLen, 0)) want[1].insert({k1, r.seek});
    if (k2 != std::vector<uint8_t>(4, 0)) want[2].insert({k2, r.seek});
    if (active) (*active)[std::string(k0.begin(), k0.end())] = r.body;
  }
  for (int k = 0; k < 3; ++k) {
    std::set<std::pair<std::vector<uint8_t>, uint32_t>> got;
    for (const tree_entry& e : rep.entries[k])
      if (!got.insert({e.key, e.dseek}).second) return "key " + std::to_string(k) + " entry twice";
    if (got != want[k])
      return "key " + std::to_string(k) + " holds " + std::to_string(got.size()) + " entries for " +
             std::to_string(want[k].size()) + " records, or other ones";
  }
  return "";
}

}  // namespace kivo::test
