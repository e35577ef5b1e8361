// The analyser's checks: opening the pair, the walk of the data file's
// records, the free list, the walk of each key's tree against the records,
// and the verification that answers good or bad.
//
// Nothing read from a file is trusted: seeks are checked against the file's
// size and against the record starts the walk found, counts against what a
// page can hold, and every walk keeps a visited set, so a damaged file ends
// in a report, never in a crash, a loop or a write.
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <optional>

#include "foundation/bytes.h"
#include "store/analyser.h"
#include "store/analyser_internal.h"
#include "store/brf_status.h"
#include "store/btree_page.h"
#include "store/fd_cache.h"
#include "store/flat_file.h"
#include "store/flat_temp.h"
#include "store/lock.h"
#include "store/record_ops.h"
#include "store/store.h"

namespace kivo {

void anal_say(anal_ctx* c, const char* fmt, ...) {
  if (!c->out) return;
  if (c->progress) c->progress->clear();
  va_list ap;
  va_start(ap, fmt);
  vfprintf(c->out, fmt, ap);
  va_end(ap);
}

// Reads go through the file's mapping where it covers them: a walk of a
// large file makes a few large reads, not several calls a record.
bool anal_read_dat(anal_ctx* c, uint64_t seek, void* buf, size_t n) {
  if (!c->dat || seek + n > c->dat_size) return false;
  return brf_pread(c->dat, buf, n, seek) == static_cast<ssize_t>(n);
}

bool anal_read_key(anal_ctx* c, uint64_t seek, void* buf, size_t n) {
  if (c->key_slot < 0 || seek + n > c->key_size) return false;
  size_t len = 0;
  if (const uint8_t* map = fd_cache_map_file(c->key_slot, seek + n, &len); map && seek + n <= len) {
    memcpy(buf, map + seek, n);
    return true;
  }
  return kivo_pread(c->key_slot, buf, n, static_cast<off_t>(seek)) == static_cast<ssize_t>(n);
}

bool anal_page_ok(const anal_ctx* c, uint32_t seek) { return c->key_hdr_ok && bt_page_seek_ok(seek, c->key_eof); }

void anal_hex_dump(anal_ctx* c, const uint8_t* buf, size_t n) {
  anal_say(c, "          0  1  2  3  4  5  6  7  8  9  A  B  C  D  E  F\n");
  for (size_t off = 0; off < n; off += 16) {
    anal_say(c, "%6X   ", static_cast<unsigned>(off));
    char text[17];
    for (size_t i = 0; i < 16; ++i) {
      if (off + i < n) {
        uint8_t b = buf[off + i];
        anal_say(c, "%02x ", b);
        text[i] = (b >= 32 && b <= 126) ? static_cast<char>(b) : '.';
      } else {
        anal_say(c, "   ");
        text[i] = ' ';
      }
    }
    text[16] = '\0';
    anal_say(c, "%s\n", text);
  }
}

namespace {

uint64_t slot_size(int slot) {
  struct stat st;
  if (kivo_fstat(slot, &st) != 0 || st.st_size < 0) return 0;
  return static_cast<uint64_t>(st.st_size);
}

// Reads the key file's header and its key descriptors. A key file of 0 bytes
// is a key file without keys.
void load_key_header(anal_ctx* c) {
  c->key_size = slot_size(c->key_slot);
  if (!anal_read_key(c, 0, c->khdr, kBtHdrSize)) return;
  if (ld_le16(c->khdr, kHdrVersion) != kBtVersion || ld_le16(c->khdr, kHdrPageSize) != kPageSize) return;
  uint64_t eof = std::min<uint64_t>(ld_le32(c->khdr, kHdrEofseek), c->key_size);
  c->key_eof = static_cast<uint32_t>(std::min<uint64_t>(eof, kBtMaxFileSize - 1));
  c->key_hdr_ok = true;
  c->nkeys = std::min<int>(ld_u8(c->khdr, kHdrKeyCount), kBtMaxKeys);
  for (int k = 0; k < c->nkeys; ++k) {
    key_desc_load(c->khdr + kHdrKeys + k * kKeyDescSize, &c->keys[k]);
    c->key_valid[k] = bt_check_key_desc(c->keys[k], k, nullptr, 0) == BRF_OK;
    if (!c->key_valid[k]) continue;
    for (int s = 0; s < c->keys[k].nsegs; ++s) {
      const BT_SEG& sd = c->keys[k].seg[s];
      key_seg& ks = c->segs[k][s];
      ks.kind = seg_kind_of_type(sd.type);
      ks.descending = (sd.type & kSegDescending) != 0;
      ks.len = sd.len;
      ks.poffs = sd.poffs;
    }
  }
}

}  // namespace

void anal_refresh(anal_ctx* c) {
  memset(c->khdr, 0, sizeof c->khdr);
  c->dat_size = slot_size(c->dat->slot);
  uint8_t h[kDataHeaderFields];
  c->hdr = anal_read_dat(c, 0, h, sizeof h) ? decode_brf_hdr(h) : brf_hdr{};
  c->key_hdr_ok = false;
  c->nkeys = 0;
  if (c->key_slot >= 0) load_key_header(c);
  c->walked = false;
}

int anal_open(anal_ctx* c, const char* base) {
  c->name = base;
  int status = 0;
  // The key file is read directly, so the data file is opened alone; the
  // shared header lock keeps an exclusive writer (an import) away meanwhile.
  c->dat = brfopen(&status, base, BRF_NO_KEYS | BRF_READ_ONLY, 0, false);
  if (!c->dat) return status ? status : BRF_SYS_ERR;
  brf_header_from_file(c->dat);  // a fixed-length keyed file is not relative
  std::string key = std::string(base) + ".key";
  c->key_slot = kivo_open(key.c_str(), O_RDWR, 0);
  if (c->key_slot < 0) c->key_slot = kivo_open(key.c_str(), O_RDONLY, 0);
  anal_refresh(c);
  return 0;
}

void anal_close(anal_ctx* c) {
  if (c->key_slot >= 0) kivo_close(c->key_slot);
  c->key_slot = -1;
  if (c->dat) brfclose(c->dat);
  c->dat = nullptr;
}

// --- the walk of the data file -------------------------------------------

namespace {

// Whether the header of a version-2 file can be walked at all.
bool header_usable(const anal_ctx* c) {
  const brf_hdr& h = c->hdr;
  if (h.eofseek < kDataHeaderSize || h.eofseek > c->dat_size || h.eofseek > kMaxSeek) return false;
  if (h.freelist != 0 && (h.freelist < kDataHeaderSize || h.freelist >= h.eofseek)) return false;
  if ((h.flags & kHdrFixed) && (h.rec_len == 0 || h.rec_len > kMaxRecordLength)) return false;
  return true;
}

// Reads and checks the record at seek; the message format of its fault
// (with the seek as its one value), or null for a sound record in h.
const char* read_record(anal_ctx* c, uint64_t seek, std::vector<uint8_t>& body, rec_hdr& h) {
  const uint64_t end = c->hdr.eofseek;
  uint8_t hb[kRecHdrSize];
  if (seek + kRecHdrSize > end || !anal_read_dat(c, seek, hb, sizeof hb))
    return "Incomplete record header at seek position %d\n";
  h = decode_rec_hdr(hb);
  // Bits no record carries: neither a live nor a deleted record.
  if (h.flags & ~(kRecDeleted | kRecNotUser)) return "Bad flags in record header at seek position %d\n";
  const uint64_t next = seek + h.length + kRecOverhead;
  bool len_ok = h.length <= std::max<uint32_t>(kAnalMaxRecLen, free_block_body_size(c->dat)) && next <= end;
  // A fixed-length file's user records all have the file's length.
  if ((c->hdr.flags & kHdrFixed) && !(h.flags & kRecNotUser) && h.length != c->hdr.rec_len) len_ok = false;
  if (!len_ok) return "Bad record length in header at seek position %d\n";
  body.resize(h.length + kRecTrailerSize);
  if (!anal_read_dat(c, seek + kRecHdrSize, body.data(), h.length)) return "Can't read record at seek position %d\n";
  if (!anal_read_dat(c, seek + kRecHdrSize + h.length, body.data() + h.length, kRecTrailerSize) ||
      ld_le32(body.data(), h.length) != h.length)
    return "Can't read trailer related to header at seek position %d\n";
  // An active record's link is its own seek or an owner stamp.
  const bool user = !(h.flags & (kRecDeleted | kRecNotUser));
  if (user && h.link != seek && !(h.link & kOwnerBit)) return "Bad link in record header at seek position %d\n";
  return nullptr;
}

// Walks the records from 512 to eofseek; messages only with `report`.
bool walk(anal_ctx* c, bool report) {
  anal_ctx* say = report ? c : nullptr;
  c->recs.clear();
  c->refs.clear();
  c->deleted = 0;
  if (!header_usable(c)) {
    if (say)
      anal_say(say, "Invalid file header: eofseek(%u) freelist(%u), file size %llu\n", c->hdr.eofseek, c->hdr.freelist,
               static_cast<unsigned long long>(c->dat_size));
    return false;
  }
  std::vector<uint8_t> body;
  for (uint64_t seek = kDataHeaderSize; seek < c->hdr.eofseek;) {
    const uint32_t s = static_cast<uint32_t>(seek);
    rec_hdr h;
    if (const char* fault = read_record(c, seek, body, h)) {
      if (say) anal_say(say, fault, static_cast<int>(s));
      return false;
    }
    // A record's number is its place: the engine counts a file's records
    // by its last record's number, and reads by number.
    const uint32_t place = (c->hdr.flags & kHdrFixed) ? (s - kDataHeaderSize) / (c->hdr.rec_len + kRecOverhead)
                                                      : static_cast<uint32_t>(c->recs.size());
    if (c->hdr.version == kBrfVersion && h.recno != place) {
      if (say) anal_say(say, "Record at seek position %u carries number %u, not its place %u\n", s, h.recno, place);
      return false;
    }
    c->recs.push_back({s, h.length, h.flags});
    if (c->progress && (c->recs.size() & 0xFFF) == 0)
      c->progress->show("records read", seek - kDataHeaderSize, c->hdr.eofseek - kDataHeaderSize);
    // FREE_BLOCK records and unfinished writes are not counted.
    if (h.flags & kRecNotUser) {
      // nothing to count
    } else if (h.flags & kRecDeleted) {
      ++c->deleted;
    } else {
      anal_ref r;
      r.seek = s;
      c->refs.push_back(r);
    }
    seek += h.length + kRecOverhead;
  }
  return true;
}

const anal_rec* find_rec(const anal_ctx* c, uint32_t seek) {
  auto it =
      std::lower_bound(c->recs.begin(), c->recs.end(), seek, [](const anal_rec& r, uint32_t s) { return r.seek < s; });
  return it != c->recs.end() && it->seek == seek ? &*it : nullptr;
}

anal_ref* find_ref(anal_ctx* c, uint32_t seek) {
  auto it =
      std::lower_bound(c->refs.begin(), c->refs.end(), seek, [](const anal_ref& r, uint32_t s) { return r.seek < s; });
  return it != c->refs.end() && it->seek == seek ? &*it : nullptr;
}

}  // namespace

int count_rec(anal_ctx* c, bool report) {
  if (!report && c->walked) return c->walk_ok ? static_cast<int>(c->refs.size()) : -1;
  if (c->dat_size < kDataHeaderSize) {
    if (report) anal_say(c, "  Empty File\n");
    c->walked = true;
    c->walk_ok = c->hdr.eofseek <= kDataHeaderSize;
    c->recs.clear();
    c->refs.clear();
    return c->walk_ok ? 0 : -1;
  }
  c->walk_ok = walk(c, report);
  c->walked = true;
  if (!c->walk_ok) return -1;
  if (report) anal_say(c, "  %d active records; %d deleted records\n", static_cast<int>(c->refs.size()), c->deleted);
  return static_cast<int>(c->refs.size());
}

// --- keys ------------------------------------------------------------------

void anal_build_key(const anal_ctx* c, int k, const uint8_t* rec, size_t len, uint8_t* out) {
  size_t off = 0;
  for (int s = 0; s < c->keys[k].nsegs; ++s) {
    const key_seg& seg = c->segs[k][s];
    size_t avail = seg.poffs < len ? std::min<size_t>(seg.len, len - seg.poffs) : 0;
    if (avail) memcpy(out + off, rec + seg.poffs, avail);
    if (avail < seg.len) memset(out + off + avail, 0, seg.len - avail);
    off += seg.len;
  }
}

namespace {

// A key value that stands for "no value" and so is left out of the index:
// the null-key images are kept by the file manager, not in the file, so the
// analyser accepts the forms they take: every segment empty (characters all
// blank or all zero, binary zero, packed decimal zero, or a segment that is
// not compared). A key without segments is null for every record.
bool key_is_null(const anal_ctx* c, int k, const uint8_t* key) {
  return key_value_empty(c->segs[k], c->keys[k].nsegs, key);
}

// The walk of one key's tree.
struct tree_walk {
  tree_walk(anal_ctx* ctx, int key, std::vector<uint8_t>* pages)
      : c(ctx), k(key), keylen(ctx->keys[key].keylen), max_entries(bt_max_entries(keylen)), seen(pages) {}

