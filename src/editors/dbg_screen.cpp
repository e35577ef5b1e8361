// The debugger's statement screen: the header, the statements of the
// current event point around the stop, the field heading and the option
// lines on a surface of its own, and the keys read on it.
#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "compiler/em_access.h"
#include "compiler/em_child.h"
#include "compiler/em_frame.h"
#include "compiler/em_image.h"
#include "compiler/em_records.h"
#include "compiler/pcb.h"
#include "compiler/stmt_layout.h"
#include "compiler/stmt_view.h"
#include "editors/dbg.h"
#include "editors/se_edit.h"
#include "fm/fm_open.h"
#include "fm/fm_record.h"
#include "foundation/bytes.h"
#include "foundation/com.h"
#include "foundation/descriptors.h"
#include "foundation/sys_err.h"
#include "foundation/text.h"
#include "process/pi_internal.h"
#include "screen/tm.h"
#include "screen/tm_keys.h"
#include "screen/wm_region.h"
#include "screen/wm_show.h"

namespace kivo {

namespace {

constexpr const char* kModule = "DBG";
constexpr uint32_t kAttrInput = 0x304F;
constexpr uint32_t kAttrCurrent = 0x40, kAttrBreak = 0x200, kAttrReverse = 0x80, kAttrHeading = 0x100;
constexpr uint32_t kMsgOptions = 300120, kMsgLegend = 300130, kMsgErrorWay = 300180, kMsgNoProcess = 300190;
constexpr uint8_t kFlagBreak = 0x2;
// The scroll keys: first, last, previous and next page, one up, one down.
enum : uint32_t {
  kScrollFirst = 320,
  kScrollLast = 321,
  kScrollPrev = 322,
  kScrollNext = 323,
  kScrollUp = 324,
  kScrollDown = 325
};

struct dbg_scr {
  TSRF* srf = nullptr;
  TSRF* srf2 = nullptr;
  TWND* hdr = nullptr;
  TWND* stm = nullptr;
  TWND* fld = nullptr;
  TWND* opt = nullptr;
  ARB* stmt_arb = nullptr;
  int cols = 80, rows = 15;
  std::vector<std::string> text;  // statement lines by trap index, empty until shown
};

dbg_scr* scr_of(dbg_blk* b) { return static_cast<dbg_scr*>(b->scr); }

void free_scr(dbg_blk* b) {
  dbg_scr* s = scr_of(b);
  if (!s) return;
  if (s->stmt_arb && !FM_CLOSE(s->stmt_arb, 0))
    sys_err(kModule, __LINE__, "dbg_cleanup() - Can't close statement file");
  const std::pair<TWND*, const char*> wnds[] = {{s->hdr, "dbg_cleanup() - Can't detach header region"},
                                                {s->stm, "dbg_cleanup() - Can't detach statement region"},
                                                {s->fld, "dbg_cleanup() - Can't detach field region"},
                                                {s->opt, "dbg_cleanup() - Can't detach option region"}};
  for (auto [w, text] : wnds)
    if (w && !wm_detach(w, 1)) sys_err(kModule, __LINE__, "%s", text);
  for (TSRF* f : {s->srf, s->srf2})
    if (f && !wm_destroy_srf(f)) sys_err(kModule, __LINE__, "dbg_cleanup() - Can't destroy debugger surface");
  delete s;
  b->scr = nullptr;
}

TWND* window(TSRF* srf, int row, int rows, int cols) {
  WND_BLK w;
  INIT_WND(&w, row, 1, rows, cols, 0);
  return WM_ATTACH(&w, srf, com.sys_scope);
}

ARB* open_stmt(const EM* em) {
  FDB f;
  KDB k[kInitMaxKeys];
  SDB s[kInitMaxSegs];
  const char ap[4] = {em->em_ap[0], em->em_ap[1], em->em_ap[2], 0};
  const char ver[3] = {em->em_ver[0], em->em_ver[1], 0};
  INIT_DSTMT_FDB(&f, k, s, ap, ver);
  return FM_OPEN(&f, com.sys_scope, LFB_ANY_DIR | LFB_NO_STRUCT_CHK, 0x01, 0x0f) ? f.fdb_arb : nullptr;
}

// The surfaces, the four windows and the STMT file; false when any fails.
bool open_scr(dbg_blk* b, const EM* em) {
  auto* s = new dbg_scr;
  b->scr = s, b->scr_free = free_scr;
  s->cols = std::max<int>(com.scr_cols, 80);
  s->rows = b->rows ? b->rows : dbg_stmt_rows(com.scr_rows);
  SRF_BLK sb{0, 0, 0};
  s->srf = WM_CREATE_SRF(&sb, com.sys_scope);
  SRF_BLK sb2{0, 0, 0};
  s->srf2 = s->srf ? WM_CREATE_SRF(&sb2, com.sys_scope) : nullptr;
  if (!s->srf || !s->srf2) return false;
  s->hdr = window(s->srf2, 1, 1, s->cols);
  s->stm = window(s->srf2, 2, s->rows, s->cols);
  s->fld = window(s->srf2, 2 + s->rows, 3, s->cols);
  s->opt = window(s->srf2, 5 + s->rows, 2, s->cols);
  s->stmt_arb = open_stmt(em);
  s->text.assign(b->traps.size(), {});
  return s->hdr && s->stm && s->fld && s->opt && s->stmt_arb;
}

void put(std::string& line, int col, const std::string& text, size_t width) {
  if (col < 1 || size_t(col - 1) >= line.size()) return;
  std::string t = text.substr(0, std::min(width, line.size() - size_t(col - 1)));
  t.resize(std::min(width, line.size() - size_t(col - 1)), ' ');
  line.replace(size_t(col - 1), t.size(), t);
}

CHR_BLK run_of(int row, int col, int cols, uint32_t value) {
  CHR_BLK c{};
  c.row = row, c.col = col, c.rows = 1, c.cols = cols, c.value = value;
  return c;
}

std::string digits(uint32_t v, int width) {
  std::string s = std::to_string(v);
  return s.size() >= size_t(width) ? s.substr(s.size() - size_t(width))
                                   : std::string(size_t(width) - s.size(), '0') + s;
}

}  // namespace

namespace {

// The frame part and number of the compiled frame numbered `no` into the
// key (copied while the record is located).
void put_frame(const EM* em, uint32_t no, uint8_t* key) {
  if (!no) return;
  pi_each_rec(em->em_cfrm_arb, [&](const uint8_t* fr) {
    if (cfrm_view(fr).number() != no) return;
    key[STMT_FRM_PART] = cfrm_view(fr).part();
    memcpy(key + STMT_FRM_NO, fr + CFRM_DESIGN_NO, 4);
  });
}

}  // namespace

void bld_key(const EM* em, const dbg_blk* b, const dbg_trap& t, uint8_t* key) {
  memset(key, 0, STMT_SEQ + 4);
  key[STMT_PROC_TYPE] = em->em_proc_type;
  memcpy(key + STMT_PROC_NAME, em->em_proc_nam, 30);
  SET_BLANK(key + STMT_BLANK1, 2);
  key[STMT_EP] = static_cast<uint8_t>(t.ep);
  SET_BLANK(key + STMT_EP + 1, 3);
  st_le32(key, STMT_SEQ, t.stmt);
  // The owner: the frame of a frame's event point, the image (and its
  // frame) of an image's, by the compiled number its event-point row keeps.
  const size_t row = size_t{t.slot} * TOC_LEN;
  const uint16_t owner = row + TOC_LEN <= b->toc.size() ? ld_le16(b->toc.data() + row, TOC_OWNER) : 0;
  if (t.ep >= 21 && t.ep <= 25) {
    put_frame(em, owner, key);
  } else if ((t.ep == 61 || t.ep == 62) && owner) {
    // The child's frame, its image's number when it sits on one, its
    // position and number.
    uint8_t k[CCHLD_LEN] = {};
    st_le32(k, CCHLD_NO, owner);
    const uint8_t* ch = em_read_key(em->em_cchld_arb, 0, k);
    if (!ch) return;
    const cchld_view child(ch);
    const uint32_t frm = child.frame(), img = child.image();
    const uint8_t pos = child.position();
    const uint32_t child_no = child.invoc().child_no();
    put_frame(em, frm, key);
    if (img) {
      uint8_t ik[CIMG_LEN] = {};
      st_le32(ik, CIMG_INDEX, img);
      if (const uint8_t* im = em_read_key(em->em_cimg_arb, 0, ik)) key[STMT_IMG_NO] = cimg_view(im).number();
    }
    // The design writes both the position and the number into the CHILD
    // key the statements are filed under.
    key[STMT_CHLD_POS] = pos;
    st_le32(key, STMT_CHLD_NO, child_no);
  } else if (t.ep >= 41 && t.ep <= 44 && owner) {
    uint8_t k[CIMG_LEN] = {};
    st_le32(k, CIMG_INDEX, owner);
    if (const uint8_t* im = em_read_key(em->em_cimg_arb, 0, k)) {
      const cimg_view image(im);
      key[STMT_IMG_NO] = image.number();
      put_frame(em, image.frame(), key);
    }
  }
}

std::string get_trap_dstmt(dbg_blk* b, const EM* em, const dbg_trap* t, int cols, uint8_t* rec_out) {
  if (!t) return std::string(size_t(cols), ' ');
  dbg_scr* s = scr_of(b);
  uint8_t rec[kStmtSize] = {};
  bld_key(em, b, *t, rec);
  ARB* a = s ? s->stmt_arb : nullptr;
  bool ok = false;
  if (a) {
    PROTO_FULL(a, 0, rec);
    a->arb_len = kStmtSize, a->arb_mod = ARB_EQUAL;
    ok = fm_read(a) != 0;
    a->arb_mod = 0;
  }
  if (!ok) return std::string(size_t(cols), '?');
  if (rec_out) memcpy(rec_out, rec, kStmtSize);
  // A token constant shows as its text, as the statement editor shows it.
  const char ver[3] = {em->em_ver[0], em->em_ver[1], 0};
  cnv_token(rec, ver, 1, 0, nullptr);
  se_ed_blk ed;
  ed.line_width = static_cast<uint16_t>(cols);
  se_gen_stmt(&ed, rec, 0, 0);
  std::string line(ed.line.data(), size_t(cols));
  return line;
}

namespace {

// Process type names by type 1-10 and 12.
uint32_t type_msg(uint8_t type) {
  static const uint32_t kMsgs[] = {930, 940, 950, 960, 970, 980, 1310, 1320, 1330, 1340};
  return type >= 1 && type <= 10 ? kMsgs[type - 1] : type == 12 ? 1350 : 0;
}

uint32_t ep_msg(uint16_t ep, uint8_t type) {
  if (ep == 1) return type == 6 ? 1040 : 1030;
  if (ep >= 2 && ep <= 10) return 1050 + 10u * (ep - 2);
  if (ep == 11) return 1250;
  if (ep >= 21 && ep <= 25) return 1140 + 10u * (ep - 21);
  if (ep >= 41 && ep <= 44) return 1190 + 10u * (ep - 41);
  if (ep == 61 || ep == 62) return 1230 + 10u * (ep - 61);
  return 0;
}

struct screen {
  dbg_blk* b = nullptr;
  dbg_scr* s = nullptr;
  II_RUN* run = nullptr;
  EM* em = nullptr;
  uint32_t first = 0, last = 0, cur = 0, page = 0;
  bool beep = false;
  std::string notice;  // shown over the options until the next key
  dbg_line lines[2];
  std::array<std::array<char, kLineValueLen>, 2> typed{};  // edit mode's input
  SHOW_BLK sb{};
  int cur_row = 0;                // the line cursor's screen row
  uint8_t rec[kStmtSize] = {};    // the current statement's record
  dbg_trap* at_cursor = nullptr;  // the statement under the line cursor, null none

