// The copy's progress bar on standard error: bytes done of the total, rate and time left.
// Drawn only when standard error is a terminal; redrawn at most five times a second.
#ifndef FSBMP_TOOLS_PROGRESS_H
#define FSBMP_TOOLS_PROGRESS_H

#include <string>

namespace fsbmp_tool {

// "1.5 GiB", "512 KiB", "17 B".
std::string humanBytes(double bytes);

class Progress {
 public:
  Progress(long long total, bool enabled);
  ~Progress();
  void update(long long done);
  // Ends the bar's line, so that messages and the summary start on their own.
  void stop();

 private:
  void draw(long long done);
  long long total_;
  bool enabled_;
  bool drawn_ = false;
  double start_;
  double lastDraw_ = 0;
};

// Seconds on a monotonic clock.
double monotonicSeconds();

}  // namespace fsbmp_tool

#endif
