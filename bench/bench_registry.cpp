// Figures of the registry store with many keys, in one run:
//  1. listing the subkeys of a key that has N of them (enumSubKeys), the file
//     just rewritten before each round or unchanged;
//  2. reading one value of a file of N keys (getDword), likewise;
//  3. the first log record after start-up, with N subkeys under
//     SOFTWARE\Quorvanta\Log (each one read as an output description, one in
//     a hundred building an output), and with N keys elsewhere under
//     SOFTWARE\Quorvanta beside one output.
// The registry is a directory made under /tmp for the run (ZQ_REGISTRY_DIR)
// and removed at the end; the files are written as text, as an administrator
// would, so that building them does not depend on the code measured.
#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/error.h"
#include "base/log.h"
#include "base/registry_key.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr const char* kUsage =
    "usage: bench_registry [--keys N] [--rounds R]\n"
    "  --keys N    keys in each registry file measured (1 to 1000000, default 10000)\n"
    "  --rounds R  times each figure is measured (1 to 1000, default 5)\n"
    "Prints the time to list N subkeys, to read a value in a file of N keys, and\n"
    "to the first log record with N keys in the registry: elapsed and CPU time of\n"
    "the thread, min and median over R rounds. Runs on a registry made for the\n"
    "run under /tmp.\n";

// The registry directory of the run, removed with everything in it.
class Scratch {
 public:
  Scratch() {
    std::string pattern = "/tmp/zq-bench-registry-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
      std::perror("bench_registry: mkdtemp");
      std::exit(1);
    }
    root_ = pattern;
    ::setenv("ZQ_REGISTRY_DIR", root_.c_str(), 1);
  }
  ~Scratch() {
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;

  // Replaces the machine root's file by `text`; returns its size in bytes.
  size_t writeMachineFile(const std::string& text) const {
    const fs::path path = root_ / "HKEY_LOCAL_MACHINE.reg";
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out) {
      throw std::runtime_error("cannot write " + path.string());
    }
    return text.size();
  }

 private:
  fs::path root_;
};

// Collects what the bench's in-process output receives.
class Receiver : public zq::JInProcessLogReceiver {
 public:
  Receiver() { zq::JLog::registerReceiver("bench", this); }
  ~Receiver() override { zq::JLog::unregisterReceiver("bench"); }
  Receiver(const Receiver&) = delete;
  Receiver& operator=(const Receiver&) = delete;
  void write(int, const std::string&, const std::string&, int) override { ++records; }
  int records = 0;
};

const char* const kHeader = "REGEDIT4\n\n";
const char* const kQuorvanta = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvanta";

// The output every log figure waits for: it forwards to Receiver.
std::string benchOutput() {
  return std::string(kQuorvanta) +
         "\\Log\\Bench]\n"
         "\"Type\"=\"InProcess\"\n"
         "\"ReceiverID\"=\"bench\"\n"
         "\"WarnLevel\"=dword:00000100\n"
         "\"Format\"=\"%m\"\n\n";
}

// N keys SOFTWARE\Quorvanta\Cameras\Cam<i> with three values each.
std::string camerasFile(int keys) {
  std::string text = kHeader;
  text += std::string(kQuorvanta) + "]\n\n";
  text += std::string(kQuorvanta) + "\\Cameras]\n\n";
  for (int i = 0; i < keys; ++i) {
    char section[256];
    std::snprintf(section, sizeof section,
                  "%s\\Cameras\\Cam%d]\n\"Host\"=\"10.0.%d.%d\"\n\"Port\"=dword:%08x\n"
                  "\"Name\"=\"camera number %d\"\n\n",
                  kQuorvanta, i, (i / 250) % 256, i % 250 + 1, 5000 + i, i);
    text += section;
  }
  return text;
}

// The bench output, then N - 1 more subkeys of the Log key: one in a hundred
// an in-process output without a receiver (its common values are all read),
// the others file outputs without AllowMultiple (which build nothing).
std::string logFile(int keys) {
  std::string text = kHeader;
  text += std::string(kQuorvanta) + "]\n\n";
  text += std::string(kQuorvanta) + "\\Log]\n\n";
  text += benchOutput();
  for (int i = 1; i < keys; ++i) {
    char section[512];
    if (i % 100 == 0) {
      std::snprintf(section, sizeof section,
                    "%s\\Log\\Out%d]\n\"Type\"=\"InProcess\"\n\"ReceiverID\"=\"none-%d\"\n"
                    "\"WarnLevel\"=dword:00000800\n\"EnableLevelInfo\"=dword:00000000\n"
                    "\"Format\"=\"%%d %%w %%m\"\n\n",
                    kQuorvanta, i, i);
    } else {
      std::snprintf(section, sizeof section,
                    "%s\\Log\\Out%d]\n\"Type\"=\"File\"\n\"AllowMultiple\"=dword:00000000\n"
                    "\"LogDirectory\"=\"/nonexistent/zq-bench\"\n\n",
                    kQuorvanta, i);
    }
    text += section;
  }
  return text;
}

// One measured stretch: elapsed time, and the CPU time of this thread, which
// other processes on a busy machine do not inflate.
struct Sample {
  double wallMs;
  double cpuMs;
};

