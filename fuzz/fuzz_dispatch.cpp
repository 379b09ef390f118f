// Fuzzes request dispatch: arbitrary bytes as a request line to a server with
// functions of every kind whose handlers read their parameters. Errors are
// expected; a crash, a leak, an exception outside JError or a wrong outcome
// (checked against a plain reading of the request's name) is a finding.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "net/tcp_socket.h"
#include "rpc/rpc_error.h"
#include "rpc/rpc_server.h"

namespace {

using namespace zq;

[[noreturn]] void finding(const std::string& what, std::string_view line) {
  std::fprintf(stderr, "dispatch finding: %s (line of %zu bytes)\n", what.c_str(), line.size());
  std::abort();
}

class FuzzServer : public JRPCServer {
 public:
  FuzzServer() : JRPCServer("FuzzDispatch", nullptr) { registerFunctions(); }

  void registerFunctions() override {
    static const JRPCFunction<FuzzServer> kFunctions[] = {
        {"getParams", &FuzzServer::getParams},
        {"setValue", &FuzzServer::setValue},
        {"notify", &FuzzServer::notify},
        {"addUDPClient", &FuzzServer::addUdpClient},
        {"Case", &FuzzServer::upper},
        {"case", &FuzzServer::lower},
        {"\xC3\xA9t\xC3\xA9", &FuzzServer::lower},
        {"1f", &FuzzServer::upper},
    };
    JRPCServer::registerFunctions(kFunctions);
  }

  // Kind 0: one required value and optional ones of every type.
  void getParams(const JParams& request, JParams& result) {
    called = "getParams";
    int32_t port = 0;
    request.get("port", port, true);
    std::string name;
    bool on = false;
    double gain = 0;
    int64_t big = 0;
    std::vector<uint8_t> key;
    if (request.get("name", name, false)) {
      result.set("name", name);
    }
    if (request.get("on", on, false)) {
      result.set("on", on);
    }
    if (request.get("gain", gain, false)) {
      result.set("gain", gain);
    }
    if (request.get("big", big, false)) {
      result.set("big", big);
    }
    if (request.get("key", key, false)) {
      result.set("key", key.data(), key.size());
    }
    result.set("port", static_cast<int64_t>(port) + 1);
  }

  // Kind 0 through find: the value is converted to text and sent back.
  void setValue(JParams& request, JParams& result) {
    called = "setValue";
    const JVariant* value = request.find("v", true);
    result.set("v", value->asString());
    if (const JVariant* extra = request.find("extra", false)) {
      result.add(std::make_unique<JVariant>(*extra));
    }
  }

  // Kind 1: no result, the socket.
  void notify(const JParams& request, JSocket& socket) {
    called = "notify";
    checkSocket(socket);
    int64_t id = 0;
    request.get("id", id, true);
  }

  // Kind 2: result and socket.
  void addUdpClient(const JParams& request, JParams& result, JSocket& socket) {
    called = "addUDPClient";
    checkSocket(socket);
    std::string ip;
    int32_t port = 0;
    request.get("ip", ip, true);
    request.get("port", port, true);
    result.set("ip", ip);
    result.set("port", static_cast<int64_t>(port));
  }

  void upper(const JParams&, JParams& result) {
    called = "upper";
    result.set("which", "upper");
  }
  void lower(const JParams&, JParams& result) {
    called = "lower";
    result.set("which", "lower");
  }

  void checkSocket(JSocket& socket) const {
    if (&socket != expectedSocket) {
      finding("handler got another socket", "");
    }
  }

  std::string called;
  JSocket* expectedSocket = nullptr;
};

bool isBlank(char c) {
  return c == ' ' || c == '\t';
}
bool isNameChar(char c) {
  const auto b = static_cast<unsigned char>(c);
  return (b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') || (b >= '0' && b <= '9') || b == '_' ||
         b >= 0x80;
}

// What the request's head asks for: a protocol error code (-2, -3, -4) or
// the handler that must run, and its kind.
struct Expected {
  int32_t code = 0;
  std::string handler;
  JRPCKind kind = JRPCKind::kAnswer;
  std::string name;
};

Expected expect(std::string_view line) {
  size_t i = 0;
  while (i < line.size() && isBlank(line[i])) {
    ++i;
  }
  const size_t begin = i;
  while (i < line.size() && isNameChar(line[i])) {
    ++i;
  }
  Expected e;
  e.name = std::string(line.substr(begin, i - begin));
  while (i < line.size() && isBlank(line[i])) {
    ++i;
  }
  if (i == line.size() || line[i] != '(') {
    e.code = -2;
  } else if (e.name.empty()) {
    e.code = -3;
  } else if (e.name == "getParams" || e.name == "setValue") {
    e.handler = e.name;
  } else if (e.name == "notify") {
    e.handler = e.name;
    e.kind = JRPCKind::kOneWay;
  } else if (e.name == "addUDPClient") {
    e.handler = e.name;
    e.kind = JRPCKind::kAnswerWithSocket;
  } else if (e.name == "Case" || e.name == "1f") {
    e.handler = "upper";
  } else if (e.name == "case" || e.name == "\xC3\xA9t\xC3\xA9") {
    e.handler = "lower";
  } else {
    e.code = -4;
  }
  return e;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Never destroyed: the process ends without taking the logging facility
  // down before them.
  static FuzzServer& server = *new FuzzServer;
  static JTCPSocket& socket = *new JTCPSocket;
  server.expectedSocket = &socket;
  server.called.clear();

  const std::string_view line(reinterpret_cast<const char*>(data), size);
  const Expected expected = expect(line);
  try {
    std::unique_ptr<JParams> result = server.dispatch(line, socket);
    if (expected.code != 0) {
      finding("accepted a request that should fail with " + std::to_string(expected.code), line);
    }
    if (server.called != expected.handler) {
      finding("ran '" + server.called + "' instead of '" + expected.handler + "'", line);
    }
    if ((result == nullptr) != (expected.kind == JRPCKind::kOneWay)) {
      finding("result does not match the function's kind", line);
    }
    if (result) {
      // The answer's text is built from it exactly as a connection does.
      std::string answer(3 + result->textLength(), '\0');
      const size_t n = result->write(answer.data() + 3, ',');
      if (n > result->textLength()) {
        finding("result text longer than its bound", line);
      }
    }
  } catch (const JRPCProtocolError& e) {
    const int32_t code = e.code();
    if (code == -2 || code == -3 || code == -4 || expected.code != 0) {
      if (code != expected.code) {
        finding("protocol error " + std::to_string(code) + " instead of " +
                    std::to_string(expected.code),
                line);
      }
      const std::string_view context = code == -4 ? std::string_view(expected.name) : line;
      if (e.context() != context) {
        finding("protocol error with the wrong context", line);
      }
    } else if (code < -10 || code > -5 || !server.called.empty()) {
      // Parameter errors come from the parser, before any handler runs.
      finding("unexpected protocol error " + std::to_string(code), line);
    }
    char message[505];
    e.getMessage(message, sizeof message);
  } catch (const JError& e) {
    // Conversions and missing parameters, from a handler that ran.
    if (server.called != expected.handler || expected.handler.empty()) {
      finding("handler error without the right handler", line);
    }
    char message[505];
    e.getMessage(message, sizeof message);
  }
  return 0;
}
