#pragma once
// A fresh host and a freshly opened bundle for every test; InstanceTest adds a described
// plug-in with one live instance, the host-side moves a test makes on it, and a user at
// the terminal dialogs.
#include "Bundle.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace vl::host {

// While it lives, stdin and stderr are pipes, and a thread answers each prompt it
// recognises as a person would type.
class Terminal {
 public:
  using Rule = std::pair<std::string, std::string>;  // prompt text, the line typed at it
  using Rules = std::vector<Rule>;

  explicit Terminal(Rules rules) : rules_(std::move(rules)) {
    int in[2], err[2];
    if (pipe(in) != 0 || pipe(err) != 0) throw std::runtime_error("Cannot make the terminal pipes.");
    savedIn_ = dup(STDIN_FILENO);
    savedErr_ = dup(STDERR_FILENO);
    dup2(in[0], STDIN_FILENO);
    dup2(err[1], STDERR_FILENO);
    close(in[0]);
    close(err[1]);
    typing_ = in[1];
    reading_ = err[0];
    setenv("VELTRANE_DIALOGS", "terminal", 1);
    thread_ = std::thread([this] { run(); });
  }

  ~Terminal() {
    // Restoring stderr closes the last writer, which ends the reader.
    dup2(savedErr_, STDERR_FILENO);
    close(savedErr_);
    thread_.join();
    dup2(savedIn_, STDIN_FILENO);
    close(savedIn_);
    close(reading_);
    close(typing_);
  }

  // Everything written so far, once the writers have paused briefly.
  std::string shown() {
    std::unique_lock lock(mutex_);
    std::size_t seen = std::string::npos;
    while (seen != text_.size()) {
      seen = text_.size();
      changed_.wait_for(lock, std::chrono::milliseconds(50));
    }
    return text_;
  }

 private:
  void run() {
    char buffer[4096];
    std::size_t answered = 0;  // prompts are matched only in text after the last answer
    for (;;) {
      const ssize_t n = read(reading_, buffer, sizeof buffer);
      if (n <= 0) return;
      std::lock_guard lock(mutex_);
      text_.append(buffer, static_cast<std::size_t>(n));
      // Answer every prompt in the order it appeared, each appearance once.
      for (;;) {
        std::size_t first = std::string::npos;
        const Rule* rule = nullptr;
        for (const auto& r : rules_) {
          const auto at = text_.find(r.first, answered);
          if (at < first) first = at, rule = &r;
        }
        if (rule == nullptr) break;
        answered = first + rule->first.size();
        const std::string typed = rule->second + "\n";
        if (write(typing_, typed.data(), typed.size()) < 0) return;
      }
      changed_.notify_all();
    }
  }

  Rules rules_;
  int savedIn_, savedErr_, typing_, reading_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::string text_;
  std::thread thread_;
};

class BundleTest : public ::testing::Test {
 protected:
  void SetUp() override { unsetenv("VELTRANE_OFX_DIAGNOSTICS"); }

  // setHost and the load action only, for tests that arrange faults before describing.
  OfxStatus load() {
    plugin.setHost(host.ofxHost());
    return action(plugin, "OfxActionLoad");
  }

  Host host;
  Bundle bundle{builtBundlePath()};
  OfxPlugin& plugin = *bundle.plugin(0);
};

class InstanceTest : public BundleTest {
 protected:
  void SetUp() override {
    BundleTest::SetUp();
    ASSERT_EQ(start(host, plugin).describeInContext, kOfxStatOK);
  }
  void TearDown() override {
    // The bundle is unloaded after each test; no worker thread may outlive it.
    if (created) {
      EXPECT_EQ(action(plugin, "OfxActionDestroyInstance", fx->handle()), kOfxStatOK);
    }
  }

  void make() { fx = &host.createInstance("OfxImageEffectContextFilter"); }
  void create() {
    if (fx == nullptr) make();
    ASSERT_EQ(action(plugin, "OfxActionCreateInstance", fx->handle()), kOfxStatOK);
    created = true;
  }

  Param& param(const std::string& name) {
    Param* p = fx->param(name);
    if (p == nullptr) throw std::runtime_error("no parameter " + name);
    return *p;
  }
  template <typename T>
  void set(const std::string& name, T value) {
    param(name).value = Value(value);
  }
  const PropertySet& props(const std::string& name) { return param(name).props; }
  Clip& source() { return *fx->clip("Source"); }
  Clip& output() { return *fx->clip("Output"); }

  // Both clips get the same shape.
  void shape(const ClipImage& image) {
    source().image = image;
    output().image = image;
  }

  struct RenderArgs {
    double time = 0.0;
    OfxRectI window{0, 0, 16, 9};
    double scaleX = 1.0, scaleY = 1.0;
    int thumbnail = -1;  // -1: the property is absent
  };
  OfxStatus render(const RenderArgs& args) {
    PropertySet in;
    in.define("OfxPropTime", args.time);
    in.define("OfxImageEffectPropFieldToRender", std::string("OfxImageFieldNone"));
    in.define("OfxImageEffectPropRenderWindow", PropType::Int,
              {args.window.x1, args.window.y1, args.window.x2, args.window.y2});
    in.define("OfxImageEffectPropRenderScale", PropType::Double, {args.scaleX, args.scaleY});
    if (args.thumbnail >= 0) in.define("OfxImageEffectPropThumbnailRender", args.thumbnail);
    return action(plugin, "OfxImageEffectActionRender", fx->handle(), &in);
  }
  OfxStatus render(double time = 0.0) { return render({time, source().image.bounds}); }

  // A sequence of renders that is not interactive: an export.
  OfxStatus sequence(bool begin) {
    PropertySet in;
    in.define("OfxPropIsInteractive", 0);
    return action(plugin, begin ? "OfxImageEffectActionBeginSequenceRender" : "OfxImageEffectActionEndSequenceRender",
                  fx->handle(), &in);
  }

  // A parameter change as the host reports it; an empty name leaves "OfxPropName" out.
  OfxStatus changed(const std::string& name) {
    PropertySet in;
    if (!name.empty()) in.define("OfxPropName", name);
    in.define("OfxPropType", std::string("OfxTypeParameter"));
    in.define("OfxPropChangeReason", std::string("OfxChangeUserEdited"));
    in.define("OfxPropTime", 0.0);
    return action(plugin, "OfxActionInstanceChanged", fx->handle(), &in);
  }

  // What the user sees after pressing a button, with Enter pressed at every message.
  std::string press(const std::string& name, Terminal::Rules answers = {{"[Press Enter to continue]", ""}}) {
    Terminal user(std::move(answers));
    EXPECT_EQ(changed(name), kOfxStatOK) << name;
    return user.shown();
  }
  // The sender's counters as the status button shows them.
  std::string status() { return press("status"); }
  // Sending switched on, as the user does it.
  void enable() {
    set("enabled", 1);
    press("enabled");
  }

  Effect* fx = nullptr;
  bool created = false;
};

}  // namespace vl::host
