// Streams 1920x1080 at 25 fps, H.264 8000 kbit/s, into the development service's
// ingest twice in one run: first through vl::Sender, then through an ffmpeg
// process given the same raw pictures on the same schedule. Prints CPU per sent
// picture for both, and for vl::Sender the time from submit to the picture's
// last packet leaving (in the steady state: the session's first second, setup and
// encoder warm-up, is reported on its own) and the pacing error. Run it through
// bench/sender-bench.
#include "Api/Api.h"
#include "Core/Sender.h"
#include "Core/TokenStore.h"
#include "Recording.h"

#include "DevService.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace vl::bench {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr double kFps = 25.0;
constexpr int kBitrateKbps = 8000;
constexpr int kLatencyMs = 60;
constexpr auto kInterval = std::chrono::microseconds(40000);
constexpr int kCycle = 25;     // distinct pictures; the pattern repeats after one second
constexpr int kStepPx = 8;     // movement per picture
constexpr int kPeriodPx = kCycle * kStepPx;
constexpr int kTail = 5;       // intervals the sender keeps repeating the last picture
const std::string kToken = "ofx_sender_bench_token";

double cpuSeconds(clockid_t clock) {
  timespec t{};
  clock_gettime(clock, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

double childCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_CHILDREN, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// Nearest rank; values need not be sorted.
double percentile(std::vector<double> values, double share) {
  if (values.empty()) return NAN;
  std::sort(values.begin(), values.end());
  const auto rank = static_cast<std::size_t>(std::ceil(share * static_cast<double>(values.size())));
  return values[std::clamp<std::size_t>(rank, 1, values.size()) - 1];
}

// Diagonal bands and a fixed grain that slide right by kStepPx per picture, so the
// encoder sees motion and texture, not a still image.
std::vector<Frame> patterns() {
  std::mt19937 random(7);
  std::vector<std::uint16_t> grain(static_cast<std::size_t>(kPeriodPx) * kHeight);
  for (auto& g : grain) g = static_cast<std::uint16_t>(random() % 4096);
  std::vector<Frame> frames(kCycle);
  for (int n = 0; n < kCycle; ++n) {
    Frame& f = frames[n];
    f.width = kWidth;
    f.height = kHeight;
    f.pixels.resize(static_cast<std::size_t>(kWidth) * kHeight * 3);
    for (int y = 0; y < kHeight; ++y)
      for (int x = 0; x < kWidth; ++x) {
        const int u = ((x - n * kStepPx) % kPeriodPx + kPeriodPx) % kPeriodPx;
        const std::uint16_t g = grain[static_cast<std::size_t>(y) * kPeriodPx + u];
        std::uint16_t* p = &f.pixels[(static_cast<std::size_t>(y) * kWidth + x) * 3];
        p[0] = static_cast<std::uint16_t>(((u + y) % kPeriodPx) * 300 + g);
        p[1] = static_cast<std::uint16_t>(y * 55 + g);
        p[2] = static_cast<std::uint16_t>(((u / 25 + y / 25) & 1) * 40000 + g);
      }
  }
  return frames;
}

Frame copyOf(const Frame& source, int number) {
  Frame frame;
  frame.width = source.width;
  frame.height = source.height;
  frame.time = number / kFps;
  frame.pixels.resize(source.pixels.size());
  std::copy(source.pixels.begin(), source.pixels.end(), frame.pixels.begin());
  stamp(frame, static_cast<std::uint32_t>(number));
  return frame;
}

// Notes the moment the sender's encoded-picture count reaches each value. The
// count grows right after a picture's packets went to the connection, so this is
// when its last packet left, to within one polling period.
class SendWatch {
public:
  explicit SendWatch(const Sender& sender) : thread_([this, &sender] { watch(sender); }) {}
  ~SendWatch() { finish(); }
  SendWatch(const SendWatch&) = delete;
  SendWatch& operator=(const SendWatch&) = delete;

  void finish() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  // Valid after finish().
  const std::vector<Clock::time_point>& sent() const { return sent_; }
  double cpuSeconds() const { return cpuSeconds_; }

private:
  void watch(const Sender& sender) {
    while (!stop_) {
      const std::uint64_t encoded = sender.stats().encodedFrames;
      const auto now = Clock::now();
      while (sent_.size() < encoded) sent_.push_back(now);
      std::this_thread::sleep_for(250us);
    }
    cpuSeconds_ = bench::cpuSeconds(CLOCK_THREAD_CPUTIME_ID);
  }

  std::atomic<bool> stop_{false};
  std::vector<Clock::time_point> sent_;
  double cpuSeconds_ = 0;
  std::thread thread_;
};

struct Result {
  std::uint64_t framesSent = 0;      // pictures the ingest recorded
  std::uint64_t framesEncoded = 0;   // the sender's count; for ffmpeg the pictures it took
  double cpuSeconds = 0;
  // vl::Sender only
  std::vector<double> latencyMs;     // submit to last packet, first sending of each picture
  double firstPictureMs = NAN;       // the same for the session's first picture, setup included
  double warmUpMs = 0;               // the longest for a later picture of the first second
  std::uint64_t warmUpPictures = 0;  // how many there were
  std::vector<double> pacingErrorMs; // send time against the ideal schedule, absolute
  std::uint64_t skippedTicks = 0, repeated = 0, neverSent = 0, replaced = 0, unread = 0, acausal = 0;
  std::string status;
  // ffmpeg only
  std::uint64_t lateWrites = 0;
  int exitStatus = 0;
};

Result runSender(test::DevService& service, const std::vector<Frame>& cycle, int pictures) {
  Settings settings;
  settings.apiBase = service.origin();
  settings.viewerId = "dev-main";
  settings.bitrateKbps = kBitrateKbps;
  settings.latencyMs = kLatencyMs;
  settings.fps = kFps;
  settings.keyframeSeconds = 1.0;

  Result result;
  std::vector<Clock::time_point> submitted(pictures);
  double preparing = 0;  // main-thread CPU spent copying and stamping pictures
  const double cpuStart = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
  double watching = 0;
  std::vector<Clock::time_point> sent;
  {
    Sender sender;
    SendWatch watch(sender);
    sender.configure(settings, true);
    const auto start = Clock::now();
    for (int i = 0; i < pictures; ++i) {
      const double before = cpuSeconds(CLOCK_THREAD_CPUTIME_ID);
      Frame frame = copyOf(cycle[i % kCycle], i);
      preparing += cpuSeconds(CLOCK_THREAD_CPUTIME_ID) - before;
      std::this_thread::sleep_until(start + i * kInterval);
      submitted[i] = Clock::now();
      sender.submit(std::move(frame));
    }
    // A few repeats of the last picture: closing the connection may cut off the
    // ingest's last latency window, and it should lose repeats, not measured pictures.
    std::this_thread::sleep_until(start + (pictures + kTail) * kInterval);
    result.status = sender.stats().status;
    sender.configure(settings, false);
    std::this_thread::sleep_for(300ms);
    watch.finish();
    const auto stats = sender.stats();
    result.framesEncoded = stats.encodedFrames;
    result.replaced = stats.queueReplacements;
    sent = watch.sent();
    watching = watch.cpuSeconds();
  }
  result.cpuSeconds = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - cpuStart - preparing - watching;

  const auto connections = service.ingestStats().connections;
  if (connections.empty()) throw std::runtime_error("The ingest saw no connection from vl::Sender.");
  const auto recorded = readRecording(connections.front().file, true);
  result.framesSent = recorded.size();

  // The k-th recorded picture is the k-th one counted; a shorter recording lost its tail.
  const std::size_t known = std::min(recorded.size(), sent.size());
  std::vector<bool> seen(pictures, false);
  std::vector<double> offsets;
  std::int64_t lastTick = -1;
  for (std::size_t k = 0; k < known; ++k) {
    const std::int64_t tick = std::llround(static_cast<double>(recorded[k].pts90k - recorded[0].pts90k) * kFps / 90000.0);
    if (lastTick >= 0 && tick > lastTick + 1) result.skippedTicks += static_cast<std::uint64_t>(tick - lastTick - 1);
    lastTick = tick;
    offsets.push_back(ms(sent[k] - sent[0]) - static_cast<double>(tick) * ms(kInterval));
    const int number = recorded[k].number;
    if (number < 0 || number >= pictures) {
      ++result.unread;
      continue;
    }
    if (sent[k] < submitted[number]) ++result.acausal;  // matched to the wrong send
    if (seen[number]) {
      ++result.repeated;
      continue;
    }
    seen[number] = true;
    // The session's first picture waits for the whole setup; that is reported on its own.
    // The rest of the first second is the encoder's warm-up (its first pictures take
    // twice as long) and the catch-up behind the setup; the steady state follows.
    if (k == 0) {
      result.firstPictureMs = ms(sent[k] - submitted[number]);
    } else if (submitted[number] < sent[0] + 1s) {
      ++result.warmUpPictures;
      result.warmUpMs = std::max(result.warmUpMs, ms(sent[k] - submitted[number]));
    } else {
      result.latencyMs.push_back(ms(sent[k] - submitted[number]));
    }
  }
  result.neverSent = static_cast<std::uint64_t>(std::count(seen.begin(), seen.end(), false));
  // The schedule's phase is whatever the session start gave; the error is the spread around it.
  const double phase = percentile(offsets, 0.5);
  for (double o : offsets) result.pacingErrorMs.push_back(std::abs(o - phase));
  return result;
}

bool writeAll(int fd, const void* data, std::size_t size) {
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  while (size > 0) {
    const ssize_t done = write(fd, bytes, size);
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) return false;
    bytes += done;
    size -= static_cast<std::size_t>(done);
  }
  return true;
}

Result runFfmpeg(test::DevService& service, const std::vector<Frame>& cycle, int pictures, const std::string& ffmpeg,
                 const std::filesystem::path& log) {
  const Target target = Api(service.origin()).target(kToken, "dev-main");
  const std::string url = target.url + "?streamid=" + target.streamId + "&latency=" + std::to_string(kLatencyMs * 1000);
  const std::string size = std::to_string(kWidth) + "x" + std::to_string(kHeight);
  const std::string rate = std::to_string(kBitrateKbps) + "k";
  std::vector<std::string> args{ffmpeg, "-hide_banner", "-nostdin", "-nostats", "-loglevel", "warning",
                                "-f", "rawvideo", "-pix_fmt", "rgb48le", "-video_size", size, "-framerate", "25",
                                "-i", "pipe:0", "-c:v", "libx264", "-preset", "veryfast", "-tune", "zerolatency",
                                "-b:v", rate, "-maxrate", rate, "-bufsize", rate, "-g", "25", "-bf", "0",
                                "-f", "mpegts", url};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  int input[2];
  if (pipe2(input, O_CLOEXEC) != 0) throw std::runtime_error("Could not create a pipe for ffmpeg.");
  const int logFd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (logFd < 0) throw std::runtime_error("Could not create " + log.string() + ".");
  const double cpuBefore = childCpuSeconds();
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("Could not start ffmpeg.");
  if (pid == 0) {
    dup2(input[0], STDIN_FILENO);
    dup2(logFd, STDERR_FILENO);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  close(input[0]);
  close(logFd);

  Result result;
  const auto start = Clock::now();
  for (int i = 0; i < pictures; ++i) {
    Frame frame = copyOf(cycle[i % kCycle], i);
    const auto due = start + i * kInterval;
    std::this_thread::sleep_until(due);
    if (Clock::now() > due + kInterval) ++result.lateWrites;  // ffmpeg held the pipe full
    if (!writeAll(input[1], frame.pixels.data(), frame.pixels.size() * sizeof(std::uint16_t))) break;
    ++result.framesEncoded;  // ffmpeg encodes every picture it reads
  }
  close(input[1]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  result.cpuSeconds = childCpuSeconds() - cpuBefore;
  result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);

  std::this_thread::sleep_for(300ms);
  const auto connections = service.ingestStats().connections;
  if (connections.size() < 2) throw std::runtime_error("The ingest saw no connection from ffmpeg; see " + log.string() + ".");
  result.framesSent = readRecording(connections.back().file, false).size();
  return result;
}

std::string fixed(double value, int decimals = 2) {
  if (std::isnan(value)) return "-";
  char text[32];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

void row(const std::string& name, const std::string& ours, const std::string& theirs) {
  std::printf("  %-38s %16s %16s\n", name.c_str(), ours.c_str(), theirs.c_str());
}

void report(const Result& ours, const Result& ffmpeg, int seconds) {
  double load[3] = {0, 0, 0};
  getloadavg(load, 3);
  std::printf("sender bench: %dx%d, %.0f fps, H.264 %d kbit/s, %d s each, one after the other\n", kWidth, kHeight,
              kFps, kBitrateKbps, seconds);
  std::printf("machine: %u hardware threads, load average %.2f %.2f %.2f\n", std::thread::hardware_concurrency(),
              load[0], load[1], load[2]);
  std::printf("vl::Sender status while sending: \"%s\"; ffmpeg exit status %d\n\n", ours.status.c_str(),
              ffmpeg.exitStatus);
  row("", "vl::Sender", "ffmpeg");
  row("pictures recorded by the ingest", std::to_string(ours.framesSent), std::to_string(ffmpeg.framesSent));
  row("pictures encoded and sent", std::to_string(ours.framesEncoded), std::to_string(ffmpeg.framesEncoded));
  const auto perPicture = [](const Result& r) {
    return r.framesEncoded ? r.cpuSeconds * 1000 / static_cast<double>(r.framesEncoded) : NAN;
  };
  const double oursCpu = perPicture(ours), theirCpu = perPicture(ffmpeg);
  row("CPU ms per sent picture", fixed(oursCpu), fixed(theirCpu));
  row("CPU s in all", fixed(ours.cpuSeconds), fixed(ffmpeg.cpuSeconds));
  row("first picture, setup included, ms", fixed(ours.firstPictureMs), "-");
  row("first second after it, pictures", std::to_string(ours.warmUpPictures), "-");
  row("first second after it, max ms", fixed(ours.warmUpMs), "-");
  row("submit to last packet, min ms", fixed(percentile(ours.latencyMs, 0.0)), "-");
  row("submit to last packet, median ms", fixed(percentile(ours.latencyMs, 0.5)), "-");
  row("submit to last packet, p99 ms", fixed(percentile(ours.latencyMs, 0.99)), "-");
  row("submit to last packet, max ms", fixed(percentile(ours.latencyMs, 1.0)), "-");
  row("pacing error, median ms", fixed(percentile(ours.pacingErrorMs, 0.5)), "-");
  row("pacing error, p99 ms", fixed(percentile(ours.pacingErrorMs, 0.99)), "-");
  row("pacing error, max ms", fixed(percentile(ours.pacingErrorMs, 1.0)), "-");
  row("skipped ticks (late, not sent)", std::to_string(ours.skippedTicks), "-");
  row("pictures repeated / never sent", std::to_string(ours.repeated) + " / " + std::to_string(ours.neverSent), "-");
  row("pictures replaced before taken", std::to_string(ours.replaced), "-");
  row("pictures with an unreadable stamp", std::to_string(ours.unread), "-");
  row("recorded before they were submitted", std::to_string(ours.acausal), "-");
  row("writes a frame or more late", "-", std::to_string(ffmpeg.lateWrites));
  if (ours.framesSent < ours.framesEncoded)
    std::printf("\nThe ingest recorded %llu of %llu pictures from vl::Sender; send times are matched to\n"
                "recorded pictures in order, so only a loss at the end leaves them right (see the row above).\n",
                static_cast<unsigned long long>(ours.framesSent), static_cast<unsigned long long>(ours.framesEncoded));
  std::printf("\nratios:\n");
  std::printf("  CPU per picture, vl::Sender / ffmpeg:   %s\n", fixed(oursCpu / theirCpu, 3).c_str());
  std::printf("  p99 submit-to-sent / frame interval:    %s\n",
              fixed(percentile(ours.latencyMs, 0.99) / ms(kInterval), 3).c_str());
}

struct Options {
  int seconds = 20;
  std::string ffmpeg = "ffmpeg";
};

Options parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--seconds" && i + 1 < argc) {
      o.seconds = std::atoi(argv[++i]);
      if (o.seconds < 1 || o.seconds > 600) throw std::runtime_error("--seconds takes 1 to 600.");
    } else if (a == "--ffmpeg" && i + 1 < argc) {
      o.ffmpeg = argv[++i];
    } else {
      throw std::runtime_error("Usage: sender_bench [--seconds N] [--ffmpeg PATH]");
    }
  }
  return o;
}

