#pragma once
// A fresh host and a freshly opened bundle for every test.
#include "Bundle.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace vl::host {

class BundleTest : public ::testing::Test {
 protected:
  void SetUp() override { unsetenv("VELTRANE_OFX_DIAGNOSTICS"); }
  void TearDown() override { unsetenv("VELTRANE_OFX_DIAGNOSTICS"); }

  Host host;
  Bundle bundle{builtBundlePath()};
  OfxPlugin& plugin = *bundle.plugin(0);
};

}  // namespace vl::host
