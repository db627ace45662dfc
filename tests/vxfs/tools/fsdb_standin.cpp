// fsdb stand-in: a test double of the VxFS file-system debugger, an outside program that is not
// available here. Put first on PATH under the name "fsdb", it is started as the real one is
// ("fsdb -F vxfs DEVICE", or "/opt/VRTS/bin/fsdb DEVICE") with a pseudo-terminal as standard
// input and output and a pipe as standard error, and speaks the part of fsdb's dialogue that the
// library uses, computing every answer from the image named on its command line (the layout of
// vximage.h):
//
//   (start-up)        optional banner, then the prompt "> "
//   8192B.p S         superblock print: magic, version, bsize, size, aublocks (when the image
//                     says so) among other fields
//   1fset             select the structural fileset: fsf_ninode (when the image says so)
//   Ni                print inode N: type IFEAU, IFEMP, ...
//   Ni.mapiOFF        where byte OFF of inode N lies: ex_st, offset (ex_st + offset / bsize is
//                     the device block)
//   1fset.Ni          make inode N the current object
//   mapiOFF           where byte OFF of the current object lies
//   Bb.pNxB           hexadecimal dump of N bytes from block B, 16 bytes a line
//
// Misbehaviour on request, through the environment (the library itself reads none). PREFIX
// matches commands that begin with it; "start" means start-up, before the first prompt.
//   FSDB_STANDIN_LOG=FILE        append "pid N", "argv ..." and every command received
//   FSDB_STANDIN_BANNER=TEXT     print TEXT and a line end before the first prompt
//   FSDB_STANDIN_COMPLAIN=PREFIX write a complaint to standard error, then answer as usual
//   FSDB_STANDIN_DIE=PREFIX      write a complaint to standard error and exit with status 3
//   FSDB_STANDIN_QUIT=PREFIX     exit with status 0 and say nothing
//   FSDB_STANDIN_SILENT=PREFIX   never answer again (ends when its terminal hangs up)
//   FSDB_STANDIN_PIECES=N        write answers N bytes at a time with 1 ms pauses, and split
//                                every prompt between its two characters
//   FSDB_STANDIN_UPPER=1         upper-case hexadecimal digits in dumps
//   FSDB_STANDIN_GROUP2=1        dump bytes grouped two by two ("a501 fcf5 ...")
//   FSDB_STANDIN_DROP=F1,F2      leave these fields out of every print...
//   FSDB_STANDIN_DROP_WHEN=PREFIX  ...or only out of the answers to commands with PREFIX
//   FSDB_STANDIN_SET=F=V;F2=V2   print V as the value of field F
//   FSDB_STANDIN_DUMP=MODE       damage dumps: short (one line fewer), long (one line more),
//                                corrupt (a 'g' in a pair), cut (end right after a colon),
//                                nocolon (no colons at all), extra (4 more pairs a line)
//   FSDB_STANDIN_DUMP_BLOCK=B    damage only the dump of block B
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "vximage.h"

namespace {

using vximage::getLE32;
using vximage::getLE64;

std::string env(const char* name) {
  const char* v = getenv(name);
  return v ? v : "";
}

bool startsWith(const std::string& text, const std::string& prefix) {
  return !prefix.empty() && text.compare(0, prefix.size(), prefix) == 0;
}

std::vector<std::string> split(const std::string& text, char sep) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(sep, start);
    if (end == std::string::npos) end = text.size();
    if (end > start) out.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return out;
}

void writeAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      exit(0);  // terminal or pipe gone
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
}

class StandIn {
 public:
  explicit StandIn(const std::string& device) : device_(device) {
    pieces_ = atoi(env("FSDB_STANDIN_PIECES").c_str());
    upper_ = !env("FSDB_STANDIN_UPPER").empty();
    group2_ = !env("FSDB_STANDIN_GROUP2").empty();
    for (const std::string& f : split(env("FSDB_STANDIN_DROP"), ',')) drop_.insert(f);
    dropWhen_ = env("FSDB_STANDIN_DROP_WHEN");
    for (const std::string& kv : split(env("FSDB_STANDIN_SET"), ';')) {
      size_t eq = kv.find('=');
      if (eq != std::string::npos) set_[kv.substr(0, eq)] = kv.substr(eq + 1);
    }
    dumpMode_ = env("FSDB_STANDIN_DUMP");
    dumpBlock_ = env("FSDB_STANDIN_DUMP_BLOCK");
    log_ = env("FSDB_STANDIN_LOG");
  }

