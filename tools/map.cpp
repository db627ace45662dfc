#include "map.h"

#include <algorithm>
#include <cmath>

#include "probe.h"
#include "progress.h"

namespace fsbmp_tool {

CellGrid makeGrid(const UsageMap& map, long long maxCells, long long columns) {
  CellGrid grid;
  const long long chunks = std::max(map.nChunks, 1LL);
  // A power of two, so that cells and row offsets come out in round sizes.
  grid.chunksPerCell = 1;
  while (grid.chunksPerCell * maxCells < chunks) grid.chunksPerCell *= 2;
  const long long cells = (chunks + grid.chunksPerCell - 1) / grid.chunksPerCell;
  grid.columns = columns > 0 ? std::min(columns, cells)
                             : static_cast<long long>(std::ceil(std::sqrt(double(cells))));
  grid.rows = (cells + grid.columns - 1) / grid.columns;
  grid.share.assign(static_cast<size_t>(grid.rows * grid.columns), -1.0);
  for (long long cell = 0; cell < cells; ++cell) {
    const long long first = cell * grid.chunksPerCell;
    const long long last = std::min(first + grid.chunksPerCell, map.nChunks);
    long long used = 0;
    for (long long c = first; c < last; ++c) used += map.used(c);
    grid.share[static_cast<size_t>(cell)] =
        last > first ? static_cast<double>(used) / static_cast<double>(last - first) : 0.0;
  }
  return grid;
}

long long defaultMapChunkSize(const Source& source) {
  const long long span = std::max(source.devSize, source.fsSize);
  long long chunk = std::max(source.blockSize, 512);
  while (span / chunk > (1LL << 24) && chunk < (1LL << 30)) chunk *= 2;
  return chunk;
}

namespace {

// Shade index 0 (free) to 4 (every chunk used).
int shadeOf(double share) {
  if (share <= 0) return 0;
  if (share >= 1) return 4;
  if (share < 1.0 / 3) return 1;
  if (share < 2.0 / 3) return 2;
  return 3;
}

}  // namespace

void drawTerminalMap(FILE* out, const Source& source, const UsageMap& map, int width,
                     bool unicode) {
  static const char* const kUnicode[5] = {"\u00b7", "\u2591", "\u2592", "\u2593", "\u2588"};
  static const char* const kAscii[5] = {".", "-", "+", "*", "#"};
  const char* const* shades = unicode ? kUnicode : kAscii;
  const int labelWidth = 11;
  // A power of two of cells to a row keeps the row offsets round.
  // A power of two of cells to a row keeps the row offsets round; a narrow terminal gets
  // fewer than 16.
  long long columns = 1;
  while (columns * 2 <= std::min(width - labelWidth - 1, 128)) columns *= 2;
  const CellGrid grid = makeGrid(map, columns * 24, columns);
  const long long cellBytes = grid.chunksPerCell * map.chunkSize;

  const long long span = std::max(map.devSize, map.fsSize);
  const std::string type = source.disk ? source.disk->label() + " disk"
                                       : std::string(FsParser::typeName(source.parser->fsType));
  fprintf(out, "%s: %s, %s, %d-byte %s\n", source.devPath.c_str(), type.c_str(),
          humanBytes(static_cast<double>(span)).c_str(), source.blockSize,
          source.disk ? "sectors" : "blocks");
  for (long long r = 0; r < grid.rows; ++r) {
    std::string label = humanBytes(static_cast<double>(r * grid.columns * cellBytes));
    fprintf(out, "%*s ", labelWidth - 1, label.c_str());
    for (long long col = 0; col < grid.columns; ++col) {
      double share = grid.share[static_cast<size_t>(r * grid.columns + col)];
      if (share < 0) break;
      fputs(shades[shadeOf(share)], out);
    }
    fputc('\n', out);
  }
  const long long used = map.usedBytes();
  // The legend on lines of its own, each well within 80 columns.
  fprintf(out, "each cell %s (%lld %s of %s)\n", humanBytes(static_cast<double>(cellBytes)).c_str(),
          grid.chunksPerCell, grid.chunksPerCell == 1 ? "chunk" : "chunks",
          humanBytes(static_cast<double>(map.chunkSize)).c_str());
  fprintf(out, "%s free  %s <1/3 used  %s <2/3  %s <all  %s all used\n", shades[0], shades[1],
          shades[2], shades[3], shades[4]);
  fprintf(
      out, "used %s of %s (%.1f%%)\n", humanBytes(static_cast<double>(used)).c_str(),
      humanBytes(static_cast<double>(map.devSize)).c_str(),
      map.devSize > 0 ? 100.0 * static_cast<double>(used) / static_cast<double>(map.devSize) : 0.0);
}

}  // namespace fsbmp_tool
