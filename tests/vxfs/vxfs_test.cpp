// The VxFS parser against the fsdb stand-in (tools/fsdb_standin.cpp), started by the library on
// a real pseudo-terminal exactly as fsdb would be, on images built from descriptions
// (tools/vximage.h). Expected bitmaps come from the descriptions' used blocks.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <thread>

#include "common/testutil.h"
#include "fsbmp/fsbmpDisk.h"
#include "fsbmp/fsbmpVxFS.h"
#include "vximage.h"

using namespace fsbmp_test;

namespace {

std::string toolsDir() {
  const char* dir = getenv("FSBMP_VXFS_TOOLS");
  return dir && *dir ? dir : FSBMP_VXFS_TOOLS_DIR;
}

// Sets (or, with null, removes) an environment variable for one scope. The fsdb child inherits
// the environment, which is how the stand-in is found and told to misbehave.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    const char* old = getenv(name);
    had_ = old != nullptr;
    if (had_) old_ = old;
    if (value) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (had_) {
      setenv(name_.c_str(), old_.c_str(), 1);
    } else {
      unsetenv(name_.c_str());
    }
  }

 private:
  std::string name_;
  std::string old_;
  bool had_ = false;
};

// Reaps ended fsdb children (the library leaves that to its host); waits up to `seconds` for
// the stragglers that are still taking their hang-up.
void reapChildren(double seconds = 3) {
  auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  for (;;) {
    int status;
    pid_t pid = waitpid(-1, &status, WNOHANG);
    if (pid > 0) continue;
    if (pid < 0 || std::chrono::steady_clock::now() > end) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

std::vector<std::string> readLines(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  std::string l;
  while (std::getline(in, l)) lines.push_back(l);
  return lines;
}

// A deterministic mix of used blocks: dense, sparse and empty stretches.
std::vector<bool> usedPattern(long long blocks, unsigned seed) {
  std::vector<bool> used(static_cast<size_t>(blocks), false);
  uint32_t x = seed * 2654435761u + 1;
  for (long long b = 0; b < blocks; ++b) {
    x = x * 1103515245u + 12345u;
    const long long stretch = (b / 3000 + seed) % 4;
    const uint32_t r = (x >> 8) % 1000;
    if (stretch == 0) used[b] = r < 400;            // dense
    if (stretch == 1) used[b] = r < 3;              // sparse
    if (stretch == 3) used[b] = (b / 37) % 5 == 0;  // runs
  }
  return used;
}

struct Image {
  std::string path;
  vximage::Description d;
  vximage::Layout layout;

  long long nGroups() const { return layout.nGroups; }
  long long deviceBytes() const { return d.imageBytes ? d.imageBytes : d.blockCount * d.blockSize; }
  // Chunk bits the parser must give: a block is used where the image's maps say so, except in
  // units flagged wholly free, whose maps are never read.
  std::vector<bool> expectedChunks(long long blocksPerChunk, long long nChunks) const {
    std::vector<bool> chunks(static_cast<size_t>(nChunks), false);
    const long long end = nGroups() * vximage::kGroupBlocks;
    for (long long b = 0; b < end; ++b) {
      if (d.freeUnits.count(static_cast<int>(b / d.auBlocks))) continue;
      const bool used = b < d.blockCount ? layout.used[b] : d.tailUsed;
      const long long c = b / blocksPerChunk;
      if (used && c < nChunks) chunks[c] = true;
    }
    return chunks;
  }
};

Image makeImage(const std::string& name, const vximage::Description& d) {
  Image img;
  img.path = scratchPath(name);
  img.d = d;
  std::string error;
  EXPECT_TRUE(vximage::build(img.path, d, &img.layout, &error)) << name << ": " << error;
  return img;
}

struct Probe {
  CVoError err;
  std::unique_ptr<FsParserVxFS> parser;
};

std::unique_ptr<Probe> probe(const std::string& path) {
  std::unique_ptr<Probe> p(new Probe);
  p->parser.reset(new FsParserVxFS(path, &p->err));
  return p;
}

class VxfsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    oldPath_ = new std::string(getenv("PATH") ? getenv("PATH") : "");
    setenv("PATH", (toolsDir() + ":" + *oldPath_).c_str(), 1);

    vximage::Description small;
    small.blockCount = 4096 + 100;  // 3 groups, one unit
    small.printAuBlocks = true;
    small.used = usedPattern(small.blockCount, 1);
    small_ = new Image(makeImage("small.img", small));

    // 1024-byte blocks, default 32768-block units (not printed), unit 1 wholly free, a block
    // count that is not a multiple of 2048, on a device larger than the file system.
    vximage::Description a;
    a.blockSize = 1024;
    a.blockCount = 3 * 32768 - 1234;
    a.used = usedPattern(a.blockCount, 2);
    for (long long b = 32768; b < 65536; ++b) a.used[b] = false;
    a.freeUnits = {1};
    a.imageBytes = (a.blockCount + 5000) * 1024LL + 300;
    geometries_ = new std::vector<Image>;
    geometries_->push_back(makeImage("g1024.img", a));

    // 8192-byte blocks, explicit 4096-block units, several free units whose maps lie, free
    // tail bits, a scan without fsf_ninode.
    vximage::Description b;
    b.blockSize = 8192;
    b.blockCount = 40000;
    b.auBlocks = 4096;
    b.printAuBlocks = true;
    b.printNinode = false;
    b.ifeauIno = 40;
    b.ifempIno = 12;
    b.used = usedPattern(b.blockCount, 3);
    b.freeUnits = {2, 3, 9};
    for (int u : b.freeUnits)
      for (long long k = u * 4096LL; k < std::min(b.blockCount, (u + 1) * 4096LL); ++k)
        b.used[k] = false;
    b.tailUsed = false;
    b.freeUnitMapsLie = true;
    geometries_->push_back(makeImage("g8192.img", b));

    // 1024-byte blocks, explicit 8192-block units, none free, a whole number of groups.
    vximage::Description c;
    c.blockSize = 1024;
    c.blockCount = 40 * 2048;
    c.auBlocks = 8192;
    c.printAuBlocks = true;
    c.used = usedPattern(c.blockCount, 4);
    c.extentBlocks = 5;
    geometries_->push_back(makeImage("g1024b.img", c));
  }

  static void TearDownTestSuite() {
    setenv("PATH", oldPath_->c_str(), 1);
    delete oldPath_;
    delete small_;
    delete geometries_;
  }

  void SetUp() override {
    reapChildren(0);
    log_ = scratchPath("fsdb.log");
    unlink(log_.c_str());
    logEnv_.reset(new ScopedEnv("FSDB_STANDIN_LOG", log_.c_str()));
  }
  void TearDown() override {
    logEnv_.reset();
    reapChildren();
  }

  // Commands the stand-in received since the test began.
  std::vector<std::string> commands() const {
    std::vector<std::string> out;
    for (const std::string& l : readLines(log_))
      if (l.compare(0, 4, "cmd ") == 0) out.push_back(l.substr(4));
    return out;
  }
  pid_t fsdbPid() const {
    for (const std::string& l : readLines(log_))
      if (l.compare(0, 4, "pid ") == 0) return atoi(l.c_str() + 4);
    return -1;
  }

  // Probes `img` and checks every chunk size against the description.
  void checkImage(const Image& img) {
    auto p = probe(img.path);
    ASSERT_GE(p->err.code, 0) << p->err.toString();
    FsParserVxFS& vx = *p->parser;
    EXPECT_EQ(vx.blockSize, img.d.blockSize);
    EXPECT_EQ(vx.blockCount, img.d.blockCount);
    EXPECT_EQ(vx.fsSize, img.d.blockCount * img.d.blockSize);
    EXPECT_EQ(vx.devSize, img.deviceBytes());
    EXPECT_EQ(vx.auBlocks, img.d.auBlocks);
    EXPECT_EQ(vx.auCnt, img.layout.auCnt);
    EXPECT_EQ(vx.ifeauIno, img.d.ifeauIno);
    EXPECT_EQ(vx.ifempIno, img.d.ifempIno);
    for (int u = 0; u < vx.auCnt; ++u) EXPECT_EQ(vx.auFree[u], img.d.freeUnits.count(u)) << u;

    for (long long bpc : {1, 2, 4, 8, 16, 4096}) {
      const int chunkSize = static_cast<int>(bpc * img.d.blockSize);
      const size_t before = commands().size();
      ChunkBitmap bmp;
      CVoError err = getBitmap(&vx, chunkSize, &bmp);
      ASSERT_GE(err.code, 0) << err.toString();
      const long long fsChunks = (img.d.blockCount + bpc - 1) / bpc;
      const long long devChunks = (img.deviceBytes() - 1) / chunkSize + 1;
      ASSERT_EQ(bmp.nChunks, std::max(fsChunks, devChunks)) << bpc;
      EXPECT_TRUE(sameChunks(bmp, img.expectedChunks(bpc, bmp.nChunks), bmp.nChunks))
          << "blocks per chunk " << bpc;

      // fsdb traffic: the IFEMP selection, then one location query and one dump per IFEMP
      // block that holds a map of a unit not flagged free.
      std::vector<std::string> cmds = commands();
      cmds.erase(cmds.begin(), cmds.begin() + static_cast<long>(before));
      std::set<long long> blocksNeeded;
      const long long groupsPerUnit = img.d.auBlocks / vximage::kGroupBlocks;
      for (long long g = 0; g < img.nGroups(); ++g)
        if (!img.d.freeUnits.count(static_cast<int>(g / groupsPerUnit)))
          blocksNeeded.insert(g / (img.d.blockSize / 512));
      ASSERT_EQ(cmds.size(), 1 + 2 * blocksNeeded.size());
      EXPECT_EQ(cmds[0], "1fset." + std::to_string(img.d.ifempIno) + "i");
      EXPECT_EQ(cmds[1], "mapi0");
    }
  }

  static std::string* oldPath_;
  static Image* small_;
  static std::vector<Image>* geometries_;
  std::string log_;
  std::unique_ptr<ScopedEnv> logEnv_;
};

