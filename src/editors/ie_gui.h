// The design editors' answers to a graphical client: which editor runs,
// the item under a cell, lists of applications, files and fields, and
// direct changes of items (paste, move, cut, resize).
//
// Invariants: every operation acts on the image editor `last_ie` names
// (the lists fall back to the statement editor's context), never on a
// control block of a level that ended; a refusal is a status and a result
// of 0, never a system error.
//
// Callers: the remote-terminal shim (editors/remote_term.cpp), tests.
#pragma once

#include <cstdint>

namespace kivo {

struct ARB;

// IE_GUI_REQ, the request block the caller builds.
struct IE_GUI_REQ {
  uint32_t kind = 0;            // out of operation 1: 1 image editor, 2 statement editor, 0 none
  void* editor = nullptr;       // out of operation 1: the IE_CTL or the statement editor's context
  uint32_t operation = 0;       // 1-5 ie_get_info, 6-10 ie_gui_edit
  uint32_t status = 0;          // out: IE_GUI_REFUSED, IE_GUI_VIEW_ONLY, IE_GUI_NOTHING
  uint32_t row = 0, col = 0;    // a cell of the image (item information: also out)
  uint32_t row2 = 0, col2 = 0;  // a target cell, or a size (rows, columns)
  ARB* list = nullptr;          // the open design file of a list between calls
  char ap[4] = {};              // application id, zero-terminated
  char name[23] = {};           // file or field name, ended after its last non-blank
  char desc[31] = {};           // description, likewise; the name when blank
  uint8_t code = 0;             // kind code of a list entry
};

enum : uint32_t { IE_GUI_REFUSED = 1, IE_GUI_VIEW_ONLY = 2, IE_GUI_NOTHING = 3 };

// Operations 1-5 (get_ie_handle, get_itm_info, get_nxt_ap, get_nxt_fi,
// get_nxt_fld); 0 for an unknown one. A list returns 1 per entry and 0 at
// its end, where its file is closed.
int ie_get_info(IE_GUI_REQ* req);
// Operations 6-10 (gui_move, gui_cut, 8, gui_paste, gui_resize); 0 for an
// unknown one, 2 for operation 8.
int ie_gui_edit(IE_GUI_REQ* req);

// The statement editor's context (64 bytes: application id, version, ...)
// while an edit run is on, for the lists; null otherwise. The statement
// editor sets and clears it.
extern const uint8_t* se_cur_context;

}  // namespace kivo
