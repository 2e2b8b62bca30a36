// Which idle time-out notices a dead ingest soonest without breaking a healthy but
// bad link? For each candidate peer idle time-out, one caller streams about 2 Mbit/s
// in bursts every 40 ms through a UDP relay to the development ingest (in process).
// Part one: 20 % loss each way and 300 ms round trips for a while; any break is a
// false one, and the longest time without a new acknowledgement is noted (what a
// check of its own on the sender would have to tolerate). Part two: a clean link
// goes silent (the relay swallows everything) and the time until libsrt reports the
// connection broken is printed. All candidates run at once.
#include "UdpRelay.h"
#include "ingest/Ingest.h"

#include <srt/srt.h>
#include <sys/syslog.h>

#include <arpa/inet.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

struct Run {
  int idleTimeoutMs;
  std::unique_ptr<vl::test::UdpRelay> relay;
  SRTSOCKET socket = SRT_INVALID_SOCK;
  std::atomic<bool> broken = false;
  Clock::time_point brokenAt;
  int acknowledgements = 0;
  Clock::time_point acknowledgedAt = Clock::now();
  Clock::duration longestSilence{};
};

SRTSOCKET connect(int port, int idleTimeoutMs) {
  const SRTSOCKET s = srt_create_socket();
  const int live = SRTT_LIVE, latencyMs = 60;
  const bool blocking = false;  // one slow socket must not hold up the others
  srt_setsockflag(s, SRTO_TRANSTYPE, &live, sizeof live);
  srt_setsockflag(s, SRTO_LATENCY, &latencyMs, sizeof latencyMs);
  srt_setsockflag(s, SRTO_PEERIDLETIMEO, &idleTimeoutMs, sizeof idleTimeoutMs);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (srt_connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == SRT_ERROR) {
    std::fprintf(stderr, "connect failed: %s\n", srt_getlasterror_str());
    std::exit(1);
  }
  srt_setsockflag(s, SRTO_SNDSYN, &blocking, sizeof blocking);
  return s;
}

// Streams on every live socket until `until`, noting when each breaks.
void stream(std::vector<std::unique_ptr<Run>>& runs, Clock::time_point until) {
  const std::vector<char> message(1316, 'x');
  while (Clock::now() < until) {
    for (auto& r : runs) {
      if (r->broken) continue;
      for (int i = 0; i < 8; ++i) srt_sendmsg(r->socket, message.data(), int(message.size()), -1, 1);
      const auto now = Clock::now();
      if (srt_getsockstate(r->socket) >= SRTS_BROKEN) {
        r->brokenAt = now;
        r->broken = true;
      }
      SRT_TRACEBSTATS stats{};
      srt_bistats(r->socket, &stats, 0, 1);
      if (stats.pktRecvACKTotal != r->acknowledgements) {
        r->acknowledgements = stats.pktRecvACKTotal;
        r->acknowledgedAt = now;
      }
      r->longestSilence = std::max(r->longestSilence, now - r->acknowledgedAt);
    }
    std::this_thread::sleep_for(40ms);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const int lossySeconds = argc > 1 ? std::atoi(argv[1]) : 60;
  srt_startup();
  srt_setloglevel(LOG_CRIT);
  const auto dir = std::filesystem::temp_directory_path() / "idle-timeout-bench";
  {
    vl::dev::Ingest ingest(0, [](const std::string&) { return true; }, dir);
    std::vector<std::unique_ptr<Run>> runs;
    for (int t : {500, 750, 1000, 1250, 1500, 2000, 3000, 5000}) {
      auto r = std::make_unique<Run>();
      r->idleTimeoutMs = t;
      r->relay = std::make_unique<vl::test::UdpRelay>();
      r->relay->forwardTo(ingest.port());
      r->socket = connect(r->relay->port(), t);
      runs.push_back(std::move(r));
    }
    stream(runs, Clock::now() + 2s);
    for (auto& r : runs) {
      r->relay->impair(0.2, 150ms);
      r->longestSilence = {};
    }
    stream(runs, Clock::now() + std::chrono::seconds(lossySeconds));
    std::printf("Under 20 %% loss and 300 ms round trips for %d s:\n"
                "idle time-out ms | false break | longest ACK silence ms | broken after silence s\n",
                lossySeconds);
    std::vector<bool> falseBreak;
    std::vector<long> silenceMs;
    for (auto& r : runs) {
      falseBreak.push_back(r->broken);
      silenceMs.push_back(std::chrono::duration_cast<std::chrono::milliseconds>(r->longestSilence).count());
      if (r->broken) {
        srt_close(r->socket);
        r->relay->impair(0, 0ms);
        r->socket = connect(r->relay->port(), r->idleTimeoutMs);
        r->broken = false;
      }
      r->relay->impair(0, 0ms);
    }
    stream(runs, Clock::now() + 2s);
    const auto silent = Clock::now();
    for (auto& r : runs) r->relay->blackhole(true);
    stream(runs, silent + 12s);
    for (std::size_t i = 0; i < runs.size(); ++i) {
      const auto& r = *runs[i];
      std::printf("%16d | %s         | %22ld | ", r.idleTimeoutMs, falseBreak[i] ? "yes" : "no ", silenceMs[i]);
      if (r.broken)
        std::printf("%.2f\n", std::chrono::duration<double>(r.brokenAt - silent).count());
      else
        std::printf("not within 12\n");
      srt_close(r.socket);
    }
  }
  std::filesystem::remove_all(dir);
  srt_cleanup();
}