std::string* VxfsTest::oldPath_;
Image* VxfsTest::small_;
std::vector<Image>* VxfsTest::geometries_;

TEST_F(VxfsTest, ProbeAndBitmapsOnEveryGeometry) {
  for (const Image& img : *geometries_) {
    SCOPED_TRACE(img.path);
    checkImage(img);
  }
}

TEST_F(VxfsTest, ProbeDialogueAndDebugLog) {
  const Image& img = (*geometries_)[0];
  DebugCapture log;
  auto p = probe(img.path);
  ASSERT_GE(p->err.code, 0) << p->err.toString();

  std::vector<std::string> lines = readLines(log_);
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[1], "argv -F vxfs " + img.path);
  std::vector<std::string> expected = {"8192B.p S", "1fset"};
  for (int i = 0; i <= 35; ++i) expected.push_back(std::to_string(i) + "i");  // IFEMP at 35
  const vximage::Layout& L = img.layout;
  expected.push_back("34i.mapi0");
  expected.push_back(std::to_string(L.ifeauExtents[0].first) + "b.p1024xB");
  EXPECT_EQ(commands(), expected);

  const char* tag = "FsParserVxFS::init: ";
  std::vector<std::string> want = {
      "Detected VxFS on " + img.path,
      "   magic=a501fcf5",
      "   version=7",
      "   block_size=1024",
      "   block_cnt=" + std::to_string(img.d.blockCount) + " (" +
          std::to_string(img.d.blockCount * 1024 >> 20) + "MB)",
      "   aublocks=32768",
      "   au_cnt=3",
      "   au_free=[0 1 0 ]",
      "   IFEAU=34i",
      "   IFEMP=35i",
  };
  ASSERT_EQ(log.lines.size(), want.size());
  for (size_t i = 0; i < want.size(); ++i) EXPECT_EQ(log.lines[i], tag + want[i]);
}

