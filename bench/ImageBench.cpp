// copyImage and capture beside a plain memcpy of the same bytes, in one run.
// Compare each pair's bytes_per_second: copyImage should stay within 1.2x of
// its memcpy, capture within 1.5x of the memcpy of what it reads and writes, and
// the render path of a streamed picture (copy and capture in one) within 1.5x of a
// memcpy of the source plus one into a frame held as the sender holds it (held); "in
// turns" measures that pair alternating in one loop, the steadiest of the figures.
// faults is minor page faults per picture.
#include "Core/Image.h"

#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr int kDepthBytes[] = {1, 2, 2, 4};

long minorFaults() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_minflt;
}

// Per picture over the timed loop: the steady state, after the warm-up picture.
void countFaults(benchmark::State& state, long before) {
  state.counters["faults"] = benchmark::Counter(static_cast<double>(minorFaults() - before),
                                                benchmark::Counter::kAvgIterations);
}

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
  benchmark::DoNotOptimize(vl::capture(p.in, 0.0));
  const long faults = minorFaults();
  for (auto _ : state) benchmark::DoNotOptimize(vl::capture(p.in, 0.0));
  countFaults(state, faults);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * (p.source.size() + written)));
}

// What capture must at least move: read the picture, write the frame.
void MemcpyReadAndWrite(benchmark::State& state) {
  Picture p(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)), static_cast<int>(state.range(2)));
  const size_t written = static_cast<size_t>(state.range(0)) * state.range(1) * 6;
  std::vector<unsigned char> samples(written, 0x3C), frame(written);
  for (auto _ : state) {
    std::memcpy(p.output.data(), p.source.data(), p.source.size());
    std::memcpy(frame.data(), samples.data(), written);
    benchmark::DoNotOptimize(frame.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * (p.source.size() + written)));
}

// The sender keeps up to three frames (the session's first, the one being encoded
// and the pending one) and each new picture replaces one of the last two, so the
// render path never writes its frame into memory it has just touched.
struct HeldFrames {
  vl::Frame held[3];
  std::size_t count = 0;
  void keep(vl::Frame frame) {
    held[count == 0 ? 0 : 1 + count % 2] = std::move(frame);
    ++count;
  }
};

// The render path's baseline: one memcpy of the source to the output, one of the
// frame's bytes into a frame kept as the sender keeps them.
void MemcpyIntoHeldFrames(benchmark::State& state) {
  Picture p(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)), static_cast<int>(state.range(2)));
  const size_t written = static_cast<size_t>(state.range(0)) * state.range(1) * 6;
  std::vector<unsigned char> samples(written, 0x3C);
  HeldFrames frames;
  auto once = [&] {
    vl::Frame frame = vl::frameFor(p.in, 0.0);
    std::memcpy(p.output.data(), p.source.data(), p.source.size());
    std::memcpy(frame.pixels.data(), samples.data(), written);
    benchmark::DoNotOptimize(frame.pixels.data());
    frames.keep(std::move(frame));
  };
  for (int i = 0; i < 4; ++i) once();
  for (auto _ : state) once();
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * (p.source.size() + written)));
}

// The render path of a streamed picture: passed through and captured in one.
void CopyAndCapture(benchmark::State& state) {
  Picture p(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)), static_cast<int>(state.range(2)));
  const size_t written = static_cast<size_t>(state.range(0)) * state.range(1) * 6;
  HeldFrames frames;
  auto once = [&] {
    vl::Frame frame = vl::frameFor(p.in, 0.0);
    vl::copyAndCapture(p.in, p.out, p.in.bounds, frame);
    benchmark::DoNotOptimize(frame.pixels.data());
    frames.keep(std::move(frame));
  };
  for (int i = 0; i < 4; ++i) once();  // the fourth is the first to find a block freed
  const long faults = minorFaults();
  for (auto _ : state) once();
  countFaults(state, faults);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * (p.source.size() + written)));
}

// The render path and its baseline taking turns within one loop, so that both meet the
// same memory traffic from the rest of a shared machine: a sequential pair of benchmarks
// here has seen the baseline alone move by 40 % between runs.
void RenderPathInTurns(benchmark::State& state) {
  Picture p(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)), static_cast<int>(state.range(2)));
  const size_t written = static_cast<size_t>(state.range(0)) * state.range(1) * 6;
  std::vector<unsigned char> samples(written, 0x3C);
  HeldFrames baselineFrames, renderFrames;
  std::chrono::steady_clock::duration baseline{}, render{};
  auto turn = [&](bool timed) {
    const auto t0 = std::chrono::steady_clock::now();
    vl::Frame copied = vl::frameFor(p.in, 0.0);
    std::memcpy(p.output.data(), p.source.data(), p.source.size());
    std::memcpy(copied.pixels.data(), samples.data(), written);
    benchmark::DoNotOptimize(copied.pixels.data());
    baselineFrames.keep(std::move(copied));
    const auto t1 = std::chrono::steady_clock::now();
    vl::Frame frame = vl::frameFor(p.in, 0.0);
    vl::copyAndCapture(p.in, p.out, p.in.bounds, frame);
    benchmark::DoNotOptimize(frame.pixels.data());
    renderFrames.keep(std::move(frame));
    const auto t2 = std::chrono::steady_clock::now();
    if (timed) baseline += t1 - t0, render += t2 - t1;
  };
  for (int i = 0; i < 4; ++i) turn(false);
  for (auto _ : state) turn(true);
  state.counters["ratio"] = std::chrono::duration<double>(render) / std::chrono::duration<double>(baseline);
}

