// The fsbmp command-line tool, run as a user runs it.
#include <algorithm>
#include <cstdlib>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>

#include "common/testutil.h"
#include "fsbmp/fsbmp.h"
#include "fsbmp/fsbmpDisk.h"

using namespace fsbmp_test;

namespace {

class CliTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!haveCommand("mkreiserfs")) return;
    image = scratchPath("cli.img");
    mustRun("truncate -s 80M '" + image + "' && mkreiserfs -f -q '" + image + "' 16384");
  }
  void SetUp() override { FSBMP_REQUIRE_TOOL("mkreiserfs"); }
  static std::string image;
};
std::string CliTest::image;

// Type and geometry in `fsbmp info`, and the map at 64K: tests/oracle, on every image.
TEST_F(CliTest, BitmapFileIsExactlyTheLibrarysBitmap) {
  const std::string outFile = scratchPath("cli.bmp");
  std::string out;
  ASSERT_EQ(runTool("bitmap '" + image + "' --chunk-size 64K --output '" + outFile + "'", &out), 0)
      << out;
  std::vector<unsigned char> written = readFile(outFile);

  CVoError err;
  std::unique_ptr<FsParser> p(FsParser::init(image, &err));
  ASSERT_NE(p, nullptr);
  ChunkBitmap bm;
  ASSERT_GE(getBitmap(p.get(), 65536, &bm).code, 0);
  ASSERT_EQ(written.size(), static_cast<size_t>((bm.nChunks + 7) / 8));
  EXPECT_TRUE(std::equal(written.begin(), written.end(), bm.bits.get()));
  EXPECT_NE(out.find("chunks:      " + std::to_string(bm.nChunks)), std::string::npos) << out;
  EXPECT_NE(out.find("used chunks: " + std::to_string(usedChunks(bm))), std::string::npos) << out;

  // The same size spelled in bytes and as 1M agree with the library too.
  ASSERT_EQ(runTool("bitmap '" + image + "' --chunk-size=1M --output=" + outFile, &out), 0);
  EXPECT_EQ(readFile(outFile).size(), static_cast<size_t>((80 + 7) / 8));
}

TEST_F(CliTest, FailuresExitOne) {
  std::string out;
  const std::string missing = scratchPath("no-such-device");
  EXPECT_EQ(runTool("info '" + missing + "'", &out, true), 1);
  EXPECT_NE(out.find("couldn't open " + missing + " for reading"), std::string::npos) << out;
  EXPECT_NE(out.find("No such file or directory"), std::string::npos) << out;

  const std::string unwritable = scratchPath("no-dir/out.bmp");
  EXPECT_EQ(runTool("bitmap '" + image + "' --chunk-size 4K --output " + unwritable, &out, true),
            1);
  EXPECT_NE(out.find("couldn't create"), std::string::npos) << out;
}

// Each usage error is one line saying what is wrong and one pointing to the help, status 2.
TEST_F(CliTest, UsageErrorsAreOneLineAndExitTwo) {
  const std::string img = "'" + image + "'";
  const struct {
    std::string args, message, help;
  } cases[] = {
      {"", "no command given", ""},
      {"frobnicate x", "unknown command 'frobnicate'", ""},
      {"--bogus", "unknown option --bogus", ""},
      {"info", "info takes one DEVICE", "info "},
      {"info " + img + " --chunk-size 4K", "info doesn't take --chunk-size", "info "},
      {"info " + img + " -c 4K", "info doesn't take --chunk-size", "info "},
      {"map " + img + " --json", "map doesn't take --json", "map "},
      {"copy " + img + " x -c 64K -f ranges", "copy doesn't take --format", "copy "},
      {"bitmap " + img + " -x", "unknown option -x", "bitmap "},
      {"bitmap " + img + " --output x", "bitmap needs --chunk-size", "bitmap "},
      {"bitmap " + img + " -c", "--chunk-size needs a value", "bitmap "},
      {"bitmap " + img + " -c 0 -o x", "chunk size 0 is not a power of two", "bitmap "},
      {"bitmap " + img + " -c 3 -o x", "chunk size 3 is not a power of two", "bitmap "},
      {"bitmap " + img + " -c 6K -o x", "chunk size 6K is not a power of two", "bitmap "},
      {"bitmap " + img + " -c -1 -o x", "bad chunk size '-1'", "bitmap "},
      {"bitmap " + img + " -c 12Q -o x", "bad chunk size '12Q'", "bitmap "},
      {"bitmap " + img + " -c 64KK -o x", "bad chunk size '64KK'", "bitmap "},
      {"bitmap " + img + " -c 1T -o x", "chunk size 1T is larger than 1G", "bitmap "},
      {"map " + img + " -c 2G", "chunk size 2G is larger than 1G", "map "},
      {"copy " + img + " x --chunk-size 5", "chunk size 5 is not a power of two", "copy "},
      {"bitmap " + img + " -c 64K -f xml", "unknown format 'xml'", "bitmap "},
      {"bitmap " + img + " -c 64K", "the raw format needs --output", "bitmap "},
      {"bitmap " + img + " -c 64K -f ranges -o ''", "the --output name is empty", "bitmap "},
      {"map " + img + " --png ''", "the --png name is empty", "map "},
      {"copy " + img + " '' -c 64K", "the TARGET name is empty", "copy "},
      {"copy " + img + " -c 4K", "copy takes a DEVICE and a TARGET", "copy "},
  };
  for (const auto& c : cases) {
    std::string out;
    EXPECT_EQ(runTool(c.args, &out, true), 2) << c.args;
    const std::string tryHelp = "\nTry 'fsbmp " + c.help + "--help'.\n";
    EXPECT_EQ(out.rfind("fsbmp: " + c.message, 0), 0u) << c.args << ": " << out;
    ASSERT_GE(out.size(), tryHelp.size());
    EXPECT_EQ(out.substr(out.size() - tryHelp.size()), tryHelp) << c.args << ": " << out;
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 2) << c.args << ": " << out;
  }
  std::string out;
  EXPECT_EQ(runTool("--help", &out), 0);
  EXPECT_NE(out.find("bitmap DEVICE"), std::string::npos);
  EXPECT_NE(out.find("--bitmap FILE"), std::string::npos);
  EXPECT_EQ(runTool("--version", &out), 0);
  EXPECT_EQ(out.rfind("fsbmp ", 0), 0u) << out;
}

