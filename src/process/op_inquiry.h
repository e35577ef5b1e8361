// The screen sink of an INQUIRY process: the print blocks of its report go
// to a window of the main surface's size a page at a time; each full page,
// new-page control and the end show the page and wait for a key.
#pragma once

#include <cstdint>

#include "compiler/pcb.h"
#include "process/rm.h"

namespace kivo {

// The sink for `p`'s report (its state in the PCB's pool); the window's
// rows become the page length through inq_page_len.
const rm_sink* inq_sink(PCB* p);
// The rows of `p`'s page, 0 when it has no window.
uint16_t inq_page_len(PCB* p);
// The end code the user chose at a page (2 END, 4 CANCEL), 0 none; the
// window is taken down.
uint32_t inq_end(PCB* p);

// Shows a page (`rows` lines of `cols` characters) in the window with keymap
// "DATA ENTRY" and waits for a key: 1 go on, 2 end, 4 cancel
// (process_seams.inq_show_page, which tests replace).
uint32_t inq_show_page_own(PCB* p, const char* page, uint16_t rows, uint16_t cols);

}  // namespace kivo
