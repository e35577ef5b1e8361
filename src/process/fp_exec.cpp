// fp_exec: one frame of a process. A frame without a screen image runs its
// event points around the display of its image; a MENU or INPUT frame with
// a screen image shows it and loops over keys until one ends the frame.
//
// Invariant: pcb_cur_frm and pcb_cur_img name the frame and image whose
// event points run; they stay set after the frame, as the last ones run.
// Callers: the MENU process, the action processes, later INPUT and OUTPUT.
#include <algorithm>
#include <cstring>

#include "compiler/em.h"
#include "compiler/em_child.h"
#include "compiler/em_frame.h"
#include "compiler/em_image.h"
#include "compiler/em_records.h"
#include "foundation/bytes.h"
#include "foundation/end_codes.h"
#include "foundation/os.h"
#include "foundation/scope.h"
#include "interp/interp.h"
#include "process/fp.h"
#include "process/op.h"
#include "process/pi.h"
#include "process/pi_internal.h"
#include "process/process.h"
#include "screen/tm_keys.h"

namespace kivo {

fp_type_ops fp_types[kProcTypes + 1];

namespace {

enum : uint16_t {
  EP_FRM_START = 21,
  EP_FRM_IMAGE = 22,
  EP_FRM_SHOW = 23,
  EP_FRM_OPTION = 24,
  EP_FRM_END = 25,
  EP_IMG_START = 41,
  EP_IMG_PRE = 42,
  EP_IMG_POST = 43,
  EP_IMG_ENTER = 44,
};
constexpr size_t kA7ImageNo = 12;  // area 7: "IMAGE NO", binary 2
enum : uint8_t { IMG_SCREEN = 1, IMG_POPUP = 2 };

bool stopped(PCB* p, uint16_t ep) { return fp_ep(p, ep, nullptr) & kEpStop; }

const uint8_t* frame_rec(PCB* p, uint32_t frm_no) {
  EM* em = p->pcb_em;
  if (!em || !p->pcb_frames || frm_no == 0 || frm_no > em->em_frm_cnt) return nullptr;
  return reinterpret_cast<pcb_frm_ent*>(p->pcb_frames)[frm_no].rec;
}

const uint8_t* image_rec(PCB* p, uint32_t index) {
  EM* em = p->pcb_em;
  if (!p->pcb_images || index == 0 || index > em->em_img_cnt) return nullptr;
  return reinterpret_cast<pcb_img_ent*>(p->pcb_images)[index].rec;
}

// Event 22 chooses the image through "IMAGE NO" (cleared before it, so a
// choice made for one frame does not carry into the next); 0 or a number
// the frame lacks gives its first image.
const uint8_t* choose_image(PCB* p, const uint8_t* fr) {
  uint8_t* a7 = pi_area(p, AREA_NEXT, kA7ImageNo + 2);
  if (a7) st_le16(a7, kA7ImageNo, 0);
  fp_ep(p, EP_FRM_IMAGE, nullptr);
  const cfrm_view frame(fr);
  const uint32_t first = frame.first_img(), cnt = frame.img_cnt();
  if (!first || !cnt) return nullptr;
  const int16_t want = a7 ? int16_t(ld_le16(a7, kA7ImageNo)) : 0;
  for (uint32_t i = first; want > 0 && i < first + cnt; ++i) {
    const uint8_t* im = image_rec(p, i);
    if (im && cimg_view(im).number() == want) return im;
  }
  return image_rec(p, first);
}

bool on_screen(PCB* p, const uint8_t* im) {
  const uint8_t t = p->invoc.proc_type();
  if (!im || (t != PT_MENU && t != PT_INPUT)) return false;
  const uint8_t kind = cimg_view(im).kind();
  return kind == IMG_SCREEN || kind == IMG_POPUP;
}

// The image of a frame without a screen: its event points around the display.
void run_batch(PCB* p, const uint8_t* im) {
  fp_ep(p, EP_IMG_START, nullptr);
  fp_ep(p, EP_IMG_PRE, nullptr);
  if (im) op_img_exec(p, cimg_view(im).index());
  fp_ep(p, EP_IMG_POST, nullptr);
  fp_ep(p, EP_IMG_ENTER, nullptr);
}

uint32_t type_key(PCB* p, fp_frame* f, uint32_t key) {
  const fp_type_ops& ops = fp_types[p->invoc.proc_type()];
  if (ops.key) return ops.key(p, f, key);
  f->beep = true;
  return 0;
}

// One key of the screen loop: 0 keeps the frame, else the code it ends with.
uint32_t on_key(PCB* p, fp_frame* f) {
  const uint32_t key = f->key;
  if (key <= LK_OPTION_LAST) {
    if (stopped(p, EP_FRM_OPTION)) return 0;
    uint8_t* ch = fp_child_of(p, cfrm_view(f->frm).number(), key);
    if (!ch) {
      f->beep = true;
      return 0;
    }
    return invoc_chld(p, ch) == PI_END_MENU ? uint32_t(PI_END_MENU) : 0u;
  }
  switch (key) {
    case LK_ENTER: return stopped(p, EP_IMG_ENTER) ? 0 : type_key(p, f, key);
    case LK_END: return PI_END_PROCESS;
    case LK_CANCEL: return PI_END_CANCEL;
    default: return type_key(p, f, key);
  }
}

uint32_t run_screen(PCB* p, fp_frame* f) {
  if (!fp_open(p, f)) return PI_END_CANCEL;
  const fp_type_ops& ops = fp_types[p->invoc.proc_type()];
  if (f->entry_row) f->row = f->entry_row, f->col = f->entry_col;
  if (ops.start) ops.start(p, f);
  uint32_t end = 0;
  for (bool first = true; !end; first = false) {
    fp_ep(p, EP_IMG_PRE, nullptr);
    fp_ep(p, EP_FRM_SHOW, nullptr);
    if (!first) fp_refresh(p, f);
    fp_show(p, f);
    fp_ep(p, EP_IMG_POST, nullptr);
    end = on_key(p, f);
  }
  fp_ep(p, EP_FRM_END, nullptr);
  fp_close(f);
  return end;
}

}  // namespace

uint32_t fp_ep(PCB* p, uint16_t ep, const uint8_t* child) { return process_seams.fp_ep(p, ep, child); }

uint32_t fp_ep_own(PCB* p, uint16_t ep, const uint8_t* child) {
  EP_CALL call{};
  call.pcb = p;
  call.cur_frm = p->pcb_cur_frm ? cfrm_view(p->pcb_cur_frm).number() : 0;
  call.cur_img = p->pcb_cur_img ? cimg_view(p->pcb_cur_img).index() : 0;
  if (ep >= 61) II_EXEC_CHLD(&call, child, ep);
  else if (ep >= 41) II_EXEC_IMG(&call, ep);
  else II_EXEC_FRM(&call, ep);
  return call.result;
}

uint32_t fp_exec(PCB* p, uint32_t frm_no) {
  const uint8_t* fr = frame_rec(p, frm_no);
  if (!fr) return PI_END_NORMAL;
  p->pcb_cur_frm = const_cast<uint8_t*>(fr);
  p->pcb_cur_img = nullptr;
  if (stopped(p, EP_FRM_START)) return PI_END_NORMAL;
  const uint8_t* im = choose_image(p, fr);
  p->pcb_cur_img = const_cast<uint8_t*>(im);
  if (on_screen(p, im)) {
    fp_frame f{fr, im, nullptr, 1, 1, 0, 0, 0, false, {}};
    return run_screen(p, &f);
  }
  run_batch(p, im);
  fp_ep(p, EP_FRM_END, nullptr);
  return PI_END_NORMAL;
}

uint32_t fp_loop(PCB* p, uint32_t frm_no) {
  for (;;) {
    const uint32_t r = fp_exec(p, frm_no);
    if (r != PI_END_NORMAL && !(r == PI_END_MENU && !p->invoc.one_shot())) return r;
    ss_yield();
  }
}

uint8_t* fp_child_of(PCB* p, uint32_t frm_no, uint32_t option) {
  for (uint8_t* ch : fp_children(p, frm_no))
    if (cchld_view(ch).option() == option) return ch;
  return nullptr;
}

std::vector<uint8_t*> fp_children(PCB* p, uint32_t frm_no) {
  std::vector<uint8_t*> out;
  EM* em = p->pcb_em;
  if (!em || !p->pcb_children) return out;
  auto* t = reinterpret_cast<pcb_chld_ent*>(p->pcb_children);
  for (uint32_t n = 1; n <= em->em_chld_cnt; ++n)
    if (t[n].rec && ld_le32(t[n].rec, CCHLD_FRM) == frm_no) out.push_back(t[n].rec);
  std::stable_sort(out.begin(), out.end(),
                   [](const uint8_t* a, const uint8_t* b) { return cchld_view(a).option() < cchld_view(b).option(); });
  return out;
}

}  // namespace kivo
