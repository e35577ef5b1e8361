// The statement compiler: the STMT records of one event point compiled into
// instructions, with a trap record per statement and a TO row per event
// point.
//
// Map: sc_init (the table `cmpl_` of compile routines by verb index);
// sc_cmpl_ep (one event point: prefix, verb, labels, end of code);
// sc_error (a collected compile error).
//
// Invariants: a verb without a routine is the error "verb not supported";
// an error in one statement does not stop the others from being checked,
// and every error is also in the compile context, so no module is built.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "compiler/compiler.h"
#include "compiler/pc.h"
#include "compiler/stmt_layout.h"

namespace kivo {

// A compile error of a statement: its 52-byte key (event-point prefix and
// sequence number), the message and the screen column of the operand (the
// verb's when no operand is at fault).
struct sc_error {
  uint8_t key[kStmtKeyPrefix + 4];
  char msg[80];
  int column;
};
// The error as the invoker reads it: "<process>[ frame p/n[ image i] |
// child n] ep <n> stmt <seq> col <c>: <message>"; an error of the event
// point itself (sequence 0) has no statement and column.
std::string sc_err_text(const sc_error& e);

// One statement being compiled: its record and where the verb's labels go.
struct sc_stmt {
  const uint8_t* rec;
  int level;   // the level an outcome sets or combines into (prefix + 1)
  int column;  // the column an error names; 0 none
};

using sc_cmpl_fn = int (*)(PC_CTX* ctx, sc_stmt* st);
extern sc_cmpl_fn cmpl_[kVerbCount];

// The FAIL digit (XT_DIGIT3) or the HOLD digit (XT_DIGIT2) of statement
// `rec`; -1 when its verb has none. FAIL: 0 and 2 set the level quietly, 1
// makes a failure a run-time error, 3 ignores the outcome. HOLD: 0 none, 1
// hold, 2 hold and wait.
int sc_digit(const uint8_t* rec, uint16_t type);
enum : int { kFailQuiet = 0, kFailError = 1, kFailQuiet2 = 2, kFailIgnore = 3 };
enum : int { kHoldNone = 0, kHold = 1, kHoldWait = 2 };

// sc_init (compiler/compiler.h, called at start-up) fills `cmpl_`; it may be
// called more than once.

// Compiles the statements of event point `ep` of the owner whose key is the
// 44 bytes at `owner` (STMT bytes 0-43). Appends one TP record per statement
// and, when there are statements, a TO row; the code ends with end of code
// flag 1. Errors are collected into `errs` (when given, up to kPcErrMax)
// and into the context; errors of event points compiled before stay in
// the context and do not stop this one. 1 on success (also for an event
// point without statements or without a STMT file).
int sc_cmpl_ep(PC_CTX* ctx, const uint8_t* owner, uint8_t ep, std::vector<sc_error>* errs = nullptr);

}  // namespace kivo
