#include "Core/Sender.h"

#include "Api/Api.h"
#include "Core/Encoder.h"
#include "Core/Pacing.h"
#include "Core/TokenStore.h"
#include "Transport/Connection.h"
#include "Transport/MetadataSei.h"
#include "Transport/Muxer.h"

#include <algorithm>
#include <exception>
#include <optional>
#include <stdexcept>
#include <utility>
#include <vector>

namespace vl {

// Members are destroyed bottom-up: the encoder goes first because it may still
// deliver output into the muxer and the connection while it shuts down.
struct Sender::Session {
  std::string sending;  // the status while the link is healthy
  std::uint64_t acknowledgements = 0;
  std::uint64_t sentPackets = 0;
  std::optional<std::chrono::steady_clock::time_point> waitingSince;  // for an acknowledgement
  std::string token;
  Target target;
  std::unique_ptr<Connection> connection;
  std::optional<Muxer> muxer;
  std::vector<std::uint8_t> sei;
  std::unique_ptr<Encoder> encoder;
  std::chrono::steady_clock::time_point start;  // where the pacing grid begins
};

namespace {

// While sent data waits this long without any acknowledgement, the ingest is shown
// as not answering, and a little later the session ends: libsrt itself notices a
// dead peer only after about 5 s whatever its idle time-out (docs/link-recovery.md).
constexpr auto kStall = std::chrono::milliseconds(1000);
constexpr auto kSilenceBreak = std::chrono::milliseconds(1250);

void checkLimits(const Target& target, const Settings& settings, const Frame& first) {
  if (target.maxIngestBitrateBps != 0 &&
      static_cast<std::uint64_t>(settings.bitrateKbps) * 1000u > target.maxIngestBitrateBps)
    throw std::runtime_error("Selected bitrate exceeds this stream's account limit");
  if ((target.maxWidth != 0 && first.width > target.maxWidth) ||
      (target.maxHeight != 0 && first.height > target.maxHeight))
    throw std::runtime_error("Source resolution exceeds this stream's account limit");
  if (first.width % 2 != 0 || first.height % 2 != 0)
    throw std::runtime_error("Streaming needs even image dimensions");
}

}  // namespace

Sender::Sender() : worker_([this] { run(); }) {}

Sender::~Sender() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  worker_.join();
}

void Sender::configure(Settings settings, bool enabled) {
  {
    std::lock_guard lock(mutex_);
    if (enabled == enabled_ && settings == settings_) return;
    settings_ = std::move(settings);
    const bool stayedOn = enabled_ && enabled;
    enabled_ = enabled;
    ++generation_;
    if (!stayedOn) pending_.reset();
    status_ = enabled ? "Waiting for host frames" : "Stopped";
  }
  wake_.notify_all();
}

void Sender::submit(Frame frame) {
  auto shared = std::make_shared<const Frame>(std::move(frame));
  std::shared_ptr<const Frame> replaced;  // freed after unlocking
  {
    std::lock_guard lock(mutex_);
    if (!enabled_) return;
    if (pending_ && pending_.use_count() == 1) ++queueReplacements_;
    replaced = std::exchange(pending_, std::move(shared));
    pendingSince_ = std::chrono::steady_clock::now();
    ++hostFrames_;
  }
  wake_.notify_all();
}

Sender::Stats Sender::stats() const {
  std::lock_guard lock(mutex_);
  Stats stats = link_;
  stats.hostFrames = hostFrames_;
  stats.encodedFrames = encodedFrames_;
  stats.queueReplacements = queueReplacements_;
  stats.reconnectAttempts = reconnectAttempts_;
  stats.status = status_;
  return stats;
}

std::unique_ptr<Sender::Session> Sender::open(const Settings& settings, const Frame& first) {
  validate(settings);
  auto session = std::make_unique<Session>();
  session->token = loadToken(settings.apiBase);
  if (session->token.empty()) throw std::runtime_error("Sign in to veltrane first");
  session->target = Api(settings.apiBase).target(session->token, settings.viewerId);
  checkLimits(session->target, settings, first);
  try {
    session->connection = std::make_unique<Connection>(session->target, settings.latencyMs, settings.bitrateKbps);
  } catch (const StreamRefused&) {
    const std::string& name = settings.streamLabel.empty() ? settings.viewerId : settings.streamLabel;
    throw std::runtime_error("The ingest refused the stream \"" + name +
                             "\"; it may have ended. Choose a stream again.");
  }
  session->muxer.emplace(settings.hevc);
  session->sei = metadataSEI(settings, settings.hevc);
  Session& s = *session;
  session->encoder = makeEncoder(first.width, first.height, settings,
                                 [this, &s](const std::vector<std::uint8_t>& unit, bool keyframe, std::int64_t pts) {
                                   std::vector<std::uint8_t> payload;
                                   if (keyframe) {
                                     payload.reserve(s.sei.size() + unit.size());
                                     payload = s.sei;
                                   }
                                   payload.insert(payload.end(), unit.begin(), unit.end());
                                   s.connection->send(s.muxer->packetize(payload, keyframe, pts));
                                   std::lock_guard lock(mutex_);
                                   ++encodedFrames_;
                                 });
  session->sending = "Sending SRT / " + session->encoder->name();
  return session;
}

