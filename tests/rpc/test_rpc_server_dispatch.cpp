// The function table and dispatch without a network: registration, byte-wise
// order and exact look-up, the kinds, the errors with their codes and
// contexts, handlers of base classes, and replacing a table while requests run.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "net/tcp_socket.h"
#include "rpc/rpc_error.h"
#include "rpc/rpc_server.h"

namespace zq {
namespace {

// Handlers reached through a base class that is not the first one, so that
// the adjustment from the server to the handler's object is not zero.
struct Counters {
  virtual ~Counters() = default;
  int64_t calls = 0;
  void count(const JParams&, JParams& result) { result.set("calls", ++calls); }
};

class Server : public JRPCServer, public Counters {
 public:
  Server() : JRPCServer("Dispatch", nullptr) {}
  ~Server() override { shutdownConnections(); }

  void registerFunctions() override {
    static const JRPCFunction<Server> kFunctions[] = {
        {"b", &Server::tagB},
        {"B", &Server::tagUpperB},
        {"a_", &Server::tagAUnderscore},
        {"a", &Server::tagA},
        {"\xE9t\xE9", &Server::tagHigh},
        {"10", &Server::tagTen},
        {"1", &Server::tagOne},
        {"count", &Server::count},
        {"oneWay", &Server::oneWay},
        {"withSocket", &Server::withSocket},
        {"need", &Server::need},
    };
    JRPCServer::registerFunctions(kFunctions);
  }

  using JRPCServer::registerFunctions;

  void tagA(const JParams&, JParams& r) { r.set("f", "a"); }
  void tagAUnderscore(const JParams&, JParams& r) { r.set("f", "a_"); }
  void tagB(const JParams&, JParams& r) { r.set("f", "b"); }
  void tagUpperB(const JParams&, JParams& r) { r.set("f", "B"); }
  void tagHigh(const JParams&, JParams& r) { r.set("f", "high"); }
  void tagTen(const JParams&, JParams& r) { r.set("f", "10"); }
  void tagOne(const JParams&, JParams& r) { r.set("f", "1"); }
  void oneWay(JParams& request, JSocket& socket) {
    lastRequest = request.toString();
    lastSocket = &socket;
  }
  void withSocket(JParams& request, JParams& result, JSocket& socket) {
    result.set("seen", request.toString());
    lastSocket = &socket;
  }
  void need(const JParams& request, JParams& result) {
    int32_t x = 0;
    request.get("x", x, true);
    result.set("x", x);
  }

  std::string lastRequest;
  JSocket* lastSocket = nullptr;
};

class OtherServer : public JRPCServer {
 public:
  OtherServer() : JRPCServer("Other", nullptr) {}
  void registerFunctions() override {}
  void f(const JParams&, JParams&) {}
};

class RpcDispatch : public ::testing::Test {
 protected:
  RpcDispatch() { server_.registerFunctions(); }

  // The result's text, or "none" for a one-way function.
  std::string run(std::string_view line) {
    std::unique_ptr<JParams> result = server_.dispatch(line, socket_);
    return result ? result->toString() : "none";
  }

  // The protocol error `line` raises.
  JRPCProtocolError protocolError(std::string_view line) {
    try {
      server_.dispatch(line, socket_);
    } catch (const JRPCProtocolError& e) {
      return e;
    }
    ADD_FAILURE() << "no protocol error for " << line;
    return JRPCProtocolError();
  }