  anal_ctx* c;
  int k;
  int keylen;
  int max_entries;
  std::vector<uint8_t>* seen;  // pages met in this tree
  bool bad = false;
  int count = 0;
  int leaf_depth = -1;
  bool stop = false;  // a non-interactive run stops at the first fault
  bool have_prev = false;
  uint8_t prev[kBtMaxKeyLen + 1] = {};
  std::vector<uint8_t> rec;
  // Set: each entry is handed here instead of being checked.
  std::function<void(uint32_t dseek, const uint8_t* key)> visit;

  void fail() {
    bad = true;
    if (!c->interactive) stop = true;
  }

  void invalid(uint32_t page, int slot) {
    anal_say(c, "Invalid key in page %d, slot %d\n", static_cast<int>(page), slot);
    fail();
  }

  // The record is read again into rec, its header into h: a shared pair may
  // have changed since the walk. False after reporting why it cannot be read.
  bool reread_record(uint32_t dseek, rec_hdr& h) {
    uint8_t hb[kRecHdrSize];
    if (!anal_read_dat(c, dseek, hb, sizeof hb)) {
      anal_say(c, "Can't read record header at %d\n", static_cast<int>(dseek));
      return false;
    }
    h = decode_rec_hdr(hb);
    rec.resize(h.length + kRecTrailerSize);
    if (!anal_read_dat(c, uint64_t{dseek} + kRecHdrSize, rec.data(), h.length)) {
      anal_say(c, "Can't read record at %d\n", static_cast<int>(dseek));
      return false;
    }
    if (!anal_read_dat(c, uint64_t{dseek} + kRecHdrSize + h.length, rec.data() + h.length, kRecTrailerSize) ||
        ld_le32(rec.data(), h.length) != h.length) {
      anal_say(c, "Can't read record trailer at %d\n", static_cast<int>(dseek));
      return false;
    }
    rec.resize(h.length);
    return true;
  }

