// Listings of the file manager's bookkeeping (see fm_dump.h). Addresses are
// printed with %p; the control files are read through their second handles,
// so that a listing taken in the middle of an open disturbs no position the
// open relies on.
#include "fm/fm_dump.h"

#include <cstddef>
#include <cstdio>

#include "fm/fm_open.h"
#include "fm/fm_switch.h"
#include "foundation/hex_dump.h"

namespace kivo {

namespace {

FILE* out_for(int to_file, const char* name) { return to_file ? fopen(name, "w") : stderr; }

void done(FILE* out) {
  if (out && out != stderr) fclose(out);
}

void print_name(LFN* l, void* out) {
  const FDB_PATH& p = l->lfn_path;
  fprintf(static_cast<FILE*>(out), "     %.3s (%.3s) %.8s\n", p.fdb_ap, p.fdb_src_ap, p.fdb_name);
}

void print_path_line(FILE* out, const void* addr, const FDB_PATH& p) {
  fprintf(out, "%p %.3s %.2s %.8s %.3s   %.3s %.2s", addr, p.fdb_ap, p.fdb_ver, p.fdb_name, p.fdb_db, p.fdb_src_ap,
          p.fdb_src_ver);
}

void dump_records(ARB* arb) {
  FAD fad{};
  ARB* a = FM_ATTACH(arb, &fad, 0);
  fm_checkstat(a != nullptr, __LINE__, "can't attach sarb");
  if (!a) return;
  STRM* s = arb_strm(a);
  a->arb_mod = ARB_FIRST;
  a->arb_keyno = 0;
  int n = 0;
  if (s->strm_fms->start(a, s))
    while ((a->arb_mod = ARB_LOCATE, s->strm_fms->rdnxt(a, s))) {
      printf("Record number: %04d (%p)\n", ++n, static_cast<void*>(a->arb_rec));
      ut_hex_dump(stdout, a->arb_rec, a->arb_len);
    }
  fm_detach(a);
}

int check_pfb(void* e) {
  auto* p = static_cast<PFB*>(e);
  printf("pfb: %p:\n", e);
  ctl_each_lfn_of(p->pfb_no, print_name, stdout);
  return 1;
}

int check_lfb(void* e) { return dbg_lfb_lst(static_cast<LFB*>(e)); }
int check_sarb(void* e) { return dbg_sarb_lst(static_cast<SARB*>(e)); }
int check_marb(void* e) { return dbg_marb_lst(static_cast<MARB*>(e)); }

void dump_group(FILE* o, const MARB* m) {
  fprintf(o, "\tmarb_scope   = %u\r\n", m->marb_scope);
  fprintf(o, "\tmarb_lfb[0]  = %p\r\n\tmarb_lfb[n]  = %p\r\n", m->marb_lfb.head, m->marb_lfb.tail);
  fprintf(o, "\tmarb_sarb[0] = %p\r\n\tmarb_sarb[n] = %p\r\n", m->marb_sarb.head, m->marb_sarb.tail);
  for (auto* l = static_cast<LFB*>(m->marb_lfb.head); l; l = static_cast<LFB*>(l->lfb_in_marb.next)) {
    fprintf(o, "\tlfb = %p\r\n\t\tlfb_arb = %p\r\n\t\tlfb_pfb = %p\r\n", static_cast<void*>(l),
            static_cast<void*>(l->lfb_arb), static_cast<void*>(l->lfb_pfb));
    fprintf(o, "\t\t\tpfb_fms->pfb_fms_fn_type = %u\r\n", l->lfb_pfb->pfb_fms->pfb_fms_fn_type);
    fprintf(o, "\t\tlfb_lfn = %p\r\n\t\tlfb_strm[0] = %p\r\n\t\tlfb_strm[n] = %p\r\n", static_cast<void*>(l->lfb_lfn),
            l->lfb_strm.head, l->lfb_strm.tail);
  }
}

}  // namespace

void dump_arb(const char* file, ARB* arb) {
  FILE* o = file ? fopen(file, "w") : stderr;
  if (!o) return;
  SARB* s = arb->arb_sarb;
  fprintf(o, "arb = %p\r\narb->arb_sarb = %p\r\n", static_cast<void*>(arb), static_cast<void*>(s));
  fprintf(o, "sarb = %p\r\nsarb_marb = %p\r\n", static_cast<void*>(s), static_cast<void*>(s->sarb_marb));
  dump_group(o, s->sarb_marb);
  fprintf(o, "sarb_cur_strm = %p\r\nsarb_strm[0]  = %p\r\nsarb_strm[n]  = %p\r\n", static_cast<void*>(s->sarb_cur_strm),
          s->sarb_strm.head, s->sarb_strm.tail);
  for (auto* t = static_cast<STRM*>(s->sarb_strm.head); t; t = static_cast<STRM*>(t->strm_in_sarb.next))
    fprintf(o, "\tstrm = %p\r\n\t\tstrm_sarb = %p\r\n\t\tstrm_lfb  = %p\r\n\t\tstrm_fms_path = %p\r\n",
            static_cast<void*>(t), static_cast<void*>(t->strm_sarb), static_cast<void*>(t->strm_lfb), t->strm_fms_path);
  if (o != stderr) fclose(o);
}

void dbg_dump_pfb(int to_file) {
  FILE* out = out_for(to_file, "pfb.out");
  if (!out) return;
  struct ctx {
    FILE* out;
    int n;
  } c{out, 0};
  ctl_each_pfb(
      [](PFB* p, void* v) {
        auto* c = static_cast<ctx*>(v);
        fprintf(c->out, "%03d: %08X (%03d) keys(%d), len(%03d), var(%c) type(%d) org(%d)\n", ++c->n, p->pfb_id32,
                p->pfb_id16, p->pfb_nkeys, p->pfb_rec_len, p->pfb_var ? 'T' : 'F', p->TYPE, p->ORG);
      },
      &c);
  done(out);
}

void dbg_dump_lfn(int to_file) {
  FILE* out = out_for(to_file, "lfn.out");
  if (!out) return;
  struct ctx {
    FILE* out;
    int n;
  } c{out, 0};
  ctl_each_lfn(
      [](LFN* l, void* v) {
        auto* c = static_cast<ctx*>(v);
        const FDB_PATH& p = l->lfn_path;
        fprintf(c->out, "%03d pfb: %p - %.3s %.2s (%.3s %.2s) %.8s %.3s %05u \n", ++c->n,
                static_cast<void*>(l->lfn_pfb), p.fdb_ap, p.fdb_ver, p.fdb_src_ap, p.fdb_src_ver, p.fdb_name, p.fdb_db,
                p.fdb_tmp_id);
      },
      &c);
  done(out);
}

void dbg_dump_lfb(int to_file) { done(out_for(to_file, "lfb.out")); }
void dbg_dump_sarb(int to_file) { done(out_for(to_file, "sarb.out")); }

void dbg_dump_all(int to_file) {
  dbg_dump_pfb(to_file);
  dbg_dump_lfn(to_file);
  dbg_dump_lfb(to_file);
  dbg_dump_sarb(to_file);
}

void dbg_dump_fi(ARB* arb, int records) {
  STRM* s = arb && arb->arb_sarb ? arb_strm(arb) : nullptr;
  if (!s) return;
  PFB* pfb = strm_pfb(s);
  printf("\nPFB: (address %p)\n", static_cast<void*>(pfb));
  printf("     Keys: %d - Variable Length: %s - Record Length: %d\n", pfb->pfb_nkeys, pfb->pfb_var ? "Y" : "N",
         pfb->pfb_rec_len);
  printf("       Logical Names -\n");
  ctl_each_lfn_of(pfb->pfb_no, print_name, stdout);
  if (records) dump_records(arb);
}

void dbg_fm() {
  static const char kPfbHead[] = "PFB      AP/VER FILENAME DB  SRC AP/VER  KEYS  REC LEN  TYPE  ORG";
  static const char kLfbHead[] = "    LFB      AP/VER FILENAME DB  SRC AP/VER  SCOPE  ACC  SHR  OPT";
  for (auto* p = static_cast<PFB*>(fm_pfb_list.head); p; p = static_cast<PFB*>(p->pfb_all.next)) {
    printf("%s\n%.*s\n", kPfbHead, static_cast<int>(sizeof kPfbHead - 1),
           "-------------------------------------"
           "---------------------------------------");
    auto* first = static_cast<LFB*>(p->pfb_lfb.head);
    if (first) print_path_line(stdout, p, first->lfb_lfn->lfn_path);
    else printf("%p Unknown Logical Path Name", static_cast<void*>(p));
    printf("     %02d    %05d    %d     %d\n\n", p->pfb_nkeys, p->pfb_rec_len, p->TYPE, p->ORG);
    for (auto* l = first; l; l = static_cast<LFB*>(l->lfb_in_pfb.next)) {
      printf("%s\n", kLfbHead);
      printf("    ");
      print_path_line(stdout, l, l->lfb_lfn->lfn_path);
      printf("     %05u  %02X   %02X   %02X\n\n", l->lfb_scope, l->lfb_acc, l->lfb_shr, l->lfb_opt);
    }
  }
}

void dbg_fm_short() {
  ctl_each_lfn(
      [](LFN* l, void*) {
        const FDB_PATH& p = l->lfn_path;
        printf("%.3s %.2s %.8s %.3s %05u \n", p.fdb_ap, p.fdb_ver, p.fdb_name, p.fdb_db, p.fdb_tmp_id);
      },
      nullptr);
}

void dbg_pfb_lst() {
  ctl_each_pfb([](PFB* p, void*) { check_pfb(p); }, nullptr);
}

int dbg_lfb_lst(LFB* lfb) { return ut_verify_lst(&lfb->lfb_strm, offsetof(STRM, strm_in_lfb), nullptr, "STRM List"); }

int dbg_sarb_lst(SARB* sarb) {
  return ut_verify_lst(&sarb->sarb_strm, offsetof(STRM, strm_in_sarb), nullptr, "SARB's STRM List");
}

int dbg_marb_lst(MARB* marb) {
  int ok = ut_verify_lst(&marb->marb_lfb, offsetof(LFB, lfb_in_marb), check_lfb, "MARB's LFB List");
  return ut_verify_lst(&marb->marb_sarb, offsetof(SARB, sarb_in_marb), check_sarb, "SARB List") && ok;
}

int dbg_fm_lst() {
  int ok = ut_verify_lst(&fm_pfb_list, offsetof(PFB, pfb_all), check_pfb, "PFB List");
  return ut_verify_lst(&fm_marb_list, offsetof(MARB, marb_all), check_marb, "MARB List") && ok;
}

}  // namespace kivo
