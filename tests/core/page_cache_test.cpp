// What a view says of the page cache: a walk leaves out its read-ahead hints where the blocks it
// would hint are resident already.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/testutil.h"
#include "core/device_view.h"

using namespace fsbmp_test;

// Whether a byte is in the page cache, as the file itself and as a slice of it map it; mincore
// tells what is resident.
TEST(PageCacheTest, CachedAnswersForThePageUnderneath) {
  const long page = sysconf(_SC_PAGESIZE);
  const std::string path = scratchPath("cached.bin");
  writeFile(path, std::vector<unsigned char>(static_cast<size_t>(4 * page), 0x5A));
  CVoFile file;
  ASSERT_GE(file.Open(path.c_str(), O_RDONLY, 0).code, 0);
  std::shared_ptr<fsbmp::DeviceView> whole = std::make_shared<fsbmp::FileView>(&file);
  // No read-ahead on the view's descriptor: a question about a page that is not resident starts
  // a read of that page alone, so each such page is asked about once.
  fdatasync(file.fd());
  posix_fadvise(file.fd(), 0, 0, POSIX_FADV_RANDOM);
  posix_fadvise(file.fd(), 0, 0, POSIX_FADV_DONTNEED);
  std::string buf(static_cast<size_t>(page), '\0');
  ASSERT_EQ(pread(file.fd(), &buf[0], buf.size(), page), page);  // the second page alone
  void* map = mmap(nullptr, static_cast<size_t>(4 * page), PROT_READ, MAP_SHARED, file.fd(), 0);
  ASSERT_NE(map, MAP_FAILED);
  unsigned char resident[4] = {};
  ASSERT_EQ(mincore(map, static_cast<size_t>(4 * page), resident), 0);
  munmap(map, static_cast<size_t>(4 * page));
  if ((resident[0] | resident[2] | resident[3]) & 1)
    GTEST_SKIP() << "the scratch directory's file system keeps pages that were dropped";
  ASSERT_TRUE(resident[1] & 1);
  // Some kernels (and emulators) take no RWF_NOWAIT: the view then never says yes, and walks hint
  // as they would without the question.
  unsigned char byte;
  iovec one = {&byte, 1};
  if (preadv2(file.fd(), &one, 1, page, RWF_NOWAIT) != 1)
    GTEST_SKIP() << "reads that may not wait are refused here: " << strerror(errno);

  fsbmp::ExtentView slice(whole, {{page, 3 * page}});
  // Asking about a page that is not resident starts its read, which may bring in pages next to
  // it: each answer is compared with what mincore says just before, and each question is given
  // time to land before the next.
  const auto residentNow = [&](int64_t fileOffset) {
    if (fileOffset < 0) return false;
    void* m = mmap(nullptr, static_cast<size_t>(4 * page), PROT_READ, MAP_SHARED, file.fd(), 0);
    unsigned char in[4] = {};
    const bool ok = m != MAP_FAILED && mincore(m, static_cast<size_t>(4 * page), in) == 0;
    if (m != MAP_FAILED) munmap(m, static_cast<size_t>(4 * page));
    return ok && (in[fileOffset / page] & 1) != 0;
  };
  struct Case {
    fsbmp::DeviceView* view;
    int64_t offset;
    int64_t fileOffset;  // the file's byte it stands for; -1: none
  };
  const Case cases[] = {
      {whole.get(), page, page},
      {whole.get(), 2 * page - 1, 2 * page - 1},
      {whole.get(), 0, 0},
      {whole.get(), -1, -1},
      {&slice, 0, page},
      {&slice, page, 2 * page},              // the file's third page
      {&slice, 2 * page + 1, 3 * page + 1},  // its fourth
      {&slice, 3 * page, -1},                // past the slice
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.view == whole.get() ? "file" : "slice") + " at " +
                 std::to_string(c.offset));
    const bool expected = residentNow(c.fileOffset);
    EXPECT_EQ(c.view->cached(c.offset), expected);
    if (c.offset == 0 && c.view == whole.get()) {
      EXPECT_FALSE(expected);  // the first page not resident that is asked about
    }
    usleep(20000);
  }
}
