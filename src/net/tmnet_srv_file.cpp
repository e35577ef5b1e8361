// Files between the server and the client: SEND_FILE copies a local file
// to the client, RECV_FILE copies one of the client's here.
//
// A received file is written under a temporary name beside its target and
// renamed over it only after the client's final acknowledgement. While the
// temporary file exists the layer's process end removes it first, so a
// client that drops mid-transfer leaves nothing behind.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "foundation/bytes.h"
#include "foundation/com.h"
#include "net/tmnet.h"
#include "net/tmnet_svc.h"

namespace kivo {

namespace {

constexpr size_t kAckSize = 2;

int sock() { return com.rmt_sock; }

bool send_u32(uint32_t v) {
  uint8_t b[4];
  st_be32(b, 0, v);
  return tmnet_send_msg(sock(), 0, 4, b) == 1;
}

bool recv_u32(uint32_t* v) {
  uint8_t b[4];
  if (tmnet_recv_msg(sock(), 0, 4, b) != 1) return false;
  *v = ld_be32(b, 0);
  return true;
}

// The client's 2-byte acknowledgement: true when it says go ahead.
bool acked() {
  uint8_t a[kAckSize];
  return tmnet_recv_msg(sock(), TMNET_REPLY, kAckSize, a) == 1 && a[1] != 0;
}

// A length the client sent, within one chunk; a larger one breaks the
// exchange, which cannot be trusted afterwards.
bool bounded(uint32_t n, const char* what) {
  if (n <= kTransferChunk) return true;
  tmnet_dbg_log(TMNET_LOG_WARN, "%s: length %u over %zu: client lost", what, n, kTransferChunk);
  tmnet_end_process(kTmnetLostExit);
  return false;
}

// The name in a caller's buffer: its bytes before trailing blanks and zeros.
size_t name_len(const char* name, size_t size) {
  while (size && (name[size - 1] == ' ' || name[size - 1] == '\0')) --size;
  return size;
}

bool send_name(const char* name, size_t size) {
  const size_t n = name_len(name, size);
  return send_u32(uint32_t(n)) && tmnet_send_msg(sock(), 0, n, name) == 1;
}

// The name the client used, blank-padded into the caller's buffer and cut
// to it.
bool recv_name(char* out, size_t size, const char* what) {
  uint32_t n;
  char name[kTransferChunk];
  if (!recv_u32(&n) || !bounded(n, what) || (n && tmnet_recv_msg(sock(), 0, n, name) != 1)) return false;
  memset(out, ' ', size);
  memcpy(out, name, std::min<size_t>(n, size));
  return true;
}

bool send_chunks(FILE* f) {
  char buf[kTransferChunk];
  for (size_t n; (n = fread(buf, 1, sizeof buf, f)) > 0;)
    if (!send_u32(uint32_t(n)) || tmnet_send_msg(sock(), 0, n, buf) != 1) return false;
  return send_u32(0);
}

// The file's size, or -1 when it cannot be told or does not fit the wire.
long file_size(FILE* f) {
  if (fseek(f, 0, SEEK_END) != 0) return -1;
  const long n = ftell(f);
  rewind(f);
  return n < 0 || uint64_t(n) > kMaxTransferFile ? -1 : n;
}

// The temporary file of the receive in progress, removed by any end.
std::string g_temp;
tmnet_exit_fn g_exit_before;

void drop_temp() {
  if (!g_temp.empty()) unlink(g_temp.c_str());
  g_temp.clear();
}

void exit_dropping_temp(int status) {
  drop_temp();
  if (g_exit_before) g_exit_before(status);
}

// Creates the temporary file beside `target` with the mode the target has
// (or a new file would get); null on failure.
FILE* open_temp(const char* target) {
  std::string path = std::string(target) + ".XXXXXX";
  const int fd = mkstemp(path.data());
  if (fd < 0) return nullptr;
  struct stat st;
  mode_t mode = 0666;
  if (stat(target, &st) == 0) mode = st.st_mode & 07777;
  else {
    const mode_t mask = umask(0);
    umask(mask);
    mode &= ~mask;
  }
  fchmod(fd, mode);
  FILE* f = fdopen(fd, "wb");
  if (!f) {
    close(fd);
    unlink(path.c_str());
    return nullptr;
  }
  g_temp = path;
  g_exit_before = set_tmnet_exit(exit_dropping_temp);
  return f;
}

// Closes the temporary file; with `keep` it replaces the target. 1 kept.
int close_temp(FILE* f, const char* target, bool keep) {
  set_tmnet_exit(g_exit_before);
  const bool written = fclose(f) == 0;
  if (keep && written && rename(g_temp.c_str(), target) == 0) {
    g_temp.clear();
    return 1;
  }
  drop_temp();
  return 0;
}

// Chunks until the 0 length, written to `f`.
bool recv_chunks(FILE* f) {
  char buf[kTransferChunk];
  uint32_t n;
  if (!recv_u32(&n)) return false;  // the size: the chunks tell it again
  while (recv_u32(&n) && bounded(n, "srv_recv_file")) {
    if (!n) return true;
    if (tmnet_recv_msg(sock(), 0, n, buf) != 1) return false;
    if (fwrite(buf, 1, n, f) != n) {
      tmnet_dbg_log(TMNET_LOG_WARN, "srv_recv_file: write failed");
      return false;
    }
  }
  return false;
}

}  // namespace

int tmnet_srv_send_file(const char* source_path, char* target_name, size_t target_name_size) {
  tmnet_dbg_log(TMNET_LOG_TRACE, "srv_send_file: Send File function called");
  if (!(com_feature_mask & TMNET_FEAT_SEND_FILE)) return 0;
  FILE* f = fopen(source_path, "rb");
  if (!f) {
    tmnet_dbg_log(TMNET_LOG_WARN, "srv_send_file: src file open failed");
    return 0;
  }
  const long size = file_size(f);
  if (size < 0) {
    tmnet_dbg_log(TMNET_LOG_WARN, "srv_send_file: %s is too large to send", source_path);
    fclose(f);
    return 0;
  }
  const bool sent = tmnet_send_msg(sock(), uint16_t(kTmnetHeaded | TMNET_SEND_FILE), 0, nullptr) &&
                    send_u32(uint32_t(size)) && send_name(target_name, target_name_size) && acked() && send_chunks(f);
  fclose(f);
  return sent && recv_name(target_name, target_name_size, "srv_send_file") && acked();
}

int tmnet_srv_recv_file(char* source_name, const char* target_path, size_t source_name_size) {
  tmnet_dbg_log(TMNET_LOG_TRACE, "srv_recv_file: Recv File function called");
  if (!(com_feature_mask & TMNET_FEAT_RECV_FILE)) return 0;
  FILE* f = open_temp(target_path);
  if (!f) {
    tmnet_dbg_log(TMNET_LOG_WARN, "srv_recv_file: dst file open failed");
    return 0;
  }
  const bool got = tmnet_send_msg(sock(), uint16_t(kTmnetHeaded | TMNET_RECV_FILE), 0, nullptr) &&
                   send_name(source_name, source_name_size) && acked() && recv_chunks(f) &&
                   recv_name(source_name, source_name_size, "srv_recv_file") && acked();
  return close_temp(f, target_path, got);
}

}  // namespace kivo
