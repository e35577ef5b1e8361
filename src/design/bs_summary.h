// The dictionary summary: a text file per application version in which the
// dictionary compiler describes each file it stores (bld_sum_fi, dd.h) and
// from which the bootstrap of the system applications builds their files.
// This header is the reader's side and the file's place.
//
// A summary is the line "1", then one block per file: the file line, each
// key line followed by its segment lines, the field lines, then the initial
// and the null record image in hexadecimal. The reader trusts nothing in
// it: every count and every position is checked against the record before
// it is used, and the first fault is a system error after which the
// summary is read no further.
//
// Callers: the bootstrap (the INITIAL images, the import of raw record
// files, the creation of each file), the compiler's tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace kivo {

// The operating-system path of the summary of application `ap` version
// `ver` (3 and 2 characters): the design file "SUMMARY" of that version.
// Empty when the path cannot be built.
std::string dd_summary_path(const char* ap, const char* ver);

// Limits the reader holds a block to.
constexpr int kSumMaxKeys = 17;
constexpr int kSumMaxSegs = 16;
constexpr int kSumMaxRecLen = 32767;

struct bs_seg {
  char name[22];
  char order;                        // '+' or '-'
  int16_t segno, offset, len, type;  // type 1 characters, 8 binary
};

struct bs_key {
  char name[22];  // the key's field or group header
  char order;
  int16_t keyno, flags, nsegs;
  std::vector<bs_seg> segs;  // exactly nsegs
};

// One entry of the field table: four u16, little-endian, in this order.
enum : size_t { BS_FLD_TYPE = 0, BS_FLD_POS = 2, BS_FLD_SIZE = 4, BS_FLD_OCCURS = 6, kBsFldEntry = 8 };

struct bs_file {
  char name[8];
  int16_t fs_type, org, alloc, rec_len, var, nkeys, nfields;
  std::vector<bs_key> keys;              // exactly nkeys
  std::vector<std::string> field_names;  // 22 characters each
  std::vector<uint8_t> fld_tab;          // nfields x kBsFldEntry
  std::vector<uint8_t> init, nulls;      // rec_len bytes each
};

// System-error texts of the reader.
extern const char* const kBsNoSummary;  // "bs_import() - missing summary file"
extern const char* const kBsBadHeader;  // "bs_import() - bad summary header"
extern const char* const kBsBadFile;    // "bs_import() - bad file in summary"
extern const char* const kBsBadSeg;     // "bs_import() - bad seg in summary"
extern const char* const kBsBadFld;     // "bs_import() - bad fld in summary"
extern const char* const kBsBadProto;   // "bs_import() - bad proto in summary"

// Reads one summary from its start. Each fault is reported once as a
// system error of module "bs" (a quiet reader only keeps its text in
// why()); from then on next() gives 0 and failed() is true.
class bs_summary {
 public:
  bs_summary() = default;
  explicit bs_summary(bool quiet) : quiet_(quiet) {}
  ~bs_summary();
  bs_summary(const bs_summary&) = delete;
  bs_summary& operator=(const bs_summary&) = delete;

  // Opens the file and reads its header (format number 1). False after a
  // system error: a missing file or a bad header.
  bool open(const std::string& path);
  // The next block into `out`: 1 read whole, 0 at the end of the summary or
  // after a fault (then failed()).
  int next(bs_file* out);
  bool failed() const { return failed_; }
  // The fault's text, or null before one.
  const char* why() const { return why_; }

 private:
  int fail(const char* text, int line);
  bool read_keys(bs_file* out);
  bool read_fields(bs_file* out);
  bool read_image(std::vector<uint8_t>* img, size_t len);

  FILE* in_ = nullptr;
  bool quiet_ = false;
  bool failed_ = false;
  const char* why_ = nullptr;
};

}  // namespace kivo
