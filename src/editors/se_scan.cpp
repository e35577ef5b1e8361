// The SCAN key while a line is typed: a list of the statement keywords, a
// list of the area words, or a name chosen through the system's "SCAN"
// subroutine, copied into the line at the field under the cursor.
//
// Invariants: the lists are windows of the editor's surface, gone when the
// choice is made; the scan context `se_scan` is the one value "SCAN"
// shares with the editor, with the operand's field type beside it on the
// calling process's pass list only while "SCAN" runs.
#include <algorithm>
#include <cstring>
#include <string>

#include "compiler/pcb.h"
#include "editors/se_edit.h"
#include "editors/stmt_line.h"
#include "foundation/bytes.h"
#include "foundation/com.h"
#include "foundation/invoc.h"
#include "foundation/scope.h"
#include "foundation/sys_err.h"
#include "process/process.h"
#include "screen/tm_keys.h"
#include "screen/wm_region.h"

namespace kivo {

// The list's order; the area byte each word stores is the layout table's.
const char* const area_tbl[7] = {"FIELD         ", "RECORD        ", "DEFAULT FIELD ", "DEFAULT RECORD",
                                 "STORE FIELD   ", "STORE RECORD  ", "FILE          "};
static const uint8_t kAreaByte[7] = {AREA_FIELD,       AREA_RECORD,       AREA_DEFAULT_FIELD, AREA_DEFAULT_RECORD,
                                     AREA_STORE_FIELD, AREA_STORE_RECORD, AREA_FILE};
int scan_len = 0;

namespace {

constexpr const char* kModule = "SE";
constexpr int kVerbCol = 7, kColStep = 14;

bool listed(int verb) {
  return verb != VERB_CNV_FLT && verb != VERB_CNV_ZONE && verb != VERB_NO_TRACE && verb != VERB_VERSION;
}

// A temporary list: R x W over the editor's surface, its entries items the
// cursor tabs between; ENTER gives the entry under the cursor (index in
// `entries`), CANCEL 255.
struct list_screen {
  se_ed_blk* ed;
  int R, W;
  std::vector<char> text;
  std::vector<TITM> itm;
  std::vector<CHR_BLK> chr;
  struct entry {
    int row, col, width;
  };
  std::vector<entry> entries;

