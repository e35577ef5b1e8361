// The salvage of a data file whose records cannot all be walked from its
// first to the end of file its header claims: a file cut short, one with a
// hole where records were, one whose record header or trailer was changed,
// one whose header's end of file was moved below its records or off a
// record boundary (the walk goes on to the file's size), or whose header's
// record length no record carries (taken from the records). The walk is
// the export's too, so the two agree on what is damaged.
//
// A record is whole when its header reads, its flags and length are a
// record's of this file and its trailer repeats its length (a fixed-length
// record whose header is sound and names itself is whole but for its
// trailer when a whole record follows it: kept, its trailer written
// again). The walk keeps
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
// Callers: brfrepair (record_repair.cpp), under the update lock; the
// export's walk (flat_transfer.cpp).
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <map>
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

}  // namespace

brf_record_walk::brf_record_walk(BRF_FILE* f, uint64_t limit, bool any_length)
    : f_(f), limit_(limit), any_length_(any_length) {}

// The n bytes at `off` through a large buffer (the walk and the search for
// the next record read small pieces, mostly forwards), valid until the next
// call; null when they lie past the limit or cannot be read.
const uint8_t* brf_record_walk::get(uint64_t off, size_t n) {
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

uint64_t brf_record_walk::whole(uint64_t seek, rec_hdr* h, bool lenient, bool* trailer_only, const char** why) {
  const char* unused;
  if (!why) why = &unused;
  if (trailer_only) *trailer_only = false;
  const uint8_t* hb = seek + kRecOverhead <= limit_ ? get(seek, kRecHdrSize) : nullptr;
  if (!hb) return *why = "no record header fits before the end", 0;
  *h = decode_rec_hdr(hb);
  if (h->flags & ~kRecFlags) return *why = "its header's flags are no record's", 0;
  const bool user = !(h->flags & kRecFlags);
  const bool fixed = brf_fixed(f_) && !any_length_;
  if (user && (fixed ? h->length != f_->hdr.rec_len : h->length == 0))
    return *why = fixed ? "its header's length is not the file's record length" : "its header's length is 0", 0;
  if (!user && h->length > std::max<uint32_t>(kMaxRecordLength, free_block_body_size(f_)))
    return *why = "its header's length is no record's", 0;
  const uint64_t next = seek + h->length + kRecOverhead;
  if (next > limit_) return *why = "its header's length reaches past the end", 0;
  const uint8_t* tr = get(next - kRecTrailerSize, kRecTrailerSize);
  if (tr && ld_le32(tr, 0) == h->length) return next;
  *why = "its header and trailer disagree";
  // A fixed-length record that names itself, followed by a whole record or
  // the end, is taken by its header: only its trailer was changed.
  const bool names_self = h->link == seek || (h->link & kOwnerBit);
  if (!lenient || !fixed || !user || !names_self) return 0;
  rec_hdr after;
  if (next != limit_ && whole(next, &after, false, nullptr, nullptr) == 0) return 0;
  if (trailer_only) *trailer_only = true;
  return next;
}

uint64_t brf_record_walk::whole_at(uint64_t seek, rec_hdr* h, bool* trailer_only, const char** why) {
  return whole(seek, h, true, trailer_only, why);
}

// Whether a whole record found by searching is a record's start and not a
// pattern inside other bytes: a live record names itself, a deleted one
// the next of its chain (0 at the end), a block its own or a record's
// seek; and the record is followed by another whole one, or by the limit.
// A live record whose link is its own seek needs no follower: bytes inside
// other records hardly name the place they lie at, and a whole record
// between two damaged ones is kept.
bool brf_record_walk::trusted_start(uint64_t seek, uint64_t next, const rec_hdr& h) {
  const bool names_self = h.link == seek || (!(h.flags & kRecFlags) && (h.link & kOwnerBit));
  const bool names_record = h.link >= kDataHeaderSize && h.link < limit_;
  if (!(h.flags & kRecFlags) ? !names_self : !(names_self || names_record || h.link == 0)) return false;
  if (!(h.flags & kRecFlags) && h.link == seek) return true;
  rec_hdr after;
  return next == limit_ || whole(next, &after, false, nullptr, nullptr) != 0;
}

// The next place at or after `from` where a trusted whole record starts
// below the limit; 0 when there is none.
uint64_t brf_record_walk::next_start(uint64_t from) {
  const uint64_t step = brf_fixed(f_) && !any_length_ ? f_->hdr.rec_len + kRecOverhead : 1;
  if (step > 1) from = kDataHeaderSize + (from - kDataHeaderSize + step - 1) / step * step;
  for (uint64_t s = from; s + kRecOverhead <= limit_; s += step) {
    rec_hdr h;
    const uint64_t next = whole(s, &h, false, nullptr, nullptr);
    if (next && trusted_start(s, next, h)) return s;
  }
  return 0;
}

uint64_t brf_record_walk::resume_after(uint64_t seek) {
  uint64_t start = next_start(seek + 1);
  // A span too short to hold a record takes the whole record after it.
  while (start && start - seek < kMinSpan) {
    rec_hdr h;
    const uint64_t past = whole(start, &h, false, nullptr, nullptr);
    start = past ? next_start(past) : 0;
  }
  return start;
}

uint32_t brf_place_number(const BRF_FILE* f, uint64_t seek, uint32_t ordinal) {
  if (!brf_fixed(f)) return ordinal;
  return static_cast<uint32_t>((seek - kDataHeaderSize) / (f->hdr.rec_len + kRecOverhead));
}

namespace {

// Bytes of the file that belong to no whole record.
using span = brf_span;

// What the walk found: the damaged spans between whole records, and where
// the last whole record ends.
struct salvage_plan {
  uint64_t end = kDataHeaderSize;  // after the last whole record
  uint32_t active = 0;             // user records kept
  uint32_t damaged = 0;            // places where no whole record could be taken
  uint32_t misnumbered = 0;        // whole records whose number is not their place
  std::vector<span> spans;         // each followed by a whole record
  std::vector<uint32_t> trailers;  // fixed-length records kept whose trailer is written again
};

salvage_plan walk_on(BRF_FILE* f, uint64_t limit) {
  brf_record_walk w(f, limit);
  salvage_plan p;
  uint32_t ordinal = 0;
  for (uint64_t seek = kDataHeaderSize; seek < limit;) {
    rec_hdr h;
    bool trailer_only = false;
    if (const uint64_t next = w.whole_at(seek, &h, &trailer_only)) {
      if (!(h.flags & kRecFlags)) ++p.active;
      if (trailer_only) p.trailers.push_back(static_cast<uint32_t>(seek));
      if (h.recno != brf_place_number(f, seek, ordinal++)) ++p.misnumbered;
      p.end = seek = next;
      continue;
    }
    ++p.damaged;
    const uint64_t start = w.resume_after(seek);
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
  uint32_t n = 0;
  for (uint64_t seek = kDataHeaderSize; seek < f->hdr.eofseek; ++n) {
    rec_hdr h;
    if (int st = brf_read_rec_hdr(f, static_cast<uint32_t>(seek), &h)) return st;
    const uint32_t place = brf_place_number(f, seek, n);
    if (h.recno != place) {
      h.recno = place;
      if (int st = brf_write_rec_hdr(f, static_cast<uint32_t>(seek), h)) return st;
    }
    seek += h.length + kRecOverhead;
  }
  return BRF_OK;
}

// The trailer of the record at `seek` made to repeat its length again.
int write_trailer(BRF_FILE* f, uint32_t seek) {
  rec_hdr h;
  if (int st = brf_read_rec_hdr(f, seek, &h)) return st;
  uint8_t tr[kRecTrailerSize];
  st_le32(tr, 0, h.length);
  const off_t at = static_cast<off_t>(uint64_t{seek} + kRecHdrSize + h.length);
  return kivo_pwrite(f->slot, tr, sizeof tr, at) == static_cast<ssize_t>(sizeof tr) ? BRF_OK
                                                                                    : brf_errno_status(errno, __LINE__);
}

// The file brought back to its whole records (update lock held): the rest
// set aside, the spans covered, then the header's end of file, the numbers
// and the free list. The line says what was kept and where the rest went.
int cut_back(BRF_FILE* f, const std::string& base, const salvage_plan& p, uint64_t size, const std::string& fault,
             FILE* out) {
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
  for (const uint32_t seek : p.trailers)
    if (int st = write_trailer(f, seek)) return st;
  f->hdr.eofseek = static_cast<uint32_t>(p.end);
  f->hdr.freelist = 0;
  f->count_eof = 0;
  if (int st = brfputhdr(f)) return st;
  if (int st = renumber(f)) return st;
  if (int st = brf_rebuild_free_list(f)) return st;
  if (!fault.empty())
    fprintf(out, "salvaged %s: %s; the header is written again from the records\n", base.c_str(), fault.c_str());
  for (const uint32_t seek : p.trailers)
    fprintf(out, "salvaged %s: the record at %u is whole but for its trailer: kept, its trailer written again\n",
            base.c_str(), seek);
  if (p.misnumbered && p.spans.empty())
    fprintf(out, "salvaged %s: %u records carried a number that is not their place in the file: numbered again\n",
            base.c_str(), p.misnumbered);
  fprintf(out, "salvaged %s: %u records kept", base.c_str(), p.active);
  if (aside) fprintf(out, ", %llu bytes set aside in %s", static_cast<unsigned long long>(aside), path.c_str());
  else fprintf(out, ", nothing set aside");
  fprintf(out, " (%u damaged record%s", p.damaged, p.damaged == 1 ? "" : "s");
  if (!p.spans.empty()) fprintf(out, ", the first at %llu", static_cast<unsigned long long>(p.spans[0].from));
  fprintf(out, "; the records end at %llu; the header's end of file was %u in a file of %llu bytes)\n",
          static_cast<unsigned long long>(p.end), old_eof, static_cast<unsigned long long>(size));
  return BRF_OK;
}

// The length a fixed-length file's records carry: the header's while any
// whole user record carries it (the first few are looked at first, so a
// sound file is not walked), else the one length every whole user record
// carries, which the file's description must give when it gives one
// (*why then names the header's fault). 0 with *why when the records
// settle no length.
uint32_t records_length(BRF_FILE* f, const std::string& base, uint64_t size, std::string* why) {
  const uint32_t told = f->hdr.rec_len;
  constexpr int kLook = 64;
  {
    brf_record_walk w(f, size);
    uint64_t seek = kDataHeaderSize;
    rec_hdr h;
    for (int i = 0; i < kLook && seek < size; ++i) {
      const uint64_t next = w.whole_at(seek, &h);
      if (!next) break;
      if (!(h.flags & kRecFlags)) return told;
      seek = next;
    }
    if (seek >= size) return told;
  }
  brf_record_walk w(f, size, true);
  std::map<uint32_t, uint32_t> lengths;  // user records of each length
  for (uint64_t seek = kDataHeaderSize; seek && seek < size;) {
    rec_hdr h;
    const uint64_t next = w.whole_at(seek, &h);
    if (next && !(h.flags & kRecFlags)) ++lengths[h.length];
    seek = next ? next : w.resume_after(seek);
  }
  if (lengths.empty() || lengths.count(told)) return told;
  const int described = store_hooks.described_rec_len ? store_hooks.described_rec_len(base.c_str()) : -1;
  const uint32_t len = lengths.begin()->first;
  char text[240];
  if (lengths.size() > 1) {
    snprintf(text, sizeof text,
             "header's record length %u is carried by no record, and the records carry %zu lengths (%u to %u)", told,
             lengths.size(), len, lengths.rbegin()->first);
  } else if (described >= 0 && static_cast<uint32_t>(described) != len) {
    snprintf(text, sizeof text,
             "header's record length %u is carried by no record; every record carries %u, but the file's description "
             "gives %d",
             told, len, described);
  } else {
    snprintf(text, sizeof text, "header's record length %u is not the %u bytes every record carries", told, len);
    *why = text;
    return len;
  }
  *why = text;
  return 0;
}

// Whether a live record starts whole at the header's end of file, or
// after a few whole records that are not live: the end was moved below the
// records. A writer's record becomes live only after the header's end has
// moved past it, so the stored end read again settles it.
bool live_records_follow(BRF_FILE* f, uint64_t size) {
  constexpr int kLook = 16;
  const uint32_t eof = f->hdr.eofseek;
  brf_record_walk w(f, size);
  uint64_t seek = eof;
  rec_hdr h;
  for (int i = 0; i < kLook && seek < size; ++i) {
    const uint64_t next = w.whole_at(seek, &h);
    if (!next) return false;
    if (!(h.flags & kRecFlags) && h.link == seek) {
      uint8_t buf[kDataHeaderFields];
      return kivo_pread(f->slot, buf, sizeof buf, 0) == static_cast<ssize_t>(sizeof buf) &&
             decode_brf_hdr(buf).eofseek == eof;
    }
    seek = next;
  }
  return false;
}

}  // namespace

int brf_walk_header(BRF_FILE* f, const std::string& base, uint64_t size, uint64_t* limit, std::string* fault) {
  fault->clear();
  bool settled_here = false;  // f->hdr is no longer what a read of the header gives
  if (!brf_header_from_file(f) || f->hdr.version != kBrfVersion) {
    // A header refused only for its end of file or its record length still
    // tells where the records start and how they are laid out.
    uint8_t buf[kDataHeaderFields];
    if (kivo_pread(f->slot, buf, sizeof buf, 0) != static_cast<ssize_t>(sizeof buf)) return BRF_BAD_DATA;
    brf_hdr raw = decode_brf_hdr(buf), settled = raw;
    settled.eofseek = kDataHeaderSize;
    settled.freelist = 0;
    char why[160];
    if (raw.version != kBrfVersion || brf_hdr_contradiction(settled, why, sizeof why)) return BRF_BAD_DATA;
    f->hdr = raw;
    f->has_header = true;
    f->count_eof = 0;
    settled_here = true;
  }
  if (brf_fixed(f)) {
    const uint32_t len = records_length(f, base, size, fault);
    if (!len) return BRF_BAD_DATA;
    settled_here = settled_here || len != f->hdr.rec_len;
    f->hdr.rec_len = len;
  }
  const auto add = [&](const std::string& what) { *fault += (fault->empty() ? "" : "; ") + what; };
  char why[200];
  const uint32_t eof = f->hdr.eofseek;
  const bool off_slot =
      brf_fixed(f) && (eof < kDataHeaderSize || (eof - kDataHeaderSize) % (f->hdr.rec_len + kRecOverhead));
  *limit = size;
  if (eof > size) {
    add("header's end of file " + std::to_string(eof) + " lies past the file's end (" + std::to_string(size) +
        " bytes)");
  } else if (off_slot) {
    add("header's end of file " + std::to_string(eof) + " is no record boundary");
  } else if (settled_here ? live_records_follow(f, size) : brf_extent_fault(f, why, sizeof why)) {
    // (the check of a header read as it stands reads it again)
    add(settled_here ? "header's end of file " + std::to_string(eof) + " lies below its records" : std::string(why));
  } else {
    *limit = eof;
    if (brf_hdr_contradiction(f->hdr, why, sizeof why)) add(why);  // its free list: built again
  }
  return BRF_OK;
}

int brf_salvage(const std::string& base, FILE* out) {
  int st = BRF_OK;
  BRF_FILE* f = brfopen(&st, base.c_str(), BRF_NO_KEYS, 0, false);
  if (!f) return st == BRF_NOT_FOUND_FILE ? BRF_OK : st;
  std::optional<update_hold> hold(std::in_place, f->slot, true);
  if (!hold->held()) {
    hold.reset();
    brfclose(f);
    return BRF_LOCK_REFUSED;
  }
  struct stat sb;
  if (kivo_fstat(f->slot, &sb) != 0) st = brf_errno_status(errno, __LINE__);
  const uint64_t size = static_cast<uint64_t>(sb.st_size);
  uint64_t limit = 0;
  std::string fault;
  // Only a current-format header says where the records end.
  if (st == BRF_OK && brf_walk_header(f, base, size, &limit, &fault) != BRF_OK) {
    if (!fault.empty()) {
      fprintf(stderr, "%s:  Can't repair file: %s; nothing is changed\n", base.c_str(), fault.c_str());
      st = BRF_BAD_DATA;
    }
    hold.reset();
    brfclose(f);
    return st;
  }
  if (st == BRF_OK) {
    // The records are walked up to the file's size, not to the header's end
    // of file: an end moved below the records, or off a record boundary,
    // would otherwise lose the records past it. Bytes past the last whole
    // record are set aside; a later walk finds no record there again.
    const salvage_plan p = walk_on(f, size);
    // A file cut inside its header block lacks its header's end of file too.
    if (!p.spans.empty() || p.end != f->hdr.eofseek || f->hdr.eofseek > size || !fault.empty() || !p.trailers.empty() ||
        p.misnumbered)
      st = cut_back(f, base, p, size, fault, out);
  }
  hold.reset();
  brfclose(f);
  return st;
}

}  // namespace kivo
