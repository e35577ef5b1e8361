// A summary's blocks as the bootstrap and the distribution writer take
// them: each file of the dictionary's summary reader (bs_summary.h) with
// its field table as entries, the files a target takes, and the native
// descriptor of a block.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "design/bs_raw.h"
#include "design/bs_summary.h"
#include "fm/dict_records.h"
#include "foundation/descriptors.h"

namespace kivo {

struct bs_block {
  bs_file file;
  std::vector<bs_field> fields;  // the file's field table
};

// Reads every block of the summary `summary` (the design file "SUMMARY" of
// its source application and version) from its start and hands each to
// `fn`, which returns 0 to stop. 1 at the end, or when `fn` stopped; 0
// after a system error of the reader (a missing summary, a bad header or
// line), when the rest is not read.
int bs_read_summary(const FDB_PATH* summary, const std::function<int(bs_block&)>& fn);
// The same for the summary file at the operating-system path `path`.
int bs_read_summary_file(const std::string& path, const std::function<int(bs_block&)>& fn);
// The same without a system error: 0 with the reader's fault text in *why
// (null when `fn` stopped or all was read).
int bs_read_summary_quietly(const std::string& path, const std::function<int(bs_block&)>& fn, const char** why);

// Whether the block's file is one the target takes: a disk file (type 1)
// allocated at once (flag 0), the one the target names when it names one.
bool bs_selected(const bs_file& f, const FDB_PATH& target);
// Whether its raw file is imported: selected, and not the INITIAL design
// file, which the summaries' images alone fill.
bool bs_imported(const bs_file& f, const FDB_PATH& target);

// The block's native file at `target` (its name replaced by the block's):
// the descriptor with its keys and segments.
struct bs_block_fdb {
  FDB fdb{};
  KDB kdb[kSumMaxKeys]{};
  SDB sdb[kSumMaxKeys * kSumMaxSegs]{};
  bs_block_fdb(const bs_file& f, const FDB_PATH& target);
};

}  // namespace kivo
