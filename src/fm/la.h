// Messages and languages: every text the engine shows comes from the MESSAGE
// file of the current language by its six-digit number.
//
// The language stack (`la_lang`) holds one entry per scope level that chose a
// language; the newest entry is the current language. Message memory files
// (`la_create_fi`) collect pending messages, errors before warnings, for
// `la_show_msg` (screen/la_show.h) to show.
//
// Invariants: a translated text never exceeds kMsgTextMax bytes; parameters
// are counted strings, at most kMaxMsgParms of them. Internal failures are
// system errors of module "LA".
//
// Callers: main (la_init, la_slct at start-up), the interpreter's MSG and
// ERROR (la_add_msg), the window manager and every subsystem that shows a
// status code (la_xlate, la_center, la_get_str, checkstat).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "fm/fm_objects.h"
#include "foundation/com.h"

namespace kivo {

// MESSAGE record: u32 number, u16 class, u16 text length, then the text.
enum : size_t { MSG_NUMBER = 0, MSG_CLASS = 4, MSG_TEXT_LEN = 6, MSG_TEXT = 8 };
constexpr size_t kMsgTextMax = 500;
constexpr size_t kMsgRecMax = MSG_TEXT + kMsgTextMax;
static_assert(kMsgRecMax == 508);
constexpr size_t kMaxMsgParms = 9;

// Message classes: a warning, errors; other values carry no prefix.
enum : uint16_t { MSG_CLASS_NONE = 0, MSG_CLASS_WARNING = 1, MSG_CLASS_ERROR = 2, MSG_CLASS_FATAL = 3 };

// The text of message 200650 is the last recorded system error; that of
// 200660 (a change that may have been made) the last one recorded for such
// a change, which names the connection that failed.
constexpr uint32_t MSG_SYS_ERR = 200650;
constexpr uint32_t MSG_SYS_ERR_UNSURE = 200660;
// The line under the messages of la_show_msg.
constexpr uint32_t MSG_SHOW_PROMPT = 300090;

// One entry of the language stack.
struct la_lang {
  char lang[3];    // language id
  ARB* arb;        // handle of its MESSAGE file
  uint32_t level;  // scope level that chose it
  la_lang* next;   // the older entry
};

// The current language, or null before the first la_slct.
la_lang* la_current();

// Creates the pool " ERPOOL    " once and resets the separator defaults;
// harmless when repeated. 1, or 0 when the pool cannot be made.
int la_init();

// Makes `lang` the language of scope `level`: 1, or 0 when its MESSAGE file
// cannot be opened. `lang` is read, never changed.
int la_slct(const char* lang, uint32_t level);

// Translates `number` into `out` (null: only the length) with its class
// prefix. Returns the full length, limited to out->len when `out` is given;
// 0 without a language. `cls` may be null.
size_t la_xlate(uint32_t number, cstr* out, uint16_t* cls);

// Copies `in` into `out` with the parameter marks ~1..~9 replaced; the rest
// of `out` is blank-filled. Returns the characters written.
size_t sub_parm(cstr* out, const cstr* in, std::span<const cstr> params);

// The translated text of `number` with `params` substituted, centred in the
// blank-filled `out`. `cls` may be null. 1, or 0 after a system error.
int la_center(cstr* out, uint32_t number, uint16_t* cls, std::span<const cstr> params);

// Writes a message to the message memory file of `arb` under `key`: the text
// of `number` (translated, with `params`), or with `number` null the handle's
// current record with `params` substituted into its text. 1, or 0 after a
// system error; the handle's record buffer is as it was.
int la_add_msg(ARB* arb, const uint32_t* number, uint32_t key, std::span<const cstr> params);

// Writes `len` bytes of `text` (cut to the file's text length) of class
// `cls` under `key`: la_add_msg of a record made of them, with `params`.
int la_add_text(ARB* arb, uint16_t cls, uint32_t key, const char* text, size_t len, std::span<const cstr> params = {});

// Creates a message memory file for texts of up to `text_len` bytes in scope
// `level`; its handle, or null after a system error.
ARB* la_create_fi(uint16_t text_len, uint32_t level);

// Copies the text of `number` without trailing blanks, NUL-terminated, into
// `buf` (at most size - 1 characters); null when the message is missing.
char* la_get_str(char* buf, size_t size, uint32_t number);

// The text of status `status` as its message says it, without the class
// label: for 200650 and 200660 the recorded system error, without its mark;
// "status N" before the first language.
std::string la_status_text(uint32_t status);

// Currency symbol and separators into `com`: the application's, else the
// system parameters', else the built-in defaults, each setting on its own.
void la_get_dec_sep_cur();

// Reloads the common block's words from the current language.
void load_com();

// Upper-cases a counted string in place.
void str_upper(cstr* s);

// The statement words in verb order, 8 characters each, blank-filled: one
// table of 105 entries whose first 97 `load_com` fills from the messages;
// an entry whose message is missing, or that no message names, is empty
// (all NUL), and readers then take the verb's built-in spelling.
constexpr size_t kOpcodeEntries = 105;
constexpr size_t kOpcodeWords = 97;
constexpr size_t kOpcodeWordLen = 8;
extern char opcode_tbl[kOpcodeEntries][kOpcodeWordLen];
// Refills entries 0 .. count - 1 (at most 105) from messages 105000 + 10 x i
// of the current language; `load_com` fills the first 97, the statement
// spellings all of them.
void load_opcode_words(size_t count);

// Reports an unexpected status code: "text - message" as a system error.
void checkstat(uint32_t status, const char* text, const char* module, int line);

// Debug print of a descriptor whose open failed, when `flag` is 0, then a
// system error with the text of its status code.
void CHECK_FI(int flag, const FDB* fdb, const char* title);

}  // namespace kivo
