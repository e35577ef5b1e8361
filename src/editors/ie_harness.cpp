// The image mode of the tool harness (see ie_harness.h): the design
// application's part around "IE_INIT" and "IE_EDIT", with its screens
// replaced by a script of answers.
#include "editors/ie_harness.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "editors/ie_internal.h"
#include "fm/fm_open.h"
#include "foundation/com.h"
#include "foundation/descriptors.h"
#include "foundation/end_codes.h"
#include "foundation/invoc.h"
#include "interp/rt_fns.h"
#include "process/pi_internal.h"
#include "process/process.h"

namespace kivo {

namespace {

// The next script line that is not a comment, or an empty string.
std::string next_line(FILE* f) {
  char buf[256];
  while (f && fgets(buf, sizeof buf, f)) {
    std::string s(buf);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
    if (!s.empty() && s[0] != '#') return s;
  }
  return {};
}

// Request 9: the exception of each row of the rectangle, as the design
// application records it.
void add_xcepts(ARB* xcept, const uint8_t* img, const uint8_t* chr, const char* lang) {
  std::vector<uint8_t> x(kXceptSize, ' ');
  const uint32_t top = ld_le32(chr, RI_ROW), rows = ld_le32(chr, CR_ROWS);
  const uint16_t col = uint16_t(ld_le32(chr, RI_COL)), len = uint16_t(ld_le32(chr, CR_COLS));
  for (uint32_t r = top; r < top + rows; ++r) {
    prep_dxcept(x.data(), img, &r, &col, lang);
    st_le16(x.data(), XC_LEN, len);
    ie_put(xcept, x.data(), kXceptSize);
  }
}

void answer(FILE* script, uint8_t request, uint8_t* itm, uint8_t* curs, uint8_t* chr, ARB* xcept, const uint8_t* img) {
  if (request != IE_REQ_ITEM && request != IE_REQ_NEW_ITEM && request != IE_REQ_CURSOR && request != IE_REQ_CHR &&
      request != IE_REQ_BOX && request != IE_REQ_XCEPT)
    return;
  const std::string line = next_line(script);
  char chr_flags[5] = {}, lang[4] = {};
  unsigned value = 0;
  if (request == IE_REQ_CHR || request == IE_REQ_BOX) {
    if (sscanf(line.c_str(), "2 %4s %u", chr_flags, &value) == 2 && strlen(chr_flags) == 4 && value < 256) {
      for (int i = 0; i < 4; ++i) chr[CR_FLAGS + i] = chr_flags[i] == '.' ? ' ' : uint8_t(chr_flags[i]);
      chr[CR_REVERSE] = uint8_t(value);
    }
    return;
  }
  if (request == IE_REQ_XCEPT) {
    if (sscanf(line.c_str(), "9 %3s", lang) == 1) add_xcepts(xcept, img, chr, strcmp(lang, "...") ? lang : nullptr);
    return;
  }
  char ap[4] = {}, field[23] = {}, flags[11] = {};
  unsigned code = 0, rows = 0, cols = 0;
  if (sscanf(line.c_str(), "%u %3s %22s %u %u", &code, ap, field, &rows, &cols) == 5 && code == 1 &&
      request != IE_REQ_CURSOR) {
    memcpy(itm + IT_AP, ap, 3);
    memset(itm + IT_FIELD, ' ', 22), memcpy(itm + IT_FIELD, field, strlen(field));
    st_le32(itm, IT_ROWS, rows), st_le32(itm, IT_COLS, cols);
  } else if (sscanf(line.c_str(), "%u %10s", &code, flags) == 2 && code == 6 && strlen(flags) == 10) {
    for (int i = 0; i < 10; ++i) curs[CU_FLAGS + i] = flags[i] == '.' ? ' ' : uint8_t(flags[i]);
  }
}

ARB* open_images(const char* ap, const char* ver) {
  FDB f;
  KDB k[kInitMaxKeys];
  SDB s[kInitMaxSegs];
  INIT_DIMG_FDB(&f, k, s, ap, ver);
  return FM_OPEN(&f, com.proc_scope, LFB_ANY_DIR, 0x0f, 0x0f) ? f.fdb_arb : nullptr;
}

// The image named in text, "type:name:kind:frame:image[:ap:ver]" (the form
// a process's alpha constant can hold: the stored key has binary bytes),
// into `key`, with the application it names, if any; false when the
// argument is not in that form.
bool text_key(const rt_arg& a, uint8_t* key, std::string* ap, std::string* ver) {
  const std::string s(reinterpret_cast<const char*>(a.addr), a.len);
  char name[31] = {}, tap[4] = {}, tver[3] = {};
  unsigned type = 0, kind = 0, frame = 0, image = 0;
  if (s.size() < 2 || s[1] != ':' || s[0] < '1' || s[0] > '9') return false;
  const int n = sscanf(s.c_str(), "%u:%30[^:]:%u:%u:%u:%3[^:]:%2s", &type, name, &kind, &frame, &image, tap, tver);
  if (n != 5 && n != 7) return false;
  memset(key, ' ', kImageKeyLen);
  key[0] = uint8_t(type), memcpy(key + 1, name, strlen(name));
  key[31] = uint8_t(kind), st_le32(key, 32, frame), key[IM_NUMBER] = uint8_t(image);
  if (n == 7) *ap = tap, *ver = tver;
  return true;
}

int rt_ie_tooltest(RT_CALL& c) {
  if (!c.args[0].addr) return 0;
  std::string ap(com.cur_ap, 3), ver(com.cur_ver, 2);
  // The status line's application skips the runtime's own processes: a
  // caller of "0LA" plays its own images.
  if (ap == "   " && c.pcb) ap.assign(c.pcb->invoc.ap_id(), 3), ver.assign(c.pcb->invoc.ver(), 2);
  uint8_t text[kImageKeyLen];
  const bool as_text = text_key(c.args[0], text, &ap, &ver);
  if (!as_text && c.args[0].len < kImageKeyLen) return 0;
  FILE* script = nullptr;
  if (const char* p = getenv("KIVO_IE_SCRIPT"); p && *p) script = fopen(p, "r");
  const int end = ie_play(c.pcb, as_text ? text : c.args[0].addr, ap.c_str(), ver.c_str(), script);
  if (script) fclose(script);
  return end != 0;
}

}  // namespace

int ie_play(PCB* pcb, const uint8_t* key, const char* ap, const char* ver, FILE* script) {
  ARB* images = open_images(ap, ver);
  if (!images) return 0;
  uint8_t img[kImageRecSize] = {};
  memcpy(img, key, kImageKeyLen);
  ARB* itms = ie_mem_file("ITEMWORK", kIeItemSize, 0, kIeItemKeys, com.proc_scope);
  ARB* rows = ie_mem_file("ROWWORK ", kRowRecSize, 1, kIeRowKeys, com.proc_scope);
  ARB* xcept = create_tmp_xcept(com.proc_scope);
  uint8_t ctl[kIeCtlSize], itm[kIeItemSize], curs[kIeCursSize] = {}, chr[kChrRecSize] = {};
  memset(ctl, ' ', sizeof ctl), memset(itm, ' ', sizeof itm);
  memcpy(ctl + IEC_AP, ap, 3), memcpy(ctl + IEC_VER, ver, 2);
  st_le32(ctl, IEC_MESSAGE, 0), st_le32(ctl, IEC_STATE, 0);
  ctl[IEC_EDITABLE] = '1';
  int end = 0;
  if (itms && rows && xcept && ie_get(images, 0, img, kImageRecSize) && ie_init(pcb, img, itms, ctl, rows, xcept)) {
    for (;;) {
      if (!ie_edit(pcb, img, itm, curs, itms, chr, ctl, rows, xcept)) break;
      const uint8_t request = ctl[IEC_REQUEST];
      if (request >= IE_END_OPT11) {
        end = request;
        break;
      }
      answer(script, request, itm, curs, chr, xcept, img);
    }
    if (end == IE_END_SAVED && !ie_rewrite(images, img, kImageRecSize)) end = 0;
  }
  for (ARB* a : {itms, rows, xcept})
    if (a) FM_CLOSE(a, ARB_SCRATCH);
  FM_CLOSE(images, 0);
  return end;
}

int ie_play_preview_choice(INVOC* v, const char* lang) {
  if (memcmp(v->ap_id(), "0AD", 3) != 0 || memcmp(v->proc_nam(), "SELECT PREVIEW LANGUAGE       ", kProcNameLen) != 0)
    return 0;
  uint8_t* area = lang ? pi_area(invoc_parent(*v), AREA_NEXT, kIePreviewLangAt + 3) : nullptr;
  if (area) memcpy(area + kIePreviewLangAt, lang, 3);
  v->set_end_code(area ? uint32_t{PI_END_NORMAL} : uint32_t{PI_END_CANCEL});
  return 1;
}

namespace {

void (*g_exec_before)(INVOC*);

void preview_stand_in(INVOC* v) {
  const char* lang = getenv("KIVO_IE_PREVIEW");
  if (ie_play_preview_choice(v, lang && strlen(lang) == 3 ? lang : nullptr)) return;
  if (g_exec_before) return g_exec_before(v);
  pi_exec_own(v);
}

}  // namespace

void ie_tooltest_register() {
  rt_add_fn({"IE_TOOLTEST", rt_ie_tooltest, 1, 0});
  g_exec_before = process_seams.exec;
  process_seams.exec = preview_stand_in;
}

}  // namespace kivo
