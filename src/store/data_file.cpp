// The record data file: stored layouts, open and close, the header, end-of-
// file verification and the upgrade of older formats. Space management is
// free_list.cpp.
//
// All I/O is positioned (kivo_pread / kivo_pwrite), so nothing depends on a
// descriptor's file position, which the descriptor cache does not keep. Reads
// go through the file's shared mapping where it covers them (brf_pread).
#include "store/data_file.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unordered_set>

#include "foundation/bytes.h"
#include "foundation/os_calls.h"
#include "foundation/sys_err.h"
#include "store/brf_status.h"
#include "store/btree.h"
#include "store/lock.h"

namespace kivo {

namespace {

void key_file_init() { binit(); }

bool key_file_just_created(BT_FILE* key) { return ld_le16(key->hdr, kHdrVersion) == kHdrNone; }

}  // namespace

brf_key_hooks brf_key_file = {key_file_init, bopen, bclose, key_file_just_created, bt_hold_alone};
long long brf_preload_max = -1;
bool brf_verify_eof = false;

namespace {

long long parse_preload(const char* text) {
  if (!text || !*text) return -1;
  char* end = nullptr;
  errno = 0;
  long long v = strtoll(text, &end, 10);
  if (errno != 0 || *end != '\0' || v < 0) return -1;
  return v;
}

// "<path><ext>" into out; false when it does not fit.
bool build_path(char* out, const char* path, const char* ext) {
  int n = snprintf(out, kFdPathSize, "%s%s", path, ext);
  return n > 0 && static_cast<size_t>(n) < kFdPathSize;
}

int write_status(ssize_t got, size_t want, int line) {
  if (got == static_cast<ssize_t>(want)) return BRF_OK;
  if (got < 0) return brf_errno_status(errno, line);
  return errno == ENOSPC ? BRF_NO_SPACE : BRF_WRITE_ERR;
}

}  // namespace

void encode_brf_hdr(const brf_hdr& h, uint8_t out[kDataHeaderSize]) {
  memset(out, 0, kDataHeaderSize);
  st_le16(out, kHdrFlagsOff, h.flags);
  st_le16(out, kHdrVersionOff, h.version);
  st_le32(out, kHdrRecLenOff, h.rec_len);
  st_le32(out, kHdrFreelistOff, h.freelist);
  st_le32(out, kHdrEofseekOff, h.eofseek);
  st_le32(out, kHdrStampOff, h.stamp);
}

brf_hdr decode_brf_hdr(const uint8_t in[kDataHeaderFields]) {
  brf_hdr h;
  h.flags = ld_le16(in, kHdrFlagsOff);
  h.version = ld_le16(in, kHdrVersionOff);
  h.rec_len = ld_le32(in, kHdrRecLenOff);
  h.freelist = ld_le32(in, kHdrFreelistOff);
  h.eofseek = ld_le32(in, kHdrEofseekOff);
  h.stamp = ld_le32(in, kHdrStampOff);
  return h;
}

void encode_rec_hdr(const rec_hdr& h, uint8_t out[kRecHdrSize]) {
  st_u8(out, kRhFlagsOff, h.flags);
  st_u8(out, kRhAgeOff, h.age);
  st_le16(out, kRhLengthOff, h.length);
  st_le32(out, kRhLinkOff, h.link);
  st_le32(out, kRhRecnoOff, h.recno);
}

rec_hdr decode_rec_hdr(const uint8_t in[kRecHdrSize]) {
  rec_hdr h;
  h.flags = ld_u8(in, kRhFlagsOff);
  h.age = ld_u8(in, kRhAgeOff);
  h.length = ld_le16(in, kRhLengthOff);
  h.link = ld_le32(in, kRhLinkOff);
  h.recno = ld_le32(in, kRhRecnoOff);
  return h;
}

int brf_errno_status(int err, int line) {
  switch (err) {
    case ENOENT: return BRF_NOT_FOUND_FILE;
    case EAGAIN: return BRF_FILE_LOCKED;
    case EACCES: return BRF_PERM;
    case ENFILE:
    case EMFILE: return BRF_TOO_MANY_FILES;
    case ENOSPC: return BRF_NO_SPACE;
    default:
      (void)line;
      la_sys_err(strerror(err), 0);
      return BRF_SYS_ERR;
  }
}

void brfinit() {
  brf_preload_max = parse_preload(getenv("KIVO_PRELOAD_MAX"));
  brf_verify_eof = getenv("KIVO_VERIFY_EOF") != nullptr;
  if (brf_key_file.init) brf_key_file.init();
}

void brfinithdr(brf_hdr* h, uint32_t rec_len) {
  h->rec_len = rec_len;
  h->freelist = 0;
  h->eofseek = kDataHeaderSize;
  h->version = kBrfVersion;
  h->flags = rec_len > 0 ? (kHdrHasVersion | kHdrFixed) : kHdrHasVersion;
}

namespace {

// Removes a data file created by a failed open: only an empty one (an
// exclusive create that failed after its open(2), or whose lock failed).
void drop_created(const char* dat) {
  struct stat st;
  if (os_sys.stat(dat, &st) == 0 && st.st_size == 0) os_sys.unlink(dat);
}

}  // namespace

namespace {
brf_open_failure g_last_failure;

// The files brfopen handed out and brfclose has not freed: a second close of
// one is refused instead of freeing it twice.
std::unordered_set<const BRF_FILE*>& open_files() {
  static auto* live = new std::unordered_set<const BRF_FILE*>;
  return *live;
}
// The key file beside the data file, unless the mode has none (*kf null).
// False with *status set when it cannot be opened.
bool open_key_file(int* status, const char* key, uint16_t mode, BT_FILE** kf) {
  *kf = nullptr;
  if (mode & BRF_NO_KEYS) return true;
  if (!brf_key_file.open) {
    sys_err("BRF", __LINE__, "no key file support for %s", key);
    *status = BRF_SYS_ERR;
    return false;
  }
  *kf = brf_key_file.open(status, key, mode);
  return *kf != nullptr;
}

// Opens the data file, or creates it under BRF_CREATE when its key file
// was just made too (*status BRF_NOT_FOUND_FILE then), and takes its header
// lock. -1 with the cause in *err; a file this open created is removed
// then, or a later create would find it and refuse.
int open_dat_slot(const char* dat, uint16_t mode, BT_FILE* kf, bool exclusive, int* status, int* err) {
  bool creating = false;
  int slot = kivo_open(dat, O_RDWR, 0);
  // EBUSY: the file is open read-only here already, with a lock held (a
  // verification's hold on a file its user may not write).
  if (slot < 0 && (errno == EACCES || errno == EBUSY) && (mode & BRF_READ_ONLY) && !exclusive)
    slot = kivo_open(dat, O_RDONLY, 0);
  if (slot < 0 && errno == ENOENT && (mode & BRF_CREATE) &&
      (!kf || (brf_key_file.just_created && brf_key_file.just_created(kf)))) {
    *status = BRF_NOT_FOUND_FILE;
    creating = true;
    slot = kivo_open(dat, O_RDWR | O_CREAT | O_EXCL, 0666);
    if (slot < 0 && errno == EEXIST) {
      // Created by another process meanwhile: opened, not created, here.
      *status = BRF_OK;
      creating = false;
      slot = kivo_open(dat, O_RDWR, 0);
    }
  }
  *err = errno;
  if (slot >= 0 && !lock_hdr(slot, exclusive)) {
    *err = errno;
    kivo_close(slot);
    slot = -1;
  }
  if (slot < 0 && creating) drop_created(dat);
  return slot;
}

}  // namespace

const brf_open_failure& brf_last_open_failure() { return g_last_failure; }

BRF_FILE* brfopen(int* status, const char* path, uint16_t mode, uint32_t rec_len, bool exclusive) {
  char dat[kFdPathSize];
  char key[kFdPathSize];
  if (!build_path(dat, path, ".dat") || !build_path(key, path, ".key")) {
    *status = brf_errno_status(ENAMETOOLONG, __LINE__);
    return nullptr;
  }
  BT_FILE* kf;
  errno = 0;
  if (!open_key_file(status, key, mode, &kf)) {
    // The key file is tried first: a pair this user may not write fails here.
    if (errno) g_last_failure = {key, errno};
    return nullptr;
  }
  auto* f = new BRF_FILE;
  f->key = kf;
  f->has_keys = kf != nullptr;
  f->open_rec_len = rec_len;
  brfinithdr(&f->hdr, rec_len);
  *status = BRF_OK;
  int err = 0;
  const int slot = open_dat_slot(dat, mode, kf, exclusive, status, &err);
  if (slot < 0) {
    g_last_failure = {dat, err};
    *status = brf_errno_status(err, __LINE__);
    if (kf && brf_key_file.close) brf_key_file.close(kf);
    delete f;
    return nullptr;
  }
  f->slot = slot;
  if (exclusive) {
    fd_cache_lock_state(slot)->alone = true;
    if (kf && brf_key_file.hold_alone) brf_key_file.hold_alone(kf);
  }
  brfgethdr(f);
  open_files().insert(f);
  return f;
}

int brf_wb_flush(BRF_FILE* f) {
  if (f->wb.empty()) return BRF_OK;
  errno = 0;
  const ssize_t got = kivo_pwrite(f->slot, f->wb.data(), f->wb.size(), static_cast<off_t>(f->wb_at));
  const int st = write_status(got, f->wb.size(), __LINE__);
  f->wb.clear();
  if (st != BRF_OK) f->wb_err = st;  // the appends are lost: no read may take the file as whole
  return st;
}

int brfclose(BRF_FILE* f) {
  if (!f || !open_files().count(f)) return BRF_CLOSED;
  brf_wb_flush(f);
  if (f->users > 0) return BRF_OK;
  open_files().erase(f);
  if (f->key && brf_key_file.close) brf_key_file.close(f->key);
  if (f->slot >= 0) kivo_close(f->slot);
  delete f;
  return BRF_OK;
}

int brf_set_has_header(BRF_FILE* f) {
  f->has_header = true;
  f->count_eof = 0;
  return brfgethdr(f);
}

bool brf_header_from_file(BRF_FILE* f) {
  if (f->has_keys || f->has_header) return true;
  if (brf_set_has_header(f) == BRF_OK && f->hdr.version == kBrfVersion) return true;
  f->has_header = false;
  brfgethdr(f);
  return false;
}

const char* brf_hdr_contradiction(const brf_hdr& raw, char* why, size_t n) {
  const uint16_t flags = raw.flags;
  const bool fixed = flags & kHdrFixed;
  if (flags & ~(kHdrFixed | kHdrHasVersion)) {
    snprintf(why, n, "header flags 0x%04x hold bits no data file sets", flags);
  } else if (!(flags & kHdrHasVersion) && raw.version != 0) {
    snprintf(why, n, "header flags 0x%04x say it has no version, but its version field says %u", flags, raw.version);
  } else if ((flags & kHdrHasVersion) && raw.version == 0) {
    snprintf(why, n, "header version 0 beside the version flag");
  } else if (fixed && (raw.rec_len == 0 || raw.rec_len > kMaxRecordLength)) {
    snprintf(why, n, "header of a fixed-length file with record length %u", raw.rec_len);
  } else if (!fixed && raw.rec_len != 0) {
    snprintf(why, n, "header of a variable-length file with record length %u", raw.rec_len);
  } else if (raw.version != kBrfVersion) {
    return nullptr;  // older formats keep no end of file or free list of this form
  } else if (raw.eofseek < kDataHeaderSize || raw.eofseek > kMaxSeek) {
    snprintf(why, n, "header's end of file %u lies outside 512 to %u", raw.eofseek, kMaxSeek);
  } else if (raw.freelist != 0 && (raw.freelist < kDataHeaderSize || raw.freelist >= raw.eofseek)) {
    snprintf(why, n, "header's free list %u lies outside the records (512 to %u)", raw.freelist, raw.eofseek);
  } else if (fixed && (raw.eofseek - kDataHeaderSize) % (raw.rec_len + kRecOverhead) != 0) {
    snprintf(why, n, "header's end of file %u is no record boundary of a fixed-length file with record length %u",
             raw.eofseek, raw.rec_len);
  } else {
    return nullptr;
  }
  return why;
}

const char* brf_hdr_fault(BRF_FILE* f, char* why, size_t n) {
  if (f->open_rec_len > 0 && !f->has_keys && !f->has_header) return nullptr;  // relative: no header
  uint8_t buf[kDataHeaderFields];
  if (kivo_pread(f->slot, buf, sizeof buf, 0) != static_cast<ssize_t>(sizeof buf)) return nullptr;
  return brf_hdr_contradiction(decode_brf_hdr(buf), why, n);
}

int brfgethdr(BRF_FILE* f) {
  if (f->open_rec_len > 0 && !f->has_keys && !f->has_header) {
    brfinithdr(&f->hdr, f->open_rec_len);
    return BRF_OK;
  }
  uint8_t buf[kDataHeaderFields];
  ssize_t got = sizeof buf;
  if (const uint8_t* head = fd_cache_head(f->slot, sizeof buf)) memcpy(buf, head, sizeof buf);
  else got = kivo_pread(f->slot, buf, sizeof buf, 0);
  if (got < 0) {
    // A failed read is no header of another kind: nothing may be written
    // from a header that was not read.
    la_sys_err(kivo_read_error(f->slot, 0, errno).c_str(), 0);
    brfinithdr(&f->hdr, f->open_rec_len);
    f->hdr.version = kVersionUnread;
    return BRF_SYS_ERR;
  }
  brf_hdr h = decode_brf_hdr(buf);
  // A header whose fields contradict each other would have records read
  // by a length of 0 or allocated outside the file: it counts as unreadable.
  char why[160];
  if (got == static_cast<ssize_t>(sizeof buf) && !brf_hdr_contradiction(h, why, sizeof why)) {
    f->hdr = h;
    return BRF_OK;
  }
  brfinithdr(&f->hdr, f->open_rec_len);
  f->hdr.version = kVersionUnread;
  return BRF_BAD_DATA;
}

int brfputhdr(BRF_FILE* f) {
  if (brf_relative(f)) return BRF_OK;
  uint8_t buf[kDataHeaderSize];
  encode_brf_hdr(f->hdr, buf);
  // A header of the current format keeps what lies past its fields (the
  // rewrite word): only the update lock's holder writes either.
  const uint8_t* head = fd_cache_head(f->slot, kDataHeaderSize);
  if (head && f->hdr.version == kBrfVersion && ld_le16(head, kHdrVersionOff) == kBrfVersion)
    memcpy(buf + kDataHeaderFields, head + kDataHeaderFields, kDataHeaderSize - kDataHeaderFields);
  return write_status(kivo_pwrite(f->slot, buf, sizeof buf, 0), sizeof buf, __LINE__);
}

bool verify_eof(int slot, uint32_t expected) {
  if (check_fd(slot) < 0) return false;
  if (!brf_verify_eof) return true;
  struct stat st;
  if (kivo_fstat(slot, &st) != 0) return false;
  if (st.st_size == static_cast<off_t>(expected)) return true;
  sys_err("BRF", __LINE__, "Invalid eof(%d,%d) on %s", static_cast<int>(expected), static_cast<int>(st.st_size),
          brf_handle_nam(slot));
  return false;
}

namespace {

// The seek after the whole record at `seek` (its header's length repeated
// by its trailer, both below `limit`), 0 when none lies there.
// A read that failed on the way is kept in f->read_err.
uint64_t whole_record_at(BRF_FILE* f, uint64_t seek, uint64_t limit, rec_hdr* h) {
  if (seek + kRecOverhead > limit || brf_read_rec_hdr(f, static_cast<uint32_t>(seek), h) != BRF_OK) return 0;
  const uint64_t next = seek + h->length + kRecOverhead;
  uint8_t tr[kRecTrailerSize];
  if (h->length == 0 || next > limit || brf_read_exact(f, tr, sizeof tr, next - kRecTrailerSize) != BRF_OK ||
      ld_le32(tr, 0) != h->length)
    return 0;
  return next;
}

// Deleted or unfinished records looked past, after the header's end of
// file, for a live one.
constexpr int kPastEndLook = 16;

// Whether a live record (its link its own seek) starts whole at the
// header's end of file, or after a few whole records that are not live:
// the end was moved below the records, and the next append would write
// over them. A writer's record becomes live only after the header's end has
// moved past it, so the header read again after the record settles it.
bool records_past_end(BRF_FILE* f, uint64_t size) {
  const uint32_t eof = f->hdr.eofseek;
  uint64_t seek = eof, next = 0;
  rec_hdr h;
  for (int i = 0; i < kPastEndLook && (next = whole_record_at(f, seek, size, &h)) != 0; ++i, seek = next) {
    if (!(h.flags & (kRecDeleted | kRecNotUser)) && h.link == seek)
      return brfgethdr(f) == BRF_OK && f->hdr.eofseek == eof;
  }
  return false;
}

// Whether the header's end of file ends a record: the trailer before it
// must repeat the length of the record it closes.
bool ends_a_record(BRF_FILE* f) {
  const uint32_t eof = f->hdr.eofseek;
  if (eof <= kDataHeaderSize) return eof == kDataHeaderSize;
  uint8_t tr[kRecTrailerSize];
  if (eof < kDataHeaderSize + kRecOverhead || brf_read_exact(f, tr, sizeof tr, eof - kRecTrailerSize) != BRF_OK)
    return false;
  const uint64_t back = uint64_t{ld_le32(tr, 0)} + kRecOverhead;
  rec_hdr h;
  return back <= eof - kDataHeaderSize && whole_record_at(f, eof - back, eof, &h) == eof;
}

}  // namespace

bool brf_extent_fault(BRF_FILE* f, char* why, size_t n) {
  if (brf_relative(f) || f->hdr.version != kBrfVersion) return false;
  struct stat st;
  if (kivo_fstat(f->slot, &st) != 0) return false;
  const uint64_t size = static_cast<uint64_t>(st.st_size);
  f->read_err = 0;
  if (size < f->hdr.eofseek) {
    snprintf(why, n, "header's end of file %u lies past the file's end (%lld bytes)", f->hdr.eofseek,
             static_cast<long long>(st.st_size));
  } else if (size > f->hdr.eofseek && records_past_end(f, size)) {
    snprintf(why, n, "header's end of file %u lies below its records: whole records follow it (%llu bytes lie past it)",
             f->hdr.eofseek, static_cast<unsigned long long>(size - f->hdr.eofseek));
  } else if (!ends_a_record(f) && !f->read_err) {
    snprintf(why, n, "header's end of file %u is no record boundary: no whole record ends there", f->hdr.eofseek);
  } else {
    return false;
  }
  return true;
}

namespace {

// The system's text of the last system error, without the mark that opens it.
const char* sys_err_words() {
  const char* text = la_sys_err_text();
  if (!text) return "system error";
  return *text == '*' ? text + 1 : text;
}

}  // namespace

const char* brf_status_text(int st) {
  switch (st) {
    case BRF_OK: return "success";
    case BRF_BAD_CURSOR: return "key cursor not valid";
    case BRF_NOT_FOUND_FILE: return "file not found";
    case BRF_WRITE_ERR: return "short or failed write";
    case BRF_PERM: return "permission denied, or a key page cannot be read whole";
    case BRF_SEEK_ERR: return "seek failed";
    case BRF_FILE_LOCKED: return "file in use by another process";
    case BRF_EOF: return "end of file";
    case BRF_NO_RECORD: return "record not found";
    case BRF_DUP_KEY: return "duplicate key";
    case BRF_NO_MEMORY: return "out of memory";
    case BRF_PAGE_FULL: return "key page full or index damaged";
    case BRF_LOCK_HELD: return "a record lock is held already";
    case BRF_DELETED: return "record deleted";
    case BRF_BAD_DATA: return "a header or record cannot be read whole, or the file is of another kind";
    case BRF_KEY_CREATED: return "key created, its index not built";
    case BRF_NO_KEY: return "key not defined, or a key definition does not match";
    case BRF_LOCK_REFUSED: return "locked by another process";
    case BRF_NO_SPACE: return "no space left on the device";
    case BRF_TOO_MANY_FILES: return "too many open files";
    case BRF_SYS_ERR: return sys_err_words();
    case BRF_CLOSED: return "file not open";
    default: return "unknown status";
  }
}

ssize_t brf_pread(BRF_FILE* f, void* buf, size_t n, uint64_t off) {
  if (!f->wb.empty() && brf_wb_flush(f) != BRF_OK) return -1;
  size_t len = 0;
  const uint8_t* map = fd_cache_map_file(f->slot, off + n, &len);
  if (!map || off + n > len) return kivo_pread(f->slot, buf, n, static_cast<off_t>(off));
  memcpy(buf, map + off, n);
  return static_cast<ssize_t>(n);
}

const uint32_t* brf_rewrite_word(BRF_FILE* f) {
  if (brf_relative(f) || brf_alone(f)) return nullptr;
  const uint8_t* head = fd_cache_head(f->slot, kDataHeaderSize);
  return head ? reinterpret_cast<const uint32_t*>(head + kHdrRewriteOff) : nullptr;
}

uint32_t brf_rewrite_now(BRF_FILE* f) {
  if (brf_relative(f)) return 0;
  if (const uint8_t* head = fd_cache_head(f->slot, kDataHeaderSize))
    return __atomic_load_n(reinterpret_cast<const uint32_t*>(head + kHdrRewriteOff), __ATOMIC_ACQUIRE);
  uint8_t w[4];
  return kivo_pread(f->slot, w, sizeof w, kHdrRewriteOff) == static_cast<ssize_t>(sizeof w) ? ld_le32(w, 0) : 0;
}

namespace {

bool crosses_page(uint32_t seek, uint32_t len) {
  const uint64_t first = uint64_t{seek} + kRecHdrSize;
  return len > 0 && first / kAtomicSpan != (first + len - 1) / kAtomicSpan;
}

// Whether the live record at `seek` can be left half written by a kill.
bool tearable(BRF_FILE* f, uint32_t seek) {
  rec_hdr h;
  return !f->has_keys && brf_read_rec_hdr(f, seek, &h) == BRF_OK && !(h.flags & (kRecDeleted | kRecNotUser)) &&
         (h.link == seek || (h.link & kOwnerBit)) && crosses_page(seek, h.length);
}

int put_word(BRF_FILE* f, uint32_t v) {
  uint8_t w[4];
  st_le32(w, 0, v);
  return write_status(kivo_pwrite(f->slot, w, sizeof w, kHdrRewriteOff), sizeof w, __LINE__);
}

}  // namespace

int64_t brf_torn_record(BRF_FILE* f) {
  const uint32_t w = brf_rewrite_now(f);
  if (!(w & kRewriteBusy)) return -1;
  const uint32_t seek = w & ~kRewriteBusy;
  return seek >= kDataHeaderSize && tearable(f, seek) ? int64_t{seek} : -1;
}

int brf_body_rewrite(BRF_FILE* f, uint32_t seek, const uint8_t* body, uint32_t len) {
  const uint64_t at = uint64_t{seek} + kRecHdrSize;
  const bool shared = !brf_alone(f);
  if (!shared && !crosses_page(seek, len)) {
    return write_status(kivo_pwrite(f->slot, body, len, static_cast<off_t>(at)), len, __LINE__);
  }
  // The update lock is held: a busy word now is a dead writer's.
  const uint32_t before = brf_rewrite_now(f);
  const int64_t torn = brf_torn_record(f);
  if (int st = put_word(f, kRewriteBusy | seek)) return st;
  int st = write_status(kivo_pwrite(f->slot, body, len, static_cast<off_t>(at)), len, __LINE__);
  if (st != BRF_OK) return st;  // the word keeps naming the record, which may be half written
  // At rest a count: a reader that loaded it before this write sees it
  // moved. A count lost under a dead writer's word goes on from its seek.
  uint32_t next = ((before & ~kRewriteBusy) + 1) & ~kRewriteBusy;
  if (torn >= 0 && torn != seek) next = kRewriteBusy | static_cast<uint32_t>(torn);
  return put_word(f, next);
}

void brf_rewrite_settle(BRF_FILE* f) {
  const uint32_t w = brf_rewrite_now(f);
  if ((w & kRewriteBusy) && brf_torn_record(f) < 0)
    static_cast<void>(put_word(f, ((w & ~kRewriteBusy) + 1) & ~kRewriteBusy));
}

int brf_read_exact(BRF_FILE* f, void* buf, size_t n, uint64_t off) {
  ssize_t got = brf_pread(f, buf, n, off);
  if (got == static_cast<ssize_t>(n)) return BRF_OK;
  if (got >= 0) return BRF_BAD_DATA;
  if (f->wb_err) return f->read_err = f->wb_err;  // the appends behind were lost: that was said
  la_sys_err(kivo_read_error(f->slot, off, errno).c_str(), 0);
  return f->read_err = BRF_SYS_ERR;
}

int brf_record_damaged(BRF_FILE* f, uint32_t seek, const char* what) {
  std::string base = brf_handle_nam(f->slot);
  if (base.size() > 4 && base.compare(base.size() - 4, 4, ".dat") == 0) base.resize(base.size() - 4);
  char line[900];
  snprintf(line, sizeof line, "%s.dat is damaged: the record at %u %s; \"kivo -r=%s\" keeps its whole records",
           base.c_str(), seek, what, base.c_str());
  la_sys_err(line, 0);
  char brief[40];
  snprintf(brief, sizeof brief, "at %u", seek);
  store_damage_note(base, ".dat", brief);
  return BRF_SYS_ERR;
}

int brf_stamp_pair(BRF_FILE* f) {
  if (f->stamped || !f->key || brf_relative(f)) return BRF_OK;
  const int read = brfgethdr(f);
  if (read == BRF_SYS_ERR) return read;
  if (read != BRF_OK || f->hdr.version != kBrfVersion) return BRF_OK;
  // The next of a count: the same changes give the same files, and no two
  // opens that changed the pair leave one stamp.
  const uint32_t s = f->hdr.stamp + 1 ? f->hdr.stamp + 1 : 1;
  // A kill between the two writes leaves the stamps apart: the key file is
  // then refused and built again, never taken for current when it is not.
  if (int st = bt_set_stamp(f->key, s)) {
    f->stamped = st == BRF_NOT_FOUND_FILE;  // no key header to carry it: both stay unstamped
    return f->stamped ? BRF_OK : st;
  }
  uint8_t w[4];
  st_le32(w, 0, s);
  if (int st = write_status(kivo_pwrite(f->slot, w, sizeof w, kHdrStampOff), sizeof w, __LINE__)) return st;
  f->hdr.stamp = s;
  f->stamped = true;
  return BRF_OK;
}

bool brf_key_stale(BRF_FILE* f, char* why, size_t n) {
  if (!f->key || brf_relative(f)) return false;
  uint32_t key_stamp = bt_stamp(f->key);
  if (!f->hdr.stamp || !key_stamp || key_stamp == f->hdr.stamp) return false;
  // A writer may be between its two stamp writes: asked again with it done.
  if (!bt_share_at(f->slot, kUpdateLockByte, 1, 1, LOCK_UPDATE)) return false;
  const bool read = brfgethdr(f) == BRF_OK;
  key_stamp = bt_stamp(f->key);
  bt_share_at(f->slot, kUpdateLockByte, 0, 0, LOCK_UPDATE);
  if (!read || !f->hdr.stamp || !key_stamp || key_stamp == f->hdr.stamp) return false;
  snprintf(why, n,
           "it is not of its data file's present state (its stamp %08x, the data file's %08x): a copy of another "
           "time was put back",
           key_stamp, f->hdr.stamp);
  return true;
}

int brf_read_rec_hdr(BRF_FILE* f, uint32_t seek, rec_hdr* out) {
  uint8_t buf[kRecHdrSize];
  if (int st = brf_read_exact(f, buf, sizeof buf, seek)) return st;
  *out = decode_rec_hdr(buf);
  return BRF_OK;
}

int brf_write_rec_hdr(BRF_FILE* f, uint32_t seek, const rec_hdr& h) {
  uint8_t buf[kRecHdrSize];
  encode_rec_hdr(h, buf);
  return write_status(kivo_pwrite(f->slot, buf, sizeof buf, seek), sizeof buf, __LINE__);
}

int brf_record_count(BRF_FILE* f, uint32_t* count) {
  uint32_t len = f->hdr.rec_len;
  if (brf_relative(f)) {
    if (f->wb_err) return f->wb_err;
    if (!f->write_behind || f->rel_size < 0) {
      struct stat st;
      if (kivo_fstat(f->slot, &st) != 0) return brf_errno_status(errno, __LINE__);
      if (f->write_behind) f->rel_size = st.st_size;
      *count = static_cast<uint32_t>(static_cast<uint64_t>(st.st_size) / len);
      return BRF_OK;
    }
    *count = static_cast<uint32_t>(static_cast<uint64_t>(f->rel_size) / len);
    return BRF_OK;
  }
  uint32_t eof = f->hdr.eofseek;
  if (brf_fixed(f)) {
    *count = (eof - kDataHeaderSize) / (len + kRecOverhead);
    return BRF_OK;
  }
  if (eof <= kDataHeaderSize) {
    *count = 0;
    return BRF_OK;
  }
  if (f->count_eof == eof) {
    *count = f->count_at_eof;
    return BRF_OK;
  }
  uint8_t tr[kRecTrailerSize];
  uint64_t back = 0;
  f->read_err = 0;
  if (brf_read_exact(f, tr, sizeof tr, eof - kRecTrailerSize) == BRF_OK) back = uint64_t{ld_le32(tr, 0)} + kRecOverhead;
  rec_hdr last;
  if (back && back <= eof - kDataHeaderSize && whole_record_at(f, eof - back, eof, &last) == eof) {
    *count = last.recno + 1;
  } else {
    // An end of file that is no record boundary, or past the file's end:
    // the whole records before it are counted from the first, so they can
    // still be read.
    *count = 0;
    for (uint64_t seek = kDataHeaderSize; (seek = whole_record_at(f, seek, eof, &last)) != 0;) ++*count;
  }
  // A count from reads that failed is no count: nothing is numbered by it.
  if (f->read_err) return f->read_err;
  f->count_eof = eof;
  f->count_at_eof = *count;
  return BRF_OK;
}

namespace {

// Version 0 kept the record length in the low half of the link word. Walks
// the records, moves it into the length field and finds the end of file.
int upgrade_from_v0(BRF_FILE* f) {
  struct stat st;
  if (kivo_fstat(f->slot, &st) != 0) return brf_errno_status(errno, __LINE__);
  uint64_t size = static_cast<uint64_t>(st.st_size);
  uint64_t seek = kDataHeaderSize;
  for (;;) {
    rec_hdr h;
    if (seek > kMaxSeek || brf_read_rec_hdr(f, static_cast<uint32_t>(seek), &h) != BRF_OK) break;
    uint16_t len = static_cast<uint16_t>(h.link & 0xFFFF);
    uint64_t next = seek + len + kRecOverhead;
    if (next > size || next > kMaxSeek) break;  // a torn last record is no record
    h.length = len;
    // An active record's link is its own seek in the current format.
    if (!(h.flags & (kRecDeleted | kRecNotUser))) h.link = static_cast<uint32_t>(seek);
    int rc = brf_write_rec_hdr(f, static_cast<uint32_t>(seek), h);
    if (rc != BRF_OK) return rc;
    seek = next;
  }
  f->hdr.eofseek = static_cast<uint32_t>(seek);
  f->hdr.version = 1;
  f->hdr.flags |= kHdrHasVersion;
  verify_eof(f->slot, f->hdr.eofseek);
  return brfputhdr(f);
}

}  // namespace

int brf_rebuild_free_list(BRF_FILE* f) {
  uint32_t old_eof = f->hdr.eofseek;
  const bool current = f->hdr.version == kBrfVersion;
  struct stat st;
  if (kivo_fstat(f->slot, &st) != 0) return brf_errno_status(errno, __LINE__);
  if (old_eof < kDataHeaderSize || old_eof > kMaxSeek || static_cast<off_t>(old_eof) > st.st_size) return BRF_BAD_DATA;
  f->hdr.freelist = 0;
  int rc = brfputhdr(f);
  if (rc != BRF_OK) return rc;
  verify_eof(f->slot, f->hdr.eofseek);
  uint64_t seek = kDataHeaderSize;
  while (seek < old_eof) {
    rec_hdr h;
    if (brf_read_rec_hdr(f, static_cast<uint32_t>(seek), &h) != BRF_OK) return BRF_BAD_DATA;
    uint64_t next = seek + h.length + kRecOverhead;
    if (next > old_eof) return BRF_BAD_DATA;
    // Only the current format moves records that way; an older file's
    // blocks link elsewhere and are freed like any other.
    const bool moving = current && !(h.flags & kRecDeleted) && (h.flags & kRecNotUser) && h.link != seek;
    if ((h.flags & (kRecDeleted | kRecNotUser)) && !moving) {
      rc = brf_rcd_free_any(f, static_cast<uint32_t>(seek), true);
      if (rc != BRF_OK) return rc;
    }
    seek = next;
  }
  return brfputhdr(f);  // the blocks appended moved the end of file
}

int brf_upd_ver(BRF_FILE* f) {
  if (brf_relative(f)) return BRF_BAD_DATA;
  f->count_eof = 0;  // counted from older-format headers
  if (f->hdr.version == kVersionUnread) brfinithdr(&f->hdr, f->open_rec_len);
  if (f->hdr.version > kBrfVersion) return BRF_BAD_DATA;  // a newer format: leave it alone
  if (f->hdr.version == 0) {
    int rc = upgrade_from_v0(f);
    if (rc != BRF_OK) return rc;
  }
  if (f->hdr.version < kBrfVersion) {
    int rc = brf_rebuild_free_list(f);
    if (rc != BRF_OK) return rc;
  }
  f->hdr.version = kBrfVersion;
  f->hdr.flags |= kHdrHasVersion;
  return brfputhdr(f);
}

}  // namespace kivo
