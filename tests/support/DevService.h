#pragma once
// Runs the built development service as a child process for one test. The child dies with
// the thread that started it, so a crashed test leaves nothing behind.
#include "Wait.h"
#include "ingest/Ingest.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <stdexcept>
#include <string>
#include <vector>

#ifndef VELTRANE_DEVSERVICE_PATH
#error "VELTRANE_DEVSERVICE_PATH must name the veltrane-devservice executable"
#endif

namespace vl::test {

class DevService {
public:
  explicit DevService(std::vector<std::string> args = {}) {
    args.insert(args.begin(), VELTRANE_DEVSERVICE_PATH);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("Could not create a pipe.");
    const pid_t parent = getpid();
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("Could not start the development service.");
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
    // It names its HTTP origin, then its SRT ingest, one line each.
    origin_ = expectLine("listening ", std::chrono::seconds(30));
    ingestPort_ = std::stoi(expectLine("ingest srt://127.0.0.1:", std::chrono::seconds(5)));
  }

  ~DevService() { stop(); }
  DevService(const DevService&) = delete;
  DevService& operator=(const DevService&) = delete;

  const std::string& origin() const { return origin_; }
  int port() const { return std::stoi(origin_.substr(origin_.rfind(':') + 1)); }
  int ingestPort() const { return ingestPort_; }

  // Sends the signal and reaps the child: its exit status, or 128 plus the signal that
  // ended it (killed after 10 s of ignoring it); -1 when it had already been stopped.
  int stop(int signal = SIGTERM) noexcept {
    if (pid_ <= 0) return -1;
    kill(pid_, signal);
    int status = 0;
    if (!waitFor([&] { return waitpid(pid_, &status, WNOHANG) != 0; })) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
    }
    pid_ = -1;
    close(out_);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  // What the service's SRT ingest has received so far, from GET /dev/ingest.
  dev::IngestStats ingestStats() const {
    httplib::Client client(origin_);
    client.set_connection_timeout(2);
    client.set_read_timeout(10);
    const auto result = client.Get("/dev/ingest");
    if (!result || result->status != 200)
      throw std::runtime_error("The development service did not report its ingest.");
    const nlohmann::json j = nlohmann::json::parse(result->body);
    dev::IngestStats stats{j.at("rejected").get<std::uint64_t>(), {}};
    for (const nlohmann::json& c : j.at("connections"))
      stats.connections.push_back({c.at("streamId").get<std::string>(), c.at("file").get<std::string>(),
                                   c.at("messages"), c.at("bytes"), c.at("fullMessages"), c.at("latencyMs"),
                                   c.at("open")});
    return stats;
  }

private:
  // The rest of the next output line, which must start with prefix.
  std::string expectLine(const std::string& prefix, std::chrono::seconds timeout) {
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    pollfd p{out_, POLLIN, 0};
    for (char c = 0; std::chrono::steady_clock::now() < deadline && (poll(&p, 1, 100) >= 0 || errno == EINTR);) {
      if (p.revents == 0) continue;
      if (read(out_, &c, 1) != 1 || c == '\n') break;
      line += c;
    }
    if (line.rfind(prefix, 0) == 0) return line.substr(prefix.size());
    throw std::runtime_error("The development service did not start (exit status " + std::to_string(stop()) +
                             ", line \"" + line + "\").");
  }

  pid_t pid_ = -1;
  int out_ = -1;
  std::string origin_;
  int ingestPort_ = 0;
};

}  // namespace vl::test
