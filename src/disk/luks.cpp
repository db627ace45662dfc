// LUKS1 and LUKS2 containers: their headers read, and the layer that maps them.
#include "disk/luks.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "core/checksums.h"
#include "core/coding.h"
#include "core/sha256.h"
#include "disk/disk_table.h"
#include "disk/luks_json.h"

static const char kFile[] = "luks";
#define HERE JX_LOCATION(kFile)

namespace fsbmp {

namespace {

const unsigned char kMagic[6] = {'L', 'U', 'K', 'S', 0xba, 0xbe};
const unsigned char kMagic2[6] = {'S', 'K', 'U', 'L', 0xba, 0xbe};  // LUKS2's secondary header
const int64_t kSector = 512;

// LUKS1 phdr: big-endian fields at these offsets.
const int kL1CipherName = 8, kL1CipherMode = 40, kL1PayloadOffset = 104, kL1KeyBytes = 108,
          kL1Uuid = 168, kL1Keyslots = 208, kL1KeyslotBytes = 48, kL1Slots = 8, kL1PhdrBytes = 592;
const uint32_t kL1SlotActive = 0x00AC71F3;
// Within a LUKS1 key slot.
const int kL1SlotOffset = 40, kL1SlotStripes = 44;

// LUKS2 binary header.
const int kL2Binary = 4096;
const int kL2HdrSize = 8, kL2Seqid = 16, kL2CsumAlg = 72, kL2Uuid = 168, kL2HdrOffset = 256,
          kL2Csum = 448, kL2CsumBytes = 64;
const int64_t kL2Sizes[] = {16 << 10,  32 << 10,   64 << 10,   128 << 10, 256 << 10,
                            512 << 10, 1024 << 10, 2048 << 10, 4096 << 10};

CVoError damaged(int errNo, const std::string& what) {
  return JxErrorUtil::ErrorErrNo(HERE, errNo, "%s", what.c_str());
}

bool readWhole(DeviceView* view, int64_t offset, unsigned char* buf, uint32_t size) {
  uint32_t got = 0;
  return view->readAt(offset, buf, size, &got).code >= 0 && got == size;
}

// A fixed-size text field: up to its first NUL.
std::string field(const unsigned char* p, size_t size) {
  size_t n = 0;
  while (n < size && p[n]) ++n;
  return std::string(reinterpret_cast<const char*>(p), n);
}

bool allowedHdrSize(uint64_t size) {
  for (int64_t s : kL2Sizes)
    if (static_cast<uint64_t>(s) == size) return true;
  return false;
}

CVoError readLuks1(const unsigned char* phdr, int64_t length, LuksHeader* out) {
  out->version = 1;
  out->cipher = field(phdr + kL1CipherName, 32) + "-" + field(phdr + kL1CipherMode, 32);
  out->uuid = field(phdr + kL1Uuid, 40);
  out->headerBytes = kL1PhdrBytes;
  const uint64_t payload = decodeBE32(phdr + kL1PayloadOffset);
  const uint64_t keyBytes = decodeBE32(phdr + kL1KeyBytes);
  if (keyBytes == 0 || keyBytes > 1024)
    return damaged(EIO, "LUKS1 header: a key of " + std::to_string(keyBytes) + " bytes");
  out->dataOffset = static_cast<int64_t>(payload) * kSector;
  if (out->dataOffset > length)
    return damaged(EIO, "LUKS1 header: the payload starts at byte " +
                            std::to_string(out->dataOffset) + ", past the region's end at " +
                            std::to_string(length));
  for (int i = 0; i < kL1Slots; ++i) {
    const unsigned char* s = phdr + kL1Keyslots + i * kL1KeyslotBytes;
    if (decodeBE32(s) == kL1SlotActive) ++out->activeKeyslots;
    const uint64_t stripes = decodeBE32(s + kL1SlotStripes);
    const uint64_t bytes = (keyBytes * stripes + kSector - 1) / kSector * kSector;
    // Both at most 2^32 sectors or bytes: no overflow in 64 bits.
    out->keyslotAreas.push_back({static_cast<int64_t>(decodeBE32(s + kL1SlotOffset)) * kSector,
                                 static_cast<int64_t>(bytes)});
  }
  return CVoError();
}

// One LUKS2 binary header with its JSON area, read at `at` and checked.
struct Luks2Copy {
  bool present = false;  // its magic is there
  bool verified = false;
  uint64_t seqid = 0;
  int64_t hdrSize = 0;
  std::vector<unsigned char> bytes;
  CVoError why;  // when present but not verified
};

Luks2Copy readLuks2Copy(DeviceView* view, int64_t length, int64_t at, const unsigned char* magic) {
  Luks2Copy c;
  unsigned char b[kL2Binary];
  if (at + kL2Binary > length || !readWhole(view, at, b, sizeof b) || memcmp(b, magic, 6) != 0)
    return c;
  c.present = true;
  const char* which = at == 0 ? "primary" : "secondary";
  auto bad = [&](int errNo, const std::string& what) {
    c.why = damaged(errNo, std::string("LUKS2 ") + which + " header: " + what);
    return c;
  };
  if (decodeBE16(b + 6) != 2) return bad(EIO, "not version 2");
  const uint64_t hdrSize = decodeBE64(b + kL2HdrSize);
  if (!allowedHdrSize(hdrSize)) return bad(EIO, "a header size of " + std::to_string(hdrSize));
  if (decodeBE64(b + kL2HdrOffset) != static_cast<uint64_t>(at) ||
      (at != 0 && static_cast<uint64_t>(at) != hdrSize))
    return bad(EIO, "its offset field does not say where it lies");
  c.hdrSize = static_cast<int64_t>(hdrSize);
  c.seqid = decodeBE64(b + kL2Seqid);
  const std::string alg = field(b + kL2CsumAlg, 32);
  if (alg != "sha256") return bad(ENOSYS, "checksum algorithm \"" + alg + "\" is not supported");
  if (at + c.hdrSize > length) return bad(EIO, "it runs past the region's end");
  c.bytes.resize(static_cast<size_t>(c.hdrSize));
  if (!readWhole(view, at, c.bytes.data(), static_cast<uint32_t>(c.hdrSize)))
    return bad(EIO, "it cannot be read");
  std::vector<unsigned char> zeroed(c.bytes);
  memset(zeroed.data() + kL2Csum, 0, kL2CsumBytes);
  uint8_t digest[32];
  sha256(zeroed.data(), zeroed.size(), digest);
  if (memcmp(digest, c.bytes.data() + kL2Csum, sizeof digest) != 0 && kChecksumsRefuse)
    return bad(EIO, "its checksum does not match");
  c.verified = true;
  return c;
}

std::string requirementsWhy(const JsonValue* config) {
  const JsonValue* req = config ? config->get("requirements") : nullptr;
  const JsonValue* mandatory = req ? req->get("mandatory") : nullptr;
  if (!mandatory || mandatory->kind != JsonValue::kArray) return "";
  for (const JsonValue& r : mandatory->items) {
    if (r.text.find("reencrypt") != std::string::npos)
      return "a reencryption is in progress (requirement \"" + r.text + "\")";
    return "it needs \"" + r.text + "\", which is not supported";
  }
  return "";
}

CVoError readLuks2Json(const Luks2Copy& c, int64_t length, LuksHeader* out) {
  auto bad = [](int errNo, const std::string& what) {
    return damaged(errNo, "LUKS2 metadata: " + what);
  };
  const char* text = reinterpret_cast<const char*>(c.bytes.data() + kL2Binary);
  const size_t area = c.bytes.size() - kL2Binary;
  const size_t n = strnlen(text, area);
  if (n == area) return bad(EIO, "the JSON area is not terminated");
  JsonValue root;
  std::string why;
  if (!parseJson(text, n, &root, &why)) return bad(EIO, "the JSON does not parse: " + why);
  const JsonValue* config = root.get("config");
  const std::string req = requirementsWhy(config);
  if (!req.empty()) return bad(ENOSYS, req);
  uint64_t jsonSize = 0, keyslotsSize = 0;
  if (!jsonUnsigned(config ? config->get("json_size") : nullptr, &jsonSize) ||
      !jsonUnsigned(config->get("keyslots_size"), &keyslotsSize))
    return bad(EIO, "config without json_size and keyslots_size");
  if (jsonSize != area) return bad(EIO, "json_size does not match the header's size");
  const JsonValue* segments = root.get("segments");
  if (!segments || segments->kind != JsonValue::kObject) return bad(EIO, "no segments");
  if (segments->members.size() != 1)
    return bad(ENOSYS, std::to_string(segments->members.size()) +
                           " data segments (a reencryption in progress?); one is supported");
  const JsonValue& seg = segments->members[0].second;
  const JsonValue* type = seg.get("type");
  if (!type || type->text != "crypt")
    return bad(ENOSYS, "a data segment of type \"" + (type ? type->text : "") + "\"");
  uint64_t offset = 0, size = 0, sectorSize = 0;
  const JsonValue* sizeValue = seg.get("size");
  const JsonValue* encryption = seg.get("encryption");
  if (!jsonUnsigned(seg.get("offset"), &offset) || !sizeValue ||
      (sizeValue->text != "dynamic" && !jsonUnsigned(sizeValue, &size)) || !encryption ||
      encryption->kind != JsonValue::kString || !jsonUnsigned(seg.get("sector_size"), &sectorSize))
    return bad(EIO, "the data segment lacks its offset, size, encryption or sector_size");
  if (sectorSize != 512 && sectorSize != 1024 && sectorSize != 2048 && sectorSize != 4096)
    return bad(EIO, "a sector size of " + std::to_string(sectorSize));
  const bool dynamic = sizeValue->text == "dynamic";
  if (offset % kSector != 0 || offset > static_cast<uint64_t>(length) ||
      (!dynamic && (size % kSector != 0 || size > static_cast<uint64_t>(length) - offset)))
    return bad(EIO, "the data segment at " + std::to_string(offset) +
                        " lies outside the region of " + std::to_string(length) + " bytes");
  out->version = 2;
  out->cipher = encryption->text;
  out->sectorSize = static_cast<int>(sectorSize);
  out->dataOffset = static_cast<int64_t>(offset);
  out->dataSize = dynamic ? -1 : static_cast<int64_t>(size);
  out->uuid = field(c.bytes.data() + kL2Uuid, 40);
  // Clipped to the region when marked; kept below 2^62 so that sums stay in range.
  out->headerBytes =
      2 * c.hdrSize + static_cast<int64_t>(std::min<uint64_t>(keyslotsSize, 1ull << 62));
  const JsonValue* keyslots = root.get("keyslots");
  if (keyslots && keyslots->kind != JsonValue::kObject) return bad(EIO, "keyslots is no object");
  if (keyslots) {
    for (const auto& k : keyslots->members) {
      const JsonValue* a = k.second.get("area");
      uint64_t ao = 0, as = 0;
      if (!a || !jsonUnsigned(a->get("offset"), &ao) || !jsonUnsigned(a->get("size"), &as))
        return bad(EIO, "key slot " + k.first + " without its area's offset and size");
      out->keyslotAreas.push_back(
          {static_cast<int64_t>(ao), static_cast<int64_t>(std::min<uint64_t>(as, 1ull << 62))});
      ++out->activeKeyslots;
    }
  }
  return CVoError();
}

CVoError readLuks2(DeviceView* view, int64_t length, bool* found, LuksHeader* out) {
  // Without the primary's magic there is no container: a secondary header alone may be what a
  // file system made over an old container left behind, and would hide that file system.
  Luks2Copy primary = readLuks2Copy(view, length, 0, kMagic);
  *found = primary.present;
  if (!*found) return CVoError();
  // The secondary lies at the primary's size; with the primary's size unreadable, at any allowed
  // size.
  Luks2Copy secondary;
  for (int64_t at : kL2Sizes) {
    if (primary.hdrSize && at != primary.hdrSize) continue;
    secondary = readLuks2Copy(view, length, at, kMagic2);
    if (secondary.present) break;
  }
  const Luks2Copy* use = nullptr;
  for (const Luks2Copy* c : {&primary, &secondary})
    if (c->verified && (!use || c->seqid > use->seqid)) use = c;
  if (!use)
    return primary.why.failed() ? primary.why
                                : damaged(EIO, "LUKS2 header: no copy whose checksum verifies");
  out->fromSecondary = use == &secondary;
  return readLuks2Json(*use, length, out);
}

std::string hexUuid(const std::string& uuid) {
  std::string hex;
  for (char ch : uuid)
    if (ch != '-') hex.push_back(static_cast<char>(tolower(static_cast<unsigned char>(ch))));
  return hex;
}

// The dm UUID of a device-mapper node, or "" when `path` is no such node.
std::string dmUuid(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) return "";
  return readSysfsLine("/sys/dev/block/" + std::to_string(major(st.st_rdev)) + ":" +
                       std::to_string(minor(st.st_rdev)) + "/dm/uuid");
}

// The decrypted device of this container among those named (see luks.h), or "".
std::string pickDecrypted(const std::vector<std::string>& named, const LuksHeader& h,
                          int64_t expected, std::vector<std::string>* claimed) {
  const auto taken = [claimed](const std::string& p) {
    return claimed && std::find(claimed->begin(), claimed->end(), p) != claimed->end();
  };
  const std::string own = "-" + hexUuid(h.uuid) + "-";
  std::vector<std::string> loose;
  for (const std::string& p : named) {
    std::string u = dmUuid(p);
    for (char& ch : u) ch = static_cast<char>(tolower(static_cast<unsigned char>(ch)));
    if (u.compare(0, 6, "crypt-") != 0) {
      loose.push_back(p);
      continue;
    }
    // "CRYPT-LUKS2-<hex>-<name>"
    if (u.compare(0, 10, "crypt-luks") == 0 && u.size() > 11 && u.compare(11, own.size(), own) == 0)
      return p;
  }
  for (const std::string& p : loose) {
    int64_t bytes = -1;
    if (!taken(p) && measureDevice(p, &bytes).code >= 0 && bytes == expected) return p;
  }
  // On a disk, a device that fits no container is refused once the disk is read (FsDisk::open
  // names it); a container probed alone takes it and refuses it here.
  return loose.empty() || claimed ? "" : loose.front();
}

using Property = FsParser::Property;

class LuksLayer : public Layer {
 public:
  LuksLayer(LuksHeader h, int64_t length) : h_(std::move(h)), length_(length) {}

