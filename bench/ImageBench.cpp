// copyImage and capture beside a plain memcpy of the same bytes, in one run.
// Compare each pair's bytes_per_second: copyImage should stay within 1.2x of
// its memcpy, capture within 2x of the memcpy of what it reads and writes.
#include "Core/Image.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

namespace {

constexpr int kDepthBytes[] = {1, 2, 2, 4};

struct Picture {
  std::vector<unsigned char> source, output;
  vl::Image in, out;
  Picture(int width, int height, int depth) {
    const int rowBytes = width * 4 * kDepthBytes[depth];
    source.assign(static_cast<size_t>(rowBytes) * height, 0x3C);
    output.assign(source.size(), 0);
    in = vl::Image{source.data(), {0, 0, width, height}, rowBytes, 4, depth};
    out = vl::Image{output.data(), {0, 0, width, height}, rowBytes, 4, depth};
  }
};

void CopyImage(benchmark::State& state) {
  Picture p(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)), static_cast<int>(state.range(2)));
  for (auto _ : state) {
    vl::copyImage(p.in, p.out, p.in.bounds);
    benchmark::DoNotOptimize(p.output.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * p.source.size()));
}

void MemcpySameBytes(benchmark::State& state) {
  Picture p(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)), static_cast<int>(state.range(2)));
  for (auto _ : state) {
    std::memcpy(p.output.data(), p.source.data(), p.source.size());
    benchmark::DoNotOptimize(p.output.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * p.source.size()));
}

void Capture(benchmark::State& state) {
  Picture p(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)), static_cast<int>(state.range(2)));
  const size_t written = static_cast<size_t>(state.range(0)) * state.range(1) * 6;
  for (auto _ : state) benchmark::DoNotOptimize(vl::capture(p.in, 0.0));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * (p.source.size() + written)));
}

// What capture must at least move: read the picture, write the frame.
void MemcpyReadAndWrite(benchmark::State& state) {
  Picture p(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)), static_cast<int>(state.range(2)));
  const size_t written = static_cast<size_t>(state.range(0)) * state.range(1) * 6;
  std::vector<unsigned char> frame(written);
  for (auto _ : state) {
    std::memcpy(p.output.data(), p.source.data(), p.source.size());
    std::memcpy(frame.data(), p.source.data(), std::min(written, p.source.size()));
    benchmark::DoNotOptimize(frame.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * (p.source.size() + written)));
}

void Sizes(benchmark::internal::Benchmark* b) {
  for (int depth = 0; depth < 4; ++depth) {
    b->Args({1920, 1080, depth});
    b->Args({3840, 2160, depth});
  }
  b->ArgNames({"w", "h", "depth"})->Unit(benchmark::kMillisecond);
}

BENCHMARK(CopyImage)->Apply(Sizes);
BENCHMARK(MemcpySameBytes)->Apply(Sizes);
BENCHMARK(Capture)->Apply(Sizes);
BENCHMARK(MemcpyReadAndWrite)->Apply(Sizes);

}  // namespace

BENCHMARK_MAIN();