  // An entry names a record whose flags are not a live record's: deleted,
  // written by no user (a free-list block or an unfinished write), or a
  // value no record carries, each said as what it is.
  void say_flags(uint32_t dseek, uint8_t flags) {
    if (flags == kRecDeleted) anal_say(c, "Index points to a deleted record at %d\n", static_cast<int>(dseek));
    else if (flags == kRecNotUser)
      anal_say(c, "Index points to a record no user wrote (a free-list block or an unfinished write) at %d\n",
               static_cast<int>(dseek));
    else
      anal_say(c, "Index points to a record with flags 0x%02x, which no record carries, at %d\n", flags,
               static_cast<int>(dseek));
  }

  // The record an entry names must be an active record whose key is the
  // entry's key; it is marked as referenced by this key.
  bool check_entry(uint32_t dseek, const uint8_t* key) {
    const anal_rec* r = find_rec(c, dseek);
    if (!r || dseek >= c->hdr.eofseek) {
      anal_say(c, "Invalid data pointer (%d)\n", static_cast<int>(dseek));
      return false;
    }
    rec_hdr h;
    if (!reread_record(dseek, h)) return false;
    if (h.flags != 0 || r->flags != 0) {
      say_flags(dseek, h.flags ? h.flags : r->flags);
      return false;
    }
    uint8_t built[kBtMaxKeyLen + 1];
    anal_build_key(c, k, rec.data(), rec.size(), built);
    if (memcmp(built, key, static_cast<size_t>(keylen)) != 0) {
      anal_say(c, "Index points to wrong record at %d\n", static_cast<int>(dseek));
      return false;
    }
    anal_ref* ref = find_ref(c, dseek);
    if (ref->mark[k]) {
      anal_say(c, "Record at %d referenced twice by key %d\n", static_cast<int>(dseek), k);
      return false;
    }
    ref->mark[k] = 1;
    return true;
  }

  void entry(uint32_t page, int slot, uint32_t dseek, const uint8_t* key) {
    ++count;
    if (visit) return visit(dseek, key);
    if (c->progress && (count & 0xFFF) == 0) {
      char step[40];
      snprintf(step, sizeof step, "key %d checked", k);
      c->progress->show(step, static_cast<uint64_t>(count), c->refs.size());
    }
    bool ok = true;
    if (have_prev && key_compare(c->segs[k], c->keys[k].nsegs, prev, key) >= 0) {
      anal_say(c, "Key out of order in page %d, slot %d\n", static_cast<int>(page), slot);
      ok = false;
    }
    memcpy(prev, key, static_cast<size_t>(keylen));
    have_prev = true;
    if (ok) ok = check_entry(dseek, key);
    if (!ok) invalid(page, slot);
  }

  // Reads a page not reached before, at a bounded depth; false after the
  // fault is reported.
  bool read_page(uint32_t seek, int depth, uint8_t* pg) {
    if (depth > kAnalMaxDepth) {
      anal_say(c, "Index too deep at page %d\n", static_cast<int>(seek));
      return false;
    }
    if (!anal_page_ok(c, seek)) {
      anal_say(c, "Invalid page pointer (%d)\n", static_cast<int>(seek));
      return false;
    }
    uint8_t& mark = (*seen)[(seek - kBtHdrBlock) / kPageSize];
    if (mark) {
      anal_say(c, "Page %d reached twice\n", static_cast<int>(seek));
      return false;
    }
    mark = 1;
    if (!anal_read_key(c, seek, pg, kPageSize)) {
      anal_say(c, "Unable to read page at %d\n", static_cast<int>(seek));
      return false;
    }
    return true;
  }

  uint32_t down(const uint8_t* pg, int i) const {
    return ld_le32(pg, kPgHdrSize + static_cast<size_t>(i) * bt_entry_size(keylen));
  }

  // The page's count and parent fit, its down links are all set or all
  // clear, and a leaf lies as deep as the other leaves.
  bool shape_ok(uint32_t seek, uint32_t parent, int depth, const uint8_t* pg) {
    const int n = ld_le16(pg, kPgCount);
    if (n > max_entries || ld_le32(pg, kPgParent) != parent || (n == 0 && parent != 0)) {
      anal_say(c, "Bad page header at %d\n", static_cast<int>(seek));
      return false;
    }
    const bool leaf = down(pg, 0) == 0;
    for (int i = 0; i <= n; ++i) {
      if ((down(pg, i) == 0) != leaf) {
        anal_say(c, "Mixed down links in page %d\n", static_cast<int>(seek));
        return false;
      }
    }
    if (!leaf) return true;
    if (leaf_depth < 0) leaf_depth = depth;
    if (leaf_depth == depth) return true;
    anal_say(c, "Leaf page %d at depth %d, others at %d\n", static_cast<int>(seek), depth, leaf_depth);
    return false;
  }

