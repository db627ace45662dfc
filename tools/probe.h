// Opening a device through the library's factory and, when nothing recognises it, the report of
// what was tried.
#ifndef FSBMP_TOOLS_PROBE_H
#define FSBMP_TOOLS_PROBE_H

#include <sys/stat.h>

#include <memory>
#include <string>

#include "fsbmp/fsbmp.h"

namespace fsbmp_tool {

const char* typeName(int fsType);

// The parser for `device`, or null after printing why: the device cannot be opened, is neither
// a regular file nor a block device (refused at once: a FIFO never blocks the tool), is empty,
// or each file system in turn refused it (with `verbose`, each refusal's whole error stack).
// `st`, when given, receives what the device is.
std::unique_ptr<FsParser> openParser(const std::string& device, bool verbose,
                                     struct stat* st = nullptr);

// A library error for a person: its messages, newest first, joined by ": " (with `verbose`,
// the whole located stack on lines of its own).
std::string errorText(const CVoError& err, bool verbose);

}  // namespace fsbmp_tool

#endif
