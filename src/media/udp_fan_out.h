// UdpFanOut: every UDP channel of a provider served by one sender. It sends
// each frame on the thread that publishes it (a tap on the media, media.h),
// so that one wake-up captures, encodes and sends; a media that cannot be
// tapped is read by one sucker thread instead. The frame is cut
// once into datagrams of at most the MTU, and every channel's copies (its
// own 12-byte packet headers in front of the shared pieces) go to the kernel
// together with sendmmsg, on one unconnected, non-blocking socket. What a
// channel keeps is its address, its frame counter and its skip; a receiver
// that is slow or gone costs its own channel a dropped frame and an error
// count, never the others a wait. IP multicast keeps its own channel
// (provider.h): it sends once per frame already.
#pragma once

#include <sys/socket.h>
#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <vector>

#include "base/log.h"
#include "media/media.h"
#include "media/media_feed.h"
#include "media/provider_config.h"
#include "net/inet_addr.h"
#include "net/udp_socket.h"

namespace zq {

/// Concurrency: bind, unbind, add, remove and the accessors from any thread
/// but the media's publishing one, serialised among themselves by the
/// fan-out; onFrame runs on the media's publishing thread (or the sucker's).
/// The channel list is guarded by the send mutex, which onFrame holds for the
/// send of one frame and the control operations only for moments: once
/// remove has returned, nothing more goes to that channel. onFrame never
/// takes the control mutex, and the control operations never hold the send
/// mutex while they end the tap or the sucker, so they may end either.
/// Every send is non-blocking: a full socket buffer loses datagrams, never
/// holds up the publishing thread.
class UdpFanOut : public IMediaSuckerNotify, public JTraceableObject {
 public:
  using ChannelId = uint64_t;
  /// Hands `count` datagrams to the kernel on `fd`, as ::sendmmsg: the
  /// number taken from the front, or -1 with errno for the first.
  using SendBatch = std::function<int(int fd, mmsghdr* messages, unsigned count)>;
  /// Messages handed over in one call at most.
  static constexpr size_t kMaxBatch = 1024;
  /// The send buffer asked for the shared socket: a frame for a thousand
  /// receivers fits.
  static constexpr int kSendBufferBytes = 4 << 20;

  /// What one channel has been sent.
  struct ChannelStats {
    uint32_t nextFrame = 0;  // the number its next frame gets
    uint64_t datagrams = 0;  // taken by the kernel
    uint64_t errors = 0;     // failed sends, each dropping the rest of its frame
    int32_t skip = 0;        // as asked; audio sends every frame whatever it is
  };

  UdpFanOut(const UdpConfig& config, JTraceMask* mask, std::string_view traceName);
  /// Ends the tap or the sucker; the channels go with it.
  ~UdpFanOut() override;
  UdpFanOut(const UdpFanOut&) = delete;
  UdpFanOut& operator=(const UdpFanOut&) = delete;

  /// Reads `media` from now on (a new tap while there are channels; the
  /// channels keep their frame counters). Throws "cannot get media info",
  /// and "invalid zapping" when there are channels and `media` is of
  /// another kind than the one they serve; the old binding then stays.
  void bind(IProviderMedia* media);
  /// Reads nothing any longer; every channel goes.
  void unbind();
  IProviderMedia* media() const;
  /// The kind of the bound media (MediaInfo::Type; kNoMedia unbound).
  uint32_t mediaType() const;

  /// A channel to `to`: its frames are numbered from 0 from the next frame
  /// on. The first opens the shared socket, bound to the configured
  /// interface and source port, whose errors propagate (nothing added).
  ChannelId add(const JInetAddr& to, int32_t skip);
  /// The channel goes: once this returns nothing more is sent to it.
  void remove(ChannelId id);
  size_t channelCount() const;
  /// The channel's figures; nothing for a channel that is not there.
  std::optional<ChannelStats> stats(ChannelId id) const;
  /// Replaces ::sendmmsg (tests).
  void setSendBatch(SendBatch send);

  /// One frame to every channel. Runs on the media's publishing thread.
  void onFrame(const GatherPiece* pieces, size_t count) override;

 private:
  struct Channel {
    ChannelId id;
    sockaddr_in to;
    uint32_t frameCounter;
    int32_t skip;
    uint64_t datagrams;
    uint64_t errors;
  };
  // One datagram of the cut: a run of cut_ pieces.
  struct Slice {
    size_t first;
    size_t count;
  };

  // With controlMutex_ held: the media's frames fed to the channels (an
  // error is logged and leaves them without a feed).
  void startFeedLocked();
  // With sendMutex_ held: the frame cut into cut_ and slices_; the packet
  // count every header of it carries.
  uint32_t cutLocked(const GatherPiece* pieces, size_t count);

  const UdpConfig config_;
  const size_t payloadSize_;

  mutable std::mutex controlMutex_;
  IProviderMedia* media_ = nullptr;           // guarded by controlMutex_; not owned
  uint32_t mediaType_ = MediaInfo::kNoMedia;  // guarded by controlMutex_
  MediaFeed feed_;                            // guarded by controlMutex_
  ChannelId nextId_ = 1;                      // guarded by controlMutex_

  mutable std::mutex sendMutex_;
  std::unique_ptr<JUDPSocket> socket_;  // guarded by sendMutex_ (and controlMutex_ to change)
  std::vector<Channel> channels_;       // guarded by sendMutex_
  SendBatch send_;                      // guarded by sendMutex_
  // The scratch of onFrame, kept from frame to frame.
  std::vector<iovec> cut_;
  std::vector<Slice> slices_;
  std::vector<uint8_t> headers_;
  std::vector<iovec> iovecs_;
  std::vector<mmsghdr> messages_;
  std::vector<size_t> owners_;  // the channel of each message
};

}  // namespace zq
