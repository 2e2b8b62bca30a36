// H.264 High, 8-bit, through libx264 directly.
#include "Linux/EncoderParts.h"

#include <x264.h>

#include <stdexcept>

namespace vl {
namespace {

struct X264Deleter {
  void operator()(x264_t* encoder) const { x264_encoder_close(encoder); }
};

// A real-time preset without reordering or lookahead, headers repeated on every keyframe,
// and no messages: x264 writes to the host's stderr directly.
x264_param_t parameters(const EncoderSetup& setup) {
  x264_param_t p;
  if (x264_param_default_preset(&p, "veryfast", "zerolatency") < 0) refuse(setup, "the preset is unknown");
  p.i_log_level = X264_LOG_NONE;
  p.i_bitdepth = 8;
  p.i_csp = X264_CSP_NV12;
  p.i_width = setup.width;
  p.i_height = setup.height;
  const Rate rate = frameRate(setup.settings.fps);
  p.i_fps_num = static_cast<std::uint32_t>(rate.num);
  p.i_fps_den = static_cast<std::uint32_t>(rate.den);
  p.i_timebase_num = 1;
  p.i_timebase_den = 90000;
  p.b_vfr_input = 0;  // the rate is per nominal picture; skipped pictures only leave room
  p.i_keyint_max = setup.keyint();
  p.i_keyint_min = 1;
  p.i_scenecut_threshold = 0;
  p.i_bframe = 0;
  p.b_repeat_headers = 1;
  p.b_annexb = 1;
  p.b_aud = 0;
  p.rc.i_rc_method = X264_RC_ABR;
  p.rc.i_bitrate = setup.settings.bitrateKbps;
  p.rc.i_vbv_max_bitrate = static_cast<int>(setup.peakKbps());
  p.rc.i_vbv_buffer_size = static_cast<int>(setup.bufferKbit());
  const ColourCodes colour = colourCodes(setup.settings.color);
  p.vui.b_fullrange = 0;
  p.vui.i_colorprim = colour.primaries;
  p.vui.i_transfer = colour.transfer;
  p.vui.i_colmatrix = colour.matrix;
  p.vui.i_chroma_loc = kChromaLocationCentre;
  for (const auto& [key, value] : parameterPairs(setup.rate.params))
    if (x264_param_parse(&p, key.c_str(), value.c_str()) != 0)
      refuse(setup, "it does not take \"" + key + "=" + value + "\"");
  if (x264_param_apply_profile(&p, "high") < 0) refuse(setup, "the High profile does not allow these settings");
  return p;
}

class X264Encoder final : public Encoder {
public:
  explicit X264Encoder(const EncoderSetup& setup)
      : setup_(setup), clock_(setup.settings), picture_(PlaneLayout::nv12, setup.width, setup.height) {
    x264_param_t p = parameters(setup);
    encoder_.reset(x264_encoder_open(&p));
    if (!encoder_) refuse(setup, "the encoder did not open");
    x264_picture_init(&input_);
    input_.img.i_csp = X264_CSP_NV12;
    input_.img.i_plane = 2;
    for (int plane = 0; plane < 2; ++plane) {
      input_.img.plane[plane] = picture_.planes.data[plane];
      input_.img.i_stride[plane] = static_cast<int>(picture_.planes.bytesPerRow[plane]);
    }
  }

  void encode(const Frame& frame, std::int64_t pts90k) override {
    checkPictureSize(setup_, frame);
    // x264 copies the picture in, so one buffer serves every picture.
    convertToYCbCr(frame, matrixFor(setup_.settings.color), PlaneLayout::nv12, picture_.planes);
    input_.i_pts = pts90k;
    input_.i_type = clock_.due(pts90k) ? X264_TYPE_IDR : X264_TYPE_AUTO;
    x264_nal_t* nals = nullptr;
    int count = 0;
    x264_picture_t output;
    const int bytes = x264_encoder_encode(encoder_.get(), &nals, &count, &input_, &output);
    if (bytes < 0) throw std::runtime_error("libx264 could not encode the picture.");
    // Every picture must be out before encode returns; an encoder holding one back breaks that.
    if (bytes == 0 || count == 0) throw std::runtime_error("libx264 held a picture back.");
    // The payloads of one call lie back to back.
    deliver(Codec::h264, ByteSpan(nals[0].p_payload, static_cast<std::size_t>(bytes)), output.b_keyframe != 0,
            output.i_pts, parameterSets_, clock_, setup_.output);
  }

  std::int64_t keyframeDeadline90k() const override { return clock_.deadline90k(); }
  std::string name() const override { return setup_.name; }

private:
  EncoderSetup setup_;
  KeyframeClock clock_;
  PictureBuffer picture_;
  x264_picture_t input_;
  ParameterSets parameterSets_;
  std::unique_ptr<x264_t, X264Deleter> encoder_;
};

}  // namespace

std::unique_ptr<Encoder> makeX264Encoder(const EncoderSetup& setup) { return std::make_unique<X264Encoder>(setup); }

}  // namespace vl
