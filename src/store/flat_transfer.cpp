// Flat-file export (brf2flat) and import (flat2brf).
//
// The export finds the records of a file with a current-format header as
// the repair does (brf_record_walk): a damaged place is left out, named,
// and the walk goes on to the next whole record.
//
// A line carries a record whole only when the record holds no line feed,
// does not end in a carriage return (the import takes those off a line's
// end), is not empty (an empty line stands for no record) and has at most
// kFlatMaxLine bytes. The export writes every record as it is all the same,
// so the flat file holds every byte, and names each record whose line will
// not come back whole (by its number and seek), ending with exit code 1.
// The import refuses a line that would make such a record (too long, or
// still ending in a carriage return once its line end is off) naming the
// line, and so a line whose length is not the record length of a file
// whose description gives fixed-length records.
//
// Both tools write a temporary beside their target (flat_temp.h) and give it
// the target's name only when it is complete: a failed or killed export
// leaves an existing flat file as it was, a failed or killed import leaves no
// data file. The next run removes what a killed one left.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "foundation/os_calls.h"
#include "store/analyser.h"
#include "store/data_file.h"
#include "store/flat_file.h"
#include "store/flat_temp.h"
#include "store/record_ops.h"
#include "store/store.h"

namespace kivo {

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr size_t kOutBuffer = 1 << 20;
// Output bytes whose device write is started as the export goes: its fsync
// at the end then waits only for the last of them.
constexpr uint64_t kWriteback = 8 << 20;

// Why a record's line will not come back whole from an import, and what
// the import makes of it; null when it will.
struct line_fault {
  const char* what;
  const char* fate;
};
const line_fault* line_refusal(const uint8_t* rec, uint32_t len) {
  static const line_fault kEmpty{"is empty", "an import passes over its empty line"},
      kLong{"is longer than 3000 bytes", "an import refuses its line"},
      kLineFeed{"holds a line feed", "an import reads it as more than one line"},
      kReturn{"ends in a carriage return", "an import takes that for part of its line end"};
  if (len == 0) return &kEmpty;
  if (len > kFlatMaxLine) return &kLong;
  if (memchr(rec, '\n', len)) return &kLineFeed;
  if (rec[len - 1] == '\r') return &kReturn;
  return nullptr;
}

// The records are read in the data file's order, so a key file whose header
// is damaged is passed by; said once.
void say_key_file_passed(const char* base) {
  static bool said = false;
  if (std::exchange(said, true)) return;
  fprintf(stderr,
          "%s.key is damaged (%s): the records are read from the data file alone; \"kivo -r=%s\" builds "
          "its keys again\n",
          base, bt_last_refusal().c_str(), base);
}

// Opens the data file for export shared, as any reader opens it: engines
// and the other utilities open and change the file meanwhile, and each
// record is read whole (record_read.cpp). With its key file when there is
// one (a fixed-length keyed file is then read as the headered file it is),
// else alone. It may be read-only: the export writes neither file.
BRF_FILE* open_for_export(int* status, const char* base) {
  // A file without a header is opened by its record length: its records
  // from the first byte.
  if (anal_layout l; store_hooks.anal_headerless && store_hooks.anal_headerless(base, &l) && l.rec_len > 0)
    return brfopen(status, base, BRF_NO_KEYS | BRF_READ_ONLY, l.rec_len, false);
  BRF_FILE* f = brfopen(status, base, BRF_KEY_MUST_EXIST | BRF_READ_ONLY, 0, false);
  if (f) return f;
  if (*status == BRF_FILE_LOCKED) return nullptr;
  std::string key = std::string(base) + ".key";
  if (*status == BRF_BAD_DATA) say_key_file_passed(base);
  else if (access(key.c_str(), F_OK) == 0) return nullptr;  // a key file that cannot be opened
  f = brfopen(status, base, BRF_NO_KEYS | BRF_READ_ONLY, 0, false);
  // A keyed pair whose key file is missing still has its header.
  if (f) brf_header_from_file(f);
  return f;
}

// Why an opened data file cannot be exported (its header cannot be read,
// contradicts itself, or is of a format the export does not read); null
// when it can.
const char* export_refusal(BRF_FILE* f, char* why, size_t n) {
  const uint16_t v = f->hdr.version;
  if (v == kVersionUnread) {
    if (const char* fault = brf_hdr_fault(f, why, n)) return fault;
    return "no readable header";
  }
  if (v == 0) return "Internal file format needs to be upgraded (version 0): the engine upgrades it at its next open";
  if (v > kBrfVersion) {
    snprintf(why, n, "Invalid internal file format (version %u, newer than %u)", v, kBrfVersion);
    return why;
  }
  return nullptr;
}

// The export's output: this process's temporary beside the flat file B,
// held by its flock and removed by a signal that ends the export. It has the
// mode of the flat file it will replace, or the user's default for a new
// one. Stale temporaries of B are removed first. Null on failure.
FILE* create_export_temp(const std::string& base, std::string* tmp) {
  flat_temp_remove_stale(base, kFlatExportTag, "");
  *tmp = flat_temp_name(base, kFlatExportTag, "");
  os_sys.unlink(tmp->c_str());  // this pid's own, from a run that was killed
  int fd = os_sys.open(tmp->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) return nullptr;
  struct stat old;
  FILE* out = nullptr;
  if (flock(fd, LOCK_EX | LOCK_NB) == 0 &&
      (os_sys.stat(base.c_str(), &old) != 0 || !S_ISREG(old.st_mode) || fchmod(fd, old.st_mode & 07777) == 0))
    out = fdopen(fd, "wb");
  if (!out) {
    close(fd);
    os_sys.unlink(tmp->c_str());
    return nullptr;
  }
  flat_temp_guard(tmp->c_str());
  return out;
}

// Starts the device write of the output written since the last start, every
// kWriteback bytes. False when the stream's buffer cannot be written.
struct output_writeback {
  FILE* out;
  uint64_t written = 0, sent = 0;
  bool add(size_t n) {
    written += n;
    if (written - sent < kWriteback) return true;
    if (fflush(out) != 0) return false;
    static_cast<void>(os_sys.sync_file_range(fileno(out), static_cast<off_t>(sent), static_cast<off_t>(written - sent),
                                             SYNC_FILE_RANGE_WRITE));
    sent = written;
    return true;
  }
};

// What an export holds: the data file, its record handle and the output
// temporary. Its end lets go of whatever is still held and removes the
// temporary unless it took the flat file's name.
struct export_job {
  std::string base;
  BRF_FILE* file = nullptr;
  BRF_RCB* rcb = nullptr;
  std::vector<char> out_buf = std::vector<char>(kOutBuffer);  // lines leave in large writes; outlives `out`
  FILE* out = nullptr;                                        // guarded against a signal while open
  std::string tmp;                                            // the output's name until it is renamed
  int64_t torn = -1;   // seek of the first record whose trailer does not repeat its length
  long not_whole = 0;  // records written whose line an import will not read back whole
  // The walk by the records' own headers and trailers (a current-format
  // header): where it ends, what the header says wrong, the damaged places
  // left out and the first record whose number is not its place.
  bool walked = false;
  uint64_t limit = 0;
  std::string header_fault;
  long left_out = 0;
  int64_t misnumbered = -1;

