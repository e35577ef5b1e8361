// kivo_design: writes design sources (src/design/design_source.md) into the
// native design files of a data directory. The build runs it to make the
// default installation's "0LA" dictionary; later shipped designs use it the
// same way.
//
//   kivo_design [-r] [-c] [-n] -d <data directory> <source> ...
//
// Each source names its application and version; with -r the version's
// design files are removed first, so that writing a source again (the
// build does, whenever it changes) gives the same files. Exit status 0 when every
// source was written, 1 at the first fault (printed with its line).
//
// Before a source is written it is checked as the process compiler will
// compile it (design/design_check.h): an item or characteristic that does
// not end inside its image, or a field an item or statement names that is
// no element of its application (nor of "0LA"), refuses the source with
// every such line and writes nothing of it. -n writes without the checks
// (a design whose fields a later source defines).
//
// With -c the dictionary compiler runs after each source on its version,
// stand-alone: the changed domains, the changed work fields, then every
// file of the version that is out of date (every file when DD_SUMMARY_FILE
// is set, each then described in the version's summary). Its
// listing lines and then each message ("number class text") are printed;
// the exit status is the highest message class (1 at a fault of a source).
// Compiling the design dictionary "0AD" gives the design files of every
// version the APPL file lists the structure files their opens then check;
// compiling "0SA" creates each of its data files that is missing and
// records the structure of every one.
//
// With -l the lines of a portable file (header, then one record a line; LF
// or CRLF) are added to a data file of a database that has its SYSDIR
// entry: the file is created from its compiled dictionary first. Every line
// is read and every record converted before the first is added; a record
// there already with the same values is passed over, so that a load cut
// short is finished by the next; a line that cannot be added refuses the
// load with its line and nothing added. A second load into a file while
// one runs is refused before it touches the first's work. The exit status
// is the highest message class, 3 on a refusal.
//
// Each load of a source is undoable: every line is read before a file
// changes, the version's design files are set aside first and put back
// when a write fails, and a load is refused while another process has one
// of them open (design/design_source.h). A load killed part-way is
// finished by the next run on its version, or by the engine's start of
// the application, from the record it keeps in the design files' folder
// (fm/set_aside.h): put back as it was, or, when it had written every
// file, kept; one line says which.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "build_start.h"
#include "compiler/compiler.h"
#include "design/dd.h"
#include "design/dd_msg.h"
#include "design/design.h"
#include "design/design_builder.h"
#include "design/design_source.h"
#include "design/mu_xlate.h"
#include "design/rt_file.h"
#include "fm/fm.h"
#include "fm/fm_open.h"
#include "fm/fm_record.h"
#include "fm/fm_switch.h"
#include "fm/fm_sysadm.h"
#include "fm/la.h"
#include "fm/unix_fm.h"
#include "foundation/bytes.h"
#include "foundation/com.h"
#include "foundation/descriptors.h"
#include "foundation/os.h"
#include "foundation/paths.h"
#include "foundation/pool.h"
#include "foundation/std_fds.h"
#include "interp/interp.h"

using namespace kivo;

