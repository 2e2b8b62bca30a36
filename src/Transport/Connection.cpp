#include "Transport/Connection.h"

#include <curl/curl.h>
#include <netdb.h>
#include <srt/access_control.h>
#include <srt/srt.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <cstdint>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>

namespace vl {

namespace {

constexpr int kMessageBytes = 1316;  // seven transport packets
#if defined(__SANITIZE_THREAD__)
#define VELTRANE_PLAIN_LOOKUP 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define VELTRANE_PLAIN_LOOKUP 1
#endif
#endif
constexpr auto kLookupLimit = std::chrono::milliseconds(2000);

struct UrlDeleter {
  void operator()(CURLU* url) const { curl_url_cleanup(url); }
};
struct CurlStringDeleter {
  void operator()(char* text) const { curl_free(text); }
};
struct AddrInfoDeleter {
  void operator()(addrinfo* list) const { freeaddrinfo(list); }
};
using CurlString = std::unique_ptr<char, CurlStringDeleter>;

// Closes a socket that has not (yet) been handed to the connection.
class SocketGuard {
public:
  explicit SocketGuard(SRTSOCKET socket) : socket_(socket) {}
  ~SocketGuard() {
    if (socket_ != SRT_INVALID_SOCK) srt_close(socket_);
  }
  SocketGuard(const SocketGuard&) = delete;
  SocketGuard& operator=(const SocketGuard&) = delete;
  SRTSOCKET get() const { return socket_; }
  SRTSOCKET release() { return std::exchange(socket_, SRT_INVALID_SOCK); }

private:
  SRTSOCKET socket_;
};

struct Lookup {
  std::string host;
  std::string port;
  addrinfo hints{};
  gaicb request{};
};

// glibc's asynchronous lookup, waited for at most kLookupLimit: a resolver that never
// answers must hold neither the worker nor whoever joins it.
std::unique_ptr<addrinfo, AddrInfoDeleter> resolve(const std::string& host, const std::string& port) {
#if VELTRANE_PLAIN_LOOKUP
  // ThreadSanitizer cannot follow glibc's own resolver thread and crashes in it.
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0 || !found)
    throw std::runtime_error("SRT server DNS lookup failed");
  return std::unique_ptr<addrinfo, AddrInfoDeleter>(found);
#else
  auto lookup = std::make_unique<Lookup>(Lookup{host, port, {}, {}});
  lookup->hints.ai_family = AF_UNSPEC;
  lookup->hints.ai_socktype = SOCK_DGRAM;
  lookup->request.ar_name = lookup->host.c_str();
  lookup->request.ar_service = lookup->port.c_str();
  lookup->request.ar_request = &lookup->hints;
  gaicb* list[] = {&lookup->request};
  if (getaddrinfo_a(GAI_NOWAIT, list, 1, nullptr) != 0) throw std::runtime_error("SRT server DNS lookup failed");
  const auto until = std::chrono::steady_clock::now() + kLookupLimit;
  while (gai_error(&lookup->request) == EAI_INPROGRESS && std::chrono::steady_clock::now() < until) {
    const auto leftNs = std::chrono::duration_cast<std::chrono::nanoseconds>(until - std::chrono::steady_clock::now());
    const timespec wait{static_cast<time_t>(leftNs.count() / 1000000000), static_cast<long>(leftNs.count() % 1000000000)};
    gai_suspend(list, 1, &wait);
  }
  const int result = gai_error(&lookup->request);
  if (result == EAI_INPROGRESS) {
    // Still being answered: the resolver's thread writes into it later, so it is left to it.
    if (gai_cancel(&lookup->request) != EAI_CANCELED) (void)lookup.release();
    throw std::runtime_error("SRT server DNS lookup failed");
  }
  if (result != 0 || lookup->request.ar_result == nullptr) throw std::runtime_error("SRT server DNS lookup failed");
  return std::unique_ptr<addrinfo, AddrInfoDeleter>(lookup->request.ar_result);
#endif
}

// libsrt's own teardown at exit races its collector thread and double-frees when
// the library is still started then, so the reference is dropped before that.
struct Library {
  Library() : started(srt_startup()) {}
  ~Library() {
    if (started >= 0) srt_cleanup();
  }
  int started;
};

void startLibrary() { static const Library library; }

CurlString part(CURLU* url, CURLUPart which) {
  char* text = nullptr;
  if (curl_url_get(url, which, &text, 0) != CURLUE_OK) return CurlString(nullptr);
  return CurlString(text);
}

struct Server {
  std::string host;
  std::string port;
};

Server parseDescriptor(const std::string& descriptor) {
  std::unique_ptr<CURLU, UrlDeleter> url(curl_url());
  if (!url) throw std::bad_alloc();
  bool valid = curl_url_set(url.get(), CURLUPART_URL, descriptor.c_str(), CURLU_NON_SUPPORT_SCHEME) == CURLUE_OK;
  Server server;
  if (valid) {
    CurlString host = part(url.get(), CURLUPART_HOST);
    CurlString port = part(url.get(), CURLUPART_PORT);
    CurlString scheme = part(url.get(), CURLUPART_SCHEME);
    CurlString query = part(url.get(), CURLUPART_QUERY);
    CurlString path = part(url.get(), CURLUPART_PATH);
    valid = host && port && scheme && std::string(scheme.get()) == "srt" &&
            (!path || std::string(path.get()) == "/") && !query;
    if (valid) {
      server.host = host.get();
      server.port = port.get();
    }
  }
  if (!valid) throw std::runtime_error("Invalid SRT server descriptor");
  if (server.host.size() >= 3 && server.host.front() == '[' && server.host.back() == ']')
    server.host = server.host.substr(1, server.host.size() - 2);
  return server;
}

template <typename T>
bool set(SRTSOCKET socket, SRT_SOCKOPT option, const T& value) {
  return srt_setsockflag(socket, option, &value, static_cast<int>(sizeof value)) != SRT_ERROR;
}

bool configure(SRTSOCKET s, const Target& target, int latencyMs, std::int32_t sendBufferBytes,
               std::int64_t inputBandwidth) {
  const linger noLinger{0, 0};
  const bool ok = set(s, SRTO_TRANSTYPE, static_cast<std::int32_t>(SRTT_LIVE)) &&  //
                  set(s, SRTO_SENDER, true) &&                                     //
                  set(s, SRTO_TSBPDMODE, true) &&                                  //
                  set(s, SRTO_TLPKTDROP, true) &&                                  //
                  set(s, SRTO_MESSAGEAPI, true) &&                                 //
                  set(s, SRTO_SNDBUF, sendBufferBytes) &&                          //
                  set(s, SRTO_SNDDROPDELAY, std::int32_t{0}) &&                    //
                  set(s, SRTO_INPUTBW, inputBandwidth) &&                          //
                  set(s, SRTO_MAXBW, std::int64_t{0}) &&                           //
                  set(s, SRTO_OHEADBW, std::int32_t{25}) &&                        //
                  set(s, SRTO_LINGER, noLinger) &&                                 //
                  set(s, SRTO_PEERLATENCY, std::int32_t{latencyMs}) &&             //
                  set(s, SRTO_LATENCY, std::int32_t{latencyMs}) &&                 //
                  set(s, SRTO_CONNTIMEO, std::int32_t{1500}) &&                    //
                  set(s, SRTO_SNDTIMEO, std::int32_t{20}) &&                       //
                  set(s, SRTO_PAYLOADSIZE, std::int32_t{kMessageBytes}) &&         //
                  srt_setsockflag(s, SRTO_STREAMID, target.streamId.data(),
                                  static_cast<int>(target.streamId.size())) != SRT_ERROR;
  if (!ok) return false;
  if (target.passphrase.empty()) return true;
  return srt_setsockflag(s, SRTO_PASSPHRASE, target.passphrase.data(),
                         static_cast<int>(target.passphrase.size())) != SRT_ERROR;
}

}  // namespace