  export_job() = default;
  export_job(const export_job&) = delete;
  export_job& operator=(const export_job&) = delete;
  ~export_job() {
    close_source();
    if (!tmp.empty()) os_sys.unlink(tmp.c_str());
    if (out) fclose(out), flat_temp_guard(nullptr);
  }
  void close_source() {
    if (rcb) brfdeaccess(rcb);
    if (file) brfclose(file);
    rcb = nullptr, file = nullptr;
  }
};

// Whether the record the handle just read ends in the trailer that repeats
// its length (a file without a header has none): a header or trailer
// changed by hand still reads as a record, and the walk by number goes on
// from where the header's length says.
bool trailer_agrees(BRF_RCB* r) {
  if (brf_relative(r->file) || r->last_seek < 0) return true;
  uint8_t tr[kRecTrailerSize];
  const uint64_t at = static_cast<uint64_t>(r->last_seek) + kRecHdrSize + r->stored_len;
  return brf_pread(r->file, tr, sizeof tr, at) == static_cast<ssize_t>(sizeof tr) && ld_le32(tr, 0) == r->stored_len;
}

// Whether the walk by record number, at its end, reached the end of file
// the header claims: records numbered from bytes that were no record (a
// record added past a cut) end it early, and the records after are unread.
bool walk_reached_end(BRF_RCB* r) {
  BRF_FILE* f = r->file;
  if (brf_relative(f)) return true;
  uint64_t end = kDataHeaderSize;
  if (r->last_seek >= 0) {
    rec_hdr h;
    if (brf_read_rec_hdr(f, static_cast<uint32_t>(r->last_seek), &h) != BRF_OK) return false;
    end = static_cast<uint64_t>(r->last_seek) + h.length + kRecOverhead;
  }
  return end >= f->hdr.eofseek;
}

// Writes one record read as a line of the output; false on a write failure
// (said on stderr).
bool write_line(export_job* job, const uint8_t* rec, uint32_t len, long count, output_writeback* sending,
                brf_progress_gate* progress) {
  if (const line_fault* fault = line_refusal(rec, len)) {
    progress->clear();
    fprintf(stderr, "Record %ld at seek %lld %s: it is written as it is, but %s\n", count + 1,
            static_cast<long long>(job->rcb->last_seek), fault->what, fault->fate);
    ++job->not_whole;
  }
  if (fwrite(rec, 1, len, job->out) != len || fputc('\n', job->out) == EOF || !sending->add(len + 1)) {
    progress->clear();
    fprintf(stderr, "Can't write output file (%s): %s\n", job->base.c_str(), strerror(errno));
    return false;
  }
  return true;
}

// Every record of a file without a current-format header (no header, or
// an older format) as a line of the output, read by number; the count
// written, -1 on failure (said on stderr). A record that cannot be read
// ends the export there: the records before it are written, and *unread
// gets its status.
long export_records(export_job* job, int* unread) {
  // Room for the longest record, so that a long one is seen whole and refused.
  std::vector<uint8_t> buf(kMaxRecordLength + 1);
  long count = 0;
  output_writeback sending{job->out};
  brf_progress_gate progress(&brf_terminal_progress, "Exporting " + job->base);
  for (;;) {
    if ((count & 0xFFF) == 0 && job->rcb->last_seek > 0)
      progress.show("records written", static_cast<uint64_t>(job->rcb->last_seek), job->file->hdr.eofseek);
    uint32_t len = 0;
    int st = brfnext(job->rcb, buf.data(), buf.size(), &len);
    if (st == BRF_EOF && !walk_reached_end(job->rcb)) st = BRF_BAD_DATA;
    if (st == BRF_EOF) return count;
    if (st != BRF_OK && st != BRF_LOCK_REFUSED) {  // 20: delivered, held by another process
      *unread = st;
      return count;
    }
    if (!write_line(job, buf.data(), len, count, &sending, &progress)) return -1;
    if (job->torn < 0 && !trailer_agrees(job->rcb)) job->torn = job->rcb->last_seek;
    ++count;
  }
}

// Every whole record of the file, found as the repair finds them: by their
// own headers and trailers, up to the end of the records, going on past a
// place where no whole record lies to the next whole one (each place left
// out named with its seek and why). Record numbers are not relied on. The
// count written, -1 on failure; *unread the status of a whole record whose
// read failed, with the records before it written.
long export_walked(export_job* job, int* unread) {
  std::vector<uint8_t> buf(kMaxRecordLength + 1);
  long count = 0;
  output_writeback sending{job->out};
  brf_progress_gate progress(&brf_terminal_progress, "Exporting " + job->base);
  brf_record_walk walk(job->file, job->limit);
  uint32_t ordinal = 0;
  for (uint64_t seek = kDataHeaderSize; seek < job->limit;) {
    if ((ordinal & 0xFFF) == 0) progress.show("records written", seek, job->limit);
    rec_hdr h;
    bool trailer_only = false;
    const char* why = nullptr;
    const uint64_t next = walk.whole_at(seek, &h, &trailer_only, &why);
    if (!next) {
      const uint64_t resume = walk.resume_after(seek);
      progress.clear();
      ++job->left_out;
      if (resume)
        fprintf(stderr, "%s.dat: the record at seek %llu is left out: %s; the next whole record starts at %llu\n",
                job->base.c_str(), static_cast<unsigned long long>(seek), why, static_cast<unsigned long long>(resume));
      else
        fprintf(
            stderr,
            "%s.dat: the record at seek %llu is left out: %s; no whole record follows in the %llu bytes to the end\n",
            job->base.c_str(), static_cast<unsigned long long>(seek), why,
            static_cast<unsigned long long>(job->limit - seek));
      if (!resume) break;
      seek = resume;
      continue;
    }
    if (job->misnumbered < 0 && h.recno != brf_place_number(job->file, seek, ordinal))
      job->misnumbered = static_cast<int64_t>(seek);
    ++ordinal;
    if (!(h.flags & (kRecDeleted | kRecNotUser))) {
      uint32_t len = 0;
      const int st = brfgetat(job->rcb, static_cast<uint32_t>(seek), buf.data(), buf.size(), &len);
      if (st != BRF_OK && st != BRF_LOCK_REFUSED) {  // 20: delivered, held by another process
        *unread = st;
        return count;
      }
      if (!write_line(job, buf.data(), len, count, &sending, &progress)) return -1;
      if (trailer_only && job->torn < 0) job->torn = static_cast<int64_t>(seek);
      ++count;
    }
    seek = next;
  }
  return count;
}

// The output on disk, then under the flat file's name; the flock taken on
// it goes with the close, after the rename.
bool put_export_in_place(export_job* job) {
  if (fflush(job->out) != 0 || os_sys.fsync(fileno(job->out)) != 0) {
    fprintf(stderr, "Can't write output file (%s): %s\n", job->base.c_str(), strerror(errno));
    return false;
  }
  if (os_sys.rename(job->tmp.c_str(), job->base.c_str()) != 0) {
    fprintf(stderr, "Can't create output file (%s): %s\n", job->base.c_str(), strerror(errno));
    return false;
  }
  job->tmp.clear();
  return true;
}

// The export of a damaged file stopped at a record it could not read, or
// ended before the end of file its header claims: what it could not do, in
// words, and how the file is mended.
void say_unread(const export_job& job, long count, int unread) {
  const char* base = job.base.c_str();
  if (unread) {
    fprintf(stderr, "%s.dat: the records after the %ld exported cannot be read (status %d: %s)", base, count, unread,
            brf_status_text(unread));
  } else {
    fprintf(stderr, "%s.dat: all %ld records that can be read are exported", base, count);
  }
  char why[160];
  if (job.walked && !job.header_fault.empty()) fprintf(stderr, "; the file is damaged: %s", job.header_fault.c_str());
  else if (!job.walked && job.file && brf_extent_fault(job.file, why, sizeof why))
    fprintf(stderr, "; the file is damaged: %s", why);
  if (job.left_out)
    fprintf(stderr, "; %ld damaged place%s left out (named above)", job.left_out, job.left_out == 1 ? "" : "s");
  if (job.misnumbered >= 0)
    fprintf(stderr, "; the record at seek %lld carries a number that is not its place in the file",
            static_cast<long long>(job.misnumbered));
  if (job.torn >= 0)
    fprintf(stderr, "; the record at seek %lld does not end in its length: its header and trailer disagree",
            static_cast<long long>(job.torn));
  fprintf(stderr, "; \"kivo -r=%s\" keeps the whole records and sets the rest aside\n", base);
}

}  // namespace

