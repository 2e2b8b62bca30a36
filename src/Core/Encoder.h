#pragma once
// The encoder contract the worker relies on, whatever encodes behind it:
// one Annex B access unit per picture, in input order, before encode returns.
#include "Core/Image.h"
#include "Core/Settings.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace vl {

// Access unit, keyframe flag, presentation time in 90 kHz ticks.
using EncodedOutput =
    std::function<void(const std::vector<std::uint8_t>& accessUnit, bool keyframe, std::int64_t pts90k)>;

class Encoder {
public:
  virtual ~Encoder() = default;
  virtual void encode(const Frame& frame, std::int64_t pts90k) = 0;
  // The latest presentation time the next picture may carry so that keyframes stay within
  // keyframeSeconds of each other; the worker never skips past it.
  virtual std::int64_t keyframeDeadline90k() const { return INT64_MAX; }
  // Shown in the status while sending, e.g. "libx264".
  virtual std::string name() const = 0;
};

// Width and height are even (the worker checks). Throws the user-facing sentence.
std::unique_ptr<Encoder> makeEncoder(int width, int height, const Settings& settings, EncodedOutput output);

}  // namespace vl
