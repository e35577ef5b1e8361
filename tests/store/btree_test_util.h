// Helpers of the B-tree tests: key descriptors, and an
// independent structural check that reads the key file straight from disk.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "foundation/bytes.h"
#include "store/btree.h"
#include "store_test_util.h"

namespace kivo::test {

inline KEY_DESC key_desc(std::initializer_list<BT_SEG> segs) {
  KEY_DESC d;
  for (const BT_SEG& s : segs) d.seg[d.nsegs++] = s;
  return d;
}

inline std::vector<uint8_t> read_file(const std::string& path) {
  std::vector<uint8_t> out;
  int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return out;
  uint8_t buf[65536];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) out.insert(out.end(), buf, buf + n);
  close(fd);
  return out;
}

// One entry of an index in key order.
struct tree_entry {
  std::vector<uint8_t> key;
  uint32_t dseek;
};

// Walks every index of a key file image and its free list. Returns "" when
// the file is sound, else the first fault found. `entries[k]` gets index k in
// key order; `free_pages` the free list.
struct tree_report {
  std::vector<std::vector<tree_entry>> entries;
  std::vector<uint32_t> free_pages;
  size_t pages_in_trees = 0;
};

class tree_checker {
 public:
  explicit tree_checker(const std::vector<uint8_t>& file) : f_(file) {}

  std::string check(tree_report* rep) {
    if (f_.size() < kBtHdrBlock) return "file shorter than its header";
    const uint8_t* h = f_.data();
    if (ld_le16(h, kHdrVersion) != kBtVersion) return "bad version";
    eof_ = ld_le32(h, kHdrEofseek);
    if (eof_ > f_.size()) return "eofseek past the file's end";
    int nkeys = h[kHdrKeyCount];
    rep->entries.assign(nkeys, {});
    for (int k = 0; k < nkeys; ++k) {
      KEY_DESC d;
      key_desc_load(h + kHdrKeys + k * kKeyDescSize, &d);
      segs_.clear();
      for (int s = 0; s < d.nsegs; ++s) {
        key_seg ks;
        ks.kind = seg_kind_of_type(d.seg[s].type);
        ks.descending = d.seg[s].type & kSegDescending;
        ks.len = d.seg[s].len;
        segs_.push_back(ks);
      }
      L_ = d.keylen;
      E_ = L_ + 8;
      M_ = bt_max_entries(L_);
      leaf_depth_ = -1;
      std::string err = walk(d.root, 0, 0, &rep->entries[k]);
      if (!err.empty()) return "key " + std::to_string(k) + ": " + err;
      auto& es = rep->entries[k];
      for (size_t i = 1; i < es.size(); ++i)
        if (key_compare(segs_.data(), d.nsegs, es[i - 1].key.data(), es[i].key.data()) >= 0)
          return "key " + std::to_string(k) + ": keys out of order at entry " + std::to_string(i);
    }
    rep->pages_in_trees = seen_.size();
    for (uint32_t p = ld_le32(h, kHdrFreePage); p; p = ld_le32(f_.data(), p)) {
      if (!bt_page_seek_ok(p, eof_)) return "free page " + std::to_string(p) + " out of range";
      if (!seen_.insert(p).second) return "free page " + std::to_string(p) + " also in use or listed twice";
      rep->free_pages.push_back(p);
    }
    size_t all = (eof_ - kBtHdrBlock) / kPageSize;
    if (seen_.size() != all) return std::to_string(all - seen_.size()) + " pages neither in a tree nor free";
    return "";
  }

 private:
  std::string walk(uint32_t seek, uint32_t parent, int depth, std::vector<tree_entry>* out) {
    if (!bt_page_seek_ok(seek, eof_)) return "page " + std::to_string(seek) + " out of range";
    if (!seen_.insert(seek).second) return "page " + std::to_string(seek) + " reached twice";
    if (depth > 40) return "too deep";
    const uint8_t* p = f_.data() + seek;
    if (ld_le32(p, kPgParent) != parent) return "parent word of page " + std::to_string(seek);
    int n = ld_le16(p, kPgCount);
    if (n >= M_) return "page " + std::to_string(seek) + " holds " + std::to_string(n);
    if (parent && n == 0) return "empty page " + std::to_string(seek) + " below the root";
    bool leaf = ld_le32(p, kPgHdrSize) == 0;
    if (leaf) {
      if (leaf_depth_ < 0) leaf_depth_ = depth;
      if (leaf_depth_ != depth)
        return "leaves at depths " + std::to_string(leaf_depth_) + " and " + std::to_string(depth);
    }
    for (int i = 0; i <= n; ++i) {
      uint32_t down = ld_le32(p, kPgHdrSize + i * E_);
      if (leaf != (down == 0)) return "leaf and inner links mixed in page " + std::to_string(seek);
      if (down) {
        std::string err = walk(down, seek, depth + 1, out);
        if (!err.empty()) return err;
      }
      if (i < n) {
        const uint8_t* e = p + kPgHdrSize + i * E_;
        out->push_back({std::vector<uint8_t>(e + 8, e + 8 + L_), ld_le32(e, 4)});
      }
    }
    return "";
  }

  const std::vector<uint8_t>& f_;
  uint32_t eof_ = 0;
  std::set<uint32_t> seen_;
  std::vector<key_seg> segs_;
  int L_ = 0, E_ = 0, M_ = 0, leaf_depth_ = -1;
};

inline std::string check_key_file(const std::string& path, tree_report* rep) {
  std::vector<uint8_t> f = read_file(path);
  tree_checker tc(f);
  return tc.check(rep);
}

}  // namespace kivo::test
