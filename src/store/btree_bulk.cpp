// Bulk load of one index from its entries in key order: the pages are built
// bottom up and written whole, instead of one insert at a time.
//
// The tree it makes is the one the updates keep: every leaf at one depth,
// every page but the root holding entries, none holding the most a page may
// (an insert then rebalances it), each parent word naming its page. Pages are
// filled to nearly the most (room for a few inserts each) and the entries
// spread evenly over a level, so no page holds much fewer than half. Leaves
// lie one after another in key order at the end of the file, then each level
// above; the root stays where the key's empty root was, so the header's
// roots do not change, only its end of file.
//
// Callers: the whole-file key builds of record_index_build.cpp, under the
// tree lock, inside a record change (a kill part way leaves the pair marked
// for the repair).
#include <algorithm>
#include <cstring>
#include <numeric>
#include <vector>

#include "store/btree.h"
#include "store/btree_page.h"

namespace kivo {

using namespace bt;

namespace {

// Pages written by one call: a bounded buffer however large the index.
constexpr uint32_t kWriteBatch = 256;

// Entries a bulk-loaded page takes: nearly the most a page holds at rest, a
// sixteenth left for later inserts.
int bulk_fill(const geom& g) {
  const int most = g.M - 1;
  return std::max(std::min(most, 3), most - most / 16);
}

// One level of the tree: its keys (positions in the entry order) and, per
// page, the first of them and how many.
struct level {
  std::vector<uint32_t> items;
  std::vector<uint32_t> first, count;
  uint32_t first_page = 0;  // the level's first page in the numbering of all pages
};

// Spreads a level's items over the fewest pages of at most `fill` entries;
// the item after each page but the last goes up as a separator.
level make_level(std::vector<uint32_t> items, int fill, std::vector<uint32_t>* separators) {
  level lv;
  lv.items = std::move(items);
  const size_t m = lv.items.size();
  const size_t pages = std::max<size_t>(1, (m + 1 + fill) / (fill + 1));
  const size_t base = (m - (pages - 1)) / pages, extra = (m - (pages - 1)) % pages;
  separators->clear();
  size_t pos = 0;
  for (size_t j = 0; j < pages; ++j) {
    const size_t cnt = base + (j < extra ? 1 : 0);
    lv.first.push_back(static_cast<uint32_t>(pos));
    lv.count.push_back(static_cast<uint32_t>(cnt));
    pos += cnt;
    if (j + 1 < pages) separators->push_back(lv.items[pos++]);
  }
  return lv;
}

struct layout {
  std::vector<level> levels;  // leaves first, the root's last
  uint32_t pages = 0;
};

layout plan(size_t n, int fill) {
  layout t;
  std::vector<uint32_t> items(n), up;
  std::iota(items.begin(), items.end(), 0u);
  for (;;) {
    level lv = make_level(std::move(items), fill, &up);
    lv.first_page = t.pages;
    t.pages += static_cast<uint32_t>(lv.first.size());
    const bool top = lv.first.size() == 1;
    t.levels.push_back(std::move(lv));
    if (top) return t;
    items = up;
  }
}

// Builds the pages and writes them: every page but the root at `eof` on, in
// numbering order, then the root at `root`.
class writer {
 public:
  writer(BT_CURSOR* c, const bt_bulk_entries& e, const layout& t, uint32_t root, uint32_t eof, uint16_t root_age)
      : c_(c), g_(geom_of(c)), e_(e), t_(t), root_(root), eof_(eof), root_age_(root_age) {}

  int run() {
    // Each page's parent: its number in the level above.
    parent_.assign(t_.pages, 0);
    for (size_t l = 1; l < t_.levels.size(); ++l) {
      const level& lv = t_.levels[l];
      uint32_t child = t_.levels[l - 1].first_page;
      for (size_t j = 0; j < lv.first.size(); ++j)
        for (uint32_t k = 0; k <= lv.count[j]; ++k) parent_[child++] = lv.first_page + static_cast<uint32_t>(j);
    }
    std::vector<uint8_t> batch;
    uint32_t batch_first = 0;
    for (size_t l = 0; l < t_.levels.size(); ++l) {
      const level& lv = t_.levels[l];
      uint32_t child = l ? t_.levels[l - 1].first_page : 0;
      for (size_t j = 0; j < lv.first.size(); ++j) {
        const uint32_t number = lv.first_page + static_cast<uint32_t>(j);
        uint8_t page[kPageSize];
        fill_page(page, lv, j, number, l ? &child : nullptr);
        if (number + 1 == t_.pages) {
          if (int st = flush(batch, batch_first)) return st;
          return write_root(page);
        }
        if (batch.empty()) batch_first = number;
        batch.insert(batch.end(), page, page + kPageSize);
        if (batch.size() / kPageSize == kWriteBatch) {
          if (int st = flush(batch, batch_first)) return st;
        }
      }
    }
    return BRF_OK;  // not reached: the last page is the root
  }