  // The statement region's rows, and the width of every region.
  int stmt_rows() const { return s->rows; }
  int width() const { return s->cols; }

  // Back up to `n` statements from `from`, stopping at the event point's
  // first or at a statement numbered 100.
  uint32_t back(uint32_t from, uint32_t n) const {
    while (n-- && from > first && b->traps[from].stmt != 100) --from;
    return from;
  }

  void header(const uint8_t* rec) {
    std::string line(size_t(width()), ' ');
    line[44] = '.', line[48] = '.';
    static const char kTf[4] = {'-', 'T', 'F', ' '};
    for (int i = 0; i < 5; ++i) line[size_t(i)] = kTf[(run->tf >> (8 - 2 * i)) & 3];
    put(line, 7, std::string(em->em_proc_nam, 30), 30);
    put(line, 38, digits(rec ? stmt_view(rec).frm_no() : 0, 7), 7);
    put(line, 46, digits(rec ? stmt_view(rec).img_no() : 0, 3), 3);
    put(line, 50, digits(rec ? stmt_view(rec).chld_no() : 0, 7), 7);
    const uint32_t tm = type_msg(em->em_proc_type);
    if (!tm) sys_err(kModule, __LINE__, "dbg_init() - invalid proc type");
    put(line, width() - 22, tm ? wm_msg_text(tm).substr(0, 3) : "", 3);
    const uint32_t em_no = ep_msg(em->em_cur_ep, em->em_proc_type);
    put(line, width() - 18, em_no ? wm_msg_text(em_no) : std::string(18, '?'), 18);
    std::vector<CHR_BLK> runs = {run_of(1, 1, 5, kAttrReverse),
                                 run_of(1, 7, 30, kAttrReverse),
                                 run_of(1, 38, 7, kAttrReverse),
                                 run_of(1, 46, 3, kAttrReverse),
                                 run_of(1, 50, 7, kAttrReverse),
                                 run_of(1, width() - 22, 3, kAttrReverse),
                                 run_of(1, width() - 18, 18, kAttrReverse)};
    wm_write_reg(s->hdr, reinterpret_cast<const uint8_t*>(line.data()), {}, runs);
  }

