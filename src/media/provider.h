// IProvider serves one media stream to remote receivers. Each receiver asks
// over an RPC connection; the provider then opens a data channel towards it:
// a UdpClient per UDP receiver, all of them served by the provider's one
// UDP sender (udp_fan_out.h), and one IpmClient master for every IP
// multicast receiver (a Client: a socket and a packetizer fed by a tap on
// the media, on the thread that publishes each frame, or by a sucker thread
// when the media cannot be tapped). Channels are kept by the RPC connection
// that asked for them and go when that connection is lost (removeClient).
// This platform has no ATM transport: "addSVCClient" is refused, and the
// ATM maps stay empty.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "base/log.h"
#include "media/media.h"
#include "media/media_feed.h"
#include "media/packetizer.h"
#include "media/provider_config.h"
#include "media/udp_fan_out.h"
#include "net/socket.h"
#include "rpc/params.h"

namespace zq {

/// A data channel: it binds to a media and sends every frame the media
/// hands it through its packetizer. The frames come from a tap on the media
/// (media.h), on the thread that publishes them, so that the capture's own
/// wake-up sends each frame and no thread of ours stands between: a second
/// thread to wake is a second chance to be held off the CPU, and every
/// receiver of a multicast group runs dry at once when the sender is late.
/// A media that cannot be tapped is read by a sucker thread instead.
///
/// Concurrency: start, zap, tearDown and destruction come from the
/// provider's callers under the provider's mutex; zap and tearDown also take
/// the channel's mutex. onFrame runs on the publishing (or sucker) thread and
/// takes no lock: the tap or the sucker ends before the socket or the
/// packetizer changes. The socket never blocks: a full buffer loses the
/// frame.
class Client : public IMediaSuckerNotify, public JTraceableObject {
 public:
  /// How long the channel sends nothing after a frame that could not be
  /// sent (a sucker thread sleeps it out; a tap drops the frames meanwhile,
  /// never holding up the publishing thread).
  static constexpr int kSendFailurePauseMs = 50;

  ~Client() override;

  /// Sends one frame, unless a send failed less than kSendFailurePauseMs
  /// ago.
  void onFrame(const GatherPiece* pieces, size_t count) override;
  virtual bool isMulticast() const = 0;
  virtual bool hasReservedQos() const = 0;

  /// establish, then (unless it left no socket: JTextError "null socket
  /// pointer") the packetizer and the tap or sucker thread; an error of these
  /// is logged and swallowed, the channel then sends nothing.
  void start();
  /// Logs "Shutting down data channel", ends the tap or the sucker thread,
  /// resets the packetizer and closes the socket.
  void shutdown();
  /// Rebinds to `media` and feeds the channel from it (once started). Throws
  /// "cannot get media info" and "invalid zapping" (a channel never changes
  /// between audio and video), leaving the old binding.
  void zap(IProviderMedia* media);
  /// Ends the receiver's use of the channel (ATM channels only).
  virtual void tearDown(uint32_t id);

  JSocket* socket() const { return socket_.get(); }
  IProviderMedia* media() const { return media_; }
  /// The sucker thread, when the media could not be tapped (else null).
  IMediaSucker* sucker() const { return feed_.sucker(); }
  /// Whether a tap feeds the channel (the frames are sent on the thread that
  /// publishes them). From the provider's callers.
  bool tapped() const { return feed_.running() && feed_.tapped(); }
  IProviderPacketizer* packetizer() const { return packetizer_.get(); }
  /// The type of the served media (MediaInfo::Type; kNoMedia before any).
  uint32_t mediaType() const { return info_.type; }

 protected:
  /// Takes the packetizer over and binds to `media` without starting.
  Client(int32_t mtu, IProviderMedia* media, std::unique_ptr<IProviderPacketizer> packetizer,
         int32_t skip, JTraceMask* mask, std::string_view traceName);

  /// Opens the channel's socket; its errors propagate.
  virtual void establish() = 0;
  virtual void closeSocket();

  std::unique_ptr<JSocket> socket_;

 private:
  // The binding step of zap, with mutex_ held.
  void bindLocked(IProviderMedia* media);
  // With mutex_ held: the feed starts afresh, a pause after a failed send
  // of an earlier feed forgotten.
  void startFeedLocked();

  int32_t mtu_;
  IProviderMedia* media_ = nullptr;  // not owned
  MediaInfo info_;
  // Started and stopped with mutex_ held; whether it is a tap is read by
  // the feeding thread.
  MediaFeed feed_;
  std::mutex mutex_;
  std::unique_ptr<IProviderPacketizer> packetizer_;
  int32_t skip_;
  // On the feeding thread, and reset while no feed runs: no frame is sent
  // before this after a failed send.
  std::chrono::steady_clock::time_point resumeAt_{};
};

/// A unicast UDP channel to one receiver: its place in the provider's UDP
/// sender, which numbers its frames from 0 and cuts them at the UDP MTU.
///
/// Concurrency: made and destroyed under the provider's mutex.
class UdpClient : public JTraceableObject {
 public:
  /// Checks that the receiver can be reached from the configured interface
  /// and joins the sender; the errors of either are logged and propagate.
  UdpClient(const UdpConfig& config, const std::string& host, int32_t port, UdpFanOut& sender,
            int32_t skip, JTraceMask* mask, std::string_view providerName);
  /// Leaves the sender: nothing more is sent to the receiver.
  ~UdpClient() override;
  UdpClient(const UdpClient&) = delete;
  UdpClient& operator=(const UdpClient&) = delete;

