#include "ingest/Ingest.h"

#include <srt/access_control.h>
#include <srt/srt.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <map>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <utility>

namespace vl::dev {
namespace {

constexpr int kFullMessageBytes = 1316;
// Large enough for any live-mode payload libsrt accepts.
constexpr int kReceiveBytes = 1500;
// The loop sleeps at most this long before it looks at the stop flag.
constexpr int kWaitMs = 50;

// libsrt's socket and epoll ids are ints; this makes them fit std::unique_ptr.
struct SrtId {
  int id = SRT_INVALID_SOCK;
  SrtId() = default;
  SrtId(std::nullptr_t) {}
  SrtId(int value) : id(value) {}
  explicit operator bool() const { return id != SRT_INVALID_SOCK; }
  friend bool operator==(SrtId, SrtId) = default;
};

template <int (*Release)(int)>
struct SrtRelease {
  using pointer = SrtId;
  void operator()(SrtId h) const { Release(h.id); }
};

using Socket = std::unique_ptr<SrtId, SrtRelease<srt_close>>;
using Epoll = std::unique_ptr<SrtId, SrtRelease<srt_epoll_release>>;

struct FileClose {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileClose>;

// libsrt counts start-ups, and its exit-time teardown only stops its collector thread
// when the count is back to zero: an unpaired start-up beside anyone else's crashes the
// process at exit. So each ingest holds one count and gives it back.
struct SrtLibrary {
  SrtLibrary() { srt_startup(); }
  ~SrtLibrary() { srt_cleanup(); }
  SrtLibrary(const SrtLibrary&) = delete;
  SrtLibrary& operator=(const SrtLibrary&) = delete;
};

std::string srtError() { return srt_getlasterror_str(); }

bool ended(SRT_SOCKSTATUS status) {
  return status == SRTS_BROKEN || status == SRTS_CLOSING || status == SRTS_CLOSED ||
         status == SRTS_NONEXIST;
}

}  // namespace

struct Ingest::State {
  struct Live {
    std::size_t index;  // into stats.connections
    Socket socket;
    File file;
  };

  SrtLibrary library;  // first in, last out
  std::function<bool(const std::string&)> accept;
  std::filesystem::path recordDir;
  int port = 0;
  std::atomic<bool> stopping{false};

  mutable std::mutex mutex;
  IngestStats stats;  // guarded by mutex

  // Everything below is touched by the loop thread only, once it runs.
  std::map<int, Live> live;
  Epoll epoll;
  // Closed before the members above go: libsrt runs onCaller on its own thread
  // until the listener is closed.
  Socket listener;
  std::thread thread;

