// Token store over the Secret Service (GNOME Keyring, KWallet) through libsecret.
// Reads and deletions never unlock anything, so they can never raise a prompt; a
// locked item reads as signed out. Without a Secret Service the store fails closed.
#include "Core/TokenStore.h"

#include "Core/Check.h"

#include <libsecret/secret.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace vl {
namespace {

using namespace std::chrono_literals;

// Reads and deletions need no user; a save may wait for the user to unlock the keyring.
constexpr auto quickLimit = 5s;
constexpr auto saveLimit = 120s;

std::mutex keychainMutex;
std::map<std::string, std::string> cachedTokens;

struct GErrorFree { void operator()(GError* e) const { g_error_free(e); } };
struct GObjectUnref { void operator()(gpointer p) const { g_object_unref(p); } };
struct HashTableUnref { void operator()(GHashTable* t) const { g_hash_table_unref(t); } };
struct SecretValueUnref { void operator()(SecretValue* v) const { secret_value_unref(v); } };
struct ItemListFree {
  void operator()(GList* l) const { g_list_free_full(l, g_object_unref); }
};
using Error = std::unique_ptr<GError, GErrorFree>;
using Cancellable = std::unique_ptr<GCancellable, GObjectUnref>;
using Service = std::unique_ptr<SecretService, GObjectUnref>;
using Attributes = std::unique_ptr<GHashTable, HashTableUnref>;
using Value = std::unique_ptr<SecretValue, SecretValueUnref>;
using ItemList = std::unique_ptr<GList, ItemListFree>;

// Collects a GError from a call that takes GError**.
class ErrorSlot {
public:
  GError** out() { return &raw_; }
  Error take() { Error e(raw_); raw_ = nullptr; return e; }
  ~ErrorSlot() { if (raw_) g_error_free(raw_); }
private:
  GError* raw_ = nullptr;
};

// Cancels the calls made with it once the limit has passed, so no keyring call can
// hang the caller.
class Deadline {
public:
  explicit Deadline(std::chrono::seconds limit)
      : limit_(limit), cancellable_(g_cancellable_new()), thread_([this] { watch(); }) {}
  ~Deadline() {
    {
      std::lock_guard lock(mutex_);
      finished_ = true;
    }
    wake_.notify_one();
    thread_.join();
  }
  Deadline(const Deadline&) = delete;
  Deadline& operator=(const Deadline&) = delete;

  GCancellable* cancellable() const { return cancellable_.get(); }
  std::chrono::seconds limit() const { return limit_; }

private:
  void watch() {
    std::unique_lock lock(mutex_);
    if (!wake_.wait_for(lock, limit_, [this] { return finished_; }))
      g_cancellable_cancel(cancellable_.get());
  }

