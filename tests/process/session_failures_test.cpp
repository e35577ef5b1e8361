// A session under failures it must outlive, between real processes: a
// ranking over a data server on 127.0.0.1, a file-size limit on the engine,
// and design files whose reads fail part-way (preloaded fail_reads: the
// KVTEST_READ_FROM-th read of the file on fails with EIO).
#include <sys/stat.h>

#include "../net/data_server_session.h"
#include "input_test_util.h"

namespace kivo::test {
namespace {

// The prints in `dir`, by name, with their text.
std::vector<std::pair<std::string, std::string>> prints_in(const std::string& dir) {
  std::vector<std::string> names;
  find_files(dir, std::regex("PRTFI.*"), &names);
  std::sort(names.begin(), names.end());
  std::vector<std::pair<std::string, std::string>> out;
  for (const std::string& n : names) out.emplace_back(n, kivo_test::slurp(n));
  return out;
}

// The ranking over accounts sorted by region and balance (a selection, its
// sort work file, its reads by record id) prints over the data server the
// lines it prints on the same files locally.
TEST(SessionFailures, ARankingOverTheDataServerPrintsWhatItPrintsLocally) {
  data_server srv;
  installation here;
  const std::string prt = here.dir.file("prt");
  ASSERT_EQ(mkdir(prt.c_str(), 0755), 0);
  const struct {
    const char* where;
    env_list env;
  } rows[] = {{"locally", {}}, {"over the data server", {{"KIVO_DATA_SERVER", "127.0.0.1:" + srv.lsn->port}}}};
  std::vector<std::string> printed;
  for (const auto& r : rows) {
    SCOPED_TRACE(r.where);
    env_list env = r.env;
    env.push_back({"KIVO_PRT_FI_DIR", prt + "/"});
    engine_proc run(here, {"-d=DEM", "-a=DEM", "-t=Output", "-p=ACCOUNT_RANKING"}, env);
    const std::string said = run.output();
    EXPECT_TRUE(run.exited_with(0)) << said;
    const auto prints = prints_in(prt);
    ASSERT_EQ(prints.size(), 2u) << said;  // the print and its .cfg
    printed.push_back(prints[0].second);
    for (const auto& p : prints) unlink(p.first.c_str());
  }
  EXPECT_EQ(std::count(printed[0].begin(), printed[0].end(), '\n'), 50) << printed[0];
  EXPECT_EQ(printed[1], printed[0]);
}

// Under a file-size limit a write that meets it fails as on a full disk:
// the report fails with its reason and keeps no print; the add is refused
// with the file named and the session goes on; either way the terminal's
// modes are put back and the alternate screen left.
TEST(SessionFailures, AFileSizeLimitFailsAReportAndAnAddAsAFullDiskDoes) {
  const struct {
    const char* what;
    int customers;  // CUSTOMER holds that many (61 bytes each)
    std::string args;
    int status;
    const char* logged;  // the error log's line, then the file it names
    const char* file;
  } rows[] = {
      {"a report's print", 300, "-d=DEM -a=DEM -t=Output -p=CUSTOMER_LIST", 4,
       "the print file is over the file-size limit", ""},
      {"a run of adds", 120, "-d=DEM", 0, "File size limit reached - OUT OF SPACE while writing ",
       "DEM/DEM/Data/CUSTOMER.dat"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    installation in;
    import_customers(in, r.customers);
    ASSERT_EQ(mkdir(in.dir.file("prt").c_str(), 0755), 0);
    // The terminal's modes noted before and after the engine, 8 KB its limit.
    const std::string script = "stty -g >before; (ulimit -f 8; exec " + std::string(KIVO_BINARY) + " " + r.args +
                               "); s=$?; stty -g >after; exit $s";
    env_list env = kivo_test::engine_env(in.dir.path);
    env.push_back({"KIVO_PRT_FI_DIR", in.dir.file("prt") + "/"});
    auto pane = std::make_unique<tmux_pane>("sh -c " + kivo_test::shell_quote(script), in.dir.path, env);
    if (r.status == 0) {  // adds until one is refused; then END twice
      ASSERT_TRUE(customer_entry(*pane)) << pane->capture();
      const auto going = [&] { return syserr(in).empty() && pane->exit_status(0) == -1; };
      for (int no = 7001; no < 7040 && going(); ++no) {
        // Typed, then answered: its fields cleared, or the error logged.
        const auto typed = [&] { return pane->row(5).find("C" + std::to_string(no)) != std::string::npos; };
        pane->send_keys("F10"), type_customer(*pane, "C" + std::to_string(no), "Name");
        kivo_test::wait_until([&] { return typed() || !going(); }, kivo_test::kScreenWait);
        pane->send_hex("\r");
        kivo_test::wait_until([&] { return !typed() || !going(); }, kivo_test::kScreenWait);
      }
    }
    const std::string logged = r.logged + (*r.file ? in.dir.file(r.file) : "");
    EXPECT_TRUE(
        kivo_test::wait_until([&] { return syserr(in).find(logged) != std::string::npos; }, kivo_test::kScreenWait))
        << syserr(in);
    // A notice's or system error's window is left with ENTER; the input process and its
    // menu with END.
    kivo_test::wait_until(
        [&] {
          if (pane->capture().find("to Continue") != std::string::npos) {
            pane->send_hex("\r");
          } else if (r.status == 0) {
            pane->send_keys("S-F1");
          }
          return pane->exit_status(1) != -1;
        },
        kivo_test::kScreenWait);
    EXPECT_EQ(pane->exit_status(), r.status) << pane->capture_history();
    EXPECT_EQ(pane->capture_history().find("end code: 4") != std::string::npos, r.status == 4);
    EXPECT_EQ(prints_in(in.dir.file("prt")).size(), 0u);
    EXPECT_EQ(kivo_test::slurp(in.dir.file("after")), kivo_test::slurp(in.dir.file("before")));
    EXPECT_EQ(pane->display("#{alternate_on}"), "0");
  }
}

// Design files whose reads fail part-way: the change log of an add whose
// ELEMENT reads fail after the write, or whose ELEMENT is gone then (no
// path: the files moved aside while the engine is held at the write),
// leaves the add's answer standing and says once after it that the log was
// lost; a report whose FRAME reads fail
// while it is compiled fails as its first process, names the read's I/O
// error and keeps no print. An add is held at its CUSTOMER.dat write; its
// ELEMENT reads fail from the moment it goes on.
TEST(SessionFailures, DesignReadsThatFailPartWayFailWhatReadsThem) {
  const struct {
    const char* what;
    const char* path;
    const char* from;
    std::string args;
    int status;         // -1: the session goes on
    const char* shown;  // on the message row, or in the session's last lines
    const char* logged;
  } rows[] = {
      {"an add's change log", "Data/ELEMENT.dat", "1", "-d=DEM", -1, "RECORD ADDED",
       "the change log was not kept: the design file ELEMENT of DEM could not be read"},
      {"an add's change log, ELEMENT gone", nullptr, "", "-d=DEM", -1, "RECORD ADDED",
       "the change log was not kept: the design file ELEMENT of DEM is not there"},
      // Failing at the open's checks, inside the compile, and at its last reads.
      {"a report's frames", "DEM/Data/FRAME.dat", "10", "-d=DEM -a=DEM -t=Output -p=CUSTOMER_LIST", 4,
       "design file FRAME of DEM", "Input/output error"},
      {"a report's frames", "DEM/Data/FRAME.dat", "17", "-d=DEM -a=DEM -t=Output -p=CUSTOMER_LIST", 4,
       "design file FRAME of DEM could not be read (", "Input/output error"},
      {"a report's frames", "DEM/Data/FRAME.dat", "30", "-d=DEM -a=DEM -t=Output -p=CUSTOMER_LIST", 4,
       "design file FRAME of DEM could not be read (", "Input/output error"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    installation in;
    import_customers(in, 300);
    ASSERT_EQ(mkdir(in.dir.file("prt").c_str(), 0755), 0);
    env_list env = kivo_test::engine_env(in.dir.path);
    // An add is held at its write; a failing read is armed as it goes on.
    const char* asan = getenv("ASAN_OPTIONS");
    env_list fault = r.status < 0
                         ? gate_env(in.dir, "/CUSTOMER.dat")
                         : env_list{{"LD_PRELOAD", ""},
                                    {"ASAN_OPTIONS", std::string(asan ? asan : "") + ":verify_asan_link_order=0"}};
    if (r.path) {
      fault[0].second += std::string(fault[0].second.empty() ? "" : ":") + FAIL_READS;
      fault.insert(fault.end(), {{"KVTEST_READ_PATH", r.path}, {"KVTEST_READ_FROM", r.from}});
      if (r.status < 0) fault.push_back({"KVTEST_READ_ARM", in.dir.file("go")});
    }
    env.insert(env.end(), fault.begin(), fault.end());
    env.push_back({"KIVO_PRT_FI_DIR", in.dir.file("prt") + "/"});
    auto pane = std::make_unique<tmux_pane>(kivo_test::shell_quote(KIVO_BINARY) + " " + r.args, in.dir.path, env);
    if (r.status < 0) {
      ASSERT_TRUE(customer_entry(*pane)) << pane->capture();
      pane->send_keys("F10"), type_customer(*pane, "C7001", "Name"), pane->send_hex("\r");
      ASSERT_TRUE(held_at_gate(in.dir)) << pane->capture();
      if (!r.path) {
        for (const char* ext : {".dat", ".key"})
          EXPECT_EQ(rename(in.dir.file(std::string("01/DEM/Data/ELEMENT") + ext).c_str(),
                           in.dir.file(std::string("ELEMENT") + ext).c_str()),
                    0);
      }
      gate_open(in.dir);
      EXPECT_TRUE(message_starts(*pane, r.shown)) << pane->capture();
      EXPECT_TRUE(look_up_until(*pane, "C7001", "Name")) << pane->capture();
    } else {
      EXPECT_EQ(pane->exit_status(), r.status) << pane->capture_history();
      EXPECT_NE(kivo_test::squeezed(pane->capture_history()).find(kivo_test::squeezed(r.shown)), std::string::npos)
          << pane->capture_history();
    }
    EXPECT_NE(syserr(in).find(r.logged), std::string::npos) << syserr(in);
    EXPECT_EQ(syserr(in).find("can't locate"), std::string::npos) << syserr(in);
    EXPECT_EQ(prints_in(in.dir.file("prt")).size(), 0u);
  }
}

}  // namespace
}  // namespace kivo::test
