// AudioOutputController: drives one remote audio output. Source commands are
// queued on the caller's thread and sent by the controller's command thread,
// so that the host never waits for the network.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/mutex.h"
#include "control/audio_output_ctrl_interface.h"
#include "rpc/msg_queue.h"
#include "rpc/rpc_controller.h"
#include "rpc/variant.h"

namespace zq {

class AudioOutputController : public AudioOutputCtrlInterface, public JRPCController {
 public:
  /// Command message ids; the payload is the remote call's argument list.
  enum Command : int {
    kSetNetSource = 0,
    kSetHardSource = 1,
    kSetFileSource = 2,
    kSetParams = 3,
    kResetSource = 4,
    kFlush = 5,
  };
  /// Commands the queue holds before callers are throttled.
  static constexpr int kCommandCapacity = 1000;
  /// The pause between two attempts to queue into a full queue.
  static constexpr int kRetryPauseMs = 100;

  /// Builds the RPC controller part with these values (`listener`, not
  /// owned, hears the link events, with this controller as context), names
  /// itself "Base Controller" and starts the command queue. Does not
  /// connect: the owner calls connect() next.
  AudioOutputController(JRPCNotifyWithContext<>* listener, int32_t port, std::string_view host,
                        int32_t timeoutMs, bool connectAtOnce, JTraceMask* traceMask = nullptr);

  /// Stops the command queue first, destroying the commands still queued
  /// unsent (a command being sent is finished), then deletes the client and
  /// stops the event queue (an event being delivered is finished) before the
  /// name goes. Owner only; never from the listener's link events.
  ~AudioOutputController() override;

  // Concurrency: every operation may be called from any thread. The queued
  // commands read the link state without a lock: a stale value lets one
  // command through, which then fails at the client and is logged. The
  // command thread takes the controller's mutex and the client's call lock
  // once per command; both are granted in order of arrival, so a call made
  // meanwhile on another thread (getStat, getParams, getState) is served
  // before the next command. Each command is bounded like getStat.

  void setName(std::string_view name) override;
  std::string getName() override;

  int32_t setParams(std::string_view text) override;
  int32_t setHardSource(int32_t cardNumber, std::string_view connector) override;
  int32_t setNetSource(std::string_view proto, std::string_view host, int32_t port) override;
  int32_t setFileSource(std::string_view fileSource) override;
  int32_t resetSource() override;

  /// Calls "getStat" (the line getStat(nop=0)) on the caller's thread and
  /// stores the text after "OK " in `out`: 0. No client, a client that is not
  /// connected, or a failed call (logged "Exception CATCH"): -1. getTimeout()
  /// bounds the whole operation, the waits for the controller and the client
  /// behind other calls included (plus a connect in progress when it
  /// begins); a time-out spent waiting behind another call sends nothing and
  /// is a failed call.
  int32_t getStat(std::string& out);

  /// Returns once every command queued before the call has been sent (or has
  /// failed, or was dropped because the controller has no client any more).
  void flush();

  /// Commands queued and not yet taken by the command thread.
  size_t pendingCommands() const;

 private:
  class CommandQueue;

  /// Queues a command, waiting kRetryPauseMs between attempts while the
  /// queue is full. `handled`, when given, is set once the command is done.
  void post(Command id, const std::vector<JVariant>& payload, JFlag* handled = nullptr);
  int32_t queueIfConnected(Command id, std::vector<JVariant> payload);

  // On the command thread.
  void sendCommand(const char* function, const std::vector<JVariant>& arguments);
  void sendParams(const std::vector<JVariant>& payload);

  mutable JMutex nameMutex_;
  std::string name_;  // guarded by nameMutex_
  std::unique_ptr<CommandQueue> commands_;
};

}  // namespace zq
