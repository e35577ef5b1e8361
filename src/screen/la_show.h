// Showing messages on the screen: the pending messages of a message memory
// file in a window, and the system-error screen.
//
// Both are written over the window manager's surfaces and windows and its
// region writing and show (screen/screen.h); while those fail, la_show_msg
// reports its failure and the system-error screen hands back to the text
// form.
#pragma once

#include <cstdint>
#include <string>

#include "fm/fm_objects.h"
#include "screen/tm.h"

namespace kivo {

// Show-request bits beside tm.h's SHOW_BEEP and SHOW_INPUT.
constexpr uint8_t SHOW_DISPLAY = SHOW_REFRESH;
constexpr uint8_t kCursorAt = 4;  // cursor type: at the given position

// Shows the messages of `msg_file` (la_create_fi), one a line, above a line
// with message 300090, until ENTER, END or CANCEL; the key in `key`.
// 0 when there is no file, it holds no message, or a call failed (a system
// error).
int la_show_msg(ARB* msg_file, uint32_t* key);

// Shows `text` whole in a framed window centred over the screen, wrapped
// at blanks to the screen's width (a line feed starts a line), above the
// line of message 300090, until ENTER, END or CANCEL; the key in `key`.
// 0 before the window manager has started, without a terminal, or when a
// call failed.
int la_show_text(const std::string& text, uint32_t* key);

// The screen form of a system error (sys_err.h's SYS_ERR_*): the 12 x 72
// error window over the current surface until ENTER or CANCEL. One
// raised while the terminal reads a key (the key's name for a snapshot or
// a recording) is kept, the first only, and answers "continue": a window
// shown there would read keys inside that read and take its key.
int wm_sys_err_screen(const char* module, int line, const char* text);

// Whether a report was kept back while the terminal read, and showing it
// (os_sys_err_show, so that CANCEL leaves the level).
bool wm_sys_err_kept();
void wm_sys_err_show_kept();

}  // namespace kivo