  // The statement region from the page start; the current statement's record.
  bool statements(uint8_t* rec) {
    std::string text(size_t(stmt_rows()) * size_t(width()), ' ');
    std::vector<CHR_BLK> runs;
    bool ok = true;
    for (int row = 1; row <= stmt_rows(); ++row) {
      const uint32_t i = page + uint32_t(row - 1);
      if (i > last) break;
      dbg_trap& t = b->traps[i];
      std::string& line = s->text[i];
      if (line.empty() || i == cur) line = get_trap_dstmt(b, em, &t, width(), i == cur ? rec : nullptr);
      if (line.find_first_not_of('?') == std::string::npos) ok = ok && i != cur;
      memcpy(text.data() + size_t(row - 1) * size_t(width()), line.data(), std::min(line.size(), size_t(width())));
      uint32_t attr = 0;
      if (t.addr) {
        const bool is_trap = (inst_op(t.addr) & ~1u) == OP_TRAP;
        if (is_trap ? !(t.addr[2] & kFlagBreak) : (t.addr[2] & kFlagBreak) != 0) attr |= kAttrBreak;
      }
      if (i == cur) attr |= kAttrCurrent | (run->fail_text ? kAttrBreak : 0);
      if (attr) runs.push_back(run_of(row, 1, width(), attr));
    }
    wm_write_reg(s->stm, reinterpret_cast<const uint8_t*>(text.data()), {}, runs);
    return ok;
  }

