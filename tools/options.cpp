#include "options.h"

#include <getopt.h>

#include <cerrno>
#include <cstdlib>

namespace fsbmp_tool {

namespace {

struct OptionSpec {
  const char* name;
  int hasArg;
  int shortName;  // 0: long only
};

const OptionSpec kSpecs[kOptCount] = {
    {"chunk-size", required_argument, 'c'},
    {"output", required_argument, 'o'},
    {"format", required_argument, 'f'},
    {"png", required_argument, 0},
    {"bitmap", required_argument, 0},
    {"json", no_argument, 0},
    {"quiet", no_argument, 'q'},
    {"force", no_argument, 0},
    {"direct", no_argument, 0},
    {"journal-device", required_argument, 0},
    {"member", required_argument, 0},
    {"decrypted", required_argument, 0},
    {"verify", no_argument, 0},
    {"partition", required_argument, 'p'},
    {"debug", no_argument, 0},
    {"help", no_argument, 'h'},
    {"version", no_argument, 0},
};

// getopt_long's value of an option without a short name.
const int kLongOnly = 0x100;

int valueOf(int id) {
  return kSpecs[id].shortName ? kSpecs[id].shortName : kLongOnly + id;
}

}  // namespace

std::string optionName(OptionId id) {
  return std::string("--") + kSpecs[id].name;
}

bool parseOptions(int argc, char** argv, Options* o, std::string* error) {
  std::vector<option> longOptions;
  // '-': operands come back in order as option 1, so that options may follow them even under
  // POSIXLY_CORRECT; ':': a missing value is reported as ':'.
  std::string shortOptions = "-:";
  for (int id = 0; id < kOptCount; ++id) {
    longOptions.push_back({kSpecs[id].name, kSpecs[id].hasArg, nullptr, valueOf(id)});
    if (kSpecs[id].shortName) {
      shortOptions += static_cast<char>(kSpecs[id].shortName);
      if (kSpecs[id].hasArg == required_argument) shortOptions += ':';
    }
  }
  longOptions.push_back({nullptr, 0, nullptr, 0});
  opterr = 0;
  optind = 0;  // a fresh scan (GNU getopt)
  int c;
  while ((c = getopt_long(argc, argv, shortOptions.c_str(), longOptions.data(), nullptr)) != -1) {
    if (c == 1) {
      o->positional.push_back(optarg);
      continue;
    }
    if (c == '?' || c == ':') {
      std::string spelled;
      if (optopt > 0 && optopt < kLongOnly) {
        spelled = std::string("-") + static_cast<char>(optopt);
        for (const OptionSpec& s : kSpecs)
          if (s.shortName == optopt) spelled = std::string("--") + s.name;
        if (c == '?') spelled = std::string("-") + static_cast<char>(optopt);
      } else if (optopt >= kLongOnly) {
        spelled = std::string("--") + kSpecs[optopt - kLongOnly].name;
      } else {
        spelled = argv[optind - 1];
        spelled = spelled.substr(0, spelled.find('='));
      }
      *error = c == ':' ? spelled + " needs a value" : "unknown option " + spelled;
      return false;
    }
    int id = 0;
    while (id < kOptCount && valueOf(id) != c) ++id;
    if (id == kOptCount) {
      *error = "unknown option";
      return false;
    }
    o->seen[id] = true;
    const std::string value = optarg ? optarg : "";
    switch (static_cast<OptionId>(id)) {
      case kOptChunkSize:
        o->chunkSize = value;
        break;
      case kOptOutput:
        o->output = value;
        break;
      case kOptFormat:
        o->format = value;
        break;
      case kOptPng:
        o->png = value;
        break;
      case kOptBitmap:
        o->bitmapIn = value;
        break;
      case kOptJson:
        o->json = true;
        break;
      case kOptQuiet:
        o->quiet = true;
        break;
      case kOptForce:
        o->force = true;
        break;
      case kOptDirect:
        o->direct = true;
        break;
      case kOptJournalDevice:
        o->journalDevice = value;
        break;
      case kOptMember:
        o->members.push_back(value);
        break;
      case kOptDecrypted:
        o->decrypted.push_back(value);
        break;
      case kOptVerify:
        o->verify = true;
        break;
      case kOptPartition:
        o->partition = value;
        break;
      case kOptDebug:
        o->debug = true;
        break;
      case kOptHelp:
        o->help = true;
        break;
      case kOptVersion:
        o->version = true;
        break;
      case kOptCount:
        break;
    }
  }
  for (int i = optind; i < argc; ++i) o->positional.push_back(argv[i]);
  return true;
}

bool parseSize(const std::string& text, long long* out) {
  if (text.empty() || text[0] < '0' || text[0] > '9') return false;
  errno = 0;
  char* end = nullptr;
  unsigned long long v = strtoull(text.c_str(), &end, 10);
  if (errno) return false;
  std::string suffix(end);
  unsigned shift = 0;
  if (suffix.empty() || suffix == "B") {
    shift = 0;
  } else if (suffix == "K" || suffix == "k" || suffix == "KiB" || suffix == "KB") {
    shift = 10;
  } else if (suffix == "M" || suffix == "MiB" || suffix == "MB") {
    shift = 20;
  } else if (suffix == "G" || suffix == "GiB" || suffix == "GB") {
    shift = 30;
  } else if (suffix == "T" || suffix == "TiB" || suffix == "TB") {
    shift = 40;
  } else {
    return false;
  }
  if (v > (0x7FFFFFFFFFFFFFFFull >> shift)) return false;
  *out = static_cast<long long>(v << shift);
  return true;
}

bool parseChunkSize(const std::string& text, long long* out, std::string* error) {
  long long size = 0;
  if (!parseSize(text, &size)) {
    *error = "bad chunk size '" + text + "' (bytes, or with K, M or G: 4096, 64K, 1M)";
    return false;
  }
  if (size <= 0 || (size & (size - 1)) != 0) {
    *error = "chunk size " + text + " is not a power of two";
    return false;
  }
  if (size > (1LL << 30)) {
    *error = "chunk size " + text + " is larger than 1G";
    return false;
  }
  *out = size;
  return true;
}

}  // namespace fsbmp_tool
