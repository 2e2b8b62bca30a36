#include "Tally.h"

#include <algorithm>
#include <cstdio>

namespace vl::host {
namespace {

std::string format(const char* fmt, double a, double b) {
  char text[96];
  std::snprintf(text, sizeof text, fmt, a, b);
  return text;
}

std::string failureText(const Tally& t) {
  if (t.failures.empty()) return "all actions OK";
  std::string out = "failed:";
  for (const auto& [action, statuses] : t.failures)
    for (const auto& [status, count] : statuses)
      out += " " + action + " status " + std::to_string(status) + " x" + std::to_string(count);
  return out;
}

}  // namespace

bool succeeded(OfxStatus status) { return status == kOfxStatOK || status == kOfxStatReplyDefault; }

void Tally::render(double ms, bool wasLate) {
  ++frames;
  if (wasLate) ++late;
  renderMs.push_back(ms);
  lastSecondMs.push_back(ms);
}

bool Tally::status(const std::string& action, OfxStatus status) {
  if (succeeded(status)) return true;
  ++failures[action][status];
  return false;
}

double median(std::vector<double> values) {
  if (values.empty()) return 0.0;
  const size_t mid = values.size() / 2;
  std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(mid), values.end());
  if (values.size() % 2 == 1) return values[mid];
  const double upper = values[mid];
  const double lower = *std::max_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(mid));
  return (lower + upper) / 2.0;
}

std::string secondLine(Tally& t, double elapsedSeconds) {
  const double max = t.lastSecondMs.empty() ? 0.0 : *std::max_element(t.lastSecondMs.begin(), t.lastSecondMs.end());
  std::string line = format("%.1f s: %.0f frames", elapsedSeconds, static_cast<double>(t.frames)) + " (" +
                     std::to_string(t.lastSecondMs.size()) + " this second), render " +
                     format("median %.3f ms, max %.3f ms", median(t.lastSecondMs), max) + ", " +
                     std::to_string(t.late) + " late, " + failureText(t);
  t.lastSecondMs.clear();
  return line;
}

std::string finalLine(const Tally& t, double elapsedSeconds) {
  const double max = t.renderMs.empty() ? 0.0 : *std::max_element(t.renderMs.begin(), t.renderMs.end());
  return format("Done in %.1f s: %.0f frames rendered", elapsedSeconds, static_cast<double>(t.frames)) +
         ", render " + format("median %.3f ms, max %.3f ms", median(t.renderMs), max) + ", " +
         std::to_string(t.late) + " late, " + failureText(t);
}

}  // namespace vl::host
