// zqweb, the operator's web console: the options, the console (the control
// on its own thread) and the server on this thread until SIGINT or SIGTERM.
#include <limits.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <optional>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/ssl/context.hpp>

#include "base/error.h"
#include "zqweb/console.h"
#include "zqweb/options.h"
#include "zqweb/server.h"

namespace {

using namespace zq::zqweb;
namespace net = boost::asio;

// The program of the build finds the control's library and the page in the
// build tree (make console, the tests); anywhere else it is installed, and
// they are where the package puts them. --library and --www override both.
bool inBuildTree() {
  std::error_code ec;
  const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  return !ec && std::filesystem::equivalent(exe.parent_path(), ZQWEB_BUILD_DIR, ec);
}

std::string hostName() {
  char name[HOST_NAME_MAX + 1] = {};
  return ::gethostname(name, sizeof name - 1) == 0 ? name : "localhost";
}

int fail(const std::string& why) {
  std::fprintf(stderr, "zqweb: %s\n", why.c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  Options defaults;
  const bool built = inBuildTree();
  defaults.library = built ? ZQWEB_BUILD_LIBRARY : ZQWEB_INSTALLED_LIBRARY;
  defaults.www = built ? ZQWEB_BUILD_WWW : ZQWEB_INSTALLED_WWW;
  auto parsed = parseOptions(std::vector<std::string>(argv + 1, argv + argc), defaults);
  if (const auto* why = std::get_if<std::string>(&parsed)) {
    std::fprintf(stderr, "zqweb: %s\n%s", why->c_str(), kZqwebUsage);
    return 2;
  }
  const Options o = std::get<Options>(parsed);
  if (o.help) {
    std::fputs(kZqwebUsage, stdout);
    return 0;
  }
  if (std::error_code ec; !std::filesystem::is_regular_file(o.www + "/index.html", ec)) {
    return fail("no page in " + o.www + " (index.html): give --www DIR");
  }
  ServerSettings server;
  server.www = o.www;
  server.security.tls = o.tls();
  if (!o.tokenFile.empty()) {
    std::ifstream in(o.tokenFile);
    std::getline(in, server.security.token);
    while (!server.security.token.empty() && std::isspace(static_cast<unsigned char>(
                                                 server.security.token.back()))) {
      server.security.token.pop_back();
    }
    if (!in && server.security.token.empty()) {
      return fail("cannot read the token from " + o.tokenFile);
    }
    if (server.security.token.size() < 16) {
      return fail("the token in " + o.tokenFile + " is shorter than 16 characters");
    }
  }
  net::ssl::context tls(net::ssl::context::tls_server);
  if (o.tls()) {
    boost::system::error_code ec;
    tls.set_options(net::ssl::context::default_workarounds | net::ssl::context::no_sslv2 |
                    net::ssl::context::no_sslv3 | net::ssl::context::no_tlsv1 |
                    net::ssl::context::no_tlsv1_1);
    tls.use_certificate_chain_file(o.cert, ec);
    if (ec) {
      return fail("cannot use the certificate " + o.cert + ": " + ec.message());
    }
    tls.use_private_key_file(o.key, net::ssl::context::pem, ec);
    if (ec) {
      return fail("cannot use the key " + o.key + ": " + ec.message());
    }
  }
  boost::system::error_code ec;
  const auto address = net::ip::make_address(o.address == "localhost" ? "127.0.0.1" : o.address,
                                             ec);
  if (ec) {
    return fail("cannot listen on '" + o.address + "': not an IP address");
  }
  server.endpoint = {address, static_cast<uint16_t>(o.port)};
  const bool wildcard = address.is_unspecified();

  ConsoleSettings settings;
  settings.library = o.library;
  settings.rehashPeriod = std::chrono::seconds(o.rehashSeconds);
  settings.aamPort = o.aamPort;
  settings.aamAddress = !o.aamAddress.empty() ? o.aamAddress
                        : wildcard            ? hostName()
                                              : address.to_string();
  settings.talkProtocol = o.talkProtocol;
  settings.bitRate = o.bitRate;
  settings.hostDevice = static_cast<uint32_t>(o.device);

  std::optional<Console> console;
  try {
    console.emplace(settings);
  } catch (const zq::JError& e) {
    return fail(e.message());
  }
  net::io_context io{1};
  std::optional<Server> web;
  try {
    web.emplace(io, *console, server, o.tls() ? &tls : nullptr);
  } catch (const boost::system::system_error& e) {
    return fail("cannot listen on " + o.address + ":" + std::to_string(o.port) + ": " +
                e.code().message());
  }
  const std::string scheme = o.tls() ? "https://" : "http://";
  const std::string port = ":" + std::to_string(web->port());
  const std::string shown = address.is_v6() ? "[" + address.to_string() + "]" : address.to_string();
  std::vector<std::string> own = o.origins;
  own.push_back(scheme + shown + port);
  if (address.is_loopback()) {
    own.push_back(scheme + "localhost" + port);
    own.push_back(scheme + "127.0.0.1" + port);
  }
  if (wildcard) {
    own.push_back(scheme + hostName() + port);
  }
  web->setOrigins(own);
  web->start();
  std::printf("zqweb: serving %s%s%s/\n", scheme.c_str(),
              wildcard ? hostName().c_str() : shown.c_str(), port.c_str());
  std::fflush(stdout);

  net::signal_set signals(io, SIGINT, SIGTERM);
  signals.async_wait([&](const boost::system::error_code&, int) {
    web->stop();
    io.stop();
  });
  io.run();
  console->stop();
  web.reset();
  return 0;
}