int brf2flat_run(const char* name) {
  export_job job;
  job.base = brf_strip_ext(name);
  if (job.base.empty()) {
    fprintf(stderr, "Error:  Missing file name\n");
    return kExitFailed;
  }
  int status = 0;
  job.file = open_for_export(&status, job.base.c_str());
  if (!job.file) {
    fprintf(stderr, "Can not open file \"%s\" (status %d: %s)\n", job.base.c_str(), status, brf_status_text(status));
    return kExitFailed;
  }
  // A current-format header is walked by the records' own headers and
  // trailers; a header refused only for its end of file or record length
  // is settled from the records as the repair settles it.
  if (struct stat sb; !brf_relative(job.file) && kivo_fstat(job.file->slot, &sb) == 0) {
    job.walked =
        brf_walk_header(job.file, job.base, static_cast<uint64_t>(sb.st_size), &job.limit, &job.header_fault) == BRF_OK;
    if (!job.walked && !job.header_fault.empty()) {
      fprintf(stderr, "Can not open file \"%s\": %s\n", job.base.c_str(), job.header_fault.c_str());
      return kExitFailed;
    }
  }
  char reason[200];
  if (const char* refusal = job.walked ? nullptr : export_refusal(job.file, reason, sizeof reason)) {
    fprintf(stderr, "Can not open file \"%s\": %s\n", job.base.c_str(), refusal);
    return kExitFailed;
  }
  job.out = create_export_temp(job.base, &job.tmp);
  if (!job.out) {
    job.tmp.clear();  // create_export_temp removed it
    fprintf(stderr, "Can't create output file (%s)\n", job.base.c_str());
    return kExitFailed;
  }
  setvbuf(job.out, job.out_buf.data(), _IOFBF, job.out_buf.size());
  job.rcb = brfaccess(&status, job.file, 0, false);
  if (!job.rcb) {
    fprintf(stderr, "Can't brfacces file \"%s\"\n", job.base.c_str());
    return kExitFailed;
  }
  int unread = 0;
  const long count = job.walked ? export_walked(&job, &unread) : export_records(&job, &unread);
  char why[160];
  const bool damaged = unread || job.torn >= 0 || job.left_out || job.misnumbered >= 0 ||
                       (job.walked ? !job.header_fault.empty() : brf_extent_fault(job.file, why, sizeof why));
  if (damaged) say_unread(job, count, unread);
  job.close_source();
  if (count < 0 || !put_export_in_place(&job)) return kExitFailed;
  printf("%s - %ld records\n", name, count);
  if (job.not_whole)
    fprintf(stderr, "%s: %ld of the %ld records written will not come back whole from an import (named above)\n",
            job.base.c_str(), job.not_whole, count);
  return damaged || job.not_whole ? kExitFailed : kExitOk;
}