  // Visits the page at `seek` and its subtrees in key order.
  void page(uint32_t seek, uint32_t parent, int depth) {
    if (stop) return;
    uint8_t pg[kPageSize];
    if (!read_page(seek, depth, pg) || !shape_ok(seek, parent, depth, pg)) return fail();
    const int n = ld_le16(pg, kPgCount);
    const int esz = bt_entry_size(keylen);
    const bool leaf = down(pg, 0) == 0;
    for (int i = 0; i < n && !stop; ++i) {
      const uint8_t* e = pg + kPgHdrSize + static_cast<size_t>(i) * esz;
      if (!leaf) page(ld_le32(e, 0), seek, depth + 1);
      if (stop) return;
      entry(seek, i, ld_le32(e, 4), e + 8);
    }
    if (!leaf && !stop) page(down(pg, n), seek, depth + 1);
  }
};

// The top of key k's tree: its recorded root, or the page above it that a
// split has put there (the recorded root is brought up to date only on the
// next change). 0 when the chain of parents is broken.
uint32_t find_top(anal_ctx* c, int k) {
  uint32_t seek = c->keys[k].root;
  for (int steps = 0; steps <= kAnalMaxDepth; ++steps) {
    uint8_t hdr[kPgHdrSize];
    if (!anal_page_ok(c, seek) || !anal_read_key(c, seek, hdr, sizeof hdr)) return 0;
    uint32_t parent = ld_le32(hdr, kPgParent);
    if (parent == 0) return seek;
    seek = parent;
  }
  return 0;
}

size_t page_count(const anal_ctx* c) {
  return c->key_eof > kBtHdrBlock ? (c->key_eof - kBtHdrBlock) / kPageSize + 1 : 1;
}

}  // namespace

void clear_marks(anal_ctx* c, int k) {
  for (anal_ref& r : c->refs) r.mark[k] = 0;
}

int verify_key(anal_ctx* c, int k, bool* bad) {
  if (!c->key_valid[k]) {
    anal_say(c, "Invalid key descriptor for key %d\n", k);
    *bad = true;
    return -1;
  }
  uint32_t top = find_top(c, k);
  if (top == 0) {
    anal_say(c, "Invalid root page (%d) of key %d\n", static_cast<int>(c->keys[k].root), k);
    *bad = true;
    return -1;
  }
  std::vector<uint8_t> seen(page_count(c), 0);
  tree_walk w(c, k, &seen);
  clear_marks(c, k);
  w.page(top, 0, 0);
  if (w.bad) *bad = true;
  if (w.stop) return -1;
  return w.count;
}

int unreferenced(anal_ctx* c, int k, bool report, uint32_t* first) {
  int missing = 0;
  std::vector<uint8_t> rec;
  uint8_t key[kBtMaxKeyLen + 1];
  for (const anal_ref& r : c->refs) {
    if (r.mark[k]) continue;
    const anal_rec* ar = find_rec(c, r.seek);
    rec.resize(ar->length);
    bool null = false;
    if (c->key_valid[k] && anal_read_dat(c, uint64_t{r.seek} + kRecHdrSize, rec.data(), rec.size())) {
      anal_build_key(c, k, rec.data(), rec.size(), key);
      null = key_is_null(c, k, key);
    }
    if (null) continue;
    if (missing == 0 && first) *first = r.seek;
    ++missing;
    if (report) anal_say(c, "  Data record at %d not referenced by key %d\n", static_cast<int>(r.seek), k);
  }
  return missing;
}

// --- the free list -----------------------------------------------------------

namespace {

// The state of one walk over the free list.
struct free_walk {
  anal_ctx* c;
  bool list;       // name every chain member
  bool have_recs;  // the record scan succeeded: members are checked against it
  uint32_t eof;
  std::vector<uint8_t> on_chain;  // record starts met on a chain
  std::vector<uint32_t> blocks;   // FREE_BLOCKs met
  bool ok = true;

