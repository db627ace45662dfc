// fsbmp: the command-line face of the library. This file reads the command line and runs the
// command; each command's work lives in its own file.
#include <langinfo.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "copy.h"
#include "device_check.h"
#include "formats.h"
#include "map.h"
#include "options.h"
#include "output_file.h"
#include "probe.h"
#include "usage_map.h"
#include "verify_report.h"

using namespace fsbmp_tool;

namespace {

const char kUsage[] =
    "usage: fsbmp [--debug] COMMAND DEVICE [OPTIONS]\n"
    "\n"
    "Commands:\n"
    "  info DEVICE [--json]      file-system type and geometry, or a disk's table\n"
    "  bitmap DEVICE -c BYTES [-f raw|ranges|json|ddrescue|extentlist] [-o FILE]\n"
    "                            the used chunks, as a raw bitmap (one bit per\n"
    "                            chunk, least significant bit first), byte ranges,\n"
    "                            JSON, a GNU ddrescue mapfile or an nbdkit extent list\n"
    "  copy DEVICE TARGET -c BYTES [-q] [--bitmap FILE] [--force] [--direct]\n"
    "                            copy the used chunks to the same offsets of TARGET\n"
    "  map DEVICE [-c BYTES] [--png FILE]\n"
    "                            a picture of where the used space lies\n"
    "\n"
    "Options:\n"
    "  -c, --chunk-size BYTES    a power of two and a multiple of the block size;\n"
    "                            suffixes K, M, G\n"
    "  -f, --format FORMAT       bitmap: raw (the default), ranges, json, ddrescue\n"
    "                            or extentlist\n"
    "  -o, --output FILE         bitmap: where it goes ('-': standard output)\n"
    "  -q, --quiet               copy: no progress bar\n"
    "      --bitmap FILE         copy: follow a raw bitmap written earlier\n"
    "      --force               copy: even a file system mounted read-write\n"
    "      --direct              copy: direct I/O (O_DIRECT), past the page cache\n"
    "      --png FILE            map: a PNG image ('-': standard output)\n"
    "  -p, --partition N         a disk's partition N alone, as if it were the device\n"
    "      --journal-device PATH the device that holds the file system's external\n"
    "                            journal (ext3/4) or log (XFS), to replay from\n"
    "      --member PATH         btrfs: another device of the file system, where\n"
    "                            metadata this device lacks lies; md: another\n"
    "                            member of the array (repeatable)\n"
    "      --decrypted PATH      the opened device (/dev/mapper/NAME) that decrypts\n"
    "                            a LUKS container on the disk (repeatable)\n"
    "      --verify              ext2/3/4, XFS: read every file too and count used\n"
    "                            what the files use and the maps call free\n"
    "      --debug               the library's debug log on standard error, and its\n"
    "                            whole error stacks\n"
    "  -h, --help, --version     'fsbmp COMMAND --help' describes one command\n"
    "\n"
    "Usage errors exit with status 2, failures with 1.\n";

const char kInfoHelp[] =
    "usage: fsbmp info DEVICE [--json] [--verify]\n"
    "\n"
    "Recognises the file system on DEVICE (a block device or an image file) and\n"
    "prints its type, block size, block count, file-system size and device size.\n"
    "With --json the same facts are printed as a JSON object (device, type,\n"
    "block_size, block_count, fs_size, device_size, and warnings when there are\n"
    "any). A device shorter than its file system is warned about on standard error.\n"
    "\n"
    "A whole disk with a partition table (MBR or GPT) is read as a disk: its table\n"
    "type and its partitions (number, start, length, table type and what each\n"
    "holds) are printed; in JSON, type \"disk\", table and partitions.\n"
    "\n"
    "--verify (ext2/3/4, XFS) reads every file of the file system, as e2fsck's or\n"
    "xfs_repair's first pass does, and says how many blocks the files use that the\n"
    "allocation maps call free, with the first of them and the inodes that name\n"
    "them (JSON:\n"
    "\"verify\": inodes_scanned, blocks_free_in_maps, first).\n";

const char kBitmapHelp[] =
    "usage: fsbmp bitmap DEVICE -c|--chunk-size BYTES [-f|--format FORMAT]\n"
    "                    [-o|--output FILE] [--verify]\n"
    "\n"
    "Builds the used-space bitmap of DEVICE: one bit per chunk of BYTES bytes,\n"
    "counted from byte 0, set when the chunk holds at least one block the file\n"
    "system uses. BYTES is a power of two and a multiple of the file system's block\n"
    "size (suffixes K, M, G). A whole disk with a partition table is mapped as\n"
    "one: its block size is 512, and its tables, gaps and partitions not recognised\n"
    "count as used.\n"
    "\n"
    "Formats:\n"
    "  raw        (default) ceil(chunks / 8) bytes; chunk c is bit c mod 8 of byte\n"
    "             c / 8, least significant bit first. Needs --output (FILE, or '-'\n"
    "             for standard output); to a FILE, prints the chunk counts.\n"
    "  ranges     one used run per line: its byte offset and length, in decimal\n"
    "  json       geometry, chunk counts and the used runs as {offset, length}\n"
    "             objects\n"
    "  ddrescue   a GNU ddrescue mapfile covering the device: used space finished\n"
    "             (+), free space non-tried (?), the last sector always finished so\n"
    "             that the image is full-size; 'ddrescue --domain-mapfile=FILE'\n"
    "             then copies only the used space\n"
    "  extentlist the used runs as nbdkit's extentlist filter reads them ('OFFSET\n"
    "             LENGTH' lines): 'nbdkit -r --filter=extentlist file DEVICE\n"
    "             extentlist=FILE' reports the free space as holes to NBD clients\n"
    "             (nbdcopy, qemu-img), but reads of it still return the stale bytes\n"
    "             the device holds there\n"
    "\n"
    "Ranges are clipped to the end of the device. Without --output, or with\n"
    "'--output -', text formats go to standard output. In JSON, bytes of DEVICE\n"
    "that are not UTF-8 become U+FFFD. A file system mounted read-write, or a device\n"
    "shorter than its file system, is warned about on standard error (and in the\n"
    "JSON's warnings).\n"
    "\n"
    "--verify (ext2/3/4 and XFS, also as partitions and volumes of a disk) trusts\n"
    "the allocation maps less: every file is read too (inodes, block maps, extent\n"
    "trees, attribute blocks) and the blocks it uses count as used even where the\n"
    "maps call them free. A line on standard error says what the scan found. It\n"
    "costs a read of the inode tables; a file whose block pointers are impossible\n"
    "(past the end, a loop, a tree too deep) makes the command fail.\n";

const char kCopyHelp[] =
    "usage: fsbmp copy DEVICE TARGET -c|--chunk-size BYTES [-q|--quiet]\n"
    "                  [--bitmap FILE] [--force] [--direct] [--verify]\n"
    "\n"
    "Writes every used chunk of DEVICE to the same offset of TARGET, and nothing\n"
    "else.\n"
    "\n"
    "A DEVICE mounted read-write is refused: a copy of a file system being written\n"
    "is not consistent. Copy a snapshot instead, or freeze it (fsfreeze --freeze)\n"
    "and add --force.\n"
    "\n"
    "A regular-file TARGET is made the size of DEVICE and stays sparse where chunks\n"
    "are free. It is written under a temporary name in its directory, synced and\n"
    "renamed only once every used chunk is in it: an interrupted or failed copy\n"
    "leaves no TARGET behind (an existing TARGET file stays as it was); a symbolic\n"
    "link is written through. A block-device TARGET must be at least as large as\n"
    "DEVICE and not in use (mounted, or held by another device); only the used\n"
    "chunks are written to it, in place.\n"
    "\n"
    "Runs of used chunks are read in requests of up to 4 MiB (runs at most 64 KiB\n"
    "apart in one request) by a thread that reads ahead of the writes, through four\n"
    "buffers. --direct reads and writes with O_DIRECT, past the page cache; the\n"
    "ends of runs that are not whole 4 KiB blocks go through the cache. On a\n"
    "terminal a progress bar on standard error shows the bytes done of the used\n"
    "total, the rate and the time left; --quiet turns it off. At the end a summary\n"
    "gives the used bytes, the bytes written and the time taken. A read or write\n"
    "failure (a full disk too) stops the copy with a message and status 1.\n"
    "\n"
    "--bitmap FILE follows a raw bitmap written earlier by 'fsbmp bitmap' for the\n"
    "same device and chunk size instead of the file system's current one.\n"
    "\n"
    "--verify copies what the files use even where the allocation maps call it\n"
    "free (see 'fsbmp bitmap --help').\n";

const char kMapHelp[] =
    "usage: fsbmp map DEVICE [-c|--chunk-size BYTES] [--png FILE] [--verify]\n"
    "\n"
    "Draws where the used space of DEVICE lies. The device is cut into equal cells\n"
    "of whole chunks; each cell is shaded by the share of its chunks that are used.\n"
    "On the terminal the grid is fitted to its width, each row labelled with its\n"
    "starting offset, followed by a legend and the used total. With --png FILE the\n"
    "grid is written as a PNG image instead ('--png -': to standard output).\n"
    "\n"
    "Without --chunk-size the chunk is the block size, doubled for devices of more\n"
    "than 2^24 blocks. --verify draws what the files use too (see 'fsbmp bitmap\n"
    "--help').\n";

// The command whose help a usage error points to ("" for the tool's).
std::string gCommandName;

int usageError(const std::string& what) {
  fprintf(stderr, "fsbmp: %s\nTry 'fsbmp %s--help'.\n", what.c_str(),
          gCommandName.empty() ? "" : (gCommandName + " ").c_str());
  return 2;
}

void debugToStderr(void*, const char* tag, int, const char* line) {
  fprintf(stderr, "[%s] %s\n", tag, line);
}

bool chunkSizeOption(const Options& o, long long* chunkSize, int* status) {
  std::string error;
  if (!parseChunkSize(o.chunkSize, chunkSize, &error)) {
    *status = usageError(error);
    return false;
  }
  return true;
}

// What a person should know before trusting the result: a device shorter than its file
// system, and (with `mountCheck`) a file system mounted read-write that may change under the
// reader. Each is printed on standard error; JSON output carries them too.
std::vector<std::string> deviceWarnings(const Source& p, const struct stat& st, bool mountCheck) {
  std::vector<std::string> warnings;
  if (p.devSize < p.fsSize)
    warnings.push_back(p.devPath + " is shorter than its file system (" +
                       std::to_string(p.devSize) + " of " + std::to_string(p.fsSize) +
                       " bytes): a truncated image?");
  if (mountCheck) {
    const std::vector<MountUse> mounts = mountsOf(st);
    if (const MountUse* rw = readWriteMount(mounts))
      warnings.push_back(p.devPath + " is " + describeMount(*rw) +
                         ": the bitmap may be stale, the file system changing as it is read");
  }
  for (const std::string& w : warnings) fprintf(stderr, "fsbmp: warning: %s\n", w.c_str());
  return warnings;
}

// Opens the command's device; with --partition takes that partition of a disk as the device,
// with --member names the file system's other devices, and with --journal-device its external
// journal or log. 0, or the exit
// status once the failure has been reported.
int openCommandSource(const Options& o, Source* source, struct stat* st) {
  FsDisk::Options layers;
  layers.members = o.members;
  layers.decrypted = o.decrypted;
  if (!openSource(o.positional[1], o.debug, source, st, &layers)) return 1;
  if (source->parser && !o.decrypted.empty())
    return usageError(o.positional[1] +
                      " holds a file system; --decrypted names the opened device of a LUKS "
                      "container on a disk");
  if (o.seen[kOptPartition]) {
    const std::string error = selectPartition(o.partition, source);
    if (!error.empty()) return usageError(error);
  }
  if (o.verify) {
    if (source->disk) {
      source->disk->setVerify(true);
    } else {
      const CVoError err = source->parser->setVerify(true);
      if (err.code < 0) return usageError(err.rootMessage());
    }
  }
  for (const std::string& member : o.members) {
    if (!source->parser) break;  // a disk's md members were named as it was opened
    const CVoError err = source->parser->addMember(member);
    if (err.code >= 0) continue;
    if (err.errNo() == EINVAL) return usageError(err.rootMessage());
    fprintf(stderr, "fsbmp: %s\n", errorText(err, o.debug).c_str());
    return 1;
  }
  if (o.journalDevice.empty()) return 0;
  if (!source->parser)
    return usageError(o.positional[1] +
                      " is a disk; --journal-device names the journal of a file system opened "
                      "by itself");
  const CVoError err = source->parser->setJournalDevice(o.journalDevice);
  if (err.code >= 0) return 0;
  if (err.errNo() == EINVAL) return usageError(err.rootMessage());
  fprintf(stderr, "fsbmp: %s\n", errorText(err, o.debug).c_str());
  return 1;
}

// With --verify, what the scan of the files found, on standard error.
void reportVerify(const Options& o, const Source& source) {
  if (!o.verify) return;
  for (const std::string& line : verifyLines(source)) fprintf(stderr, "fsbmp: %s\n", line.c_str());
}

// Probes the command's device and builds its usage map at chunkSize. 0, or the exit status
// once the failure has been reported.
int mapDevice(const Options& o, long long chunkSize, Source* source, UsageMap* map,
              struct stat* st) {
  int status = openCommandSource(o, source, st);
  if (status == 0) status = buildUsageMap(source, chunkSize, map, o.debug);
  if (status == 0) reportVerify(o, *source);
  return status;
}

// Writes `write`'s document to standard output; reports a failed write. The exit status.
int toStdout(const std::function<void(FILE*)>& write) {
  OutputFile out;
  out.open("-", false);
  write(out.stream());
  return out.close() ? 0 : 1;
}

int cmdInfo(const Options& o) {
  struct stat st;
  Source p;
  if (const int status = openCommandSource(o, &p, &st)) return status;
  if (o.verify) {
    // The scan runs with a map; its chunk size changes nothing in what the scan finds.
    UsageMap map;
    const long long chunk = std::max<long long>(p.blockSize, 1 << 20);
    if (const int status = buildUsageMap(&p, chunk, &map, o.debug)) return status;
  }
  const std::vector<std::string> warnings = deviceWarnings(p, st, false);
  return toStdout([&](FILE* out) {
    if (o.json) {
      writeInfoJson(out, p, warnings);
    } else {
      writeInfoText(out, p);
    }
  });
}

int cmdBitmap(const Options& o) {
  BitmapFormat format = BitmapFormat::kRaw;
  if (!o.format.empty() && !parseBitmapFormat(o.format, &format))
    return usageError("unknown format '" + o.format +
                      "' (raw, ranges, json, ddrescue or extentlist)");
  if (o.chunkSize.empty()) return usageError("bitmap needs --chunk-size");
  if (format == BitmapFormat::kRaw && o.output.empty())
    return usageError("the raw format needs --output FILE ('--output -' for standard output)");
  if (format == BitmapFormat::kRaw && o.output == "-" && isatty(STDOUT_FILENO))
    return usageError("raw bitmap bytes don't go to a terminal; redirect standard output");
  if (o.seen[kOptOutput] && o.output.empty()) return usageError("the --output name is empty");
  long long chunkSize = 0;
  int status = 0;
  if (!chunkSizeOption(o, &chunkSize, &status)) return status;

  Source p;
  UsageMap map;
  struct stat st;
  status = mapDevice(o, chunkSize, &p, &map, &st);
  if (status != 0) return status;
  const std::vector<std::string> warnings = deviceWarnings(p, st, true);
  OutputFile out;
  if (!out.open(o.output, format == BitmapFormat::kRaw)) return 1;
  switch (format) {
    case BitmapFormat::kRaw:
      writeRaw(out.stream(), map);
      break;
    case BitmapFormat::kRanges:
      writeRanges(out.stream(), map);
      break;
    case BitmapFormat::kJson:
      writeJson(out.stream(), p, map, warnings);
      break;
    case BitmapFormat::kDdrescue:
      writeDdrescueMap(out.stream(), map);
      break;
    case BitmapFormat::kExtentList:
      writeExtentList(out.stream(), map);
      break;
  }
  const bool summary = !out.isStdout();
  if (!out.close()) return 1;
  if (summary) {
    return toStdout([&](FILE* s) {
      fprintf(s, "chunk size:  %lld\n", chunkSize);
      fprintf(s, "chunks:      %lld\n", map.nChunks);
      fprintf(s, "used chunks: %lld\n", map.usedChunks());
      fprintf(s, "used bytes:  %lld\n", map.usedBytes());
    });
  }
  return 0;
}

int cmdCopy(const Options& o) {
  const std::string& target = o.positional[2];
  if (target.empty()) return usageError("the TARGET name is empty");
  if (o.chunkSize.empty()) return usageError("copy needs --chunk-size");
  long long chunkSize = 0;
  int status = 0;
  if (!chunkSizeOption(o, &chunkSize, &status)) return status;
  if (!checkCopyTarget(target)) return 1;

  // A file system being written while it is copied gives a copy that may not even mount.
  struct stat st;
  const std::vector<MountUse> mounts =
      stat(o.positional[1].c_str(), &st) == 0 ? mountsOf(st) : std::vector<MountUse>();
  if (const MountUse* rw = readWriteMount(mounts)) {
    if (!o.force) {
      fprintf(stderr,
              "fsbmp: %s is %s.\n"
              "A copy of a file system being written is not consistent: copy a snapshot of it\n"
              "(LVM or device-mapper), or freeze it (fsfreeze --freeze %s) and add --force.\n",
              o.positional[1].c_str(), describeMount(*rw).c_str(), rw->mountPoint.c_str());
      return 1;
    }
    fprintf(stderr, "fsbmp: warning: %s is %s; copying anyway (--force)\n", o.positional[1].c_str(),
            describeMount(*rw).c_str());
  }

  Source p;
  UsageMap map;
  status = mapDevice(o, chunkSize, &p, &map, &st);
  if (status != 0) return status;
  if (!o.bitmapIn.empty() && !loadRawBitmap(o.bitmapIn, &map)) return 1;
  // The copy reads the device on its own; the parser's (or disk's) descriptors go first.
  p.parser.reset();
  p.disk.reset();
  CopyOptions options;
  options.quiet = o.quiet;
  options.direct = o.direct;
  options.sourceOffset = p.offset;
  return copyUsedChunks(o.positional[1], map, target, options);
}

int terminalWidth() {
  winsize ws{};
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
  const char* columns = getenv("COLUMNS");
  if (columns && atoi(columns) > 0) return atoi(columns);
  return 80;
}

int cmdMap(const Options& o) {
  long long chunkSize = 0;
  int status = 0;
  if (!o.chunkSize.empty() && !chunkSizeOption(o, &chunkSize, &status)) return status;
  if (o.seen[kOptPng] && o.png.empty()) return usageError("the --png name is empty");
  if (o.png == "-" && isatty(STDOUT_FILENO))
    return usageError("PNG bytes don't go to a terminal; redirect standard output");
  struct stat st;
  Source p;
  status = openCommandSource(o, &p, &st);
  if (status != 0) return status;
  if (o.chunkSize.empty()) chunkSize = defaultMapChunkSize(p);
  UsageMap map;
  status = buildUsageMap(&p, chunkSize, &map, o.debug);
  if (status != 0) return status;
  reportVerify(o, p);
  deviceWarnings(p, st, true);
  if (!o.png.empty()) return writePngMap(o.png, map) ? 0 : 1;
  setlocale(LC_CTYPE, "");
  const bool unicode = strcmp(nl_langinfo(CODESET), "UTF-8") == 0;
  return toStdout([&](FILE* out) { drawTerminalMap(out, p, map, terminalWidth(), unicode); });
}

struct Command {
  const char* name;
  size_t operands;  // after the command
  const char* operandText;
  const char* help;
  int (*run)(const Options&);
  std::vector<OptionId> takes;  // besides --debug and --help
};

const Command kCommands[] = {
    {"info",
     1,
     "one DEVICE",
     kInfoHelp,
     cmdInfo,
     {kOptJson, kOptPartition, kOptJournalDevice, kOptMember, kOptDecrypted, kOptVerify}},
    {"bitmap",
     1,
     "one DEVICE",
     kBitmapHelp,
     cmdBitmap,
     {kOptChunkSize, kOptFormat, kOptOutput, kOptPartition, kOptJournalDevice, kOptMember,
      kOptDecrypted, kOptVerify}},
    {"copy",
     2,
     "a DEVICE and a TARGET",
     kCopyHelp,
     cmdCopy,
     {kOptChunkSize, kOptQuiet, kOptBitmap, kOptForce, kOptDirect, kOptPartition, kOptJournalDevice,
      kOptMember, kOptDecrypted, kOptVerify}},
    {"map",
     1,
     "one DEVICE",
     kMapHelp,
     cmdMap,
     {kOptChunkSize, kOptPng, kOptPartition, kOptJournalDevice, kOptMember, kOptDecrypted,
      kOptVerify}},
};

}  // namespace

