// The render action: the picture passes through unchanged, and a copy goes to
// the sender when the frame is whole and the panel says so. Sending never
// stops the output from being delivered.
#include "Actions.h"
#include "Diagnostics.h"
#include "HostImage.h"
#include "Instance.h"
#include "Suites.h"

#include "Core/Image.h"

#include <cmath>
#include <exception>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

namespace vl::ofx {
namespace {

// Full resolution, and the source image holds the clip's whole region of definition.
bool complete(const Instance& in, double time, const HostImage& source, const Image& image,
              const double scale[2]) {
  bool whole = std::fabs(scale[0] - 1.0) < 1e-9 && std::fabs(scale[1] - 1.0) < 1e-9;
  OfxRectD rod{};
  if (effects->clipGetRegionOfDefinition(in.sourceClip, time, &rod) != kOfxStatOK) return whole;
  double aspect = 1.0;
  props->propGetDouble(source.handle(), "OfxImagePropPixelAspectRatio", 0, &aspect);
  if (!(std::isfinite(aspect) && aspect > 0.0)) aspect = 1.0;
  // Canonical x coordinates are in square pixels; image bounds are in the image's own.
  const Rect& b = image.bounds;
  return whole && std::floor(rod.x1 / aspect) >= b.x1 && std::floor(rod.y1) >= b.y1 &&
         std::ceil(rod.x2 / aspect) <= b.x2 && std::ceil(rod.y2) <= b.y2;
}

void reportCaptureFailure(const std::exception& e) {
  if (!diagnosticsOn()) return;
  if (errors.fetch_add(1) > 2) return;
  diagnose(std::string("Capture: ") + e.what());
}

// The frame to stream, with its samples still to be written; none when this render
// is not streamed or the picture cannot be (that failure is only reported).
std::optional<Frame> frameToSend(Instance& in, OfxPropertySetHandle inArgs, const Image& source, double time,
                                 bool whole) {
  try {
    Settings s = settings(in, time);
    const bool enabled = integer(in, "enabled", time) != 0;
    in.sender.configure(s, enabled);
    if (!enabled) return std::nullopt;
    if (!in.interactive && integer(in, "sendExports", time) == 0) return std::nullopt;
    int thumbnail = 0;
    props->propGetInt(inArgs, "OfxImageEffectPropThumbnailRender", 0, &thumbnail);
    if (thumbnail != 0 || !whole) return std::nullopt;
    if (effects->abort(in.effect) != 0) return std::nullopt;
    return frameFor(source, time);
  } catch (const std::exception& e) {
    reportCaptureFailure(e);
    return std::nullopt;
  }
}

// One picture per frame, however many strips the host renders it in.
bool firstStrip(Instance& in, double time, const Rect& window) {
  const std::lock_guard lock(in.rowsMutex);
  return startsPicture(in.rows, time, window.y1, window.y2);
}

}  // namespace

OfxStatus render(OfxImageEffectHandle effect, OfxPropertySetHandle inArgs) {
  Instance& in = instance(effect);
  double time = 0.0;
  check(props->propGetDouble(inArgs, "OfxPropTime", 0, &time));
  // Declared in this order so the output is released first, then the source.
  const HostImage source(in.sourceClip, time);
  const HostImage output(in.outputClip, time);
  const Image sourceImage = source.get();
  const Image outputImage = output.get();

  int window[4] = {0, 0, 0, 0};
  check(props->propGetIntN(inArgs, "OfxImageEffectPropRenderWindow", 4, window));
  double scale[2] = {1.0, 1.0};
  props->propGetDoubleN(inArgs, "OfxImageEffectPropRenderScale", 2, scale);

  // Only the processor path exists here: the Linux build declares no GPU rendering,
  // so a host never hands this action GPU buffers.
  const Rect renderWindow{window[0], window[1], window[2], window[3]};
  std::optional<Frame> frame;
  if (firstStrip(in, time, renderWindow))
    frame = frameToSend(in, inArgs, sourceImage, time, complete(in, time, source, sourceImage, scale));
  if (!frame) {
    copyImage(sourceImage, outputImage, renderWindow);
    return kOfxStatOK;
  }
  // A streamed picture is read once for both the output and the frame.
  copyAndCapture(sourceImage, outputImage, renderWindow, *frame);
  try {
    in.sender.submit(std::move(*frame));
  } catch (const std::exception& e) {
    reportCaptureFailure(e);
  }
  return kOfxStatOK;
}

OfxStatus clipPreferences(OfxImageEffectHandle, OfxPropertySetHandle outArgs) {
  // Frame-varying: every frame time reaches render, even where the input holds still.
  props->propSetInt(outArgs, "OfxImageEffectFrameVarying", 0, 1);
  return kOfxStatOK;
}

OfxStatus regionsOfInterest(OfxImageEffectHandle effect, OfxPropertySetHandle inArgs, OfxPropertySetHandle outArgs) {
  const Instance& in = instance(effect);
  double time = 0.0;
  props->propGetDouble(inArgs, "OfxPropTime", 0, &time);
  // The whole source picture, always: a streamed frame is never a part of one.
  OfxRectD rod{};
  check(effects->clipGetRegionOfDefinition(in.sourceClip, time, &rod));
  const double roi[4] = {rod.x1, rod.y1, rod.x2, rod.y2};
  props->propSetDoubleN(outArgs, "OfxImageClipPropRoI_Source", 4, roi);
  return kOfxStatOK;
}

OfxStatus beginSequence(OfxImageEffectHandle effect, OfxPropertySetHandle inArgs) {
  Instance& in = instance(effect);
  int interactive = 1;
  props->propGetInt(inArgs, "OfxPropIsInteractive", 0, &interactive);
  in.interactive = interactive != 0;
  return kOfxStatOK;
}

OfxStatus endSequence(OfxImageEffectHandle effect) {
  instance(effect).interactive = true;
  return kOfxStatOK;
}

}  // namespace vl::ofx
