// A small JSON reader for the metadata of LUKS2 headers: the whole text is parsed into a tree,
// with bounds on nesting and on the number of values so that hostile text costs little. Numbers
// are kept as their text (LUKS2 writes offsets and sizes as strings of digits anyway).
#ifndef FSBMP_DISK_LUKS_JSON_H
#define FSBMP_DISK_LUKS_JSON_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace fsbmp {

struct JsonValue {
  enum Kind { kNull, kBool, kNumber, kString, kArray, kObject };
  Kind kind = kNull;
  std::string text;              // a string's characters, a number's or a literal's text
  std::vector<JsonValue> items;  // kArray
  std::vector<std::pair<std::string, JsonValue>> members;  // kObject, in text order

  // The member named `key` of an object, or null (also when this is not an object).
  const JsonValue* get(const std::string& key) const;
};

// Limits on what parseJson accepts.
const int kJsonMaxDepth = 32;
const size_t kJsonMaxValues = 1 << 16;

// Parses `size` bytes of text as one JSON value (white space around it allowed). False with the
// reason in *why when the text is not JSON or exceeds the limits.
bool parseJson(const char* text, size_t size, JsonValue* out, std::string* why);

// The unsigned decimal integer a string or number value holds ("16384" or 16384): false when it
// holds anything else or does not fit 63 bits.
bool jsonUnsigned(const JsonValue* v, uint64_t* out);

}  // namespace fsbmp

#endif
