#include "Player.h"

#include "Bundle.h"
#include "Edits.h"
#include "FrameSource.h"
#include "Pacing.h"

#include <algorithm>
#include <chrono>
#include <optional>
#include <stdexcept>
#include <thread>

namespace vl::host {
namespace {

using Clock = std::chrono::steady_clock;

const char* kContext = "OfxImageEffectContextFilter";

double msSince(Clock::time_point t) { return std::chrono::duration<double, std::milli>(Clock::now() - t).count(); }
double secondsSince(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

void shapeClip(Clip& clip, const Options& o) {
  clip.image = ClipImage{depthName(o.depth), "OfxImageComponentRGBA", {0, 0, o.width, o.height}, false, 1.0};
  clip.props.define("OfxImageEffectPropFrameRate", o.rate.fps());
  clip.props.define("OfxImageEffectPropPixelDepth", std::string(depthName(o.depth)));
  clip.props.define("OfxImageClipPropUnmappedPixelDepth", std::string(depthName(o.depth)));
  clip.props.define("OfxImageEffectPropComponents", std::string("OfxImageComponentRGBA"));
  clip.props.define("OfxImageClipPropUnmappedComponents", std::string("OfxImageComponentRGBA"));
  clip.props.define("OfxImagePropPixelAspectRatio", 1.0);
  clip.props.define("OfxImageClipPropConnected", 1);
  clip.props.define("OfxImageEffectPropPreMultiplication", std::string("OfxImagePreMultiplied"));
}

Clip& clip(Effect& fx, const char* name) {
  Clip* c = fx.clip(name);
  if (c == nullptr) throw std::runtime_error(std::string("The effect defines no clip named \"") + name + "\".");
  return *c;
}

struct ParsedEdit {
  std::int64_t frame;
  Param* param;
  std::optional<Value> value;
};

// All edits are checked before anything plays, so a typo fails at once.
std::vector<ParsedEdit> parseEdits(Effect& fx, const std::vector<Edit>& edits) {
  std::vector<ParsedEdit> out;
  for (const Edit& e : edits) {
    Param* p = fx.param(e.name);
    if (p == nullptr) throw std::runtime_error("The effect has no parameter named \"" + e.name + "\".");
    if (!e.value && !isButton(*p))
      throw std::runtime_error("The parameter \"" + e.name + "\" is not a push button; set it with --set.");
    out.push_back({e.frame, p, e.value ? std::optional<Value>(paramValue(*p, *e.value)) : std::nullopt});
  }
  return out;
}

class Run {
 public:
  Run(Host& host, OfxPlugin& plugin, const Options& o, std::ostream& log)
      : host_(host), plugin_(plugin), o_(o), log_(log), source_(o.width, o.height, o.depth, o.input) {}

  Tally play() {
    fx_ = &host_.createInstance(kContext);
    fx_->props.define("OfxImageEffectPropFrameRate", o_.rate.fps());
    fx_->props.define("OfxImageEffectPropProjectSize", PropType::Double,
                      {static_cast<double>(o_.width), static_cast<double>(o_.height)});
    fx_->props.define("OfxImageEffectPropProjectExtent", PropType::Double,
                      {static_cast<double>(o_.width), static_cast<double>(o_.height)});
    fx_->props.define("OfxImageEffectPropProjectOffset", PropType::Double, {0.0, 0.0});
    fx_->props.define("OfxImageEffectPropProjectPixelAspectRatio", 1.0);
    Clip& source = clip(*fx_, "Source");
    Clip& output = clip(*fx_, "Output");
    shapeClip(source, o_);
    shapeClip(output, o_);
    source.onFetch = [this](PropertySet& image, OfxTime) { fill(image); };
    if (!o_.output.empty()) {
      sink_.emplace(o_.output);
      output.onRelease = [this](const PropertySet& image) { collect(image); };
    }
    const std::vector<ParsedEdit> edits = parseEdits(*fx_, o_.edits);
    if (o_.changesOnWrite) host_.changesOnWrite(&plugin_);

    if (const OfxStatus s = host::action(plugin_, "OfxActionCreateInstance", fx_->handle()); !succeeded(s))
      throw std::runtime_error("The effect refused to create an instance (status " + std::to_string(s) + ").");
    try {
      sequence(edits);
    } catch (...) {
      send("OfxActionDestroyInstance", nullptr);
      throw;
    }
    if (o_.waitAfterSeconds > 0)
      std::this_thread::sleep_for(std::chrono::duration<double>(o_.waitAfterSeconds));
    send("OfxActionDestroyInstance", nullptr);
    if (sink_) sink_->close();
    return tally_;
  }

 private:
  bool send(const char* action, PropertySet* in, PropertySet* out = nullptr) {
    return tally_.status(action, host::action(plugin_, action, fx_->handle(), in, out));
  }

  void change(const ParsedEdit& e, OfxTime time) {
    if (e.value) {
      e.param->value = *e.value;
      if (!e.param->keys.empty()) e.param->keys[time] = *e.value;
    }
    const Change c = instanceChanged(plugin_, *fx_, e.param->name, time);
    tally_.status("OfxActionBeginInstanceChanged", c.begin);
    tally_.status("OfxActionInstanceChanged", c.changed);
    tally_.status("OfxActionEndInstanceChanged", c.end);
  }

  PropertySet sequenceArgs(std::int64_t last) const {
    PropertySet in;
    in.define("OfxImageEffectPropFrameRange", PropType::Double, {0.0, static_cast<double>(last)});
    in.define("OfxImageEffectPropFrameStep", 1.0);
    in.define("OfxPropIsInteractive", o_.interactive ? 1 : 0);
    in.define("OfxImageEffectPropRenderScale", PropType::Double, {1.0, 1.0});
    in.define("OfxImageEffectPropSequentialRenderStatus", 1);
    in.define("OfxImageEffectPropInteractiveRenderStatus", o_.interactive ? 1 : 0);
    return in;
  }

  void sequence(const std::vector<ParsedEdit>& edits) {
    PropertySet prefs(true);
    send("OfxImageEffectActionGetClipPreferences", nullptr, &prefs);
    for (const ParsedEdit& e : edits)
      if (e.frame < 0) change(e, 0.0);

    // A timeline read from a pipe has no known end; say so with a wide range.
    const std::int64_t last = o_.frames ? *o_.frames - 1 : 999'999'999;
    PropertySet begin = sequenceArgs(last);
    send("OfxImageEffectActionBeginSequenceRender", &begin);
    Clock::time_point start = Clock::now();
    double nextReport = 1.0;
    std::int64_t i = 0;
    for (; !o_.frames || i < *o_.frames; ++i) {
      for (const ParsedEdit& e : edits)
        if (e.frame == i) change(e, static_cast<OfxTime>(i));
      if (!source_.next(frame_)) break;
      if (i == 0) start = Clock::now();  // the clock starts with the first picture in hand
      const Clock::time_point due = start + std::chrono::microseconds(frameOffsetUs(i, o_.rate));
      if (o_.realtime) std::this_thread::sleep_until(due);
      renderFrame(i, o_.realtime && Clock::now() > due + std::chrono::milliseconds(1));
      if (const double t = secondsSince(start); t >= nextReport) {
        log_ << secondLine(tally_, t) << std::endl;
        while (nextReport <= t) nextReport += 1.0;
      }
    }
    PropertySet end = sequenceArgs(last);
    send("OfxImageEffectActionEndSequenceRender", &end);
    log_ << finalLine(tally_, secondsSince(start)) << std::endl;
    if (o_.frames && i < *o_.frames)
      throw std::runtime_error("The input held " + std::to_string(i) + " frames, fewer than the " +
                               std::to_string(*o_.frames) + " asked for.");
    for (const ParsedEdit& e : edits)
      if (e.frame >= i)
        throw std::runtime_error("The edit of \"" + e.param->name + "\" at frame " + std::to_string(e.frame) +
                                 " never happened: the input held " + std::to_string(i) + " frames.");
  }

  void renderFrame(std::int64_t i, bool late) {
    const auto t = static_cast<double>(i);
    const double w = o_.width, h = o_.height;
    PropertySet roiIn;
    roiIn.define("OfxPropTime", t);
    roiIn.define("OfxImageEffectPropRenderScale", PropType::Double, {1.0, 1.0});
    roiIn.define("OfxImageEffectPropRegionOfInterest", PropType::Double, {0.0, 0.0, w, h});
    PropertySet roiOut(true);
    send("OfxImageEffectActionGetRegionsOfInterest", &roiIn, &roiOut);

    PropertySet in;
    in.define("OfxPropTime", t);
    in.define("OfxImageEffectPropFieldToRender", std::string("OfxImageFieldNone"));
    in.define("OfxImageEffectPropRenderWindow", PropType::Int, {0, 0, o_.width, o_.height});
    in.define("OfxImageEffectPropRenderScale", PropType::Double, {1.0, 1.0});
    in.define("OfxImageEffectPropSequentialRenderStatus", 1);
    in.define("OfxImageEffectPropInteractiveRenderStatus", o_.interactive ? 1 : 0);
    in.define("OfxImageEffectPropRenderQualityDraft", 0);
    in.define("OfxImageEffectPropThumbnailRender", 0);
    in.define("OfxImageEffectPropMetalEnabled", 0);
    in.define("OfxImageEffectPropCudaEnabled", 0);
    collected_ = false;
    // The release hook must not allocate; strips fill in the rows of a black frame.
    if (sink_ && o_.strips > 1) out_.assign(frame_.size(), 0);
    if (sink_) out_.resize(frame_.size());
    const Clock::time_point before = Clock::now();
    // Strips as a tiling host renders them: bottom up, the last taking what is left.
    const int strips = std::min(o_.strips, o_.height);
    for (int k = 0; k < strips; ++k) {
      rows_ = {o_.height * k / strips, o_.height * (k + 1) / strips};
      in.set("OfxImageEffectPropRenderWindow", 1, Value(rows_.first));
      in.set("OfxImageEffectPropRenderWindow", 3, Value(rows_.second));
      send("OfxImageEffectActionRender", &in);
    }
    tally_.render(msSince(before), late);
    host_.clearCalls();  // the suite-call record would grow with every frame
    if (host_.liveImages() != 0 && !leakReported_) {
      log_ << "Frame " << i << ": the effect still holds " << host_.liveImages() << " images after rendering."
           << std::endl;
      leakReported_ = true;
    }
    if (sink_) {
      // An output the plug-in never fetched is black, as a host's viewer shows it.
      if (!collected_) out_.assign(frame_.size(), 0);
      sink_->write(out_);
    }
  }

  void fill(PropertySet& image) { putFrame(frame_, o_.height, image); }

  void collect(const PropertySet& image) {
    takeFrame(image, o_.height, out_, rows_.first, rows_.second);
    collected_ = true;
  }

  Host& host_;
  OfxPlugin& plugin_;
  const Options& o_;
  std::ostream& log_;
  FrameSource source_;
  std::optional<FrameSink> sink_;
  Effect* fx_ = nullptr;
  Tally tally_;
  std::vector<std::uint8_t> frame_;
  std::vector<std::uint8_t> out_;
  bool collected_ = false;
  std::pair<int, int> rows_;  // of the strip rendering now
  bool leakReported_ = false;
};

}  // namespace

Tally play(Host& host, OfxPlugin& plugin, const Options& options, std::ostream& log) {
  return Run(host, plugin, options, log).play();
}

}  // namespace vl::host
