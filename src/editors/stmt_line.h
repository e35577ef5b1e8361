// The statement editor's line list: each node holds a copy of one STMT
// record, allocated from the editor's pool `se_pool`.
//
// A node is {previous, next, record}; with 64-bit pointers it is larger than
// the 12 bytes of the 32-bit layout, which nothing stores. While `se_pool`
// is not set (the editor has not started) no line can be made.
#pragma once

#include <cstdint>

#include "editors/se_edit.h"
#include "foundation/list.h"

namespace kivo {

struct se_line {
  ut_link link;     // neighbours in the editor's list
  uint8_t* rec;     // kStmtSize bytes, the node's own copy
  se_tok_kept tok;  // the constant as loaded; NEW_LINE clears it
  uint32_t id;      // unique over the program's run: a freed node's is never reused
};

// Copies the 152-byte `line` into a new node appended to `list`; the node
// is also stored in `*node`. Null (and a system error) when `se_pool` is not
// set; memory exhaustion ends the scope level as every allocation does.
se_line* NEW_LINE(se_line** node, const uint8_t* line, ut_list* list);

// Unlinks `node` from `list` and frees it with its record.
void OLD_LINE(se_line* node, ut_list* list);

}  // namespace kivo
