// Flat-file export (brf2flat) and import (flat2brf).
//
// The line form carries a record only when the record holds no line feed,
// does not end in a carriage return (the import takes those off a line's
// end), is not empty (an empty line stands for no record) and has at most
// kFlatMaxLine bytes. Any other record is refused with a message and exit
// code 1, never split or cut. A failed export leaves an existing flat file as
// it was (the output is written beside it and renamed over it at the end); a
// failed import removes the data file it created.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fm/data_file.h"
#include "fm/flat_file.h"
#include "fm/record_ops.h"
#include "foundation/os_calls.h"

namespace kivo {

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;

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
BRF_FILE* open_for_export(int* status, const char* base) {
  BRF_FILE* f = brfopen(status, base, BRF_KEY_MUST_EXIST, 0, false);
  if (f) return f;
  std::string key = std::string(base) + ".key";
  if (access(key.c_str(), F_OK) == 0) return nullptr;  // a key file that cannot be opened
  return brfopen(status, base, BRF_NO_KEYS, 0, false);
}

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
  std::string tmp = base + ".flatXXXXXX";
  int fd = os_sys.mkstemp(tmp.data());
  FILE* out = fd >= 0 ? fdopen(fd, "wb") : nullptr;
  if (!out) {
    fprintf(stderr, "Can't create output file (%s)\n", base.c_str());
    if (fd >= 0) {
      close(fd);
      os_sys.unlink(tmp.c_str());
    }
    brfclose(f);
    return kExitFailed;
  }
  BRF_RCB* r = brfaccess(&status, f, 0, false);
  if (!r) {
    fclose(out);
    os_sys.unlink(tmp.c_str());
    brfclose(f);
    fprintf(stderr, "Can't brfacces file \"%s\"\n", base.c_str());
    return kExitFailed;
  }
  // Room for the longest record, so that a long one is seen whole and refused.
  std::vector<uint8_t> buf(kMaxRecordLength + 1);
  long count = 0;
  int rc = kExitOk;
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
    if (fwrite(buf.data(), 1, len, out) != len || fputc('\n', out) == EOF) {
      fprintf(stderr, "Can't write output file (%s): %s\n", base.c_str(), strerror(errno));
      rc = kExitFailed;
      break;
    }
    ++count;
  }
  brfdeaccess(r);
  brfclose(f);
  if (fclose(out) != 0 && rc == kExitOk) {
    fprintf(stderr, "Can't write output file (%s): %s\n", base.c_str(), strerror(errno));
    rc = kExitFailed;
  }
  if (rc == kExitOk && os_sys.rename(tmp.c_str(), base.c_str()) != 0) {
    fprintf(stderr, "Can't create output file (%s)\n", base.c_str());
    rc = kExitFailed;
  }
  if (rc != kExitOk) {
    os_sys.unlink(tmp.c_str());
    return rc;
  }
  printf("%s - %ld records\n", name, count);
  return kExitOk;
}

namespace {

// Reads one line into `line` (without its line feed). 1 a line, 0 end of
// input, -1 a read error, -2 a line longer than the longest record (the rest
// of it is not read).
int read_line(FILE* in, std::vector<uint8_t>* line) {
  line->clear();
  int ch;
  while ((ch = getc(in)) != EOF) {
    if (ch == '\n') return 1;
    // Two trailing carriage returns may still come off: keep room for them.
    if (line->size() == kFlatMaxLine + 2) return -2;
    line->push_back(static_cast<uint8_t>(ch));
  }
  if (ferror(in)) return -1;
  return line->empty() ? 0 : 1;
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
  BRF_FILE* f = brfopen(&status, base.c_str(), BRF_NO_KEYS | BRF_CREATE, 0, true);
  if (!f || status != BRF_NOT_FOUND_FILE) {
    // Not created by this import (it appeared meanwhile): left alone.
    if (f) brfclose(f);
    fclose(in);
    fprintf(stderr, "Can not create file \"%s\"\n", dat.c_str());
    return kExitFailed;
  }
  auto fail = [&](BRF_RCB* r) {
    if (r) brfdeaccess(r);
    brfclose(f);
    fclose(in);
    os_sys.unlink(dat.c_str());
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
  std::vector<uint8_t> line;
  long count = 0;
  long lineno = 0;
  for (;;) {
    int got = read_line(in, &line);
    if (got == 0) break;
    ++lineno;
    if (got == -1) {
      fprintf(stderr, "Read error on \"%s\" at line %ld: %s\n", base.c_str(), lineno, strerror(errno));
      return fail(r);
    }
    for (int i = 0; i < 2 && !line.empty() && (line.back() == '\r' || line.back() == '\n'); ++i) line.pop_back();
    if (got == -2 || line.size() > kFlatMaxLine) {
      fprintf(stderr, "Line %ld of \"%s\" is longer than 3000 bytes: not imported\n", lineno, base.c_str());
      return fail(r);
    }
    if (line.empty()) continue;  // no record
    int st = brfput(r, line.data(), static_cast<uint32_t>(line.size()));
    if (st != BRF_OK) {
      fprintf(stderr, "Status was %d\n", st);
      return fail(r);
    }
    ++count;
  }
  brfdeaccess(r);
  brfclose(f);
  fclose(in);
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
