// The error hierarchy: message composition and the three log moments.
#include "base/error.h"

#include <cstring>

#include "base/error_text.h"
#include "base/format.h"
#include "base/log.h"

namespace zq {
namespace {

constexpr const char* kThrowCategory = "Exception THROW";

void copyField(char (&field)[256], std::string_view text) {
  const size_t n = text.size() < sizeof field - 1 ? text.size() : sizeof field - 1;
  std::memcpy(field, text.data(), n);
  field[n] = '\0';
}

void logAt(const std::string& message, const char* file, unsigned line, const char* category) {
  JLog::log(kLevelException, message, file, static_cast<int>(line), category, nullptr);
}

// Native status texts for the statuses our callers can meet.
std::string_view ntStatusText(int32_t status) {
  switch (static_cast<uint32_t>(status)) {
    case 0x00000000u: return "STATUS_SUCCESS";
    case 0xC0000001u: return "{Operation Failed} The requested operation was unsuccessful.";
    case 0xC0000002u: return "{Not Implemented} The requested operation is not implemented.";
    case 0xC0000004u: return "The specified information record length does not match the length required for the specified information class.";
    case 0xC0000005u: return "The instruction referenced memory that could not be accessed.";
    case 0xC000000Du: return "An invalid parameter was passed to a service or function.";
    case 0xC0000017u: return "{Not Enough Quota} Not enough virtual memory or paging file quota is available to complete the specified operation.";
    case 0xC0000022u: return "{Access Denied} A process has requested access to an object, but has not been granted those access rights.";
    case 0xC0000023u: return "{Buffer Too Small} The buffer is too small to contain the entry. No information has been written to the buffer.";
    case 0xC000009Au: return "Insufficient system resources exist to complete the API.";
    default: return {};
  }
}

std::string withoutLineBreaks(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (c != '\r' && c != '\n') {
      out.push_back(c);
    }
  }
  return out;
}

}  // namespace

// ---- JError ---------------------------------------------------------------

JError::JError(const std::source_location& where) : JError(where.file_name(), where.line()) {}

JError::JError(const char* file, unsigned line) : line_(line) {
  copyField(file_, file != nullptr ? std::string_view(file) : std::string_view());
}

void JError::logThrow() const {
  logAt(message(), file(), line(), kThrowCategory);
}

std::string JError::message() const {
  char buffer[1024];
  getMessage(buffer, sizeof buffer);
  return buffer;
}

// ---- JTextError -----------------------------------------------------------

JTextError::JTextError(std::string_view text, const std::source_location& where)
    : JTextError(text, where.file_name(), where.line()) {}

JTextError::JTextError(std::string_view text, const char* file, unsigned line)
    : JError(file, line) {
  copyField(text_, text);
  logAt(text_, this->file(), this->line(), kThrowCategory);
}

void JTextError::getMessage(char* buffer, size_t size) const {
  copyTruncated(buffer, size, text_);
}

std::unique_ptr<JError> JTextError::clone() const { return std::make_unique<JTextError>(*this); }

// ---- JSysError ------------------------------------------------------------

JSysError::JSysError(uint32_t code, std::string_view function, int tag,
                     const std::source_location& where)
    : JSysError(NoThrowLog{}, code, function, tag, where) {
  logAt(compose(), file(), line(), kThrowCategory);
}

JSysError::JSysError(NoThrowLog, uint32_t code, std::string_view function, int tag,
                     const std::source_location& where)
    : JError(where), code_(code), tag_(tag) {
  copyField(function_, function);
}

std::string JSysError::codeText(uint32_t code) {
  std::string_view text;
  switch (code & kOriginMask) {
    case kSystemOrigin: text = systemErrorText(code); break;
    case kSocketTag: text = socketErrorText(code); break;
    case kWaveInTag: text = waveInErrorText(code); break;
    default: text = waveOutErrorText(code); break;
  }
  if (text.empty()) {
    text = "unknown error";
  }
  if (text.size() > 1024) {
    text = text.substr(0, 1024);
  }
  return withoutLineBreaks(text);
}

std::string JSysError::compose() const {
  return "system call error at function '" + std::string(function_) + "' : " + codeText(code_);
}

void JSysError::getMessage(char* buffer, size_t size) const {
  copyTruncated(buffer, size, compose());
}

std::unique_ptr<JError> JSysError::clone() const { return std::make_unique<JSysError>(*this); }

// ---- JNoSpaceLeftError ----------------------------------------------------

JNoSpaceLeftError::JNoSpaceLeftError(uint32_t code, std::string_view function, int tag,
                                     const std::source_location& where)
    : JSysError(code, function, tag, where) {}

std::unique_ptr<JError> JNoSpaceLeftError::clone() const {
  return std::make_unique<JNoSpaceLeftError>(*this);
}

// ---- JNtDllError ----------------------------------------------------------

JNtDllError::JNtDllError(int32_t status, std::string_view function,
                         const std::source_location& where)
    : JError(where), status_(status) {
  copyField(function_, function);
}

void JNtDllError::getMessage(char* buffer, size_t size) const {
  std::string_view text = ntStatusText(status_);
  if (text.empty()) {
    text = "unknown error";
  }
  copyTruncated(buffer, size,
                "system call error at function '" + std::string(function_) + "' : " +
                    withoutLineBreaks(text));
}

std::unique_ptr<JError> JNtDllError::clone() const { return std::make_unique<JNtDllError>(*this); }

// ---- JTimeoutError --------------------------------------------------------

JTimeoutError::JTimeoutError(int tag, const std::source_location& where)
    : JError(where), tag_(tag) {}

void JTimeoutError::getMessage(char* buffer, size_t size) const {
  copyTruncated(buffer, size, "Time out!");
}

std::unique_ptr<JError> JTimeoutError::clone() const {
  return std::make_unique<JTimeoutError>(*this);
}

// ---- JGenericError --------------------------------------------------------

JGenericError::JGenericError(std::string message, const std::source_location& where)
    : JError(where), message_(std::move(message)) {}

JGenericError::JGenericError(std::string message, const char* file, unsigned line)
    : JError(file, line), message_(std::move(message)) {}

void JGenericError::getMessage(char* buffer, size_t size) const {
  if (size == 0) {
    return;
  }
  if (message_.size() >= size) {
    buffer[0] = '\0';
    return;
  }
  copyTruncated(buffer, size, message_);
}

std::unique_ptr<JError> JGenericError::clone() const {
  return std::make_unique<JGenericError>(*this);
}

std::unique_ptr<JError> JMixerError::clone() const { return std::make_unique<JMixerError>(*this); }

// ---- reporting ------------------------------------------------------------

void report(const JError& error) {
  logAt(error.message(), error.file(), error.line(), "Exception REPORT");
}

void logCaught(const JError& error, const std::source_location& where) {
  logAt(error.message(), where.file_name(), where.line(), "Exception CATCH");
}

}  // namespace zq
