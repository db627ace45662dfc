// The bounded JSON reader of LUKS2 metadata: recursive descent, at most kJsonMaxDepth levels.
#include "disk/luks_json.h"

namespace fsbmp {

namespace {

class Parser {
 public:
  Parser(const char* p, size_t n) : p_(p), end_(p + n) {}

  bool document(JsonValue* out, std::string* why) {
    skipSpace();
    if (!value(out, 0)) {
      *why = why_;
      return false;
    }
    skipSpace();
    if (p_ != end_) {
      *why = "text after the JSON value";
      return false;
    }
    return true;
  }

 private:
  bool fail(const char* why) {
    if (why_.empty()) why_ = why;
    return false;
  }
  void skipSpace() {
    while (p_ < end_ && (*p_ == ' ' || *p_ == '\t' || *p_ == '\n' || *p_ == '\r')) ++p_;
  }
  bool literal(const char* word) {
    const char* q = p_;
    for (; *word; ++word, ++q)
      if (q >= end_ || *q != *word) return false;
    p_ = q;
    return true;
  }
  static int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  }

  bool string(std::string* out) {
    ++p_;  // the opening quote
    while (p_ < end_) {
      const char c = *p_++;
      if (c == '"') return true;
      if (static_cast<unsigned char>(c) < 0x20) return fail("a control character in a string");
      if (c != '\\') {
        out->push_back(c);
        continue;
      }
      if (p_ >= end_) break;
      const char e = *p_++;
      switch (e) {
        case '"':
        case '\\':
        case '/':
          out->push_back(e);
          break;
        case 'b':
          out->push_back('\b');
          break;
        case 'f':
          out->push_back('\f');
          break;
        case 'n':
          out->push_back('\n');
          break;
        case 'r':
          out->push_back('\r');
          break;
        case 't':
          out->push_back('\t');
          break;
        case 'u': {
          if (end_ - p_ < 4) return fail("a short \\u escape");
          unsigned code = 0;
          for (int i = 0; i < 4; ++i) {
            const int d = hexDigit(*p_++);
            if (d < 0) return fail("a bad \\u escape");
            code = code << 4 | static_cast<unsigned>(d);
          }
          // The names this reader looks for are ASCII; anything else only has to be skipped.
          out->push_back(code < 0x80 ? static_cast<char>(code) : '?');
          break;
        }
        default:
          return fail("a bad escape in a string");
      }
    }
    return fail("a string without its closing quote");
  }

  bool number(std::string* out) {
    const char* start = p_;
    if (p_ < end_ && *p_ == '-') ++p_;
    const char* digits = p_;
    while (p_ < end_ && *p_ >= '0' && *p_ <= '9') ++p_;
    if (p_ == digits) return fail("a bad number");
    if (p_ < end_ && *p_ == '.') {
      ++p_;
      while (p_ < end_ && *p_ >= '0' && *p_ <= '9') ++p_;
    }
    if (p_ < end_ && (*p_ == 'e' || *p_ == 'E')) {
      ++p_;
      if (p_ < end_ && (*p_ == '+' || *p_ == '-')) ++p_;
      while (p_ < end_ && *p_ >= '0' && *p_ <= '9') ++p_;
    }
    out->assign(start, p_);
    return true;
  }

  bool value(JsonValue* out, int depth) {
    if (++count_ > kJsonMaxValues) return fail("too many values");
    if (p_ >= end_) return fail("the text ends where a value should be");
    const char c = *p_;
    if (c == '{' || c == '[') {
      if (depth >= kJsonMaxDepth) return fail("nested too deep");
      const bool object = c == '{';
      out->kind = object ? JsonValue::kObject : JsonValue::kArray;
      ++p_;
      skipSpace();
      if (p_ < end_ && *p_ == (object ? '}' : ']')) {
        ++p_;
        return true;
      }
      for (;;) {
        skipSpace();
        JsonValue* slot;
        if (object) {
          if (p_ >= end_ || *p_ != '"') return fail("an object member without a quoted name");
          std::string key;
          if (!string(&key)) return false;
          skipSpace();
          if (p_ >= end_ || *p_ != ':') return fail("a member without ':'");
          ++p_;
          skipSpace();
          out->members.emplace_back(std::move(key), JsonValue());
          slot = &out->members.back().second;
        } else {
          out->items.emplace_back();
          slot = &out->items.back();
        }
        if (!value(slot, depth + 1)) return false;
        skipSpace();
        if (p_ < end_ && *p_ == ',') {
          ++p_;
          continue;
        }
        if (p_ < end_ && *p_ == (object ? '}' : ']')) {
          ++p_;
          return true;
        }
        return fail(object ? "an object without its closing '}'" : "an array without its ']'");
      }
    }
    if (c == '"') {
      out->kind = JsonValue::kString;
      return string(&out->text);
    }
    if (c == '-' || (c >= '0' && c <= '9')) {
      out->kind = JsonValue::kNumber;
      return number(&out->text);
    }
    for (const char* word : {"true", "false", "null"}) {
      if (literal(word)) {
        out->kind = word[0] == 'n' ? JsonValue::kNull : JsonValue::kBool;
        out->text = word;
        return true;
      }
    }
    return fail("an unexpected character where a value should be");
  }

  const char* p_;
  const char* end_;
  size_t count_ = 0;
  std::string why_;
};

}  // namespace

const JsonValue* JsonValue::get(const std::string& key) const {
  if (kind != kObject) return nullptr;
  for (const auto& m : members)
    if (m.first == key) return &m.second;
  return nullptr;
}

bool parseJson(const char* text, size_t size, JsonValue* out, std::string* why) {
  *out = JsonValue();
  Parser parser(text, size);
  return parser.document(out, why);
}

bool jsonUnsigned(const JsonValue* v, uint64_t* out) {
  if (!v || (v->kind != JsonValue::kString && v->kind != JsonValue::kNumber) || v->text.empty() ||
      v->text.size() > 19)
    return false;
  uint64_t n = 0;
  for (char c : v->text) {
    if (c < '0' || c > '9') return false;
    n = n * 10 + static_cast<uint64_t>(c - '0');
  }
  if (n > static_cast<uint64_t>(INT64_MAX)) return false;
  *out = n;
  return true;
}

}  // namespace fsbmp
