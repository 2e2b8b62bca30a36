#pragma once
// The record behind each host effect instance, and parameter access by name.
#include "Core/Sender.h"
#include "Core/Settings.h"
#include "Strips.h"
#include "ofx.h"

#include <mutex>
#include <optional>
#include <string>

namespace vl::ofx {

struct Instance {
  OfxImageEffectHandle effect = nullptr;
  OfxImageClipHandle sourceClip = nullptr;
  OfxImageClipHandle outputClip = nullptr;
  OfxParamSetHandle paramSet = nullptr;
  Sender sender;
  // The GPU bridge would sit here; the Linux build declares no GPU rendering.
  bool interactive = true;
  // Rows rendered of the current frame; strips may come from several threads.
  std::mutex rowsMutex;
  RenderedRows rows;

  explicit Instance(OfxImageEffectHandle handle) : effect(handle) {}
  Instance(const Instance&) = delete;
  Instance& operator=(const Instance&) = delete;
};

// The record stored in the effect's instance data.
Instance& instance(OfxImageEffectHandle effect);

// Reads give the value at `time` when one is given (a render's, so animated values follow
// the timeline), else the current one. The time travels with each call: a host may run
// instance-changed on another thread while a render reads.
using ReadTime = std::optional<double>;

OfxParamHandle param(const Instance& in, const char* name);
int integer(const Instance& in, const char* name, ReadTime time = std::nullopt);
double number(const Instance& in, const char* name, ReadTime time = std::nullopt);
std::string text(const Instance& in, const char* name, ReadTime time = std::nullopt);
void visibility(const Instance& in, const char* name, bool visible, bool enabled);

// The panel as a streaming configuration; the first failing read decides the error.
Settings settings(const Instance& in, ReadTime time = std::nullopt);
// Brings shown, hidden and enabled state and the derived labels in line with the values.
void updateUI(const Instance& in, ReadTime time = std::nullopt);

// Reaction to a changed parameter; failures are shown to the user, never thrown.
void changed(Instance& in, OfxPropertySetHandle inArgs);

}  // namespace vl::ofx
