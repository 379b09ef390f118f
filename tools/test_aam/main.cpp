// test_aam: the audio access manager of the tests (tests/helpers/aam) as a
// program, for the demonstration and the end-to-end tests: it listens on
// loopback, prints every request line it receives (PING aside) and exits on
// SIGTERM or SIGINT.
#include <signal.h>

#include <charconv>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "base/error.h"
#include "helpers/aam/test_aam.h"

namespace {

constexpr const char* kUsage =
    "usage: test_aam [--port PORT]\n"
    "\n"
    "Listens on 127.0.0.1 at PORT (default: one the system picks) as an audio\n"
    "access manager that answers every request and records it. Prints\n"
    "'listening 127.0.0.1:PORT' first, then each request line as it arrives;\n"
    "exits on SIGTERM or SIGINT.\n";

// How long the main thread sleeps between looks at the recorded requests
// when no signal comes: short enough to read as immediate.
constexpr long kPollNs = 20'000'000;

}  // namespace

int main(int argc, char** argv) {
  long port = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string_view a = argv[i];
    if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (a == "--port" && i + 1 < argc) {
      const std::string_view v = argv[++i];
      const auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), port);
      if (ec != std::errc() || end != v.data() + v.size() || port < 0 || port > 65535) {
        std::fprintf(stderr, "test_aam: bad port '%s'\n", argv[i]);
        return 2;
      }
      continue;
    }
    std::fprintf(stderr, "test_aam: unexpected argument '%s'\n%s", argv[i], kUsage);
    return 2;
  }
  // The signals are taken synchronously by the main thread only: block them
  // before any thread starts, so that every thread inherits the mask.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  try {
    zq::test::TestAAM aam(static_cast<uint16_t>(port));
    std::printf("listening 127.0.0.1:%u\n", static_cast<unsigned>(aam.port()));
    std::fflush(stdout);
    size_t printed = 0;
    const timespec interval{0, kPollNs};
    for (;;) {
      const int signal = sigtimedwait(&stopSignals, nullptr, &interval);
      const std::vector<std::string> requests = aam.requests();
      for (; printed < requests.size(); ++printed) {
        std::printf("%s\n", requests[printed].c_str());
      }
      std::fflush(stdout);
      if (signal == SIGTERM || signal == SIGINT) {
        return 0;
      }
    }
  } catch (const zq::JError& e) {
    std::fprintf(stderr, "test_aam: %s\n", e.message().c_str());
    return 1;
  }
}
