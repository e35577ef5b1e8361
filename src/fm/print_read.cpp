// Reading a print file back (pm_open, pm_rdnxt, pm_read), for viewing.
//
// The file is a stream of lines ended by line feeds and form feeds; each
// line feed and each form feed counts one line of the file, a form feed
// also one page (the first page has none). Text lines come back decoded:
// overstrikes become attribute words, one a character, at most
// kPmLineChars characters a line; a longer line is cut, never overrun.
//
// One 8192-byte read buffer serves every print file; it remembers whose
// bytes it holds and from which offset, so readers of two files can take
// turns and a file written meanwhile is read afresh.
#include <fcntl.h>

#include <algorithm>
#include <cerrno>

#include "fm/print_internal.h"
#include "foundation/os_calls.h"

namespace kivo {

namespace {

constexpr uint8_t kBackspace = 0x08;

struct read_buffer {
  const PM_FILE* owner = nullptr;
  uint32_t start = 0;
  uint32_t fill = 0;
  uint8_t bytes[kPmBufferSize];
};
read_buffer g_rd;

// The byte at `off`; -1 at the end of the file, or on a read error (*err set).
int byte_at(PM_FILE* f, uint32_t off, int* err) {
  if (g_rd.owner == f && off >= g_rd.start && off - g_rd.start < g_rd.fill) return g_rd.bytes[off - g_rd.start];
  if (off >= kPmMaxFileSize) return -1;
  ssize_t r;
  do r = os_sys.pread(f->fd, g_rd.bytes, kPmBufferSize, off);
  while (r < 0 && errno == EINTR);
  g_rd.owner = r > 0 ? f : nullptr;
  g_rd.start = off;
  g_rd.fill = r > 0 ? static_cast<uint32_t>(r) : 0;
  if (r < 0) *err = errno;
  return r > 0 ? g_rd.bytes[0] : -1;
}

// Turns the bytes of one text line into characters and attribute words:
// c BS "_" underlines c, c BS c makes it bold, c BS (the marker's second or
// third byte) makes it a marked blank; a backspace before anything else is
// dropped and what follows it is a character of its own.
class overstrike_decoder {
 public:
  overstrike_decoder(const PM_BLK* blk, PM_FILE* f, PM_LINE* out) : blk_(blk), f_(f), out_(out) {}

  void take(uint8_t b) {
    if (b == kBackspace) {
      pending_ = cells_ > 0;
      return;
    }
    if (!pending_) return begin(b);
    pending_ = false;
    if (b == '_') return add(PM_ATTR_UNDERLINE);
    if (b == struck_) return add(PM_ATTR_BOLD);
    if (b == static_cast<uint8_t>(blk_->marker[1]) || b == static_cast<uint8_t>(blk_->marker[2])) {
      if (cells_ <= kPmLineChars) f_->text[cells_ - 1] = ' ';
      return add(PM_ATTR_MARKED);
    }
    begin(b);
  }

  void finish() {
    out_->text = f_->text;
    out_->len = static_cast<uint16_t>(std::min(cells_, kPmLineChars));
  }

 private:
  void begin(uint8_t b) {
    struck_ = b;
    if (cells_ < kPmLineChars) {
      f_->text[cells_] = static_cast<char>(b);
      out_->attrs[cells_] = 0;
    }
    ++cells_;
  }
  void add(uint32_t attr) {
    if (cells_ <= kPmLineChars) out_->attrs[cells_ - 1] |= attr;
  }

