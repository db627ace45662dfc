// The test programs' main: GoogleTest's, and under CI (CI=true in the environment) a listener
// that fails every skipped test tests/ci-skips.txt doesn't list for this build.
#include <fnmatch.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>

#include "common/ci_skips.h"

namespace fsbmp_test {

std::string listedSkip(const std::string& list, const std::string& build, const std::string& test) {
  std::istringstream lines(list);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string buildPattern, testPattern, reason;
    if (!(fields >> buildPattern >> testPattern) || buildPattern[0] == '#') continue;
    std::getline(fields >> std::ws, reason);
    reason.erase(reason.find_last_not_of(" \t\r") + 1);
    if (!reason.empty() && fnmatch(buildPattern.c_str(), build.c_str(), 0) == 0 &&
        fnmatch(testPattern.c_str(), test.c_str(), 0) == 0)
      return reason;
  }
  return "";
}

}  // namespace fsbmp_test

namespace {

class CiSkips : public ::testing::EmptyTestEventListener {
 public:
  explicit CiSkips(std::string list) : list_(std::move(list)) {}

  // Runs before the result printer's OnTestEnd (listeners end in reverse order), which then
  // prints the test as failed.
  void OnTestEnd(const ::testing::TestInfo& info) override {
    const ::testing::TestResult& result = *info.result();
    if (!result.Skipped()) return;
    const std::string test = std::string(info.test_suite_name()) + "." + info.name();
    const std::string reason = fsbmp_test::listedSkip(list_, FSBMP_TEST_BUILD, test);
    if (!reason.empty()) {
      printf("[ CI SKIP  ] %s: %s\n", test.c_str(), reason.c_str());
      return;
    }
    const char* file = info.file();
    int line = info.line();
    std::string why;
    for (int i = 0; i < result.total_part_count(); ++i) {
      const ::testing::TestPartResult& part = result.GetTestPartResult(i);
      if (!part.skipped()) continue;
      if (part.file_name()) file = part.file_name(), line = part.line_number();
      why = part.message();
      break;
    }
    ADD_FAILURE_AT(file, line) << test << " skipped under CI (" << why
                               << "), and " FSBMP_CI_SKIPS " lists no such skip for the "
                               << FSBMP_TEST_BUILD " build";
  }

 private:
  std::string list_;
};

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  const char* ci = getenv("CI");
  if (ci && strcmp(ci, "true") == 0) {
    std::ifstream in(FSBMP_CI_SKIPS);  // unreadable: no skip is listed
    std::ostringstream list;
    list << in.rdbuf();
    ::testing::UnitTest::GetInstance()->listeners().Append(new CiSkips(list.str()));
  }
  return RUN_ALL_TESTS();
}
