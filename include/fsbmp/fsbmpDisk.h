// fsbmp's disk layer: a whole disk (an MBR or a GPT and the partitions it declares), with the
// file system in each partition probed and one bitmap built over the whole device.
//
//   CVoError err;
//   std::unique_ptr<FsDisk> disk(FsDisk::open("/dev/sdb", &err));
//   if (!disk) { fprintf(stderr, "%s", err.toString().c_str()); ... }
//   for (const FsPartition& p : disk->partitions()) printf("%d %lld %s\n", p.number, p.start, ...);
//   void* bmp; long long nChunks;
//   err = disk->getBmp(1 << 20, &bmp, &nChunks);   // bit c set: chunk c of the disk is used
//   ...
//   free(bmp);
//
// What counts as used, so that nothing is lost: the partition tables (the MBR, every EBR, both
// GPT headers and entry arrays), every byte outside the data partitions (the gap before the
// first one, where boot loaders live, and the gaps between them), partitions whose contents are
// not recognised (an EFI system partition; VxFS in an image file, which fsdb reads only through a
// device node: in a partition of a block device it is read through the partition's node), and
// every disk chunk that a recognised file system uses a block of.
//
// An md RAID member or a LUKS container, in a partition, a logical volume or on the whole device
// (then partition 0, and label() is its name), is a layer (content kLayer): its metadata counts
// used, and what it holds is mapped as a disk's contents are, through the layer. A RAID1 member
// holds its whole array; a member of a striped array needs the others named (Options::members),
// and a LUKS data segment the device that decrypts it (Options::decrypted): without them they
// count used whole. Of a Linux swap area only
// its header page counts, unless it holds a hibernation image: then all of it.
//
// An LVM2 physical volume, in a partition or on the whole disk (then listed as partition 0, and
// label() is "LVM"): its label, metadata areas and everything before its first physical extent
// count used, and so does everything past its last one. Its extents that no logical volume holds
// are free. A logical volume made of linear and striped segments, on this PV or on other PVs of its
// VG that are partitions of the same disk, and not part of
// another volume (a thin pool's data, a RAID image, a snapshot's store), is read through its
// extents: the file system in it is probed and every disk chunk that a block it uses touches is
// marked. A thin pool whose metadata and data volumes are on this PV is read through its
// metadata: its metadata volume counts used, and of its data volume the pool blocks that its thin
// volumes map and use (all they map where their contents are not recognised); its volumes'
// `layer` and `layerInfo` say so. Every other volume counts used over all its extents here, with
// the reason in its `why`: thin pools whose metadata fails a check, RAID, mirrors, caches,
// snapshots, volumes needing extents on a PV of the VG that is not on this disk, volumes whose
// contents are not recognised. Of several metadata areas, the copy with the highest seqno whose
// checksum verifies is read. A PV that cannot be read safely (a label or metadata header whose CRC
// fails, no metadata copy that verifies, text that does not parse, a volume's extents outside the
// PV) is not refused: it counts used whole, as a partition with contents not recognised (kUnknown),
// its `why` saying what is wrong.
#ifndef FSBMP_FSBMPDISK_H
#define FSBMP_FSBMPDISK_H

#include <memory>
#include <string>
#include <vector>

#include "fsbmp/export.h"
#include "fsbmp/fsbmp.h"
#include "fsbmp/services.h"

// One segment of a logical volume: a run of its logical extents and where they lie.
struct FSBMP_API FsLvSegment {
  struct Stripe {
    std::string pv;             // the PV's name in the VG ("pv0"), as the metadata calls it
    long long firstExtent = 0;  // its first physical extent there
  };
  long long startExtent = 0;  // the volume's first logical extent that the segment holds
  long long extentCount = 0;
  std::string type;             // "striped" (linear is one stripe), "thin-pool", "raid1", ...
  long long stripeSize = 0;     // bytes, when striped over more than one stripe
  std::vector<Stripe> stripes;  // "striped" only
};

// A logical volume of the VG whose PV a partition holds.
struct FSBMP_API FsLogicalVolume {
  std::string name;
  std::vector<FsLvSegment> segments;
  bool mapped = false;  // its file system is read through its extents; else all count used
  int fsType = -1;      // FsParser::kExt2, kReiserFS, kXFS when mapped
  int blockSize = -1;
  std::string why;  // when not mapped: why its extents count used
  // A layer in the volume (a LUKS container) or the volume's own kind of mapping (a thin volume
  // of a pool): its name ("LUKS2", "thin") and what info shows of it, ending with "content".
  std::string layer;
  std::vector<FsParser::Property> layerInfo;
};