  Server server_;
  JTCPSocket socket_;
};

// ---- table ------------------------------------------------------------------------

TEST_F(RpcDispatch, TableIsSortedByUnsignedBytes) {
  const std::vector<std::string> names = server_.functionNames();
  const std::vector<std::string> expected = {
      "1", "10", "B", "a", "a_", "b", "count", "need", "oneWay", "withSocket", "\xE9t\xE9"};
  EXPECT_EQ(names, expected);
}

TEST_F(RpcDispatch, EveryNameFindsItsOwnFunction) {
  EXPECT_EQ(run("a()"), "f=\"a\"");
  EXPECT_EQ(run("a_()"), "f=\"a_\"");
  EXPECT_EQ(run("b()"), "f=\"b\"");
  EXPECT_EQ(run("B()"), "f=\"B\"");
  EXPECT_EQ(run("1()"), "f=\"1\"");
  EXPECT_EQ(run("10()"), "f=\"10\"");
  EXPECT_EQ(run("\xE9t\xE9()"), "f=\"high\"");
}

TEST_F(RpcDispatch, PrefixesAndExtensionsOfNamesAreUnknown) {
  for (const char* line : {"a_b()", "bb()", "100()", "coun()", "counts()", "\xE9()"}) {
    const JRPCProtocolError e = protocolError(line);
    EXPECT_EQ(e.code(), -4) << line;
    EXPECT_EQ(e.protocolMessage(), "unknown function");
  }
  EXPECT_EQ(protocolError("coun()").context(), "coun");
}

TEST_F(RpcDispatch, ReplacingTheTableDropsTheOldOne) {
  static const JRPCFunction<Server> kOnly[] = {{"count", &Server::count}};
  server_.registerFunctions(kOnly);
  EXPECT_EQ(server_.functionNames(), std::vector<std::string>{"count"});
  EXPECT_EQ(protocolError("a()").code(), -4);
}

TEST_F(RpcDispatch, EntryWithoutNameEndsTheTable) {
  static const JRPCFunction<Server> kTable[] = {
      {"b", &Server::tagB},
      {"a", &Server::tagA},
      {},
      {"count", &Server::count},
  };
  server_.registerFunctions(kTable);
  EXPECT_EQ(server_.functionNames(), (std::vector<std::string>{"a", "b"}));
}

TEST_F(RpcDispatch, DuplicateNamesKeepTheFirstListed) {
  static const JRPCFunction<Server> kTable[] = {
      {"x", &Server::tagB},
      {"x", &Server::tagA},
  };
  server_.registerFunctions(kTable);
  EXPECT_EQ(run("x()"), "f=\"b\"");
}

TEST_F(RpcDispatch, TableOfAnotherClassIsRefused) {
  static const JRPCFunction<OtherServer> kTable[] = {{"f", &OtherServer::f}};
  EXPECT_THROW(server_.registerFunctions(kTable), JTextError);
  EXPECT_EQ(run("a()"), "f=\"a\"");
}

TEST_F(RpcDispatch, HandlerOfASecondBaseRunsOnThatBase) {
  EXPECT_EQ(run("count()"), "calls=1");
  EXPECT_EQ(run("count()"), "calls=2");
  EXPECT_EQ(server_.calls, 2);
}

TEST_F(RpcDispatch, BoundFunctionsCanBeRegisteredDirectly) {
  int called = 0;
  server_.registerFunctions(std::vector<JRPCServer::Function>{
      {"z", JRPCKind::kAnswer, [&](JParams&, JParams* r, JSocket&) { r->set("n", ++called); }},
      {"y", JRPCKind::kOneWay, [&](JParams&, JParams* r, JSocket&) { called += r ? 100 : 10; }},
  });
  EXPECT_EQ(run("z()"), "n=1");
  EXPECT_EQ(run("y()"), "none");
  EXPECT_EQ(called, 11);
  EXPECT_EQ(server_.functionNames(), (std::vector<std::string>{"y", "z"}));
}

// ---- kinds ------------------------------------------------------------------------

TEST_F(RpcDispatch, OneWayFunctionReturnsNoResultAndGetsTheSocket) {
  EXPECT_EQ(run("oneWay(b=2, a=1)"), "none");
  EXPECT_EQ(server_.lastRequest, "a=1, b=2");
  EXPECT_EQ(server_.lastSocket, &socket_);
}

TEST_F(RpcDispatch, AnswerWithSocketGetsBoth) {
  EXPECT_EQ(run("withSocket(a=1)"), "seen=\"a=1\"");
  EXPECT_EQ(server_.lastSocket, &socket_);
}

// ---- errors -----------------------------------------------------------------------

TEST_F(RpcDispatch, SyntaxErrorsCarryCodeAndContext) {
  struct Case {
    const char* line;
    int32_t code;
    const char* message;
    const char* context;
  };
  const Case cases[] = {
      {"a", -2, "function name syntax error", "a"},
      {"a b()", -2, "function name syntax error", "a b()"},
      {"a.b()", -2, "function name syntax error", "a.b()"},
      {"", -2, "function name syntax error", ""},
      {"   ", -2, "function name syntax error", "   "},
      {"()", -3, "missing function name", "()"},
      {" \t(x=1)", -3, "missing function name", " \t(x=1)"},
      {"nope()", -4, "unknown function", "nope"},
      {"a(x=)", -10, "cannot determine parameter type", "x"},
      {"a(=1)", -6, "missing parameter name", "???"},
  };
  for (const Case& c : cases) {
    const JRPCProtocolError e = protocolError(c.line);
    EXPECT_EQ(e.code(), c.code) << c.line;
    EXPECT_EQ(e.protocolMessage(), c.message) << c.line;
    EXPECT_EQ(e.context(), c.context) << c.line;
  }
}

TEST_F(RpcDispatch, NulByteEndsTheNameOrTheParameters) {
  EXPECT_EQ(protocolError(std::string_view("a\0()", 4)).code(), -2);
  EXPECT_EQ(run(std::string_view("need(x=5\0, x=6)", 15)), "x=5");
}

TEST_F(RpcDispatch, HandlerErrorsPassThroughUnchanged) {
  try {
    server_.dispatch("need()", socket_);
    FAIL() << "no error";
  } catch (const JRPCMissingParameterError& e) {
    EXPECT_EQ(e.parameterName(), "x");
  }
  try {
    server_.dispatch("need(x=[00])", socket_);
    FAIL() << "no error";
  } catch (const JRPCTypeMismatchError& e) {
    EXPECT_EQ(e.wanted(), 3);
    EXPECT_EQ(e.actual(), 1);
  }
}

// ---- concurrency ------------------------------------------------------------------

TEST_F(RpcDispatch, TableReplacedWhileRequestsRun) {
  static const JRPCFunction<Server> kFirst[] = {{"f", &Server::tagA}, {"g", &Server::tagA}};
  static const JRPCFunction<Server> kSecond[] = {{"f", &Server::tagB}};
  server_.registerFunctions(kFirst);
  std::atomic<bool> stop{false};
  std::atomic<int> wrong{0};
  std::vector<std::thread> callers;
  for (int t = 0; t < 2; ++t) {
    callers.emplace_back([&] {
      JTCPSocket socket;
      while (!stop.load()) {
        const std::string answer = server_.dispatch("f()", socket)->toString();
        if (answer != "f=\"a\"" && answer != "f=\"b\"") {
          ++wrong;
        }
        try {
          server_.dispatch("g()", socket);
        } catch (const JRPCProtocolError& e) {
          if (e.code() != -4) {
            ++wrong;
          }
        }
      }
    });
  }
  for (int i = 0; i < 300; ++i) {
    server_.registerFunctions(i % 2 == 0 ? std::span<const JRPCFunction<Server>>(kSecond)
                                         : std::span<const JRPCFunction<Server>>(kFirst));
  }
  stop = true;
  for (std::thread& t : callers) {
    t.join();
  }
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
}  // namespace zq
