// Bulk append: whole records gathered in memory and written to the end of a
// variable-length data file without keys in one call, then the header.
//
// Only a file that is alone takes it (no other process reads the file while
// the records are in memory), and only one without keys (no index to keep in
// step). The order on disk is that of a single append: the records first,
// then the header that moves the end of file past them, so a crash between
// the two leaves the file as it was before the flush. Caller: flat import.
#include <cerrno>
#include <cstring>

#include "foundation/bytes.h"
#include "store/brf_status.h"
#include "store/data_file.h"

namespace kivo {

namespace {

// Bytes gathered before a write.
constexpr size_t kBulkBuffer = 256 * 1024;
// Bytes written before their device write is started: the import's fsync at
// the end then waits only for the last of them.
constexpr uint32_t kWriteback = 8 << 20;

}  // namespace

bool brf_bulk_ok(BRF_FILE* f) { return f && !f->has_keys && !brf_fixed(f) && brf_alone(f); }

int brf_bulk_begin(brf_bulk* b, BRF_FILE* f) {
  int rc = brfgethdr(f);
  if (rc != BRF_OK) return rc;
  if (f->hdr.version != kBrfVersion) return BRF_BAD_DATA;
  uint32_t count = 0;
  if ((rc = brf_record_count(f, &count)) != BRF_OK) return rc;
  b->file = f;
  b->buf.clear();
  b->buf.reserve(kBulkBuffer + kMaxRecordLength + kRecOverhead);
  b->start = f->hdr.eofseek;
  b->sent = b->start;
  b->count = count;
  return BRF_OK;
}

int brf_bulk_put(brf_bulk* b, const uint8_t* rec, uint32_t len) {
  if (len == 0 || len > kMaxRecordLength) return BRF_BAD_DATA;
  uint64_t at = uint64_t{b->start} + b->buf.size();
  if (at + len + kRecOverhead > kMaxSeek) return BRF_NO_SPACE;
  size_t off = b->buf.size();
  b->buf.resize(off + len + kRecOverhead);
  uint8_t* p = b->buf.data() + off;
  encode_rec_hdr(rec_hdr{0, 0, static_cast<uint16_t>(len), static_cast<uint32_t>(at), b->count}, p);
  memcpy(p + kRecHdrSize, rec, len);
  st_le32(p, kRecHdrSize + len, len);
  ++b->count;
  return b->buf.size() >= kBulkBuffer ? brf_bulk_flush(b) : BRF_OK;
}

int brf_bulk_flush(brf_bulk* b) {
  if (b->buf.empty()) return BRF_OK;
  BRF_FILE* f = b->file;
  errno = 0;
  ssize_t got = kivo_pwrite(f->slot, b->buf.data(), b->buf.size(), b->start);
  if (got != static_cast<ssize_t>(b->buf.size()))
    return got < 0 ? brf_errno_status(errno, __LINE__) : (errno == ENOSPC ? BRF_NO_SPACE : BRF_WRITE_ERR);
  brf_hdr before = f->hdr;
  f->hdr.eofseek = b->start + static_cast<uint32_t>(b->buf.size());
  if (int rc = brfputhdr(f)) {
    f->hdr = before;
    return rc;
  }
  f->count_eof = f->hdr.eofseek;
  f->count_at_eof = b->count;
  b->start = f->hdr.eofseek;
  b->buf.clear();
  if (b->start - b->sent >= kWriteback) {
    kivo_start_writeback(f->slot, b->sent, b->start - b->sent);
    b->sent = b->start;
  }
  return BRF_OK;
}

}  // namespace kivo
