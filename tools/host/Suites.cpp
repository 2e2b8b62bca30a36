// The property, image-effect and parameter suites, version 1.
#include "Bundle.h"
#include "Host.h"

#include <cstdarg>
#include <cstring>
#include <new>
#include <vector>

namespace vl::host {
namespace {

Host& host() { return *Host::current(); }
PropertySet* ps(OfxPropertySetHandle h) { return PropertySet::from(h); }
Effect* fx(OfxImageEffectHandle h) { return reinterpret_cast<Effect*>(h); }
Effect* fx(OfxParamSetHandle h) { return reinterpret_cast<Effect*>(h); }
Param* pa(OfxParamHandle h) { return reinterpret_cast<Param*>(h); }
Clip* cl(OfxImageClipHandle h) { return reinterpret_cast<Clip*>(h); }

#define ENTER(fn, handle)                                           \
  if (OfxStatus s_ = host().enter(fn); s_ != kOfxStatOK) return s_; \
  const auto held_ = host().lock();                                 \
  if ((handle) == nullptr) return kOfxStatErrBadHandle

// Property suite.
template <typename T>
OfxStatus setOne(const char* fn, OfxPropertySetHandle p, const char* name, int i, T v) {
  ENTER(fn, p);
  return ps(p)->set(name, i, Value(v));
}
template <typename T, typename In>
OfxStatus setMany(const char* fn, OfxPropertySetHandle p, const char* name, int n, const In* v) {
  ENTER(fn, p);
  if (v == nullptr || n <= 0) return kOfxStatErrBadIndex;
  std::vector<Value> values;
  for (int i = 0; i < n; ++i) values.emplace_back(T(v[i]));
  return ps(p)->setN(name, std::move(values));
}
template <typename T, typename Out>
OfxStatus getOne(const char* fn, OfxPropertySetHandle p, const char* name, int i, Out* out, PropType t) {
  ENTER(fn, p);
  const Value* v = nullptr;
  if (OfxStatus s = ps(p)->get(name, i, t, &v); s != kOfxStatOK) return s;
  if constexpr (std::is_same_v<T, std::string>) {
    *out = const_cast<char*>(std::get<std::string>(*v).c_str());
  } else {
    *out = std::get<T>(*v);
  }
  return kOfxStatOK;
}
template <typename T, typename Out>
OfxStatus getMany(const char* fn, OfxPropertySetHandle p, const char* name, int n, Out* out, PropType t) {
  ENTER(fn, p);
  if (out == nullptr) return kOfxStatErrBadHandle;
  for (int i = 0; i < n; ++i) {
    const Value* v = nullptr;
    if (OfxStatus s = ps(p)->get(name, i, t, &v); s != kOfxStatOK) return s;
    if constexpr (std::is_same_v<T, std::string>) {
      out[i] = const_cast<char*>(std::get<std::string>(*v).c_str());
    } else {
      out[i] = std::get<T>(*v);
    }
  }
  return kOfxStatOK;
}

const OfxPropertySuiteV1 propertySuite{
    [](OfxPropertySetHandle p, const char* n, int i, void* v) { return setOne("propSetPointer", p, n, i, v); },
    [](OfxPropertySetHandle p, const char* n, int i, const char* v) {
      if (v == nullptr) return static_cast<OfxStatus>(kOfxStatErrValue);
      return setOne("propSetString", p, n, i, std::string(v));
    },
    [](OfxPropertySetHandle p, const char* n, int i, double v) { return setOne("propSetDouble", p, n, i, v); },
    [](OfxPropertySetHandle p, const char* n, int i, int v) { return setOne("propSetInt", p, n, i, v); },
    [](OfxPropertySetHandle p, const char* n, int c, void* const* v) {
      return setMany<void*>("propSetPointerN", p, n, c, v);
    },
    [](OfxPropertySetHandle p, const char* n, int c, const char* const* v) {
      if (v != nullptr)
        for (int i = 0; i < c; ++i)
          if (v[i] == nullptr) return static_cast<OfxStatus>(kOfxStatErrValue);
      return setMany<std::string>("propSetStringN", p, n, c, v);
    },
    [](OfxPropertySetHandle p, const char* n, int c, const double* v) {
      return setMany<double>("propSetDoubleN", p, n, c, v);
    },
    [](OfxPropertySetHandle p, const char* n, int c, const int* v) { return setMany<int>("propSetIntN", p, n, c, v); },
    [](OfxPropertySetHandle p, const char* n, int i, void** v) {
      return getOne<void*>("propGetPointer", p, n, i, v, PropType::Pointer);
    },
    [](OfxPropertySetHandle p, const char* n, int i, char** v) {
      return getOne<std::string>("propGetString", p, n, i, v, PropType::String);
    },
    [](OfxPropertySetHandle p, const char* n, int i, double* v) {
      return getOne<double>("propGetDouble", p, n, i, v, PropType::Double);
    },
    [](OfxPropertySetHandle p, const char* n, int i, int* v) {
      return getOne<int>("propGetInt", p, n, i, v, PropType::Int);
    },
    [](OfxPropertySetHandle p, const char* n, int c, void** v) {
      return getMany<void*>("propGetPointerN", p, n, c, v, PropType::Pointer);
    },
    [](OfxPropertySetHandle p, const char* n, int c, char** v) {
      return getMany<std::string>("propGetStringN", p, n, c, v, PropType::String);
    },
    [](OfxPropertySetHandle p, const char* n, int c, double* v) {
      return getMany<double>("propGetDoubleN", p, n, c, v, PropType::Double);
    },
    [](OfxPropertySetHandle p, const char* n, int c, int* v) {
      return getMany<int>("propGetIntN", p, n, c, v, PropType::Int);
    },
    [](OfxPropertySetHandle p, const char* n) -> OfxStatus {
      ENTER("propReset", p);
      return ps(p)->reset(n);
    },
    [](OfxPropertySetHandle p, const char* n, int* c) -> OfxStatus {
      ENTER("propGetDimension", p);
      return ps(p)->dimension(n, c);
    },
};

// Image effect suite.
const OfxImageEffectSuiteV1 imageEffectSuite{
    [](OfxImageEffectHandle e, OfxPropertySetHandle* out) -> OfxStatus {
      ENTER("getPropertySet", e);
      *out = fx(e)->props.handle();
      return kOfxStatOK;
    },
    [](OfxImageEffectHandle e, OfxParamSetHandle* out) -> OfxStatus {
      ENTER("getParamSet", e);
      *out = reinterpret_cast<OfxParamSetHandle>(e);
      return kOfxStatOK;
    },
    [](OfxImageEffectHandle e, const char* name, OfxPropertySetHandle* out) -> OfxStatus {
      ENTER("clipDefine", e);
      if (name == nullptr) return kOfxStatErrValue;
      if (fx(e)->clip(name) != nullptr) return kOfxStatErrExists;
      Clip& c = fx(e)->clips.emplace_back();
      c.name = name;
      if (out != nullptr) *out = c.props.handle();
      return kOfxStatOK;
    },
    [](OfxImageEffectHandle e, const char* name, OfxImageClipHandle* clip, OfxPropertySetHandle* out) -> OfxStatus {
      ENTER("clipGetHandle", e);
      Clip* c = name != nullptr ? fx(e)->clip(name) : nullptr;
      if (c == nullptr) return kOfxStatErrUnknown;
      if (clip != nullptr) *clip = reinterpret_cast<OfxImageClipHandle>(c);
      if (out != nullptr) *out = c->props.handle();
      return kOfxStatOK;
    },
    [](OfxImageClipHandle c, OfxPropertySetHandle* out) -> OfxStatus {
      ENTER("clipGetPropertySet", c);
      *out = cl(c)->props.handle();
      return kOfxStatOK;
    },
    [](OfxImageClipHandle c, OfxTime t, const OfxRectD*, OfxPropertySetHandle* out) -> OfxStatus {
      ENTER("clipGetImage", c);
      if (out == nullptr) return kOfxStatErrBadHandle;
      // Nothing may be thrown across the plug-in's frames.
      try {
        *out = host().newImage(*cl(c), t)->handle();
      } catch (const std::bad_alloc&) {
        return kOfxStatErrMemory;
      } catch (...) {
        return kOfxStatFailed;
      }
      return kOfxStatOK;
    },
    [](OfxPropertySetHandle image) -> OfxStatus {
      ENTER("clipReleaseImage", image);
      try {
        return host().releaseImage(ps(image));
      } catch (...) {
        return kOfxStatFailed;
      }
    },
    [](OfxImageClipHandle c, OfxTime, OfxRectD* bounds) -> OfxStatus {
      ENTER("clipGetRegionOfDefinition", c);
      if (const auto& rod = cl(c)->regionOfDefinition) {
        *bounds = *rod;
        return kOfxStatOK;
      }
      const OfxRectI& b = cl(c)->image.bounds;
      *bounds = {double(b.x1) * cl(c)->image.pixelAspect, double(b.y1), double(b.x2) * cl(c)->image.pixelAspect,
                 double(b.y2)};
      return kOfxStatOK;
    },
    [](OfxImageEffectHandle e) -> int {
      if (host().enter("abort") != kOfxStatOK || e == nullptr) return 0;
      return fx(e)->aborted ? 1 : 0;
    },
    [](OfxImageEffectHandle, size_t, OfxImageMemoryHandle*) -> OfxStatus {
      return host().enter("imageMemoryAlloc") == kOfxStatOK ? kOfxStatErrUnsupported : kOfxStatFailed;
    },
    [](OfxImageMemoryHandle) -> OfxStatus {
      return host().enter("imageMemoryFree") == kOfxStatOK ? kOfxStatErrUnsupported : kOfxStatFailed;
    },
    [](OfxImageMemoryHandle, void**) -> OfxStatus {
      return host().enter("imageMemoryLock") == kOfxStatOK ? kOfxStatErrUnsupported : kOfxStatFailed;
    },
    [](OfxImageMemoryHandle) -> OfxStatus {
      return host().enter("imageMemoryUnlock") == kOfxStatOK ? kOfxStatErrUnsupported : kOfxStatFailed;
    },
};

// Parameter values travel through C varargs by type.
OfxStatus readValue(const Param& p, const Value& v, va_list ap) {
  if (p.type == "OfxParamTypeString") {
    *va_arg(ap, char**) = const_cast<char*>(std::get<std::string>(v).c_str());
  } else if (p.type == "OfxParamTypeDouble") {
    *va_arg(ap, double*) = std::get<double>(v);
  } else if (p.type == "OfxParamTypeBoolean" || p.type == "OfxParamTypeInteger" || p.type == "OfxParamTypeChoice") {
    *va_arg(ap, int*) = std::get<int>(v);
  } else {
    return kOfxStatErrUnsupported;
  }
  return kOfxStatOK;
}

OfxStatus writeValue(Param& p, Value& v, va_list ap) {
  if (p.type == "OfxParamTypeString") {
    const char* s = va_arg(ap, const char*);
    if (s == nullptr) return kOfxStatErrValue;
    v = std::string(s);
  } else if (p.type == "OfxParamTypeDouble") {
    v = va_arg(ap, double);
  } else if (p.type == "OfxParamTypeBoolean" || p.type == "OfxParamTypeInteger" || p.type == "OfxParamTypeChoice") {
    v = va_arg(ap, int);
  } else {
    return kOfxStatErrUnsupported;
  }
  return kOfxStatOK;
}

const Value& valueAt(const Param& p, OfxTime t) {
  auto it = p.keys.find(t);
  return it != p.keys.end() ? it->second : p.value;
}

OfxStatus unsupported(const char* fn) {
  OfxStatus s = host().enter(fn);
  return s == kOfxStatOK ? kOfxStatErrUnsupported : s;
}

OfxStatus paramGetValue(OfxParamHandle p, ...) {
  ENTER("paramGetValue", p);
  ++pa(p)->reads;
  va_list ap;
  va_start(ap, p);
  OfxStatus s = readValue(*pa(p), pa(p)->value, ap);
  va_end(ap);
  return s;
}

OfxStatus paramGetValueAtTime(OfxParamHandle p, OfxTime t, ...) {
  ENTER("paramGetValueAtTime", p);
  pa(p)->readTimes.push_back(t);
  va_list ap;
  va_start(ap, t);
  OfxStatus s = readValue(*pa(p), valueAt(*pa(p), t), ap);
  va_end(ap);
  return s;
}

OfxStatus paramGetDerivative(OfxParamHandle, OfxTime, ...) { return unsupported("paramGetDerivative"); }
OfxStatus paramGetIntegral(OfxParamHandle, OfxTime, OfxTime, ...) { return unsupported("paramGetIntegral"); }

// Runs unlocked, so that the plug-in may read and write from its reaction as it likes.
void reportWrite(Param& p) {
  OfxPlugin* plugin = nullptr;
  Effect* owner = nullptr;
  {
    const auto held = host().lock();
    plugin = host().changesOnWrite();
    owner = plugin != nullptr ? host().owner(&p) : nullptr;
  }
  if (owner != nullptr) instanceChanged(*plugin, *owner, p.name, 0.0, "OfxChangePluginEdited");
}

OfxStatus paramSetValue(OfxParamHandle p, ...) {
  OfxStatus s = kOfxStatOK;
  {
    ENTER("paramSetValue", p);
    va_list ap;
    va_start(ap, p);
    s = writeValue(*pa(p), pa(p)->value, ap);
    va_end(ap);
  }
  if (s == kOfxStatOK) reportWrite(*pa(p));
  return s;
}

OfxStatus paramSetValueAtTime(OfxParamHandle p, OfxTime t, ...) {
  ENTER("paramSetValueAtTime", p);
  va_list ap;
  va_start(ap, t);
  Value v = pa(p)->value;
  OfxStatus s = writeValue(*pa(p), v, ap);
  va_end(ap);
  if (s == kOfxStatOK) pa(p)->keys[t] = v;
  return s;
}

const OfxParameterSuiteV1 parameterSuite{
    [](OfxParamSetHandle set, const char* type, const char* name, OfxPropertySetHandle* out) -> OfxStatus {
      ENTER("paramDefine", set);
      if (type == nullptr || name == nullptr) return kOfxStatErrValue;
      if (fx(set)->param(name) != nullptr) return kOfxStatErrExists;
      Param& p = fx(set)->params.emplace_back();
      p.type = type;
      p.name = name;
      p.props.define("OfxParamPropType", std::string(type));
      p.props.define("OfxPropName", std::string(name));
      if (out != nullptr) *out = p.props.handle();
      return kOfxStatOK;
    },
    [](OfxParamSetHandle set, const char* name, OfxParamHandle* param, OfxPropertySetHandle* out) -> OfxStatus {
      ENTER("paramGetHandle", set);
      Param* p = name != nullptr ? fx(set)->param(name) : nullptr;
      if (p == nullptr) return kOfxStatErrUnknown;
      if (param != nullptr) *param = reinterpret_cast<OfxParamHandle>(p);
      if (out != nullptr) *out = p->props.handle();
      return kOfxStatOK;
    },
    [](OfxParamSetHandle set, OfxPropertySetHandle* out) -> OfxStatus {
      ENTER("paramSetGetPropertySet", set);
      *out = fx(set)->paramSetProps.handle();
      return kOfxStatOK;
    },
    [](OfxParamHandle p, OfxPropertySetHandle* out) -> OfxStatus {
      ENTER("paramGetPropertySet", p);
      *out = pa(p)->props.handle();
      return kOfxStatOK;
    },
    paramGetValue,
    paramGetValueAtTime,
    paramGetDerivative,
    paramGetIntegral,
    paramSetValue,
    paramSetValueAtTime,
    [](OfxParamHandle p, unsigned int* n) -> OfxStatus {
      ENTER("paramGetNumKeys", p);
      *n = static_cast<unsigned int>(pa(p)->keys.size());
      return kOfxStatOK;
    },
    [](OfxParamHandle p, unsigned int nth, OfxTime* t) -> OfxStatus {
      ENTER("paramGetKeyTime", p);
      if (nth >= pa(p)->keys.size()) return kOfxStatErrBadIndex;
      *t = std::next(pa(p)->keys.begin(), nth)->first;
      return kOfxStatOK;
    },
    [](OfxParamHandle, OfxTime, int, int*) { return unsupported("paramGetKeyIndex"); },
    [](OfxParamHandle p, OfxTime t) -> OfxStatus {
      ENTER("paramDeleteKey", p);
      return pa(p)->keys.erase(t) != 0 ? kOfxStatOK : kOfxStatErrBadIndex;
    },
    [](OfxParamHandle p) -> OfxStatus {
      ENTER("paramDeleteAllKeys", p);
      pa(p)->keys.clear();
      return kOfxStatOK;
    },
    [](OfxParamHandle, OfxParamHandle, OfxTime, const OfxRangeD*) { return unsupported("paramCopy"); },
    [](OfxParamSetHandle set, const char*) -> OfxStatus {
      ENTER("paramEditBegin", set);
      return kOfxStatOK;
    },
    [](OfxParamSetHandle set) -> OfxStatus {
      ENTER("paramEditEnd", set);
      return kOfxStatOK;
    },
};

}  // namespace

const void* suite(const std::string& name) {
  if (name == "OfxPropertySuite") return &propertySuite;
  if (name == "OfxImageEffectSuite") return &imageEffectSuite;
  if (name == "OfxParameterSuite") return &parameterSuite;
  return nullptr;
}

}  // namespace vl::host