TEST_F(VxfsTest, FactoryTakesVxFSAndTheCommandLineToolWorks) {
  const Image& img = (*geometries_)[1];
  CVoError err;
  std::unique_ptr<FsParser> p(FsParser::init(img.path, &err));
  ASSERT_TRUE(p) << err.toString();
  EXPECT_EQ(p->fsType, FsParser::kVxFS);
  ChunkBitmap bmp;
  ASSERT_GE(getBitmap(p.get(), 65536, &bmp).code, 0);
  p.reset();

  std::string out = mustRunTool("info '" + img.path + "'");
  EXPECT_NE(out.find("type:        VxFS"), std::string::npos) << out;
  EXPECT_NE(out.find("blocks:      40000"), std::string::npos) << out;
  const std::string file = scratchPath("vxfs.bmp");
  mustRunTool("bitmap '" + img.path + "' --chunk-size 64K --output '" + file + "'");
  std::vector<unsigned char> written = readFile(file);
  ASSERT_EQ(written.size(), static_cast<size_t>((bmp.nChunks + 7) / 8));
  for (long long c = 0; c < bmp.nChunks; ++c)
    EXPECT_EQ((written[c >> 3] >> (c & 7)) & 1, bmp.test(c)) << c;
}

TEST_F(VxfsTest, TwoIfeauBlocksAndPrintVariants) {
  // 4097 units of 2048 blocks at 1024-byte blocks: the last unit's state is in IFEAU's second
  // block. Only the probe runs here.
  vximage::Description d;
  d.blockCount = 4097LL * 2048;
  d.auBlocks = 2048;
  d.printAuBlocks = true;
  d.extentBlocks = 1000;
  d.freeUnits = {4000, 4096};
  const Image img = makeImage("many-units.img", d);
  auto p = probe(img.path);
  ASSERT_GE(p->err.code, 0) << p->err.toString();
  EXPECT_EQ(p->parser->auCnt, 4097);
  for (int u = 0; u < 4097; ++u) ASSERT_EQ(p->parser->auFree[u], d.freeUnits.count(u)) << u;
  std::vector<std::string> cmds = commands();
  EXPECT_EQ(cmds[cmds.size() - 4], "34i.mapi0");
  EXPECT_EQ(cmds[cmds.size() - 2], "34i.mapi1024");
}