int run(int argc, char** argv) {
  const Options options = parse(argc, argv);
  signal(SIGPIPE, SIG_IGN);  // a dead ffmpeg must show as a failed write
  const int pictures = static_cast<int>(options.seconds * kFps);
  std::cerr << "preparing " << kCycle << " pictures...\n";
  const std::vector<Frame> cycle = patterns();

  char pattern[] = "/tmp/veltrane-sender-bench.XXXXXX";
  if (!mkdtemp(pattern)) throw std::runtime_error("Could not create a folder for the recordings.");
  const std::filesystem::path dir = pattern;
  struct Cleanup {
    std::filesystem::path dir;
    ~Cleanup() {
      std::error_code ignored;
      std::filesystem::remove_all(dir, ignored);
    }
  } cleanup{dir};

  std::filesystem::create_directories(dir / "ingest");
  test::DevService service({"--token", kToken, "--record-dir", (dir / "ingest").string()});
  saveToken(service.origin(), kToken);
  std::cerr << "vl::Sender for " << options.seconds << " s...\n";
  const Result ours = runSender(service, cycle, pictures);
  std::cerr << "ffmpeg for " << options.seconds << " s...\n";
  const Result theirs = runFfmpeg(service, cycle, pictures, options.ffmpeg, dir / "ffmpeg.log");
  if (std::filesystem::file_size(dir / "ffmpeg.log") > 0) {
    std::ifstream log(dir / "ffmpeg.log");
    std::cerr << "ffmpeg said:\n" << log.rdbuf() << "\n";
  }
  report(ours, theirs, options.seconds);
  forgetToken(service.origin());
  return ours.framesSent > 0 && theirs.framesSent > 0 ? 0 : 1;
}

}  // namespace
}  // namespace vl::bench

int main(int argc, char** argv) {
  try {
    return vl::bench::run(argc, argv);
  } catch (const std::exception& e) {
    std::cerr << "sender_bench: " << e.what() << "\n";
    return 1;
  }
}
