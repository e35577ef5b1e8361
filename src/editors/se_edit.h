// The statement editor's edit block, its module state and the statement as
// text: a STMT record shown as a line (`se_gen_stmt`), a typed line checked
// into the record (`se_degen_stmt`, with `validate`, `opt_req`, `is_pdf`
// against the dictionary), a row's characteristic runs (`asm_stmt_chr`) and
// the coded constants of SET, IF, AND and OR (`cnv_token`).
//
// Invariants: the line buffer is `line_width` (at least 80) columns; the
// row form's items point into the row's own copies, so they stay valid
// while the row is shown. The statement layouts and spellings are
// compiler/stmt_layout.h's; nothing here keeps a second copy.
//
// Callers: the editor's key loop, search and line editing (rows and the
// check), the statement lister and the debugger (row 0).
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "compiler/stmt_layout.h"
#include "foundation/list.h"
#include "screen/wm.h"
#include "screen/wm_files.h"

namespace kivo {

struct ARB;
struct FDB;
struct KDB;
struct SDB;
struct POOL;

// Editor states (u16); 1, 2 and 4 while one line is typed (4 a new line),
// 8 a marked range shown highlighted; the range and audit states follow.
enum : uint16_t {
  SE_NORMAL = 0,
  SE_EDIT_LINE = 1,
  SE_EDIT_VERB = 2,
  SE_NEW_LINE = 4,
  SE_RANGE_SHOWN = 8,
  SE_DELETE_RANGE = 16,
  SE_MOVE_RANGE = 32,
  SE_MOVE_TARGET = 64,
  SE_COPY_RANGE = 128,
  SE_COPY_TARGET = 256,
  SE_AUDIT_ADDED = 512,
  SE_AUDIT_CHANGED = 1024
};

constexpr int kSeLineMin = 80;
constexpr size_t kSePrefixLen = 5, kSeVerbLen = 8, kSeOpndLen = 64;

struct se_line;

// The caller's context block (64 bytes), field offsets.
enum : size_t {
  SEC_AP = 0,          // 3, the application edited
  SEC_VER = 3,         // 2
  SEC_PROC = 5,        // 30, the process name
  SEC_TYPE = 35,       // u8 process type
  SEC_FRM_PART = 36,   // u8
  SEC_FRM_NO = 40,     // u32 (after 3 spare bytes)
  SEC_IMG_NO = 44,     // u8
  SEC_CHLD_POS = 45,   // u8
  SEC_CHLD_NO = 48,    // u32 (after 2 spare bytes)
  SEC_EP = 52,         // u8 event point
  SEC_CHANGED = 53,    // u8 out: 1 changed since loaded or restored
  SEC_MEMORY = 54,     // u8 in: 1 edits the memory file "MSTMT"
  SEC_STATUS = 55,     // u8 out: 0 success, else the start failure
  SEC_LINE = 56,       // u32 the line shown first, 0 the first
  SEC_START_MSG = 60,  // u32 message shown at the first display, 0 none
};
constexpr size_t kSeContextSize = 64;
static_assert(SEC_START_MSG + 4 == kSeContextSize);

// Start-up statuses of se_edit (the context's status byte); a file's own
// status byte otherwise.
enum : uint8_t {
  SE_ST_SURFACE = 1,
  SE_ST_ATTACH = 2,
  SE_ST_DETACH = 3,
  SE_ST_REGION = 4,
  SE_ST_OPTIONS = 5,
  SE_ST_ELEM = 6,
  SE_ST_LANG_ELEM = 7,
  SE_ST_TOKEN = 8,
  SE_ST_LANG_TOKEN = 9,
};

// A window with the item and characteristic records written into it.
struct se_pane {
  TWND* wnd = nullptr;
  std::vector<TITM> itm;
  std::vector<CHR_BLK> chr;
  std::vector<char> text;
  bool attached = false;
};

// One edit run's block, in the order the editor keeps it.
struct se_ed_blk {
  TSRF* srf = nullptr;   // the editor's surface, R x W
  TSRF* srf2 = nullptr;  // the second surface
  SHOW_BLK show{};
  // The statement window and the pages over it.
  se_pane stmt_pane, ctx_pane, opt_pane, opt_help, ep_help, warn_ap, warn_file, help_pane, search_pane, replace_pane;
  // The strings typed into the search and replace prompts.
  std::array<char, 30> search_str{}, old_str{}, new_str{};
  // Item and characteristic work files of the statement rows: what the
  // window manager's region writing takes (screen/wm_region.h).
  std::vector<TITM> stmt_itm;
  std::vector<CHR_BLK> stmt_chr;
  ARB* stmt_arb = nullptr;               // the statement file edited
  ARB* cut_arb = nullptr;                // the cut buffer
  uint8_t* ctx = nullptr;                // the caller's context block
  int rows = 21, cols = 80, srows = 18;  // R, W and S
  ut_list lines{};                       // the line list
  uint32_t n_lines = 0;
  int cur_row = 2, cur_col = 1;  // the cursor on the editor's surface
  uint32_t range_first = 0, range_last = 0;
  bool rehilite = false;
  bool end_shown = false;
  bool changed = false;
  bool view_only = false;
  bool beep = false;
  uint8_t stamp[8]{};           // this run's time stamp
  std::vector<char> date_mask;  // the application's date mask, compiled
  uint32_t date_mask_len = 0;   // the display width of a date through it
  uint8_t date_type = 0, date_first = 8, date_last = 1, date_h24 = 1;
  se_pane audit_menu;
  uint8_t dstmt_last[kStmtSize]{};  // the record last warned about
  ARB* msgs = nullptr;              // the start message, shown once
  uint8_t accept = 0;               // key 88: a line is stored unchecked
  uint32_t key = 0;                 // the key last read, remapped
  uint8_t key_tmpl[kStmtSize];      // the event point's key in bytes 0-47
  // Per screen row the prefix, verb and operand text last shown.
  std::vector<std::array<char, kSePrefixLen>> row_prefix;
  std::vector<std::array<char, kSeVerbLen>> row_verb;
  std::vector<std::array<char, kSeOpndLen>> row_opnd;
  uint32_t first_shown = 0;
  uint16_t state = SE_NORMAL;
  uint8_t upper = 1;   // input folded to upper case (option 6 flips it)
  uint8_t colour = 1;  // the colour toggle
  uint16_t line_width = kSeLineMin;
  std::vector<char> line = std::vector<char>(kSeLineMin, ' ');  // line_width columns
  uint8_t bold = 0;          // the edited process is an OUTPUT process: BOLD, NO BOLD
  uint8_t warning = 0;       // the last checked line was kept with a warning
  uint8_t file_warning = 0;  // ... at its file name ("WARNING - File not found")
  uint8_t fault = 0;         // se_fault: why the last checked line was refused
  // The range's starting point, for "Respecify Range": the first line
  // shown, the cursor row and the line's number.
  uint32_t respecify_line = 1, respecify_sno = 0;
  int respecify_row = 2;
  uint32_t cut_count = 0;     // records in the cut buffer
  bool xcopy_target = false;  // "XCopy To Where?": the cut lines came from another event point
  // The lines browse jumps were made from, by line id (never a node: the
  // line may be gone when the jump is undone).
  std::vector<uint32_t> browse_stack;
  // The search position: the line (id) and column after the last match,
  // and the row shown bold for it (0 none).
  uint32_t search_line = 0;
  int search_col = 0, search_row = 0;
};

// ---- module state ----
// The editor pool " SEPOOL    ", in the system scope; null before se_init.
extern POOL* se_pool;
// The application and version edited, and the element and TOKEN files of
// it and of "0LA" kept open by an edit run (null: not open or none).
extern char se_ap[3], se_ver[2];
extern ARB* cur_delem_arb;
extern ARB* lang_delem_arb;
extern ARB* cur_dtoken_arb;
extern ARB* lang_dtoken_arb;
// The scan context kept from one look-up scan to the next; se_init sets a
// zero status byte and blanks. The field name's application id, which the
// look-up also keeps, has no room after byte 70: the scans place it.
constexpr size_t kSeScanLen = 72;
enum : size_t {
  SCAN_STATUS = 0,
  SCAN_AP = 1,         // 3, of the last scan
  SCAN_VER = 4,        // 2
  SCAN_RESULT = 7,     // 30, the name chosen
  SCAN_SURFACES = 37,  // the editor's window surfaces
  SCAN_FIELD = 48,     // 22, the field name
};
static_assert(SCAN_FIELD + 22 <= kSeScanLen);
extern uint8_t se_scan[kSeScanLen];

// Creates the editor pool, loads the spellings and clears the scan context;
// once at engine start. The layouts are built when the program loads.
void se_init();
// Opens the kept files of `ap`/`ver` and of "0LA" "00" that are not open
// yet: the status of the editor's start (0 success; 6, 7 an element file
// did not open; 8, 9 a TOKEN file failed other than by not existing).
int se_open_dict(const char* ap, const char* ver);
// Closes and forgets the four kept files.
void se_close_dict();
// Opens design file `init` of `ap` (version "00" for a system application,
// else `ver`) for reading at `level`: the handle, or null with the status
// in *stat. The design files of "0DN" and "0DO" are memory files.
using se_dfdb_init = void (*)(FDB*, KDB*, SDB*, const char*, const char*);
ARB* se_open_design(se_dfdb_init init, const char* ap, const char* ver, uint32_t level, uint32_t* stat);
// The element file of `ap` for a check: a kept one (the edited application,
// "0LA"), else opened at the current level and `*opened` set, for the
// caller to close. Null when it does not open.
ARB* se_delem_for(const char* ap, bool* opened);
// Reads the ELEMENT of `name` (22) from `arb` into `elem`: 1 found.
int se_read_elem(ARB* arb, const char* name, uint8_t* elem);

// ---- record and line ----
// A one-row alpha item over `width` bytes at `addr`, at `row`, `col` of its
// region, converted as a work item's.
TITM se_alpha_item(int row, int col, int width, char* addr);
// The line of `rec` in ed->line; with `row` (from 1) also the row's items,
// copies and characteristic runs. `verb_off` leaves out verb and template.
// On a new line (state SE_NEW_LINE) the fields' defaults go into `rec`
// first. Returns 1.
int se_gen_stmt(se_ed_blk* ed, uint8_t* rec, int row, int verb_off);
// Checks ed->line into `rec` (bytes 78-82, 84-85, 88-151; the rest as it
// was). 1: stored, `err_col` 0 or a warning's column (ed->warning set);
// 0: refused at `err_col` (1 prefix, 7 verb, else the operand's column),
// `second_col` the application id that belongs to it, or 0; `rec` is then
// as it was; ed->fault says why.
int se_degen_stmt(se_ed_blk* ed, uint8_t* rec, int* err_col, int* second_col);
// The verb in columns 7-14 of the line `l`: BOLD and NO BOLD where the
// editor shows them, else the verb table's; -1 for none.
int se_line_verb(const se_ed_blk* ed, const char* l);
// The runs of one row (`row` from 1) appended to ed->stmt_chr after its
// earlier runs of that row are dropped.
void asm_stmt_chr(se_ed_blk* ed, const uint8_t* rec, int row);
// The language's name of process type `type` into `buf` (width `len`,
// blank-filled), upper-cased when `upper`; its length without trailing
// blanks.
int alp_proc_type(char* buf, size_t len, int type, int upper);

// ---- coded constants ----
// What loading showed of a line's constant: saving puts the stored code
// back when neither the shown text nor the field it meets was retyped.
struct se_tok_kept {
  uint8_t valid;
  uint8_t field[26];  // the first field's application and name
  uint8_t stored[22];
  uint8_t shown[22];
};
// The token constant of a SET, IF, AND or OR: `direction` 1 stored code to
// text (on loading), 2 text to code (on saving). `kept` (may be null) is
// filled by 1 and read by 2. `use_kept` takes the kept files for the edited
// application and "0LA". A constant that cannot be converted stays as it is.
void cnv_token(uint8_t* rec, const char* ver, int direction, int use_kept, se_tok_kept* kept);

// ---- the dictionary check ----
// Why a typed line was refused; the editor says it on its message row.
enum se_fault : uint8_t {
  SE_FAULT_NONE,
  SE_FAULT_PREFIX,      // columns 1-5 are no T/F prefix
  SE_FAULT_VERB,        // no statement keyword
  SE_FAULT_TEXT,        // a field's text is no value of its kind
  SE_FAULT_REQUIRED,    // a required field is blank
  SE_FAULT_FIELD,       // no such field in the application, nor in "0LA"
  SE_FAULT_OCC,         // an occurrence outside the field's
  SE_FAULT_TYPE,        // the field's type does not suit the verb or the other field
  SE_FAULT_MODE,        // SET of "0LA" MODE
  SE_FAULT_CONSTANT,    // the constant does not convert to the field it meets
  SE_FAULT_CONST_OCC,   // an occurrence on a constant
  SE_FAULT_SUBROUTINE,  // COPY of a process that is no SUBROUTINE
  SE_FAULT_KEY,         // the key field is no key of the file, or the file takes none
  SE_FAULT_COMBINATION  // the optional fields do not go together
};
// Adds the message of `fault` at screen column `col` of the line in
// ed->line (`second`: the column of the field's application, 0 none) to the
// messages the next show puts on the message row.
void se_say_fault(se_ed_blk* ed, se_fault fault, int col, int second);
// The same for a line the check warns of, the warning page shown over it:
// the application (or, with ed->file_warning, the file) at `col` that was
// not found, and that ENTER keeps the line (messages 103530, 103540).
void se_say_warning(se_ed_blk* ed, int col);

// The fields the check reads, as the conversion found them.
struct se_chk {
  uint8_t* rec;  // the record being filled
  int verb;
  const xme_stmt* ap1 = nullptr;
  const xme_stmt* fld1 = nullptr;
  const xme_stmt* occ1 = nullptr;
  const xme_stmt* ap2 = nullptr;
  const xme_stmt* fld2 = nullptr;
  const xme_stmt* occ2 = nullptr;
  const xme_stmt* file = nullptr;
  const xme_stmt* proc = nullptr;
  const xme_stmt* area = nullptr;
  bool area_field = false;  // the area word is FIELD
  bool op_pm = false;       // the arithmetic operator is P or M
};
// The outcome: screen columns, 0 none.
struct se_chk_out {
  int err_col = 0;
  int second_col = 0;
  int warn_col = 0;
  bool replaced = false;           // an application id became "0LA"
  se_fault fault = SE_FAULT_NONE;  // why err_col was refused
};
// 1 when the line passes (perhaps with a warning), 0 with err_col set.
int validate(const se_chk& in, se_chk_out* out);
// The fields' states in layout order (fillers skipped); 1 when they form an
// allowed combination for the verb, else 0 with the column to point at.
int opt_req(const uint8_t* rec, const int* states, int* err_col);
// Whether `ap` is "0LA" and `name` (22) one of its elements.
int is_pdf(const char* ap, const char* name);

// ---- the edit run ----
struct PCB;
// The calling process's control block of the edit run; `clean_slate` 1 when
// the event point had no statements when loaded.
extern PCB* the_pcb;
extern uint8_t clean_slate;
// The record write at save and the call at every return of se_edit are
// editors_seams.se_stmt_put and editors_seams.se_returned (editors/editors.h).

// The edit run over the event point that `ctx` (64 bytes) names: 1 when it
// ended (saved or not), 0 when it could not start (status in the context).
int se_edit(PCB* pcb, uint8_t* ctx);
// The version following an application id (three bytes on); null for null.
const char* se_get_ver(const char* ap);
// Adds the routine row "SE_EDIT": one argument, the 64-byte context.
void se_register();

// A window of `rows` x `cols` at (row, col) on `srf` in the system scope;
// null when it does not attach.
TWND* make_window(WND_BLK* blk, int row, int col, int rows, int cols, TSRF* srf);
// The option lines underlined or in reverse.
void opt_standard(se_ed_blk* ed);
void opt_inverse(se_ed_blk* ed);
// Puts two option lines up (underlined, or reverse with `inverse`).
void se_options(se_ed_blk* ed, const char* l1, const char* l2, bool inverse);
// The normal menu; in a nested external-copy run the prompt of its level.
void se_normal_options(se_ed_blk* ed);
// Loads the event point's statements into the line list; 0 after a read
// failure (reported).
int process_stmts(se_ed_blk* ed);
// Redraws the statement window from the first line shown. `hot` (a screen
// row, 0 none) is drawn in ed->state, every other row as a shown row;
// with `hot` -1 every row takes ed->state.
void asm_scr(se_ed_blk* ed, int hot = -1);
// The text of row `idx` (from 0) for `rec` in ed->line, with its items and
// characteristics unless the row shows an audit stamp.
void asm_stmt(se_ed_blk* ed, int idx, uint8_t* rec);
// The line list in order, and the line shown on screen row `row` (null
// past the last).
std::vector<se_line*> se_lines(se_ed_blk* ed);
se_line* se_line_at(se_ed_blk* ed, int row);
// Numbers every line 1..n in its sequence field.
void se_renumber(se_ed_blk* ed);
// Frees every line.
void se_free_lines(se_ed_blk* ed);
void se_cleanup(se_ed_blk* ed);
// Shows the screen and reads one key into ed->key (the cursor follows).
void se_read(se_ed_blk* ed);
// Links a new line holding `rec` before `before` (null: at the end).
se_line* se_new_line_before(se_ed_blk* ed, se_line* before, const uint8_t* rec);
// Moves the first line shown back while the window would show empty rows.
void se_fill_view(se_ed_blk* ed);

// ---- ranges, cut buffer and browse ----
// Key 104: the line under the cursor starts the range of ed->state.
void del_move_copy(se_ed_blk* ed);
// Key 105: the range ends at the cursor line and is cut (delete, move or
// copy); a delete of several lines is confirmed first.
void exec(se_ed_blk* ed);
// Keys 101 (copy) and 102 (move): the cut lines go before the cursor line.
void use_buf(se_ed_blk* ed, uint32_t key);
// Key 108: the range starts again at its starting point.
void respecify(se_ed_blk* ed);
// The option lines of the range state going on.
void se_range_prompt(se_ed_blk* ed);
se_line* se_get_cur_line(se_ed_blk* ed);
// The first LABEL line named `name` (30), from the first line shown; its
// number in *line_no. Null when none.
se_line* se_find_label(se_ed_blk* ed, const char* name, uint32_t* line_no);
// From `start` forward or back, the first line of `verb` whose operand
// starts with `key_len` bytes of `key`; null when none.
se_line* se_find_loop(se_ed_blk* ed, int verb, const char* key, size_t key_len, se_line* start, int forward);
// Shows `line` near the middle of the window with the cursor on it.
void se_center_around_line(se_ed_blk* ed, int unused, se_line* line);
// Pushes `cur` on the browse stack and centres `target`.
void se_browse_stack(se_ed_blk* ed, se_line* target, se_line* cur);
// Key 94 and PREV IMAGE.
void browse_zel(se_ed_blk* ed, PCB* pcb, uint8_t* ctx);
void browse_pop(se_ed_blk* ed);
// The number (from 1) of `l` in the list, 0 when it is not there.
uint32_t se_line_no(se_ed_blk* ed, const se_line* l);

// ---- external copy and the pass file ----
// The external-copy level of the run going on: 0 none; 1 the nested editor
// waits for the start line, 2 for the end line, 3 the lines are cut.
extern uint8_t xcopy_opt;
// The outer run's edit block while a nested external-copy run goes on on
// it; the outer run keeps a copy of it and puts that back afterwards.
extern se_ed_blk* xcopy_ed;
// The cut buffer of a nested external-copy editor and its record count,
// handed to the outer editor, which scratches it.
extern ARB* xcopy_buf_arb;
extern uint32_t xcopy_buf_rec_cnt;
// The pass file ZELEPASS of the design processes: a memory file under "0AD"
// and `ver`, 64-byte records, the first the pass record. 1 done.
int se_pass_put(const char* ver, const uint8_t* rec);
int se_pass_get(const char* ver, uint8_t* rec);
// Option 6: lines of another event point, chosen through "ZEL EDITOR
// (XCOPY)" and cut in a nested editor, pasted where the user says.
void external_copy(se_ed_blk* ed, PCB* pcb, uint8_t* ctx);
// Browse of what line `l` (may be null) names: another process, a field or
// a file through "ZEL EDITOR (BROWSE)"; nothing browsable: an event point
// chosen through "ZEL EDITOR (XCOPY)" is shown in a nested run.
void browse_invoke(se_ed_blk* ed, PCB* pcb, uint8_t* ctx, se_line* l);
// Key 106 in the nested editor: 1 when the run is to end.
int xcopy(se_ed_blk* ed, uint32_t raw_key);
// The operand field under the cursor of `l`: its type, application id (3,
// "---" read as "0LA") and, for a field (type 3) the name (22), for a file
// (type 14) the file name (8).
int get_fld_info(se_ed_blk* ed, se_line* l, char* ap, char* name);

// ---- look-up scans ----
// The area words in the order the list shows them (14 characters each).
extern const char* const area_tbl[7];
// The length of the result `zel_scan` left at se_scan + SCAN_RESULT.
extern int scan_len;
// The SCAN key while a line is typed (`opnd` 0: the verb): the screen
// column where the result goes, 0 when nothing was chosen.
int zel_scan(int opnd, se_ed_blk* ed);
// The keyword list: the verb chosen, or 255.
int scan_for_opc(se_ed_blk* ed);
// The area list (the first four words, or all seven with `all`): the
// index in area_tbl chosen, or 255.
int scan_for_area(se_ed_blk* ed, int all);

// ---- search and replace ----
// The length of `s` (`n`) up to its last non-blank.
size_t se_eff_len(const char* s, size_t n);
// The 1-based position of the first exact occurrence of `pat` (up to its
// last non-blank; a final underline after other characters stands for a
// blank, so that a string can end in blanks) in `text`, or -1.
int is_sub_str(const char* text, int text_len, const char* pat, int pat_len);
// Option 4 (replace 0) and option 5 (replace 1); 1.
int search(se_ed_blk* ed, int replace);
// The match at `col` (operand column from 1) of `old_len` inside one field
// of `rec`'s verb, replaced by `new_text` in `line` (the operand text, 64):
// 1 done, 0 outside one field or cutting a non-blank character.
int chk_replace(const uint8_t* rec, char* line, int col, int old_len, const char* new_text, int new_len);

// ---- line editing and stamps ----
void edit(se_ed_blk* ed);
// Inserts one line at the cursor; ed->key is ENTER or CANCEL after it.
void insert(se_ed_blk* ed);
// How a replacement ended: stored with its changed stamp, skipped (the
// line as it was), or the replace ended (the line as it was).
enum se_replace_end { SE_REPL_DONE, SE_REPL_SKIP, SE_REPL_END };
// Line `l` from the replaced text `line`: stored when it passes the check;
// failing it, or warned about for the first time, it goes to editing on
// its row until ENTER passes it, option 8 skips it or CANCEL ends.
se_replace_end replace_line(se_ed_blk* ed, se_line* l, const std::vector<char>& line);
int audit_init(se_ed_blk* ed);
void audit_update_add(se_ed_blk* ed, uint8_t* rec);
void audit_update_chg(const uint8_t* saved, se_ed_blk* ed, uint8_t* rec);
// The stamp text of the current audit state in `buf` (`width`); its length.
int audit_get_str(se_ed_blk* ed, const uint8_t* rec, char* buf, int width);
int audit_menu_init(se_ed_blk* ed);
void audit_menu_show(se_ed_blk* ed);
void audit_menu_clr(se_ed_blk* ed);
// Sets or clears `bits` in every run of screen row `row` of the statement
// window (the first run kept) and updates the window.
int upd_chr(se_ed_blk* ed, int row, uint32_t bits, int set);

// ---- help, toolbox, highlight, context line ----
void help(se_ed_blk* ed, PCB* pcb);
// Runs process `name` of `ap` (a system application, version "00") of
// `type` over the editor's screen under a recovery point, the editor's
// state put back afterwards; `one_shot` also gives it files of its own.
void se_run_design(se_ed_blk* ed, PCB* pcb, const char* name, int type, bool one_shot, const char* ap = "0AD");
void toolbox(se_ed_blk* ed, PCB* pcb);
void kivo_help(int opnd, se_ed_blk* ed);
// The help message of operand field type `type` (1-24); 0 for another.
uint32_t se_type_help(int type);
void hilight_range(se_ed_blk* ed);
void set_context_line(char* buf, const uint8_t* ctx, int width);
// The type of the operand field under the cursor of `rec`'s row (0 none;
// 25 when `must_blank` and it is not blank), the application id of the
// nearest application-id field before it and the field's screen column.
int get_xme_type(se_ed_blk* ed, const uint8_t* rec, int must_blank, char* ap, int* col);
// The edit run's show is editors_seams.se_show (editors/editors.h).

}  // namespace kivo
