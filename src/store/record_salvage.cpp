// The salvage of a data file whose records cannot all be walked from its
// first to the end of file its header claims: a file cut short, one with a
// hole where records were, one whose record header or trailer was changed,
// one whose header's end of file was moved below its records or off a
// record boundary (the walk goes on to the file's size).
//
// A record is whole when its header reads, its flags and length are a
// record's of this file and its trailer repeats its length. The walk keeps
// every whole record: past one that is not whole it looks on, byte by byte
// (record position by record position in a fixed-length file), for the next
// place where a whole record starts and is followed by another or by the
// end, and goes on from there. The bytes between (a damaged span) belong to
// no whole record: they are first copied to a file beside the data file, on
// disk, with everything after the last whole record, so nothing is dropped
// unseen; then each span is written over as records that are no user's,
// which the free list takes back, so the records after it keep their
// places. The file itself never shrinks (another process may have it
// mapped): the end of file is set after the last whole record. Every record
// then carries its place in the file as its number again, and the free list
// is built anew; the keys are rebuilt by the repair that follows.
//
// Caller: brfrepair (record_repair.cpp), under the update lock.
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <optional>
#include <vector>

#include "foundation/bytes.h"
#include "foundation/os_calls.h"
#include "store/record_ops.h"
#include "store/store.h"

namespace kivo {

namespace {

constexpr uint8_t kRecFlags = kRecDeleted | kRecNotUser;
constexpr size_t kCopyChunk = 1 << 20;
// Smallest span a record that is no user's can cover: a header, one body
// byte (a length of 0 would read as an unused free-list entry), a trailer.
constexpr uint64_t kMinSpan = kRecOverhead + 1;

// Bytes of the data file below `limit` through a large buffer: the walk and
// the search for the next record read small pieces, mostly forwards.
class file_window {
 public:
  file_window(BRF_FILE* f, uint64_t limit) : f_(f), limit_(limit) {}
  // The n bytes at `off`, valid until the next call; null when they lie
  // past the limit or cannot be read.
  const uint8_t* get(uint64_t off, size_t n) {
    if (off + n > limit_) return nullptr;
    if (off >= at_ && off + n <= at_ + len_) return buf_.data() + (off - at_);
    const size_t want = static_cast<size_t>(std::max<uint64_t>(n, std::min<uint64_t>(kCopyChunk, limit_ - off)));
    buf_.resize(want);
    const ssize_t got = brf_pread(f_, buf_.data(), want, off);
    if (got < static_cast<ssize_t>(n)) {
      len_ = 0;
      return nullptr;
    }
    at_ = off;
    len_ = static_cast<size_t>(got);
    return buf_.data();
  }