int main(int argc, char** argv) {
  Options o;
  std::string error;
  if (!parseOptions(argc, argv, &o, &error)) {
    // Point to the command's help when the command is known.
    for (int i = 1; i < argc; ++i)
      for (const Command& c : kCommands)
        if (argv[i] == std::string(c.name)) gCommandName = c.name;
    return usageError(error);
  }
  if (o.version) {
#ifdef FSBMP_HAVE_PNG
    printf("fsbmp %s\nPNG maps: yes\n", FSBMP_VERSION);
#else
    printf("fsbmp %s\nPNG maps: no (built without libpng)\n", FSBMP_VERSION);
#endif
    return 0;
  }
  const Command* command = nullptr;
  if (!o.positional.empty()) {
    for (const Command& c : kCommands)
      if (o.positional[0] == c.name) command = &c;
    if (o.positional[0] == "help" && o.positional.size() == 1) o.help = true;
    if (o.positional[0] == "help" && o.positional.size() == 2) {
      for (const Command& c : kCommands)
        if (o.positional[1] == c.name) command = &c;
      o.help = true;
    }
  }
  if (o.help) return toStdout([&](FILE* out) { fputs(command ? command->help : kUsage, out); });
  if (o.positional.empty()) return usageError("no command given");
  if (!command) return usageError("unknown command '" + o.positional[0] + "'");
  gCommandName = command->name;
  for (int id = 0; id < kOptCount; ++id) {
    if (!o.seen[id] || id == kOptDebug || id == kOptHelp) continue;
    if (std::find(command->takes.begin(), command->takes.end(), id) == command->takes.end())
      return usageError(std::string(command->name) + " doesn't take " +
                        optionName(static_cast<OptionId>(id)));
  }
  if (o.positional.size() != command->operands + 1)
    return usageError(std::string(command->name) + " takes " + command->operandText);
  if (o.debug) PdDebug::SetSink(debugToStderr, nullptr);
  return command->run(o);
}
