// veltrane-host: plays a timeline through one instance of an OpenFX effect.
#include "Bundle.h"
#include "Options.h"
#include "Player.h"

#include <dlfcn.h>

#include <filesystem>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <vector>

namespace {

// A bundle folder stands for the binary inside it.
std::string binaryOf(const std::string& path) {
  namespace fs = std::filesystem;
  const fs::path p(path);
  if (!fs::is_directory(p)) return path;
  std::string name = p.filename().string();
  if (name.empty()) name = p.parent_path().filename().string();
  const std::string suffix = ".bundle";
  if (name.size() > suffix.size() && name.ends_with(suffix)) name.resize(name.size() - suffix.size());
  return (p / "Contents" / "Linux-x86-64" / name).string();
}

struct Unload {
  void operator()(void* handle) const { dlclose(handle); }
};

int run(const vl::host::Options& o) {
  using namespace vl::host;
  // Libraries a host links against sit in the global scope, ahead of anything the bundle brings.
  std::vector<std::unique_ptr<void, Unload>> preloaded;
  for (const std::string& lib : o.preload) {
    preloaded.emplace_back(dlopen(lib.c_str(), RTLD_NOW | RTLD_GLOBAL));
    if (!preloaded.back()) throw std::runtime_error("Cannot preload " + lib + ": " + dlerror());
  }
  Host host;
  Bundle bundle(binaryOf(o.bundle));
  if (bundle.count() < 1 || bundle.plugin(0) == nullptr) throw std::runtime_error("The bundle offers no plug-in.");
  OfxPlugin& plugin = *bundle.plugin(0);
  const Startup s = start(host, plugin);
  const std::pair<const char*, OfxStatus> steps[] = {
      {"load", s.load}, {"describe", s.describe}, {"describe-in-context", s.describeInContext}};
  for (auto [name, status] : steps) {
    if (!succeeded(status)) {
      std::cerr << "The " << name << " action failed with status " << status << "." << std::endl;
      return 1;
    }
  }
  Tally tally;
  try {
    tally = play(host, plugin, o, std::cerr);
  } catch (...) {
    action(plugin, "OfxActionUnload");  // the plug-in is let go of in order even when play stops
    throw;
  }
  const OfxStatus unload = action(plugin, "OfxActionUnload");
  if (!succeeded(unload)) std::cerr << "The unload action failed with status " << unload << "." << std::endl;
  return tally.failed() || !succeeded(unload) ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  vl::host::Options options;
  try {
    options = vl::host::parseOptions(std::vector<std::string>(argv + 1, argv + argc), VELTRANE_BUNDLE_PATH);
  } catch (const std::exception& e) {
    std::cerr << "veltrane-host: " << e.what() << std::endl;
    return 2;
  }
  if (options.help) {
    std::cout << vl::host::usage();
    return 0;
  }
  try {
    return run(options);
  } catch (const std::exception& e) {
    std::cerr << "veltrane-host: " << e.what() << std::endl;
    return 1;
  }
}
