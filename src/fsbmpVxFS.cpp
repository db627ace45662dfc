// VxFS. The parser reads the device only to find the superblock magic at byte 8192; everything
// else it asks of fsdb, the VxFS file-system debugger, which runs as a child process with a
// pseudo-terminal as its standard input and output and a pipe as its standard error. fsdb prints
// the superblock, the structural fileset's inodes and where their data lies; blocks come back as
// hexadecimal dumps. The allocation-unit states (IFEAU) and the per-group block maps (IFEMP)
// give the used blocks.
#include "fsbmp/fsbmpVxFS.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <initializer_list>
#include <vector>

#include "chunks.h"
#include "device.h"
#include "fsbmpVxFSText.h"

static const char kFile[] = "fsbmpVxFS";
#define HERE JX_LOCATION(kFile)

using fsbmp::vxfs::findToken;
using fsbmp::vxfs::leadingDigits;
using fsbmp::vxfs::toInt;

namespace {

const int kSuperblockOffset = 8192;
const unsigned char kMagic[4] = {0xa5, 0x01, 0xfc, 0xf5};
const int kDefaultAuBlocks = 32768;

// A map group: 2048 blocks, described by the first 256 bytes of a 512-byte IFEMP record.
const int kGroupBlocks = 2048;
const int kMapRecordBytes = 512;
const int kMapBytes = 256;

const int kMinBlockSize = 512;
const int kMaxBlockSize = 65536;
// Largest file system whose bitmap still fits 2^32 - 1 chunks at the largest chunk size (2^30).
const long long kMaxFsBytes = static_cast<long long>(UINT32_MAX) << 30;

const int kAnswerTimeLimit = 60;  // seconds for one exchange with fsdb
const char kPrompt[] = "> ";

const char kFixedFsdb[] = "/opt/VRTS/bin/fsdb";

// ---- Starting fsdb -------------------------------------------------------------------------

// Opens the master side of a pseudo-terminal: /dev/ptmx first, then the legacy BSD devices.
// Returns the master (close-on-exec) and the slave's path, or -1 with errno of the last open.
int openPseudoTerminal(std::string* slavePath) {
  int fd = open("/dev/ptmx", O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd >= 0) {
    char name[128];
    if (grantpt(fd) >= 0 && unlockpt(fd) >= 0 && ptsname_r(fd, name, sizeof name) == 0) {
      *slavePath = name;
      return fd;
    }
    close(fd);
  }
  char legacy[] = "/dev/ptyXX";
  for (const char* letter = "pqrstuvwxyzPQRST"; *letter; ++letter) {
    legacy[8] = *letter;
    for (const char* digit = "0123456789abcdef"; *digit; ++digit) {
      legacy[9] = *digit;
      fd = open(legacy, O_RDWR | O_CLOEXEC);
      if (fd >= 0) {
        legacy[5] = 't';
        *slavePath = legacy;
        return fd;
      }
    }
  }
  return -1;
}

// Everything the child needs, made before fork so that the child allocates nothing.
struct ChildPlan {
  const char* slavePath;
  int master;
  int pipeRead;
  int pipeWrite;
  const char* fixedArgv[3];        // /opt/VRTS/bin/fsdb DEVICE
  const char* searchArgv[5];       // fsdb -F vxfs DEVICE
  std::vector<const char*> paths;  // "DIR/fsdb" for every directory of the search path
};

// The candidates that a search-path exec of "fsdb" tries, in order.
std::vector<std::string> fsdbCandidates() {
  const char* path = getenv("PATH");
  std::string dirs = path ? path : "/bin:/usr/bin";
  std::vector<std::string> out;
  size_t start = 0;
  for (;;) {
    size_t end = dirs.find(':', start);
    std::string dir =
        dirs.substr(start, end == std::string::npos ? std::string::npos : end - start);
    out.push_back(dir.empty() ? "fsdb" : dir + "/fsdb");
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return out;
}

// Writes the parts as one message on standard error; async-signal-safe.
void childComplain(std::initializer_list<const char*> parts) {
  char line[1024];
  size_t n = 0;
  for (const char* part : parts) {
    for (; part && *part && n < sizeof line; ++part) line[n++] = *part;
  }
  ssize_t ignored = write(2, line, n);
  (void)ignored;
}

// The system's text for an error number, without touching the heap or the locale.
const char* errnoText(int e) {
  const char* text = strerrordesc_np(e);
  return text ? text : "Unknown error";
}

// Moves a descriptor above the standard ones so that setting up 0, 1 and 2 cannot clobber it.
int aboveStandard(int fd) {
  if (fd > 2) return fd;
  return fcntl(fd, F_DUPFD_CLOEXEC, 3);
}

// The child between fork and exec: only async-signal-safe calls from here on.
[[noreturn]] void runChild(const ChildPlan& plan) {
  setsid();
  const int master = aboveStandard(plan.master);
  const int pipeRead = aboveStandard(plan.pipeRead);
  const int pipeWrite = aboveStandard(plan.pipeWrite);
  // Each call takes the lowest free descriptor: the slave becomes 0 and 1, the pipe 2. A failed
  // open shows up in the controlling-terminal request below.
  close(0);
  int taken = open(plan.slavePath, O_RDWR);
  close(1);
  taken = dup(0);
  close(2);
  taken = dup(pipeWrite);
  (void)taken;
  close(pipeRead);
  close(pipeWrite);
  close(master);
  if (ioctl(0, TIOCSCTTY, 0) < 0) {
    childComplain({"Unable to setup slave pseudo-terminal node:\n", errnoText(errno), "\n"});
    _exit(1);
  }
  struct termios modes;
  if (tcgetattr(0, &modes) < 0) {
    childComplain({"Couldn't query pseudo-terminal's configuration: ", errnoText(errno), "\n"});
    _exit(1);
  }
  modes.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  if (tcsetattr(0, TCSAFLUSH, &modes) < 0) {
    childComplain({"Couldn't turn off pseudo-terminal's echo: ", errnoText(errno), "\n"});
    _exit(1);
  }
  struct stat st;
  const char* program;
  if (stat(kFixedFsdb, &st) == 0) {
    program = kFixedFsdb;
    execv(kFixedFsdb, const_cast<char* const*>(plan.fixedArgv));
  } else {
    // What execlp("fsdb", ...) does: try every directory of the search path in turn.
    program = "fsdb";
    bool denied = false;
    for (const char* candidate : plan.paths) {
      execv(candidate, const_cast<char* const*>(plan.searchArgv));
      if (errno == EACCES) {
        denied = true;
      } else if (errno != ENOENT && errno != ENOTDIR && errno != ENODEV && errno != ESTALE &&
                 errno != ETIMEDOUT) {
        break;
      }
    }
    if (denied && (errno == ENOENT || errno == ENOTDIR)) errno = EACCES;
  }
  childComplain({"Couldn't spawn ", program, ": ", errnoText(errno), "\n"});
  _exit(1);
}

// Pieces of the answer text as numbers.
long long deviceBlock(const std::string& exSt, const std::string& offset, int blockSize) {
  const long long start = leadingDigits(exSt);
  const long long within = leadingDigits(offset) / blockSize;
  return start > LLONG_MAX - within ? LLONG_MAX : start + within;
}

}  // namespace

FsParserVxFS::FsParserVxFS(const std::string& dev, CVoError* err)
    : FsParser(dev),
      fsdbFd(-1),
      fsdbErrFd(-1),
      fsdbMaxFd(-1),
      ifeauIno(-1),
      ifempIno(-1),
      auBlocks(kDefaultAuBlocks),
      auCnt(0),
      auFree(nullptr) {
  fsType = kVxFS;
  *err = init(devPath);
}

FsParserVxFS::~FsParserVxFS() {
  if (fsdbFd >= 0) close(fsdbFd);
  if (fsdbErrFd >= 0) close(fsdbErrFd);
  free(auFree);
}

CVoError FsParserVxFS::startFSDB(const JxCodeLocation& where, const std::string& dev) {
  ChildPlan plan;
  std::string slavePath;
  fsdbFd = openPseudoTerminal(&slavePath);
  if (fsdbFd < 0)
    return JxErrorUtil::ErrorErrNo(where, errno,
                                   "Couldn't setup a pseudo-terminal to run VxFS fsdb");

  int pipeEnds[2];
  if (pipe2(pipeEnds, O_CLOEXEC) < 0)
    return JxErrorUtil::ErrorErrNo(where, errno, "Couldn't create pipes to run VxFS fsdb");

  const std::vector<std::string> candidates = fsdbCandidates();
  plan.slavePath = slavePath.c_str();
  plan.master = fsdbFd;
  plan.pipeRead = pipeEnds[0];
  plan.pipeWrite = pipeEnds[1];
  plan.fixedArgv[0] = kFixedFsdb;
  plan.fixedArgv[1] = dev.c_str();
  plan.fixedArgv[2] = nullptr;
  plan.searchArgv[0] = "fsdb";
  plan.searchArgv[1] = "-F";
  plan.searchArgv[2] = "vxfs";
  plan.searchArgv[3] = dev.c_str();
  plan.searchArgv[4] = nullptr;
  for (const std::string& c : candidates) plan.paths.push_back(c.c_str());

  const pid_t pid = fork();
  if (pid < 0) {
    CVoError err = JxErrorUtil::ErrorErrNo(where, errno, "Couldn't fork VxFS fsdb");
    close(pipeEnds[0]);
    close(pipeEnds[1]);
    return err;
  }
  if (pid == 0) runChild(plan);

  fsdbErrFd = pipeEnds[0];
  close(pipeEnds[1]);
  fsdbMaxFd = fsdbFd > fsdbErrFd ? fsdbFd : fsdbErrFd;
  return CVoError();
}

CVoError FsParserVxFS::talkToFSDB(const std::string& cmd, std::string* answer) {
  const char* cursor = cmd.data();
  int32_t toSend = static_cast<int32_t>(cmd.size());
  std::string errorText;
  CVoError pending;
  char buf[4096];
  answer->clear();

  const time_t start = time(nullptr);
  for (;;) {
    const time_t now = time(nullptr);
    if (now > start + kAnswerTimeLimit - 1) break;
    if (fsdbFd < 0 && fsdbErrFd < 0) break;
    const size_t prompt = answer->find(kPrompt);
    if (prompt != std::string::npos) {
      answer->resize(prompt);
      return CVoError();
    }

    VoFdset readSet;
    VoFdset writeSet;
    if (fsdbFd >= 0) {
      if (toSend > 0) writeSet.set(fsdbFd);
      readSet.set(fsdbFd);
    }
    if (fsdbErrFd >= 0) readSet.set(fsdbErrFd);
    struct timeval timeout;
    timeout.tv_sec = start + kAnswerTimeLimit - now;
    timeout.tv_usec = 0;
    const int ready =
        select(fsdbMaxFd + 1, readSet.get_fdsetp(), writeSet.get_fdsetp(), nullptr, &timeout);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return JxErrorUtil::ErrorErrNo(HERE, errno, "Couldn't wait for VxFS fsdb's response");
    }
    if (ready == 0) break;

    if (fsdbFd >= 0) {
      bool failed = false;
      if (writeSet.is_set(fsdbFd)) {
        const ssize_t n = write(fsdbFd, cursor, static_cast<size_t>(toSend));
        if (n > 0) {
          cursor += n;
          toSend -= static_cast<int32_t>(n);
        } else if (n < 0 && errno != EINTR) {
          pending = JxErrorUtil::ErrorErrNo(HERE, errno, "Couldn't send command to VxFS fsdb");
          close(fsdbFd);
          fsdbFd = -1;
          failed = true;
        }
      }
      if (!failed && readSet.is_set(fsdbFd)) {
        const ssize_t n = read(fsdbFd, buf, sizeof buf);
        if (n > 0) {
          answer->append(buf, static_cast<size_t>(n));
        } else if (n == 0) {
          pending = JxErrorUtil::ErrorInt(HERE, 1, "Unexpected EOF from VxFS fsdb");
          close(fsdbFd);
          fsdbFd = -1;
        } else if (errno != EINTR) {
          pending =
              JxErrorUtil::ErrorErrNo(HERE, errno, "Couldn't get command response from VxFS fsdb");
          close(fsdbFd);
          fsdbFd = -1;
        }
      }
    }

    if (fsdbErrFd >= 0 && readSet.is_set(fsdbErrFd)) {
      const ssize_t n = read(fsdbErrFd, buf, 1024);
      if (n > 0) {
        errorText.append(buf, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        if (n < 0)
          pending =
              JxErrorUtil::ErrorErrNo(HERE, errno, "Couldn't get error message from VxFS fsdb");
        close(fsdbErrFd);
        fsdbErrFd = -1;
        if (fsdbFd >= 0) close(fsdbFd);
        fsdbFd = -1;
      }
    }
  }

  if (!errorText.empty())
    return JxErrorUtil::ErrorInt(HERE, 1, "VxFS fsdb returned error: %s", errorText.c_str());
  if (pending.code < 0) return pending;
  return JxErrorUtil::ErrorInt(HERE, 1, "Timedout waiting for VxFS fsdb's response");
}

CVoError FsParserVxFS::readBlock(long long block, void* buf) {
  char cmd[64];
  snprintf(cmd, sizeof cmd, "%lldb.p%dxB\n", block, blockSize);
  std::string answer;
  CVoError err = talkToFSDB(cmd, &answer);
  if (err.code < 0) return err.Push(HERE, "Couldn't read block %lld", block);
  switch (fsbmp::vxfs::decodeHexDump(answer.c_str(), static_cast<unsigned char*>(buf), blockSize)) {
    case fsbmp::vxfs::kDumpOk:
      return CVoError();
    case fsbmp::vxfs::kDumpCorrupt:
      return JxErrorUtil::ErrorInt(
          HERE, 1, "Couldn't read block %lld from VxFS fsdb: corrupt output", block);
    case fsbmp::vxfs::kDumpWrongSize:
    default:
      return JxErrorUtil::ErrorInt(
          HERE, 1, "Couldn't read block %lld from VxFS fsdb: incorrect number of bytes received",
          block);
  }
}

CVoError FsParserVxFS::init(const std::string& dev) {
  // The magic, from the device's own bytes: the second 8 KiB begin with the superblock. Only
  // bytes that were read count, so a device too short to hold the magic has none.
  {
    MbBuffer sb(kSuperblockOffset);
    CVoFile file;
    CVoError err = file.Open(dev.c_str(), fsbmp::kDeviceOpenFlags, fsbmp::kDeviceOpenMode);
    if (err.code < 0) return err.Push(HERE, "Couldn't open %s for reading", dev.c_str());
    uint32_t first = 0;
    uint32_t second = 0;
    err = file.Read(sb.data, kSuperblockOffset, &first);
    if (err.code >= 0) err = file.Read(sb.data, kSuperblockOffset, &second);
    if (err.code < 0) return err.Push(HERE, "Couldn't read SB from %s", dev.c_str());
    file.Close();
    const bool haveBytes = first == static_cast<uint32_t>(kSuperblockOffset) && second >= 4;
    if (!haveBytes || sb.data[0] != kMagic[0] || sb.data[1] != kMagic[1] ||
        sb.data[2] != kMagic[2] || sb.data[3] != kMagic[3]) {
      return JxErrorUtil::ErrorErrNo(HERE, ENOSYS, "%s doesn't have VxFS SB magic", dev.c_str());
    }
  }

  static const char kTag[] = "FsParserVxFS::init";
  debug.Debug(kTag, "Detected VxFS on %s", dev.c_str());

  CVoError err = startFSDB(HERE, dev);
  if (err.code < 0) return err;
  std::string answer;
  err = talkToFSDB("", &answer);
  if (err.code < 0) return err.Push(HERE, "Can't communicate with VxFS fsdb");

  // Superblock.
  err = talkToFSDB("8192B.p S\n", &answer);
  if (err.code < 0) return err.Push(HERE, "Couldn't get SB information from VxFS fsdb");
  const std::string magic = findToken(answer.c_str(), "magic");
  if (magic.empty())
    return JxErrorUtil::ErrorInt(HERE, 1, "Couldn't find SB magic in %s", dev.c_str());
  if (magic != "a501fcf5")
    return JxErrorUtil::ErrorErrNo(HERE, ENOSYS, "%s has invalid SB magic %s", dev.c_str(),
                                   magic.c_str());
  const std::string version = findToken(answer.c_str(), "version");
  if (version.empty())
    return JxErrorUtil::ErrorInt(HERE, 1, "Couldn't find VxFS version in SB of %s", dev.c_str());
  if (toInt(version) <= 3)
    return JxErrorUtil::ErrorErrNo(HERE, ENOSYS, "%s has unsupported VxFS version %s", dev.c_str(),
                                   version.c_str());
  const std::string bsize = findToken(answer.c_str(), "bsize");
  if (bsize.empty())
    return JxErrorUtil::ErrorInt(HERE, 1, "Couldn't find block size in SB of %s", dev.c_str());
  blockSize = toInt(bsize);
  if (blockSize < kMinBlockSize || blockSize > kMaxBlockSize || log2(blockSize) <= 0)
    return JxErrorUtil::ErrorErrNo(HERE, ENOSYS, "%s has unusable VxFS block size %s", dev.c_str(),
                                   bsize.c_str());
  const std::string size = findToken(answer.c_str(), "size");
  if (size.empty())
    return JxErrorUtil::ErrorInt(HERE, 1, "Couldn't find block count in SB of %s", dev.c_str());
  blockCount = leadingDigits(size);
  if (blockCount < 1 || blockCount > kMaxFsBytes / blockSize)
    return JxErrorUtil::ErrorErrNo(HERE, ENOSYS, "%s has unusable VxFS block count %s", dev.c_str(),
                                   size.c_str());
  fsSize = static_cast<long long>(blockSize) * blockCount;
  const std::string aublocks = findToken(answer.c_str(), "aublocks");
  if (!aublocks.empty()) {
    auBlocks = toInt(aublocks);
    if (auBlocks < kGroupBlocks || auBlocks % kGroupBlocks != 0)
      return JxErrorUtil::ErrorErrNo(HERE, ENOSYS, "%s has unusable VxFS allocation-unit size %s",
                                     dev.c_str(), aublocks.c_str());
  }
  const long long units = (blockCount - 1) / auBlocks + 1;
  if (units > INT_MAX)
    return JxErrorUtil::ErrorErrNo(HERE, ENOSYS, "%s has too many VxFS allocation units (%lld)",
                                   dev.c_str(), units);
  auCnt = static_cast<int>(units);

  // Structural fileset: find the IFEAU and IFEMP inodes.
  err = talkToFSDB("1fset\n", &answer);
  if (err.code < 0)
    return err.Push(HERE, "Couldn't select STRUCTURAL VxFS fileset of %s", dev.c_str());
  std::string ninode = findToken(answer.c_str(), "fsf_ninode");
  if (ninode.empty()) ninode = "128";
  const int inodes = toInt(ninode);
  for (int i = 0; i < inodes; ++i) {
    if (ifeauIno >= 0 && ifempIno >= 0) break;
    char cmd[32];
    snprintf(cmd, sizeof cmd, "%di\n", i);
    err = talkToFSDB(cmd, &answer);
    if (err.code < 0)
      return err.Push(HERE, "Couldn't query inode %d of STRUCTURAL VxFS fileset of %s", i,
                      dev.c_str());
    const std::string type = findToken(answer.c_str(), "type");
    if (type == "IFEAU") {
      ifeauIno = i;
    } else if (type == "IFEMP") {
      ifempIno = i;
    }
  }
  if (ifeauIno < 0)
    return JxErrorUtil::ErrorInt(
        HERE, 1, "Couldn't find IFEAU inode in the STRUCTURAL VxFS fileset of %s", dev.c_str());
  if (ifempIno < 0)
    return JxErrorUtil::ErrorInt(
        HERE, 1, "Couldn't find IFEMP inode in the STRUCTURAL VxFS fileset of %s", dev.c_str());

  // Allocation-unit states: two bits per unit, the first set when the unit is wholly free.
  auFree = static_cast<unsigned char*>(calloc(static_cast<size_t>(auCnt), 1));
  if (!auFree)
    return JxErrorUtil::ErrorErrNo(HERE, ENOSYS,
                                   "Couldn't allocate the table of %d VxFS allocation units of %s",
                                   auCnt, dev.c_str());
  MbBuffer block(blockSize);
  int a = 0;
  const int unitsPerBlock = 4 * blockSize;
  for (int j = 0; j <= (auCnt - 1) / unitsPerBlock; ++j) {
    char cmd[64];
    snprintf(cmd, sizeof cmd, "%di.mapi%lld\n", ifeauIno, static_cast<long long>(j) * blockSize);
    err = talkToFSDB(cmd, &answer);
    if (err.code < 0) return err.Push(HERE, "Couldn't get IFEAU's location on %s", dev.c_str());
    const std::string exSt = findToken(answer.c_str(), "ex_st");
    const std::string offset = findToken(answer.c_str(), "offset");
    if (exSt.empty() || offset.empty())
      return JxErrorUtil::ErrorInt(HERE, 1, "Couldn't get IFEAU's location");
    const long long where = deviceBlock(exSt, offset, blockSize);
    err = readBlock(where, block.data);
    if (err.code < 0) return err.Push(HERE, "Couldn't read IFEAU's block %lld", where);
    unsigned mask = 0x80;
    for (int pos = 0; a < auCnt && pos < blockSize; ++a) {
      auFree[a] = (block.data[pos] & mask) ? 1 : 0;
      mask >>= 2;
      if (mask == 0) {
        ++pos;
        mask = 0x80;
      }
    }
  }

  std::string summary;
  summary.reserve(static_cast<size_t>(auCnt) * 2);
  for (int u = 0; u < auCnt; ++u) summary += auFree[u] ? "1 " : "0 ";

  debug.Debug(kTag, "   magic=%s", magic.c_str());
  debug.Debug(kTag, "   version=%s", version.c_str());
  debug.Debug(kTag, "   block_size=%d", blockSize);
  debug.Debug(kTag, "   block_cnt=%lld (%lldMB)", blockCount, fsSize >> 20);
  debug.Debug(kTag, "   aublocks=%d", auBlocks);
  debug.Debug(kTag, "   au_cnt=%d", auCnt);
  debug.Debug(kTag, "   au_free=[%s]", summary.c_str());
  debug.Debug(kTag, "   IFEAU=%di", ifeauIno);
  debug.Debug(kTag, "   IFEMP=%di", ifempIno);
  return FsParser::init();
}

CVoError FsParserVxFS::getBmp(int chunkSize, void** bmp, long long* bmpSize) {
  CVoError err = fsbmp::checkChunkSize(HERE, chunkSize, blockSize);
  if (err.code < 0) return err;

  const int blocksPerChunk = chunkSize / blockSize;
  const int shift = log2(blocksPerChunk);
  const uint64_t chunks = fsbmp::chunkCount(blockCount, blocksPerChunk, devSize, chunkSize);
  err = fsbmp::checkChunkCount32(HERE, chunks, chunkSize);
  if (err.code < 0) return err;
  const uint32_t nChunks = static_cast<uint32_t>(chunks);
  const long long nGroups = (blockCount - 1) / kGroupBlocks + 1;
  // Room also for the chunks of the last group's blocks past the end of the file system.
  const long long byChunks = (static_cast<long long>(nChunks) + 7) / 8;
  const long long byGroups = ((nGroups * kGroupBlocks - 1) / blocksPerChunk) / 8 + 1;
  const long long bytes = byChunks > byGroups ? byChunks : byGroups;

  FsParserAutoChunkBmp holder;
  err = holder.init(static_cast<size_t>(bytes));
  if (err.code < 0)
    return err.Push(HERE, "Couldn't allocate %d-byte bitmap", static_cast<int>(bytes));
  unsigned char* bitmap = holder.bitmap;

  char cmd[64];
  snprintf(cmd, sizeof cmd, "1fset.%di\n", ifempIno);
  std::string answer;
  err = talkToFSDB(cmd, &answer);
  if (err.code < 0) return err.Push(HERE, "Couldn't open IFEMP file with inode %d", ifempIno);

  const int groupsPerUnit = auBlocks / kGroupBlocks;
  const int recordsPerBlock = blockSize / kMapRecordBytes;
  MbBuffer held(blockSize);
  long long heldBlock = -1;
  long long unit = -1;
  for (long long g = 0; g < nGroups;) {
    if (g % groupsPerUnit == 0) ++unit;
    if (unit < auCnt && auFree[unit]) {
      g += groupsPerUnit;
      continue;
    }
    const long long fileBlock = g / recordsPerBlock;
    if (fileBlock != heldBlock) {
      snprintf(cmd, sizeof cmd, "mapi%lld\n", g * kMapRecordBytes);
      err = talkToFSDB(cmd, &answer);
      if (err.code < 0) return err.Push(HERE, "Couldn't read bitmap %lld from IFEMP file", g);
      const std::string exSt = findToken(answer.c_str(), "ex_st");
      const std::string offset = findToken(answer.c_str(), "offset");
      if (exSt.empty() || offset.empty())
        return JxErrorUtil::ErrorInt(HERE, 1, "Couldn't get bitmap %lld's location", g);
      const long long where = deviceBlock(exSt, offset, blockSize);
      err = readBlock(where, held.data);
      if (err.code < 0)
        return err.Push(HERE, "Couldn't read bitmap %lld from block %lld", g, where);
      heldBlock = fileBlock;
    }
    const unsigned char* map = held.data + (g % recordsPerBlock) * kMapRecordBytes;

    if (blocksPerChunk < 8) {
      // Fields of blocksPerChunk bits, most significant first; a field not all ones (free) is a
      // chunk with a used block.
      const unsigned fieldMask = (1u << blocksPerChunk) - 1;
      uint64_t c = static_cast<uint64_t>(g) * kGroupBlocks / blocksPerChunk;
      for (int i = 0; i < kMapBytes; ++i) {
        for (int bit = 8 - blocksPerChunk; bit >= 0; bit -= blocksPerChunk, ++c) {
          if (((map[i] >> bit) & fieldMask) != fieldMask) fsbmp::markChunk(bitmap, c);
        }
      }
    } else {
      const int run = blocksPerChunk >= kGroupBlocks ? kMapBytes : blocksPerChunk / 8;
      for (int first = 0; first < kMapBytes; first += run) {
        for (int i = first; i < first + run; ++i) {
          if (map[i] != 0xFF) {
            const uint64_t b = static_cast<uint64_t>(g) * kGroupBlocks + 8u * first;
            fsbmp::markChunk(bitmap, b >> shift);
            break;
          }
        }
      }
    }
    ++g;
  }

  *bmpSize = nChunks;
  *bmp = holder.release();
  return CVoError();
}
