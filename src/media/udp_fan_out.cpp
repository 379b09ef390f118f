// One sender for every UDP channel of a provider.
#include "media/udp_fan_out.h"

#include <netinet/in.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "base/error.h"
#include "stream/media_packet.h"

namespace zq {
namespace {

// The data pieces of one datagram at most: the frame header and the frame's
// bytes may share one, as the packetizer of a channel of its own cuts them.
constexpr size_t kMaxPieces = 2;

int systemSendBatch(int fd, mmsghdr* messages, unsigned count) {
  return ::sendmmsg(fd, messages, count, MSG_DONTWAIT | MSG_NOSIGNAL);
}

}  // namespace

UdpFanOut::UdpFanOut(const UdpConfig& config, JTraceMask* mask, std::string_view traceName)
    : JTraceableObject(traceName, mask),
      config_(config),
      payloadSize_(config.mtu() > static_cast<int32_t>(kPacketHeaderSize)
                       ? static_cast<size_t>(config.mtu()) - kPacketHeaderSize
                       : 0),
      send_(systemSendBatch) {}

UdpFanOut::~UdpFanOut() {
  unbind();
}

void UdpFanOut::bind(IProviderMedia* media) {
  std::lock_guard control(controlMutex_);
  MediaInfo info;
  info.recordSize = MediaInfo::kBaseSize;
  if (media->getMediaInfo(info) == -1) {
    throw JTextError("cannot get media info");
  }
  if (channelCount() > 0 && mediaType_ != MediaInfo::kNoMedia && info.type != mediaType_) {
    throw JTextError("invalid zapping");
  }
  feed_.stop();
  media_ = media;
  mediaType_ = info.type;
  if (channelCount() > 0) {
    startFeedLocked();
  }
}

void UdpFanOut::unbind() {
  std::lock_guard control(controlMutex_);
  feed_.stop();
  media_ = nullptr;
  mediaType_ = MediaInfo::kNoMedia;
  std::lock_guard send(sendMutex_);
  channels_.clear();
}

IProviderMedia* UdpFanOut::media() const {
  std::lock_guard control(controlMutex_);
  return media_;
}

uint32_t UdpFanOut::mediaType() const {
  std::lock_guard control(controlMutex_);
  return mediaType_;
}

void UdpFanOut::startFeedLocked() {
  try {
    feed_.start(media_, this);
  } catch (const JError& e) {
    logCaught(e);
  }
}

UdpFanOut::ChannelId UdpFanOut::add(const JInetAddr& to, int32_t skip) {
  std::lock_guard control(controlMutex_);
  {
    std::lock_guard send(sendMutex_);
    if (socket_ == nullptr) {
      auto socket = std::make_unique<JUDPSocket>(traceMask());
      socket->bind(config_.interface(), static_cast<uint16_t>(config_.sourcePort()));
      if (config_.precedence() != 0) {
        socket->setIntOption(IPPROTO_IP, IP_TOS, config_.precedence());
      }
      // A smaller buffer than asked only makes a burst lose datagrams sooner.
      int bytes = kSendBufferBytes;
      ::setsockopt(socket->handle(), SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
      socket_ = std::move(socket);
    }
    channels_.push_back(Channel{nextId_, to.inet(), 0, skip, 0, 0});
  }
  startFeedLocked();
  return nextId_++;
}

void UdpFanOut::remove(ChannelId id) {
  std::lock_guard control(controlMutex_);
  bool empty = false;
  {
    std::lock_guard send(sendMutex_);
    std::erase_if(channels_, [id](const Channel& c) { return c.id == id; });
    empty = channels_.empty();
  }
  if (empty) {
    feed_.stop();  // an idle provider wakes for nothing
  }
}

size_t UdpFanOut::channelCount() const {
  std::lock_guard send(sendMutex_);
  return channels_.size();
}

std::optional<UdpFanOut::ChannelStats> UdpFanOut::stats(ChannelId id) const {
  std::lock_guard send(sendMutex_);
  for (const Channel& c : channels_) {
    if (c.id == id) {
      return ChannelStats{c.frameCounter, c.datagrams, c.errors, c.skip};
    }
  }
  return std::nullopt;
}

void UdpFanOut::setSendBatch(SendBatch send) {
  std::lock_guard lock(sendMutex_);
  send_ = std::move(send);
}

uint32_t UdpFanOut::cutLocked(const GatherPiece* pieces, size_t count) {
  cut_.clear();
  slices_.clear();
  size_t total = 0;
  for (size_t i = 0; i < count; ++i) {
    total += pieces[i].length;
  }
  // Every datagram but the last carries the whole payload, unless the piece
  // limit ends it first; the count is worked out from the bytes alone, as a
  // receiver expects it.
  const auto packetCount = static_cast<uint32_t>((total + payloadSize_ - 1) / payloadSize_);
  size_t collected = 0;
  size_t first = 0;
  auto close = [&] {
    slices_.push_back({first, cut_.size() - first});
    first = cut_.size();
    collected = 0;
  };
  for (size_t i = 0; i < count; ++i) {
    const uint8_t* data = pieces[i].data;
    size_t left = pieces[i].length;
    while (left > 0) {
      const size_t taken = std::min(left, payloadSize_ - collected);
      cut_.push_back({const_cast<uint8_t*>(data), taken});
      data += taken;
      left -= taken;
      collected += taken;
      if (collected == payloadSize_ || cut_.size() - first == kMaxPieces) {
        close();
      }
    }
  }
  if (collected > 0) {
    close();
  }
  return packetCount;
}

void UdpFanOut::onFrame(const GatherPiece* pieces, size_t count) {
  std::lock_guard lock(sendMutex_);
  if (channels_.empty() || socket_ == nullptr || payloadSize_ == 0) {
    return;
  }
  const uint32_t packetCount = cutLocked(pieces, count);
  const size_t perChannel = slices_.size();
  if (perChannel == 0) {
    return;
  }
  const size_t messages = channels_.size() * perChannel;
  headers_.resize(messages * kPacketHeaderSize);
  iovecs_.resize(channels_.size() * (perChannel + cut_.size()));
  messages_.resize(messages);
  owners_.resize(messages);

  // Each channel's datagrams: its own header, then the shared pieces.
  size_t m = 0;
  size_t v = 0;
  for (size_t c = 0; c < channels_.size(); ++c) {
    Channel& channel = channels_[c];
    const uint32_t number = channel.frameCounter++;
    for (size_t d = 0; d < perChannel; ++d, ++m) {
      uint8_t* header = &headers_[m * kPacketHeaderSize];
      MediaPacketHeader{number, static_cast<uint32_t>(d), packetCount}.write(header);
      iovec* at = &iovecs_[v];
      iovecs_[v++] = {header, kPacketHeaderSize};
      for (size_t p = 0; p < slices_[d].count; ++p) {
        iovecs_[v++] = cut_[slices_[d].first + p];
      }
      msghdr& h = messages_[m].msg_hdr;
      h = msghdr{};
      h.msg_name = &channel.to;
      h.msg_namelen = sizeof channel.to;
      h.msg_iov = at;
      h.msg_iovlen = 1 + slices_[d].count;
      messages_[m].msg_len = 0;
      owners_[m] = c;
    }
  }

  // A failed datagram drops the rest of its channel's frame, as on a
  // channel of its own, and the others go on: nothing waits for a receiver.
  const int fd = socket_->handle();
  size_t next = 0;
  int interrupted = 0;
  while (next < messages) {
    const auto batch = static_cast<unsigned>(std::min(messages - next, kMaxBatch));
    const int sent = send_(fd, &messages_[next], batch);
    if (sent > 0) {
      for (size_t i = next; i < next + static_cast<size_t>(sent); ++i) {
        ++channels_[owners_[i]].datagrams;
      }
      next += static_cast<size_t>(sent);
      continue;
    }
    if (errno == EINTR && ++interrupted < 10) {
      continue;
    }
    const size_t failed = owners_[next];
    ++channels_[failed].errors;
    next = (failed + 1) * perChannel;
  }
}

}  // namespace zq
