// Whole-file preload: a small file without keys read into memory once and
// then delivered record after record from there, without a read per record.
// The walk is bounded by the buffer: a damaged length ends it, never reads
// past it.
#include <sys/stat.h>

#include <cstring>
#include <new>

#include "foundation/bytes.h"
#include "store/record_ops.h"

namespace kivo {

bool uio_read_fast = false;
const uint8_t* brf_preload_buf = nullptr;

void brf_preload(BRF_RCB* r) {
  BRF_FILE* f = r->file;
  if (r->cursor || r->preload || brf_fixed(f)) return;
  struct stat st;
  if (kivo_fstat(f->slot, &st) != 0 || st.st_size < static_cast<off_t>(kDataHeaderSize) ||
      st.st_size > static_cast<off_t>(kMaxSeek))
    return;
  if (brf_preload_max >= 0 && st.st_size > brf_preload_max) return;
  uint32_t size = static_cast<uint32_t>(st.st_size);
  uint8_t* buf = new (std::nothrow) uint8_t[size];
  if (!buf) return;
  if (kivo_pread(f->slot, buf, size, 0) != static_cast<ssize_t>(size)) {
    delete[] buf;
    return;
  }
  r->preload = buf;
  r->preload_size = size;
  r->preload_pos = kDataHeaderSize;
}

int preload_nxt(BRF_RCB* r, uint8_t* buf, size_t size, uint32_t* len) {
  *len = 0;
  r->stored_len = 0;
  uint32_t pos = r->preload_pos;
  if (pos >= r->preload_size || r->preload_size - pos < kRecHdrSize) {
    r->status = BRF_EOF;
    return BRF_EOF;
  }
  rec_hdr h = decode_rec_hdr(r->preload + pos);
  if (uint64_t{pos} + h.length + kRecOverhead > r->preload_size) {
    r->status = BRF_BAD_DATA;
    return BRF_BAD_DATA;
  }
  const uint8_t* body = r->preload + pos + kRecHdrSize;
  uint32_t n = static_cast<uint32_t>(std::min<size_t>(size, h.length));
  if (uio_read_fast) brf_preload_buf = body;
  else memcpy(buf, body, n);
  r->preload_pos = pos + h.length + kRecOverhead;
  r->cur_rec = r->last_rec = h.recno;
  r->last_seek = pos;
  int st = (h.flags & (kRecDeleted | kRecNotUser)) ? BRF_DELETED : BRF_OK;
  if (st == BRF_OK) {
    *len = n;
    r->stored_len = h.length;
  }
  r->status = st;
  return st;
}

}  // namespace kivo