  // The heading and both data lines; with `edit` the values of the lines
  // that hold a field (not binary ones) are input-capable.
  void fields(bool edit = false) {
    std::string text(size_t(3) * size_t(width()), ' ');
    put(text, 1, "Appl Field Name             Occ Field Value", size_t(width()));
    std::vector<CHR_BLK> runs = {run_of(1, 1, 4, kAttrHeading), run_of(1, 6, 10, kAttrHeading),
                                 run_of(1, 29, 3, kAttrHeading), run_of(1, 33, 11, kAttrHeading)};
    std::vector<TITM> items;
    const int vw = std::min<int>(width() - 32, int(kLineValueLen));
    for (int i = 0; i < 2; ++i) {
      const dbg_line& l = lines[i];
      if (!l.used) continue;
      const int at = (i + 1) * width();
      put(text, at + 1, std::string(l.ap, 3), 3);
      put(text, at + 6, std::string(l.name, 22), 22);
      put(text, at + 29, std::string(l.occ, 3), 3);
      put(text, at + 33, l.value, size_t(vw));
      if (edit && !(l.flags & kLineBinary)) {
        memcpy(typed[i].data(), l.value.data(), kLineValueLen);
        items.push_back(se_alpha_item(i + 2, 33, vw, typed[i].data()));
        runs.push_back(run_of(i + 2, 33, vw, kAttrInput));
        runs.back().item_row = i + 2, runs.back().item_col = 33;
      }
    }
    wm_write_reg(s->fld, reinterpret_cast<const uint8_t*>(text.data()), items, runs);
  }

