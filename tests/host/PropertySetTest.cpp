#include "PropertySet.h"

#include <gtest/gtest.h>

namespace vl::host {
namespace {

TEST(PropertySet, TypeAndIndexMistakesAreErrorsLikeARealHost) {
  PropertySet closed;
  closed.define("OfxImagePropBounds", PropType::Int, {0, 0, 4, 2});
  const Value* v = nullptr;
  EXPECT_EQ(closed.get("OfxImagePropBounds", 3, PropType::Int, &v), kOfxStatOK);
  EXPECT_EQ(std::get<int>(*v), 2);
  EXPECT_EQ(closed.get("OfxImagePropBounds", 4, PropType::Int, &v), kOfxStatErrBadIndex);
  EXPECT_EQ(closed.get("OfxImagePropBounds", -1, PropType::Int, &v), kOfxStatErrBadIndex);
  EXPECT_EQ(closed.get("OfxImagePropBounds", 0, PropType::Double, &v), kOfxStatErrValue);
  EXPECT_EQ(closed.get("OfxImagePropMissing", 0, PropType::Int, &v), kOfxStatErrUnknown);
  EXPECT_EQ(closed.set("OfxImagePropMissing", 0, Value(1)), kOfxStatErrUnknown) << "closed sets do not grow";
  EXPECT_EQ(closed.set("OfxImagePropBounds", 0, Value(std::string("x"))), kOfxStatErrValue);
  EXPECT_EQ(closed.set("OfxImagePropBounds", 6, Value(1)), kOfxStatErrBadIndex);
}

TEST(PropertySet, OpenSetsGrowByOneAndResetToDefaults) {
  PropertySet open(true);
  EXPECT_EQ(open.set("OfxParamPropChoiceOption", 1, Value(std::string("b"))), kOfxStatErrBadIndex);
  EXPECT_EQ(open.set("OfxParamPropChoiceOption", 0, Value(std::string("a"))), kOfxStatOK);
  EXPECT_EQ(open.set("OfxParamPropChoiceOption", 1, Value(std::string("b"))), kOfxStatOK);
  EXPECT_EQ(open.strings("OfxParamPropChoiceOption"), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(open.set("OfxParamPropChoiceOption", 0, Value(3)), kOfxStatErrValue) << "the first write fixes the type";

  open.define("OfxPropLabel", std::string("first"));
  EXPECT_EQ(open.set("OfxPropLabel", 0, Value(std::string("changed"))), kOfxStatOK);
  EXPECT_EQ(open.reset("OfxPropLabel"), kOfxStatOK);
  EXPECT_EQ(open.str("OfxPropLabel"), "first");
  int n = -1;
  EXPECT_EQ(open.dimension("OfxParamPropChoiceOption", &n), kOfxStatOK);
  EXPECT_EQ(n, 2);
  EXPECT_EQ(open.names(), (std::vector<std::string>{"OfxParamPropChoiceOption", "OfxPropLabel"}));
}

}  // namespace
}  // namespace vl::host
