// The executive's pieces through the real engine: each case copies the
// default installation, writes its processes into the demonstration
// application DEM (01, database DEM) with kivo_design, and runs `kivo` on
// them without a terminal, reading what the run left in real files (the
// trace, the data files, the suspend directory, the output).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "../fixtures/kivo_fixture.h"
#include "../screen/term_harness.h"
#include "foundation/bytes.h"
#include "foundation/os.h"

namespace kivo::test {
namespace {

using kivo_test::data_dir;
using kivo_test::env_list;
using kivo_test::shell_quote;
using kivo_test::slurp;

// A copy of the default installation in `d`, with the design source
// `design` (of DEM 01 unless it names another application) written in.
void install(const data_dir& d, const std::string& design) {
  ASSERT_EQ(system(("cp -r " + kivo_test::shipped_installation() + "/. " + shell_quote(d.path)).c_str()), 0);
  if (design.empty()) return;
  std::ofstream(d.file("test.dsgn")) << design;
  const std::string cmd = kivo_test::engine_dir() + "/tools/kivo_design -d " + shell_quote(d.path) + " " +
                          shell_quote(d.file("test.dsgn")) + " >" + shell_quote(d.file("design.out")) + " 2>&1";
  ASSERT_EQ(system(cmd.c_str()), 0) << slurp(d.file("design.out"));
}

struct run_result {
  int status;  // the exit status; -1 when the engine did not exit
  std::string out;
};

// The engine in `d` with `args`, no terminal (standard input /dev/null),
// its standard output and error together; `env` adds variables.
run_result run_kivo(const data_dir& d, const std::string& args, const env_list& env = {}) {
  // The installation's own submit script unless a case names another.
  std::string cmd = "cd " + shell_quote(d.path) +
                    " && env -u KIVO_BG_SCRIPT TERM=xterm KIVOPATH=" + shell_quote(d.path) +
                    " KIVO_0SA_PATH=" + shell_quote(d.path) + " KIVO_SYS_ERR_LOG=" + shell_quote(d.file("syserr"));
  for (const auto& [k, v] : env) cmd += " " + shell_quote(k + "=" + v);
  cmd += " " + shell_quote(KIVO_BINARY) + " " + args + " </dev/null 2>&1";
  run_result r{-1, ""};
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return r;
  char buf[4096];
  for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) r.out.append(buf, n);
  const int st = pclose(p);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return r;
}

// A subroutine of DEM started on the database DEM.
run_result run_subroutine(const data_dir& d, const std::string& name, const env_list& env = {}) {
  return run_kivo(d, "-d=DEM -a=DEM -t=Subroutine " + shell_quote("-p=" + name), env);
}

// How many lines of `text` contain `what`.
size_t lines_with(const std::string& text, const std::string& what) {
  std::istringstream in(text);
  size_t n = 0;
  for (std::string line; std::getline(in, line);) n += line.find(what) != std::string::npos;
  return n;
}

// An 80-column statement line: the T/F prefix, the verb at column 7, each
// text at its column (1-based).
std::string stmt(const char* verb, std::initializer_list<std::pair<size_t, std::string>> at, const char* prefix = "") {
  std::string l = std::string(prefix) + std::string(6 - strlen(prefix), ' ') + verb;
  for (const auto& [col, t] : at) {
    if (l.size() < col - 1 + t.size()) l.resize(col - 1 + t.size(), ' ');
    l.replace(col - 1, t.size(), t);
  }
  return l + "\n";
}
// The statement lines of event point `ep` of a DEM process of type `type`;
// `frame` names the frame of a frame's event point ("0,1").
std::string stmts(int type, const std::string& name, int ep, const std::string& lines, const char* frame = nullptr) {
  return "STMTS " + std::to_string(type) + " \"" + name + "\" ep=" + std::to_string(ep) +
         (frame ? std::string(" frame=") + frame : "") + "\n" + lines + "END\n";
}
// An invocation verb ("SUBR", "JOB") of DEM's process `name` as a
// SUBPROCESS; `chain` ends the invoker ("END? Y").
std::string invoke(const char* verb, const std::string& name, bool chain = false, const char* prefix = "") {
  return stmt(verb, {{16, "DEM"}, {20, name}, {53, "SUBPROCESS"}, {71, chain ? "Y" : "N"}, {79, "0"}}, prefix);
}
std::string set_to(const std::string& field, const std::string& value, const char* prefix = "") {
  return stmt("SET", {{16, "DEM"}, {20, field}, {47, "="}, {54, value}}, prefix);
}
// CUSTOMER: number A6, name A30, balance packed of 5 bytes, then SINCE, a
// day-number date of century to day.
constexpr size_t kSinceAt = 41;
const std::string kWriteCustomer = stmt("WRITE", {{16, "DEM"}, {20, "CUSTOMER"}, {45, "0"}});

// The customers of DEM's CUSTOMER file as "number name" (blanks trimmed),
// in file order.
std::vector<std::string> customers(const data_dir& d) {
  std::vector<std::string> out;
  for (const std::string& r : kivo_test::native_records(d.file("DEM/DEM/Data/CUSTOMER.dat")).records) {
    std::string no = r.substr(0, 6), name = r.substr(6, 30);
    no.erase(no.find_last_not_of(' ') + 1), name.erase(name.find_last_not_of(' ') + 1);
    out.push_back(name.empty() ? no : no + " " + name);
  }
  return out;
}

// Runs DEM's subroutine `name`, which must end normally without a system
// error, and expects the customers `want` after it.
void expect_customers_after(const data_dir& d, const std::string& name, const std::vector<std::string>& want) {
  const run_result r = run_subroutine(d, name);
  EXPECT_EQ(r.status, 0) << name << r.out;
  EXPECT_EQ(customers(d), want) << name;
  EXPECT_EQ(slurp(d.file("syserr")), "") << name;
}

// ---- the activity trace ----

// A DEM subroutine that runs a subroutine of the system application 0SA.
constexpr const char* kTraceDesign = R"(APPLICATION DEM 01
PROCESS 6 "TRACED RUN"
STMTS 6 "TRACED RUN" ep=1
      SUBR     0SA INSTALL                          SUBPROCESS        N       0
      END PROC
END
)";

