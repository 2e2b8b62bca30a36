#pragma once
// libav handles owned by std::unique_ptr, and a real decoder fed one access unit at a time.
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <vector>

namespace vl::test {

// For the libav calls that free through a pointer to the pointer.
template <auto free>
struct AvDeleter {
  template <class T>
  void operator()(T* p) const { free(&p); }
};
using AvCodec = std::unique_ptr<AVCodecContext, AvDeleter<avcodec_free_context>>;
using AvPacket = std::unique_ptr<AVPacket, AvDeleter<av_packet_free>>;
using AvFrame = std::unique_ptr<AVFrame, AvDeleter<av_frame_free>>;
using AvInput = std::unique_ptr<AVFormatContext, AvDeleter<avformat_close_input>>;

inline AvInput openInput(const char* path, const AVInputFormat* format = nullptr) {
  AVFormatContext* raw = nullptr;
  if (avformat_open_input(&raw, path, format, nullptr) < 0) return nullptr;
  return AvInput(raw);
}

class Decoder {
public:
  // Low delay, so that each access unit gives its picture back at once.
  explicit Decoder(AVCodecID id, const AVCodecParameters* parameters = nullptr) {
    const AVCodec* codec = avcodec_find_decoder(id);
    context.reset(avcodec_alloc_context3(codec));
    if (parameters) avcodec_parameters_to_context(context.get(), parameters);
    context->thread_count = 1;
    context->flags |= AV_CODEC_FLAG_LOW_DELAY;
    if (avcodec_open2(context.get(), codec, nullptr) != 0) throw std::runtime_error("The decoder did not open.");
  }
  // The decoded picture of this access unit, or null.
  AVFrame* decode(std::vector<std::uint8_t> au, std::int64_t pts) {
    au.resize(au.size() + AV_INPUT_BUFFER_PADDING_SIZE, 0);
    packet->data = au.data();
    packet->size = static_cast<int>(au.size() - AV_INPUT_BUFFER_PADDING_SIZE);
    packet->pts = pts;
    // The packet holds no reference: the decoder copies the bytes before this returns.
    return send(packet.get()) ? next() : nullptr;
  }
  // Sends a demuxed packet; false when the decoder refused it.
  bool send(const AVPacket* p) { return avcodec_send_packet(context.get(), p) == 0; }
  // The next finished picture, or null.
  AVFrame* next() {
    av_frame_unref(frame.get());
    return avcodec_receive_frame(context.get(), frame.get()) == 0 ? frame.get() : nullptr;
  }
  AvCodec context;
  AvPacket packet{av_packet_alloc()};
  AvFrame frame{av_frame_alloc()};
};

}  // namespace vl::test