// Spellings getopt_long reads alike give the same document; '-' is standard output.
TEST_F(CliTest, OptionsAsGetoptReadsThem) {
  const std::string img = "'" + image + "'";
  std::string expected;
  ASSERT_EQ(runTool("bitmap " + img + " --chunk-size 64K --format ranges", &expected), 0);
  ASSERT_NE(expected, "");
  copyFile(image, scratchPath("-dash.img"));
  for (const std::string& args : std::vector<std::string>{
           "bitmap " + img + " -c 64K -f ranges", "bitmap -f ranges " + img + " -c64K",
           "bitmap --chunk-size=64K --format=ranges -- " + img,
           "--debug bitmap " + img + " -c 65536 -f ranges -o - 2>/dev/null",
           "bitmap -c 64K -f ranges -- -dash.img"}) {
    std::string out;
    EXPECT_EQ(run("cd '" + scratchDir() + "' && " + toolCommand() + " " + args, &out), 0) << args;
    EXPECT_EQ(out, expected) << args;
    // Options after operands whatever POSIXLY_CORRECT says.
    EXPECT_EQ(
        run("cd '" + scratchDir() + "' && POSIXLY_CORRECT=1 " + toolCommand() + " " + args, &out),
        0)
        << args;
    EXPECT_EQ(out, expected) << args;
  }
  // Raw bytes and PNG images to standard output too.
  const std::string raw = scratchPath("opt.bmp"), piped = scratchPath("piped.bmp");
  ASSERT_EQ(runTool("bitmap " + img + " -c 64K -o '" + raw + "'"), 0);
  ASSERT_EQ(runTool("bitmap " + img + " -c 64K -o - > '" + piped + "'"), 0);
  EXPECT_EQ(readFile(piped), readFile(raw));
  std::string version;
  runTool("--version", &version);
  if (version.find("PNG maps: yes") != std::string::npos) {
    std::string head;
    ASSERT_EQ(runTool("map " + img + " --png - | head -c 4 | od -An -c", &head), 0);
    EXPECT_NE(head.find("P   N   G"), std::string::npos) << head;
  }
  // A full standard output is a failure that says so.
  for (const std::string& args :
       {"info " + img, "info --json " + img, "map " + img, "bitmap " + img + " -c 64K -f ranges",
        "bitmap " + img + " -c 64K -o '" + raw + "'", std::string("help map")}) {
    std::string out;
    EXPECT_EQ(runTool(args + " 2>&1 >/dev/full", &out), 1) << args;
    EXPECT_EQ(out, "fsbmp: couldn't write standard output: No space left on device\n") << args;
  }
}

