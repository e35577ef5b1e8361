// The tool harness's image mode: plays the design application that calls
// the image editor. It reads the IMAGE record, makes the item, row and
// exception work files, calls "IE_INIT", then "IE_EDIT" until the request
// is negative, answering each request from a script, and writes the IMAGE
// record after a save.
//
// Script lines (one per answered request, in order; '#' comments):
//   1 <ap> <field> <rows> <cols>   an item's field and sizes (requests 1, 7)
//   6 <ten flag characters>        the cursor flags of the item ('.' = blank)
//   2 <four flags> <value>         a characteristic's flags ('.' = blank) and
//                                  value byte (requests 2 and 10)
//   9 <language or ...>            an exception over each row of the rectangle
// Requests without a line go back as the editor left them.
//
// The designer's choice of a preview language ("SELECT PREVIEW LANGUAGE" of
// "0AD") is played too: the language KIVO_IE_PREVIEW names goes into the
// caller's LANGUAGE field (area 7, bytes 664-666); unset, the choice is
// cancelled (end code 4).
//
// The key may also come as the text "type:name:kind:frame:image", which an
// alpha field of a process can hold.
#pragma once

#include <cstdint>
#include <cstdio>

#include "compiler/pcb.h"
#include "foundation/invoc.h"

namespace kivo {

// The end request (253-255), or 0 when the image or its files could not be
// had. `key` is the 37-byte image key; `ap`/`ver` the design application.
int ie_play(PCB* pcb, const uint8_t* key, const char* ap, const char* ver, FILE* script);

// The routine row "IE_TOOLTEST": one argument, the image key (at least 37
// bytes), played for the current application with the script that
// KIVO_IE_SCRIPT names (none: no answers); and the preview language's
// stand-in in the executive's hook, ahead of what was there.
void ie_tooltest_register();

// The stand-in's answer: the language into the invoker's area 7, or end
// code 4 when `lang` is null. 1 when the invocation was the language
// choice.
int ie_play_preview_choice(INVOC* v, const char* lang);

}  // namespace kivo