  std::string kind() const override { return h_.version == 1 ? "LUKS1" : "LUKS2"; }

  CVoError map(int64_t offset, int64_t chunk, const MarkRange& mark) override {
    auto clipped = [&](int64_t from, int64_t n) {
      if (from < 0 || from >= length_ || n <= 0) return;
      mark(from, std::min(n, length_ - from));
    };
    clipped(0, std::max(h_.dataOffset, h_.headerBytes));
    for (const LuksHeader::Area& a : h_.keyslotAreas) clipped(a.offset, a.length);
    const int64_t dataEnd = h_.dataSize < 0 ? length_ : h_.dataOffset + h_.dataSize;
    clipped(dataEnd, length_ - dataEnd);
    if (!contents_) {
      clipped(h_.dataOffset, dataEnd - h_.dataOffset);
      return CVoError();
    }
    const int64_t plain = luksDecryptedBytes(h_, length_);
    clipped(h_.dataOffset + plain, dataEnd - h_.dataOffset - plain);
    CVoError err = contents_->map(offset + h_.dataOffset, chunk, [&](int64_t from, int64_t n) {
      if (from < 0 || from >= plain || n <= 0) return;
      clipped(h_.dataOffset + from, std::min(n, plain - from));
    });
    if (err.failed()) err.Push(HERE, "Mapping the decrypted device %s", path_.c_str());
    return err;
  }