namespace {

int usage() {
  fprintf(stderr,
          "usage: kivo_design [-r] [-c] [-n] -d <data directory> <source> ...\n"
          "       kivo_design -d <data directory> -l <db> <ap> <ver> <file> <portable lines>\n");
  return 1;
}

bool start(std::string& data_dir) {
  if (!build_start(data_dir)) return false;
  dd_init();
  // The process compiler, which the load checks run on every process a
  // source writes, with the routines its CALLs name.
  pc_init(), rt_init(), sc_init(), ii_init();
  // Message texts when the data directory has the language's MESSAGE file.
  if (la_init()) la_slct("00", com.sys_scope);
  return true;
}

ARB* create_msg_file(void (*init)(FDB*, KDB*, SDB*, const char*, const char*), const std::string& ap,
                     const std::string& ver) {
  FDB f;
  KDB k[kInitMaxKeys];
  SDB s[kInitMaxSegs];
  init(&f, k, s, ap.c_str(), ver.c_str());
  return FM_CREATE(&f, com.sys_scope, 0, LFB_OPEN_NEW | LFB_NO_STRUCT_CHK | LFB_ANY_DIR, 0x0f, 0x0f) ? f.fdb_arb
                                                                                                     : nullptr;
}

// Every record of `a` in key order, `len` bytes each.
template <typename F>
void each_record(ARB* a, size_t len, F f) {
  std::string buf(len, '\0');
  auto* rec = reinterpret_cast<uint8_t*>(buf.data());
  PROTO_FULL(a, 0, rec);
  a->arb_len = static_cast<uint16_t>(len);
  a->arb_mod = ARB_FIRST;
  if (!fm_start(a)) return;
  a->arb_mod = 0;
  while (fm_rdnxt(a)) f(rec);
}

// The run's MESSAGE1 and MESSAGE2 files of `ap` `ver`; false (said) when
// they cannot be made.
bool open_messages(const std::string& ap, const std::string& ver, ARB** m1, ARB** m2) {
  *m1 = create_msg_file(INIT_MSG1_FDB, ap, ver);
  *m2 = *m1 ? create_msg_file(INIT_MSG2_FDB, ap, ver) : nullptr;
  if (*m2) return true;
  fprintf(stderr, "kivo_design: the message files cannot be made\n");
  if (*m1) FM_CLOSE(*m1, 0);
  return false;
}

// Prints the messages of a run and gives their highest class.
int report(ARB* m1, ARB* m2) {
  fflush(stdout);
  uint32_t top = 0;
  each_record(m1, kMsg1Size, [&](const uint8_t* r) { top = std::max(top, ld_le32(r, M1_CLASS)); });
  each_record(m2, kMsg2Size, [](const uint8_t* r) {
    const int len = static_cast<int>(ld_le16(r, M2_TEXT_LEN));
    const char* text = reinterpret_cast<const char*>(r + M2_TEXT);
    // A file-level finding carries no message number of its own.
    if (const uint32_t no = ld_le32(r, M2_NUMBER)) printf("%06u %u %.*s\n", no, ld_le16(r, M2_CLASS), len, text);
    else printf("%u %.*s\n", ld_le16(r, M2_CLASS), len, text);
  });
  FM_CLOSE(m2, 0);
  FM_CLOSE(m1, 0);
  return static_cast<int>(top);
}

// The dictionary compiler on `ap` `ver`: domains, then work fields. The
// highest message class, or -1 when the message files cannot be made.
int compile(const std::string& ap, const std::string& ver) {
  ARB *m1, *m2;
  if (!open_messages(ap, ver, &m1, &m2)) return -1;
  // Domains, work fields, then every file of the version by name.
  std::vector<std::string> runs = {"        ", "*       "};
  FDB f;
  KDB k[kInitMaxKeys];
  SDB s[kInitMaxSegs];
  INIT_DREC_FDB(&f, k, s, ap.c_str(), ver.c_str());
  if (FM_OPEN(&f, com.sys_scope, LFB_NO_STRUCT_CHK | LFB_ANY_DIR, 0x0f, 0x0f)) {
    each_record(f.fdb_arb, kRecordSize,
                [&](const uint8_t* r) { runs.emplace_back(reinterpret_cast<const char*>(r), 8); });
    FM_CLOSE(f.fdb_arb, 0);
  }
  for (const std::string& which : runs) {
    uint8_t request[13];
    memcpy(request, ap.data(), 3);
    memcpy(request + 3, ver.data(), 2);
    memcpy(request + 5, which.data(), 8);
    dd_cmpl(0, request, m1, m2);
  }
  return report(m1, m2);
}

// The lines of a portable file, each without its line end (a CRLF file
// reads as its LF form: no portable record holds a carriage return). False
// (said) with every line that cannot be a record of it: the header must be
// "<0 or 1> <the file's name> <record length, 6 digits>+", and without a
// structure section each further line must have the header's length.
bool read_port_lines(const char* path, const std::string& file, std::vector<std::string>* out) {
  std::ifstream in(path);
  if (!in) return fprintf(stderr, "kivo_design: cannot read %s\n", path), false;
  for (std::string l; std::getline(in, l);) {
    if (!l.empty() && l.back() == '\r') l.pop_back();
    out->push_back(std::move(l));
  }
  std::vector<std::string> faults;
  auto fault = [&](size_t line, const std::string& what) {
    faults.push_back(std::string(path) + ":" + std::to_string(line) + ": " + what);
  };
  char name[9];
  snprintf(name, sizeof name, "%-8.8s", file.c_str());
  const std::string h = out->empty() ? "" : (*out)[0];
  const bool shaped = h.size() == kPortHdrSize && (h[0] == '0' || h[0] == '1') && h[1] == ' ' && h[10] == ' ' &&
                      h[17] == '+' && h.find_first_not_of("0123456789", 11) == 17;
  if (!shaped)
    fault(1, "the header line is \"" + h.substr(0, 40) +
                 "\", not \"<0 or 1> <file name, 8 characters> <record length, 6 digits>+\" (18 characters)");
  else if (h.compare(2, 8, name) != 0)
    fault(1, "the header names the file \"" + h.substr(2, 8) + "\", not \"" + name + "\"");
  const size_t len = shaped ? std::stoul(h.substr(11, 6)) : 0;
  for (size_t i = 1; shaped && h[0] == '0' && i < out->size(); ++i)
    if ((*out)[i].size() != len)
      fault(i + 1, "the record is " + std::to_string((*out)[i].size()) + " characters, not the header's " +
                       std::to_string(len));
  constexpr size_t kFaultsListed = 20;
  for (size_t i = 0; i < faults.size() && i < kFaultsListed; ++i)
    fprintf(stderr, "kivo_design: %s\n", faults[i].c_str());
  if (faults.size() > kFaultsListed)
    fprintf(stderr, "kivo_design: %s: %zu more faults not listed\n", path, faults.size() - kFaultsListed);
  if (!faults.empty()) fprintf(stderr, "kivo_design: %s: nothing was added\n", path);
  return faults.empty();
}

// What the load did, in a line: where it stopped and whether the records
// before were kept, or how many it added.
void say_load(const char* lines, const std::string& file, bool ok) {
  const mu_load_report& m = mu_last_load();
  if (!ok && m.stop_rec) {
    const std::string kept = m.added ? std::to_string(m.added) +
                                           " records of the lines before it were added and are kept; mend the line "
                                           "and load again (the records there already are passed over)"
                                     : "nothing was added";
    fprintf(stderr, "kivo_design: %s:%u: %s; %s\n", lines, m.stop_rec, m.why.c_str(), kept.c_str());
    return;
  }
  if (!ok) {
    fprintf(stderr, "kivo_design: %s: the load of %s failed (%u records added)\n", lines, file.c_str(), m.added);
    return;
  }
  if (!m.added && m.present)
    printf("kivo_design: %s: all %u records were in %s already: nothing added\n", lines, m.present, file.c_str());
  else printf("kivo_design: %s: %u records added to %s, %u there already\n", lines, m.added, file.c_str(), m.present);
}

// Held while a load into a data file runs: an flock on a file beside the
// load's portable work file ("<work file>.load", holding the loader's
// process id). A second load of the same file finds it held and is refused
// before it touches the first's work file or data file. The lock file is
// removed while still held: a load that opened it meanwhile sees that its
// file is no longer the one under the name, and opens the name again.
class load_lock {
 public:
  load_lock() = default;
  load_lock(const load_lock&) = delete;
  load_lock& operator=(const load_lock&) = delete;
  ~load_lock() {
    if (fd_ < 0) return;
    unlink(path_.c_str());
    close(fd_);
  }
  // 1 when taken; 0 when another load holds it (its process id in *holder,
  // 0 while not yet written); -1 when it cannot be made.
  int take(const std::string& path, long* holder) {
    path_ = path;
    if (!ss_make_path(path.c_str())) return -1;
    for (int tries = 0; tries < 16; ++tries) {
      const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
      if (fd < 0) return -1;
      if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        char pid[24] = {};
        *holder = pread(fd, pid, sizeof pid - 1, 0) > 0 ? atol(pid) : 0;
        close(fd);
        return 0;
      }
      struct stat held, named;
      if (fstat(fd, &held) == 0 && stat(path.c_str(), &named) == 0 && held.st_ino == named.st_ino &&
          held.st_dev == named.st_dev) {
        const std::string pid = std::to_string(getpid()) + "\n";
        // The id only names the holder in a refusal: the lock holds without it.
        const bool named_holder = ftruncate(fd, 0) == 0 && pwrite(fd, pid.data(), pid.size(), 0) > 0;
        static_cast<void>(named_holder);
        fd_ = fd;
        return 1;
      }
      close(fd);
    }
    return -1;
  }