// Inputs that are not an image of a file system the tool reads: each refused at once with a
// word for what it is, or read with a warning. {} stands for a scratch file the setup makes.
TEST_F(CliTest, OddInputs) {
  FSBMP_REQUIRE_TOOL("mke2fs");
  const struct {
    std::string name, setup, args;
    int status;
    std::string expect, reject;
  } cases[] = {
      {"fifo", "mkfifo {}", "info {}", 1, "{} is a FIFO, not a block device or an image file", ""},
      {"fifo.bmp", "mkfifo {}", "copy IMG {}.out -c 64K --bitmap {}", 1, "{} is not a regular file",
       ""},
      {"dir", "mkdir {}", "bitmap {} -c 64K -f ranges", 1, "{} is a directory, not a block", ""},
      {"empty", ": > {}", "info {}", 1, "{} is an empty file (0 bytes)", ""},
      {"null", "true", "info /dev/null", 1, "/dev/null is an empty device", ""},
      {"journal", "mke2fs -q -F -O journal_dev -b 4096 {} 8M", "info {}", 1,
       "{} is not a file system: it holds an external ext3/4 journal", ""},
      // A PV label that does not verify: a disk whose one PV counts used whole.
      {"pv",
       "truncate -s 4M {} && printf 'LABELONE\\001' | dd of={} bs=1 seek=512 conv=notrunc "
       "2>/dev/null && printf 'LVM2 001' | dd of={} bs=1 seek=536 conv=notrunc 2>/dev/null",
       "info {}", 0, "LVM physical volume: its label's checksum does not match: counted used whole",
       ""},
      // A device shorter than its file system: warned about, and said in the JSON.
      {"short", "truncate -s 64M {} && mke2fs -q -F -t ext4 {} && truncate -s 60M {}",
       "bitmap {} -c 1M -f json", 0,
       "\"warnings\": [\n    \"{} is shorter than its file system (62914560 of 67108864 bytes)",
       ""},
      {"short-info", "cp '" + scratchPath("short") + "' {}", "info {}", 0,
       "fsbmp: warning: {} is shorter than its file system", ""},
      // One chunk larger than the device: the used bytes end where the device does.
      {"big-chunk", "true", "bitmap IMG -c 1G -o {}", 0, "used bytes:  83886080\n", ""},
      // Bitmaps cut off: the library's messages, without its located stack...
      {"cut", "truncate -s 64M {} && mke2fs -q -F -t ext2 -b 1024 {} && truncate -s 20M {}",
       "bitmap {} -c 64K -f ranges", 1,
       "fsbmp: couldn't build the bitmap of {}: Couldn't read allocation bitmap", "    at "},
      // ...which --debug adds.
      {"cut-debug", "cp '" + scratchPath("cut") + "' {}", "--debug bitmap {} -c 64K -f ranges", 1,
       "    at ", ""},
      // A log on another device: named, it is read; a journal of the file system's own is not
      // named.
      {"extlog",
       "truncate -s 64M {} {}.log && TEST_DIR=1 TEST_DEV=1 QA_CHECK_FS=1 mkfs.xfs -f -q -l "
       "logdev={}.log,size=2000b {}",
       "info {} --journal-device {}.log", 0, "journal:     clean\n", ""},
      {"extlog-unnamed", "true", "info " + scratchPath("extlog"), 0,
       "journal:     on another device\n", ""},
      {"own-journal", "true", "info IMG --journal-device {}", 2,
       "keeps no journal on another device", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = scratchPath(c.name);
    auto fill = [&](std::string text) {
      for (size_t at = text.find("{}"); at != std::string::npos; at = text.find("{}", at))
        text.replace(at, 2, path);
      for (size_t at = text.find("IMG"); at != std::string::npos; at = text.find("IMG", at))
        text.replace(at, 3, image);
      return text;
    };
    mustRun(fill(c.setup));
    std::string out;
    // A tool that waits on the FIFO fails here instead of hanging the test.
    EXPECT_EQ(run("timeout 20 " + toolCommand() + " " + fill(c.args), &out, true), c.status) << out;
    EXPECT_NE(out.find(fill(c.expect)), std::string::npos) << fill(c.expect) << " in:\n" << out;
    if (!c.reject.empty()) {
      EXPECT_EQ(out.find(c.reject), std::string::npos) << out;
    }
  }
}

// A path that is not UTF-8 is bytes like any other: JSON replaces what is not UTF-8 with U+FFFD.
TEST_F(CliTest, NonUtf8PathsInJson) {
  const std::string odd = scratchPath("caf\xe9-\xff.img");
  copyFile(image, odd);
  for (const std::string& args : std::vector<std::string>{"info --json '" + odd + "'",
                                                          "bitmap '" + odd + "' -c 1M -f json"}) {
    std::string out;
    ASSERT_EQ(runTool(args, &out, true), 0) << out;
    nlohmann::json doc = nlohmann::json::parse(out, nullptr, false);
    ASSERT_FALSE(doc.is_discarded()) << out;
    EXPECT_EQ(doc["device"], scratchPath("caf\xef\xbf\xbd-\xef\xbf\xbd.img"));
    EXPECT_EQ(doc["type"], "ReiserFS");
  }
}

// copy looks at its target before reading anything: names that cannot be a file are refused;
// a symbolic link is written through, like cp.
TEST_F(CliTest, CopyTargets) {
  const std::string dir = scratchPath("targets");
  mustRun("mkdir -p '" + dir + "/sub' && mkfifo '" + dir + "/fifo' && ln -sf real.img '" + dir +
          "/link.img' && ln -sf sub '" + dir + "/dirlink'");
  const struct {
    std::string target;
    int status;
    std::string expect;
  } cases[] = {
      {dir + "/new.img/", 1, dir + "/new.img/ ends in '/': name a file for the copy"},
      {dir + "/sub", 1, dir + "/sub is a directory: name a file in it for the copy"},
      {dir + "/dirlink", 1, dir + "/dirlink is a directory"},
      {dir + "/fifo", 1, dir + "/fifo is a FIFO, not a regular file or a block device"},
      {dir + "/link.img", 0, "copied:  " + image + " to " + dir + "/link.img"},
  };
  for (const auto& c : cases) {
    std::string out;
    EXPECT_EQ(run("timeout 20 " + toolCommand() + " copy '" + image + "' '" + c.target + "' -c 64K",
                  &out, true),
              c.status)
        << out;
    EXPECT_NE(out.find(c.expect), std::string::npos) << c.expect << " in:\n" << out;
  }
  std::string listing;
  run("cd '" + dir + "' && ls -A sub; find . -maxdepth 1 -type l -name link.img", &listing);
  EXPECT_EQ(listing, "./link.img\n") << "sub stays empty, the link stays a link";
  EXPECT_EQ(readFile(dir + "/real.img").size(), 80u << 20) << "written through the link";
}

// On a terminal (a pseudo-terminal of the width given), every line fits: the map's rows and
// legend, and the progress line, which must not wrap and pile up lines as it is redrawn.
TEST_F(CliTest, TerminalOutputFitsItsWidth) {
  FSBMP_REQUIRE_TOOL("script");
  const std::string target = scratchPath("tty-copy.img");
  for (int width : {20, 50, 80}) {
    SCOPED_TRACE(width);
    for (const std::string& args : {"map '" + image + "' -c 64K", "map '" + image + "' -c 1M",
                                    "copy '" + image + "' '" + target + "' -c 64M",
                                    "copy '" + image + "' '" + target + "' -c 64K"}) {
      std::string out;
      const std::string inner = "stty cols " + std::to_string(width) + " rows 40; LC_ALL=C.UTF-8 " +
                                toolCommand() + " " + args;
      ASSERT_EQ(run("script -qec \"" + inner + "\" /dev/null", &out), 0) << out;
      // Lines end at \r or \n; the bar clears to the end of the line with ESC [ K.
      size_t start = 0;
      while (start < out.size()) {
        size_t end = out.find_first_of("\r\n", start);
        if (end == std::string::npos) end = out.size();
        std::string line = out.substr(start, end - start);
        // The progress line clears to its end with ESC [ K.
        const bool progress = line.find("\033[K") != std::string::npos;
        for (size_t esc = line.find("\033[K"); esc != std::string::npos; esc = line.find("\033[K"))
          line.erase(esc, 3);
        const long long columns =
            std::count_if(line.begin(), line.end(), [](char ch) { return (ch & 0xC0) != 0x80; });
        // The grid's rows and the progress line fit the terminal; everything fits 80 columns,
        // but the first line, which names the device by its long scratch path.
        // A grid row: its offset right-aligned in 10 columns ("  16.0 MiB"), then a space.
        const bool gridRow = line.size() > 11 && line[9] == 'B' && line[10] == ' ' &&
                             line.find_first_of("0123456789") < 9;
        if (progress || gridRow) {
          EXPECT_LE(columns, width) << args << ": " << line;
        }
        if (line.find(image) == std::string::npos) {
          EXPECT_LE(columns, 80) << args << ": " << line;
        }
        start = end + 1;
      }
      if (args.find("-c 64M") != std::string::npos) {
        EXPECT_NE(out.find(" in 1 run of 67108864-byte chunks"), std::string::npos) << out;
      }
      if (args.find("map") == 0 && args.find("-c 1M") != std::string::npos) {
        EXPECT_NE(out.find("(1 chunk of 1.0 MiB)"), std::string::npos) << out;
      }
    }
  }
}

TEST_F(CliTest, DebugSendsTheLogToStandardError) {
  std::string out;
  ASSERT_EQ(runTool("--debug info '" + image + "' 2>&1 >/dev/null", &out), 0);
  EXPECT_NE(out.find("[FsParserReiserFS::init] Detected ReiserFS on " + image), std::string::npos)
      << out;
  ASSERT_EQ(runTool("info '" + image + "' 2>&1 >/dev/null", &out), 0);
  EXPECT_EQ(out, "") << "silent without --debug";
}

// Used chunk bits from byte ranges: every chunk a range touches.
std::vector<bool> chunksOfRanges(const std::vector<std::pair<long long, long long>>& ranges,
                                 long long chunkSize, long long nChunks) {
  std::vector<bool> chunks(static_cast<size_t>(nChunks), false);
  for (const auto& r : ranges)
    for (long long c = r.first / chunkSize; c * chunkSize < r.first + r.second; ++c)
      chunks[static_cast<size_t>(c)] = true;
  return chunks;
}

TEST_F(CliTest, TextFormatsAgreeWithTheRawBitmap) {
  const std::string raw = scratchPath("fmt.bmp");
  const std::string base = toolCommand() + " bitmap '" + image + "' --chunk-size 64K";
  ASSERT_EQ(run(base + " --output '" + raw + "'"), 0);
  std::vector<unsigned char> bits = readFile(raw);
  const long long nChunks = 80 * 16, devSize = 80LL << 20;
  ASSERT_EQ(bits.size(), static_cast<size_t>(nChunks / 8));
  std::vector<bool> rawChunks(static_cast<size_t>(nChunks));
  for (long long c = 0; c < nChunks; ++c)
    rawChunks[static_cast<size_t>(c)] = (bits[c / 8] >> (c % 8)) & 1;

  // ranges: "OFFSET LENGTH", ascending, separate, chunk-aligned.
  std::string out;
  ASSERT_EQ(run(base + " --format ranges", &out), 0);
  std::vector<std::pair<long long, long long>> ranges;
  std::istringstream lines(out);
  long long offset, length, end = -1;
  while (lines >> offset >> length) {
    EXPECT_GT(offset, end) << "ranges overlap, touch or go backwards";
    EXPECT_EQ(offset % 65536, 0);
    EXPECT_GT(length, 0);
    end = offset + length;
    ranges.push_back({offset, length});
  }
  EXPECT_LE(end, devSize);
  EXPECT_EQ(chunksOfRanges(ranges, 65536, nChunks), rawChunks);

  // json: parses, and its geometry and ranges say the same.
  ASSERT_EQ(run(base + " --format json", &out), 0);
  nlohmann::json doc = nlohmann::json::parse(out, nullptr, false);
  ASSERT_FALSE(doc.is_discarded()) << out;
  EXPECT_EQ(doc["type"], "ReiserFS");
  EXPECT_EQ(doc["block_size"], 4096);
  EXPECT_EQ(doc["device_size"], devSize);
  EXPECT_EQ(doc["chunk_size"], 65536);
  EXPECT_EQ(doc["chunks"], nChunks);
  std::vector<std::pair<long long, long long>> jsonRanges;
  long long usedBytes = 0;
  for (const auto& r : doc["used_ranges"]) {
    jsonRanges.push_back({r["offset"].get<long long>(), r["length"].get<long long>()});
    usedBytes += jsonRanges.back().second;
  }
  EXPECT_EQ(jsonRanges, ranges);
  EXPECT_EQ(doc["used_bytes"], usedBytes);
  long long usedChunks = 0;
  for (bool b : rawChunks) usedChunks += b;
  EXPECT_EQ(doc["used_chunks"], usedChunks);

  // ddrescue: a mapfile whose blocks cover the device without gaps, '+' exactly where used.
  ASSERT_EQ(run(base + " --format ddrescue", &out), 0);
  std::istringstream map(out);
  std::string line;
  bool statusSeen = false;
  long long at = 0;
  std::vector<std::pair<long long, long long>> finished;
  while (std::getline(map, line)) {
    if (line.empty() || line[0] == '#') continue;
    unsigned long long pos = 0, size = 0;
    char status = 0;
    if (!statusSeen) {
      ASSERT_EQ(sscanf(line.c_str(), "%llx %c", &pos, &status), 2) << line;
      statusSeen = true;
      continue;
    }
    ASSERT_EQ(sscanf(line.c_str(), "%llx %llx %c", &pos, &size, &status), 3) << line;
    EXPECT_EQ(static_cast<long long>(pos), at) << line;
    EXPECT_TRUE(status == '+' || status == '?') << line;
    if (status == '+')
      finished.push_back({static_cast<long long>(pos), static_cast<long long>(size)});
    at = static_cast<long long>(pos + size);
  }
  EXPECT_EQ(at, devSize);
  // The last sector is finished too, so that ddrescue's image is the device's size.
  std::vector<std::pair<long long, long long>> withLastSector = ranges;
  ASSERT_LT(end, devSize) << "this image ends in free space";
  withLastSector.push_back({devSize - 512, 512});
  EXPECT_EQ(finished, withLastSector);

  // Text formats go to a file as well, and an unknown format is a usage error.
  ASSERT_EQ(run(base + " --format ranges --output '" + raw + ".txt'", &out), 0);
  EXPECT_NE(out.find("used chunks: " + std::to_string(usedChunks)), std::string::npos) << out;
  EXPECT_EQ(run(base + " --format xml", &out, true), 2);
  EXPECT_NE(out.find("unknown format 'xml'"), std::string::npos) << out;
  EXPECT_EQ(run(base + " --format raw", &out, true), 2) << "raw bytes never go to a terminal";
}

// extentlist: the ranges' lines and nothing else, which nbdkit's extentlist filter takes and
// then reports every other byte as a hole (nbdinfo --map).
TEST_F(CliTest, ExtentListIsWhatNbdkitsFilterReads) {
  const std::string list = scratchPath("cli.extents");
  const std::string base = toolCommand() + " bitmap '" + image + "' --chunk-size 64K";
  std::string ranges, extents;
  ASSERT_EQ(run(base + " --format ranges", &ranges), 0);
  ASSERT_EQ(run(base + " --format extentlist --output '" + list + "'"), 0);
  const std::vector<unsigned char> bytes = readFile(list);
  extents.assign(bytes.begin(), bytes.end());
  EXPECT_EQ(extents, ranges);
  FSBMP_REQUIRE_TOOL("nbdkit");
  FSBMP_REQUIRE_TOOL("nbdinfo");
  std::string map;
  ASSERT_EQ(run("nbdkit -r -U - --filter=extentlist file '" + image + "' extentlist='" + list +
                    "' --run 'nbdinfo --map \"$uri\"'",
                &map, true),
            0)
      << map;
  std::istringstream lines(map);
  std::string data;
  long long offset, length, type;
  std::string what;
  while (lines >> offset >> length >> type >> what)
    if (type == 0) data += std::to_string(offset) + " " + std::to_string(length) + "\n";
  EXPECT_EQ(data, ranges) << map;
}

// The raw bitmap has one bit per chunk: XFS's bitmap sets the bits past its last chunk, and the
// tool clears them.
TEST(CliRawTest, BitsPastTheLastChunkAreZero) {
  FSBMP_REQUIRE_TOOL("mkfs.xfs");
  const std::string img = scratchPath("tail.img"), raw = scratchPath("tail.bmp");
  mustRun("truncate -s 41M '" + img + "' && TEST_DIR=1 TEST_DEV=1 QA_CHECK_FS=1 mkfs.xfs -f -q '" +
          img + "'");
  mustRunTool("bitmap '" + img + "' -c 1M -o '" + raw + "'");
  const std::vector<unsigned char> bits = readFile(raw);
  ASSERT_EQ(bits.size(), 6u);                    // 41 chunks
  EXPECT_EQ(bits[5] & 0xFE, 0) << int(bits[5]);  // chunk 40 is bit 0 of byte 5
}

TEST_F(CliTest, ProgressBarOnlyOnATerminalAndNotWhenQuiet) {
  FSBMP_REQUIRE_TOOL("script");
  const std::string target = scratchPath("progress.img");
  const std::string copy =
      toolCommand() + " copy '" + image + "' '" + target + "' --chunk-size 64K";
  std::string out;
  // script(1) gives the tool a pseudo-terminal for its standard streams.
  ASSERT_EQ(run("script -qec \"" + copy + "\" /dev/null", &out), 0) << out;
  EXPECT_NE(out.find("\r["), std::string::npos) << out;
  EXPECT_NE(out.find("100% "), std::string::npos) << out;
  EXPECT_NE(out.find("/s "), std::string::npos) << "rate: " << out;
  EXPECT_NE(out.find(" left"), std::string::npos) << "time left: " << out;
  EXPECT_NE(out.find("written: "), std::string::npos) << "summary: " << out;

  ASSERT_EQ(run("script -qec \"" + copy + " --quiet\" /dev/null", &out), 0) << out;
  EXPECT_EQ(out.find("\r["), std::string::npos) << out;
  EXPECT_NE(out.find("written: "), std::string::npos) << out;
}

TEST_F(CliTest, InfoJsonMatchesTheLibrary) {
  std::string out;
  ASSERT_EQ(runTool("info --json '" + image + "'", &out), 0);
  nlohmann::json doc = nlohmann::json::parse(out, nullptr, false);
  ASSERT_FALSE(doc.is_discarded()) << out;
  CVoError err;
  std::unique_ptr<FsParser> p(FsParser::init(image, &err));
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(doc["device"], image);
  EXPECT_EQ(doc["type"], "ReiserFS");
  EXPECT_EQ(doc["block_size"], p->blockSize);
  EXPECT_EQ(doc["block_count"], p->blockCount);
  EXPECT_EQ(doc["fs_size"], p->fsSize);
  EXPECT_EQ(doc["device_size"], p->devSize);
}

TEST_F(CliTest, UnrecognisedDeviceListsEveryRefusal) {
  const std::string junk = scratchPath("junk.img");
  mustRun("truncate -s 4M '" + junk + "'");
  std::string out;
  EXPECT_EQ(runTool("info '" + junk + "'", &out, true), 1);
  EXPECT_NE(out.find("no supported file system recognised on " + junk), std::string::npos) << out;
  size_t last = 0;
  for (const char* name : {"VxFS", "ext2/3/4", "ReiserFS", "XFS"}) {
    size_t at = out.find(std::string("\n  ") + name + " ", last);
    EXPECT_NE(at, std::string::npos) << name << " missing, or out of the factory's order:\n" << out;
    if (at != std::string::npos) last = at;
  }
  EXPECT_NE(out.find("magic"), std::string::npos) << "each says why: " << out;

  // --debug adds each refusal's located error stack.
  ASSERT_EQ(runTool("--debug info '" + junk + "'", &out, true), 1);
  EXPECT_NE(out.find("FsParserXFS::init(const string&)"), std::string::npos) << out;
}

TEST_F(CliTest, EveryCommandHasHelp) {
  std::string out;
  for (const std::string command : {"info", "bitmap", "copy", "map"}) {
    ASSERT_EQ(runTool(command + " --help", &out), 0) << command;
    EXPECT_EQ(out.rfind("usage: fsbmp " + command, 0), 0u) << out;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) EXPECT_LE(line.size(), 80u) << line;
    std::string again;
    ASSERT_EQ(runTool("help " + command, &again), 0);
    EXPECT_EQ(again, out);
  }
  EXPECT_EQ(runTool("copy '" + image + "' --chunk-size 4K", &out, true), 2);
  EXPECT_NE(out.find("copy takes a DEVICE and a TARGET"), std::string::npos) << out;
}

