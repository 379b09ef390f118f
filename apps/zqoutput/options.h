// zqoutput's command line: what it asks for, or why it is refused.
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "zqoutput/allow_list.h"
#include "zqoutput/player.h"

namespace zq::zqoutput {

struct Options {
  bool help = false;
  uint16_t port = 10001;
  std::string id = "zqoutput";
  std::string output = "null";
  uint32_t bufferMs = Player::kDefaultBufferMs;
  uint32_t logMask = 0;  // the console's levels (bit n: level n)
  std::string listen = "0.0.0.0";  // the address the RPC port is bound to
  AllowList allow;                 // the controls that may connect
  AllowList allowSources;          // the AAMs a stream may come from
  std::string mediaDir;            // "": no file source
};

/// The console levels of "error", "warning", "info" or "debug": that level
/// and the more serious ones; 0 for any other name.
uint32_t logMaskOf(const std::string& level);

/// The arguments after the program's name: the options, or the reason they
/// are refused ("--port must be from 0 to 65535, not 'x'").
std::variant<Options, std::string> parseOptions(const std::vector<std::string>& args);

}  // namespace zq::zqoutput