  bool in_file(uint32_t s) const { return s >= kDataHeaderSize && s < eof && s < c->dat_size; }
  void bad(const char* fmt, uint32_t s) {
    anal_say(c, fmt, static_cast<int>(s));
    ok = false;
  }
};

// Checks one member of a chain of deleted records of length `len`; false
// ends the chain (the fault is reported).
bool check_chain_member(free_walk& w, uint32_t s, uint16_t len, int members, rec_hdr& h) {
  anal_ctx* c = w.c;
  if (w.list) anal_say(c, "\ndseek = %d ", static_cast<int>(s));
  const anal_rec* r = w.have_recs ? find_rec(c, s) : nullptr;
  if (!w.in_file(s) || (w.have_recs && !r)) return w.bad("Invalid free chain pointer (%010d)\n", s), false;
  uint8_t hb[kRecHdrSize];
  if (!anal_read_dat(c, s, hb, sizeof hb)) return w.bad("Can't read a record header at dseek %d\n", s), false;
  h = decode_rec_hdr(hb);
  if (!(h.flags & kRecDeleted)) return w.bad("Found active record in freelist at dseek %d\n", s), false;
  if (h.length != len) {
    anal_say(c, "Record of length %d in the chain of length %d at dseek %d\n", h.length, len, static_cast<int>(s));
    w.ok = false;
    return false;
  }
  if (w.have_recs) {
    uint8_t& m = w.on_chain[static_cast<size_t>(r - c->recs.data())];
    if (m) return w.bad("Free chain loops at dseek %d\n", s), false;
    m = 1;
  } else if (members > static_cast<int>(w.eof / kRecOverhead)) {
    return w.bad("Free chain loops at dseek %d\n", s), false;
  }
  return true;
}

// Walks the chain of deleted records that starts at `head`.
void walk_chain(free_walk& w, uint32_t head, uint16_t len) {
  int members = 0;
  for (uint32_t s = head; s != 0;) {
    rec_hdr h;
    if (!check_chain_member(w, s, len, members, h)) break;
    ++members;
    s = h.link;
  }
  anal_say(w.c, "%d entries\n", members);
}

// Lists one FREE_BLOCK's entries and walks their chains.
void walk_block(free_walk& w, const uint8_t* b) {
  anal_ctx* c = w.c;
  anal_say(c, "\t ## - Length Seek\n");
  for (int i = 0; i < kFreeEntries; ++i) {
    uint16_t len = ld_le16(b, kFbLenOff + 2 * static_cast<size_t>(i));
    uint32_t head = ld_le32(b, kFbSeekOff + 4 * static_cast<size_t>(i));
    if (len == 0) {
      if (head != 0) {
        anal_say(c, "\t %02d - %06d %010d Invalid free seek value\n", i, 0, static_cast<int>(head));
        w.ok = false;
      }
      continue;
    }
    anal_say(c, "\t %02d - %06d %010d ", i, len, static_cast<int>(head));
    if (head != 0 && !w.in_file(head)) {
      anal_say(c, "Invalid free seek value\n");
      w.ok = false;
      continue;
    }
    walk_chain(w, head, len);
  }
}

// Reads the FREE_BLOCK at `bseek` into `b`; false (reported) when the pointer
// is bad, the chain of blocks loops or the block cannot be read.
bool load_free_block(free_walk& w, uint32_t bseek, uint8_t* b, size_t n) {
  anal_ctx* c = w.c;
  const anal_rec* br = w.have_recs ? find_rec(c, bseek) : nullptr;
  if (!w.in_file(bseek) || (w.have_recs && (!br || !(br->flags & kRecNotUser) || br->length < kFreeBlockUsed)))
    return w.bad("Invalid free block pointer (%010d)\n", bseek), false;
  if (std::find(w.blocks.begin(), w.blocks.end(), bseek) != w.blocks.end())
    return w.bad("Free block chain loops at %010d\n", bseek), false;
  w.blocks.push_back(bseek);
  if (!anal_read_dat(c, uint64_t{bseek} + kRecHdrSize, b, n)) return w.bad("Can't read frb at %010d\n", bseek), false;
  return true;
}

}  // namespace

bool dump_free(anal_ctx* c, bool list, bool report) {
  FILE* saved = c->out;
  if (!report) c->out = nullptr;
  const bool have_recs = count_rec(c, false) >= 0;
  free_walk w{c, list, have_recs, c->hdr.eofseek, std::vector<uint8_t>(c->recs.size(), 0), {}};
  for (uint32_t bseek = c->hdr.freelist; bseek != 0;) {
    uint8_t b[kFreeBlockUsed];
    if (!load_free_block(w, bseek, b, sizeof b)) break;
    uint32_t next = ld_le32(b, kFbNextOff);
    anal_say(c, "This FRB is at %010d, next one at %010d\n", static_cast<int>(bseek), static_cast<int>(next));
    walk_block(w, b);
    bseek = next;
  }
  c->out = saved;
  return w.ok && have_recs;
}

// --- pointer search -----------------------------------------------------------

namespace {

void find_in_page(anal_ctx* c, int k, uint32_t seek, uint32_t dseek, int depth, std::vector<uint8_t>* seen) {
  if (depth > kAnalMaxDepth || !anal_page_ok(c, seek)) return;
  uint8_t& mark = (*seen)[(seek - kBtHdrBlock) / kPageSize];
  if (mark) return;
  mark = 1;
  uint8_t pg[kPageSize];
  if (!anal_read_key(c, seek, pg, sizeof pg)) return;
  const int esz = bt_entry_size(c->keys[k].keylen);
  const int n = std::min<int>(ld_le16(pg, kPgCount), bt_max_entries(c->keys[k].keylen));
  for (int i = 0; i < n; ++i) {
    const uint8_t* e = pg + kPgHdrSize + static_cast<size_t>(i) * esz;
    if (ld_le32(e, 0)) find_in_page(c, k, ld_le32(e, 0), dseek, depth + 1, seen);
    if (ld_le32(e, 4) == dseek) anal_say(c, "Dseek found in key %d page %d slot %d\n", k, static_cast<int>(seek), i);
  }
  uint32_t last = ld_le32(pg, kPgHdrSize + static_cast<size_t>(n) * esz);
  if (last) find_in_page(c, k, last, dseek, depth + 1, seen);
}

}  // namespace

void find_ptrs(anal_ctx* c, uint32_t dseek) {
  for (int k = 0; k < c->nkeys; ++k) {
    if (!c->key_valid[k]) continue;
    uint32_t top = find_top(c, k);
    if (top == 0) continue;
    std::vector<uint8_t> seen(page_count(c), 0);
    find_in_page(c, k, top, dseek, 0, &seen);
  }
}

// --- whether the file is a data file at all ---------------------------------

namespace {

// Why the data file is no data file of this engine, or why its header does
// not hold; null when it holds. A newer version is left to the caller, which
// names it in its own words.
const char* header_fault(anal_ctx* c, char* why, size_t n) {
  if (c->dat_size == 0) return "not a data file: it is empty (0 bytes)";
  if (c->dat_size < kDataHeaderSize) {
    snprintf(why, n, "not a data file: %llu bytes, shorter than the %u-byte header",
             static_cast<unsigned long long>(c->dat_size), kDataHeaderSize);
    return why;
  }
  char fault[160];
  if (brf_hdr_contradiction(c->hdr, fault, sizeof fault)) {
    const bool foreign = c->hdr.flags & ~(kHdrFixed | kHdrHasVersion);
    snprintf(why, n, "%s: %s", foreign ? "not a data file" : "damaged header", fault);
    return why;
  }
  if (c->hdr.version > kBrfVersion) return nullptr;
  // Every header this engine writes is zero past its fields, but for the
  // rewrite word.
  uint8_t block[kDataHeaderSize];
  if (!anal_read_dat(c, 0, block, sizeof block)) return "the data file's header cannot be read";
  for (size_t i = kDataHeaderFields; i < kDataHeaderSize; ++i) {
    if (block[i] == 0 || (i >= kHdrRewriteOff && i < kHdrRewriteOff + 4)) continue;
    snprintf(why, n, "not a data file: header byte %zu is 0x%02x, not 0", i, block[i]);
    return why;
  }
  if (c->hdr.version != kBrfVersion) return nullptr;  // older formats keep no end of file
  if (c->hdr.eofseek > c->dat_size) {
    snprintf(why, n, "header's end of file %u lies outside the file (%llu bytes)", c->hdr.eofseek,
             static_cast<unsigned long long>(c->dat_size));
    return why;
  }
  return nullptr;
}

// The pages of the key file that one key's tree reaches, the tree being
// sound (verify_key said so).
void tree_pages(anal_ctx* c, int k, uint32_t top, std::vector<uint32_t>* out) {
  const int esz = bt_entry_size(c->keys[k].keylen);
  // Only pages of the file, each once: a link past its end (or to no page at
  // all, as a top not found is) would index the owner table out of range.
  std::vector<uint8_t> seen(page_count(c), 0);
  std::vector<uint32_t> todo{top};
  while (!todo.empty()) {
    uint32_t seek = todo.back();
    todo.pop_back();
    if (!anal_page_ok(c, seek)) continue;
    uint8_t& mark = seen[(seek - kBtHdrBlock) / kPageSize];
    if (mark) continue;
    mark = 1;
    out->push_back(seek);
    uint8_t pg[kPageSize];
    if (!anal_read_key(c, seek, pg, sizeof pg)) continue;
    const int cnt = ld_le16(pg, kPgCount);
    for (int i = 0; i <= cnt; ++i)
      if (uint32_t d = ld_le32(pg, kPgHdrSize + static_cast<size_t>(i) * esz)) todo.push_back(d);
  }
}

// Which key's tree holds each page of the key file: a key number, kFree on
// the free page list, -1 for none.
struct page_owners {
  static constexpr int kFree = kBtMaxKeys;
  std::vector<int> owner;
  explicit page_owners(size_t pages) : owner(pages, -1) {}
  int& of(uint32_t seek) { return owner[(seek - kBtHdrBlock) / kPageSize]; }
};

// Claims each key's tree pages and checks its root; false on a fault (the
// first page shared by two keys is reported, not every one).
bool claim_tree_pages(anal_ctx* c, page_owners& po) {
  bool ok = true;
  bool shared_said = false;
  for (int k = 0; k < c->nkeys; ++k) {
    uint8_t hdr[kPgHdrSize];
    const uint32_t root = c->keys[k].root;
    if (anal_read_key(c, root, hdr, sizeof hdr) && ld_le32(hdr, kPgParent) != 0) {
      anal_say(c, "Root of key %d (page %u) is not the top of its tree: its parent is page %u\n", k, root,
               ld_le32(hdr, kPgParent));
      ok = false;
    }
    std::vector<uint32_t> tp;
    tree_pages(c, k, find_top(c, k), &tp);
    for (uint32_t seek : tp) {
      int& o = po.of(seek);
      if (o >= 0 && !shared_said) {
        anal_say(c, "Page %u belongs to key %d and key %d\n", seek, o, k);
        shared_said = true;
        ok = false;
      }
      o = k;
    }
  }
  return ok;
}

// Claims the free page list's pages; false on a bad pointer, a loop or a
// page a tree holds too.
bool claim_free_pages(anal_ctx* c, page_owners& po) {
  uint32_t seek = ld_le32(c->khdr, kHdrFreePage);
  for (size_t steps = 0; seek != 0; ++steps) {
    if (!anal_page_ok(c, seek) || steps > po.owner.size()) {
      anal_say(c, "Invalid free page pointer (%u)\n", seek);
      return false;
    }
    int& o = po.of(seek);
    if (o == page_owners::kFree) {
      anal_say(c, "Free page list loops at page %u\n", seek);
      return false;
    }
    if (o >= 0) {
      anal_say(c, "Page %u is on the free page list and in key %d\n", seek, o);
      return false;
    }
    o = page_owners::kFree;
    uint8_t hdr[kPgHdrSize];
    if (!anal_read_key(c, seek, hdr, sizeof hdr)) break;
    seek = ld_le32(hdr, kPgParent);
  }
  return true;
}

// Every page of the key file belongs to exactly one key's tree or lies on
// the free page list, and each key's recorded root is the top of its tree.
// Reports the first fault of each kind; false when there is one.
bool check_page_use(anal_ctx* c) {
  const size_t pages = c->key_eof > kBtHdrBlock ? (c->key_eof - kBtHdrBlock) / kPageSize : 0;
  page_owners po(pages);
  bool ok = claim_tree_pages(c, po);
  if (!claim_free_pages(c, po)) return false;
  for (size_t i = 0; i < pages && ok; ++i) {
    if (po.owner[i] != -1) continue;
    anal_say(c, "Page %u is in no key and not on the free page list\n",
             static_cast<unsigned>(kBtHdrBlock + i * kPageSize));
    ok = false;
  }
  return ok;
}

}  // namespace

// --- the verification --------------------------------------------------------

namespace {

// Good when every key references each active record with a non-null key
// exactly once, and nothing else, and the key file's pages are all
// accounted for. The first fault found is named.
bool verify_all_keys(anal_ctx* c) {
  for (int k = 0; k < c->nkeys; ++k) {
    bool bad = false;
    int values = verify_key(c, k, &bad);
    if (values < 0 || bad) return false;
    uint32_t first = 0;
    if (int missing = unreferenced(c, k, false, &first)) {
      anal_say(c, "Data record at %u not referenced by key %d (%d such records)\n", first, k, missing);
      return false;
    }
  }
  return check_page_use(c);
}

// Whether the key file keeps the in-use mark of a change that no process
// runs any more: its writer died inside it, and the indexes need the repair
// however sound they look. A live writer holds the update lock while its
// mark is set, so the mark is read again once that lock has been had.
bool mark_left_set(anal_ctx* c) {
  if (!c->key_hdr_ok || !c->khdr[kHdrInUse]) return false;
  const update_hold hold(c->dat->slot, false);
  uint8_t mark = 0;
  bool set = anal_read_key(c, kHdrInUse, &mark, 1) && mark != 0;
  if (set) anal_say(c, "%s:  Key file marked in use by a change that never ended: needs repair\n", c->name.c_str());
  return set;
}

// The first key whose definition can hold no record of the data file
// (bt_key_outside), against the records walked so far; null when none.
const char* key_outside(const anal_ctx* c, char* why, size_t n) {
  const uint32_t fixed_len = (c->hdr.flags & kHdrFixed) ? c->hdr.rec_len : 0;
  uint32_t longest = 0;
  for (const anal_rec& r : c->recs)
    if (!(r.flags & (kRecDeleted | kRecNotUser))) longest = std::max<uint32_t>(longest, r.length);
  for (int k = 0; k < c->nkeys; ++k)
    if (c->key_valid[k])
      if (const char* fault = bt_key_outside(c->keys[k], k, fixed_len, longest, why, n)) return fault;
  return nullptr;
}

// The key file's pages end where its header says: an end past the file's
// size would have the next page appended far beyond it. (An end before the
// size is what a repair leaves: the pages past it are free to be written.)
bool key_end_past_size(anal_ctx* c) {
  const uint32_t eof = ld_le32(c->khdr, kHdrEofseek);
  if (eof <= c->key_size) return false;
  anal_say(c, "%s.key:  end of file %u lies past the key file's end (%llu bytes)\n", c->name.c_str(), eof,
           static_cast<unsigned long long>(c->key_size));
  return true;
}

bool same_segments(const KEY_DESC& a, const KEY_DESC& b) {
  if (a.nsegs != b.nsegs) return false;
  for (int s = 0; s < a.nsegs && s < kBtMaxSegs; ++s)
    if (a.seg[s].type != b.seg[s].type || a.seg[s].len != b.seg[s].len || a.seg[s].poffs != b.seg[s].poffs)
      return false;
  return true;
}

std::string records_repeat(int k, const key_repeats& rep) {
  return std::to_string(rep.left_out) + " records repeat values of key " + std::to_string(k) +
         ", which the file's description keeps unique (" + brf_repeats_text(rep) +
         "): the engine cannot build the key's index";
}

const char kRebuiltAtOpen[] = "moved away, the key file is built again from the file's description at the next open";

// The keys the file's description gives it (store_hooks.described_keys).
struct description {
  KEY_DESC keys[kBtMaxKeys];
  int n = -1;  // -1: none known
  explicit description(const std::string& base) {
    if (store_hooks.described_keys) n = store_hooks.described_keys(base.c_str(), keys);
  }
};

bool keyed(const anal_ctx* c) { return c->key_hdr_ok && c->nkeys > 0; }

// Records that repeat values of a key of the key file (whose definitions
// then do not fit the file, unless they are the description's), or, the key
// file holding no key, of a key of the description, which the next open
// builds: such a key cannot hold every record once. One walk of the data
// file a key.
std::string repeats_fault(anal_ctx* c, const description& d, bool unique_mended = false) {
  if (!c->dat || c->hdr.version != kBrfVersion || !header_usable(c)) return std::string();
  key_repeats rep;
  for (int k = 0; keyed(c) && k < c->nkeys; ++k) {
    const bool described = k < d.n && same_segments(d.keys[k], c->keys[k]);
    if (described && unique_mended) continue;
    if (!c->key_valid[k] || brf_key_repeats(c->dat, c->keys[k], nullptr, 3, &rep) != BRF_OK || !rep.left_out) continue;
    if (described) return records_repeat(k, rep);
    return "the key file's definitions do not fit the file: its key " + std::to_string(k) + " would leave out " +
           std::to_string(rep.left_out) + " records that repeat values it holds once (" + brf_repeats_text(rep) +
           "); " + kRebuiltAtOpen;
  }
  // The null value the engine gives a key it builds, as long as the longest
  // key a description gives (sixteen segments of 255 bytes).
  static const uint8_t none[kBtMaxSegs * kBtMaxKeyLen] = {};
  for (int k = 0; !keyed(c) && !unique_mended && k < d.n; ++k)
    if (brf_key_repeats(c->dat, d.keys[k], none, 3, &rep) == BRF_OK && rep.left_out) return records_repeat(k, rep);
  return std::string();
}

// Says a fault of the keys that makes the pair bad; true when there is one.
bool say_misfit(anal_ctx* c, const std::string& fault) {
  if (!fault.empty()) anal_say(c, "%s:  %s\n", c->name.c_str(), fault.c_str());
  return !fault.empty();
}

// The keys are good when they hold every record once; the reason of a
// failure is looked for among repeated values.
int verify_keys(anal_ctx* c) {
  if (keyed(c) && verify_all_keys(c)) return 1;
  const description d(c->name);
  // A key file that defines no key but holds pages lost its key count: the
  // engine would build the described keys beside pages no key holds.
  if (!keyed(c) && c->key_hdr_ok && c->key_eof > kBtHdrBlock) {
    if (d.n > 0)
      anal_say(c, "%s.key:  defines no key, but the file's description gives %d and the key file holds pages\n",
               c->name.c_str(), d.n);
    if (d.n > 0 || !check_page_use(c)) return 0;
  }
  return say_misfit(c, repeats_fault(c, d)) || keyed(c) ? 0 : 1;
}

// The engine reads every record of a file whose description gives
// fixed-length records as that many bytes: a shorter record shows bytes
// that are not its own, a longer one loses its tail at its first change.
// Says how many records are of another length; true when there are any.
bool records_misfit(anal_ctx* c) {
  const int len = store_hooks.described_rec_len ? store_hooks.described_rec_len(c->name.c_str()) : -1;
  if (len <= 0) return false;
  long n = 0;
  const anal_rec* first = nullptr;
  for (const anal_rec& r : c->recs)
    if (!(r.flags & (kRecDeleted | kRecNotUser)) && r.length != len && !n++) first = &r;
  if (n)
    anal_say(
        c, "%s:  %ld records are not the %d bytes its description gives every record (the first, at seek %u, is %u)\n",
        c->name.c_str(), n, len, first->seek, first->length);
  return n != 0;
}

// A record whose rewrite in place a kill cut may be half old, half new
// (data_file.h); the verification holds the update lock: no writer is on it.
constexpr char kTornWhy[] = "was being rewritten in place when its writer was killed: it may be half old, half new";

int verify(anal_ctx* c, int32_t* records) {
  if (mark_left_set(c)) return 0;
  if (const int64_t torn = c->dat ? brf_torn_record(c->dat) : -1; torn >= 0) {
    anal_say(c, "%s:  the record at seek %lld %s\n", c->name.c_str(), static_cast<long long>(torn), kTornWhy);
    return 0;
  }
  // An end of file below the records or off a record boundary still walks
  // as records: said in the words the open and the export use.
  char end_why[200];
  if (c->dat && c->hdr.eofseek <= c->dat_size && brf_extent_fault(c->dat, end_why, sizeof end_why)) {
    anal_say(c, "%s:  %s\n", c->name.c_str(), end_why);
    return 0;
  }
  int n = count_rec(c, false);
  if (n < 0) {
    count_rec(c, true);  // again, to name the fault
    return 0;
  }
  if (records) *records = n;
  if (records_misfit(c)) return 0;
  // An older format's free list is built anew by its upgrade: not checked.
  if (c->hdr.version == kBrfVersion && !dump_free(c, false, false)) {
    dump_free(c, false, true);
    return 0;
  }
  if (!c->key_hdr_ok) {
    // A key file that exists but has no readable header is damaged, unless it
    // is empty: a key file whose first key was never made.
    if (c->key_slot < 0 || c->key_size == 0) return verify_keys(c);
    anal_say(c, "%s.key:  not a key file of this engine (version %u, page size %u)\n", c->name.c_str(),
             ld_le16(c->khdr, kHdrVersion), ld_le16(c->khdr, kHdrPageSize));
    return 0;
  }
  // A header the key file's open refuses makes the file unusable, however
  // sound the trees it still points at.
  char why[200];
  if (const char* fault = bt::bt_hdr_fault(c->khdr, why, sizeof why)) {
    anal_say(c, "%s.key:  damaged header: %s\n", c->name.c_str(), fault);
    return 0;
  }
  if (key_end_past_size(c)) return 0;
  if (const char* fault = key_outside(c, why, sizeof why)) {
    anal_say(c, "%s.key:  damaged key definition: %s\n", c->name.c_str(), fault);
    return 0;
  }
  return verify_keys(c);
}

// Good means usable: the pair also opens as every other user opens it.
int opens_with_keys(anal_ctx* c, const std::string& base) {
  int status = 0;
  BRF_FILE* f = brfopen(&status, base.c_str(), BRF_KEY_MUST_EXIST | BRF_READ_ONLY, 0, false);
  if (f) return brfclose(f), 1;
  anal_say(c, "%s:  Can't open file with its keys (status %d: %s)\n%s failed verification\n", base.c_str(), status,
           brf_status_text(status), base.c_str());
  return 0;
}

// A file without a header holds whole records and nothing else: at most one
// in a single-record file, the count it gives itself in a structure file.
int verify_headerless(anal_ctx* c, const anal_layout& l, int32_t* records) {
  const char* base = c->name.c_str();
  const unsigned long long size = c->dat_size;
  const uint64_t n = size / l.rec_len;
  if (l.single && size != 0 && size != l.rec_len) {
    anal_say(c, "%s:  %llu bytes, but a single-record file holds 0 or %u (%s)\n", base, size, l.rec_len, l.what);
  } else if (size % l.rec_len != 0) {
    anal_say(c, "%s:  %llu bytes, no whole number of %u-byte records (%s)\n", base, size, l.rec_len, l.what);
  } else if (l.records >= 0 && n != static_cast<uint64_t>(l.records)) {
    anal_say(c, "%s:  %llu records, but it should hold %lld (%s)\n", base, static_cast<unsigned long long>(n),
             static_cast<long long>(l.records), l.what);
  } else {
    if (records) *records = static_cast<int32_t>(std::min<uint64_t>(n, INT32_MAX));
    return 1;
  }
  anal_say(c, "%s failed verification\n", base);
  return 0;
}

// An import writes a temporary beside the data file it is to become: one
// its maker still holds is an import that runs, any other was cut off.
void say_cut_import(anal_ctx* c, const std::string& base) {
  const std::vector<std::string> cut = flat_temp_list(base, kFlatImportTag, ".dat", true);
  for (const std::string& t : flat_temp_list(base, kFlatImportTag, ".dat", false)) {
    if (std::find(cut.begin(), cut.end(), t) != cut.end())
      anal_say(c, "%s:  an import of this file was cut off before it ended; \"%s\" is what it left\n", base.c_str(),
               t.c_str());
    else
      anal_say(c, "%s:  an import of this file is running; it writes \"%s\" until it ends\n", base.c_str(), t.c_str());
  }
}

// Why an opened file cannot be walked as a data file of a format the
// analyser reads, said on the report stream; false when it can. A file of
// version 1 keeps the records and keys of the current format: it is walked,
// with a note that the engine upgrades it at its next open.
bool refused_format(anal_ctx* c, const std::string& base) {
  char why[200];
  if (const char* fault = header_fault(c, why, sizeof why)) {
    anal_say(c, "%s:  %s\n", base.c_str(), fault);
    return true;
  }
  if (c->hdr.version > kBrfVersion) {
    anal_say(c, "%s:  Invalid internal file format (version %u, newer than %u)\n", base.c_str(), c->hdr.version,
             kBrfVersion);
    return true;
  }
  if (c->hdr.version == 0) {
    anal_say(c,
             "%s:  Internal file format needs to be upgraded (version 0): it cannot be checked until the engine "
             "upgrades it, at its next open\n",
             base.c_str());
    return true;
  }
  if (c->hdr.version < kBrfVersion)
    anal_say(c,
             "%s:  Internal file format needs to be upgraded (version %u): the engine upgrades it at its next open\n",
             base.c_str(), c->hdr.version);
  return false;
}

// Checks, or runs the command session on, an opened file; the analyser's
// result. headerless tells whether the file was checked against a layout.
int analyse_open(anal_ctx* c, const std::string& base, bool interactive, int32_t* records, bool& headerless) {
  anal_layout layout;
  headerless = !interactive && store_hooks.anal_headerless && store_hooks.anal_headerless(base.c_str(), &layout) &&
               layout.rec_len > 0;
  if (headerless) return verify_headerless(c, layout, records);
  if (refused_format(c, base)) {
    if (interactive) return kAnalRefused;
    anal_say(c, "%s failed verification\n", base.c_str());
    return 0;
  }
  if (interactive) {
    anal_command_loop(c, stdin);
    return kAnalSessionEnd;
  }
  const int result = verify(c, records);
  if (!result) anal_say(c, "%s failed verification\n", base.c_str());
  return result;
}

}  // namespace

int analyze(const char* name, int interactive, int32_t* records, const brf_progress* progress) {
  std::string base = brf_strip_ext(name ? name : "");
  if (base.empty()) {
    fprintf(stderr, "Error:  Missing file name\n");
    return interactive ? kAnalRefused : 0;
  }
  // A file that cannot be walked has the count 0, never a value the caller
  // left there.
  if (records) *records = 0;
  // A verification judges the pair as no writer leaves it half changed: the
  // update lock is held, shared, from before the first read to the verdict
  // (an inspection session takes it for each checking command).
  std::optional<pair_hold> hold;
  if (!interactive) hold.emplace(base + ".dat", false);
  const int hold_err = errno;  // why a hold failed, before the open's calls
  brf_progress_gate gate(progress, "Verifying " + base);
  anal_ctx c;
  c.interactive = interactive != 0;
  c.out = (!interactive && records) ? nullptr : stderr;
  c.progress = &gate;
  int status = anal_open(&c, base.c_str());
  if (status != 0) {
    anal_say(&c, "%s:  Can't open file (status %d: %s)\n", base.c_str(), status, brf_status_text(status));
    say_cut_import(&c, base);
    return interactive ? kAnalRefused : 0;
  }
  if (hold && !hold->held()) {
    anal_say(&c, "%s:  Can't verify: the update lock could not be had (%s)\n%s failed verification\n", base.c_str(),
             strerror(hold_err), base.c_str());
    anal_close(&c);
    return 0;
  }
  bool headerless = false;
  int result = analyse_open(&c, base, interactive != 0, records, headerless);
  const bool keyed = c.key_slot >= 0 && c.key_size > 0;
  anal_close(&c);
  gate.clear();
  // Opened with its keys as every other user opens it; the hold's own slot
  // keeps the data file's descriptor, and so the lock, meanwhile.
  if (result == 1 && !interactive && !headerless && keyed) result = opens_with_keys(&c, base);
  return result;
}

int brfanal_tool(const char* name, int interactive) {
  return analyze(name, interactive, nullptr, &brf_terminal_progress);
}

std::string anal_key_outside(const char* base) {
  anal_ctx c;
  if (anal_open(&c, base) != 0) return std::string();
  count_rec(&c, false);  // the records up to a fault count
  char why[200];
  const char* fault = c.key_hdr_ok ? key_outside(&c, why, sizeof why) : nullptr;
  anal_close(&c);
  return fault ? fault : std::string();
}

namespace {

// Entries of key k that name a whole record flagged deleted which still
// carries the entry's key: a record whose flags were changed, not one
// deleted (its entry goes first).
void deleted_but_named(anal_ctx* c, int k, std::vector<brf_misfit>* out) {
  const uint32_t top = c->key_valid[k] ? find_top(c, k) : 0;
  if (top == 0) return;
  std::vector<uint8_t> seen(page_count(c), 0);
  tree_walk w(c, k, &seen);
  std::vector<uint8_t> body;
  w.visit = [&](uint32_t dseek, const uint8_t* key) {
    const anal_rec* r = find_rec(c, dseek);
    if (!r || r->flags != kRecDeleted) return;
    body.resize(r->length);
    uint8_t built[kBtMaxKeyLen + 1];
    if (!anal_read_dat(c, uint64_t{dseek} + kRecHdrSize, body.data(), body.size())) return;
    anal_build_key(c, k, body.data(), body.size(), built);
    if (memcmp(built, key, static_cast<size_t>(w.keylen)) != 0) return;
    out->push_back({dseek, "is flagged deleted, but key " + std::to_string(k) + " names it (\"" +
                               brf_key_text(c->keys[k], key) + "\")"});
  };
  w.page(top, 0, 0);
}

// Neither a record's place nor its number (which belongs to its space)
// tells which of two records holding one value was added first: both are
// named, so that the one set aside can be put back instead.
void later_repeats(int k, const key_repeats& rep, std::vector<brf_misfit>* out) {
  for (const key_repeats::later_record& l : rep.later)
    out->push_back({l.seek, "repeats the value \"" + l.value + "\" of key " + std::to_string(k) +
                                ", which the file's description keeps unique; the record at " + std::to_string(l.kept) +
                                " holding it stays, the first in the file, which need not be the one "
                                "added first: the record set aside may be the one to keep"});
}

// The later records that repeat a value of a key the description keeps
// unique: of a key of the key file that is the description's, or, the key
// file holding no key, of a key of the description (repeats_fault).
void unique_repeats(anal_ctx* c, const description& d, std::vector<brf_misfit>* out) {
  if (!c->dat || c->hdr.version != kBrfVersion || !header_usable(c)) return;
  key_repeats rep;
  for (int k = 0; keyed(c) && k < c->nkeys; ++k)
    if (c->key_valid[k] && k < d.n && same_segments(d.keys[k], c->keys[k]) &&
        brf_key_repeats(c->dat, c->keys[k], nullptr, 0, &rep) == BRF_OK)
      later_repeats(k, rep, out);
  static const uint8_t none[kBtMaxSegs * kBtMaxKeyLen] = {};
  for (int k = 0; !keyed(c) && k < d.n; ++k)
    if (brf_key_repeats(c->dat, d.keys[k], none, 0, &rep) == BRF_OK) later_repeats(k, rep, out);
}

}  // namespace

std::vector<brf_misfit> anal_misfits(const char* base) {
  std::vector<brf_misfit> out;
  anal_ctx c;
  if (anal_open(&c, base) != 0) return out;
  if (count_rec(&c, false) >= 0) {
    for (int k = 0; keyed(&c) && k < c.nkeys; ++k) deleted_but_named(&c, k, &out);
    unique_repeats(&c, description(c.name), &out);
  }
  if (const int64_t torn = c.dat ? brf_torn_record(c.dat) : -1; torn >= 0) {
    out.push_back({static_cast<uint32_t>(torn), kTornWhy});
  }
  anal_close(&c);
  return out;
}

std::string anal_key_misfit(const char* base, bool unique_mended) {
  anal_ctx c;
  if (anal_open(&c, base) != 0) return std::string();
  std::string fault = repeats_fault(&c, description(c.name), unique_mended);
  anal_close(&c);
  return fault;
}

int brfanal(const char* name, int interactive, int /*unused*/, int32_t* records) {
  return analyze(name, interactive, records);
}

}  // namespace kivo