std::int64_t inputBandwidthBytesPerSecond(int bitrateKbps) {
  return static_cast<std::int64_t>(bitrateKbps) * 13750 / 100;
}

std::int64_t sendBufferBytes(int bitrateKbps, int latencyMs) {
  constexpr std::int64_t kMin = 0x40000;
  constexpr std::int64_t kMax = 0x800000;
  const std::int64_t bandwidth = inputBandwidthBytesPerSecond(bitrateKbps);
  const std::int64_t windowMs = std::max<std::int64_t>(latencyMs, 100);
  // Past the ceiling anyway; the product would overflow for absurd settings.
  if (bandwidth > 0 && bandwidth > kMax * 1000 / windowMs) return kMax;
  return std::clamp<std::int64_t>(bandwidth * windowMs / 1000, kMin, kMax);
}

Connection::Connection(const Target& target, int latencyMs, int bitrateKbps) {
  startLibrary();
  const Server server = parseDescriptor(target.url);

  const std::unique_ptr<addrinfo, AddrInfoDeleter> addresses = resolve(server.host, server.port);

  const std::int64_t inputBandwidth = inputBandwidthBytesPerSecond(bitrateKbps);
  const auto sendBuffer = static_cast<std::int32_t>(sendBufferBytes(bitrateKbps, latencyMs));
  bool refused = false;
  for (const addrinfo* a = addresses.get(); a; a = a->ai_next) {
    SocketGuard socket(srt_create_socket());
    if (socket.get() == SRT_INVALID_SOCK) continue;
    if (!configure(socket.get(), target, latencyMs, sendBuffer, inputBandwidth)) continue;
    if (srt_connect(socket.get(), a->ai_addr, static_cast<int>(a->ai_addrlen)) == SRT_ERROR) {
      refused = refused || srt_getrejectreason(socket.get()) == SRT_REJX_FORBIDDEN;
      continue;
    }
    // The peer may have asked for more; this is what both ends now use.
    std::int32_t negotiated = latencyMs;
    int size = sizeof negotiated;
    if (srt_getsockflag(socket.get(), SRTO_PEERLATENCY, &negotiated, &size) != SRT_ERROR) latencyMs_ = negotiated;
    socket_ = socket.release();
    return;
  }
  if (refused) throw StreamRefused("The ingest refused this stream's identity.");
  throw std::runtime_error("SRT connection failed; check stream, firewall and ingest server");
}