 private:
  std::string path_;
  int fd_ = -1;
};

// Shipped records of a data file: the lines of `lines` (a portable file:
// header, then one record a line) become the file's portable file, the data
// file is created from its compiled dictionary first and the records are
// added (mode 0: a record there already with the same values is passed
// over, so that a load cut short is finished by the next; one with other
// values stops the load before anything is added). The highest message
// class; 3 when the lines cannot be read or the run failed.
int load_records(const std::string& db, const std::string& ap, const std::string& ver, const std::string& file,
                 const char* lines) {
  std::vector<std::string> recs;
  if (!read_port_lines(lines, file, &recs)) return 3;
  ARB *m1, *m2;
  if (!open_messages(ap, ver, &m1, &m2)) return 3;
  // Its DATABASE record gives nothing a native file needs: blank.
  fms_select.get_ddb = [](const char*) -> const uint8_t* {
    static uint8_t blank_db[512];
    memset(blank_db, ' ', sizeof blank_db);
    return blank_db;
  };
  char name[9];
  snprintf(name, sizeof name, "%-8.8s", file.c_str());
  FDB_PATH path{};
  INIT_DB_PATH(&path, db.c_str(), ap.c_str(), ver.c_str(), name, PATH_DATA);
  FDB port;
  INIT_FDB(&port, FS_DISK, kPortPiece, 1, nullptr, 0);
  port.path = path;
  port.path.fdb_class = PATH_PORTDATA;
  load_lock lock;
  long holder = 0;
  const std::string work = rt_os_path(port.path);
  if (const int took = work.empty() ? -1 : lock.take(work + ".load", &holder); took <= 0) {
    if (took == 0)
      fprintf(stderr, "kivo_design: %s: another load into %s is running (process %ld); nothing was added\n", lines,
              file.c_str(), holder);
    else fprintf(stderr, "kivo_design: %s: the lock of a load into %s cannot be made\n", lines, file.c_str());
    FM_CLOSE(m2, 0);
    FM_CLOSE(m1, 0);
    return 3;
  }
  FM_SCRATCH(&port, LFB_ANY_DIR | LFB_NO_STRUCT_CHK);
  FDB made = port;
  bool ok = FM_CREATE(&made, com.sys_scope, 0, LFB_ANY_DIR | LFB_NO_STRUCT_CHK | LFB_OPEN_NEW, 0x0f, 0x0f);
  for (size_t i = 0; ok && i < recs.size(); ++i) {
    const std::string& l = recs[i];
    for (size_t off = 0; ok && (off < l.size() || off == 0); off += kPortPiece) {
      ARB* a = made.fdb_arb;
      std::string piece = l.substr(off, kPortPiece);
      a->arb_rec = reinterpret_cast<uint8_t*>(piece.data()), a->arb_len = kPortPiece;
      a->arb_var_len = static_cast<uint16_t>(piece.size()), a->arb_mod = 0;
      ok = fm_write(a);
    }
  }
  if (made.fdb_arb) FM_CLOSE(made.fdb_arb, 0);
  if (!ok)
    fprintf(stderr, "kivo_design: the portable file of %s is not written: %s\n", file.c_str(),
            status_words(made.fdb_stat).c_str());
  uint8_t req[kMuReqSize];
  uint8_t stored[kFdbStoredSize] = {};
  fdb_path_store(path, stored);
  memcpy(req + MU_PATH, stored, kMuPathSize);
  req[MU_DIR] = getenv("XEXP") ? 0 : MU_TO_NATIVE, req[MU_MODE] = MU_ADD_STOP, req[MU_STRUCT] = '0';
  const bool written = ok;
  if (ok) ok = rt_create(nullptr, path, m1, m2, '1') && mu_init() && mu_xlate(nullptr, req, m1, m2);
  const int top = report(m1, m2);
  if (written && req[MU_DIR] == MU_TO_NATIVE) say_load(lines, file, ok && top < 3);
  FM_SCRATCH(&port, LFB_ANY_DIR | LFB_NO_STRUCT_CHK);
  return ok ? top : std::max(top, 3);
}