  std::chrono::seconds limit_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool finished_ = false;
  Cancellable cancellable_;
  std::thread thread_;
};

// Matched by service and account only, like the macOS item, so an item written by
// another tool with the same attributes is the same item.
const SecretSchema* schema() {
  static const SecretSchema s = {
      "com.veltrane.ofx.Account",
      SECRET_SCHEMA_DONT_MATCH_NAME,
      {{"service", SECRET_SCHEMA_ATTRIBUTE_STRING},
       {"account", SECRET_SCHEMA_ATTRIBUTE_STRING},
       {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING}},
      0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
  return &s;
}

std::string serviceName() {
  const char* name = program_invocation_short_name;
  return std::string("com.veltrane.ofx.account.") + (name && *name ? name : "veltrane");
}

// The two attributes of the item; the strings are owned by the table.
Attributes key(const std::string& origin) {
  Attributes table(g_hash_table_new_full(g_str_hash, g_str_equal, g_free, g_free));
  g_hash_table_insert(table.get(), g_strdup("service"), g_strdup(serviceName().c_str()));
  g_hash_table_insert(table.get(), g_strdup("account"), g_strdup(origin.c_str()));
  return table;
}

// A GError code of 0 is still a failure; it must not pass the status check.
std::int64_t statusOf(const GError* error) { return error->code != 0 ? error->code : -1; }

[[noreturn]] void fail(const Error& error, const Deadline& deadline, const char* message) {
  if (g_error_matches(error.get(), G_IO_ERROR, G_IO_ERROR_CANCELLED) &&
      g_cancellable_is_cancelled(deadline.cancellable()))
    throw std::runtime_error("The keyring did not answer within " +
                             std::to_string(deadline.limit().count()) +
                             " seconds; check that it is running, then try again");
  check(statusOf(error.get()), message);
  throw std::logic_error("unreachable");
}

Service connect(const Deadline& deadline) {
  ErrorSlot error;
  Service service(secret_service_get_sync(SECRET_SERVICE_OPEN_SESSION, deadline.cancellable(),
                                          error.out()));
  if (!service) {
    const char* message =
        "Sign-in needs a keyring: no Secret Service (such as GNOME Keyring or KWallet) is "
        "answering on the session bus";
    Error e = error.take();
    if (!e) throw std::runtime_error(message);
    fail(e, deadline, message);
  }
  return service;
}

ItemList search(SecretService* service, const std::string& origin, SecretSearchFlags flags,
                const Deadline& deadline, const char* message) {
  ErrorSlot error;
  Attributes attributes = key(origin);
  ItemList items(secret_service_search_sync(service, schema(), attributes.get(), flags,
                                            deadline.cancellable(), error.out()));
  if (Error e = error.take()) fail(e, deadline, message);
  return items;
}

}  // namespace

std::string loadToken(const std::string& origin) {
  std::lock_guard lock(keychainMutex);
  if (auto it = cachedTokens.find(origin); it != cachedTokens.end()) return it->second;

  const char* message = "Could not read veltrane token from the keyring";
  Deadline deadline(quickLimit);
  Service service = connect(deadline);
  // No SECRET_SEARCH_UNLOCK: a locked item stays locked and its secret unloaded.
  ItemList items = search(service.get(), origin, SECRET_SEARCH_LOAD_SECRETS, deadline, message);
  if (!items) return {};
  auto* item = static_cast<SecretItem*>(items->data);
  Value value(secret_item_get_secret(item));
  if (!value) return {};
  gsize length = 0;
  const gchar* bytes = secret_value_get(value.get(), &length);
  std::string token(bytes, length);
  cachedTokens[origin] = token;
  return token;
}

void saveToken(const std::string& origin, const std::string& token) {
  std::lock_guard lock(keychainMutex);
  const char* message = "Could not save veltrane token in the keyring";
  Deadline deadline(saveLimit);
  Service service = connect(deadline);
  Value value(secret_value_new(token.data(), static_cast<gssize>(token.size()), "text/plain"));

  // Replace the existing item, if any; writes may ask the user to unlock.
  ItemList items = search(service.get(), origin,
                          static_cast<SecretSearchFlags>(SECRET_SEARCH_ALL | SECRET_SEARCH_UNLOCK),
                          deadline, message);
  ErrorSlot error;
  if (items) {
    auto* first = static_cast<SecretItem*>(items->data);
    if (!secret_item_set_secret_sync(first, value.get(), deadline.cancellable(), error.out()))
      fail(error.take(), deadline, message);
    // Duplicates left by other tools would make reads ambiguous.
    for (GList* l = items->next; l; l = l->next)
      if (!secret_item_delete_sync(static_cast<SecretItem*>(l->data), deadline.cancellable(),
                                   error.out()))
        fail(error.take(), deadline, message);
  } else {
    Attributes attributes = key(origin);
    const std::string label = "veltrane account token for " + origin;
    if (!secret_service_store_sync(service.get(), schema(), attributes.get(),
                                   SECRET_COLLECTION_DEFAULT, label.c_str(), value.get(),
                                   deadline.cancellable(), error.out()))
      fail(error.take(), deadline, message);
  }
  cachedTokens[origin] = token;
}

void forgetToken(const std::string& origin) {
  std::lock_guard lock(keychainMutex);
  cachedTokens.erase(origin);

  const char* message = "Could not remove veltrane token";
  Deadline deadline(quickLimit);
  Service service = connect(deadline);
  ItemList items = search(service.get(), origin, SECRET_SEARCH_ALL, deadline, message);
  for (GList* l = items.get(); l; l = l->next) {
    ErrorSlot error;
    if (secret_item_delete_sync(static_cast<SecretItem*>(l->data), deadline.cancellable(),
                                error.out()))
      continue;
    Error e = error.take();
    // Deleting from a locked collection would need an unlock, which may prompt.
    if (g_error_matches(e.get(), SECRET_ERROR, SECRET_ERROR_IS_LOCKED))
      throw std::runtime_error(
          "Could not remove veltrane token while the keyring is locked; unlock it and sign out "
          "again");
    fail(e, deadline, message);
  }
}

}  // namespace vl
