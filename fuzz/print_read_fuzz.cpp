// Reading print files back (pm_rdnxt, pm_read): the input's first two bytes
// are the marker's second and third, the rest is the print file. Properties:
// lines stay within their 255 characters; every line feed and form feed is
// accounted for exactly once; every page is found by pm_read, in any order,
// and the page after the last one is the end of the file.
#include <algorithm>
#include <cstring>
#include <string>

#include "fm/print_file.h"
#include "foundation/com.h"
#include "foundation/foundation.h"
#include "foundation/sys_err.h"
#include "fuzz_util.h"

using namespace kivo;

namespace {

struct tally {
  size_t feeds = 0, pages = 0, texts = 0;
};

tally expected(const uint8_t* p, size_t n) {
  tally t;
  bool in_text = false;
  for (size_t i = 0; i < n; ++i) {
    const bool end = p[i] == '\n' || p[i] == '\f';
    if (!end && !in_text) ++t.texts;
    in_text = !end;
    t.feeds += p[i] == '\n';
    t.pages += p[i] == '\f';
  }
  return t;
}

size_t trailing_feeds(const uint8_t* p, size_t n) {
  size_t k = 0;
  while (k < n && p[n - 1 - k] == '\n') ++k;
  return k;
}

void open_block(PM_BLK* blk, const uint8_t* marker) {
  memset(blk, 0, sizeof *blk);
  memcpy(blk->name, "FUZZPRT ", kPmNameLen);
  blk->marker[0] = 'a';
  memcpy(blk->marker + 1, marker, 2);
  blk->marker_len = 3;
  FUZZ_CHECK(pm_open(blk) == 1, "the print file does not open (%u)", blk->status);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool init = [] {
    com_fill(0, nullptr);
    foundation_seams.err_presenter = fuzz::quiet_sys_err;
    setenv("KIVO_PRT_FI_DIR", (fuzz::scratch() + "/").c_str(), 1);
    return true;
  }();
  (void)init;
  if (size < 2) return 0;
  const uint8_t* file = data + 2;
  const size_t n = size - 2;
  if (!fuzz::write_file(fuzz::scratch() + "/FUZZPRT", file, n)) abort();

  PM_BLK blk;
  static PM_LINE line;
  open_block(&blk, data);
  tally got;
  while (pm_rdnxt(&blk, &line)) {
    FUZZ_CHECK(line.len <= kPmLineChars, "a line of %u characters", line.len);
    got.feeds += line.count;
    if (line.kind == PM_NEW_PAGE) ++got.pages;
    else ++got.texts;
    FUZZ_CHECK(got.pages + got.texts <= n, "more lines than bytes");
  }
  FUZZ_CHECK(blk.status == PM_EOF, "reading ended with status %u", blk.status);
  const tally want = expected(file, n);
  FUZZ_CHECK(got.feeds + trailing_feeds(file, n) == want.feeds, "%zu line feeds of %zu", got.feeds, want.feeds);
  FUZZ_CHECK(got.pages == want.pages && got.texts == want.texts, "%zu pages, %zu texts of %zu, %zu", got.pages,
             got.texts, want.pages, want.texts);

  // Pages in an order the input picks: backwards, forwards, the same again.
  const uint32_t last = static_cast<uint32_t>(want.pages) + 1;
  for (size_t i = 0; i < std::min<size_t>(n, 16); ++i) {
    blk.page = 1 + file[i] % last;
    const uint32_t page = blk.page;
    FUZZ_CHECK(pm_read(&blk, &line) == 1 && line.kind == PM_NEW_PAGE && blk.page == page, "page %u not found", page);
  }
  blk.page = last + 1;
  FUZZ_CHECK(pm_read(&blk, &line) == 0 && blk.status == PM_EOF, "a page after the last one was found");
  blk.page = 0;
  blk.line = n > 0 ? file[0] : 0;
  FUZZ_CHECK(pm_read(&blk, &line) == 1 || blk.status == PM_EOF, "line %u: status %u", blk.line, blk.status);
  pm_close(&blk);
  return 0;
}