  bool isMulticast() const { return false; }
  /// What the channel has been sent.
  UdpFanOut::ChannelStats stats() const;

 private:
  UdpFanOut& sender_;
  const std::string host_;
  const int32_t port_;
  UdpFanOut::ChannelId id_ = 0;
};

/// The one IP multicast channel of a provider, shared by all its multicast
/// receivers.
class IpmClient : public Client {
 public:
  /// Establishes and starts the channel; the errors of establish propagate.
  IpmClient(const IpmConfig& config, IProviderMedia* media,
            std::unique_ptr<IProviderPacketizer> packetizer, int32_t skip, JTraceMask* mask,
            std::string_view providerName);
  ~IpmClient() override;

  bool isMulticast() const override { return true; }
  bool hasReservedQos() const override { return false; }

 protected:
  void establish() override;

 private:
  const IpmConfig config_;
};

class IProvider : public JTraceableObject {
 public:
  /// The identity of the RPC connection a receiver asked over; null never
  /// names one (it keys the multicast master).
  using ConnectionKey = const JSocket*;

  IProvider(const ProviderConfig& config, JTraceMask* mask, std::string_view traceName);
  /// Deletes every channel.
  ~IProvider() override;
  IProvider(const IProvider&) = delete;
  IProvider& operator=(const IProvider&) = delete;

  /// A new packetizer for a channel (owned by the caller).
  virtual std::unique_ptr<IProviderPacketizer> createPacketizer() = 0;

  /// The media to serve (not owned). Null deletes every channel; a media
  /// switches every channel to it.
  void setMedia(IProviderMedia* media);
  IProviderMedia* media() const;

  /// The receiver's request ("ip", "port", optional "skip"): opens a UDP
  /// channel kept under `key` and puts the media's "StreamInfo" into
  /// `reply`. Throws why it cannot, the text an RPC caller is answered:
  /// "UDP data transport is disabled in CCS!", a missing or mistyped key,
  /// "no media", "no stream description", "invalid IP address '...'" (not
  /// one host's dotted address), "invalid port N" (outside 1 to 65535), the
  /// connection's loss when `key` is a connection already gone, and the
  /// socket errors of the channel. Nothing is kept then and `reply` is
  /// untouched.
  void serveUDPClient(const JParams& request, JParams& reply, ConnectionKey key);
  /// serveUDPClient, false for a refusal.
  bool addUDPClient(const JParams& request, JParams& reply, ConnectionKey key);
  /// The receiver joins the multicast channel (made for the first): `reply`
  /// gets "ip" (the group), "port" and "StreamInfo". Throws as
  /// serveUDPClient ("IP multicast data transport is disabled in CCS!").
  void serveIPMClient(const JParams& request, JParams& reply, ConnectionKey key);
  /// serveIPMClient, false for a refusal.
  bool addIPMClient(const JParams& request, JParams& reply, ConnectionKey key);
  /// An ATM channel: refused on this platform once the request is checked.
  bool addSVCClient(const JParams& request, ConnectionKey key);
  /// The receiver leaves its ATM channel.
  void tearDownSVCClient(const JParams& request, JParams& reply, ConnectionKey key);
  /// The RPC connection `key` is lost: its channel goes. Whether it had one.
  bool removeClient(ConnectionKey key);

  void lock() { mutex_.lock(); }
  void unlock() { mutex_.unlock(); }

  const ProviderConfig& config() const { return config_; }
  /// Channels now, by map (tests and statistics).
  size_t udpClientCount() const;
  /// Entries of the multicast map, the master's included.
  size_t ipmEntryCount() const;
  /// The multicast master, or null.
  IpmClient* ipmMaster() const;
  /// The UDP channel kept under `key`, or null.
  UdpClient* udpClient(ConnectionKey key) const;
  /// The sender of every UDP channel.
  UdpFanOut& udpSender() { return udpSender_; }

 private:
  // Under mutex_: every channel deleted.
  void deleteAllLocked();

  const ProviderConfig config_;
  IProviderMedia* media_ = nullptr;  // not owned
  // Declared before the channels, which leave it as they go.
  UdpFanOut udpSender_;
  std::map<ConnectionKey, std::unique_ptr<UdpClient>> m_mapUdpClients;
  std::map<ConnectionKey, std::unique_ptr<IpmClient>> m_mapIpmClients;
  // The ATM maps: never filled on this platform, searched as the others.
  std::map<ConnectionKey, std::unique_ptr<Client>> m_mapSvuClients;
  std::map<ConnectionKey, std::unique_ptr<Client>> m_mapSvcClients;
  mutable std::recursive_mutex mutex_;
};

}  // namespace zq
