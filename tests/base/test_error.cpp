// The error hierarchy: composed messages, the text sources chosen by the top
// two bits of a system code, and the three moments an error is logged.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "base/error.h"
#include "base/error_text.h"
#include "helpers/log_capture.h"

namespace zq {
namespace {

TEST(SysErrorMessage, OperatingSystemCodeUsesTheEnglishSystemText) {
  JSysError error(ENOENT, "CreateFile");
  EXPECT_EQ(error.message(),
            "system call error at function 'CreateFile' : No such file or directory");
}

TEST(SysErrorMessage, CodeWithoutSystemTextSaysUnknownError) {
  JSysError error(99999, "CreateThread");
  EXPECT_EQ(error.message(), "system call error at function 'CreateThread' : unknown error");
}

TEST(SysErrorMessage, SocketTagSelectsTheSocketTable) {
  // 10061 means something else entirely as an operating-system number; the tag
  // decides.
  JSysError refused(JSysError::kSocketTag | 10061, "WSAConnect");
  EXPECT_EQ(refused.message(),
            "system call error at function 'WSAConnect' : No connection could be made because "
            "the target machine actively refused it");
  JSysError reset(JSysError::kSocketTag | 10054, "recv");
  EXPECT_EQ(reset.message(),
            "system call error at function 'recv' : An existing connection was forcibly "
            "closed by the remote host");
}

TEST(SysErrorMessage, UnlistedSocketCodeIsUnknownSocketError) {
  JSysError error(JSysError::kSocketTag | 10100, "send");
  EXPECT_EQ(error.message(), "system call error at function 'send' : Unknown socket error");
  // The same number without the tag is looked up as an operating-system code.
  EXPECT_EQ(JSysError::codeText(10100), "unknown error");
}

TEST(SysErrorMessage, SocketTableHasTheQuotedEntries) {
  const uint32_t tag = JSysError::kSocketTag;
  EXPECT_EQ(socketErrorText(tag | 0), "The operation completed successfully");
  EXPECT_EQ(socketErrorText(tag | 10024), "Too many open sockets");
  EXPECT_EQ(socketErrorText(tag | 11001), "No such host is known");
  EXPECT_EQ(socketErrorText(tag | 11015), "General QOS error");
  EXPECT_EQ(socketErrorText(tag | 10060),
            "A connection attempt failed because the connected party did not properly respond "
            "after a period of time, or established connection failed because connected host "
            "has failed to respond");
  // Two codes share their neighbours' texts.
  EXPECT_EQ(socketErrorText(tag | 10110), socketErrorText(tag | 10102));
  EXPECT_EQ(socketErrorText(tag | 10111), socketErrorText(tag | 10103));
  // The table is keyed by the tagged code: an untagged number is not in it.
  EXPECT_EQ(socketErrorText(10061), "Unknown socket error");
}

TEST(SysErrorMessage, SocketTableCoversEveryKnownCode) {
  const uint32_t codes[] = {
      0,     10004, 10009, 10013, 10014, 10022, 10024, 10035, 10036, 10037, 10038, 10039, 10040,
      10041, 10042, 10043, 10044, 10045, 10046, 10047, 10048, 10049, 10050, 10051, 10052, 10053,
      10054, 10055, 10056, 10057, 10058, 10059, 10060, 10061, 10062, 10063, 10064, 10065, 10066,
      10067, 10068, 10069, 10070, 10071, 10091, 10092, 10093, 10101, 10102, 10103, 10104, 10105,
      10106, 10107, 10108, 10109, 10110, 10111, 10112, 11001, 11002, 11003, 11004, 11005, 11006,
      11007, 11008, 11009, 11010, 11011, 11012, 11013, 11014, 11015};
  ASSERT_EQ(std::size(codes), 74u);
  for (uint32_t code : codes) {
    const std::string_view text = socketErrorText(JSysError::kSocketTag | code);
    EXPECT_NE(text, "Unknown socket error") << code;
    EXPECT_EQ(text.find_first_of("\r\n"), std::string_view::npos) << code;
  }
}

TEST(SysErrorMessage, WaveTagsSelectTheWaveTexts) {
  JSysError in(JSysError::kWaveInTag | 32, "waveInOpen");
  EXPECT_EQ(in.message(),
            "system call error at function 'waveInOpen' : The wave format is not supported.");
  EXPECT_EQ(JSysError::codeText(JSysError::kWaveInTag | 33), "The device is still recording.");
  EXPECT_EQ(JSysError::codeText(JSysError::kWaveOutTag | 33), "The device is still playing.");
  // Only the low 16 bits are the wave error number.
  EXPECT_EQ(JSysError::codeText(JSysError::kWaveOutTag | 0x00010002),
            JSysError::codeText(JSysError::kWaveOutTag | 2));
  EXPECT_EQ(JSysError::codeText(JSysError::kWaveInTag | 999), "unknown error");
}

TEST(SysErrorMessage, TruncatedToTheCallersBufferAndAlwaysTerminated) {
  JSysError error(JSysError::kSocketTag | 10054, "recv");
  char buffer[16];
  std::memset(buffer, 'x', sizeof buffer);
  error.getMessage(buffer, sizeof buffer);
  EXPECT_STREQ(buffer, "system call err");
  char one[1] = {'x'};
  error.getMessage(one, 1);
  EXPECT_EQ(one[0], '\0');
}

TEST(SysErrorMessage, KeepsCodeFunctionAndTag) {
  JSysError error(JSysError::kSocketTag | 10040, "WSAJoinLeaf", 17);
  EXPECT_EQ(error.code(), JSysError::kSocketTag | 10040);
  EXPECT_STREQ(error.function(), "WSAJoinLeaf");
  EXPECT_EQ(error.tag(), 17);
  EXPECT_EQ(JSysError(1, "x").tag(), 100);
}

TEST(ErrorMessages, TextTimeoutGenericAndNative) {
  EXPECT_EQ(JTextError("unknown url type").message(), "unknown url type");
  EXPECT_EQ(JTimeoutError().message(), "Time out!");
  EXPECT_EQ(JGenericError("cannot deserialise").message(), "cannot deserialise");
  EXPECT_EQ(
      JNtDllError(static_cast<int32_t>(0xC0000022u), "NtQuerySystemInformation")
          .message()
          .rfind("system call error at function 'NtQuerySystemInformation' : {Access Denied}", 0),
      0u);
  EXPECT_EQ(JNtDllError(0x12345, "NtClose").message(),
            "system call error at function 'NtClose' : unknown error");
}

TEST(ErrorMessages, TextIsCutAt255Characters) {
  const std::string long_text(400, 'a');
  EXPECT_EQ(JTextError(long_text).message(), std::string(255, 'a'));
}

TEST(ErrorMessages, GenericErrorThatDoesNotFitIsEmptyNotCut) {
  JGenericError error("0123456789");
  char buffer[8] = "xxxxxxx";
  error.getMessage(buffer, sizeof buffer);
  EXPECT_STREQ(buffer, "");
  char exact[11];
  error.getMessage(exact, sizeof exact);
  EXPECT_STREQ(exact, "0123456789");
}

TEST(ErrorMessages, FileAndLineOfTheThrowSite) {
  const unsigned line = __LINE__ + 1;
  JTextError error("here");
  EXPECT_EQ(error.line(), line);
  // Paths are relative to the source tree.
  EXPECT_STREQ(error.file(), "tests/base/test_error.cpp");
}

TEST(ErrorMessages, CloneKeepsTheMostDerivedClassAndMessage) {
  const JNoSpaceLeftError original(ENOSPC, "WriteFile");
  std::unique_ptr<JError> copy = original.clone();
  ASSERT_NE(dynamic_cast<JNoSpaceLeftError*>(copy.get()), nullptr);
  EXPECT_EQ(copy->message(), original.message());
  EXPECT_EQ(copy->line(), original.line());
  EXPECT_NE(dynamic_cast<JMixerError*>(JMixerError("mixer").clone().get()), nullptr);
}

TEST(ErrorMessages, CaughtByReferenceToTheBase) {
  try {
    throw JSysError(JSysError::kSocketTag | 10060, "select");
  } catch (const JError& e) {
    EXPECT_NE(e.message().find("did not properly respond"), std::string::npos);
    return;
  }
  FAIL() << "not caught as JError";
}

// ---- the three log moments --------------------------------------------------

TEST(ErrorLogging, TextAndSysErrorsLogWhenThrown) {
  test::LogCapture capture(1u << 10, "%c|%f|%l|%w|%m");
  const unsigned line = __LINE__ + 1;
  JTextError text("bad rtsp url format, missing mediafile");
  JSysError sys(ENOENT, "CreateFile");
  const auto records = capture.records();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].text, "Exception THROW|tests/base/test_error.cpp|" + std::to_string(line) +
                                 "|EXCEPTION     |bad rtsp url format, missing mediafile");
  EXPECT_EQ(records[0].level, 10);
  EXPECT_EQ(records[1].text, "Exception THROW|tests/base/test_error.cpp|" +
                                 std::to_string(line + 1) +
                                 "|EXCEPTION     |system call error at function 'CreateFile' : "
                                 "No such file or directory");
}

TEST(ErrorLogging, OtherClassesDoNotLogWhenBuilt) {
  test::LogCapture capture(1u << 10, "%c %m");
  JTimeoutError timeout;
  JGenericError generic("x");
  JNtDllError native(0, "NtClose");
  EXPECT_TRUE(capture.records().empty());
}

TEST(ErrorLogging, ReportUsesTheErrorsOwnFileAndLine) {
  const JTimeoutError error;  // built here, reported below
  const unsigned line = __LINE__ - 1;
  test::LogCapture capture(1u << 10, "%c|%l|%m");
  report(error);
  const auto records = capture.records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].text, "Exception REPORT|" + std::to_string(line) + "|Time out!");
}

TEST(ErrorLogging, CatchUsesTheCatchSite) {
  test::LogCapture capture(1u << 10, "%c|%l|%m");
  unsigned catchLine = 0;
  try {
    throw JTextError("unknown url type");
  } catch (const JError& e) {
    catchLine = __LINE__ + 1;
    logCaught(e);
  }
  const auto records = capture.records();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].text.rfind("Exception THROW|", 0), 0u);
  EXPECT_EQ(records[1].text, "Exception CATCH|" + std::to_string(catchLine) + "|unknown url type");
}

}  // namespace
}  // namespace zq
