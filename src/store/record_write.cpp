// Writing records: a new record, a rewrite in place or to new space, and a
// delete, each with every index kept in step under the update lock.
//
// Write order, so that a process killed at any write leaves a pair that is
// sound or that the repair (record_repair.cpp) makes sound with every
// acknowledged write and nothing that was never written:
//  - Every change of a keyed file runs inside the in-use mark, set by its
//    first key-file write and cleared before the update lock is given back
//    (on a pair held alone: set by the first change, cleared at the close):
//    the data file is the truth, and the indexes are built again from it
//    after a kill. Before that first key-file write a change may take and
//    write space, but never makes a record live nor frees one.
//  - A new record's space is flagged not-a-user-record until its body and
//    index entries are in place, and only then is its header completed.
//  - A body is rewritten in place only when it lies within one page of the
//    file (kAtomicSpan): a kill cannot cut such a write, so a record is
//    wholly old or wholly new. Otherwise the record moves.
//  - A record moves under the mark: the indexes first (their first write
//    sets it), then the copy, unfinished and naming the old record in its
//    link; freeing the old record is the point at which the rewrite
//    happens, and the copy is completed after it (a completion cut between
//    its flags and its link still names the old place). The repair drops a copy
//    whose old record still lives and finishes any other, so the file never
//    holds two live versions of one record. A record no key holds takes the
//    mark for its move all the same. Without keys there is no mark and no
//    repair: the copy is completed before the old record is freed, and a
//    kill between leaves the old one beside it.
// A failure undoes what was done and returns the status.
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "store/record_ops.h"

