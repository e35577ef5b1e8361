// The process control block as the loader and the interpreter read it, the
// interpreter's pass list kept in it, and the registry that turns the 32-bit
// handle words of an invocation record into what they name.
//
// Map: PCB (bytes 0-151 exact, the rest native); pcb_pass_list; the handle
// registry (ih_put, ih_get, ih_drop) and invoc_parent.
//
// Invariants: bytes 0-151 of a PCB are the PCB file's record as stored (the
// key reads family, application, version, type, name, instance and
// alternate flag there), so they hold no host pointer. Every later field is
// native: its size is the host's and `sizeof(PCB)` is the block's size. The
// process engine owns a PCB's contents; the interpreter writes only
// `pcb_pass`.
#pragma once

#include <cstddef>
#include <cstdint>

#include "foundation/invoc.h"
#include "foundation/scope.h"

namespace kivo {

struct EM;
struct POOL;
struct ARB;

constexpr size_t kPcbKeyedBytes = 152;
constexpr int kPassMax = 64;
constexpr int kSaaKinds = 13;
constexpr int kPrevErrFiles = 4;

// One PASS: what RECEIVE in the invoked process takes back.
struct pass_entry {
  uint8_t kind;   // the PASS area word's kind, 1-7; 2 = a file handle
  uint8_t type;   // data type
  uint16_t len;   // bytes at addr
  uint8_t* addr;  // the value, or its copy from pcb_pool (owned when `copy`)
  uint8_t copy;
};

// The pass list of a PCB: appended by PASS, handed over by CALL and the
// invocation verbs, which clear it when they return; `received` counts what
// this process has taken of its invoker's list.
struct pcb_pass_list {
  pass_entry e[kPassMax];
  uint8_t count;
  uint8_t received;
  // The invoker's shared values (not copies) this process received as they
  // stand, same type and length: the field each went into, written back to
  // the invoker when a run of this process ends, so that the two share it.
  struct shared_value {
    uint8_t idx;    // in the invoker's list
    uint8_t* from;  // the invoker's value, which that entry must still name
    uint8_t* to;    // the receiving field
    uint16_t len;   // of both
  };
  shared_value back[kPassMax];
  uint8_t back_count;
};

// Fields of the stored part sit at their record offsets; the rest follow in
// the record's order, each pointer a native pointer in the place of the
// record's 32-bit word. Fields the record gives no place keep the order of
// their description, next to their kin.
struct PCB {
  // ---- bytes 0-151, as stored ----
  uint32_t family_no;      // 0: family number (binary key segment)
  INVOC invoc;             // 4-147: the invocation, defaulted
  uint16_t pcb_instance;   // 148: instance within the family
  uint8_t pcb_alt;         // 150: alternate flag, 0 or 1
  uint8_t pcb_pool_owner;  // 151: heads its family

  // ---- native, in record order ----
  uint16_t pcb_next_instance;      // instance of a further invocation; 0 none
  EM* pcb_em;                      // the executable module
  POOL* pcb_pool;                  // process pool
  uint8_t** pcb_areas;             // area_no -> data address (area count + 1)
  PCB* pcb_saa_owner[kSaaKinds];   // per area kind: whose SAA records serve
  PCB* pcb_saa_parent[kSaaKinds];  // per area kind: the invoker's owner
  PCB* pcb_next;                   // PCB to run next in this scope (chaining)
  void* pcb_pcf_blk;               // file block of the primary control file
  ARB* pcb_pcf_arb;                // the process's stream on the PCF
  uint8_t* pcb_pcf_buf1;           // before image (INPUT)
  uint8_t* pcb_pcf_buf2;           // image last written (INPUT)
  void* pcb_scb;                   // PCF selection block chain
  ARB* pcb_cdb_arb;                // the CDB file

  // ---- cleared at the start of each run ----
  void* pcb_main_srf;  // the process's two surfaces
  void* pcb_pop_srf;
  uint8_t* pcb_cur_frm;   // current frame entry; null none
  uint8_t* pcb_cur_img;   // current image entry; null none
  uint8_t* pcb_cur_chld;  // child being invoked; null none
  uint8_t pcb_brk_lvl;    // level break of an OUTPUT run
  void* pcb_rpt;          // the report of an OUTPUT or INQUIRY run (op_report); null none