namespace {

// Lines of the input through a large buffer: a line is handed out where it
// lies when it is whole in the buffer, copied only across a refill.
class line_reader {
 public:
  explicit line_reader(FILE* in) : in_(in), buf_(kChunk) {}
  // 1 a line in *text/*len (without its line feed), 0 end of input, -1 a
  // read error, -2 a line longer than the longest record (the rest of it is
  // not read).
  int next(const uint8_t** text, size_t* len) {
    for (;;) {
      const uint8_t* start = buf_.data() + pos_;
      size_t avail = end_ - pos_;
      const void* nl = memchr(start, '\n', avail);
      size_t n = nl ? static_cast<size_t>(static_cast<const uint8_t*>(nl) - start) : avail;
      // Two trailing carriage returns may still come off: keep room for them.
      if (n > kFlatMaxLine + 2) return -2;
      if (nl || eof_) {
        if (!nl && n == 0) return ferror(in_) ? -1 : 0;
        *text = start;
        *len = n;
        pos_ += nl ? n + 1 : n;
        return 1;
      }
      if (!refill()) return -1;
    }
  }

 private:
  static constexpr size_t kChunk = 1 << 20;
  bool refill() {
    memmove(buf_.data(), buf_.data() + pos_, end_ - pos_);
    end_ -= pos_;
    pos_ = 0;
    size_t got = fread(buf_.data() + end_, 1, buf_.size() - end_, in_);
    end_ += got;
    if (got == 0) {
      if (ferror(in_)) return false;
      eof_ = true;
    }
    return true;
  }
  FILE* in_;
  std::vector<uint8_t> buf_;
  size_t pos_ = 0, end_ = 0;
  bool eof_ = false;
};

// Writes one record: through the bulk append when the file takes it.
int put_record(BRF_RCB* r, brf_bulk* bulk, const uint8_t* rec, uint32_t len) {
  if (bulk->file) return brf_bulk_put(bulk, rec, len);
  return brfput(r, rec, len);
}

// The complete import takes the data file's name: on disk first, then
// linked under the name, which must still be free (an import that started
// meanwhile wins), then the temporary name goes. A key file built beside it
// (`tmp_key`, or empty) follows it under its name when that is still free.
int put_in_place(const std::string& tmp_dat, const std::string& dat, int hold, const std::string& tmp_key) {
  const std::string key = dat.substr(0, dat.size() - 4) + ".key";
  int key_fd = tmp_key.empty() ? -1 : os_sys.open(tmp_key.c_str(), O_RDONLY | O_CLOEXEC, 0);
  const bool key_synced = key_fd >= 0 && os_sys.fsync(key_fd) == 0;
  if (key_fd >= 0) os_sys.close(key_fd);
  int rc = kExitFailed;
  if (os_sys.fsync(hold) != 0) {
    fprintf(stderr, "Can't write \"%s\": %s\n", dat.c_str(), strerror(errno));
  } else if (link(tmp_dat.c_str(), dat.c_str()) != 0) {
    if (errno == EEXIST) fprintf(stderr, "Output file \"%s\" already exists.\n", dat.c_str());
    else fprintf(stderr, "Can not create file \"%s\": %s\n", dat.c_str(), strerror(errno));
  } else {
    // A key file that cannot follow is built again at the first open.
    if (key_synced) static_cast<void>(link(tmp_key.c_str(), key.c_str()));
    rc = kExitOk;
  }
  os_sys.unlink(tmp_dat.c_str());
  if (!tmp_key.empty()) os_sys.unlink(tmp_key.c_str());
  return rc;
}

// When the file's description gives its keys and no key file stands beside
// the target, the keys are built on the temporary pair now, in bulk: the
// first open then finds them. The temporary key file's name in *tmp_key
// (empty when none was built). False on a failure (said on stderr).
bool build_import_keys(const std::string& base, const std::string& tmp_dat, std::string* tmp_key) {
  tmp_key->clear();
  if (access((base + ".key").c_str(), F_OK) == 0) return true;
  const std::string tmp_base = tmp_dat.substr(0, tmp_dat.size() - 4);
  brf_repair_counts n;
  bool built = false;
  const int st = brf_build_described_keys(tmp_base, base, true, &brf_terminal_progress, &n, &built);
  if (st != BRF_OK) {
    fprintf(stderr, "Can't build the keys of \"%s\" (status %d: %s)\n", base.c_str(), st, brf_status_text(st));
    return false;
  }
  if (built) *tmp_key = tmp_base + ".key";
  if (built && n.repeated)
    fprintf(stderr, "%s: %u records left out of a key for a value met before\n", base.c_str(), n.repeated);
  return true;
}

}  // namespace

