// The reader of LVM's text configuration: a recursive descent over a cursor that never passes the
// text's end, with nesting and node counts bounded so that hostile text cannot exhaust the stack
// or memory.
#include "disk/lvm_config.h"

#include <cerrno>
#include <cstring>

static const char kFile[] = "lvm_config";
#define HERE JX_LOCATION(kFile)

namespace fsbmp {

const LvmNode* LvmNode::child(const std::string& name) const {
  for (const LvmNode& c : children) {
    if (c.key == name) return &c;
  }
  return nullptr;
}

bool LvmNode::integer(const std::string& name, int64_t* out) const {
  const LvmNode* c = child(name);
  if (!c || c->section || c->array || c->values.size() != 1) return false;
  if (c->values[0].kind != LvmValue::kInteger) return false;
  *out = c->values[0].value;
  return true;
}

bool LvmNode::string(const std::string& name, std::string* out) const {
  const LvmNode* c = child(name);
  if (!c || c->section || c->array || c->values.size() != 1) return false;
  if (c->values[0].kind != LvmValue::kString) return false;
  *out = c->values[0].text;
  return true;
}

namespace {

const int kMaxDepth = 64;
const size_t kMaxNodes = 1000000;

class Reader {
 public:
  Reader(const char* text, size_t size) : p_(text), end_(text + size) {
    const void* nul = memchr(text, 0, size);
    if (nul) end_ = static_cast<const char*>(nul);
  }

  CVoError items(LvmNode* into, int depth) {
    if (depth > kMaxDepth) return fail("sections nested too deeply");
    for (;;) {
      skipBlank();
      if (p_ == end_ || *p_ == '}') return CVoError();
      LvmNode node;
      if (!word(&node.key)) return fail("a name expected");
      if (++nodes_ > kMaxNodes) return fail("too many entries");
      skipBlank();
      if (p_ < end_ && *p_ == '{') {
        ++p_;
        node.section = true;
        CVoError err = items(&node, depth + 1);
        if (err.code < 0) return err;
        if (p_ == end_) return fail("a section not closed");
        ++p_;  // '}'
      } else if (p_ < end_ && *p_ == '=') {
        ++p_;
        skipBlank();
        if (p_ < end_ && *p_ == '[') {
          ++p_;
          node.array = true;
          for (bool first = true;; first = false) {
            skipBlank();
            if (p_ < end_ && *p_ == ']') break;
            if (!first) {
              if (p_ == end_ || *p_ != ',') return fail("',' or ']' expected");
              ++p_;
              skipBlank();
            }
            LvmValue v;
            if (!value(&v)) return fail("a value expected");
            if (++nodes_ > kMaxNodes) return fail("too many entries");
            node.values.push_back(std::move(v));
          }
          ++p_;  // ']'
        } else {
          LvmValue v;
          if (!value(&v)) return fail("a value expected");
          node.values.push_back(std::move(v));
        }
      } else {
        return fail("'=' or '{' expected");
      }
      into->children.push_back(std::move(node));
    }
  }

  bool atEnd() {
    skipBlank();
    return p_ == end_;
  }

  CVoError fail(const char* what) const {
    return JxErrorUtil::ErrorErrNo(HERE, ENOSYS, "LVM metadata text, line %d: %s", line_, what);
  }

 private:
  void skipBlank() {
    while (p_ < end_) {
      if (*p_ == '#') {
        while (p_ < end_ && *p_ != '\n') ++p_;
      } else if (*p_ == '\n') {
        ++line_;
        ++p_;
      } else if (*p_ == ' ' || *p_ == '\t' || *p_ == '\r') {
        ++p_;
      } else {
        return;
      }
    }
  }

  static bool nameChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '-' || c == '+' || c == '.' || c == '/';
  }

  bool word(std::string* out) {
    const char* start = p_;
    while (p_ < end_ && nameChar(*p_)) ++p_;
    out->assign(start, p_);
    return p_ != start;
  }

  bool value(LvmValue* v) {
    if (p_ == end_) return false;
    if (*p_ == '"') {
      ++p_;
      v->kind = LvmValue::kString;
      while (p_ < end_ && *p_ != '"') {
        if (*p_ == '\\' && p_ + 1 < end_) ++p_;
        if (*p_ == '\n') ++line_;
        v->text.push_back(*p_++);
      }
      if (p_ == end_) return false;
      ++p_;
      return true;
    }
    const char* start = p_;
    if (*p_ == '-' || *p_ == '+') ++p_;
    const char* digits = p_;
    while (p_ < end_ && (nameChar(*p_)) && *p_ != '/') ++p_;
    if (digits == p_) return false;
    v->text.assign(start, p_);
    v->kind = LvmValue::kOther;
    const bool negative = *start == '-';
    uint64_t n = 0;
    for (const char* q = digits; q < p_; ++q) {
      if (*q < '0' || *q > '9') return *digits >= '0' && *digits <= '9';  // 1.5: a number
      const uint64_t d = static_cast<uint64_t>(*q - '0');
      if (n > (static_cast<uint64_t>(INT64_MAX) - d) / 10) return true;  // too large: kOther
      n = n * 10 + d;
    }
    v->kind = LvmValue::kInteger;
    v->value = negative ? -static_cast<int64_t>(n) : static_cast<int64_t>(n);
    return true;
  }

  const char* p_;
  const char* end_;
  int line_ = 1;
  size_t nodes_ = 0;
};

}  // namespace

CVoError parseLvmConfig(const char* text, size_t size, LvmNode* root) {
  *root = LvmNode();
  root->section = true;
  Reader reader(text, size);
  CVoError err = reader.items(root, 0);
  if (err.code >= 0 && !reader.atEnd()) err = reader.fail("'}' without a section");
  if (err.code < 0) *root = LvmNode();
  return err;
}

}  // namespace fsbmp
