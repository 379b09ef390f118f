// zqctl, the console host of the audio output control.
#include <unistd.h>

#include <string>
#include <vector>

#include "zqctl/cli.h"

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  zq::zqctl::CliStreams streams;
  streams.interactive = ::isatty(0) != 0 && ::isatty(1) != 0;
  return zq::zqctl::runCli(args, ZQCTL_DEFAULT_LIBRARY, streams);
}
