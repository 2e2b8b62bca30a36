#pragma once
// The built development service as a child process, reached over loopback.
#include "ingest/Ingest.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

namespace vl::test {

class DevService {
public:
  // Starts the service with these options and waits until it listens; throws with
  // what it printed when it ends first.
  explicit DevService(std::vector<std::string> options = {}) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed.");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    std::vector<std::string> args{VELTRANE_DEVSERVICE};
    args.insert(args.end(), options.begin(), options.end());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int failed = posix_spawn(&pid_, VELTRANE_DEVSERVICE, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    output_ = out[0];
    if (failed != 0) {
      pid_ = -1;
      close(output_);
      throw std::runtime_error("The development service did not start.");
    }
    try {
      origin_ = valueAfter("listening ");
      port_ = std::stoi(origin_.substr(origin_.rfind(':') + 1));
      ingestUrl_ = valueAfter("ingest ");
      ingestPort_ = std::stoi(ingestUrl_.substr(ingestUrl_.rfind(':') + 1));
    } catch (...) {
      stop();
      throw;
    }
  }
  ~DevService() { stop(); }
  DevService(const DevService&) = delete;
  DevService& operator=(const DevService&) = delete;

  const std::string& origin() const { return origin_; }
  int port() const { return port_; }
  const std::string& ingestUrl() const { return ingestUrl_; }
  int ingestPort() const { return ingestPort_; }

  // GET on the service; a failed request throws.
  httplib::Result get(const std::string& path, const std::string& token = {}) const {
    httplib::Client client("127.0.0.1", port_);
    httplib::Headers headers;
    if (!token.empty()) headers.emplace("Authorization", "Bearer " + token);
    auto result = client.Get(path, headers);
    if (!result) throw std::runtime_error("GET " + path + " failed.");
    return result;
  }

  // Ends the service as a terminal would; its exit status, or -1 when a signal ended it.
  int stop() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, &status_, 0);
      pid_ = -1;
    }
    if (output_ >= 0) close(output_);
    output_ = -1;
    return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
  }

  // What the service's ingest has received so far.
  dev::IngestStats ingestStats() const {
    auto result = get("/dev/ingest");
    if (result->status != 200) throw std::runtime_error("GET /dev/ingest answered " + std::to_string(result->status));
    const nlohmann::json j = nlohmann::json::parse(result->body);
    dev::IngestStats stats;
    stats.rejected = j.at("rejected").get<std::uint64_t>();
    for (const auto& c : j.at("connections")) {
      dev::IngestConnection connection;
      connection.streamId = c.at("streamId").get<std::string>();
      connection.file = c.at("file").get<std::string>();
      connection.messages = c.at("messages").get<std::uint64_t>();
      connection.bytes = c.at("bytes").get<std::uint64_t>();
      connection.fullMessages = c.at("fullMessages").get<std::uint64_t>();
      connection.open = c.at("open").get<bool>();
      stats.connections.push_back(connection);
    }
    return stats;
  }

private:
  // Reads stdout lines until one starts with prefix; the rest of that line is returned.
  std::string valueAfter(const std::string& prefix) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (;;) {
      if (auto end = buffered_.find('\n'); end != std::string::npos) {
        std::string line = buffered_.substr(0, end);
        buffered_.erase(0, end + 1);
        if (line.rfind(prefix, 0) == 0) return line.substr(prefix.size());
        continue;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      pollfd p{output_, POLLIN, 0};
      if (left.count() <= 0 || poll(&p, 1, int(left.count())) <= 0)
        throw std::runtime_error("The development service printed no \"" + prefix + "\" line in time.");
      char chunk[512];
      const ssize_t n = read(output_, chunk, sizeof chunk);
      if (n <= 0)
        throw std::runtime_error("The development service ended before printing \"" + prefix +
                                 "\"; it printed: " + buffered_);
      buffered_.append(chunk, std::size_t(n));
    }
  }

  pid_t pid_ = -1;
  int output_ = -1;
  int status_ = 0;
  std::string buffered_;
  std::string origin_, ingestUrl_;
  int port_ = 0, ingestPort_ = 0;
};

}  // namespace vl::test
