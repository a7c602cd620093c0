#include "progress.h"

#include <cstdio>

namespace qelmail {
namespace {

constexpr auto kRedrawEvery = std::chrono::milliseconds(100);
constexpr int kBarWidth = 24;
constexpr double kUnitStep = 1000.0;

}  // namespace

std::string humanBytes(double bytes) {
  const char* units[] = {"B", "kB", "MB", "GB", "TB"};
  constexpr int kLastUnit = 4;
  int unit = 0;
  while (bytes >= kUnitStep && unit < kLastUnit) {
    bytes /= kUnitStep;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, units[unit]);
  return text;
}

Progress::Progress(bool enabled, std::string label, int64_t total)
    : enabled_(enabled), label_(std::move(label)), total_(total),
      start_(std::chrono::steady_clock::now()), lastDraw_(start_) {}

void Progress::update(int64_t bytes) {
  if (!enabled_) return;
  auto now = std::chrono::steady_clock::now();
  if (now - lastDraw_ < kRedrawEvery) return;
  lastDraw_ = now;
  draw(bytes);
}

void Progress::finish(int64_t bytes, bool completed) {
  if (!enabled_) return;
  if (completed && total_ > 0) total_ = bytes;
  draw(bytes);
  std::fputc('\n', stderr);
  std::fflush(stderr);
}

void Progress::draw(int64_t bytes) {
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  double rate = seconds > 0.0 ? static_cast<double>(bytes) / seconds : 0.0;
  std::string line = "\r" + label_ + " ";
  if (total_ > 0) {
    double share = static_cast<double>(bytes) / static_cast<double>(total_);
    if (share > 1.0) share = 1.0;
    if (share < 0.0) share = 0.0;
    int filled = static_cast<int>(share * kBarWidth);
    line += "[" + std::string(static_cast<size_t>(filled), '#') +
            std::string(static_cast<size_t>(kBarWidth - filled), '.') + "] ";
    char percent[8];
    std::snprintf(percent, sizeof percent, "%3d%% ", static_cast<int>(share * 100.0));
    line += percent;
    line += humanBytes(static_cast<double>(bytes)) + " / " + humanBytes(static_cast<double>(total_));
  } else {
    line += humanBytes(static_cast<double>(bytes));
  }
  // Trailing blanks wipe what a longer earlier line left behind.
  line += "  " + humanBytes(rate) + "/s    ";
  std::fputs(line.c_str(), stderr);
  std::fflush(stderr);
}

}  // namespace qelmail
