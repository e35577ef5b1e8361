// Flat-file export (brf2flat) and import (flat2brf).
//
// The line form carries a record only when the record holds no line feed,
// does not end in a carriage return (the import takes those off a line's
// end), is not empty (an empty line stands for no record) and has at most
// kFlatMaxLine bytes. Any other record is refused with a message and exit
// code 1, never split or cut.
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

// Why a record cannot be a line; null when it can.
const char* line_refusal(const uint8_t* rec, uint32_t len) {
  if (len == 0) return "is empty";
  if (len > kFlatMaxLine) return "is longer than 3000 bytes";
  if (memchr(rec, '\n', len)) return "holds a line feed";
  if (rec[len - 1] == '\r') return "ends in a carriage return";
  return nullptr;
}

// Opens the data file for export: with its key file when there is one (a
// fixed-length keyed file is then read as the headered file it is), else
// alone.
BRF_FILE* open_with(int* status, const char* base, bool exclusive) {
  // A file without a header is opened by its record length: its records
  // from the first byte.
  if (anal_layout l; store_hooks.anal_headerless && store_hooks.anal_headerless(base, &l) && l.rec_len > 0)
    return brfopen(status, base, BRF_NO_KEYS, l.rec_len, exclusive);
  BRF_FILE* f = brfopen(status, base, BRF_KEY_MUST_EXIST, 0, exclusive);
  if (f) return f;
  if (*status == BRF_FILE_LOCKED) return nullptr;
  std::string key = std::string(base) + ".key";
  if (access(key.c_str(), F_OK) == 0) return nullptr;  // a key file that cannot be opened
  f = brfopen(status, base, BRF_NO_KEYS, 0, exclusive);
  // A keyed pair whose key file is missing still has its header.
  if (f) brf_header_from_file(f);
  return f;
}

// Opens the data file for export: exclusively when no other process has it
// open (its records are then read through a mapping), else shared as any
// reader; with its key file when there is one (a fixed-length keyed file is
// then read as the headered file it is), else alone.
BRF_FILE* open_for_export(int* status, const char* base) {
  if (BRF_FILE* f = open_with(status, base, true)) return f;
  if (*status != BRF_FILE_LOCKED) return nullptr;
  return open_with(status, base, false);
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

}  // namespace

int brf2flat_run(const char* name) {
  std::string base = brf_strip_ext(name);
  int status = 0;
  BRF_FILE* f = base.empty() ? nullptr : open_for_export(&status, base.c_str());
  if (!f || f->hdr.version == kVersionUnread) {
    fprintf(stderr, "Can not open file \"%s\"\n", base.c_str());
    if (f) brfclose(f);
    return kExitFailed;
  }
  std::string tmp;
  FILE* out = create_export_temp(base, &tmp);
  if (!out) {
    fprintf(stderr, "Can't create output file (%s)\n", base.c_str());
    brfclose(f);
    return kExitFailed;
  }
  std::vector<char> out_buf(kOutBuffer);  // lines leave in large writes
  setvbuf(out, out_buf.data(), _IOFBF, out_buf.size());
  BRF_RCB* r = brfaccess(&status, f, 0, false);
  if (!r) {
    os_sys.unlink(tmp.c_str());
    fclose(out);
    flat_temp_guard(nullptr);
    brfclose(f);
    fprintf(stderr, "Can't brfacces file \"%s\"\n", base.c_str());
    return kExitFailed;
  }
  // Room for the longest record, so that a long one is seen whole and refused.
  std::vector<uint8_t> buf(kMaxRecordLength + 1);
  long count = 0;
  int rc = kExitOk;
  output_writeback sending{out};
  for (;;) {
    uint32_t len = 0;
    int st = brfnext(r, buf.data(), buf.size(), &len);
    if (st == BRF_EOF) break;
    if (st != BRF_OK && st != BRF_LOCK_REFUSED) {  // 20: delivered, held by another process
      fprintf(stderr, "Status was %d\n", st);
      rc = kExitFailed;
      break;
    }
    if (const char* why = line_refusal(buf.data(), len)) {
      fprintf(stderr, "Record %ld at seek %lld %s: it cannot be one line of a flat file\n", count + 1,
              static_cast<long long>(r->last_seek), why);
      rc = kExitFailed;
      break;
    }
    if (fwrite(buf.data(), 1, len, out) != len || fputc('\n', out) == EOF || !sending.add(len + 1)) {
      fprintf(stderr, "Can't write output file (%s): %s\n", base.c_str(), strerror(errno));
      rc = kExitFailed;
      break;
    }
    ++count;
  }
  brfdeaccess(r);
  brfclose(f);
  // The output is on disk before it takes the flat file's name; the flock
  // taken on it goes with the close, after the rename.
  if (rc == kExitOk && (fflush(out) != 0 || os_sys.fsync(fileno(out)) != 0)) {
    fprintf(stderr, "Can't write output file (%s): %s\n", base.c_str(), strerror(errno));
    rc = kExitFailed;
  }
  if (rc == kExitOk && os_sys.rename(tmp.c_str(), base.c_str()) != 0) {
    fprintf(stderr, "Can't create output file (%s): %s\n", base.c_str(), strerror(errno));
    rc = kExitFailed;
  }
  if (rc != kExitOk) os_sys.unlink(tmp.c_str());
  fclose(out);
  flat_temp_guard(nullptr);
  if (rc != kExitOk) return rc;
  printf("%s - %ld records\n", name, count);
  return kExitOk;
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
// meanwhile wins), then the temporary name goes.
int put_in_place(const std::string& tmp_dat, const std::string& dat, int hold) {
  if (os_sys.fsync(hold) != 0) {
    fprintf(stderr, "Can't write \"%s\": %s\n", dat.c_str(), strerror(errno));
  } else if (link(tmp_dat.c_str(), dat.c_str()) != 0) {
    if (errno == EEXIST) fprintf(stderr, "Output file \"%s\" already exists.\n", dat.c_str());
    else fprintf(stderr, "Can not create file \"%s\": %s\n", dat.c_str(), strerror(errno));
  } else {
    os_sys.unlink(tmp_dat.c_str());
    return kExitOk;
  }
  os_sys.unlink(tmp_dat.c_str());
  return kExitFailed;
}

}  // namespace