 private:
  uint32_t seek_of(uint32_t number) const { return number + 1 == t_.pages ? root_ : eof_ + number * kPageSize; }

  // Page `j` of level `lv`; an inner page takes the next count + 1 pages of
  // the level below as its children (*child counts them off).
  void fill_page(uint8_t* page, const level& lv, size_t j, uint32_t number, uint32_t* child) {
    memset(page, kPgFill, kPageSize);
    const bool root = number + 1 == t_.pages;
    set_parent(page, root ? 0 : seek_of(parent_[number]));
    set_count(page, static_cast<int>(lv.count[j]));
    st_le16(page, kPgAge, root ? root_age_ : 2);
    for (uint32_t i = 0; i <= lv.count[j]; ++i) {
      set_down(page, g_, static_cast<int>(i), child ? seek_of((*child)++) : 0);
      if (i == lv.count[j]) break;
      const uint8_t* src = e_.base + size_t{e_.order[lv.items[lv.first[j] + i]]} * e_.stride;
      uint32_t dseek;
      memcpy(&dseek, src, 4);
      st_le32(page, dseek_off(g_, static_cast<int>(i)), dseek);
      memcpy(page + key_off(g_, static_cast<int>(i)), src + 4, g_.L);
    }
  }

  int flush(std::vector<uint8_t>& batch, uint32_t first) {
    const auto n = static_cast<uint32_t>(batch.size() / kPageSize);
    int st = pages_write(c_, seek_of(first), batch.data(), n);
    batch.clear();
    return st;
  }

  // The pages below the root are written: the header's end of file takes
  // them in, then the root names them.
  int write_root(const uint8_t* page) {
    if (t_.pages > 1) {
      st_le32(c_->file->hdr, kHdrEofseek, eof_ + (t_.pages - 1) * kPageSize);
      if (int st = hdr_write(c_)) return st;
    }
    return pages_write(c_, root_, page, 1);
  }

  BT_CURSOR* c_;
  geom g_;
  const bt_bulk_entries& e_;
  const layout& t_;
  uint32_t root_, eof_;
  uint16_t root_age_;
  std::vector<uint32_t> parent_;
};

}  // namespace

int bt_bulk_load(BT_CURSOR* c, int keyno, const bt_bulk_entries& e) {
  if (int st = hdr_read(c)) return st;
  BT_FILE* f = c->file;
  if (keyno < 0 || keyno >= hdr_key_count(f)) return set_status(c, BRF_NO_KEY);
  bsetkeyN(c, keyno);
  c->index = -1;
  c->has_key = false;
  if (e.n == 0) return set_status(c, BRF_OK);
  const geom g = geom_of(c);
  const uint32_t root = f->keys[keyno].root;
  const uint8_t* p = page_ref(c, root);
  if (!p) return c->status;
  if (pg_count(p) != 0 || pg_down(p, g, 0) != 0 || pg_parent(p) != 0) return set_status(c, BRF_BAD_DATA);
  const auto root_age = static_cast<uint16_t>(pg_age(p) + 1);
  std::vector<uint8_t> old_root(p, p + kPageSize);
  const layout t = plan(e.n, bulk_fill(g));
  const uint32_t eof = hdr_eof(f);
  if (uint64_t{eof} + uint64_t{t.pages - 1} * kPageSize > kBtMaxFileSize) return set_status(c, BRF_NO_SPACE);
  writer w(c, e, t, root, eof, root_age);
  int st = w.run();
  if (st != BRF_OK) {
    // The key stays as it was, an empty root inside the old end of file:
    // the pages written past it are in no tree and not counted. The first
    // failure is the one reported.
    st_le32(f->hdr, kHdrEofseek, eof);
    static_cast<void>(hdr_write(c));
    static_cast<void>(pages_write(c, root, old_root.data(), 1));
  }
  op_end(c);
  return set_status(c, st);
}

}  // namespace kivo