TEST_F(VxfsTest, AnswersInPiecesUpperCaseAndPairsOfBytes) {
  const Image& img = *small_;
  ChunkBitmap reference;
  {
    auto p = probe(img.path);
    ASSERT_GE(p->err.code, 0) << p->err.toString();
    ASSERT_GE(getBitmap(p->parser.get(), 1024, &reference).code, 0);
    EXPECT_TRUE(sameChunks(reference, img.expectedChunks(1, reference.nChunks), reference.nChunks));
  }
  const std::vector<std::vector<std::pair<const char*, const char*>>> variants = {
      {{"FSDB_STANDIN_PIECES", "7"}, {"FSDB_STANDIN_BANNER", "fsdb stand-in\nready"}},
      {{"FSDB_STANDIN_UPPER", "1"}, {"FSDB_STANDIN_GROUP2", "1"}},
      {{"FSDB_STANDIN_DUMP", "extra"}, {"FSDB_STANDIN_COMPLAIN", "8192B"}},
      {{"FSDB_STANDIN_COMPLAIN", "start"}},
  };
  for (const auto& variant : variants) {
    std::vector<std::unique_ptr<ScopedEnv>> envs;
    for (const auto& kv : variant) envs.emplace_back(new ScopedEnv(kv.first, kv.second));
    SCOPED_TRACE(variant[0].first);
    auto p = probe(img.path);
    ASSERT_GE(p->err.code, 0) << p->err.toString();
    ChunkBitmap bmp;
    ASSERT_GE(getBitmap(p->parser.get(), 1024, &bmp).code, 0);
    EXPECT_TRUE(sameChunks(bmp, img.expectedChunks(1, bmp.nChunks), bmp.nChunks));
  }
}

TEST_F(VxfsTest, ExchangeAnswersUpToThePrompt) {
  ScopedEnv banner("FSDB_STANDIN_BANNER", "Veritas-like banner");
  auto p = probe(small_->path);
  ASSERT_GE(p->err.code, 0);
  std::string answer = "stale";
  ASSERT_GE(p->parser->talkToFSDB("1fset\n", &answer).code, 0);
  EXPECT_EQ(answer.find("> "), std::string::npos);
  EXPECT_NE(answer.find("fsf_ninode 64"), std::string::npos) << answer;
  // A command fsdb does not know: its complaint comes with a prompt, so the exchange succeeds.
  ASSERT_GE(p->parser->talkToFSDB("frobnicate\n", &answer).code, 0);
  EXPECT_EQ(answer, "");
  // readBlock gives the device's own bytes: the superblock's block.
  std::vector<unsigned char> block(1024);
  ASSERT_GE(p->parser->readBlock(8, block.data()).code, 0);
  EXPECT_EQ(block, readAt(small_->path, 8192, 1024));
  // A block past the end: fsdb complains and prompts, and no bytes come.
  CVoError err = p->parser->readBlock(1 << 20, block.data());
  EXPECT_EQ(err.message(),
            "Couldn't read block 1048576 from VxFS fsdb: incorrect number of bytes received");
  EXPECT_EQ(err.intValue(), 1);
}