// The trace holds the application's process either way, and the system
// application's only when KIVO_TRACE_0APPS asks for it.
TEST(ProcessRealPath, SystemApplicationsAreTracedOnlyWhenAsked) {
  data_dir d;
  ASSERT_NO_FATAL_FAILURE(install(d, kTraceDesign));
  const struct {
    const char* name;
    env_list env;
    size_t system_lines;
  } cases[] = {{"unset", {}, 0}, {"set", {{"KIVO_TRACE_0APPS", "1"}}, 2}};
  for (const auto& c : cases) {
    const std::string trace = d.file(std::string("trace.") + c.name);
    env_list env = c.env;
    env.push_back({"KIVO_TRACE_FILE", trace});
    const run_result r = run_subroutine(d, "TRACED RUN", env);
    EXPECT_EQ(r.status, 0) << c.name << r.out;
    const std::string t = slurp(trace);
    // The start and the end of the application's run, numbered as a pair.
    EXPECT_EQ(lines_with(t, "DEM/6/TRACED RUN"), 2u) << c.name << "\n" << t;
    EXPECT_EQ(lines_with(t, "0SA/"), c.system_lines) << c.name << "\n" << t;
  }
}

// ---- the executive ----

// Each process notes, in its End of Process, its name as a customer. The
// ends of a run (2 by a subroutine's end, 3, 4, 25, 19 with the chained
// process's own 2) run it; an automatic query, which ends with 1 as the
// ranking reads its sorted records, does not.
TEST(ProcessRealPath, EndOfProcessRunsAfterTheEndsOfARunOnly) {
  const auto note = [](const char* who) { return set_to("CUST NO", who) + kWriteCustomer; };
  const auto subroutine = [&](const std::string& name, const std::string& start, const char* who) {
    return "PROCESS 6 \"" + name + "\"\n" + (start.empty() ? "" : stmts(6, name, 1, start)) +
           stmts(6, name, 6, note(who));
  };
  data_dir d;
  ASSERT_NO_FATAL_FAILURE(install(d, std::string("APPLICATION DEM 01\n") + subroutine("EOP END", "", "END") +
                                         subroutine("EOP EXIT", stmt("EXIT", {}), "EXIT") +
                                         subroutine("EOP CANCEL", stmt("CANCEL", {{16, "CANCELLED"}}), "CANCEL") +
                                         subroutine("EOP LOGOUT", stmt("LOGOUT", {{24, "N"}}), "LOGOUT") +
                                         subroutine("EOP CHAIN", invoke("SUBR", "EOP CHAINED", true), "CHAIN") +
                                         subroutine("EOP CHAINED", "", "CHAINE") +
                                         stmts(5, "ACCOUNT QUERY", 6, note("QUERY")) +
                                         stmts(3, "ACCOUNT RANKING", 6, note("REPORT"))));
  const struct {
    const char* args;
    int status;
  } runs[] = {{"-t=Subroutine '-p=EOP END'", 0},    {"-t=Subroutine '-p=EOP EXIT'", 0},
              {"-t=Subroutine '-p=EOP CANCEL'", 0}, {"-t=Subroutine '-p=EOP LOGOUT'", 127},
              {"-t=Subroutine '-p=EOP CHAIN'", 0},  {"-t=Output '-p=ACCOUNT RANKING'", 0}};
  for (const auto& r : runs) {
    const run_result got = run_kivo(d, std::string("-d=DEM -a=DEM ") + r.args, {{"KIVO_PRT_FI_DIR", d.path + "/"}});
    EXPECT_EQ(got.status, r.status) << r.args << got.out;
  }
  EXPECT_EQ(customers(d), (std::vector<std::string>{"END", "EXIT", "CANCEL", "LOGOUT", "CHAIN", "CHAINE", "REPORT"}));
  EXPECT_EQ(slurp(d.file("syserr")), "");
}

