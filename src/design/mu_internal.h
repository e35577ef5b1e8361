// The state of one migration run and the steps the driver, the file
// openers and the structure section share.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "compiler/design_records.h"
#include "design/mu_xlate.h"
#include "foundation/descriptors.h"

namespace kivo {

// One run of mu_xlate: the request, the message files, the two files and
// the map.
struct mu_run {
  uint8_t* req;
  FDB_PATH path;  // the native file's
  ARB* msg1;
  ARB* msg2;
  ARB* native = nullptr;
  ARB* port = nullptr;
  FDB nat_fdb{};
  KDB nat_kdb[kFileMaxKeys]{};
  SDB nat_sdb[kMuMaxSegs]{};
  FDB tmp_fdb{};  // replace mode: the new native file under its temporary name
  FDB_PATH tmp{};
  bool tmp_made = false;
  bool struct_made = false;  // replace mode: a new STRUCT file under the temporary name
  port_map map;
  std::vector<uint8_t> nat_buf;
  std::vector<char> port_buf;  // the portable record and the blank after it
  uint16_t port_len = 0;       // of a data record
  uint32_t port_rec = 0;       // portable records read, the header included
};

// The report of the run going on (mu_last_load); mu_stop names the
// portable record read last as the one the run stopped at, and why.
mu_load_report& mu_report();
void mu_stop(mu_run* r, const std::string& why);

bool is_ap(const FDB_PATH& p, const char* ap);
std::string path_name(const FDB_PATH& p);

// ---- files (mu_files.cpp) ----
void port_fdb(const FDB_PATH& native, FDB* fdb);
int open_port_fi(mu_run* r);
int replace_port_fi(mu_run* r);
int open_native_fi(mu_run* r, bool write);
int replace_native_fi(mu_run* r);
// Puts the new native file (and STRUCT file) in place, or throws it away.
int finish_native_fi(mu_run* r, bool keep);
// The STRUCT file of `path` opened for reading; null when it does not open.
ARB* open_struct_arb(const FDB_PATH& path);
// Record `relno` (from 1) of a STRUCT file.
int read_struct_rec(ARB* a, uint32_t relno, uint8_t* rec);
// The element records of a file's structure in sequence order: mode 1 from
// the application's ELEMENT design file, mode 2 from the file's STRUCT
// file. 0 when the structure does not open (filed in mode 2).
int open_struct_fi(const FDB_PATH& path, int mode, ARB* msg1, ARB* msg2, std::vector<std::vector<uint8_t>>* elems);
// A line of the developer trace.
void mu_trace(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Reads the next native record into the run's buffer: its length, 0 at the
// end, -1 after a failure filed with db_err, -2 after another.
int rdnxt_native_fi(mu_run* r);
// Reads the `len` characters of the next portable record (all its pieces)
// into `buf`: 1, 0 at the end of the file, -1 after a failure.
int rdnxt_port_fi(mu_run* r, char* buf, size_t len);
// Reads one piece: its length, 0 at the end, -1 after a failure.
int rdnxt_piece(mu_run* r, char* buf);
// Writes `len` characters as pieces of 900.
int write_port_rec(mu_run* r, const char* rec, size_t len);

// ---- maps and the structure section (mu_struct.cpp) ----
ARB* open_tme_fi();
// The data map of the file at `path` from its structure into the TME file
// (and `out`), its date masks into the MSK file; null when none.
ARB* fill_tme_fi(const FDB_PATH& path, ARB* msg1, ARB* msg2, port_map* out);
// The same from element records in hand.
int map_from_elements(const std::vector<std::vector<uint8_t>>& elems, port_map* out, ARB* tme_arb);
void start_tme(ARB* tme_arb);
int rdnxt_tme(ARB* tme_arb, tme* t);
void close_tme_fi(ARB* tme_arb);

// The initial-value map: per chunk its key entries and the data entries in
// it, portable positions running over all chunks.
struct init_map {
  std::vector<std::vector<tme>> chunks;
  uint16_t port_len = 0;
};
int bld_init_map(const port_map& data, uint16_t rec_len, init_map* out);

const port_map& file_map();
int bld_port_struct(mu_run* r);
int read_port_struct(mu_run* r);
// Reads the section into a new STRUCT file under the temporary name.
int bld_native_struct(mu_run* r);
// Writes that STRUCT file: header, FILE, the initial-value and element records.
int bld_native_init(mu_run* r, const uint8_t* hdr, const uint8_t* fi, const std::vector<std::vector<uint8_t>>& inits,
                    const std::vector<std::vector<uint8_t>>& elems);

}  // namespace kivo
