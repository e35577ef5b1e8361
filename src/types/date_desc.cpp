// Standard-date descriptors of the universal and binary stored forms.
#include "types/date_desc.h"

namespace kivo {

namespace {

std_date stored_desc(uint8_t type, uint8_t* raw, uint16_t len) {
  std_date d{};
  d.raw_len = len;
  d.raw = raw;
  d.first = LVL_CENTURY;
  d.last = LVL_HSEC;
  d.type = type;
  d.h24 = 1;
  return d;
}

}  // namespace

void UNIVERSAL_DATE(std_date* desc, uint8_t* buffer, uint16_t length) {
  *desc = stored_desc(DT_UNIVERSAL, buffer, length);
}

int GREG_BIN_TO_STD(std_date* desc, uint8_t* binary) {
  *desc = stored_desc(DT_BIN, binary, 8);
  return cv_ntos_date(desc);
}

}  // namespace kivo
