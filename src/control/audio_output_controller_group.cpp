// The group of audio output controllers: per-name operations, commands to
// all, and link events relayed with the controller's name. Every operation
// is a host call: nothing thrown below it gets out of it.
#include "control/audio_output_controller_group.h"

#include <exception>
#include <string>

#include "base/error.h"
#include "base/log.h"
#include "rpc/params.h"

namespace zq {
namespace {

// Runs a host operation. An error that gets this far (no descriptor left for
// a socket, no thread to start, no memory) is logged where it is caught and
// the operation answers `failure`.
template <typename Operation>
int32_t hostCall(const char* name, int32_t failure, Operation&& operation) noexcept {
  try {
    return operation();
  } catch (const JError& e) {
    logCaught(e);
  } catch (const std::exception& e) {
    JLog::logf(kLevelError, "%s failed: %s", name, e.what());
  } catch (...) {
    JLog::logf(kLevelError, "%s failed: exception of unknown type", name);
  }
  return failure;
}

template <typename Operation>
void hostCall(const char* name, Operation&& operation) noexcept {
  hostCall(name, 0, [&] {
    operation();
    return 0;
  });
}

}  // namespace

int32_t connectorNumber(std::string_view name) {
  static constexpr std::string_view kConnectors[] = {
      "wavein_line_in", "wavein_mic_in", "pci2_line_in", "pci2_mic_in", "pci2_spdif_in"};
  for (int32_t i = 0; i < static_cast<int32_t>(std::size(kConnectors)); ++i) {
    if (name == kConnectors[i]) {
      return i;
    }
  }
  return -1;
}

AudioOutputControllerGroup::AudioOutputControllerGroup(NotifyTarget* target, JTraceMask* traceMask)
    : target_(target), traceMask_(traceMask) {
  localAAMConfig_.provider.setUdp(UdpConfig());
}

AudioOutputControllerGroup::~AudioOutputControllerGroup() {
  ResetGroup();
  CloseLocalAAM();
}

// ---- the local AAM ----------------------------------------------------------------

int32_t AudioOutputControllerGroup::getLocalAAMBoard() {
  return localAAM_ ? localAAM_->config().desc.channel : -1;
}

int32_t AudioOutputControllerGroup::getLocalAAMPort() {
  // Opened on port 0, the service is on whichever port the system gave it.
  return localAAM_ ? localAAM_->port() : -1;
}

void AudioOutputControllerGroup::CloseLocalAAM() {
  hostCall("CloseLocalAAM", [&] { localAAM_.reset(); });
}

int32_t AudioOutputControllerGroup::OpenLocalAAM(int32_t port, std::string_view connector,
                                                 int32_t board, int32_t targetRate,
                                                 std::string_view id) {
  const int32_t number = connectorNumber(connector);
  if (number < 0) {
    return -1;
  }
  CloseLocalAAM();
  return hostCall("OpenLocalAAM", -1, [&] {
    MikeDesc desc;
    desc.channel = board;
    desc.inputConnector = number;
    desc.setTargetBitRate(targetRate);
    desc.type = MikeDesc::kLocal;
    localAAMConfig_.id = id;
    localAAMConfig_.provider.port = port;
    localAAMConfig_.desc = desc;
    localAAM_ = std::make_unique<ZQAAMChannelManager>(
        localAAMConfig_, traceMask_ != nullptr ? traceMask_->load() : 0, "ZQAAMChannelManager");
    return 0;
  });
}

int32_t AudioOutputControllerGroup::SetLocalAAM_UdpConfig(bool available, int32_t ofInterface,
                                                          int32_t precedence, int32_t sourcePort,
                                                          int32_t mtu) {
  if (localAAM_) {
    return -1;
  }
  if (!available) {
    localAAMConfig_.provider.resetUdp();
    return 0;
  }
  UdpConfig udp;
  udp.setInterface(ofInterface);
  udp.setPrecedence(precedence);
  udp.setSourcePort(sourcePort);
  udp.setMtu(mtu);
  localAAMConfig_.provider.setUdp(udp);
  return 0;
}

int32_t AudioOutputControllerGroup::SetLocalAAM_AtmConfig(bool available, bool multicast,
                                                          std::string_view qos,
                                                          int32_t ofInterface, int32_t chunk) {
  if (localAAM_) {
    return -1;
  }
  if (!available) {
    localAAMConfig_.provider.resetAtm();
    return 0;
  }
  const int32_t qosClass = qos == "CBR"   ? AtmConfig::kCbr
                           : qos == "VBR" ? AtmConfig::kVbr
                           : qos == "UBR" ? AtmConfig::kUbr
                                          : -1;
  if (qosClass < 0) {
    return -2;
  }
  AtmConfig atm;
  atm.setMulticastEnabled(multicast);
  atm.setQosClass(qosClass);
  atm.setInterface(ofInterface);
  atm.setMtu(chunk);
  localAAMConfig_.provider.setAtm(atm);
  return 0;
}

int32_t AudioOutputControllerGroup::SetLocalAAM_IpmConfig(bool available, int32_t ofInterface,
                                                          int32_t precedence,
                                                          std::string_view addr, int32_t port,
                                                          int32_t ttl, int32_t mtu) {
  if (localAAM_) {
    return -1;
  }
  if (!available) {
    localAAMConfig_.provider.resetIpm();
    return 0;
  }
  IpmConfig ipm;
  ipm.setInterface(ofInterface);
  ipm.setPrecedence(precedence);
  ipm.setGroupAddress(std::string(addr));
  ipm.setPort(port);
  ipm.setTtl(ttl);
  ipm.setMtu(mtu);
  localAAMConfig_.provider.setIpm(ipm);
  return 0;
}

int32_t AudioOutputControllerGroup::StreamFiles(std::string_view files, bool looping) {
  if (!localAAM_) {
    return -1;
  }
  return hostCall("StreamFiles", -2, [&] {
    MikeDesc desc;
    desc.type = MikeDesc::kFile;
    desc.fileName = files;
    desc.looping = looping;
    return localAAM_->makeCurrent(desc) ? 0 : -2;
  });
}

int32_t AudioOutputControllerGroup::StreamMic() {
  if (!localAAM_) {
    return -1;
  }
  hostCall("StreamMic", [&] { localAAM_->backToOpeningSource(); });
  return 0;
}

int32_t AudioOutputControllerGroup::AddToGroupAndConnect() {
  return hostCall("AddToGroupAndConnect", -1, [&] { return addToGroupAndConnect(); });
}

int32_t AudioOutputControllerGroup::addToGroupAndConnect() {
  auto controller = std::make_unique<AudioOutputController>(this, port_, server_, timeOut_,
                                                            blocking_, traceMask_);
  const std::string name = server_ + ":" + std::to_string(port_);
  // Named before it connects, so that its first link event already carries
  // the name.
  controller->setName(name);
  if (controller->connect() != 0) {
    return -1;
  }
  // An older controller of the same name goes, with its queued commands.
  controllers_.erase(name);
  controllers_.emplace(name, std::move(controller));
  return 0;
}

AudioOutputController* AudioOutputControllerGroup::find(std::string_view name) const {
  const auto it = controllers_.find(name);
  return it == controllers_.end() ? nullptr : it->second.get();
}

std::vector<std::string> AudioOutputControllerGroup::names() const {
  std::vector<std::string> out;
  out.reserve(controllers_.size());
  for (const auto& [name, controller] : controllers_) {
    out.push_back(name);
  }
  return out;
}

int32_t AudioOutputControllerGroup::SetParamsOf(std::string_view name, std::string_view text) {
  return hostCall("SetParamsOf", -1, [&] {
    AudioOutputController* controller = find(name);
    // The synchronous call, not the queued command of the same name.
    return controller == nullptr ? -2 : controller->JRPCController::setParams(text);
  });
}

int32_t AudioOutputControllerGroup::GetParamsOf(std::string_view name, std::string& out) {
  return hostCall("GetParamsOf", -1, [&] {
    AudioOutputController* controller = find(name);
    return controller == nullptr ? -2 : controller->getParams(out);
  });
}

int32_t AudioOutputControllerGroup::GetStatOf(std::string_view name, std::string& out) {
  return hostCall("GetStatOf", -1, [&] {
    AudioOutputController* controller = find(name);
    return controller == nullptr ? -2 : controller->getStat(out);
  });
}

int32_t AudioOutputControllerGroup::GetStatusOf(std::string_view name) {
  // A state that cannot be read is no link.
  return hostCall("GetStatusOf", 0, [&] {
    AudioOutputController* controller = find(name);
    return controller == nullptr ? -2 : controller->getState();
  });
}

int32_t AudioOutputControllerGroup::Rehash(std::string_view name) {
  return hostCall("Rehash", -1, [&] {
    AudioOutputController* controller = find(name);
    if (controller == nullptr) {
      return -2;
    }
    controller->reconnect();
    return 0;
  });
}

int32_t AudioOutputControllerGroup::DeleteFromGroup(std::string_view name) {
  return hostCall("DeleteFromGroup", -1, [&] {
    const auto it = controllers_.find(name);
    if (it == controllers_.end()) {
      return -2;
    }
    controllers_.erase(it);
    return 0;
  });
}

void AudioOutputControllerGroup::SetFileSource(std::string_view file) {
  hostCall("SetFileSource", [&] {
    for (auto& [name, controller] : controllers_) {
      controller->setFileSource(file);
    }
  });
}

int32_t AudioOutputControllerGroup::SetHardSource(int32_t card, std::string_view connector) {
  if (card < 1 || card > 28) {
    return -1;
  }
  if (connectorNumber(connector) < 0) {
    return -2;
  }
  return hostCall("SetHardSource", -1, [&] {
    for (auto& [name, controller] : controllers_) {
      controller->setHardSource(card, connector);
    }
    return 0;
  });
}

int32_t AudioOutputControllerGroup::SetNetSource(std::string_view proto, std::string_view host,
                                                 int32_t port) {
  if (port < 1 || port > 65535) {
    return -2;
  }
  if (proto != "udp" && proto != "ipm" && proto != "svc") {
    return -1;
  }
  return hostCall("SetNetSource", -1, [&] {
    for (auto& [name, controller] : controllers_) {
      controller->setNetSource(proto, host, port);
    }
    return 0;
  });
}

void AudioOutputControllerGroup::ResetSource() {
  hostCall("ResetSource", [&] {
    for (auto& [name, controller] : controllers_) {
      controller->resetSource();
    }
  });
}

void AudioOutputControllerGroup::SetParams(std::string_view text) {
  hostCall("SetParams", [&] {
    for (auto& [name, controller] : controllers_) {
      controller->setParams(text);
    }
  });
}

void AudioOutputControllerGroup::RehashGroup() {
  hostCall("RehashGroup", [&] {
    for (auto& [name, controller] : controllers_) {
      controller->setConnectAtOnce(false);
    }
    for (auto& [name, controller] : controllers_) {
      controller->reconnect();
    }
  });
}

void AudioOutputControllerGroup::ResetGroup() {
  controllers_.clear();
}

void AudioOutputControllerGroup::FlushGroup() {
  hostCall("FlushGroup", [&] {
    for (auto& [name, controller] : controllers_) {
      controller->flush();
    }
  });
}

template <typename Value>
int32_t AudioOutputControllerGroup::extract(std::string_view parameter, std::string_view text,
                                            Value& value) {
  return hostCall("Extract", -1, [&] {
    JParams params;
    params.parse(text);
    Value found{};
    if (!params.get(parameter, found, false)) {
      return -1;
    }
    value = std::move(found);
    return 0;
  });
}

int32_t AudioOutputControllerGroup::ExtractBoolean(std::string_view parameter,
                                                   std::string_view text, bool& value) {
  return extract(parameter, text, value);
}

int32_t AudioOutputControllerGroup::ExtractInteger(std::string_view parameter,
                                                   std::string_view text, int32_t& value) {
  return extract(parameter, text, value);
}

int32_t AudioOutputControllerGroup::ExtractNumber(std::string_view parameter, std::string_view text,
                                                  double& value) {
  return extract(parameter, text, value);
}

int32_t AudioOutputControllerGroup::ExtractString(std::string_view parameter, std::string_view text,
                                                  std::string& value) {
  return extract(parameter, text, value);
}

void AudioOutputControllerGroup::linkUp(JRPCControllerInterface* context) {
  auto* controller = dynamic_cast<AudioOutputCtrlInterface*>(context);
  if (target_ == nullptr || controller == nullptr) {
    return;
  }
  target_->linkUp(controller->getName());
}

void AudioOutputControllerGroup::linkDown(JRPCControllerInterface* context, JError* error) {
  auto* controller = dynamic_cast<AudioOutputCtrlInterface*>(context);
  if (target_ == nullptr || controller == nullptr) {
    return;
  }
  // The error is passed on, still owned by the caller.
  target_->linkDown(controller->getName(), error);
}

}  // namespace zq
