// The two routines behind the system subroutine "SCAN" of "0LA":
//   - QP_SCAN_NAMES (scan context, field type): the field (3), file (14) or
//     process (6) names of the context's application and version in a
//     list; ENTER leaves the name under the cursor in the context, CANCEL
//     leaves the context as it was (F).
//   - QP_SCAN_TAG (): run by "SCAN" under a query in tag mode: the records
//     of the query's primary file in a list, the ones already in QTAG
//     marked; ENTER tags or untags the record under the cursor, END puts
//     the tags in QTAG in the file's order, CANCEL leaves QTAG as it was (F).
//
// Invariants: the list is a window of the calling process's surface, gone
// when the routine returns; the design files and QTAG are closed again;
// nothing is written before the user's END or ENTER.
#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "compiler/em_item.h"
#include "compiler/pc.h"
#include "compiler/pcb.h"
#include "fm/fm_objects.h"
#include "fm/fm_open.h"
#include "fm/fm_record.h"
#include "fm/fm_status.h"
#include "fm/la.h"
#include "foundation/bytes.h"
#include "foundation/com.h"
#include "foundation/descriptors.h"
#include "foundation/end_codes.h"
#include "foundation/invoc.h"
#include "foundation/pool.h"
#include "foundation/sys_err.h"
#include "interp/rt_fns.h"
#include "process/pi_pcf.h"
#include "process/qp.h"
#include "screen/tm.h"
#include "screen/tm_keys.h"
#include "screen/wm.h"
#include "screen/wm_region.h"
#include "screen/wm_show.h"

namespace kivo {

namespace {

constexpr char kModule[] = "QPSCAN";
constexpr size_t kCtxLen = 72, kCtxAp = 1, kCtxVer = 4, kCtxName = 7, kNameLen = 30;
constexpr uint8_t kFieldNames = 3, kFileNames = 14, kProcNames = 6;
constexpr size_t kTagKeyLen = 40, kTagRecMax = 1064, kShownLen = 60;
constexpr uint32_t kReverse = 0x80;
// SCROLL PREV-2 and SCROLL NEXT-2, the PREVIOUS and NEXT SCREEN keys: a page
// of the list back or on.
constexpr uint32_t kScrollPrev = 322, kScrollNext = 323;

uint32_t level_of(PCB* p) { return p && p->pcb_pool ? p->pcb_pool->level : com.mark_scope; }

std::string trimmed(const uint8_t* s, size_t n) {
  std::string t(reinterpret_cast<const char*>(s), n);
  t.erase(t.find_last_not_of(' ') + 1);
  return t;
}

// The names of one kind of design record of `ap`/`ver`, sorted, each once.
std::vector<std::string> design_names(uint8_t kind, const char* ap, const char* ver, uint32_t level, bool* opened) {
  using init_fn = void (*)(FDB*, KDB*, SDB*, const char*, const char*);
  struct source {
    uint8_t kind;
    init_fn init;
    uint16_t len;
    size_t at, width;
  };
  static const source kSources[] = {{kFieldNames, INIT_DELEM_FDB, 592, 5, 22},
                                    {kFileNames, INIT_DFI_FDB, 304, 0, 8},
                                    {kProcNames, INIT_DPROC_FDB, 440, 1, 30}};
  std::vector<std::string> out;
  *opened = false;
  const source* s = nullptr;
  for (const source& k : kSources)
    if (k.kind == kind) s = &k;
  if (!s) return out;
  FDB fdb;
  KDB kdb[kInitMaxKeys];
  SDB sdb[kInitMaxSegs];
  s->init(&fdb, kdb, sdb, ap, ver);
  if (pc_memory_design(ap)) fdb.fdb_fs_type = FS_MEMORY;
  if (!FM_OPEN(&fdb, level, LFB_ANY_DIR, 0x01, 0x0f)) return out;
  *opened = true;
  ARB* a = fdb.fdb_arb;
  std::vector<uint8_t> rec(s->len);
  a->arb_mod = ARB_FIRST, a->arb_key = nullptr;
  if (fm_start(a))
    for (a->arb_rec = rec.data(), a->arb_len = s->len, a->arb_mod = 0; fm_rdnxt(a); a->arb_mod = 0) {
      std::string n = trimmed(rec.data() + s->at, s->width);
      if (!n.empty()) out.push_back(n);
    }
  a->arb_mod = 0;
  FM_CLOSE(a, 0);
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
  return out;
}

// A list over the calling process's main surface: a title, a subtitle, one
// entry a row, each a tab stop (the window manager moves the cursor between
// them; PREVIOUS and NEXT SCREEN page), and a line of keys at the bottom in
// reverse. `act` is called with the entry under the cursor for ENTER and
// END: true ends the list.
struct pick_list {
  TSRF* srf = nullptr;
  int R = 0, W = 0;
  std::string title, subtitle, keys;
  std::vector<std::string> entries;
  size_t cur = 0, top = 0;

