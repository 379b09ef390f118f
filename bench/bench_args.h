// What every benchmark program shares around its measurements: --help, its
// positional numbers checked against their bounds (anything else is refused
// with exit code 2), Google Benchmark's own flags where a program uses it, and
// a registry directory of its own so that no run reads or writes the machine's.
#pragma once

#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "base/log.h"

namespace zq::bench {

/// One positional argument: a number within [min, max], whole unless said
/// otherwise.
struct Arg {
  const char* name;     // as the usage shows it
  const char* meaning;  // one line
  double value;         // the default, until parse() replaces it
  double min;
  double max;
  bool whole = true;
};

/// The command line of a program that takes positional numbers only.
/// `summary` says what the program measures, `prints` what it prints; both
/// may run over several lines.
class Args {
 public:
  Args(const char* summary, const char* prints, std::vector<Arg> args = {})
      : summary_(summary), prints_(prints), args_(std::move(args)) {
    for (const Arg& a : args_) {
      defaults_.push_back(a.value);
    }
  }

  /// Prints the usage and exits 0 on -h or --help; prints what is wrong on
  /// standard error and exits 2 on an unknown option, a value that is not a
  /// number, out of its bounds or one too many.
  void parse(int argc, char** argv) {
    program_ = std::filesystem::path(argv[0]).filename().string();
    size_t next = 0;
    bool optionsDone = false;
    for (int i = 1; i < argc; ++i) {
      const std::string a = argv[i];
      if (!optionsDone && (a == "-h" || a == "--help")) {
        usage(stdout);
        std::exit(0);
      }
      if (!optionsDone && a == "--") {
        optionsDone = true;
        continue;
      }
      if (!optionsDone && a.size() > 1 && a[0] == '-' && !looksNumeric(a)) {
        refuse("unknown option '" + a + "'");
      }
      if (next == args_.size()) {
        refuse(args_.empty() ? "takes no arguments, got '" + a + "'"
                             : "too many arguments ('" + a + "')");
      }
      Arg& arg = args_[next++];
      char* end = nullptr;
      const double v = std::strtod(a.c_str(), &end);
      if (a.empty() || *end != '\0' || !std::isfinite(v) || (arg.whole && v != std::floor(v))) {
        refuse(std::string(arg.name) + " must be " + (arg.whole ? "a whole number" : "a number") +
               ", not '" + a + "'");
      }
      if (v < arg.min || v > arg.max) {
        refuse(std::string(arg.name) + " must be from " + text(arg.min, arg.whole) + " to " +
               text(arg.max, arg.whole) + ", not '" + a + "'");
      }
      arg.value = v;
    }
  }

  int integer(size_t i) const { return static_cast<int>(args_.at(i).value); }
  double number(size_t i) const { return args_.at(i).value; }

  void usage(FILE* out) const {
    std::fprintf(out, "usage: %s", program_.c_str());
    for (const Arg& a : args_) {
      std::fprintf(out, " [%s]", a.name);
    }
    std::fprintf(out, "\n\n%s\n", summary_);
    if (!args_.empty()) {
      std::fprintf(out, "\nArguments:\n");
      for (size_t i = 0; i < args_.size(); ++i) {
        const Arg& a = args_[i];
        std::fprintf(out, "  %-22s %s, %s to %s (default %s)\n", a.name, a.meaning,
                     text(a.min, a.whole).c_str(), text(a.max, a.whole).c_str(),
                     text(defaults_[i], a.whole).c_str());
      }
    }
    std::fprintf(out, "\nPrints:\n%s\n", prints_);
    std::fprintf(out,
                 "\nRuns against a registry directory made for the run (ZQ_REGISTRY_DIR, "
                 "unless set), removed at the end.\nNetwork traffic stays on 127.0.0.1; "
                 "scripts/bench runs every program inside scripts/in-netns.\n");
  }

 private:
  static bool looksNumeric(const std::string& a) {
    return a.size() > 1 && (std::isdigit(static_cast<unsigned char>(a[1])) || a[1] == '.');
  }

  static std::string text(double v, bool whole) {
    char buf[32];
    std::snprintf(buf, sizeof buf, whole ? "%.0f" : "%g", v);
    return buf;
  }

  [[noreturn]] void refuse(const std::string& why) const {
    std::fprintf(stderr, "%s: %s\n", program_.c_str(), why.c_str());
    std::fprintf(stderr, "Try '%s --help'.\n", program_.c_str());
    std::exit(2);
  }

  const char* summary_;
  const char* prints_;
  std::vector<Arg> args_;
  std::vector<double> defaults_;
  std::string program_ = "bench";
};

/// Points ZQ_REGISTRY_DIR at a directory made for the run and removed when
/// this object goes, unless the caller set the variable (with `always`, even
/// then: for a program that rewrites the registry's log set-up). The log
/// set-up is read at once, while the directory exists.
class ScratchRegistry {
 public:
  explicit ScratchRegistry(bool always = false) : always_(always) {
    if (!always && std::getenv("ZQ_REGISTRY_DIR") != nullptr) {
      return;
    }
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/zq-bench-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
      std::perror(("cannot make a scratch directory " + pattern).c_str());
      std::exit(1);
    }
    root_ = pattern;
    ::setenv("ZQ_REGISTRY_DIR", registry().c_str(), 1);
    JLog::reinitialise(0);
  }
  ~ScratchRegistry() {
    if (root_.empty()) {
      return;
    }
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
    // A registry opened after this (by a late log re-initialisation) fails
    // instead of bringing the directory back.
    ::setenv("ZQ_REGISTRY_DIR", "/dev/null/zq-bench-registry-removed", 1);
  }
  ScratchRegistry(const ScratchRegistry&) = delete;
  ScratchRegistry& operator=(const ScratchRegistry&) = delete;

  /// The scratch directory (empty when the caller's registry is used); the
  /// registry is its "registry" subdirectory, the rest is the program's.
  const std::filesystem::path& root() const { return root_; }
  std::filesystem::path registry() const { return root_ / "registry"; }
  /// True when the caller's ZQ_REGISTRY_DIR is never used.
  bool always() const { return always_; }

 private:
  bool always_;
  std::filesystem::path root_;
};

/// main() of a program built on Google Benchmark, run against `registry`:
/// -h and --help print the program's summary and then the library's own
/// flags; an argument the library does not take is refused with exit code 2.
inline int runGoogleBenchmark(int argc, char** argv, const ScratchRegistry& registry,
                              const char* summary, const char* prints) {
  const std::string program = std::filesystem::path(argv[0]).filename().string();
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "-h" || a == "--help") {
      std::printf("usage: %s [--benchmark_...]\n\n%s\n\nPrints:\n%s\n\n", program.c_str(), summary,
                  prints);
      std::printf(
          "Runs against a registry directory made for the run and removed at the end%s.\n\n",
          registry.always() ? "" : " (ZQ_REGISTRY_DIR, unless set)");
      std::printf(
          "Google Benchmark's flags (for instance --benchmark_filter=REGEX, "
          "--benchmark_min_time=SECONDS,\n--benchmark_format=json):\n");
      std::fflush(stdout);
      benchmark::PrintDefaultHelp();
      return 0;
    }
  }
  benchmark::Initialize(&argc, argv);
  if (argc > 1) {
    for (int i = 1; i < argc; ++i) {
      std::fprintf(stderr,
                   "%s: unknown argument '%s' (Google Benchmark's flags are written "
                   "--benchmark_NAME=VALUE)\n",
                   program.c_str(), argv[i]);
    }
    std::fprintf(stderr, "Try '%s --help'.\n", program.c_str());
    return 2;
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}

}  // namespace zq::bench
