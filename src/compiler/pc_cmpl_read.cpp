// The design records a process compile reads beyond those of pc_ctx.cpp:
// PROCESS, FRAME, CHILD and SELECT files opened for one compile, records read
// by key prefix, a file's elements by sequence, and the scan of the
// process's statements for the files an OPEN or CREATE names.
#include <cstring>

#include "compiler/design_records.h"
#include "compiler/em_records.h"
#include "compiler/pc_cmpl.h"
#include "compiler/stmt_view.h"
#include "fm/fm_open.h"
#include "fm/fm_record.h"
#include "fm/fm_status.h"
#include "foundation/bytes.h"
#include "foundation/com.h"
#include "foundation/descriptors.h"

namespace kivo {

namespace {

// The application an operand names; blank is the process's own.
const uint8_t* stmt_ap(const PC_CTX* ctx, const uint8_t* ap) {
  return ap[0] == ' ' || ap[0] == 0 ? reinterpret_cast<const uint8_t*>(ctx->ap) : ap;
}

// Whether the file statement `rec` names file `name` of `ap`: its first
// application and file operands.
bool names_file(const PC_CTX* ctx, const uint8_t* rec, const uint8_t* ap, const uint8_t* name) {
  const uint16_t verb = stmt_view(rec).verb();
  if (verb >= kVerbCount) return false;
  const uint8_t* op = rec + STMT_OPND;
  const uint8_t* sap = nullptr;
  for (const xme_stmt* x = xme_stmt_desc[verb]; x && (x->type || x->rec_len || x->scr_width); ++x) {
    if (x->type == XT_AP && !sap) sap = op + x->rec_off;
    if (x->type == XT_FILE)
      return sap && memcmp(stmt_ap(ctx, sap), ap, 3) == 0 && memcmp(op + x->rec_off, name, 8) == 0;
  }
  return false;
}

bool opens(uint16_t verb) { return verb == VERB_OPEN || verb == VERB_CREATE; }
bool updates(uint16_t verb) {
  return verb == VERB_WRITE || verb == VERB_REWRITE || verb == VERB_DELETE || verb == VERB_SCRATCH;
}

}  // namespace

ARB* pc_open_design(pc_dfdb_init init, const char* ap, const char* ver, uint32_t* stat) {
  FDB fdb;
  KDB kdb[kInitMaxKeys];
  SDB sdb[kInitMaxSegs];
  init(&fdb, kdb, sdb, ap, IS_BOB_AP(ap) ? "00" : ver);
  if (pc_memory_design(ap)) fdb.fdb_fs_type = FS_MEMORY;
  if (FM_OPEN(&fdb, com.mark_scope, LFB_ANY_DIR, 0x01, 0x0f)) return fdb.fdb_arb;
  if (stat) *stat = fdb.fdb_stat;
  return nullptr;
}

pc_dsn_file::pc_dsn_file(PC_CTX* ctx, pc_dfdb_init init) {
  uint32_t stat = 0;
  arb = pc_open_design(init, ctx->ap, ctx->ver, &stat);
  // An application whose design never had records of a kind has no file
  // for them; only a file that is there and does not open is an error.
  absent = !arb && stat == FM_NO_FILE;
  if (!arb && !absent) pc_design_err(ctx, init, ctx->ap, stat);
}
pc_dsn_file::~pc_dsn_file() {
  if (arb) FM_CLOSE(arb, 0);
}

namespace {
uint32_t g_process_reads;
}  // namespace

uint32_t pc_process_reads() { return g_process_reads; }

int pc_read_process(const char* ap, const char* ver, uint8_t type, const char* name, uint8_t* rec, uint32_t* stat) {
  ++g_process_reads;
  uint32_t st = 0;
  ARB* a = pc_open_design(INIT_DPROC_FDB, ap, ver, &st);
  if (!a) {
    if (stat) *stat = st;
    return 0;
  }
  memset(rec, 0, kProcRecSize);
  rec[PR_TYPE] = type, memcpy(rec + PR_NAME, name, 30);
  const int ok = pc_read(a, 0, rec, kProcRecSize);
  if (stat) *stat = ok ? 0 : a->arb_stat;
  FM_CLOSE(a, 0);
  return ok;
}

int pc_each_rec(ARB* arb, const uint8_t* key, size_t prefix, uint16_t len, bool (*f)(void*, const uint8_t*), void* arg,
                uint32_t* failed) {
  uint8_t rec[kFrameRecSize];  // the longest record read this way
  if (failed) *failed = 0;
  if (len > sizeof rec) return 0;
  if (!arb) return 1;
  memcpy(rec, key, len);
  PROTO_FULL(arb, 0, rec);
  arb->arb_len = len, arb->arb_mod = 0;
  bool more = fm_start(arb);
  int ok = 1;
  for (arb->arb_mod = 0; more && (more = fm_rdnxt(arb)) && memcmp(rec, key, prefix) == 0;)
    if (!f(arg, rec)) {
      ok = 0;
      break;
    }
  arb->arb_mod = 0;
  if (!more && pc_read_failed(arb->arb_stat)) {
    if (failed) *failed = arb->arb_stat;
    ok = 0;
  }
  return ok;
}

uint8_t* pc_frame(EM* em, uint32_t no) {
  uint8_t key[CFRM_LEN] = {};
  st_le32(key, CFRM_DESIGN_NO, no);
  return em_read_key(em->em_cfrm_arb, 0, key);
}

uint8_t* pc_child(EM* em, uint32_t no) {
  uint8_t key[CCHLD_LEN] = {};
  st_le32(key, CCHLD_NO, no);
  return em_read_key(em->em_cchld_arb, 0, key);
}

uint8_t pc_stmt_access(PC_CTX* ctx, const uint8_t* ap, const uint8_t* name) {
  // A stream of its own: the statement compile is reading the shared one.
  ARB* a = pc_open_design(INIT_DSTMT_FDB, ctx->ap, ctx->ver);
  if (!a) return kPcAccRead;
  uint8_t key[kStmtSize] = {};
  key[STMT_PROC_TYPE] = ctx->proc_type, memcpy(key + STMT_PROC_NAME, ctx->proc_nam, 30);
  uint8_t access = kPcAccRead;
  // A failed read is the compile's error: the access found so far may be short.
  pc_each_design(ctx, INIT_DSTMT_FDB, ctx->ap, a, key, STMT_FRM_PART, kStmtSize, [&](const uint8_t* rec) {
    const uint16_t verb = stmt_view(rec).verb();
    if ((opens(verb) || updates(verb)) && names_file(ctx, rec, ap, name))
      access = opens(verb) ? kPcAccStmt : kPcAccUpdate;
    return access != kPcAccStmt;
  });
  FM_CLOSE(a, 0);
  return access;
}

}  // namespace kivo
