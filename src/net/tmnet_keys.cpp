// The remote key definition's exchange: REMAP, the server's file status,
// the keymap's terminal type and user, then the client's status and table
// (key count, codes, compressed keystroke cells).
#include "net/tmnet_keys.h"

#include <cctype>
#include <cstring>
#include <vector>

#include "foundation/bytes.h"
#include "foundation/com.h"
#include "net/tmnet.h"
#include "net/tmnet_compress.h"
#include "net/tmnet_srv.h"

namespace kivo {

tmnet_keymap_ops tmnet_keymap_file;

namespace {

constexpr uint8_t kStatusLead = 2;  // first byte of either side's status
constexpr size_t kStatusSize = 2;

int sock() { return com.rmt_sock; }

bool send_bare(const void* data, size_t n) { return tmnet_send_msg(sock(), 0, n, data) == 1; }
bool recv_bare(void* data, size_t n) { return tmnet_recv_msg(sock(), 0, n, data) == 1; }

bool send_status(bool ok) {
  const uint8_t s[kStatusSize] = {kStatusLead, uint8_t(ok)};
  return send_bare(s, sizeof s);
}

int end(int code) {
  tmnet_end_process(code);
  return code;
}

// The keymap's user: blanks for every user of the terminal type, else the
// session's user upper-cased.
void keymap_user(char user[3]) {
  const bool all = memcmp(com.keymap_id + 10, "---", 3) == 0;
  for (int i = 0; i < 3; ++i) user[i] = all ? ' ' : char(toupper(uint8_t(com.keymap_id[10 + i])));
}

// The client's table, bounded and expanded; false when it is out of bounds
// or the client ended the dialogue (`*aborted`).
bool recv_table(std::vector<uint16_t>* codes, std::vector<uint16_t>* keys, bool* aborted) {
  uint8_t b[4];
  *aborted = false;
  if (!recv_bare(b, kStatusSize)) return false;
  if (!b[1]) return *aborted = true, false;
  if (!recv_bare(b, 2)) return false;
  const size_t count = ld_be16(b, 0), cells = count * kKeystrokeCells;
  if (count > kMaxRemoteKeys) {
    tmnet_dbg_log(TMNET_LOG_WARN, "kivokeys: key count %zu over %zu", count, kMaxRemoteKeys);
    return false;
  }
  std::vector<uint8_t> wire(count * 2);
  if (count && !recv_bare(wire.data(), wire.size())) return false;
  codes->resize(count);
  for (size_t i = 0; i < count; ++i) (*codes)[i] = ld_be16(wire.data(), i * 2);
  if (!recv_bare(b, 4)) return false;
  const size_t len = ld_be32(b, 0);
  if (len > tmnet_compressed_cap(cells) * 2) {
    tmnet_dbg_log(TMNET_LOG_WARN, "kivokeys: compressed length %zu over %zu keys", len, count);
    return false;
  }
  wire.resize(len);
  keys->assign(cells, 0);
  if (len && !recv_bare(wire.data(), len)) return false;
  if (tmnet_expand_u16_record(wire.data(), keys->data(), len, cells) != long(cells)) {
    tmnet_dbg_log(TMNET_LOG_WARN, "kivokeys: keystrokes do not fill %zu keys", count);
    return false;
  }
  return true;
}

}  // namespace

int tmnet_srv_kivokeys() {
  tmnet_init();
  tmnet_role = TMNET_ROLE_SERVER;
  if (!tmnet_send_msg(sock(), kTmnetHeaded | TMNET_REMAP, 0, nullptr)) return end(kTmnetLostExit);
  ARB* file = tmnet_keymap_file.open ? tmnet_keymap_file.open() : nullptr;
  if (!file) tmnet_dbg_log(TMNET_LOG_WARN, "kivokeys: Can't create keymap file");
  if (!send_status(file != nullptr) || !file) return end(file ? kTmnetLostExit : TMNET_KEYS_FAILED);
  char term[10], user[3];
  tmnet_srv_take_client_type();
  memcpy(term, com.keymap_id, sizeof term);
  keymap_user(user);
  std::vector<uint16_t> codes, keys;
  bool aborted = false;
  if (!send_bare(term, sizeof term) || !send_bare(user, sizeof user) || !recv_table(&codes, &keys, &aborted)) {
    if (tmnet_keymap_file.close) tmnet_keymap_file.close(file);
    return end(aborted ? TMNET_KEYS_ABORTED : TMNET_KEYS_FAILED);
  }
  // The process ends next, so a failed store leaves the file to that end.
  if (const uint32_t st = tmnet_keymap_file.store(file, term, user, codes.data(), keys.data(), codes.size()); st != 1) {
    tmnet_dbg_log(TMNET_LOG_WARN, "kivokeys: Menu Keymap not written");
    tmnet_dbg_log(TMNET_LOG_WARN, "kivokeys: Entry Keymap not written (status %u)", st);
    return end(TMNET_KEYS_FAILED);
  }
  return end(TMNET_KEYS_STORED);
}

int tmnet_cli_keys_status() {
  uint8_t s[kStatusSize];
  return recv_bare(s, sizeof s) && s[1] != 0;
}

int tmnet_cli_keys_target(char term[10], char user[3]) { return recv_bare(term, 10) && recv_bare(user, 3); }

int tmnet_cli_keys_send(const uint16_t* codes, const uint16_t* keys, size_t count) {
  if (count > kMaxRemoteKeys) return 0;
  const size_t cells = count * kKeystrokeCells;
  std::vector<uint8_t> head(2 + count * 2);
  st_be16(head.data(), 0, uint16_t(count));
  for (size_t i = 0; i < count; ++i) st_be16(head.data(), 2 + i * 2, codes[i]);
  std::vector<uint16_t> table(tmnet_compressed_cap(cells));
  std::copy(keys, keys + cells, table.begin());
  const size_t len = tmnet_compress_u16_record(table.data(), cells);
  uint8_t n[4];
  st_be32(n, 0, uint32_t(len));
  return send_status(true) && send_bare(head.data(), head.size()) && send_bare(n, 4) && send_bare(table.data(), len);
}

int tmnet_cli_keys_abort() { return send_status(false); }

}  // namespace kivo
