// The password field of the USER file: read back and changed.
//
// The field is stored scrambled (foundation/password.h); these functions
// are the only ones that read or write it in USER. Never log the field.
//
// Callers: the data-server client (the session user's password), the
// statement language's built-in routines "UT_GET_PASS" and "UT_SET_PASS".
#pragma once

#include <cstddef>
#include <cstdint>

namespace kivo {

constexpr size_t kUserIdLen = 3;
constexpr size_t kUserSysIdOffset = 3;
constexpr size_t kUserSysIdLen = 80;
constexpr size_t kUserRecLen = 436;

// The password of the user named by `user_id` (3 characters), or with a
// null `user_id` by the `len` characters of `system_id`, unscrambled and
// blank-filled into `out`. Its length; 0 when the user or a password is
// missing.
size_t ut_get_pwd(char* out, size_t out_len, const char* user_id, const char* system_id, size_t len);

// Changes the password of `user_id` from `old_pwd` to `new_pwd`: 1 done;
// PWD_LEN_DIFFERS or PWD_TEXT_DIFFERS when the old one does not match the
// stored one; 0 when the new one is too long or the rewrite failed; the
// file manager's status when USER cannot be opened or the record read.
int ut_set_pwd(const char* user_id, const char* old_pwd, size_t old_len, const char* new_pwd, size_t new_len);

// The built-in routines: fields of 3 (user id) and 30 characters; 1 on success.
int ut_get_pass(const char* user_id, char* pwd);
int ut_set_pass(const char* user_id, const char* old_pwd, const char* new_pwd);

}  // namespace kivo