int flat2brf_run(const char* name) {
  std::string base = brf_strip_ext(name);
  FILE* in = base.empty() ? nullptr : os_sys.fopen(base.c_str(), "rb");
  if (!in) {
    fprintf(stderr, "Cannot open \"%s\" for input\n", base.c_str());
    return kExitFailed;
  }
  std::string dat = base + ".dat";
  int status = 0;
  if (BRF_FILE* old = brfopen(&status, base.c_str(), BRF_NO_KEYS, 0, false)) {
    brfclose(old);
    fclose(in);
    fprintf(stderr, "Output file \"%s\" already exists.\n", dat.c_str());
    return kExitFailed;
  }
  // Lines would become records behind a header, which the file manager reads
  // as a record of a file that keeps none.
  if (anal_layout l; store_hooks.anal_headerless && store_hooks.anal_headerless(base.c_str(), &l)) {
    fclose(in);
    fprintf(stderr, "Can not import into \"%s\": it keeps no header (%s)\n", dat.c_str(), l.what);
    return kExitFailed;
  }
  // The records go into this process's temporary pair, which takes the data
  // file's name only when the last one is written.
  flat_temp_remove_stale(base, kFlatImportTag, ".dat");
  const std::string tmp_dat = flat_temp_name(base, kFlatImportTag, ".dat");
  const std::string tmp_base = tmp_dat.substr(0, tmp_dat.size() - 4);
  os_sys.unlink(tmp_dat.c_str());  // this pid's own, from a run that was killed
  BRF_FILE* f = brfopen(&status, tmp_base.c_str(), BRF_NO_KEYS | BRF_CREATE, 0, true);
  const int hold = f && status == BRF_NOT_FOUND_FILE ? flat_temp_hold(tmp_dat) : -1;
  if (hold < 0) {
    if (f) brfclose(f);
    if (f && status == BRF_NOT_FOUND_FILE) os_sys.unlink(tmp_dat.c_str());
    fclose(in);
    fprintf(stderr, "Can not create file \"%s\"\n", dat.c_str());
    return kExitFailed;
  }
  flat_temp_guard(tmp_dat.c_str());
  auto fail = [&](BRF_RCB* r) {
    if (r) brfdeaccess(r);
    brfclose(f);
    fclose(in);
    os_sys.unlink(tmp_dat.c_str());
    close(hold);
    flat_temp_guard(nullptr);
    return kExitFailed;
  };
  BRF_RCB* r = brfaccess(&status, f, 0, false);
  if (!r) {
    fprintf(stderr, "Can't brfacces file \"%s\"\n", dat.c_str());
    return fail(nullptr);
  }
  if (brf_upd_ver(f) != BRF_OK) {
    fprintf(stderr, "Can't initialize file \"%s\"\n", dat.c_str());
    return fail(r);
  }
  // Nothing else can open the new file: records go out in large writes.
  brf_bulk bulk;
  if (brf_bulk_ok(f) && brf_bulk_begin(&bulk, f) != BRF_OK) {
    fprintf(stderr, "Can't initialize file \"%s\"\n", dat.c_str());
    return fail(r);
  }
  line_reader lines(in);
  long count = 0;
  long lineno = 0;
  for (;;) {
    const uint8_t* text = nullptr;
    size_t len = 0;
    int got = lines.next(&text, &len);
    if (got == 0) break;
    ++lineno;
    if (got == -1) {
      fprintf(stderr, "Read error on \"%s\" at line %ld: %s\n", base.c_str(), lineno, strerror(errno));
      return fail(r);
    }
    for (int i = 0; i < 2 && len > 0 && (text[len - 1] == '\r' || text[len - 1] == '\n'); ++i) --len;
    if (got == -2 || len > kFlatMaxLine) {
      fprintf(stderr, "Line %ld of \"%s\" is longer than 3000 bytes: not imported\n", lineno, base.c_str());
      return fail(r);
    }
    if (len == 0) continue;  // no record
    int st = put_record(r, &bulk, text, static_cast<uint32_t>(len));
    if (st != BRF_OK) {
      fprintf(stderr, "Status was %d\n", st);
      return fail(r);
    }
    ++count;
  }
  if (bulk.file) {
    if (int st = brf_bulk_flush(&bulk)) {
      fprintf(stderr, "Status was %d\n", st);
      return fail(r);
    }
  }
  brfdeaccess(r);
  brfclose(f);
  fclose(in);
  const int rc = put_in_place(tmp_dat, dat, hold);
  close(hold);
  flat_temp_guard(nullptr);
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
