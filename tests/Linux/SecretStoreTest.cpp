// The token store against a real GNOME Keyring in a private session bus (see
// with-keyring); each test process gets a fresh keyring.
#include "Core/TokenStore.h"
#include "Linux/Child.h"
#include "Failure.h"
#include "VirtualDisplay.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <string>
#include <vector>

namespace {

using vl::test::failure;

const std::string service = std::string("com.veltrane.ofx.account.") + program_invocation_short_name;

// secret-tool on the origin's item, independently of the store.
std::string secretTool(const std::string& command, const std::string& origin, const std::string& input = {},
                       std::vector<std::string> extra = {}) {
  std::vector<std::string> args{"secret-tool", command, "--label=outside", "service", service, "account", origin};
  if (command != "store") args.erase(args.begin() + 2);
  args.insert(args.end(), extra.begin(), extra.end());
  vl::Child child(args, input);
  EXPECT_EQ(child.wait(), 0) << command;
  return child.output();
}

std::string secrets(const std::string& object, const std::string& method, const std::string& argument) {
  vl::Child child({"gdbus", "call", "--session", "-d", "org.freedesktop.secrets", "-o", object, "-m",
                   "org.freedesktop.Secret." + method, argument});
  EXPECT_EQ(child.wait(), 0) << method;
  return child.output();
}

// The collection the default alias names: the login keyring, kept across log-ins, unlike the session one.
std::string defaultCollection() {
  const std::string alias = secrets("/org/freedesktop/secrets", "Service.ReadAlias", "default");
  const auto start = alias.find('\'') + 1;
  return alias.substr(start, alias.find('\'', start) - start);
}

int itemsInDefaultCollection(const std::string& origin) {
  const std::string found = secrets(defaultCollection(), "Collection.SearchItems",
                                    "{'service': '" + service + "', 'account': '" + origin + "'}");
  const std::string item = "'/org/freedesktop/secrets/collection/";
  int count = 0;
  for (auto at = found.find(item); at != std::string::npos; at = found.find(item, at + 1)) ++count;
  return count;
}

const std::string token68 = "ofx_" + std::string(64, 'a');

// A new token is one item in the default collection; saving again replaces it and merges
// duplicates other tools left.
TEST(SecretStore, SavedTokenIsOneItemInTheDefaultCollection) {
  const std::string origin = "https://api.veltrane.example";
  EXPECT_EQ(vl::loadToken(origin), "");
  vl::saveToken(origin, "first");
  EXPECT_EQ(itemsInDefaultCollection(origin), 1);
  secretTool("store", origin, "new", {"extra", "x"});  // secret-tool's own attribute set: a second item
  ASSERT_EQ(itemsInDefaultCollection(origin), 2);
  vl::saveToken(origin, token68);
  EXPECT_EQ(vl::loadToken(origin), token68);
  EXPECT_EQ(secretTool("lookup", origin), token68);
  EXPECT_EQ(itemsInDefaultCollection(origin), 1);
  const std::string bytes = std::string("a\0b\xff\n c", 7);  // kept as given
  vl::saveToken(origin, bytes);
  EXPECT_EQ(vl::loadToken(origin), bytes);
}

TEST(SecretStore, LockedKeyringReadsAsSignedOutWithoutPrompt) {
  // A prompter that can show on a display: a read asking to unlock would wait for a user.
  const vl::test::VirtualDisplay display;
  ASSERT_EQ(vl::Child({"dbus-update-activation-environment", "DISPLAY=" + display.name(), "NO_AT_BRIDGE=1"}).wait(), 0);
  const std::string origin = "https://locked.example";
  secretTool("store", origin, "hidden");
  secrets("/org/freedesktop/secrets", "Service.Lock", "['" + defaultCollection() + "']");
  // A read that prompts waits for the user past any deadline: end the run rather than hang.
  auto read = std::async(std::launch::async, [&] { return vl::loadToken(origin); });
  if (read.wait_for(std::chrono::seconds(3)) != std::future_status::ready) {
    std::fprintf(stderr, "The read of a locked keyring is waiting for an unlock prompt.\n");
    kill(display.pid(), SIGTERM);
    std::_Exit(1);
  }
  EXPECT_EQ(read.get(), "");
  EXPECT_EQ(failure([&] { vl::forgetToken(origin); }),
            "Could not remove veltrane token while the keyring is locked; unlock it and sign out again");
}

// The keyring owns its bus name but is stopped, so no call is ever answered.
TEST(UnansweringKeyring, CallsGiveUpAtTheirTimeLimit) {
  const char* pid = std::getenv("VELTRANE_TEST_KEYRING_PID");
  ASSERT_NE(pid, nullptr);
  ASSERT_EQ(kill(std::atoi(pid), SIGSTOP), 0);
  const auto start = std::chrono::steady_clock::now();
  const std::string message = failure([] { vl::loadToken("https://stopped.example"); });
  const auto took = std::chrono::steady_clock::now() - start;
  kill(std::atoi(pid), SIGCONT);
  EXPECT_EQ(message,
            "The keyring did not answer within 5 seconds; check that it is running, then try again");
  EXPECT_LT(took, std::chrono::seconds(15));
}

// Runs with a session bus address where nothing listens.
TEST(NoKeyring, EveryCallFailsClosedQuicklyAndWritesNoFile) {
  const auto start = std::chrono::steady_clock::now();
  for (const std::string& message : {failure([] { vl::loadToken("https://none.example"); }),
                                     failure([] { vl::saveToken("https://none.example", token68); }),
                                     failure([] { vl::forgetToken("https://none.example"); })})
    EXPECT_EQ(message.rfind("Sign-in needs a keyring: no Secret Service", 0), 0u) << message;
  // Bounded well below the store's own time limit: nothing waited for an answer.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
  const char* home = std::getenv("HOME");
  ASSERT_NE(home, nullptr);
  for (const auto& entry : std::filesystem::recursive_directory_iterator(home))
    ADD_FAILURE() << "the store wrote " << entry.path();
}

}  // namespace
