// Element defaults and mask tests.
#include "types/element.h"

#include <cstring>

#include "foundation/bytes.h"
#include "foundation/text.h"

namespace kivo {

namespace {

// The text fields of an element, blank in a made-up one.
constexpr struct {
  size_t off;
  size_t len;
} kTextFields[] = {
    {ELEM_NAME, 22},      {ELEM_DOMAIN, 22},    {ELEM_FILE, 8},       {ELEM_LABEL, 30},      {ELEM_HEAD1, 30},
    {ELEM_HEAD2, 30},     {ELEM_RNG_LO, 30},    {ELEM_RNG_HI, 30},    {ELEM_LKP_AP, 3},      {ELEM_LKP_FILE, 8},
    {ELEM_LKP_FIELD, 22}, {ELEM_INIT_TEXT, 60}, {ELEM_NULL_TEXT, 33}, {ELEM_MASK, kMaskLen}, {ELEM_ALT_MASK, kMaskLen},
    {ELEM_DOM_RNG1, 30},  {ELEM_DOM_RNG2, 30},
};

}  // namespace

bool BLANK_MSK(const char* mask) { return ut_is_all(mask, ' ', kMaskLen) || ut_is_all(mask, '\0', kMaskLen); }

void INIT_ALP_DELEM(uint8_t* elem, uint16_t length) {
  memset(elem, 0, kElementSize);
  elem[ELEM_TYPE] = 1;
  st_le16(elem, ELEM_SIZE, length);
  elem[ELEM_CLASS] = '2';
  SET_BLANK(elem + ELEM_AREA_CLASS, 3);
  SET_BLANK(elem + ELEM_MASK, 2 * kMaskLen);
  elem[ELEM_SIGNED] = '0';
}

void INIT_NUM_DELEM(uint8_t* elem, uint16_t length, uint8_t digits) {
  memset(elem, 0, kElementSize);
  for (const auto& f : kTextFields) SET_BLANK(elem + f.off, f.len);
  elem[ELEM_TYPE] = 5;
  st_le16(elem, ELEM_SIZE, length);
  elem[ELEM_SIGNED] = '1';
  elem[ELEM_HI] = digits;
  elem[ELEM_LO] = 0;
  memcpy(elem + ELEM_MASK, "-9999999999", 11);
}

}  // namespace kivo
