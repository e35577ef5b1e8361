// Reading records: by the cursor's entry, by record number, in key order and
// in physical order; record numbers to seeks and the record count.
//
// Everything read is checked before use: a header must name itself (its link
// is its own seek or an owner stamp), lie inside the file and be a finished
// user record, so a stale or damaged index entry gives a status, never
// another record's bytes or a read past the file. A read by number must find
// a record of that number, and keeps no lock on one that is not. A keyed
// read that meets a pair left marked by a dead writer has it repaired
// (record_repair.cpp) and searches again.
#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "foundation/bytes.h"
#include "store/record_ops.h"

namespace kivo {

namespace {

// Bytes read with the header in one call; a longer body takes a second read.
constexpr size_t kReadAhead = 1024;

// Copies of a record taken again when a writer keeps changing it.
constexpr int kCopyTries = 100;

constexpr int kNotMapped = -1;
constexpr int kTorn = -2;

// Whether a copy of the record at `seek` may begin under the rewrite word
// `w` (data_file.h): no rewrite of that record under way.
bool copy_may_begin(uint32_t w, uint32_t seek) { return w != (kRewriteBusy | seek); }

// Copies a record out of the data file's mapping: header and up to `size`
// body bytes. A body rewritten in place meanwhile may have been copied half
// old, half new, so the copy is taken again until the file still shows it
// right after. That alone misses a writer stopped inside its write, whose
// half-written body reads the same twice: the writer names the record in
// the data file's rewrite word through the write, so the copy also needs a
// word that names no rewrite of the record and stands unmoved around it
// (`watch`: the word, null with every writer kept out). A writer stopped
// on another record holds no reader up. kNotMapped when the mapping does
// not cover the record; kTorn when writers kept changing it through every
// try.
int copy_mapped(BRF_RCB* r, uint32_t seek, uint8_t* buf, size_t size, rec_hdr* hp, uint32_t* np,
                const uint32_t* watch) {
  BRF_FILE* f = r->file;
  for (int tries = 0;; ++tries) {
    uint32_t count = watch ? __atomic_load_n(watch, __ATOMIC_ACQUIRE) : 0;
    if (!copy_may_begin(count, seek)) {
      if (tries >= kCopyTries) return kTorn;
      continue;
    }
    size_t len = 0;
    const uint8_t* map = fd_cache_map_file(f->slot, uint64_t{seek} + kRecHdrSize, &len);
    if (!map || uint64_t{seek} + kRecHdrSize > len) return kNotMapped;
    uint8_t head[kRecHdrSize];
    memcpy(head, map + seek, sizeof head);
    rec_hdr h = decode_rec_hdr(head);
    if (int st = brf_rec_hdr_check(f, h, seek, kAnyEnd)) {
      // A header caught half-written reads as no record: look again.
      if (memcmp(map + seek, head, sizeof head) != 0 && tries < kCopyTries) continue;
      return st;
    }
    uint32_t n = static_cast<uint32_t>(std::min<size_t>(size, h.length));
    const uint8_t* body = map + seek + kRecHdrSize;
    if (uint64_t{seek} + kRecHdrSize + n > len) return kNotMapped;
    // The trailer repeats the length where the mapping shows it.
    const uint64_t tr = uint64_t{seek} + kRecHdrSize + h.length;
    if (r->by_key && tr + kRecTrailerSize <= len && ld_le32(map, tr) != h.length) {
      if (tries < kCopyTries) continue;
      return BRF_BAD_DATA;
    }
    memcpy(buf, body, n);
    bool whole = memcmp(map + seek, head, sizeof head) == 0 && memcmp(body, buf, n) == 0;
    if (watch) {
      __atomic_thread_fence(__ATOMIC_ACQUIRE);  // the copy is read before the count again
      whole = whole && __atomic_load_n(watch, __ATOMIC_RELAXED) == count;
    }
    if (whole) {
      *hp = h;
      *np = n;
      return BRF_OK;
    }
    if (tries == kCopyTries) return kTorn;
  }
}

int copy_read(BRF_RCB* r, uint32_t seek, uint8_t* buf, size_t size, rec_hdr* hp, uint32_t* np, const uint32_t* watch);

// The copy from the mapping, else by system calls (past the mapping).
int copy_any(BRF_RCB* r, uint32_t seek, uint8_t* buf, size_t size, rec_hdr* hp, uint32_t* np, const uint32_t* watch) {
  int st = copy_mapped(r, seek, buf, size, hp, np, watch);
  return st == kNotMapped ? copy_read(r, seek, buf, size, hp, np, watch) : st;
}

// The copy once more with every writer kept out: a rewrite in place runs
// under the update lock (held by this session already: no writer runs).
// A rewrite word naming the record now is a dead writer's: a body it may
// have left half written reads as no record (17); any other is put back to
// rest, so that later reads of the record take their copies without locks.
int copy_alone(BRF_RCB* r, uint32_t seek, uint8_t* buf, size_t size, rec_hdr* hp, uint32_t* np) {
  BRF_FILE* f = r->file;
  bool locked = bt_share_at(f->slot, kUpdateLockByte, 1, 1, LOCK_UPDATE) != 0;
  int st = BRF_BAD_DATA;
  if (!locked || brf_torn_record(f) != int64_t{seek}) {
    if (locked) brf_rewrite_settle(f);
    st = copy_any(r, seek, buf, size, hp, np, nullptr);
  }
  if (locked) bt_share_at(f->slot, kUpdateLockByte, 0, 0, LOCK_UPDATE);
  return st == kTorn ? BRF_BAD_DATA : st;
}

// A relative file's record, `n` bytes at `seek`, has no rewrite word: it
// is copied under its write guard, shared (lock.h).
int read_relative(BRF_RCB* r, uint32_t seek, uint8_t* buf, uint32_t n) {
  BRF_FILE* f = r->file;
  const bool guarded = rel_write_guard(f->slot, seek, false, true);
  const int st = brf_read_exact(f, buf, n, seek);
  if (guarded) rel_write_guard(f->slot, seek, false, false);
  return st;
}

// Reads the record at `seek` into buf; the record lock is taken first when
// one is wanted. A lock refused still delivers the record, with 20.
int read_at(BRF_RCB* r, uint32_t seek, uint8_t* buf, size_t size, uint32_t* len) {
  BRF_FILE* f = r->file;
  r->stored_len = 0;
  bool relative = brf_relative(f);
  int lock_st = brflock(f->slot, &r->lock, seek, relative);
  bool took = lock_st == BRF_OK && (r->lock.flags & RCB_LOCK_HELD) && r->lock.seek == seek;
  auto fail = [&](int st) {
    if (took) brf_release(r);
    return set_status(r, st);
  };
  if (relative) {
    uint32_t n = static_cast<uint32_t>(std::min<size_t>(size, f->hdr.rec_len));
    if (int st = read_relative(r, seek, buf, n)) return fail(st);
    *len = n;
    r->stored_len = f->hdr.rec_len;
    r->cur_rec = r->last_rec = seek / f->hdr.rec_len;
    r->last_seek = seek;
    return set_status(r, lock_st);
  }
  rec_hdr h;
  uint32_t n = 0;
  // A file shared with other writers whose rewrite word cannot be watched
  // is copied with them kept out.
  const uint32_t* watch = brf_rewrite_word(f);
  int st = !watch && !brf_alone(f) ? kTorn : copy_any(r, seek, buf, size, &h, &n, watch);
  if (st == kTorn) st = copy_alone(r, seek, buf, size, &h, &n);
  if (st != BRF_OK) return fail(st);
  if (took && f->has_keys && r->owner_tracking && lock_session_number) {
    h.link = owner_word(lock_session_number);
    // The owner stamp only names the holder for the analyser; the read stands
    // without it.
    static_cast<void>(brf_write_rec_hdr(f, seek, h));
  }
  *len = n;
  r->stored_len = h.length;
  r->cur_rec = r->last_rec = h.recno;
  r->last_seek = seek;
  return set_status(r, lock_st);
}

// Reads a record by system calls: the header with the start of the body in
// one, the rest of a long body in a second. A read does not wait for a write
// under way, so the rewrite word is watched as for a copy from the mapping.
int copy_read_once(BRF_RCB* r, uint32_t seek, uint8_t* buf, size_t size, rec_hdr* hp, uint32_t* np);

int copy_read(BRF_RCB* r, uint32_t seek, uint8_t* buf, size_t size, rec_hdr* hp, uint32_t* np, const uint32_t* watch) {
  for (int tries = 0;; ++tries) {
    uint32_t count = watch ? __atomic_load_n(watch, __ATOMIC_ACQUIRE) : 0;
    if (copy_may_begin(count, seek)) {
      int st = copy_read_once(r, seek, buf, size, hp, np);
      if (!watch) return st;
      __atomic_thread_fence(__ATOMIC_ACQUIRE);
      if (__atomic_load_n(watch, __ATOMIC_RELAXED) == count) return st;
    }
    if (tries == kCopyTries) return kTorn;
  }
}

int copy_read_once(BRF_RCB* r, uint32_t seek, uint8_t* buf, size_t size, rec_hdr* hp, uint32_t* np) {
  BRF_FILE* f = r->file;
  size_t want = kRecHdrSize + std::min(size, kReadAhead);
  // A whole fixed-length record is read with its trailer.
  if (brf_fixed(f))
    want = kRecHdrSize +
           (size >= f->hdr.rec_len ? f->hdr.rec_len + kRecTrailerSize : std::min<size_t>(size, f->hdr.rec_len));
  uint8_t head[kRecHdrSize + kReadAhead];
  uint8_t* io = want <= sizeof head ? head : nullptr;
  if (!io) {
    r->scratch_b.resize(want);
    io = r->scratch_b.data();
  }
  ssize_t got = brf_pread(f, io, want, seek);
  if (got < 0) return brf_read_exact(f, io, want, seek);  // named as it fails
  if (got < static_cast<ssize_t>(kRecHdrSize)) return BRF_BAD_DATA;
  rec_hdr h = decode_rec_hdr(io);
  if (int st = brf_rec_hdr_check(f, h, seek, kAnyEnd)) return st;
  uint32_t n = static_cast<uint32_t>(std::min<size_t>(size, h.length));
  size_t in_head = static_cast<size_t>(got) - kRecHdrSize;
  if (r->by_key && in_head >= size_t{h.length} + kRecTrailerSize && ld_le32(io, kRecHdrSize + h.length) != h.length)
    return BRF_BAD_DATA;
  if (n <= in_head) {
    memcpy(buf, io + kRecHdrSize, n);
  } else {
    memcpy(buf, io + kRecHdrSize, in_head);
    if (int st = brf_read_exact(f, buf + in_head, n - in_head, uint64_t{seek} + kRecHdrSize + in_head)) return st;
  }
  *hp = h;
  *np = n;
  return BRF_OK;
}

// The seek one record on from `seek` (forward) or back (backward), or -1.
int64_t step(BRF_RCB* r, uint32_t seek, bool forward) {
  BRF_FILE* f = r->file;
  if (forward) {
    rec_hdr h;
    if (brf_read_rec_hdr(f, seek, &h) != BRF_OK) return -1;
    uint64_t next = uint64_t{seek} + h.length + kRecOverhead;
    return next <= f->hdr.eofseek ? static_cast<int64_t>(next) : -1;
  }
  uint8_t tr[kRecTrailerSize];
  if (seek < kDataHeaderSize + kRecOverhead || brf_read_exact(f, tr, sizeof tr, seek - kRecTrailerSize) != BRF_OK)
    return -1;
  uint64_t back = uint64_t{ld_le32(tr, 0)} + kRecOverhead;
  if (back > seek - kDataHeaderSize) return -1;
  return static_cast<int64_t>(seek - back);
}

// Before a read goes again: a lock taken on the wrong place is given back
// and the lock wanted with the read (`wanted`: its RCB_LOCK_* want bits) is
// wanted again, for the right place.
void retry_lock(BRF_RCB* r, uint8_t wanted) {
  brfunlock(r->file->slot, &r->lock, brf_relative(r->file));
  r->lock.flags = static_cast<uint8_t>(r->lock.flags | wanted);
}

// A read that gives up: a lock it took is given back and none is wanted any
// more, as after any failed read.
int give_up(BRF_RCB* r, bool held, int st) {
  if (!held) brf_release(r);
  return set_status(r, st);
}

// Whether the record just read carries the key of the cursor's entry. The
// record is read after the tree lock is given back: by then a writer may
// have moved it, or deleted it and given its space to another record.
// `rec` holds at least the key extent, zeros past the record's `len` bytes.
bool holds_entry_key(BRF_RCB* r, const uint8_t* rec) {
  BT_CURSOR* c = r->cursor;
  uint8_t key[256] = {};
  getlkey(r->file->key, c->key, rec, kWholeRecord, key, kKeyFormRecord);
  return bkeycmp(c, key, kBtMaxSegs, c->keybuf) == 0;
}

// A search for the entry's key that found none leaves the cursor on the
// entry after it, which the next read in key order would step past: the
// cursor goes back to the entry it was reading (`at`), so that the next read
// goes on from it while its page stands unchanged, and finds its place
// again by that key once the page has changed. An entry the search cannot
// find in a page that stands is out of order: the next step says so.
void stand_on_key(BT_CURSOR* c, const brf_pos& at) {
  brf_restore_pos(c, &at);
  if (c->index < 0) c->dseek = kNoSeek;
}

// Searches of one keyed read that find the entry's record not there, and
// how many of them go again at once before waiting for the change that
// moves it to end.
constexpr int kSeekTries = 20;
constexpr int kSeekTriesAtOnce = 2;

// Reads the record at the cursor's DSEEK so that its key can be checked: a
// buffer shorter than the key extent (or a record shorter than it) goes
// through the scratch buffer, zero-padded. Status as read_at; *rec points
// at the padded image.
int read_checkable(BRF_RCB* r, uint8_t* buf, size_t size, uint32_t* len, const uint8_t** rec) {
  uint32_t extent = brf_key_extent(r->file);
  std::vector<uint8_t>& pad = r->scratch_a;
  if (size < extent) {
    pad.assign(extent, 0);
    int st = read_at(r, r->cursor->dseek, pad.data(), extent, len);
    if (st == BRF_OK || st == BRF_LOCK_REFUSED) {
      memcpy(buf, pad.data(), std::min<size_t>(*len, size));
      *rec = pad.data();
    }
    return st;
  }
  int st = read_at(r, r->cursor->dseek, buf, size, len);
  *rec = buf;
  if ((st == BRF_OK || st == BRF_LOCK_REFUSED) && *len < extent) {
    pad.assign(extent, 0);
    memcpy(pad.data(), buf, *len);
    *rec = pad.data();
  }
  return st;
}

// Reads one record under a keyed position: the cursor's DSEEK. A record
// that is not there any more, or not yet (moved, being moved, its space
// given to another record), sends the cursor to the entry's key again, the
// lock taken on the wrong place given back; past a few such searches the
// read waits for the change in progress to end. When no entry has the key
// now, the record is gone (BRF_DELETED, which the sequential reads pass
// over).
int read_keyed(BRF_RCB* r, uint8_t* buf, size_t size, uint32_t* len) {
  BT_CURSOR* c = r->cursor;
  r->positioned_key = c->key;
  for (int tries = 0;; ++tries) {
    if (c->dseek == kNoSeek) return set_status(r, BRF_NO_RECORD);
    brf_pos at;
    brf_save_pos(c, &at);
    bool held = (r->lock.flags & RCB_LOCK_HELD) != 0;
    uint8_t wanted = r->lock.flags & (RCB_LOCK_WANTED | RCB_LOCK_WAIT);
    uint32_t got = 0;
    const uint8_t* rec = nullptr;
    r->by_key = true;
    int st = read_checkable(r, buf, size, &got, &rec);
    r->by_key = false;
    bool delivered = st == BRF_OK || st == BRF_LOCK_REFUSED;
    if (delivered && holds_entry_key(r, rec)) {
      *len = static_cast<uint32_t>(std::min<size_t>(got, size));
      return st;
    }
    if (!delivered && st != BRF_DELETED && st != BRF_BAD_DATA) return st;
    if (!held) retry_lock(r, wanted);
    r->stored_len = 0;
    if (tries == kSeekTries) {
      if (st == BRF_BAD_DATA) st = brf_record_unreadable(r->file, c->dseek);
      return give_up(r, held, delivered ? BRF_DELETED : st);
    }
    if (tries >= kSeekTriesAtOnce) brf_wait_for_change(r);
    uint8_t key[256];
    memcpy(key, c->keybuf, sizeof key);
    st = bseek(c, kSeekEqual, key, sizeof key, kKeyFormKey);
    if (st != BRF_OK) {
      stand_on_key(c, at);
      return give_up(r, held, st == BRF_NO_RECORD ? BRF_DELETED : st);
    }
  }
}

// Sequential reading by record number from the last one, skipping deleted
// and free-list records.
// Reads record number n at `seek`: a record of another number there (its
// space taken since the seek was found) sends the walk once more from the
// start; then it is 17.
int read_number(BRF_RCB* r, int64_t n, int64_t seek, uint8_t* buf, size_t size, uint32_t* len) {
  for (int tries = 0;; ++tries) {
    bool held = (r->lock.flags & RCB_LOCK_HELD) != 0;
    uint8_t wanted = r->lock.flags & (RCB_LOCK_WANTED | RCB_LOCK_WAIT);
    int st = read_at(r, static_cast<uint32_t>(seek), buf, size, len);
    if (st == BRF_BAD_DATA) return give_up(r, held, brf_record_unreadable(r->file, static_cast<uint32_t>(seek)));
    if ((st != BRF_OK && st != BRF_LOCK_REFUSED) || r->last_rec == n) return st;
    if (!held) retry_lock(r, wanted);
    *len = 0;
    r->stored_len = 0;
    r->cur_rec = n;
    r->last_rec = r->last_seek = -1;  // walk from the start, not from a stale place
    if (tries == 1) {
      char what[80];
      snprintf(what, sizeof what, "holds record number %lld where number %lld belongs",
               static_cast<long long>(r->last_rec), static_cast<long long>(n));
      return give_up(r, held, brf_record_damaged(r->file, static_cast<uint32_t>(seek), what));
    }
    if ((seek = brffindrcd(r, n)) < 0) return give_up(r, held, r->status);
  }
}

// Record numbers the record at `seek` covers: in a fixed-length file with
// a header a FREE_BLOCK spans several records' space, none of which starts a
// record.
int64_t slots_taken(BRF_FILE* f, uint32_t seek) {
  rec_hdr h;
  if (!brf_fixed(f) || brf_relative(f) || brf_read_rec_hdr(f, seek, &h) != BRF_OK) return 1;
  return std::max<int64_t>(1, (int64_t{h.length} + kRecOverhead) / (f->hdr.rec_len + kRecOverhead));
}

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
        r->last_rec = n + slots_taken(r->file, static_cast<uint32_t>(seek)) - 1;
        r->last_seek = seek;
      }
    }
    if (st != BRF_DELETED) return st;
  }
}

}  // namespace

