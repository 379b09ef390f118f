// The controller of one remote audio output: command queue and remote calls.
#include "control/audio_output_controller.h"

#include "base/error.h"
#include "base/log.h"
#include "base/thread.h"
#include "base/waitable.h"
#include "rpc/rpc_client.h"

namespace zq {

/// The command queue and its thread. Its handlers run on that thread and
/// send each command through the owning controller.
class AudioOutputController::CommandQueue : public JMsgQueue<std::vector<JVariant>, int> {
 public:
  CommandQueue(AudioOutputController& owner, JTraceMask* traceMask)
      : JMsgQueue("AudioOutputController commands", traceMask), owner_(owner) {}
  ~CommandQueue() override { stop(false); }

 protected:
  const MessageMap* messageMap() const override {
    static const MessageMap map(nullptr,
                                {
                                    {kSetNetSource, &handler<&CommandQueue::onSetNetSource>},
                                    {kSetHardSource, &handler<&CommandQueue::onSetHardSource>},
                                    {kSetFileSource, &handler<&CommandQueue::onSetFileSource>},
                                    {kSetParams, &handler<&CommandQueue::onSetParams>},
                                    {kResetSource, &handler<&CommandQueue::onResetSource>},
                                    {kFlush, &handler<&CommandQueue::onFlush>},
                                });
    return &map;
  }

 private:
  bool onSetNetSource(std::vector<JVariant>& args) { return send("setNetSource", args); }
  bool onSetHardSource(std::vector<JVariant>& args) { return send("setHardSource", args); }
  bool onSetFileSource(std::vector<JVariant>& args) { return send("setFileSource", args); }
  bool onResetSource(std::vector<JVariant>& args) { return send("resetSource", args); }
  bool onSetParams(std::vector<JVariant>& args) {
    owner_.sendParams(args);
    return true;
  }
  // A flush only marks a place in the queue: reaching it is the point.
  bool onFlush(std::vector<JVariant>&) { return true; }

  bool send(const char* function, std::vector<JVariant>& args) {
    owner_.sendCommand(function, args);
    return true;
  }

  AudioOutputController& owner_;
};

AudioOutputController::AudioOutputController(JRPCNotifyWithContext<>* listener, int32_t port,
                                             std::string_view host, int32_t timeoutMs,
                                             bool connectAtOnce, JTraceMask* traceMask)
    : JRPCController(listener, port, host, timeoutMs, connectAtOnce, traceMask,
                     /*startQueue=*/false),
      name_("Base Controller"),
      commands_(std::make_unique<CommandQueue>(*this, traceMask)) {
  // The event queue's thread starts only now that the object is whole.
  startQueue();
  commands_->start(0, kCommandCapacity);
}

AudioOutputController::~AudioOutputController() {
  // Unsent commands die with the queue; only then may the client go.
  commands_->stop(false);
  commands_.reset();
  // The group's listener reads the name of the controller an event concerns:
  // no event may be delivered once the name is gone.
  closeLink();
}

void AudioOutputController::setName(std::string_view name) {
  JAutoLock lock(nameMutex_);
  name_ = name;
}

std::string AudioOutputController::getName() {
  JAutoLock lock(nameMutex_);
  return name_;
}

int32_t AudioOutputController::queueIfConnected(Command id, std::vector<JVariant> payload) {
  if (linkState() != kConnected) {
    return -1;
  }
  post(id, payload);
  return 0;
}

int32_t AudioOutputController::setNetSource(std::string_view proto, std::string_view host,
                                            int32_t port) {
  return queueIfConnected(
      kSetNetSource, {JVariant("proto", std::string(proto)), JVariant("host", std::string(host)),
                      JVariant("port", port)});
}

int32_t AudioOutputController::setHardSource(int32_t cardNumber, std::string_view connector) {
  return queueIfConnected(kSetHardSource, {JVariant("cardNumber", cardNumber),
                                           JVariant("connector", std::string(connector))});
}

int32_t AudioOutputController::setFileSource(std::string_view fileSource) {
  return queueIfConnected(kSetFileSource, {JVariant("fileSource", std::string(fileSource))});
}

int32_t AudioOutputController::setParams(std::string_view text) {
  return queueIfConnected(kSetParams, {JVariant("params", std::string(text))});
}

int32_t AudioOutputController::resetSource() {
  return queueIfConnected(kResetSource, {});
}

void AudioOutputController::post(Command id, const std::vector<JVariant>& payload, JFlag* handled) {
  for (;;) {
    try {
      commands_->postMsg(id, payload, handled);
      return;
    } catch (const JError& e) {
      // The queue is full: hold the caller back rather than lose a command.
      logCaught(e);
      JLog::logf(kLevelWarning,
                 "JThreadedQueue::postMsg() failed (%s) in AudioOutputController. Retrying...",
                 e.message().c_str());
      JThread::sleep(kRetryPauseMs);
    }
  }
}

void AudioOutputController::flush() {
  JFlag handled(true, false);
  post(kFlush, {}, &handled);
  handled.wait();
}

size_t AudioOutputController::pendingCommands() const {
  return commands_->pendingCount();
}

int32_t AudioOutputController::getStat(std::string& out) {
  // One budget for the wait for the client and the call.
  JDeadline deadline(getTimeout());
  try {
    const std::shared_ptr<JRPCClientNotify> client = currentClient(deadline);
    if (!client || !client->isConnected()) {
      return -1;
    }
    out = client->callForText("getStat", std::vector<JVariant>{JVariant("nop", int32_t{0})},
                              deadline.remainingMs());
    return 0;
  } catch (const JError& e) {
    logCaught(e);
    return -1;
  }
}

void AudioOutputController::sendCommand(const char* function,
                                        const std::vector<JVariant>& arguments) {
  // The link may have been torn down (disconnect, reconnect) since the
  // command was queued: without a client it is dropped.
  JDeadline deadline(getTimeout());
  try {
    const std::shared_ptr<JRPCClientNotify> client = currentClient(deadline);
    if (!client) {
      return;
    }
    client->call(function, arguments, deadline.remainingMs());
  } catch (const JError& e) {
    // A remote failure is logged, never reported: the next command goes on.
    logCaught(e);
  }
}

void AudioOutputController::sendParams(const std::vector<JVariant>& payload) {
  try {
    JRPCController::setParams(payload.empty() ? std::string() : payload.front().asString());
  } catch (const JError& e) {
    logCaught(e);
  }
}

}  // namespace zq
