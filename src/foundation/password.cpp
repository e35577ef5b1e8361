// Password-field scramble.
//
// Scrambling: blank-fill the password into 30 positions, XOR every position
// but the marker's with a key byte, put the marker byte there, then swap
// fixed pairs of positions. Each swap table pairs every position exactly
// once, so applying it again undoes it. The key byte and the table depend on
// the user id, so equal passwords of two users look different on disk.
#include "foundation/password.h"

#include <cstring>

#include "foundation/text.h"

namespace kivo {

namespace {

constexpr size_t kMarkerPos = kPwdFieldLen - 1;
constexpr uint8_t kMarker = 0x01;  // never a character of a typed password

using swap_table = uint8_t[kPwdFieldLen / 2][2];
constexpr swap_table kSwapA = {{0, 17}, {1, 29}, {2, 11},  {3, 24},  {4, 15},  {5, 20},  {6, 27}, {7, 13},
                               {8, 22}, {9, 26}, {10, 19}, {12, 28}, {14, 21}, {16, 25}, {18, 23}};
constexpr swap_table kSwapB = {{0, 29}, {1, 14}, {2, 23},  {3, 18},  {4, 26},  {5, 12},  {6, 21}, {7, 28},
                               {8, 16}, {9, 25}, {10, 20}, {11, 27}, {13, 22}, {15, 24}, {17, 19}};

uint8_t key_byte(const char* uid) {
  auto u = reinterpret_cast<const uint8_t*>(uid);
  uint8_t hi = (u[0] & 1) ? u[1] : u[2];
  uint8_t lo = (u[0] & 1) ? u[2] : u[0];
  return static_cast<uint8_t>((hi & 0xF0) | (lo & 0x0F));
}

const swap_table& table_for(const char* uid) { return (uid[1] & 1) ? kSwapB : kSwapA; }

void swap_pairs(uint8_t* f, const swap_table& t) {
  for (const auto& pair : t) {
    uint8_t c = f[pair[0]];
    f[pair[0]] = f[pair[1]];
    f[pair[1]] = c;
  }
}

// Where the marker lands after the swaps.
size_t marker_slot(const swap_table& t) {
  for (const auto& pair : t) {
    if (pair[0] == kMarkerPos) return pair[1];
    if (pair[1] == kMarkerPos) return pair[0];
  }
  return kMarkerPos;
}

}  // namespace

int ut_pwd_scramble(uint8_t* field, const char* user_id, const char* pwd, size_t len) {
  len = ut_buflen(pwd, len);
  if (len > kPwdMaxLen) return 0;
  memset(field, ' ', kPwdFieldLen);
  if (len == 0) return 1;
  memcpy(field, pwd, len);
  uint8_t key = key_byte(user_id);
  for (size_t i = 0; i < kMarkerPos; ++i) field[i] ^= key;
  field[kMarkerPos] = kMarker;
  swap_pairs(field, table_for(user_id));
  return 1;
}

size_t ut_pwd_unscramble(const uint8_t* field, const char* user_id, char* out, size_t out_len) {
  uint8_t f[kPwdFieldLen];
  memcpy(f, field, kPwdFieldLen);
  const swap_table& t = table_for(user_id);
  if (f[marker_slot(t)] == kMarker) {
    swap_pairs(f, t);
    uint8_t key = key_byte(user_id);
    for (size_t i = 0; i < kMarkerPos; ++i) f[i] ^= key;
    f[kMarkerPos] = ' ';
  }
  size_t len = ut_buflen(reinterpret_cast<const char*>(f), kPwdFieldLen);
  if (len > out_len) len = out_len;
  memcpy(out, f, len);
  memset(out + len, ' ', out_len - len);
  return len;
}

int ut_pwd_check_old(const char* stored, size_t stored_len, const char* old, size_t old_len) {
  stored_len = ut_buflen(stored, stored_len);
  if (stored_len == 0) return PWD_OK;
  old_len = ut_buflen(old, old_len);
  if (old_len != stored_len) return PWD_LEN_DIFFERS;
  return memcmp(stored, old, stored_len) == 0 ? PWD_OK : PWD_TEXT_DIFFERS;
}

}  // namespace kivo
