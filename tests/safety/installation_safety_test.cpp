// No test takes the build's default installation (build/data): people run
// the engine, the demonstration and the utilities there, so a test that
// copied it would fail after they did. Tests copy the installation as the
// build wrote it, kivo_test::shipped_installation().
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

namespace {

TEST(InstallationSafety, NoTestSourceTakesTheDefaultInstallation) {
  // A path built by appending "/data" to a directory: the build's, in every
  // test that ever did so.
  const std::regex takes_data(R"(\+\s*"/data[/".])");
  std::vector<std::string> found;
  const std::filesystem::path tests = std::filesystem::path(KIVO_SOURCE_DIR) / "tests";
  for (const auto& e : std::filesystem::recursive_directory_iterator(tests)) {
    const std::string ext = e.path().extension().string();
    if (ext != ".cpp" && ext != ".h") continue;
    std::ifstream in(e.path());
    int n = 0;
    for (std::string line; std::getline(in, line);)
      if (++n, std::regex_search(line, takes_data)) found.push_back(e.path().string() + ":" + std::to_string(n));
  }
  EXPECT_EQ(found, std::vector<std::string>{}) << "use kivo_test::shipped_installation()";
}

}  // namespace
