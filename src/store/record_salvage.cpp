// The salvage of a data file whose records do not reach the end of file its
// header claims: a file cut short, or one with a hole where a record was.
//
// The walk from the first record goes on while each record is whole: its
// header reads, its flags and length are a record's of this file, and its
// trailer repeats its length. Every record before the first that is not
// whole is kept; the end of file is set after the last of them. What lies
// from there to the file's end is first copied to a file beside it, on disk,
// so nothing is dropped unseen; the file itself never shrinks (another
// process may have it mapped). The free list is then built again from the
// records kept, and the keys are rebuilt by the repair that follows.
//
// Caller: brfrepair (record_repair.cpp), under the update lock.
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <vector>

#include "foundation/bytes.h"
#include "foundation/os_calls.h"
#include "store/record_ops.h"
#include "store/store.h"

namespace kivo {

namespace {

constexpr uint8_t kRecFlags = kRecDeleted | kRecNotUser;
constexpr size_t kCopyChunk = 1 << 20;

// The seek after the record at `seek` when it is whole below `limit`; 0
// when it is not.
uint64_t whole_record_end(BRF_FILE* f, uint64_t seek, uint64_t limit, rec_hdr* h) {
  if (seek + kRecOverhead > limit || brf_read_rec_hdr(f, static_cast<uint32_t>(seek), h) != BRF_OK) return 0;
  if (h->flags & ~kRecFlags) return 0;
  const bool user = !(h->flags & kRecFlags);
  if (user && (brf_fixed(f) ? h->length != f->hdr.rec_len : h->length == 0)) return 0;
  if (!user && h->length > std::max<uint32_t>(kMaxRecordLength, free_block_body_size(f))) return 0;
  const uint64_t next = seek + h->length + kRecOverhead;
  uint8_t tr[kRecTrailerSize];
  if (next > limit || brf_pread(f, tr, sizeof tr, next - kRecTrailerSize) != static_cast<ssize_t>(sizeof tr)) return 0;
  return ld_le32(tr, 0) == h->length ? next : 0;
}

// The whole records from the first one up to `limit`.
struct whole_records {
  uint64_t end = kDataHeaderSize;  // after the last whole record
  uint32_t active = 0;             // user records among them
  uint32_t others = 0;             // deleted, free-list and unfinished records
};

whole_records walk_whole(BRF_FILE* f, uint64_t limit) {
  whole_records w;
  for (;;) {
    rec_hdr h;
    const uint64_t next = whole_record_end(f, w.end, limit, &h);
    if (!next) return w;
    ++((h.flags & kRecFlags) ? w.others : w.active);
    w.end = next;
  }
}

// A name beside the data file that no file has yet: "<base>.aside", else
// "<base>.aside.2", ".3" ...
std::string aside_name(const std::string& base) {
  std::string name = base + ".aside";
  struct stat st;
  for (int n = 2; os_sys.stat(name.c_str(), &st) == 0; ++n) name = base + ".aside." + std::to_string(n);
  return name;
}

// Copies bytes [from, to) of the data file into the new file `path`, on
// disk before it returns: 0, or the status of the failure (the partial copy
// is removed then).
int set_aside(BRF_FILE* f, uint64_t from, uint64_t to, const std::string& path) {
  const int fd = os_sys.open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) return brf_errno_status(errno, __LINE__);
  std::vector<uint8_t> buf(kCopyChunk);
  int st = BRF_OK;
  for (uint64_t at = from; at < to && st == BRF_OK; at += buf.size()) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(buf.size(), to - at));
    if (kivo_pread(f->slot, buf.data(), n, static_cast<off_t>(at)) != static_cast<ssize_t>(n)) st = BRF_BAD_DATA;
    else if (os_sys.pwrite(fd, buf.data(), n, static_cast<off_t>(at - from)) != static_cast<ssize_t>(n))
      st = brf_errno_status(errno, __LINE__);
  }
  if (st == BRF_OK && os_sys.fsync(fd) != 0) st = brf_errno_status(errno, __LINE__);
  os_sys.close(fd);
  if (st != BRF_OK) os_sys.unlink(path.c_str());
  return st;
}

// The file cut back to its whole records (update lock held): the rest set
// aside, then the header's end of file and the free list. The line says
// what was kept and where the rest went.
int cut_back(BRF_FILE* f, const std::string& base, const whole_records& w, uint64_t size, FILE* out) {
  const uint32_t old_eof = f->hdr.eofseek;
  const uint64_t aside = size > w.end ? size - w.end : 0;
  const std::string path = aside ? aside_name(base) : std::string();
  if (aside)
    if (int st = set_aside(f, w.end, size, path)) return st;
  f->hdr.eofseek = static_cast<uint32_t>(w.end);
  f->hdr.freelist = 0;
  f->count_eof = 0;
  if (int st = brfputhdr(f)) return st;
  if (int st = brf_rebuild_free_list(f)) return st;
  fprintf(out, "salvaged %s: %u records kept", base.c_str(), w.active);
  if (aside) fprintf(out, ", %llu bytes set aside in %s", static_cast<unsigned long long>(aside), path.c_str());
  else fprintf(out, ", nothing set aside");
  fprintf(out, " (the records end at %llu; the header's end of file was %u in a file of %llu bytes)\n",
          static_cast<unsigned long long>(w.end), old_eof, static_cast<unsigned long long>(size));
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
  if (!bt_share_at(f->slot, kUpdateLockByte, 1, 1, LOCK_UPDATE)) {
    brfclose(f);
    return BRF_LOCK_REFUSED;
  }
  struct stat sb;
  st = brfgethdr(f);
  if (st == BRF_OK && kivo_fstat(f->slot, &sb) != 0) st = brf_errno_status(errno, __LINE__);
  if (st == BRF_OK) {
    const uint64_t size = static_cast<uint64_t>(sb.st_size);
    const whole_records w = walk_whole(f, std::min<uint64_t>(f->hdr.eofseek, size));
    // A file cut inside its header block lacks its header's end of file too.
    if (w.end != f->hdr.eofseek || f->hdr.eofseek > size) st = cut_back(f, base, w, size, out);
  }
  bt_share_at(f->slot, kUpdateLockByte, 0, 0, LOCK_UPDATE);
  brfclose(f);
  return st;
}

}  // namespace kivo
