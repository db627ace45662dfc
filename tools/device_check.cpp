#include "device_check.h"

#include <dirent.h>
#include <sys/sysmacros.h>

#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>

namespace fsbmp_tool {

namespace {

std::string readLine(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

std::vector<std::string> listDir(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = opendir(dir.c_str());
  if (!d) return names;
  while (dirent* e = readdir(d)) {
    const std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(d);
  return names;
}

std::string numbers(dev_t dev) {
  return std::to_string(major(dev)) + ":" + std::to_string(minor(dev));
}

// The device numbers of a block device by its name under /sys/class/block.
std::string numbersOfName(const std::string& name) {
  return readLine("/sys/class/block/" + name + "/dev");
}

// The loop devices whose backing file is `st` (an image file, or a block device).
std::vector<std::string> loopsOver(const struct stat& st) {
  std::vector<std::string> loops;
  for (const std::string& name : listDir("/sys/block")) {
    const std::string backing = readLine("/sys/block/" + name + "/loop/backing_file");
    struct stat b;
    if (backing.empty() || stat(backing.c_str(), &b) != 0) continue;
    if (S_ISBLK(st.st_mode) ? S_ISBLK(b.st_mode) && b.st_rdev == st.st_rdev
                            : b.st_dev == st.st_dev && b.st_ino == st.st_ino)
      loops.push_back(name);
  }
  return loops;
}

// Adds `dev` and every device stacked on it (holders, partitions and loop devices over it,
// recursively) to `found`, each with the name it is reached through.
void collectStack(const std::string& dev, const std::string& via,
                  std::vector<std::pair<std::string, std::string>>* found,
                  std::set<std::string>* seen) {
  if (dev.empty() || !seen->insert(dev).second || seen->size() > 256) return;
  found->push_back({dev, via});
  const std::string sys = "/sys/dev/block/" + dev;
  for (const std::string& holder : listDir(sys + "/holders"))
    collectStack(numbersOfName(holder), holder, found, seen);
  for (const std::string& entry : listDir(sys)) {
    struct stat st;
    if (stat((sys + "/" + entry + "/partition").c_str(), &st) == 0)
      collectStack(readLine(sys + "/" + entry + "/dev"), entry, found, seen);
  }
  unsigned maj = 0, min = 0;
  if (sscanf(dev.c_str(), "%u:%u", &maj, &min) == 2) {
    struct stat st {};
    st.st_mode = S_IFBLK;
    st.st_rdev = makedev(maj, min);
    for (const std::string& loop : loopsOver(st))
      collectStack(numbersOfName(loop), loop, found, seen);
  }
}

// Mount points in mountinfo escape space, tab, newline and backslash as octal.
std::string unescape(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 3 < s.size() && s[i + 1] >= '0' && s[i + 1] <= '3') {
      out += static_cast<char>((s[i + 1] - '0') * 64 + (s[i + 2] - '0') * 8 + (s[i + 3] - '0'));
      i += 3;
    } else {
      out += s[i];
    }
  }
  return out;
}

}  // namespace

std::vector<MountUse> mountsOf(const struct stat& st) {
  std::vector<std::pair<std::string, std::string>> stack;
  std::set<std::string> seen;
  if (S_ISBLK(st.st_mode)) {
    collectStack(numbers(st.st_rdev), "", &stack, &seen);
  } else if (S_ISREG(st.st_mode)) {
    for (const std::string& loop : loopsOver(st))
      collectStack(numbersOfName(loop), loop, &stack, &seen);
  }
  std::vector<MountUse> uses;
  if (stack.empty()) return uses;
  std::ifstream in("/proc/self/mountinfo");
  std::string line;
  while (std::getline(in, line)) {
    // ID PARENT MAJ:MIN ROOT MOUNTPOINT OPTIONS [OPTIONAL...] - FSTYPE SOURCE SUPEROPTIONS
    std::istringstream fields(line);
    std::string id, parent, dev, root, mountPoint, options, word;
    fields >> id >> parent >> dev >> root >> mountPoint >> options;
    while (fields >> word && word != "-") {
    }
    std::string fsType, source, superOptions;
    fields >> fsType >> source >> superOptions;
    for (const auto& entry : stack) {
      if (entry.first != dev) continue;
      MountUse use;
      use.mountPoint = unescape(mountPoint);
      use.via = entry.second;
      // The file system is writable when its superblock is, whatever this one mount says.
      use.readWrite = superOptions.compare(0, 2, "rw") == 0 &&
                      (superOptions.size() == 2 || superOptions[2] == ',');
      uses.push_back(use);
    }
  }
  return uses;
}

const MountUse* readWriteMount(const std::vector<MountUse>& mounts) {
  for (const MountUse& m : mounts)
    if (m.readWrite) return &m;
  return nullptr;
}

std::string describeMount(const MountUse& m) {
  std::string text =
      std::string(m.readWrite ? "mounted read-write" : "mounted read-only") + " at " + m.mountPoint;
  if (!m.via.empty()) text += " (through " + m.via + ")";
  return text;
}

const char* fileKind(mode_t mode) {
  if (S_ISDIR(mode)) return "a directory";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISLNK(mode)) return "a symbolic link";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISREG(mode)) return "a regular file";
  return "neither a file nor a device";
}

}  // namespace fsbmp_tool
