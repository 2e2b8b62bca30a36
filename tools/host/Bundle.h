#pragma once
// A plug-in binary opened by path, and the actions a host sends it.
#include "Host.h"

#include <string>

namespace vl::host {

class Bundle {
 public:
  explicit Bundle(const std::string& path);  // throws with dlerror's text
  ~Bundle();
  Bundle(const Bundle&) = delete;
  Bundle& operator=(const Bundle&) = delete;

  int count() const { return count_(); }
  OfxPlugin* plugin(int nth) const { return get_(nth); }

 private:
  void* handle_;
  int (*count_)();
  OfxPlugin* (*get_)(int);
};

// The built bundle's binary, from VELTRANE_BUNDLE or next to the test binaries.
std::string builtBundlePath();

// Sends one action to the plug-in's main entry.
OfxStatus action(OfxPlugin& plugin, const char* name, const void* handle = nullptr,
                 PropertySet* inArgs = nullptr, PropertySet* outArgs = nullptr);

// The standard's start: setHost (unless skipped), load, describe and describe-in-context.
struct Startup {
  OfxStatus load = -1;
  OfxStatus describe = -1;
  OfxStatus describeInContext = -1;
};
Startup start(Host& host, OfxPlugin& plugin, bool setHost = true);

// One parameter change as a host reports it: wrapped in begin and end
// instance-changed, with the parameter's name, the time and the reason.
struct Change {
  OfxStatus begin = -1;
  OfxStatus changed = -1;
  OfxStatus end = -1;
};
Change instanceChanged(OfxPlugin& plugin, Effect& instance, const std::string& param, OfxTime time,
                       const std::string& reason = "OfxChangeUserEdited");
// The same delivered from a thread of its own and waited for, as a host may do while
// another thread is inside a render.
Change instanceChangedOnThread(OfxPlugin& plugin, Effect& instance, const std::string& param, OfxTime time);

}  // namespace vl::host
