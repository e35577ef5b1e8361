// The sorted-query file type: a PCF stream whose records come from an active
// query, in the query's order, with level breaks where the sort fields
// change, and the progress shown while a query selects and is read.
//
// Invariants: a level that starts is ended before the end of the file; the
// statuses of one pointer record come deepest end first, then outermost
// start first, then the record; a level without a range entry gives no
// status. The per-attach block is the stream's own area and goes with it.
//
// Callers: the file manager's attach of a sorted scan (fm_proc_hooks.pb_attach),
// the scope clearing (pb_clr_scope), the executive (pb_auto_setup,
// pb_cleanup), the QUERY process (qp.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace kivo {

struct ARB;
struct PCB;
struct STRM;
struct FSCB;

constexpr uint32_t PB_LEVEL_END = 200370;
constexpr uint32_t PB_LEVEL_START = 200620;
constexpr uint32_t PB_RECORD = 200350;
constexpr uint32_t PB_NO_QUERY = 200650;
constexpr uint16_t kTagLevel = 65535;  // a tag-mode pointer: no levels

// The query block, as the sorted scan request carries it.
enum : size_t {
  QB_KIND = 0,
  QB_SCOPE = 1,  // u32
  QB_AP = 5,
  QB_VER = 8,
  QB_PROC = 10,    // 30
  QB_BREAKS = 40,  // 1: level breaks asked for
  QB_UPDATE = 41,  // 1 reuse when compatible, 2 build anew, 3 attach on the old
  kQblkLen = 42,
};

// Sets pb_show_progress from KIVO_SHOW_PROGRESS and installs the type.
int pb_init();
extern bool pb_show_progress;

// ---- level breaks ----

// The range entry of each sort level (0 the whole file, k the k-th sort
// line): -1 where the level has none.
using pb_level_map = std::vector<int>;
// The statuses (status, range entry) between two records: the levels from
// `next` of the previous record down to its end (deepest first), then, for
// a record, the levels from its `prev` on (outermost first). `prev` 0 is
// the first record; `next` 0 the end. Tag levels give none.
void pb_breaks(const pb_level_map& map, bool have_prev, uint16_t prev_next, bool have_rec, uint16_t rec_prev,
               std::vector<std::pair<uint32_t, uint32_t>>* out);

// The reader of one stream: pointer records of `ptr`, records of `data`
// (by record id, or by the key in `by_key`), statuses in order.
struct PB_ATTACH {
  ARB* ptr = nullptr;   // the pointer stream
  ARB* data = nullptr;  // the PCF or the alternate file
  bool by_key = false;  // the identifier is the alternate file's key
  uint8_t key_no = 0;
  bool breaks = false;  // status 200350 for a record
  uint16_t id_len = 0;
  pb_level_map map;
  std::vector<uint8_t> rid;      // the identifier of the record waiting
  std::vector<uint8_t> ptr_rec;  // the pointer record read last (kept: no allocation a read)
  // Pointer records read ahead of the one delivered, so that their records
  // are asked for before they are read: ahead_n of them from slot ahead_at
  // of `ahead`; ahead_end set when the pointer stream gave ahead_stat
  // (its end or a failure) after them.
  std::vector<uint8_t> ahead;
  uint32_t ahead_at = 0, ahead_n = 0, ahead_stat = 0;
  bool ahead_end = false;
  std::vector<std::pair<uint32_t, uint32_t>> queue;
  bool have_prev = false, rec_waiting = false, ended = false;
  uint16_t prev_next = 0;
  uint32_t read = 0;  // pointer records read (progress)
  void* query = nullptr;
  uint32_t status = 0;  // a build that failed: the selection's own status, 0 none
  // The first read's sort and the pointer stream (ptr null until then): 1
  // or the status; and the progress of reading (kind 3 a pointer, 4 the end).
  uint32_t (*exec)(PB_ATTACH* b) = nullptr;
  void (*progress)(PB_ATTACH* b, int kind) = nullptr;
};

// One read of the stream into `rec` (length in *len): 1 a record, else 0
// with *status 200370 or 200620 (*level the range entry), 200360 at the end,
// or the failing file's status.
int pb_rdnxt(PB_ATTACH* b, uint8_t* rec, uint16_t* len, uint32_t* status, uint32_t* level);
// Starts the pointer stream again.
int pb_restart(PB_ATTACH* b);

// ---- progress ----

struct PB_PROGRESS {
  int kind = 0;
  uint32_t step = 1, limit = 10, next = 1;
  bool window = false;
};
// The text shown for `kind` (1 selecting, 3 reading, 4 reset) at `count`,
// or empty when nothing is shown this time.
std::string pb_progress_text(PB_PROGRESS* s, int kind, uint32_t count, uint32_t selected, uint32_t read);
// Shows the text where process_seams.pb_progress says: by default
// pb_progress_line, a one-line window across the screen (an empty text
// removes it).
void pb_progress_show(const std::string& text);
void pb_progress_line(const std::string& text);
// The attach of a sorted scan (fm_proc_hooks.pb_attach): the stream reads
// the active query process_seams.pb_build gives; 0 without one, with the
// selection's status when it did not compile, else 200650.
int pb_sq_attach(ARB* arb, STRM* s, FSCB* scan);
// The window goes with its level (cleared before the sorted queries).
void pb_forget_stat(uint32_t level);

// ---- executive and QUERY entries ----

void pb_cleanup(PCB* p, const char* ap, const char* proc);
void pb_clr_scope(uint32_t level);
void pb_auto_setup(PCB* p, void* fad);
// The information of a sorted stream: 8 bytes, the code of its query at
// PBI_CODE (the "RANGE CODE" the query process left, blank when none),
// the first four bytes 0. 1, or 0 when `arb` reads no active query.
enum : size_t { PBI_CODE = 4, kPbInfoLen = 8 };
constexpr size_t kRangeCodeLen = 4;
int pb_get_info(ARB* arb, uint8_t* info);
// The check of a selection expression; 1, else the error code with *pos
// the offset of the parse position.
uint32_t pb_valid_expr(const char* text, uint16_t len, uint32_t* pos);
// ELEMENT files held open for a query process while its selection is edited.
void pb_dds_keep(PCB* p, ARB* a);
void pb_dds_close(PCB* p);
void qp_register();

// The build of the active query for an attach and the detach of an
// attach's block are process_seams.pb_build and pb_unbuild (process/process.h).
// The caller's PCF selection blocks for the sorted attach pb_auto_setup
// asked for; null when it asked for none.
struct PCF_SCB;
extern PCF_SCB* pb_attach_chain;

}  // namespace kivo
