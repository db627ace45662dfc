#include "options.h"

#include <cerrno>
#include <cstdlib>

namespace fsbmp_tool {

bool parseOptions(int argc, char** argv, Options* o, std::string* error) {
  struct Valued {
    const char* name;
    std::string* value;
  };
  const Valued valued[] = {{"--chunk-size", &o->chunkSize},
                           {"--output", &o->output},
                           {"--format", &o->format},
                           {"--png", &o->png},
                           {"--bitmap", &o->bitmapIn}};
  struct Flag {
    const char* name;
    bool* value;
  };
  const Flag flags[] = {{"--json", &o->json},      {"--quiet", &o->quiet}, {"-q", &o->quiet},
                        {"--debug", &o->debug},    {"--help", &o->help},   {"-h", &o->help},
                        {"--version", &o->version}};
  bool optionsEnded = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (optionsEnded || a.size() < 2 || a[0] != '-') {
      o->positional.push_back(a);
      continue;
    }
    if (a == "--") {
      optionsEnded = true;
      continue;
    }
    bool known = false;
    for (const Flag& f : flags) {
      if (a == f.name) {
        *f.value = true;
        known = true;
      }
    }
    for (const Valued& v : valued) {
      const std::string name = v.name;
      if (a == name) {
        if (i + 1 >= argc) {
          *error = name + " needs a value";
          return false;
        }
        *v.value = argv[++i];
        known = true;
      } else if (a.compare(0, name.size() + 1, name + "=") == 0) {
        *v.value = a.substr(name.size() + 1);
        known = true;
      }
    }
    if (!known) {
      *error = "unknown option " + a;
      return false;
    }
  }
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
  } else {
    return false;
  }
  if (v > (0x7FFFFFFFFFFFFFFFull >> shift)) return false;
  *out = static_cast<long long>(v << shift);
  return true;
}

}  // namespace fsbmp_tool
