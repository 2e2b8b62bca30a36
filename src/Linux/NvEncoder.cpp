// NVIDIA's hardware encoders, with the driver's libraries loaded at run time: the bundle
// links nothing of NVIDIA's, and a machine without them falls back to software.
#include "Core/Check.h"
#include "Linux/EncoderParts.h"

// The loader reports a missing library on stderr, which is the host's, not ours.
#define FFNV_LOG_FUNC(logctx, msg, ...) ((void)(logctx))
#define FFNV_DEBUG_LOG_FUNC(logctx, msg, ...) ((void)(logctx))
#include <ffnvcodec/dynlink_loader.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <stdexcept>

namespace vl {
namespace {

constexpr const char* kUnavailable = "Hardware encoder unavailable";
constexpr const char* kFailed = "Hardware encoding failed";

struct CudaTable {
  void operator()(CudaFunctions* functions) const { cuda_free_functions(&functions); }
};
struct NvencTable {
  void operator()(NvencFunctions* functions) const { nvenc_free_functions(&functions); }
};
struct ContextDestroy {
  using pointer = CUcontext;
  tcuCtxDestroy_v2* destroy;
  void operator()(CUcontext context) const { destroy(context); }
};
struct SessionDestroy {
  const NV_ENCODE_API_FUNCTION_LIST* api;
  void operator()(void* session) const { api->nvEncDestroyEncoder(session); }
};
// The calls f(session, handle) that end what another call began: buffers and their locks.
template <auto Call>
struct SessionEnd {
  const NV_ENCODE_API_FUNCTION_LIST* api;
  void* session;
  void operator()(void* handle) const { (api->*Call)(session, handle); }
};
using InputBuffer = std::unique_ptr<void, SessionEnd<&NV_ENCODE_API_FUNCTION_LIST::nvEncDestroyInputBuffer>>;
using BitstreamBuffer = std::unique_ptr<void, SessionEnd<&NV_ENCODE_API_FUNCTION_LIST::nvEncDestroyBitstreamBuffer>>;
using InputLock = std::unique_ptr<void, SessionEnd<&NV_ENCODE_API_FUNCTION_LIST::nvEncUnlockInputBuffer>>;
using BitstreamLock = std::unique_ptr<void, SessionEnd<&NV_ENCODE_API_FUNCTION_LIST::nvEncUnlockBitstream>>;

// Makes the encoder's context current for a while: the worker encodes on another thread
// than the one that opened the encoder, and the host's threads keep their own contexts.
class Current {
public:
  Current(const CudaFunctions& cuda, CUcontext context) : cuda_(cuda), status_(cuda.cuCtxPushCurrent(context)) {}
  ~Current() {
    CUcontext popped = nullptr;
    if (status_ == CUDA_SUCCESS) cuda_.cuCtxPopCurrent(&popped);
  }
  CUresult status() const { return status_; }

private:
  const CudaFunctions& cuda_;
  CUresult status_;
};

void setVui(NV_ENC_CONFIG_H264_VUI_PARAMETERS& vui, int color) {
  const ColourCodes codes = colourCodes(color);
  vui.videoSignalTypePresentFlag = 1;
  vui.videoFormat = 5;  // no source format given
  vui.videoFullRangeFlag = 0;
  vui.colourDescriptionPresentFlag = 1;
  vui.colourPrimaries = static_cast<std::uint32_t>(codes.primaries);
  vui.transferCharacteristics = static_cast<std::uint32_t>(codes.transfer);
  vui.colourMatrix = static_cast<std::uint32_t>(codes.matrix);
  vui.chromaSampleLocationFlag = 1;
  vui.chromaSampleLocationTop = vui.chromaSampleLocationBot = kChromaLocationCentre;
}

std::uint32_t bits(double kbit) { return static_cast<std::uint32_t>(std::llround(kbit * 1000.0)); }

class NvEncoder final : public Encoder {
public:
  explicit NvEncoder(const EncoderSetup& setup)
      : setup_(setup), hevc_(setup.settings.hevc), codec_(hevc_ ? Codec::hevc : Codec::h264),
        layout_(hevc_ ? PlaneLayout::p010 : PlaneLayout::nv12),
        format_(hevc_ ? NV_ENC_BUFFER_FORMAT_YUV420_10BIT : NV_ENC_BUFFER_FORMAT_NV12), clock_(setup.settings) {
    CudaFunctions* cuda = nullptr;
    if (cuda_load_functions(&cuda, nullptr) != 0) check(-1, kUnavailable);
    cuda_.reset(cuda);
    NvencFunctions* nvenc = nullptr;
    if (nvenc_load_functions(&nvenc, nullptr) != 0) check(-1, kUnavailable);
    nvenc_.reset(nvenc);

    check(cuda_->cuInit(0), kUnavailable);
    CUdevice device = 0;
    check(cuda_->cuDeviceGet(&device, 0), kUnavailable);
    CUcontext context = nullptr;
    check(cuda_->cuCtxCreate(&context, 0, device), kUnavailable);
    context_ = std::unique_ptr<CUctx_st, ContextDestroy>(context, ContextDestroy{cuda_->cuCtxDestroy});
    // Creating made it current on this thread, which is the host's.
    CUcontext popped = nullptr;
    check(cuda_->cuCtxPopCurrent(&popped), kUnavailable);

    // A driver older than these headers refuses the table (or later the session) with a status.
    api_.version = NV_ENCODE_API_FUNCTION_LIST_VER;
    check(nvenc_->NvEncodeAPICreateInstance(&api_), kUnavailable);

    const Current current(*cuda_, context_.get());
    check(current.status(), kUnavailable);
    try {
      open();
    } catch (...) {
      release();  // while the context is still current
      throw;
    }
  }

