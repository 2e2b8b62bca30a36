// The worker's bookkeeping, driven by settings that fail before any network call.
#include "Core/Sender.h"
#include "Wait.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace vl {
namespace {

using namespace std::chrono_literals;
using test::waitFor;

Frame picture() { return Frame{64, 36, 0, Samples(64 * 36 * 3, 0x8000)}; }

// No stream chosen: every attempt fails in validation, so nothing leaves the process.
const Settings kUnchosen{};

TEST(Sender, CountsPicturesRetriesAboutEveryTwoSecondsAndActsAtOnceOnChanges) {
  auto owned = std::make_unique<Sender>();
  Sender& sender = *owned;
  sender.submit(picture());
  sender.configure(kUnchosen, false);
  sender.submit(picture());
  EXPECT_EQ(sender.stats().status, "Stopped");
  EXPECT_EQ(sender.stats().hostFrames, 0u) << "pictures are discarded while disabled";

  sender.configure(kUnchosen, true);
  EXPECT_EQ(sender.stats().status, "Waiting for host frames");
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(sender.stats().reconnectAttempts, 0u) << "no attempt without a picture";
  sender.submit(picture());  // nothing pending: not a replacement
  ASSERT_TRUE(waitFor([&] { return sender.stats().reconnectAttempts == 1; }));
  const auto first = std::chrono::steady_clock::now();
  EXPECT_EQ(sender.stats().status, "Sign in and choose a veltrane stream");

  // The worker has given the picture back and is pausing: the pending one is held by
  // nobody else now, so replacing it counts.
  sender.submit(picture());
  sender.submit(picture());
  EXPECT_EQ(sender.stats().hostFrames, 3u);
  EXPECT_EQ(sender.stats().queueReplacements, 2u);
  // An effective configure would reset the status and cut the pause short.
  sender.configure(kUnchosen, true);
  EXPECT_EQ(sender.stats().status, "Sign in and choose a veltrane stream");

  ASSERT_TRUE(waitFor([&] { return sender.stats().reconnectAttempts == 2; }, 6000ms));
  const auto gap = std::chrono::steady_clock::now() - first;
  EXPECT_GE(gap, 1900ms);
  EXPECT_LT(gap, 4000ms);

  // Other settings, still enabled: the picture is kept and tried again at once. The
  // counter belongs to the sender, not to one configuration.
  Settings other = kUnchosen;
  other.bitrateKbps = 4000;
  sender.configure(other, true);
  ASSERT_TRUE(waitFor([&] { return sender.stats().reconnectAttempts == 3; }, 1500ms));
  // Re-enabled, the old picture is gone; a fresh one starts an attempt without waiting
  // out the old pause.
  sender.configure(other, false);
  sender.configure(other, true);
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(sender.stats().reconnectAttempts, 3u);
  sender.submit(picture());
  ASSERT_TRUE(waitFor([&] { return sender.stats().reconnectAttempts == 4; }, 1500ms));

  const auto start = std::chrono::steady_clock::now();
  owned.reset();  // while backing off
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1000ms);
}

}  // namespace
}  // namespace vl