// The design files of every version the APPL file lists take the structure
// files of the design dictionary just compiled. False (said) at a fault.
bool record_structures() {
  FDB f;
  KDB k[kInitMaxKeys];
  SDB s[kInitMaxSegs];
  INIT_DAP_FDB(&f, k, s);
  if (!FM_OPEN(&f, com.sys_scope, LFB_NO_STRUCT_CHK | LFB_ANY_DIR, 0x01, 0x0f)) return true;  // none listed
  std::vector<std::string> versions;
  each_record(f.fdb_arb, kApplRecLen,
              [&](const uint8_t* r) { versions.emplace_back(reinterpret_cast<const char*>(r + APPL_AP), 5); });
  FM_CLOSE(f.fdb_arb, 0);
  for (const std::string& v : versions) {
    DesignBuilder b(v.substr(0, 3).c_str(), v.substr(3, 2).c_str(), com.sys_scope);
    if (b.record_structures()) continue;
    fprintf(stderr, "kivo_design: %s %s: %s\n", v.substr(0, 3).c_str(), v.substr(3, 2).c_str(), b.error().c_str());
    return false;
  }
  return true;
}

// The data files of the system-administration application, once its
// dictionary is compiled: each file it describes is created when missing
// (an existing one keeps its records) and has its structure recorded, so
// that the restructure of "0SA" and the bootstrap find every one. The
// highest message class, or -1 when the message files cannot be made.
int install_sysadm_files() {
  FDB f;
  KDB k[kInitMaxKeys];
  SDB s[kInitMaxSegs];
  INIT_DFI_FDB(&f, k, s, "0SA", "00");
  if (!FM_OPEN(&f, com.sys_scope, LFB_NO_STRUCT_CHK | LFB_ANY_DIR, 0x01, 0x0f)) return 0;  // none described
  std::vector<std::string> names;
  each_record(f.fdb_arb, kFileRecSize, [&](const uint8_t* r) {
    // The files the bootstrap creates: disk files whose numbers are not limited.
    if (r[FI_FS_TYPE] == FS_DISK && r[FI_ALLOC] != '1')
      names.emplace_back(reinterpret_cast<const char*>(r + FI_NAME), 8);
  });
  FM_CLOSE(f.fdb_arb, 0);
  ARB *m1, *m2;
  if (!open_messages("0SA", "00", &m1, &m2)) return -1;
  for (const std::string& name : names) {
    FDB_PATH path{};
    INIT_SA_PATH(&path, name.c_str(), PATH_DATA);
    rt_create(nullptr, path, m1, m2, '1');  // a failure is filed, and reported below
  }
  return report(m1, m2);
}

