#pragma once
// Runs the built development service as a child process for one test. The
// child dies with the thread that started it, so a crashed test leaves
// nothing behind; stop() and the destructor end it with SIGTERM.
#include "ingest/Ingest.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#ifndef VELTRANE_DEVSERVICE_PATH
#error "VELTRANE_DEVSERVICE_PATH must name the veltrane-devservice executable"
#endif

namespace vl::test {

class DevService {
public:
  explicit DevService(std::vector<std::string> args = {}) {
    std::vector<std::string> all{VELTRANE_DEVSERVICE_PATH};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);

    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("Could not create a pipe.");
    const pid_t parent = getpid();
    pid_ = fork();
    if (pid_ < 0) {
      close(out[0]);
      close(out[1]);
      throw std::runtime_error("Could not start the development service.");
    }
    if (pid_ == 0) {
      // Only async-signal-safe calls between fork and exec.
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (getppid() != parent) _exit(127);
      dup2(out[1], STDOUT_FILENO);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(out[1]);
    out_ = out[0];
    std::string line = firstLine(std::chrono::seconds(30));
    const std::string prefix = "listening ";
    if (line.rfind(prefix, 0) != 0) {
      int status = stop();
      throw std::runtime_error("The development service did not start (exit status " +
                               std::to_string(status) + ", first line \"" + line + "\").");
    }
    origin_ = line.substr(prefix.size());
    port_ = std::stoi(origin_.substr(origin_.rfind(':') + 1));
    line = firstLine(std::chrono::seconds(5));
    const std::string ingestPrefix = "ingest srt://127.0.0.1:";
    if (line.rfind(ingestPrefix, 0) != 0) {
      int status = stop();
      throw std::runtime_error("The development service named no ingest (exit status " +
                               std::to_string(status) + ", second line \"" + line + "\").");
    }
    ingestPort_ = std::stoi(line.substr(ingestPrefix.size()));
  }

  ~DevService() { stop(); }
  DevService(const DevService&) = delete;
  DevService& operator=(const DevService&) = delete;

  const std::string& origin() const { return origin_; }
  int port() const { return port_; }
  int ingestPort() const { return ingestPort_; }
  pid_t pid() const { return pid_; }
  bool running() const { return pid_ > 0; }

  // Sends the signal and reaps the child. Returns its exit status, or 128 plus
  // the signal that ended it; a child that ignores the signal for 10 seconds is
  // killed. Returns -1 when it had already been stopped.
  int stop(int signal = SIGTERM) noexcept {
    if (pid_ <= 0) return -1;
    kill(pid_, signal);
    int status = 0;
    pid_t done = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while ((done = waitpid(pid_, &status, WNOHANG)) == 0 &&
           std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (done == 0) {
      kill(pid_, SIGKILL);
      while ((done = waitpid(pid_, &status, 0)) < 0 && errno == EINTR) {
      }
    }
    pid_ = -1;
    if (out_ >= 0) close(out_);
    out_ = -1;
    if (done < 0) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  // What the service's SRT ingest has received so far, from GET /dev/ingest.
  dev::IngestStats ingestStats() const {
    httplib::Client client(origin_);
    client.set_connection_timeout(2);
    client.set_read_timeout(10);
    auto result = client.Get("/dev/ingest");
    if (!result || result->status != 200)
      throw std::runtime_error("The development service did not report its ingest.");
    const nlohmann::json j = nlohmann::json::parse(result->body);
    dev::IngestStats stats;
    stats.rejected = j.at("rejected").get<std::uint64_t>();
    for (const nlohmann::json& c : j.at("connections")) {
      dev::IngestConnection connection;
      connection.streamId = c.at("streamId").get<std::string>();
      connection.file = c.at("file").get<std::string>();
      connection.messages = c.at("messages").get<std::uint64_t>();
      connection.bytes = c.at("bytes").get<std::uint64_t>();
      connection.fullMessages = c.at("fullMessages").get<std::uint64_t>();
      connection.latencyMs = c.at("latencyMs").get<int>();
      connection.open = c.at("open").get<bool>();
      stats.connections.push_back(std::move(connection));
    }
    return stats;
  }

private:
  std::string firstLine(std::chrono::milliseconds timeout) {
    std::string line;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return line;
      pollfd p{out_, POLLIN, 0};
      int ready = poll(&p, 1, static_cast<int>(left.count()));
      if (ready < 0 && errno == EINTR) continue;
      if (ready <= 0) return line;
      char c;
      ssize_t got = read(out_, &c, 1);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0 || c == '\n') return line;
      line += c;
    }
  }

  pid_t pid_ = -1;
  int out_ = -1;
  std::string origin_;
  int port_ = 0;
  int ingestPort_ = 0;
};

}  // namespace vl::test
