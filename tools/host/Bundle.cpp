#include "Bundle.h"

#include <dlfcn.h>

#include <cstdlib>
#include <stdexcept>
#include <thread>

namespace vl::host {

Bundle::Bundle(const std::string& path) {
  // RTLD_LOCAL: the plug-in's symbols must not leak into the host's namespace.
  handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) throw std::runtime_error(std::string("Cannot load the bundle: ") + dlerror());
  count_ = reinterpret_cast<int (*)()>(dlsym(handle_, "OfxGetNumberOfPlugins"));
  get_ = reinterpret_cast<OfxPlugin* (*)(int)>(dlsym(handle_, "OfxGetPlugin"));
  if (count_ == nullptr || get_ == nullptr) {
    dlclose(handle_);
    throw std::runtime_error("The bundle lacks the OpenFX entry points.");
  }
}

Bundle::~Bundle() { dlclose(handle_); }

std::string builtBundlePath() {
  if (const char* p = std::getenv("VELTRANE_BUNDLE")) return p;
#ifdef VELTRANE_BUNDLE_PATH
  return VELTRANE_BUNDLE_PATH;
#else
  throw std::runtime_error("Set VELTRANE_BUNDLE to the plug-in binary.");
#endif
}

OfxStatus action(OfxPlugin& plugin, const char* name, const void* handle, PropertySet* inArgs,
                 PropertySet* outArgs) {
  const OfxStatus status = plugin.mainEntry(name, handle, inArgs != nullptr ? inArgs->handle() : nullptr,
                                            outArgs != nullptr ? outArgs->handle() : nullptr);
  if (Host* host = Host::current()) host->sent(name, handle, inArgs, status);
  return status;
}

Startup start(Host& host, OfxPlugin& plugin, bool setHost) {
  Startup s;
  if (setHost) plugin.setHost(host.ofxHost());
  s.load = action(plugin, "OfxActionLoad");
  if (s.load != kOfxStatOK) return s;
  s.describe = action(plugin, "OfxActionDescribe", host.descriptor().handle());
  if (s.describe != kOfxStatOK) return s;
  PropertySet in;
  in.define("OfxImageEffectPropContext", std::string("OfxImageEffectContextFilter"));
  s.describeInContext =
      action(plugin, "OfxImageEffectActionDescribeInContext", host.descriptor().handle(), &in);
  return s;
}

Change instanceChanged(OfxPlugin& plugin, Effect& instance, const std::string& param, OfxTime time,
                       const std::string& reason) {
  PropertySet wrap;
  wrap.define("OfxPropChangeReason", reason);
  PropertySet in;
  in.define("OfxPropType", std::string("OfxTypeParameter"));
  in.define("OfxPropName", param);
  in.define("OfxPropChangeReason", reason);
  in.define("OfxPropTime", time);
  in.define("OfxImageEffectPropRenderScale", PropType::Double, {1.0, 1.0});
  Change c;
  c.begin = action(plugin, "OfxActionBeginInstanceChanged", instance.handle(), &wrap);
  c.changed = action(plugin, "OfxActionInstanceChanged", instance.handle(), &in);
  c.end = action(plugin, "OfxActionEndInstanceChanged", instance.handle(), &wrap);
  return c;
}

Change instanceChangedOnThread(OfxPlugin& plugin, Effect& instance, const std::string& param, OfxTime time) {
  Change c;
  std::thread([&] { c = instanceChanged(plugin, instance, param, time); }).join();
  return c;
}

}  // namespace vl::host
