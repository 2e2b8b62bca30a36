// HEVC Main 10 through libx265's 10-bit interface, reached through its function table.
#include "Linux/EncoderParts.h"

#include <x265.h>

#include <stdexcept>

namespace vl {
namespace {

const x265_api& api10(const EncoderSetup& setup) {
  const x265_api* api = x265_api_get(10);
  if (!api) refuse(setup, "this libx265 has no 10-bit encoder");
  return *api;
}

// A real-time preset without reordering or lookahead, one frame thread (more delays the
// output), headers repeated on every keyframe and no messages: x265 writes to the host's
// stderr directly.
void configure(const x265_api& api, x265_param& p, const EncoderSetup& setup) {
  if (api.param_default_preset(&p, "ultrafast", "zerolatency") < 0) refuse(setup, "the preset is unknown");
  const auto set = [&](const std::string& key, const std::string& value) {
    if (api.param_parse(&p, key.c_str(), value.c_str()) != 0)
      refuse(setup, "it does not take \"" + key + "=" + value + "\"");
  };
  for (const auto& [key, value] : parameterPairs(
           "log-level=none:repeat-headers=1:annexb=1:info=0:hash=0:aud=0:hrd=0:frame-threads=1:bframes=0"
           ":open-gop=0:scenecut=0:min-keyint=1"))
    set(key, value);
  set("keyint", std::to_string(setup.keyint()));
  set("bitrate", std::to_string(setup.settings.bitrateKbps));
  set("vbv-maxrate", std::to_string(static_cast<int>(setup.peakKbps())));
  set("vbv-bufsize", std::to_string(static_cast<int>(setup.bufferKbit())));
  for (const auto& [key, value] : parameterPairs(setup.rate.params)) set(key, value);
  p.sourceWidth = setup.width;
  p.sourceHeight = setup.height;
  p.internalCsp = X265_CSP_I420;
  p.sourceBitDepth = 10;
  const Rate rate = frameRate(setup.settings.fps);
  p.fpsNum = static_cast<std::uint32_t>(rate.num);
  p.fpsDenom = static_cast<std::uint32_t>(rate.den);
  const ColourCodes colour = colourCodes(setup.settings.color);
  p.vui.bEnableVideoSignalTypePresentFlag = 1;
  p.vui.videoFormat = 5;  // unspecified
  p.vui.bEnableVideoFullRangeFlag = 0;
  p.vui.bEnableColorDescriptionPresentFlag = 1;
  p.vui.colorPrimaries = colour.primaries;
  p.vui.transferCharacteristics = colour.transfer;
  p.vui.matrixCoeffs = colour.matrix;
  p.vui.bEnableChromaLocInfoPresentFlag = 1;
  p.vui.chromaSampleLocTypeTopField = p.vui.chromaSampleLocTypeBottomField = kChromaLocationCentre;
  if (api.param_apply_profile(&p, "main10") < 0) refuse(setup, "the Main 10 profile does not allow these settings");
}

class X265Encoder final : public Encoder {
public:
  explicit X265Encoder(const EncoderSetup& setup)
      : setup_(setup), clock_(setup.settings), picture_(PlaneLayout::yuv420p10, setup.width, setup.height),
        api_(api10(setup)), param_(api_.param_alloc(), ParamDeleter{api_.param_free}),
        input_(api_.picture_alloc(), PictureDeleter{api_.picture_free}),
        output_(api_.picture_alloc(), PictureDeleter{api_.picture_free}) {
    if (!param_ || !input_ || !output_) refuse(setup, "there was no memory for it");
    configure(api_, *param_, setup);
    encoder_ = std::unique_ptr<x265_encoder, EncoderDeleter>(api_.encoder_open(param_.get()),
                                                             EncoderDeleter{api_.encoder_close});
    if (!encoder_) refuse(setup, "the encoder did not open");
    api_.picture_init(param_.get(), input_.get());
    api_.picture_init(param_.get(), output_.get());
    input_->bitDepth = 10;
    input_->colorSpace = X265_CSP_I420;
    for (int plane = 0; plane < 3; ++plane) {
      input_->planes[plane] = picture_.planes.data[plane];
      input_->stride[plane] = static_cast<int>(picture_.planes.bytesPerRow[plane]);
    }
  }

  void encode(const Frame& frame, std::int64_t pts90k) override {
    checkPictureSize(setup_, frame);
    // x265 copies the picture in, so one buffer serves every picture.
    convertToYCbCr(frame, matrixFor(setup_.settings.color), PlaneLayout::yuv420p10, picture_.planes);
    input_->pts = pts90k;
    input_->sliceType = clock_.due(pts90k) ? X265_TYPE_IDR : X265_TYPE_AUTO;
    x265_nal* nals = nullptr;
    std::uint32_t count = 0;
    const int status = api_.encoder_encode(encoder_.get(), &nals, &count, input_.get(), output_.get());
    if (status < 0) throw std::runtime_error("libx265 could not encode the picture.");
    // Every picture must be out before encode returns; an encoder holding one back breaks that.
    if (status == 0 || count == 0) throw std::runtime_error("libx265 held a picture back.");
    // The payloads of one call lie back to back.
    std::size_t bytes = 0;
    for (std::uint32_t n = 0; n < count; ++n) bytes += nals[n].sizeBytes;
    const bool keyframe = output_->sliceType == X265_TYPE_IDR || output_->sliceType == X265_TYPE_I;
    deliver(Codec::hevc, ByteSpan(nals[0].payload, bytes), keyframe, output_->pts, parameterSets_, clock_,
            setup_.output);
  }

  std::int64_t keyframeDeadline90k() const override { return clock_.deadline90k(); }
  std::string name() const override { return setup_.name; }

private:
  struct ParamDeleter {
    void (*free)(x265_param*);
    void operator()(x265_param* p) const { free(p); }
  };
  struct PictureDeleter {
    void (*free)(x265_picture*);
    void operator()(x265_picture* p) const { free(p); }
  };
  struct EncoderDeleter {
    void (*close)(x265_encoder*);
    void operator()(x265_encoder* e) const { close(e); }
  };

  EncoderSetup setup_;
  KeyframeClock clock_;
  PictureBuffer picture_;
  const x265_api& api_;
  std::unique_ptr<x265_param, ParamDeleter> param_;
  std::unique_ptr<x265_picture, PictureDeleter> input_, output_;
  ParameterSets parameterSets_;
  std::unique_ptr<x265_encoder, EncoderDeleter> encoder_;
};

}  // namespace

std::unique_ptr<Encoder> makeX265Encoder(const EncoderSetup& setup) { return std::make_unique<X265Encoder>(setup); }

}  // namespace vl
