// The protocol debug log: KIVO_NET_LOG names the file (appended to),
// KIVO_NET_LOG_MASK the levels written (1 steps, 2 failures, 4 hex dumps of
// socket data; none when unset). Each entry is flushed at once, so that a
// process ended by a lost connection leaves its log whole.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "net/tmnet.h"

namespace kivo {

namespace {

FILE* g_log = nullptr;
unsigned g_mask = 0;

void vlog(const char* fmt, va_list ap) { vfprintf(g_log, fmt, ap); }

// One line of 16 bytes: offset, the bytes in hex (".." past the end), and
// the bytes as text with '~' for the unprintable and past the end.
void hexdump_line(const uint8_t* p, size_t off, size_t length) {
  char text[17];
  fprintf(g_log, "%-8.8X: ", static_cast<unsigned>(off));
  for (size_t i = 0; i < 16; ++i) {
    if (off + i < length) {
      const uint8_t b = p[off + i];
      fprintf(g_log, "%-2.2X ", b);
      text[i] = b < 32 || b > 126 ? '~' : static_cast<char>(b);
    } else {
      fputs(".. ", g_log);
      text[i] = '~';
    }
  }
  text[16] = '\0';
  fprintf(g_log, "|%-16.16s|\n", text);
}

}  // namespace

void tmnet_dbg_log_init() {
  tmnet_dbg_log_close();
  if (const char* name = getenv("KIVO_NET_LOG")) {
    g_log = fopen(name, "ae");  // appended to; not handed to started commands
    if (!g_log) {
      fprintf(stderr, "Could not open logfile %s\n", name);
      exit(1);
    }
    const char* mask = getenv("KIVO_NET_LOG_MASK");
    g_mask = mask ? static_cast<unsigned>(strtoul(mask, nullptr, 0)) : 0;
    tmnet_dbg_log(TMNET_LOG_TRACE, "*** KIVO NET logging Started: mask=%8X ***", g_mask);
  }
  tmnet_force_headers = getenv("KIVO_NET_HEADERS") != nullptr;
}

void tmnet_dbg_log_close() {
  if (g_log) fclose(g_log);
  g_log = nullptr;
  g_mask = 0;
}

bool tmnet_dbg_log_on(unsigned level) { return g_log && (level & g_mask); }

void tmnet_dbg_log(unsigned level, const char* fmt, ...) {
  if (!tmnet_dbg_log_on(level)) return;
  time_t now = time(nullptr);
  char when[64];
  fputs(ctime_r(&now, when) ? when : "?\n", g_log);
  fputs(": ", g_log);
  va_list ap;
  va_start(ap, fmt);
  vlog(fmt, ap);
  va_end(ap);
  fputc('\n', g_log);
  fflush(g_log);
}

void tmnet_dbg_log_no_eol(unsigned level, const char* fmt, ...) {
  if (!tmnet_dbg_log_on(level)) return;
  va_list ap;
  va_start(ap, fmt);
  vlog(fmt, ap);
  va_end(ap);
  fflush(g_log);
}

void tmnet_dbg_log_hexdump(unsigned level, const void* data, size_t length, const char* label) {
  if (!tmnet_dbg_log_on(level)) return;
  fprintf(g_log, "*** %zu Bytes %s ***\n", length, label);
  const uint8_t* p = static_cast<const uint8_t*>(data);
  for (size_t off = 0; off < length; off += 16) hexdump_line(p, off, length);
  fflush(g_log);
}

}  // namespace kivo
