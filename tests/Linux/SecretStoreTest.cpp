// The token store against a real GNOME Keyring in a private session bus (see
// with-keyring); each test process gets a fresh keyring.
#include "Core/TokenStore.h"
#include "Linux/Child.h"
#include "Failure.h"
#include "VirtualDisplay.h"

#include <gtest/gtest.h>
#include <libsecret/secret.h>

#include <sstream>
#include <csignal>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using vl::test::failure;

std::string serviceName() {
  return std::string("com.veltrane.ofx.account.") + program_invocation_short_name;
}

struct Output {
  int status = -1;
  std::string text;
};

// secret-tool on the origin's item (plus any extra attributes), independently of the store.
Output secretTool(const std::string& command, const std::string& origin, const std::string& input = {},
                  std::vector<std::string> extra = {}) {
  std::vector<std::string> args{"secret-tool", command};
  if (command == "store") args.push_back("--label=outside");
  if (command == "search") args.push_back("--all");
  for (const std::string& a : {std::string("service"), serviceName(), std::string("account"), origin}) args.push_back(a);
  args.insert(args.end(), extra.begin(), extra.end());
  vl::Child child(args, input, command == "search");  // search lists part of each item on standard error
  const int status = child.wait();
  return {status, child.output() + child.errors()};
}

Output lookup(const std::string& origin) { return secretTool("lookup", origin); }

void storeOutside(const std::string& origin, const std::string& token) {
  ASSERT_EQ(secretTool("store", origin, token).status, 0);
}

int itemCount(const std::string& origin) {
  std::istringstream lines(secretTool("search", origin).text);
  int count = 0;
  for (std::string line; std::getline(lines, line);) count += line.rfind("[", 0) == 0;
  return count;
}

void lockAll() {
  GError* error = nullptr;
  SecretService* service = secret_service_get_sync(SECRET_SERVICE_LOAD_COLLECTIONS, nullptr, &error);
  ASSERT_NE(service, nullptr) << (error ? error->message : "");
  GList* collections = secret_service_get_collections(service);
  ASSERT_NE(collections, nullptr);
  GList* locked = nullptr;
  int count = secret_service_lock_sync(service, collections, nullptr, &locked, &error);
  EXPECT_GT(count, 0) << (error ? error->message : "");
  g_list_free_full(locked, g_object_unref);
  g_list_free_full(collections, g_object_unref);
  g_object_unref(service);
  if (error) g_error_free(error);
}

// Whether the origin's one item lies in the collection the default alias names (the
// login keyring, kept across log-ins), not in the session one.
bool inDefaultCollection(const std::string& origin) {
  GError* error = nullptr;
  SecretService* service = secret_service_get_sync(SECRET_SERVICE_NONE, nullptr, &error);
  if (!service) return false;
  SecretCollection* collection =
      secret_collection_for_alias_sync(service, SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, nullptr, &error);
  GHashTable* attributes = g_hash_table_new(g_str_hash, g_str_equal);
  const std::string name = serviceName();
  g_hash_table_insert(attributes, const_cast<char*>("service"), const_cast<char*>(name.c_str()));
  g_hash_table_insert(attributes, const_cast<char*>("account"), const_cast<char*>(origin.c_str()));
  GList* items = secret_service_search_sync(service, nullptr, attributes, SECRET_SEARCH_ALL, nullptr, &error);
  bool inside = false;
  if (collection && items && !items->next) {
    const std::string prefix = g_dbus_proxy_get_object_path(G_DBUS_PROXY(collection)) + std::string("/");
    inside = std::string(g_dbus_proxy_get_object_path(G_DBUS_PROXY(items->data))).rfind(prefix, 0) == 0;
  }
  g_list_free_full(items, g_object_unref);
  g_hash_table_unref(attributes);
  if (collection) g_object_unref(collection);
  g_object_unref(service);
  if (error) g_error_free(error);
  return inside;
}

const std::string token68 = "ofx_" + std::string(64, 'a');

TEST(SecretStore, SavedTokenIsOneItemInTheDefaultCollectionAndSavingAgainReplacesIt) {
  const std::string origin = "https://api.veltrane.example";
  EXPECT_EQ(vl::loadToken(origin), "");
  vl::saveToken(origin, "first");
  vl::saveToken(origin, token68);
  EXPECT_EQ(vl::loadToken(origin), token68);
  EXPECT_EQ(lookup(origin).text, token68);
  EXPECT_EQ(itemCount(origin), 1);
  EXPECT_TRUE(inDefaultCollection(origin));
  // Bytes are kept as given; forgetting another origin leaves this one's cache alone.
  const std::string bytes = std::string("a\0b\xff\n c", 7);
  vl::saveToken(origin, bytes);
  vl::forgetToken("https://unrelated.example");
  EXPECT_EQ(vl::loadToken(origin), bytes);
}

