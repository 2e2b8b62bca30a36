// veltrane-devservice: the account API on loopback for development and tests.
#include "Account.h"
#include "Faults.h"
#include "Handlers.h"
#include "Options.h"
#include "Shutdown.h"

#include <httplib.h>

#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <stdexcept>
#include <thread>

namespace {

// Until the SRT ingest runs inside this process, targets name a UDP port that
// was free at start, so the address is at least well-formed and unclaimed.
int freeUdpPort() {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error("Could not open a UDP socket.");
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof addr;
  int port = -1;
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length) == 0)
    port = ntohs(addr.sin_port);
  close(fd);
  if (port <= 0) throw std::runtime_error("Could not find a free UDP port.");
  return port;
}

int serve(const vl::dev::Options& options) {
  // Signals are taken by sigwait on this thread only; every thread started
  // from here on inherits the mask.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGUSR1);  // the listener ended by itself
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  httplib::Server server;
  // The library's default also sets SO_REUSEPORT, which would let a second
  // service share a fixed port and silently take half of its requests.
  server.set_socket_options([](socket_t sock) {
    int on = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  });
  int port = options.port;
  if (port == 0)
    port = server.bind_to_any_port("127.0.0.1");
  else if (!server.bind_to_port("127.0.0.1", port))
    port = -1;
  if (port <= 0) {
    std::cerr << "Could not listen on 127.0.0.1 port " << options.port << ".\n";
    return 1;
  }
  const std::string origin = "http://127.0.0.1:" + std::to_string(port);

  vl::dev::Account account(options);
  account.setIngestPort(options.ingestPort ? options.ingestPort : freeUdpPort());
  vl::dev::Shutdown shutdown;
  vl::dev::installFaults(server, options.faults, shutdown);
  vl::dev::installApi(server, account, origin);
  vl::dev::installAuthorizePage(server, account);
  // Idle keep-alive connections hold a worker until this runs out, also at stop.
  server.set_keep_alive_timeout(1);
  if (options.log)
    server.set_logger([](const httplib::Request& req, const httplib::Response& res) {
      std::cerr << req.method << ' ' << req.path << ' ' << res.status << '\n';
    });

  std::atomic<bool> listenerEnded = false;
  std::thread listener([&] {
    server.listen_after_bind();
    listenerEnded = true;
    kill(getpid(), SIGUSR1);
  });
  while (!server.is_running() && !listenerEnded)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  if (!listenerEnded) std::cout << "listening " << origin << std::endl;

  int received = 0;
  while (sigwait(&signals, &received) != 0) {
  }
  shutdown.begin();
  server.stop();
  listener.join();
  if (received == SIGUSR1) {
    std::cerr << "The HTTP listener stopped unexpectedly.\n";
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  vl::dev::Options options;
  try {
    options = vl::dev::parseOptions(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const std::exception& e) {
    std::cerr << e.what() << '\n' << vl::dev::usage();
    return 2;
  }
  if (options.help) {
    std::cout << vl::dev::usage();
    return 0;
  }
  try {
    return serve(options);
  } catch (const std::exception& e) {
    std::cerr << e.what() << '\n';
    return 1;
  }
}
