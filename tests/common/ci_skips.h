// Skips a CI machine is known to need, as tests/ci-skips.txt lists them. Under CI (CI=true in the
// environment) the test programs' main (main.cpp) fails every other skipped test: there a skip
// means a tool, a package or a permission went missing, and the checks behind it did not run.
#ifndef FSBMP_TESTS_CI_SKIPS_H
#define FSBMP_TESTS_CI_SKIPS_H

#include <string>

namespace fsbmp_test {

// The reason `list` gives for skipping `test` ("Suite.Name", as GoogleTest names it) in the build
// `build` (native, sanitize, tsan, ppc64), or "" when it gives none. A line of the list is
// BUILD TEST REASON..., BUILD and TEST being fnmatch patterns; `#` starts a comment line, and a
// line without a reason lists nothing.
std::string listedSkip(const std::string& list, const std::string& build, const std::string& test);

}  // namespace fsbmp_test

#endif