 private:
  BRF_FILE* f_;
  uint64_t limit_;
  std::vector<uint8_t> buf_;
  uint64_t at_ = 0;
  size_t len_ = 0;
};

// The seek after the record at `seek` when it is whole below `limit`; 0
// when it is not.
uint64_t whole_record_end(BRF_FILE* f, file_window& w, uint64_t seek, uint64_t limit, rec_hdr* h) {
  const uint8_t* hb = seek + kRecOverhead <= limit ? w.get(seek, kRecHdrSize) : nullptr;
  if (!hb) return 0;
  *h = decode_rec_hdr(hb);
  if (h->flags & ~kRecFlags) return 0;
  const bool user = !(h->flags & kRecFlags);
  if (user && (brf_fixed(f) ? h->length != f->hdr.rec_len : h->length == 0)) return 0;
  if (!user && h->length > std::max<uint32_t>(kMaxRecordLength, free_block_body_size(f))) return 0;
  const uint64_t next = seek + h->length + kRecOverhead;
  const uint8_t* tr = next <= limit ? w.get(next - kRecTrailerSize, kRecTrailerSize) : nullptr;
  return tr && ld_le32(tr, 0) == h->length ? next : 0;
}

// Whether a whole record found by searching is a record's start and not a
// pattern inside other bytes: a live record names itself, a deleted one
// the next of its chain (0 at the end), a block its own or a record's
// seek; and the record is followed by another whole one, or by the limit.
// A live record whose link is its own seek needs no follower: bytes inside
// other records hardly name the place they lie at, and a whole record
// between two damaged ones is kept.
bool trusted_start(BRF_FILE* f, file_window& w, uint64_t seek, uint64_t next, uint64_t limit, const rec_hdr& h) {
  const bool names_self = h.link == seek || (!(h.flags & kRecFlags) && (h.link & kOwnerBit));
  const bool names_record = h.link >= kDataHeaderSize && h.link < limit;
  if (!(h.flags & kRecFlags) ? !names_self : !(names_self || names_record || h.link == 0)) return false;
  if (!(h.flags & kRecFlags) && h.link == seek) return true;
  rec_hdr after;
  return next == limit || whole_record_end(f, w, next, limit, &after) != 0;
}

// The next place at or after `from` where a trusted whole record starts
// below `limit`; 0 when there is none.
uint64_t next_whole_record(BRF_FILE* f, file_window& w, uint64_t from, uint64_t limit) {
  const uint64_t step = brf_fixed(f) ? f->hdr.rec_len + kRecOverhead : 1;
  if (step > 1) from = kDataHeaderSize + (from - kDataHeaderSize + step - 1) / step * step;
  for (uint64_t s = from; s + kRecOverhead <= limit; s += step) {
    rec_hdr h;
    const uint64_t next = whole_record_end(f, w, s, limit, &h);
    if (next && trusted_start(f, w, s, next, limit, h)) return s;
  }
  return 0;
}

// Bytes of the file that belong to no whole record.
using span = brf_span;

// What the walk found: the damaged spans between whole records, and where
// the last whole record ends.
struct salvage_plan {
  uint64_t end = kDataHeaderSize;  // after the last whole record
  uint32_t active = 0;             // user records kept
  uint32_t damaged = 0;            // places where no whole record could be taken
  std::vector<span> spans;         // each followed by a whole record
};

salvage_plan walk_on(BRF_FILE* f, uint64_t limit) {
  file_window w(f, limit);
  salvage_plan p;
  for (uint64_t seek = kDataHeaderSize; seek < limit;) {
    rec_hdr h;
    if (const uint64_t next = whole_record_end(f, w, seek, limit, &h)) {
      if (!(h.flags & kRecFlags)) ++p.active;
      p.end = seek = next;
      continue;
    }
    ++p.damaged;
    uint64_t start = next_whole_record(f, w, seek + 1, limit);
    // A span too short to hold a record takes the whole record after it.
    while (start && start - seek < kMinSpan) {
      const uint64_t past = whole_record_end(f, w, start, limit, &h);
      start = past ? next_whole_record(f, w, past, limit) : 0;
    }
    if (!start) return p;
    p.spans.push_back({seek, start});
    p.end = seek = start;
  }
  return p;
}

}  // namespace

std::string brf_aside_name(const std::string& base) {
  std::string name = base + ".aside";
  struct stat st;
  for (int n = 2; os_sys.stat(name.c_str(), &st) == 0; ++n) name = base + ".aside." + std::to_string(n);
  return name;
}

int brf_set_aside(BRF_FILE* f, const std::vector<span>& parts, const std::string& path) {
  const int fd = os_sys.open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) return brf_errno_status(errno, __LINE__);
  std::vector<uint8_t> buf(kCopyChunk);
  int st = BRF_OK;
  off_t out = 0;
  for (const span& s : parts) {
    for (uint64_t at = s.from; at < s.to && st == BRF_OK; at += buf.size()) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(buf.size(), s.to - at));
      if (kivo_pread(f->slot, buf.data(), n, static_cast<off_t>(at)) != static_cast<ssize_t>(n)) st = BRF_BAD_DATA;
      else if (os_sys.pwrite(fd, buf.data(), n, out) != static_cast<ssize_t>(n)) st = brf_errno_status(errno, __LINE__);
      out += static_cast<off_t>(n);
    }
  }
  if (st == BRF_OK && os_sys.fsync(fd) != 0) st = brf_errno_status(errno, __LINE__);
  os_sys.close(fd);
  if (st != BRF_OK) os_sys.unlink(path.c_str());
  return st;
}

