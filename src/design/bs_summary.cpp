// Summary blocks for the bootstrap and the distribution writer, read by the
// dictionary's summary reader, and the native descriptor of a block.
#include "design/bs_summary.h"

#include <cstring>

namespace kivo {

bool bs_selected(const bs_block& b, const FDB_PATH& target) {
  if (b.fs_type != 1 || b.alloc != 0) return false;
  return memcmp(target.fdb_name, "        ", 8) == 0 || memcmp(target.fdb_name, b.name, 8) == 0;
}

bool bs_imported(const bs_block& b, const FDB_PATH& target) {
  const bool design = memcmp(target.fdb_ap, "0AD", 3) == 0;
  return bs_selected(b, target) && !(design && memcmp(b.name, "INITIAL ", 8) == 0);
}

bs_block_fdb::bs_block_fdb(const bs_block& b, const FDB_PATH& target) {
  INIT_FDB(&fdb, FS_DISK, static_cast<uint16_t>(b.rec_len), b.var ? 1 : 0, kdb, static_cast<uint8_t>(b.keys.size()));
  fdb.fdb_org = static_cast<uint8_t>(b.org);
  SDB* s = sdb;
  for (size_t k = 0; k < b.keys.size(); ++k) {
    const bs_key& key = b.keys[k];
    INIT_KDB(&kdb[k], key.keyno, key.order, key.flags, s, static_cast<uint8_t>(key.segs.size()));
    for (const bs_seg& g : key.segs) init_sdb_func(s++, g.segno, g.offset, g.len, g.type, g.order);
  }
  fdb.path = target;
  memcpy(fdb.path.fdb_name, b.name, 8);
}

int bs_read_summary(const FDB_PATH*, const std::function<int(bs_block&)>&) { return 0; }  // WIP

}  // namespace kivo
