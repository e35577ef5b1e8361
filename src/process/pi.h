// The process executive's set-up of a process control block: the start-up
// of the executive (pi_init), the shared-area anchors (SAA) that give each
// data area of a module its place, the placing and initialising of the
// areas, their release, and their copy into and out of one buffer.
//
// Map: AREA_DESC (compiler/em_records.h) drives everything; an SAA record
// is a native block held by reference in the memory file of its area kind
// (one file per kind, key owner + application + version), so an entry
// changed in a record read back needs no rewrite.
//
// Invariants: the owner word of an SAA record is the owning PCB's registry
// handle (pcb_handle); an entry's `own` data belong to the record's owner and
// are freed only with the full flag; `borrowed` data are freed only by the
// record whose entry carries SAA_FREES_BORROWED.
//
// Callers: the executive's pi_exec and invoc_proc, the file manager's file
// process (through process_register_hooks), the suspend and resume of sessions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "compiler/em.h"
#include "compiler/em_records.h"
#include "compiler/pcb.h"
#include "fm/fm_objects.h"

namespace kivo {

// ---- sharing tables ----
constexpr int kInvocTypes = 3;  // 0 SUBPROCESS, 1 RELATED, 2 DETACHED
constexpr int kRcvClasses = 3;
constexpr size_t kNonShrCells = kInvocTypes * kRcvClasses * kSaaKinds;
extern uint8_t saa_pass_tbl[kInvocTypes];
extern uint8_t saa_rcv_tbl[kRcvClasses];
// 1 = area kind not shared, at 39 x invocation type + 13 x receive class + kind.
extern uint8_t saa_non_shr_tbl[kNonShrCells];
void pi_tbl_init();
// The kind is shared for that invocation type and receive class; values out
// of range share nothing.
bool saa_shared(uint8_t invoc_type, uint8_t rcv_class, uint8_t kind);

// ---- SAA records ----
enum : uint8_t { SAA_PASSABLE = 0x01, SAA_FREES_BORROWED = 0x02 };
enum : uint8_t { SAA_RCV_INVOKER = 1, SAA_RCV_RESTORED = 2 };
constexpr uint32_t kSaaSkipped = 0xFFFFFFFF;  // count of a record store/restore pass over

struct saa_entry {
  uint8_t* own;       // data owned by this record; null none
  uint8_t* borrowed;  // data of an ancestor's record; null none
  uint8_t type;       // the area type (0 data, 1 file block)
  uint8_t received;   // SAA_RCV_*
  uint8_t cls;        // pass and receive class bits
  uint8_t flags;      // SAA_PASSABLE, SAA_FREES_BORROWED
  uint16_t size;
  uint8_t reserved[2];
};

// The header keeps the stored record's first 16 bytes at their offsets (the
// memory file's key reads owner, application and version there); entry n,
// from 1, is e[n]; e[0] stands for the stored form's bytes 16-31.
struct SAA_REC {
  uint32_t owner;  // the owning PCB's handle
  uint32_t count;  // entries 1..count; kSaaSkipped: passed over
  char ap[3];
  char ver[2];
  uint8_t pass;  // OR of the entries' class bytes
  uint8_t spare[2];
  saa_entry e[1];
};
static_assert(offsetof(SAA_REC, ap) == 8 && offsetof(SAA_REC, ver) == 11 && offsetof(SAA_REC, pass) == 13);
constexpr size_t saa_rec_len(uint32_t count) { return offsetof(SAA_REC, e) + sizeof(saa_entry) * (count + 1); }
constexpr uint32_t kSaaMaxEntries = 2000;  // keeps the record under the file's u16 length

// The file block (pi_file_blk) is declared with the PCB (compiler/pcb.h):
// the file statements read it.

// ---- the PCB's tables (native forms of the 16-, 12-, 16- and 8-byte entries) ----
struct pcb_frm_ent {
  uint8_t* rec;   // compiled frame record; null none
  uint8_t* word;  // a word the frame processor points at (cleared with the scroll block)
};
struct pcb_img_ent {
  uint8_t* rec;  // compiled image record
  uint32_t word;
};
struct pcb_itm_ent {
  uint8_t* rec;  // compiled item record
  uint8_t zero[2];
  uint8_t spare;
  uint8_t b250;  // byte 250 of the item record
  uint32_t word;
};
struct pcb_chld_ent {
  uint8_t* rec;      // compiled child record
  uint8_t* cascade;  // cascade buffer, set when the child runs
};
// A line of the input scroll list: the record id of a record the process
// wrote or rewrote, in the order the lines came (from pcb_sub_pool).
struct iscroll_node {
  iscroll_node* next;
  iscroll_node* prev;
  uint16_t rid_len;
  uint8_t* rid;  // rid_len bytes, in the same block after the node
};
// The input scroll block: the frame entry of the one frame with a scroll
// region, then what the input process keeps about it.
struct pcb_iscroll_blk {
  pcb_frm_ent* frame;
  iscroll_node* first;  // the list; null empty
  uint16_t count;       // reset when a line is added
  uint8_t b[2];
  iscroll_node* cur;    // the current line
  uint8_t* first_line;  // the frame's first-line word
};

// ---- PCF selection blocks (52 bytes in the 32-bit form; native here) ----
enum : uint8_t { SCB_RANGE = 3, SCB_CNSTR = 4 };
struct PCF_SCB {
  uint8_t kind;
  uint8_t spare[3];
  PCF_SCB* next;
  // constraint block
  uint32_t val_len;
  uint8_t* vals;
  uint16_t seg_cnt;
  uint8_t* segs;  // seg_cnt 6-byte entries {u32 offset-and-flags, u16 length} packed
  // range block
  uint32_t rng_scope;  // scope level of the pool owning the kind-7 records of 0LA
  char rng_ap[3];
  char rng_ver[2];
  char rng_nam[30];
  uint8_t invoc99;
  uint8_t rpt_kind;  // 1 OUTPUT, UPDATE, ACTION
  uint8_t invoc100;
};

// The native constraint field entry of an invocation (the 16-byte entry,
// its fields in order); INVOC.cnstr_flds names an array of them.
struct cnstr_fld {
  uint16_t val_off;  // offset of the value in the value buffer (automatic runs)
  uint16_t add_off;  // added to the value's address
  uint8_t* addr;     // the value, or a pointer to it
  uint8_t indirect;  // 1: addr points to the pointer
  uint8_t spare;
  uint16_t len;
  uint8_t given;  // 1: a value is given
  uint8_t spare2[3];
};

// ---- the PCB file, the SAA files, the property cache, the hook file ----
extern POOL* pi_pool;
extern ARB* pi_pcb_arb;
extern ARB* pi_saa_arb[kSaaKinds];
extern ARB* pi_prop_cache;
extern ARB* mhook_arb;
extern uint16_t pi_nxt_family;
extern uint8_t use_subproc_for_related;
extern uint8_t access_all_files;

// ---- placing a process's areas ----

// The 11-byte pool name `name` with bytes 7-10 the running counter.
void UNIQUE_POOL_NAM(char* out, const char* name);
// Gives the PCB its pools, tables and every data area; the total bytes
// allocated for areas.
uint32_t pi_shr_data(PCB* p, uint32_t scope, uint32_t sub_scope);
void init_pcb(PCB* p);
// Places the areas of the kinds whose owner changes when `inv` (null: none)
// becomes the invoker: a file's own process serves whichever process reads
// or writes the file. Areas of the other kinds keep their place and data.
void pi_reshare(PCB* p, PCB* inv);
// Points the file blocks of `p`'s file areas at its own compiled records
// again. A block of a shared area is one block for every process sharing
// it, and each process compiled the file with its own index and area
// numbers: the running one's record stands in the block (placed with its
// areas, put back when a process it invoked returns).
void pi_own_file_blks(PCB* p);
void target_pcbs(PCB* p);
void copy_saas(PCB* p, uint8_t kind);
// The SAA record of (owner, application) of that kind, created or grown to
// the module's area count of the kind; null after a system error.
SAA_REC* pi_get_saa(EM* em, const char* ap, PCB* owner, uint8_t kind);
// The SAA record of (owner handle, application, version) of that kind, null
// none; every record of one owner, in key order.
SAA_REC* saa_read(uint8_t kind, uint32_t owner, const char* ap, const char* ver);
std::vector<SAA_REC*> saa_of(uint8_t kind, uint32_t owner);
void init_area(uint8_t* dst, PCB* p, const AREA_DESC* ad);
// The compiled file record of a file area; null after a system error.
uint8_t* get_cfi(EM* em, const AREA_DESC* ad);
// The initial record of the file of area `ad`; null (reported) without one.
const uint8_t* pi_dflt_rec(EM* em, const AREA_DESC* ad);
void init_pdf(PCB* p);
// Copies the file of file block `fb` (a file of module `em`) from the
// temporary level `scope` into the level it is shared with, unless it is
// there already; a source never created copies nothing.
void copy_fi(PCB* owner, EM* em, pi_file_blk* fb, uint32_t scope);
// Builds the PCF selection blocks from the invocation; 0 when a constraint
// does not belong to the process's PCF (200750 to the invoker, end code 2).
int bld_pcf_scb(PCB* p);
// pcb_profile for the user's profile, kept in pcb_pool.
void pi_keep_profile(PCB* p);
// The version of application `ap` for the process.
void pi_get_ver(PCB* p, const char* ap, char* out);

// Releases what pi_shr_data set up: the PCB's SAA records always; with
// `full` its own data, the borrowed data it frees, pools and tables.
void pi_free_data(PCB* p, int full);
// All areas of the process into (out of) `buf`; 0 and nothing copied when
// `size` is less than they need.
int pi_store_data(PCB* p, uint8_t* buf, size_t size);
int pi_restore_data(PCB* p, const uint8_t* buf, size_t size);
// The bytes pi_store_data needs.
size_t pi_data_size(PCB* p);

// The PCB a handle names (SAA owner words); null when stale.
PCB* pcb_of_handle(uint32_t h);

}  // namespace kivo
