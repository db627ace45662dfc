// `fsbmp map`: a picture of where the used space lies. The device is cut into equal cells of
// whole chunks; each cell is shaded by the share of its chunks that are used.
#ifndef FSBMP_TOOLS_MAP_H
#define FSBMP_TOOLS_MAP_H

#include <cstdio>
#include <string>
#include <vector>

#include "fsbmp/fsbmp.h"
#include "usage_map.h"

namespace fsbmp_tool {

struct CellGrid {
  long long chunksPerCell = 0;
  long long columns = 0;
  long long rows = 0;
  std::vector<double> share;  // used share of each cell, row by row; -1 past the last chunk
};

// Cuts the chunks into at most `maxCells` cells of a power of two of chunks each, laid out
// `columns` to a row (0: a square).
CellGrid makeGrid(const UsageMap& map, long long maxCells, long long columns);

// A chunk size that keeps the bitmap of a large device small: the block size, doubled while the
// device would need more than 2^24 chunks.
long long defaultMapChunkSize(const Source& source);

// The grid fitted to `width` terminal columns, with row offsets, a legend and totals.
void drawTerminalMap(FILE* out, const Source& source, const UsageMap& map, int width, bool unicode);

// Writes the grid as a PNG image. False, after printing why, when it cannot (also when the tool
// was built without libpng).
bool writePngMap(const std::string& path, const UsageMap& map);

}  // namespace fsbmp_tool

#endif