  // Inquire mode: line 1's application, name and occurrence take input;
  // after the next key that field is shown and edited. The typed
  // occurrence selects the occurrence (checked against the element).
  void inquire() {
    std::array<char, 3> ap{}, occ{};
    std::array<char, 22> name{};
    ap.fill(' '), occ.fill(' '), name.fill(' ');
    std::string text(size_t(3) * size_t(width()), ' ');
    put(text, 1, "Appl Field Name             Occ Field Value", size_t(width()));
    const TITM items[] = {se_alpha_item(2, 1, 3, ap.data()), se_alpha_item(2, 6, 22, name.data()),
                          se_alpha_item(2, 29, 3, occ.data())};
    std::vector<CHR_BLK> runs = {run_of(2, 1, 3, kAttrInput), run_of(2, 6, 22, kAttrInput),
                                 run_of(2, 29, 3, kAttrInput)};
    const int cols[] = {1, 6, 29};
    for (int i = 0; i < 3; ++i) runs[size_t(i)].item_row = 2, runs[size_t(i)].item_col = cols[i];
    wm_write_reg(s->fld, reinterpret_cast<const uint8_t*>(text.data()), items, runs);
    if (!read_key(stmt_rows() + 3, 1) || sb.key_code == LK_CANCEL) return;
    lines[0] = dbg_line{}, lines[1] = dbg_line{};
    dbg_line& l = lines[0];
    for (char& c : ap) c = char(toupper(uint8_t(c)));
    for (char& c : name) c = char(toupper(uint8_t(c)));
    memcpy(l.ap, ap.data(), 3), memcpy(l.name, name.data(), 22), memcpy(l.occ, occ.data(), 3);
    l.used = true;
    cnv_fld_val(run->call->pcb, &l, 1);
    edit();
  }

  // Edit mode: one key ends it. Only a value the user changed is stored
  // into its field; CANCEL stores nothing.
  void edit() {
    fields(true);
    const bool cancel = !read_key(stmt_rows() + 3, 33) || sb.key_code == LK_CANCEL;
    for (int i = 0; i < 2 && !cancel; ++i) {
      dbg_line& l = lines[i];
      if (!l.used || (l.flags & kLineBinary) || memcmp(typed[i].data(), l.value.data(), kLineValueLen) == 0) continue;
      l.value.assign(typed[i].data(), kLineValueLen);
      if (!cnv_fld_val(run->call->pcb, &l, 0)) l.value.assign(kLineValueLen, '?');
    }
  }

  // The option lines; on an error stop the error centred and the way out.
  void options() {
    std::string text(size_t(2) * size_t(width()), ' ');
    if (!notice.empty() || run->fail_text) {
      std::string e = notice.empty() ? run->fail_text : notice;
      e.resize(std::min(e.size(), size_t(width())));
      put(text, int(size_t(width()) - e.size()) / 2 + 1, e, e.size());
      put(text, width() + 1, wm_msg_text(notice.empty() ? kMsgErrorWay : kMsgLegend), size_t(width()));
    } else {
      put(text, 9, wm_msg_text(kMsgOptions), size_t(width() - 8));
      put(text, width() + 1, wm_msg_text(kMsgLegend), size_t(width()));
    }
    wm_write_reg(s->opt, reinterpret_cast<const uint8_t*>(text.data()), {}, {});
  }

