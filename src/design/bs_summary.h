// A summary file's blocks as the bootstrap and the distribution writer take
// them: one file with its numbers, keys and segments, its field table and
// its two record images, read by the dictionary's summary reader.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "design/bs_raw.h"
#include "fm/dict_records.h"
#include "foundation/descriptors.h"

namespace kivo {

struct bs_seg {
  uint16_t segno, offset, len;
  uint8_t type, order;
};
struct bs_key {
  uint8_t keyno, order, flags;
  std::vector<bs_seg> segs;
};
struct bs_block {
  char name[8];
  int16_t fs_type, org, alloc, rec_len, var;
  std::vector<bs_key> keys;
  std::vector<bs_field> fields;
  std::vector<uint8_t> init, nulls;  // as the summary holds them: raw form
};

// Reads every block of the summary at `summary` (its operating-system path
// by the path builder) and hands each to `fn`, which returns 0 to stop.
// 1 at the end of the summary; 0 after a system error of the reader (a
// missing summary, a bad header or line), when the rest is not read.
int bs_read_summary(const FDB_PATH* summary, const std::function<int(bs_block&)>& fn);

// Whether the block's file is one the target takes: a disk file (type 1)
// allocated at once (flag 0), the one the target names when it names one.
bool bs_selected(const bs_block& b, const FDB_PATH& target);
// Whether its raw file is imported: selected, and not the INITIAL design
// file, which the summaries' images alone fill.
bool bs_imported(const bs_block& b, const FDB_PATH& target);

// The block's native file at `target` (its name replaced by the block's):
// the descriptor with its keys and segments.
struct bs_block_fdb {
  FDB fdb{};
  KDB kdb[kFileMaxKeys]{};
  SDB sdb[kFileMaxKeys * kInitMaxSegs]{};
  bs_block_fdb(const bs_block& b, const FDB_PATH& target);
};

}  // namespace kivo