namespace {

// What an import holds: the input, the temporary pair and the descriptor
// that holds the pair's name. Its end lets go of whatever is still held
// and removes a temporary that was not put in place, so every early return
// of the import cleans up here, once.
struct import_job {
  std::string base, dat;
  FILE* in = nullptr;
  BRF_FILE* file = nullptr;
  BRF_RCB* rcb = nullptr;
  std::string tmp_dat;  // set once the temporary is this run's own
  int hold = -1;
  bool guarded = false;  // a signal that ends the import removes tmp_dat
  int fixed_len = 0;     // the record length the file's description fixes, 0 none

  import_job() = default;
  import_job(const import_job&) = delete;
  import_job& operator=(const import_job&) = delete;
  ~import_job() {
    close_pair();
    if (!tmp_dat.empty()) {
      os_sys.unlink(tmp_dat.c_str());
      os_sys.unlink((tmp_dat.substr(0, tmp_dat.size() - 4) + ".key").c_str());
    }
    if (hold >= 0) close(hold);
    if (guarded) flat_temp_guard(nullptr);
  }
  // The record handle, the pair and the input, in that order.
  void close_pair() {
    if (rcb) brfdeaccess(rcb);
    if (file) brfclose(file);
    if (in) fclose(in);
    rcb = nullptr, file = nullptr, in = nullptr;
  }
};

// The input opened and the target checked: no data file of the name yet,
// no key file left of one that is gone, and not one that keeps no header.
bool open_import(import_job* job) {
  job->in = os_sys.fopen(job->base.c_str(), "rb");
  if (!job->in) {
    fprintf(stderr, "Cannot open \"%s\" for input\n", job->base.c_str());
    return false;
  }
  int status = 0;
  if (BRF_FILE* old = brfopen(&status, job->base.c_str(), BRF_NO_KEYS | BRF_READ_ONLY, 0, false)) {
    brfclose(old);
    fprintf(stderr, "Output file \"%s\" already exists.\n", job->dat.c_str());
    return false;
  }
  // The key file indexes the records of a data file that is gone: beside
  // the new records its entries would name records that are not there.
  const std::string key = job->base + ".key";
  if (struct stat st; os_sys.stat(key.c_str(), &st) == 0) {
    fprintf(stderr,
            "Can not import into \"%s\": \"%s\" is left of a data file that is gone, and its keys would name "
            "records the new file does not hold; nothing is imported (remove the key file and import again: the "
            "engine builds the keys when it next opens the file)\n",
            job->dat.c_str(), key.c_str());
    return false;
  }
  // Lines would become records behind a header, which the file manager reads
  // as a record of a file that keeps none.
  if (anal_layout l; store_hooks.anal_headerless && store_hooks.anal_headerless(job->base.c_str(), &l)) {
    fprintf(stderr, "Can not import into \"%s\": it keeps no header (%s)\n", job->dat.c_str(), l.what);
    return false;
  }
  return true;
}

// This process's temporary pair, created, held and guarded, with its record
// handle ready for the first record; it takes the data file's name only
// when the last one is written.
bool create_import_pair(import_job* job) {
  flat_temp_remove_stale(job->base, kFlatImportTag, ".dat");
  flat_temp_remove_stale(job->base, kFlatImportTag, ".key");
  const std::string tmp_dat = flat_temp_name(job->base, kFlatImportTag, ".dat");
  const std::string tmp_base = tmp_dat.substr(0, tmp_dat.size() - 4);
  os_sys.unlink(tmp_dat.c_str());  // this pid's own, from a run that was killed
  int status = 0;
  job->file = brfopen(&status, tmp_base.c_str(), BRF_NO_KEYS | BRF_CREATE, 0, true);
  if (job->file && status == BRF_NOT_FOUND_FILE) {
    job->tmp_dat = tmp_dat;
    job->hold = flat_temp_hold(tmp_dat);
  }
  if (job->hold < 0) {
    fprintf(stderr, "Can not create file \"%s\"\n", job->dat.c_str());
    return false;
  }
  flat_temp_guard(tmp_dat.c_str());
  job->guarded = true;
  job->rcb = brfaccess(&status, job->file, 0, false);
  if (!job->rcb) {
    fprintf(stderr, "Can't brfacces file \"%s\"\n", job->dat.c_str());
    return false;
  }
  if (brf_upd_ver(job->file) != BRF_OK) {
    fprintf(stderr, "Can't initialize file \"%s\"\n", job->dat.c_str());
    return false;
  }
  return true;
}

// The end of file of the import's data file: records gathered for a bulk
// write included.
uint64_t import_end(const import_job* job, const brf_bulk* bulk) {
  if (bulk->file) return uint64_t{bulk->start} + bulk->buf.size();
  return job->file->hdr.eofseek;
}

// Why a line of the input cannot be one record: too long, or ending in a
// carriage return once its line end is off (a record ending in one cannot
// be exported again); null when it can.
const char* import_refusal(int got, const uint8_t* text, size_t len) {
  if (got == -2 || len > kFlatMaxLine) return "is longer than 3000 bytes";
  if (len > 0 && text[len - 1] == '\r')
    return "ends in a carriage return that is no part of its line end (a record cannot end in one: the export "
           "could not write it back)";
  return nullptr;
}

// Every line of the input as a record; the count written, -1 on failure
// (said on stderr with the line; nothing is imported then).
long import_lines(import_job* job, brf_bulk* bulk) {
  line_reader lines(job->in);
  const char* in = job->base.c_str();
  long count = 0;
  long lineno = 0;
  // How far through the input, on a terminal; each line below takes it away.
  struct stat st_in;
  const uint64_t size = fstat(fileno(job->in), &st_in) == 0 ? static_cast<uint64_t>(st_in.st_size) : 0;
  uint64_t read = 0;
  brf_progress_gate progress(&brf_terminal_progress, "Importing " + job->base);
  for (;;) {
    const uint8_t* text = nullptr;
    size_t len = 0;
    int got = lines.next(&text, &len);
    if (got == 0) return count;
    ++lineno;
    read += len;
    if ((lineno & 0xFFF) == 0) progress.show("lines read", read, size);
    if (got == -1) {
      progress.clear();
      fprintf(stderr, "Read error on \"%s\" at line %ld: %s\n", in, lineno, strerror(errno));
      return -1;
    }
    // The line end: a line feed, and up to two carriage returns before it.
    for (int i = 0; i < 2 && len > 0 && (text[len - 1] == '\r' || text[len - 1] == '\n'); ++i) --len;
    if (const char* why = import_refusal(got, text, len)) {
      progress.clear();
      fprintf(stderr, "Line %ld of \"%s\" %s: nothing is imported\n", lineno, in, why);
      return -1;
    }
    if (len == 0 && job->fixed_len <= 0) continue;  // no record
    // The engine reads every record of such a file as that many bytes: a
    // shorter one would show another record's bytes, a longer one lose its
    // tail at its first change.
    if (job->fixed_len > 0 && len != static_cast<size_t>(job->fixed_len)) {
      progress.clear();
      fprintf(stderr,
              "Line %ld of \"%s\" is %zu bytes, but the description of \"%s\" gives its records %d bytes: "
              "nothing is imported\n",
              lineno, in, len, job->dat.c_str(), job->fixed_len);
      return -1;
    }
    if (const uint64_t end = import_end(job, bulk); end + len + kRecOverhead > kMaxSeek) {
      progress.clear();
      fprintf(stderr,
              "Line %ld of \"%s\" does not fit: a data file holds at most %u bytes (2 GiB) and the %ld records "
              "before it take %llu; nothing is imported\n",
              lineno, in, kMaxSeek, count, static_cast<unsigned long long>(end));
      return -1;
    }
    if (int st = put_record(job->rcb, bulk, text, static_cast<uint32_t>(len)); st != BRF_OK) {
      progress.clear();
      fprintf(stderr, "Status was %d (%s) at line %ld of \"%s\": nothing is imported\n", st, brf_status_text(st),
              lineno, in);
      return -1;
    }
    ++count;
  }
}

// Records that repeat a value of a key the file's description keeps unique
// would have the engine refuse the file at its first open: the import is
// refused instead, with the first such values, and nothing is imported (the
// flat file stays as it was). True when refused.
bool repeats_refused(import_job* job) {
  KEY_DESC keys[kBtMaxKeys];
  const int n = store_hooks.described_keys ? store_hooks.described_keys(job->base.c_str(), keys) : -1;
  if (n <= 0 || brfgethdr(job->file) != BRF_OK) return false;
  brf_progress_gate progress(&brf_terminal_progress, "Checking the keys of " + job->base);
  for (int k = 0; k < n; ++k) {
    // The null value the engine gives a key by default, as long as the
    // longest key a description gives (sixteen segments of 255 bytes).
    static const uint8_t none[kBtMaxSegs * kBtMaxKeyLen] = {};
    key_repeats rep;
    if (brf_key_repeats(job->file, keys[k], none, 3, &rep, &progress) != BRF_OK || rep.left_out == 0) continue;
    progress.clear();
    fprintf(stderr,
            "Can not import into \"%s\": %u records repeat values of key %d, which the file's description keeps "
            "unique (%s); nothing imported\n",
            job->dat.c_str(), rep.left_out, k, brf_repeats_text(rep).c_str());
    return true;
  }
  return false;
}

}  // namespace