  // The handles' deleters point at api_.
  NvEncoder(const NvEncoder&) = delete;
  NvEncoder& operator=(const NvEncoder&) = delete;

  ~NvEncoder() override {
    const Current current(*cuda_, context_.get());
    release();
  }

  void encode(const Frame& frame, std::int64_t pts90k) override {
    checkPictureSize(setup_, frame);
    const Current current(*cuda_, context_.get());
    check(current.status(), kFailed);

    NV_ENC_PIC_PARAMS picture{};
    picture.version = NV_ENC_PIC_PARAMS_VER;
    picture.inputWidth = static_cast<std::uint32_t>(setup_.width);
    picture.inputHeight = static_cast<std::uint32_t>(setup_.height);
    picture.inputPitch = fill(frame);
    picture.inputBuffer = input_.get();
    picture.outputBitstream = bitstream_.get();
    picture.bufferFmt = format_;
    picture.pictureStruct = NV_ENC_PIC_STRUCT_FRAME;
    picture.inputTimeStamp = static_cast<std::uint64_t>(pts90k);
    if (clock_.due(pts90k)) picture.encodePicFlags = NV_ENC_PIC_FLAG_FORCEIDR | NV_ENC_PIC_FLAG_OUTPUT_SPSPPS;
    // Without B-frames every picture comes out at once; "need more input" breaks the contract.
    check(api_.nvEncEncodePicture(session_.get(), &picture), kFailed);

    NV_ENC_LOCK_BITSTREAM lock{};
    lock.version = NV_ENC_LOCK_BITSTREAM_VER;
    lock.outputBitstream = bitstream_.get();
    check(api_.nvEncLockBitstream(session_.get(), &lock), kFailed);
    // The output callback may throw; the next picture needs the buffer back.
    const BitstreamLock locked(bitstream_.get(), {&api_, session_.get()});
    const bool keyframe = lock.pictureType == NV_ENC_PIC_TYPE_IDR || lock.pictureType == NV_ENC_PIC_TYPE_I;
    deliver(codec_, ByteSpan(static_cast<const std::uint8_t*>(lock.bitstreamBufferPtr), lock.bitstreamSizeInBytes),
            keyframe, static_cast<std::int64_t>(lock.outputTimeStamp), parameterSets_, clock_, setup_.output);
  }

