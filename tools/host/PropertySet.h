#pragma once
// Typed, multi-dimensional property sets as a host keeps them: a property has
// one type for life, reads past its dimension are index errors.
#include "Plugin/ofx.h"

#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace vl::host {

enum class PropType { Pointer, String, Double, Int };
using Value = std::variant<void*, std::string, double, int>;

struct Property {
  PropType type;
  std::vector<Value> values;
};

class PropertySet {
 public:
  // An open set lets the plug-in create properties by writing them (descriptors);
  // a closed one answers unknown names with kOfxStatErrUnknown.
  explicit PropertySet(bool open = false) : open_(open) {}

  void define(const std::string& name, PropType type, std::vector<Value> values);
  void define(const std::string& name, const std::string& value);
  void define(const std::string& name, int value);
  void define(const std::string& name, double value);
  void define(const std::string& name, void* value);

  OfxStatus set(const char* name, int index, Value value);
  OfxStatus setN(const char* name, std::vector<Value> values);
  OfxStatus get(const char* name, int index, PropType type, const Value** out) const;
  OfxStatus dimension(const char* name, int* count) const;
  OfxStatus reset(const char* name);

  const Property* find(std::string_view name) const;
  bool has(std::string_view name) const { return find(name) != nullptr; }
  int dim(const std::string& name) const;  // -1 when absent
  std::string str(const std::string& name, int index = 0) const;
  int integer(const std::string& name, int index = 0) const;
  double number(const std::string& name, int index = 0) const;
  void* pointer(const std::string& name, int index = 0) const;
  std::vector<std::string> strings(const std::string& name) const;
  std::vector<std::string> names() const;  // in creation order

  OfxPropertySetHandle handle() { return reinterpret_cast<OfxPropertySetHandle>(this); }
  static PropertySet* from(OfxPropertySetHandle h) { return reinterpret_cast<PropertySet*>(h); }

 private:
  Property* findMutable(std::string_view name);
  const Value& at(const std::string& name, int index, PropType type) const;

  std::vector<std::pair<std::string, Property>> props_;
  std::vector<std::pair<std::string, Property>> defaults_;
  bool open_;
};

}  // namespace vl::host
