// Space management of the record data file: allocation at the end or from the
// free list, and freeing onto it.
//
// Deleted records of one length form a chain through their header's link
// word; the chain heads sit in the 82 entries of the FREE_BLOCK records, which
// are chained from the header's `freelist`. A freed record's space is reused
// only for a record of exactly its length. Everything read from the file on
// the way (block seeks, chain links, record headers) is checked before use: a
// damaged list loses free space, never a live record.
//
// Write order (the crash repair relies on it): a free flags the record
// deleted before it enters the chain, so the flag alone says the record is
// gone; a kill between loses the space only. An allocation from a chain
// unlinks the record before it flags it not-a-user-record (the flag written
// last when the header crosses a page: write_taken_hdr), and an append
// writes the record before the header's end of file moves past it.
//
// A kill can cut a write at a page of the file, and a block's seek and
// length arrays lie 328 bytes apart: a block is never written whole, only
// the words that change; a new length lands no later than its seek (an
// empty chain whatever length it shows: set_chain_head), no chain starts
// in an entry whose seek word crosses a page (usable_entry), and a link to
// the next block that a kill cut ends the list (links_to_block).
#include <cerrno>
#include <cstring>
#include <vector>

#include "foundation/bytes.h"
#include "foundation/sys_err.h"
#include "store/brf_status.h"
#include "store/data_file.h"
#include "store/lock.h"

