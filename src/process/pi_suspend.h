// Suspend and resume of a process run in the background (pi_suspend.cpp,
// pi_resume.cpp): the stored forms of the suspend file's records.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "compiler/pcb.h"
#include "fm/fm_objects.h"

namespace kivo {

// SESSION record (kSessRecLen, startup.h): the INVOC, then these.
enum : size_t { SESS_DB = 144, SESS_RESERVED = 147, SESS_CNSTR_LEN = 148 };
// INVOC words of the constraint.
constexpr size_t kCnstrSegLen = 6;

// Stored SAA record: a 16-byte header, then 16-byte slots 0..count (slot 0
// holds no data); owner and data words are 0, or 1 where data were set.
enum : size_t { SAA_OWNER = 0, SAA_COUNT = 4, SAA_AP = 8, SAA_VER = 11, SAA_PASS = 13 };
enum : size_t {
  SLOT_OWN = 0,
  SLOT_BORROWED = 4,
  SLOT_TYPE = 8,
  SLOT_RECEIVED = 9,
  SLOT_CLS = 10,
  SLOT_FLAGS = 11,
  SLOT_SIZE = 12,  // u16
};
constexpr size_t kSaaHdrLen = 16, kSaaSlotLen = 16;
static_assert(SLOT_SIZE + 2 + 2 == kSaaSlotLen && SAA_PASS + 3 == kSaaHdrLen);
// A file area's data: its file block in the 44-byte stored form.
constexpr size_t kFileBlkStored = 44;

// Writes the process to a new suspend file of the session directory and
// submits the job; the submission's wait status (0 submitted). -1 when the
// file could not be written; a file that was not submitted is scratched.
int pi_suspend(PCB* p);
// The name of the suspend file the last pi_suspend made.
extern char pi_susp_name[8];
// Scratches the suspend file `name` (8 characters) when it exists.
void pi_scratch_session(const char* name);

// A job whose session cannot be resumed is no success: the start ends with
// this status and one line, "KIVO Startup Failure: session NAME not
// resumed: WHY", so that a job script sees the failure.
constexpr int kExitNotResumed = 4;
// "session NAME not resumed: WHY" for `session` (8 characters).
std::string pi_not_resumed_text(const char* session, const std::string& why);
// That text for the session the last run could not resume (a suspend file
// that would not open, or a damaged one, kept); "" when none failed.
const char* pi_resume_failure();

// The pending queries travel in the suspend file by qp_save_pend and
// qp_load_pend (process/qp.h).

}  // namespace kivo