void Sender::observe(Session& session, const LinkFigures& link, std::uint64_t generation) {
  const auto now = std::chrono::steady_clock::now();
  // The wait starts with the first packet sent after the last acknowledgement, so an
  // encoder that holds back output is not taken for a silent ingest. (libsrt's count
  // of unacknowledged packets reads 0 at times while some are in flight.)
  if (link.acknowledgements != session.acknowledgements) session.waitingSince.reset();
  if (link.sentPackets != session.sentPackets && !session.waitingSince) session.waitingSince = now;
  session.acknowledgements = link.acknowledgements;
  session.sentPackets = link.sentPackets;
  const auto silent = session.waitingSince ? now - *session.waitingSince : std::chrono::steady_clock::duration{};
  if (silent > kSilenceBreak) throw std::runtime_error("The ingest stopped answering; reconnecting.");
  if (generation_ != generation) return;
  status_ = silent > kStall ? "The ingest is not answering; still sending." : session.sending;
  link_.linkUp = true;
  link_.rttMs = link.rttMs;
  link_.sendRateMbps = link.sendRateMbps;
  link_.sentPackets = link.sentPackets;
  link_.retransmittedPackets = link.retransmittedPackets;
  link_.droppedPackets = link.droppedPackets;
  link_.negotiatedLatencyMs = link.latencyMs;
}

void Sender::pause(std::unique_lock<std::mutex>& lock, std::chrono::steady_clock::time_point until,
                   std::uint64_t generation) {
  wake_.wait_until(lock, until, [&] { return stop_ || !enabled_ || generation_ != generation; });
}

void Sender::pauseForNew(std::unique_lock<std::mutex>& lock, std::chrono::steady_clock::time_point until,
                         std::uint64_t generation, const std::shared_ptr<const Frame>& sent) {
  wake_.wait_until(lock, until,
                   [&] { return stop_ || !enabled_ || generation_ != generation || pending_ != sent; });
}

void Sender::stream(std::unique_lock<std::mutex>& lock, Session& session, const Frame& first, double fps,
                    std::uint64_t generation) {
  // Picture n belongs to the interval that ends at its deadline and is sent at the
  // deadline or, when a new picture arrives within the interval, at once. The intervals
  // are placed so that a host rendering at the stream's rate delivers mid-interval,
  // away from the edges where its jitter would move pictures to the neighbours.
  const auto interval = std::chrono::microseconds(deadlineMicros(1, fps));
  const auto now = std::chrono::steady_clock::now();
  const auto sinceMid = (now - pendingSince_ - interval / 2) % interval;
  session.start = now - (sinceMid < sinceMid.zero() ? sinceMid + interval : sinceMid);
  std::uint64_t n = 0;
  while (!stop_ && enabled_ && generation_ == generation) {
    std::shared_ptr<const Frame> picture = pending_;
    if (picture->width != first.width || picture->height != first.height) {
      ++generation_;  // a new size needs a new session, not a reconnect
      return;
    }
    lock.unlock();
    session.encoder->encode(*picture, timestamp90k(n, fps));
    const LinkFigures link = session.connection->link();
    lock.lock();
    observe(session, link, generation);
    // The next interval opens where picture n's deadline is: one picture per interval.
    const auto opens = session.start + std::chrono::microseconds(deadlineMicros(n, fps));
    ++n;
    const auto deadline = session.start + std::chrono::microseconds(deadlineMicros(n, fps));
    const auto late = std::chrono::steady_clock::now();
    if (deadline <= late)  // skipping stops where the next keyframe is due
      n = std::max(n, std::min(catchUp(n, std::chrono::duration<double>(late - session.start).count(), fps),
                               lastPictureBy(session.encoder->keyframeDeadline90k(), fps)));
    pause(lock, opens, generation);
    pauseForNew(lock, deadline, generation, picture);
    // picture is released here, under the lock, so replacement counting stays exact
  }
}

void Sender::run() {
  std::unique_lock lock(mutex_);
  while (!stop_) {
    if (!enabled_ || !pending_) {
      wake_.wait(lock);
      continue;
    }
    const std::uint64_t generation = generation_;
    Settings settings = settings_;
    std::shared_ptr<const Frame> first = pending_;
    lock.unlock();

    std::unique_ptr<Session> session;
    std::optional<std::string> failure;
    try {
      session = open(settings, *first);
      lock.lock();
      if (!stop_ && enabled_ && generation_ == generation) {
        status_ = session->sending;
        link_ = Stats{};
        link_.bitrateKbps = settings.bitrateKbps;
        link_.latencyMs = settings.latencyMs;
      }
      stream(lock, *session, *first, settings.fps, generation);
    } catch (const std::exception& e) {
      failure = e.what();
    }
    // The encoder may still call back into the muxer, the connection and the
    // mutex while it shuts down, so the session ends unlocked.
    if (lock.owns_lock()) lock.unlock();
    session.reset();
    lock.lock();
    link_.linkUp = false;
    first.reset();
    if (!failure) continue;
    if (generation_ == generation && enabled_) {
      status_ = *failure;
      ++reconnectAttempts_;
    }
    pause(lock, std::chrono::steady_clock::now() + std::chrono::seconds(2), generation);
  }
}

}  // namespace vl
