#include "Linux/AvEncoder.h"

#include "Core/Bitstream.h"
#include "Core/Check.h"
#include "Core/YCbCr.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/dict.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
}

#include <cmath>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>

namespace vl {
namespace {

struct ContextDeleter {
  void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
struct FrameDeleter {
  void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct PacketDeleter {
  void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
struct DictionaryDeleter {
  void operator()(AVDictionary* dictionary) const { av_dict_free(&dictionary); }
};

struct Choice {
  PlaneLayout layout;
  AVPixelFormat format;
};

Choice choiceFor(const std::string& name) {
  if (name == "hevc_nvenc") return {PlaneLayout::p010, AV_PIX_FMT_P010LE};
  if (name == "libx265") return {PlaneLayout::yuv420p10, AV_PIX_FMT_YUV420P10LE};
  return {PlaneLayout::nv12, AV_PIX_FMT_NV12};
}

void setColour(AVCodecContext& context, int color) {
  context.color_range = AVCOL_RANGE_MPEG;
  context.color_primaries = color == 0 ? AVCOL_PRI_BT709 : AVCOL_PRI_BT2020;
  context.color_trc = color == 0 ? AVCOL_TRC_BT709 : color == 1 ? AVCOL_TRC_SMPTE2084 : AVCOL_TRC_ARIB_STD_B67;
  context.colorspace = color == 0 ? AVCOL_SPC_BT709 : AVCOL_SPC_BT2020_NCL;
  // The conversion averages 2x2 blocks, so chroma sits at the block's centre; libavcodec
  // passes this on to the VUI of libx264, libx265 and NVENC alike.
  context.chroma_sample_location = AVCHROMA_LOC_CENTER;
}

// Encoder-specific options: real-time presets without reordering or lookahead, headers
// repeated on every keyframe, and none of the encoders' own messages: x265 writes to the
// host's stderr directly, and the host's own FFmpeg log level is never ours to change.
// Failures still reach the caller as errors.
void options(const std::string& name, const Settings& settings, const RateControl& rate, int keyint,
             AVDictionary** dictionary) {
  const auto set = [&](const char* key, const std::string& value) { av_dict_set(dictionary, key, value.c_str(), 0); };
  const double peakKbps = settings.bitrateKbps * rate.peakShare;
  const std::string peak = std::to_string(static_cast<int>(peakKbps));
  const std::string buffer = std::to_string(static_cast<int>(peakKbps * rate.bufferSeconds));
  set("forced-idr", "1");  // a keyframe forced by time is a random access point
  if (name == "libx264") {
    set("preset", "veryfast");
    set("tune", "zerolatency");
    set("profile", "high");
    set("x264-params", "log=-1:repeat-headers=1:aud=0:scenecut=0:bframes=0:keyint=" + std::to_string(keyint) + rate.params);
  } else if (name == "libx265") {
    set("preset", "ultrafast");
    set("tune", "zerolatency");
    set("profile", "main10");
    set("x265-params", "log-level=none:repeat-headers=1:annexb=1:info=0:hash=0:aud=0:hrd=0:frame-threads=1"
                       ":bframes=0:open-gop=0:scenecut=0:keyint=" + std::to_string(keyint) +
                       ":min-keyint=1:vbv-maxrate=" + peak + ":vbv-bufsize=" + buffer + rate.params);
  } else {
    set("preset", "p2");
    set("tune", "ull");
    set("zerolatency", "1");
    set("delay", "0");
    set("rc", "vbr");
    set("profile", name == "hevc_nvenc" ? "main10" : "high");
  }
}

bool isHardware(const std::string& name) { return name.find("nvenc") != std::string::npos; }

// Opening failures name the encoder and what it was asked for; only a GPU encoder keeps
// the plain hardware message.
void checkOpened(int status, const std::string& name, int width, int height, const Settings& settings) {
  if (status == 0) return;
  if (isHardware(name)) check(status, "Hardware encoder unavailable");
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(status, text, sizeof text);
  throw std::runtime_error(name + " refused " + std::to_string(width) + "x" + std::to_string(height) +
                           " pictures at " + std::to_string(settings.bitrateKbps) + " kbit/s: " + text + " (" +
                           std::to_string(status) + ").");
}

class AvEncoder final : public Encoder {
public:
  AvEncoder(const std::string& codecName, int width, int height, const Settings& settings, const RateControl& rate,
            EncodedOutput output)
      : settings_(settings), output_(std::move(output)), width_(width), height_(height),
        codec_(settings.hevc ? Codec::hevc : Codec::h264), choice_(choiceFor(codecName)),
        keyframeTicks_(std::llround(settings.keyframeSeconds * 90000.0)),
        stepTicks_(static_cast<std::int64_t>(std::ceil(90000.0 / settings.fps - 1e-9))) {
    const AVCodec* codec = avcodec_find_encoder_by_name(codecName.c_str());
    if (!codec) checkOpened(AVERROR_ENCODER_NOT_FOUND, codecName, width, height, settings);
    context_.reset(avcodec_alloc_context3(codec));
    if (!context_) check(AVERROR(ENOMEM), "Encoder allocation failed");

    const int keyint = keyframeInterval(settings.fps, settings.keyframeSeconds);
    AVCodecContext& c = *context_;
    // This context's messages (a GPU probed for and not there, among them) only show at
    // the host's debug level; nothing process-wide changes.
    c.log_level_offset = AV_LOG_DEBUG - AV_LOG_ERROR;
    c.width = width;
    c.height = height;
    c.pix_fmt = choice_.format;
    c.time_base = AVRational{1, 90000};
    c.framerate = av_d2q(settings.fps, 1 << 20);
    c.gop_size = keyint;
    c.max_b_frames = 0;
    c.bit_rate = std::int64_t{settings.bitrateKbps} * 1000;
    c.rc_max_rate = static_cast<std::int64_t>(c.bit_rate * rate.peakShare);
    c.rc_buffer_size = static_cast<int>(c.bit_rate * rate.peakShare * rate.bufferSeconds);
    setColour(c, settings.color);

    AVDictionary* raw = nullptr;
    options(codecName, settings, rate, keyint, &raw);
    const int opened = avcodec_open2(&c, codec, &raw);
    const std::unique_ptr<AVDictionary, DictionaryDeleter> unused(raw);
    checkOpened(opened, codecName, width, height, settings);
    // Options the encoder did not take are left over; running without them would break the contract.
    if (av_dict_count(unused.get()) != 0)
      throw std::runtime_error(std::string("The encoder does not take the option \"") +
                               av_dict_get(unused.get(), "", nullptr, AV_DICT_IGNORE_SUFFIX)->key + "\".");

    picture_.reset(av_frame_alloc());
    packet_.reset(av_packet_alloc());
    if (!picture_ || !packet_) check(AVERROR(ENOMEM), "Pixel buffer pool creation failed");
    picture_->format = choice_.format;
    picture_->width = width;
    picture_->height = height;
    picture_->color_range = c.color_range;
    picture_->color_primaries = c.color_primaries;
    picture_->color_trc = c.color_trc;
    picture_->colorspace = c.colorspace;
    check(av_frame_get_buffer(picture_.get(), 0), "Pixel buffer pool creation failed");
  }

  void encode(const Frame& frame, std::int64_t pts90k) override {
    if (frame.width != width_ || frame.height != height_)
      throw std::runtime_error("The picture size differs from the encoder's.");
    // The encoder may still hold the previous picture; then this makes a fresh one.
    check(av_frame_make_writable(picture_.get()), "Pixel buffer allocation failed");
    Planes planes;
    for (int p = 0; p < 3; ++p) {
      planes.data[p] = picture_->data[p];
      planes.bytesPerRow[p] = picture_->linesize[p];
    }
    convertToYCbCr(frame, matrixFor(settings_.color), choice_.layout, planes);
    picture_->pts = pts90k;
#if LIBAVUTIL_VERSION_INT >= AV_VERSION_INT(57, 30, 100)
    picture_->duration = std::llround(90000.0 / settings_.fps);
#else
    picture_->pkt_duration = std::llround(90000.0 / settings_.fps);  // before duration existed
#endif
    // The encoders count pictures, which drift apart in time when the worker skips: a
    // keyframe is forced here when even the very next picture would come too late.
    const bool force = !lastKeyframe90k_ || pts90k + stepTicks_ > keyframeDeadline90k();
    picture_->pict_type = force ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
    check(avcodec_send_frame(context_.get(), picture_.get()), "Hardware encoding failed");

    int delivered = 0;
    for (;;) {
      const int status = avcodec_receive_packet(context_.get(), packet_.get());
      if (status == AVERROR(EAGAIN)) break;
      check(status, "Hardware encoding failed");
      const AccessUnit unit = reshapeAccessUnit(codec_, ByteSpan(packet_->data, static_cast<std::size_t>(packet_->size)),
                                                (packet_->flags & AV_PKT_FLAG_KEY) != 0, parameterSets_);
      const std::int64_t pts = ticks90k(packet_->pts, context_->time_base.num, context_->time_base.den);
      av_packet_unref(packet_.get());
      ++delivered;
      if (unit.keyframe) lastKeyframe90k_ = pts;
      output_(unit.bytes, unit.keyframe, pts);
    }
    // Every picture must be out before encode returns; an encoder holding one back breaks that.
    if (delivered == 0) check(AVERROR(EAGAIN), "Hardware encoding did not complete");
  }

  std::int64_t keyframeDeadline90k() const override {
    return lastKeyframe90k_ ? *lastKeyframe90k_ + keyframeTicks_ : std::numeric_limits<std::int64_t>::max();
  }

  std::string name() const override { return context_->codec->name; }

private:
  Settings settings_;
  EncodedOutput output_;
  int width_, height_;
  Codec codec_;
  Choice choice_;
  std::int64_t keyframeTicks_;  // keyframeSeconds in 90 kHz ticks
  std::int64_t stepTicks_;      // the longest step between two consecutive pictures' time stamps
  std::optional<std::int64_t> lastKeyframe90k_;
  std::unique_ptr<AVCodecContext, ContextDeleter> context_;
  std::unique_ptr<AVFrame, FrameDeleter> picture_;
  std::unique_ptr<AVPacket, PacketDeleter> packet_;
  ParameterSets parameterSets_;
};

}  // namespace

int keyframeInterval(double fps, double keyframeSeconds) {
  // The tolerance keeps 0.3 x 10 at 3 pictures despite binary rounding.
  const double pictures = std::ceil(fps * keyframeSeconds - 1e-9);
  return pictures < 1 ? 1 : pictures > 1e6 ? 1000000 : static_cast<int>(pictures);
}

std::vector<std::string> encoderNames(bool hevc) {
  if (hevc) return {"hevc_nvenc", "libx265"};
  return {"h264_nvenc", "libx264"};
}

std::unique_ptr<Encoder> makeAvEncoder(const std::string& codecName, int width, int height, const Settings& settings,
                                       EncodedOutput output, const RateControl& rate) {
  return std::make_unique<AvEncoder>(codecName, width, height, settings, rate, std::move(output));
}

RateControl rateControlFor(const std::string& codecName) {
  // peak x (1 s + buffer) stays under the cap, so VBV holds every one-second window whatever
  // the content. Under so short a buffer the encoders' average-rate mode starves (about 0.8 of
  // the bitrate); a quality target far above what the rate allows keeps them asking for more
  // than VBV lets through, so the average sits at the peak (docs/encoder-rate.md).
  if (codecName == "libx264" || codecName == "libx265") return {0.91, 0.09, ":crf=8"};
  // NVENC, not measured here: the same bound.
  return {0.9, 0.1, ""};
}

std::unique_ptr<Encoder> makeAvEncoder(const std::string& codecName, int width, int height, const Settings& settings,
                                       EncodedOutput output) {
  return makeAvEncoder(codecName, width, height, settings, std::move(output), rateControlFor(codecName));
}

std::unique_ptr<Encoder> makeEncoder(int width, int height, const Settings& settings, EncodedOutput output) {
  const std::vector<std::string> names = encoderNames(settings.hevc);
  for (std::size_t i = 0; i + 1 < names.size(); ++i) {
    try {
      return makeAvEncoder(names[i], width, height, settings, output);
    } catch (const std::runtime_error&) {
      // No such GPU or driver here: the software encoder follows.
    }
  }
  return makeAvEncoder(names.back(), width, height, settings, std::move(output));
}

}  // namespace vl
