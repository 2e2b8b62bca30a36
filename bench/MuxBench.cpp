// Muxer::packetize beside libavformat's MPEG-TS muxer writing to memory, on the
// same access units in one run; the ratio of their times is printed at the end.
#include "Transport/Muxer.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/mem.h>
}

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

struct Unit {
  Bytes bytes;
  bool keyframe;
};

// Two seconds at 30 fps of an 8 Mbit/s stream: a keyframe of 150 kB, then pictures of
// 20 to 40 kB, each an Annex B slice behind its start code.
const std::vector<Unit>& units() {
  static const std::vector<Unit> all = [] {
    std::mt19937 random(1);
    std::vector<Unit> out;
    for (int i = 0; i < 60; ++i) {
      const bool key = i % 60 == 0;
      Bytes au(key ? 150000 : 20000 + random() % 20000);
      for (auto& b : au) b = static_cast<std::uint8_t>(random() | 0x01);  // no stray start codes
      au[0] = au[1] = au[2] = 0;
      au[3] = 1;
      au[4] = key ? 0x65 : 0x41;
      out.push_back({std::move(au), key});
    }
    return out;
  }();
  return all;
}

std::int64_t unitBytes() {
  std::int64_t total = 0;
  for (const Unit& u : units()) total += static_cast<std::int64_t>(u.bytes.size());
  return total;
}

void Packetize(benchmark::State& state) {
  std::int64_t pts = 0;
  for (auto _ : state) {
    vl::Muxer muxer(false);
    for (const Unit& u : units()) {
      Bytes burst = muxer.packetize(u.bytes, u.keyframe, pts);
      benchmark::DoNotOptimize(burst.data());
      pts += 3000;
    }
  }
  state.SetBytesProcessed(state.iterations() * unitBytes());
}

struct Output {
  Bytes bytes;
};

int writePacket(void* opaque, std::uint8_t* data, int size) {  // FFmpeg 5 signature
  auto* out = static_cast<Output*>(opaque);
  out->bytes.insert(out->bytes.end(), data, data + size);
  return size;
}

struct FormatDeleter {
  void operator()(AVFormatContext* f) const {
    if (f->pb) {
      av_freep(&f->pb->buffer);
      avio_context_free(&f->pb);
    }
    avformat_free_context(f);
  }
};
struct PacketDeleter {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};

void LibavformatMpegts(benchmark::State& state) {
  Output out;
  AVFormatContext* raw = nullptr;
  if (avformat_alloc_output_context2(&raw, nullptr, "mpegts", nullptr) < 0) {
    state.SkipWithError("no mpegts muxer");
    return;
  }
  std::unique_ptr<AVFormatContext, FormatDeleter> format(raw);
  constexpr int kBuffer = 1 << 16;
  auto* buffer = static_cast<unsigned char*>(av_malloc(kBuffer));
  format->pb = avio_alloc_context(buffer, kBuffer, 1, &out, nullptr, writePacket, nullptr);
  format->flags |= AVFMT_FLAG_CUSTOM_IO;
  AVStream* stream = avformat_new_stream(format.get(), nullptr);
  stream->codecpar->codec_type = AVMEDIA_TYPE_VIDEO;
  stream->codecpar->codec_id = AV_CODEC_ID_H264;
  stream->codecpar->width = 1920;
  stream->codecpar->height = 1080;
  stream->time_base = AVRational{1, 90000};
  if (avformat_write_header(format.get(), nullptr) < 0) {
    state.SkipWithError("header failed");
    return;
  }
  std::unique_ptr<AVPacket, PacketDeleter> pkt(av_packet_alloc());
  std::int64_t pts = 0;
  for (auto _ : state) {
    for (const Unit& u : units()) {
      pkt->data = const_cast<std::uint8_t*>(u.bytes.data());
      pkt->size = static_cast<int>(u.bytes.size());
      pkt->pts = pkt->dts = pts;
      pkt->stream_index = 0;
      pkt->flags = u.keyframe ? AV_PKT_FLAG_KEY : 0;
      av_write_frame(format.get(), pkt.get());
      avio_flush(format->pb);
      benchmark::DoNotOptimize(out.bytes.data());
      out.bytes.clear();
      pts += 3000;
    }
  }
  pkt->data = nullptr;
  pkt->size = 0;
  av_write_trailer(format.get());
  state.SetBytesProcessed(state.iterations() * unitBytes());
}

BENCHMARK(Packetize)->Unit(benchmark::kMicrosecond);
BENCHMARK(LibavformatMpegts)->Unit(benchmark::kMicrosecond);

// Prints the usual table, then how much CPU time packetize takes per libavformat CPU time.
class RatioReporter : public benchmark::ConsoleReporter {
public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs)
      if (run.run_type == Run::RT_Iteration && !run.error_occurred)
        seconds_[run.run_name.function_name] = run.GetAdjustedCPUTime();  // the machine is shared
    ConsoleReporter::ReportRuns(runs);
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    if (seconds_.count("Packetize") && seconds_.count("LibavformatMpegts"))
      std::printf("packetize / libavformat CPU time ratio: %.3f (below 1 is faster)\n",
                  seconds_["Packetize"] / seconds_["LibavformatMpegts"]);
  }

private:
  std::map<std::string, double> seconds_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