int flat2brf_run(const char* name) {
  import_job job;
  job.base = brf_strip_ext(name);
  if (job.base.empty()) {
    fprintf(stderr, "Error:  Missing file name\n");
    return kExitFailed;
  }
  job.dat = job.base + ".dat";
  if (!open_import(&job) || !create_import_pair(&job)) return kExitFailed;
  if (store_hooks.described_rec_len) job.fixed_len = store_hooks.described_rec_len(job.base.c_str());
  // Nothing else can open the new file: records go out in large writes.
  brf_bulk bulk;
  if (brf_bulk_ok(job.file) && brf_bulk_begin(&bulk, job.file) != BRF_OK) {
    fprintf(stderr, "Can't initialize file \"%s\"\n", job.dat.c_str());
    return kExitFailed;
  }
  const long count = import_lines(&job, &bulk);
  if (count < 0) return kExitFailed;
  if (bulk.file) {
    if (int st = brf_bulk_flush(&bulk)) {
      fprintf(stderr, "Status was %d (%s) writing the last lines of \"%s\": nothing is imported\n", st,
              brf_status_text(st), job.base.c_str());
      return kExitFailed;
    }
  }
  if (repeats_refused(&job)) return kExitFailed;
  job.close_pair();
  std::string tmp_key;
  if (!build_import_keys(job.base, job.tmp_dat, &tmp_key)) return kExitFailed;
  const int rc = put_in_place(job.tmp_dat, job.dat, job.hold, tmp_key);
  job.tmp_dat.clear();  // in place, or removed by put_in_place
  if (rc != kExitOk) return rc;
  printf("%s - %ld records\n", name, count);
  return kExitOk;
}

void brf2flat(const char* name) {
  int rc = brf2flat_run(name);
  fflush(nullptr);
  exit(rc);
}

void flat2brf(const char* name) {
  int rc = flat2brf_run(name);
  fflush(nullptr);
  exit(rc);
}

}  // namespace kivo
