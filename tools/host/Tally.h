#pragma once
// Render times and action statuses of a run, and the summary lines made of them.
#include "Plugin/ofx.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace vl::host {

// OK, or the standard's "do the default", which a host takes as success.
bool succeeded(OfxStatus status);

struct Tally {
  std::int64_t frames = 0;
  std::int64_t late = 0;  // renders that started after their deadline
  std::vector<double> renderMs;      // every render of the run
  std::vector<double> lastSecondMs;  // since the last summary line
  std::map<std::string, std::map<OfxStatus, std::int64_t>> failures;  // action -> status -> count

  void render(double ms, bool wasLate);
  // Records the status of any action; true when it succeeded.
  bool status(const std::string& action, OfxStatus status);
  bool failed() const { return !failures.empty(); }
};

double median(std::vector<double> values);  // 0 for none

// "12.0 s: 300 frames (25 this second), render median 0.412 ms, max 1.210 ms, ..."
std::string secondLine(Tally& tally, double elapsedSeconds);  // starts a new second
std::string finalLine(const Tally& tally, double elapsedSeconds);

}  // namespace vl::host
