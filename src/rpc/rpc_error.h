// The errors of the RPC framework: a missing parameter, a type mismatch, a
// protocol error and a lost connection, each with the message a peer receives.
//
// Unlike JTextError and JSysError these do not log when they are built: they
// are logged where they are reported or caught, and their messages travel to
// the peer in "FAILED " answers.
#pragma once

#include <cstdint>
#include <memory>
#include <source_location>
#include <string>
#include <string_view>

#include "base/error.h"

namespace zq {

class JRPCError : public JError {
 public:
  /// What went wrong; the numbers are part of the error's identity.
  enum Kind : int32_t {
    kMissingParameter = 0,
    kTypeMismatch = 1,
    kProtocolError = 2,
    kConnectionLost = 3,
  };

  int32_t kind() const { return kind_; }

  /// The whole message, every byte as it is: a peer's request quoted in it
  /// may hold a NUL, which getMessage, a C string, would end the text at.
  virtual std::string text() const = 0;
  /// getMessage: text() cut to fit, NUL-terminated.
  void getMessage(char* buffer, size_t size) const override;

 protected:
  JRPCError(int32_t kind, const std::source_location& where) : JError(where), kind_(kind) {}
  JRPCError(const JRPCError&) = default;
  JRPCError& operator=(const JRPCError&) = default;

 private:
  int32_t kind_;
};

/// A required parameter is absent: "RPCMissingParameter: '<name>'".
class JRPCMissingParameterError : public JRPCError {
 public:
  explicit JRPCMissingParameterError(
      std::string_view name, const std::source_location& where = std::source_location::current());

  std::string text() const override;
  std::unique_ptr<JError> clone() const override;
  const std::string& parameterName() const { return name_; }

 private:
  std::string name_;
};

/// A value cannot be converted to the type asked for:
/// "TypeMismatch for parameter '<name>' : wanted '<code>', actual '<code>'",
/// with the type codes of JVariant.
class JRPCTypeMismatchError : public JRPCError {
 public:
  JRPCTypeMismatchError(std::string_view name, int32_t wanted, int32_t actual,
                        const std::source_location& where = std::source_location::current());

  std::string text() const override;
  std::unique_ptr<JError> clone() const override;
  const std::string& parameterName() const { return name_; }
  int32_t wanted() const { return wanted_; }
  int32_t actual() const { return actual_; }

 private:
  std::string name_;
  int32_t wanted_;
  int32_t actual_;
};

/// A text that does not follow the protocol's grammar, an unknown function, or
/// an answer the client cannot use: "ProtocolError: <message> '<context>'".
///
/// Codes: -1 bad or missing answer (the message is the called function's name,
/// or "pong"), -2 "function name syntax error", -3 "missing function name",
/// -4 "unknown function", -5 "parameter name syntax error", -6 "missing
/// parameter name", -7 "unterminated quoted string", -8 "unexpected character
/// in binary block", -9 "unterminated binary block", -10 "cannot determine
/// parameter type".
class JRPCProtocolError : public JRPCError {
 public:
  static constexpr std::string_view kUnknownMessage = "Unknown error";
  /// The context of an error that has none to show.
  static constexpr std::string_view kNoContext = "???";

  explicit JRPCProtocolError(std::string_view message = kUnknownMessage,
                             std::string_view context = kNoContext, int32_t code = 0,
                             const std::source_location& where = std::source_location::current());

  std::string text() const override;
  std::unique_ptr<JError> clone() const override;
  const std::string& protocolMessage() const { return message_; }
  const std::string& context() const { return context_; }
  int32_t code() const { return code_; }

 private:
  std::string message_;
  std::string context_;
  int32_t code_;
};

/// The connection to the peer went away: "Connection Lost".
class JRPCConnectionLostError : public JRPCError {
 public:
  explicit JRPCConnectionLostError(
      const std::source_location& where = std::source_location::current());

  std::string text() const override;
  std::unique_ptr<JError> clone() const override;
};

}  // namespace zq
