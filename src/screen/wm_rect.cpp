// The rectangle file of a surface and its algebra. The algebra works on the
// records of one surface loaded into memory and writes back only the
// records that changed, so a failure of the file part leaves the file as
// the last successful operation left it or reports the record it could not
// write.
#include "screen/wm_rect.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <map>
#include <tuple>

#include "fm/fm_open.h"
#include "fm/fm_switch.h"
#include "foundation/bytes.h"
#include "foundation/sys_err.h"
#include "screen/wm.h"
#include "screen/wm_files.h"

namespace kivo {

static_assert(RECT_NEW_VIS < kRectRecLen && kRectRecLen == 36, "RECT record is 36 bytes");

void rect_pack(const wm_rect& w, uint8_t* rec) {
  memset(rec, 0, kRectRecLen);
  st_le32(rec, RECT_OBS, w.obs);
  st_le32(rec, RECT_OWN, w.own);
  st_le32(rec, RECT_TL_ROW, uint32_t(w.r.tl.row));
  st_le32(rec, RECT_TL_COL, uint32_t(w.r.tl.col));
  st_le32(rec, RECT_BR_ROW, uint32_t(w.r.br.row));
  st_le32(rec, RECT_BR_COL, uint32_t(w.r.br.col));
  st_le32(rec, RECT_ROWS, uint32_t(w.r.br.row - w.r.tl.row + 1));
  st_le32(rec, RECT_COLS, uint32_t(w.r.br.col - w.r.tl.col + 1));
  st_u8(rec, RECT_NEW_VIS, w.new_vis);
}

wm_rect rect_unpack(const uint8_t* rec) {
  wm_rect w{};
  w.obs = ld_le32(rec, RECT_OBS);
  w.own = ld_le32(rec, RECT_OWN);
  w.r.tl = {int32_t(ld_le32(rec, RECT_TL_ROW)), int32_t(ld_le32(rec, RECT_TL_COL))};
  w.r.br = {int32_t(ld_le32(rec, RECT_BR_ROW)), int32_t(ld_le32(rec, RECT_BR_COL))};
  w.new_vis = ld_u8(rec, RECT_NEW_VIS);
  return w;
}

namespace {

constexpr const char* kModule = "WM1";

// A system error naming the file manager's status of `arb`.
void rect_fail(int line, const char* text, const ARB* arb) {
  sys_err(kModule, line, "%s (status %u)", text, arb ? arb->arb_stat : 0u);
}

int slot(ARB* arb, fms_slot fms_fn::*s, uint16_t mod, uint8_t* rec) {
  STRM* st = arb_strm(arb);
  arb->arb_mod = mod;
  arb->arb_rec = rec;
  arb->arb_key_end = nullptr;
  return (st->strm_fms->*s)(arb, st);
}

int rect_write(ARB* arb, const wm_rect& w) {
  uint8_t rec[kRectRecLen];
  rect_pack(w, rec);
  return slot(arb, &fms_fn::write, 0, rec);
}

int rect_delete(ARB* arb, const wm_rect& w) {
  uint8_t key[kRectRecLen];
  rect_pack(w, key);
  arb->arb_keyno = 0;
  if (!slot(arb, &fms_fn::read, ARB_EQUAL | ARB_LOCATE | ARB_HOLD, key)) return 0;
  return slot(arb, &fms_fn::del, 0, arb->arb_rec);
}

using rect_key = std::tuple<uint32_t, int32_t, int32_t>;
rect_key key_of(const wm_rect& w) { return {w.own, w.r.tl.row, w.r.tl.col}; }
bool same(const wm_rect& a, const wm_rect& b) {
  return a.obs == b.obs && a.own == b.own && a.r.tl.row == b.r.tl.row && a.r.tl.col == b.r.tl.col &&
         a.r.br.row == b.r.br.row && a.r.br.col == b.r.br.col && a.new_vis == b.new_vis;
}

// Writes back what changed between `old` and `now`: removals first, so
// that a rectangle moved to another record never meets its old key.
int rect_sync(TSRF* srf, const std::vector<wm_rect>& old, const std::vector<wm_rect>& now, const char* what) {
  std::map<rect_key, const wm_rect*> before, after;
  for (auto& w : old) before[key_of(w)] = &w;
  for (auto& w : now) after[key_of(w)] = &w;
  for (auto& [k, w] : before) {
    auto it = after.find(k);
    if (it != after.end() && same(*w, *it->second)) continue;
    if (!rect_delete(srf->rect_arb, *w)) return rect_fail(__LINE__, what, srf->rect_arb), 0;
  }
  for (auto& [k, w] : after) {
    auto it = before.find(k);
    if (it != before.end() && same(*w, *it->second)) continue;
    if (!rect_write(srf->rect_arb, *w)) return rect_fail(__LINE__, what, srf->rect_arb), 0;
  }
  return 1;
}

int32_t height(const wm_rect& w) { return w.r.br.row - w.r.tl.row + 1; }

using vis_map = std::map<std::pair<int32_t, int32_t>, wm_rect>;

// Splits `rs` into the visible rectangles by (row, col) and the rest.
vis_map take_visible(std::vector<wm_rect>& rs) {
  vis_map vis;
  std::vector<wm_rect> rest;
  for (auto& w : rs) {
    if (w.obs == 0) vis[{w.r.tl.row, w.r.tl.col}] = w;
    else rest.push_back(w);
  }
  rs.swap(rest);
  return vis;
}

void put_back(std::vector<wm_rect>& rs, const vis_map& vis) {
  for (auto& [k, w] : vis) rs.push_back(w);
}

// The rectangles directly below `top` with its owner and columns: one
// height with it. Returns the chain, `top` first.
std::vector<wm_rect> min_height(const vis_map& vis, const wm_rect& top) {
  std::vector<wm_rect> chain{top};
  while (chain.back().r.br.row < kPlaneEdge) {
    auto it = vis.find({chain.back().r.br.row + 1, top.r.tl.col});
    if (it == vis.end() || it->second.own != top.own || it->second.r.br.col != top.r.br.col) break;
    chain.push_back(it->second);
  }
  return chain;
}

}  // namespace

int rect_file_create(TSRF* srf, uint32_t scope) {
  srf->rect_arb = wm_create_file(wm_file::RECT, scope, "wm_attach() - create of rect file failed");
  if (!srf->rect_arb) return 0;
  FAD fad{};
  srf->rect_vis = FM_ATTACH(srf->rect_arb, &fad, scope);
  if (srf->rect_vis) srf->rect_vis->arb_keyno = 1;
  wm_rect plane{0, 0, {{1, 1}, {kPlaneEdge, kPlaneEdge}}, 1};
  if (!srf->rect_vis || !rect_write(srf->rect_arb, plane)) {
    rect_fail(__LINE__, "wm_create_srf() - write", srf->rect_arb);
    rect_file_close(srf);
    return 0;
  }
  return 1;
}

void rect_file_close(TSRF* srf) {
  if (srf->rect_vis && !fm_detach(srf->rect_vis)) rect_fail(__LINE__, "wm_destroy_srf() - detach", srf->rect_vis);
  if (srf->rect_arb && !FM_CLOSE(srf->rect_arb, ARB_SCRATCH))
    rect_fail(__LINE__, "wm_destroy_srf() - close with scratch", srf->rect_arb);
  srf->rect_vis = srf->rect_arb = nullptr;
}

int rect_save(TSRF* srf, const std::vector<wm_rect>& now) {
  return rect_sync(srf, rect_load(srf), now, "wm_show() - write");
}

std::vector<wm_rect> rect_load(TSRF* srf) {
  std::vector<wm_rect> rs;
  ARB* arb = srf->rect_arb;
  arb->arb_keyno = 0;
  if (!slot(arb, &fms_fn::start, ARB_FIRST, nullptr)) return rs;
  while (slot(arb, &fms_fn::rdnxt, ARB_LOCATE, nullptr)) rs.push_back(rect_unpack(arb->arb_rec));
  return rs;
}

void limit_rect(std::vector<wm_rect>& rs) {
  vis_map vis = take_visible(rs);
  for (int64_t r = 1; r <= kPlaneEdge;) {
    auto lo = vis.lower_bound({int32_t(r), INT32_MIN});
    std::vector<std::vector<wm_rect>> band;
    for (auto it = lo; it != vis.end() && it->first.first == r; ++it) band.push_back(min_height(vis, it->second));
    if (band.empty()) break;
    int32_t m = INT32_MAX;
    for (auto& c : band) m = std::min(m, c.back().r.br.row - int32_t(r) + 1);
    for (auto& c : band) {
      if (c.size() == 1 && height(c[0]) == m) continue;
      uint8_t nv = 0;
      for (auto& w : c) nv |= w.new_vis, vis.erase({w.r.tl.row, w.r.tl.col});
      wm_rect top = c[0];
      top.r.br.row = int32_t(r + m - 1);
      top.new_vis = nv;
      vis[{top.r.tl.row, top.r.tl.col}] = top;
      if (c.back().r.br.row == top.r.br.row) continue;
      wm_rect rest = top;
      rest.r.tl.row = top.r.br.row + 1;
      rest.r.br.row = c.back().r.br.row;
      vis[{rest.r.tl.row, rest.r.tl.col}] = rest;
    }
    r += m;
  }
  put_back(rs, vis);
}

void merge_rect(std::vector<wm_rect>& rs) {
  vis_map vis = take_visible(rs);
  vis_map out;
  for (auto it = vis.begin(); it != vis.end();) {
    std::vector<wm_rect> run{it->second};
    // Only neighbours that touch merge: before the bands are restored a
    // rectangle from a row above may lie between two that start on a row.
    for (++it; it != vis.end(); ++it) {
      const wm_rect& w = it->second;
      const wm_rect& last = run.back();
      if (w.own != last.own || w.r.tl.row != last.r.tl.row || last.r.br.col == kPlaneEdge ||
          w.r.tl.col != last.r.br.col + 1)
        break;
      run.push_back(w);
    }
    int32_t h = INT32_MAX;
    uint8_t nv = 0;
    for (auto& w : run) h = std::min(h, height(w)), nv |= w.new_vis;
    wm_rect m = run[0];
    m.r.br = {m.r.tl.row + (h - 1), run.back().r.br.col};  // open bands reach the edge
    m.new_vis = nv;
    out[{m.r.tl.row, m.r.tl.col}] = m;
    for (auto& w : run) {
      if (height(w) == h) continue;
      wm_rect below = w;
      below.r.tl.row = w.r.tl.row + h;
      out[{below.r.tl.row, below.r.tl.col}] = below;
    }
  }
  put_back(rs, out);
  limit_rect(rs);
}

int make_rect(TSRF* srf, TWND* w) {
  std::vector<wm_rect> old = rect_load(srf);
  std::vector<wm_rect> now;
  ut_rect wr{w->TOP_LEFT(), w->BOT_RIGHT};
  for (auto& v : old) {
    ut_subdiv_out d;
    if (v.obs != 0 || !ut_subdiv(wr.tl, wr.br, v.r.tl, v.r.br, &d)) {
      now.push_back(v);
      continue;
    }
    wm_rect in = v;
    in.r = d.inter;
    in.obs = w->id;
    now.push_back(in);
    for (int i = 0; i < d.count; ++i) {
      wm_rect out = v;
      out.r = d.piece[i];
      now.push_back(out);
    }
  }
  now.push_back({0, w->id, wr, 1});
  limit_rect(now);
  return rect_sync(srf, old, now, "make_rect() - write");
}

int uncover_rect(TSRF* srf, TWND* w) {
  std::vector<wm_rect> old = rect_load(srf);
  std::vector<wm_rect> owned, covered, now;
  for (auto& r : old) (r.own == w->id ? owned : r.obs == w->id ? covered : now).push_back(r);
  for (auto& r : owned) {
    std::vector<wm_rect> left;
    for (auto& q : covered) {
      ut_subdiv_out d;
      if (!ut_subdiv(r.r.tl, r.r.br, q.r.tl, q.r.br, &d)) {
        left.push_back(q);
        continue;
      }
      wm_rect in = q;
      in.r = d.inter;
      in.obs = r.obs;
      if (r.obs == 0) in.new_vis = 1;
      now.push_back(in);
      for (int i = 0; i < d.count; ++i) {
        wm_rect out = q;
        out.r = d.piece[i];
        left.push_back(out);
      }
    }
    covered.swap(left);
  }
  // Whatever the window's own area did not reach keeps its cover: nothing
  // is lost even from a damaged file.
  now.insert(now.end(), covered.begin(), covered.end());
  merge_rect(now);
  return rect_sync(srf, old, now, "wm_detach() - write");
}

}  // namespace kivo
