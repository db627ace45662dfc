// fsbmp: the command-line face of the library. This file reads the command line and runs the
// command; each command's work lives in its own file.
#include <langinfo.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "copy.h"
#include "formats.h"
#include "map.h"
#include "options.h"
#include "output_file.h"
#include "probe.h"
#include "usage_map.h"

using namespace fsbmp_tool;

namespace {

const char kUsage[] =
    "usage: fsbmp [--debug] COMMAND DEVICE [OPTIONS]\n"
    "\n"
    "Commands:\n"
    "  info DEVICE [--json]              file-system type and geometry\n"
    "  bitmap DEVICE --chunk-size BYTES [--format raw|ranges|json|ddrescue] [--output FILE]\n"
    "                                    the used chunks, as a raw bitmap (one bit per chunk,\n"
    "                                    least significant bit first), byte ranges, JSON or a\n"
    "                                    GNU ddrescue mapfile\n"
    "  copy DEVICE TARGET --chunk-size BYTES [--quiet]\n"
    "                                    copy the used chunks to the same offsets of TARGET\n"
    "  map DEVICE [--chunk-size BYTES] [--png FILE]\n"
    "                                    a picture of where the used space lies\n"
    "\n"
    "Options:\n"
    "  --chunk-size BYTES   a power of two and a multiple of the block size; suffixes K, M, G\n"
    "  --output FILE        where the bitmap goes (raw: exactly ceil(chunks / 8) bytes)\n"
    "  --debug              write the library's debug log to standard error\n"
    "  --help, --version    'fsbmp COMMAND --help' describes one command\n";

const char kInfoHelp[] =
    "usage: fsbmp info DEVICE [--json]\n"
    "\n"
    "Recognises the file system on DEVICE (a block device or an image file) and prints its type,\n"
    "block size, block count, file-system size and device size. With --json the same facts are\n"
    "printed as a JSON object (device, type, block_size, block_count, fs_size, device_size).\n";

const char kBitmapHelp[] =
    "usage: fsbmp bitmap DEVICE --chunk-size BYTES [--format FORMAT] [--output FILE]\n"
    "\n"
    "Builds the used-space bitmap of DEVICE: one bit per chunk of BYTES bytes, counted from byte\n"
    "0, set when the chunk holds at least one block the file system uses. BYTES is a power of\n"
    "two and a multiple of the file system's block size (suffixes K, M, G).\n"
    "\n"
    "Formats:\n"
    "  raw        (default) ceil(chunks / 8) bytes; chunk c is bit c mod 8 of byte c / 8,\n"
    "             least significant bit first. Needs --output; prints the chunk counts.\n"
    "  ranges     one used run per line: its byte offset and length, in decimal\n"
    "  json       geometry, chunk counts and the used runs as {offset, length} objects\n"
    "  ddrescue   a GNU ddrescue mapfile covering the device: used space finished (+), free\n"
    "             space non-tried (?); 'ddrescue --domain-mapfile=FILE' then copies only the\n"
    "             used space\n"
    "\n"
    "Ranges are clipped to the end of the device. Without --output, or with '--output -', text\n"
    "formats go to standard output.\n";

const char kCopyHelp[] =
    "usage: fsbmp copy DEVICE TARGET --chunk-size BYTES [--quiet] [--bitmap FILE]\n"
    "\n"
    "Writes every used chunk of DEVICE to the same offset of TARGET, and nothing else.\n"
    "\n"
    "A regular-file TARGET is made the size of DEVICE and stays sparse where chunks are free.\n"
    "It is written under a temporary name in its directory, synced and renamed only once every\n"
    "used chunk is in it: an interrupted or failed copy leaves no TARGET behind (an existing\n"
    "TARGET file stays as it was). A block-device TARGET must be at least as large as DEVICE;\n"
    "only the used chunks are written to it, in place.\n"
    "\n"
    "Runs of used chunks are read and written in requests of up to 8 MiB. On a terminal a\n"
    "progress bar on standard error shows the bytes done of the used total, the rate and the\n"
    "time left; --quiet turns it off. At the end a summary gives the used bytes, the bytes\n"
    "written and the time taken. A read or write failure (a full disk too) stops the copy with\n"
    "a message and status 1.\n"
    "\n"
    "--bitmap FILE follows a raw bitmap written earlier by 'fsbmp bitmap' for the same device\n"
    "and chunk size instead of the file system's current one.\n";

const char kMapHelp[] =
    "usage: fsbmp map DEVICE [--chunk-size BYTES] [--png FILE]\n"
    "\n"
    "Draws where the used space of DEVICE lies. The device is cut into equal cells of whole\n"
    "chunks; each cell is shaded by the share of its chunks that are used. On the terminal the\n"
    "grid is fitted to its width, each row labelled with its starting offset, followed by a\n"
    "legend and the used total. With --png FILE the grid is written as a PNG image instead.\n"
    "\n"
    "Without --chunk-size the chunk is the block size, doubled for devices of more than 2^24\n"
    "blocks.\n";

int usageError(const std::string& what) {
  fprintf(stderr, "fsbmp: %s\n\n%s", what.c_str(), kUsage);
  return 2;
}

void debugToStderr(void*, const char* tag, int, const char* line) {
  fprintf(stderr, "[%s] %s\n", tag, line);
}

bool chunkSizeOption(const Options& o, long long* chunkSize, int* status) {
  if (!parseSize(o.chunkSize, chunkSize)) {
    *status = usageError("bad chunk size " + o.chunkSize);
    return false;
  }
  return true;
}

// Probes the command's device and builds its usage map at chunkSize. False once the failure has
// been reported.
bool mapDevice(const Options& o, long long chunkSize, std::unique_ptr<FsParser>* parser,
               UsageMap* map) {
  *parser = openParser(o.positional[1], o.debug);
  return *parser && buildUsageMap(parser->get(), chunkSize, map);
}

int cmdInfo(const Options& o) {
  std::unique_ptr<FsParser> p = openParser(o.positional[1], o.debug);
  if (!p) return 1;
  if (o.json) {
    writeInfoJson(stdout, *p);
  } else {
    writeInfoText(stdout, *p);
  }
  return fflush(stdout) == 0 ? 0 : 1;
}

int cmdBitmap(const Options& o) {
  BitmapFormat format = BitmapFormat::kRaw;
  if (!o.format.empty() && !parseBitmapFormat(o.format, &format))
    return usageError("unknown format " + o.format + " (raw, ranges, json or ddrescue)");
  if (o.chunkSize.empty()) return usageError("bitmap needs --chunk-size");
  if (format == BitmapFormat::kRaw && (o.output.empty() || o.output == "-"))
    return usageError("bitmap needs --output for the raw format");
  long long chunkSize = 0;
  int status = 0;
  if (!chunkSizeOption(o, &chunkSize, &status)) return status;

  std::unique_ptr<FsParser> p;
  UsageMap map;
  if (!mapDevice(o, chunkSize, &p, &map)) return 1;
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
      writeJson(out.stream(), *p, map);
      break;
    case BitmapFormat::kDdrescue:
      writeDdrescueMap(out.stream(), map);
      break;
  }
  const bool toStdout = out.isStdout();
  if (!out.close()) return 1;
  if (!toStdout) {
    const long long used = map.usedChunks();
    printf("chunk size:  %lld\n", chunkSize);
    printf("chunks:      %lld\n", map.nChunks);
    printf("used chunks: %lld\n", used);
    printf("used bytes:  %lld\n", used * chunkSize);
  }
  return 0;
}

