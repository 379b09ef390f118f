// AudioOutputCtrlInterface: what the controller group asks of the controller
// of one remote audio output, on top of the RPC controller's own interface.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "rpc/rpc_controller.h"

namespace zq {

/// The source commands are asynchronous: each is queued and sent later by the
/// controller's command thread; they answer -1 (nothing queued) unless the
/// link is up, and 0 once queued.
///
/// Note that setParams() here is the queued command and, being declared with
/// the same signature, is also what JRPCControllerInterface::setParams runs
/// on such a controller; the synchronous remote call stays reachable as
/// JRPCController::setParams.
class AudioOutputCtrlInterface : public virtual JRPCControllerInterface {
 public:
  virtual void setName(std::string_view name) = 0;
  /// A copy of the name.
  virtual std::string getName() = 0;
  /// Queues "setParams" with `text` as its parameter text.
  int32_t setParams(std::string_view text) override = 0;
  /// Queues "setHardSource" (cardNumber, connector).
  virtual int32_t setHardSource(int32_t cardNumber, std::string_view connector) = 0;
  /// Queues "setNetSource" (proto, host, port).
  virtual int32_t setNetSource(std::string_view proto, std::string_view host, int32_t port) = 0;
  /// Queues "setFileSource" (fileSource).
  virtual int32_t setFileSource(std::string_view fileSource) = 0;
  /// Queues "resetSource" ().
  virtual int32_t resetSource() = 0;
};

}  // namespace zq