  int first_row() const { return 4; }
  int shown() const { return std::max(1, R - 5); }

  // Shows the list and reads a key (CANCEL when the input ended). The window
  // manager moves the cursor itself: the entry is the row it was left on.
  uint32_t show_and_read(TWND* wnd, bool beep) {
    if (cur < top) top = cur;
    if (cur >= top + size_t(shown())) top = cur + 1 - size_t(shown());
    draw(wnd);
    SHOW_BLK b{};
    b.show_flags = uint8_t(SHOW_REFRESH | SHOW_INPUT | (beep ? uint32_t(SHOW_BEEP) : 0u));
    memcpy(b.keymap_name, "DATA ENTRY", 10);
    b.main_srf = srf->id, b.pop_srf = srf->id;
    b.curs_type = CURS_MAIN;
    b.main_pos = {first_row() + int(cur - top), 3};
    wm_show(&b, nullptr);
    if (b.curs_type == CURS_MAIN && b.main_pos.row >= first_row()) {
      const size_t at = top + size_t(b.main_pos.row - first_row());
      if (at < entries.size() && b.main_pos.row < first_row() + shown()) cur = at;
    }
    return b.input_stat == KEY_STATUS_KEY ? b.key_code : uint32_t(LK_CANCEL);
  }

  // A cursor or paging key; false when it cannot move (or is none).
  bool move(uint32_t key) {
    if ((key == LK_DOWN || key == LK_TAB) && cur + 1 < entries.size()) return ++cur, true;
    if ((key == LK_UP || key == LK_BACK_TAB) && cur > 0) return --cur, true;
    if (key == kScrollNext && top + size_t(shown()) < entries.size()) return top += size_t(shown()), cur = top, true;
    if (key == kScrollPrev && top > 0) return top -= std::min(top, size_t(shown())), cur = top, true;
    return false;
  }

  // The key that ended the list: ENTER, END or CANCEL (CANCEL also when the
  // input ended, or when the surface is too small for a list).
  uint32_t run(const std::function<bool(uint32_t key, size_t at)>& act) {
    R = std::min<int>(srf->SRF_SIZE.row, com.scr_rows ? com.scr_rows - 2 : 22);
    W = std::min<int>(srf->SRF_SIZE.col, com.scr_cols ? com.scr_cols : 80);
    if (R < 7 || W < 20) return LK_CANCEL;
    WND_BLK w;
    INIT_WND(&w, 1, 1, R, W, 0);
    TWND* wnd = WM_ATTACH(&w, srf, com.proc_scope);
    if (!wnd) return sys_err(kModule, __LINE__, "scan list - wm_attach"), LK_CANCEL;
    bool beep = false;
    uint32_t key = LK_CANCEL;
    for (;;) {
      key = show_and_read(wnd, beep);
      beep = false;
      if (key == LK_CANCEL) break;
      if (move(key)) continue;
      if (key == LK_ENTER || key == LK_END) {
        if (act(key, cur)) break;
        beep = entries.empty();  // nothing to choose or tag
      } else {
        beep = true;
      }
    }
    wm_detach(wnd, 1);
    return key;
  }

  std::string text;  // the items point into it
  std::vector<TITM> itm;

