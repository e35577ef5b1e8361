// Placing alpha text: by alignment (`align_txt`), through a mask
// (`apply_msk`) and word-wrapped over rows (`wrap_itoe`).
//
// Each writes exactly its destination width and nothing outside it. A text
// that is all blank is placed without fill, so an empty value shows blank
// and reads back empty.
#include <algorithm>
#include <cstring>
#include <vector>

#include "foundation/com.h"
#include "types/cnv.h"

namespace kivo {

namespace {

int trim_right(const char* s, int n) {
  while (n > 0 && s[n - 1] == ' ') --n;
  return n;
}

void fill_outside(char* dst, int width, char fill, bool lead, bool trail) {
  int a = 0, b = width;
  while (a < width && dst[a] == ' ') ++a;
  if (a == width) return;
  while (b > a && dst[b - 1] == ' ') --b;
  if (lead) memset(dst, fill, static_cast<size_t>(a));
  if (trail) memset(dst + b, fill, static_cast<size_t>(width - b));
}

// Justified: words from the first column, every gap keeping its blank and
// the free columns spread over the gaps, the first gaps taking one more.
void justify(char* dst, int width, const char* src, int len) {
  std::vector<std::pair<int, int>> words;  // start, length
  for (int i = 0; i < len;) {
    while (i < len && src[i] == ' ') ++i;
    int j = i;
    while (j < len && src[j] != ' ') ++j;
    if (j > i) words.emplace_back(i, j - i);
    i = j;
  }
  int text = words.empty() ? 0 : static_cast<int>(words.size()) - 1;
  for (const auto& w : words) text += w.second;
  const int gaps = static_cast<int>(words.size()) - 1;
  if (gaps < 1 || text >= width) {
    memcpy(dst, src, static_cast<size_t>(std::min(len, width)));
    return;
  }
  const int free = width - text;
  int at = 0;
  for (int k = 0; k <= gaps; ++k) {
    memcpy(dst + at, src + words[k].first, static_cast<size_t>(words[k].second));
    at += words[k].second;
    if (k < gaps) at += 1 + free / gaps + (k < free % gaps ? 1 : 0);
  }
}

}  // namespace

bool alp_msk_data(char m) { return m == '#' || m == '@' || m == '&' || m == '*' || m == '!' || m == '\0'; }

char alp_msk_char(const char* mask, int i) {
  int n = kCvMaskLen;
  while (n && (mask[n - 1] == ' ' || mask[n - 1] == '\0')) --n;
  return i < n ? mask[i] : '#';
}

void align_txt(char* dst, int width, const char* src, int len, int mode, char fill) {
  if (width <= 0) return;
  memset(dst, ' ', static_cast<size_t>(width));
  const int m = mode & ~ALN_WRAP;
  const int tl = std::min(trim_right(src, len), width);
  const bool fills = fill != ' ';
  switch (m) {
    case ALN_LEFT:
      memcpy(dst, src, static_cast<size_t>(tl));
      if (fills) fill_outside(dst, width, fill, false, true);
      return;
    case ALN_RIGHT:
      memcpy(dst + width - tl, src, static_cast<size_t>(tl));
      if (fills) fill_outside(dst, width, fill, true, false);
      return;
    case ALN_JUST: justify(dst, width, src, tl); return;
    case ALN_CENTRE:
      memcpy(dst + (width - tl + 1) / 2, src, static_cast<size_t>(tl));
      if (fills) fill_outside(dst, width, fill, true, true);
      return;
    default:
      memcpy(dst, src, static_cast<size_t>(std::min(len, width)));
      if (fills) fill_outside(dst, width, fill, true, true);
      return;
  }
}

void apply_msk(char* dst, int dst_len, const char* src, int len, const char* mask, int mode, char fill) {
  int end = trim_right(src, len);
  if (mode & ALN_RIGHT) {
    int start = 0;
    while (start < end && src[start] == ' ') ++start;
    for (int i = dst_len - 1; i >= 0; --i) {
      const char m = alp_msk_char(mask, i);
      dst[i] = !alp_msk_data(m) ? m : end > start ? src[--end] : fill;
    }
    return;
  }
  bool leading = true;
  int j = 0;
  for (int i = 0; i < dst_len; ++i) {
    const char m = alp_msk_char(mask, i);
    if (!alp_msk_data(m)) {
      dst[i] = m;
      continue;
    }
    if (j >= end) {
      dst[i] = fill;
      continue;
    }
    const char ch = src[j++];
    if (ch != ' ') leading = false;
    dst[i] = (leading && !(mode & ALN_LEFT)) ? fill : ch;
  }
}

void wrap_itoe(char* dst, int rows, int cols, int stride, const char* src, int len, int mode, char fill,
               bool dspl_only) {
  const char mark = static_cast<char>(com.parag_char);
  const int m = mode & ~ALN_WRAP;
  int pos = 0;
  for (int r = 0; r < rows; ++r) {
    char* row = dst + static_cast<ptrdiff_t>(r) * stride;
    while (pos < len && src[pos] == ' ') ++pos;
    const int window = std::min(cols, len - pos);
    int mark_at = -1, blank_at = -1;
    for (int k = 0; k < window && mark_at < 0; ++k) {
      if (src[pos + k] == mark) mark_at = k;
      else if (src[pos + k] == ' ') blank_at = k;
    }
    if (pos + cols < len && src[pos + cols] == ' ' && mark_at < 0) blank_at = cols;
    int take, skip, width = cols, row_mode = m;
    if (mark_at >= 0) {
      take = skip = mark_at + 1;
      if (m == ALN_JUST) row_mode = ALN_LEFT;
    } else if (len - pos <= cols) {
      take = skip = len - pos;
      if (m == ALN_JUST) row_mode = ALN_LEFT;
    } else if (blank_at > 0) {
      take = blank_at;
      skip = blank_at + 1;
      if (m == ALN_JUST) width = cols - 1;
    } else {
      // A word longer than the row: right alignment first shows the part
      // that does not fill a whole row.
      int word = 0;
      while (pos + word < len && src[pos + word] != ' ' && src[pos + word] != mark) ++word;
      take = skip = (m == ALN_RIGHT && word % cols) ? word % cols : cols;
    }
    memset(row, ' ', static_cast<size_t>(cols));
    align_txt(row, width, src + pos, take, row_mode, fill);
    pos += skip;
  }
  if (!dspl_only) return;
  for (int r = 0; r < rows; ++r)
    for (int k = 0; k < cols; ++k) {
      char& ch = dst[static_cast<ptrdiff_t>(r) * stride + k];
      if (ch == mark || ch == static_cast<char>(com.uscore_char)) ch = ' ';
    }
}

}  // namespace kivo
