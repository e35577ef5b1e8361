// Page and header input and output of the B-tree, through each cursor's
// small page cache (the rule is in btree_page.h). Everything read from the
// file is bounded here before the tree code sees it: header fields, key
// descriptors, page seeks and entry counts.
#include "store/btree_page.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "foundation/sys_err.h"
#include "store/btree_io.h"

namespace kivo::bt {

bool g_verify_io = false;
bool g_key_padding = true;

namespace {

constexpr uint32_t kAgeWrap = 65536;

bt_page_slot* find_slot(BT_CURSOR* c, uint32_t seek) {
  for (auto& s : c->pages)
    if (s.seek == seek) return &s;
  return nullptr;
}

bt_page_slot* victim_slot(BT_CURSOR* c) {
  bt_page_slot* v = &c->pages[0];
  for (auto& s : c->pages) {
    if (s.seek == 0) return &s;
    if (s.used < v->used) v = &s;
  }
  return v;
}

void drop_slot(BT_CURSOR* c, uint32_t seek) {
  if (bt_page_slot* s = find_slot(c, seek)) s->seek = 0;
}

// The first write of a record change: the in-use mark and the change count
// `start` in one write of the header fields from the mark on (the image is
// current: read under the tree lock now held). A mark already set was left
// by a writer that died (btree.h): nothing is written.
int mark_change(BT_CURSOR* c, uint32_t start) {
  BT_FILE* f = c->file;
  if (f->hdr[kHdrInUse]) return set_status(c, BRF_ABANDONED);
  f->hdr[kHdrInUse] = 1;
  st_le32(f->hdr, kHdrChangeCount, start);
  constexpr size_t kSpan = kBtHdrSize - kHdrInUse;
  if (bt_io_write(f->io, kHdrInUse, f->hdr + kHdrInUse, kSpan) != static_cast<long>(kSpan)) {
    f->hdr[kHdrInUse] = 0;
    return io_fail(c, true);
  }
  f->marking = true;
  return BRF_OK;
}

// Adds to the change count for one write. The first write of an operation
// puts an odd count on disk before anything else changes, so another process
// never trusts a page that this operation may have written, and a reader
// without the tree lock (an odd count, or one that moved while it read) knows
// a change is under way; the count in memory stays even and reaches the disk
// at op_end. The first write of a record change carries the in-use mark.
int note_write(BT_CURSOR* c) {
  BT_FILE* f = c->file;
  uint32_t n = ld_le32(f->hdr, kHdrChangeCount);
  // Trees a dead writer left half written are changed by the repair alone.
  if (bt_trees_untrusted(f)) return set_status(c, BRF_ABANDONED);
  if (!f->op_writing) {
    uint32_t start = (n + 1) | 1;
    if (f->in_change && !f->marking) {
      if (int st = mark_change(c, start)) return st;
      f->count_behind = f->sole;  // the final count still goes at the end
    } else if (f->sole) {
      f->count_behind = true;  // no other cache to warn: written at the end
    } else {
      uint8_t w[4];
      st_le32(w, 0, start);
      if (bt_io_write(f->io, kHdrChangeCount, w, 4) != 4) return io_fail(c, true);
    }
    f->op_writing = true;
    f->op_start_count = start;
    n = start + 1;
  } else {
    n += 2;
  }
  st_le32(f->hdr, kHdrChangeCount, n);
  c->seen_changes = n;
  return BRF_OK;
}

// The checks of KIVO_VERIFY_IO on a page about to be written: they report,
// the write goes on.
void chk_page(BT_CURSOR* c, uint32_t seek, const uint8_t* p) {
  if (c->key < 0) return;
  geom g = geom_of(c);
  int n = pg_count(p);
  if (n > g.M) return;
  long long size = bt_io_size(c->file->io);
  int dup_dseeks = 0;
  for (int i = 0; i < n; ++i) {
    uint32_t d = pg_down(p, g, i);
    if (d && size >= 0 && d >= size) sys_err("BT", __LINE__, "bad downlink");
    if (d && d == seek) sys_err("BT", __LINE__, "recursive index structure");
    for (int j = i + 1; j < n; ++j) {
      if (d && d == pg_down(p, g, j)) sys_err("BT", __LINE__, "Duplicate downlinks at %u (%s)", seek, c->file->path);
      if (pg_dseek(p, g, i) == pg_dseek(p, g, j) && ++dup_dseeks > 1)
        sys_err("BT", __LINE__, "Duplicate dseeks at %u (%s)", seek, c->file->path);
    }
  }
}

}  // namespace

const char* bt_hdr_fault(const uint8_t* h, char* why, size_t n) {
  static char scratch[8];  // a caller without a buffer only asks whether
  if (!why) why = scratch, n = sizeof scratch;
  if (ld_le16(h, kHdrVersion) != kBtVersion) return snprintf(why, n, "version %u", ld_le16(h, kHdrVersion)), why;
  if (ld_le16(h, kHdrPageSize) != kPageSize) return snprintf(why, n, "page size %u", ld_le16(h, kHdrPageSize)), why;
  const uint32_t eof = ld_le32(h, kHdrEofseek);
  if (eof < kBtHdrBlock || eof > kBtMaxFileSize || (eof - kBtHdrBlock) % kPageSize)
    return snprintf(why, n, "end of file %u is no page boundary", eof), why;
  const uint32_t free_page = ld_le32(h, kHdrFreePage);
  if (free_page && !bt_page_seek_ok(free_page, eof))
    return snprintf(why, n, "first free page %u is no page before the end %u", free_page, eof), why;
  const int nkeys = h[kHdrKeyCount];
  if (nkeys > kBtMaxKeys) return snprintf(why, n, "%d keys over %d", nkeys, kBtMaxKeys), why;
  for (int k = 0; k < nkeys; ++k) {
    KEY_DESC d;
    key_desc_load(h + kHdrKeys + k * kKeyDescSize, &d);
    if (d.keyno != k) return snprintf(why, n, "key %d is numbered %d", k, d.keyno), why;
    if (!bt_page_seek_ok(d.root, eof))
      return snprintf(why, n, "root %u of key %d is no page before the end %u", d.root, k, eof), why;
    if (bt_check_key_desc(d, k, why, n) != BRF_OK) return why;
  }
  return nullptr;
}

bool hdr_sound(const uint8_t* h) { return bt_hdr_fault(h, nullptr, 0) == nullptr; }

void decode_keys(BT_FILE* f) {
  for (int k = 0; k < kBtMaxKeys; ++k) {
    KEY_DESC& d = f->keys[k];
    key_desc_load(f->hdr + kHdrKeys + k * kKeyDescSize, &d);
    for (int s = 0; s < kBtMaxSegs; ++s) {
      key_seg& ks = f->segs[k][s];
      ks.kind = seg_kind_of_type(d.seg[s].type);
      ks.descending = (d.seg[s].type & kSegDescending) != 0;
      ks.len = d.seg[s].len;
      ks.poffs = d.seg[s].poffs;
    }
  }
}

int page_unreadable(BT_CURSOR* c, uint32_t seek, long got) {
  BT_FILE* f = c->file;
  const int e = errno;
  if (f->optimistic) {  // the search runs again under the tree lock and says so there
    f->optimistic_stop = true;
    return set_status(c, BRF_SYS_ERR);
  }
  // A read that failed is the device's failure, named with its reason: the
  // file may be whole.
  if (got < 0) {
    la_sys_err(bt_io_read_error(f->io, seek == kNoSeek ? 0 : seek, e).c_str(), 0);
    return set_status(c, BRF_SYS_ERR);
  }
  char why[160];
  if (seek == kNoSeek) snprintf(why, sizeof why, "its header cannot be read whole");
  else snprintf(why, sizeof why, "its page at %u lies past the file's end (%lld bytes)", seek, bt_io_size(f->io));
  bt_say_damage(f->path, why);
  return set_status(c, BRF_SYS_ERR);
}

int page_damaged(BT_CURSOR* c, uint32_t seek, const char* fmt, ...) {
  BT_FILE* f = c->file;
  if (f->optimistic) {  // perhaps a copy torn by a writer: looked at again under the lock
    f->optimistic_stop = true;
    return set_status(c, BRF_SYS_ERR);
  }
  char what[160];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(what, sizeof what, fmt, ap);
  va_end(ap);
  char why[200];
  char brief[40];
  if (seek == 0) snprintf(why, sizeof why, "key %d: %s", c->key, what);
  else snprintf(why, sizeof why, "key %d: its page at %u %s", c->key, seek, what);
  if (seek == 0) snprintf(brief, sizeof brief, "in key %d", c->key);
  else snprintf(brief, sizeof brief, "at %u", seek);
  bt_say_damage(f->path, why, brief);
  return set_status(c, BRF_SYS_ERR);
}

namespace {

// What a page read from the file must be whatever leads to it: entries
// within the key's capacity, ascending, and all its links of one kind
// (every one 0 in a leaf, none in an inner page). Null when it is so.
const char* page_fault(const uint8_t* p, const geom& g, char* why, size_t size) {
  const int n = pg_count(p);
  if (n > g.M) return snprintf(why, size, "holds %d entries, more than a page can (%d)", n, g.M), why;
  const bool leaf = pg_down(p, g, 0) == 0;
  for (int i = 1; i <= n; ++i)
    if ((pg_down(p, g, i) == 0) != leaf) return snprintf(why, size, "mixes links to pages with none"), why;
  for (int i = 1; i < n; ++i)
    if (key_compare(g.segs, g.nsegs, pg_key(p, g, i - 1), pg_key(p, g, i)) >= 0)
      return snprintf(why, size, "holds an entry that is out of order in slot %d (not above the entry before it)", i),
             why;
  return nullptr;
}

constexpr size_t kOrderedPagesMax = 1 << 16;

bool known_ordered(const BT_FILE* f, uint32_t seek, const uint8_t* p) {
  const auto it = f->ordered_pages.find(seek);
  return it != f->ordered_pages.end() && it->second == pg_age(p);
}

void note_ordered(BT_FILE* f, uint32_t seek, const uint8_t* p) {
  if (f->ordered_pages.size() >= kOrderedPagesMax) f->ordered_pages.clear();
  f->ordered_pages[seek] = pg_age(p);
}

int read_full(BT_CURSOR* c, bt_page_slot* s, uint32_t seek) {
  long r = bt_io_read(c->file->io, seek, s->data, kPageSize);
  if (r != static_cast<long>(kPageSize)) {
    s->seek = 0;
    return page_unreadable(c, seek, r);
  }
  s->seek = seek;
  s->age = pg_age(s->data);
  s->checked = true;
  return BRF_OK;
}

}  // namespace

int io_fail(BT_CURSOR* c, bool writing) {
  int e = errno;
  if (!writing) return page_unreadable(c, kNoSeek, -1);
  if (e == ENOSPC || e == EFBIG || e == EDQUOT) return set_status(c, BRF_NO_SPACE);
  sys_err("BT", __LINE__, "%s: %s", c->file->path, strerror(e));
  return set_status(c, BRF_SYS_ERR);
}

namespace {

// The header as the file holds it now into f->hdr: from the mapped head when
// there is one (a load, no system call), else read.
int load_header(BT_CURSOR* c) {
  BT_FILE* f = c->file;
  uint8_t h[kBtHdrSize];
  if (const uint8_t* head = bt_io_head(f->io, kBtHdrSize)) {
    memcpy(h, head, kBtHdrSize);
  } else {
    long r = bt_io_read(f->io, 0, h, kBtHdrSize);
    if (r < 0) return io_fail(c, false);
    if (r != static_cast<long>(kBtHdrSize)) return set_status(c, BRF_BAD_DATA);
  }
  if (!hdr_sound(h)) return set_status(c, BRF_BAD_DATA);
  if (memcmp(h, f->hdr, kBtHdrSize) == 0) return BRF_OK;
  memcpy(f->hdr, h, kBtHdrSize);
  decode_keys(f);
  return BRF_OK;
}

}  // namespace

int hdr_read(BT_CURSOR* c) {
  BT_FILE* f = c->file;
  if (f->lock_depth > 0 && c->hdr_epoch == f->lock_epoch) return BRF_OK;
  // A sole open's image is the header; one not yet read or made is read.
  if (!f->sole || ld_le16(f->hdr, kHdrVersion) != kBtVersion) {
    if (int st = load_header(c)) return st;
  }
  uint32_t n = ld_le32(f->hdr, kHdrChangeCount);
  if (n != c->seen_changes) {
    bool wrapped = n - c->seen_changes >= kAgeWrap;
    for (auto& s : c->pages) {
      if (wrapped) s.seek = 0;
      s.checked = false;
    }
    c->seen_changes = n;
  }
  c->hdr_epoch = f->lock_depth > 0 ? f->lock_epoch : 0;
  return BRF_OK;
}

int hdr_write(BT_CURSOR* c) {
  BT_FILE* f = c->file;
  if (int st = note_write(c)) return st;
  st_le16(f->hdr, kHdrAge, static_cast<uint16_t>(ld_le16(f->hdr, kHdrAge) + 1));
  uint8_t block[kBtHdrBlock] = {};
  memcpy(block, f->hdr, kBtHdrSize);
  // Until the operation ends the disk keeps its odd count.
  st_le32(block, kHdrChangeCount, f->op_start_count);
  if (bt_io_write(f->io, 0, block, kBtHdrBlock) != static_cast<long>(kBtHdrBlock)) return io_fail(c, true);
  return BRF_OK;
}

const uint8_t* page_ref(BT_CURSOR* c, uint32_t seek) {
  if (!bt_page_seek_ok(seek, hdr_eof(c->file))) {
    page_damaged(c, 0, "a link names %u, no page of the file", seek);
    return nullptr;
  }
  bt_page_slot* s = find_slot(c, seek);
  bool read = false;
  if (s && !s->checked) {
    uint8_t h[kPgHdrSize];
    long r = bt_io_read(c->file->io, seek, h, kPgHdrSize);
    if (r != static_cast<long>(kPgHdrSize)) {
      s->seek = 0;
      page_unreadable(c, seek, r);
      return nullptr;
    }
    if (pg_age(h) == s->age) s->checked = true;
    else if (read_full(c, s, seek)) return nullptr;
    else read = true;
  }
  if (!s) {
    s = victim_slot(c);
    if (read_full(c, s, seek)) return nullptr;
    read = true;
  }
  s->used = ++c->clock;
  // Checked once as read: a page kept unchanged stays as it was checked.
  if (read && c->key >= 0 && !known_ordered(c->file, seek, s->data)) {
    char why[120];
    if (page_fault(s->data, geom_of(c), why, sizeof why)) {
      s->seek = 0;
      page_damaged(c, seek, "%s", why);
      return nullptr;
    }
    note_ordered(c->file, seek, s->data);
  }
  return s->data;
}

int tree_too_deep(BT_CURSOR* c) {
  return page_damaged(c, 0, "its tree is deeper than %d pages (its links loop)", kMaxDepth);
}

void fence_down(fence& f, const uint8_t* p, const geom& g, int idx) {
  if (idx > 0) {
    memcpy(f.lo, pg_key(p, g, idx - 1), static_cast<size_t>(g.L));
    f.has_lo = true;
  }
  if (idx < pg_count(p)) {
    memcpy(f.hi, pg_key(p, g, idx), static_cast<size_t>(g.L));
    f.has_hi = true;
  }
}

const uint8_t* page_enter(BT_CURSOR* c, const geom& g, uint32_t seek, uint32_t parent, const fence& f) {
  const uint8_t* p = page_ref(c, seek);
  if (!p) return nullptr;
  const int n = pg_count(p);
  const char* fault = nullptr;
  if (pg_parent(p) != parent) fault = "is not a child of the page that links to it";
  else if (n == 0 && (parent || pg_down(p, g, 0))) fault = "holds no entry";
  else if (n > 0 && f.has_lo && key_compare(g.segs, g.nsegs, pg_key(p, g, 0), f.lo) <= 0)
    fault = "holds a key not above the entry before its link";
  else if (n > 0 && f.has_hi && key_compare(g.segs, g.nsegs, pg_key(p, g, n - 1), f.hi) >= 0)
    fault = "holds a key not below the entry after its link";
  if (!fault) return p;
  page_damaged(c, seek, "%s", fault);
  return nullptr;
}

int page_load(BT_CURSOR* c, uint32_t seek, uint8_t* out) {
  const uint8_t* p = page_ref(c, seek);
  if (!p) return c->status;
  memcpy(out, p, kPageSize);
  return BRF_OK;
}

namespace {

// A write that failed may have put part of its bytes on disk: the old image,
// when known, goes back so that the caller's undo finds the page whole.
int write_or_restore(BT_CURSOR* c, uint32_t off, const uint8_t* data, const uint8_t* old, size_t n) {
  if (bt_io_write(c->file->io, off, data, n) == static_cast<long>(n)) return BRF_OK;
  int st = io_fail(c, true);
  int e = errno;
  if (old) bt_io_write(c->file->io, off, old, n);
  errno = e;
  return st;
}

// Keeps the page's bytes before the operation's first change to it: from
// the cache when current there, else from the file.
int undo_note(BT_CURSOR* c, uint32_t seek) {
  bt_undo& u = c->file->undo;
  if (u.depth == 0) return BRF_OK;
  for (const auto& p : u.pages)
    if (p.first == seek) return BRF_OK;
  std::vector<uint8_t> old(kPageSize);
  bt_page_slot* s = find_slot(c, seek);
  if (s && s->checked) {
    memcpy(old.data(), s->data, kPageSize);
  } else {
    long r = bt_io_read(c->file->io, seek, old.data(), kPageSize);
    if (r < 0) return page_unreadable(c, seek, r);
    if (r != static_cast<long>(kPageSize)) old.clear();
  }
  u.pages.emplace_back(seek, std::move(old));
  return BRF_OK;
}

}  // namespace

void undo_begin(BT_CURSOR* c) {
  bt_undo& u = c->file->undo;
  if (u.depth++ > 0) return;
  u.pages.clear();
  u.have_hdr = hdr_read(c) == BRF_OK;
  if (u.have_hdr) memcpy(u.hdr, c->file->hdr, kBtHdrSize);
}

int undo_end(BT_CURSOR* c, int st) {
  BT_FILE* f = c->file;
  bt_undo& u = f->undo;
  if (--u.depth > 0) return st;
  if (st != BRF_OK && !u.pages.empty()) {
    for (auto p = u.pages.rbegin(); p != u.pages.rend(); ++p) {
      drop_slot(c, p->first);
      if (!p->second.empty()) bt_io_write(f->io, p->first, p->second.data(), kPageSize);
    }
    if (u.have_hdr) {
      memcpy(u.hdr + kHdrChangeCount, f->hdr + kHdrChangeCount, 4);
      u.hdr[kHdrInUse] = f->hdr[kHdrInUse];  // a change's mark outlives its failed step
      memcpy(f->hdr, u.hdr, kBtHdrSize);
      decode_keys(f);
      uint8_t block[kBtHdrBlock] = {};
      memcpy(block, f->hdr, kBtHdrSize);
      if (f->op_writing) st_le32(block, kHdrChangeCount, f->op_start_count);  // odd until op_end
      bt_io_write(f->io, 0, block, kBtHdrBlock);
    }
  }
  u.pages.clear();
  return st;
}

int page_write(BT_CURSOR* c, uint32_t seek, uint8_t* page) {
  if (!bt_page_seek_ok(seek, hdr_eof(c->file))) return set_status(c, BRF_PAGE_FULL);
  st_le16(page, kPgAge, static_cast<uint16_t>(pg_age(page) + 1));
  if (g_verify_io) chk_page(c, seek, page);
  if (int st = undo_note(c, seek)) return st;
  if (int st = note_write(c)) return st;
  bt_page_slot* old = find_slot(c, seek);
  if (int st = write_or_restore(c, seek, page, old && old->checked ? old->data : nullptr, kPageSize)) {
    drop_slot(c, seek);
    return st;
  }
  bt_page_slot* s = find_slot(c, seek);
  if (!s) s = victim_slot(c);
  memcpy(s->data, page, kPageSize);
  s->seek = seek;
  s->age = pg_age(page);
  s->checked = true;
  s->used = ++c->clock;
  return BRF_OK;
}

int page_read_hdr(BT_CURSOR* c, uint32_t seek, uint8_t* hdr8) {
  if (!bt_page_seek_ok(seek, hdr_eof(c->file))) return set_status(c, BRF_PAGE_FULL);
  bt_page_slot* s = find_slot(c, seek);
  if (s && s->checked) {
    memcpy(hdr8, s->data, kPgHdrSize);
    return BRF_OK;
  }
  long r = bt_io_read(c->file->io, seek, hdr8, kPgHdrSize);
  if (r != static_cast<long>(kPgHdrSize)) return page_unreadable(c, seek, r);
  return BRF_OK;
}

int page_write_hdr(BT_CURSOR* c, uint32_t seek, uint8_t* hdr8, const uint8_t* old8) {
  if (!bt_page_seek_ok(seek, hdr_eof(c->file))) return set_status(c, BRF_PAGE_FULL);
  st_le16(hdr8, kPgAge, static_cast<uint16_t>(pg_age(hdr8) + 1));
  if (int st = undo_note(c, seek)) return st;
  if (int st = note_write(c)) return st;
  bt_page_slot* s = find_slot(c, seek);
  if (int st = write_or_restore(c, seek, hdr8, old8, kPgHdrSize)) {
    if (s) s->seek = 0;
    return st;
  }
  if (s && s->checked) {
    memcpy(s->data, hdr8, kPgHdrSize);
    s->age = pg_age(hdr8);
  } else if (s) {
    s->seek = 0;
  }
  return BRF_OK;
}

int set_parent_page(BT_CURSOR* c, uint32_t child, uint32_t parent) {
  if (child == 0) return BRF_OK;
  uint8_t h[kPgHdrSize];
  if (int st = page_read_hdr(c, child, h)) return st;
  uint8_t old[kPgHdrSize];
  memcpy(old, h, kPgHdrSize);
  set_parent(h, parent);
  return page_write_hdr(c, child, h, old);
}

int pages_write(BT_CURSOR* c, uint32_t seek, const uint8_t* pages, uint32_t count) {
  if (count == 0) return BRF_OK;
  if (int st = note_write(c)) return st;
  for (auto& s : c->pages)
    if (s.seek >= seek && s.seek - seek < uint64_t{count} * kPageSize) s.seek = 0;
  size_t n = size_t{count} * kPageSize;
  if (bt_io_write(c->file->io, seek, pages, n) != static_cast<long>(n)) return io_fail(c, true);
  return BRF_OK;
}

const uint8_t* cached_page(BT_CURSOR* c, uint32_t seek) {
  bt_page_slot* s = find_slot(c, seek);
  return s && s->checked ? s->data : nullptr;
}

void count_to_disk(BT_FILE* f) {
  if (f->sole) return;
  uint8_t w[4];
  st_le32(w, 0, ld_le32(f->hdr, kHdrChangeCount));
  if (bt_io_write(f->io, kHdrChangeCount, w, 4) != 4)
    sys_err("BT", __LINE__, "%s: change count not written: %s", f->path, strerror(errno));
}

void op_end(BT_CURSOR* c) {
  BT_FILE* f = c->file;
  if (!f->op_writing || f->hold_count) return;
  f->op_writing = false;
  count_to_disk(f);
}

}  // namespace kivo::bt

namespace kivo {

int bt_mark_raise(BT_CURSOR* c) {
  BT_FILE* f = c->file;
  if (!f->in_change || f->marking) return BRF_OK;
  if (!block(c, true)) return c->status;
  int st = bt::hdr_read(c);
  if (st == BRF_OK) st = bt::note_write(c);  // the change's first write: the mark
  bt::op_end(c);
  bunlock(c, true);
  return set_status(c, st);
}

}  // namespace kivo
