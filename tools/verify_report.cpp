#include "verify_report.h"

namespace fsbmp_tool {

namespace {

std::string lineOf(const std::string& name, const FsParser::VerifyReport& r) {
  std::string line = name.empty() ? "verify: " : "verify (" + name + "): ";
  if (r.blocksFreeInMaps == 0) return line + "the maps hold every block the files use";
  line += std::to_string(r.blocksFreeInMaps) + " blocks in use by files that the maps call free";
  const char* sep = "; first: ";
  for (const FsParser::VerifyRun& run : r.first) {
    line += sep;
    sep = ", ";
    line += run.count == 1 ? "block " + std::to_string(run.block)
                           : "blocks " + std::to_string(run.block) + "-" +
                                 std::to_string(run.block + run.count - 1);
    line += " (inode " + std::to_string(run.inode) + ")";
  }
  if (r.first.size() == FsParser::VerifyReport::kRunsKept) line += ", ...";
  return line;
}

nlohmann::ordered_json jsonOf(const FsParser::VerifyReport& r) {
  nlohmann::ordered_json doc;
  doc["inodes_scanned"] = r.inodesScanned;
  doc["blocks_free_in_maps"] = r.blocksFreeInMaps;
  nlohmann::ordered_json runs = nlohmann::ordered_json::array();
  for (const FsParser::VerifyRun& run : r.first)
    runs.push_back({{"block", run.block}, {"count", run.count}, {"inode", run.inode}});
  doc["first"] = runs;
  return doc;
}

}  // namespace

std::vector<std::string> verifyLines(const Source& source) {
  std::vector<std::string> lines;
  if (source.parser) {
    const FsParser::VerifyReport r = source.parser->verifyReport();
    if (r.ran) lines.push_back(lineOf("", r));
  } else if (source.disk) {
    for (const FsDisk::Verified& v : source.disk->verifyReports())
      lines.push_back(lineOf(v.name, v.report));
  }
  return lines;
}

nlohmann::ordered_json verifyJson(const Source& source) {
  if (source.parser) {
    const FsParser::VerifyReport r = source.parser->verifyReport();
    return r.ran ? jsonOf(r) : nlohmann::ordered_json();
  }
  if (!source.disk) return nlohmann::ordered_json();
  nlohmann::ordered_json all = nlohmann::ordered_json::array();
  for (const FsDisk::Verified& v : source.disk->verifyReports()) {
    nlohmann::ordered_json doc = jsonOf(v.report);
    doc["name"] = v.name;
    all.push_back(doc);
  }
  return all.empty() ? nlohmann::ordered_json() : all;
}

}  // namespace fsbmp_tool