// Probes that fsdb's answers make fail: the outer message and where the failure began.
TEST_F(VxfsTest, ProbeFailuresFromFsdbAnswers) {
  struct Case {
    std::vector<std::pair<const char*, const char*>> env;
    std::string message;  // newest frame
    std::string root;     // oldest frame ("" = same as message)
    int errNo;            // 0: made with the integer 1
  };
  const std::string dev = small_->path;
  const long long ifeauBlock = small_->layout.ifeauExtents[0].first;
  const std::vector<Case> cases = {
      {{{"FSDB_STANDIN_DROP", "magic"}}, "Couldn't find SB magic in " + dev, "", 0},
      {{{"FSDB_STANDIN_SET", "magic=f5fc01a5"}}, dev + " has invalid SB magic f5fc01a5", "", 38},
      {{{"FSDB_STANDIN_DROP", "version"}}, "Couldn't find VxFS version in SB of " + dev, "", 0},
      {{{"FSDB_STANDIN_SET", "version=3"}}, dev + " has unsupported VxFS version 3", "", 38},
      {{{"FSDB_STANDIN_DROP", "bsize"}}, "Couldn't find block size in SB of " + dev, "", 0},
      {{{"FSDB_STANDIN_DROP", "size"}}, "Couldn't find block count in SB of " + dev, "", 0},
      {{{"FSDB_STANDIN_SET", "bsize=1000"}}, dev + " has unusable VxFS block size 1000", "", 38},
      {{{"FSDB_STANDIN_SET", "bsize=256"}}, dev + " has unusable VxFS block size 256", "", 38},
      {{{"FSDB_STANDIN_SET", "bsize=0"}}, dev + " has unusable VxFS block size 0", "", 38},
      {{{"FSDB_STANDIN_SET", "size=0"}}, dev + " has unusable VxFS block count 0", "", 38},
      {{{"FSDB_STANDIN_SET", "size=99999999999999999999"}},
       dev + " has unusable VxFS block count 99999999999999999999",
       "",
       38},
      {{{"FSDB_STANDIN_SET", "aublocks=3000"}},
       dev + " has unusable VxFS allocation-unit size 3000",
       "",
       38},
      {{{"FSDB_STANDIN_SET", "aublocks=0"}},
       dev + " has unusable VxFS allocation-unit size 0",
       "",
       38},
      {{{"FSDB_STANDIN_SET", "aublocks=-32768"}},
       dev + " has unusable VxFS allocation-unit size -32768",
       "",
       38},
      {{{"FSDB_STANDIN_DROP", "type"}},
       "Couldn't find IFEAU inode in the STRUCTURAL VxFS fileset of " + dev,
       "",
       0},
      {{{"FSDB_STANDIN_DROP", "type"}, {"FSDB_STANDIN_DROP_WHEN", "35i"}},
       "Couldn't find IFEMP inode in the STRUCTURAL VxFS fileset of " + dev,
       "",
       0},
      {{{"FSDB_STANDIN_SET", "fsf_ninode=30"}},
       "Couldn't find IFEAU inode in the STRUCTURAL VxFS fileset of " + dev,
       "",
       0},
      {{{"FSDB_STANDIN_DROP", "ex_st"}}, "Couldn't get IFEAU's location", "", 0},
      {{{"FSDB_STANDIN_DROP", "offset"}}, "Couldn't get IFEAU's location", "", 0},
      {{{"FSDB_STANDIN_DUMP", "corrupt"}},
       "Couldn't read IFEAU's block " + std::to_string(ifeauBlock),
       "Couldn't read block " + std::to_string(ifeauBlock) + " from VxFS fsdb: corrupt output",
       0},
      {{{"FSDB_STANDIN_DUMP", "cut"}},
       "Couldn't read IFEAU's block " + std::to_string(ifeauBlock),
       "Couldn't read block " + std::to_string(ifeauBlock) + " from VxFS fsdb: corrupt output",
       0},
      {{{"FSDB_STANDIN_DUMP", "short"}},
       "Couldn't read IFEAU's block " + std::to_string(ifeauBlock),
       "Couldn't read block " + std::to_string(ifeauBlock) +
           " from VxFS fsdb: incorrect number of bytes received",
       0},
      {{{"FSDB_STANDIN_DUMP", "long"}},
       "Couldn't read IFEAU's block " + std::to_string(ifeauBlock),
       "Couldn't read block " + std::to_string(ifeauBlock) +
           " from VxFS fsdb: incorrect number of bytes received",
       0},
      {{{"FSDB_STANDIN_DUMP", "nocolon"}},
       "Couldn't read IFEAU's block " + std::to_string(ifeauBlock),
       "Couldn't read block " + std::to_string(ifeauBlock) +
           " from VxFS fsdb: incorrect number of bytes received",
       0},
      {{{"FSDB_STANDIN_DIE", "start"}},
       "Can't communicate with VxFS fsdb",
       "VxFS fsdb returned error: fsdb: cannot go on after \"start\"\n",
       0},
      {{{"FSDB_STANDIN_DIE", "8192B"}},
       "Couldn't get SB information from VxFS fsdb",
       "VxFS fsdb returned error: fsdb: cannot go on after \"8192B.p S\"\n",
       0},
      {{{"FSDB_STANDIN_DIE", "1fset"}},
       "Couldn't select STRUCTURAL VxFS fileset of " + dev,
       "VxFS fsdb returned error: fsdb: cannot go on after \"1fset\"\n",
       0},
      {{{"FSDB_STANDIN_DIE", "7i"}},
       "Couldn't query inode 7 of STRUCTURAL VxFS fileset of " + dev,
       "VxFS fsdb returned error: fsdb: cannot go on after \"7i\"\n",
       0},
      {{{"FSDB_STANDIN_DIE", "34i.mapi"}},
       "Couldn't get IFEAU's location on " + dev,
       "VxFS fsdb returned error: fsdb: cannot go on after \"34i.mapi0\"\n",
       0},
  };
  for (const Case& c : cases) {
    std::vector<std::unique_ptr<ScopedEnv>> envs;
    std::string label;
    for (const auto& kv : c.env) {
      envs.emplace_back(new ScopedEnv(kv.first, kv.second));
      label += std::string(kv.first) + "=" + kv.second + " ";
    }
    SCOPED_TRACE(label);
    const int fds = countOpenFds();
    {
      auto p = probe(dev);
      ASSERT_LT(p->err.code, 0);
      EXPECT_EQ(p->err.message(), c.message) << p->err.toString();
      EXPECT_EQ(p->err.rootMessage(), c.root.empty() ? c.message : c.root) << p->err.toString();
      if (c.errNo) {
        EXPECT_EQ(p->err.errNo(), c.errNo);
      } else {
        EXPECT_EQ(p->err.intValue(), 1);
      }
      EXPECT_STREQ(p->err.location(0).function, "CVoError FsParserVxFS::init(const string&)");
    }
    EXPECT_EQ(countOpenFds(), fds);
    reapChildren();
  }
}

