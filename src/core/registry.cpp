// The table of file systems, built from core/registry.def.
#include "core/registry.h"

#include <iterator>

// First pass over the table: only its #include lines count, so that every parser class is
// declared here; in the second, inside the array, their include guards leave them out.
#define FSBMP_FILE_SYSTEM(...)
#include "core/registry.def"
#undef FSBMP_FILE_SYSTEM

namespace {

template <class Parser>
FsParser* onPath(const std::string& dev, CVoError* err) {
  return new Parser(dev, err);
}

template <class Parser>
FsParser* onView(const std::shared_ptr<fsbmp::DeviceView>& view, const std::string& dev,
                 CVoError* err) {
  return new Parser(view, dev, err);
}

#define FSBMP_FILE_SYSTEM(Parser, kind, name, fuzzTarget) \
  fsbmp::FileSystemType{kind, name, onPath<Parser>, onView<Parser>},
const fsbmp::FileSystemType kTypes[] = {
#include "core/registry.def"
};
#undef FSBMP_FILE_SYSTEM

}  // namespace

const fsbmp::FileSystemType* fsbmp::fileSystemTypes(size_t* count) {
  *count = std::size(kTypes);
  return kTypes;
}

const fsbmp::FileSystemType* fsbmp::fileSystemType(int kind) {
  for (const FileSystemType& t : kTypes)
    if (t.kind == kind) return &t;
  return nullptr;
}