  std::int64_t keyframeDeadline90k() const override { return clock_.deadline90k(); }
  std::string name() const override { return setup_.name; }

private:
  void open() {
    NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS params{};
    params.version = NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS_VER;
    params.deviceType = NV_ENC_DEVICE_TYPE_CUDA;
    params.device = context_.get();
    params.apiVersion = NVENCAPI_VERSION;
    void* session = nullptr;
    check(api_.nvEncOpenEncodeSessionEx(&params, &session), kUnavailable);
    session_ = std::unique_ptr<void, SessionDestroy>(session, SessionDestroy{&api_});

    const GUID codec = hevc_ ? NV_ENC_CODEC_HEVC_GUID : NV_ENC_CODEC_H264_GUID;
    const GUID profile = hevc_ ? NV_ENC_HEVC_PROFILE_MAIN10_GUID : NV_ENC_H264_PROFILE_HIGH_GUID;
    // The driver's lists hold a handful.
    GUID guids[32];
    std::uint32_t filled = 0;
    const auto holds = [&](NVENCSTATUS status, const GUID& wanted) {
      for (std::uint32_t i = 0; status == NV_ENC_SUCCESS && i < filled && i < 32; ++i)
        if (std::memcmp(&guids[i], &wanted, sizeof wanted) == 0) return NV_ENC_SUCCESS;
      return status == NV_ENC_SUCCESS ? NV_ENC_ERR_UNSUPPORTED_PARAM : status;
    };
    check(holds(api_.nvEncGetEncodeGUIDs(session, guids, 32, &filled), codec), kUnavailable);
    check(holds(api_.nvEncGetEncodeProfileGUIDs(session, codec, guids, 32, &filled), profile), kUnavailable);

    NV_ENC_PRESET_CONFIG preset{};
    preset.version = NV_ENC_PRESET_CONFIG_VER;
    preset.presetCfg.version = NV_ENC_CONFIG_VER;
    check(api_.nvEncGetEncodePresetConfigEx(session, codec, NV_ENC_PRESET_P2_GUID, NV_ENC_TUNING_INFO_ULTRA_LOW_LATENCY,
                                            &preset),
          kUnavailable);
    NV_ENC_CONFIG& config = preset.presetCfg;
    const auto keyint = static_cast<std::uint32_t>(setup_.keyint());
    config.version = NV_ENC_CONFIG_VER;
    config.profileGUID = profile;
    config.gopLength = keyint;
    config.frameIntervalP = 1;  // I and P only: no reordering
    NV_ENC_RC_PARAMS& rc = config.rcParams;
    rc.version = NV_ENC_RC_PARAMS_VER;
    rc.rateControlMode = NV_ENC_PARAMS_RC_VBR;
    rc.multiPass = NV_ENC_MULTI_PASS_DISABLED;
    rc.averageBitRate = rc.maxBitRate = bits(setup_.peakKbps());
    rc.vbvBufferSize = rc.vbvInitialDelay = bits(setup_.bufferKbit());
    rc.enableLookahead = 0;  // lookahead holds pictures back
    rc.lookaheadDepth = 0;
    rc.zeroReorderDelay = 1;
    if (hevc_) {
      NV_ENC_CONFIG_HEVC& hevc = config.encodeCodecConfig.hevcConfig;
      hevc.chromaFormatIDC = 1;
      hevc.pixelBitDepthMinus8 = 2;
      hevc.idrPeriod = keyint;
      hevc.repeatSPSPPS = 1;
      hevc.outputAUD = 0;
      hevc.outputBufferingPeriodSEI = hevc.outputPictureTimingSEI = 0;
      setVui(hevc.hevcVUIParameters, setup_.settings.color);
    } else {
      NV_ENC_CONFIG_H264& h264 = config.encodeCodecConfig.h264Config;
      h264.chromaFormatIDC = 1;
      h264.idrPeriod = keyint;
      h264.repeatSPSPPS = 1;
      h264.outputAUD = 0;
      h264.outputBufferingPeriodSEI = h264.outputPictureTimingSEI = h264.outputRecoveryPointSEI = 0;
      setVui(h264.h264VUIParameters, setup_.settings.color);
    }

    const Rate rate = frameRate(setup_.settings.fps);
    NV_ENC_INITIALIZE_PARAMS init{};
    init.version = NV_ENC_INITIALIZE_PARAMS_VER;
    init.encodeGUID = codec;
    init.presetGUID = NV_ENC_PRESET_P2_GUID;
    init.tuningInfo = NV_ENC_TUNING_INFO_ULTRA_LOW_LATENCY;
    init.encodeWidth = init.darWidth = init.maxEncodeWidth = static_cast<std::uint32_t>(setup_.width);
    init.encodeHeight = init.darHeight = init.maxEncodeHeight = static_cast<std::uint32_t>(setup_.height);
    init.frameRateNum = static_cast<std::uint32_t>(rate.num);
    init.frameRateDen = static_cast<std::uint32_t>(rate.den);
    init.enableEncodeAsync = 0;
    init.enablePTD = 1;  // the encoder picks picture types; forced IDRs need it
    init.encodeConfig = &config;
    check(api_.nvEncInitializeEncoder(session, &init), kUnavailable);

    NV_ENC_CREATE_INPUT_BUFFER input{};
    input.version = NV_ENC_CREATE_INPUT_BUFFER_VER;
    input.width = init.encodeWidth;
    input.height = init.encodeHeight;
    input.bufferFmt = format_;
    check(api_.nvEncCreateInputBuffer(session, &input), kUnavailable);
    input_ = InputBuffer(input.inputBuffer, {&api_, session});

    NV_ENC_CREATE_BITSTREAM_BUFFER output{};
    output.version = NV_ENC_CREATE_BITSTREAM_BUFFER_VER;
    check(api_.nvEncCreateBitstreamBuffer(session, &output), kUnavailable);
    bitstream_ = BitstreamBuffer(output.bitstreamBuffer, {&api_, session});
  }

