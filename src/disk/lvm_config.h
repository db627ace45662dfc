// LVM's text configuration, as its metadata areas hold a volume group: sections in braces,
// `key = value` with strings, integers and arrays of them, comments from '#'. The reader is bounded
// (nesting, number of nodes) and takes any bytes: whatever does not follow the syntax is refused.
#ifndef FSBMP_LVM_CONFIG_H
#define FSBMP_LVM_CONFIG_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fsbmp/services/error.h"

namespace fsbmp {

struct LvmValue {
  enum Kind { kString, kInteger, kOther };  // kOther: a number that is not an integer (1.5)
  Kind kind = kOther;
  std::string text;   // a string's contents, unescaped; a number as written
  int64_t value = 0;  // kInteger
};

struct LvmNode {
  std::string key;
  bool section = false;           // `key { ... }`
  std::vector<LvmNode> children;  // a section's contents, in order
  bool array = false;             // `key = [ ... ]`
  std::vector<LvmValue> values;   // the value, or an array's items
  // The child called `name`, or null.
  const LvmNode* child(const std::string& name) const;
  // A child's integer value; false when it is missing or not an integer.
  bool integer(const std::string& name, int64_t* out) const;
  // A child's string value; false when it is missing or not a string.
  bool string(const std::string& name, std::string* out) const;
};

// Parses `size` bytes of text (stopping at a NUL) into the children of *root. Errno 38 with the
// line where the syntax breaks, or where nesting goes deeper than 64 or the nodes exceed a million.
CVoError parseLvmConfig(const char* text, size_t size, LvmNode* root);

}  // namespace fsbmp

#endif