namespace kivo {

namespace {

// Appends a write-behind file gathers before it writes them; its buffer is
// sized once to hold them and one record more, so it never grows past that
// (the sorted query counts on it in its memory budget).
constexpr size_t kWriteBehind = 256 * 1024;

int write_at(BRF_FILE* f, const uint8_t* buf, size_t n, uint64_t off) {
  if (int st = brf_wb_flush(f)) return st;
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

// A fixed-length record from the caller's `len` bytes: a shorter one is
// padded with blanks to the record length (never read past `len`), then
// with zeros to the key extent.
const uint8_t* fixed_image(std::vector<uint8_t>& v, const uint8_t* src, uint32_t len, uint32_t rec_len,
                           uint32_t extent) {
  image(v, src, len, std::max(rec_len, extent));
  std::fill(v.begin() + len, v.begin() + rec_len, uint8_t{' '});
  return v.data();
}

bool within_one_page(uint32_t seek, uint32_t len) {
  uint64_t first = uint64_t{seek} + kRecHdrSize;
  return first / kAtomicSpan == (first + len - 1) / kAtomicSpan;
}

bool update_lock(BRF_FILE* f) { return bt_share_at(f->slot, kUpdateLockByte, 1, 1, LOCK_UPDATE) != 0; }
void update_unlock(BRF_FILE* f) { bt_share_at(f->slot, kUpdateLockByte, 0, 0, LOCK_UPDATE); }

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
  if (int st = brf_rec_hdr_check(f, *h, seek, f->hdr.eofseek)) return st;
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
  if (f->write_behind && f->rel_size == int64_t{seek}) {
    if (f->wb.empty()) {
      f->wb_at = seek;
      f->wb.reserve(kWriteBehind + f->hdr.rec_len);
    }
    f->wb.insert(f->wb.end(), rec, rec + f->hdr.rec_len);
    f->rel_size += f->hdr.rec_len;
    if (f->wb.size() >= kWriteBehind)
      if (int st = brf_wb_flush(f)) return st;
  } else if (int st = write_at(f, rec, f->hdr.rec_len, seek)) {
    return st;
  }
  r->cur_rec = r->last_rec = seek / f->hdr.rec_len;
  r->last_seek = seek;
  return BRF_OK;
}

// A change that wrote nothing to the key file (no key holds its record) has
// not met a dead writer's mark that way: it looks before it makes a record
// live or frees one, since the space it took may be a moved record's old
// place. BRF_ABANDONED when the mark is set.
int check_unmarked(BRF_RCB* r) {
  BT_FILE* k = r->file->key;
  if (!k || !r->cursor || k->marking) return BRF_OK;
  return bt_mark_read(k) == 1 ? BRF_ABANDONED : BRF_OK;
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
  if (st == BRF_OK) st = check_unmarked(r);
  if (st != BRF_OK) {
    static_cast<void>(brf_rcd_give_back(f, seek));  // undo: the first failure is the one reported
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
    static_cast<void>(brf_rcd_give_back(f, seek));
    return st;
  }
  r->cur_rec = r->last_rec = h.recno;
  r->last_seek = seek;
  return BRF_OK;
}

// The header and body of a record at `seek` in one write.
int write_record(BRF_FILE* f, const rec_hdr& h, const uint8_t* body, uint32_t len, uint32_t seek) {
  std::vector<uint8_t> io(kRecHdrSize + len);
  encode_rec_hdr(h, io.data());
  memcpy(io.data() + kRecHdrSize, body, len);
  return write_at(f, io.data(), io.size(), seek);
}

int rewrite_in_place(BRF_RCB* r, uint32_t seek, const rec_hdr& h, const uint8_t* orec, const uint8_t* nrec,
                     uint32_t len) {
  BRF_FILE* f = r->file;
  if (int st = brfreinsertall(r, orec, nrec, seek, seek)) return st;
  // Between two writes of the rewrite word, which a reader without locks
  // checks around its copy: a writer stopped half way through the body
  // leaves a mix that reads the same twice.
  int st = brf_wb_flush(f);
  if (st == BRF_OK) st = brf_body_rewrite(f, seek, nrec, len);
  // Part of the new body may be on disk: the old one goes back.
  if (st != BRF_OK) static_cast<void>(brf_body_rewrite(f, seek, orec, len));
  if (st != BRF_OK) {
    static_cast<void>(brfreinsertall(r, nrec, orec, seek, seek));  // its entries go back too
    return st;
  }
  r->cur_rec = r->last_rec = h.recno;
  r->last_seek = seek;
  return BRF_OK;
}

// The old record at `seek` is freed: whether that happened even when the
// free failed part way (its header flagged deleted, its chain not written).
bool old_freed(BRF_FILE* f, uint32_t seek) {
  rec_hdr h;
  return brf_read_rec_hdr(f, seek, &h) == BRF_OK && (h.flags & kRecDeleted);
}

// The old and new places of a record being moved, with both images for the undo.
struct move_step {
  BRF_RCB* r;
  uint32_t seek, nseek;
  const uint8_t *orec, *nrec;
};

// Frees the old record; when that fails and the old one still stands, its
// entries go back and `free_new` gives up the new space. BRF_OK when the old
// one is freed (a failure after freeing only loses its space).
int free_old(const move_step& m, int (*free_new)(BRF_FILE*, uint32_t, bool)) {
  BRF_FILE* f = m.r->file;
  const int st = brf_rcd_free(f, m.seek, false);
  if (st == BRF_OK || old_freed(f, m.seek)) return BRF_OK;
  static_cast<void>(brfreinsertall(m.r, m.nrec, m.orec, m.nseek, m.seek));  // undo
  static_cast<void>(free_new(f, m.nseek, false));
  return st;
}

// Without the mark there is no repair: the copy is completed before the
// old record is freed.
int finish_unmarked(const move_step& m, const rec_hdr& nh) {
  BRF_FILE* f = m.r->file;
  if (const int st = brf_write_rec_hdr(f, m.nseek, nh); st != BRF_OK) {
    brf_rcd_free_any(f, m.nseek, false);
    return st;
  }
  // The old copy stays the record when it cannot be freed.
  return free_old(m, brf_rcd_free);
}

// Under the mark the old record is freed first. The rewrite has then
// happened: a completion that fails is tried once more, then left under the
// mark for the next process to finish (*unfinished).
int finish_marked(const move_step& m, const rec_hdr& nh, bool* unfinished) {
  BRF_FILE* f = m.r->file;
  if (const int st = free_old(m, brf_rcd_free_any); st != BRF_OK) return st;
  int done = brf_write_rec_hdr(f, m.nseek, nh);
  if (done != BRF_OK) done = brf_write_rec_hdr(f, m.nseek, nh);
  if (done != BRF_OK) {
    *unfinished = true;
    f->key->marking = false;
  }
  return done;
}

// Whether the link word of a record header at `seek` crosses a page of the
// file: a kill that cut a write there would leave a mix of two seeks.
bool link_crosses_page(uint32_t seek) {
  const uint64_t first = uint64_t{seek} + kRhLinkOff;
  return first / kAtomicSpan != (first + 3) / kAtomicSpan;
}

// Space for a moved record's copy. Under the mark the copy's first write
// names the old record in its link; cut inside a link that crosses a page,
// it would name a mix of two seeks, perhaps some other record's, and the
// repair could keep a copy never written whole. Such space is given back
// and the copy appended instead (past it, when the end lies so too).
int copy_space(BRF_FILE* f, uint32_t len, rec_hdr* nh, uint32_t* nseek) {
  bool search = true;
  for (int tries = 0;; ++tries) {
    if (int st = brf_rcd_alloc(f, len, nh, nseek, search, false)) return st;
    if (!f->key || !link_crosses_page(*nseek) || tries == 2) return BRF_OK;
    if (int st = brf_rcd_free_any(f, *nseek, false)) return st;
    search = false;
  }
}

// Moves the record at `seek` to space of `len` bytes. Under the mark the
// copy stays unfinished, naming the old record, until the old one is freed;
// without it there is no repair, so the copy is completed first.
// *unfinished: the old record is freed but the copy could not be completed
// (the mark stays set for the repair to finish it).
int rewrite_moving(BRF_RCB* r, uint32_t seek, const uint8_t* orec, const uint8_t* nrec, uint32_t len,
                   bool* unfinished) {
  BRF_FILE* f = r->file;
  rec_hdr nh;
  uint32_t nseek = 0;
  if (int st = copy_space(f, len, &nh, &nseek)) return st;
  // The indexes first: their first write sets the mark, under which alone a
  // copy naming the old record may exist.
  int st = brfreinsertall(r, orec, nrec, seek, nseek);
  // A record no key holds wrote nothing there: its move takes the mark all
  // the same, so that a kill between the copy and the free is settled by the
  // repair instead of leaving both versions live.
  if (st == BRF_OK && f->key && r->cursor) st = bt_mark_raise(r->cursor);
  if (st != BRF_OK) {
    brf_rcd_give_back(f, nseek);
    return st;
  }
  // Without the mark (a file without keys) there is no repair: the copy is
  // completed before the old record is freed.
  bool marked = f->key && f->key->marking;
  nh.link = marked ? seek : nseek;
  if ((st = check_unmarked(r)) != BRF_OK) {
    brf_rcd_give_back(f, nseek);
    return st;
  }
  if ((st = write_record(f, nh, nrec, len, nseek)) != BRF_OK) {
    static_cast<void>(brfreinsertall(r, nrec, orec, nseek, seek));  // undo
    brf_rcd_give_back(f, nseek);
    return st;
  }
  nh.flags = 0;
  nh.link = nseek;
  const move_step m{r, seek, nseek, orec, nrec};
  st = marked ? finish_marked(m, nh, unfinished) : finish_unmarked(m, nh);
  if (st != BRF_OK) return st;
  r->cur_rec = r->last_rec = nh.recno;
  r->last_seek = nseek;
  return st;
}

// Delete of the live record at `seek`, read into scratch_a (update lock
// held). A free that fails before the record is flagged deleted puts its
// index entries back.
int delete_locked(BRF_RCB* r, uint32_t seek) {
  BRF_FILE* f = r->file;
  const uint8_t* rec = r->scratch_a.data();
  if (f->has_keys)
    if (int st = brfdeleteall(r, rec, seek)) return st;
  if (int st = check_unmarked(r)) return st;  // nothing was removed
  int st = brf_rcd_free(f, seek, false);
  if (st == BRF_OK || old_freed(f, seek)) return BRF_OK;
  if (f->has_keys) static_cast<void>(brfinsertall(r, rec, seek));  // undo
  return st;
}

// Rewrite of the live record at `seek` (update lock held).
int rewrite_locked(BRF_RCB* r, uint32_t seek, const uint8_t* nrec, uint32_t len, bool* unfinished) {
  BRF_FILE* f = r->file;
  rec_hdr h;
  if (int st = read_live(r, seek, &h, r->scratch_a)) return st;
  const uint8_t* orec = r->scratch_a.data();
  if (brf_fixed(f) && len != h.length) return BRF_BAD_DATA;
  if (len == h.length && (!f->has_keys || within_one_page(seek, len)))
    return rewrite_in_place(r, seek, h, orec, nrec, len);
  return rewrite_moving(r, seek, orec, nrec, len, unfinished);
}

// Runs one change under the update lock (held), inside the in-use mark; once
// more when it met a dead writer's mark and the pair was repaired.
template <class Change>
int run_change(BRF_RCB* r, Change change) {
  int st = brf_change_begin(r);
  if (st == BRF_OK) st = brf_stamp_pair(r->file);
  if (st == BRF_OK) st = change();
  if (brf_change_repaired(r, &st)) st = change();
  return brf_change_end(r, st);
}

}  // namespace

int brfput(BRF_RCB* r, const uint8_t* buf, uint32_t len) {
  BRF_FILE* f = r->file;
  const uint8_t* rec;
  if (brf_fixed(f)) {
    if (len > f->hdr.rec_len) return set_status(r, BRF_BAD_DATA);
    rec = fixed_image(r->scratch_b, buf, len, f->hdr.rec_len, brf_key_extent(f));
    len = f->hdr.rec_len;
  } else if (len == 0 || len > kMaxRecordLength) {
    return set_status(r, BRF_BAD_DATA);
  } else {
    rec = image(r->scratch_b, buf, len, brf_key_extent(f));
  }
  if (!update_lock(f)) return set_status(r, BRF_LOCK_REFUSED);
  int st = run_change(r, [&] { return brf_relative(f) ? put_relative(r, rec) : put_locked(r, rec, len); });
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
    // The record's write guard is held through the write: a reader shares it
    // to know its copy whole (record_read.cpp).
    const bool guarded = rel_write_guard(f->slot, static_cast<uint32_t>(seek), true, true);
    st = write_at(f, rec, f->hdr.rec_len, static_cast<uint64_t>(seek));
    if (guarded) rel_write_guard(f->slot, static_cast<uint32_t>(seek), true, false);
  } else {
    if (brf_fixed(f) && len != f->hdr.rec_len) return set_status(r, BRF_BAD_DATA);
    const uint8_t* rec = image(r->scratch_b, buf, len, brf_key_extent(f));
    if (!update_lock(f)) return set_status(r, BRF_LOCK_REFUSED);
    bool unfinished = false;
    st = run_change(r, [&] {
      int e = brfgethdr(f);
      return e ? e : rewrite_locked(r, static_cast<uint32_t>(seek), rec, len, &unfinished);
    });
    // The lock of a record moved away goes before the update lock: its old
    // place is free space now, which the next change of another process may
    // give to a record of its own and lock.
    brf_release(r);
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
  int st = run_change(r, [&] {
    rec_hdr h;
    int e = brfgethdr(f);
    if (e == BRF_OK) e = read_live(r, static_cast<uint32_t>(seek), &h, r->scratch_a);
    return e ? e : delete_locked(r, static_cast<uint32_t>(seek));
  });
  brf_release(r);  // before the freed space can be given to another record, as above
  update_unlock(f);
  return set_status(r, st);
}

}  // namespace kivo