// A subroutine that invokes itself (unchained) down to level 3: each run
// keeps its own level in a private work field across the run below it and
// notes it afterwards. Runs that shared one block would all note the
// deepest level.
TEST(ProcessRealPath, SelfInvocationGetsABlockOfItsOwn) {
  data_dir d;
  ASSERT_NO_FATAL_FAILURE(install(
      d, "APPLICATION DEM 01\nWORK \"MY LEVEL\" B4\nWORK LEVEL B4 area=4\nPROCESS 6 RECURSE\n" +
             stmts(6, "RECURSE", 1,
                   stmt("COMPUTE", {{16, "DEM"}, {20, "LEVEL"}, {47, "+"}, {54, "1"}}) +
                       stmt("SET", {{16, "DEM"}, {20, "MY LEVEL"}, {47, "="}, {50, "DEM"}, {54, "LEVEL"}}) +
                       stmt("IF", {{16, "DEM"}, {20, "LEVEL"}, {47, "LT"}, {54, "3"}}) +
                       invoke("SUBR", "RECURSE", false, "T") +
                       stmt("CNV TEXT",
                            {{16, "DEM"}, {20, "CUST NO"}, {47, "="}, {50, "DEM"}, {54, "MY LEVEL"}, {79, "0"}}) +
                       set_to("NAME", "RECURSION") + kWriteCustomer)));
  expect_customers_after(d, "RECURSE", {"3 RECURSION", "2 RECURSION", "1 RECURSION"});
}

// A JOB over CUSTOMER, invoked by a subroutine that wrote a customer, reads
// it held and ends; the subroutine's REWRITE then has no record of its own
// held and fails, leaving the customer as written, and never goes through
// the stream the JOB's run closed.
TEST(ProcessRealPath, ChildsHeldRecordIsNotTheInvokersAfterItEnds) {
  data_dir d;
  ASSERT_NO_FATAL_FAILURE(install(
      d, "APPLICATION DEM 01\nPROCESS 6 HOLDER\n" +
             stmts(6, "HOLDER", 1,
                   set_to("CUST NO", "A1") + set_to("NAME", "FIRST") + kWriteCustomer + invoke("JOB", "PCF READER") +
                       set_to("NAME", "CHANGED") + stmt("REWRITE", {{16, "DEM"}, {20, "CUSTOMER"}, {45, "0"}}) +
                       set_to("NAME", "REWRITTEN", "T") + set_to("NAME", "NOT HELD", "F") + set_to("CUST NO", "A2") +
                       kWriteCustomer) +
             "PROCESS 8 \"PCF READER\" pcf_ap=DEM pcf_file=CUSTOMER pcf_update=1\n"
             "FRAME 8 \"PCF READER\" 0 1 enabled=1 kind=0\n"));
  expect_customers_after(d, "HOLDER", {"A1 FIRST", "A2 NOT HELD"});
}

