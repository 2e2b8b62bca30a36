// veltrane-devservice: the account API on loopback for development and tests.
#include "Account.h"
#include "Faults.h"
#include "Handlers.h"
#include "IngestStatus.h"
#include "Options.h"
#include "Shutdown.h"

#include <httplib.h>

#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <stdexcept>
#include <thread>

namespace {

// Recordings outlive the service, so that what arrived can be inspected afterwards.
std::filesystem::path freshRecordDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "veltrane-ingest-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr)
    throw std::runtime_error("Could not create a folder for the ingest recordings.");
  return pattern;
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
  // Started before the HTTP side, so every target handed out names a listening port.
  vl::dev::Ingest ingest(
      options.ingestPort, [&account](const std::string& id) { return account.knowsStreamId(id); },
      options.recordDir.empty() ? freshRecordDir() : options.recordDir);
  account.setIngestPort(options.targetPort != 0 ? options.targetPort : ingest.port());
  vl::dev::Shutdown shutdown;
  vl::dev::installFaults(server, options.faults, shutdown);
  vl::dev::installApi(server, account, origin);
  vl::dev::installAuthorizePage(server, account);
  vl::dev::installIngestStatus(server, ingest);
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
  if (!listenerEnded) {
    std::cout << "listening " << origin << '\n';
    std::cout << "ingest srt://127.0.0.1:" << ingest.port() << std::endl;
  }

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