  // ---- after the run block ----
  ARB* pcb_err_fi;                      // current error-message file
  ARB* pcb_prev_err_fi[kPrevErrFiles];  // previous-error files
  uint8_t* pcb_frames;                  // 16-byte entries, frame count + 1
  uint8_t* pcb_images;                  // 12-byte entries
  uint8_t* pcb_items;                   // 16-byte entries
  uint8_t* pcb_children;                // 8-byte entries, child count + 2
  ARB* pcb_delem_arb;                   // ELEMENT design file
  uint16_t pcb_rid_len;                 // length of the pcb_rid buffer (CPY_RID grows it)
  uint8_t* pcb_rid;                     // copy of the current PCF record id, from pcb_pool
  PCB* pcb_mlog_pcb;                    // owner of the modification log
  ARB* pcb_mlog_arb;                    // its STDMLOG handle
  void* pcb_dyna;                       // dynamic-key context
  void* pcb_rng;                        // range blocks
  uint8_t pcb_rng_cnt;
  void* pcb_act_wnd;  // window and show block of ACTION, UPDATE, JOB
  void* pcb_act_show;
  void* pcb_iscroll;  // input scroll block
  POOL* pcb_sub_pool;
  void* pcb_dbg;         // cleared before the start-of-process event
  uint8_t* pcb_profile;  // the user's PROFILE record
  char pcb_lang[3];      // language id

  uint32_t pcb_handle;  // registry handle (HK_PCB) naming this PCB; 0 none yet

  // ---- the interpreter's own ----
  pcb_pass_list pcb_pass;
};

static_assert(offsetof(PCB, invoc) == 4);
static_assert(offsetof(PCB, pcb_instance) == 148);
static_assert(offsetof(PCB, pcb_alt) == 150);
static_assert(offsetof(PCB, pcb_pool_owner) == 151);
static_assert(offsetof(PCB, pcb_next_instance) == kPcbKeyedBytes);

// ---- file block: the data of a file area (44 bytes in the stored form) ----
// The process engine fills it when it places the areas and opens the
// files; the file statements open, close and read through it.
struct pi_file_blk {
  uint8_t* cfi;        // compiled file record
  ARB* arb;            // open handle; null none
  ARB* cur_arb;        // the stream that holds the current record (a held read)
  uint32_t own_scope;  // scope level of the file's own level
  uint32_t shr_scope;  // level it is shared with
  uint32_t word5;      //
  uint8_t* buf1;       // allocated record buffers
  uint32_t word7;      //
  uint8_t* buf2;       //
  uint8_t stat[2];     // cleared at each re-initialisation
  uint8_t state;       // FB_OWN or FB_SHARED
  uint8_t spare;       //
  // The level that opened the file (or found it not to open) and its
  // serial (ut_scope_serial): once that level has ended, `arb` is gone with
  // it, though the block may live on in an SAA record of an earlier level.
  uint32_t open_level;
  uint32_t open_serial;
};
enum : uint8_t { FB_OWN = 1, FB_SHARED = 2 };

// Records that `level` opened the file of `fb` (or found it not to open).
inline void fb_note_open(pi_file_blk* fb, uint32_t level) {
  fb->open_level = level;
  fb->open_serial = ut_scope_serial(level);
}
// Whether the level that opened the file has ended, and the handle with it.
inline bool fb_open_gone(const pi_file_blk* fb) { return !ut_scope_live(fb->open_level, fb->open_serial); }

// ---- handle words ----
//
// An invocation record travels as bytes (session files, the PCB file), so
// its pointer words (the invoker's PCB, surfaces, constraint arrays) hold
// handles. A handle is {u12 slot, u20 generation}: a dropped slot's old
// handles no longer resolve, and 0 is no handle.

enum handle_kind : uint8_t {
  HK_NONE = 0,
  HK_PCB,         // INVOC.parent_pcb
  HK_SURFACE,     // INVOC.parent_srf
  HK_CNSTR_SEGS,  // INVOC.cnstr_segs
  HK_CNSTR_FLDS,  // INVOC.cnstr_flds
  HK_CNSTR_VALS,  // INVOC.cnstr_vals
  HK_IE_STATE,    // the image editor's IE_CTL state word
};

// A handle for `p` (filled by the process engine); 0 when the table is full
// or `p` is null.
uint32_t ih_put(handle_kind kind, void* p);
// What `h` names if it is a live handle of that kind, else null: a handle
// read from a file or a peer may be anything.
void* ih_get(handle_kind kind, uint32_t h);
// Frees the slot; its handles stop resolving.
void ih_drop(uint32_t h);

// The invoker's PCB named by the record's parent word, or null.
PCB* invoc_parent(const INVOC& v);

}  // namespace kivo