  int run(const std::vector<std::string>& args) {
    std::string line = "argv";
    for (const std::string& a : args) line += " " + a;
    logLine("pid " + std::to_string(getpid()));
    logLine(line);

    fd_ = open(device_.c_str(), O_RDONLY | O_CLOEXEC);
    unsigned char sb[vximage::kSuperblockBytes];
    if (fd_ < 0 ||
        pread(fd_, sb, sizeof sb, vximage::kSuperblockOffset) != static_cast<ssize_t>(sizeof sb)) {
      complain("fsdb: cannot read " + device_ + "\n");
      return 1;
    }
    if (memcmp(sb, vximage::kMagic, 4) != 0) {
      complain("fsdb: " + device_ + " is not a vxfs file system\n");
      return 1;
    }
    version_ = getLE32(sb + vximage::kSbVersion);
    blockSize_ = getLE32(sb + vximage::kSbBlockSize);
    flags_ = getLE32(sb + vximage::kSbFlags);
    blockCount_ = static_cast<long long>(getLE64(sb + vximage::kSbBlockCount));
    auBlocks_ = getLE32(sb + vximage::kSbAuBlocks);
    inodes_ = getLE32(sb + vximage::kSbInodes);
    ilistStart_ = static_cast<long long>(getLE64(sb + vximage::kSbIlistStart));

    behave("start");
    if (!env("FSDB_STANDIN_BANNER").empty()) emit(env("FSDB_STANDIN_BANNER") + "\n");
    prompt();

    std::string pending;
    char buf[4096];
    for (;;) {
      size_t nl;
      while ((nl = pending.find('\n')) != std::string::npos) {
        std::string cmd = pending.substr(0, nl);
        pending.erase(0, nl + 1);
        if (!cmd.empty() && cmd.back() == '\r') cmd.pop_back();
        logLine("cmd " + cmd);
        behave(cmd);
        current_ = cmd;
        emit(answer(cmd));
        prompt();
      }
      ssize_t n = read(0, buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return 0;  // hang-up
      pending.append(buf, static_cast<size_t>(n));
    }
  }

 private:
  void logLine(const std::string& text) {
    if (log_.empty()) return;
    int fd = open(log_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return;
    std::string l = text + "\n";
    writeAll(fd, l.data(), l.size());
    close(fd);
  }

  void complain(const std::string& text) { writeAll(2, text.data(), text.size()); }

  // The misbehaviours that apply to this command (or to start-up).
  void behave(const std::string& cmd) {
    auto matches = [&](const char* var) {
      std::string p = env(var);
      return cmd == "start" ? p == "start" : startsWith(cmd, p);
    };
    if (matches("FSDB_STANDIN_DIE")) {
      complain("fsdb: cannot go on after \"" + cmd + "\"\n");
      exit(3);
    }
    if (matches("FSDB_STANDIN_QUIT")) exit(0);
    if (matches("FSDB_STANDIN_COMPLAIN")) complain("fsdb: warning: odd request \"" + cmd + "\"\n");
    if (matches("FSDB_STANDIN_SILENT")) {
      char buf[256];
      for (;;) {
        ssize_t n = read(0, buf, sizeof buf);
        if (n == 0 || (n < 0 && errno != EINTR)) exit(0);
      }
    }
  }

  void emit(const std::string& text) {
    if (pieces_ <= 0) {
      writeAll(1, text.data(), text.size());
      return;
    }
    for (size_t at = 0; at < text.size(); at += static_cast<size_t>(pieces_)) {
      size_t n = std::min(text.size() - at, static_cast<size_t>(pieces_));
      writeAll(1, text.data() + at, n);
      usleep(1000);
    }
  }

  void prompt() {
    if (pieces_ > 0) {
      emit(">");
      usleep(2000);
      emit(" ");
    } else {
      emit("> ");
    }
  }

  // "name value " unless the field is dropped for the current command.
  std::string field(const std::string& name, const std::string& value) {
    if (drop_.count(name) && (dropWhen_.empty() || startsWith(current_, dropWhen_))) return "";
    auto s = set_.find(name);
    return name + " " + (s != set_.end() ? s->second : value) + "  ";
  }
  std::string field(const std::string& name, long long value) {
    return field(name, std::to_string(value));
  }

  std::string answer(const std::string& cmd) {
    long long a = 0, b = 0;
    int n = 0;
    const char* c = cmd.c_str();
    const int len = static_cast<int>(cmd.size());
    if (cmd == "8192B.p S") return superblock();
    if (cmd == "1fset") {
      fileset_ = 1;
      object_ = -1;
      std::string out = "fileset 1 (STRUCTURAL)\n";
      out += field("fsf_fsindex", 1) + field("fsf_version", 5) + "\n";
      if (flags_ & vximage::kFlagPrintNinode) out += field("fsf_ninode", inodes_);
      out += field("fsf_ilistino", 0) + field("fsf_fsname", "STRUCTURAL") + "\n";
      return out;
    }
    if (sscanf(c, "%lldb.p%lldxB%n", &a, &b, &n) == 2 && n == len) return dump(a, b);
    if (sscanf(c, "1fset.%lldi%n", &a, &n) == 1 && n == len) {
      fileset_ = 1;
      object_ = a;
      return inode(a);
    }
    if (sscanf(c, "%lldi.mapi%lld%n", &a, &b, &n) == 2 && n == len) return mapi(a, b);
    if (sscanf(c, "mapi%lld%n", &b, &n) == 1 && n == len) {
      if (object_ < 0) {
        complain("fsdb: no current inode\n");
        return "";
      }
      return mapi(object_, b);
    }
    if (sscanf(c, "%lldi%n", &a, &n) == 1 && n == len) return inode(a);
    complain("fsdb: unknown command \"" + cmd + "\"\n");
    return "";
  }

  std::string superblock() {
    char magic[16];
    unsigned char m[4];
    if (pread(fd_, m, 4, vximage::kSuperblockOffset) != 4) return "";
    snprintf(magic, sizeof magic, "%02x%02x%02x%02x", m[0], m[1], m[2], m[3]);
    std::string out = "super-block at 00000008.0000\n";
    out += field("magic", magic) + field("version", version_) + "\n";
    out += field("ctime", 0) + field("log_version", 13) + "\n";
    out += field("fsetquotaino", 0) + field("bsize", blockSize_) + field("size", blockCount_) +
           field("dsize", blockCount_) + field("ninode", 0) + "\n";
    out += field("nau", (blockCount_ - 1) / auBlocks_ + 1) + field("defiextsize", 0) +
           field("aulen", auBlocks_) + "\n";
    if (flags_ & vximage::kFlagPrintAuBlocks) out += field("aublocks", auBlocks_);
    out += field("maxtier", 15) + field("flags", 0) + "\n";
    return out;
  }

  bool readInode(long long ino, unsigned char* rec) {
    if (ino < 0 || ino >= inodes_) {
      complain("fsdb: inode " + std::to_string(ino) + " out of range\n");
      return false;
    }
    const long long at = ilistStart_ * blockSize_ + ino * vximage::kInodeBytes;
    if (pread(fd_, rec, vximage::kInodeBytes, at) != vximage::kInodeBytes) {
      complain("fsdb: cannot read inode " + std::to_string(ino) + "\n");
      return false;
    }
    return true;
  }

  std::string inode(long long ino) {
    unsigned char rec[vximage::kInodeBytes];
    if (!readInode(ino, rec)) return "";
    static const char* const kNames[] = {"", "IFEAU", "IFEMP", "IFILT", "IFDIR"};
    const uint32_t type = getLE32(rec + vximage::kInoType);
    std::string out = "inode structural " + std::to_string(ino);
    if (type == vximage::kTypeNone || type > vximage::kTypeIFDIR) return out + " unallocated\n";
    out +=
        " " + field("type", kNames[type]) + field("mode", "4000000777") + field("nlink", 1) + "\n";
    out += field("size", static_cast<long long>(getLE64(rec + vximage::kInoSize))) +
           field("blocks", 0) + "\n";
    return out;
  }

  std::string mapi(long long ino, long long offset) {
    unsigned char rec[vximage::kInodeBytes];
    if (!readInode(ino, rec)) return "";
    const uint32_t count = getLE32(rec + vximage::kInoExtents);
    long long fileBlock = offset / blockSize_;
    long long lbn = 0;
    for (uint32_t i = 0; i < count && i < vximage::kMaxExtents && offset >= 0; ++i) {
      const unsigned char* e = rec + vximage::kInoExtentList + i * vximage::kExtentBytes;
      const long long start = static_cast<long long>(getLE64(e));
      const long long length = getLE32(e + 8);
      if (fileBlock < length) {
        return field("lbn", lbn) + field("ex_st", start) + field("ex_len", length) +
               field("offset", offset - lbn * blockSize_) + "\n";
      }
      fileBlock -= length;
      lbn += length;
    }
    complain("fsdb: offset " + std::to_string(offset) + " is past the end of inode " +
             std::to_string(ino) + "\n");
    return "";
  }

  std::string dump(long long block, long long bytes) {
    std::vector<unsigned char> data(bytes > 0 && bytes <= (1 << 20) ? bytes : 0);
    if (data.empty() || pread(fd_, data.data(), data.size(), block * blockSize_) !=
                            static_cast<ssize_t>(data.size())) {
      complain("fsdb: cannot read block " + std::to_string(block) + "\n");
      return "";
    }
    const bool damage =
        !dumpMode_.empty() && (dumpBlock_.empty() || atoll(dumpBlock_.c_str()) == block);
    std::vector<std::string> lines;
    for (size_t at = 0; at < data.size(); at += 16) {
      char text[32];
      snprintf(text, sizeof text, "%08llx",
               static_cast<unsigned long long>(block * blockSize_ + at));
      std::string l = text;
      l += (damage && dumpMode_ == "nocolon") ? "  " : ":";
      for (size_t i = 0; i < 16 && at + i < data.size(); ++i) {
        if (!group2_ || i % 2 == 0) l += " ";
        snprintf(text, sizeof text, upper_ ? "%02X" : "%02x", data[at + i]);
        l += text;
      }
      if (damage && dumpMode_ == "extra") l += " de ad be ef";
      lines.push_back(l);
    }
    if (damage && dumpMode_ == "short") lines.pop_back();
    if (damage && dumpMode_ == "long") lines.push_back(lines.back());
    if (damage && dumpMode_ == "corrupt" && lines.size() > 2) lines[2][lines[2].size() - 1] = 'g';
    if (damage && dumpMode_ == "cut") {
      std::string& last = lines.back();
      last.resize(last.find(':') + 1);
    }
    std::string out;
    for (const std::string& l : lines)
      out += l + (damage && dumpMode_ == "cut" && &l == &lines.back() ? "" : "\n");
    return out;
  }

  std::string device_;
  std::string log_;
  int fd_ = -1;
  int pieces_ = 0;
  bool upper_ = false;
  bool group2_ = false;
  std::set<std::string> drop_;
  std::string dropWhen_;
  std::map<std::string, std::string> set_;
  std::string dumpMode_;
  std::string dumpBlock_;
  std::string current_;

  long long version_ = 0;
  long long blockSize_ = 0;
  uint32_t flags_ = 0;
  long long blockCount_ = 0;
  long long auBlocks_ = 0;
  long long inodes_ = 0;
  long long ilistStart_ = 0;
  int fileset_ = 0;
  long long object_ = -1;
};

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  // "fsdb -F vxfs DEVICE" from the search path, "/opt/VRTS/bin/fsdb DEVICE" from its own place.
  const bool searched = args.size() == 3 && args[0] == "-F" && args[1] == "vxfs";
  if (!searched && args.size() != 1) {
    fprintf(stderr, "usage: fsdb -F vxfs DEVICE\n");
    return 2;
  }
  StandIn standIn(args.back());
  return standIn.run(args);
}
