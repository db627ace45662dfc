#include "e2e_images.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>

#include "common/oracle.h"
#include "fsbmp/fsbmp.h"
#include "vximage.h"

using namespace fsbmp_test;

namespace e2e_test {

namespace {

std::string quote(const std::string& s) {
  return "'" + s + "'";
}

std::string standinDir() {
  const char* dir = getenv("FSBMP_VXFS_TOOLS");
  return dir && *dir ? dir : FSBMP_VXFS_TOOLS_DIR;
}

// Overwrites every block the oracle calls free, and whatever lies past the file system's end,
// with a pattern that no copy may carry over.
void fillFree(FsImage* img) {
  int fd = open(img->path.c_str(), O_WRONLY);
  ASSERT_GE(fd, 0) << img->path;
  std::vector<unsigned char> block(static_cast<size_t>(img->blockSize));
  const long long blocks = static_cast<long long>(img->used.size());
  const long long total = img->devSize / img->blockSize;
  for (long long b = 0; b < total; ++b) {
    if (b < blocks && img->used[static_cast<size_t>(b)]) continue;
    memset(block.data(), 0xE5, block.size());
    memcpy(block.data(), &b, sizeof b);
    ASSERT_EQ(pwrite(fd, block.data(), block.size(), b * img->blockSize),
              static_cast<ssize_t>(block.size()));
  }
  close(fd);
}

long long fileSize(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

// The byte offset of `needle` in the file, or -1.
long long findBytes(const std::string& path, const std::vector<unsigned char>& needle) {
  std::vector<unsigned char> data = readWhole(path);
  auto at = std::search(data.begin(), data.end(), needle.begin(), needle.end());
  return at == data.end() ? -1 : at - data.begin();
}

// mkfs.xfs's description of contentDir(): every directory and regular file, by its path.
std::string xfsProtofile() {
  std::string out = mustRun("cd " + quote(contentDir()) +
                            " && find . -mindepth 1 \\( -type d -o -type f \\) | sort");
  std::string proto = "/dev/null\n0 0\nd--755 0 0\n";
  std::vector<std::string> open;  // directories entered, deepest last
  size_t start = 0;
  while (start < out.size()) {
    size_t end = out.find('\n', start);
    std::string rel = out.substr(start + 2, end - start - 2);  // drop "./"
    start = end + 1;
    std::string parent = rel.rfind('/') == std::string::npos ? "" : rel.substr(0, rel.rfind('/'));
    while (!open.empty() && open.back() != parent) {
      proto += "$\n";
      open.pop_back();
    }
    const std::string name = rel.substr(rel.rfind('/') + 1);
    struct stat st;
    stat((contentDir() + "/" + rel).c_str(), &st);
    if (S_ISDIR(st.st_mode)) {
      proto += name + " d--755 0 0\n";
      open.push_back(rel);
    } else {
      proto += name + " ---644 0 0 " + contentDir() + "/" + rel + "\n";
    }
  }
  for (size_t i = 0; i <= open.size(); ++i) proto += "$\n";
  return proto;
}

// An image made by a real mkfs tool: {files} is contentDir(), {proto} its description for
// mkfs.xfs.
struct Made {
  const char* name;
  const char* fs;
  const char* size;
  const char* command;
  Kind kind;
  long long chunkSize;
  bool mountable;
};

FsImage make(const Made& m, const std::map<std::string, std::string>& fill) {
  FsImage img;
  const std::string path = scratchPath(std::string(m.name) + ".img");
  const std::string failure = makeImageFile({m.name, m.fs, m.size, m.command, 0}, path, fill);
  if (failure.empty()) static_cast<OracleImage&>(img) = *readOracle(m.fs, path);
  img.name = m.name;
  img.path = path;
  if (img.failure.empty()) img.failure = failure;
  img.kind = m.kind;
  img.chunkSize = m.chunkSize;
  img.mountable = m.mountable;
  // No files in ReiserFS: mkreiserfs cannot populate, and this kernel has no ReiserFS driver to
  // do it through a mount. The checker and the used blocks carry the check.
  img.hasFiles = m.kind != Kind::kReiserFS;
  if (!img.hasFiles) img.dataOffset = 65536;  // the superblock
  return img;
}

FsImage makeVxFS() {
  FsImage img;
  img.name = "vxfs";
  img.kind = Kind::kVxFS;
  img.path = scratchPath("vxfs.img");
  img.chunkSize = 8192;
  img.dataOffset = vximage::kSuperblockOffset;
  vximage::Description d;
  d.blockSize = 1024;
  d.blockCount = 65536;
  d.used.assign(65536, false);
  for (long long b = 9000; b < 9100; ++b) d.used[b] = true;
  for (long long b = 30001; b < 41000; b += 3) d.used[b] = true;
  d.used[65535] = true;
  d.freeUnits = {};
  vximage::Layout layout;
  std::string error;
  if (!vximage::build(img.path, d, &layout, &error)) {
    img.failure = "vximage: " + error;
    return img;
  }
  img.blockSize = 1024;
  img.blockCount = d.blockCount;
  img.used = layout.used;
  return img;
}

std::vector<FsImage> makeImages() {
  const Made made[] = {
      {"ext2", "ext2", "40M", "mkfs.ext2 -b 1024 -q -F -d {files} {img}", Kind::kExt, 4096, true},
      {"ext3", "ext2", "40M", "mkfs.ext3 -b 4096 -q -F -d {files} {img}", Kind::kExt, 65536, true},
      {"ext4", "ext2", "40M", "mkfs.ext4 -b 4096 -q -F -d {files} {img}", Kind::kExt, 1 << 20,
       true},
      {"xfs-v5", "xfs", "48M", FSBMP_MKFS_XFS "-p {proto} -b size=4096 -d agcount=2 {img}",
       Kind::kXfs, 65536, true},
      // Version 4 in a file larger than itself; this kernel cannot mount it.
      {"xfs-v4", "xfs", "48M",
       FSBMP_MKFS_XFS "-p {proto} -m crc=0 -b size=512 -d agsize=16m,size=32m {img}", Kind::kXfs,
       4096, false},
      {"reiserfs", "reiserfs", "68M", "mkreiserfs -f -q {img} 16384", Kind::kReiserFS, 128 * 1024,
       false},
  };
  const std::string proto = scratchPath("content.proto");
  const std::string text = xfsProtofile();
  writeFile(proto, std::vector<unsigned char>(text.begin(), text.end()));
  std::vector<FsImage> all;
  for (const Made& m : made) {
    bool tools = true;
    for (const std::string& tool : fsOracle(m.fs).tools) tools = tools && haveCommand(tool);
    if (tools) all.push_back(make(m, {{"{files}", contentDir()}, {"{proto}", proto}}));
  }
  all.push_back(makeVxFS());

  std::vector<unsigned char> probe = readAt(contentDir() + "/big", 0, 64);
  for (FsImage& img : all) {
    if (!img.failure.empty()) continue;
    img.devSize = fileSize(img.path);
    if (img.hasFiles) img.dataOffset = findBytes(img.path, probe);
    fillFree(&img);
  }
  return all;
}

// Unmounts and detaches on every way out.
struct ReadOnlyMount {
  std::string dir;
  bool mounted = false;
  ~ReadOnlyMount() {
    if (mounted) run("umount " + quote(dir));
    if (!dir.empty()) rmdir(dir.c_str());
  }
};

// Compares the files of a copy with contentDir(); "" when they agree.
std::string compareFiles(const FsImage& img, const std::string& copy, std::string* notes) {
  static int serial = 0;
  const std::string dir = scratchPath("files-" + std::to_string(++serial));
  std::string out;
  if (img.kind == Kind::kExt) {
    mustRun("mkdir " + quote(dir));
    if (run("debugfs -R " + quote("rdump / " + dir) + " " + quote(copy), &out, true) != 0)
      return "debugfs rdump failed: " + out;
    if (run("diff -r --exclude=lost+found " + quote(contentDir()) + " " + quote(dir), &out, true) !=
        0)
      return "files differ: " + out;
    mustRun("rm -rf " + quote(dir));
    return "";
  }
  if (!img.mountable) {
    *notes += img.name + ": this kernel cannot mount it; no file comparison. ";
    return "";
  }
  if (geteuid() != 0 || !haveCommand("mount")) {
    *notes += img.name + ": loop mounts need root; no file comparison. ";
    return "";
  }
  ReadOnlyMount m;
  m.dir = dir;
  mustRun("mkdir " + quote(dir));
  if (run("mount -o ro,loop,norecovery " + quote(copy) + " " + quote(dir), &out, true) != 0) {
    // A copy that lost metadata may not mount at all; the original must.
    if (run("mount -o ro,loop,norecovery " + quote(img.path) + " " + quote(dir), &out, true) == 0) {
      run("umount " + quote(dir));
      return "the copy does not mount: " + out;
    }
    *notes += img.name + ": loop mount unavailable here (" + out + "); no file comparison. ";
    return "";
  }
  m.mounted = true;
  if (run("diff -r " + quote(contentDir()) + " " + quote(dir), &out, true) != 0)
    return "files differ: " + out;
  return "";
}

}  // namespace

std::vector<unsigned char> readWhole(const std::string& path) {
  std::vector<unsigned char> data;
  int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return data;
  struct stat st;
  if (fstat(fd, &st) == 0) {
    data.resize(static_cast<size_t>(st.st_size));
    size_t done = 0;
    while (done < data.size()) {
      ssize_t n = pread(fd, data.data() + done, data.size() - done, static_cast<off_t>(done));
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    data.resize(done);
  }
  close(fd);
  return data;
}

const std::string& contentDir() {
  static std::string dir;
  if (dir.empty()) {
    dir = scratchPath("content");
    mustRun("mkdir -p " + quote(dir + "/docs/old") + " && head -c 2500000 /dev/urandom > " +
            quote(dir + "/big") +
            " && for i in $(seq 1 24); do head -c $((i * 7000 + 13)) "
            "/dev/urandom > " +
            quote(dir + "/docs") +
            "/f$i; done && head -c 300000 "
            "/dev/urandom > " +
            quote(dir + "/docs/old/archive") + " && : > " + quote(dir + "/empty"));
  }
  return dir;
}

const std::vector<FsImage>& images() {
  static std::vector<FsImage>* all = new std::vector<FsImage>(makeImages());
  return *all;
}

const FsImage* image(const std::string& name) {
  for (const FsImage& img : images())
    if (img.name == name) return &img;
  return nullptr;
}

std::string tool() {
  return "PATH=" + quote(standinDir()) + ":\"$PATH\" " + toolCommand();
}

void forEachRangeLine(const std::string& text,
                      const std::function<void(long long, long long)>& fn) {
  size_t start = 0;
  while (start < text.size()) {
    long long offset = 0, length = 0;
    if (sscanf(text.c_str() + start, "%lld %lld", &offset, &length) == 2) fn(offset, length);
    size_t end = text.find('\n', start);
    if (end == std::string::npos) break;
    start = end + 1;
  }
}

std::string findLoss(const FsImage& img, const std::string& copy, std::string* notes) {
  if (fileSize(copy) != img.devSize)
    return "the copy holds " + std::to_string(fileSize(copy)) + " bytes, the device " +
           std::to_string(img.devSize);

  // Every block the file system uses, byte for byte.
  std::vector<unsigned char> a = readWhole(img.path), b = readWhole(copy);
  for (size_t blk = 0; blk < img.used.size(); ++blk) {
    if (!img.used[blk]) continue;
    const size_t at = blk * static_cast<size_t>(img.blockSize);
    if (memcmp(&a[at], &b[at], static_cast<size_t>(img.blockSize)) != 0)
      return "used block " + std::to_string(blk) + " differs";
  }

  std::string out;
  switch (img.kind) {
    case Kind::kExt:
      if (run("e2fsck -fn " + quote(copy), &out, true) != 0) return "e2fsck: " + out;
      break;
    case Kind::kXfs:
      if (run("xfs_repair -n " + quote(copy), &out, true) != 0) return "xfs_repair: " + out;
      break;
    case Kind::kReiserFS: {
      // reiserfsck writes its check time into the superblock: it gets a copy of the copy.
      const std::string scratch = copy + ".fsck";
      copyFile(copy, scratch);
      int rc = run("reiserfsck --check -q -y " + quote(scratch), &out, true);
      unlink(scratch.c_str());
      if (rc != 0) return "reiserfsck: " + out;
      break;
    }
    case Kind::kVxFS:
      // The stand-in's images have no checker: the used blocks above are the check, and the
      // library must read the same bitmap from the copy as from the original.
      if (run(tool() + " bitmap " + quote(copy) + " --chunk-size 1K --format ranges", &out) != 0)
        return "the copy is not readable as VxFS";
      {
        std::string original;
        run(tool() + " bitmap " + quote(img.path) + " --chunk-size 1K --format ranges", &original);
        if (original != out) return "the copy's allocation maps differ";
      }
      break;
  }
  if (img.hasFiles) {
    std::string why = compareFiles(img, copy, notes);
    if (!why.empty()) return why;
  }
  return "";
}

Mount::Mount(const std::string& device, const std::string& options) {
  static int serial = 0;
  const std::string path = scratchPath("mnt-" + std::to_string(++serial));
  mustRun("mkdir " + quote(path));
  if (run("mount -o " + options + " " + quote(device) + " " + quote(path), &error, true) == 0) {
    dir = path;
  } else {
    rmdir(path.c_str());
  }
}

Mount::~Mount() {
  if (dir.empty()) return;
  run("umount " + quote(dir));
  rmdir(dir.c_str());
}

}  // namespace e2e_test
