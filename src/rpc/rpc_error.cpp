// The RPC framework's errors: their messages and copies.
#include "rpc/rpc_error.h"

#include "base/format.h"

namespace zq {

void JRPCError::getMessage(char* buffer, size_t size) const {
  copyTruncated(buffer, size, text());
}

JRPCMissingParameterError::JRPCMissingParameterError(std::string_view name,
                                                     const std::source_location& where)
    : JRPCError(kMissingParameter, where), name_(name) {}

std::string JRPCMissingParameterError::text() const {
  return "RPCMissingParameter: '" + name_ + "'";
}

std::unique_ptr<JError> JRPCMissingParameterError::clone() const {
  return std::make_unique<JRPCMissingParameterError>(*this);
}

JRPCTypeMismatchError::JRPCTypeMismatchError(std::string_view name, int32_t wanted, int32_t actual,
                                             const std::source_location& where)
    : JRPCError(kTypeMismatch, where), name_(name), wanted_(wanted), actual_(actual) {}

std::string JRPCTypeMismatchError::text() const {
  return "TypeMismatch for parameter '" + name_ +
         "' : " + jformat("wanted '%d', actual '%d'", wanted_, actual_);
}

std::unique_ptr<JError> JRPCTypeMismatchError::clone() const {
  return std::make_unique<JRPCTypeMismatchError>(*this);
}

JRPCProtocolError::JRPCProtocolError(std::string_view message, std::string_view context,
                                     int32_t code, const std::source_location& where)
    : JRPCError(kProtocolError, where), message_(message), context_(context), code_(code) {}

std::string JRPCProtocolError::text() const {
  return "ProtocolError: " + message_ + " '" + context_ + "'";
}

std::unique_ptr<JError> JRPCProtocolError::clone() const {
  return std::make_unique<JRPCProtocolError>(*this);
}

JRPCConnectionLostError::JRPCConnectionLostError(const std::source_location& where)
    : JRPCError(kConnectionLost, where) {}

std::string JRPCConnectionLostError::text() const {
  return "Connection Lost";
}

std::unique_ptr<JError> JRPCConnectionLostError::clone() const {
  return std::make_unique<JRPCConnectionLostError>(*this);
}

}  // namespace zq
