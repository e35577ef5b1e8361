// B-tree update: insert, delete and move of entries, and the rebalancing
// that keeps pages below full: shifts to neighbour pages, splits, merges and
// rotations, with pages reused through the free-page list.
//
// Pages are changed in local buffers and written whole through the cursor's
// cache (btree_page.h). An insert takes every page that its splits could
// need before it changes anything, so running out of pages fails it cleanly.
//
// Write order (kept by any change here): a page taken for a split is written
// before the pages that come to name it. A change of several page writes can
// still be cut short by a kill; the in-use mark (btree.h) that the record
// operations set around every change covers that, and the repair builds the
// trees again from the data (record_repair.cpp).
#include <cstring>
#include <set>
#include <vector>

#include "store/btree.h"
#include "store/btree_page.h"

namespace kivo {

using namespace bt;

namespace {

// A change-count step past the age re-check of btree_page.h: every cursor,
// in any process, drops its cached pages instead of trusting their ages.
constexpr uint32_t kChangeCountJump = 65536;

struct pagebuf {
  uint32_t seek = 0;
  uint8_t b[kPageSize];
};

// One update operation: the cursor, the key's geometry and the pages taken
// in advance for splits.
struct upd {
  BT_CURSOR* c;
  geom g;
  uint32_t reserve[kMaxDepth + 2];
  int nreserve = 0;
  int used = 0;  // taken in allocation order: the newest free page first
};

int load(upd& u, uint32_t seek, pagebuf& pb) {
  pb.seek = seek;
  return page_load(u.c, seek, pb.b);
}

int store(upd& u, pagebuf& pb) { return page_write(u.c, pb.seek, pb.b); }

uint32_t take_page(upd& u) {
  if (u.used < u.nreserve) return u.reserve[u.used++];
  return bpage_alloc(u.c);
}

// Gives back the pages not used, newest first, so the free list is as before.
// A failure is returned: the page would otherwise be in no tree and not free.
int release_reserve(upd& u) {
  int st = BRF_OK;
  while (u.nreserve > u.used)
    if (int e = bpage_free(u.c, u.reserve[--u.nreserve])) st = e;
  return st;
}

int cnt(const pagebuf& pb) { return pg_count(pb.b); }

// Entry fields after DOWN: DSEEK and key.
void copy_item(const upd& u, uint8_t* dst, int di, const uint8_t* src, int si) {
  memcpy(dst + dseek_off(u.g, di), src + dseek_off(u.g, si), u.g.E - 4);
}

// Moves k entries from `left` into `right` through separator s of `parent`.
int rotate_right(upd& u, pagebuf& parent, int s, pagebuf& left, pagebuf& right, int k) {
  const geom& g = u.g;
  int l = cnt(left);
  int r = cnt(right);
  memmove(right.b + down_off(g, k), right.b + down_off(g, 0), static_cast<size_t>(r) * g.E + 4);
  memcpy(right.b + down_off(g, 0), left.b + down_off(g, l - k + 1), static_cast<size_t>(k - 1) * g.E);
  set_down(right.b, g, k - 1, pg_down(left.b, g, l));
  copy_item(u, right.b, k - 1, parent.b, s);
  copy_item(u, parent.b, s, left.b, l - k);  // its DOWN stays as left's last DOWN
  set_count(left.b, l - k);
  set_count(right.b, r + k);
  for (int j = 0; j < k; ++j)
    if (int st = set_parent_page(u.c, pg_down(right.b, g, j), right.seek)) return st;
  return BRF_OK;
}

// Moves k entries from `right` into `left` through separator s of `parent`.
int rotate_left(upd& u, pagebuf& parent, int s, pagebuf& left, pagebuf& right, int k) {
  const geom& g = u.g;
  int l = cnt(left);
  int r = cnt(right);
  copy_item(u, left.b, l, parent.b, s);  // over left's last DOWN, which stays
  memcpy(left.b + down_off(g, l + 1), right.b + down_off(g, 0), static_cast<size_t>(k - 1) * g.E);
  set_down(left.b, g, l + k, pg_down(right.b, g, k - 1));
  copy_item(u, parent.b, s, right.b, k - 1);
  memmove(right.b + down_off(g, 0), right.b + down_off(g, k), static_cast<size_t>(r - k) * g.E + 4);
  set_count(left.b, l + k);
  set_count(right.b, r - k);
  for (int j = l + 1; j <= l + k; ++j)
    if (int st = set_parent_page(u.c, pg_down(left.b, g, j), left.seek)) return st;
  return BRF_OK;
}

int set_root(upd& u, uint32_t root) {
  BT_FILE* f = u.c->file;
  f->keys[u.c->key].root = root;
  st_le32(f->hdr, kHdrKeys + u.c->key * kKeyDescSize + kKdRoot, root);
  return hdr_write(u.c);
}

int brebalance(upd& u, uint32_t page);

// The neighbours of a page: its position i in the parent and the pages on
// either side.
struct family {
  pagebuf parent, left, right;
  int i = -1;
  bool has_left = false, has_right = false;
};

int load_family(upd& u, const pagebuf& page, family& fam) {
  if (int st = load(u, pg_parent(page.b), fam.parent)) return st;
  fam.i = findlink(fam.parent.b, u.g, page.seek);
  if (fam.i < 0) return set_status(u.c, BRF_PAGE_FULL);
  fam.has_left = fam.i > 0;
  fam.has_right = fam.i < cnt(fam.parent);
  if (fam.has_left)
    if (int st = load(u, pg_down(fam.parent.b, u.g, fam.i - 1), fam.left)) return st;
  if (fam.has_right)
    if (int st = load(u, pg_down(fam.parent.b, u.g, fam.i + 1), fam.right)) return st;
  return BRF_OK;
}

int balance_split(upd& u, pagebuf& page) {
  const geom& g = u.g;
  pagebuf parent;
  if (uint32_t up = pg_parent(page.b)) {
    if (int st = load(u, up, parent)) return st;
  } else {
    // 1. A new root above the old one.
    uint32_t root = take_page(u);
    if (!root) return u.c->status;
    if (int st = load(u, root, parent)) return st;
    set_parent(parent.b, 0);
    set_count(parent.b, 0);
    set_down(parent.b, g, 0, page.seek);
    set_parent(page.b, root);
    if (int st = set_root(u, root)) return st;
  }
  // 2. The right half.
  int i = findlink(parent.b, g, page.seek);
  if (i < 0) return set_status(u.c, BRF_PAGE_FULL);
  pagebuf right;
  right.seek = take_page(u);
  if (!right.seek) return u.c->status;
  if (int st = load(u, right.seek, right)) return st;
  set_parent(right.b, parent.seek);
  set_count(right.b, 0);
  // 3. The page's last entry goes up as separator i.
  int qn = cnt(parent);
  int n = cnt(page);
  memmove(parent.b + dseek_off(g, i) + g.E, parent.b + dseek_off(g, i), static_cast<size_t>(qn - i) * g.E);
  copy_item(u, parent.b, i, page.b, n - 1);
  set_down(parent.b, g, i + 1, right.seek);
  uint32_t last = pg_down(page.b, g, n);
  set_down(right.b, g, 0, last);
  if (int st = set_parent_page(u.c, last, right.seek)) return st;
  set_count(page.b, n - 1);
  set_count(parent.b, qn + 1);
  // 4. Half of the rest moves right.
  if ((n - 1) / 2 > 0)
    if (int st = rotate_right(u, parent, i, page, right, (n - 1) / 2)) return st;
  // 5. The new page first, then the pages that come to name it.
  if (int st = store(u, right)) return st;
  if (int st = store(u, page)) return st;
  if (int st = store(u, parent)) return st;
  if (cnt(parent) >= g.M) return brebalance(u, parent.seek);
  return BRF_OK;
}

int balance_full(upd& u, pagebuf& page) {
  const geom& g = u.g;
  if (pg_parent(page.b) == 0) return balance_split(u, page);
  family fam;
  if (int st = load_family(u, page, fam)) return st;
  int nb = fam.has_left + fam.has_right;
  int room = (fam.has_left ? g.M - (cnt(fam.left) + 1) : 0) + (fam.has_right ? g.M - (cnt(fam.right) + 1) : 0);
  if (room >= g.M / 4 && room >= 4 * nb) {
    bool moved = false;
    if (fam.has_left) {
      int k = (g.M - (cnt(fam.left) + 1)) / 2;
      if (k > 0) {
        if (int st = rotate_left(u, fam.parent, fam.i - 1, fam.left, page, k)) return st;
        if (int st = store(u, fam.left)) return st;
        moved = true;
      }
    }
    if (fam.has_right) {
      int k = (g.M - (cnt(fam.right) + 1)) / 2;
      if (k > 0) {
        if (int st = rotate_right(u, fam.parent, fam.i, page, fam.right, k)) return st;
        if (int st = store(u, fam.right)) return st;
        moved = true;
      }
    }
    if (moved) {
      if (int st = store(u, page)) return st;
      return store(u, fam.parent);
    }
  }
  return balance_split(u, page);
}

// What balance_empty changed, so that its last steps write only those pages.
struct empty_change {
  bool left = false, right = false, page = false;
  int removed = -1;  // separator index dropped from the parent, -1 for none
};

// 1. The entries fit in the neighbours: empty the page into them.
int empty_into_neighbours(upd& u, pagebuf& page, family& fam, int T, int S, empty_change& ch) {
  const geom& g = u.g;
  int i = fam.i;
  if (fam.has_left) {
    int l = cnt(fam.left);
    int k = T / S >= g.M - 1 ? g.M - (l + 1) : T / S - l;
    if (k > cnt(page)) k = cnt(page);
    if (k > 0) {
      if (int st = rotate_left(u, fam.parent, i - 1, fam.left, page, k)) return st;
      ch.left = ch.page = true;
    }
  }
  if (fam.has_right) {
    int r = cnt(fam.right);
    int k = cnt(page);
    if (k + r >= g.M - 1) k = g.M - (r + 1);
    if (k > 0) {
      if (int st = rotate_right(u, fam.parent, i, page, fam.right, k)) return st;
      ch.right = ch.page = true;
    }
  }
  return BRF_OK;
}

// 2. A page that still holds entries stays; an empty one takes some back.
int refill_from_neighbours(upd& u, pagebuf& page, family& fam, empty_change& ch) {
  const geom& g = u.g;
  int i = fam.i;
  if (fam.has_left && cnt(fam.left) >= g.half) {
    int k = cnt(fam.left) - g.half;
    if (k > 0) {
      if (int st = rotate_right(u, fam.parent, i - 1, fam.left, page, k)) return st;
      ch.left = ch.page = true;
    }
  }
  if (fam.has_right && cnt(fam.right) >= g.half) {
    int k = cnt(fam.right) - g.half;
    if (k > 0) {
      if (int st = rotate_left(u, fam.parent, i, page, fam.right, k)) return st;
      ch.right = ch.page = true;
    }
  }
  return BRF_OK;
}

// 3. An empty page goes; its one child joins a neighbour with the separator.
int join_child_to_neighbour(upd& u, pagebuf& page, family& fam, empty_change& ch) {
  const geom& g = u.g;
  int i = fam.i;
  uint32_t child = pg_down(page.b, g, 0);
  if (fam.has_left && cnt(fam.left) < g.M - 1) {
    int l = cnt(fam.left);
    copy_item(u, fam.left.b, l, fam.parent.b, i - 1);
    set_down(fam.left.b, g, l + 1, child);
    set_count(fam.left.b, l + 1);
    if (int st = set_parent_page(u.c, child, fam.left.seek)) return st;
    ch.left = true;
    ch.removed = i - 1;
  } else if (fam.has_right && cnt(fam.right) < g.M - 1) {
    int r = cnt(fam.right);
    memmove(fam.right.b + down_off(g, 1), fam.right.b + down_off(g, 0), static_cast<size_t>(r) * g.E + 4);
    set_down(fam.right.b, g, 0, child);
    copy_item(u, fam.right.b, 0, fam.parent.b, i);
    set_count(fam.right.b, r + 1);
    if (int st = set_parent_page(u.c, child, fam.right.seek)) return st;
    ch.right = true;
    ch.removed = i;
  }
  return BRF_OK;
}

// 4. Write what changed; drop the separator from the parent.
int store_empty_change(upd& u, pagebuf& page, family& fam, const empty_change& ch) {
  const geom& g = u.g;
  int i = fam.i;
  if (ch.left)
    if (int st = store(u, fam.left)) return st;
  if (ch.right)
    if (int st = store(u, fam.right)) return st;
  if (ch.removed >= 0) {
    if (int st = bpage_free(u.c, page.seek)) return st;
  } else if (ch.page) {
    if (int st = store(u, page)) return st;
  }
  int qn = cnt(fam.parent);
  if (ch.removed >= 0 && ch.removed == i - 1) {
    memmove(fam.parent.b + dseek_off(g, i - 1), fam.parent.b + dseek_off(g, i), static_cast<size_t>(qn - i) * g.E);
    set_count(fam.parent.b, qn - 1);
  } else if (ch.removed >= 0 && ch.removed == i) {
    memmove(fam.parent.b + down_off(g, i), fam.parent.b + down_off(g, i + 1),
            static_cast<size_t>(qn - i - 1) * g.E + 4);
    set_count(fam.parent.b, qn - 1);
  }
  if (ch.removed >= 0 || ch.left || ch.right)
    if (int st = store(u, fam.parent)) return st;
  return BRF_OK;
}

// 5. An underfull parent is rebalanced; an empty root hands over to its child.
int settle_parent(upd& u, family& fam, const empty_change& ch) {
  const geom& g = u.g;
  if (cnt(fam.parent) >= g.half) return BRF_OK;
  if (pg_parent(fam.parent.b)) return brebalance(u, fam.parent.seek);
  if (cnt(fam.parent) == 0 && ch.removed >= 0) {
    uint32_t root = pg_down(fam.parent.b, g, 0);
    if (int st = set_parent_page(u.c, root, 0)) return st;
    if (int st = set_root(u, root)) return st;
    return bpage_free(u.c, fam.parent.seek);
  }
  return BRF_OK;
}

int balance_empty(upd& u, pagebuf& page) {
  if (pg_parent(page.b) == 0) return BRF_OK;
  family fam;
  if (int st = load_family(u, page, fam)) return st;
  int S = fam.has_left + fam.has_right;
  if (S == 0) return BRF_OK;
  int T = cnt(page) + (fam.has_left ? cnt(fam.left) : 0) + (fam.has_right ? cnt(fam.right) : 0);
  empty_change ch;
  if (T < (u.g.M - 1) * S - 2) {
    if (int st = empty_into_neighbours(u, page, fam, T, S, ch)) return st;
  } else {
    if (cnt(page) > 0) return BRF_OK;
    if (int st = refill_from_neighbours(u, page, fam, ch)) return st;
  }
  if (cnt(page) == 0)
    if (int st = join_child_to_neighbour(u, page, fam, ch)) return st;
  if (int st = store_empty_change(u, page, fam, ch)) return st;
  return settle_parent(u, fam, ch);
}

int brebalance(upd& u, uint32_t seek) {
  pagebuf page;
  if (int st = load(u, seek, page)) return st;
  int n = cnt(page);
  if (n < u.g.half) return balance_empty(u, page);
  if (n >= u.g.M) return balance_full(u, page);
  return BRF_OK;
}

int deletekey(upd& u, uint32_t seek, int idx) {
  const geom& g = u.g;
  for (int depth = 0; depth < kMaxDepth; ++depth) {
    pagebuf page;
    if (int st = load(u, seek, page)) return st;
    int n = cnt(page);
    if (idx < 0 || idx >= n) return set_status(u.c, BRF_PAGE_FULL);
    // 1. An entry with a right subtree takes its successor's place.
    if (uint32_t right = pg_down(page.b, g, idx + 1)) {
      uint32_t leaf = right;
      for (int d = 0;; ++d) {
        if (d == kMaxDepth) return set_status(u.c, BRF_PAGE_FULL);
        const uint8_t* p = page_ref(u.c, leaf);
        if (!p) return u.c->status;
        uint32_t down = pg_down(p, g, 0);
        if (down == 0) {
          if (pg_count(p) == 0) return set_status(u.c, BRF_PAGE_FULL);
          copy_item(u, page.b, idx, p, 0);
          break;
        }
        leaf = down;
      }
      if (int st = store(u, page)) return st;
      seek = leaf;
      idx = 0;
      continue;
    }
    // 2. Otherwise the entry goes.
    memmove(page.b + down_off(g, idx), page.b + down_off(g, idx + 1), static_cast<size_t>(n - idx - 1) * g.E + 4);
    set_count(page.b, n - 1);
    if (int st = store(u, page)) return st;
    if (n - 1 < g.half && pg_parent(page.b)) return brebalance(u, seek);
    return BRF_OK;
  }
  return set_status(u.c, BRF_PAGE_FULL);
}

// Builds the record's key into the cursor and positions on its entry with
// DSEEK `seek`.
int position_on(BT_CURSOR* c, const uint8_t* rec, uint32_t seek) {
  if (c->key < 0 || c->key >= kBtMaxKeys) return set_status(c, BRF_NO_KEY);
  getlkey(c->file, c->key, rec, kWholeRecord, c->keybuf, kKeyFormRecord);
  c->has_key = true;
  c->index = -1;
  c->dseek = seek;
  if (int st = bsync(c, kSeekEqual)) return st;
  if (c->state != kStateEqual) return set_status(c, BRF_NO_RECORD);
  return BRF_OK;
}

namespace {

// The way down an insert takes: the leaf, the slot in it, and each page's
// count on the way (the root's first).
struct insert_path {
  int counts[kMaxDepth];
  int depth = 0;
  int idx = 0;
  uint32_t at = 0;
};

// 2. Descends from root to the leaf the key belongs in, noting each page's
// count; a status for a full page, a duplicate or a page not read.
int descend_to_leaf(BT_CURSOR* c, const geom& g, uint32_t root, const uint8_t* key, insert_path& w) {
  w.at = root;
  uint32_t parent = 0;
  fence f;
  for (;;) {
    if (w.depth == kMaxDepth) return tree_too_deep(c);
    const uint8_t* p = page_enter(c, g, w.at, parent, f);
    if (!p) return c->status;
    if (pg_count(p) >= g.M) return set_status(c, BRF_PAGE_FULL);
    if (findkey(p, g, key, g.nsegs, &w.idx) == 0) return set_status(c, BRF_DUP_KEY);
    w.counts[w.depth] = pg_count(p);
    const uint32_t link = pg_down(p, g, w.idx);
    if (link == 0) return BRF_OK;
    fence_down(f, p, g, w.idx);
    parent = w.at;
    w.at = link;
    ++w.depth;
  }
}

// Every page a chain of splits from this leaf could take, taken first.
int reserve_split_pages(upd& u, const insert_path& w) {
  BT_CURSOR* c = u.c;
  int need = 0;
  for (int d = w.depth; d >= 0 && w.counts[d] + 1 >= u.g.M; --d) need += d == 0 ? 2 : 1;
  for (; u.nreserve < need; ++u.nreserve) {
    const uint32_t s = bpage_alloc(c);
    if (!s) {
      const int st = c->status;
      release_reserve(u);
      return set_status(c, st);
    }
    u.reserve[u.nreserve] = s;
  }
  return BRF_OK;
}

// 3. Into the leaf; 4. a leaf that is full now is rebalanced.
int put_in_leaf(upd& u, const insert_path& w, const uint8_t* key, uint32_t seek) {
  const geom& g = u.g;
  const int idx = w.idx;
  pagebuf leaf;
  int st = load(u, w.at, leaf);
  if (st) return st;
  const int n = cnt(leaf);
  memmove(leaf.b + down_off(g, idx) + g.E, leaf.b + down_off(g, idx), static_cast<size_t>(n - idx) * g.E + 4);
  set_down(leaf.b, g, idx, 0);
  st_le32(leaf.b, dseek_off(g, idx), seek);
  memcpy(leaf.b + key_off(g, idx), key, g.L);
  set_down(leaf.b, g, idx + 1, 0);
  set_count(leaf.b, n + 1);
  st = store(u, leaf);
  if (!st && n + 1 >= g.M) st = brebalance(u, w.at);
  return st;
}

}  // namespace

int insert_entry(BT_CURSOR* c, const uint8_t* rec, uint32_t seek) {
  uint32_t root;
  if (int st = getroot(c, &root)) return st;
  upd u{c, geom_of(c), {}, 0, 0};
  const geom& g = u.g;
  uint8_t key[256] = {};
  getlkey(c->file, c->key, rec, kWholeRecord, key, kKeyFormRecord);
  insert_path w;
  if (int st = descend_to_leaf(c, g, root, key, w)) return st;
  if (int st = reserve_split_pages(u, w)) return st;
  int st = put_in_leaf(u, w, key, seek);
  int freed = release_reserve(u);
  if (st == BRF_OK) st = freed;
  memcpy(c->keybuf, key, g.L);
  c->has_key = true;
  c->index = -1;
  c->dseek = seek;
  return set_status(c, st);
}

int delete_entry(BT_CURSOR* c, const uint8_t* rec, uint32_t seek) {
  if (int st = position_on(c, rec, seek)) return st;
  upd u{c, geom_of(c), {}, 0, 0};
  int st = deletekey(u, c->page, c->index);
  c->index = -1;
  return set_status(c, st);
}

int move_entry(BT_CURSOR* c, const uint8_t* rec, uint32_t old_seek, uint32_t new_seek) {
  if (int st = position_on(c, rec, old_seek)) return st;
  upd u{c, geom_of(c), {}, 0, 0};
  pagebuf page;
  if (int st = load(u, c->page, page)) return st;
  st_le32(page.b, dseek_off(u.g, c->index), new_seek);
  if (int st = store(u, page)) return st;
  c->dseek = new_seek;
  c->page_age = pg_age(page.b);
  return set_status(c, BRF_OK);
}

template <typename Fn>
int finish(BT_CURSOR* c, Fn fn) {
  undo_begin(c);
  int st = undo_end(c, fn());
  op_end(c);
  return set_status(c, st);
}

template <typename Fn>
int locked(BT_CURSOR* c, Fn fn) {
  if (!block(c, true)) return c->status;
  // Trees a dead writer left half written are searched by no change: the
  // record layer repairs them first.
  int st = bt_trees_untrusted(c->file) ? BRF_ABANDONED : fn();
  bunlock(c, true);
  return set_status(c, st);
}

// A page of no entries and no parent, `age` before its write.
void blank_page(uint8_t* page, uint16_t age) {
  memset(page, kPgFill, kPageSize);
  set_parent(page, 0);
  set_count(page, 0);
  st_le16(page, kPgAge, age);
}

}  // namespace

namespace bt {

uint32_t bpage_alloc(BT_CURSOR* c) {
  BT_FILE* f = c->file;
  uint32_t free_page = hdr_free(f);
  uint32_t eof = hdr_eof(f);
  uint32_t seek;
  uint16_t age = 1;
  if (free_page) {
    uint8_t h[kPgHdrSize];
    if (page_read_hdr(c, free_page, h)) return 0;
    uint32_t next = pg_parent(h);
    if (next && !bt_page_seek_ok(next, eof)) {
      set_status(c, BRF_PAGE_FULL);
      return 0;
    }
    st_le32(f->hdr, kHdrFreePage, next);
    seek = free_page;
    // A reused page goes on from its old age: another process may still hold
    // the page as it was, and an age that starts again at 1 could match it.
    age = pg_age(h);
  } else {
    if (eof > kBtMaxFileSize - kPageSize) {
      set_status(c, BRF_NO_SPACE);
      return 0;
    }
    st_le32(f->hdr, kHdrEofseek, eof + kPageSize);
    seek = eof;
  }
  uint8_t page[kPageSize];
  blank_page(page, age);
  if (int st = page_write(c, seek, page)) {
    st_le32(f->hdr, kHdrFreePage, free_page);
    st_le32(f->hdr, kHdrEofseek, eof);
    set_status(c, st);
    return 0;
  }
  if (int st = hdr_write(c)) {
    // The header may be on disk in part: the one before goes back.
    st_le32(f->hdr, kHdrFreePage, free_page);
    st_le32(f->hdr, kHdrEofseek, eof);
    hdr_write(c);
    set_status(c, st);
    return 0;
  }
  return seek;
}

int bpage_free(BT_CURSOR* c, uint32_t seek) {
  BT_FILE* f = c->file;
  uint8_t h[kPgHdrSize];
  if (int st = page_read_hdr(c, seek, h)) return st;
  uint8_t old[kPgHdrSize];
  memcpy(old, h, kPgHdrSize);
  set_parent(h, hdr_free(f));
  set_count(h, 0);
  if (int st = page_write_hdr(c, seek, h, old)) return st;
  st_le32(f->hdr, kHdrFreePage, seek);
  return hdr_write(c);
}

}  // namespace bt

namespace {

// Every page of key `keyno`'s tree, each once; a damaged tree gives what
// could be reached.
std::vector<uint32_t> tree_pages(BT_CURSOR* c, uint32_t root) {
  std::vector<uint32_t> out;
  std::vector<uint32_t> todo{root};
  std::set<uint32_t> seen;
  size_t bound = (hdr_eof(c->file) - kBtHdrBlock) / kPageSize;
  geom g = geom_of(c);
  while (!todo.empty() && out.size() < bound) {
    uint32_t s = todo.back();
    todo.pop_back();
    if (!bt_page_seek_ok(s, hdr_eof(c->file)) || !seen.insert(s).second) continue;
    const uint8_t* p = page_ref(c, s);
    if (!p) continue;
    out.push_back(s);
    for (int i = 0; i <= pg_count(p); ++i)
      if (uint32_t d = pg_down(p, g, i)) todo.push_back(d);
  }
  return out;
}

}  // namespace

int bt_drop_key(BT_CURSOR* c, int keyno) {
  return locked(c, [&] {
    return finish(c, [&] {
      if (int st = hdr_read(c)) return st;
      BT_FILE* f = c->file;
      if (keyno < 0 || keyno != hdr_key_count(f) - 1) return set_status(c, BRF_NO_KEY);
      c->key = keyno;
      std::vector<uint32_t> pages = tree_pages(c, f->keys[keyno].root);
      for (uint32_t s : pages)
        if (int st = bpage_free(c, s)) return st;
      memset(f->hdr + kHdrKeys + keyno * kKeyDescSize, 0, kKeyDescSize);
      f->hdr[kHdrKeyCount] = static_cast<uint8_t>(keyno);
      decode_keys(f);
      if (int st = hdr_write(c)) return st;
      c->key = -1;
      c->last_key = -1;
      c->index = -1;
      c->page = 0;
      c->dseek = kNoSeek;
      c->has_key = false;
      return set_status(c, BRF_OK);
    });
  });
}

int bt_reset_trees(BT_CURSOR* c) {
  return finish(c, [&] {
    if (int st = hdr_read(c)) return st;
    BT_FILE* f = c->file;
    f->ordered_pages.clear();  // pages built anew may come back at an age seen before
    // The roots take the first pages and the header goes out once, last: a
    // kill before it leaves the old header, sound and still marked, so the
    // repair runs again; a header written per page would name roots past
    // its own end, and no open could read the file again.
    int nkeys = hdr_key_count(f);
    st_le32(f->hdr, kHdrChangeCount, ld_le32(f->hdr, kHdrChangeCount) + kChangeCountJump);
    st_le32(f->hdr, kHdrFreePage, 0);
    st_le32(f->hdr, kHdrEofseek, static_cast<uint32_t>(kBtHdrBlock + nkeys * kPageSize));
    for (int k = 0; k < nkeys; ++k)
      st_le32(f->hdr, kHdrKeys + k * kKeyDescSize + kKdRoot, static_cast<uint32_t>(kBtHdrBlock + k * kPageSize));
    decode_keys(f);
    for (auto& s : c->pages) s.seek = 0;
    for (int k = 0; k < nkeys; ++k) {
      c->key = k;
      uint8_t page[kPageSize];
      blank_page(page, 1);
      st_le32(page, kPgHdrSize, 0);  // last DOWN of an empty root
      if (int st = page_write(c, f->keys[k].root, page)) return st;
    }
    if (int st = hdr_write(c)) return st;
    c->key = c->last_key = -1;
    c->index = -1;
    c->page = 0;
    c->dseek = kNoSeek;
    c->has_key = false;
    return set_status(c, BRF_OK);
  });
}

int buinsert(BT_CURSOR* c, const uint8_t* rec, uint32_t seek) {
  return finish(c, [&] { return insert_entry(c, rec, seek); });
}

int budelete(BT_CURSOR* c, const uint8_t* rec, uint32_t seek) {
  return finish(c, [&] { return delete_entry(c, rec, seek); });
}

int bumove_rec(BT_CURSOR* c, const uint8_t* rec, uint32_t old_seek, uint32_t new_seek) {
  return finish(c, [&] { return move_entry(c, rec, old_seek, new_seek); });
}

int binsert(BT_CURSOR* c, const uint8_t* rec, uint32_t seek) {
  return locked(c, [&] { return buinsert(c, rec, seek); });
}

int bdelete(BT_CURSOR* c, const uint8_t* rec, uint32_t seek) {
  return locked(c, [&] { return budelete(c, rec, seek); });
}

int bmove_rec(BT_CURSOR* c, const uint8_t* rec, uint32_t old_seek, uint32_t new_seek) {
  return locked(c, [&] { return bumove_rec(c, rec, old_seek, new_seek); });
}

int breinsert(BT_CURSOR* c, const uint8_t* old_rec, const uint8_t* new_rec, uint32_t old_seek, uint32_t new_seek) {
  if (c->key < 0 || c->key >= kBtMaxKeys) return set_status(c, BRF_NO_KEY);
  uint8_t old_key[256] = {};
  uint8_t new_key[256] = {};
  getlkey(c->file, c->key, old_rec, kWholeRecord, old_key, kKeyFormRecord);
  getlkey(c->file, c->key, new_rec, kWholeRecord, new_key, kKeyFormRecord);
  const KEY_DESC& d = c->file->keys[c->key];
  if (key_compare(c->file->segs[c->key], d.nsegs, old_key, new_key) != 0) {
    int st = binsert(c, new_rec, new_seek);
    if (st != BRF_OK && st != BRF_KEY_CREATED) return st;
    return bdelete(c, old_rec, old_seek);
  }
  if (old_seek == new_seek) return set_status(c, BRF_OK);
  return bmove_rec(c, old_rec, old_seek, new_seek);
}

}  // namespace kivo
