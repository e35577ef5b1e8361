// The LOGIN block a client or data link sends to the listener (331 bytes,
// bare, code 2) and the two-byte REPLY that answers it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kivo {

constexpr size_t kLoginSize = 331;
constexpr size_t LOGIN_USER = 0;  // 21: NUL-terminated, at most 20 characters
constexpr size_t kLoginUserSize = 21;
constexpr size_t LOGIN_PSWD = 21;  // 52: NUL-terminated
constexpr size_t kLoginPswdSize = 52;
constexpr size_t LOGIN_REMAP = 73;  // nonzero: key definition instead of a session
constexpr size_t LOGIN_START = 74;  // 256: the started engine's argument, NUL-terminated
constexpr size_t kLoginStartSize = 256;
constexpr size_t LOGIN_VERSION = 330;  // the sender's protocol version
static_assert(LOGIN_VERSION + 1 == kLoginSize);

// The start argument of a data link; a terminal session sends none.
constexpr char kLoginDataServer[] = "-fms_server";

constexpr size_t kReplySize = 2;

struct tmnet_login {
  std::string user;
  std::string password;
  bool remap = false;
  std::string start;
  uint8_t version = 4;
};

// Builds the block; false (block untouched) when a text does not fit its
// field with the terminating zero.
bool login_build(const tmnet_login& in, uint8_t out[kLoginSize]);

// Reads a block; false when a text field lacks its terminating zero.
bool login_parse(const uint8_t in[kLoginSize], tmnet_login* out);

// A REPLY: first byte, then the accept flag or the sender's version.
void reply_build(uint8_t first, uint8_t second, uint8_t out[kReplySize]);

}  // namespace kivo
