// The muxer's output read back by an independent reader: libavformat's demuxer with
// libavcodec's decoder.
#include "Linux/Encoders.h"
#include "Transport/Muxer.h"

#include "Av.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

// libx265 keeps a few filter buffers past encoder close; not ours to fix.
extern "C" const char* __lsan_default_suppressions() { return "leak:libx265.so\n"; }

namespace vl {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr int kWidth = 160, kHeight = 96, kFrames = 40;
constexpr std::int64_t kStart = 900000, kStep = 3000;  // ten seconds in, as after a reconnection; 30 fps

// What the demuxer and decoder report as damage. Collected on this thread alone: the encoder
// is gone and the decoder runs single-threaded by then.
std::vector<std::string> complaints;

void collect(void* avcl, int level, const char* format, va_list args) {
  std::array<char, 1024> line{};
  int prefix = 1;
  av_log_format_line(avcl, level, format, args, line.data(), static_cast<int>(line.size()), &prefix);
  if (level <= AV_LOG_WARNING || std::strstr(line.data(), "Continuity") || std::strstr(line.data(), "corrupt"))
    complaints.push_back(line.data());
}

TEST(MuxerReadBack, LibavformatDemuxesAndDecodesEveryPictureOfBothCodecs) {
  const auto path = std::filesystem::temp_directory_path() / ("veltrane-mux-" + std::to_string(::getpid()) + ".ts");
  for (bool hevc : {false, true}) {
    SCOPED_TRACE(hevc ? "HEVC" : "H.264");
    // Access units from the software encoders, muxed as the worker does, one burst per picture.
    Settings settings;
    settings.hevc = hevc;
    settings.fps = 30;
    settings.keyframeSeconds = 0.3;  // a keyframe every ninth picture
    struct Unit {
      Bytes bytes;
      bool keyframe;
      std::int64_t pts;
    };
    std::vector<Unit> units;
    Muxer muxer(hevc);
    std::ofstream file(path, std::ios::binary);
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
    encoder.reset();
    file.close();
    ASSERT_EQ(units.size(), static_cast<std::size_t>(kFrames)) << "encoder unavailable or delayed";

    complaints.clear();
    av_log_set_level(AV_LOG_DEBUG);
    av_log_set_callback(collect);
    test::AvInput input = test::openInput(path.c_str(), av_find_input_format("mpegts"));
    ASSERT_TRUE(input);
    ASSERT_GE(avformat_find_stream_info(input.get(), nullptr), 0);
    ASSERT_EQ(input->nb_streams, 1u);
    ASSERT_EQ(input->streams[0]->codecpar->codec_id, hevc ? AV_CODEC_ID_HEVC : AV_CODEC_ID_H264);
    test::Decoder decoder(input->streams[0]->codecpar->codec_id, input->streams[0]->codecpar);
    test::AvPacket pkt(av_packet_alloc());
    std::size_t packets = 0;
    int decoded = 0;
    Bytes sent, received;
    auto receive = [&] {
      for (const AVFrame* picture; (picture = decoder.next()); ++decoded) {
        EXPECT_EQ(picture->width, kWidth);
        EXPECT_EQ(picture->pts, kStart + decoded * kStep);
        EXPECT_FALSE(picture->flags & AV_FRAME_FLAG_CORRUPT);
      }
    };
    for (; av_read_frame(input.get(), pkt.get()) == 0; ++packets) {
      ASSERT_LT(packets, units.size());
      const Unit& unit = units[packets];
      EXPECT_EQ(std::tuple(pkt->pts, pkt->dts, (pkt->flags & AV_PKT_FLAG_KEY) != 0),
                std::tuple(unit.pts, unit.pts, unit.keyframe)) << packets;
      EXPECT_FALSE(pkt->flags & AV_PKT_FLAG_CORRUPT) << packets;
      // The delimiter, then the access unit unchanged. The HEVC parser cuts at three-byte
      // start codes, moving a start code's leading zero, so the whole stream is compared.
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
    av_log_set_callback(av_log_default_callback);
    av_log_set_level(AV_LOG_INFO);
    EXPECT_EQ(std::tuple(packets, decoded), std::tuple(units.size(), kFrames));
    EXPECT_TRUE(received == sent) << received.size() << " of " << sent.size() << " bytes";
    for (const std::string& line : complaints) ADD_FAILURE() << line;
  }
  std::filesystem::remove(path);
}

}  // namespace
}  // namespace vl