  // Buffers go before the session that made them.
  void release() {
    bitstream_.reset();
    input_.reset();
    session_.reset();
  }

  // Converts the picture straight into the encoder's input buffer; returns its pitch.
  std::uint32_t fill(const Frame& frame) {
    NV_ENC_LOCK_INPUT_BUFFER lock{};
    lock.version = NV_ENC_LOCK_INPUT_BUFFER_VER;
    lock.inputBuffer = input_.get();
    check(api_.nvEncLockInputBuffer(session_.get(), &lock), kFailed);
    const InputLock locked(input_.get(), {&api_, session_.get()});
    auto* base = static_cast<std::uint8_t*>(lock.bufferDataPtr);
    const auto pitch = static_cast<std::ptrdiff_t>(lock.pitch);
    Planes planes;
    planes.data[0] = base;
    planes.data[1] = base + pitch * setup_.height;  // interleaved chroma right below the luma rows
    planes.bytesPerRow[0] = planes.bytesPerRow[1] = pitch;
    convertToYCbCr(frame, matrixFor(setup_.settings.color), layout_, planes);
    return lock.pitch;
  }

  EncoderSetup setup_;
  bool hevc_;
  Codec codec_;
  PlaneLayout layout_;
  NV_ENC_BUFFER_FORMAT format_;
  KeyframeClock clock_;
  ParameterSets parameterSets_;
  // Declared in the order they open, so they close in reverse: libraries last.
  std::unique_ptr<CudaFunctions, CudaTable> cuda_;
  std::unique_ptr<NvencFunctions, NvencTable> nvenc_;
  std::unique_ptr<CUctx_st, ContextDestroy> context_;
  NV_ENCODE_API_FUNCTION_LIST api_{};
  std::unique_ptr<void, SessionDestroy> session_;
  InputBuffer input_;
  BitstreamBuffer bitstream_;
};

}  // namespace

std::unique_ptr<Encoder> makeNvEncoder(const EncoderSetup& setup) { return std::make_unique<NvEncoder>(setup); }

}  // namespace vl
