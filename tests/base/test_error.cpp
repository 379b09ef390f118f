// The error hierarchy: composed messages, the text sources chosen by the top
// two bits of a system code, and the three moments an error is logged.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "base/error.h"
#include "base/error_text.h"
#include "base/format.h"
#include "helpers/log_capture.h"

namespace zq {
namespace {

constexpr uint32_t kSocket = JSysError::kSocketTag;

// The tag in the top bits of a code selects the text source; 10061 means
// something else entirely as an operating-system number.
TEST(SysErrorMessage, TheTagSelectsTheTextSource) {
  const std::tuple<uint32_t, const char*, const char*> cases[] = {
      {ENOENT, "CreateFile", "No such file or directory"},
      {99999, "CreateThread", "unknown error"},
      {10100, "send", "unknown error"},
      {kSocket | 10061, "WSAConnect",
       "No connection could be made because the target machine actively refused it"},
      {kSocket | 10054, "recv", "An existing connection was forcibly closed by the remote host"},
      {kSocket | 10100, "send", "Unknown socket error"},
      {kSocket | 0, "select", "The operation completed successfully"},
      {kSocket | 10024, "socket", "Too many open sockets"},
      {kSocket | 11001, "gethostbyname", "No such host is known"},
      {kSocket | 11015, "WSAIoctl", "General QOS error"},
      {kSocket | 10060, "connect",
       "A connection attempt failed because the connected party did not properly respond after a "
       "period of time, or established connection failed because connected host has failed to "
       "respond"},
      {JSysError::kWaveInTag | 32, "waveInOpen", "The wave format is not supported."},
      {JSysError::kWaveInTag | 33, "waveInStop", "The device is still recording."},
      {JSysError::kWaveOutTag | 33, "waveOutClose", "The device is still playing."},
      {JSysError::kWaveInTag | 999, "waveInOpen", "unknown error"},
  };
  for (const auto& [code, function, text] : cases) {
    EXPECT_EQ(JSysError(code, function).message(),
              std::string("system call error at function '") + function + "' : " + text);
  }
  // Only the low 16 bits are the wave error number.
  EXPECT_EQ(JSysError::codeText(JSysError::kWaveOutTag | 0x00010002),
            JSysError::codeText(JSysError::kWaveOutTag | 2));
  // Every known socket code has a text of one line; two share their neighbours' texts.
  EXPECT_EQ(socketErrorText(kSocket | 10110), socketErrorText(kSocket | 10102));
  EXPECT_EQ(socketErrorText(kSocket | 10111), socketErrorText(kSocket | 10103));
  EXPECT_EQ(socketErrorText(10061), "Unknown socket error");  // untagged
  std::vector<uint32_t> codes = {0, 10004, 10009, 10013, 10014, 10022, 10024, 10091, 10092, 10093};
  for (auto [first, last] : {std::pair{10035u, 10071u}, {10101u, 10112u}, {11001u, 11015u}}) {
    for (uint32_t code = first; code <= last; ++code) {
      codes.push_back(code);
    }
  }
  ASSERT_EQ(codes.size(), 74u);
  for (uint32_t code : codes) {
    const std::string_view text = socketErrorText(kSocket | code);
    EXPECT_TRUE(text != "Unknown socket error" && text.find_first_of("\r\n") == text.npos) << code;
  }
}

TEST(ErrorMessages, EachClassComposesItsMessage) {
  const JSysError sys(kSocket | 10040, "WSAJoinLeaf", 17);
  EXPECT_EQ(std::tuple(sys.code(), std::string(sys.function()), sys.tag(), JSysError(1, "x").tag()),
            std::tuple(kSocket | 10040, "WSAJoinLeaf", 17, 100));
  EXPECT_EQ(JTextError("unknown url type").message(), "unknown url type");
  EXPECT_EQ(JTextError(std::string(400, 'a')).message(), std::string(255, 'a'));
  for (size_t n : {255u, 256u, 257u}) {  // around the formatter's first buffer
    EXPECT_EQ(jformat("%s", std::string(n, 'b').c_str()), std::string(n, 'b'));
  }
  EXPECT_EQ(JTimeoutError().message(), "Time out!");
  EXPECT_EQ(JGenericError("cannot deserialise").message(), "cannot deserialise");
  EXPECT_EQ(
      JNtDllError(static_cast<int32_t>(0xC0000022u), "NtQuerySystemInformation")
          .message()
          .rfind("system call error at function 'NtQuerySystemInformation' : {Access Denied}", 0),
      0u);
  EXPECT_EQ(JNtDllError(0x12345, "NtClose").message(),
            "system call error at function 'NtClose' : unknown error");
  // File, line and class survive a clone.
  const unsigned line = __LINE__ + 1;
  const JNoSpaceLeftError original(ENOSPC, "WriteFile");
  EXPECT_STREQ(original.file(), "tests/base/test_error.cpp");  // relative to the tree
  std::unique_ptr<JError> copy = original.clone();
  ASSERT_NE(dynamic_cast<JNoSpaceLeftError*>(copy.get()), nullptr);
  EXPECT_EQ(std::tuple(original.line(), copy->line(), copy->message()),
            std::tuple(line, line, original.message()));
  EXPECT_NE(dynamic_cast<JMixerError*>(JMixerError("mixer").clone().get()), nullptr);
}

// A system message is cut and always terminated; a generic one that does not
// fit is left out whole.
TEST(ErrorMessages, CallersBufferCutsOrDropsTheMessage) {
  JSysError error(kSocket | 10054, "recv");
  char buffer[16], one[1] = {'x'}, small[8] = "xxxxxxx", exact[11];
  std::memset(buffer, 'x', sizeof buffer);
  error.getMessage(buffer, sizeof buffer);
  error.getMessage(one, 1);
  JGenericError generic("0123456789");
  generic.getMessage(small, sizeof small);
  generic.getMessage(exact, sizeof exact);
  EXPECT_EQ(std::tuple(std::string(buffer), one[0], std::string(small), std::string(exact)),
            std::tuple("system call err", '\0', "", "0123456789"));
}

// ---- the three log moments --------------------------------------------------

TEST(ErrorLogging, TextAndSysErrorsLogWhenThrownOthersDoNot) {
  test::LogCapture capture(1u << 10, "%c|%f|%l|%w|%m");
  const unsigned line = __LINE__ + 1;
  JTextError text("bad rtsp url format, missing mediafile");
  JSysError sys(ENOENT, "CreateFile");
  JTimeoutError timeout;
  JGenericError generic("x");
  JNtDllError native(0, "NtClose");
  const auto records = capture.records();
  ASSERT_EQ(records.size(), 2u);
  const std::string head = "Exception THROW|tests/base/test_error.cpp|";
  EXPECT_EQ(records[0].text,
            head + std::to_string(line) + "|EXCEPTION     |bad rtsp url format, missing mediafile");
  EXPECT_EQ(records[0].level, 10);
  EXPECT_EQ(records[1].text, head + std::to_string(line + 1) +
                                 "|EXCEPTION     |system call error at function 'CreateFile' : "
                                 "No such file or directory");
}

TEST(ErrorLogging, ReportUsesTheErrorsLineAndCatchTheCatchSite) {
  const JTimeoutError error;  // built here, reported below
  const unsigned line = __LINE__ - 1;
  test::LogCapture capture(1u << 10, "%c|%l|%m");
  report(error);
  unsigned catchLine = 0;
  try {
    throw JTextError("unknown url type");
  } catch (const JError& e) {
    catchLine = __LINE__ + 1;
    logCaught(e);
  }
  const auto records = capture.records();
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].text, "Exception REPORT|" + std::to_string(line) + "|Time out!");
  EXPECT_EQ(records[1].text.rfind("Exception THROW|", 0), 0u);
  EXPECT_EQ(records[2].text, "Exception CATCH|" + std::to_string(catchLine) + "|unknown url type");
}

}  // namespace
}  // namespace zq
