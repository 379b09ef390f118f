// Parse and write throughput of the parameter text form, on a typical 1 KB
// answer: a statistics answer with 40 entries of mixed types.
#include <benchmark/benchmark.h>

#include <string>

#include "base/format.h"
#include "bench_args.h"
#include "rpc/params.h"

namespace {

// 40 entries as a statistics answer carries them: counters, rates, state
// flags, names and addresses, and one small blob.
zq::JParams statAnswer() {
  zq::JParams p;
  for (int i = 0; i < 16; ++i) {
    p.set(zq::jformat("channel%02dPackets", i), int64_t{1234567} * (i + 1));
  }
  for (int i = 0; i < 8; ++i) {
    p.set(zq::jformat("channel%02dRate", i), 31.25 * (i + 1) + 0.1234);
  }
  for (int i = 0; i < 6; ++i) {
    p.set(zq::jformat("client%dConnected", i), i % 2 == 0);
  }
  for (int i = 0; i < 8; ++i) {
    p.set(zq::jformat("client%dAddress", i), zq::jformat("127.0.0.%d:%d", i + 1, 5000 + i));
  }
  p.set("equipmentName", "hall \"east\"\tC:\\audio\\a.mp3");
  const uint8_t tag[] = {0x0A, 0xFF, 0x10, 0x20, 0x7E, 0x00};
  p.set("streamTag", tag, sizeof tag);
  return p;
}

void setRate(benchmark::State& state, size_t bytesPerIteration) {
  state.counters["MB/s"] = benchmark::Counter(
      static_cast<double>(bytesPerIteration) * static_cast<double>(state.iterations()) / 1e6,
      benchmark::Counter::kIsRate);
  state.counters["bytes"] = static_cast<double>(bytesPerIteration);
}

void BM_ParamsParse(benchmark::State& state) {
  const std::string text = statAnswer().toString(',');
  for (auto _ : state) {
    zq::JParams p;
    benchmark::DoNotOptimize(p.parse(text));
  }
  setRate(state, text.size());
}
BENCHMARK(BM_ParamsParse);

void BM_ParamsToString(benchmark::State& state) {
  const zq::JParams p = statAnswer();
  const size_t size = p.toString(',').size();
  for (auto _ : state) {
    std::string text = p.toString(',');
    benchmark::DoNotOptimize(text.data());
  }
  setRate(state, size);
}
BENCHMARK(BM_ParamsToString);

// The server's way: one buffer sized from textLength, written in place.
void BM_ParamsWriteIntoBuffer(benchmark::State& state) {
  const zq::JParams p = statAnswer();
  std::string buffer(p.textLength() + 1, '\0');
  size_t size = 0;
  for (auto _ : state) {
    size = p.write(buffer.data(), ',');
    benchmark::DoNotOptimize(buffer.data());
  }
  setRate(state, size);
}
BENCHMARK(BM_ParamsWriteIntoBuffer);

}  // namespace

int main(int argc, char** argv) {
  zq::bench::ScratchRegistry registry;
  return zq::bench::runGoogleBenchmark(
      argc, argv, registry,
      "Parse and write throughput of the parameter text form, on a typical 1 KB answer:\n"
      "a statistics answer with 40 entries of mixed types.",
      "  Google Benchmark's table: for parsing, toString and writing into a buffer sized\n"
      "  by textLength, the time per call and the MB/s of text.");
}