// The same as two calls, for comparison.
void CopyThenCapture(benchmark::State& state) {
  Picture p(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)), static_cast<int>(state.range(2)));
  const size_t written = static_cast<size_t>(state.range(0)) * state.range(1) * 6;
  HeldFrames frames;
  auto once = [&] {
    vl::copyImage(p.in, p.out, p.in.bounds);
    vl::Frame frame = vl::capture(p.in, 0.0);
    benchmark::DoNotOptimize(frame.pixels.data());
    frames.keep(std::move(frame));
  };
  for (int i = 0; i < 4; ++i) once();
  for (auto _ : state) once();
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
BENCHMARK(MemcpyIntoHeldFrames)->Apply(Sizes);
BENCHMARK(CopyAndCapture)->Apply(Sizes);
BENCHMARK(CopyThenCapture)->Apply(Sizes);
BENCHMARK(RenderPathInTurns)->Apply(Sizes);

// Keeps each benchmark's time per picture, for the ratios printed at the end.
class Collector : public benchmark::ConsoleReporter {
public:
  void ReportRuns(const std::vector<Run>& runs) override {
    // With repetitions the median stands for the benchmark; without, its one run.
    for (const Run& run : runs)
      if (run.run_type == Run::RT_Iteration ? !times.count(run.run_name.str()) : run.aggregate_name == "median") {
        times[run.run_name.str()] = {run.GetAdjustedCPUTime(), run.GetAdjustedRealTime()};
        if (const auto c = run.counters.find("ratio"); c != run.counters.end()) turns[run.run_name.str()] = c->second;
      }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, std::pair<double, double>> times;  // CPU, wall
  std::map<std::string, double> turns;                     // RenderPathInTurns' ratio
};

// CPU time of the one thread first, as other work on a shared machine stretches the wall
// time; the wall-clock ratio follows in brackets.
void printRatios(const std::map<std::string, std::pair<double, double>>& times, const std::map<std::string, double>& turns) {
  double load[3] = {};
  getloadavg(load, 3);
  std::printf("\nratios, CPU time (wall time), load average %.2f %.2f %.2f:\n", load[0], load[1], load[2]);
  std::printf("  %-13s %17s %19s %19s %19s %15s\n", "picture", "copyImage/memcpy", "capture/memcpy r+w",
              "copy+capture/held", "two calls/held", "in turns");
  const char* depths[] = {"8-bit", "16-bit", "half", "float"};
  for (const char* size : {"w:1920/h:1080", "w:3840/h:2160"})
    for (int depth = 0; depth < 4; ++depth) {
      const std::string args = std::string("/") + size + "/depth:" + std::to_string(depth);
      auto ratio = [&](const char* name, const char* baseline) {
        const auto a = times.find(name + args), b = times.find(baseline + args);
        if (a == times.end() || b == times.end()) return std::string("-");
        char text[32];
        std::snprintf(text, sizeof text, "%.2f (%.2f)", a->second.first / b->second.first,
                      a->second.second / b->second.second);
        return std::string(text);
      };
      const auto turn = turns.find("RenderPathInTurns" + args);
      char inTurns[16] = "-";
      if (turn != turns.end()) std::snprintf(inTurns, sizeof inTurns, "%.2f", turn->second);
      std::printf("  %-13s %17s %19s %19s %19s %15s\n",
                  (std::string(size[2] == '1' ? "1080p " : "2160p ") + depths[depth]).c_str(),
                  ratio("CopyImage", "MemcpySameBytes").c_str(), ratio("Capture", "MemcpyReadAndWrite").c_str(),
                  ratio("CopyAndCapture", "MemcpyIntoHeldFrames").c_str(),
                  ratio("CopyThenCapture", "MemcpyIntoHeldFrames").c_str(), inTurns);
    }
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  Collector collector;
  benchmark::RunSpecifiedBenchmarks(&collector);
  benchmark::Shutdown();
  printRatios(collector.times, collector.turns);
  return 0;
}
