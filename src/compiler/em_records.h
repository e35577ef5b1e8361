// Record layouts of the module's sub-files, as named byte offsets (read and
// written through the little-endian helpers; records are not aligned). The
// compiled-file record (FI) is in em_access.h; IN is an instruction block
// (inst.h); CN records are constants in their target's stored form; IT is the
// native CITM (em_item.h) and CV a native CNV.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kivo {

// FL: compiled field.
enum : size_t {
  CFLD_AP = 0,
  CFLD_NAME = 3,
  CFLD_ELEM = 36,
  CFLD_OFF = 40,
  CFLD_KIND = 44,
  CFLD_TYPE = 45,
  CFLD_SIZE = 46,
  CFLD_OCCURS = 48,
  CFLD_SIGNED = 50,
  CFLD_HI = 51,
  CFLD_LO = 52,
  CFLD_AREA = 56,
  CFLD_INIT = 60,
  CFLD_NULL = 64,
  CFLD_STAMP = 68,
  CFLD_LEN = 88
};
// AP: compiled application; thirteen u32 area counts from CAP_AREA_CNT.
enum : size_t { CAP_AP = 0, CAP_VER = 3, CAP_DATE_MASK = 5, CAP_CURRENCY = 65, CAP_AREA_CNT = 72, CAP_LEN = 124 };
// LF: AREA_DESC.
enum : size_t {
  DLF_KIND = 0,
  DLF_AP = 1,
  DLF_NO = 4,
  DLF_REL_OFF = 8,
  DLF_SIZE = 12,
  DLF_AREA = 16,
  DLF_TYPE = 20,
  DLF_INIT = 21,
  DLF_FLAGS = 22,
  DLF_CLASS = 23,
  DLF_LEN = 28
};
// The native area descriptor: the LF record as it lies (every field at its
// stored offset on this little-endian build).
struct AREA_DESC {
  uint8_t kind;
  char ap[3];
  uint32_t number;
  uint32_t rel_off;  // non-zero: inside the area before it
  uint32_t size;
  uint32_t area_no;  // index of pcb_areas
  uint8_t type;      // 0 data, 1 file block, 2 and above private
  uint8_t init;      // 1 the file's initial record, 2 the field's constant, else zeroes
  uint8_t flags;
  uint8_t cls;  // pass and receive class bits 0x02-0x40
  uint8_t spare[4];
};
static_assert(sizeof(AREA_DESC) == DLF_LEN && offsetof(AREA_DESC, area_no) == DLF_AREA);
static_assert(offsetof(AREA_DESC, cls) == DLF_CLASS && offsetof(AREA_DESC, rel_off) == DLF_REL_OFF);

// FR: compiled frame; event point n (21-25) at word n + 6.
enum : size_t {
  CFRM_KIND = 0,
  CFRM_NO = 4,
  CFRM_DESIGN_NO = 8,
  CFRM_PART = 12,
  CFRM_PRESENT = 13,
  CFRM_SCROLL = 14,
  CFRM_FIRST_IMG = 16,
  CFRM_IMG_CNT = 20,
  CFRM_QPARM_WORD = 24,
  CFRM_QPARM_BYTE = 28,
  CFRM_SLCT = 32,
  CFRM_RANGE_AP = 73,
  CFRM_RANGE_FLD = 76,
  CFRM_COUNT = 98,
  CFRM_EP = 108,
  CFRM_LEN = 140
};
// IM: compiled image; event point n (41-44) at word n - 1.
enum : size_t {
  CIMG_FRM = 0,
  CIMG_NO = 4,
  CIMG_KIND = 5,
  CIMG_ROWS = 8,
  CIMG_COLS = 12,
  CIMG_WROW = 16,
  CIMG_WCOL = 20,
  CIMG_SCROLL = 24,
  CIMG_COMPRESS = 25,
  CIMG_SEP = 26,
  CIMG_BLANK_BEFORE = 27,
  CIMG_BLANK_AFTER = 28,
  CIMG_START_COL = 30,
  CIMG_TEXT = 32,
  CIMG_FIRST_ITM = 36,
  CIMG_ITM_CNT = 40,
  CIMG_FIRST_CHR = 44,
  CIMG_CHR_CNT = 48,
  CIMG_CURSOR = 52,
  CIMG_INDEX = 144,
  CIMG_EP = 160,
  CIMG_LEN = 200
};
// CR: characteristic.
enum : size_t {
  CCHR_IMG = 0,
  CCHR_ROW = 4,
  CCHR_COL = 8,
  CCHR_ROWS = 12,
  CCHR_COLS = 16,
  CCHR_ATTR = 20,
  CCHR_CHAR = 24,
  CCHR_ITM_ROW = 28,
  CCHR_ITM_COL = 32,
  CCHR_LEN = 40
};
static_assert(CCHR_ITM_COL + 4 <= CCHR_LEN);
// CL: compiled child; event point n (61-62) at word n - 19.
enum : size_t {
  CCHLD_NO = 0,
  CCHLD_FRM = 4,
  CCHLD_IMG = 8,
  CCHLD_OPTION = 12,
  CCHLD_ITM_ROW = 16,
  CCHLD_ON_CHANGE = 17,
  CCHLD_ON_DELETE = 18,
  CCHLD_POS = 19,
  CCHLD_INVOC = 20,
  CCHLD_CNSTR = 164,
  CCHLD_EP = 168,
  CCHLD_LEN = 176
};
// TO: event-point row; TP: trap record.
enum : size_t { TOC_EP = 0, TOC_SLOT = 1, TOC_OWNER = 2, TOC_FIRST = 4, TOC_LAST = 8, TOC_LEN = 12 };
enum : size_t { TRAP_CODE = 0, TRAP_SEQ = 4, TRAP_EP = 8, TRAP_SLOT = 10, TRAP_LEN = 12 };
// LI: library subroutine; PK: key field of the PCF; SR: summary reference.
enum : size_t { CLIB_AP = 0, CLIB_NAME = 3, CLIB_ENTRY = 36, CLIB_LEN = 48 };
enum : size_t { PK_KEY = 0, PK_SEG = 2, PK_FLD = 4, PK_LEN = 8 };
enum : size_t {
  SR_FLD = 0,
  SR_FRM = 4,
  SR_SEQ = 8,
  SR_TYPE = 10,
  SR_AP = 11,
  SR_FLD_LEN = 14,
  SR_AREA = 16,
  SR_OFF = 20,
  SR_LEN = 24
};
// Constraint template (a CN record): u16 count, then entries of 12 bytes.
enum : size_t {
  CNSTR_COUNT = 0,
  CNSTR_FIRST = 2,
  CNSTR_AREA = 0,
  CNSTR_OFF = 2,
  CNSTR_FLD_LEN = 4,
  CNSTR_CHILD_OFF = 6,
  CNSTR_FLAG = 8,
  CNSTR_ENTRY = 12
};
static_assert(CNSTR_FLAG < CNSTR_ENTRY && CNSTR_COUNT + 2 == CNSTR_FIRST);

static_assert(CFRM_EP + 5 * 4 == 128 && CIMG_EP + 4 * 4 == 176 && CCHLD_EP + 2 * 4 == CCHLD_LEN);
static_assert(CCHLD_INVOC + 144 == CCHLD_CNSTR && CAP_AREA_CNT + 13 * 4 == CAP_LEN);

}  // namespace kivo
