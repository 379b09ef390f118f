// ServerController: the receiving end of a remote provider's media stream.
// An RPC client of the provider's service that, whenever the link comes up,
// asks for a data channel of its transport, opens the receiving socket and
// builds the receiver (NetMike2 for audio, NetCam for video), then tells its
// leaves linkUp with the stream; when the link goes it tells them linkDown.
//
// Concurrency: the link events run on the RPC client's supervisor thread;
// AddLeaf, removeLeaf, the leaf contexts and the RPC pass-throughs on any
// caller's thread. Every change of the leaves, the stream and the link state
// happens under one mutex, and the notifiers are called with it held: a
// notifier must not call back into the same controller. The RPC pass-throughs
// do not take it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"
#include "base/format.h"
#include "base/log.h"
#include "base/mutex.h"
#include "media/link_notifier.h"
#include "net/inet_addr.h"
#include "net/socket.h"
#include "rpc/params.h"
#include "rpc/rpc_client.h"
#include "stream/stream.h"
#include "stream/stream_info.h"

namespace zq {

class ServerController : public JRPCClient {
 public:
  /// Transport protocols. kNoProto: no stream is wanted.
  enum Proto : int32_t { kNoProto = -1, kUdp = 1, kSvc = 2, kPvc = 3, kIpm = 4 };
  /// Link states.
  enum LinkState : int32_t { kNeverLinked = 0, kLinkUp = 1, kLinkDown = 2 };

  /// Receive buffer of every data socket.
  static constexpr int kReceiveBufferSize = 0x40000;
  /// The ATM selectors cycle through kFirstSelector ... kLastSelector.
  static constexpr int kFirstSelector = 11;
  static constexpr int kLastSelector = 254;
  /// Queue sizes when the registry has none.
  static constexpr int kDefaultQueue = 6;
  static constexpr int kDefaultTemporalQueue = 10;
  /// The video format that is this system's own compression: its streams
  /// take the "Queue" size, the others the "TemporalQueue" size.
  static constexpr uint32_t kOwnVideoFormat = StreamInfo::kWavelet97;

  /// The protocol number of a lower-case name ("udp", "svc", "pvc", "ipm");
  /// -1 for anything else.
  static int32_t parseProto(std::string_view text);
  /// The name of a protocol number in lower or upper case; null for a number
  /// that is none of the four.
  static const char* protoName(int32_t proto, bool upperCase = false);

  /// The next ATM selector of the process: 11, 12, ... 254, then 11 again.
  /// Any thread. (No ATM channel can be made on this platform: the socket
  /// fails before a selector is taken.)
  static int nextAtmSelector();

  /// A client of the provider's service at (host, port); `timeout` is the
  /// connect, write and call time-out (ms), `persistent` the retry flag.
  /// With `connectNow` it connects here (a failure without `persistent`
  /// throws); with `startThread` the supervisor starts here, otherwise the
  /// owner calls start() once it has added its leaves. `videoOption` would
  /// select a video receiver variant; this system has one (NetCam) for every
  /// video format it knows, so it is only kept. `destroyOnLinkDown` deletes
  /// the receiver when the link goes. `traceParent` (may be null) is the
  /// owner's trace mask; `traceName` (may be empty) names the controller and
  /// its thread.
  ServerController(std::string_view host, int32_t port, int32_t proto, int32_t timeout,
                   bool persistent, bool connectNow, bool startThread, bool videoOption,
                   bool destroyOnLinkDown, int32_t pingPeriod, JTraceMask* traceParent,
                   std::string_view traceName);
  /// Stops the RPC client, deletes the receiver and the leaves. Owner only,
  /// never from a notifier.
  ~ServerController() override;