  // Moves the page start: back stops at the event point's first statement
  // or one numbered 100; forward that cannot go the whole way stays.
  void scroll(uint32_t key) {
    const uint32_t step = uint32_t(std::max(stmt_rows() - 1, 1));
    const auto forward = [&](uint32_t n) {
      if (page + n <= last) page += n;
    };
    switch (key) {
      case kScrollFirst: page = first; break;
      case kScrollLast:
        page = last >= first + uint32_t(stmt_rows() - 1) ? last - uint32_t(stmt_rows() - 1) : first;
        break;
      case kScrollPrev: page = back(page, step); break;
      case kScrollNext: forward(step); break;
      case kScrollUp: forward(1); break;
      case kScrollDown: page = back(page, 1); break;
      default: break;
    }
  }

  // The statement shown on screen row `row` (the statement region from 2).
  dbg_trap* at_row(int row, uint32_t* idx) {
    if (row < 2 || row > stmt_rows() + 1) return nullptr;
    const uint32_t i = page + uint32_t(row - 2);
    if (i > last) return nullptr;
    *idx = i;
    return &b->traps[i];
  }

  // Shows the screen and reads one key with the cursor at (row, col); false
  // when no key came (no terminal).
  bool read_key(int row, int col, bool with_beep = false) {
    sb.show_flags = uint8_t(SHOW_REFRESH | SHOW_INPUT | (with_beep ? uint32_t(SHOW_BEEP) : 0u));
    sb.curs_type = CURS_MAIN;
    sb.main_pos = {row, col};
    sb.input_stat = 0;
    if (!wm_show(&sb, nullptr)) sys_err(kModule, __LINE__, "dbg_stmt() wm_show");
    return sb.input_stat == KEY_STATUS_KEY;
  }

  // What a key leaves: the stop goes on reading keys, or ends with `code`.
  struct outcome {
    bool done;
    uint32_t code;
  };
  static constexpr outcome kGoOn{false, 0};

  outcome end_stop(uint32_t key) { return {true, key}; }
  // SELECT: the break on the statement under the cursor turns on or off.
  outcome toggle_break(uint32_t) {
    if (!at_cursor || !at_cursor->addr) return beep = true, kGoOn;
    at_cursor->addr[2] ^= kFlagBreak;
    statements(rec);
    return kGoOn;
  }
  // ADD MODE: the run goes on from the statement under the cursor.
  outcome jump(uint32_t) {
    if ((inst_op(run->ip) & ~1u) == OP_TRAP || !at_cursor || !at_cursor->addr) return beep = true, kGoOn;
    ii_jump(run, at_cursor->pos);
    run->fail_text = nullptr;  // the error stop ends
    return {true, 101};
  }
  // CHANGE MODE: the fields of the statement under the cursor are edited.
  outcome change(uint32_t) {
    uint8_t other[kStmtSize] = {};
    if (!at_cursor || get_trap_dstmt(b, em, at_cursor, width(), other).find_first_not_of('?') == std::string::npos ||
        !set_data_val(run->call->pcb, other, lines))
      return beep = true, kGoOn;
    edit();
    set_data_val(run->call->pcb, rec, lines);
    fields();
    return kGoOn;
  }
  outcome inquire_field(uint32_t) {
    inquire();
    set_data_val(run->call->pcb, rec, lines);
    fields();
    return kGoOn;
  }
  // DELETE MODE and the first direct process: the watch and stack processes.
  outcome watch_or_stack(uint32_t key) {
    const std::string name = key == LK_DELETE_MODE ? "WATCH FIELD" : "STACK (EDIT)";
    if (dbg_run_process(run->call->pcb, name.c_str(), s->srf, s->srf2)) return kGoOn;
    // Otherwise the key would seem to do nothing at all.
    notice = wm_msg_text(kMsgNoProcess);
    if (const size_t at = notice.find("~1"); at != std::string::npos) notice.replace(at, 2, name);
    if (notice.empty()) notice = name;
    options();
    beep = true;
    return kGoOn;
  }
  outcome scroll_page(uint32_t key) {
    scroll(key);
    statements(rec);
    return kGoOn;
  }
  outcome line_up(uint32_t) {
    if (cur_row > 2) --cur_row;
    return kGoOn;
  }
  outcome line_down(uint32_t) {
    if (cur_row <= stmt_rows() && page + uint32_t(cur_row - 1) <= last) ++cur_row;
    return kGoOn;
  }