TEST_F(VxfsTest, AcceptedVariantsOfTheSuperblockPrint) {
  // Version 4 passes; a block count followed by letters reads as its digits.
  ScopedEnv set("FSDB_STANDIN_SET", "version=4;size=4196blocks");
  auto p = probe(small_->path);
  ASSERT_GE(p->err.code, 0) << p->err.toString();
  EXPECT_EQ(p->parser->blockCount, 4196);
}

TEST_F(VxfsTest, FsdbThatEndsMidConversation) {
  // fsdb exits without a word: the terminal's end is the failure.
  {
    ScopedEnv quit("FSDB_STANDIN_QUIT", "1fset");
    auto p = probe(small_->path);
    ASSERT_LT(p->err.code, 0);
    EXPECT_EQ(p->err.message(), "Couldn't select STRUCTURAL VxFS fileset of " + small_->path);
    // Which end is seen first decides: the terminal's (an I/O error or end of file), or the
    // error pipe's end, which closes both with nothing noted.
    const std::string root = p->err.rootMessage();
    EXPECT_TRUE(root == "Couldn't get command response from VxFS fsdb" ||
                root == "Unexpected EOF from VxFS fsdb" ||
                root == "Timedout waiting for VxFS fsdb's response")
        << root;
    // Both descriptors are closed now: the next exchange fails at once.
    std::string answer;
    const auto start = std::chrono::steady_clock::now();
    CVoError again = p->parser->talkToFSDB("1fset\n", &answer);
    EXPECT_EQ(again.message(), "Timedout waiting for VxFS fsdb's response");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_EQ(p->parser->fsdbFd, -1);
    EXPECT_EQ(p->parser->fsdbErrFd, -1);
  }
  reapChildren();
  // No fsdb anywhere: the child's own complaint comes through the error pipe.
  {
    const std::string empty = scratchPath("empty-bin");
    mkdir(empty.c_str(), 0755);
    ScopedEnv path("PATH", empty.c_str());
    const int fds = countOpenFds();
    {
      auto p = probe(small_->path);
      ASSERT_LT(p->err.code, 0);
      EXPECT_EQ(p->err.message(), "Can't communicate with VxFS fsdb");
      EXPECT_EQ(p->err.rootMessage(),
                "VxFS fsdb returned error: Couldn't spawn fsdb: No such file or directory\n");
    }
    EXPECT_EQ(countOpenFds(), fds);
  }
}