  list_screen(se_ed_blk* e) : ed(e) {
    R = com.scr_rows < 24 ? 21 : com.scr_rows - 3;
    W = std::max<int>(com.scr_cols, kSeLineMin);
    text.assign(size_t(R) * size_t(W), ' ');
  }
  void put(int row, int col, const char* s, size_t n) {
    memcpy(text.data() + size_t(row - 1) * size_t(W) + size_t(col - 1), s, std::min(n, size_t(W - col + 1)));
  }
  void centred(int row, const char* s, uint32_t value) {
    const size_t n = std::min(strlen(s), size_t(W));
    put(row, int((size_t(W) - n) / 2) + 1, s, n);
    CHR_BLK c{};
    c.row = row, c.col = 1, c.rows = 1, c.cols = W, c.value = value;
    chr.push_back(c);
  }
  void add(int row, int col, const char* s, int width) {
    put(row, col, s, size_t(width));
    entries.push_back({row, col, width});
  }
  int show(const char* what) {
    // The items point into the text itself; they are laid once it is full.
    for (const entry& e : entries) {
      itm.push_back(se_alpha_item(e.row, e.col, e.width, text.data() + size_t(e.row - 1) * size_t(W) + e.col - 1));
      CHR_BLK c{};
      c.row = e.row, c.col = e.col, c.rows = 1, c.cols = e.width, c.value = 0x000C;  // a tab stop, not typed into
      c.item_row = e.row, c.item_col = e.col;
      chr.push_back(c);
    }
    WND_BLK w;
    TWND* wnd = make_window(&w, 1, 1, R, W, ed->srf);
    if (!wnd) return sys_err(kModule, __LINE__, "%s - wm_attach", what), 255;
    if (!wm_write_reg(wnd, reinterpret_cast<const uint8_t*>(text.data()), itm, chr))
      sys_err(kModule, __LINE__, "%s - wm_write_reg", what);
    const int row = ed->cur_row, col = ed->cur_col;
    const uint32_t key = ed->key;
    int chosen = 255;
    ed->cur_row = entries.empty() ? 1 : entries[0].row, ed->cur_col = entries.empty() ? 1 : entries[0].col;
    for (;;) {
      se_read(ed);
      if (ed->key == LK_CANCEL) break;
      if (ed->key != LK_ENTER) {
        ed->beep = true;
        continue;
      }
      for (size_t i = 0; i < entries.size(); ++i)
        if (ed->cur_row == entries[i].row && ed->cur_col >= entries[i].col &&
            ed->cur_col < entries[i].col + entries[i].width)
          chosen = int(i);
      if (chosen != 255) break;
      ed->beep = true;
    }
    wm_detach(wnd, 1);
    ed->cur_row = row, ed->cur_col = col, ed->key = key;
    return chosen;
  }
};

// Runs "SCAN" of "0LA" once with the scan context and the field type as
// the only values on the calling process's pass list: RECEIVE takes an
// invoker's values from the first, and the list may still hold those the
// editor's own caller passed to it. They are put back afterwards.
void run_scan(se_ed_blk* ed, uint8_t field_type) {
  PCB* pcb = the_pcb;
  if (!pcb) return sys_err(kModule, __LINE__, "zel_scan() - no process to pass from");
  pcb_pass_list* l = &pcb->pcb_pass;
  const uint8_t count = l->count;
  pass_entry kept[2] = {l->e[0], l->e[1]};
  l->e[0] = pass_entry{4, 1, uint16_t(kSeScanLen), se_scan, 0};
  l->e[1] = pass_entry{4, 5, 1, &field_type, 0};
  l->count = 2;
  se_run_design(ed, pcb, "SCAN", 6, true, "0LA");
  l->e[0] = kept[0], l->e[1] = kept[1], l->count = count;
}

}  // namespace

int scan_for_opc(se_ed_blk* ed) {
  list_screen s(ed);
  s.centred(1, "Statement Keywords", 0xC0);
  const int per_col = s.R - 3;
  std::vector<int> verbs;
  for (int v = 0; v < kVerbCount; ++v)
    if (listed(v)) verbs.push_back(v);
  for (size_t i = 0; i < verbs.size(); ++i) {
    const int col = 1 + int(i) / per_col * kColStep, row = 2 + int(i) % per_col;
    if (col + int(kVerbLen) - 1 > s.W) break;
    s.add(row, col, stmt_verb_spell(verbs[i]), int(kVerbLen));
  }
  s.centred(s.R - 1, "", 0x80);
  s.centred(s.R, "Tab To Desired Statement Then Press RETURN", 0x80);
  const int i = s.show("scan_for_opc()");
  return i == 255 ? 255 : verbs[size_t(i)];
}

int scan_for_area(se_ed_blk* ed, int all) {
  list_screen s(ed);
  s.centred(1, "SCAN", 0);
  s.centred(3, all ? "Interprocess Communication Area Types" : "Store Area Types", 0);
  const int n = all ? 7 : 4;
  for (int i = 0; i < n; ++i) s.add(4 + i, int((size_t(s.W) - kAreaWordLen) / 2) + 1, area_tbl[i], int(kAreaWordLen));
  s.centred(s.R, "Tab To Desired Type Then Press RETURN", 0);
  return s.show("scan_for_area()");
}

int zel_scan(int opnd, se_ed_blk* ed) {
  char* result = reinterpret_cast<char*>(se_scan + SCAN_RESULT);
  if (!opnd) {
    if (ed->cur_col < kVerbCol || ed->cur_col >= kVerbCol + int(kVerbLen)) return 0;
    const int v = scan_for_opc(ed);
    if (v == 255) return 0;
    memcpy(result, stmt_verb_spell(v), kVerbLen);
    scan_len = int(kVerbLen);
    return kVerbCol;
  }
  se_line* l = se_line_at(ed, ed->cur_row);
  if (!l) return 0;
  char ap[3];
  int col = 0;
  const int type = get_xme_type(ed, l->rec, 0, ap, &col);
  if (type == XT_AREA4 || type == XT_AREA) {
    const int i = scan_for_area(ed, type == XT_AREA);
    if (i == 255) return 0;
    // The word of the current language for the area's byte.
    memcpy(result, area_spell_tbl[kAreaByte[i]], kAreaWordLen);
    scan_len = int(kAreaWordLen);
    return col;
  }
  if (type != XT_FIELD && type != XT_FILE && type != XT_PROC) return 0;
  const int width = type == XT_FIELD ? 22 : type == XT_FILE ? 8 : 30;
  const char* name = ed->row_opnd[size_t(ed->cur_row - 2)].data() + (col - kOpndCol);
  const bool name_blank = std::all_of(name, name + width, [](char c) { return c == ' '; });
  if (!memcmp(ap, "   ", 3) && !name_blank) return 0;
  // The context: the application ("---" is "0LA"; a system application's
  // version is "00"), the current name, the editor's surfaces.
  se_scan[SCAN_STATUS] = 0;
  memcpy(se_scan + SCAN_AP, memcmp(ap, "---", 3) == 0 ? "0LA" : ap, 3);
  const char* ap_used = reinterpret_cast<const char*>(se_scan + SCAN_AP);
  memcpy(se_scan + SCAN_VER, ap_used[0] == '0' ? "00" : se_ver, 2);
  memset(result, ' ', 30);
  memcpy(result, name, size_t(width));
  st_le32(se_scan, SCAN_SURFACES, ed->srf ? ed->srf->id : 0);
  st_le32(se_scan, SCAN_SURFACES + 4, ed->srf2 ? ed->srf2->id : 0);
  run_scan(ed, uint8_t(type));
  scan_len = width;
  return col;
}

}  // namespace kivo