double threadCpuMs() {
  timespec ts{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

class Stopwatch {
 public:
  Stopwatch() : wall_(Clock::now()), cpu_(threadCpuMs()) {}
  Sample elapsed(int shares = 1) const {
    return {std::chrono::duration<double, std::milli>(Clock::now() - wall_).count() / shares,
            (threadCpuMs() - cpu_) / shares};
  }

 private:
  Clock::time_point wall_;
  double cpu_;
};

struct Figures {
  double wallMin;
  double wallMedian;
  double cpuMin;
  double cpuMedian;
};

// Runs `once` `rounds` times; each call returns what it measured.
Figures measure(int rounds, const std::function<Sample()>& once) {
  std::vector<double> wall;
  std::vector<double> cpu;
  for (int r = 0; r < rounds; ++r) {
    const Sample s = once();
    wall.push_back(s.wallMs);
    cpu.push_back(s.cpuMs);
  }
  std::sort(wall.begin(), wall.end());
  std::sort(cpu.begin(), cpu.end());
  return {wall.front(), wall[wall.size() / 2], cpu.front(), cpu[cpu.size() / 2]};
}

void print(const std::string& what, const Figures& f) {
  std::printf("%-66s %10.3f %10.3f %10.3f %10.3f\n", what.c_str(), f.wallMin, f.wallMedian,
              f.cpuMin, f.cpuMedian);
}

// The first record after the facility is shut down builds the outputs from
// the registry; the bench output receives it before log() returns.
Sample firstRecord(Receiver& receiver) {
  zq::JLog::shutdown();
  const int before = receiver.records;
  const Stopwatch watch;
  zq::JLog::log(zq::kLevelInfo, "first", __FILE__, __LINE__, "Bench", nullptr);
  const Sample ms = watch.elapsed();
  if (receiver.records != before + 1) {
    throw std::runtime_error("the first record did not reach the bench output");
  }
  return ms;
}

// Parses a whole number in [low, high]; false for anything else.
bool parseCount(const char* text, int low, int high, int& out) {
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || v < low || v > high) {
    return false;
  }
  out = static_cast<int>(v);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  int keys = 10000;
  int rounds = 5;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    const bool isKeys = arg == "--keys";
    if (!isKeys && arg != "--rounds") {
      std::fprintf(stderr, "bench_registry: unknown argument '%s'\n%s", arg.c_str(), kUsage);
      return 2;
    }
    if (i + 1 == argc) {
      std::fprintf(stderr, "bench_registry: %s needs a value\n%s", arg.c_str(), kUsage);
      return 2;
    }
    const char* value = argv[++i];
    const bool ok =
        isKeys ? parseCount(value, 1, 1000000, keys) : parseCount(value, 1, 1000, rounds);
    if (!ok) {
      std::fprintf(stderr, "bench_registry: %s takes a whole number from 1 to %s, not '%s'\n",
                   arg.c_str(), isKeys ? "1000000" : "1000", value);
      return 2;
    }
  }

  Scratch scratch;
  Receiver receiver;
  try {
    std::printf("registry store: %d keys, %d rounds; times in ms\n", keys, rounds);
    std::printf("%-66s %10s %10s %10s %10s\n", "", "wall min", "wall med", "cpu min", "cpu med");

    // 1 and 2: a file of N camera keys. "changed": the file is rewritten
    // (one comment line differs) before each round, as when another process
    // has just written it, so that nothing parsed before can be reused.
    const std::string cameras = camerasFile(keys) + benchOutput();
    size_t round = 0;
    auto rewrite = [&](const std::string& text) {
      return scratch.writeMachineFile(text + "; round " + std::to_string(++round) + "\n");
    };
    const size_t camerasBytes = rewrite(cameras);
    zq::JSystemRegistryKey parent(zq::HKEY_LOCAL_MACHINE, "SOFTWARE\\Quorvanta\\Cameras",
                                  zq::KEY_READ);
    auto listOnce = [&] {
      const Stopwatch watch;
      const size_t n = parent.enumSubKeys().size();
      const Sample ms = watch.elapsed();
      if (n != static_cast<size_t>(keys)) {
        throw std::runtime_error("listed " + std::to_string(n) + " subkeys, not " +
                                 std::to_string(keys));
      }
      return ms;
    };
    const std::string n = std::to_string(keys);
    std::printf("file of %s keys: %zu bytes\n", n.c_str(), camerasBytes);
    print("list " + n + " subkeys, file changed before each round", measure(rounds, [&] {
            rewrite(cameras);
            return listOnce();
          }));
    print("list " + n + " subkeys, file unchanged", measure(rounds, listOnce));

    zq::JSystemRegistryKey middle(zq::HKEY_LOCAL_MACHINE,
                                  "SOFTWARE\\Quorvanta\\Cameras\\Cam" + std::to_string(keys / 2),
                                  zq::KEY_READ);
    auto readMs = [&](int reads) {
      uint32_t port = 0;
      const Stopwatch watch;
      for (int r = 0; r < reads; ++r) {
        if (!middle.getDword("Port", port) || port != static_cast<uint32_t>(5000 + keys / 2)) {
          throw std::runtime_error("wrong value read");
        }
      }
      return watch.elapsed(reads);
    };
    print("read one value of " + n + " keys, file changed before each round", measure(rounds, [&] {
            rewrite(cameras);
            return readMs(1);
          }));
    print("read one value of " + n + " keys, file unchanged (20 reads a round)",
          measure(rounds, [&] { return readMs(20); }));

    // 3: the first log record after start-up (the file is new to the
    // process), N keys beside the Log key, then N subkeys of it.
    print("first log record, " + n + " keys beside the Log key", measure(rounds, [&] {
            rewrite(cameras);
            return firstRecord(receiver);
          }));
    const std::string log = logFile(keys);
    std::printf("file of %s subkeys of the Log key: %zu bytes\n", n.c_str(), rewrite(log));
    print("first log record, " + n + " subkeys of the Log key", measure(rounds, [&] {
            rewrite(log);
            return firstRecord(receiver);
          }));
    zq::JLog::shutdown();
  } catch (const zq::JError& e) {
    std::fprintf(stderr, "bench_registry: %s\n", e.message().c_str());
    return 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_registry: %s\n", e.what());
    return 1;
  }
  return 0;
}
