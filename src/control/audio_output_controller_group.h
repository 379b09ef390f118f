// AudioOutputControllerGroup: the named set of audio output controllers
// behind the control. It applies each source command to all of them, answers
// per-name queries and relays their link events to the control. No operation
// throws: an error is logged where the operation catches it and answers -1
// (or, for those without a result, ends the operation).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "aam/aam_channel_manager.h"
#include "control/audio_output_controller.h"
#include "control/audio_output_ctrl_group_interface.h"
#include "net/socket_layer.h"
#include "rpc/rpc_notify.h"

namespace zq {

/// The input connector number of a connector name ("wavein_line_in" 0,
/// "wavein_mic_in" 1, "pci2_line_in" 2, "pci2_mic_in" 3, "pci2_spdif_in" 4),
/// compared exactly; -1 for any other text.
int32_t connectorNumber(std::string_view name);

class AudioOutputControllerGroup : public JRPCNotifyWithContext<>,
                                   public AudioOutputCtrlGroupInterface {
 public:
  /// The control's listener: told, with the controller name as context, when
  /// a controller's link comes up or goes down.
  using NotifyTarget = JRPCNotifyWithContext<const std::string&>;

  static constexpr const char* kDefaultServer = "localhost";
  static constexpr int32_t kDefaultPort = 10001;
  static constexpr int32_t kDefaultTimeOutMs = 2000;

  /// `target` (not owned, may be null) hears the link events. Starts the
  /// socket layer for the group's life.
  explicit AudioOutputControllerGroup(NotifyTarget* target, JTraceMask* traceMask = nullptr);
  /// Deletes every controller, then the local AAM, then stops the socket
  /// layer.
  ~AudioOutputControllerGroup() override;

  AudioOutputControllerGroup(const AudioOutputControllerGroup&) = delete;
  AudioOutputControllerGroup& operator=(const AudioOutputControllerGroup&) = delete;

  int32_t AddToGroupAndConnect() override;
  void setTimeOut(int32_t timeoutMs) override { timeOut_ = timeoutMs; }
  void setPort(int32_t port) override { port_ = port; }
  void setServer(std::string_view host) override { server_ = host; }
  void setBlocking(bool blocking) override { blocking_ = blocking; }
  int32_t getTimeOut() override { return timeOut_; }
  int32_t getPort() override { return port_; }
  std::string getServer() override { return server_; }
  bool getBlocking() override { return blocking_; }
  int32_t SetParamsOf(std::string_view name, std::string_view text) override;
  int32_t GetParamsOf(std::string_view name, std::string& out) override;
  int32_t GetStatOf(std::string_view name, std::string& out) override;
  int32_t GetStatusOf(std::string_view name) override;
  int32_t Rehash(std::string_view name) override;
  int32_t DeleteFromGroup(std::string_view name) override;
  void SetFileSource(std::string_view file) override;
  int32_t SetHardSource(int32_t card, std::string_view connector) override;
  int32_t SetNetSource(std::string_view proto, std::string_view host, int32_t port) override;
  void ResetSource() override;
  void SetParams(std::string_view text) override;
  void RehashGroup() override;
  void ResetGroup() override;
  void FlushGroup() override;
  int32_t getLocalAAMBoard() override;
  int32_t getLocalAAMPort() override;
  void CloseLocalAAM() override;
  int32_t OpenLocalAAM(int32_t port, std::string_view connector, int32_t board,
                       int32_t targetRate, std::string_view id) override;
  int32_t ExtractBoolean(std::string_view parameter, std::string_view text, bool& value) override;
  int32_t ExtractInteger(std::string_view parameter, std::string_view text,
                         int32_t& value) override;
  int32_t ExtractNumber(std::string_view parameter, std::string_view text, double& value) override;
  int32_t ExtractString(std::string_view parameter, std::string_view text,
                        std::string& value) override;
  int32_t SetLocalAAM_UdpConfig(bool available, int32_t ofInterface, int32_t precedence,
                                int32_t sourcePort, int32_t mtu) override;
  int32_t SetLocalAAM_AtmConfig(bool available, bool multicast, std::string_view qos,
                                int32_t ofInterface, int32_t chunk) override;
  int32_t SetLocalAAM_IpmConfig(bool available, int32_t ofInterface, int32_t precedence,
                                std::string_view addr, int32_t port, int32_t ttl,
                                int32_t mtu) override;
  int32_t StreamFiles(std::string_view files, bool looping) override;
  int32_t StreamMic() override;

  /// The local AAM now (null when none runs). Host thread only.
  ZQAAMChannelManager* localAAM() const { return localAAM_.get(); }
  /// The configuration the next local AAM opens with.
  const AAMConfig& localAAMConfig() const { return localAAMConfig_; }

  /// The controller names in the group's order (byte-wise).
  std::vector<std::string> names() const;
  /// The named controller, or null. Host thread only; the controller lives
  /// until it is deleted from the group.
  AudioOutputController* find(std::string_view name) const;

 protected:
  // From the controllers, on each one's event thread: relayed with the
  // controller's name. They take no lock of the group; a controller being
  // deleted waits for a notification in progress.
  void linkUp(JRPCControllerInterface* context) override;
  void linkDown(JRPCControllerInterface* context, JError* error) override;

 private:
  using ControllerMap = std::map<std::string, std::unique_ptr<AudioOutputController>, std::less<>>;

  int32_t addToGroupAndConnect();
  template <typename Value>
  int32_t extract(std::string_view parameter, std::string_view text, Value& value);

  // The socket layer is held first and released last.
  JSocketLayer::Holder socketLayer_;
  ControllerMap controllers_;
  std::string server_ = kDefaultServer;
  int32_t port_ = kDefaultPort;
  int32_t timeOut_ = kDefaultTimeOutMs;
  bool blocking_ = false;
  NotifyTarget* const target_;
  JTraceMask* const traceMask_;
  // Deleted after the controllers, before the socket layer.
  AAMConfig localAAMConfig_;
  std::unique_ptr<ZQAAMChannelManager> localAAM_;
};

}  // namespace zq
