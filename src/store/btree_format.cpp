// Key files and cursors: opening, the header, key descriptors and their
// declaration, and the tree lock around every operation.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "foundation/sys_err.h"
#include "store/btree.h"
#include "store/btree_io.h"
#include "store/btree_page.h"
#include "store/lock.h"

namespace kivo {

using namespace bt;

namespace {

constexpr uint32_t kOwnerTracking = 0x1;

void init_header(uint8_t* h, uint16_t version) {
  memset(h, 0, kBtHdrSize);
  st_le16(h, kHdrVersion, version);
  st_le16(h, kHdrPageSize, kPageSize);
  st_le32(h, kHdrEofseek, kBtHdrBlock);
}

bool same_segments(const KEY_DESC& a, const KEY_DESC& b) {
  if (a.nsegs != b.nsegs) return false;
  for (int i = 0; i < a.nsegs; ++i)
    if (a.seg[i].type != b.seg[i].type || a.seg[i].len != b.seg[i].len || a.seg[i].poffs != b.seg[i].poffs)
      return false;
  return true;
}

int open_fail_status(int e) {
  switch (e) {
    case ENOENT: return BRF_NOT_FOUND_FILE;
    case ENFILE:
    case EMFILE: return BRF_TOO_MANY_FILES;
    case ENOSPC: return BRF_NO_SPACE;
    default: return BRF_SYS_ERR;
  }
}

int write_owner(BT_FILE* f, uint32_t word) {
  uint8_t w[4];
  st_le32(w, 0, word);
  st_le32(f->hdr, kHdrOwner, word);  // the image stays the file's header
  return bt_io_write(f->io, kHdrOwner, w, 4) == 4;
}

// Ends a sole open: the header image, change count included and the in-use
// mark cleared, goes to disk so that another open reads what this one has.
void leave_sole(BT_FILE* f) {
  if (!f->sole) return;
  f->sole = false;
  bt_io_clear_owner(f->io);
  if (f->marking && !f->in_change) {
    // The mark kept over the open (bt_mark_clear) goes with the header.
    f->marking = false;
    f->hdr[kHdrInUse] = 0;
    f->count_behind = true;
  }
  if (!f->count_behind) return;
  f->count_behind = false;
  uint8_t block[kBtHdrBlock] = {};
  memcpy(block, f->hdr, kBtHdrSize);
  if (bt_io_write(f->io, 0, block, kBtHdrBlock) != static_cast<long>(kBtHdrBlock))
    sys_err("BT", __LINE__, "%s: %s", f->path, strerror(errno));
}

}  // namespace

void key_desc_load(const uint8_t* p, KEY_DESC* d) {
  d->root = ld_le32(p, kKdRoot);
  d->keyno = p[kKdKeyNo];
  d->nsegs = p[kKdNSegs];
  d->keylen = ld_le16(p, kKdKeyLen);
  for (int i = 0; i < kBtMaxSegs; ++i) {
    const uint8_t* s = p + kKdSegs + i * kSegDescSize;
    d->seg[i].type = s[kSdType];
    d->seg[i].len = s[kSdLen];
    d->seg[i].poffs = ld_le16(s, kSdPoffs);
  }
}

void key_desc_store(const KEY_DESC& d, uint8_t* p) {
  memset(p, 0, kKeyDescSize);
  st_le32(p, kKdRoot, d.root);
  p[kKdKeyNo] = d.keyno;
  p[kKdNSegs] = d.nsegs;
  st_le16(p, kKdKeyLen, d.keylen);
  for (int i = 0; i < d.nsegs && i < kBtMaxSegs; ++i) {
    uint8_t* s = p + kKdSegs + i * kSegDescSize;
    s[kSdType] = d.seg[i].type;
    s[kSdLen] = d.seg[i].len;
    st_le16(s, kSdPoffs, d.seg[i].poffs);
  }
}

int bt_check_key_desc(const KEY_DESC& d, int keyno, char* why, size_t why_size) {
  char scratch[8];
  if (!why) {
    why = scratch;
    why_size = sizeof scratch;
  }
  if (d.nsegs > kBtMaxSegs) {
    snprintf(why, why_size, "%d segments over %d at key %d", d.nsegs, kBtMaxSegs, keyno);
    return BRF_BAD_DATA;
  }
  int total = 0;
  for (int i = 0; i < d.nsegs; ++i) {
    seg_kind k = seg_kind_of_type(d.seg[i].type);
    if (k == seg_kind::invalid || (d.seg[i].type & 0x30) || !seg_len_valid(k, d.seg[i].len)) {
      snprintf(why, why_size, "segment %d of type 0x%02x and length %d refused at key %d", i, d.seg[i].type,
               d.seg[i].len, keyno);
      return BRF_BAD_DATA;
    }
    total += d.seg[i].len;
  }
  if (total != d.keylen) {
    snprintf(why, why_size, "key length %d is not the segments' %d at key %d", d.keylen, total, keyno);
    return BRF_BAD_DATA;
  }
  if (total > kBtMaxKeyLen) {
    snprintf(why, why_size, "key length %d over %d at key %d", total, kBtMaxKeyLen, keyno);
    return BRF_BAD_DATA;
  }
  if (bt_max_entries(total) < kBtMinEntries) {
    snprintf(why, why_size, "key length %d leaves fewer than %d entries a page at key %d", total, kBtMinEntries, keyno);
    return BRF_BAD_DATA;
  }
  return BRF_OK;
}

const char* bt_key_outside(const KEY_DESC& d, int keyno, uint32_t fixed_len, uint32_t longest, char* why, size_t n) {
  const int nsegs = std::min<int>(d.nsegs, kBtMaxSegs);
  if (fixed_len) {
    for (int i = 0; i < nsegs; ++i) {
      const BT_SEG& s = d.seg[i];
      if (uint32_t{s.poffs} + s.len <= fixed_len) continue;
      snprintf(why, n, "key %d: its segment %d (%u bytes at %u) lies outside the %u-byte record", keyno, i + 1, s.len,
               s.poffs, fixed_len);
      return why;
    }
    return nullptr;
  }
  if (!longest || nsegs == 0) return nullptr;
  for (int i = 0; i < nsegs; ++i)
    if (d.seg[i].poffs < longest) return nullptr;
  snprintf(why, n, "key %d: every segment lies past the end of every record (the longest holds %u bytes)", keyno,
           longest);
  return why;
}

int binit() {
  g_key_padding = getenv("KIVO_PART_SEG") == nullptr;
  const char* v = getenv("KIVO_VERIFY_IO");
  g_verify_io = v && v[0] != '0';
  return 1;
}

namespace {
std::string g_last_refusal;
}  // namespace

const std::string& bt_last_refusal() { return g_last_refusal; }

std::string bt_damage_line(const char* key_path, const char* why) {
  std::string base = key_path;
  if (base.size() > 4 && base.compare(base.size() - 4, 4, ".key") == 0) base.resize(base.size() - 4);
  return base + ".key is damaged: " + why + "; \"kivo -r=" + base + "\" builds its keys again";
}

void store_damage_note(const std::string& base, const char* ext, const char* brief) {
  char cwd[4096];
  std::string rel = base;
  if (getcwd(cwd, sizeof cwd)) {
    const std::string dir = std::string(cwd) + "/";
    if (rel.compare(0, dir.size(), dir) == 0) rel.erase(0, dir.size());
  }
  const size_t slash = base.rfind('/');
  const std::string name = slash == std::string::npos ? base : base.substr(slash + 1);
  la_sys_err_note((name + ext + " is damaged " + brief + ": kivo -r=" + rel).c_str());
}

void bt_say_damage(const char* key_path, const char* why, const char* brief) {
  la_sys_err(bt_damage_line(key_path, why).c_str(), 0);
  std::string base = key_path;
  if (base.size() > 4 && base.compare(base.size() - 4, 4, ".key") == 0) base.resize(base.size() - 4);
  if (brief) store_damage_note(base, ".key", brief);
}

BT_FILE* bopen(int* status, const char* path, uint16_t mode) {
  if (strlen(path) >= sizeof(BT_FILE::path)) {
    *status = BRF_SYS_ERR;
    return nullptr;
  }
  bool may_create = (mode & kBtCreate) && !(mode & kBtMustExist);
  int io = bt_io_open(path, false);
  if (io < 0 && errno == EACCES && (mode & kBtReadOnly)) io = bt_io_open_read(path);
  if (io < 0 && errno == ENOENT && may_create) io = bt_io_open(path, true);
  if (io < 0) {
    int e = errno;
    *status = open_fail_status(e);
    if (*status == BRF_SYS_ERR) la_sys_err(strerror(e), 0);
    return nullptr;
  }
  // Another open of this process may be ahead of the file: it writes first.
  if (auto* ahead = static_cast<BT_FILE*>(bt_io_owner(io))) leave_sole(ahead);
  BT_FILE* f = new (std::nothrow) BT_FILE;
  if (!f) {
    bt_io_close(io);
    *status = BRF_NO_MEMORY;
    return nullptr;
  }
  f->io = io;
  snprintf(f->path, sizeof f->path, "%s", path);
  // An empty file is a new key file; anything else must carry a sound header,
  // or creating a key would overwrite what is there.
  long long size = bt_io_size(io);
  uint8_t h[kBtHdrSize];
  const long got = size > 0 ? bt_io_read(io, 0, h, kBtHdrSize) : 0;
  const bool whole = got == static_cast<long>(kBtHdrSize);
  char why[200] = "its header cannot be read whole";
  if (got < 0) {  // the device's failure, not the file's damage
    la_sys_err(bt_io_read_error(io, 0, errno).c_str(), 0);
    bt_io_close(io);
    delete f;
    *status = BRF_SYS_ERR;
    return nullptr;
  }
  if (size == 0) {
    init_header(f->hdr, kHdrNone);
    *status = BRF_NOT_FOUND_FILE;
  } else if (whole && !bt_hdr_fault(h, why, sizeof why)) {
    memcpy(f->hdr, h, kBtHdrSize);
    *status = BRF_OK;
  } else {
    g_last_refusal = why;
    bt_io_close(io);
    delete f;
    *status = BRF_BAD_DATA;
    return nullptr;
  }
  decode_keys(f);
  return f;
}

void bclose(BT_FILE* f) {
  if (!f || f->users > 0) return;
  leave_sole(f);
  bt_io_close(f->io);
  delete f;
}

BT_CURSOR* baccess(int* status, BT_FILE* f, uint16_t mode) {
  BT_CURSOR* c = new (std::nothrow) BT_CURSOR;
  if (!c) {
    *status = BRF_NO_MEMORY;
    return nullptr;
  }
  c->file = f;
  c->access = static_cast<uint16_t>((mode & 0xFF) | kCursorValid);
  c->seen_changes = ld_le32(f->hdr, kHdrChangeCount);
  ++f->users;
  *status = BRF_OK;
  return c;
}

int bdeaccess(BT_CURSOR* c) {
  if (!c || !(c->access & kCursorValid)) return -1;
  --c->file->users;
  c->access = 0;
  delete c;
  return 0;
}

void bhdrinit(BT_CURSOR* c) { init_header(c->file->hdr, kHdrNone); }

int bhdrread(BT_CURSOR* c) {
  if (hdr_read(c) == BRF_OK) return 1;
  bhdrinit(c);
  decode_keys(c->file);
  return 0;
}

int bhdrwrite(BT_CURSOR* c) {
  int st = hdr_write(c);
  op_end(c);
  return st == BRF_OK;
}

int bsetkeyN(BT_CURSOR* c, int keyno) {
  if (keyno < 0 || keyno >= kBtMaxKeys) return set_status(c, BRF_NO_KEY);
  if (keyno != c->last_key) {
    c->index = -1;
    c->dseek = kNoSeek;
    c->page = 0;
    c->has_key = false;
  }
  c->key = keyno;
  c->last_key = keyno;
  return BRF_OK;
}

namespace {

// Gives up a key being defined: its descriptor and count as they were, and
// its root page, once taken, back on the free list (which also rewrites a
// header the failed write may have left in part).
int undefine_key(BT_CURSOR* c, int n, const uint8_t* old_desc, uint32_t root, int st) {
  BT_FILE* f = c->file;
  memcpy(f->hdr + kHdrKeys + n * kKeyDescSize, old_desc, kKeyDescSize);
  f->hdr[kHdrKeyCount] = static_cast<uint8_t>(n);
  decode_keys(f);
  if (root) bpage_free(c, root);
  return set_status(c, st);
}

int define_key(BT_CURSOR* c, KEY_DESC* d) {
  BT_FILE* f = c->file;
  int n = hdr_key_count(f);
  if (n >= kBtMaxKeys) return set_status(c, BRF_NO_KEY);
  uint8_t old_desc[kKeyDescSize];
  memcpy(old_desc, f->hdr + kHdrKeys + n * kKeyDescSize, kKeyDescSize);
  d->keyno = static_cast<uint8_t>(n);
  d->root = 0;
  key_desc_store(*d, f->hdr + kHdrKeys + n * kKeyDescSize);
  decode_keys(f);
  c->key = n;  // the new key's geometry serves the page writes below
  uint32_t root = bpage_alloc(c);
  if (!root) return undefine_key(c, n, old_desc, 0, c->status);
  uint8_t page[kPageSize];
  if (int st = page_load(c, root, page)) return undefine_key(c, n, old_desc, root, st);
  st_le32(page, kPgHdrSize, 0);  // last DOWN of an empty root
  if (int st = page_write(c, root, page)) return undefine_key(c, n, old_desc, root, st);
  d->root = root;
  key_desc_store(*d, f->hdr + kHdrKeys + n * kKeyDescSize);
  f->hdr[kHdrKeyCount] = static_cast<uint8_t>(n + 1);
  decode_keys(f);
  if (int st = hdr_write(c)) return undefine_key(c, n, old_desc, root, st);
  c->last_key = -1;
  bsetkeyN(c, n);
  return set_status(c, BRF_KEY_CREATED);
}

}  // namespace

int bsetkey(BT_CURSOR* c, KEY_DESC* d, bool create) {
  BT_FILE* f = c->file;
  int total = 0;
  for (int i = 0; i < d->nsegs && i < kBtMaxSegs; ++i) total += d->seg[i].len;
  d->keylen = static_cast<uint16_t>(total);
  if (bt_check_key_desc(*d, hdr_key_count(f), nullptr, 0) != BRF_OK) return set_status(c, BRF_BAD_DATA);
  if (int st = hdr_read(c)) {
    // Only an empty file may start a fresh header.
    if (bt_io_size(f->io) != 0) return st;
    init_header(f->hdr, kBtVersion);
    decode_keys(f);
  }
  int n = hdr_key_count(f);
  for (int k = 0; k < n; ++k) {
    if (same_segments(f->keys[k], *d)) {
      d->keyno = static_cast<uint8_t>(k);
      d->root = f->keys[k].root;
      bsetkeyN(c, k);
      return set_status(c, BRF_OK);
    }
  }
  if (!create) return set_status(c, BRF_NO_KEY);
  int saved_key = c->key;
  int st = define_key(c, d);
  op_end(c);
  if (st != BRF_KEY_CREATED) c->key = saved_key;  // define_key has put the header back
  return set_status(c, st);
}

void bt_hold_alone(BT_FILE* f) {
  bool only = bt_io_refs(f->io) == 1;
  bt_io_set_alone(f->io, only ? f : nullptr);
  f->sole = only;
}

int block(BT_CURSOR* c, bool changing) {
  BT_FILE* f = c->file;
  (void)changing;
  if (f->lock_depth++ > 0) return 1;
  if (!bt_io_lock_tree(f->io)) {
    int e = errno;
    --f->lock_depth;
    sys_err("BT", __LINE__, "unable to lock header for %s - errno = %d\n", f->path, e);
    set_status(c, BRF_SYS_ERR);
    return 0;
  }
  ++f->lock_epoch;
  // A count left odd by a writer of this process is its own (a repair
  // holding it odd through its rebuild); any other is a dead writer's.
  f->count_left_odd = !f->op_writing && bt_count_left_odd(f);
  if ((f->options & kOwnerTracking) && lock_session_number) write_owner(f, owner_word(lock_session_number));
  return 1;
}

int bt_mark_clear(BT_FILE* f) {
  f->in_change = false;
  // Held alone, the mark stays set until the open ends (leave_sole): no
  // change pays for setting and clearing it, and a kill meanwhile leaves it
  // for the next open, which repairs the pair from the data file.
  if (!f->marking || f->sole) return BRF_OK;
  uint8_t zero = 0;
  f->marking = false;
  f->hdr[kHdrInUse] = 0;
  if (bt_io_write(f->io, kHdrInUse, &zero, 1) != 1) return errno == ENOSPC ? BRF_NO_SPACE : BRF_SYS_ERR;
  return BRF_OK;
}

bool bt_mark_left(BT_FILE* f) {
  if (f->marking) return false;
  if (f->sole) return f->hdr[kHdrInUse] != 0;
  if (const uint8_t* head = bt_io_head(f->io, kBtHdrSize))
    return __atomic_load_n(head + kHdrInUse, __ATOMIC_ACQUIRE) != 0;
  return bt_mark_read(f) == 1;
}

bool bt_count_left_odd(BT_FILE* f) {
  if (f->sole) return false;
  uint32_t n = 0;
  if (const uint8_t* head = bt_io_head(f->io, kBtHdrSize)) {
    n = __atomic_load_n(reinterpret_cast<const uint32_t*>(head + kHdrChangeCount), __ATOMIC_ACQUIRE);
  } else {
    uint8_t w[4];
    if (bt_io_read(f->io, kHdrChangeCount, w, 4) != 4) return false;
    n = ld_le32(w, 0);
  }
  return (n & 1) != 0;
}

uint32_t bt_stamp(BT_FILE* f) {
  if (f->sole) return ld_le32(f->hdr, kHdrStamp);
  uint8_t w[4];
  return bt_io_read(f->io, kHdrStamp, w, 4) == 4 ? ld_le32(w, 0) : 0;
}

int bt_set_stamp(BT_FILE* f, uint32_t stamp) {
  // A key file without its header yet is stamped with the header's first write.
  if (ld_le16(f->hdr, kHdrVersion) != kBtVersion || bt_io_size(f->io) < static_cast<long long>(kBtHdrBlock))
    return BRF_NOT_FOUND_FILE;
  uint8_t w[4];
  st_le32(w, 0, stamp);
  if (bt_io_write(f->io, kHdrStamp, w, 4) != 4) return errno == ENOSPC ? BRF_NO_SPACE : BRF_SYS_ERR;
  st_le32(f->hdr, kHdrStamp, stamp);
  return BRF_OK;
}

int bt_mark_read(BT_FILE* f) {
  uint8_t b = 0;
  long got = bt_io_read(f->io, kHdrInUse, &b, 1);
  if (got < 0) return -1;
  return got == 1 && b != 0;
}

void bunlock(BT_CURSOR* c, bool changing) {
  BT_FILE* f = c->file;
  if (f->lock_depth == 0 || --f->lock_depth > 0) return;
  f->count_left_odd = false;
  if (changing && (f->options & kOwnerTracking) && lock_session_number) write_owner(f, 0);
  bt_io_unlock_tree(f->io);
}

}  // namespace kivo