TEST_F(CliTest, TerminalMapShowsTheUsedShare) {
  std::string out;
  ASSERT_EQ(
      run("COLUMNS=60 LC_ALL=C " + toolCommand() + " map '" + image + "' --chunk-size 64K", &out),
      0);
  // 80 MiB in 64 KiB chunks: 1280 chunks, in cells of a power of two of chunks, 32 to a row.
  EXPECT_NE(out.find("ReiserFS, 80.0 MiB, 4096-byte blocks"), std::string::npos) << out;
  EXPECT_NE(out.find(" free "), std::string::npos) << "legend: " << out;
  CVoError err;
  std::unique_ptr<FsParser> p(FsParser::init(image, &err));
  ChunkBitmap bm;
  ASSERT_GE(getBitmap(p.get(), 65536, &bm).code, 0);
  long long used = 0;
  for (long long c = 0; c < bm.nChunks; ++c) used += bm.test(c);
  char share[32];
  snprintf(share, sizeof share, "(%.1f%%)",
           100.0 * static_cast<double>(used) / static_cast<double>(bm.nChunks));
  EXPECT_NE(out.find(share), std::string::npos) << share << " in:\n" << out;
  // The rows fit the width; the first cell holds the superblock, so it is not free.
  std::istringstream lines(out);
  std::string line;
  std::getline(lines, line);
  std::getline(lines, line);
  EXPECT_LE(line.size(), 60u) << line;
  ASSERT_GT(line.size(), 11u);
  EXPECT_NE(line[11], '.') << line;
}

