// The common block: the one block of engine state that every subsystem reads.
//
// The constant area at the front is addressed by compiled modules (a constant
// operand of 65000 or more is the byte at operand - 65000 of this block), so
// its offsets are part of the module format and are pinned by static_asserts.
// Everything behind it is in-memory state and may hold pointers; its layout
// is free (64-bit).
#pragma once

#include <csetjmp>
#include <cstddef>
#include <cstdint>

namespace kivo {

constexpr int kMaxScopeLevels = 256;

// A counted string: fixed-width texts travel with an explicit length.
struct cstr {
  uint16_t len;
  char* ptr;
};

struct RESET_REC;
struct ARB;

// One scope level, com.scope_tbl[level]. The jump point serves only the
// recovery from a fatal signal; ordinary end codes unwind by exception (see
// scope.h).
struct SCOPE_ENT {
  sigjmp_buf jmp;                // set by the level's MARK; signal mask not saved
  uint32_t saved_proc_scope;     // com.proc_scope and com.subproc_scope as they were
  uint32_t saved_subproc_scope;  // before the level, put back when it ends
  RESET_REC* reset_head;         // the level's reset list, oldest first; the
  RESET_REC* reset_tail;         // values go back newest first (scope.h)
  uint32_t serial;               // this entry of the level (ut_scope_serial); 0 the session's
};

struct com_area {
  // --- constant area (module format) ---
  uint8_t pd_minus1[8];  // low half of byte 7: the negative sign nibble
  uint8_t pad0;
  uint8_t pd_zero[8];  // packed constants 0, 1, 2, 10 and a day in hundredths
  uint8_t pad1;
  uint8_t pd_one[8];  // low half of byte 25: the positive sign nibble
  uint8_t pad2;
  uint8_t pd_two[8];
  uint8_t pad3;
  uint8_t pd_ten[8];
  uint8_t pad4;
  uint8_t pd_day_hsec[8];
  uint8_t pad5[3];
  uint8_t bin_minus1[20];  // width w at base + 4w, little-endian
  uint8_t bin_zero[20];
  uint8_t bin_one[20];
  uint8_t bin_two[20];
  uint8_t bin_ten[20];
  char log_true;  // "1" and "0": the stored logical values
  char log_false;
  char blanks[256];  // blank template and blank constant
  char user_id[3];   // blank until the user is known
  uint8_t pad6[3];
  uint32_t pow10[10];  // 1 .. 1,000,000,000

