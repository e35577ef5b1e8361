// The netio log (levels: server steps, client operations, errors, timing)
// and the bare sends and receives both sides of the data link use, with the
// length-check message in front of each when option bit 0 is on.
#include <sys/time.h>

#include <cstdarg>
#include <cstdio>

#include "foundation/bytes.h"
#include "net/netio.h"
#include "net/tmnet.h"

namespace kivo {

uint32_t netio_log_mask = 0xFFFFFFFF;
uint32_t netio_options = 0;

namespace {
FILE* g_log = nullptr;
uint32_t g_msgs = 0;  // running number of the messages received

long usec_since(const timeval& t0) {
  timeval t1;
  gettimeofday(&t1, nullptr);
  return (t1.tv_sec - t0.tv_sec) * 1000000L + (t1.tv_usec - t0.tv_usec);
}
}  // namespace

void netio_log_open(const char* path) {
  if (g_log) fclose(g_log);
  g_log = path && *path ? fopen(path, "w") : nullptr;
}

void netio_log(uint32_t level, const char* fmt, ...) {
  if (!g_log || !(level & netio_log_mask)) return;
  va_list ap;
  va_start(ap, fmt);
  vfprintf(g_log, fmt, ap);
  va_end(ap);
  fflush(g_log);
}

int netio_send(int sock, const void* data, size_t n) {
  if (netio_options & kNetOptLenCheck) {
    uint8_t len[2];
    st_le16(len, 0, static_cast<uint16_t>(n));
    swap2(len);  // the server answers in the client's order
    if (!tmnet_send_msg(sock, 0, sizeof len, len)) return 0;
  }
  return tmnet_send_msg(sock, 0, n, data);
}

int netio_recv(int sock, void* data, size_t n, int timeout) {
  if (netio_options & kNetOptLenCheck) {
    uint8_t len[2];
    if (timeout >= 0) tmnet_set_timeout(timeout);
    if (!tmnet_recv_msg(sock, 0, sizeof len, len)) return 0;
    swap2(len);
    if (ld_le16(len, 0) != n) {
      netio_log(NETLOG_ERROR, "length check: expected %zu, got %u\n", n, ld_le16(len, 0));
      return 0;
    }
  }
  timeval t0;
  gettimeofday(&t0, nullptr);
  if (timeout >= 0) tmnet_set_timeout(timeout);
  int ok = tmnet_recv_msg(sock, 0, n, data);
  long waited = usec_since(t0);
  netio_log(NETLOG_TIMING, "recv_msg(%d) - msg %u -  waited %ld.%06ld\n", ok, ++g_msgs, waited / 1000000,
            waited % 1000000);
  return ok;
}

}  // namespace kivo
