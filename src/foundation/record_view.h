// The base of the named views of stored records: a view names a record's
// fields, this base reads them at their offsets, little endian, so that
// logic reads `im.rows()`, never `ld_le32(im, 8)`. A view holds only a
// pointer; the record must outlive it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "foundation/bytes.h"

namespace kivo {

class le_record_view {
 public:
  explicit le_record_view(const uint8_t* rec) : rec_(rec) {}
  const uint8_t* data() const { return rec_; }

 protected:
  uint8_t u8(size_t off) const { return rec_[off]; }
  uint16_t u16(size_t off) const { return ld_le16(rec_, off); }
  uint32_t u32(size_t off) const { return ld_le32(rec_, off); }
  // A fixed-width text of the record: blank-padded, not terminated.
  const char* text(size_t off) const { return reinterpret_cast<const char*>(rec_ + off); }

 private:
  const uint8_t* rec_;
};

}  // namespace kivo
