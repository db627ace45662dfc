#include "formats.h"

#include <nlohmann/json.hpp>

#include "probe.h"

namespace fsbmp_tool {

namespace {

nlohmann::ordered_json geometry(const FsParser& parser) {
  nlohmann::ordered_json doc;
  doc["device"] = parser.devPath;
  doc["type"] = typeName(parser.fsType);
  doc["block_size"] = parser.blockSize;
  doc["block_count"] = parser.blockCount;
  doc["fs_size"] = parser.fsSize;
  doc["device_size"] = parser.devSize;
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

void writeJson(FILE* out, const FsParser& parser, const UsageMap& map) {
  nlohmann::ordered_json doc = geometry(parser);
  doc["chunk_size"] = map.chunkSize;
  doc["chunks"] = map.nChunks;
  doc["used_chunks"] = map.usedChunks();
  doc["used_bytes"] = map.usedBytes();
  nlohmann::ordered_json ranges = nlohmann::ordered_json::array();
  map.forEachUsedRun([&](long long offset, long long length) {
    if (offset < map.devSize) ranges.push_back({{"offset", offset}, {"length", length}});
  });
  doc["used_ranges"] = std::move(ranges);
  fprintf(out, "%s\n", doc.dump(2).c_str());
}

void writeDdrescueMap(FILE* out, const UsageMap& map) {
  fprintf(out,
          "# Mapfile. Created by fsbmp %s\n"
          "# Used space of the file system is finished (+), free space non-tried (?).\n"
          "# current_pos  current_status  current_pass\n"
          "0x00000000     +               1\n"
          "#      pos        size  status\n",
          FSBMP_VERSION);
  long long at = 0;
  map.forEachUsedRun([&](long long offset, long long length) {
    if (offset >= map.devSize) return;
    if (offset > at) fprintf(out, "0x%08llX  0x%08llX  ?\n", at, offset - at);
    fprintf(out, "0x%08llX  0x%08llX  +\n", offset, length);
    at = offset + length;
  });
  if (at < map.devSize) fprintf(out, "0x%08llX  0x%08llX  ?\n", at, map.devSize - at);
}

void writeInfoText(FILE* out, const FsParser& parser) {
  fprintf(out, "device:      %s\n", parser.devPath.c_str());
  fprintf(out, "type:        %s\n", typeName(parser.fsType));
  fprintf(out, "block size:  %d\n", parser.blockSize);
  fprintf(out, "blocks:      %lld\n", parser.blockCount);
  fprintf(out, "fs size:     %lld\n", parser.fsSize);
  fprintf(out, "device size: %lld\n", parser.devSize);
}

void writeInfoJson(FILE* out, const FsParser& parser) {
  fprintf(out, "%s\n", geometry(parser).dump(2).c_str());
}

}  // namespace fsbmp_tool
