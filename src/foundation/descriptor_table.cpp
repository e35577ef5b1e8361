// One initialiser per design file, engine work file and executable-module
// memory file. Keys are written in the notation of the file tables, so that
// each line reads against its table: "0: 4:3 7:2; 1 [9]: 0:2b" is key 0 of a
// 3- and a 2-byte character segment at 4 and 7, then key 1 with flags 9 of
// a 2-byte binary at 0; "(dup)" after a key's segments allows duplicates.
// Every key is ascending, every segment '+', segments numbered from 1.
#include <cassert>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "foundation/descriptors.h"

namespace kivo {

em_native_layout em_layout;

namespace {

const char* skip_blanks(const char* p) {
  while (*p == ' ') ++p;
  return p;
}

unsigned number(const char** p) {
  char* end;
  unsigned long v = strtoul(*p, &end, 10);
  assert(end != *p);
  *p = end;
  return static_cast<unsigned>(v);
}

// Segments "off:len[b|u] ..." (b signed, u unsigned binary) up to ';', '(' or the end, numbered from segno.
// Returns the count; *p is left at the stop character.
int segs_from_notation(const char** p, SDB* sdb, uint16_t segno) {
  int n = 0;
  for (const char* q = skip_blanks(*p); *q && *q != ';' && *q != '('; q = skip_blanks(q)) {
    unsigned off = number(&q);
    assert(*q == ':');
    ++q;
    unsigned len = number(&q);
    uint8_t type = SDB_CHARS;
    if (*q == 'b' || *q == 'u') {
      type = *q == 'b' ? SDB_BINARY : SDB_UBINARY;
      ++q;
    }
    init_sdb_func(&sdb[n], static_cast<uint16_t>(segno + n), static_cast<uint16_t>(off), static_cast<uint16_t>(len),
                  type, '+');
    ++n;
    *p = q;
  }
  *p = skip_blanks(*p);
  return n;
}

// Keys in the tables' notation into consecutive KDBs and SDBs. Returns the
// number of keys.
int keys_from_notation(const char* text, KDB* kdb, SDB* sdb) {
  int nkeys = 0;
  const char* p = skip_blanks(text);
  while (*p) {
    unsigned keyno = number(&p);
    p = skip_blanks(p);
    uint8_t flags = 0;
    if (*p == '[') {
      ++p;
      flags = static_cast<uint8_t>(number(&p));
      assert(*p == ']');
      p = skip_blanks(p + 1);
    }
    assert(*p == ':');
    ++p;
    int nsegs = segs_from_notation(&p, sdb, 1);
    if (strncmp(p, "(dup)", 5) == 0) {
      flags |= KDB_DUP;
      p = skip_blanks(p + 5);
    }
    INIT_KDB(&kdb[nkeys], static_cast<uint8_t>(keyno), '+', flags, sdb, static_cast<uint8_t>(nsegs));
    sdb += nsegs;
    ++nkeys;
    assert(nkeys <= kInitMaxKeys);
    if (*p == ';') p = skip_blanks(p + 1);
  }
  return nkeys;
}

// The non-path part of a descriptor: keys (null = none), type and length.
void fill(FDB* fdb, KDB* kdb, SDB* sdb, uint8_t fs_type, uint16_t rec_len, uint8_t var, const char* keys) {
  int nkeys = keys ? keys_from_notation(keys, kdb, sdb) : 0;
  INIT_FDB(fdb, fs_type, rec_len, var, kdb, static_cast<uint8_t>(nkeys));
}

void sa_file(FDB* fdb, KDB* kdb, SDB* sdb, const char* name, uint16_t rec_len, const char* keys) {
  fill(fdb, kdb, sdb, FS_DISK, rec_len, 0, keys);
  INIT_SA_PATH(&fdb->path, name, PATH_DATA);
}

void src_file(FDB* fdb, KDB* kdb, SDB* sdb, const char* name, const char* ap, const char* ver, uint16_t rec_len,
              uint8_t var, const char* keys) {
  fill(fdb, kdb, sdb, FS_DISK, rec_len, var, keys);
  INIT_SRC_PATH(&fdb->path, ap, ver, name, PATH_DATA);
}

void em_file(FDB* fdb, KDB* kdb, SDB* sdb, const char* tag, uint16_t rec_len, uint8_t var, const char* keys) {
  fill(fdb, kdb, sdb, FS_MEMORY, rec_len, var, keys);
  INIT_UNIQUE_PATH(&fdb->path, "EM", tag, PATH_DATA);
}

void query_file(FDB* fdb, KDB* kdb, SDB* sdb, const char* name, uint32_t tmp_id, uint16_t rec_len, uint8_t var,
                const char* keys) {
  fill(fdb, kdb, sdb, FS_MEMORY, rec_len, var, keys);
  INIT_TMP_PATH(&fdb->path, "0LA", "00", name, tmp_id);
}

constexpr const char* kImageKey = "0: 0:1b 1:30 31:1b 32:4b 36:1b";

}  // namespace

// ---- design and system files ----

void INIT_DAP_FDB(FDB* f, KDB* k, SDB* s) {
  sa_file(f, k, s, "APPL", 324, "0: 4:3 7:2; 1: 0:2 2:2 4:3 (dup); 2: 7:2 4:3");
}
void INIT_DBITMAP_FDB(FDB* f, KDB* k, SDB* s, const char* ap, const char* ver) {
  src_file(f, k, s, "BITMAP", ap, ver, 212, 0, "0: 0:4b 4:4b");
}
void INIT_DCHLD_KDB(KDB* k, SDB* s) { keys_from_notation("0: 0:1b 1:30 31:1b 32:4b 36:1b 37:1b 38:2 40:4b", k, s); }
void INIT_DCHLD_FDB(FDB* f, KDB* k, SDB* s, const char* ap, const char* ver) {
  src_file(f, k, s, "CHILD", ap, ver, 188, 0, nullptr);
  INIT_DCHLD_KDB(k, s);
  f->fdb_nkeys = 1;
  f->fdb_org = fm_fdb.fdb_org;
}
void INIT_DCHR_FDB(FDB* f, KDB* k, SDB* s, const char* ap, const char* ver) {
  src_file(f, k, s, "CHR", ap, ver, 64, 0, "0: 0:1b 1:30 31:1b 32:4b 36:1b 37:3 40:4b 44:4b");
}
void INIT_DDB_FDB(FDB* f, KDB* k, SDB* s) { sa_file(f, k, s, "DATABASE", 424, "0: 0:3"); }
void INIT_DDBXAP_FDB(FDB* f, KDB* k, SDB* s) { sa_file(f, k, s, "DBXAP", 176, "0: 0:3 3:3"); }
void INIT_DDFLTMAP_FDB(FDB* f, KDB* k, SDB* s) { sa_file(f, k, s, "DFLTMAP", 548, "0: 0:10 10:3 13:10 23:1 24:2b"); }
void INIT_DDOM_FDB(FDB* f, KDB* k, SDB* s, const char* ap, const char* ver) {
  src_file(f, k, s, "DOMAIN", ap, ver, 584, 0, "0: 0:1 1:22; 1: 1:22 (dup)");
}
void INIT_DELEM_KDB(KDB* k, SDB* s) {
  keys_from_notation("0: 5:22; 1: 4:1 5:22; 2: 56:8 64:4b (dup); 3: 0:4b (dup)", k, s);
}
void INIT_DELEM_KDB1(KDB* k, SDB* s) { keys_from_notation("4: 68:4b 72:4b", k, s); }
void INIT_DELEM_FDB(FDB* f, KDB* k, SDB* s, const char* ap, const char* ver) {
  src_file(f, k, s, "ELEMENT", ap, ver, 592, 0, nullptr);
  INIT_DELEM_KDB(k, s);
  INIT_DELEM_KDB1(k + 4, s + 6);
  f->fdb_nkeys = 5;
  f->fdb_org = fm_fdb.fdb_org;
}
void INIT_DFI_FDB(FDB* f, KDB* k, SDB* s, const char* ap, const char* ver) {
  src_file(f, k, s, "FILE", ap, ver, 304, 0, "0: 0:8; 1: 100:4b; 2: 104:4b");
}
void INIT_DFLD_KDB(KDB* k, SDB* s) {
  keys_from_notation("0: 5:22; 1: 4:1 5:22; 2: 0:4b (dup); 3: 56:8 64:4b (dup); 4: 27:1b 28:22 (dup)", k, s);
}
void INIT_DFLD_FDB(FDB* f, KDB* k, SDB* s, const char* ap, const char* ver) {
  src_file(f, k, s, "FIELD", ap, ver, 604, 0, nullptr);
  INIT_DFLD_KDB(k, s);
  f->fdb_nkeys = 5;
  f->fdb_org = fm_fdb.fdb_org;
}
void INIT_DFORM_FDB(FDB* f, KDB* k, SDB* s) { sa_file(f, k, s, "FORM", 252, "0: 0:10; 1: 10:80 (dup)"); }
void INIT_DFRM_FDB(FDB* f, KDB* k, SDB* s, const char* ap, const char* ver) {
  src_file(f, k, s, "FRAME", ap, ver, 976, 0, "0: 0:1b 1:30 31:1b 32:4b; 1: 0:1b 1:30 975:1b 32:4b (dup)");
}
void INIT_DINIT_FDB(FDB* f, KDB* k, SDB* s, const char* ap, const char* ver) {
  src_file(f, k, s, "INITIAL", ap, ver, 1013, 1, "0: 0:8 8:1b 9:4b");
}
void INIT_DITM_FDB(FDB* f, KDB* k, SDB* s, const char* ap, const char* ver) {
  src_file(f, k, s, "ITEM", ap, ver, 204, 0, "0: 0:1b 1:30 31:1b 32:4b 36:1b 37:3 40:4b 44:4b");
}
void INIT_DKEYMAP_FDB(FDB* f, KDB* k, SDB* s) { sa_file(f, k, s, "KEYMAP", 548, "0: 0:10 10:3 13:10 23:1 24:2b"); }
void INIT_DPROC_FDB(FDB* f, KDB* k, SDB* s, const char* ap, const char* ver) {
  src_file(f, k, s, "PROCESS", ap, ver, 440, 0, "0: 0:1b 1:30");
}
void INIT_DPROF_FDB(FDB* f, KDB* k, SDB* s) { sa_file(f, k, s, "PROFILE", 1340, "0: 0:30 30:3"); }
void INIT_DPRTR_FDB(FDB* f, KDB* k, SDB* s) { sa_file(f, k, s, "PRINTER", 328, "0: 0:10; 1: 10:80"); }
void INIT_DREC_FDB(FDB* f, KDB* k, SDB* s, const char* ap, const char* ver) {
  src_file(f, k, s, "RECORD", ap, ver, 212, 0, "0: 0:8");
}
void INIT_DXCEPT_FDB(FDB* f, KDB* k, SDB* s, const char* ap, const char* ver) {
  src_file(f, k, s, "EXCEPT", ap, ver, 2196, 0, "0: 0:8 8:22 30:2 32:80 112:3 115:1 116:2b");
}
void INIT_NOTED_FDB(FDB* f, KDB* k, SDB* s, uint8_t fs_type, uint16_t rec_len, uint8_t var, const char* keys) {
  fill(f, k, s, fs_type, rec_len, var, keys);
}
void INIT_DROW_FDB(FDB* f, KDB* k, SDB* s, const char* ap, const char* ver) {
  src_file(f, k, s, "ROW", ap, ver, 296, 1, "0: 0:1b 1:30 31:1b 32:4b 36:1b 37:3 40:4b");
}
void INIT_DSLCT_KDB(KDB* k, SDB* s) {
  keys_from_notation("0: 0:1b 1:30 31:1b 32:4b 36:1b 37:1b 38:2 40:4b 44:4b", k, s);
}
void INIT_DSLCT_FDB(FDB* f, KDB* k, SDB* s, const char* ap, const char* ver) {
  src_file(f, k, s, "SELECT", ap, ver, 144, 0, nullptr);
  INIT_DSLCT_KDB(k, s);
  f->fdb_nkeys = 1;
  f->fdb_org = fm_fdb.fdb_org;
}
void INIT_DSTMT_KDB(KDB* k, SDB* s) {
  keys_from_notation("0: 0:1b 1:30 31:1b 32:4b 36:1b", k, s);
  k->kdb_nsegs = 11;  // INIT_STMT_SDB writes the other six
}
void INIT_STMT_SDB(SDB* s) {
  const char* p = "37:1b 38:2 40:4b 44:1b 45:3 48:4b";
  segs_from_notation(&p, s + 5, 6);
}
void INIT_DSTMT_FDB(FDB* f, KDB* k, SDB* s, const char* ap, const char* ver) {
  src_file(f, k, s, "STMT", ap, ver, 152, 0, nullptr);
  INIT_DSTMT_KDB(k, s);
  INIT_STMT_SDB(s);
  f->fdb_nkeys = 1;
  f->fdb_org = fm_fdb.fdb_org;
}
void INIT_DSYSDFLT_FDB(FDB* f, KDB* k, SDB* s) { sa_file(f, k, s, "SYSDFLT", 572, "0: 0:30 30:2b"); }
void INIT_DSYSDIR_FDB(FDB* f, KDB* k, SDB* s) { sa_file(f, k, s, "SYSDIR", 576, "0: 0:3 3:3 6:2 8:8"); }
void INIT_DSYSPARM_FDB(FDB* f, KDB* k, SDB* s) {
  sa_file(f, k, s, "SYSPARM", 508, nullptr);
  f->fdb_org = ORG_RELATIVE;
}
void INIT_DTOKEN_FDB(FDB* f, KDB* k, SDB* s, const char* ap, const char* ver) {
  src_file(f, k, s, "TOKEN", ap, ver, 60, 0, "0: 0:1b 1:22 23:1 24:4b; 1: 0:1b 1:22 28:30");
}
void INIT_DUSR_FDB(FDB* f, KDB* k, SDB* s) { sa_file(f, k, s, "USER", 436, "0: 0:3; 1: 3:80"); }
void INIT_MSG1_FDB(FDB* f, KDB* k, SDB* s, const char* ap, const char* ver) {
  src_file(f, k, s, "MESSAGE1", ap, ver, 24, 0, "0: 0:3 3:2 5:8");
  f->fdb_fs_type = FS_MEMORY;
}
void INIT_MSG2_FDB(FDB* f, KDB* k, SDB* s, const char* ap, const char* ver) {
  src_file(f, k, s, "MESSAGE2", ap, ver, 556, 0, "0: 0:3 3:2 5:8 13:3 16:4b");
  f->fdb_fs_type = FS_MEMORY;
}
void INIT_DMSG_FDB(FDB* f, KDB* k, SDB* s, const char* lang) {
  fill(f, k, s, FS_DISK, 508, 1, "0: 0:4b");
  INIT_LA_PATH(&f->path, lang, "MESSAGE", PATH_DATA);
}
void INIT_DPARM_FDB(FDB* f, KDB* k, SDB* s, const char* ap, const char* ver) {
  src_file(f, k, s, "PARAM", ap, ver, 232, 0, nullptr);
  f->fdb_org = ORG_RELATIVE;
}
void INIT_DIMG_FDB(FDB* f, KDB* k, SDB* s, const char* ap, const char* ver) {
  src_file(f, k, s, "IMAGE", ap, ver, 228, 0, kImageKey);
}

// ---- engine work files ----

void INIT_ERR_FDB(FDB* f, KDB* k, SDB* s) {
  fill(f, k, s, FS_MEMORY, 1265, 0, nullptr);
  INIT_LA_PATH(&f->path, "00", "ERROR", PATH_DATA);
  f->fdb_org = ORG_RELATIVE;
}
void INIT_ENTRY_FDB(FDB* f, KDB* k, SDB* s) {
  fill(f, k, s, FS_MEMORY, 940, 0, nullptr);
  INIT_LA_PATH(&f->path, "00", "ENTRY", PATH_DATA);
  f->fdb_org = ORG_RELATIVE;
}
void INIT_IFNS_FDB(FDB* f, KDB* k, SDB* s) {
  fill(f, k, s, FS_MEMORY, 32, 0, "0: 0:23");
  INIT_UNIQUE_PATH(&f->path, "II", "  ", PATH_DATA);
  memcpy(f->path.fdb_name, " IFNS   ", 8);
}
void INIT_INST_FDB(FDB* f, KDB* k, SDB* s) {
  fill(f, k, s, FS_MEMORY, 2024, 0, nullptr);
  INIT_UNIQUE_PATH(&f->path, "IN", "IN", PATH_DATA);
}
void INIT_TOC_FDB(FDB* f, KDB* k, SDB* s) {
  fill(f, k, s, FS_MEMORY, 12, 0, nullptr);
  INIT_UNIQUE_PATH(&f->path, "DB", "TC", PATH_DATA);
}
void INIT_QPARM_FDB(FDB* f, KDB* k, SDB* s, uint32_t tmp) { query_file(f, k, s, "QPARM", tmp, 1644, 0, "0: 0:3 3:30"); }
void INIT_QSLCT_FDB(FDB* f, KDB* k, SDB* s, uint32_t tmp) {
  query_file(f, k, s, "QSLCT", tmp, 112, 0, "0: 0:3 3:30 33:1u 34:2 36:4u");
  f->fdb_opt = 1;
}
void INIT_QSORT_FDB(FDB* f, KDB* k, SDB* s, uint32_t tmp) {
  query_file(f, k, s, "QSORT", tmp, 92, 0, "0: 0:3 3:30 33:3 36:4u");
}
void INIT_QTAG_FDB(FDB* f, KDB* k, SDB* s, uint32_t tmp) {
  query_file(f, k, s, "QTAG", tmp, 1064, 1, "0: 0:3 3:30 33:3 36:4u");
}

// ---- the process executive's files ----

void INIT_DHOOK_FDB(FDB* f, KDB* k, SDB* s) {
  sa_file(f, k, s, "HOOK", 82, "0: 0:3 3:2 5:1b 6:30 36:3 39:3; 1: 39:3 (dup)");
}
void INIT_DPROP_FDB(FDB* f, KDB* k, SDB* s) { sa_file(f, k, s, "ATRIBUTE", 406, "0: 0:8 8:128 136:14"); }
void INIT_MHOOK_FDB(FDB* f, KDB* k, SDB* s) {
  fill(f, k, s, FS_MEMORY, 82, 0, "0: 0:3 3:2 5:1b 6:30 36:3 39:3; 1: 39:3 (dup)");
  INIT_UNIQUE_PATH(&f->path, "PI", "HK", PATH_DATA);
}
void INIT_PCB_FDB(FDB* f, KDB* k, SDB* s, uint16_t rec_len) {
  fill(f, k, s, FS_MEMORY, rec_len, 0, "0: 0:4b 4:3 7:2 9:1b 10:30 148:2b 150:1b");
  INIT_UNIQUE_PATH(&f->path, "PI", "PC", PATH_DATA);
}
void INIT_SAA_FDB(FDB* f, KDB* k, SDB* s, uint8_t kind, uint16_t max_len) {
  fill(f, k, s, FS_MEMORY, max_len, 1, "0: 0:4b 8:3 11:2");
  INIT_UNIQUE_PATH(&f->path, "PI", "SA", PATH_DATA);
  snprintf(f->path.fdb_name, sizeof f->path.fdb_name, "SAA%02u", kind);
  memset(f->path.fdb_name + 5, ' ', 3);
}
void INIT_ALOG_FDB(FDB* f, KDB* k, SDB* s) {
  fill(f, k, s, FS_MEMORY, 380, 0, "0: 0:4b 4:4b");
  // As the dictionary describes the file, for "ACTION LOG" to share it.
  s[0].sdb_type = s[1].sdb_type = SDB_UBINARY;
  INIT_LA_PATH(&f->path, "00", "STDALOG", PATH_DATA);
}
void INIT_ALOG_FAMILY_FDB(FDB* f, KDB* k, SDB* s) {
  fill(f, k, s, FS_MEMORY, 72, 0, "0: 0:3 3:1b 4:30");
  INIT_LA_PATH(&f->path, "00", "ALOGFAM", PATH_DATA);
}
void INIT_ALOG_ID_FDB(FDB* f, KDB* k, SDB* s) {
  fill(f, k, s, FS_MEMORY, 4, 0, nullptr);
  INIT_LA_PATH(&f->path, "00", "ALOGID", PATH_DATA);
  f->fdb_org = ORG_RELATIVE;
}
void INIT_STF_FDB(FDB* f, KDB* k, SDB* s) {
  fill(f, k, s, FS_MEMORY, 72, 0, "0: 4:3 7:2 9:8 17:3 20:3 23:2 25:1b");
  INIT_UNIQUE_PATH(&f->path, "PI", "ST", PATH_DATA);
}
void INIT_CDB_FDB(FDB* f, KDB* k, SDB* s) {
  fill(f, k, s, FS_MEMORY, 6, 0, "0: 0:1");
  INIT_UNIQUE_PATH(&f->path, "PI", "CD", PATH_DATA);
}
void INIT_PROP_CACHE_FDB(FDB* f, KDB* k, SDB* s, uint16_t rec_len) {
  fill(f, k, s, FS_MEMORY, rec_len, 0, "0: 0:3 3:2 5:3; 1: 8:4b (dup)");
  INIT_UNIQUE_PATH(&f->path, "PI", "PR", PATH_DATA);
}

// ---- executable-module memory files ----

void em_cache_fdb(FDB* f, KDB* k, SDB* s) {
  em_file(f, k, s, "CA", 1348, 0, "0 [8]: 13:1b 8:3 11:2 14:30 44:3; 1 [9]: 48:1b");
}
void em_cap_fdb(FDB* f, KDB* k, SDB* s) { em_file(f, k, s, "AP", 124, 0, "0 [8]: 0:3"); }
void em_cchld_fdb(FDB* f, KDB* k, SDB* s) {
  em_file(f, k, s, "CL", 176, 0, "0 [8]: 0:4b; 1 [9]: 4:4b 8:4b; 2 [9]: 12:4b 16:1b; 3 [9]: 4:4b 12:4b 62:4");
}
void em_cchr_fdb(FDB* f, KDB* k, SDB* s) {
  em_file(f, k, s, "CR", 40, 0, "0 [8]: 0:4b 4:4b 8:4b; 1 [9]: 0:4b 28:4b 32:4b");
}
void em_cdlu_fdb(FDB* f, KDB* k, SDB* s) { em_file(f, k, s, "DL", 24, 0, "0 [8]: 0:2b"); }
void em_cfi_fdb(FDB* f, KDB* k, SDB* s) {
  em_file(f, k, s, "FI", 160, 0, "0 [8]: 4:3 9:8; 1 [8]: 72:2b; 2 [8]: 4:3 92:4b; 3 [8]: 4:3 96:4b");
}
void em_cfld_fdb(FDB* f, KDB* k, SDB* s) {
  em_file(f, k, s, "FL", 88, 0, "0 [8]: 0:3 3:22; 1 [9]: 0:3 36:4b; 2 [9]: 0:3 36:4b 44:1b; 3 [9]: 0:3 36:4b 40:2b");
}
void em_cfrm_fdb(FDB* f, KDB* k, SDB* s) {
  em_file(f, k, s, "FR", 140, 0, "0 [8]: 8:4b; 1 [8]: 0:1b 4:4b; 2 [8]: 0:1b 73:3 76:22 98:2b 4:4b");
}
void em_cimg_fdb(FDB* f, KDB* k, SDB* s) { em_file(f, k, s, "IM", 200, 0, "0 [8]: 144:4b; 1 [8]: 0:4b 4:1b"); }
void em_citm_fdb(FDB* f, KDB* k, SDB* s) {
  const em_native_layout& l = em_layout;
  char keys[200];
  snprintf(keys, sizeof keys,
           "0 [8]: 0:4b 4:4b 8:4b; 1 [8]: 0:4b %u:3 %u:22 %u:2b 4:4b 8:4b; 2 [9]: %u:4b %u:3; 3 [9]: 0:4b %u:2b",
           l.citm_ap_off, l.citm_fld_off, l.citm_occ_off, l.citm_elem_off, l.citm_ap_off, l.citm_itemno_off);
  em_file(f, k, s, "IT", l.citm_len, 0, keys);
}
void em_clib_fdb(FDB* f, KDB* k, SDB* s) { em_file(f, k, s, "LI", 48, 0, "0 [8]: 36:4b; 1 [8]: 0:3 3:30"); }
void em_cnst_fdb(FDB* f, KDB* k, SDB* s) { em_file(f, k, s, "CN", 32767, 1, nullptr); }
void em_cnv_fdb(FDB* f, KDB* k, SDB* s) { em_file(f, k, s, "CV", em_layout.cnv_len, 1, nullptr); }
void em_ctoken_fdb(FDB* f, KDB* k, SDB* s) { em_file(f, k, s, "CT", 28, 0, "0: 0:3 3:1b 4:22"); }
void em_dlf_fdb(FDB* f, KDB* k, SDB* s) { em_file(f, k, s, "LF", 28, 0, "0 [8]: 0:1b 1:3 4:4b 20:1b 8:4b"); }
void em_em_qslct_fdb(FDB* f, KDB* k, SDB* s) { em_file(f, k, s, "QL", 112, 0, nullptr); }
void em_em_qsort_fdb(FDB* f, KDB* k, SDB* s) { em_file(f, k, s, "QO", 92, 0, nullptr); }
void em_kdb_fdb(FDB* f, KDB* k, SDB* s) { em_file(f, k, s, "KD", 2024, 1, nullptr); }
void em_pcf_key_fdb(FDB* f, KDB* k, SDB* s) { em_file(f, k, s, "PK", 8, 0, "0 [2]: 0:2b 2:2b"); }
void em_recurse_fdb(FDB* f, KDB* k, SDB* s) { em_file(f, k, s, "RC", 40, 0, "0 [8]: 0:3 3:30"); }
void em_scan_bud_fdb(FDB* f, KDB* k, SDB* s) { em_file(f, k, s, "SB", 4, 1, nullptr); }
void em_scan_fdb(FDB* f, KDB* k, SDB* s) { em_file(f, k, s, "SC", 12, 0, "0 [8]: 0:2b 2:1b 4:4b; 1 [9]: 0:2b 8:1b"); }
void em_sdb_fdb(FDB* f, KDB* k, SDB* s) { em_file(f, k, s, "SD", 2024, 1, nullptr); }
void em_sum_ref_fdb(FDB* f, KDB* k, SDB* s) {
  em_file(f, k, s, "SR", 24, 0, "0 [8]: 4:4b 8:2b; 1 [8]: 11:3 16:4b 20:4b");
}
void em_toc_fdb(FDB* f, KDB* k, SDB* s) { em_file(f, k, s, "TO", 12, 0, nullptr); }
void em_trap_fdb(FDB* f, KDB* k, SDB* s) { em_file(f, k, s, "TP", 12, 0, nullptr); }

}  // namespace kivo
