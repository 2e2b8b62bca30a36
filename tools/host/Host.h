#pragma once
// A host in miniature: the three suites over plain objects, with faults to
// order and a record of every suite call the plug-in made.
#include "PropertySet.h"

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace vl::host {

struct Param {
  std::string type;
  std::string name;
  PropertySet props{true};
  Value value;
  std::map<double, Value> keys;  // values at times; the current value elsewhere
  int reads = 0;                 // current-value reads
  std::vector<double> readTimes;  // times of the at-time reads
};

struct ClipImage {
  std::string depth = "OfxBitDepthFloat";        // any of the four
  std::string components = "OfxImageComponentRGBA";  // or RGB
  OfxRectI bounds{0, 0, 16, 9};
  bool bottomUp = false;  // negative row bytes: rows stored top first
  double pixelAspect = 1.0;
};

struct Clip {
  std::string name;
  PropertySet props{true};
  ClipImage image;
  std::optional<OfxRectD> regionOfDefinition;  // when unset: the image bounds in canonical coordinates
  std::vector<unsigned char> pixels;    // copied into each fetched image of the same size
  std::vector<unsigned char> released;  // the bytes of the last image the plug-in released
  // A host's own pixels: filled into each image as it is handed out, read from it
  // as the plug-in gives it back.
  std::function<void(PropertySet& image, OfxTime time)> onFetch;
  std::function<void(const PropertySet& image)> onRelease;
};

// One action the host sent, with a copy of its arguments.
struct SentAction {
  std::string name;
  const void* handle = nullptr;
  PropertySet inArgs;
  OfxStatus status = kOfxStatOK;
};

struct Effect {
  PropertySet props{true};
  PropertySet paramSetProps{true};
  std::deque<Param> params;
  std::deque<Clip> clips;
  bool aborted = false;

  Param* param(const std::string& name);
  Clip* clip(const std::string& name);
  OfxImageEffectHandle handle() { return reinterpret_cast<OfxImageEffectHandle>(this); }
};

class Host {
 public:
  Host();
  ~Host();
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;

  PropertySet& props() { return props_; }
  OfxHost* ofxHost() { return &ofx_; }

  void omitSuite(const std::string& suite) { omitted_.insert(suite); }
  // The named suite member fails from its (skip+1)th call on.
  void fault(const std::string& function, int skip = 0) { faults_[function] = skip; }
  // Runs just before the named suite member does its work, on its first call.
  void before(const std::string& function, std::function<void()> hook) { hooks_[function] = std::move(hook); }
  const std::vector<std::string>& calls() const { return calls_; }
  void clearCalls() { calls_.clear(); }
  // Actions are kept only on request: a long timeline would grow the record without end.
  void recordActions(bool on) { recordActions_ = on; }
  const std::vector<SentAction>& actions() const { return actions_; }
  // As hosts built on the official support library do: each value the plug-in sets is
  // reported back to it as a plug-in edit, from inside the write, before the write returns.
  void changesOnWrite(OfxPlugin* plugin) { changesOnWrite_ = plugin; }
  OfxPlugin* changesOnWrite() const { return changesOnWrite_; }
  Effect* owner(const Param* param);
  void sent(const char* action, const void* handle, const PropertySet* inArgs, OfxStatus status);

  Effect& descriptor() { return descriptor_; }
  // A new instance with the descriptor's clips and parameters at their defaults.
  Effect& createInstance(const std::string& context);
  size_t liveImages() const { return images_.size(); }

  // Called by the suites: records the call and answers with the fault, if any. A hook
  // runs unlocked, so it may wait for a thread that calls suites of its own.
  OfxStatus enter(const char* function);
  // Held by each suite call while it works on the host's objects: a plug-in may call
  // from several threads at once, as when instance-changed arrives during a render.
  std::unique_lock<std::recursive_mutex> lock() { return std::unique_lock(mutex_); }
  const void* fetch(const char* suite, int version);
  PropertySet* newImage(Clip& clip, OfxTime time);
  OfxStatus releaseImage(PropertySet* image);

  static Host* current();

 private:
  struct Image;
  std::recursive_mutex mutex_;
  PropertySet props_;
  OfxHost ofx_{};
  Effect descriptor_;
  std::deque<Effect> instances_;
  std::set<std::string> omitted_;
  std::map<std::string, int, std::less<>> faults_;  // looked up without allocating
  std::map<std::string, std::function<void()>, std::less<>> hooks_;
  std::vector<std::string> calls_;
  bool recordActions_ = false;
  OfxPlugin* changesOnWrite_ = nullptr;
  std::vector<SentAction> actions_;
  std::vector<std::unique_ptr<Image>> images_;
};

}  // namespace vl::host