// ---- background runs ----

// The files of the session directory whose names end in `ext`.
std::vector<std::string> session_files(const data_dir& d, const std::string& ext) {
  std::vector<std::string> out;
  for (const auto& e : std::filesystem::directory_iterator(d.file("Sess")))
    if (e.path().extension() == ext) out.push_back(e.path().string());
  return out;
}

// "SUBMIT COPY" asks for the background (its output defaults' flag) and
// invokes the JOB "ACCOUNT COPY", which copies every account of the ledger
// into CUSTOMER.
std::string background_design() {
  return "APPLICATION DEM 01\nPROCESS 6 \"SUBMIT COPY\"\n" +
         stmts(6, "SUBMIT COPY", 1,
               stmt("SET", {{16, "0LA"}, {20, "BACKGROUND"}, {47, "="}, {54, "1"}}) + invoke("JOB", "ACCOUNT COPY")) +
         "PROCESS 8 \"ACCOUNT COPY\" pcf_ap=DEM pcf_file=ACCOUNT\n"
         "FRAME 8 \"ACCOUNT COPY\" 0 1 enabled=1 kind=0\n" +
         stmts(8, "ACCOUNT COPY", 21,
               stmt("SET", {{16, "DEM"}, {20, "CUST NO"}, {47, "="}, {50, "DEM"}, {54, "ACCT NO"}}) +
                   stmt("SET", {{16, "DEM"}, {20, "NAME"}, {47, "="}, {50, "DEM"}, {54, "ACCT NAME"}}) +
                   stmt("SET", {{16, "DEM"}, {20, "BALANCE"}, {47, "="}, {50, "DEM"}, {54, "ACCT BALANCE"}}) +
                   kWriteCustomer,
               "0,1");
}

// With nothing set up, the installation's shipped kivo_submit starts a
// second engine on the suspend file, which runs the JOB (all 50 accounts
// copied), consumes the file and logs its exit status; the submitting
// engine ends at once, normally.
TEST(ProcessRealPath, BackgroundJobRunsThroughTheShippedSubmitScript) {
  data_dir d;
  ASSERT_NO_FATAL_FAILURE(install(d, background_design()));
  ASSERT_EQ(access(d.file("kivo_submit").c_str(), X_OK), 0) << "the installation ships no submit script";
  const run_result r = run_subroutine(d, "SUBMIT COPY");
  EXPECT_EQ(r.status, 0) << r.out;
  std::string log;
  // The job runs detached: its log's last line says when it has ended.
  const bool ended = kivo_test::wait_until(
      [&] {
        const std::vector<std::string> logs = session_files(d, ".log");
        log = logs.size() == 1 ? slurp(logs[0]) : "";
        return log.find("exit status") != std::string::npos;
      },
      2 * kivo_test::kScreenWait);
  ASSERT_TRUE(ended) << "the job did not end; its log: " << log;
  EXPECT_EQ(log, "exit status 0\n");
  EXPECT_TRUE(session_files(d, ".dat").empty()) << "the suspend file stayed";
  const std::vector<std::string> copied = customers(d);
  ASSERT_EQ(copied.size(), 50u);
  EXPECT_EQ(copied.front(), "A00001 ACCOUNT01");
  EXPECT_EQ(copied.back(), "A00050 ACCOUNT50");
  EXPECT_EQ(slurp(d.file("syserr")), "");
}

