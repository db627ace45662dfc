#include "fsbmp/services/error.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "services/format.h"

namespace {

struct Frame {
  std::string file;
  std::string function;
  int line;
  std::string message;
};

// GCC 12 spells a std::string parameter "const std::string&"; the location texts keep the
// shorter spelling of earlier compilers, so they read the same whatever compiler built them.
std::string normalizeFunction(const char* text) {
  std::string s = text ? text : "";
  static const std::string kLong = "const std::string&";
  static const std::string kShort = "const string&";
  for (size_t at = s.find(kLong); at != std::string::npos; at = s.find(kLong, at)) {
    s.replace(at, kLong.size(), kShort);
    at += kShort.size();
  }
  return s;
}

}  // namespace

class JxErrorPrivate {
 public:
  int errNo = 0;              // set by ErrorErrNo
  int intValue = 0;           // set by ErrorInt
  std::vector<Frame> frames;  // oldest first

  void add(const JxCodeLocation& where, std::string message) {
    frames.push_back(Frame{where.file ? where.file : "", normalizeFunction(where.function),
                           where.line, std::move(message)});
  }
};

static CVoError makeError(int code, const JxCodeLocation& where, std::string message) {
  CVoError e;
  e.code = code;
  e.payload.reset(new JxErrorPrivate);
  e.payload->add(where, std::move(message));
  return e;
}

CVoError JxErrorUtil::ErrorErrNo(const JxCodeLocation& where, int errNo, const char* format, ...) {
  va_list args;
  va_start(args, format);
  CVoError e = makeError(CVoError::kErrNo, where, fsbmp::vformat(format, args));
  va_end(args);
  e.payload->errNo = errNo;
  return e;
}

CVoError JxErrorUtil::ErrorErrNo(const JxCodeLocation& where, int errNo) {
  CVoError e = makeError(CVoError::kErrNo, where, std::string());
  e.payload->errNo = errNo;
  return e;
}

CVoError JxErrorUtil::ErrorInt(const JxCodeLocation& where, int value, const char* format, ...) {
  va_list args;
  va_start(args, format);
  CVoError e = makeError(CVoError::kInteger, where, fsbmp::vformat(format, args));
  va_end(args);
  e.payload->intValue = value;
  return e;
}

static void pushFrame(CVoError* e, const JxCodeLocation& where, std::string message) {
  if (!e->payload) {
    // Pushing onto a success is a caller's mistake; keep the frame and make it a failure so that
    // the mistake cannot pass as success.
    e->payload.reset(new JxErrorPrivate);
    if (e->code >= 0) e->code = CVoError::kInteger;
  } else if (e->payload.use_count() > 1) {
    e->payload.reset(new JxErrorPrivate(*e->payload));
  }
  e->payload->add(where, std::move(message));
}

CVoError& CVoError::Push(const JxCodeLocation& where, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string message = fsbmp::vformat(format, args);
  va_end(args);
  pushFrame(this, where, std::move(message));
  return *this;
}

CVoError& CVoError::Push(const JxCodeLocation& where) {
  pushFrame(this, where, std::string());
  return *this;
}

int CVoError::errNo() const {
  return payload ? payload->errNo : 0;
}

int CVoError::intValue() const {
  return payload ? payload->intValue : 0;
}

std::string CVoError::message() const {
  if (!payload) return std::string();
  for (auto it = payload->frames.rbegin(); it != payload->frames.rend(); ++it)
    if (!it->message.empty()) return it->message;
  return std::string();
}

std::string CVoError::rootMessage() const {
  if (!payload || payload->frames.empty()) return std::string();
  return payload->frames.front().message;
}

size_t CVoError::depth() const {
  return payload ? payload->frames.size() : 0;
}

JxCodeLocation CVoError::location(size_t i) const {
  const Frame& f = payload->frames.at(payload->frames.size() - 1 - i);
  return JxCodeLocation{f.file.c_str(), f.function.c_str(), f.line};
}

std::string CVoError::frameMessage(size_t i) const {
  return payload->frames.at(payload->frames.size() - 1 - i).message;
}

std::string CVoError::toString() const {
  if (!payload) return code < 0 ? "error (no details)" : "success";
  std::string out;
  const auto& frames = payload->frames;
  for (size_t i = frames.size(); i-- > 0;) {
    const Frame& f = frames[i];
    out += (i + 1 == frames.size()) ? "error: " : "caused by: ";
    out += f.message.empty() ? "(no message)" : f.message;
    if (i == 0) {
      if (payload->errNo != 0)
        out += fsbmp::format(": %s (errno %d)", strerror(payload->errNo), payload->errNo);
    }
    out += fsbmp::format("\n    at %s (%s:%d)\n", f.function.c_str(), f.file.c_str(), f.line);
  }
  return out;
}
