// zqoutput: an audio output for Linux that an audio output controller drives
// like any remote access manager. It plays what it is told (a provider's
// stream, a file, a capture device) into ALSA, a WAVE file or nowhere.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "base/error.h"
#include "base/log.h"
#include "zqoutput/options.h"
#include "zqoutput/output_service.h"
#include "zqoutput/sink.h"

namespace {

const char kUsage[] =
    "usage: zqoutput [--port N] [--listen ADDR] [--id TEXT] [--output null|wav:PATH|alsa:NAME]\n"
    "                [--buffer-ms N] [--allow LIST] [--allow-sources LIST] [--media-dir DIR]\n"
    "                [--log-level error|warning|info|debug]\n"
    "       zqoutput --help\n"
    "\n"
    "An audio output: answers an audio output controller's requests (setNetSource,\n"
    "setHardSource, setFileSource, resetSource, setParams, getParams, getStat, PING)\n"
    "on --port and plays the source it is told to. A network source is fetched from\n"
    "the named access manager over \"udp\" or \"ipm\"; MP3 is decoded, PCM played as\n"
    "it comes; setParams(volume=N) scales the samples (0 to 100).\n"
    "\n"
    "  --port N        the RPC port (default 10001; 0: one the system picks)\n"
    "  --listen ADDR   the local IPv4 address the port is bound to (default\n"
    "                  0.0.0.0: every interface)\n"
    "  --id TEXT       reported as Id by getParams (default \"zqoutput\")\n"
    "  --output OUT    null, wav:PATH (a WAVE file, valid whenever the program\n"
    "                  ends) or alsa:NAME (alsa:default, alsa:hw:1,0); default null\n"
    "  --buffer-ms N   the jitter buffer's depth before playing, and again after\n"
    "                  it ran dry (0 to 5000, default 48 for loopback and a quiet\n"
    "                  LAN; 60 on a busy machine, 140 where the network loses or\n"
    "                  reorders frames)\n"
    "  --allow LIST    the controls that may connect: addresses and blocks,\n"
    "                  \"192.0.2.7, 10.20.0.0/16\" (default: everyone, with a warning);\n"
    "                  another peer's connection is closed at once, logged once a\n"
    "                  minute per address and counted (RefusedConnections)\n"
    "  --allow-sources LIST  the access managers a stream may be fetched from,\n"
    "                  the same way (default: any)\n"
    "  --media-dir DIR setFileSource plays files under DIR only (links and ..\n"
    "                  resolved; a relative name is taken in DIR); default: no\n"
    "                  file source\n"
    "  --log-level L   error, warning, info (default) or debug\n"
    "\n"
    "Run as a service (zqoutput@NAME), it takes its options from ZQOUTPUT_OPTIONS in\n"
    "/etc/zq/NAME.conf, split at blanks: write a list there without them\n"
    "(--allow 192.0.2.7,10.20.0.0/16).\n"
    "\n"
    "Logs go to standard error, with a status line (source, frames, losses, level)\n"
    "when it is a terminal. getStat answers FramesReceived, FramesLost, FramesLate,\n"
    "DuplicatePackets, StrayPackets (datagrams from other senders than the\n"
    "provider), FramesDecoded, DecodeErrors, Underruns, BlocksConcealed (the\n"
    "last block played again for a lost frame), BlocksDropped and BlocksRepeated\n"
    "(clock drift), BufferedMs, OutputErrors (periods the output refused),\n"
    "LevelDb and RefusedConnections. SIGINT or SIGTERM stops it within a second:\n"
    "the source and the output are closed, the controllers see their connection\n"
    "close. Prints \"listening ADDR:PORT\" once it serves, with the address and\n"
    "port it is bound to.\n";

int refuse(const std::string& why) {
  std::fprintf(stderr, "zqoutput: %s\nTry 'zqoutput --help'.\n", why.c_str());
  return 2;
}

// One line, rewritten in place: what plays and how it goes.
void printStatus(const zq::zqoutput::Player::Stats& s) {
  std::fprintf(
      stderr,
      "\r\033[K%s  frames %llu  lost %llu  late %llu  underruns %llu  buffer %u ms  %d dBFS",
      s.source.empty() ? "(silent)" : s.source.c_str(), static_cast<unsigned long long>(s.received),
      static_cast<unsigned long long>(s.lost), static_cast<unsigned long long>(s.late),
      static_cast<unsigned long long>(s.underruns), s.bufferedMs, s.levelDb);
  std::fflush(stderr);
}

}  // namespace

int main(int argc, char** argv) {
  const auto parsed = zq::zqoutput::parseOptions(std::vector<std::string>(argv + 1, argv + argc));
  if (const auto* why = std::get_if<std::string>(&parsed)) {
    return refuse(*why);
  }
  const zq::zqoutput::Options& options = std::get<zq::zqoutput::Options>(parsed);
  if (options.help) {
    std::fputs(kUsage, stdout);
    return 0;
  }

  // The signals are taken by sigtimedwait below, on this thread only.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  ::signal(SIGPIPE, SIG_IGN);
  zq::JLog::setDefaultConsoleMask(options.logMask);
  zq::JLog::setDefaultFlags(zq::JLog::kDefaultConsole);
  const bool status = ::isatty(STDERR_FILENO) != 0;

  try {
    std::unique_ptr<zq::zqoutput::AudioSink> sink = zq::zqoutput::makeSink(options.output);
    {
      if (options.allow.everyone()) {
        zq::JLog::logf(zq::kLevelWarning,
                       "zqoutput: every address may command this output (--allow limits who may)");
      }
      zq::zqoutput::OutputService service(
          options.port, options.id, *sink, options.bufferMs,
          {.listen = options.listen, .controls = options.allow, .sources = options.allowSources,
           .mediaDir = options.mediaDir});
      std::printf("listening %s\n", service.address().text().c_str());
      std::fflush(stdout);
      const timespec second{1, 0};
      int signal = -1;
      while (signal < 0) {
        signal = sigtimedwait(&stopSignals, nullptr, &second);
        if (signal < 0 && status) {
          printStatus(service.player().stats());
        }
      }
      std::fprintf(stderr, "%szqoutput: %s, stopping\n", status ? "\n" : "", strsignal(signal));
    }
  } catch (const zq::JError& e) {
    std::fprintf(stderr, "zqoutput: %s\n", e.message().c_str());
    return 1;
  }
  return 0;
}
