#pragma once
// A scriptable HTTP server on loopback for exercising the client through real
// libcurl. Replies are scripted per request target (the raw, still-escaped path);
// every request is recorded as it arrived.
#include "../support/Failure.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace vl::test {

// The account client's user-facing sentences.
inline constexpr const char* kConnectionFailed = "veltrane API connection failed (check server and TLS)";
inline constexpr const char* kAuthFailed = "veltrane authentication failed; sign in again and check access";
inline constexpr const char* kBackendOutdated =
    "Browser sign-in needs an updated veltrane backend; check the server address or update the backend";

// What a call returns after "=", the sentence it fails with, or the JSON library's error kind.
template <class Call>
std::string outcome(Call&& call) {
  try {
    return "=" + call();
  } catch (const nlohmann::json::exception& e) {
    const std::string what = e.what();  // "[json.exception.type_error.302] ..."
    return what.substr(0, what.find('.', what.find("exception.") + 10));
  } catch (const std::runtime_error& e) {
    return e.what();
  }
}

struct Recorded {
  std::string method;
  std::string target;  // as sent, escapes intact
  httplib::Headers headers;
  std::string body;

  // The request whole: method, target, body and the credential it carried.
  std::string summary() const {
    const auto token = headers.find("Authorization");
    return method + " " + target + " " + body + " | " + (token == headers.end() ? "no token" : token->second);
  }
};

struct Reply {
  Reply(int status = 200, std::string body = "{}") : status(status), body(std::move(body)) {}

  int status;
  std::string body;
  std::chrono::milliseconds delay{0};
  std::string location;  // sent as Location when set
};

class TestServer {
public:
  TestServer() {
    const auto handler = [this](const httplib::Request& req, httplib::Response& res) { handle(req, res); };
    server_.Get(".*", handler);
    server_.Post(".*", handler);
    port_ = server_.bind_to_any_port("127.0.0.1");
    if (port_ <= 0) throw std::runtime_error("The test server could not bind a loopback port.");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    // stop() is a no-op until the accept loop runs, so wait for it.
    while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ~TestServer() { stop(); }

  int port() const { return port_; }
  std::string origin() const { return "http://127.0.0.1:" + std::to_string(port_); }

  void answer(const std::string& target, Reply reply) {
    const std::lock_guard lock(mutex_);
    replies_[target] = std::move(reply);
  }

  std::vector<Recorded> requests() const {
    const std::lock_guard lock(mutex_);
    return requests_;
  }

  void stop() {
    {
      const std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) {
      server_.stop();
      thread_.join();
    }
  }

private:
  void handle(const httplib::Request& req, httplib::Response& res) {
    std::unique_lock lock(mutex_);
    requests_.push_back(Recorded{req.method, req.target, req.headers, req.body});
    const auto it = replies_.find(req.target);
    const Reply reply = it == replies_.end() ? Reply(500, "unscripted") : it->second;
    // A delayed answer ends early when the server stops, so tear-down never waits on it.
    wake_.wait_for(lock, reply.delay, [this] { return stopping_; });
    lock.unlock();
    res.status = reply.status;
    if (!reply.location.empty()) res.set_header("Location", reply.location);
    res.set_content(reply.body, "application/json");
  }

  httplib::Server server_;
  int port_ = 0;
  std::thread thread_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::map<std::string, Reply> replies_;
  std::vector<Recorded> requests_;
};

}  // namespace vl::test