TEST_F(CliTest, PngMapIsAPicture) {
  std::string out;
  ASSERT_EQ(runTool("--version", &out), 0);
  const std::string png = scratchPath("map.png");
  if (out.find("PNG maps: yes") == std::string::npos) {
    EXPECT_EQ(runTool("map '" + image + "' --png '" + png + "'", &out, true), 1);
    EXPECT_NE(out.find("built without PNG support"), std::string::npos) << out;
    GTEST_SKIP() << "this fsbmp was built without libpng";
  }
  ASSERT_EQ(runTool("map '" + image + "' --png '" + png + "'", &out, true), 0) << out;
  std::vector<unsigned char> data = readFile(png);
  ASSERT_GT(data.size(), 33u);
  const unsigned char signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
  EXPECT_TRUE(std::equal(signature, signature + 8, data.begin()));
  EXPECT_EQ(std::string(data.begin() + 12, data.begin() + 16), "IHDR");
  const uint32_t width = getBE32(data, 16), height = getBE32(data, 20);
  EXPECT_NE(out.find(std::to_string(width) + " x " + std::to_string(height) + " pixels"),
            std::string::npos)
      << out;
  EXPECT_GT(width, 0u);
  EXPECT_GT(height, 0u);
  if (haveCommand("file")) {
    std::string what;
    run("file '" + png + "'", &what);
    EXPECT_NE(what.find("PNG image data"), std::string::npos) << what;
  }
}

