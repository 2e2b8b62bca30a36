// The 4:2:0 conversion beside libswscale doing the same job (rgb48le to nv12 and
// to p010le, Rec. 709, full to limited range) in one run: compare items_per_second
// of each pair; ours should be faster. "differs" counts the share of Y' samples
// where libswscale's answer is not the rule's (ours is exact by test), "maxDiff" the
// largest difference in codes. Encode
// benchmarks give frames per second per encoder at 1920x1080. Rate benchmarks encode
// a few seconds of hard moving 1080p content per VBV candidate and report the average
// over the target (avgRatio) and the fullest one-second window over the cap
// (worstRatio, must stay at or below 1); docs/encoder-rate.md keeps the table.
#include "Core/YCbCr.h"
#include "Linux/Encoders.h"

#include <benchmark/benchmark.h>

extern "C" {
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <random>
#include <stdexcept>
#include <tuple>
#include <vector>

namespace {

vl::Frame noise(int width, int height, unsigned seed) {
  vl::Frame frame;
  frame.width = width;
  frame.height = height;
  frame.pixels.resize(static_cast<std::size_t>(width) * height * 3);
  std::mt19937 random(seed);
  // Smooth gradients with noise on top, like a rendered picture rather than pure static.
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      std::uint16_t* p = &frame.pixels[(static_cast<std::size_t>(y) * width + x) * 3];
      p[0] = static_cast<std::uint16_t>((x * 65535 / width + random() % 2048) % 65536);
      p[1] = static_cast<std::uint16_t>((y * 65535 / height + random() % 2048) % 65536);
      p[2] = static_cast<std::uint16_t>(random());
    }
  return frame;
}

// A moving picture: diagonal colour bands that travel and a disc that crosses the frame.
vl::Frame moving(int width, int height, int index) {
  vl::Frame frame;
  frame.width = width;
  frame.height = height;
  frame.pixels.resize(static_cast<std::size_t>(width) * height * 3);
  const int cx = index * 37 % width, cy = height / 2, radius = height / 5;
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      std::uint16_t* p = &frame.pixels[(static_cast<std::size_t>(y) * width + x) * 3];
      const bool disc = (x - cx) * (x - cx) + (y - cy) * (y - cy) < radius * radius;
      p[0] = static_cast<std::uint16_t>(((x + y + index * 12) * 97) & 0xFFFF);
      p[1] = disc ? 65535 : static_cast<std::uint16_t>((y * 65535) / height);
      p[2] = static_cast<std::uint16_t>(((x - index * 7) * 53) & 0xFFFF);
    }
  return frame;
}

struct FrameDeleter {
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};

std::unique_ptr<AVFrame, FrameDeleter> picture(int width, int height, AVPixelFormat format) {
  std::unique_ptr<AVFrame, FrameDeleter> f(av_frame_alloc());
  f->format = format;
  f->width = width;
  f->height = height;
  if (av_frame_get_buffer(f.get(), 0) != 0) throw std::runtime_error("frame");
  return f;
}

vl::Planes planesOf(AVFrame& f) {
  vl::Planes planes;
  for (int p = 0; p < 3; ++p) {
    planes.data[p] = f.data[p];
    planes.bytesPerRow[p] = f.linesize[p];
  }
  return planes;
}

AVPixelFormat formatOf(int tenBit) { return tenBit ? AV_PIX_FMT_P010LE : AV_PIX_FMT_NV12; }

void Convert(benchmark::State& state) {
  const int width = static_cast<int>(state.range(0)), height = static_cast<int>(state.range(1));
  const bool tenBit = state.range(2) != 0;
  const vl::Frame frame = noise(width, height, 1);
  auto out = picture(width, height, formatOf(tenBit));
  const vl::Planes planes = planesOf(*out);
  for (auto _ : state) {
    vl::convertToYCbCr(frame, vl::Matrix::rec709, tenBit ? vl::PlaneLayout::p010 : vl::PlaneLayout::nv12, planes);
    benchmark::DoNotOptimize(out->data[0]);
  }
  state.SetItemsProcessed(state.iterations() * width * height);
}

struct SwsDeleter {
  void operator()(SwsContext* c) const { sws_freeContext(c); }
};