TEST_F(VxfsTest, BitmapFailures) {
  auto p = probe(small_->path);
  ASSERT_GE(p->err.code, 0);
  FsParserVxFS& vx = *p->parser;
  void* const sentinel = reinterpret_cast<void*>(0x5a5a);
  void* bmp = sentinel;
  long long size = -3;
  // Chunk sizes: outputs stay as they were.
  for (int chunk : {0, -1024, 3072, 512}) {
    CVoError err = vx.getBmp(chunk, &bmp, &size);
    ASSERT_LT(err.code, 0);
    EXPECT_EQ(err.errNo(), EINVAL);
    EXPECT_EQ(err.message(),
              chunk == 512 ? "Chunk size (512) must be a multiple of FS block size (1024)"
                           : "Chunk size (" + std::to_string(chunk) + ") must be a power of 2");
    EXPECT_EQ(bmp, sentinel);
    EXPECT_EQ(size, -3);
  }
  // A map block whose dump is damaged names the group and the block.
  const long long firstMapBlock = small_->layout.ifempExtents[0].first;
  {
    ScopedEnv dump("FSDB_STANDIN_DUMP", "corrupt");
    ScopedEnv which("FSDB_STANDIN_DUMP_BLOCK", std::to_string(firstMapBlock).c_str());
    auto q = probe(small_->path);
    ASSERT_GE(q->err.code, 0) << q->err.toString();
    CVoError err = q->parser->getBmp(1024, &bmp, &size);
    ASSERT_LT(err.code, 0);
    EXPECT_EQ(err.message(), "Couldn't read bitmap 0 from block " + std::to_string(firstMapBlock));
    EXPECT_STREQ(err.location(0).function,
                 "virtual CVoError FsParserVxFS::getBmp(int, void**, long long int*)");
    EXPECT_EQ(bmp, sentinel);
    // fsdb is still there: the next call fails the same way, not worse.
    EXPECT_EQ(q->parser->getBmp(1024, &bmp, &size).message(), err.message());
  }
  {
    ScopedEnv drop("FSDB_STANDIN_DROP", "offset");
    ScopedEnv when("FSDB_STANDIN_DROP_WHEN", "mapi");
    auto q = probe(small_->path);
    ASSERT_GE(q->err.code, 0) << q->err.toString();
    CVoError err = q->parser->getBmp(1024, &bmp, &size);
    EXPECT_EQ(err.message(), "Couldn't get bitmap 0's location");
    EXPECT_EQ(err.intValue(), 1);
  }
  {
    ScopedEnv die("FSDB_STANDIN_DIE", "mapi");
    auto q = probe(small_->path);
    ASSERT_GE(q->err.code, 0) << q->err.toString();
    CVoError err = q->parser->getBmp(2048, &bmp, &size);
    EXPECT_EQ(err.message(), "Couldn't read bitmap 0 from IFEMP file");
    EXPECT_EQ(err.rootMessage(), "VxFS fsdb returned error: fsdb: cannot go on after \"mapi0\"\n");
    err = q->parser->getBmp(2048, &bmp, &size);
    EXPECT_EQ(err.message(), "Couldn't open IFEMP file with inode 35");
    EXPECT_EQ(err.rootMessage(), "Timedout waiting for VxFS fsdb's response");
  }
  {
    ScopedEnv die("FSDB_STANDIN_DIE", "1fset.");
    auto q = probe(small_->path);
    ASSERT_GE(q->err.code, 0) << q->err.toString();
    EXPECT_EQ(q->parser->getBmp(2048, &bmp, &size).message(),
              "Couldn't open IFEMP file with inode 35");
  }
  EXPECT_EQ(bmp, sentinel);
  EXPECT_EQ(size, -3);
}

TEST_F(VxfsTest, DescriptorsAndTheFsdbChild) {
  const int fds = countOpenFds();
  pid_t child;
  {
    auto p = probe(small_->path);
    ASSERT_GE(p->err.code, 0) << p->err.toString();
    ChunkBitmap bmp;
    ASSERT_GE(getBitmap(p->parser.get(), 4096, &bmp).code, 0);
    EXPECT_EQ(countOpenFds(), fds + 2);
    // The parser's own descriptors do not pass to other children.
    EXPECT_TRUE(fcntl(p->parser->fsdbFd, F_GETFD) & FD_CLOEXEC);
    EXPECT_TRUE(fcntl(p->parser->fsdbErrFd, F_GETFD) & FD_CLOEXEC);

    // fsdb has the terminal's slave as 0 and 1 and the pipe as 2, and no other end of either.
    child = fsdbPid();
    ASSERT_GT(child, 0);
    auto link = [&](int fd) {
      char target[256] = {0};
      std::string path = "/proc/" + std::to_string(child) + "/fd/" + std::to_string(fd);
      ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
      return n > 0 ? std::string(target, static_cast<size_t>(n)) : std::string();
    };
    EXPECT_EQ(link(0).compare(0, 9, "/dev/pts/"), 0) << link(0);
    EXPECT_EQ(link(1), link(0));
    EXPECT_EQ(link(2).compare(0, 5, "pipe:"), 0) << link(2);
    for (int fd = 3; fd < 64; ++fd) {
      const std::string l = link(fd);
      EXPECT_NE(l, link(2)) << fd;
      EXPECT_NE(l, "/dev/ptmx") << fd;
    }
  }
  EXPECT_EQ(countOpenFds(), fds);
  // Closing the terminal ends fsdb.
  int status = 0;
  pid_t got = 0;
  for (int i = 0; i < 500 && got == 0; ++i) {
    got = waitpid(child, &status, WNOHANG);
    if (got == 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(got, child);
}

TEST_F(VxfsTest, NoProcessWithoutTheMagic) {
  // Zeros; the magic at the wrong place; a device too short for the magic, whose stale bytes
  // from the first read must not pass for it.
  std::vector<unsigned char> zeros(65536, 0);
  writeFile(scratchPath("zeros.img"), zeros);
  std::vector<unsigned char> early(8192, 0);
  early[0] = 0xa5, early[1] = 0x01, early[2] = 0xfc, early[3] = 0xf5;
  writeFile(scratchPath("8192.img"), early);
  std::vector<unsigned char> split = early;
  split.push_back(0xa5);
  split.push_back(0x01);
  writeFile(scratchPath("8194.img"), split);
  std::vector<unsigned char> swapped(16384, 0);
  swapped[8192] = 0xf5, swapped[8193] = 0xfc, swapped[8194] = 0x01, swapped[8195] = 0xa5;
  writeFile(scratchPath("swapped.img"), swapped);

  const int fds = countOpenFds();
  for (const char* name : {"zeros.img", "8192.img", "8194.img", "swapped.img"}) {
    const std::string path = scratchPath(name);
    auto p = probe(path);
    EXPECT_EQ(p->err.errNo(), ENOSYS) << name;
    EXPECT_EQ(p->err.message(), path + " doesn't have VxFS SB magic");
    p.reset();
    CVoError err;
    std::unique_ptr<FsParser> any(FsParser::init(path, &err));
    EXPECT_FALSE(any) << name;
  }
  EXPECT_EQ(countOpenFds(), fds);
  EXPECT_TRUE(readLines(log_).empty()) << "fsdb was started";
  errno = 0;
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);

  auto missing = probe(scratchPath("no-such.img"));
  EXPECT_EQ(missing->err.message(), "Couldn't open " + scratchPath("no-such.img") + " for reading");
}

// fsdb that never answers: the exchange gives up after 60 seconds. Runs only as the slow test.
TEST(VxfsSlow, SilentFsdbTimesOut) {
  if (!getenv("FSBMP_VXFS_SLOW")) GTEST_SKIP() << "slow; runs as vxfs_slow_tests";
  vximage::Description d;
  d.blockCount = 4096;
  Image img = makeImage("silent.img", d);
  ScopedEnv path("PATH", (toolsDir() + ":" + std::string(getenv("PATH"))).c_str());
  ScopedEnv silent("FSDB_STANDIN_SILENT", "start");
  const auto start = std::chrono::steady_clock::now();
  {
    auto p = probe(img.path);
    ASSERT_LT(p->err.code, 0);
    EXPECT_EQ(p->err.message(), "Can't communicate with VxFS fsdb");
    EXPECT_EQ(p->err.rootMessage(), "Timedout waiting for VxFS fsdb's response");
  }
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, std::chrono::seconds(58));
  EXPECT_LE(took, std::chrono::seconds(62));
  reapChildren();
}

}  // namespace

