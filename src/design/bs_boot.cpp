// The bootstrap's driver, its three summary readers and the INITIAL loader.
//
// Each reader opens the summary, reads it to its end and closes it; a
// summary that is missing or malformed is a system error of the reader,
// after which the driver goes on with its next step.
#include "design/bs_boot.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "design/bs_blocks.h"
#include "design/bs_guard.h"
#include "design/bs_raw.h"
#include "design/bs_summary.h"
#include "design/dd.h"
#include "fm/dict_records.h"
#include "fm/fm_open.h"
#include "fm/fm_record.h"
#include "fm/la.h"
#include "foundation/com.h"
#include "foundation/descriptors.h"
#include "foundation/paths.h"
#include "foundation/sys_err.h"

namespace kivo {

namespace {

constexpr char kModule[] = "bs";
// The INITIAL file: created or opened, open at once, any directory, no
// structure file or check. A selected file: created or found, any directory.
constexpr uint32_t kInitCreateOpts = LFB_NO_STRUCT_FILE | LFB_ANY_DIR | LFB_NO_STRUCT_CHK | LFB_OPEN_NEW;
constexpr uint32_t kStructCreateOpts = LFB_ANY_DIR;
static_assert(kInitCreateOpts == 0x1882 && kStructCreateOpts == 0x800);

void put_name(char* dst, size_t width, const char* src) {
  const size_t n = src ? strnlen(src, width) : 0;
  memcpy(dst, src, n);
  memset(dst + n, ' ', width - n);
}

int load_block(const FDB_PATH& summary, bs_block& b) {
  char ap[4], ver[3];
  memcpy(ap, summary.fdb_src_ap, 3), ap[3] = 0;
  memcpy(ver, summary.fdb_src_ver, 2), ver[2] = 0;
  char name[9];
  memcpy(name, b.file.name, 8), name[8] = 0;
  adjust_rec(b.file.init.data(), b.file.init.size(), b.fields.data(), static_cast<int>(b.fields.size()));
  adjust_rec(b.file.nulls.data(), b.file.nulls.size(), b.fields.data(), static_cast<int>(b.fields.size()));
  return upd_init(ap, ver, name, b.file.init.data(), b.file.init.size(), INIT_VALUES) &&
         upd_init(ap, ver, name, b.file.nulls.data(), b.file.nulls.size(), INIT_NULLS);
}

int import_block(const FDB_PATH& target, bs_block& b) {
  if (!bs_imported(b.file, target)) return 1;
  bs_block_fdb n(b.file, target);
  FDB_PATH raw = n.fdb.path;
  raw.fdb_class = PATH_PORTDATA;
  raw_to_native(&raw, &n.fdb, b.fields.data(), static_cast<int>(b.fields.size()));
  return 1;
}

int struct_block(const FDB_PATH& target, bs_block& b) {
  if (!bs_selected(b.file, target)) return 1;
  bs_block_fdb n(b.file, target);
  if (!FM_CREATE(&n.fdb, com.sys_scope, 0, kStructCreateOpts, 0x0f, 0))
    checkstat(n.fdb.fdb_stat, "bs_bld_struct() - bad file create", kModule, __LINE__);
  return 1;
}

// The environment's value of `name`, or null when it is unset.
const char* env(const char* name) { return getenv(name); }

// An identifier from the environment, at most `width` characters; false
// (said on standard error) when it is longer or empty.
bool env_id(const char* var, const char* value, size_t width, char* out) {
  const size_t n = strlen(value);
  if (n == 0 || n > width) {
    fprintf(stderr, "kivo: %s \"%s\" is not 1 to %zu characters\n", var, value, width);
    return false;
  }
  put_name(out, width, value);
  out[width] = 0;
  return true;
}

}  // namespace

void bs_summary_path(FDB_PATH* p, const char* ap) {
  *p = FDB_PATH{};
  INIT_SRC_PATH(p, ap, "00", "SUMMARY", PATH_DATA);
}

void bs_design_target(FDB_PATH* p, const char* ap, const char* ver, const char* name) {
  *p = FDB_PATH{};
  INIT_SRC_PATH(p, ap, ver, name ? name : "", PATH_DATA);
}
void bs_la_target(FDB_PATH* p, const char* name) {
  *p = FDB_PATH{};
  INIT_LA_PATH(p, "00", name ? name : "", PATH_DATA);
}
void bs_sa_target(FDB_PATH* p, const char* name) {
  *p = FDB_PATH{};
  INIT_SA_PATH(p, name ? name : "", PATH_DATA);
}

int bs_load_init(const FDB_PATH* summary) {
  return bs_read_summary(summary, [&](bs_block& b) { return load_block(*summary, b); });
}

int bs_import(const FDB_PATH* summary, const FDB_PATH* target) {
  return bs_read_summary(summary, [&](bs_block& b) { return import_block(*target, b); });
}

int bs_bld_struct(const FDB_PATH* summary, const FDB_PATH* target) {
  return bs_read_summary(summary, [&](bs_block& b) { return struct_block(*target, b); });
}

namespace {

// Deletes every INITIAL record of `name` and `kind` through a stream of its
// own, each delete starting again at the first such record.
bool del_all(ARB* init, const char* name, uint8_t kind) {
  FAD fad{nullptr, nullptr};
  ARB* a = FM_ATTACH(init, &fad, com.sys_scope);
  if (!a) return checkstat(init->arb_stat, "Bad init attach", kModule, __LINE__), false;
  uint8_t rec[kInitRecMax];
  bool ok = true;
  for (;;) {
    memset(rec, 0, INIT_DATA);
    memcpy(rec + INIT_FILE, name, 8);
    rec[INIT_KIND] = kind;
    PROTO_FULL(a, 0, rec);
    a->arb_len = kInitRecMax, a->arb_mod = 0;
    if (!fm_start(a)) break;
    a->arb_mod = ARB_HOLD;
    if (!fm_rdnxt(a)) break;
    a->arb_mod = 0;
    if (memcmp(rec + INIT_FILE, name, 8) != 0 || rec[INIT_KIND] != kind) {
      fm_release(a);
      break;
    }
    if (!fm_del(a)) {
      checkstat(a->arb_stat, "Bad init del_all", kModule, __LINE__);
      fm_release(a);
      ok = false;
      break;
    }
  }
  fm_detach(a);
  return ok;
}

}  // namespace

int upd_init(const char* src_ap, const char* src_ver, const char* name, const uint8_t* image, size_t len,
             uint8_t kind) {
  FDB fdb;
  KDB kdb[kInitMaxKeys];
  SDB sdb[kInitMaxSegs];
  INIT_DINIT_FDB(&fdb, kdb, sdb, src_ap, src_ver);
  if (!FM_CREATE(&fdb, com.sys_scope, 0, kInitCreateOpts, 0x0f, 0)) {
    sys_err(kModule, __LINE__, "upd_init() - can't create INITIAL file");
    return 0;
  }
  ARB* a = fdb.fdb_arb;
  char key[8];
  put_name(key, 8, name);
  int ok = del_all(a, key, kind);
  for (uint32_t c = 1; ok && c <= init_chunk_count(len); ++c) {
    uint8_t rec[kInitRecMax];
    const size_t n = init_chunk(rec, reinterpret_cast<const uint8_t*>(key), kind, c, image, len);
    a->arb_rec = rec, a->arb_len = kInitRecMax, a->arb_var_len = static_cast<uint16_t>(n), a->arb_mod = 0;
    if (!fm_write(a)) {
      checkstat(a->arb_stat, "bad INIT file write", kModule, __LINE__);
      ok = 0;
    }
  }
  FM_CLOSE(a, ARB_CLOSE_NOW);
  return ok;
}

namespace {

// One step of the run: a summary of source `src` (version "00"), its images
// loaded into INITIAL when `load`, its files imported into `target` and
// created once more when `build` (with `needs_load` only once the images
// went in).
struct boot_step {
  const char* src;
  bool load;
  bool build;
  bool needs_load;
  FDB_PATH target;
};

// The steps the environment asks for, in their order; false (said on
// standard error) when KIVO_BOOT_AP or KIVO_BOOT_VER is no identifier.
bool boot_plan(std::vector<boot_step>* plan) {
  FDB_PATH t{};
  if (const char* ap = env("KIVO_BOOT_AP")) {
    char a[4], v[3];
    const char* ver = env("KIVO_BOOT_VER");
    if (!env_id("KIVO_BOOT_AP", ap, 3, a) || !env_id("KIVO_BOOT_VER", ver ? ver : "00", 2, v)) return false;
    bs_design_target(&t, a, v);
    plan->push_back({"0AD", true, true, false, t});
    return true;
  }
  // The design files of each system application; the design dictionary's
  // own images with those of 0AD.
  const struct {
    const char* ap;
    const char* skip_var;
    bool load;
  } design[] = {{"0AD", "NO_0AD", true}, {"0LA", "NO_0LA", false}, {"0DB", "NO_0DB", false}, {"0SA", "NO_0SA", false}};
  for (const auto& d : design) {
    if (env(d.skip_var)) continue;
    bs_design_target(&t, d.ap, "00");
    plan->push_back({"0AD", d.load, true, false, t});
  }
  bs_la_target(&t);
  plan->push_back({"0LA", true, true, true, t});
  plan->push_back({"0DB", true, false, false, FDB_PATH{}});
  bs_sa_target(&t);
  plan->push_back({"0SA", true, true, true, t});
  return true;
}

void run_step(const boot_step& s) {
  FDB_PATH summary;
  bs_summary_path(&summary, s.src);
  const int loaded = s.load ? bs_load_init(&summary) : 1;
  if (!s.build || (s.needs_load && !loaded)) return;
  bs_import(&summary, &s.target);
  bs_bld_struct(&summary, &s.target);
}

// Why the raw file of a block the step imports would stop or upset the
// import; empty when it is whole or absent (the file is created empty).
std::string raw_fault(const boot_step& s, const bs_block& b) {
  if (!bs_imported(b.file, s.target) || b.file.org == ORG_RELATIVE) return {};
  bs_block_fdb n(b.file, s.target);
  FDB_PATH raw = n.fdb.path;
  raw.fdb_class = PATH_PORTDATA;
  const std::string path = raw_os_path(&raw);
  std::unique_ptr<FILE, int (*)(FILE*)> f(fopen(path.c_str(), "rb"), fclose);
  if (!f) return {};
  std::vector<uint8_t> buf(static_cast<size_t>(b.file.rec_len));
  raw_walk walk(f.get(), buf.data(), buf.size(), !b.file.var);
  if (const char* why = walk.start()) return path + ": " + why;
  for (;;) {
    const raw_step r = walk.next();
    if (r.kind == raw_step::END) return {};
    const std::string at = path + ": record " + std::to_string(walk.count()) + ": ";
    if (r.kind == raw_step::FAULT) return at + r.fault;
    if (r.kind == raw_step::WRONG_LEN) return at + "copy_recs() - bad rec len";
  }
}

// The first reason the distribution cannot serve the plan: a summary that
// is missing or does not read whole, or a raw file the import would stop
// in or report. Empty when it is whole.
std::string dist_fault(const std::vector<boot_step>& plan) {
  for (const boot_step& s : plan) {
    const std::string path = dd_summary_path(s.src, "00");
    std::string fault;
    const char* why = nullptr;
    bs_read_summary_quietly(
        path,
        [&](bs_block& b) {
          if (s.build) fault = raw_fault(s, b);
          return fault.empty() ? 1 : 0;
        },
        &why);
    if (why) return path + ": " + why;
    if (!fault.empty()) return fault;
  }
  return {};
}

// The folders the plan writes into and the native files it makes (paths
// without extension), as the summaries give them.
void plan_files(const std::vector<boot_step>& plan, std::vector<std::string>* dirs, std::vector<std::string>* made) {
  std::set<std::string> seen;
  auto add_dir = [&](const FDB_PATH& p) {
    const std::string path = raw_os_path(&p);
    const size_t slash = path.rfind('/');
    if (slash != std::string::npos && seen.insert(path.substr(0, slash)).second) dirs->push_back(path.substr(0, slash));
    return path;
  };
  for (const boot_step& s : plan) {
    if (s.load) {
      FDB_PATH init;
      bs_design_target(&init, s.src, "00", "INITIAL");
      add_dir(init);
    }
    if (!s.build) continue;
    const char* why = nullptr;
    bs_read_summary_quietly(
        dd_summary_path(s.src, "00"),
        [&](bs_block& b) {
          if (!bs_selected(b.file, s.target)) return 1;
          bs_block_fdb n(b.file, s.target);
          FDB_PATH st = n.fdb.path;
          st.fdb_class = PATH_STRUCT;
          add_dir(st);
          made->push_back(add_dir(n.fdb.path));
          return 1;
        },
        &why);
  }
}

}  // namespace

signed char bs_run() {
  std::vector<boot_step> plan;
  if (!boot_plan(&plan)) return kBootFailed;
  // Nothing is created before the whole distribution is known to be there.
  if (const std::string why = dist_fault(plan); !why.empty()) {
    fprintf(stderr, "kivo -b: nothing changed, the distribution is not whole: %s\n", why.c_str());
    return kBootFailed;
  }
  // One run at a time; what an unfinished one made goes before this one
  // starts, and a build already here is left as it is.
  std::vector<std::string> dirs, made;
  plan_files(plan, &dirs, &made);
  bs_guard guard;
  if (std::string why; !guard.begin(bs_root(), dirs, made, &why)) {
    fprintf(stderr, "kivo -b: nothing changed: %s\n", why.c_str());
    return kBootFailed;
  }
  const unsigned errors = sys_err_count();
  for (const boot_step& s : plan) run_step(s);
  if (const unsigned n = sys_err_count() - errors) {
    guard.end(false);
    fprintf(stderr, "kivo -b: %u system error(s): the bootstrap is not complete; the next kivo -b starts it again\n",
            n);
    return kBootFailed;
  }
  guard.end(true);
  return 1;
}

}  // namespace kivo
