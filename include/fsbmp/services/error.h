// Error values: a status code plus a shared, reference-counted stack of located frames.
#ifndef FSBMP_SERVICES_ERROR_H
#define FSBMP_SERVICES_ERROR_H

#include <boost/shared_ptr.hpp>
#include <cstdarg>
#include <string>

#include "fsbmp/export.h"

// Where an error frame was made: the source stem, the function's pretty text and the line.
struct FSBMP_API JxCodeLocation {
  const char* file;
  const char* function;
  int line;
};

// Builds the location of the enclosing function; `stem` names the source unit.
#define JX_LOCATION(stem) (JxCodeLocation{(stem), __PRETTY_FUNCTION__, __LINE__})

class JxErrorPrivate;

// The value every operation returns. `code` is 0 on success and negative on failure; a success
// value carries no payload. Copies share the payload; Push copies it first when it is shared, so
// frames pushed onto one copy never show up in another.
class FSBMP_API CVoError {
 public:
  // Codes of failed errors, by how they were made.
  static const int kErrNo = -1;    // JxErrorUtil::ErrorErrNo
  static const int kInteger = -2;  // JxErrorUtil::ErrorInt

  int code = 0;
  boost::shared_ptr<JxErrorPrivate> payload;

  CVoError() = default;

  bool failed() const { return code < 0; }

  // Adds a frame and returns this error. Only failed errors are pushed onto.
  CVoError& Push(const JxCodeLocation& where, const char* format, ...)
      __attribute__((format(printf, 3, 4)));
  CVoError& Push(const JxCodeLocation& where);

  // The errno the error was made with (0 when it was made with an integer or is a success).
  int errNo() const;
  // The integer of an ErrorInt error (0 otherwise).
  int intValue() const;
  // The message of the newest frame that has one, or "" for a success.
  std::string message() const;
  // The message of the oldest frame, where the failure was first noticed.
  std::string rootMessage() const;
  // Number of frames.
  size_t depth() const;
  // The location of frame i, 0 being the newest.
  JxCodeLocation location(size_t i) const;
  // The message of frame i, 0 being the newest.
  std::string frameMessage(size_t i) const;
  // Every frame, newest first, with its location, and the errno's system text.
  std::string toString() const;
};

class FSBMP_API JxErrorUtil {
 public:
  static CVoError ErrorErrNo(const JxCodeLocation& where, int errNo, const char* format, ...)
      __attribute__((format(printf, 3, 4)));
  static CVoError ErrorErrNo(const JxCodeLocation& where, int errNo);
  static CVoError ErrorInt(const JxCodeLocation& where, int value, const char* format, ...)
      __attribute__((format(printf, 3, 4)));
};

#endif
