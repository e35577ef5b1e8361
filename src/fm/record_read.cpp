// Reading records: by the cursor's entry, by record number, in key order and
// in physical order; record numbers to seeks and the record count.
//
// Everything read is checked before use: a header must name itself (its link
// is its own seek or an owner stamp), lie inside the file and be a finished
// user record, so a stale or damaged index entry gives a status, never
// another record's bytes or a read past the file. Between a search (tree
// lock given back) and the read, another process may delete the record and
// put another into its space: a keyed read compares the record's key with
// the entry's and searches again on a mismatch, a read by number compares
// the record's number, and neither keeps a lock on a record it refuses.
#include <fcntl.h>

#include <algorithm>
#include <cstring>

#include "fm/record_ops.h"
#include "foundation/bytes.h"

namespace kivo {

namespace {

// Bytes read with the header in one call; a longer body takes a second read.
constexpr size_t kReadAhead = 1024;

// Searches repeated for a keyed read whose record changed under it.
constexpr int kSearchRetries = 16;

// Internal: the record read is not the one looked for (never left in status).
constexpr int kNotThatRecord = -1;

// What the record read must be: the one under the cursor's entry (its key),
// the one of a record number, or anything (recno < 0, no key).
struct expect {
  bool key = false;
  int64_t recno = -1;
};

// Whether the record's key under the cursor's key equals the entry's key
// that the cursor holds. `rec` has `n` of the record's `length` bytes.
bool carries_entry_key(BRF_RCB* r, uint32_t seek, const uint8_t* rec, uint32_t n, uint32_t length) {
  BRF_FILE* f = r->file;
  BT_CURSOR* c = r->cursor;
  std::vector<uint8_t>& img = r->scratch_a;
  uint32_t have = std::min(length, brf_key_extent(f));
  img.assign(std::max(length, brf_key_extent(f)), 0);
  memcpy(img.data(), rec, std::min(n, have));
  if (n < have &&
      kivo_pread(f->slot, img.data() + n, have - n, off_t{seek} + kRecHdrSize + n) != static_cast<ssize_t>(have - n))
    return false;
  uint8_t key[256] = {};
  getlkey(f->key, c->key, img.data(), kWholeRecord, key, kKeyFormRecord);
  return key_compare(f->key->segs[c->key], f->key->keys[c->key].nsegs, key, c->keybuf) == 0;
}

bool names_itself(const rec_hdr& h, uint32_t seek) { return h.link == seek || (h.link & kOwnerBit); }

// Reads the record at `seek` into buf; the record lock is taken first when
// one is wanted. A lock refused still delivers the record, with 20.
int read_at(BRF_RCB* r, uint32_t seek, uint8_t* buf, size_t size, uint32_t* len, expect must = {}) {
  BRF_FILE* f = r->file;
  bool relative = brf_relative(f);
  int lock_st = brflock(f->slot, &r->lock, seek, relative);
  bool took = lock_st == BRF_OK && (r->lock.flags & RCB_LOCK_HELD) && r->lock.seek == seek;
  auto fail = [&](int st) {
    if (took) brf_release(r);
    return set_status(r, st);
  };
  if (relative) {
    uint32_t n = static_cast<uint32_t>(std::min<size_t>(size, f->hdr.rec_len));
    if (kivo_pread(f->slot, buf, n, seek) != static_cast<ssize_t>(n)) return fail(BRF_BAD_DATA);
    *len = n;
    r->cur_rec = r->last_rec = seek / f->hdr.rec_len;
    r->last_seek = seek;
    return set_status(r, lock_st);
  }
  size_t want = kRecHdrSize + std::min(size, kReadAhead);
  if (brf_fixed(f)) want = kRecHdrSize + std::min<size_t>(size, f->hdr.rec_len);
  uint8_t head[kRecHdrSize + kReadAhead];
  uint8_t* io = want <= sizeof head ? head : nullptr;
  if (!io) {
    r->scratch_b.resize(want);
    io = r->scratch_b.data();
  }
  ssize_t got = kivo_pread(f->slot, io, want, seek);
  if (got < static_cast<ssize_t>(kRecHdrSize)) return fail(BRF_BAD_DATA);
  rec_hdr h = decode_rec_hdr(io);
  if (h.length == 0 && !brf_fixed(f)) return fail(BRF_BAD_DATA);
  if (h.flags & (kRecDeleted | kRecNotUser)) return fail(BRF_DELETED);
  if (!names_itself(h, seek) || (brf_fixed(f) && h.length != f->hdr.rec_len)) return fail(BRF_BAD_DATA);
  uint32_t n = static_cast<uint32_t>(std::min<size_t>(size, h.length));
  size_t in_head = static_cast<size_t>(got) - kRecHdrSize;
  if (n <= in_head) {
    memcpy(buf, io + kRecHdrSize, n);
  } else {
    memcpy(buf, io + kRecHdrSize, in_head);
    if (kivo_pread(f->slot, buf + in_head, n - in_head, off_t{seek} + kRecHdrSize + static_cast<off_t>(in_head)) !=
        static_cast<ssize_t>(n - in_head))
      return fail(BRF_BAD_DATA);
  }
  if ((must.recno >= 0 && h.recno != must.recno) || (must.key && !carries_entry_key(r, seek, buf, n, h.length)))
    return fail(kNotThatRecord);
  if (took && f->has_keys && r->owner_tracking && lock_session_number) {
    h.link = owner_word(lock_session_number);
    // The owner stamp only names the holder for the analyser; the read stands
    // without it.
    static_cast<void>(brf_write_rec_hdr(f, seek, h));
  }
  *len = n;
  r->cur_rec = r->last_rec = h.recno;
  r->last_seek = seek;
  return set_status(r, lock_st);
}

// The seek one record on from `seek` (forward) or back (backward), or -1.
int64_t step(BRF_FILE* f, uint32_t seek, bool forward) {
  if (forward) {
    rec_hdr h;
    if (brf_read_rec_hdr(f, seek, &h) != BRF_OK) return -1;
    uint64_t next = uint64_t{seek} + h.length + kRecOverhead;
    return next <= f->hdr.eofseek ? static_cast<int64_t>(next) : -1;
  }
  uint8_t tr[kRecTrailerSize];
  if (seek < kDataHeaderSize + kRecOverhead ||
      kivo_pread(f->slot, tr, sizeof tr, seek - kRecTrailerSize) != static_cast<ssize_t>(sizeof tr))
    return -1;
  uint64_t back = uint64_t{ld_le32(tr, 0)} + kRecOverhead;
  if (back > seek - kDataHeaderSize) return -1;
  return static_cast<int64_t>(seek - back);
}

// Reads one record under a keyed position: the cursor's DSEEK, which must
// carry the entry's key (else kNotThatRecord).
int read_keyed(BRF_RCB* r, uint8_t* buf, size_t size, uint32_t* len) {
  BT_CURSOR* c = r->cursor;
  r->positioned_key = c->key;
  if (c->dseek == kNoSeek) return set_status(r, BRF_NO_RECORD);
  expect want;
  want.key = true;
  return read_at(r, c->dseek, buf, size, len, want);
}

// A search by `search`, repeated while a dead writer's pair is repaired or
// the record found changed before it could be read. A record that keeps
// changing gives 9.
template <class Search>
int search_and_read(BRF_RCB* r, Search search, uint8_t* buf, size_t size, uint32_t* len) {
  for (int tries = 0; tries < kSearchRetries; ++tries) {
    int st = search();
    if (brf_repair_if_abandoned(r)) continue;
    if (st) return set_status(r, st);
    st = read_keyed(r, buf, size, len);
    if (st != kNotThatRecord) return st;
  }
  return set_status(r, BRF_NO_RECORD);
}

// Reads record number n at `seek`: a record that is not that number (its
// space taken since the seek was found) is looked up again once.
int read_number(BRF_RCB* r, int64_t n, int64_t seek, uint8_t* buf, size_t size, uint32_t* len) {
  expect want;
  want.recno = n;
  int st = read_at(r, static_cast<uint32_t>(seek), buf, size, len, want);
  if (st != kNotThatRecord) return st;
  r->last_rec = r->last_seek = -1;  // walk from the start, not from a stale place
  seek = brffindrcd(r, n);
  if (seek < 0) return r->status;
  st = read_at(r, static_cast<uint32_t>(seek), buf, size, len, want);
  return st == kNotThatRecord ? set_status(r, BRF_BAD_DATA) : st;
}

// Sequential reading by record number from the last one, skipping deleted
// and free-list records.
int next_by_number(BRF_RCB* r, uint8_t* buf, size_t size, uint32_t* len) {
  for (;;) {
    int st;
    if (r->preload) {
      st = preload_nxt(r, buf, size, len);
    } else {
      int64_t n = r->last_rec + 1;
      r->cur_rec = n;
      int64_t seek = brffindrcd(r, n);
      if (seek < 0) return r->status;
      st = read_number(r, n, seek, buf, size, len);
      if (st == BRF_DELETED) {
        r->last_rec = n;
        r->last_seek = seek;
      }
    }
    if (st != BRF_DELETED) return st;
  }
}

}  // namespace

int brfget(BRF_RCB* r, uint8_t* buf, size_t size, uint32_t* len) {
  *len = 0;
  if (r->preload) return preload_nxt(r, buf, size, len);
  if (r->cursor && r->cursor->key >= 0) {
    BT_CURSOR* c = r->cursor;
    int st = read_keyed(r, buf, size, len);
    if (st != kNotThatRecord) return st;
    // The entry's record changed: look its key up again.
    uint8_t key[256];
    memcpy(key, c->keybuf, sizeof key);
    auto search = [&] {
      if (!block(c, false)) return static_cast<int>(c->status);
      int found = blseek(c, kSeekEqual, key, kBtMaxSegs);
      bunlock(c, false);
      return found;
    };
    return search_and_read(r, search, buf, size, len);
  }
  if (r->cur_rec < 0) return set_status(r, BRF_EOF);
  int64_t seek = brffindrcd(r, r->cur_rec);
  if (seek < 0) return set_status(r, BRF_NO_RECORD);
  if (brf_relative(r->file)) return read_at(r, static_cast<uint32_t>(seek), buf, size, len);
  return read_number(r, r->cur_rec, seek, buf, size, len);
}

int brffirst(BRF_RCB* r, uint8_t* buf, size_t size, uint32_t* len) {
  *len = 0;
  if (r->preload) {
    r->cur_rec = 0;
    r->last_rec = -1;
    r->preload_pos = kDataHeaderSize;
    return set_status(r, BRF_OK);
  }
  if (r->cursor && r->cursor->key >= 0) {
    int st = bfirst(r->cursor);
    if (brf_repair_if_abandoned(r)) st = bfirst(r->cursor);
    if (st) return set_status(r, st);
    st = read_keyed(r, buf, size, len);
    // A record deleted or replaced since its entry was read is passed over.
    if (st != BRF_DELETED && st != kNotThatRecord) return st;
    return brfnext(r, buf, size, len);
  }
  r->last_rec = -1;
  return next_by_number(r, buf, size, len);
}

int brfnext(BRF_RCB* r, uint8_t* buf, size_t size, uint32_t* len) {
  *len = 0;
  if (r->cursor && r->cursor->key >= 0) {
    if (r->positioned_key != r->cursor->key) {
      int st = brfsetcur(r);
      if (st) return st;
    }
    for (;;) {
      brf_pos before;
      brf_save_pos(r->cursor, &before);
      int st = bnext(r->cursor);
      if (brf_repair_if_abandoned(r)) {
        // The trees are new: go on from the key reached before.
        brf_restore_pos(r->cursor, &before);
        continue;
      }
      if (st) return set_status(r, st);
      st = read_keyed(r, buf, size, len);
      if (st != BRF_DELETED && st != kNotThatRecord) return st;
    }
  }
  return next_by_number(r, buf, size, len);
}

int brfseek(BRF_RCB* r, int mode, const uint8_t* key, int keylen, uint8_t* buf, size_t size, uint32_t* len) {
  *len = 0;
  if (!r->cursor || r->cursor->key < 0) return set_status(r, BRF_NO_KEY);
  return search_and_read(
      r, [&] { return bseek(r->cursor, mode, key, keylen, r->key_form); }, buf, size, len);
}

int64_t brfrcdcnt(BRF_RCB* r) {
  BRF_FILE* f = r->file;
  if (!brf_relative(f)) {
    if (int st = brfgethdr(f)) {
      set_status(r, st);
      return -1;
    }
    verify_eof(f->slot, f->hdr.eofseek);
  }
  uint32_t count = 0;
  if (int st = brf_record_count(f, &count)) {
    set_status(r, st);
    return -1;
  }
  if (brf_relative(f)) f->hdr.eofseek = count * f->hdr.rec_len;
  return count;
}

int64_t brffindrcd(BRF_RCB* r, int64_t n) {
  BRF_FILE* f = r->file;
  if (n < 0) {
    set_status(r, BRF_NO_RECORD);
    return -1;
  }
  if (brf_relative(f)) {
    int64_t count = brfrcdcnt(r);
    if (count < 0) return -1;
    if (n >= count) {
      set_status(r, BRF_EOF);
      return -1;
    }
    return n * f->hdr.rec_len;
  }
  int64_t count = brfrcdcnt(r);
  if (count < 0) return -1;
  if (n >= count) {
    set_status(r, BRF_EOF);
    return -1;
  }
  if (brf_fixed(f)) {
    uint64_t seek = kDataHeaderSize + uint64_t(n) * (f->hdr.rec_len + kRecOverhead);
    rec_hdr h;
    if (brf_read_rec_hdr(f, static_cast<uint32_t>(seek), &h) != BRF_OK) {
      set_status(r, BRF_BAD_DATA);
      return -1;
    }
    return static_cast<int64_t>(seek);
  }
  // Walk from the nearest known record: the start, the last one read, or
  // (for a long way forward) the end.
  int64_t at = 0;
  int64_t seek = kDataHeaderSize;
  if (r->last_rec >= 0 && r->last_seek >= 0 && std::llabs(n - r->last_rec) < n) {
    at = r->last_rec;
    seek = r->last_seek;
  }
  int64_t last = count - 1;
  if (at < n && n - at >= 201 && last - n < n - at) {
    int64_t s = step(f, f->hdr.eofseek, false);
    if (s >= 0) {
      at = last;
      seek = s;
    }
  }
  for (int64_t guard = count + 1; at != n; --guard) {
    if (guard == 0) seek = -1;
    if (seek >= 0) seek = step(f, static_cast<uint32_t>(seek), at < n);
    if (seek < 0) {
      set_status(r, BRF_BAD_DATA);
      return -1;
    }
    at += at < n ? 1 : -1;
  }
  return seek;
}

}  // namespace kivo