int brf_record_unreadable(BRF_FILE* f, uint32_t seek) {
  rec_hdr h;
  char what[160];
  if (int st = brf_read_rec_hdr(f, seek, &h)) {
    if (st != BRF_BAD_DATA) return st;
    snprintf(what, sizeof what, "lies past the file's end");
  } else if (h.link != seek && !(h.link & kOwnerBit)) {
    snprintf(what, sizeof what, "names seek %u in its header", h.link);
  } else if (brf_fixed(f) && h.length != f->hdr.rec_len) {
    snprintf(what, sizeof what, "has length %u in its header, the file's records %u", h.length, f->hdr.rec_len);
  } else if (h.length == 0 || uint64_t{seek} + h.length + kRecOverhead > f->hdr.eofseek) {
    snprintf(what, sizeof what, "has length %u in its header, which does not end within the file's %u bytes", h.length,
             f->hdr.eofseek);
  } else {
    uint8_t tr[kRecTrailerSize];
    if (int st = brf_read_exact(f, tr, sizeof tr, uint64_t{seek} + kRecHdrSize + h.length)) return st;
    if (ld_le32(tr, 0) == h.length) return BRF_BAD_DATA;
    snprintf(what, sizeof what, "has length %u in its header and %u in its trailer", h.length, ld_le32(tr, 0));
  }
  return brf_record_damaged(f, seek, what);
}

