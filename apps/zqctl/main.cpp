// zqctl, the console host of the audio output control.
#include <unistd.h>

#include <string>
#include <vector>

#include "zqctl/cli.h"

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  zq::zqctl::CliStreams streams;
  streams.interactive = ::isatty(0) != 0 && ::isatty(1) != 0;
  const char* library =
      ::access(ZQCTL_DEFAULT_LIBRARY, R_OK) == 0 ? ZQCTL_DEFAULT_LIBRARY : ZQCTL_INSTALLED_LIBRARY;
  return zq::zqctl::runCli(args, library, streams);
}