// A whole disk: partition 1 (1 MiB to 41 MiB) holds ext4, partition 2 nothing the library knows.
struct CliDiskCase {
  const char* name;
  const char* script;  // for sfdisk
  const char* label;
};

class CliDiskTest : public ::testing::TestWithParam<CliDiskCase> {};

std::string withoutPath(std::string text, const std::string& path) {
  for (size_t at = text.find(path); at != std::string::npos; at = text.find(path, at))
    text.replace(at, path.size(), "DISK");
  return text;
}

TEST_P(CliDiskTest, InfoBitmapAndCopyOfAWholeDisk) {
  FSBMP_REQUIRE_TOOL("sfdisk");
  FSBMP_REQUIRE_TOOL("mkfs.ext4");
  FSBMP_REQUIRE_TOOL("e2fsck");
  const CliDiskCase& c = GetParam();
  const std::string img = scratchPath(std::string("cli-disk-") + c.name + ".img");
  const std::string fs = img + ".fs", bmp = img + ".bmp", copy = img + ".copy",
                    back = img + ".back";
  mustRun("rm -f '" + img + "' '" + fs + "' && truncate -s 64M '" + img + "' && printf '" +
          c.script + "' | sfdisk -q '" + img + "' && truncate -s 40M '" + fs +
          "' && mkfs.ext4 -q -F '" + fs + "' >/dev/null 2>&1 && dd if='" + fs + "' of='" + img +
          "' bs=64K oflag=seek_bytes seek=1048576 conv=notrunc status=none");
  CVoError err;
  std::unique_ptr<FsDisk> disk(FsDisk::open(img, &err));
  ASSERT_NE(disk, nullptr) << err.toString();

  std::string out;
  ASSERT_EQ(runTool("info --json '" + img + "'", &out), 0) << out;
  nlohmann::json doc = nlohmann::json::parse(out, nullptr, false);
  ASSERT_FALSE(doc.is_discarded()) << out;
  EXPECT_EQ(doc["type"], "disk");
  EXPECT_EQ(doc["table"], c.label);
  EXPECT_EQ(doc["device_size"], 64LL << 20);
  ASSERT_EQ(doc["partitions"].size(), disk->partitions().size()) << out;
  ASSERT_EQ(disk->partitions().size(), 2u);
  for (size_t i = 0; i < disk->partitions().size(); ++i) {
    const FsPartition& p = disk->partitions()[i];
    EXPECT_EQ(doc["partitions"][i]["number"], p.number);
    EXPECT_EQ(doc["partitions"][i]["start"], p.start);
    EXPECT_EQ(doc["partitions"][i]["length"], p.length);
  }
  EXPECT_EQ(doc["partitions"][0]["start"], 1 << 20);
  EXPECT_EQ(doc["partitions"][0]["content"], "ext2/3/4");
  EXPECT_EQ(doc["partitions"][1]["content"], "unknown");

  ASSERT_EQ(runTool("bitmap '" + img + "' -c 64K -f raw -o '" + bmp + "'", &out), 0) << out;
  ChunkBitmap diskBits;
  ASSERT_GE(getBitmap(disk.get(), 65536, &diskBits).code, 0);
  const std::vector<unsigned char> written = readFile(bmp);
  ASSERT_EQ(written.size(), static_cast<size_t>((diskBits.nChunks + 7) / 8));
  EXPECT_TRUE(std::equal(written.begin(), written.end(), diskBits.bits.get()));

  ASSERT_EQ(runTool("copy -q '" + img + "' '" + copy + "' -c 64K", &out, true), 0) << out;
  EXPECT_EQ(withoutPath(mustRun("sfdisk --dump '" + copy + "'"), copy),
            withoutPath(mustRun("sfdisk --dump '" + img + "'"), img));
  mustRun("dd if='" + copy + "' of='" + back +
          "' bs=64K iflag=skip_bytes,count_bytes skip=1048576 count=41943040 status=none");
  EXPECT_EQ(run("e2fsck -fn '" + back + "'", &out, true), 0) << out;

  // --partition 1: the bitmap and the copy of partition 1 alone are those of its file system.
  std::unique_ptr<FsParser> alone(FsParser::init(fs, &err));
  ASSERT_NE(alone, nullptr) << err.toString();
  ChunkBitmap fsBits;
  ASSERT_GE(getBitmap(alone.get(), 65536, &fsBits).code, 0);
  ASSERT_EQ(runTool("bitmap --partition 1 '" + img + "' -c 64K -o '" + bmp + "'", &out), 0) << out;
  const std::vector<unsigned char> part = readFile(bmp);
  ASSERT_EQ(part.size(), static_cast<size_t>((fsBits.nChunks + 7) / 8));
  EXPECT_TRUE(std::equal(part.begin(), part.end(), fsBits.bits.get()));
  // Read through the page cache or past it: the partition's own bytes either way.
  for (const char* direct : {"", " --direct"}) {
    mustRun("rm -f '" + back + "'");
    ASSERT_EQ(runTool("copy -q -p 1 '" + img + "' '" + back + "' -c 64K" + direct, &out, true), 0)
        << out;
    EXPECT_EQ(readFile(back).size(), 40u << 20);
    EXPECT_EQ(run("e2fsck -fn '" + back + "'", &out, true), 0) << direct << out;
  }
  ASSERT_EQ(runTool("info -p 2 '" + img + "'", &out), 0) << out;
  EXPECT_NE(out.find("partition:   2 alone"), std::string::npos) << out;
  // No partition 3; no table at all; not a number: usage errors.
  for (const std::string& args : {"info -p 3 '" + img + "'", "map -p 1 '" + fs + "'",
                                  "bitmap -p x -c 64K -f ranges '" + img + "'"}) {
    EXPECT_EQ(runTool(args, &out, true), 2) << args << ": " << out;
    EXPECT_NE(out.find("partition"), std::string::npos) << out;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Tables, CliDiskTest,
    ::testing::Values(CliDiskCase{"gpt", "label: gpt\\n,40M,L\\n,10M,L\\n", "GPT"},
                      CliDiskCase{"mbr", "label: dos\\n,40M,L\\n,10M,L\\n", "MBR"}),
    [](const ::testing::TestParamInfo<CliDiskCase>& p) { return std::string(p.param.name); });

}  // namespace
