// Every process of the default installation compiles: the module loader is
// asked for each PROCESS record of the shipped designs ("0LA", "0SA" and
// the demonstration "DEM" with its ledger), so that a broken design fails
// the build's tests rather than a user's session.
#include <filesystem>

#include "../fixtures/hook_override.h"
#include "compiler/compiler.h"
#include "compiler/design_records.h"
#include "compiler/pl.h"
#include "design/design.h"
#include "design/design_builder.h"
#include "pc_process_util.h"
#include "process/qp.h"

namespace kivo::test {
namespace {

class DemoLedger : public ProcessFixture {
 protected:
  void SetUp() override {
    ProcessFixture::SetUp();
    const std::string kivo = KIVO_BINARY;
    std::filesystem::copy(kivo.substr(0, kivo.rfind('/')) + "/shipped_data/01", data_ + "/01",
                          std::filesystem::copy_options::recursive);
    dd_init();            // the design routines the ledger's restructure calls by name
    qp_scan_register();   // the routines "SCAN" calls, as the engine's start adds them
    qp_check_register();  // and the one the selection editor calls
  }
  void TearDown() override {
    pl_discard_all();
    ProcessFixture::TearDown();
  }
};

TEST_F(DemoLedger, EveryShippedProcessCompilesThroughTheLoader) {
  const struct {
    const char *ap, *ver;
    size_t at_least;
  } apps[] = {{"0LA", "00", 4}, {"0SA", "00", 1}, {"DEM", "01", 7}};
  std::vector<std::string> names;
  for (const auto& a : apps) {
    SCOPED_TRACE(a.ap);
    const auto procs = records(DF_PROCESS, a.ver, a.ap);
    EXPECT_GE(procs.size(), a.at_least);
    for (const auto& r : procs) {
      const std::string name(reinterpret_cast<const char*>(r.data() + PR_NAME), 30);
      const std::string proc = std::string(1, static_cast<char>('0' + r[PR_TYPE])) + name;
      names.push_back(std::string(a.ap) + " " + proc);
      PCB pcb{};
      name_pcb(&pcb, proc.c_str(), (std::string(a.ap) + a.ver).c_str());
      EXPECT_TRUE(pl_get(&pcb, 1) && pcb.pcb_em) << a.ap << " process " << proc;
      pl_free(pcb.pcb_em);
    }
  }
  // The ledger's own processes are among them.
  for (const char* want :
       {"DEM 1ACCOUNT MENU", "DEM 5ACCOUNT QUERY", "DEM 3ACCOUNT RANKING", "DEM 6ACCOUNT RESTRUCT"}) {
    bool found = false;
    for (const auto& n : names) found = found || n.rfind(want, 0) == 0;
    EXPECT_TRUE(found) << want;
  }
}

}  // namespace
}  // namespace kivo::test
