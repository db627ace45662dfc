// The map as a PNG image: one square of pixels per cell, free cells light grey, used cells a
// deep blue, partly used ones in between, the space past the last chunk white.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "map.h"

#ifdef FSBMP_HAVE_PNG
#include <png.h>
#endif

namespace fsbmp_tool {

#ifdef FSBMP_HAVE_PNG

namespace {

const unsigned char kFree[3] = {226, 231, 236};
const unsigned char kUsed[3] = {24, 72, 130};
const unsigned char kPastEnd[3] = {255, 255, 255};

// Holds libpng's state and the open file; releases both on every way out.
struct PngWriter {
  FILE* file = nullptr;
  png_structp png = nullptr;
  png_infop info = nullptr;
  ~PngWriter() {
    if (png) png_destroy_write_struct(&png, info ? &info : nullptr);
    if (file) fclose(file);
  }
};

}  // namespace

bool writePngMap(const std::string& path, const UsageMap& map) {
  const CellGrid grid = makeGrid(map, 128 * 128, 0);
  const long long cellPixels = std::max(2LL, 512 / grid.columns);
  const long long width = grid.columns * cellPixels, height = grid.rows * cellPixels;

  std::vector<unsigned char> image(static_cast<size_t>(width * height * 3));
  for (long long y = 0; y < height; ++y) {
    for (long long x = 0; x < width; ++x) {
      double share =
          grid.share[static_cast<size_t>(y / cellPixels * grid.columns + x / cellPixels)];
      unsigned char* px = &image[static_cast<size_t>((y * width + x) * 3)];
      for (int k = 0; k < 3; ++k) {
        if (share < 0) {
          px[k] = kPastEnd[k];
        } else {
          // Any used chunk makes a cell at least a third of the way to the used colour.
          double t = share > 0 ? 1.0 / 3 + share * 2.0 / 3 : 0.0;
          px[k] = static_cast<unsigned char>(kFree[k] + (kUsed[k] - kFree[k]) * t + 0.5);
        }
      }
    }
  }

  PngWriter w;
  // "-" is standard output; the descriptor is duplicated so that closing the stream leaves it.
  const bool toStdout = path == "-";
  const std::string name = toStdout ? "standard output" : path;
  if (toStdout) {
    fflush(stdout);
    int fd = dup(STDOUT_FILENO);
    w.file = fd < 0 ? nullptr : fdopen(fd, "wb");
    if (fd >= 0 && !w.file) close(fd);
  } else {
    w.file = fopen(path.c_str(), "wbe");
  }
  if (!w.file) {
    fprintf(stderr, "fsbmp: couldn't create %s: %s\n", name.c_str(), strerror(errno));
    return false;
  }
  w.png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  if (w.png) w.info = png_create_info_struct(w.png);
  if (!w.png || !w.info) {
    fprintf(stderr, "fsbmp: couldn't start a PNG image for %s\n", name.c_str());
    return false;
  }
  std::vector<png_bytep> rows(static_cast<size_t>(height));
  for (long long y = 0; y < height; ++y)
    rows[static_cast<size_t>(y)] = &image[static_cast<size_t>(y * width * 3)];
  if (setjmp(png_jmpbuf(w.png))) {
    fprintf(stderr, "fsbmp: couldn't write the PNG image %s\n", name.c_str());
    return false;
  }
  png_init_io(w.png, w.file);
  png_set_IHDR(w.png, w.info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8,
               PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  png_set_rows(w.png, w.info, rows.data());
  png_write_png(w.png, w.info, PNG_TRANSFORM_IDENTITY, nullptr);
  FILE* file = w.file;
  w.file = nullptr;
  bool ok = fflush(file) == 0 && !ferror(file);
  if (fclose(file) != 0) ok = false;
  if (!ok) {
    fprintf(stderr, "fsbmp: couldn't write %s: %s\n", name.c_str(), strerror(errno));
    return false;
  }
  if (toStdout) return true;
  printf("wrote %s: %lld x %lld pixels, %lld x %lld cells of %lld chunks of %lld bytes\n",
         path.c_str(), width, height, grid.columns, grid.rows, grid.chunksPerCell, map.chunkSize);
  return true;
}

#else

bool writePngMap(const std::string& path, const UsageMap&) {
  fprintf(stderr, "fsbmp: couldn't write %s: this fsbmp was built without PNG support (libpng)\n",
          path.c_str());
  return false;
}

#endif

}  // namespace fsbmp_tool