  // --- engine state ---
  // Scope levels, all 1 after start-up; levels index scope_tbl.
  uint32_t sys_scope;      // the session level: owns what lives for the whole run
  uint32_t proc_scope;     // level of the current process
  uint32_t spare_scope;    // kept for the block's order; nothing reads it
  uint32_t subproc_scope;  // level of the current sub-process
  uint32_t mark_scope;     // the current level (the innermost MARK)
  uint32_t hook_scope;     // process level the next file-event MARK takes; set by the file manager
  uint8_t no_term;         // background session (-s): no terminal
  SCOPE_ENT scope_tbl[kMaxScopeLevels];
  uint32_t mark_rc;  // end code of the latest MARK
  uint8_t trace_on;  // TRACE writes only while set
  cstr path_root;
  cstr data_dir;
  cstr spare_path;        // kept empty
  cstr trm_id;            // device name of the terminal, empty without one
  uint8_t* user_rec;      // the user's USER record, null when there is none
  char keymap_id[13];     // keymap name or terminal type (10), then the user id (3)
  void* dap_stream;       // access stream of the open application design file, or null
  uint8_t pd_int_min[8];  // packed -2147483648 and 2147483647
  uint8_t pd_int_max[8];
  uint8_t parag_char;  // the paragraph mark, 0xB6
  uint8_t uscore_char;
  char cur_db[3];  // current database, application, version; blank after start-up
  char cur_ap[3];
  char cur_ver[2];
  uint8_t stat_time[8];    // start of the session, shown on the status line
  char labels[11][30];     // screen labels "USER:" .. "ERROR"
  uint16_t label_lens[3];  // trimmed lengths of the last three labels
  cstr ptype_names[13];    // process-type names by type code
  char dt_sample[60];      // sample date whose digits mark where each element stands
  char dt_mask[60];        // the status line's date and time mask
  char lang_id[3];         // current language, blank for the default
  char yes_no[4];
  char rel_ops[14];  // seven two-letter operator words, "EQGE.."
  char andor[6];
  char drcr[4];
  char currency[3];
  uint16_t currency_len;  // the currency text without trailing blanks
  uint8_t currency_flag;
  uint8_t dec_sep;
  uint8_t thou_sep;
  char dt_letters[19];  // the element letters "CCYYMMDDhhmmssth" and DDD
  char ampm[4];
  uint16_t day_lens[8];  // trimmed lengths of day_names and month_names
  uint16_t month_lens[13];
  char day_abbr[8][3];  // index 0 names the unit itself ("DAY", "MONTH")
  char day_names[8][10];
  char month_abbr[13][3];
  char month_names[13][10];
  uint8_t no_db_traps;      // debugger traps off
  uint8_t char_class[256];  // CC_* class of each character code
  void* trm_blk;            // terminal block and surfaces: the screen subsystem's
  char trm_type[10];        // TERM, or "None"
  uint16_t scr_rows;
  uint16_t scr_cols;
  uint16_t max_rows;
  uint16_t max_cols;
  void* base_srf;
  void* cur_srf;
  void* cur_srf2;
  uint16_t rmt_sock;  // remote-terminal connection, 0 for a local terminal
  uint16_t argc;      // the arguments left after option parsing
  char** argv;
  uint8_t keaterm;    // KIVO_KEATERM is set
  uint8_t pan_flags;  // bit 0 pan, bit 1 vertical pan
  ARB* rpt_arb;       // the report manager's report file ("RM"/"RF"), null before rm_init
  uint16_t rpt_cnt;   // reports made in the session: their running numbers
};

static_assert(offsetof(com_area, pd_minus1) == 0);
static_assert(offsetof(com_area, pd_zero) == 9);
static_assert(offsetof(com_area, pd_one) == 18);
static_assert(offsetof(com_area, pd_two) == 27);
static_assert(offsetof(com_area, pd_ten) == 36);
static_assert(offsetof(com_area, pd_day_hsec) == 45);
static_assert(offsetof(com_area, bin_minus1) == 56);
static_assert(offsetof(com_area, bin_zero) == 76);
static_assert(offsetof(com_area, bin_one) == 96);
static_assert(offsetof(com_area, bin_two) == 116);
static_assert(offsetof(com_area, bin_ten) == 136);
static_assert(offsetof(com_area, log_true) == 156);
static_assert(offsetof(com_area, log_false) == 157);
static_assert(offsetof(com_area, blanks) == 158);
static_assert(offsetof(com_area, user_id) == 414);
static_assert(offsetof(com_area, pow10) == 420);
constexpr size_t kComConstAreaSize = 460;
static_assert(offsetof(com_area, sys_scope) == kComConstAreaSize);

// Character classes of com.char_class.
enum : uint8_t { CC_OTHER = 0, CC_BLANK = 1, CC_PRINT = 2, CC_DIGIT = 3, CC_USCORE = 4, CC_PARAG = 5 };

extern com_area com;

// Sign nibbles of packed decimal, as configured at start-up (KIVO_PD_SIGNS).
inline uint8_t pd_pos_sign() { return com.pd_one[7] & 0x0F; }
inline uint8_t pd_neg_sign() { return com.pd_minus1[7] & 0x0F; }

// Clears the common block and fills its constants and tables (the part of
// start-up that needs no other subsystem). `os_init` calls it; tests call it
// for a fresh block. A KIVO_PD_SIGNS that is not two different letters A-F
// is ignored and the default signs kept.
void com_fill(int argc, char** argv);

// Start-up of the common block, the operating-system layer and the file
// manager. Returns 1, or 0 after printing a fatal line.
int os_init(int argc, char** argv);

}  // namespace kivo
