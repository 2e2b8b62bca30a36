// The whole product path: the command-line host renders five seconds through the built
// bundle, the plug-in streams them to the development service's ingest, and libavcodec
// decodes what arrived.
#include "DevService.h"

#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

extern char** environ;

namespace {

const std::string kToken = "ofx_end_to_end";
const std::string kMetadata = R"({"scene":"end to end","take":3})";

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
  int pictures = 0;
  int keyframes = 0;
  int keyframesWithMetadata = 0;
  int othersWithMetadata = 0;
  int decoded = 0;
  int decodeErrors = 0;
  int width = 0;
  int height = 0;
  std::string codec;
};

Received decode(const std::string& file) {
  Received r;
  AVFormatContext* raw = nullptr;
  if (avformat_open_input(&raw, file.c_str(), nullptr, nullptr) < 0) return r;
  std::unique_ptr<AVFormatContext, void (*)(AVFormatContext*)> format(raw, [](AVFormatContext* c) {
    avformat_close_input(&c);
  });
  if (avformat_find_stream_info(format.get(), nullptr) < 0 || format->nb_streams < 1) return r;
  const AVCodecParameters* parameters = format->streams[0]->codecpar;
  r.codec = avcodec_get_name(parameters->codec_id);
  const AVCodec* codec = avcodec_find_decoder(parameters->codec_id);
  std::unique_ptr<AVCodecContext, void (*)(AVCodecContext*)> decoder(avcodec_alloc_context3(codec),
                                                                      [](AVCodecContext* c) { avcodec_free_context(&c); });
  avcodec_parameters_to_context(decoder.get(), parameters);
  if (avcodec_open2(decoder.get(), codec, nullptr) < 0) return r;
  std::unique_ptr<AVPacket, void (*)(AVPacket*)> packet(av_packet_alloc(), [](AVPacket* p) { av_packet_free(&p); });
  std::unique_ptr<AVFrame, void (*)(AVFrame*)> frame(av_frame_alloc(), [](AVFrame* f) { av_frame_free(&f); });
  const auto drain = [&] {
    while (avcodec_receive_frame(decoder.get(), frame.get()) == 0) {
      ++r.decoded;
      r.width = frame->width;
      r.height = frame->height;
      if (frame->decode_error_flags != 0 || (frame->flags & AV_FRAME_FLAG_CORRUPT)) ++r.decodeErrors;
    }
  };
  while (av_read_frame(format.get(), packet.get()) >= 0) {
    const std::string_view data(reinterpret_cast<const char*>(packet->data), static_cast<std::size_t>(packet->size));
    const bool key = (packet->flags & AV_PKT_FLAG_KEY) != 0;
    const bool metadata = data.find(kMetadata) != std::string_view::npos;
    ++r.pictures;
    r.keyframes += key;
    r.keyframesWithMetadata += key && metadata;
    r.othersWithMetadata += !key && metadata;
    if (avcodec_send_packet(decoder.get(), packet.get()) < 0) ++r.decodeErrors;
    av_packet_unref(packet.get());
    drain();
  }
  avcodec_send_packet(decoder.get(), nullptr);
  drain();
  return r;
}

TEST(EndToEnd, FiveRenderedSecondsArriveDecodableWithTheMetadataOnEveryKeyframe) {
  vl::test::DevService service({"--token", kToken});
  // Tokens are kept per host program, so store it as the host's own.
  ASSERT_EQ(run({"/bin/sh", "-c",
                 "printf %s \"$0\" | secret-tool store --label=veltrane service "
                 "com.veltrane.ofx.account.veltrane-host account \"$1\"",
                 kToken, service.origin()}),
            0);
  const int status = run({VELTRANE_HOST_PATH, "--bundle", VELTRANE_BUNDLE_PATH, "--size", "640x360", "--depth",
                          "short", "--fps", "25", "--seconds", "5", "--realtime", "--set",
                          "apiBase=" + service.origin(), "--set", "viewerId=dev-main", "--set",
                          "metadata=" + kMetadata, "--set", "enabled=1", "--wait-after", "1"});
  ASSERT_EQ(status, 0);

  const auto stats = service.ingestStats();
  ASSERT_EQ(stats.connections.size(), 1u);
  const Received r = decode(stats.connections[0].file.string());
  EXPECT_EQ(r.codec, "h264");
  EXPECT_EQ(r.width, 640);
  EXPECT_EQ(r.height, 360);
  // Five seconds at 25 fps, less what a loaded machine skips and the last latency window.
  EXPECT_GE(r.pictures, 100);
  EXPECT_EQ(r.decoded, r.pictures);
  EXPECT_EQ(r.decodeErrors, 0);
  EXPECT_GE(r.keyframes, 5);
  EXPECT_EQ(r.keyframesWithMetadata, r.keyframes);
  EXPECT_EQ(r.othersWithMetadata, 0);
}

}  // namespace