  std::vector<Property> properties() const override {
    std::vector<Property> out;
    out.push_back(Property::ofNumber("version", h_.version));
    out.push_back({"uuid", h_.uuid});
    out.push_back({"cipher", h_.cipher});
    if (h_.version == 2) out.push_back(Property::ofNumber("sector_size", h_.sectorSize));
    out.push_back(Property::ofNumber("data_offset", h_.dataOffset));
    if (h_.dataSize < 0)
      out.push_back({"data_size", "dynamic"});
    else
      out.push_back(Property::ofNumber("data_size", h_.dataSize));
    out.push_back(Property::ofNumber("keyslots", h_.activeKeyslots));
    out.push_back({"decrypted", path_.empty() ? "none" : path_});
    out.push_back({"content", contents_ ? contents_->describe() : "counted used: " + why_});
    return out;
  }

  void setVerify(bool on) override {
    if (contents_) contents_->setVerify(on);
  }
  void verifyReports(const std::string& prefix, std::vector<FsDisk::Verified>* out) const override {
    if (contents_) contents_->verifyReports(prefix, out);
  }

  LuksHeader h_;
  int64_t length_;
  std::string path_;
  std::unique_ptr<Contents> contents_;
  std::string why_;
};

}  // namespace

CVoError readLuksHeader(DeviceView* view, int64_t length, bool* found, LuksHeader* out) {
  *found = false;
  *out = LuksHeader();
  unsigned char phdr[kL1PhdrBytes];
  const bool magic = length >= kL1PhdrBytes && readWhole(view, 0, phdr, sizeof phdr) &&
                     memcmp(phdr, kMagic, 6) == 0;
  if (magic && decodeBE16(phdr + 6) == 1) {
    *found = true;
    return readLuks1(phdr, length, out);
  }
  if (magic && decodeBE16(phdr + 6) != 2) {
    *found = true;
    return damaged(ENOSYS,
                   "LUKS version " + std::to_string(decodeBE16(phdr + 6)) + " is not supported");
  }
  return readLuks2(view, length, found, out);
}