  static int onCaller(void* opaque, SRTSOCKET socket, int, const sockaddr*, const char* streamId);
  void run();
  void acceptOne();
  void receive(std::map<int, Live>::iterator it, int events);
};

// Runs on libsrt's receiving thread while a caller's handshake is processed.
int Ingest::State::onCaller(void* opaque, SRTSOCKET socket, int, const sockaddr*, const char* streamId) {
  auto& state = *static_cast<State*>(opaque);
  bool known = false;
  try {
    known = state.accept && state.accept(streamId != nullptr ? streamId : "");
  } catch (...) {
    // A predicate that cannot decide must not open the door.
    known = false;
  }
  if (known) return 0;
  srt_setrejectreason(socket, SRT_REJX_FORBIDDEN);
  std::lock_guard lock(state.mutex);
  ++state.stats.rejected;
  return -1;
}

void Ingest::State::run() {
  std::array<SRT_EPOLL_EVENT, 16> events{};
  while (!stopping.load()) {
    const int ready = srt_epoll_uwait(epoll.get().id, events.data(), int(events.size()), kWaitMs);
    if (ready < 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(kWaitMs));
      continue;
    }
    try {
      for (int i = 0; i < std::min(ready, int(events.size())); ++i) {
        if (events[i].fd == listener.get().id) {
          // A broken listener would be reported again at once, for ever.
          if ((events[i].events & SRT_EPOLL_ERR) != 0)
            srt_epoll_remove_usock(epoll.get().id, listener.get().id);
          else
            acceptOne();
        } else if (auto it = live.find(events[i].fd); it != live.end()) {
          receive(it, events[i].events);
        }
      }
    } catch (...) {
      // Out of memory at worst; the next round tries again rather than ending the thread.
    }
  }
}

// One per readiness report: the listener stays ready while more wait, and asking an
// empty queue makes libsrt log an error.
void Ingest::State::acceptOne() {
  sockaddr_storage peer{};
  int peerLen = sizeof peer;
  Socket socket(srt_accept(listener.get().id, reinterpret_cast<sockaddr*>(&peer), &peerLen));
  if (!socket) return;
  const int id = socket.get().id;

  std::array<char, 513> streamId{};
  int streamIdLen = int(streamId.size());
  if (srt_getsockflag(id, SRTO_STREAMID, streamId.data(), &streamIdLen) == SRT_ERROR) streamIdLen = 0;
  const bool async = false;
  srt_setsockflag(id, SRTO_RCVSYN, &async, sizeof async);

  IngestConnection record;
  record.streamId.assign(streamId.data(), std::size_t(std::clamp(streamIdLen, 0, 512)));
  int latencyLen = sizeof record.latencyMs;
  srt_getsockflag(id, SRTO_RCVLATENCY, &record.latencyMs, &latencyLen);
  std::size_t index = 0;
  {
    std::lock_guard lock(mutex);
    index = stats.connections.size();
  }
  record.file = recordDir / (std::to_string(index + 1) + ".ts");
  File file(std::fopen(record.file.c_str(), "wb"));
  const int watch = SRT_EPOLL_IN | SRT_EPOLL_ERR;
  // A stream that cannot be recorded is dropped at once and shows as closed.
  record.open = file && srt_epoll_add_usock(epoll.get().id, id, &watch) != SRT_ERROR;
  {
    std::lock_guard lock(mutex);
    stats.connections.push_back(record);
  }
  if (record.open) live.emplace(id, Live{index, std::move(socket), std::move(file)});
}

void Ingest::State::receive(std::map<int, Live>::iterator it, int events) {
  Live& conn = it->second;
  const int id = it->first;
  std::array<char, kReceiveBytes> buffer{};
  std::uint64_t messages = 0, bytes = 0, full = 0;
  bool finished = false;
  for (;;) {
    const int got = srt_recvmsg(id, buffer.data(), int(buffer.size()));
    if (got == SRT_ERROR) {
      if (srt_getlasterror(nullptr) != SRT_EASYNCRCV) finished = true;
      break;
    }
    if (got == 0) break;
    // A record with a hole is worse than a connection cut short.
    if (std::fwrite(buffer.data(), 1, std::size_t(got), conn.file.get()) != std::size_t(got)) {
      finished = true;
      break;
    }
    ++messages;
    bytes += std::uint64_t(got);
    if (got == kFullMessageBytes) ++full;
  }
  // Flushed before counting, so a reader that sees the counts finds the bytes on disk.
  if (std::fflush(conn.file.get()) != 0) finished = true;
  if ((events & SRT_EPOLL_ERR) != 0 || ended(srt_getsockstate(id))) finished = true;
  {
    std::lock_guard lock(mutex);
    IngestConnection& record = stats.connections[conn.index];
    record.messages += messages;
    record.bytes += bytes;
    record.fullMessages += full;
    if (finished) record.open = false;
  }
  if (finished) {
    srt_epoll_remove_usock(epoll.get().id, id);
    live.erase(it);
  }
}

Ingest::Ingest(int port, std::function<bool(const std::string& streamId)> accept,
               std::filesystem::path recordDir)
    : state_(std::make_unique<State>()) {
  if (port < 0 || port > 65535) throw std::runtime_error("The ingest port must be between 0 and 65535.");
  State& s = *state_;
  s.accept = std::move(accept);
  s.recordDir = std::move(recordDir);
  std::error_code error;
  std::filesystem::create_directories(s.recordDir, error);
  if (error || !std::filesystem::is_directory(s.recordDir))
    throw std::runtime_error("The ingest cannot record into " + s.recordDir.string() + ".");

  s.epoll = Epoll(srt_epoll_create());
  if (!s.epoll) throw std::runtime_error("The ingest cannot create an SRT event set: " + srtError() + ".");
  s.listener = Socket(srt_create_socket());
  if (!s.listener) throw std::runtime_error("The ingest cannot create an SRT socket: " + srtError() + ".");
  const int id = s.listener.get().id;

  const int live = SRTT_LIVE;
  const bool async = false;
  if (srt_setsockflag(id, SRTO_TRANSTYPE, &live, sizeof live) == SRT_ERROR ||
      srt_setsockflag(id, SRTO_RCVSYN, &async, sizeof async) == SRT_ERROR)
    throw std::runtime_error("The ingest cannot configure its SRT socket: " + srtError() + ".");

  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(std::uint16_t(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (srt_bind(id, reinterpret_cast<const sockaddr*>(&address), sizeof address) == SRT_ERROR)
    throw std::runtime_error("The ingest cannot listen on 127.0.0.1 port " + std::to_string(port) +
                             ": " + srtError() + ".");
  // The identity check must be in place before the first caller can arrive.
  if (srt_listen_callback(id, &State::onCaller, &s) == SRT_ERROR || srt_listen(id, 16) == SRT_ERROR)
    throw std::runtime_error("The ingest cannot listen on 127.0.0.1 port " + std::to_string(port) +
                             ": " + srtError() + ".");

  sockaddr_in bound{};
  int boundLen = sizeof bound;
  if (srt_getsockname(id, reinterpret_cast<sockaddr*>(&bound), &boundLen) == SRT_ERROR)
    throw std::runtime_error("The ingest cannot read its SRT port: " + srtError() + ".");
  s.port = ntohs(bound.sin_port);

  const int watch = SRT_EPOLL_IN | SRT_EPOLL_ERR;
  if (srt_epoll_add_usock(s.epoll.get().id, id, &watch) == SRT_ERROR)
    throw std::runtime_error("The ingest cannot watch its SRT socket: " + srtError() + ".");
  s.thread = std::thread([&s] { s.run(); });
}

Ingest::~Ingest() {
  state_->stopping.store(true);
  state_->thread.join();
  // Closing the listener first stops the handshake callback before anything it reads goes away.
  state_->listener.reset();
}

int Ingest::port() const { return state_->port; }

IngestStats Ingest::stats() const {
  std::lock_guard lock(state_->mutex);
  return state_->stats;
}

}  // namespace vl::dev
