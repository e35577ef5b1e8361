// The ACTION, UPDATE, JOB and STATUS processes (types 4, 7, 8, 10): the read
// loop over the primary file with the detail frame and the heading and total
// frames of the range levels, the progress window, and the action log that
// gathers a family's messages and hands them over once, by its head.
//
// Map: ap_exec.cpp (ap_init, the loop, the type rows); ap_log.cpp
// (log_start, log_add, log_end, the progress window); ap_post.cpp
// (ap_post_invoc). The frames of a kind and of a range level (load_frm_no,
// load_rng_frm_no) and the level totals are the report's (process/op.h).
//
// Invariants: a family's lines are keyed by family id and sequence; the
// ALOGFAM record of a process names its family and head and is left without
// a hold; the head alone hands the family's lines over and removes them.
// Callers: invoc_proc through pi_type_rows; invoc_chld (ap_post_invoc).
#pragma once

#include <cstddef>
#include <cstdint>

#include "compiler/pcb.h"
#include "fm/fm_objects.h"

namespace kivo {

// ---- the action log's work files (session level, "0LA" 00) ----
constexpr uint16_t kAlogLen = 380, kAlogFamLen = 72, kAlogIdLen = 4;
enum : size_t {
  ALOG_FAMILY = 0,  // u32
  ALOG_SEQ = 4,     // u32, from 1 within the family
  ALOG_PROC = 8,    // 30: the process that posted the line
  ALOG_CTX = 38,    // 18: text of message 1260, 1270 or 1280
  ALOG_FILE = 56,   // 8: the PCF's name, blank without one
  ALOG_KEY = 64,    // 60: the record's key text
  ALOG_TEXT = 124,  // 255: the message, blank-padded
  ALOG_FIRST = 379  // '1' first line of a group, else '0'
};
static_assert(ALOG_TEXT + 255 == ALOG_FIRST && ALOG_FIRST + 1 == kAlogLen);
enum : size_t {
  AFAM_AP = 0,          // 3
  AFAM_TYPE = 3,        // 1
  AFAM_NAME = 4,        // 30
  AFAM_ID = 36,         // u32: the family
  AFAM_HEAD_TYPE = 40,  // the head's type
  AFAM_HEAD_NAME = 41,  // 30: the head's name
};
static_assert(AFAM_HEAD_NAME + 30 + 1 == kAlogFamLen);
constexpr size_t kAlogCtxLen = 18, kAlogKeyLen = 60, kAlogTextLen = 255;
enum : uint32_t { MSG_ALOG_HEAD = 1260, MSG_ALOG_TOTAL = 1270, MSG_ALOG_DETAIL = 1280, MSG_ALOG_TITLE = 1300 };

extern ARB* alog_arb;
extern ARB* alog_family_arb;
extern ARB* alog_id_arb;
extern uint32_t alog_family_id;  // the next family's id, from 1
extern POOL* ap_pool;
// The level roll after a total frame: process_seams.ap_sum_roll, op_sum_roll
// unless a test counts through its own.
void ap_sum_roll(PCB* p);

// Creates the three work files and the ALOGID record, and fills the rows of
// types 4, 7, 8 and 10 in pi_type_rows; failures are reported.
void ap_init();

// The execution step: never returns, unwinds with the end code.
void ap_exec(PCB* p, uint8_t* work);

// Opens the progress window and the process's ALOGFAM record.
void log_start(PCB* p);
// Moves the lines of the process's error file into STDALOG under context
// message `ctx`; the error file ends empty.
void log_add(PCB* p, uint32_t ctx);
// Hands the family's lines over when `p` heads it; the end code of the
// hand-over (2 when nothing was handed over).
uint32_t log_end(PCB* p);

// After a child process returns: the PCB's record id goes back into its
// PCF stream and, when the PCF is open for update, the record is read again
// by that id with hold. Without a PCF stream or a record id (a menu, a
// process that has read nothing) it does nothing.
void ap_post_invoc(PCB* p);

}  // namespace kivo