  void draw(TWND* wnd) {
    text.assign(size_t(R) * size_t(W), ' ');
    itm.clear();
    std::vector<CHR_BLK> chr;
    auto put = [&](int row, int col, const std::string& s) {
      if (col < 1 || col > W) return;
      text.replace(size_t(row - 1) * size_t(W) + size_t(col - 1), std::min(s.size(), size_t(W - col + 1)),
                   s.substr(0, size_t(W - col + 1)));
    };
    auto centred = [&](int row, const std::string& s) {
      put(row, int((size_t(W) - std::min(s.size(), size_t(W))) / 2) + 1, s);
    };
    centred(1, title), centred(2, subtitle), centred(R, keys);
    if (entries.empty()) put(first_row(), 3, "(none)");
    for (size_t i = top; i < entries.size() && i < top + size_t(shown()); ++i)
      put(first_row() + int(i - top), 3, entries[i]);
    // Each shown entry a tab stop the cursor moves between, not typed into.
    const int width = W - 4;
    for (size_t i = top; i < entries.size() && i < top + size_t(shown()); ++i) {
      const int row = first_row() + int(i - top);
      CITM ci;
      ALPHA_PREP(&ci);
      ci.citm_row = row;
      SET_ITM(&ci, uint16_t(width), reinterpret_cast<uint8_t*>(text.data()) + size_t(row - 1) * size_t(W) + 2, 3);
      TITM t{};
      t.tl_row = t.br_row = row, t.tl_col = 3, t.br_col = 3 + width - 1, t.cnv = ci.citm_cnv;
      itm.push_back(t);
      CHR_BLK c{};
      c.row = row, c.col = 3, c.rows = 1, c.cols = width, c.value = 0x000C;
      c.item_row = row, c.item_col = 3;
      chr.push_back(c);
    }
    CHR_BLK c{};
    c.row = R, c.col = 1, c.rows = 1, c.cols = W, c.value = kReverse;
    chr.push_back(c);
    if (!wm_write_reg(wnd, reinterpret_cast<const uint8_t*>(text.data()), itm, chr))
      sys_err(kModule, __LINE__, "scan list - wm_write_reg");
  }
};

uint32_t number_of(const rt_arg& a) {
  uint32_t v = 0;
  for (size_t i = 0; i < std::min<size_t>(a.len, 4); ++i) v |= uint32_t(a.addr[i]) << (8 * i);
  return v;
}

int scan_names(RT_CALL& c) {
  if (c.args[0].kind == 2 || !c.args[0].addr || c.args[0].len < kCtxLen || !c.args[1].addr || !c.args[1].len) return 0;
  uint8_t* ctx = c.args[0].addr;
  const uint32_t kind = number_of(c.args[1]);
  char ap[4] = {}, ver[3] = {};
  memcpy(ap, ctx + kCtxAp, 3), memcpy(ver, ctx + kCtxVer, 2);
  TSRF* srf = c.pcb ? static_cast<TSRF*>(c.pcb->pcb_main_srf) : nullptr;
  if (!srf || kind > 255) return 0;
  bool opened = false;
  pick_list l;
  l.srf = srf;
  l.entries = design_names(uint8_t(kind), ap, ver, level_of(c.pcb), &opened);
  if (!opened) return 0;
  const char* what = kind == kFieldNames ? "Field" : kind == kFileNames ? "File" : "Process";
  l.title = "SCAN";
  l.subtitle = std::string(what) + " Names of " + trimmed(ctx + kCtxAp, 3) + " " + trimmed(ctx + kCtxVer, 2);
  l.keys = "TAB To Desired Name Then Press RETURN   PREV/NEXT SCREEN   CANCEL Leaves";
  const std::string current = trimmed(ctx + kCtxName, kNameLen);
  if (auto it = std::find(l.entries.begin(), l.entries.end(), current); it != l.entries.end())
    l.cur = size_t(it - l.entries.begin());
  size_t chosen = SIZE_MAX;
  l.run([&](uint32_t key, size_t at) {
    if (key != LK_ENTER || at >= l.entries.size()) return false;
    chosen = at;
    return true;
  });
  if (chosen == SIZE_MAX) return 0;
  memset(ctx + kCtxName, ' ', kNameLen);
  memcpy(ctx + kCtxName, l.entries[chosen].data(), std::min(l.entries[chosen].size(), kNameLen));
  return 1;
}

// One record of the query's primary file: its identifier and what the list
// shows of it (its printable leading bytes).
struct tag_rec {
  std::vector<uint8_t> id;
  std::string shown;
  bool tagged = false;
};

// What the tag list shows of a record: its primary key's text segments
// (others as hexadecimal), else its printable leading bytes.
std::string shown_key(ARB* a, const uint8_t* rec, uint16_t len) {
  std::string out;
  const PFB* pfb = arb_pfb(a);
  const KDB* k = pfb ? pfb_key(pfb, 0) : nullptr;
  for (uint8_t i = 0; k && i < k->kdb_nsegs; ++i) {
    const SDB& g = k->kdb_sdb[i];
    if (size_t(g.sdb_offset) + g.sdb_len > len) continue;
    if (!out.empty()) out += ' ';
    for (uint16_t j = 0; j < g.sdb_len; ++j) {
      const uint8_t b = rec[g.sdb_offset + j];
      if (g.sdb_type == SDB_CHARS) {
        out += b >= 0x20 && b < 0x7F ? char(b) : '.';
      } else {
        static const char kHex[] = "0123456789ABCDEF";
        out += kHex[b >> 4], out += kHex[b & 15];
      }
    }
  }
  if (out.empty())
    for (size_t i = 0; i < std::min<size_t>(len, kShownLen) && rec[i] >= 0x20 && rec[i] < 0x7F; ++i)
      out += char(rec[i]);
  return out.substr(0, kShownLen);
}

// Whether a walk whose last read or start left `a`'s status reached the
// file's end (an empty file's start finds nothing).
bool walked_whole(const ARB* a) { return pi_read_end(a->arb_stat) != read_end::failed; }

// The primary file's records, in the file's order; the file's own record
// area is put back. False (with the status reported) when a read failed
// before the end: the tags written from a part of the file would drop the
// others.
bool read_tag_recs(ARB* pcf, std::vector<tag_rec>* out) {
  std::vector<tag_rec>& recs = *out;
  std::vector<uint8_t> rec(pcf->arb_len);
  uint8_t* area = pcf->arb_rec;
  const uint16_t len = pcf->arb_len;
  pcf->arb_mod = ARB_FIRST, pcf->arb_key = nullptr;
  if (fm_start(pcf))
    for (pcf->arb_rec = rec.data(), pcf->arb_len = len, pcf->arb_mod = 0; fm_rdnxt(pcf); pcf->arb_mod = 0) {
      tag_rec r;
      const size_t n = std::min<size_t>(pcf->arb_rec_id_len, kTagRecMax - kTagKeyLen);
      r.id.assign(pcf->arb_rec_id_area, pcf->arb_rec_id_area + (pcf->arb_rec_id_area ? n : 0));
      r.shown = shown_key(pcf, rec.data(), len);
      r.shown.erase(r.shown.find_last_not_of(' ') + 1);
      recs.push_back(std::move(r));
    }
  pcf->arb_mod = 0, pcf->arb_rec = area, pcf->arb_len = len;
  if (walked_whole(pcf)) return true;
  checkstat(pcf->arb_stat, "scan tag - primary file read failed", kModule, __LINE__);
  return false;
}

// Marks the records the query's tag file already holds (key: application, process).
// t is the tag record area, which the file keeps pointing at until it is closed.
// False (reported) when a read failed before the query's last tag.
bool mark_tagged(ARB* qtag, const uint8_t* key, std::vector<uint8_t>& t, std::vector<tag_rec>& recs) {
  PROTO_FULL(qtag, 0, t.data());
  qtag->arb_key = const_cast<uint8_t*>(key), qtag->arb_key_len = 33, qtag->arb_mod = ARB_PARTIAL;
  bool whole = true;
  if (fm_start(qtag))
    for (qtag->arb_key = nullptr, qtag->arb_rec = t.data(), qtag->arb_len = uint16_t(t.size()), qtag->arb_mod = 0;;
         qtag->arb_mod = 0) {
      if (!fm_rdnxt(qtag)) {
        whole = walked_whole(qtag);
        break;
      }
      if (memcmp(t.data(), key, 33)) break;
      for (tag_rec& r : recs)
        if (!r.id.empty() && !memcmp(t.data() + kTagKeyLen, r.id.data(), r.id.size())) r.tagged = true;
    }
  else whole = walked_whole(qtag);
  qtag->arb_mod = 0;
  if (!whole) checkstat(qtag->arb_stat, "scan tag - QTAG read failed", kModule, __LINE__);
  return whole;
}

// The pick list: RETURN toggles a tag; true when END keeps the tags.
bool pick_tags(TSRF* srf, const char* proc, std::vector<tag_rec>& recs) {
  pick_list l;
  l.srf = srf;
  l.title = "SCAN";
  l.subtitle = "Tag Records of " + trimmed(reinterpret_cast<const uint8_t*>(proc), 30);
  l.keys = "RETURN Tags/Untags   PREV/NEXT SCREEN   END Keeps the Tags   CANCEL Leaves";
  auto label = [&](const tag_rec& r) { return std::string(r.tagged ? "* " : "  ") + r.shown; };
  for (const tag_rec& r : recs) l.entries.push_back(label(r));
  const uint32_t key_out = l.run([&](uint32_t k, size_t at) {
    if (k == LK_END) return true;
    if (at < recs.size()) recs[at].tagged = !recs[at].tagged, l.entries[at] = label(recs[at]);
    return false;
  });
  return key_out == LK_END;
}

// The tags anew, numbered in the file's order; 0 after a failure already reported.
int write_tags(ARB* qtag, const uint8_t* key, std::vector<uint8_t>& t, const char* ap, const char* proc,
               const std::vector<tag_rec>& recs) {
  if (!purge_qfi_recs(qtag, ap, proc)) return sys_err(kModule, __LINE__, "QTAG purge failed"), 0;
  uint32_t seq = 0;
  for (const tag_rec& r : recs) {
    if (!r.tagged) continue;
    std::fill(t.begin(), t.end(), uint8_t(' '));
    memcpy(t.data(), key, 33), st_le32(t.data(), 36, ++seq);
    memcpy(t.data() + kTagKeyLen, r.id.data(), r.id.size());
    PROTO_FULL(qtag, 0, t.data());
    qtag->arb_len = qtag->arb_var_len = uint16_t(kTagKeyLen + r.id.size()), qtag->arb_mod = 0;
    if (!fm_write(qtag)) return checkstat(qtag->arb_stat, "QTAG write failed", kModule, __LINE__), 0;
  }
  return 1;
}

int scan_tag(RT_CALL& c) {
  PCB* s = c.pcb;
  PCB* q = s ? invoc_parent(s->invoc) : nullptr;
  TSRF* srf = s ? static_cast<TSRF*>(s->pcb_main_srf) : nullptr;
  if (!q || !srf || q->invoc.proc_type() != PT_QUERY) return 0;
  ARB* pcf = q->pcb_pcf_arb;
  if (!pcf || !pcf->arb_len) return sys_err(kModule, __LINE__, "scan tag - no primary file"), 0;
  const char* ap = q->invoc.ap_id();
  const char* proc = q->invoc.proc_nam();
  std::vector<tag_rec> recs;
  if (!read_tag_recs(pcf, &recs)) return 0;
  ARB* qtag = get_qfi_arb(q, "QTAG    ");
  if (!qtag) return sys_err(kModule, __LINE__, "can't open QTAG file"), 0;
  std::vector<uint8_t> t(kTagRecMax);
  uint8_t key[33];
  memcpy(key, ap, 3), memcpy(key + 3, proc, 30);
  const int ok =
      mark_tagged(qtag, key, t, recs) && pick_tags(srf, proc, recs) && write_tags(qtag, key, t, ap, proc, recs);
  qtag->arb_mod = 0;
  FM_CLOSE(qtag, 0);
  return ok;
}

}  // namespace

void qp_scan_register() {
  static bool once = false;
  if (once) return;
  once = true;
  rt_add_fn({"QP_SCAN_NAMES", scan_names, 2, 0});
  rt_add_fn({"QP_SCAN_TAG", scan_tag, 0, 0});
}

}  // namespace kivo
