#pragma once
// The record behind each host effect instance, and parameter access by name.
#include "Core/Sender.h"
#include "Core/Settings.h"
#include "ofx.h"

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
  bool timed = false;        // reads take the value at renderTime while set
  double renderTime = 0.0;

  explicit Instance(OfxImageEffectHandle handle) : effect(handle) {}
  Instance(const Instance&) = delete;
  Instance& operator=(const Instance&) = delete;
};

// The record stored in the effect's instance data.
Instance& instance(OfxImageEffectHandle effect);

OfxParamHandle param(const Instance& in, const char* name);
int integer(const Instance& in, const char* name);
double number(const Instance& in, const char* name);
std::string text(const Instance& in, const char* name);
void visibility(const Instance& in, const char* name, bool visible, bool enabled);

// The panel as a streaming configuration; the first failing read decides the error.
Settings settings(const Instance& in);
// Brings shown, hidden and enabled state and the derived labels in line with the values.
void updateUI(const Instance& in);

// Reaction to a changed parameter; failures are shown to the user, never thrown.
void changed(Instance& in, OfxPropertySetHandle inArgs);

}  // namespace vl::ofx
