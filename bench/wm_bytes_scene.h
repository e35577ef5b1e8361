// The screen changes both byte-count programs make, with the same texts,
// places and attributes, and the protocol by which each tells the counting
// parent where a change ends.
//
// A child runs on a pseudo-terminal; after each change it writes one line to
// the marker descriptor ("M name" count the bytes since the last marker
// under name; "name|sent|full" carries the bytes a remote server sent and a
// full repaint's, counted by the child itself; "S" settle: drop them, "K name" a key is read next: count what
// the parent's typed character makes appear) and waits for one byte back.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace wm_bytes {

constexpr int kMarkerFd = 3;  // child -> parent
constexpr int kAckFd = 4;     // parent -> child

// The form window: a label and a field, a label and a counter.
constexpr int kFormRow = 3, kFormCol = 10, kFormRows = 8, kFormCols = 40;
constexpr const char* kNameLabel = "NAME:";
constexpr int kFieldCol = 8, kFieldLen = 10;  // in the window, row 1
constexpr const char* kCountLabel = "COUNT:";
constexpr const char* kCountBefore = "00001";
constexpr const char* kCountAfter = "00002";  // row 2, column kFieldCol
constexpr char kTyped = 'a';

// The list: rows of one line scrolling up in a window of kListRows.
constexpr int kListRow = 13, kListCol = 10, kListRows = 5, kListCols = 30;
inline void list_row(char* out, int n) { snprintf(out, 16, "ROW %02d", n); }

// The pop-up window and its text.
constexpr int kPopRow = 6, kPopCol = 30, kPopRows = 5, kPopCols = 20;
constexpr const char* kPopText = "POP-UP WINDOW";

// The message, bold, on the message line (row 23).
constexpr const char* kMessage = "Record not found";

// `extra` (may be empty) rides on the line: "|sent|full" from a child that
// counts its own bytes.
inline void mark(const char* kind, const char* name, const char* extra = "") {
  char line[96];
  int n = snprintf(line, sizeof line, "%s %s%s\n", kind, name, extra);
  if (write(kMarkerFd, line, size_t(n)) < 0) return;
  char ack;
  if (read(kAckFd, &ack, 1) < 0) return;
}

}  // namespace wm_bytes
