// Writing records: a new record, a rewrite in place or to new space, and a
// delete, each with every index kept in step under the update lock.
//
// Order of writes, so that a process killed at any point leaves no reader a
// half-made record: a new record's space is flagged not-a-user-record until
// its body and index entries are in place, and only then is its header
// completed; a moved record's new header is complete before its old space is
// freed. A failure undoes what was done and returns the status.
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "fm/record_ops.h"

namespace kivo {

namespace {

int write_at(BRF_FILE* f, const uint8_t* buf, size_t n, uint64_t off) {
  errno = 0;
  ssize_t got = kivo_pwrite(f->slot, buf, n, static_cast<off_t>(off));
  if (got == static_cast<ssize_t>(n)) return BRF_OK;
  if (got < 0) return brf_errno_status(errno, __LINE__);
  return errno == ENOSPC ? BRF_NO_SPACE : BRF_WRITE_ERR;
}

// `len` bytes of `src` in a buffer of at least `extent` bytes, zero-padded:
// every key segment lies inside it.
const uint8_t* image(std::vector<uint8_t>& v, const uint8_t* src, uint32_t len, uint32_t extent) {
  v.assign(std::max(len, extent), 0);
  if (len) memcpy(v.data(), src, len);
  return v.data();
}

bool update_lock(BRF_FILE* f) { return bt_share_at(f->slot, kUpdateLockByte, 1, 1, LOCK_UPDATE) != 0; }
void update_unlock(BRF_FILE* f) { bt_share_at(f->slot, kUpdateLockByte, 0, 0, LOCK_UPDATE); }

bool names_itself(const rec_hdr& h, uint32_t seek) { return h.link == seek || (h.link & kOwnerBit); }

// The record a rewrite or delete acts on: the held one, else the one last
// read or written (keyed) or the current record number.
int64_t target(BRF_RCB* r) {
  if ((r->lock.flags & RCB_LOCK_HELD) && r->lock.seek >= 0) return r->lock.seek;
  if (r->cursor && r->cursor->key >= 0) {
    if (r->last_seek < 0) set_status(r, BRF_NO_RECORD);
    return r->last_seek;
  }
  if (r->cur_rec < 0) {
    set_status(r, BRF_EOF);
    return -1;
  }
  return brffindrcd(r, r->cur_rec);
}

// Reads the live record at `seek`: its header, and its body into `v` padded
// to the key extent. 16 for a deleted or unfinished record, 17 for anything
// that is not a record.
int read_live(BRF_RCB* r, uint32_t seek, rec_hdr* h, std::vector<uint8_t>& v) {
  BRF_FILE* f = r->file;
  // Header and body in one read: the body is rarely longer than this.
  constexpr size_t kGuess = 1024;
  uint32_t extent = brf_key_extent(f);
  size_t guess = brf_fixed(f) ? f->hdr.rec_len : kGuess;
  v.assign(kRecHdrSize + std::max<size_t>(guess, extent), 0);
  ssize_t got = brf_pread(f, v.data(), kRecHdrSize + guess, seek);
  if (got < 0) return brf_errno_status(errno, __LINE__);
  if (got < static_cast<ssize_t>(kRecHdrSize)) return BRF_BAD_DATA;
  *h = decode_rec_hdr(v.data());
  if (h->flags & (kRecDeleted | kRecNotUser)) return BRF_DELETED;
  if (!names_itself(*h, seek) || uint64_t{seek} + h->length + kRecOverhead > f->hdr.eofseek) return BRF_BAD_DATA;
  size_t have = static_cast<size_t>(got) - kRecHdrSize;
  v.erase(v.begin(), v.begin() + kRecHdrSize);
  v.resize(std::max(uint32_t{h->length}, extent), 0);
  if (have < h->length) {
    if (brf_pread(f, v.data() + have, h->length - have, uint64_t{seek} + kRecHdrSize + have) !=
        static_cast<ssize_t>(h->length - have))
      return BRF_BAD_DATA;
  } else {
    std::fill(v.begin() + h->length, v.end(), 0);  // bytes past the record are not its own
  }
  return BRF_OK;
}

int put_relative(BRF_RCB* r, const uint8_t* rec) {
  BRF_FILE* f = r->file;
  rec_hdr h;
  uint32_t seek = 0;
  if (int st = brf_rcd_alloc(f, f->hdr.rec_len, &h, &seek, false, false)) return st;
  if (int st = write_at(f, rec, f->hdr.rec_len, seek)) return st;
  r->cur_rec = r->last_rec = seek / f->hdr.rec_len;
  r->last_seek = seek;
  return BRF_OK;
}

// Space for a new record of `len` bytes: reused from the free list (header
// only written), else appended with its body in one write (*body_written),
// finished at once when there is no index to make first.
int take_space(BRF_FILE* f, const uint8_t* rec, uint32_t len, rec_hdr* h, uint32_t* seek, bool* body_written) {
  *body_written = false;
  if (brf_fixed(f)) return brf_rcd_alloc(f, len, h, seek, true, false);
  bool found = false;
  if (int st = brf_rcd_take_free(f, len, h, seek, &found)) return st;
  if (found) return BRF_OK;
  *body_written = true;
  return brf_rcd_append(f, rec, len, !f->has_keys, h, seek);
}

int put_locked(BRF_RCB* r, const uint8_t* rec, uint32_t len) {
  BRF_FILE* f = r->file;
  rec_hdr h;
  uint32_t seek = 0;
  bool body_written = false;
  if (int st = take_space(f, rec, len, &h, &seek, &body_written)) return st;
  int st = body_written ? BRF_OK : write_at(f, rec, len, uint64_t{seek} + kRecHdrSize);
  if (st == BRF_OK && f->has_keys) st = brfinsertall(r, rec, seek);
  if (st != BRF_OK) {
    static_cast<void>(brf_rcd_free(f, seek, false));  // undo: the first failure is the one reported
    return st;
  }
  h.link = seek;
  if (h.flags == 0) {
    r->cur_rec = r->last_rec = h.recno;
    r->last_seek = seek;
    return BRF_OK;
  }
  h.flags = 0;
  if ((st = brf_write_rec_hdr(f, seek, h)) != BRF_OK) {
    if (f->has_keys) static_cast<void>(brfdeleteall(r, rec, seek));  // undo, as above
    static_cast<void>(brf_rcd_free(f, seek, false));
    return st;
  }
  r->cur_rec = r->last_rec = h.recno;
  r->last_seek = seek;
  return BRF_OK;
}

// Rewrite of the live record at `seek` (update lock held).
int rewrite_locked(BRF_RCB* r, uint32_t seek, const uint8_t* nrec, uint32_t len) {
  BRF_FILE* f = r->file;
  rec_hdr h;
  const uint8_t* orec = nullptr;
  if (int st = read_live(r, seek, &h, r->scratch_a)) return st;
  orec = r->scratch_a.data();
  if (brf_fixed(f) && len != h.length) return BRF_BAD_DATA;
  if (len == h.length) {
    if (int st = brfreinsertall(r, orec, nrec, seek, seek)) return st;
    int st = write_at(f, nrec, len, uint64_t{seek} + kRecHdrSize);
    if (st != BRF_OK) {
      // Part of the new body may be on disk: the old one goes back with its entries.
      write_at(f, orec, len, uint64_t{seek} + kRecHdrSize);
      static_cast<void>(brfreinsertall(r, nrec, orec, seek, seek));
    }
    if (st == BRF_OK) {
      r->cur_rec = r->last_rec = h.recno;
      r->last_seek = seek;
    }
    return st;
  }
  // The record moves to space of its new length.
  rec_hdr nh;
  uint32_t nseek = 0;
  if (int st = brf_rcd_alloc(f, len, &nh, &nseek, true, false)) return st;
  int st = write_at(f, nrec, len, uint64_t{nseek} + kRecHdrSize);
  if (st == BRF_OK) st = brfreinsertall(r, orec, nrec, seek, nseek);
  if (st != BRF_OK) {
    static_cast<void>(brf_rcd_free(f, nseek, false));  // undo
    return st;
  }
  nh.flags = 0;
  nh.link = nseek;
  if ((st = brf_write_rec_hdr(f, nseek, nh)) != BRF_OK) {
    static_cast<void>(brfreinsertall(r, nrec, orec, nseek, seek));  // undo
    static_cast<void>(brf_rcd_free(f, nseek, false));
    return st;
  }
  if ((st = brf_rcd_free(f, seek, false)) != BRF_OK) {
    // The old copy stays the record: its entries back, the new space freed.
    static_cast<void>(brfreinsertall(r, nrec, orec, nseek, seek));
    static_cast<void>(brf_rcd_free(f, nseek, false));
    return st;
  }
  r->cur_rec = r->last_rec = nh.recno;
  r->last_seek = nseek;
  return BRF_OK;
}

}  // namespace

int brfput(BRF_RCB* r, const uint8_t* buf, uint32_t len) {
  BRF_FILE* f = r->file;
  if (brf_fixed(f)) {
    if (len > f->hdr.rec_len) return set_status(r, BRF_BAD_DATA);
    len = f->hdr.rec_len;
  } else if (len == 0 || len > kMaxRecordLength) {
    return set_status(r, BRF_BAD_DATA);
  }
  const uint8_t* rec = image(r->scratch_b, buf, len, brf_key_extent(f));
  if (!update_lock(f)) return set_status(r, BRF_LOCK_REFUSED);
  int st = brf_relative(f) ? put_relative(r, rec) : put_locked(r, rec, len);
  update_unlock(f);
  return set_status(r, st);
}

int brfrewrite(BRF_RCB* r, const uint8_t* buf, uint32_t len) {
  BRF_FILE* f = r->file;
  int64_t seek = target(r);
  if (seek < 0) return r->status ? r->status : set_status(r, BRF_NO_RECORD);
  if (len == 0 || len > kMaxRecordLength || (brf_fixed(f) && len > f->hdr.rec_len)) return set_status(r, BRF_BAD_DATA);
  int st;
  if (brf_relative(f)) {
    std::vector<uint8_t> padded;
    const uint8_t* rec = image(padded, buf, len, f->hdr.rec_len);
    st = write_at(f, rec, f->hdr.rec_len, static_cast<uint64_t>(seek));
  } else {
    if (brf_fixed(f) && len != f->hdr.rec_len) return set_status(r, BRF_BAD_DATA);
    const uint8_t* rec = image(r->scratch_b, buf, len, brf_key_extent(f));
    if (!update_lock(f)) return set_status(r, BRF_LOCK_REFUSED);
    if ((st = brfgethdr(f)) == BRF_OK) st = rewrite_locked(r, static_cast<uint32_t>(seek), rec, len);
    update_unlock(f);
  }
  brf_release(r);
  return set_status(r, st);
}

int brfdelete(BRF_RCB* r) {
  BRF_FILE* f = r->file;
  int64_t seek = target(r);
  if (seek < 0) return r->status ? r->status : set_status(r, BRF_NO_RECORD);
  if (brf_relative(f)) return set_status(r, BRF_BAD_DATA);
  if (!update_lock(f)) return set_status(r, BRF_LOCK_REFUSED);
  rec_hdr h;
  int st = brfgethdr(f);
  if (st == BRF_OK) st = read_live(r, static_cast<uint32_t>(seek), &h, r->scratch_a);
  if (st == BRF_OK && f->has_keys) st = brfdeleteall(r, r->scratch_a.data(), static_cast<uint32_t>(seek));
  if (st == BRF_OK && (st = brf_rcd_free(f, static_cast<uint32_t>(seek), false)) != BRF_OK && f->has_keys)
    static_cast<void>(
        brfinsertall(r, r->scratch_a.data(), static_cast<uint32_t>(seek)));  // the record stays: so do its entries
  update_unlock(f);
  brf_release(r);
  return set_status(r, st);
}

}  // namespace kivo