// Each line of a refusal, after the tool's name.
void say_refusal(const std::string& error) {
  std::istringstream lines(error);
  for (std::string l; std::getline(lines, l);) fprintf(stderr, "kivo_design: %s\n", l.c_str());
}

int write_source(const char* path, bool replace, bool check, int* top) {
  std::ifstream in(path);
  if (!in) {
    fprintf(stderr, "kivo_design: cannot read %s\n", path);
    return 0;
  }
  std::stringstream text;
  text << in.rdbuf();
  design_source_result r = design_source_build(text.str(), path, com.sys_scope, nullptr, replace, check, true);
  say_refusal(r.warnings);
  if (!r.ok) say_refusal(r.error);
  if (r.ok && top) {
    const int cls = compile(r.ap, r.ver);
    if (cls < 0) return 0;
    *top = std::max(*top, cls);
    // Versions written before the design dictionary get its structures.
    if (r.ap == "0AD" && !record_structures()) return 0;
    if (r.ap == "0SA" && r.ver == "00") {
      const int made = install_sysadm_files();
      if (made < 0) return 0;
      *top = std::max(*top, made);
    }
  }
  return r.ok;
}

}  // namespace

int main(int argc, char** argv) {
  kivo::os_std_descriptors();  // before anything is opened
  bool replace = false, cmpl = false, check = true;
  int at = 1;
  for (; at < argc; ++at) {
    if (strcmp(argv[at], "-r") == 0) replace = true;
    else if (strcmp(argv[at], "-c") == 0) cmpl = true;
    else if (strcmp(argv[at], "-n") == 0) check = false;
    else break;
  }
  if (argc < at + 3 || strcmp(argv[at], "-d") != 0) return usage();
  static std::string data_dir = argv[at + 1];
  if (!start(data_dir)) {
    fprintf(stderr, "kivo_design: the file manager does not start in %s\n", data_dir.c_str());
    return 1;
  }
  if (strcmp(argv[at + 2], "-l") == 0) {
    if (argc != at + 8) return usage();
    return load_records(argv[at + 3], argv[at + 4], argv[at + 5], argv[at + 6], argv[at + 7]);
  }
  int ok = 1, top = 0;
  for (int i = at + 2; i < argc && ok; ++i) ok = write_source(argv[i], replace, check, cmpl ? &top : nullptr);
  if (!ok) return 1;
  return cmpl ? top : 0;
}
