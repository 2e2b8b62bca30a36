#include "Recording.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <map>
#include <memory>
#include <stdexcept>
#include <string>

namespace vl::bench {
namespace {

struct InputDeleter {
  void operator()(AVFormatContext* c) const { avformat_close_input(&c); }
};
struct CodecDeleter {
  void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct PacketDeleter {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct FrameDeleter {
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};

// Mean luma of the middle of each square; video range puts white near 235, black near 16.
int readStamp(const AVFrame& picture) {
  if (picture.width < kStampBits * kStampBlock || picture.height < kStampBlock) return -1;
  int number = 0;
  for (int bit = 0; bit < kStampBits; ++bit) {
    int sum = 0;
    const int x0 = bit * kStampBlock + kStampBlock / 4, y0 = kStampBlock / 4;
    for (int y = y0; y < y0 + kStampBlock / 2; ++y)
      for (int x = x0; x < x0 + kStampBlock / 2; ++x) sum += picture.data[0][y * picture.linesize[0] + x];
    if (sum / (kStampBlock * kStampBlock / 4) > 128) number |= 1 << bit;
  }
  return number;
}

}  // namespace

void stamp(Frame& frame, std::uint32_t number) {
  for (int y = 0; y < kStampBlock && y < frame.height; ++y)
    for (int x = 0; x < kStampBits * kStampBlock && x < frame.width; ++x) {
      const std::uint16_t value = (number >> (x / kStampBlock)) & 1 ? 65535 : 0;
      std::uint16_t* p = &frame.pixels[(static_cast<std::size_t>(y) * frame.width + x) * 3];
      p[0] = p[1] = p[2] = value;
    }
}

std::vector<RecordedPicture> readRecording(const std::filesystem::path& file, bool decodeNumbers) {
  AVFormatContext* raw = nullptr;
  if (avformat_open_input(&raw, file.c_str(), nullptr, nullptr) < 0)
    throw std::runtime_error("Could not open the recording " + file.string() + ".");
  std::unique_ptr<AVFormatContext, InputDeleter> input(raw);
  if (avformat_find_stream_info(input.get(), nullptr) < 0)
    throw std::runtime_error("Could not read the streams of " + file.string() + ".");
  const int video = av_find_best_stream(input.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  if (video < 0) throw std::runtime_error("The recording " + file.string() + " holds no video.");

  std::unique_ptr<AVCodecContext, CodecDeleter> decoder;
  if (decodeNumbers) {
    const AVCodecParameters* parameters = input->streams[video]->codecpar;
    decoder.reset(avcodec_alloc_context3(avcodec_find_decoder(parameters->codec_id)));
    if (!decoder || avcodec_parameters_to_context(decoder.get(), parameters) < 0)
      throw std::runtime_error("Could not set up a decoder for the recording.");
    decoder->thread_count = 1;  // no frame threading, so pictures come out in packet order at once
    if (avcodec_open2(decoder.get(), nullptr, nullptr) < 0)
      throw std::runtime_error("Could not open a decoder for the recording.");
  }

  std::vector<RecordedPicture> pictures;
  std::map<std::int64_t, int> numbers;  // by time stamp
  std::unique_ptr<AVPacket, PacketDeleter> packet(av_packet_alloc());
  std::unique_ptr<AVFrame, FrameDeleter> picture(av_frame_alloc());
  const auto drain = [&] {
    while (avcodec_receive_frame(decoder.get(), picture.get()) >= 0) {
      numbers[picture->best_effort_timestamp] = readStamp(*picture);
      av_frame_unref(picture.get());
    }
  };
  while (av_read_frame(input.get(), packet.get()) >= 0) {
    if (packet->stream_index == video) {
      pictures.push_back({packet->pts, -1});
      if (decoder && avcodec_send_packet(decoder.get(), packet.get()) >= 0) drain();
    }
    av_packet_unref(packet.get());
  }
  if (decoder) {
    avcodec_send_packet(decoder.get(), nullptr);
    drain();
    for (auto& p : pictures) {
      const auto found = numbers.find(p.pts90k);
      if (found != numbers.end()) p.number = found->second;
    }
  }
  return pictures;
}

}  // namespace vl::bench
