#include "Host.h"

#include <string_view>
#include <new>
#include <stdexcept>

namespace vl::host {

const void* suite(const std::string& name);  // Suites.cpp

namespace {
Host* active = nullptr;

int bytesPerChannel(const std::string& depth) {
  if (depth == "OfxBitDepthByte") return 1;
  if (depth == "OfxBitDepthShort" || depth == "OfxBitDepthHalf") return 2;
  return 4;
}

const void* fetchSuite(OfxPropertySetHandle, const char* name, int version) {
  return active != nullptr ? active->fetch(name, version) : nullptr;
}
}  // namespace

struct Host::Image {
  Clip* clip = nullptr;
  PropertySet props;
  std::vector<unsigned char> pixels;
};

Param* Effect::param(const std::string& name) {
  for (Param& p : params)
    if (p.name == name) return &p;
  return nullptr;
}

Clip* Effect::clip(const std::string& name) {
  for (Clip& c : clips)
    if (c.name == name) return &c;
  return nullptr;
}

Host::Host() {
  if (active != nullptr) throw std::logic_error("One substitute host at a time.");
  active = this;
  ofx_.host = props_.handle();
  ofx_.fetchSuite = fetchSuite;
  props_.define("OfxPropName", std::string("com.veltrane.substitute-host"));
  props_.define("OfxPropLabel", std::string("veltrane substitute host"));
  props_.define("OfxImageEffectPropSupportedPixelDepths", PropType::String,
                {std::string("OfxBitDepthByte"), std::string("OfxBitDepthShort"),
                 std::string("OfxBitDepthHalf"), std::string("OfxBitDepthFloat")});
  props_.define("OfxImageEffectPropSupportsTiles", 0);
  props_.define("OfxImageEffectPropMetalRenderSupported", std::string("false"));
}

Host::~Host() { active = nullptr; }

Host* Host::current() { return active; }

OfxStatus Host::enter(const char* function) {
  std::unique_lock held(mutex_);
  try {
    calls_.emplace_back(function);
  } catch (const std::bad_alloc&) {
    // The record is lost, the call goes on: a host never throws into the plug-in.
  }
  if (auto hook = hooks_.find(std::string_view(function)); hook != hooks_.end()) {
    auto run = std::move(hook->second);
    hooks_.erase(hook);
    held.unlock();
    run();
    held.lock();
  }
  auto it = faults_.find(std::string_view(function));
  if (it == faults_.end()) return kOfxStatOK;
  if (it->second > 0) {
    --it->second;
    return kOfxStatOK;
  }
  return kOfxStatFailed;
}

const void* Host::fetch(const char* name, int version) {
  const std::lock_guard held(mutex_);
  calls_.push_back(std::string("fetchSuite:") + (name != nullptr ? name : ""));
  if (name == nullptr || version != 1 || omitted_.count(name) != 0) return nullptr;
  return suite(name);
}

void Host::sent(const char* action, const void* handle, const PropertySet* inArgs, OfxStatus status) {
  const std::lock_guard held(mutex_);
  if (!recordActions_) return;
  actions_.push_back({action != nullptr ? action : "", handle, inArgs != nullptr ? *inArgs : PropertySet(), status});
}

Effect* Host::owner(const Param* param) {
  for (Effect& e : instances_)
    for (const Param& p : e.params)
      if (&p == param) return &e;
  return nullptr;
}

Effect& Host::createInstance(const std::string& context) {
  Effect& e = instances_.emplace_back();
  e.props.define("OfxImageEffectPropContext", context);
  e.props.define("OfxPropInstanceData", static_cast<void*>(nullptr));
  e.props.define("OfxImageEffectPropFrameRate", 25.0);
  for (const Clip& c : descriptor_.clips) {
    Clip& copy = e.clips.emplace_back();
    copy.name = c.name;
    copy.props = c.props;
    copy.props.define("OfxImageEffectPropFrameRate", 25.0);
  }
  for (const Param& p : descriptor_.params) {
    Param& copy = e.params.emplace_back(p);
    if (const Property* d = p.props.find("OfxParamPropDefault"); d != nullptr && !d->values.empty()) {
      copy.value = d->values.front();
    } else if (p.type == "OfxParamTypeString") {
      copy.value = std::string();
    } else if (p.type == "OfxParamTypeDouble") {
      copy.value = 0.0;
    } else {
      copy.value = 0;
    }
  }
  return e;
}

PropertySet* Host::newImage(Clip& clip, OfxTime time) {
  const ClipImage& shape = clip.image;
  const int channels = shape.components == "OfxImageComponentRGB" ? 3 : 4;
  const int width = shape.bounds.x2 - shape.bounds.x1;
  const int height = shape.bounds.y2 - shape.bounds.y1;
  if (width <= 0 || height <= 0) throw std::invalid_argument("Empty clip image.");
  const int rowBytes = width * channels * bytesPerChannel(shape.depth);
  auto image = std::make_unique<Image>();
  image->pixels.assign(static_cast<size_t>(rowBytes) * static_cast<size_t>(height), 0);
  if (clip.pixels.size() == image->pixels.size()) image->pixels = clip.pixels;
  image->clip = &clip;
  // A bottom-up layout hands out the last row in memory as row y1.
  unsigned char* base = image->pixels.data();
  void* data = shape.bottomUp ? base + static_cast<size_t>(rowBytes) * static_cast<size_t>(height - 1) : base;
  PropertySet& p = image->props;
  p.define("OfxImagePropData", data);
  p.define("OfxImagePropBounds", PropType::Int,
           {shape.bounds.x1, shape.bounds.y1, shape.bounds.x2, shape.bounds.y2});
  p.define("OfxImagePropRegionOfDefinition", PropType::Int,
           {shape.bounds.x1, shape.bounds.y1, shape.bounds.x2, shape.bounds.y2});
  p.define("OfxImagePropRowBytes", shape.bottomUp ? -rowBytes : rowBytes);
  p.define("OfxImageEffectPropPixelDepth", shape.depth);
  p.define("OfxImageEffectPropComponents", shape.components);
  p.define("OfxImagePropPixelAspectRatio", shape.pixelAspect);
  p.define("OfxImageEffectPropRenderScale", PropType::Double, {1.0, 1.0});
  p.define("OfxImagePropField", std::string("OfxImageFieldNone"));
  p.define("OfxImagePropUniqueIdentifier", clip.name + "@" + std::to_string(time));
  image->clip = &clip;
  if (clip.onFetch) clip.onFetch(p, time);
  images_.push_back(std::move(image));
  return &images_.back()->props;
}

OfxStatus Host::releaseImage(PropertySet* image) {
  for (auto it = images_.begin(); it != images_.end(); ++it) {
    if (&(*it)->props == image) {
      if ((*it)->clip->onRelease) (*it)->clip->onRelease((*it)->props);
      (*it)->clip->released = std::move((*it)->pixels);
      images_.erase(it);
      return kOfxStatOK;
    }
  }
  return kOfxStatErrBadHandle;
}

}  // namespace vl::host