int brf_rec_hdr_check(const BRF_FILE* f, const rec_hdr& h, uint32_t seek, uint64_t end) {
  if (h.flags & (kRecDeleted | kRecNotUser)) return BRF_DELETED;
  if (h.link != seek && !(h.link & kOwnerBit)) return BRF_BAD_DATA;
  if (brf_fixed(f) ? h.length != f->hdr.rec_len : h.length == 0) return BRF_BAD_DATA;
  if (end != kAnyEnd && uint64_t{seek} + h.length + kRecOverhead > end) return BRF_BAD_DATA;
  return BRF_OK;
}

int brfget(BRF_RCB* r, uint8_t* buf, size_t size, uint32_t* len) {
  *len = 0;
  r->stored_len = 0;
  if (r->preload) return preload_nxt(r, buf, size, len);
  if (r->cursor && r->cursor->key >= 0) return read_keyed(r, buf, size, len);
  if (r->cur_rec < 0) return set_status(r, BRF_EOF);
  int64_t seek = brffindrcd(r, r->cur_rec);
  if (seek < 0) return set_status(r, BRF_NO_RECORD);
  return read_number(r, r->cur_rec, seek, buf, size, len);
}

int brfgetat(BRF_RCB* r, uint32_t seek, uint8_t* buf, size_t size, uint32_t* len) {
  *len = 0;
  r->positioned_key = -1;  // a later brfnext re-positions the cursor here
  return read_at(r, seek, buf, size, len);
}

