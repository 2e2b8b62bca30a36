#pragma once
// Test-side pieces: a real libsrt caller, a private folder, and waiting for a condition.
#include <srt/srt.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdlib.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace vl::test {

struct SrtId {
  int id = SRT_INVALID_SOCK;
  SrtId() = default;
  SrtId(std::nullptr_t) {}
  SrtId(int value) : id(value) {}
  explicit operator bool() const { return id != SRT_INVALID_SOCK; }
  friend bool operator==(SrtId, SrtId) = default;
};
struct SrtClose {
  using pointer = SrtId;
  void operator()(SrtId h) const { srt_close(h.id); }
};
using Socket = std::unique_ptr<SrtId, SrtClose>;

struct TempDir {
  std::filesystem::path path;
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "ingest-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed.");
    path = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
};

struct Attempt {
  Socket socket;         // empty when the connection failed
  int rejectReason = 0;  // what the listener answered on failure
};

// A live-mode caller as a sender sets it up; blocking connect and send.
inline Attempt connectCaller(int port, const std::string& streamId) {
  // One start-up for the test process, left for libsrt's exit-time teardown.
  static const int started = srt_startup();
  (void)started;
  Attempt attempt;
  Socket socket(srt_create_socket());
  if (!socket) throw std::runtime_error("srt_create_socket failed.");
  const int id = socket.get().id;
  const int live = SRTT_LIVE, latencyMs = 20, timeoutMs = 3000;
  srt_setsockflag(id, SRTO_TRANSTYPE, &live, sizeof live);
  srt_setsockflag(id, SRTO_LATENCY, &latencyMs, sizeof latencyMs);
  srt_setsockflag(id, SRTO_CONNTIMEO, &timeoutMs, sizeof timeoutMs);
  srt_setsockflag(id, SRTO_STREAMID, streamId.data(), int(streamId.size()));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(std::uint16_t(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (srt_connect(id, reinterpret_cast<const sockaddr*>(&address), sizeof address) == SRT_ERROR) {
    attempt.rejectReason = srt_getrejectreason(id);
    return attempt;
  }
  attempt.socket = std::move(socket);
  return attempt;
}

inline int sendMessage(const Socket& socket, const std::vector<char>& message) {
  return srt_sendmsg(socket.get().id, message.data(), int(message.size()), -1, 1);
}

inline std::vector<char> randomBytes(std::size_t size, std::uint32_t seed) {
  std::mt19937 generator(seed);
  std::vector<char> bytes(size);
  for (char& b : bytes) b = char(generator() & 0xff);
  return bytes;
}

inline std::vector<char> readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

template <class Condition>
bool waitFor(Condition condition, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

}  // namespace vl::test