  const PM_BLK* blk_;
  PM_FILE* f_;
  PM_LINE* out_;
  size_t cells_ = 0;    // characters begun; those past kPmLineChars are dropped
  uint8_t struck_ = 0;  // first byte of the current character
  bool pending_ = false;
};

enum class raw { end, line_feed, form_feed, text, error };

// The next line of the file from f->off, decoded into `out` when it is text.
raw next_raw(const PM_BLK* blk, PM_FILE* f, PM_LINE* out, int* err) {
  f->line_off = f->off;
  int b = byte_at(f, f->off, err);
  if (b < 0) return *err ? raw::error : raw::end;
  if (b == '\n' || b == '\f') {
    ++f->off;
    return b == '\n' ? raw::line_feed : raw::form_feed;
  }
  overstrike_decoder d(blk, f, out);
  for (; b >= 0 && b != '\n' && b != '\f'; b = byte_at(f, f->off, err)) {
    d.take(static_cast<uint8_t>(b));
    ++f->off;
  }
  if (*err) return raw::error;
  d.finish();
  return raw::text;
}

void rewind_reader(PM_FILE* f) {
  f->page = 1;
  f->line = 0;
  f->page_line = 0;
  f->page_off = 0;
  f->off = 0;
}

void to_page_start(PM_FILE* f) {
  f->off = f->page_off;
  f->line = f->page_line;
}

// The reader's page start as a kind-1 line.
int page_line(PM_BLK* blk, PM_LINE* line, uint16_t feeds) {
  PM_FILE* f = blk->file;
  line->kind = PM_NEW_PAGE;
  line->count = feeds;
  line->text = f->text;
  line->len = 0;
  blk->page = f->page;
  blk->line = f->line;
  blk->status = PM_OK;
  return 1;
}

int text_line(PM_BLK* blk, PM_LINE* line, uint16_t feeds) {
  line->kind = PM_ADVANCE;
  line->count = feeds;
  blk->status = PM_OK;
  return 1;
}

}  // namespace

void pm_read_forget(const PM_FILE* f) {
  if (g_rd.owner == f) g_rd.owner = nullptr;
}

int pm_open(PM_BLK* blk) {
  if (blk->file) pm_close(blk);
  std::string name;
  if (!pm_name(blk->name, &name)) return pm_fail(blk, PM_BAD_REQUEST, 0);
  const std::string path = pm_dir() + name;
  int fd;
  {
    real_uid_step uid(pm_uid_switch_suppressed());
    if (!uid.ok()) return pm_fail(blk, PM_FILE_FAILED, errno);
    // Appending: a write after reading never overwrites the print.
    fd = os_sys.open(path.c_str(), O_RDWR | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0);
  }
  if (fd < 0) return pm_fail(blk, PM_FILE_FAILED, errno);
  struct stat st;
  int err = 0;
  if (os_sys.fstat(fd, &st) != 0) err = errno;
  else if (static_cast<uint64_t>(st.st_size) > kPmMaxFileSize) err = EFBIG;
  if (err) {
    os_sys.close(fd);
    return pm_fail(blk, PM_FILE_FAILED, err);
  }
  blk->file = new PM_FILE;
  blk->file->fd = fd;
  blk->file->path = path;
  blk->file->size = static_cast<uint64_t>(st.st_size);
  blk->status = PM_OK;
  return 1;
}

int pm_rdnxt(PM_BLK* blk, PM_LINE* line) {
  PM_FILE* f = blk->file;
  if (!f) return pm_fail(blk, PM_NOT_OPEN, 0);
  pm_flush(f);                    // lines written on this block are read too
  if (f->page == 0) f->page = 1;  // the first page starts without a form feed
  uint16_t feeds = 0;
  blk->blank_lines = 0;
  for (;;) {
    int err = 0;
    switch (next_raw(blk, f, line, &err)) {
      case raw::error: return pm_fail(blk, PM_FILE_FAILED, err);
      case raw::end: blk->status = PM_EOF; return 0;
      case raw::text: return text_line(blk, line, feeds);
      case raw::form_feed:
        ++f->page;
        ++f->line;
        f->page_line = f->line;
        f->page_off = f->off;
        return page_line(blk, line, feeds);
      case raw::line_feed:
        ++f->line;
        ++feeds;
        blk->blank_lines = static_cast<uint8_t>(std::min<uint16_t>(feeds, 255));
        // The count is a u16: a longer run comes back in empty pieces.
        if (feeds == UINT16_MAX) {
          line->text = f->text;
          line->len = 0;
          return text_line(blk, line, feeds);
        }
        break;
    }
  }
}

int pm_read(PM_BLK* blk, PM_LINE* line) {
  PM_FILE* f = blk->file;
  if (!f) return pm_fail(blk, PM_NOT_OPEN, 0);
  const uint32_t page = blk->page;
  const uint32_t target = blk->line;
  const bool fresh = f->page == 0;
  if (page != 0) {
    if (fresh || page < f->page) rewind_reader(f);
    else if (page == f->page) to_page_start(f);
    if (f->page == page) return page_line(blk, line, 0);
    while (pm_rdnxt(blk, line))
      if (line->kind == PM_NEW_PAGE && f->page == page) return 1;
    return 0;
  }
  if (fresh || target < f->page_line) rewind_reader(f);
  else if (target <= f->line) to_page_start(f);
  if (f->line >= target) return page_line(blk, line, 0);
  while (pm_rdnxt(blk, line))
    if (f->line >= target) return 1;
  return 0;
}

}  // namespace kivo