// One data partition of a disk (an extended partition, the container of logical ones, is not
// listed: its EBRs lie between them and count as used).
struct FSBMP_API FsPartition {
  enum Content {
    kUnknown,      // nothing recognised: counted used throughout
    kFileSystem,   // fsType and blockSize tell which
    kSwap,         // a Linux swap area: its header page is used
    kHibernation,  // a swap area holding a hibernation image: all used
    kLvmPv,        // an LVM2 physical volume: vg, extents and volumes below
    kLayer,        // an md RAID member or a LUKS container: layer and layerInfo below
  };
  int number = 0;        // as Linux numbers it: MBR 1-4 and logical from 5; GPT entry + 1
  long long start = 0;   // byte offset on the disk
  long long length = 0;  // bytes
  std::string type;      // MBR: "0x83"; GPT: the type GUID, "0fc63daf-8483-4772-8e79-..."
  Content content = kUnknown;
  int fsType = -1;     // FsParser::kExt2, kReiserFS, kXFS when content is kFileSystem
  int blockSize = -1;  // the file system's block size, or -1
  std::string why;     // kUnknown: what the last probe said
  // kLvmPv: the volume group, this PV's name in it, the extent size, where the first physical
  // extent starts (bytes from the partition's start) and how many there are; every logical
  // volume of the VG (those with no extents on this PV included).
  std::string vg;
  std::string pvName;
  long long extentSize = 0;
  long long peStart = 0;
  long long peCount = 0;
  std::vector<FsLogicalVolume> volumes;
  // kLayer: the layer's name ("md", "LUKS1", "LUKS2") and what info shows of it, in order, ending
  // with "content": what it holds, or why that counts used.
  std::string layer;
  std::vector<FsParser::Property> layerInfo;
};

class FSBMP_API FsDisk {
 public:
  // Reads the partition table of the device or image at `dev` (or an LVM2 PV label on the whole
  // device) and probes each partition. Null with the reason in *err (err must not be null) when
  // the device cannot be read or holds neither a partition table nor a PV (errno 38), or a damaged
  // one: a protective MBR whose GPT verifies nowhere, a GPT partition outside the device. A GPT
  // found only through its backup header, with no protective MBR in front and a file system
  // recognised on the whole device, is that file system's leftover (mkreiserfs leaves it), and is
  // refused here too: map the file system. An MBR counts in the device's logical sectors: the
  // kernel's sector size for a block device (4096 on a 4Kn disk), 512 for an image file; a GPT
  // is looked for at 512 and at 4096 bytes either way.
  static FsDisk* open(const std::string& dev, CVoError* err);
  // What the caller may name besides the device, for the layers on it.
  struct Options {
    // The other members of an md array that this device (or a partition of it) is a member of:
    // with all of them named, a linear, RAID0, RAID10 or RAID4/5/6 array is read through them and
    // this member's part of it mapped; without them such a member counts used whole.
    std::vector<std::string> members;
    // Opened devices that decrypt a LUKS container on this device (a /dev/mapper node): its data
    // segment is mapped as the decrypted device's contents are; without one it counts used whole.
    std::vector<std::string> decrypted;
  };
  static FsDisk* open(const std::string& dev, const Options& options, CVoError* err);
  ~FsDisk();
  FsDisk(const FsDisk&) = delete;
  FsDisk& operator=(const FsDisk&) = delete;

  // "MBR", "GPT", or "LVM" for a PV on the whole device.
  const std::string& label() const;
  // True when the GPT was read from its backup header, the primary not verifying.
  bool fromBackup() const;
  // The device's length in bytes.
  long long size() const;
  // The data partitions in table order (MBR primaries, then logical partitions).
  const std::vector<FsPartition>& partitions() const;

  // Builds one bitmap over the whole device: chunk c is bit c % 8 of byte c / 8, set when it may
  // hold anything in use (see above). chunkSize is a power of two and a multiple of 512 (errno
  // 22 otherwise); a file system whose blocks are larger, or a partition not aligned to the chunk
  // size, marks every disk chunk its used blocks touch. On success *bmp is a calloc buffer of
  // ceil(*bmpSize / 8) bytes that the caller frees with free(), and *bmpSize the number of
  // chunks (ceil(size() / chunkSize)); on failure null and 0.
  CVoError getBmp(int chunkSize, void** bmp, long long* bmpSize);
  // The same for partition `number` alone, as if it were the device: chunk c covers bytes
  // [c * chunkSize, (c + 1) * chunkSize) from the partition's start, and *bmpSize is
  // ceil(length / chunkSize). Other partitions, overlapping or not, play no part. Errno 22 when
  // the disk has no partition of that number.
  CVoError getPartitionBmp(int number, int chunkSize, void** bmp, long long* bmpSize);

  // Passes FsParser::setVerify(on) to the file system of every partition and logical volume that
  // can be verified (ext2/3/4, XFS) before the next getBmp; the others are mapped as before.
  void setVerify(bool on);
  // After a getBmp, the report of each file system that was verified.
  struct Verified {
    std::string name;  // "partition 2", "volume vg0/root"
    FsParser::VerifyReport report;
  };
  std::vector<Verified> verifyReports() const;

 private:
  struct Impl;
  friend struct FsDiskOpener;
  explicit FsDisk(std::unique_ptr<Impl> impl);
  CVoError mapWindow(long long origin, long long length, const std::vector<size_t>& which,
                     int chunkSize, void** bmp, long long* bmpSize);
  std::unique_ptr<Impl> impl_;
};

#endif