int brffirst(BRF_RCB* r, uint8_t* buf, size_t size, uint32_t* len) {
  *len = 0;
  r->stored_len = 0;
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
    // A record deleted since its entry was read is passed over.
    if (st != BRF_DELETED) return st;
    return brfnext(r, buf, size, len);
  }
  r->last_rec = -1;
  return next_by_number(r, buf, size, len);
}

namespace {

// The cache lines of a short record at `seek` of a mapping of `len` bytes
// (header to trailer, or a relative file's record of up to 128 bytes),
// asked for once each.
void prefetch_record(const uint8_t* map, size_t len, uint32_t seek) {
  constexpr uint32_t kLine = 64;
  if (uint64_t{seek} + 2 * kLine >= len) return;
  __builtin_prefetch(map + seek);
  __builtin_prefetch(map + seek + kLine);
  __builtin_prefetch(map + seek + 2 * kLine - 1);
}

}  // namespace

// Asks the memory system for the record kAhead entries on in key order (on
// coming to a page, for every one up to it): records lie anywhere in the
// data file, and a scan would otherwise wait for each in turn. Each record
// is asked for once, header to trailer of a short record.
void prefetch_ahead(BRF_RCB* r) {
  constexpr int kAhead = 24;
  uint32_t seeks[kAhead];
  const int from = r->cursor->index == 0 ? 1 : kAhead;
  int n = bpeek_ahead(r->cursor, from, seeks, kAhead - from + 1);
  if (n == 0) return;
  size_t len = 0;
  const uint8_t* map = fd_cache_map_file(r->file->slot, 0, &len);
  if (!map) return;
  for (int i = 0; i < n; ++i) prefetch_record(map, len, seeks[i]);
}