int64_t luksDecryptedBytes(const LuksHeader& h, int64_t length) {
  if (h.dataSize >= 0) return h.dataSize;
  return (length - h.dataOffset) / kSector * kSector;
}

std::unique_ptr<Layer> probeLuks(const std::shared_ptr<DeviceView>& view, int64_t length,
                                 const LayerContext& ctx, bool* found, CVoError* err) {
  LuksHeader h;
  CVoError e = readLuksHeader(view.get(), length, found, &h);
  if (!*found) return nullptr;
  if (e.failed()) {
    *err = e.Push(HERE);
    return nullptr;
  }
  std::unique_ptr<LuksLayer> layer(new LuksLayer(std::move(h), length));
  const LuksHeader& hh = layer->h_;
  const int64_t expected = luksDecryptedBytes(hh, length);
  const std::string path = ctx.options
                               ? pickDecrypted(ctx.options->decrypted, hh, expected, ctx.claimed)
                               : std::string();
  if (!path.empty() && ctx.claimed) ctx.claimed->push_back(path);
  if (path.empty()) {
    layer->why_ = "no decrypted device named";
    return layer;
  }
  int64_t bytes = -1;
  e = measureDevice(path, &bytes);
  if (e.failed() || bytes != expected) {
    if (e.failed())
      e.Push(HERE, "The decrypted device %s cannot be measured", path.c_str());
    else
      e = JxErrorUtil::ErrorErrNo(HERE, EINVAL,
                                  "The decrypted device %s holds %lld bytes, but the data segment "
                                  "of %s container %s holds %lld",
                                  path.c_str(), static_cast<long long>(bytes),
                                  layer->kind().c_str(), ctx.name.c_str(),
                                  static_cast<long long>(expected));
    if (ctx.refusal) *ctx.refusal = e;
    *err = e;
    return nullptr;
  }
  layer->path_ = path;
  CVoError why;
  layer->contents_ = Contents::openPath(path, ctx.inner("/luks"), &why);
  if (!layer->contents_)
    layer->why_ = why.failed() ? why.message() : "nothing recognised on " + path;
  return layer;
}

}  // namespace fsbmp