void Swscale(benchmark::State& state) {
  const int width = static_cast<int>(state.range(0)), height = static_cast<int>(state.range(1));
  const bool tenBit = state.range(2) != 0;
  const vl::Frame frame = noise(width, height, 1);
  auto out = picture(width, height, formatOf(tenBit));
  std::unique_ptr<SwsContext, SwsDeleter> sws(sws_getContext(width, height, AV_PIX_FMT_RGB48LE, width, height,
                                                              formatOf(tenBit), SWS_FAST_BILINEAR, nullptr, nullptr,
                                                              nullptr));
  const int* bt709 = sws_getCoefficients(SWS_CS_ITU709);
  sws_setColorspaceDetails(sws.get(), bt709, 1, bt709, 0, 0, 1 << 16, 1 << 16);
  const std::uint8_t* source[1] = {reinterpret_cast<const std::uint8_t*>(frame.pixels.data())};
  const int sourceStride[1] = {width * 6};
  for (auto _ : state) {
    sws_scale(sws.get(), source, sourceStride, 0, height, out->data, out->linesize);
    benchmark::DoNotOptimize(out->data[0]);
  }
  state.SetItemsProcessed(state.iterations() * width * height);

  auto exact = picture(width, height, formatOf(tenBit));
  vl::convertToYCbCr(frame, vl::Matrix::rec709, tenBit ? vl::PlaneLayout::p010 : vl::PlaneLayout::nv12,
                     planesOf(*exact));
  std::int64_t differing = 0, largest = 0;
  const int sample = tenBit ? 2 : 1;
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width * sample; x += sample) {
      const std::uint8_t* a = out->data[0] + static_cast<std::ptrdiff_t>(y) * out->linesize[0] + x;
      const std::uint8_t* b = exact->data[0] + static_cast<std::ptrdiff_t>(y) * exact->linesize[0] + x;
      const int theirs = tenBit ? (a[0] | a[1] << 8) >> 6 : a[0], ours = tenBit ? (b[0] | b[1] << 8) >> 6 : b[0];
      differing += theirs != ours;
      largest = std::max<std::int64_t>(largest, std::abs(theirs - ours));
    }
  state.counters["differs"] = static_cast<double>(differing) / (static_cast<double>(width) * height);
  state.counters["maxDiff"] = static_cast<double>(largest);
}

void Sizes(benchmark::internal::Benchmark* b) {
  for (int tenBit : {0, 1}) {
    b->Args({1920, 1080, tenBit});
    b->Args({3840, 2160, tenBit});
  }
  b->ArgNames({"w", "h", "p010"})->Unit(benchmark::kMillisecond);
}

BENCHMARK(Convert)->Apply(Sizes);
BENCHMARK(Swscale)->Apply(Sizes);

// Frames per second through one encoder, conversion included, on a moving picture.
void Encode(benchmark::State& state) {
  const bool hevc = state.range(0) != 0;
  const std::string name = vl::encoderNames(hevc)[static_cast<std::size_t>(state.range(1))];
  vl::Settings settings;
  settings.hevc = hevc;
  settings.bitrateKbps = 8000;
  std::vector<vl::Frame> frames;
  for (int i = 0; i < 50; ++i) frames.push_back(moving(1920, 1080, i));
  std::unique_ptr<vl::Encoder> encoder;
  try {
    encoder = vl::makeNamedEncoder(name, 1920, 1080, settings, [](const std::vector<std::uint8_t>& au, bool, std::int64_t) {
      benchmark::DoNotOptimize(au.data());
    });
  } catch (const std::runtime_error& e) {
    state.SkipWithError((name + ": " + e.what()).c_str());
    return;
  }
  std::int64_t n = 0;
  for (auto _ : state) {
    encoder->encode(frames[static_cast<std::size_t>(n % 50)], n * 3600);
    ++n;
  }
  state.SetLabel(name);
  state.counters["fps"] = benchmark::Counter(static_cast<double>(n), benchmark::Counter::kIsRate);
}

BENCHMARK(Encode)
    ->ArgsProduct({{0, 1}, {0, 1}})
    ->ArgNames({"hevc", "software"})
    ->Unit(benchmark::kMillisecond)
    ->MinTime(3.0)
    ->UseRealTime();

// Hard to code: a texture scrolling sideways and a band of fresh noise moving down.
void hard(vl::Frame& frame, int index, std::mt19937& random) {
  static const vl::Frame texture = noise(frame.width * 2, frame.height, 2);
  const int band = frame.height / 4, bandTop = index * 29 % frame.height;
  for (int y = 0; y < frame.height; ++y) {
    std::uint16_t* row = &frame.pixels[static_cast<std::size_t>(y) * frame.width * 3];
    if ((y - bandTop + frame.height) % frame.height < band) {
      for (int i = 0; i < frame.width * 3; ++i) row[i] = static_cast<std::uint16_t>(random());
      continue;
    }
    const int shift = index * 9 % frame.width;
    std::copy_n(&texture.pixels[(static_cast<std::size_t>(y) * texture.width + shift) * 3], frame.width * 3, row);
  }
}