TEST(SecretStore, SavingMergesDuplicatesLeftByOtherTools) {
  const std::string origin = "http://localhost:9";
  storeOutside(origin, "old");
  // secret-tool replaces by its own attribute set, so this makes a second item.
  secretTool("store", origin, "new", {"extra", "x"});
  ASSERT_EQ(itemCount(origin), 2);
  vl::saveToken(origin, token68);
  EXPECT_EQ(itemCount(origin), 1);
  EXPECT_EQ(lookup(origin).text, token68);
}

TEST(SecretStore, KnownTokensAreReadFromTheCacheMissingOnesAreNotCached) {
  const std::string origin = "https://cache.example";
  EXPECT_EQ(vl::loadToken(origin), "");
  storeOutside(origin, "from-keyring");
  EXPECT_EQ(vl::loadToken(origin), "from-keyring");
  storeOutside(origin, "changed-outside");
  ASSERT_EQ(lookup(origin).text, "changed-outside");
  EXPECT_EQ(vl::loadToken(origin), "from-keyring");
}

TEST(SecretStore, ForgetRemovesItemAndCacheOfThatOriginOnly) {
  // A trailing slash makes another origin.
  vl::saveToken("https://slash.example", "without");
  vl::saveToken("https://slash.example/", "with");
  EXPECT_EQ(vl::loadToken("https://slash.example/"), "with");
  EXPECT_EQ(lookup("https://slash.example/").text, "with");
  vl::forgetToken("https://slash.example/");
  EXPECT_EQ(vl::loadToken("https://slash.example/"), "");
  EXPECT_NE(lookup("https://slash.example/").status, 0);
  EXPECT_EQ(itemCount("https://slash.example/"), 0);
  EXPECT_EQ(vl::loadToken("https://slash.example"), "without");
  EXPECT_EQ(lookup("https://slash.example").text, "without");
  EXPECT_NO_THROW(vl::forgetToken("https://slash.example/"));
  EXPECT_NO_THROW(vl::forgetToken("https://never-saved.example"));
}

TEST(SecretStore, LockedKeyringReadsAsSignedOutWithoutPrompt) {
  // A prompter that can show on a display: a read asking to unlock would wait for a user.
  const vl::test::VirtualDisplay display;
  vl::Child update({"dbus-update-activation-environment", "DISPLAY=" + display.name(), "NO_AT_BRIDGE=1"});
  ASSERT_EQ(update.wait(), 0);
  const std::string origin = "https://locked.example";
  storeOutside(origin, "hidden");
  lockAll();
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

TEST(SecretStore, ConcurrentCallersSeeTheirOwnTokens) {
  constexpr int threads = 6;
  constexpr int rounds = 5;
  const std::string shared = "https://shared.example";
  vl::saveToken(shared, "shared-token");
  std::atomic<int> wrong{0};
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t)
    workers.emplace_back([&, t] {
      const std::string origin = "https://thread" + std::to_string(t) + ".example";
      for (int r = 0; r < rounds; ++r) {
        const std::string token = "t" + std::to_string(t) + "r" + std::to_string(r);
        vl::saveToken(origin, token);
        if (vl::loadToken(origin) != token) ++wrong;
        if (vl::loadToken(shared) != "shared-token") ++wrong;
        if (r % 2) {
          vl::forgetToken(origin);
          if (!vl::loadToken(origin).empty()) ++wrong;
        }
      }
    });
  for (auto& w : workers) w.join();
  EXPECT_EQ(wrong.load(), 0);
  for (int t = 0; t < threads; ++t)
    EXPECT_EQ(lookup("https://thread" + std::to_string(t) + ".example").text,
              "t" + std::to_string(t) + "r" + std::to_string(rounds - 1));
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
  const std::string expected =
      "Sign-in needs a keyring: no Secret Service (such as GNOME Keyring or KWallet) is "
      "answering on the session bus (";
  const auto start = std::chrono::steady_clock::now();
  for (const std::string& message : {failure([] { vl::loadToken("https://none.example"); }),
                                     failure([] { vl::saveToken("https://none.example", token68); }),
                                     failure([] { vl::forgetToken("https://none.example"); })})
    EXPECT_EQ(message.substr(0, expected.size()), expected) << message;
  // Bounded well below the store's own time limit: nothing waited for an answer.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
  const char* home = std::getenv("HOME");
  ASSERT_NE(home, nullptr);
  for (const auto& entry : std::filesystem::recursive_directory_iterator(home))
    ADD_FAILURE() << "the store wrote " << entry.path();
}

}  // namespace
