// The RPC framework's errors: kinds, messages, defaults, truncation into a
// caller's buffer, and copies that keep the most derived class.
#include <gtest/gtest.h>

#include <cstring>

#include "helpers/log_capture.h"
#include "rpc/params.h"
#include "rpc/rpc_error.h"
#include "rpc/serialisation.h"

namespace zq {
namespace {

TEST(RPCErrorMessage, EachClassComposesItsText) {
  EXPECT_EQ(JRPCMissingParameterError("port").message(), "RPCMissingParameter: 'port'");
  EXPECT_EQ(JRPCTypeMismatchError("x", 3, 5).message(),
            "TypeMismatch for parameter 'x' : wanted '3', actual '5'");
  EXPECT_EQ(JRPCProtocolError("unknown function", "getParamz", -4).message(),
            "ProtocolError: unknown function 'getParamz'");
  EXPECT_EQ(JRPCConnectionLostError().message(), "Connection Lost");
}

TEST(RPCErrorMessage, ProtocolErrorDefaults) {
  const JRPCProtocolError none;
  EXPECT_EQ(none.message(), "ProtocolError: Unknown error '?\?\?'");
  EXPECT_EQ(none.protocolMessage(), "Unknown error");
  EXPECT_EQ(none.context(), "???");
  const JRPCProtocolError pong("pong", JRPCProtocolError::kNoContext, -1);
  EXPECT_EQ(pong.message(), "ProtocolError: pong '?\?\?'");
  EXPECT_EQ(pong.code(), -1);
}

TEST(RPCErrorMessage, KindsAreFixed) {
  EXPECT_EQ(JRPCMissingParameterError("a").kind(), 0);
  EXPECT_EQ(JRPCTypeMismatchError("a", 1, 2).kind(), 1);
  EXPECT_EQ(JRPCProtocolError().kind(), 2);
  EXPECT_EQ(JRPCConnectionLostError().kind(), 3);
}

TEST(RPCErrorMessage, ASmallBufferGetsATerminatedPrefix) {
  const JRPCProtocolError e("function name syntax error", "getParams", -2);
  char buffer[12];
  std::memset(buffer, '#', sizeof buffer);
  e.getMessage(buffer, sizeof buffer);
  EXPECT_STREQ(buffer, "ProtocolErr");
  // The server answers with at most 504 characters of a message.
  const JRPCProtocolError longContext("parameter name syntax error", std::string(2000, 'c'), -5);
  char answer[505];
  longContext.getMessage(answer, sizeof answer);
  EXPECT_EQ(std::strlen(answer), 504u);
}

TEST(RPCErrorCopy, CloneKeepsTheClassAndTheFields) {
  const JRPCProtocolError original("unterminated quoted string", "s", -7);
  const std::unique_ptr<JError> copy = original.clone();
  const auto* protocol = dynamic_cast<const JRPCProtocolError*>(copy.get());
  ASSERT_NE(protocol, nullptr);
  EXPECT_EQ(protocol->code(), -7);
  EXPECT_EQ(protocol->context(), "s");
  EXPECT_EQ(copy->message(), original.message());
  EXPECT_EQ(copy->line(), original.line());
  EXPECT_STREQ(copy->file(), original.file());

  const std::unique_ptr<JError> mismatch = JRPCTypeMismatchError("n", 4, 1).clone();
  ASSERT_NE(dynamic_cast<const JRPCTypeMismatchError*>(mismatch.get()), nullptr);
  EXPECT_EQ(mismatch->message(), "TypeMismatch for parameter 'n' : wanted '4', actual '1'");
  EXPECT_NE(
      dynamic_cast<const JRPCMissingParameterError*>(JRPCMissingParameterError("m").clone().get()),
      nullptr);
  EXPECT_NE(dynamic_cast<const JRPCConnectionLostError*>(JRPCConnectionLostError().clone().get()),
            nullptr);
}

TEST(RPCErrorCopy, RecordsTheThrowSite) {
  try {
    throw JRPCConnectionLostError();
  } catch (const JError& e) {
    EXPECT_NE(std::strstr(e.file(), "test_rpc_error.cpp"), nullptr) << e.file();
    EXPECT_GT(e.line(), 0u);
  }
}

TEST(RPCErrorLogging, NeitherTheErrorsNorTheParserLogAnything) {
  test::LogCapture capture(0xFFFFFFFEu, "%c %m");
  {
    JRPCMissingParameterError missing("a");
    JRPCTypeMismatchError mismatch("a", 1, 2);
    JRPCProtocolError protocol("unknown function", "f", -4);
    JRPCConnectionLostError lost;
    JSerialisationError serialisation("serialise", "x");
    JDeserialisationError deserialisation("deserialise", "cannot deserialise");
    JParams p;
    EXPECT_THROW(p.parse("a=[zz]"), JRPCProtocolError);
    EXPECT_THROW(p.find("b", true), JRPCMissingParameterError);
  }
  EXPECT_TRUE(capture.records().empty());
  // The capture does see an error that logs when it is built.
  JTextError control("control");
  EXPECT_EQ(capture.count("Exception THROW control"), 1u);
}

}  // namespace
}  // namespace zq