Connection::~Connection() {
  if (socket_ != SRT_INVALID_SOCK) srt_close(socket_);
}

void Connection::send(const std::vector<std::uint8_t>& burst) {
  for (std::size_t offset = 0; offset < burst.size();) {
    const int chunk = static_cast<int>(std::min<std::size_t>(kMessageBytes, burst.size() - offset));
    const char* data = reinterpret_cast<const char*>(burst.data() + offset);
    if (srt_sendmsg(socket_, data, chunk, -1, 1) != chunk)
      throw std::runtime_error("SRT sender congested or disconnected; reconnecting");
    offset += static_cast<std::size_t>(chunk);
  }
}

LinkFigures Connection::link() const {
  SRT_TRACEBSTATS now{};
  LinkFigures figures;
  figures.latencyMs = latencyMs_;
  // Totals since connecting, instantaneous rates; libsrt answers from memory.
  if (srt_bistats(socket_, &now, 0, 1) == SRT_ERROR) return figures;
  figures.rttMs = now.msRTT;
  figures.sendRateMbps = now.mbpsSendRate;
  figures.sentPackets = static_cast<std::uint64_t>(std::max<std::int64_t>(now.pktSentTotal, 0));
  figures.retransmittedPackets = static_cast<std::uint64_t>(std::max(now.pktRetransTotal, 0));
  figures.droppedPackets = static_cast<std::uint64_t>(std::max(now.pktSndDropTotal, 0));
  figures.acknowledgements = static_cast<std::uint64_t>(std::max(now.pktRecvACKTotal, 0));
  return figures;
}

}  // namespace vl
