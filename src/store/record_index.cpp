// Index maintenance of record operations: every key of a keyed file kept in
// step with a record written, moved, changed or deleted, and null keys.
//
// Each B-tree operation takes the tree lock for itself: a reader may come in
// between two keys of one change, and meets at worst an entry whose record
// does not carry its key yet (or any more), which the keyed read checks for.
// Writers are kept apart by the update lock. A failure puts back what the
// call changed: the indexes are as before, and the status says why. The
// current key is done last so that the cursor ends on the record.
#include <cstring>

#include "foundation/sys_err.h"
#include "store/record_ops.h"

namespace kivo {

namespace {

int key_count(const BRF_FILE* f) { return f->key ? f->key->hdr[kHdrKeyCount] : 0; }

// Keys in the order they are changed: the current one last.
int key_order(const BRF_RCB* r, int* order) {
  int n = key_count(r->file);
  int cur = r->cursor ? r->cursor->key : -1;
  int m = 0;
  for (int k = 0; k < n; ++k)
    if (k != cur) order[m++] = k;
  if (cur >= 0 && cur < n) order[m++] = cur;
  return m;
}

bool ok_insert(int st) { return st == BRF_OK || st == BRF_KEY_CREATED; }

// Keeps the cursor's key and position through one maintenance call so the
// call can put them back.
struct cursor_keep {
  BT_CURSOR* c;
  int cur;  // the cursor's key on entry, -1 for none
  brf_pos saved;
  explicit cursor_keep(BT_CURSOR* cursor) : c(cursor), cur(cursor->key) { brf_save_pos(c, &saved); }
  void restore() {
    if (cur < 0) return;
    bsetkeyN(c, cur);
    brf_restore_pos(c, &saved);
  }
};

int insert_key(BT_CURSOR* c, int k, const uint8_t* rec, uint32_t seek) {
  bsetkeyN(c, k);
  int st = binsert(c, rec, seek);
  return ok_insert(st) ? BRF_OK : st;
}

int delete_key(BT_CURSOR* c, int k, const uint8_t* rec, uint32_t seek) {
  bsetkeyN(c, k);
  return bdelete(c, rec, seek);
}

// One key's part of a reinsert, from (a, seek_a) to (b, seek_b).
int change_key(BRF_RCB* r, int k, const uint8_t* a, const uint8_t* b, uint32_t seek_a, uint32_t seek_b) {
  BRF_FILE* f = r->file;
  BT_CURSOR* c = r->cursor;
  bool a_null = brf_key_is_null(f, k, a);
  bool b_null = brf_key_is_null(f, k, b);
  if (a_null && b_null) return BRF_OK;
  if (a_null) return insert_key(c, k, b, seek_b);
  if (b_null) return delete_key(c, k, a, seek_a);
  uint8_t ka[256] = {};
  uint8_t kb[256] = {};
  getlkey(f->key, k, a, kWholeRecord, ka, kKeyFormRecord);
  getlkey(f->key, k, b, kWholeRecord, kb, kKeyFormRecord);
  bsetkeyN(c, k);
  if (key_compare(f->key->segs[k], f->key->keys[k].nsegs, ka, kb) == 0) {
    if (seek_a == seek_b) return BRF_OK;
    return bmove_rec(c, a, seek_a, seek_b);
  }
  // The new entry and the old one change under one tree lock, so a reader
  // never meets the record under both values of the key.
  if (!block(c, true)) return c->status;
  int st = buinsert(c, b, seek_b);
  if (ok_insert(st)) {
    st = budelete(c, a, seek_a);
    if (st != BRF_OK) static_cast<void>(budelete(c, b, seek_b));  // the old entry stays
  }
  bunlock(c, true);
  return st;
}

// Whether a reinsert from (a, seek_a) to (b, seek_b) leaves key k's index as
// it is: change_key would do nothing.
bool key_unchanged(BRF_RCB* r, int k, const uint8_t* a, const uint8_t* b, uint32_t seek_a, uint32_t seek_b) {
  BRF_FILE* f = r->file;
  bool a_null = brf_key_is_null(f, k, a);
  bool b_null = brf_key_is_null(f, k, b);
  if (a_null || b_null) return a_null && b_null;
  if (seek_a != seek_b) return false;
  uint8_t ka[256] = {};
  uint8_t kb[256] = {};
  getlkey(f->key, k, a, kWholeRecord, ka, kKeyFormRecord);
  getlkey(f->key, k, b, kWholeRecord, kb, kKeyFormRecord);
  return key_compare(f->key->segs[k], f->key->keys[k].nsegs, ka, kb) == 0;
}

}  // namespace

bool brf_key_is_null(BRF_FILE* f, int keyno, const uint8_t* rec) {
  if (!f->key || keyno < 0 || keyno >= kMaxKeys) return true;
  const KEY_DESC& d = f->key->keys[keyno];
  if (d.nsegs == 0) return true;
  if (!f->has_null_key[keyno]) return false;
  uint8_t key[256] = {};
  getlkey(f->key, keyno, rec, kWholeRecord, key, kKeyFormRecord);
  const std::vector<uint8_t>& img = f->null_key[keyno];
  return img.size() == d.keylen && memcmp(key, img.data(), d.keylen) == 0;
}

uint32_t brf_key_extent(BRF_FILE* f) {
  uint32_t ext = 0;
  int n = key_count(f);
  for (int k = 0; k < n; ++k) {
    const KEY_DESC& d = f->key->keys[k];
    for (int s = 0; s < d.nsegs; ++s) {
      uint32_t end = uint32_t{d.seg[s].poffs} + d.seg[s].len;
      if (end > ext) ext = end;
    }
  }
  return ext;
}

void brfnullkey(BRF_FILE* f, int keyno, bool from_record, const uint8_t* record) {
  if (!f->key || keyno < 0 || keyno >= kMaxKeys) return;
  const KEY_DESC& d = f->key->keys[keyno];
  std::vector<uint8_t> img(d.keylen, 0);
  if (from_record && record) {
    uint8_t key[256] = {};
    getlkey(f->key, keyno, record, kWholeRecord, key, kKeyFormRecord);
    memcpy(img.data(), key, d.keylen);
  }
  f->null_key[keyno] = std::move(img);
  f->has_null_key[keyno] = true;
}

int brfisnullkey(BRF_RCB* r, const uint8_t* rec) {
  if (!r->cursor) return 1;
  return brf_key_is_null(r->file, r->cursor->key, rec) ? 1 : 0;
}

namespace {

// Runs `step` on every key of `order` whose value in `rec` is not null; when
// one fails, `undo` runs on the keys already done, newest first, so the
// indexes are left as they were. Returns the failing status or BRF_OK.
template <class Step, class Undo>
int each_key_undoing(const BRF_RCB* r, const int* order, int n, const uint8_t* rec, Step step, Undo undo) {
  int done = 0;
  int st = BRF_OK;
  for (; done < n; ++done) {
    if (brf_key_is_null(r->file, order[done], rec)) continue;
    if ((st = step(order[done])) != BRF_OK) break;
  }
  if (st != BRF_OK)
    for (int i = done - 1; i >= 0; --i)
      if (!brf_key_is_null(r->file, order[i], rec)) undo(order[i]);
  return st;
}

}  // namespace

int brfinsertall(BRF_RCB* r, const uint8_t* rec, uint32_t seek) {
  BT_CURSOR* c = r->cursor;
  if (!c) return BRF_OK;
  cursor_keep hold(c);
  int order[kMaxKeys];
  int n = key_order(r, order);
  int st = each_key_undoing(
      r, order, n, rec, [&](int k) { return insert_key(c, k, rec, seek); },
      [&](int k) { delete_key(c, k, rec, seek); });
  // The cursor stays on the new record under its current key, or where it was.
  if (st != BRF_OK || (hold.cur >= 0 && brf_key_is_null(r->file, hold.cur, rec))) hold.restore();
  else if (hold.cur >= 0) r->positioned_key = hold.cur;
  return st;
}

int brfdeleteall(BRF_RCB* r, const uint8_t* rec, uint32_t seek) {
  BT_CURSOR* c = r->cursor;
  if (!c) return BRF_OK;
  cursor_keep hold(c);
  int order[kMaxKeys];
  int n = key_order(r, order);
  // Entries already removed go back on failure: the record stays, fully indexed.
  int st = each_key_undoing(
      r, order, n, rec,
      [&](int k) {
        int e = delete_key(c, k, rec, seek);
        // The current key, done last, has its own text.
        if (e != BRF_OK && e != BRF_ABANDONED)
          sys_err("BRF", __LINE__, k == hold.cur ? "key delete failed." : "key delete failed");
        return e;
      },
      [&](int k) { insert_key(c, k, rec, seek); });
  hold.restore();
  return st;
}

int brfreinsertall(BRF_RCB* r, const uint8_t* old_rec, const uint8_t* new_rec, uint32_t old_seek, uint32_t new_seek) {
  BT_CURSOR* c = r->cursor;
  if (!c) return BRF_OK;
  int n = key_count(r->file);
  // A rewrite in place that changes no key leaves every index alone: no
  // tree lock is needed for it.
  bool any = false;
  for (int k = 0; k < n && !any; ++k) any = !key_unchanged(r, k, old_rec, new_rec, old_seek, new_seek);
  if (!any) return BRF_OK;
  cursor_keep hold(c);
  int st = BRF_OK;
  int k = 0;
  for (; k < n; ++k)
    if ((st = change_key(r, k, old_rec, new_rec, old_seek, new_seek)) != BRF_OK) break;
  if (st != BRF_OK)
    for (int i = k - 1; i >= 0; --i) change_key(r, i, new_rec, old_rec, new_seek, old_seek);
  hold.restore();
  if (hold.cur >= 0 && st == BRF_OK && c->has_key && c->dseek == old_seek) c->dseek = new_seek;
  return st;
}

void brf_save_pos(const BT_CURSOR* c, brf_pos* p) {
  if (!c) return;
  p->page = c->page;
  p->dseek = c->dseek;
  p->index = c->index;
  p->page_age = c->page_age;
  p->last_key = c->last_key;
  p->has_key = c->has_key;
  memcpy(p->key, c->keybuf, sizeof p->key);
}

void brf_restore_pos(BT_CURSOR* c, const brf_pos* p) {
  if (!c) return;
  c->page = p->page;
  c->dseek = p->dseek;
  c->index = p->index;
  c->page_age = p->page_age;
  c->last_key = p->last_key;
  c->has_key = p->has_key;
  memcpy(c->keybuf, p->key, sizeof p->key);
}

}  // namespace kivo
