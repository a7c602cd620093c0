// A one-line progress display for long sends and downloads: bytes, share
// of the total when it is known, and the rate. Shown only on a terminal.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace qelmail {

class Progress {
 public:
  // label: "sending", "fetching 3"...; total: expected bytes, 0 if unknown.
  Progress(bool enabled, std::string label, int64_t total);
  // Redraws at most ten times a second.
  void update(int64_t bytes);
  // Draws the final state and ends the line.
  void finish(int64_t bytes);
  bool enabled() const { return enabled_; }

 private:
  void draw(int64_t bytes);
  bool enabled_;
  std::string label_;
  int64_t total_;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point lastDraw_;
  bool drawn_ = false;
};

// "12.3 MB", "512 B" ...
std::string humanBytes(double bytes);

}  // namespace qelmail
