// The operations on a process's primary control file (PCF): reads with the
// holds chosen by process kind and record-level security, writes, rewrites
// and deletes with user and date stamps, the event points 03, 04, 05 and 11,
// the modification log of input processes, the cascades to child processes,
// delete protection, transaction control, and the dynamic keys that let an
// input process browse its PCF in an order of its user's choosing.
//
// Map: pi_pcf.cpp (reads, writes, stamps, CPY_RID, PI_TRX_CTL);
// pi_pcf_cascade.cpp (children on a changed link and on a delete);
// pi_mlog.cpp (STDMLOG lines); pi_dyna.cpp and pi_dyna_file.cpp (dynamic
// keys).
//
// Invariants: no operation unwinds on a file failure: it returns 0 with an
// outcome code in the PCB's end-code word (INVOC.end_code) and the status
// in the stream. A successful held read makes its stream the file block's
// current stream, through which rewrites and deletes go.
//
// Callers: the INPUT process, the file statements, the OUTPUT and action
// processes (pi_rdnxt), the executive's pi_open_fi (pi_dyna_add).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "compiler/pcb.h"
#include "interp/rt_fns.h"

namespace kivo {

struct ARB;

// ---- outcome codes (the PCB's end-code word after a failure) ----
enum : uint32_t {
  PCF_FILE_FAILED = 32,   // the file operation failed: its status is in the stream
  PCF_STOP_READ = 10,     // event 03 asked to stop
  PCF_STOP_PRE = 11,      // event 04 asked to stop
  PCF_STOP_POST = 12,     // event 05 asked to stop
  PCF_STOP_EXT = 26,      // event 11 asked to stop
  PCF_NO_STREAM = 200450  // the process has no PCF stream
};
// Stream statuses set here.
enum : uint32_t { PCF_CHILD_FATAL = 200860, PCF_DEL_PROTECTED = 300550 };
// Event points of the PCF.
enum : uint8_t { EP_PCF_READ = 3, EP_PCF_PRE = 4, EP_PCF_POST = 5, EP_PCF_EXT = 11 };
enum : uint8_t { EP_PRE_INVOC = 61, EP_POST_INVOC = 62 };
// Input modes (system area 11 byte 42) tested or set here.
enum : uint8_t { IM_HOLDING = 2, IM_LOCKED = 3, IM_DYNA_BUILD = 5, IM_HOLDING2 = 7 };
constexpr size_t kA11Mode = 42;             // area 11: the input mode
constexpr size_t kA7Answer = 57;            // area 7: '0' leaves a record out of a dynamic key
constexpr size_t kA9DbType = 3;             // area 9: 2 = the database applies security
constexpr uint32_t kLockWait = 0xFFFFFFFF;  // a stream's wait word: wait for the lock

// ---- record operations ----

// Reads the PCF by key (or record id, with ARB_REC_ID) with the mode bits
// `mode`; 1 with the record in the record area.
int pi_read(PCB* p, uint16_t mode);
// Reads the next PCF record; 1 also when the process has no PCF stream.
int pi_rdnxt(PCB* p, uint16_t mode);

// ---- a file read to its end ----

// What a loop that reads a file to its end makes of the status after a
// read: 200350 a record came; the end of the file, no record left at a
// start, or a read an event stopped (its status still success) end the
// loop; a sort the user interrupted; anything else is a read that failed
// part-way (a lost connection, an I/O error, a lock), which the loop must
// not take for the end: what it did with the records read would pass for
// the whole file.
enum class read_end { record, end, interrupted, failed };
read_end pi_read_end(uint32_t st);
// Why a run whose loop read `st` (interrupted or failed) ends: what the
// status says, a lost connection's recorded error naming its server.
std::string pi_read_end_why(uint32_t st);
// Writes the record area as a new record.
int pi_write(PCB* p);
// Rewrites the held record from the record area.
int pi_rewrite(PCB* p);
// Deletes the held record.
int pi_del(PCB* p);
// Copies the stream's current record id into pcb_rid, growing it as needed.
void CPY_RID(PCB* p, ARB* a);
// The built-in routine "PI_TRX_CTL": request 1 commits, 7 releases the
// handle passed (an argument of kind 2, whose address is the handle); any
// other request fails (sb_transact).
int pi_trx_ctl(RT_CALL& call);
int sb_transact();

// The event point `ep` of the process (61 and 62: of pcb_cur_chld); true
// when its statements asked to stop.
bool pi_ep_stop(PCB* p, uint8_t ep);
// The PCF's compiled file record and record area; null without a PCF.
const uint8_t* pi_pcf_cfi(const PCB* p);
uint8_t* pi_pcf_rec(const PCB* p);
uint16_t pi_pcf_len(const PCB* p);
// The running process is INPUT (by its module).
bool pi_is_input(const PCB* p);
// The input mode byte (area 11 byte 42); null when the module has no area 11.
uint8_t* pi_input_mode(const PCB* p);
// The user id (area 16 bytes 0-2); null when the module has no area 16.
uint8_t* pi_user_id(const PCB* p);
void pi_outcome(PCB* p, uint32_t code);

// ---- cascades (pi_pcf_cascade.cpp) ----

// Runs the children whose linking fields the rewrite changed (the record
// area holds the new image, pcb_pcf_buf1 the before image); 0 when one
// ended fatally (outcome 32, status 200860).
int pi_cascade_change(PCB* p);
// Runs every on-delete child before the record is deleted; 0 as above.
int pi_cascade_delete(PCB* p);

// ---- modification log (pi_mlog.cpp) ----

constexpr uint16_t kMlogRecLen = 115;
enum : size_t { MLOG_KIND = 0, MLOG_AP = 1, MLOG_NAME = 4, MLOG_OCC = 34, MLOG_OLD = 35, MLOG_NEW = 75 };
enum : uint8_t { MLOG_ADD = 1, MLOG_DEL = 2, MLOG_CHG = 4, MLOG_DETAIL = 255 };
constexpr size_t kMlogKeyLen = 40, kMlogValLen = 40;
static_assert(MLOG_NEW + kMlogValLen == kMlogRecLen && MLOG_OLD + kMlogValLen == MLOG_NEW);
// The STDMLOG handle of the process's log owner; null when it keeps none.
ARB* pi_mlog_arb(const PCB* p);
// Why a log was not kept: the status of the file that failed it, and which
// file and how ("ELEMENT of DEM could not be read"); status 0: it was kept.
struct mlog_lost {
  uint32_t status = 0;
  std::string what;
};
// A header of `kind` (add or delete) and a line for every field occurrence
// of the record area. A file that cannot be read or written stops the log
// and says why.
mlog_lost pi_mlog_all(PCB* p, uint8_t kind);
// A header of kind 4 and a line for each occurrence that differs between
// `before` and `after`; nothing when they are equal. Stops as above.
mlog_lost pi_mlog_change(PCB* p, const uint8_t* before, const uint8_t* after);

// The fields of the PCF's key 0 in `rec`, each in display form (token
// fields by their text) and cut to `room` characters.
std::vector<std::string> pi_key_texts(PCB* p, const uint8_t* rec, size_t room);

// ---- dynamic keys (pi_dyna.cpp, pi_dyna_file.cpp) ----

// A chosen field (80 bytes in the stored form; native here): the field's
// address identifies it.
struct dyna_seg {
  uint8_t* addr;
  uint16_t type;  // data type of the element
  uint16_t len;
  char order;      // '+' or '-'
  char name[40];   // shown in message 300710
  dyna_seg* next;  // list link
};
// The dynamic-key context of a PCB (pcb_dyna), from pcb_pool.
struct dyna_ctx {
  ARB* key_arb;  // the key file; null until built
  ARB* rid_arb;  // a second stream on it, by record id
  uint16_t entry_len;
  uint16_t rid_off;  // entry_len - the PCF's record-id length
  uint8_t* entry;    // entry_len bytes
  dyna_seg* segs;
  uint16_t rid_len;
};
constexpr uint32_t MSG_DYNA_KEY = 300710;
constexpr uint32_t kDynaPromptDflt = 1000;

// Adds the field `d` to the key (its order flipped when it is there) and
// posts 300710; with null drops the key. 1.
int pi_dyna_add(PCB* p, const dyna_seg* d);
// "PI_DYNA_BLD": a segment per argument, ascending, no name. 1.
int pi_dyna_bld(RT_CALL& call);
// Posts 300710 again while a dynamic key is chosen (nothing otherwise):
// the user about to type a key learns which fields a read goes by.
void pi_dyna_post(PCB* p);
// The key file built and filled from the whole PCF: 1; 0 when it could not
// be, -1 when the user cancelled (the caller drops the dynamic key).
int dyna_create(PCB* p, ARB* a);
int dyna_populate(PCB* p, ARB* a);
// The question after the threshold: true when the user cancelled.
bool cancel_dynakey(PCB* p);
// The prompt threshold: KIVO_DYNAKEY_PROMPT as a number, else 1000.
uint32_t dyna_prompt_limit();
// The PCF operations through the dynamic key (INPUT with segments), else
// straight to the file manager.
int dyna_read(PCB* p, ARB* a);
int dyna_rdnxt(PCB* p, ARB* a);
int dyna_write(PCB* p, ARB* a);
int dyna_rewrite(PCB* p, ARB* a);
int dyna_del(PCB* p, ARB* a);
// The trace of key entries, to the file KIVO_DYNA_LOG names (none: nothing);
// each call starts it anew from the environment.
void dyna_init();
void dyna_dump(const char* label, const uint8_t* entry, size_t len);

// Adds "PI_TRX_CTL" and "PI_DYNA_BLD" to the built-in routines.
void pi_pcf_register();

}  // namespace kivo
