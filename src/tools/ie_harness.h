// The tool harness's image mode: plays the design application that calls
// the image editor. It reads the IMAGE record, makes the item, row and
// exception work files, calls "IE_INIT", then "IE_EDIT" until the request
// is negative, answering each request from a script, and writes the IMAGE
// record after a save.
//
// Script lines (one per answered request, in order; '#' comments):
//   1 <ap> <field> <rows> <cols>   an item's field and sizes (requests 1, 7)
//   6 <ten flag characters>        the cursor flags of the item ('.' = blank)
// Requests without a line go back as the editor left them.
//
// The key may also come as the text "type:name:kind:frame:image", which an
// alpha field of a process can hold.
#pragma once

#include <cstdint>
#include <cstdio>

#include "compiler/pcb.h"

namespace kivo {

// The end request (253-255), or 0 when the image or its files could not be
// had. `key` is the 37-byte image key; `ap`/`ver` the design application.
int ie_play(PCB* pcb, const uint8_t* key, const char* ap, const char* ver, FILE* script);

// The routine row "IE_TOOLTEST": one argument, the image key (at least 37
// bytes), played for the current application with the script that
// KIVO_IE_SCRIPT names (none: no answers).
void ie_tooltest_register();

}  // namespace kivo
