// Writing a line of a print file (pm_write): the line advance, then the text
// with its attributes as backspace overstrikes, which any printer shows:
//   bold       the character struck three times, strikes separated by a backspace
//   underline  every byte followed by backspace and "_"
//   marker     the marker's bytes in place of the character, separated by backspaces
//   blank      a blank in place of the character
// A bold underlined "x" is x BS _ BS x BS _ BS x BS _.
#include <algorithm>
#include <cassert>
#include <cstring>

#include "fm/print_internal.h"
#include "foundation/text.h"

namespace kivo {

namespace {

constexpr uint8_t kBackspace = 0x08;
constexpr uint8_t kLineFeed = '\n';
constexpr uint8_t kFormFeed = '\f';

int advance(PM_BLK* blk, const PM_LINE* line) {
  PM_FILE* f = blk->file;
  switch (line->kind) {
    case PM_NEW_PAGE:
      blk->line = 0;
      if (++blk->page > 1) return pm_put_byte(f, kFormFeed);
      return 1;
    case PM_ADVANCE:
      for (uint16_t i = 0; i < line->count; ++i)
        if (!pm_put_byte(f, kLineFeed)) return 0;
      blk->line += line->count;
      return 1;
    case PM_TO_LINE:
      for (; blk->line < line->count; ++blk->line)
        if (!pm_put_byte(f, kLineFeed)) return 0;
      return 1;
  }
  return -1;
}

// The attributes of column `col` (from 1): every run covering it adds its own.
uint32_t attr_at(const PM_LINE* line, size_t col) {
  uint32_t a = 0;
  for (uint8_t i = 0; i < line->run_count; ++i) {
    const PM_RUN& r = line->runs[i];
    if (col >= r.col && col < static_cast<size_t>(r.col) + r.len) a |= r.attr;
  }
  return a;
}

// Positions written: up to the last non-blank, or further to the end of a run.
size_t written_length(const PM_LINE* line) {
  size_t n = ut_buflen(line->text, line->len);
  for (uint8_t i = 0; i < line->run_count; ++i) {
    const PM_RUN& r = line->runs[i];
    if (r.len > 0) n = std::max(n, static_cast<size_t>(r.col) + r.len - 1);
  }
  return n;
}

// One position: what it shows, then the strikes.
int put_position(PM_FILE* f, const PM_BLK* blk, char ch, uint32_t attr) {
  uint8_t shown[4];
  size_t n = 1;
  shown[0] = static_cast<uint8_t>(ch);
  if ((attr & PM_ATTR_BLANK) == PM_ATTR_BLANK) {
    shown[0] = ' ';
  } else if ((attr & PM_ATTR_MARKER) == PM_ATTR_MARKER) {
    // An empty marker still takes its column, as a blank.
    n = std::min<size_t>(blk->marker_len, sizeof blk->marker);
    if (n == 0) {
      n = 1;
      shown[0] = ' ';
    } else {
      memcpy(shown, blk->marker, n);
    }
  }
  const int strikes = attr & PM_ATTR_BOLD ? 3 : 1;
  const bool underline = attr & PM_ATTR_UNDERLINE;
  for (int s = 0; s < strikes; ++s) {
    if (s > 0 && !pm_put_byte(f, kBackspace)) return 0;
    for (size_t i = 0; i < n; ++i) {
      if (i > 0 && !pm_put_byte(f, kBackspace)) return 0;
      if (!pm_put_byte(f, shown[i])) return 0;
      if (underline && (!pm_put_byte(f, kBackspace) || !pm_put_byte(f, '_'))) return 0;
    }
  }
  return 1;
}

int put_text(PM_BLK* blk, const PM_LINE* line) {
  PM_FILE* f = blk->file;
  const size_t n = written_length(line);
  for (size_t p = 0; p < n; ++p) {
    // A run may reach past the text: those positions are blanks.
    const char ch = p < line->len ? line->text[p] : ' ';
    const uint32_t attr = attr_at(line, p + 1);
    if (attr == 0 ? !pm_put_byte(f, static_cast<uint8_t>(ch)) : !put_position(f, blk, ch, attr)) return 0;
  }
  return 1;
}

}  // namespace

int pm_write(PM_BLK* blk, const PM_LINE* line) {
  assert(line->run_count == 0 || line->runs);
  if (!blk->file) return pm_fail(blk, PM_NOT_OPEN, 0);
  PM_FILE* f = blk->file;
  if (f->error) return pm_fail(blk, PM_FILE_FAILED, f->error);
  const int moved = advance(blk, line);
  if (moved < 0) return pm_fail(blk, PM_BAD_REQUEST, 0);
  if (moved == 0) return pm_fail(blk, PM_FILE_FAILED, f->error);
  if (line->text && line->len > 0 && !put_text(blk, line)) return pm_fail(blk, PM_FILE_FAILED, f->error);
  blk->status = PM_OK;
  return 1;
}

}  // namespace kivo
