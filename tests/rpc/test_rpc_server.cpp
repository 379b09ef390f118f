// The RPC service on the wire: a real loopback service and a raw line client
// checking the answers byte for byte, the kinds, errors and the keep-alive.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_rpc_server_fixture.h"

namespace zq::test {
namespace {

class RpcWire : public ::testing::Test {
 protected:
  TestService service_;
  LineClient client_{service_.port()};
};

// ---- keep-alive -------------------------------------------------------------------

TEST_F(RpcWire, PingIsAnsweredPong) {
  EXPECT_EQ(client_.call("PING"), "PONG");
  EXPECT_EQ(client_.call("PING"), "PONG");
  EXPECT_EQ(client_.call("echo(a=1)"), "OK a=1");
}

TEST_F(RpcWire, PingWithTrailingBlankIsARequest) {
  EXPECT_EQ(client_.call("PING "), "FAILED ProtocolError: function name syntax error 'PING '");
  EXPECT_EQ(client_.call(" PING"), "FAILED ProtocolError: function name syntax error ' PING'");
  EXPECT_EQ(client_.call("PING"), "PONG");
}

// ---- request grammar --------------------------------------------------------------

TEST_F(RpcWire, BlanksAroundNameAndParenthesesAreAccepted) {
  EXPECT_EQ(client_.call("echo ( a = 1 )"), "OK a=1");
  EXPECT_EQ(client_.call(" \techo\t (a=2)"), "OK a=2");
}

TEST_F(RpcWire, NameWithoutParenthesisIsASyntaxError) {
  EXPECT_EQ(client_.call("echo"), "FAILED ProtocolError: function name syntax error 'echo'");
  EXPECT_EQ(client_.call("echo a=1"),
            "FAILED ProtocolError: function name syntax error 'echo a=1'");
  // A character outside the name set ends the name.
  EXPECT_EQ(client_.call("ec-ho()"), "FAILED ProtocolError: function name syntax error 'ec-ho()'");
  EXPECT_EQ(client_.call(""), "FAILED ProtocolError: function name syntax error ''");
}

TEST_F(RpcWire, MissingNameIsReportedWithTheWholeLine) {
  EXPECT_EQ(client_.call("(a=1)"), "FAILED ProtocolError: missing function name '(a=1)'");
  EXPECT_EQ(client_.call("  (a=1)"), "FAILED ProtocolError: missing function name '  (a=1)'");
}

TEST_F(RpcWire, UnknownFunctionIsReportedWithItsName) {
  EXPECT_EQ(client_.call("getParamz()"), "FAILED ProtocolError: unknown function 'getParamz'");
  // Names need all their bytes: no prefix, no extension matches.
  EXPECT_EQ(client_.call("ech()"), "FAILED ProtocolError: unknown function 'ech'");
  EXPECT_EQ(client_.call("echoo()"), "FAILED ProtocolError: unknown function 'echoo'");
}

TEST_F(RpcWire, NamesMayBeginWithADigitAndHoldHighBytes) {
  EXPECT_EQ(client_.call("1f(a=1)"), "OK a=1");
  EXPECT_EQ(client_.call("1g(a=1)"), "FAILED ProtocolError: unknown function '1g'");
  EXPECT_EQ(client_.call("caf\xC3\xA9()"), "OK which=\"upper\"");
}

TEST_F(RpcWire, NamesDifferingOnlyInCaseAreDistinct) {
  EXPECT_EQ(client_.call("Case()"), "OK which=\"upper\"");
  EXPECT_EQ(client_.call("case()"), "OK which=\"lower\"");
  EXPECT_EQ(client_.call("CASE()"), "FAILED ProtocolError: unknown function 'CASE'");
}

TEST_F(RpcWire, WhatFollowsTheParameterListIsIgnored) {
  EXPECT_EQ(client_.call("echo(a=1"), "OK a=1");
  EXPECT_EQ(client_.call("echo(a=1) trailing"), "OK a=1");
  EXPECT_EQ(client_.call("echo(a=1)) (b=2)"), "OK a=1");
  EXPECT_EQ(client_.call("echo("), "OK ");
}

TEST_F(RpcWire, ParameterErrorsBecomeFailedAnswers) {
  EXPECT_EQ(client_.call("echo(a=)"), "FAILED ProtocolError: cannot determine parameter type 'a'");
  EXPECT_EQ(client_.call("echo(a=1,)"),
            "FAILED ProtocolError: parameter name syntax error 'a=1,)'");
  EXPECT_EQ(client_.call("echo(s=\"abc)"), "FAILED ProtocolError: unterminated quoted string 's'");
  EXPECT_EQ(client_.call("echo(a=1)"), "OK a=1");
}

TEST_F(RpcWire, CarriageReturnInsideALineBelongsToIt) {
  // Only the CR right before the LF ends the line; an inner CR is a byte of
  // the request, here one that ends the name.
  const char bytes[] = "echo\r(a=1)\r\n";
  client_.socket().writeAll(bytes, sizeof bytes - 1);
  EXPECT_EQ(client_.receive(), "FAILED ProtocolError: function name syntax error 'echo\r(a=1)'");
}

// ---- answers ----------------------------------------------------------------------

TEST_F(RpcWire, ResultIsWrittenInNameOrder) {
  EXPECT_EQ(client_.call("echo(notification=true, audioOutputName=\"out1\", "
                         "audioOutputTcpPort=5000, audioOutputChannel=2)"),
            "OK audioOutputChannel=2, audioOutputName=\"out1\", audioOutputTcpPort=5000, "
            "notification=true");
}

TEST_F(RpcWire, EmptyResultIsOkAndABlank) {
  EXPECT_EQ(client_.call("empty()"), "OK ");
  EXPECT_EQ(client_.call("echo()"), "OK ");
}

TEST_F(RpcWire, LongResultIsAnsweredWhole) {
  const std::string value(100000, 'v');
  EXPECT_EQ(client_.call("echo(s=\"" + value + "\")"), "OK s=\"" + value + "\"");
}

// ---- handler errors ---------------------------------------------------------------

TEST_F(RpcWire, MissingRequiredParameter) {
  EXPECT_EQ(client_.call("need()"), "FAILED RPCMissingParameter: 'x'");
  EXPECT_EQ(client_.call("need(x=41)"), "OK s=\"none\", x=42");
}

TEST_F(RpcWire, TypeMismatchLeavesTheConnectionUsable) {
  EXPECT_EQ(client_.call("need(x=\"abc\")"),
            "FAILED TypeMismatch for parameter 'x' : wanted '3', actual '5'");
  EXPECT_EQ(client_.call("need(x=1, s=[00])"),
            "FAILED TypeMismatch for parameter 's' : wanted '5', actual '1'");
  EXPECT_EQ(client_.call("need(x=1, s=\"t\")"), "OK s=\"t\", x=2");
}

TEST_F(RpcWire, LongErrorMessageIsCutTo504Characters) {
  const std::string answer = client_.call("longError()");
  const std::string message = "RPCMissingParameter: '" + std::string(600, 'p') + "'";
  EXPECT_EQ(answer, "FAILED " + message.substr(0, 504));
  EXPECT_EQ(answer.size(), 7u + 504u);
  EXPECT_EQ(client_.call("empty()"), "OK ");
}

TEST_F(RpcWire, LineFeedInAnErrorMessageDoesNotSplitTheAnswer) {
  EXPECT_EQ(client_.call("textError()"), "FAILED first line second line");
  EXPECT_EQ(client_.call("empty()"), "OK ");
}

TEST_F(RpcWire, ExceptionsOutsideTheErrorHierarchyAreAnsweredToo) {
  EXPECT_EQ(client_.call("badAlloc()"), "FAILED Unexpected exception: std::bad_alloc");
  EXPECT_EQ(client_.call("notAnError()"), "FAILED Unexpected exception: exception of unknown type");
  EXPECT_EQ(client_.call("echo(a=1)"), "OK a=1");
}

// ---- kinds ------------------------------------------------------------------------

TEST_F(RpcWire, OneWayRequestGetsNoAnswer) {
  client_.send("notify(a=1)");
  EXPECT_EQ(client_.call("echo(b=2)"), "OK b=2");
  ASSERT_EQ(service_.notified(), std::vector<std::string>{"a=1"});

  // Nothing else is waiting on the line either.
  client_.socket().setReadTimeout(50);
  std::string_view line;
  EXPECT_THROW(client_.io().readLine(line), JTimeoutError);
}

TEST_F(RpcWire, OneWayRequestThatFailsIsAnsweredFailed) {
  EXPECT_EQ(client_.call("notify(a=)"),
            "FAILED ProtocolError: cannot determine parameter type 'a'");
}

TEST_F(RpcWire, HandlersWithTheSocketSeeTheRequestingConnection) {
  LineClient other(service_.port());
  EXPECT_EQ(client_.call("whoAmI()"), "OK port=" + std::to_string(client_.localPort()));
  JSocket* first = service_.answerSocket();
  EXPECT_EQ(other.call("whoAmI()"), "OK port=" + std::to_string(other.localPort()));
  JSocket* second = service_.answerSocket();
  EXPECT_NE(first, second);

  client_.send("notify()");
  ASSERT_TRUE(service_.notifications_.waitFor(1));
  EXPECT_EQ(service_.notifySocket(), first);
}

// ---- before registration ----------------------------------------------------------

TEST(RpcWireUnregistered, EveryFunctionIsUnknownUntilTheTableIsRegistered) {
  const auto owned = std::make_unique<TestService>(nullptr, false);
  TestService& service = *owned;
  LineClient client(service.port());
  EXPECT_EQ(client.call("echo(a=1)"), "FAILED ProtocolError: unknown function 'echo'");
  EXPECT_EQ(client.call("PING"), "PONG");
  service.registerFunctions();
  EXPECT_EQ(client.call("echo(a=1)"), "OK a=1");
}

}  // namespace
}  // namespace zq::test
