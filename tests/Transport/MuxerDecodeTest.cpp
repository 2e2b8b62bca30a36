// The muxer's output read back by an independent reader: libavformat's demuxer with
// libavcodec's decoder.
#include "Linux/Encoders.h"
#include "Transport/Muxer.h"

#include "Av.h"

#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>

// libx265 keeps a few filter buffers past encoder close; not ours to fix.
extern "C" const char* __lsan_default_suppressions() { return "leak:libx265.so\n"; }

namespace vl {
namespace {

using Bytes = std::vector<std::uint8_t>;

using test::AvPacket;

struct AccessUnit {
  Bytes bytes;
  bool keyframe = false;
  std::int64_t pts = 0;
};

constexpr int kWidth = 160;
constexpr int kHeight = 96;
constexpr int kFrames = 40;
constexpr std::int64_t kStart = 900000;  // ten seconds in, as after a reconnection
constexpr std::int64_t kStep = 3000;     // 30 fps

// Messages of the demuxer and decoder that report damage.
std::mutex logMutex;
std::vector<std::string> complaints;

void collect(void* avcl, int level, const char* format, va_list args) {
  std::array<char, 1024> line{};
  int prefix = 1;
  av_log_format_line(avcl, level, format, args, line.data(), static_cast<int>(line.size()), &prefix);
  const std::string text = line.data();
  std::lock_guard<std::mutex> lock(logMutex);
  if (level <= AV_LOG_WARNING || text.find("Continuity") != std::string::npos || text.find("corrupt") != std::string::npos)
    complaints.push_back(text);
}

class MuxerReadBack : public ::testing::TestWithParam<bool> {
protected:
  void SetUp() override {
    av_log_set_level(AV_LOG_DEBUG);
    av_log_set_callback(collect);
  }
  void TearDown() override {
    av_log_set_callback(av_log_default_callback);
    av_log_set_level(AV_LOG_INFO);
    std::filesystem::remove(path_);
  }
  const std::filesystem::path path_ = std::filesystem::temp_directory_path() /
                                      ("veltrane-mux-" + std::to_string(::getpid()) + ".ts");
};

TEST_P(MuxerReadBack, LibavformatDemuxesAndDecodesEveryPicture) {
  const bool hevc = GetParam();
  // Access units from the software encoders, muxed as the worker does: one burst per
  // picture, the bursts back to back.
  Settings settings;
  settings.hevc = hevc;
  settings.fps = 30;
  settings.keyframeSeconds = 0.3;  // a keyframe every ninth picture
  std::vector<AccessUnit> units;
  Muxer muxer(hevc);
  std::ofstream file(path_, std::ios::binary);
  auto encoder = makeNamedEncoder(hevc ? "libx265" : "libx264", kWidth, kHeight, settings,
                                  [&](const Bytes& au, bool key, std::int64_t pts) {
                                    units.push_back({au, key, pts});
                                    const Bytes burst = muxer.packetize(au, key, pts);
                                    file.write(reinterpret_cast<const char*>(burst.data()), std::ssize(burst));
                                  });
  Frame frame{kWidth, kHeight, 0.0, Samples(std::size_t{kWidth} * kHeight * 3)};
  for (int i = 0; i < kFrames; ++i) {
    for (std::size_t p = 0; p < frame.pixels.size(); ++p)
      frame.pixels[p] = static_cast<std::uint16_t>(p * 97 + static_cast<std::size_t>(i) * 5000);
    encoder->encode(frame, kStart + i * kStep);
  }
  file.close();
  ASSERT_EQ(units.size(), static_cast<std::size_t>(kFrames)) << "encoder unavailable or delayed";
  {
    std::lock_guard<std::mutex> lock(logMutex);
    complaints.clear();  // the encoders' own remarks; only the readers' count
  }

  test::AvInput input = test::openInput(path_.c_str(), av_find_input_format("mpegts"));
  ASSERT_TRUE(input);
  ASSERT_GE(avformat_find_stream_info(input.get(), nullptr), 0);
  ASSERT_EQ(input->nb_streams, 1u);
  const AVStream* stream = input->streams[0];
  EXPECT_EQ(stream->id, 0x0100);
  EXPECT_EQ(stream->codecpar->codec_id, hevc ? AV_CODEC_ID_HEVC : AV_CODEC_ID_H264);
  EXPECT_EQ(std::tuple(stream->codecpar->width, stream->codecpar->height), std::tuple(kWidth, kHeight));
  ASSERT_EQ(std::tuple(stream->time_base.num, stream->time_base.den), std::tuple(1, 90000));
  ASSERT_GE(input->nb_programs, 1u);
  EXPECT_EQ(input->programs[0]->id, 1);
  EXPECT_EQ(input->programs[0]->pcr_pid, 0x0100);

  test::Decoder decoder(stream->codecpar->codec_id, stream->codecpar);
  AvPacket pkt(av_packet_alloc());
  std::size_t packets = 0;
  int decoded = 0;
  Bytes sent, received;
  auto receive = [&] {
    for (const AVFrame* frame; (frame = decoder.next()); ++decoded) {
      EXPECT_EQ(frame->width, kWidth);
      EXPECT_EQ(frame->pts, kStart + decoded * kStep);
      EXPECT_FALSE(frame->flags & AV_FRAME_FLAG_CORRUPT);
    }
  };
  for (; av_read_frame(input.get(), pkt.get()) == 0; ++packets) {
    ASSERT_LT(packets, units.size());
    const AccessUnit& unit = units[packets];
    EXPECT_EQ(std::tuple(pkt->pts, pkt->dts), std::tuple(unit.pts, unit.pts)) << packets;
    EXPECT_EQ((pkt->flags & AV_PKT_FLAG_KEY) != 0, unit.keyframe) << packets;
    EXPECT_FALSE(pkt->flags & AV_PKT_FLAG_CORRUPT) << packets;
    // The delimiter leads, then the access unit unchanged. The HEVC parser cuts at
    // three-byte start codes, moving a start code's leading zero, so the whole elementary
    // stream is compared.
    const Bytes delimiter = hevc ? Bytes{0, 0, 0, 1, 0x46, 0x01, 0x50} : Bytes{0, 0, 0, 1, 0x09, 0xF0};
    sent.insert(sent.end(), delimiter.begin(), delimiter.end());
    sent.insert(sent.end(), unit.bytes.begin(), unit.bytes.end());
    received.insert(received.end(), pkt->data, pkt->data + pkt->size);
    ASSERT_TRUE(decoder.send(pkt.get()));
    receive();
    av_packet_unref(pkt.get());
  }
  decoder.send(nullptr);
  receive();
  EXPECT_EQ(packets, units.size());
  EXPECT_EQ(decoded, kFrames);
  EXPECT_TRUE(received == sent) << received.size() << " of " << sent.size() << " bytes";
  std::lock_guard<std::mutex> lock(logMutex);
  for (const std::string& line : complaints) ADD_FAILURE() << line;
}

INSTANTIATE_TEST_SUITE_P(Codecs, MuxerReadBack, ::testing::Bool(),
                         [](const auto& info) { return std::string(info.param ? "Hevc" : "H264"); });

}  // namespace
}  // namespace vl
