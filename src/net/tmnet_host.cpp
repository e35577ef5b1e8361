// The two ends of a TCP connection: the outgoing connection that the
// character client, the data link and the -x option share, and the name of
// the peer of an accepted one. IPv4 only, as the peers speak it.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "net/tmnet.h"

namespace kivo {

namespace {

constexpr int kConnectTimeoutMs = 20000;  // a host that never answers
constexpr size_t kHostNameMax = NI_MAXHOST;

char g_remote_name[kHostNameMax] = "UNKNOWN_HOST";
char g_remote_addr[INET_ADDRSTRLEN] = "";

// The port as a decimal number or a tcp service name, in network order;
// 0 when it is neither.
uint16_t port_number(const char* port) {
  const size_t n = strlen(port);
  if (n > 0 && n <= 5 && strspn(port, "0123456789") == n) {
    const unsigned long v = strtoul(port, nullptr, 10);
    return v >= 1 && v <= 65535 ? htons(static_cast<uint16_t>(v)) : 0;
  }
  const servent* s = getservbyname(port, "tcp");
  return s ? static_cast<uint16_t>(s->s_port) : 0;
}

// The host's first IPv4 address by name, else as a dotted address; false
// for none and for 0.0.0.0 and 255.255.255.255, which name no peer.
bool host_address(const char* host, in_addr* out) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  out->s_addr = 0;
  if (getaddrinfo(host, nullptr, &hints, &res) == 0 && res) {
    out->s_addr = reinterpret_cast<sockaddr_in*>(res->ai_addr)->sin_addr.s_addr;
    freeaddrinfo(res);
  } else if (inet_pton(AF_INET, host, out) != 1) {
    out->s_addr = 0;
  }
  return out->s_addr != 0 && out->s_addr != INADDR_NONE;
}

// Connects within the time-out; an interrupted wait goes on waiting.
bool connect_within(int fd, const sockaddr_in& to) {
  const int flags = fcntl(fd, F_GETFL);
  if (fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return false;
  int rc = connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to);
  if (rc != 0 && errno == EINPROGRESS) {
    pollfd p{fd, POLLOUT, 0};
    do rc = poll(&p, 1, kConnectTimeoutMs);
    while (rc < 0 && errno == EINTR);
    int err = rc == 0 ? ETIMEDOUT : 0;
    socklen_t len = sizeof err;
    if (rc == 1 && getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
    rc = err == 0 && rc == 1 ? 0 : -1;
    if (rc != 0) errno = err ? err : errno;  // the connect's own error for the caller
  }
  return rc == 0 && fcntl(fd, F_SETFL, flags) == 0;
}

// A new TCP socket at descriptor 3 or more: 0 reads as "no connection" in
// com.rmt_sock, and 1 and 2 belong to the terminal.
int new_socket() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0 || fd >= 3) return fd;
  const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
  close(fd);
  return moved;
}

}  // namespace

int tmnet_cli_conn_to_host(const char* host, const char* port) {
  in_addr addr;
  const uint16_t nport = port_number(port);
  if (!host_address(host, &addr) || !nport) {
    tmnet_dbg_log(TMNET_LOG_WARN, "conn_to_host: Can't Resolve Hostname");
    return 0;
  }
  const int fd = new_socket();
  if (fd < 0) {
    tmnet_dbg_log(TMNET_LOG_WARN, "conn_to_host: Socket() call failed");
    return 0;
  }
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = nport;
  to.sin_addr = addr;
  if (!connect_within(fd, to)) {
    const int err = errno;  // the caller names it
    tmnet_dbg_log(TMNET_LOG_WARN, "conn_to_host: Connect() call failed");
    close(fd);
    errno = err;
    return 0;
  }
  const int on = getenv("KIVO_DISABLE_TCP_NODELAY") ? 0 : 1;
  const int rc = setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  tmnet_dbg_log(TMNET_LOG_WARN, "setsockopt returned %d\n", rc);
  return fd;
}

void tmnet_get_remote_host(int sock, cstr* terminal_id) {
  sockaddr_in peer{};
  socklen_t len = sizeof peer;
  if (getpeername(sock, reinterpret_cast<sockaddr*>(&peer), &len) != 0 || peer.sin_family != AF_INET) {
    snprintf(g_remote_name, sizeof g_remote_name, "UNKNOWN_HOST");
    g_remote_addr[0] = '\0';
    return;
  }
  inet_ntop(AF_INET, &peer.sin_addr, g_remote_addr, sizeof g_remote_addr);
  snprintf(g_remote_name, sizeof g_remote_name, "%s", g_remote_addr);

  // The reverse name counts only when it leads forward to the same address.
  char name[NI_MAXHOST];
  if (getnameinfo(reinterpret_cast<sockaddr*>(&peer), len, name, sizeof name, nullptr, 0, NI_NAMEREQD) == 0) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* res = nullptr;
    if (getaddrinfo(name, nullptr, &hints, &res) == 0) {
      for (addrinfo* a = res; a; a = a->ai_next) {
        if (reinterpret_cast<sockaddr_in*>(a->ai_addr)->sin_addr.s_addr == peer.sin_addr.s_addr) {
          snprintf(g_remote_name, sizeof g_remote_name, "%s", name);
          break;
        }
      }
      freeaddrinfo(res);
    }
  }
  if (terminal_id) *terminal_id = cstr{static_cast<uint16_t>(strlen(g_remote_name)), g_remote_name};
}

const char* tmnet_remote_name() { return g_remote_name; }
const char* tmnet_remote_addr() { return g_remote_addr; }

}  // namespace kivo
