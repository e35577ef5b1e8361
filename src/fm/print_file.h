// Print manager: reports reach paper through print files. A print file is a
// plain text file in the print directory; line attributes travel in it as
// backspace overstrikes. At the end the file is either removed or handed,
// with a ".cfg" file of print options beside it, to the print script.
//
// Invariants:
//  - A block owns at most one open print file (`PM_BLK::file`); every call
//    reports through the block's status word and a 1/0 result.
//  - A print whose bytes did not all reach the disk is never handed to the
//    script: a failed write, flush or close sticks to the file and fails
//    every later write, the close and the clean-up.
//
// Callers: the report manager and the print built-ins (writing), the print
// viewer (reading). Files: print_build.cpp (pm_bld), print_write.cpp
// (pm_write), print_read.cpp (pm_open, pm_rdnxt, pm_read), print_io.cpp
// (buffer, pm_close, user id), print_cleanup.cpp (pm_cleanup).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "foundation/os.h"

namespace kivo {

// Status words of the block.
constexpr uint32_t PM_OK = 0;
constexpr uint32_t PM_EOF = 1;
constexpr uint32_t PM_NOT_OPEN = 2;
constexpr uint32_t PM_BAD_REQUEST = 3;  // unknown line kind, a name holding "/"
constexpr uint32_t PM_NO_FILE_AT_CLEANUP = 0x10000;
constexpr uint32_t PM_CFG_FAILED = 0x20000;   // + the system error number
constexpr uint32_t PM_FILE_FAILED = 0x40000;  // + the system error number: make, write, flush or close

// Attribute bits of a line position.
constexpr uint32_t PM_ATTR_BOLD = 0x0040;
constexpr uint32_t PM_ATTR_UNDERLINE = 0x0100;
constexpr uint32_t PM_ATTR_BLANK = 0x0030;   // both bits
constexpr uint32_t PM_ATTR_MARKER = 0x3000;  // both bits when writing
constexpr uint32_t PM_ATTR_MARKED = 0x1000;  // what the reader reports for a marker

// Modes and dispositions (1-based; 0 and out-of-range values become 1 at clean-up).
constexpr uint8_t PM_MODE_HOLD = 1, PM_MODE_SPOOL = 2, PM_MODE_KEEP = 3, PM_MODE_ONLINE = 4;
constexpr uint8_t PM_DISP_SCRATCH = 1, PM_DISP_SAVE = 2, PM_DISP_REQUEUE = 3;

constexpr size_t kPmNameLen = 8;
constexpr size_t kPmPathLen = 255;      // the caller's path area, blank padded
constexpr size_t kPmBufferSize = 8192;  // write buffer, and the shared read buffer
constexpr size_t kPmLineChars = 255;    // characters of a line read back
constexpr uint32_t kPmNoTime = 0xFFFFFFFF;

struct PM_FILE;

// Print request block, filled by the caller. In memory only (it holds a
// pointer), so it is larger than the 32-bit original; the fields keep their
// order. Text fields are blank padded.
struct PM_BLK {
  char name[kPmNameLen];  // blank: a name is made from "PRTFI"
  PM_FILE* file;          // the open print file, null when closed
  uint32_t line;          // writer: line of the page; reader: line of the file
  uint8_t blank_lines;    // blank lines the reader passed before its last line (at most 255)
  uint32_t page;          // 0 before the first page; pm_read: the page to find, 0 to find `line`
  char marker[4];         // written for a marker position, `marker_len` bytes of it
  uint8_t marker_len;
  char format[10];
  uint8_t mode;         // PM_MODE_*
  uint8_t disposition;  // PM_DISP_*
  char priority[10];
  uint8_t copies;
  // The print date as the engine's clock value (day number, hundredths); a
  // day of kPmNoTime is none. Both words: the options show the time of day.
  ss_clock request_time;
  uint8_t notify;  // flags: 0 no
  uint8_t banner;
  uint8_t print;  // 0: the file is removed at clean-up instead of printed
  uint32_t status;
  char form_name[10];
  char form_id[80];
  char form_ctl[100];
  char printer_name[10];
  char printer_id[80];
  char printer_queue[30];
  char printer_ctl[100];
  char rpt_options[256];
};

// An attribute run of a line to write: columns col .. col + len - 1, counted
// from 1. The colour word rides along from the report's characteristics and
// does not reach the file.
struct PM_RUN {
  uint32_t attr;
  uint16_t col;
  uint16_t len;
  uint32_t colour;
};

// Line kinds.
constexpr uint8_t PM_NEW_PAGE = 1;
constexpr uint8_t PM_ADVANCE = 2;  // `count` line feeds, then the text
constexpr uint8_t PM_TO_LINE = 3;  // line feeds up to line `count` of the page, then the text

// A line exchanged with the caller.
struct PM_LINE {
  const char* text;  // writing: the caller's; reading: the file's own, valid until its next read
  uint16_t len;
  uint8_t kind;
  uint16_t count;
  uint8_t run_count;  // writing: the runs; they may overlap and their attributes add up
  const PM_RUN* runs;
  uint32_t attrs[kPmLineChars];  // reading: one attribute word per character
};

// Makes and opens a new print file with a unique name (exclusive create,
// readable and writable by its user only). The full path goes blank padded
// into path_out (kPmPathLen characters); the block's name becomes the file's.
// The marker becomes "amw" of length 2, line and page 0.
int pm_bld(PM_BLK* blk, char* path_out);

// What a failed call's status says in words, for its report: "the print
// folder is full" for a full disk, the system's text for another system
// error, else empty.
std::string pm_status_text(uint32_t status);
// What the user does about a failed call's status that is the user's to put
// right, no fault of the engine (a full print folder, the file-size limit);
// null for any other.
const char* pm_status_remedy(uint32_t status);

// Writes one line (PM_LINE kinds 1 to 3). No open file, an unknown kind or a
// failed write: 0 with the status.
int pm_write(PM_BLK* blk, const PM_LINE* line);

// Opens the block's print file for reading (after closing any open one).
int pm_open(PM_BLK* blk);

// Reads the next line: kind 1 for a page start (the block's page and line
// become the reader's), kind 2 for text after `count` line feeds. 0 with
// PM_EOF at the end, PM_NOT_OPEN without a file.
int pm_rdnxt(PM_BLK* blk, PM_LINE* line);

// Finds the block's page (page != 0), giving its kind-1 line, or the first
// line at or after the block's line (page 0); rewinds or reads on as needed.
int pm_read(PM_BLK* blk, PM_LINE* line);

// Flushes and closes the open file. 1 when a file was open and closed
// whole; 0 with PM_NOT_OPEN, or with PM_FILE_FAILED when bytes were lost.
int pm_close(PM_BLK* blk);

// Finishes the print: removes the file (print flag clear) or writes its
// ".cfg" file and, unless the mode is KEEP, runs the print script on it.
int pm_cleanup(PM_BLK* blk);

// The current USER record, whose 80 characters after the 3-character user id
// are the "-user=" option; null when there is none (the option is empty).
// It comes from fm_hooks.pm_user (fm/fm.h) when that is filled, else from
// this one: the record read at start-up (com.user_rec).
using pm_user_source = const uint8_t* (*)();
const uint8_t* pm_start_up_user();

}  // namespace kivo
