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

  // setHost and the load action only, for tests that arrange faults before describing.
  OfxStatus load() {
    plugin.setHost(host.ofxHost());
    return action(plugin, "OfxActionLoad");
  }

  Host host;
  Bundle bundle{builtBundlePath()};
  OfxPlugin& plugin = *bundle.plugin(0);
};

}  // namespace vl::host
