// The cost of logging: records that no output takes (the common case of
// disabled traces), and records per second into a rotating log file.
//
// Everything runs against a registry and a log directory made under /tmp for
// the run and removed at the end: the program rewrites the registry's log
// set-up, so it never uses the caller's ZQ_REGISTRY_DIR.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <string>

#include "base/log.h"
#include "base/registry_key.h"
#include "bench_args.h"

namespace {

namespace fs = std::filesystem;
using namespace zq;

// Made by main() before any benchmark runs.
const bench::ScratchRegistry* g_scratch = nullptr;

// Replaces the log outputs by one file output (or one output that takes only
// level 11 when `directory` is empty) and builds them.
void configure(const std::string& directory, int maxFileSizeKb) {
  JSystemRegistryKey log(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quorvanta\\Log");
  for (const std::string& name : log.enumSubKeys()) {
    log.deleteKey(name);
  }
  JSystemRegistryKey out;
  out.openSubKey(log, "Out");
  if (directory.empty()) {
    out.setString("Type", "Console");
    out.setDword("WarnLevel", 1u << kLevelError);
  } else {
    fs::remove_all(directory);
    out.setString("Type", "File");
    out.setDword("AllowMultiple", 1);
    out.setString("LogDirectory", directory);
    out.setDword("WarnLevel", 1u << kLevelInfo);
    out.setString("Format", "%d %w %m");
    if (maxFileSizeKb >= 0) {
      out.setDword("MaxLogFileSize", static_cast<uint32_t>(maxFileSizeKb));
    }
  }
  JLog::reinitialise(0);
}

JTraceMask g_mask{0};
JTraceableObject& object() {
  static JTraceableObject o("bench-object", &g_mask);
  return o;
}

void BM_RejectedTraceLevel4(benchmark::State& state) {
  configure("", 0);
  for (auto _ : state) {
    object().trace(0x8, "packet %d of %s", 12, "stream");
  }
}
BENCHMARK(BM_RejectedTraceLevel4);

void BM_RejectedLogfLevel4(benchmark::State& state) {
  configure("", 0);
  for (auto _ : state) {
    JLog::logf(kLevelTrace, "packet %d of %s", 12, "stream");
  }
}
BENCHMARK(BM_RejectedLogfLevel4);

void BM_RejectedObjectLevel21(benchmark::State& state) {
  configure("", 0);
  for (auto _ : state) {
    JLog::logTraceable(kLevelTraceRpc, &object(), "call %s", "getParams");
  }
}
BENCHMARK(BM_RejectedObjectLevel21);

void BM_RejectedObjectLevel21Threads(benchmark::State& state) {
  if (state.thread_index() == 0) {
    configure("", 0);
  }
  for (auto _ : state) {
    JLog::logTraceable(kLevelTraceRpc, &object(), "call %s", "getParams");
  }
}
BENCHMARK(BM_RejectedObjectLevel21Threads)->ThreadRange(1, 4);

// maxFileSizeKb: -1 leaves the default (64 KB files, 10 MB directory).
void fileRecords(benchmark::State& state, int maxFileSizeKb) {
  const std::string dir = (g_scratch->root() / "logs").string();
  configure(dir, maxFileSizeKb);
  const std::string message(80, 'm');
  for (auto _ : state) {
    JLog::log(kLevelInfo, message, "bench/bench_log.cpp", __LINE__, "Bench", nullptr);
  }
  state.SetItemsProcessed(state.iterations());
  JLog::shutdown();
  fs::remove_all(dir);
}

void BM_FileRecordsNoRotation(benchmark::State& state) {
  fileRecords(state, 0);
}
BENCHMARK(BM_FileRecordsNoRotation);

void BM_FileRecordsDefaultSizes(benchmark::State& state) {
  fileRecords(state, -1);
}
BENCHMARK(BM_FileRecordsDefaultSizes);

void BM_FileRecordsRotatingEveryKilobyte(benchmark::State& state) {
  fileRecords(state, 1);
}
BENCHMARK(BM_FileRecordsRotatingEveryKilobyte);

}  // namespace

int main(int argc, char** argv) {
  const zq::bench::ScratchRegistry scratch(/*always=*/true);
  g_scratch = &scratch;
  return zq::bench::runGoogleBenchmark(
      argc, argv, scratch,
      "The cost of logging: records that no output takes (the common case of disabled\n"
      "traces), from one and several threads, and records per second into a rotating\n"
      "log file (no rotation, the default sizes, a rotation every kilobyte).",
      "  Google Benchmark's table: the time per record, and items/s for the file outputs.");
}
