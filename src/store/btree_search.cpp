// B-tree search: key building and compare, the descent from the root, and
// the walk to the next entry. Everything here runs under the tree lock; the
// locked entry points (bseek, bfirst, bnext) take it themselves.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "foundation/sys_err.h"
#include "store/btree.h"
#include "store/btree_io.h"
#include "store/btree_page.h"

namespace kivo {

using namespace bt;

namespace bt {

int findkey(const uint8_t* p, const geom& g, const uint8_t* key, int k, int* idx) {
  int n = pg_count(p);
  int kk = std::min(k, g.nsegs);
  int lo = 0;
  int hi = n;
  while (lo < hi) {
    int mid = (lo + hi - 1) / 2;
    int c = key_compare(g.segs, kk, key, pg_key(p, g, mid));
    if (c > 0) {
      lo = mid + 1;
    } else if (c < 0) {
      hi = mid;
    } else {
      if (k >= g.nsegs || lo >= mid) {
        *idx = mid;
        return 0;
      }
      hi = mid + 1;  // go on towards the first equal entry
    }
  }
  *idx = lo;
  return lo < n ? -1 : 1;
}

int findlink(const uint8_t* p, const geom& g, uint32_t child) {
  int n = pg_count(p);
  for (int i = 0; i <= n; ++i)
    if (pg_down(p, g, i) == child) return i;
  return -1;
}

void set_pos(BT_CURSOR* c, uint32_t seek, const uint8_t* p, int idx) {
  geom g = geom_of(c);
  c->page = seek;
  c->index = static_cast<int16_t>(idx);
  c->dseek = pg_dseek(p, g, idx);
  c->page_age = pg_age(p);
  memcpy(c->keybuf, pg_key(p, g, idx), g.L);
  c->has_key = true;
}

}  // namespace bt

namespace {

void forget_position(BT_CURSOR* c) {
  c->page = 0;
  c->index = -1;
  c->dseek = kNoSeek;
  c->has_key = false;
}

// Descends through first DOWN links from `seek`, entered from `parent`
// within `f`, to a leaf and puts the cursor on its first entry.
int first_below(BT_CURSOR* c, uint32_t seek, uint32_t parent, fence f) {
  geom g = geom_of(c);
  for (int depth = 0; depth < kMaxDepth; ++depth) {
    const uint8_t* p = page_enter(c, g, seek, parent, f);
    if (!p) return c->status;
    uint32_t d = pg_down(p, g, 0);
    if (d == 0) {
      if (pg_count(p) == 0) return set_status(c, BRF_PAGE_FULL);
      set_pos(c, seek, p, 0);
      return BRF_OK;
    }
    fence_down(f, p, g, 0);
    parent = seek;
    seek = d;
  }
  return tree_too_deep(c);
}

}  // namespace

int getlkey(BT_FILE* f, int keyno, const uint8_t* src, int len, uint8_t* out, int form) {
  const KEY_DESC& d = f->keys[keyno];
  int key_off = 0;
  int filled = 0;
  for (int s = 0; s < d.nsegs; ++s) {
    int seg_len = d.seg[s].len;
    int src_off = form == kKeyFormRecord ? d.seg[s].poffs : key_off;
    if (src_off >= len) break;
    int remain = len - src_off;
    if (remain >= seg_len) {
      memcpy(out + key_off, src + src_off, seg_len);
    } else if (g_key_padding) {
      memcpy(out + key_off, src + src_off, remain);
      memset(out + key_off + remain, 0, seg_len - remain);
    } else {
      break;  // never read past what the caller gave
    }
    ++filled;
    key_off += seg_len;
  }
  return filled;
}

int bkeycmp(BT_CURSOR* c, const uint8_t* a, int nsegs, const uint8_t* b) {
  geom g = geom_of(c);
  return key_compare(g.segs, std::min(nsegs, g.nsegs), a, b);
}

int getroot(BT_CURSOR* c, uint32_t* root) {
  if (!(c->access & kCursorValid)) return set_status(c, BRF_BAD_CURSOR);
  if (int st = hdr_read(c)) return st;
  BT_FILE* f = c->file;
  if (c->key < 0 || c->key >= hdr_key_count(f)) return set_status(c, BRF_NO_KEY);
  uint32_t seek = f->keys[c->key].root;
  for (int depth = 0;; ++depth) {
    if (depth == kMaxDepth) return tree_too_deep(c);
    const uint8_t* p = page_ref(c, seek);
    if (!p) return c->status;
    uint32_t up = pg_parent(p);
    if (up == 0) break;
    seek = up;
  }
  if (seek != f->keys[c->key].root && f->in_change) {
    if (f->optimistic) {  // a write: only under the lock
      f->optimistic_stop = true;
      return set_status(c, BRF_SYS_ERR);
    }
    // A split above the recorded root was not recorded: record it now. Only
    // a record change writes the header (btree.h).
    f->keys[c->key].root = seek;
    st_le32(f->hdr, kHdrKeys + c->key * kKeyDescSize + kKdRoot, seek);
    if (int st = hdr_write(c)) return st;
  }
  *root = seek;
  return BRF_OK;
}

int skipnext(BT_CURSOR* c) {
  geom g = geom_of(c);
  const uint8_t* p = page_ref(c, c->page);
  if (!p) return c->status;
  int n = pg_count(p);
  int idx = c->index;
  if (idx < 0 || idx >= n) return set_status(c, BRF_SYS_ERR);
  if (uint32_t right = pg_down(p, g, idx + 1)) {
    fence f;
    fence_down(f, p, g, idx + 1);
    return first_below(c, right, c->page, f);
  }
  if (idx + 1 < n) {
    set_pos(c, c->page, p, idx + 1);
    return BRF_OK;
  }
  uint32_t child = c->page;
  uint32_t up = pg_parent(p);
  for (int depth = 0; depth < kMaxDepth; ++depth) {
    if (up == 0) return set_status(c, BRF_EOF);
    const uint8_t* q = page_ref(c, up);
    if (!q) return c->status;
    int j = findlink(q, g, child);
    if (j < 0) return page_damaged(c, up, "does not link to page %u, which names it as its parent", child);
    if (j < pg_count(q)) {
      set_pos(c, up, q, j);
      return BRF_OK;
    }
    child = up;
    up = pg_parent(q);
  }
  return tree_too_deep(c);
}

namespace {

// Where blseek's descent ended: the page, its entry index and the comparison
// of the wanted key with that entry (0 equal, 1 past the page's end, -1 below).
struct seek_end {
  uint32_t seek;
  const uint8_t* p = nullptr;
  int r = 1;
  int idx = 0;
};

// 1. Descend; a partial key that matches an inner entry goes on below it,
// towards the first equal entry.
int seek_descend(BT_CURSOR* c, const geom& g, const uint8_t* key, int k, seek_end& e) {
  uint32_t cand = 0;
  int cand_idx = 0;
  uint32_t parent = 0;
  fence f;
  for (int depth = 0;; ++depth) {
    if (depth == kMaxDepth) return tree_too_deep(c);
    e.p = page_enter(c, g, e.seek, parent, f);
    if (!e.p) return c->status;
    e.r = findkey(e.p, g, key, k, &e.idx);
    uint32_t link = pg_down(e.p, g, e.idx);
    if (e.r == 0) {
      set_pos(c, e.seek, e.p, e.idx);
      if (k >= g.nsegs || link == 0) break;
      cand = e.seek;
      cand_idx = e.idx;
    }
    if (link == 0) break;
    fence_down(f, e.p, g, e.idx);
    parent = e.seek;
    e.seek = link;
  }
  if (e.r != 0 && cand) {
    e.p = page_ref(c, cand);
    if (!e.p) return c->status;
    e.seek = cand;
    set_pos(c, cand, e.p, cand_idx);
    e.r = 0;
  }
  return BRF_OK;
}

int seek_on_equal(BT_CURSOR* c, int mode, const uint8_t* key, int k) {
  // 2. Equal.
  if (mode & kSeekEqual) {
    c->state = kStateEqual;
    return set_status(c, BRF_OK);
  }
  // 6. Greater than an equal key: past every entry not above it.
  if (mode & kSeekGreater) {
    do {
      if (int st = skipnext(c)) return st;
    } while (bkeycmp(c, key, k, c->keybuf) >= 0);
    c->state = kStateGreater;
    return set_status(c, BRF_OK);
  }
  return set_status(c, BRF_NO_RECORD);
}

int seek_on_unequal(BT_CURSOR* c, int mode, const seek_end& e) {
  // 4. An empty leaf.
  int n = pg_count(e.p);
  if (n == 0) {
    c->index = -1;
    return set_status(c, pg_parent(e.p) ? BRF_PAGE_FULL : BRF_NO_RECORD);
  }
  if (e.r == 1) {
    // 3. Past the end of the leaf: the next entry in key order.
    set_pos(c, e.seek, e.p, n - 1);
    if (mode & kSeekGreater) {
      if (int st = skipnext(c)) return st;
      c->state = kStateGreater;
      return set_status(c, BRF_OK);
    }
    if (mode & kSeekAfter) {
      c->state = kStateAfter;
      return set_status(c, BRF_OK);
    }
    return set_status(c, BRF_NO_RECORD);
  }
  // 5. On a greater entry.
  set_pos(c, e.seek, e.p, e.idx);
  if (mode & kSeekGreater) {
    c->state = kStateGreater;
    return set_status(c, BRF_OK);
  }
  return set_status(c, BRF_NO_RECORD);
}

}  // namespace

int blseek(BT_CURSOR* c, int mode, const uint8_t* key_in, int k) {
  if (!(mode & (kSeekAfter | kSeekEqual | kSeekGreater))) mode |= kSeekEqual;
  seek_end e;
  if (int st = getroot(c, &e.seek)) return st;
  geom g = geom_of(c);
  uint8_t key[256];
  memcpy(key, key_in, g.L);  // the caller's key may be the cursor's own
  k = std::min(k, g.nsegs);
  c->index = -1;
  if (int st = seek_descend(c, g, key, k, e)) return st;
  if (e.r == 0) return seek_on_equal(c, mode, key, k);
  return seek_on_unequal(c, mode, e);
}

int bsync(BT_CURSOR* c, int mode) {
  if (!c->has_key) return set_status(c, BRF_EOF);
  uint32_t want = c->dseek;
  bool stands = false;
  if (c->index >= 0 && (mode & kSeekEqual) && hdr_read(c) == BRF_OK && c->key >= 0 && c->key < hdr_key_count(c->file)) {
    geom g = geom_of(c);
    const uint8_t* p = page_ref(c, c->page);
    if (p && pg_age(p) == c->page_age && c->index < pg_count(p) &&
        memcmp(pg_key(p, g, c->index), c->keybuf, g.L) == 0) {
      c->dseek = pg_dseek(p, g, c->index);
      c->state = kStateEqual;
      stands = true;
    }
  }
  if (!stands) {
    uint8_t key[256];
    memcpy(key, c->keybuf, sizeof key);
    int st = blseek(c, mode, key, kBtMaxSegs);
    if (st) return st;
  }
  if (c->state == kStateEqual && c->dseek != want) {
    if (mode & kSeekAfter) c->state = kStateAfter;
    else if (!(mode & kSeekGreater)) return set_status(c, BRF_NO_RECORD);
  }
  return set_status(c, BRF_OK);
}

int bufirst(BT_CURSOR* c) {
  uint32_t root;
  if (int st = getroot(c, &root)) return st;
  geom g = geom_of(c);
  const uint8_t* p = page_ref(c, root);
  if (!p) return c->status;
  if (pg_count(p) == 0 && pg_down(p, g, 0) == 0) {
    forget_position(c);
    return set_status(c, BRF_EOF);
  }
  if (int st = first_below(c, root, 0, fence{})) return st;
  c->state = kStateEqual;
  return set_status(c, BRF_OK);
}

namespace {

// A step in key order that lands on a key not above the one it left: the
// key file's entries are out of order (a key changed in its page), and the
// walk would skip or repeat records from there. Reported as the key file's
// damage with its repair, never as the end of the index.
int out_of_order(BT_CURSOR* c) {
  char why[160];
  snprintf(why, sizeof why, "key %d: its entry in page %u, slot %d is out of order (not above the entry before it)",
           c->key, c->page, c->index);
  char brief[40];
  snprintf(brief, sizeof brief, "at %u", c->page);
  bt_say_damage(c->file->path, why, brief);
  return set_status(c, BRF_SYS_ERR);
}

}  // namespace

int bunext(BT_CURSOR* c) {
  uint8_t left[256];
  memcpy(left, c->keybuf, sizeof left);
  int st = bsync(c, kSeekEqual | kSeekGreater);
  if (st == BRF_NO_RECORD) return set_status(c, BRF_EOF);
  if (st) return st;
  if (c->state != kStateGreater && (st = skipnext(c))) return st;
  // A key holds each value once: the next entry lies above the key left.
  if (bkeycmp(c, c->keybuf, kBtMaxSegs, left) <= 0) return out_of_order(c);
  return set_status(c, BRF_OK);
}

namespace {

// A search of trees that a dead writer left half written could end early
// or miss entries: it gives BRF_ABANDONED instead, for the record layer to
// wait for the repair or make it.
template <typename Fn>
int locked(BT_CURSOR* c, Fn fn) {
  if (!block(c, false)) return c->status;
  int st = bt_trees_untrusted(c->file) ? BRF_ABANDONED : fn();
  op_end(c);
  bunlock(c, false);
  return set_status(c, st);
}

}  // namespace

namespace {

// The header's change count as the file holds it now, without a system call;
// false when it cannot be had so.
bool changes_now(BT_FILE* f, uint32_t* n) {
  if (f->sole) {
    *n = ld_le32(f->hdr, kHdrChangeCount);
    return true;
  }
  const uint8_t* head = bt_io_head(f->io, kBtHdrSize);
  if (!head) return false;
  *n = __atomic_load_n(reinterpret_cast<const uint32_t*>(head + kHdrChangeCount), __ATOMIC_ACQUIRE);
  return true;
}

// The next entry in the same leaf, from the copy the cursor read under the
// tree lock, when nothing has been written since: the same count means no
// writer has begun (a writer moves it before its first write), so the copy is
// what the lock would show. False sends the caller the locked way.
bool next_in_leaf(BT_CURSOR* c) {
  BT_FILE* f = c->file;
  if (f->lock_depth > 0 || c->key < 0 || !c->has_key || c->index < 0 || c->page == 0) return false;
  uint32_t n;
  if (!changes_now(f, &n) || (n & 1) || n != c->seen_changes || n != ld_le32(f->hdr, kHdrChangeCount)) return false;
  const uint8_t* p = cached_page(c, c->page);
  if (!p || pg_age(p) != c->page_age) return false;
  geom g = geom_of(c);
  int i = c->index;
  int count = pg_count(p);
  if (count > g.M || i + 1 >= count || pg_down(p, g, i + 1) != 0) return false;
  if (pg_dseek(p, g, i) != c->dseek || memcmp(pg_key(p, g, i), c->keybuf, g.L) != 0) return false;
  // An entry out of order is reported by the locked way.
  if (key_compare(g.segs, g.nsegs, pg_key(p, g, i + 1), c->keybuf) <= 0) return false;
  set_pos(c, c->page, p, i + 1);
  c->state = kStateEqual;
  return true;
}

}  // namespace

int bpeek_ahead(BT_CURSOR* c, int ahead, uint32_t* dseeks, int max) {
  if (c->key < 0 || c->index < 0 || c->page == 0 || ahead < 1) return 0;
  const uint8_t* p = cached_page(c, c->page);
  if (!p) return 0;
  geom g = geom_of(c);
  int count = std::min(pg_count(p), g.M);
  int n = 0;
  for (int i = c->index + ahead; i < count && n < max; ++i) dseeks[n++] = pg_dseek(p, g, i);
  return n;
}

int bfirst(BT_CURSOR* c) {
  return locked(c, [&] { return bufirst(c); });
}

int bnext(BT_CURSOR* c) {
  if (next_in_leaf(c)) return set_status(c, BRF_OK);
  return locked(c, [&] { return bunext(c); });
}

namespace {

// bseek without the tree lock: true with *st when the search saw the file as
// it stood between two loads of an even, equal change count; false (the
// cursor's cached pages dropped, since they may hold a torn copy) when the
// search must run under the lock.
bool optimistic_seek(BT_CURSOR* c, int mode, const uint8_t* src, int len, int form, int* st) {
  BT_FILE* f = c->file;
  if (f->sole || f->lock_depth > 0 || c->key < 0 || c->key >= kBtMaxKeys) return false;
  const uint8_t* head = bt_io_head(f->io, kBtHdrSize);
  if (!head) return false;
  const auto* count = reinterpret_cast<const uint32_t*>(head + kHdrChangeCount);
  uint32_t before = __atomic_load_n(count, __ATOMIC_ACQUIRE);
  if (before & 1) return false;
  f->optimistic = true;
  f->optimistic_stop = false;
  uint8_t key[256] = {};
  int k = getlkey(f, c->key, src, len, key, form);
  *st = blseek(c, mode, key, k);
  f->optimistic = false;
  __atomic_thread_fence(__ATOMIC_ACQUIRE);
  if (!f->optimistic_stop && __atomic_load_n(count, __ATOMIC_ACQUIRE) == before) return true;
  for (auto& s : c->pages) s.seek = 0;
  c->hdr_epoch = 0;
  return false;
}

}  // namespace

int bseek(BT_CURSOR* c, int mode, const uint8_t* src, int len, int form) {
  if (int st; optimistic_seek(c, mode, src, len, form, &st)) return set_status(c, st);
  return locked(c, [&] {
    if (c->key < 0 || c->key >= kBtMaxKeys) return set_status(c, BRF_NO_KEY);
    uint8_t key[256] = {};
    int k = getlkey(c->file, c->key, src, len, key, form);
    return blseek(c, mode, key, k);
  });
}

}  // namespace kivo
