// AudioOutputCtrlGroupInterface: the operations the control calls on its group
// of audio output controllers, one per automation member.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace zq {

/// Results: 0 success, -1 and -2 as each operation says; "not found" (-2)
/// means that no controller has the given name. No operation throws.
///
/// Concurrency: every operation runs on the control's (host's) thread.
class AudioOutputCtrlGroupInterface {
 public:
  /// Creates a controller for the current server, port, time-out and
  /// blocking flag and connects it: 0, or -1 when a blocking connect failed.
  virtual int32_t AddToGroupAndConnect() = 0;
  virtual void setTimeOut(int32_t timeoutMs) = 0;
  virtual void setPort(int32_t port) = 0;
  virtual void setServer(std::string_view host) = 0;
  virtual void setBlocking(bool blocking) = 0;
  virtual int32_t getTimeOut() = 0;
  virtual int32_t getPort() = 0;
  virtual std::string getServer() = 0;
  virtual bool getBlocking() = 0;
  /// The named controller's remote "setParams", synchronously: 0, -1 when not
  /// connected, -2 when not found.
  virtual int32_t SetParamsOf(std::string_view name, std::string_view text) = 0;
  /// The named controller's remote "getParams": 0, -1, -2.
  virtual int32_t GetParamsOf(std::string_view name, std::string& out) = 0;
  /// The named controller's remote "getStat": 0, -1, -2.
  virtual int32_t GetStatOf(std::string_view name, std::string& out) = 0;
  /// The named controller's link state (0, 1, 2), or -2.
  virtual int32_t GetStatusOf(std::string_view name) = 0;
  /// Reconnects the named controller: 0, or -2.
  virtual int32_t Rehash(std::string_view name) = 0;
  /// Deletes the named controller: 0, or -2.
  virtual int32_t DeleteFromGroup(std::string_view name) = 0;
  /// Every controller plays the file.
  virtual void SetFileSource(std::string_view file) = 0;
  /// Every controller plays a capture board's input: -1 for a card outside
  /// 1..28, -2 for an unknown connector name, else 0.
  virtual int32_t SetHardSource(int32_t card, std::string_view connector) = 0;
  /// Every controller plays a network stream: -2 for a port outside
  /// 1..65535 (tested first), -1 for a protocol other than "udp", "ipm" and
  /// "svc", else 0.
  virtual int32_t SetNetSource(std::string_view proto, std::string_view host, int32_t port) = 0;
  virtual void ResetSource() = 0;
  /// Every controller queues "setParams" with `text`.
  virtual void SetParams(std::string_view text) = 0;
  /// Clears every controller's connect-at-once flag, then reconnects each.
  virtual void RehashGroup() = 0;
  /// Deletes every controller.
  virtual void ResetGroup() = 0;
  /// Returns once every controller has sent what was queued before.
  virtual void FlushGroup() = 0;
  /// The local AAM's source channel (board or device number), -1 without one.
  virtual int32_t getLocalAAMBoard() = 0;
  /// The local AAM's RPC port, -1 without one: the port it listens on, also
  /// when it was opened on port 0 (any free port).
  virtual int32_t getLocalAAMPort() = 0;
  /// Deletes the local AAM, if any.
  virtual void CloseLocalAAM() = 0;
  /// Replaces the local AAM by one capturing `connector` of `board` at
  /// `targetRate` and listening on `port`: 0, or -1 (a connector not in the
  /// list changes nothing; a failure leaves no local AAM).
  virtual int32_t OpenLocalAAM(int32_t port, std::string_view connector, int32_t board,
                               int32_t targetRate, std::string_view id) = 0;

  /// Parse `text` and read `parameter` from it: 0 and `value` set when
  /// present and convertible; -1 and `value` untouched otherwise.
  virtual int32_t ExtractBoolean(std::string_view parameter, std::string_view text,
                                 bool& value) = 0;
  virtual int32_t ExtractInteger(std::string_view parameter, std::string_view text,
                                 int32_t& value) = 0;
  virtual int32_t ExtractNumber(std::string_view parameter, std::string_view text,
                                double& value) = 0;
  virtual int32_t ExtractString(std::string_view parameter, std::string_view text,
                                std::string& value) = 0;
  /// The transports of the next local AAM; -1 while one is open, else 0
  /// (-2 for a QoS text other than "CBR", "UBR" and "VBR").
  virtual int32_t SetLocalAAM_UdpConfig(bool available, int32_t ofInterface, int32_t precedence,
                                        int32_t sourcePort, int32_t mtu) = 0;
  virtual int32_t SetLocalAAM_AtmConfig(bool available, bool multicast, std::string_view qos,
                                        int32_t ofInterface, int32_t chunk) = 0;
  virtual int32_t SetLocalAAM_IpmConfig(bool available, int32_t ofInterface, int32_t precedence,
                                        std::string_view addr, int32_t port, int32_t ttl,
                                        int32_t mtu) = 0;
  /// The local AAM plays the comma-separated files: 0, -1 without a local
  /// AAM, -2 when it refused them.
  virtual int32_t StreamFiles(std::string_view files, bool looping) = 0;
  /// The local AAM goes back to its opening source: 0, or -1 without one.
  virtual int32_t StreamMic() = 0;
  virtual ~AudioOutputCtrlGroupInterface() = default;
};

}  // namespace zq
