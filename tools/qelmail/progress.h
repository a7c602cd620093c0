// A one-line progress display for long sends and downloads: a bar when the
// total is known, bytes so far and the rate. Drawn on stderr, and only when
// stderr is a terminal, so that scripts see plain output.
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
  // Draws the last state and ends the line; a completed transfer shows as
  // whole even when the total was an estimate.
  void finish(int64_t bytes, bool completed);
  bool enabled() const { return enabled_; }

 private:
  void draw(int64_t bytes);
  bool enabled_;
  std::string label_;
  int64_t total_;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point lastDraw_;
};

// "12.3 MB", "512 B" ... (decimal units).
std::string humanBytes(double bytes);

}  // namespace qelmail