// VxFS as partition 1 of a disk. fsdb reads it through the partition's own device node: on a
// loop device with its partitions the map holds the file system's used chunks, shifted to where
// the partition starts; in an image file no such node exists, and the partition counts used.
TEST_F(VxfsTest, InAPartitionOfADisk) {
  const Image& img = *small_;
  const std::string disk = scratchPath("vxfs-disk.img");
  const long long sectors = (img.deviceBytes() + 511) / 512;
  mustRun("rm -f " + disk + " && truncate -s " + std::to_string(sectors * 512 + (2 << 20)) + " " +
          disk);
  mustRun("printf 'label: gpt\\nstart=2048,size=" + std::to_string(sectors) + "\\n' | sfdisk -q " +
          disk);
  mustRun("dd if=" + img.path + " of=" + disk + " bs=1M seek=1 conv=notrunc status=none");
  {
    CVoError err;
    std::unique_ptr<FsDisk> d(FsDisk::open(disk, &err));
    ASSERT_TRUE(d) << err.toString();
    EXPECT_EQ(d->partitions()[0].content, FsPartition::kUnknown);
    EXPECT_NE(d->partitions()[0].why.find("(an image file)"), std::string::npos)
        << d->partitions()[0].why;
  }
  std::string loop;
  if (run("losetup -f --show -P " + disk, &loop, true) != 0) GTEST_SKIP() << "no loop device";
  loop = loop.substr(0, loop.find('\n'));
  struct Detach {
    std::string dev;
    ~Detach() { run("losetup -d " + dev, nullptr, true); }
  } detach{loop};
  run("partx -a " + loop, nullptr, true);
  CVoError err;
  std::unique_ptr<FsDisk> d(FsDisk::open(loop, &err));
  ASSERT_TRUE(d) << err.toString();
  const FsPartition& p = d->partitions()[0];
  ASSERT_EQ(p.content, FsPartition::kFileSystem) << p.why;
  EXPECT_EQ(p.fsType, FsParser::kVxFS);
  const int chunk = 16 * img.d.blockSize;
  void* raw = nullptr;
  long long n = 0;
  ASSERT_GE(d->getBmp(chunk, &raw, &n).code, 0);
  std::unique_ptr<unsigned char, void (*)(void*)> bits(static_cast<unsigned char*>(raw), free);
  const long long first = (1 << 20) / chunk, inside = sectors * 512 / chunk;
  const std::vector<bool> want = img.expectedChunks(16, inside);
  for (long long c = 0; c < inside; ++c)
    EXPECT_EQ((bits.get()[(first + c) / 8] >> ((first + c) % 8)) & 1, want[c] ? 1 : 0) << c;
}
