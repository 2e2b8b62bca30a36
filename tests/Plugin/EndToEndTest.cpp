// The whole product path: the command-line host renders a few seconds through the built
// bundle, the plug-in streams them to the development service's ingest, and libavcodec
// decodes what arrived. Each run reads another panel choice through to the stream; one runs
// beside stand-ins for the host's own copies of our libraries.
#include "Av.h"
#include "DevService.h"

#include <gtest/gtest.h>

#include <spawn.h>
#include <sys/wait.h>

#include <sstream>
#include <string>
#include <tuple>
#include <cmath>
#include <vector>

extern char** environ;

namespace {

const std::string kToken = "ofx_end_to_end";
const std::string kMetadata = R"({"scene":"end to end","take":3})";

// The exit status, or -1 when it did not exit.
int run(std::vector<std::string> args) {
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

struct Received {
  int pictures = 0, keyframes = 0, keyframesWithMetadata = 0, othersWithMetadata = 0;
  int decoded = 0, decodeErrors = 0;
  int width = 0, height = 0;
  std::string codec;
  int profile = 0;
  AVColorTransferCharacteristic transfer = AVCOL_TRC_UNSPECIFIED;
  std::vector<std::int64_t> pts;
};

Received decode(const std::string& file) {
  Received r;
  vl::test::AvInput format = vl::test::openInput(file.c_str());
  if (!format || avformat_find_stream_info(format.get(), nullptr) < 0 || format->nb_streams < 1) return r;
  const AVCodecParameters* parameters = format->streams[0]->codecpar;
  r.codec = avcodec_get_name(parameters->codec_id);
  r.profile = parameters->profile;
  r.transfer = parameters->color_trc;
  vl::test::Decoder decoder(parameters->codec_id, parameters);
  vl::test::AvPacket packet(av_packet_alloc());
  const auto drain = [&] {
    for (const AVFrame* frame; (frame = decoder.next()); ++r.decoded) {
      r.width = frame->width;
      r.height = frame->height;
      if (frame->decode_error_flags != 0 || (frame->flags & AV_FRAME_FLAG_CORRUPT)) ++r.decodeErrors;
    }
  };
  for (; av_read_frame(format.get(), packet.get()) >= 0; av_packet_unref(packet.get()), drain()) {
    const std::string_view data(reinterpret_cast<const char*>(packet->data), static_cast<std::size_t>(packet->size));
    const bool key = (packet->flags & AV_PKT_FLAG_KEY) != 0;
    const bool metadata = data.find(kMetadata) != std::string_view::npos;
    ++r.pictures;
    r.pts.push_back(packet->pts);
    r.keyframes += key;
    r.keyframesWithMetadata += key && metadata;
    r.othersWithMetadata += !key && metadata;
    r.decodeErrors += !decoder.send(packet.get());
  }
  decoder.send(nullptr);
  drain();
  return r;
}

struct Choice {
  const char* name;
  std::vector<std::string> args;  // host options and panel values
  std::string codec;
  int profile;  // as the stream numbers it: 100 H.264 High, 2 HEVC Main 10
  AVColorTransferCharacteristic transfer;
  double fps;      // of the stream
  int latencyMs;   // agreed at the ingest, which asks for libsrt's 120 itself
};

void PrintTo(const Choice& choice, std::ostream* out) { *out << choice.name; }

class EndToEnd : public ::testing::TestWithParam<Choice> {};

// Stores the service's token as the host's own (tokens are kept per host program), runs the
// host for a few seconds with the panel choices and reads what reached the ingest.
void streamAndCheck(const Choice& chosen, std::vector<std::string> options) {
  vl::test::DevService service({"--token", kToken});
  const int stored = run({"/bin/sh", "-c",
                          "printf %s \"$0\" | secret-tool store --label=veltrane service "
                          "com.veltrane.ofx.account.veltrane-host account \"$1\"",
                          kToken, service.origin()});
  ASSERT_EQ(stored, 0) << "Storing the token failed.";
  std::vector<std::string> args{VELTRANE_HOST_PATH, "--bundle", VELTRANE_BUNDLE_PATH, "--depth", "short",
                                "--seconds", "3", "--realtime", "--set", "apiBase=" + service.origin(),
                                "--set", "viewerId=dev-main", "--set", "metadata=" + kMetadata};
  args.insert(args.end(), options.begin(), options.end());
  args.insert(args.end(), chosen.args.begin(), chosen.args.end());
  args.insert(args.end(), {"--set", "enabled=1", "--wait-after", "1"});
  ASSERT_EQ(run(args), 0) << "A stand-in, if any, aborts when called.";

  const auto stats = service.ingestStats();
  ASSERT_EQ(stats.connections.size(), 1u);
  EXPECT_EQ(stats.connections[0].latencyMs, chosen.latencyMs);
  const Received r = decode(stats.connections[0].file.string());
  EXPECT_EQ(std::tuple(r.codec, r.profile, r.transfer, r.width, r.height),
            std::tuple(chosen.codec, chosen.profile, chosen.transfer, 640, 360));
  // Three seconds, less what a loaded machine skips and the last latency window.
  EXPECT_GE(r.pictures, static_cast<int>(chosen.fps * 2));
  EXPECT_GE(r.keyframes, 2);
  EXPECT_EQ(std::tuple(r.decoded, r.decodeErrors, r.keyframesWithMetadata, r.othersWithMetadata),
            std::tuple(r.pictures, 0, r.keyframes, 0));
  // Time stamps step by whole pictures at the stream's rate (3003 ticks at 29.97 fps), mostly by one.
  const double ticks = 90000.0 / chosen.fps;
  int single = 0;
  for (std::size_t i = 1; i < r.pts.size(); ++i) {
    const double step = static_cast<double>(r.pts[i] - r.pts[i - 1]), pictures = std::round(step / ticks);
    EXPECT_TRUE(pictures >= 1 && std::abs(step - pictures * ticks) <= 1.0) << "picture " << i << " step " << step;
    single += pictures == 1.0;
  }
  EXPECT_GE(single, static_cast<int>(r.pts.size()) * 8 / 10);
}

// SDR H.264 at a frame rate set on the panel, above the host's.
const Choice kSdr{"Sdr", {"--size", "640x360", "--fps", "25", "--set", "fps=50"}, "h264", 100, AVCOL_TRC_BT709,
                  50.0, 120};

TEST_P(EndToEnd, RenderedSecondsArriveDecodableAsThePanelChose) { streamAndCheck(GetParam(), {}); }

INSTANTIATE_TEST_SUITE_P(
    Panel, EndToEnd,
    ::testing::Values(
        kSdr,
        // HDR goes out as HEVC 10-bit whatever the codec choice; the rate is the clip's.
        Choice{"HdrPq", {"--size", "640x360", "--fps", "29.97", "--set", "color=1", "--set", "codec=0", "--set",
                      "latency=250"},
            "hevc", 2, AVCOL_TRC_SMPTE2084, 29.97, 250}),
    [](const auto& info) { return std::string(info.param.name); });

#ifdef VELTRANE_STANDINS
// A host linked to its own libcurl, libsrt, libavcodec and encoders has them in the global
// scope before our bundle loads; here each is a stand-in that aborts when called.
TEST(EndToEndBesideHostLibraries, StreamsWithoutCallingTheHostsCopies) {
  std::vector<std::string> preloads;
  std::istringstream standins(VELTRANE_STANDINS);
  for (std::string lib; std::getline(standins, lib, ':');) preloads.insert(preloads.end(), {"--preload", lib});
  streamAndCheck(kSdr, preloads);
}
#endif

}  // namespace