namespace {

// One record that is no user's over [at, at + len + 16), its own seek as
// link: what the free list takes back.
int write_block(BRF_FILE* f, uint64_t at, uint32_t len) {
  rec_hdr h;
  h.flags = kRecNotUser;
  h.length = static_cast<uint16_t>(len);
  h.link = static_cast<uint32_t>(at);
  if (int st = brf_write_rec_hdr(f, h.link, h)) return st;
  uint8_t tr[kRecTrailerSize];
  st_le32(tr, 0, len);
  const off_t tr_at = static_cast<off_t>(at + kRecHdrSize + len);
  return kivo_pwrite(f->slot, tr, sizeof tr, tr_at) == static_cast<ssize_t>(sizeof tr)
             ? BRF_OK
             : brf_errno_status(errno, __LINE__);
}

// Writes a damaged span over as records that are no user's: one per record
// position in a fixed-length file, else as few as the length field allows,
// none shorter than kMinSpan.
int cover_span(BRF_FILE* f, const span& s) {
  const uint64_t slot = brf_fixed(f) ? f->hdr.rec_len + kRecOverhead : 0;
  for (uint64_t at = s.from; at < s.to;) {
    uint64_t piece = s.to - at;
    if (slot) piece = slot;
    else if (piece > kMaxRecordLength + kRecOverhead)
      piece = std::min<uint64_t>(kMaxRecordLength + kRecOverhead, piece - kMinSpan);
    if (int st = write_block(f, at, static_cast<uint32_t>(piece - kRecOverhead))) return st;
    at += piece;
  }
  return BRF_OK;
}

// Gives every record up to the end of file its place as its number: a
// record appended past a cut took its number from bytes that were no record.
int renumber(BRF_FILE* f) {
  const uint64_t slot = brf_fixed(f) ? f->hdr.rec_len + kRecOverhead : 0;
  uint32_t n = 0;
  for (uint64_t seek = kDataHeaderSize; seek < f->hdr.eofseek; ++n) {
    rec_hdr h;
    if (int st = brf_read_rec_hdr(f, static_cast<uint32_t>(seek), &h)) return st;
    const uint32_t place = slot ? static_cast<uint32_t>((seek - kDataHeaderSize) / slot) : n;
    if (h.recno != place) {
      h.recno = place;
      if (int st = brf_write_rec_hdr(f, static_cast<uint32_t>(seek), h)) return st;
    }
    seek += h.length + kRecOverhead;
  }
  return BRF_OK;
}

// The file brought back to its whole records (update lock held): the rest
// set aside, the spans covered, then the header's end of file, the numbers
// and the free list. The line says what was kept and where the rest went.
int cut_back(BRF_FILE* f, const std::string& base, const salvage_plan& p, uint64_t size, FILE* out) {
  const uint32_t old_eof = f->hdr.eofseek;
  std::vector<span> parts = p.spans;
  if (size > p.end) parts.push_back({p.end, size});
  uint64_t aside = 0;
  for (const span& s : parts) aside += s.to - s.from;
  const std::string path = aside ? brf_aside_name(base) : std::string();
  if (aside)
    if (int st = brf_set_aside(f, parts, path)) return st;
  for (const span& s : p.spans)
    if (int st = cover_span(f, s)) return st;
  f->hdr.eofseek = static_cast<uint32_t>(p.end);
  f->hdr.freelist = 0;
  f->count_eof = 0;
  if (int st = brfputhdr(f)) return st;
  if (int st = renumber(f)) return st;
  if (int st = brf_rebuild_free_list(f)) return st;
  fprintf(out, "salvaged %s: %u records kept", base.c_str(), p.active);
  if (aside) fprintf(out, ", %llu bytes set aside in %s", static_cast<unsigned long long>(aside), path.c_str());
  else fprintf(out, ", nothing set aside");
  fprintf(out, " (%u damaged record%s", p.damaged, p.damaged == 1 ? "" : "s");
  if (!p.spans.empty()) fprintf(out, ", the first at %llu", static_cast<unsigned long long>(p.spans[0].from));
  fprintf(out, "; the records end at %llu; the header's end of file was %u in a file of %llu bytes)\n",
          static_cast<unsigned long long>(p.end), old_eof, static_cast<unsigned long long>(size));
  return BRF_OK;
}

}  // namespace

int brf_salvage(const std::string& base, FILE* out) {
  int st = BRF_OK;
  BRF_FILE* f = brfopen(&st, base.c_str(), BRF_NO_KEYS, 0, false);
  if (!f) return st == BRF_NOT_FOUND_FILE ? BRF_OK : st;
  // Only a current-format header says where the records end.
  if (!brf_header_from_file(f)) {
    brfclose(f);
    return BRF_OK;
  }
  std::optional<update_hold> hold(std::in_place, f->slot, true);
  if (!hold->held()) {
    hold.reset();
    brfclose(f);
    return BRF_LOCK_REFUSED;
  }
  struct stat sb;
  st = brfgethdr(f);
  if (st == BRF_OK && kivo_fstat(f->slot, &sb) != 0) st = brf_errno_status(errno, __LINE__);
  if (st == BRF_OK) {
    const uint64_t size = static_cast<uint64_t>(sb.st_size);
    // The records are walked up to the file's size, not to the header's end
    // of file: an end moved below the records, or off a record boundary,
    // would otherwise lose the records past it. Bytes past the last whole
    // record are set aside; a later walk finds no record there again.
    const salvage_plan p = walk_on(f, size);
    // A file cut inside its header block lacks its header's end of file too.
    if (!p.spans.empty() || p.end != f->hdr.eofseek || f->hdr.eofseek > size) st = cut_back(f, base, p, size, out);
  }
  hold.reset();
  brfclose(f);
  return st;
}

}  // namespace kivo
