#include "formats.h"

#include <algorithm>
#include <nlohmann/json.hpp>

#include "probe.h"
#include "verify_report.h"

namespace fsbmp_tool {

namespace {

// Paths are bytes: what is not UTF-8 in them is replaced (U+FFFD) rather than refused.
std::string dumpJson(const nlohmann::ordered_json& doc) {
  return doc.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

void addWarnings(nlohmann::ordered_json* doc, const std::vector<std::string>& warnings) {
  if (!warnings.empty()) (*doc)["warnings"] = warnings;
}

// Properties as members of `doc`: numbers as numbers.
void putProperties(const std::vector<FsParser::Property>& props, nlohmann::ordered_json* doc) {
  for (const FsParser::Property& p : props) {
    if (p.numeric)
      (*doc)[p.key] = p.number;
    else
      (*doc)[p.key] = p.value;
  }
}

nlohmann::ordered_json geometry(FsParser& parser) {
  nlohmann::ordered_json doc;
  doc["device"] = parser.devPath;
  doc["type"] = FsParser::typeName(parser.fsType);
  doc["block_size"] = parser.blockSize;
  doc["block_count"] = parser.blockCount;
  doc["fs_size"] = parser.fsSize;
  doc["device_size"] = parser.devSize;
  const std::string journal = parser.journalState();
  if (!journal.empty()) doc["journal"] = journal;
  putProperties(parser.properties(), &doc);
  return doc;
}

// A layer's facts (md, LUKS, thin): its kind, then its properties.
nlohmann::ordered_json layerJson(const std::string& kind,
                                 const std::vector<FsParser::Property>& info) {
  nlohmann::ordered_json doc;
  doc["kind"] = kind;
  putProperties(info, &doc);
  return doc;
}

// An LVM PV: its VG, extents and every volume with its segments.
nlohmann::ordered_json physicalVolume(const FsPartition& p) {
  nlohmann::ordered_json pv;
  pv["vg"] = p.vg;
  pv["pv"] = p.pvName;
  pv["extent_size"] = p.extentSize;
  pv["pe_start"] = p.peStart;
  pv["pe_count"] = p.peCount;
  nlohmann::ordered_json lvs = nlohmann::ordered_json::array();
  for (const FsLogicalVolume& lv : p.volumes) {
    nlohmann::ordered_json v;
    v["name"] = lv.name;
    if (!lv.layer.empty()) {
      v["content"] = lv.layer;
      v["layer"] = layerJson(lv.layer, lv.layerInfo);
    } else if (lv.mapped) {
      v["content"] = FsParser::typeName(lv.fsType);
      v["block_size"] = lv.blockSize;
    } else {
      v["content"] = "used";
      v["why"] = lv.why;
    }
    nlohmann::ordered_json segs = nlohmann::ordered_json::array();
    for (const FsLvSegment& s : lv.segments) {
      nlohmann::ordered_json seg;
      seg["start_extent"] = s.startExtent;
      seg["extent_count"] = s.extentCount;
      seg["type"] = s.type;
      if (s.stripeSize > 0) seg["stripe_size"] = s.stripeSize;
      nlohmann::ordered_json stripes = nlohmann::ordered_json::array();
      for (const FsLvSegment::Stripe& st : s.stripes)
        stripes.push_back({{"pv", st.pv}, {"first_extent", st.firstExtent}});
      if (!s.stripes.empty()) seg["stripes"] = std::move(stripes);
      segs.push_back(std::move(seg));
    }
    v["segments"] = std::move(segs);
    lvs.push_back(std::move(v));
  }
  pv["volumes"] = std::move(lvs);
  return pv;
}

// A disk: its table and partitions.
nlohmann::ordered_json geometry(const Source& source) {
  if (!source.disk) return geometry(*source.parser);
  const FsDisk& disk = *source.disk;
  nlohmann::ordered_json doc;
  doc["device"] = source.devPath;
  doc["type"] = "disk";
  doc["table"] = disk.label();
  if (disk.fromBackup()) doc["table_from_backup"] = true;
  doc["block_size"] = source.blockSize;
  doc["block_count"] = source.blockCount;
  doc["device_size"] = source.devSize;
  nlohmann::ordered_json parts = nlohmann::ordered_json::array();
  if (source.partition >= 0) doc["partition"] = source.partition;
  for (const FsPartition& p : disk.partitions()) {
    if (source.partition >= 0 && p.number != source.partition) continue;
    nlohmann::ordered_json part;
    part["number"] = p.number;
    part["start"] = p.start;
    part["length"] = p.length;
    part["type"] = p.type;
    part["content"] = p.content == FsPartition::kFileSystem    ? FsParser::typeName(p.fsType)
                      : p.content == FsPartition::kSwap        ? "swap"
                      : p.content == FsPartition::kHibernation ? "hibernation"
                      : p.content == FsPartition::kLvmPv       ? "lvm"
                      : p.content == FsPartition::kLayer       ? p.layer.c_str()
                                                               : "unknown";
    if (p.content == FsPartition::kFileSystem) part["block_size"] = p.blockSize;
    if (p.content == FsPartition::kUnknown && !p.why.empty()) part["why"] = p.why;
    if (p.content == FsPartition::kLvmPv) part["lvm"] = physicalVolume(p);
    if (p.content == FsPartition::kLayer) part["layer"] = layerJson(p.layer, p.layerInfo);
    parts.push_back(std::move(part));
  }
  doc["partitions"] = std::move(parts);
  return doc;
}

}  // namespace

bool parseBitmapFormat(const std::string& text, BitmapFormat* format) {
  if (text == "raw") {
    *format = BitmapFormat::kRaw;
  } else if (text == "ranges") {
    *format = BitmapFormat::kRanges;
  } else if (text == "json") {
    *format = BitmapFormat::kJson;
  } else if (text == "ddrescue") {
    *format = BitmapFormat::kDdrescue;
  } else if (text == "extentlist") {
    *format = BitmapFormat::kExtentList;
  } else {
    return false;
  }
  return true;
}

void writeRaw(FILE* out, const UsageMap& map) {
  fwrite(map.bits.get(), 1, map.bytes(), out);
}

void writeRanges(FILE* out, const UsageMap& map) {
  map.forEachUsedRun([&](long long offset, long long length) {
    if (offset < map.devSize) fprintf(out, "%lld %lld\n", offset, length);
  });
}

void writeExtentList(FILE* out, const UsageMap& map) {
  map.forEachUsedRun([&](long long offset, long long length) {
    if (offset < map.devSize) fprintf(out, "%lld %lld\n", offset, length);
  });
}

void writeJson(FILE* out, const Source& source, const UsageMap& map,
               const std::vector<std::string>& warnings) {
  nlohmann::ordered_json doc = geometry(source);
  doc["chunk_size"] = map.chunkSize;
  doc["chunks"] = map.nChunks;
  doc["used_chunks"] = map.usedChunks();
  doc["used_bytes"] = map.usedBytes();
  nlohmann::ordered_json ranges = nlohmann::ordered_json::array();
  map.forEachUsedRun([&](long long offset, long long length) {
    if (offset < map.devSize) ranges.push_back({{"offset", offset}, {"length", length}});
  });
  doc["used_ranges"] = std::move(ranges);
  const nlohmann::ordered_json verified = verifyJson(source);
  if (!verified.is_null()) doc["verify"] = verified;
  addWarnings(&doc, warnings);
  fprintf(out, "%s\n", dumpJson(doc).c_str());
}

void writeDdrescueMap(FILE* out, const UsageMap& map) {
  fprintf(out,
          "# Mapfile. Created by fsbmp %s\n"
          "# Used space of the file system is finished (+), free space non-tried (?).\n"
          "# The last sector is always finished, so that the copy is the device's size.\n"
          "# current_pos  current_status  current_pass\n"
          "0x00000000     +               1\n"
          "#      pos        size  status\n",
          FSBMP_VERSION);
  // Blocks are printed one behind, so that a last free block can give up its last sector.
  long long at = 0, pendingOffset = -1, pendingLength = 0;
  char pendingStatus = 0;
  auto block = [&](long long offset, long long length, char status) {
    if (length <= 0) return;
    if (pendingOffset >= 0 && pendingStatus == status) {
      pendingLength += length;
      return;
    }
    if (pendingOffset >= 0)
      fprintf(out, "0x%08llX  0x%08llX  %c\n", pendingOffset, pendingLength, pendingStatus);
    pendingOffset = offset;
    pendingLength = length;
    pendingStatus = status;
  };
  map.forEachUsedRun([&](long long offset, long long length) {
    if (offset >= map.devSize) return;
    block(at, offset - at, '?');
    block(offset, length, '+');
    at = offset + length;
  });
  if (at < map.devSize) {
    const long long tail = std::min(512LL, map.devSize - at);
    block(at, map.devSize - at - tail, '?');
    block(map.devSize - tail, tail, '+');
  }
  block(map.devSize, 1, 0);  // flushes the last block
}

void writeInfoText(FILE* out, const Source& source) {
  if (source.disk) {
    const FsDisk& disk = *source.disk;
    fprintf(out, "device:      %s\n", source.devPath.c_str());
    if (disk.label() == "LVM")
      fprintf(out, "type:        disk, an LVM physical volume on the whole device\n");
    else if (disk.label() != "MBR" && disk.label() != "GPT")
      fprintf(out, "type:        disk, %s on the whole device\n", disk.label().c_str());
    else
      fprintf(out, "type:        disk, %s partition table%s\n", disk.label().c_str(),
              disk.fromBackup() ? " (from its backup)" : "");
    fprintf(out, "block size:  %d\n", source.blockSize);
    fprintf(out, "device size: %lld\n", source.devSize);
    if (source.partition >= 0)
      fprintf(out, "partition:   %d alone, as the device (%lld bytes)\n", source.partition,
              source.devSize);
    else
      fprintf(out, "partitions:  %zu\n", disk.partitions().size());
    for (const FsPartition& p : disk.partitions()) {
      if (source.partition >= 0 && p.number != source.partition) continue;
      fprintf(out, "  %-3d start %lld, length %lld, type %s: %s\n", p.number, p.start, p.length,
              p.type.c_str(), partitionContent(p).c_str());
      for (const FsLogicalVolume& lv : p.volumes)
        fprintf(out, "      LV %s/%s (%zu segment%s): %s\n", p.vg.c_str(), lv.name.c_str(),
                lv.segments.size(), lv.segments.size() == 1 ? "" : "s", volumeContent(lv).c_str());
    }
    for (const std::string& line : verifyLines(source)) fprintf(out, "%s\n", line.c_str());
    return;
  }
  FsParser& parser = *source.parser;
  fprintf(out, "device:      %s\n", parser.devPath.c_str());
  fprintf(out, "type:        %s\n", FsParser::typeName(parser.fsType));
  fprintf(out, "block size:  %d\n", parser.blockSize);
  fprintf(out, "blocks:      %lld\n", parser.blockCount);
  fprintf(out, "fs size:     %lld\n", parser.fsSize);
  fprintf(out, "device size: %lld\n", parser.devSize);
  const std::string journal = parser.journalState();
  if (!journal.empty()) fprintf(out, "journal:     %s\n", journal.c_str());
  for (const FsParser::Property& p : parser.properties()) {
    std::string key = p.key + ":";
    std::replace(key.begin(), key.end(), '_', ' ');
    fprintf(out, "%-12s %s\n", key.c_str(), p.value.c_str());
  }
  for (const std::string& line : verifyLines(source)) fprintf(out, "%s\n", line.c_str());
}

void writeInfoJson(FILE* out, const Source& source, const std::vector<std::string>& warnings) {
  nlohmann::ordered_json doc = geometry(source);
  const nlohmann::ordered_json verified = verifyJson(source);
  if (!verified.is_null()) doc["verify"] = verified;
  addWarnings(&doc, warnings);
  fprintf(out, "%s\n", dumpJson(doc).c_str());
}

}  // namespace fsbmp_tool
