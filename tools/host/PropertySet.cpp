#include "PropertySet.h"

#include <stdexcept>

namespace vl::host {
namespace {

PropType typeOf(const Value& v) { return static_cast<PropType>(v.index()); }

}  // namespace

void PropertySet::define(const std::string& name, PropType type, std::vector<Value> values) {
  for (const Value& v : values)
    if (typeOf(v) != type) throw std::invalid_argument("Property value of the wrong type: " + name);
  if (Property* p = findMutable(name)) {
    *p = Property{type, values};
  } else {
    props_.emplace_back(name, Property{type, values});
  }
  defaults_.emplace_back(name, Property{type, std::move(values)});
}
void PropertySet::define(const std::string& name, const std::string& value) {
  define(name, PropType::String, {value});
}
void PropertySet::define(const std::string& name, int value) { define(name, PropType::Int, {value}); }
void PropertySet::define(const std::string& name, double value) { define(name, PropType::Double, {value}); }
void PropertySet::define(const std::string& name, void* value) { define(name, PropType::Pointer, {value}); }

Property* PropertySet::findMutable(std::string_view name) {
  for (auto& [n, p] : props_)
    if (n == name) return &p;
  return nullptr;
}

const Property* PropertySet::find(std::string_view name) const {
  for (const auto& [n, p] : props_)
    if (n == name) return &p;
  return nullptr;
}

OfxStatus PropertySet::set(const char* name, int index, Value value) {
  if (name == nullptr || index < 0) return name == nullptr ? kOfxStatErrUnknown : kOfxStatErrBadIndex;
  Property* p = findMutable(name);
  if (p == nullptr) {
    if (!open_) return kOfxStatErrUnknown;
    if (index != 0) return kOfxStatErrBadIndex;
    props_.emplace_back(name, Property{typeOf(value), {std::move(value)}});
    return kOfxStatOK;
  }
  if (p->type != typeOf(value)) return kOfxStatErrValue;
  const auto n = static_cast<int>(p->values.size());
  if (index > n) return kOfxStatErrBadIndex;
  if (index == n) {
    p->values.push_back(std::move(value));
  } else {
    p->values[static_cast<size_t>(index)] = std::move(value);
  }
  return kOfxStatOK;
}

OfxStatus PropertySet::setN(const char* name, std::vector<Value> values) {
  if (name == nullptr) return kOfxStatErrUnknown;
  if (values.empty()) return kOfxStatErrBadIndex;
  Property* p = findMutable(name);
  if (p == nullptr) {
    if (!open_) return kOfxStatErrUnknown;
    props_.emplace_back(name, Property{typeOf(values.front()), std::move(values)});
    return kOfxStatOK;
  }
  if (p->type != typeOf(values.front())) return kOfxStatErrValue;
  p->values = std::move(values);
  return kOfxStatOK;
}

OfxStatus PropertySet::get(const char* name, int index, PropType type, const Value** out) const {
  if (name == nullptr || out == nullptr) return kOfxStatErrBadHandle;
  const Property* p = find(name);
  if (p == nullptr) return kOfxStatErrUnknown;
  if (p->type != type) return kOfxStatErrValue;
  if (index < 0 || index >= static_cast<int>(p->values.size())) return kOfxStatErrBadIndex;
  *out = &p->values[static_cast<size_t>(index)];
  return kOfxStatOK;
}

OfxStatus PropertySet::dimension(const char* name, int* count) const {
  if (name == nullptr || count == nullptr) return kOfxStatErrBadHandle;
  const Property* p = find(name);
  if (p == nullptr) return kOfxStatErrUnknown;
  *count = static_cast<int>(p->values.size());
  return kOfxStatOK;
}

OfxStatus PropertySet::reset(const char* name) {
  if (name == nullptr) return kOfxStatErrUnknown;
  Property* p = findMutable(name);
  if (p == nullptr) return kOfxStatErrUnknown;
  for (auto it = defaults_.rbegin(); it != defaults_.rend(); ++it) {
    if (it->first == name) {
      *p = it->second;
      return kOfxStatOK;
    }
  }
  p->values.clear();
  return kOfxStatOK;
}

int PropertySet::dim(const std::string& name) const {
  const Property* p = find(name);
  return p == nullptr ? -1 : static_cast<int>(p->values.size());
}

const Value& PropertySet::at(const std::string& name, int index, PropType type) const {
  const Value* v = nullptr;
  if (get(name.c_str(), index, type, &v) != kOfxStatOK)
    throw std::out_of_range("No such property value: " + name + "[" + std::to_string(index) + "]");
  return *v;
}

std::string PropertySet::str(const std::string& name, int index) const {
  return std::get<std::string>(at(name, index, PropType::String));
}
int PropertySet::integer(const std::string& name, int index) const {
  return std::get<int>(at(name, index, PropType::Int));
}
double PropertySet::number(const std::string& name, int index) const {
  return std::get<double>(at(name, index, PropType::Double));
}
void* PropertySet::pointer(const std::string& name, int index) const {
  return std::get<void*>(at(name, index, PropType::Pointer));
}

std::vector<std::string> PropertySet::strings(const std::string& name) const {
  std::vector<std::string> out;
  for (int i = 0; i < dim(name); ++i) out.push_back(str(name, i));
  return out;
}

std::vector<std::string> PropertySet::names() const {
  std::vector<std::string> out;
  for (const auto& [n, p] : props_) out.push_back(n);
  return out;
}

}  // namespace vl::host
