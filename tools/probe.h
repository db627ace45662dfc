// Opening a device through the library's factory and, when nothing recognises it, the report of
// what was tried.
#ifndef FSBMP_TOOLS_PROBE_H
#define FSBMP_TOOLS_PROBE_H

#include <memory>
#include <string>

#include "fsbmp/fsbmp.h"

namespace fsbmp_tool {

const char* typeName(int fsType);

// The parser for `device`, or null after printing why: the device cannot be opened, or each
// file system in turn refused it (with `verbose`, each refusal's whole error stack).
std::unique_ptr<FsParser> openParser(const std::string& device, bool verbose);

}  // namespace fsbmp_tool

#endif
