// The scramble of the USER record's password field.
//
// The field is 30 characters at bytes 202-231 of the USER record. A stored
// password is scrambled with a key taken from the user id; a marker byte
// tells a scrambled field from a plain one (an empty password is stored as
// 30 blanks, not scrambled). The scramble hides the text from a casual look
// at the file; it does not protect it. Never log the field.
//
// Reading and writing USER around these lives with the file manager's users.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kivo {

constexpr size_t kUserPwdOffset = 202;
constexpr size_t kPwdFieldLen = 30;
constexpr size_t kPwdMaxLen = kPwdFieldLen - 1;  // one position holds the marker

// Results of checking the old password before a change.
enum : int { PWD_OK = 1, PWD_LEN_DIFFERS = 2, PWD_TEXT_DIFFERS = 3 };

// Writes `pwd` (`len` characters, trailing blanks ignored) scrambled for the
// 3-character `user_id` into the 30-byte `field`; an empty password gives 30
// blanks. Returns 1, or 0 with `field` untouched when the password is longer
// than kPwdMaxLen.
int ut_pwd_scramble(uint8_t* field, const char* user_id, const char* pwd, size_t len);

// The password of `field` for `user_id`, blank-filled into `out` (cut to
// `out_len`). Returns the length written, 0 when none is stored.
size_t ut_pwd_unscramble(const uint8_t* field, const char* user_id, char* out, size_t out_len);

// Checks the old password given for a change against the stored one (both
// without trailing blanks): PWD_OK when equal or when none is stored.
int ut_pwd_check_old(const char* stored, size_t stored_len, const char* old, size_t old_len);

}  // namespace kivo