  // The keys of a stop; `on_error` those an error stop takes (it ignores
  // the others). Keys 0-3 are the debugger's function keys.
  struct key_row {
    uint32_t key;
    outcome (screen::*act)(uint32_t);
    bool on_error;
  };
  static constexpr key_row kKeys[] = {
      {0, &screen::end_stop, false},
      {1, &screen::end_stop, false},
      {2, &screen::end_stop, false},
      {3, &screen::end_stop, false},
      {LK_ENTER, &screen::end_stop, false},
      {LK_CANCEL, &screen::end_stop, true},
      {LK_SELECT_KEY, &screen::toggle_break, true},
      {LK_ADD_MODE, &screen::jump, true},
      {LK_CHANGE_MODE, &screen::change, true},
      {LK_INQUIRE_MODE, &screen::inquire_field, true},
      {LK_DELETE_MODE, &screen::watch_or_stack, false},
      {LK_DIRECT_PROC1, &screen::watch_or_stack, false},
      {kScrollFirst, &screen::scroll_page, true},
      {kScrollLast, &screen::scroll_page, true},
      {kScrollPrev, &screen::scroll_page, true},
      {kScrollNext, &screen::scroll_page, true},
      {kScrollUp, &screen::scroll_page, true},
      {kScrollDown, &screen::scroll_page, true},
      {LK_UP, &screen::line_up, true},
      {LK_DOWN, &screen::line_down, true},
  };
  static const key_row* key_of(uint32_t key) {
    for (const key_row& r : kKeys)
      if (r.key == key) return &r;
    return nullptr;
  }

  // The stop: the screen drawn, then keys until one ends it. 100 when the
  // current statement cannot be shown, 0 when no key came.
  uint32_t keys() {
    memcpy(sb.keymap_name, "DATA ENTRY", 10);
    sb.main_srf = s->srf->id, sb.pop_srf = s->srf2->id;
    cur_row = int(cur - page) + 2;
    if (!statements(rec)) return 100;
    header(rec);
    set_data_val(run->call->pcb, rec, lines);
    fields();
    options();
    beep = run->fail_text != nullptr;
    for (;;) {
      const bool with_beep = beep;
      beep = false;
      if (!read_key(cur_row, 1, with_beep)) return 0;  // no terminal: the run goes on
      const uint32_t key = sb.key_code;
      if (!notice.empty()) notice.clear(), options();
      const key_row* row = key_of(key);
      if (run->fail_text && !(row && row->on_error)) continue;
      // The regions lie on the second surface: its cursor is the line cursor.
      const bool line_cursor = sb.curs_type == CURS_MAIN || sb.curs_type == CURS_POP;
      if (line_cursor && sb.main_pos.row > 0) cur_row = sb.main_pos.row;
      uint32_t idx = 0;
      at_cursor = line_cursor ? at_row(cur_row, &idx) : nullptr;
      if (!row) continue;
      if (const outcome o = (this->*row->act)(key); o.done) return o.code;
    }
  }
};

}  // namespace

uint32_t dbg_show_stop(dbg_blk* b, II_RUN* run) {
  EM* em = run->em;
  const em_entry at{run->blk_no, static_cast<uint16_t>(run->ip - run->blk)};
  uint32_t cur = 0;
  if (!find_trap(b, at, &cur) && !find_prev_trap(b, at, &cur)) {
    sys_err(kModule, __LINE__, "Missing trap_blk for this instruction");
    return 100;
  }
  if (!b->scr && !open_scr(b, em)) return 100;
  const uint16_t ep = b->traps[cur].ep;
  uint32_t first = cur, last = cur;
  while (first > 0 && b->traps[first - 1].ep == ep) --first;
  while (last + 1 < b->traps.size() && b->traps[last + 1].ep == ep) ++last;
  screen sc;
  sc.b = b, sc.s = scr_of(b), sc.run = run, sc.em = em, sc.first = first, sc.last = last, sc.cur = cur;
  sc.page = sc.back(cur, uint32_t(std::max(sc.stmt_rows() / 2 - 1, 0)));
  return sc.keys();
}

}  // namespace kivo
