// Reading key-file bytes into a caller's buffer that remembers what it holds:
// the header, a page, or a page's 8-byte head. A buffer read before is
// re-validated by the age the file keeps in those bytes, so an unchanged
// page costs a read of its head only.
//
// A descriptor whose length does not fit its kind, or a cursor's own page
// slot read as anything but a page, is a fault of the caller: reported as an
// internal error, nothing read.
#include <cstring>

#include "foundation/bytes.h"
#include "foundation/sys_err.h"
#include "store/btree.h"
#include "store/btree_io.h"

namespace kivo {

namespace {

// Bytes a buffer of that kind holds, and the texts of a misfit.
uint32_t kind_length(int type) {
  switch (type) {
    case kBufHeader: return kBtHdrSize;
    case kBufPage: return kPageSize;
    case kBufPageHead: return kPgHdrSize;
  }
  return 0;
}

const char* misfit_text(int type) {
  if (type == kBufHeader) return "bad hdr len";
  if (type == kBufPageHead) return "bad idx hdr len";
  return "bad idx len";
}

bool is_cursor_slot(const BT_CURSOR* c, const uint8_t* p) {
  for (const bt_page_slot& s : c->pages)
    if (p >= s.data && p < s.data + sizeof s.data) return true;
  return false;
}

bool shape_ok(BT_CURSOR* c, const bt_buf& b) {
  const char* what = nullptr;
  if (is_cursor_slot(c, b.data) && b.type != kBufPage) what = "bwork type";
  else if (kind_length(b.type) == 0 || b.len != kind_length(b.type)) what = misfit_text(b.type);
  if (!what) return true;
  sys_err("BT", __LINE__, "%s", what);
  c->status = BRF_SYS_ERR;
  return false;
}

// Reads `n` bytes at `off` into `to`: true, or false with the status set.
bool read_exact(BT_CURSOR* c, uint32_t off, uint8_t* to, size_t n) {
  long got = bt_io_read(c->file->io, off, to, n);
  if (got == static_cast<long>(n)) return true;
  c->status = got < 0 ? BRF_SEEK_ERR : BRF_PERM;
  return false;
}

}  // namespace

int biread(BT_CURSOR* c, bt_buf* b, uint32_t seek, bool* changed) {
  *changed = false;
  if (!shape_ok(c, *b)) return 0;
  size_t age_off = b->type == kBufHeader ? kHdrAge : kPgAge;
  size_t head = b->type == kBufHeader ? 4 : kPgHdrSize;
  if (b->age != 0 && b->seek == seek) {
    if (!read_exact(c, seek, b->data, head)) return 0;
    if (ld_le16(b->data, age_off) == b->age) return 1;  // the rest still stands
    if (!read_exact(c, static_cast<uint32_t>(seek + head), b->data + head, b->len - head)) return 0;
  } else if (!read_exact(c, seek, b->data, b->len)) {
    return 0;
  }
  b->seek = seek;
  b->age = ld_le16(b->data, age_off);
  *changed = true;
  return 1;
}

}  // namespace kivo