void brfprefetch(BRF_RCB* r, uint32_t seek) {
  if (!r || !r->file) return;
  size_t len = 0;
  const uint8_t* map = fd_cache_map_file(r->file->slot, 0, &len);
  if (map) prefetch_record(map, len, seek);
}

int brfnext(BRF_RCB* r, uint8_t* buf, size_t size, uint32_t* len) {
  *len = 0;
  r->stored_len = 0;
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
      prefetch_ahead(r);
      st = read_keyed(r, buf, size, len);
      if (st != BRF_DELETED) return st;
    }
  }
  return next_by_number(r, buf, size, len);
}

int brfseek(BRF_RCB* r, int mode, const uint8_t* key, int keylen, uint8_t* buf, size_t size, uint32_t* len) {
  *len = 0;
  r->stored_len = 0;
  if (!r->cursor || r->cursor->key < 0) return set_status(r, BRF_NO_KEY);
  int st = bseek(r->cursor, mode, key, keylen, r->key_form);
  if (brf_repair_if_abandoned(r)) st = bseek(r->cursor, mode, key, keylen, r->key_form);
  if (st) return set_status(r, st);
  return read_keyed(r, buf, size, len);
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

namespace {

// The nth slot of a relative file: known slots at once; past them the
// file is counted again.
int64_t find_relative(BRF_RCB* r, int64_t n) {
  BRF_FILE* f = r->file;
  if (n < f->rel_seen) return n * f->hdr.rec_len;
  int64_t count = brfrcdcnt(r);
  if (count < 0) return -1;
  f->rel_seen = static_cast<uint32_t>(count);
  if (n >= count) {
    set_status(r, BRF_EOF);
    return -1;
  }
  return n * f->hdr.rec_len;
}

// A fixed-length file's records stand at known places; the header is read
// to see that one is there.
int64_t find_fixed(BRF_RCB* r, int64_t n) {
  BRF_FILE* f = r->file;
  uint64_t seek = kDataHeaderSize + uint64_t(n) * (f->hdr.rec_len + kRecOverhead);
  rec_hdr h;
  if (int st = brf_read_rec_hdr(f, static_cast<uint32_t>(seek), &h)) {
    set_status(r, st);
    return -1;
  }
  return static_cast<int64_t>(seek);
}

// Walks to record n of count from the nearest known record: the start, the
// last one read, or (for a long way forward) the end.
int64_t walk_to(BRF_RCB* r, int64_t n, int64_t count) {
  BRF_FILE* f = r->file;
  int64_t at = 0;
  int64_t seek = kDataHeaderSize;
  if (r->last_rec >= 0 && r->last_seek >= 0 && std::llabs(n - r->last_rec) < n) {
    at = r->last_rec;
    seek = r->last_seek;
  }
  int64_t last = count - 1;
  if (at < n && n - at >= 201 && last - n < n - at) {
    int64_t s = step(r, f->hdr.eofseek, false);
    if (s >= 0) {
      at = last;
      seek = s;
    }
  }
  f->read_err = 0;
  for (int64_t guard = count + 1; at != n; --guard) {
    if (guard == 0) seek = -1;
    if (seek >= 0) seek = step(r, static_cast<uint32_t>(seek), at < n);
    if (seek < 0) {
      set_status(r, f->read_err ? f->read_err : BRF_BAD_DATA);
      return -1;
    }
    at += at < n ? 1 : -1;
  }
  return seek;
}

}  // namespace

int64_t brffindrcd(BRF_RCB* r, int64_t n) {
  BRF_FILE* f = r->file;
  if (n < 0) {
    set_status(r, BRF_NO_RECORD);
    return -1;
  }
  if (brf_relative(f)) return find_relative(r, n);
  int64_t count = brfrcdcnt(r);
  if (count < 0) return -1;
  if (n >= count) {
    set_status(r, BRF_EOF);
    return -1;
  }
  return brf_fixed(f) ? find_fixed(r, n) : walk_to(r, n, count);
}

}  // namespace kivo