int cmdCopy(const Options& o) {
  if (o.chunkSize.empty()) return usageError("copy needs --chunk-size");
  long long chunkSize = 0;
  int status = 0;
  if (!chunkSizeOption(o, &chunkSize, &status)) return status;
  std::unique_ptr<FsParser> p;
  UsageMap map;
  if (!mapDevice(o, chunkSize, &p, &map)) return 1;
  if (!o.bitmapIn.empty() && !loadRawBitmap(o.bitmapIn, &map)) return 1;
  p.reset();  // the copy reads the device on its own; the parser's descriptors go first
  CopyOptions options;
  options.quiet = o.quiet;
  return copyUsedChunks(o.positional[1], map, o.positional[2], options);
}

int terminalWidth() {
  winsize ws{};
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
  const char* columns = getenv("COLUMNS");
  if (columns && atoi(columns) > 0) return atoi(columns);
  return 80;
}

int cmdMap(const Options& o) {
  std::unique_ptr<FsParser> p = openParser(o.positional[1], o.debug);
  if (!p) return 1;
  long long chunkSize = defaultMapChunkSize(*p);
  int status = 0;
  if (!o.chunkSize.empty() && !chunkSizeOption(o, &chunkSize, &status)) return status;
  UsageMap map;
  if (!buildUsageMap(p.get(), chunkSize, &map)) return 1;
  if (!o.png.empty()) return writePngMap(o.png, map) ? 0 : 1;
  setlocale(LC_CTYPE, "");
  const bool unicode = strcmp(nl_langinfo(CODESET), "UTF-8") == 0;
  drawTerminalMap(stdout, *p, map, terminalWidth(), unicode);
  return fflush(stdout) == 0 ? 0 : 1;
}

struct Command {
  const char* name;
  size_t operands;  // after the command
  const char* operandText;
  const char* help;
  int (*run)(const Options&);
};

const Command kCommands[] = {
    {"info", 1, "one DEVICE", kInfoHelp, cmdInfo},
    {"bitmap", 1, "one DEVICE", kBitmapHelp, cmdBitmap},
    {"copy", 2, "a DEVICE and a TARGET", kCopyHelp, cmdCopy},
    {"map", 1, "one DEVICE", kMapHelp, cmdMap},
};

}  // namespace

int main(int argc, char** argv) {
  Options o;
  std::string error;
  if (!parseOptions(argc, argv, &o, &error)) return usageError(error);
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
    if (o.positional[0] == "help" && o.positional.size() == 2) {
      for (const Command& c : kCommands)
        if (o.positional[1] == c.name) command = &c;
      o.help = true;
    }
  }
  if (o.help) {
    fputs(command ? command->help : kUsage, stdout);
    return 0;
  }
  if (o.positional.empty()) return usageError("no command given");
  if (!command) return usageError("unknown command " + o.positional[0]);
  if (o.positional.size() != command->operands + 1)
    return usageError(std::string(command->name) + " takes " + command->operandText);
  if (o.debug) PdDebug::SetSink(debugToStderr, nullptr);
  return command->run(o);
}
