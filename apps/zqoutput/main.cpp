// zqoutput: an audio output for Linux that an audio output controller drives
// like any remote access manager. It plays what it is told (a provider's
// stream, a file, a capture device) into ALSA, a WAVE file or nowhere.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "base/error.h"
#include "base/log.h"
#include "zqoutput/output_service.h"
#include "zqoutput/sink.h"

namespace {

const char kUsage[] =
    "usage: zqoutput [--port N] [--id TEXT] [--output null|wav:PATH|alsa:NAME]\n"
    "       zqoutput --help\n"
    "\n"
    "An audio output: answers an audio output controller's requests (setNetSource,\n"
    "setHardSource, setFileSource, resetSource, setParams, getParams, getStat, PING)\n"
    "on --port and plays the source it is told to. A network source is fetched from\n"
    "the named access manager over \"udp\" or \"ipm\"; MP3 is decoded, PCM played as\n"
    "it comes; setParams(volume=N) scales the samples (0 to 100).\n"
    "\n"
    "  --port N       the RPC port (default 10001; 0: one the system picks)\n"
    "  --id TEXT      reported as Id by getParams (default \"zqoutput\")\n"
    "  --output OUT   null, wav:PATH (a WAVE file, valid whenever the program\n"
    "                 ends) or alsa:NAME (alsa:default, alsa:hw:1,0); default null\n"
    "\n"
    "Logs go to standard error. SIGINT or SIGTERM stops it: the source and the\n"
    "output are closed, the controllers see their connection close.\n"
    "Prints \"listening 127.0.0.1:PORT\" once it serves.\n";

int refuse(const std::string& why) {
  std::fprintf(stderr, "zqoutput: %s\nTry 'zqoutput --help'.\n", why.c_str());
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  long port = 10001;
  std::string id = "zqoutput";
  std::string output = "null";
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (i + 1 >= argc || (a != "--port" && a != "--id" && a != "--output")) {
      return refuse(i + 1 >= argc && a.rfind("--", 0) == 0 ? a + " needs a value"
                                                           : "unknown argument '" + a + "'");
    }
    const std::string v = argv[++i];
    if (a == "--port") {
      char* end = nullptr;
      port = std::strtol(v.c_str(), &end, 10);
      if (v.empty() || *end != '\0' || port < 0 || port > 65535) {
        return refuse("--port must be from 0 to 65535, not '" + v + "'");
      }
    } else if (a == "--id") {
      id = v;
    } else {
      output = v;
    }
  }

  // The signals are taken by sigwait below, on this thread only.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  ::signal(SIGPIPE, SIG_IGN);
  zq::JLog::setDefaultFlags(zq::JLog::kDefaultConsole);

  try {
    std::unique_ptr<zq::zqoutput::AudioSink> sink = zq::zqoutput::makeSink(output);
    {
      zq::zqoutput::OutputService service(static_cast<uint16_t>(port), id, *sink);
      std::printf("listening 127.0.0.1:%u\n", static_cast<unsigned>(service.port()));
      std::fflush(stdout);
      int signal = 0;
      sigwait(&stopSignals, &signal);
      std::fprintf(stderr, "zqoutput: %s, stopping\n", strsignal(signal));
    }
  } catch (const zq::JError& e) {
    std::fprintf(stderr, "zqoutput: %s\n", e.message().c_str());
    return 1;
  }
  return 0;
}
