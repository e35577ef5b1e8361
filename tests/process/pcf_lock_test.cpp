// Holds on a native PCF between real engine processes: a read that meets a
// held record, an automatic run that waits for it (granted when the holder
// is killed, or when it gives the record up through "PI_TRX_CTL"), and the
// routine's other requests.
//
// Each process runs the 0DN process PLAIN in a child of the test (its own
// engine process after the fork) and reports one line through a pipe; the
// steps are ordered through pipes, and a wait is seen through the lock
// wait's status notice, never through a sleep.
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "../fixtures/hook_override.h"
#include "line_pipe.h"
#include "pcf_test_util.h"
#include "store/fd_cache.h"
#include "store/lock.h"
#include "store/store.h"

namespace kivo::test {
namespace {

class PcfLockProcesses : public PcfFixture {
 protected:
  void SetUp() override {
    PcfFixture::SetUp();
    make_pcf("PLAIN", {cust("EAST", "ADAMS", "", 5), cust("EAST", "BAKER")}, true);
  }
  void TearDown() override {
    for (pid_t pid : kids_) kill(pid, SIGKILL), waitpid(pid, nullptr, 0);
    PcfFixture::TearDown();
  }
  // A child engine process that runs PLAIN with `body` in its Start of
  // Process and ends.
  pid_t spawn(const std::function<void(PCB*)>& body) {
    const pid_t pid = fork();
    if (pid == 0) {
      fd_cache_after_fork();
      run_in("PLAIN", body);
      _exit(0);
    }
    kids_.push_back(pid);
    return pid;
  }
  // Reads ADAMS by key with hold into the record area.
  static int read_adams(PCB* p) {
    memcpy(rec(p), cust("EAST", "ADAMS").data(), kCustLen);
    return pi_read(p, ARB_EQUAL);
  }
  static std::string result(PCB* p, int ok) {
    return std::to_string(ok) + " " + std::to_string(outcome(p)) + " " + std::to_string(p->pcb_pcf_arb->arb_stat) +
           " " + str(rec(p) + C_LAST, 5) + " " + std::to_string(int32_t(ld_le32(rec(p), C_BAL)));
  }
  // "PI_TRX_CTL" called by name with a request and the PCF's handle.
  static int trx(PCB* p, uint32_t request) {
    size_t n = 0;
    const rt_fn_row* t = int_fns_tbl(&n);
    uint32_t row = 0;
    while (row < n && std::string(t[row].name) != "PI_TRX_CTL") ++row;
    RT_CALL c{};
    c.pcb = p, c.argc = 2;
    uint8_t req[4];
    st_le32(req, 0, request);
    c.args[0] = {1, 5, 4, req};
    c.args[1] = {2, 0, 0, reinterpret_cast<uint8_t*>(p->pcb_pcf_arb)};
    std::string err;
    return row < n ? rt_call_row(row, c, &err) : -1;
  }
  // An automatic run that waits for ADAMS; "waiting" comes through `notice`
  // before its result comes through `out`.
  pid_t waiter(const line_pipe& notice, const line_pipe& out) {
    return spawn([&](PCB* p) {
      g_notice_fd = notice.fd[1];
      lock_wait_notice_ms = 1;
      kivo_test::scoped_hook noticed(store_hooks.lock_status, notice_to_pipe);
      p->invoc.b[INVOC_AUTO_RUN] = 1;
      const int ok = read_adams(p);
      out.send(result(p, ok));
    });
  }
  std::vector<pid_t> kids_;
};

TEST_F(PcfLockProcesses, ReadOfAHeldRecordFailsWithTheRecordInTheArea) {
  line_pipe held, go, out;
  spawn([&](PCB* p) {
    p->invoc.b[INVOC_AUTO_RUN] = 1;
    held.send(std::to_string(read_adams(p)));
    go.receive();
  });
  ASSERT_EQ(held.receive(), "1");
  spawn([&](PCB* p) {
    *pi_input_mode(p) = IM_HOLDING;
    log.clear();
    const int ok = read_adams(p);
    out.send(result(p, ok) + " mode " + std::to_string(*pi_input_mode(p)) + " " + log);
  });
  EXPECT_EQ(out.receive(), "0 32 200530 ADAMS 5 mode 3 PLAIN/3 PLAIN/11 ");
  go.send("end");
}

TEST_F(PcfLockProcesses, AutomaticRunWaitsAndIsGrantedWhenTheHolderIsKilled) {
  line_pipe held, notice, out;
  const pid_t holder = spawn([&](PCB* p) {
    p->invoc.b[INVOC_AUTO_RUN] = 1;
    held.send(std::to_string(read_adams(p)));
    pause();
  });
  ASSERT_EQ(held.receive(), "1");
  waiter(notice, out);
  ASSERT_EQ(notice.receive(), "waiting");
  kill(holder, SIGKILL);
  EXPECT_EQ(out.receive(), "1 0 0 ADAMS 5");
}

TEST_F(PcfLockProcesses, TrxCtlReleasesToAWaiterCommitsAndRefusesOthers) {
  line_pipe held, go, notice, out, trx_out;
  spawn([&](PCB* p) {
    p->invoc.b[INVOC_AUTO_RUN] = 1;
    held.send(std::to_string(read_adams(p)));
    go.receive();
    const int r7 = trx(p, 7), r1 = trx(p, 1), r6 = trx(p, 6);
    trx_out.send(std::to_string(r7) + std::to_string(r1) + std::to_string(r6));
    go.receive();
  });
  ASSERT_EQ(held.receive(), "1");
  waiter(notice, out);
  ASSERT_EQ(notice.receive(), "waiting");
  go.send("release");
  EXPECT_EQ(trx_out.receive(), "110");
  EXPECT_EQ(out.receive(), "1 0 0 ADAMS 5");
  go.send("end");
}

}  // namespace
}  // namespace kivo::test
