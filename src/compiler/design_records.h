// Named offsets of the design records the process compiler reads and the
// design-record builder writes: BITMAP, PROCESS, FRAME, CHILD, SELECT,
// IMAGE, ROW, ITEM and CHR; FILE, RECORD and INITIAL come from
// fm/dict_records.h, which the file manager reads too. ELEMENT is
// types/element.h, TOKEN fm/token_cache.h, STMT compiler/stmt_layout.h.
//
// Each is a stored format: the offsets never move, and the size of each
// record is pinned next to its table. Texts are blank-padded; binaries are
// little-endian.
#pragma once

#include <cstddef>
#include <cstdint>

#include "fm/dict_records.h"

namespace kivo {

// BITMAP (212; key data area, page): 400 sequence numbers per page.
enum : size_t { BM_AREA = 0, BM_PAGE = 4, BM_HIGH = 8, BM_BITS = 12 };
constexpr size_t kBitmapSize = 212;
constexpr uint32_t kBitmapPerPage = 400;
constexpr uint32_t kAreaSpan = 1000000;  // number = data area x 1,000,000 + sequence

// PROCESS (440; key type, name).
constexpr size_t kProcRecSize = 440;
enum : size_t {
  PR_TYPE = 0,
  PR_NAME = 1,          // 30
  PR_ACTIVE = 31,       // "1"
  PR_DESC = 39,         // 30
  PR_SAVE = 70,         // "1" save the module and its debug file
  PR_STAMP = 80,        // 8: the design stamp
  PR_SECR = 90,         // 4
  PR_PCF_UPDATE = 106,  // "1"
  PR_PCF_HOLD = 107,    // "1"
  PR_PCF_REQ = 108,     // "1"
  PR_PCF_KEY = 109,
  PR_RCV_CLASS = 110,
  PR_PCF_AP = 111,      // 3
  PR_PCF_NAME = 114,    // 8
  PR_ALT_KEY = 133,     // 22
  PR_ALT_AP = 155,      // 3
  PR_ALT_FILE = 158,    // 8
  PR_TITLE = 246,       // 60
  PR_RPT_AP = 306,      // 3: the report process of this one (blank: none)
  PR_RPT_NAME = 309,    // 30
  PR_PRINT_FILE = 368,  // 8
  PR_ALOG = 376,
};
static_assert(PR_ALOG < kProcRecSize);

// PARAM (232, no key, record 1): the application's start menus, the first
// for databases of kind 1 and 3 when theirs is blank.
constexpr size_t kParamRecSize = 232;
enum : size_t { PA_START = 38, PA_START_KIND1 = 68, PA_START_KIND3 = 98 };  // 30 each
static_assert(PA_START_KIND3 + 30 <= kParamRecSize);

// FRAME (976; keys type, name, part, number; type, name, kind, number).
constexpr size_t kFrameRecSize = 976;
enum : size_t {
  FR_TYPE = 0,
  FR_NAME = 1,
  FR_PART = 31,
  FR_NUMBER = 32,   // u32
  FR_ENABLED = 66,  // 1
  FR_RANGE_AP = 70,
  FR_RANGE_FLD = 73,
  FR_COUNT = 95,    // u16
  FR_SELECT = 100,  // 800
  FR_QPARM_WORD = 900,
  FR_QPARM_BYTE = 904,
  FR_KIND = 975,  // 0 detail, 1 heading, 2 total
};

// CHILD (188; key 0-43 as STMT's 0-43). Byte 117, free in the stored
// layout, is this design's: the update byte a report ranged on a query
// attaches by (INVOC byte 100; 0 reuses the query's selection, 1 while its
// criteria are unchanged, 2 and 3 build it again), so that a designer can
// ask for a fresh selection on every run.
constexpr size_t kChildRecSize = 188;
enum : size_t {
  CH_CHILD_NO = 40,  // u32
  CH_AP = 44,
  CH_PROC_TYPE = 47,
  CH_NAME = 48,  // 30
  CH_INVOC = 78,
  CH_OPTION = 79,
  CH_ON_CHANGE = 80,
  CH_ON_DELETE = 81,
  CH_ONE_SHOT = 82,
  CH_RANGE_AP = 84,
  CH_RANGE_NAME = 87,
  CH_UPDATE = 117,  // 0-3, copied to INVOC byte 100
  CH_LINK_CNT = 120,
  CH_PCF_KEY = 121,
  CH_LINK = 124,  // 2 x {application 3, field 22, u16 occurrence at +25}, 32 apart
};
constexpr size_t kChildLinkSize = 32;

// SELECT (144; key 0-47 as STMT's).
constexpr size_t kSelectRecSize = 144;
enum : size_t { SL_SEQ = 44, SL_KIND = 48, SL_BODY = 49 };

// IMAGE (228; key type, name, frame class, frame sequence, image number).
constexpr size_t kImageRecSize = 228;
enum : size_t {
  IM_NUMBER = 36,
  IM_KIND = 37,  // 1 screen, 2 pop-up, 3 report
  IM_SCROLL = 38,
  IM_COMPRESS = 39,
  IM_SEPARATOR = 40,
  IM_BLANK_BEFORE = 41,
  IM_BLANK_AFTER = 42,
  IM_WIN_ROW = 44,    // u32
  IM_WIN_COL = 48,    // u32
  IM_START_COL = 52,  // u32
  IM_ROWS = 80,       // u32
  IM_COLS = 84,       // u32
  IM_CURSOR = 104,    // 10 x {u32 row, u32 column}
};
constexpr size_t kImageKeyLen = 37;

// ROW (296, variable), ITEM (204), CHR (64): the image key, language at 37.
constexpr size_t kRowRecSize = 296, kItemRecSize = 204, kChrRecSize = 64;
enum : size_t { RI_LANG = 37, RI_ROW = 40, RI_COL = 44, RO_TEXT = 44 };
constexpr size_t kRowTextLen = 250;
enum : size_t {
  IT_ROWS = 48,  // u32; 0 or 32767 derive
  IT_COLS = 52,  // u32
  IT_AP = 61,
  IT_FIELD = 64,  // 22
  IT_OCC = 86,    // u16
  IT_ATTR = 88,   // 5 flag characters
  IT_INPUT = 93,  // "1" an input item
};
enum : size_t { CR_ROWS = 48, CR_COLS = 52, CR_FLAGS = 56, CR_REVERSE = 60, CR_BOX = 61 };

}  // namespace kivo
