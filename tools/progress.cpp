#include "progress.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>

namespace fsbmp_tool {

double monotonicSeconds() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

std::string humanBytes(double bytes) {
  static const char* const kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB"};
  int unit = 0;
  while (bytes >= 1024 && unit < 5) {
    bytes /= 1024;
    ++unit;
  }
  char text[32];
  snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, kUnits[unit]);
  return text;
}

Progress::Progress(long long total, bool enabled)
    : total_(total), enabled_(enabled && isatty(STDERR_FILENO)), start_(monotonicSeconds()) {}

Progress::~Progress() {
  if (drawn_) fputc('\n', stderr);
}

void Progress::update(long long done) {
  if (!enabled_) return;
  double now = monotonicSeconds();
  if (drawn_ && now - lastDraw_ < 0.2 && done < total_) return;
  lastDraw_ = now;
  draw(done);
}

void Progress::stop() {
  if (!drawn_) return;
  fputc('\n', stderr);
  drawn_ = false;
}

void Progress::draw(long long done) {
  winsize ws{};
  int columns = ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0 ? ws.ws_col : 80;
  const double elapsed = monotonicSeconds() - start_;
  const double rate = elapsed > 0 ? static_cast<double>(done) / elapsed : 0;
  char eta[32] = "--:--";
  if (rate > 0 && done < total_) {
    long long left = static_cast<long long>(static_cast<double>(total_ - done) / rate);
    snprintf(eta, sizeof eta, "%lld:%02lld:%02lld", left / 3600, left / 60 % 60, left % 60);
  } else if (done >= total_) {
    snprintf(eta, sizeof eta, "0:00:00");
  }
  // A line that never wraps: when the terminal is narrow the rate and the time left go first,
  // then the byte counts; the bar takes the room that is left.
  const double share = total_ > 0 ? static_cast<double>(done) / static_cast<double>(total_) : 1;
  char percent[16], counts[96], rateLeft[96];
  snprintf(percent, sizeof percent, " %3.0f%%", share * 100);
  snprintf(counts, sizeof counts, " %s of %s", humanBytes(static_cast<double>(done)).c_str(),
           humanBytes(static_cast<double>(total_)).c_str());
  snprintf(rateLeft, sizeof rateLeft, "  %s/s  %s left", humanBytes(rate).c_str(), eta);
  const int room = columns - 1;
  std::string tail = std::string(percent) + counts + rateLeft;
  if (static_cast<int>(tail.size()) > room) tail = std::string(percent) + counts;
  if (static_cast<int>(tail.size()) > room) tail = percent;
  if (static_cast<int>(tail.size()) > room) tail.clear();
  int barWidth = room - static_cast<int>(tail.size()) - 2;
  if (barWidth > 50) barWidth = 50;
  std::string bar;
  if (barWidth >= 10) {
    int filled = static_cast<int>(share * barWidth);
    bar = "[" + std::string(static_cast<size_t>(filled), '#') +
          std::string(static_cast<size_t>(barWidth - filled), '.') + "]";
  }
  fprintf(stderr, "\r%s%s\033[K", bar.c_str(), tail.c_str());
  fflush(stderr);
  drawn_ = true;
}

}  // namespace fsbmp_tool