namespace kivo {

namespace {

using block_body = uint8_t[kFreeBlockUsed];

uint32_t fb_next(const uint8_t* b) { return ld_le32(b, kFbNextOff); }
uint32_t fb_seek(const uint8_t* b, int i) { return ld_le32(b, kFbSeekOff + 4 * static_cast<size_t>(i)); }
uint16_t fb_len(const uint8_t* b, int i) { return ld_le16(b, kFbLenOff + 2 * static_cast<size_t>(i)); }

bool seek_in_file(const BRF_FILE* f, uint32_t seek) { return seek >= kDataHeaderSize && seek < f->hdr.eofseek; }

// Reads the first 496 body bytes of the FREE_BLOCK record at `seek`.
// Blocks are appended and linked behind the last, so a link names a
// FREE_BLOCK record further on; one that does not was cut by a kill while it
// was written (the block it was to name is still empty) and ends the list.
bool links_to_block(uint32_t from, uint32_t next, const rec_hdr& h) {
  return next > from && (h.flags & (kRecNotUser | kRecDeleted)) == kRecNotUser && h.link == next &&
         h.length >= kFreeBlockUsed;
}

// The block at `seek`: the list's head (from 0), or the one the block at
// `from` links to, where a link a kill cut gives kListEnd.
constexpr int kListEnd = -1;
int read_block(BRF_FILE* f, uint32_t seek, uint8_t* body, uint32_t from = 0) {
  rec_hdr h;
  const bool readable = seek_in_file(f, seek) && brf_read_rec_hdr(f, seek, &h) == BRF_OK;
  if (from != 0 && !(readable && links_to_block(from, seek, h))) return kListEnd;
  if (!readable || !(h.flags & kRecNotUser) || h.length < kFreeBlockUsed) {
    sys_err("BRF", __LINE__, "bad free list block at %u in %s", seek, brf_handle_nam(f->slot));
    return BRF_BAD_DATA;
  }
  if (brf_pread(f, body, kFreeBlockUsed, seek + kRecHdrSize) != static_cast<ssize_t>(kFreeBlockUsed))
    return BRF_BAD_DATA;
  return BRF_OK;
}

int write_bytes(BRF_FILE* f, const void* buf, size_t n, uint64_t seek) {
  ssize_t got = kivo_pwrite(f->slot, buf, n, static_cast<off_t>(seek));
  if (got == static_cast<ssize_t>(n)) return BRF_OK;
  if (got < 0) return brf_errno_status(errno, __LINE__);
  return errno == ENOSPC ? BRF_NO_SPACE : BRF_WRITE_ERR;
}

// File offsets of a block's words.
uint64_t fb_next_at(uint32_t bseek) { return uint64_t{bseek} + kRecHdrSize + kFbNextOff; }
uint64_t fb_seek_at(uint32_t bseek, int i) {
  return uint64_t{bseek} + kRecHdrSize + kFbSeekOff + 4 * static_cast<size_t>(i);
}

int write_u32(BRF_FILE* f, uint64_t at, uint32_t v) {
  uint8_t b[4];
  st_le32(b, 0, v);
  return write_bytes(f, b, sizeof b, at);
}

// An entry whose seek word lies within one page: a kill leaves it wholly old
// or wholly new, never a mix naming some other record.
bool usable_entry(uint32_t bseek, int i) {
  uint64_t at = fb_seek_at(bseek, i);
  return at / kAtomicSpan == (at + 3) / kAtomicSpan;
}

// Makes `seek` the head of entry i's chain of `len` in the block at `bseek`
// (its image in `body`, entry i usable). A new length goes in with the seek
// in one write of the span between them when that lies within a page, else
// first on its own while the chain is still empty. A failed write puts the
// old bytes back.
int set_chain_head(BRF_FILE* f, uint32_t bseek, const uint8_t* body, int i, uint32_t seek, uint16_t len) {
  size_t off = kFbSeekOff + 4 * static_cast<size_t>(i);
  size_t n = fb_len(body, i) == len ? 4 : kFbLenOff + 2 * static_cast<size_t>(i) + 2 - off;
  uint64_t at = uint64_t{bseek} + kRecHdrSize + off;
  uint8_t span[kFreeBlockUsed];
  memcpy(span, body + off, n);
  st_le32(span, 0, seek);
  if (n > 4) st_le16(span, n - 2, len);
  int rc;
  if (at / kAtomicSpan == (at + n - 1) / kAtomicSpan) {
    rc = write_bytes(f, span, n, at);
  } else {
    rc = write_bytes(f, span + n - 2, 2, at + n - 2);
    if (rc == BRF_OK) rc = write_bytes(f, span, 4, at);
  }
  if (rc != BRF_OK) static_cast<void>(write_bytes(f, body + off, n, at));
  return rc;
}

// Most FREE_BLOCK records a file of this size can hold: bounds a walk of a
// damaged, circular chain.
uint32_t max_blocks(const BRF_FILE* f) { return f->hdr.eofseek / (kFreeBlockUsed + kRecOverhead) + 1; }

// Appends a record at the end of the file.
int append_record(BRF_FILE* f, uint32_t length, rec_hdr* out, uint32_t* seek, bool no_hdr_io) {
  if (brf_relative(f)) {
    uint32_t count;
    int rc = brf_record_count(f, &count);
    if (rc != BRF_OK) return rc;
    uint64_t at = uint64_t{count} * f->hdr.rec_len;
    if (at + f->hdr.rec_len > kMaxSeek) return BRF_NO_SPACE;
    f->hdr.eofseek = static_cast<uint32_t>(at);
    if (!f->write_behind) verify_eof(f->slot, f->hdr.eofseek);
    *out = rec_hdr{kRecNotUser, 0, static_cast<uint16_t>(length), static_cast<uint32_t>(at), count};
    *seek = static_cast<uint32_t>(at);
    return BRF_OK;
  }
  uint32_t at = f->hdr.eofseek;
  if (uint64_t{at} + length + kRecOverhead > kMaxSeek) return BRF_NO_SPACE;
  verify_eof(f->slot, at);
  uint32_t count;
  int rc = brf_record_count(f, &count);
  if (rc != BRF_OK) return rc;
  rec_hdr h{kRecNotUser, 0, static_cast<uint16_t>(length), at, count};
  if ((rc = brf_write_rec_hdr(f, at, h)) != BRF_OK) return rc;
  uint8_t tr[kRecTrailerSize];
  st_le32(tr, 0, length);
  if ((rc = write_bytes(f, tr, sizeof tr, at + kRecHdrSize + length)) != BRF_OK) return rc;
  f->hdr.eofseek = at + length + kRecOverhead;
  f->count_eof = f->hdr.eofseek;
  f->count_at_eof = count + 1;
  verify_eof(f->slot, f->hdr.eofseek);
  if (!no_hdr_io && (rc = brfputhdr(f)) != BRF_OK) return rc;
  *out = h;
  *seek = at;
  return BRF_OK;
}

// The header of a record taken off its chain. One that crosses a page of the
// file is written in two, its flags last: a kill that cut a single write
// between the flags and the link would leave the old chain link beside the
// not-a-user-record flag, which reads as a moved record's copy naming
// another record, and the repair would keep the stale body as live.
int write_taken_hdr(BRF_FILE* f, uint32_t rs, const rec_hdr& h) {
  if (rs % kAtomicSpan + kRecHdrSize <= kAtomicSpan) return brf_write_rec_hdr(f, rs, h);
  uint8_t buf[kRecHdrSize];
  encode_rec_hdr(h, buf);
  if (int rc = write_bytes(f, buf + 1, kRecHdrSize - 1, rs + 1)) return rc;
  return write_bytes(f, buf, 1, rs);
}

// Takes a deleted record of `length` off its chain. Sets *found when it did.
// A chain entry that names anything but a deleted record of that length is
// dropped (reported): its space is lost, never a live record overwritten.
int take_from_free_list(BRF_FILE* f, uint32_t length, rec_hdr* out, uint32_t* seek, bool* found) {
  *found = false;
  block_body body;
  uint32_t guard = max_blocks(f);
  for (uint32_t bseek = f->hdr.freelist, from = 0; bseek != 0; from = bseek, bseek = fb_next(body)) {
    if (guard-- == 0) return BRF_BAD_DATA;
    int rc = read_block(f, bseek, body, from);
    if (rc == kListEnd) break;
    if (rc != BRF_OK) return rc;
    for (int i = 0; i < kFreeEntries; ++i) {
      uint32_t rs = fb_seek(body, i);
      if (fb_len(body, i) != length || rs == 0) continue;
      rec_hdr h;
      bool readable = seek_in_file(f, rs) && brf_read_rec_hdr(f, rs, &h) == BRF_OK;
      if (!readable || !(h.flags & kRecDeleted) || h.length != length) {
        if (readable && !(h.flags & (kRecDeleted | kRecNotUser)))
          sys_err("BRF", __LINE__, "Found active record on free list at %d", static_cast<int>(rs));
        else sys_err("BRF", __LINE__, "bad free list entry at %d in %s", static_cast<int>(rs), brf_handle_nam(f->slot));
        return write_u32(f, fb_seek_at(bseek, i), 0);  // allocate at the end instead
      }
      uint32_t next = h.link;
      if (next != 0 && !seek_in_file(f, next)) next = 0;  // a broken link ends the chain
      if ((rc = write_u32(f, fb_seek_at(bseek, i), next)) != BRF_OK) return rc;
      h.flags = kRecNotUser;
      h.link = rs;
      h.age = static_cast<uint8_t>(h.age + 1);
      if ((rc = write_taken_hdr(f, rs, h)) != BRF_OK) return rc;
      *out = h;
      *seek = rs;
      *found = true;
      return BRF_OK;
    }
  }
  return BRF_OK;
}

// The lowest usable entry from which all entries to the end have an empty
// chain; -1 when there is none.
int first_free_tail_entry(const uint8_t* body, uint32_t bseek) {
  int i = kFreeEntries;
  while (i > 0 && fb_seek(body, i - 1) == 0) --i;
  while (i < kFreeEntries && !usable_entry(bseek, i)) ++i;
  return i == kFreeEntries ? -1 : i;
}

// The usable entry of `body` holding the chain of `length`, -1 when none.
int entry_of_length(const uint8_t* body, uint32_t bseek, uint16_t length) {
  for (int i = 0; i < kFreeEntries; ++i)
    if (fb_len(body, i) == length && usable_entry(bseek, i)) return i;
  return -1;
}

}  // namespace

uint32_t free_block_body_size(const BRF_FILE* f) {
  if (!brf_fixed(f)) return kFreeBlockUsed;
  uint32_t len = f->hdr.rec_len;
  if (len > kFreeBlockUsed - 1) return len;
  uint32_t pos = len + kRecOverhead;
  return (511 / pos) * pos + len;
}

int brf_rcd_alloc(BRF_FILE* f, uint32_t length, rec_hdr* out, uint32_t* seek, bool search_free, bool no_hdr_io) {
  if (length > kMaxRecordLength) return BRF_BAD_DATA;
  if (!brf_relative(f) && !no_hdr_io) {
    int rc = brfgethdr(f);
    if (rc != BRF_OK) return rc;
    if (f->hdr.version != kBrfVersion) return BRF_BAD_DATA;  // upgrade first
  }
  if (search_free && !brf_relative(f)) {
    bool found = false;
    int rc = take_from_free_list(f, length, out, seek, &found);
    if (rc != BRF_OK || found) return rc;
  }
  return append_record(f, length, out, seek, no_hdr_io);
}

int brf_rcd_take_free(BRF_FILE* f, uint32_t length, rec_hdr* out, uint32_t* seek, bool* found) {
  *found = false;
  if (length > kMaxRecordLength || brf_relative(f)) return BRF_BAD_DATA;
  int rc = brfgethdr(f);
  if (rc != BRF_OK) return rc;
  if (f->hdr.version != kBrfVersion) return BRF_BAD_DATA;  // upgrade first
  return take_from_free_list(f, length, out, seek, found);
}

int brf_rcd_append(BRF_FILE* f, const uint8_t* body, uint32_t length, bool finished, rec_hdr* out, uint32_t* seek) {
  if (length == 0 || length > kMaxRecordLength || brf_fixed(f)) return BRF_BAD_DATA;
  int rc = brfgethdr(f);
  if (rc != BRF_OK) return rc;
  if (f->hdr.version != kBrfVersion) return BRF_BAD_DATA;  // upgrade first
  uint32_t at = f->hdr.eofseek;
  if (uint64_t{at} + length + kRecOverhead > kMaxSeek) return BRF_NO_SPACE;
  verify_eof(f->slot, at);
  uint32_t count;
  if ((rc = brf_record_count(f, &count)) != BRF_OK) return rc;
  rec_hdr h{finished ? uint8_t{0} : kRecNotUser, 0, static_cast<uint16_t>(length), at, count};
  uint8_t head[kRecHdrSize];
  uint8_t tr[kRecTrailerSize];
  encode_rec_hdr(h, head);
  st_le32(tr, 0, length);
  struct iovec iov[3] = {{head, sizeof head}, {const_cast<uint8_t*>(body), length}, {tr, sizeof tr}};
  errno = 0;
  ssize_t got = kivo_pwritev(f->slot, iov, 3, at);
  if (got != static_cast<ssize_t>(length + kRecOverhead))
    return got < 0 ? brf_errno_status(errno, __LINE__) : (errno == ENOSPC ? BRF_NO_SPACE : BRF_WRITE_ERR);
  // The header moves past the record only once it is whole on disk.
  brf_hdr before = f->hdr;
  f->hdr.eofseek = at + length + kRecOverhead;
  if ((rc = brfputhdr(f)) != BRF_OK) {
    f->hdr = before;
    return rc;
  }
  f->count_eof = f->hdr.eofseek;
  f->count_at_eof = count + 1;
  verify_eof(f->slot, f->hdr.eofseek);
  *out = h;
  *seek = at;
  return BRF_OK;
}

namespace {

// Only a whole record may go on a chain: header inside the file, trailer
// matching its length.
bool whole_record(BRF_FILE* f, uint32_t seek, const rec_hdr& r) {
  uint8_t tr[kRecTrailerSize];
  return seek >= kDataHeaderSize && uint64_t{seek} + r.length + kRecOverhead <= f->hdr.eofseek &&
         brf_pread(f, tr, sizeof tr, uint64_t{seek} + kRecHdrSize + r.length) == static_cast<ssize_t>(sizeof tr) &&
         ld_le32(tr, 0) == r.length;
}

// Where a freed record goes: the block (its body read) and entry, or entry
// -1 with the last block of the list (0 for an empty list).
struct free_slot {
  block_body body;
  uint32_t chosen = 0;
  uint32_t last = 0;
  int entry = -1;
};

// Walks the list for an entry of the length or a free tail entry. Each block
// is read once: the next one only when this one has no room, which also
// tells whether this one is the last.
int find_free_slot(BRF_FILE* f, uint32_t length, free_slot& s) {
  block_body ahead;
  uint32_t guard = max_blocks(f);
  int rc;
  if (f->hdr.freelist != 0 && (rc = read_block(f, f->hdr.freelist, s.body)) != BRF_OK) return rc;
  for (uint32_t bseek = f->hdr.freelist; bseek != 0;) {
    if (guard-- == 0) return BRF_BAD_DATA;
    s.entry = entry_of_length(s.body, bseek, length);
    const uint32_t next = fb_next(s.body);
    const int got = s.entry >= 0 ? BRF_OK : next != 0 ? read_block(f, next, ahead, bseek) : kListEnd;
    if (got != BRF_OK && got != kListEnd) return got;
    if (got == kListEnd) s.entry = first_free_tail_entry(s.body, bseek);
    if (s.entry >= 0) {
      s.chosen = bseek;
      return BRF_OK;
    }
    s.last = bseek;
    if (got == kListEnd) return BRF_OK;
    memcpy(s.body, ahead, sizeof s.body);
    bseek = next;
  }
  return BRF_OK;
}

// The unfinished record at `seek`, when it is the last of the file, back to
// the end of the file: false when it is not, or the header write failed.
bool give_back_end(BRF_FILE* f, uint32_t seek) {
  rec_hdr r;
  const bool last = !brf_relative(f) && brf_read_rec_hdr(f, seek, &r) == BRF_OK &&
                    (r.flags & (kRecNotUser | kRecDeleted)) == kRecNotUser &&
                    uint64_t{seek} + r.length + kRecOverhead == f->hdr.eofseek;
  if (!last) return false;
  const brf_hdr before = f->hdr;
  f->hdr.eofseek = seek;
  if (brfputhdr(f) != BRF_OK) {
    f->hdr = before;
    return false;
  }
  f->count_eof = seek;
  f->count_at_eof = r.recno;
  return true;
}

// No room: a new FREE_BLOCK at the end, linked behind the last one. A block
// that cannot be written whole or linked goes back to the end.
int add_free_block(BRF_FILE* f, bool no_hdr_io, free_slot& s) {
  rec_hdr bh;
  int rc;
  uint32_t size = free_block_body_size(f);
  if ((rc = append_record(f, size, &bh, &s.chosen, no_hdr_io)) != BRF_OK) return rc;
  std::vector<uint8_t> zeros(size, 0);
  rc = write_bytes(f, zeros.data(), size, s.chosen + kRecHdrSize);
  if (rc == BRF_OK && s.last != 0) rc = write_u32(f, fb_next_at(s.last), s.chosen);
  if (rc != BRF_OK) {
    if (!no_hdr_io) give_back_end(f, s.chosen);
    return rc;
  }
  if (s.last == 0) {
    f->hdr.freelist = s.chosen;
    if (!no_hdr_io && (rc = brfputhdr(f)) != BRF_OK) return rc;
  }
  memset(s.body, 0, sizeof s.body);
  s.entry = usable_entry(s.chosen, 0) ? 0 : 1;
  return BRF_OK;
}

}  // namespace

// Frees without refusing a record flagged deleted already: the upgrade
// rebuilds the list from such records.
int brf_rcd_free_any(BRF_FILE* f, uint32_t seek, bool no_hdr_io) {
  if (brf_relative(f)) return BRF_BAD_DATA;
  rec_hdr r;
  int rc = brf_read_rec_hdr(f, seek, &r);
  if (rc != BRF_OK) return rc;
  if (!no_hdr_io && (rc = brfgethdr(f)) != BRF_OK) return rc;
  if (!whole_record(f, seek, r)) return BRF_BAD_DATA;
  free_slot s;
  if ((rc = find_free_slot(f, r.length, s)) != BRF_OK) return rc;
  if (s.entry < 0 && (rc = add_free_block(f, no_hdr_io, s)) != BRF_OK) return rc;

  // A record marked deleted but on no chain would be lost to its indexes'
  // undo: when a write fails, the record's header is put back.
  rec_hdr live = r;
  r.flags |= kRecDeleted;
  r.link = fb_seek(s.body, s.entry);
  rc = brf_write_rec_hdr(f, seek, r);
  if (rc == BRF_OK) rc = set_chain_head(f, s.chosen, s.body, s.entry, seek, r.length);
  if (rc != BRF_OK) static_cast<void>(brf_write_rec_hdr(f, seek, live));
  // A rewrite word a dead writer left naming the record names no record now:
  // its space may next hold one that nothing tore.
  if (rc == BRF_OK && brf_rewrite_now(f) == (kRewriteBusy | seek)) brf_rewrite_settle(f);
  return rc;
}

int brf_rcd_give_back(BRF_FILE* f, uint32_t seek) {
  if (give_back_end(f, seek)) return BRF_OK;
  return brf_rcd_free_any(f, seek, false);
}

int brf_free_list_settle(BRF_FILE* f) {
  block_body body, ahead;
  uint32_t guard = max_blocks(f);
  uint32_t bseek = f->hdr.freelist;
  if (bseek != 0) {
    if (int rc = read_block(f, bseek, body)) return rc;
  }
  while (bseek != 0 && fb_next(body) != 0) {
    if (guard-- == 0) return BRF_BAD_DATA;
    const uint32_t next = fb_next(body);
    const int rc = read_block(f, next, ahead, bseek);
    if (rc == kListEnd) return write_u32(f, fb_next_at(bseek), 0);
    if (rc != BRF_OK) return rc;
    memcpy(body, ahead, sizeof body);
    bseek = next;
  }
  return BRF_OK;
}

int brf_rcd_free(BRF_FILE* f, uint32_t seek, bool no_hdr_io) {
  if (brf_relative(f)) return BRF_BAD_DATA;
  rec_hdr r;
  int rc = brf_read_rec_hdr(f, seek, &r);
  if (rc != BRF_OK) return rc;
  if (r.flags & kRecDeleted) return BRF_DELETED;  // on a chain already: a second link would loop it
  // A record's link is its own seek, or an owner stamp: anything else is not
  // the start of a record.
  if (r.link != seek && !(r.link & kOwnerBit)) return BRF_BAD_DATA;
  return brf_rcd_free_any(f, seek, no_hdr_io);
}

}  // namespace kivo
