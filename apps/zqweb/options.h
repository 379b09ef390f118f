// zqweb's command line, read by a pure function: the options with their
// defaults, and the refusals (an address other than loopback without TLS
// and a token, a value that is not one).
#pragma once

#include <string>
#include <variant>
#include <vector>

namespace zq::zqweb {

struct Options {
  std::string address = "127.0.0.1";
  int port = 8080;
  std::string cert;
  std::string key;
  std::string tokenFile;
  std::string library;  // the control's library
  std::string www;      // the page's files
  int rehashSeconds = 10;
  int aamPort = 10001;
  std::string aamAddress;  // empty: derived from the listen address
  std::string talkProtocol = "udp";
  int bitRate = 128000;
  int device = 0;  // the host-fed wave-input device; 0: found or added
  std::vector<std::string> origins;
  bool help = false;

  bool tls() const { return !cert.empty(); }
};

/// The usage text of --help.
extern const char* const kZqwebUsage;

/// Whether `address` is a loopback address (127.0.0.0/8, ::1, localhost).
bool isLoopback(const std::string& address);

/// The options of `args` (without the program name) over `defaults`, or
/// the reason they cannot be used.
std::variant<Options, std::string> parseOptions(const std::vector<std::string>& args,
                                                Options defaults);

}  // namespace zq::zqweb
