// The worker's bookkeeping, driven by settings that fail before any network call.
#include "Core/Sender.h"
#include "Wait.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>

namespace vl {
namespace {

using namespace std::chrono_literals;
using test::waitFor;

Frame picture(int width = 64, int height = 36) {
  Frame frame;
  frame.width = width;
  frame.height = height;
  frame.pixels.assign(static_cast<std::size_t>(width) * height * 3, 0x8000);
  return frame;
}

// No stream chosen: every attempt fails in validation, so nothing leaves the process.
Settings unchosen() { return Settings{}; }

TEST(Sender, StartsStoppedAndDiscardsPicturesWhileDisabled) {
  Sender sender;
  sender.submit(picture());
  sender.configure(unchosen(), false);
  sender.submit(picture());
  const auto stats = sender.stats();
  EXPECT_EQ(stats.status, "Stopped");
  EXPECT_EQ(stats.hostFrames, 0u);
  EXPECT_EQ(stats.queueReplacements, 0u);
  EXPECT_EQ(stats.reconnectAttempts, 0u);
}

TEST(Sender, EnablingWaitsForAFreshPictureAndFailuresBecomeTheStatus) {
  Sender sender;
  sender.configure(unchosen(), true);
  EXPECT_EQ(sender.stats().status, "Waiting for host frames");
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(sender.stats().reconnectAttempts, 0u) << "no attempt without a picture";

  sender.submit(picture());
  ASSERT_TRUE(waitFor([&] { return sender.stats().reconnectAttempts == 1; }));
  EXPECT_EQ(sender.stats().status, "Sign in and choose a veltrane stream");
  EXPECT_EQ(sender.stats().hostFrames, 1u);
  EXPECT_EQ(sender.stats().queueReplacements, 0u);
}

TEST(Sender, RepeatedIdenticalConfigureChangesNothing) {
  Sender sender;
  sender.configure(unchosen(), true);
  sender.submit(picture());
  ASSERT_TRUE(waitFor([&] { return sender.stats().reconnectAttempts == 1; }));
  sender.configure(unchosen(), true);
  sender.configure(unchosen(), true);
  // An effective configure would reset the status and cut the pause short.
  EXPECT_EQ(sender.stats().status, "Sign in and choose a veltrane stream");
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(sender.stats().reconnectAttempts, 1u);
}

TEST(Sender, RetriesAboutEveryTwoSecondsWhileAPictureIsPending) {
  Sender sender;
  sender.configure(unchosen(), true);
  sender.submit(picture());
  ASSERT_TRUE(waitFor([&] { return sender.stats().reconnectAttempts == 1; }));
  const auto first = std::chrono::steady_clock::now();
  ASSERT_TRUE(waitFor([&] { return sender.stats().reconnectAttempts == 2; }, 6000ms));
  const auto gap = std::chrono::steady_clock::now() - first;
  EXPECT_GE(gap, 1900ms);
  EXPECT_LT(gap, 4000ms);
}

TEST(Sender, CountsOnlyPicturesReplacedBeforeTheWorkerTookThem) {
  Sender sender;
  sender.configure(unchosen(), true);
  sender.submit(picture());  // nothing pending: not a replacement
  ASSERT_TRUE(waitFor([&] { return sender.stats().reconnectAttempts == 1; }));
  // The worker has given the picture back and is pausing: the pending one is
  // held by nobody else now, so replacing it counts.
  sender.submit(picture());
  sender.submit(picture());
  const auto stats = sender.stats();
  EXPECT_EQ(stats.hostFrames, 3u);
  EXPECT_EQ(stats.queueReplacements, 2u);
}

TEST(Sender, ChangingSettingsDuringThePauseRetriesAtOnce) {
  Sender sender;
  sender.configure(unchosen(), true);
  sender.submit(picture());
  ASSERT_TRUE(waitFor([&] { return sender.stats().reconnectAttempts == 1; }));
  Settings other = unchosen();
  other.bitrateKbps = 4000;
  const auto changed = std::chrono::steady_clock::now();
  sender.configure(other, true);  // stays enabled: the picture is kept
  // The counter belongs to the sender, not to one configuration.
  ASSERT_TRUE(waitFor([&] { return sender.stats().reconnectAttempts == 2; }, 1500ms));
  EXPECT_LT(std::chrono::steady_clock::now() - changed, 1500ms);
}

TEST(Sender, DisablingDuringThePauseStopsAtOnce) {
  Sender sender;
  sender.configure(unchosen(), true);
  sender.submit(picture());
  ASSERT_TRUE(waitFor([&] { return sender.stats().reconnectAttempts == 1; }));
  sender.configure(unchosen(), false);
  EXPECT_EQ(sender.stats().status, "Stopped");
  // Re-enabled, the old picture is gone; a fresh one starts an attempt without
  // waiting out the old pause.
  sender.configure(unchosen(), true);
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(sender.stats().reconnectAttempts, 1u);
  sender.submit(picture());
  ASSERT_TRUE(waitFor([&] { return sender.stats().reconnectAttempts == 2; }, 1500ms));
}

TEST(Sender, DestroyingWhileBackingOffReturnsPromptly) {
  auto sender = std::make_unique<Sender>();
  sender->configure(unchosen(), true);
  sender->submit(picture());
  ASSERT_TRUE(waitFor([&] { return sender->stats().reconnectAttempts == 1; }));
  const auto start = std::chrono::steady_clock::now();
  sender.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1000ms);
}

}  // namespace
}  // namespace vl
