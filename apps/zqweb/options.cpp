// Reading zqweb's command line (options.h).
#include "zqweb/options.h"

#include <algorithm>
#include <charconv>

namespace zq::zqweb {

const char* const kZqwebUsage =
    "usage: zqweb [--listen ADDR:PORT] [--cert FILE --key FILE] [--token-file FILE]\n"
    "             [--library PATH] [--www DIR] [--rehash-s N] [--aam-port N]\n"
    "             [--aam-address ADDR] [--talk-proto udp|ipm] [--bit-rate N]\n"
    "             [--device N] [--origin URL]...\n"
    "       zqweb --help\n"
    "\n"
    "The operator's web console: serves the page and its interface, hosts the\n"
    "control, and passes push-to-talk from the browser to the group of outputs.\n"
    "  --listen ADDR:PORT  where to serve (default 127.0.0.1:8080); an address\n"
    "                      other than loopback needs --cert, --key and --token-file\n"
    "  --cert, --key       TLS certificate chain and private key (PEM)\n"
    "  --token-file FILE   the token every API request must carry\n"
    "  --library PATH      the control's library (default: the installed one,\n"
    "                      under /usr/lib/zq)\n"
    "  --www DIR           the page's files (default: the installed ones,\n"
    "                      /usr/share/zq/www)\n"
    "  --rehash-s N        rehash an output whose link is down every N s (10; 0 never)\n"
    "  --aam-port N        the local AAM's port that talks use (10001)\n"
    "  --aam-address ADDR  the address the outputs reach the local AAM at\n"
    "                      (default: the listen address, or this host's name)\n"
    "  --talk-proto P      how the outputs fetch a talk: udp or ipm (udp)\n"
    "  --bit-rate N        the talk's MP3 bit rate (128000)\n"
    "  --device N          the host-fed wave-input device (default: the first\n"
    "                      of type host, added to the list when there is none)\n"
    "  --origin URL        another origin of the console's pages (repeatable)\n"
    "The outputs the console manages are kept in the registry under\n"
    "HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvanta\\WebConsole\\Outputs.\n";

namespace {

bool toInt(const std::string& text, int low, int high, int& out) {
  int value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value < low || value > high) {
    return false;
  }
  out = value;
  return true;
}

}  // namespace

bool isLoopback(const std::string& address) {
  return address == "localhost" || address == "::1" || address == "[::1]" ||
         address.starts_with("127.");
}

std::variant<Options, std::string> parseOptions(const std::vector<std::string>& args,
                                                Options o) {
  for (size_t i = 0; i < args.size(); ++i) {
    std::string name = args[i];
    std::string value;
    bool inlineValue = false;
    if (const size_t eq = name.find('='); name.starts_with("--") && eq != std::string::npos) {
      value = name.substr(eq + 1);
      name = name.substr(0, eq);
      inlineValue = true;
    }
    if (name == "--help" || name == "-h") {
      o.help = true;
      continue;
    }
    static const char* const kWithValue[] = {
        "--listen",   "--cert",        "--key",         "--token-file", "--library",
        "--www",      "--rehash-s",    "--aam-port",    "--aam-address", "--talk-proto",
        "--bit-rate", "--device",      "--origin"};
    if (std::find(std::begin(kWithValue), std::end(kWithValue), name) == std::end(kWithValue)) {
      return "unexpected argument '" + args[i] + "'";
    }
    if (!inlineValue) {
      if (i + 1 >= args.size()) {
        return name + " needs a value";
      }
      value = args[++i];
    }
    if (name == "--listen") {
      const size_t colon = value.rfind(':');
      if (colon == std::string::npos || colon == 0 ||
          !toInt(value.substr(colon + 1), 0, 65535, o.port)) {
        return "--listen needs ADDR:PORT, not '" + value + "'";
      }
      o.address = value.substr(0, colon);
      if (o.address.size() > 2 && o.address.front() == '[' && o.address.back() == ']') {
        o.address = o.address.substr(1, o.address.size() - 2);
      }
    } else if (name == "--cert") {
      o.cert = value;
    } else if (name == "--key") {
      o.key = value;
    } else if (name == "--token-file") {
      o.tokenFile = value;
    } else if (name == "--library") {
      o.library = value;
    } else if (name == "--www") {
      o.www = value;
    } else if (name == "--rehash-s") {
      if (!toInt(value, 0, 86400, o.rehashSeconds)) {
        return "--rehash-s needs seconds from 0 to 86400, not '" + value + "'";
      }
    } else if (name == "--aam-port") {
      if (!toInt(value, 1, 65535, o.aamPort)) {
        return "--aam-port needs a port from 1 to 65535, not '" + value + "'";
      }
    } else if (name == "--aam-address") {
      o.aamAddress = value;
    } else if (name == "--talk-proto") {
      if (value != "udp" && value != "ipm") {
        return "--talk-proto is udp or ipm, not '" + value + "'";
      }
      o.talkProtocol = value;
    } else if (name == "--bit-rate") {
      if (!toInt(value, 8000, 320000, o.bitRate)) {
        return "--bit-rate needs bits per second, not '" + value + "'";
      }
    } else if (name == "--device") {
      if (!toInt(value, 1, 1000, o.device)) {
        return "--device needs a device number from 1, not '" + value + "'";
      }
    } else if (name == "--origin") {
      o.origins.push_back(value);
    }
  }
  if (o.help) {
    return o;
  }
  if (o.cert.empty() != o.key.empty()) {
    return "TLS needs both --cert and --key";
  }
  if (!isLoopback(o.address) && (!o.tls() || o.tokenFile.empty())) {
    return "listening on " + o.address +
           " (not loopback) needs TLS (--cert and --key) and a token (--token-file): "
           "anyone who reaches it could drive the loudspeakers";
  }
  if (o.library.empty()) {
    return "no control library known: give --library PATH";
  }
  if (o.www.empty()) {
    return "no page directory known: give --www DIR";
  }
  return o;
}

}  // namespace zq::zqweb