  /// Registers `notifier` (not owned, may be null) under `cookie`, replacing
  /// a leaf of the same cookie. Without `createNow` the notifier hears the
  /// state of the link at once: linkUp with the stream when there is one,
  /// linkDown when the link is down and there is none, nothing before the
  /// first link event (it hears linkUp when the link comes up). With
  /// `createNow` a missing stream is created here, its errors reach the
  /// caller (nothing is registered then), and the notifier hears nothing.
  /// Returns the current stream (or null); the number of leaves goes to
  /// `leafCount` when given.
  JStream* AddLeaf(uint32_t cookie, LinkNotifier* notifier, uint32_t context, bool createNow,
                   int* leafCount = nullptr);
  /// Removes the leaf of `cookie`; once no leaf is left the receiver goes
  /// and the link state returns to 0. Returns the number of leaves left.
  int removeLeaf(uint32_t cookie);
  /// The context word of the leaf of `cookie` (0 when there is none).
  void setLeafContext(uint32_t cookie, uint32_t context);
  uint32_t leafContext(uint32_t cookie) const;

  // Requests on the provider's service, with the controller's time-out.
  // They fail as JRPCClient calls do.
  void setParams(const JParams& params);
  JParams getRawParams();
  JParams getParams();
  JParams getStat();

  int32_t proto() const { return proto_; }
  bool videoOption() const { return videoOption_; }
  bool destroyOnLinkDown() const { return destroyOnLinkDown_; }
  /// Whether the data channel is multicast (IP multicast, or ATM with the
  /// provider's multicast on). Any thread.
  bool multicast() const;
  LinkState linkState() const;
  /// The receiver now, or null. For observers: it may go at the next link
  /// event.
  JStream* currentStream() const;
  size_t leafCount() const;

  /// The video tuning the provider's reply carried for the last video
  /// receiver ("Quality", "MaxFrameSize", "Skip"; 0 when absent). The
  /// receiver of this system takes none of them; they are kept for the
  /// owner to read.
  struct VideoTuning {
    int32_t quality = 0;
    int32_t maxFrameSize = 0;
    int32_t skip = 0;
  };
  VideoTuning videoTuning() const;

  /// The link came up: the receiver is created and every leaf hears
  /// linkUp. Errors are logged, not thrown. The supervisor's thread.
  void LinkUp();
  /// The link went down with `error` (not owned, may be null): every leaf
  /// hears linkDown and, with destroyOnLinkDown, the receiver goes. The
  /// supervisor's thread.
  void LinkDown(const JError* error);

 protected:
  void linkUp() override { LinkUp(); }
  void linkDown(JError* error) override { LinkDown(error); }

 private:
  struct Leaf {
    uint32_t cookie;
    LinkNotifier* notifier;  // not owned
    uint32_t context;
  };

  // All of these run under mutex_.
  void createStream();
  std::unique_ptr<JSocket> openUdpChannel(JParams& reply);
  std::unique_ptr<JSocket> openSvcChannel(JParams& reply);
  std::unique_ptr<JSocket> openIpmChannel(JParams& reply);
  JInetAddr senderHost() const;
  void createAudioReceiver(std::unique_ptr<JSocket> socket, std::unique_ptr<StreamInfo> info,
                           const JInetAddr& sender);
  void createVideoReceiver(std::unique_ptr<JSocket> socket, std::unique_ptr<StreamInfo> info,
                           const JParams& reply);
  void destroyStream();
  bool RemoveLeafLocked(uint32_t cookie);
  std::vector<std::unique_ptr<Leaf>>::iterator findLeaf(uint32_t cookie);
  // The text of the RPC connection's local address without its port.
  std::string localHostText() const;
  // A line at level 4 on behalf of the controller.
  void traceLine(const char* format, ...) const ZQ_PRINTF(2, 3);

  // Owned entries, in the order they were added.
  std::vector<std::unique_ptr<Leaf>> leaves_;  // guarded by mutex_
  // Also guards the stream and the link state.
  mutable JMutex mutex_;
  const int32_t proto_;
  const bool videoOption_;
  bool multicast_ = false;  // guarded by mutex_
  const bool destroyOnLinkDown_;
  const int32_t timeout_;
  const bool persistent_;
  std::unique_ptr<JStream> stream_;     // guarded by mutex_
  LinkState linkState_ = kNeverLinked;  // guarded by mutex_
  VideoTuning videoTuning_;             // guarded by mutex_
};

}  // namespace zq