// A job whose session cannot be resumed ends with status 4 and one line
// that names the session and why: no suspend file, a file that is no
// suspend file, and one damaged after its SESSION record (which stays).
TEST(ProcessRealPath, UnresumableSessionEndsWithOneLineAndAFailure) {
  data_dir d;
  ASSERT_NO_FATAL_FAILURE(install(d, background_design()));
  // A submit script that starts nothing leaves the suspend file to damage.
  std::ofstream(d.file("keep_job")) << "#!/bin/sh\nexit 0\n";
  ASSERT_EQ(chmod(d.file("keep_job").c_str(), 0755), 0);
  ASSERT_EQ(run_subroutine(d, "SUBMIT COPY", {{"KIVO_BG_SCRIPT", "keep_job"}}).status, 0);
  const std::vector<std::string> kept = session_files(d, ".dat");
  ASSERT_EQ(kept.size(), 1u);
  const std::string damaged = std::filesystem::path(kept[0]).stem().string();
  std::string bytes = slurp(kept[0]);
  // The first catalogue record after "SAAS" (trailer, record header, then
  // its kind) says 7 where 0 belongs.
  const size_t saas = bytes.find("SAAS");
  ASSERT_NE(saas, std::string::npos);
  ASSERT_EQ(bytes.substr(saas + 20, 4), std::string(4, '\0'));
  bytes[saas + 20] = 7;
  std::ofstream(kept[0], std::ios::binary) << bytes;
  std::ofstream(d.file("Sess/NOTASUSP.dat")) << "no suspend file";
  const struct {
    std::string session, why;
  } cases[] = {{"NOSUCH00", "no suspend file"},
               {"NOTASUSP", "its suspend file cannot be opened (status 200360)"},
               {damaged, "suspend file damaged, kept (catalogue record of kind 0 expected)"}};
  for (const auto& c : cases) {
    const run_result r = run_kivo(d, "-s=" + c.session);
    EXPECT_EQ(r.status, 4) << c.session;
    EXPECT_EQ(r.out, "KIVO Startup Failure: session " + c.session + " not resumed: " + c.why + "\n") << c.session;
  }
  EXPECT_TRUE(std::filesystem::exists(kept[0]));
}

// ---- typed dates ----

// Date constants through the statement compiler. SET stores a constant in
// SINCE's form (a day-number date of century to day) with SINCE's levels,
// its parts clamped: 2023-02-29 is the 28th, 2024-03 the 1st, month 13
// December. IF compares STAMP (century to hundredths) with constants of
// fewer levels, each a day-number date of its own levels, over the levels
// both carry; each outcome is the name of a customer.
TEST(ProcessRealPath, TypedDatesClampWhenStoredAndComparePartially) {
  const auto customer = [](const char* no, const std::string& since) {
    return set_to("CUST NO", no) + set_to("SINCE", since) + kWriteCustomer;
  };
  const auto compare = [](const char* no, const char* relop, const char* date) {
    return stmt("IF", {{16, "DEM"}, {20, "STAMP"}, {47, relop}, {54, date}}) + set_to("NAME", "T", "T") +
           set_to("NAME", "F", "F") + set_to("CUST NO", no) + kWriteCustomer;
  };
  data_dir d;
  ASSERT_NO_FATAL_FAILURE(
      install(d, "APPLICATION DEM 01\nWORK STAMP D7:8-1\nPROCESS 6 \"TYPED DATES\"\n" +
                     stmts(6, "TYPED DATES", 1,
                           customer("C1", "20230229") + customer("C2", "202403") + customer("C3", "20241315") +
                               set_to("STAMP", "2024031510300000") + set_to("SINCE", "20240315") +
                               compare("C4", "EQ", "20240315") + compare("C5", "EQ", "20240316") +
                               compare("C6", "GT", "2024031509") + compare("C7", "LT", "202404"))));
  const run_result r = run_subroutine(d, "TYPED DATES");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(slurp(d.file("syserr")), "");
  const uint32_t mar15 = ss_day_number(2024, 3, 15);
  const struct {
    const char* who;
    uint32_t since;
  } want[] = {{"C1", ss_day_number(2023, 2, 28)},
              {"C2", ss_day_number(2024, 3, 1)},
              {"C3", ss_day_number(2024, 12, 15)},
              {"C4 T", mar15},
              {"C5 F", mar15},
              {"C6 T", mar15},
              {"C7 T", mar15}};
  const std::vector<std::string> got = customers(d);
  const std::vector<std::string> recs = kivo_test::native_records(d.file("DEM/DEM/Data/CUSTOMER.dat")).records;
  ASSERT_EQ(got.size(), std::size(want));
  for (size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i], want[i].who);
    ASSERT_GE(recs[i].size(), kSinceAt + 4);
    EXPECT_EQ(ld_le32(reinterpret_cast<const uint8_t*>(recs[i].data()), kSinceAt), want[i].since) << want[i].who;
  }
}

}  // namespace
}  // namespace kivo::test
