// Which skips the CI list admits: by build and test-name pattern, and only with a reason.
#include "common/ci_skips.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(CiSkips, ListedByBuildAndName) {
  const std::string list =
      "# build  test  reason\n"
      "ppc64  PageCache.*  qemu refuses RWF_NOWAIT\n"
      "\n"
      "*  Walk/Layout.Batches/*1k*   needs 4 KiB blocks \n"
      "native  Lone.Test\n"
      "sani*  Lone.Test  sanitized\n";
  struct Case {
    const char* build;
    const char* test;
    const char* reason;
  };
  const Case cases[] = {
      {"ppc64", "PageCache.Cached", "qemu refuses RWF_NOWAIT"},
      {"native", "PageCache.Cached", ""},
      {"ppc64", "PageCacheTest.Cached", ""},
      {"tsan", "Walk/Layout.Batches/ext4_1k", "needs 4 KiB blocks"},
      {"native", "Walk/Layout.Batches/ext4_4k", ""},
      {"native", "Lone.Test", ""},  // no reason given
      {"sanitize", "Lone.Test", "sanitized"},
      {"#", "test", ""},
  };
  for (const Case& c : cases)
    EXPECT_EQ(fsbmp_test::listedSkip(list, c.build, c.test), c.reason) << c.build << " " << c.test;
}

}  // namespace