// Bytes of filler data NAL units (H.264 type 12, HEVC type 38): padding, not picture.
double fillerBytes(const std::vector<std::uint8_t>& au, bool hevc) {
  double bytes = 0;
  std::size_t fillerStart = 0;
  bool inFiller = false;
  for (std::size_t i = 0; i + 3 <= au.size(); ++i) {
    const bool end = i + 3 == au.size();
    if (!end && !(au[i] == 0 && au[i + 1] == 0 && au[i + 2] == 1)) continue;
    if (inFiller) bytes += static_cast<double>((end ? au.size() : i) - fillerStart);
    if (end) break;
    const int type = hevc ? (au[i + 3] >> 1) & 0x3F : au[i + 3] & 0x1F;
    inFiller = type == (hevc ? 38 : 12);
    fillerStart = i;
    i += 2;
  }
  return bytes;
}

void Rate(benchmark::State& state) {
  const bool hevc = state.range(0) != 0;
  // The encoders' own constant-rate modes (1): x264 pads with filler data, x265 holds the
  // rate strictly; 2 adds x264's HRD signalling, whose SEI the stream must not carry;
  // 3 is a quality target far above the rate, so VBV alone decides the sizes.
  const int cbr = static_cast<int>(state.range(3));
  const vl::RateControl rate{static_cast<double>(state.range(1)) / 100, static_cast<double>(state.range(2)) / 1000,
                             cbr == 0   ? ""
                             : cbr == 3 ? ":crf=8"
                             : hevc     ? ":strict-cbr=1"
                             : cbr == 2 ? ":nal-hrd=cbr:filler=1"
                                        : ":filler=1"};
  const int fps = 25, seconds = static_cast<int>(state.range(4));
  vl::Settings settings;
  settings.hevc = hevc;
  settings.bitrateKbps = 8000;
  settings.fps = fps;
  settings.keyframeSeconds = 1.0;
  std::vector<std::size_t> sizes;
  double filler = 0;
  vl::Frame frame;
  frame.width = 1920;
  frame.height = 1080;
  frame.pixels.resize(static_cast<std::size_t>(frame.width) * frame.height * 3);
  std::mt19937 random(3);
  for (auto _ : state) {
    sizes.clear();
    filler = 0;
    auto encoder = vl::makeNamedEncoder(
        vl::encoderNames(hevc)[1], frame.width, frame.height, settings,
        [&](const std::vector<std::uint8_t>& au, bool, std::int64_t) {
          sizes.push_back(au.size());
          filler += fillerBytes(au, hevc);
        },
        rate);
    for (int n = 0; n < fps * seconds; ++n) {
      hard(frame, n, random);
      encoder->encode(frame, n * 3600);
    }
  }
  const double cap = settings.bitrateKbps * 1000.0 / 8;
  double worst = 0, total = 0;
  for (std::size_t start = 0; start + fps <= sizes.size(); ++start) {
    double window = 0;
    for (int k = 0; k < fps; ++k) window += static_cast<double>(sizes[start + static_cast<std::size_t>(k)]);
    worst = std::max(worst, window);
  }
  for (std::size_t size : sizes) total += static_cast<double>(size);
  const vl::RateControl chosen = vl::rateControlFor(vl::encoderNames(hevc)[1]);
  const bool isChosen = chosen.peakShare == rate.peakShare && chosen.bufferSeconds == rate.bufferSeconds &&
                        chosen.params == rate.params;
  state.SetLabel(vl::encoderNames(hevc)[1] + (isChosen ? " (chosen)" : ""));
  state.counters["avgRatio"] = (total - filler) / seconds / cap;
  state.counters["fillerRatio"] = filler / seconds / cap;
  state.counters["worstRatio"] = worst / cap;
}

// Candidates: peak in percent of the bitrate, buffer in milliseconds at the peak rate,
// constant-rate mode, seconds of video; the finalists run longer.
void RateCandidates(benchmark::internal::Benchmark* b) {
  for (int hevc : {0, 1})
    for (auto [peak, bufferMs, cbr, seconds] :
         {std::tuple{80, 200, 0, 4}, {90, 50, 0, 4}, {90, 100, 0, 4}, {95, 50, 0, 4}, {95, 100, 0, 4}, {100, 50, 0, 4},
          {100, 100, 0, 4}, {100, 50, 2, 4}, {100, 200, 0, 4}, {95, 300, 0, 4}, {90, 200, 0, 10}, {92, 200, 0, 10},
          {90, 300, 0, 10}, {95, 200, 0, 10}, {90, 100, 1, 10}, {92, 100, 1, 10}, {95, 100, 1, 10}, {90, 100, 3, 10}, {91, 90, 3, 10}, {92, 80, 3, 10}})
      b->Args({hevc, peak, bufferMs, cbr, seconds});
  b->ArgNames({"hevc", "peak%", "bufferMs", "cbr", "seconds"});
}

BENCHMARK(Rate)->Apply(RateCandidates)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
