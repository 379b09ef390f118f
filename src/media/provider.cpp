// The provider, its data channels and the channel requests of receivers.
#include "media/provider.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>

#include <chrono>
#include <thread>
#include <utility>

#include "base/error.h"
#include "base/thread.h"
#include "net/inet_addr.h"
#include "net/ip_multicast_socket.h"
#include "net/udp_socket.h"
#include "rpc/rpc_error.h"
#include "stream/media_packet.h"

namespace zq {
namespace {

// A dotted IPv4 address and a port. Receivers name themselves by address:
// a name would need a look-up this request must not wait for.
JInetAddr dottedAddress(const std::string& text, int32_t port) {
  in_addr address{};
  if (::inet_pton(AF_INET, text.c_str(), &address) != 1) {
    throw JTextError("invalid IP address '" + text + "'");
  }
  if (port < 0 || port > 65535) {
    throw JTextError("invalid port " + std::to_string(port));
  }
  return JInetAddr(address, static_cast<uint16_t>(port));
}

// The receiver of a UDP channel: one host (not "this network", a multicast
// group, a reserved or the broadcast address) and a port it can receive on.
// A port is read at full width, so that no value wraps into the range.
JInetAddr receiverAddress(const std::string& text, int64_t port) {
  in_addr address{};
  if (::inet_pton(AF_INET, text.c_str(), &address) != 1) {
    throw JTextError("invalid IP address '" + text + "'");
  }
  const uint32_t first = ntohl(address.s_addr) >> 24;
  if (first == 0 || first >= 224) {
    throw JTextError("invalid IP address '" + text + "'");
  }
  if (port < 1 || port > 65535) {
    throw JTextError("invalid port " + std::to_string(port));
  }
  return JInetAddr(address, static_cast<uint16_t>(port));
}

// Whether the RPC connection that asked has already gone (reset, or closed
// by its peer): a channel made for it would only wait to be removed.
bool connectionGone(IProvider::ConnectionKey key) {
  if (key == nullptr || key->handle() < 0) {
    return false;  // not a connection of this process's sockets
  }
  JInetAddr peer;
  try {
    return !key->connectedPeer(peer);
  } catch (const JError& e) {
    logCaught(e);
    return false;
  }
}

// A receiver cannot decode what a channel would send without the stream's
// description: a media without one is not served.
void requireStreamInfo(IProviderMedia& media) {
  MediaInfo info;
  info.recordSize = MediaInfo::kBaseSize;
  if (media.getMediaInfo(info) == -1 || info.streamInfo == nullptr) {
    throw JTextError("no stream description");
  }
}

std::string udpTraceName(std::string_view provider, const std::string& host, int32_t port) {
  return std::string(provider) + "::DataChannel[" + host + ":" + std::to_string(port) + "]";
}

}  // namespace

// ---- Client ---------------------------------------------------------------------

Client::Client(int32_t mtu, IProviderMedia* media,
               std::unique_ptr<IProviderPacketizer> packetizer, int32_t skip, JTraceMask* mask,
               std::string_view traceName)
    : JTraceableObject(traceName, mask),
      mtu_(mtu),
      packetizer_(std::move(packetizer)),
      skip_(skip) {
  std::lock_guard lock(mutex_);
  bindLocked(media);
}

Client::~Client() = default;

void Client::bindLocked(IProviderMedia* media) {
  MediaInfo info;
  info.recordSize = MediaInfo::kBaseSize;
  if (media->getMediaInfo(info) == -1) {
    throw JTextError("cannot get media info");
  }
  if (info_.streamInfo != nullptr && info.type != info_.type) {
    throw JTextError("invalid zapping");
  }
  feed_.stop();
  info_.streamInfo = std::move(info.streamInfo);
  info_.recordSize = info.recordSize;
  info_.type = info.type;
  media_ = media;
}

void Client::startFeedLocked() {
  if (feed_.running()) {
    return;
  }
  // A pause a failed send of the old media began is no reason to drop the
  // new one's first frames.
  resumeAt_ = {};
  feed_.start(media_, this);
}

void Client::onFrame(const GatherPiece* pieces, size_t count) {
  if (resumeAt_ != std::chrono::steady_clock::time_point{} &&
      std::chrono::steady_clock::now() < resumeAt_) {
    return;  // a tap's frames while a failed send is sat out
  }
  if (packetizer_->packetize(pieces, count) >= 0) {
    resumeAt_ = {};
    return;
  }
  if (!feed_.tapped()) {
    // Not JThread::sleep: a pause must never park the thread inside an
    // iteration. A stop ends it: removing a channel whose receiver is gone
    // must not wait for it.
    IThread::idleCurrent(kSendFailurePauseMs);
  } else {
    // The publishing thread captures and encodes: it never waits for a
    // network that refuses. What comes meanwhile is lost, as a full
    // buffer's frame is, and the log says it once a pause, not once a frame.
    resumeAt_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(kSendFailurePauseMs);
  }
}

void Client::start() {
  establish();
  if (socket_ == nullptr) {
    throw JTextError("null socket pointer");
  }
  // A full send buffer loses the frame rather than holding up the thread
  // that captures.
  const int fd = socket_->handle();
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags == -1 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == -1) {
    JLog::logTraceable(kLevelWarning, this, "cannot make the data channel's socket non-blocking");
  }
  std::lock_guard lock(mutex_);
  try {
    packetizer_->init(socket_.get(), mtu_, 2);
    startFeedLocked();
  } catch (const JError& e) {
    logCaught(e);
  }
}

void Client::shutdown() {
  JLog::logTraceable(kLevelTraceInfo, this, "Shutting down data channel");
  {
    std::lock_guard lock(mutex_);
    feed_.stop();
  }
  packetizer_->reset();
  closeSocket();
}

void Client::zap(IProviderMedia* media) {
  std::lock_guard lock(mutex_);
  bindLocked(media);
  if (socket_ != nullptr) {
    startFeedLocked();
  }
}

void Client::closeSocket() {
  socket_.reset();
}

void Client::tearDown(uint32_t) {}

// ---- UdpClient ------------------------------------------------------------------

UdpClient::UdpClient(const UdpConfig& config, const std::string& host, int32_t port,
                     UdpFanOut& sender, int32_t skip, JTraceMask* mask,
                     std::string_view providerName)
    : JTraceableObject(udpTraceName(providerName, host, port), mask),
      sender_(sender),
      host_(host),
      port_(port) {
  JLog::logTraceable(kLevelTraceInfo, this, "Establishing UDP data channel to '%s:%d'",
                     host_.c_str(), port_);
  try {
    const JInetAddr to = receiverAddress(host_, port_);
    // A receiver the configured interface has no route to is refused now,
    // as a socket of its own would have been at its connect; the probe
    // sends nothing.
    JUDPSocket probe(traceMask());
    probe.bind(config.interface(), 0);
    probe.connect(to);
    id_ = sender_.add(to, skip);
  } catch (const JError& e) {
    logCaught(e);
    JLog::logTraceable(kLevelError, this, "Could not establish UDP data channel to '%s:%d': %s",
                       host_.c_str(), port_, e.message().c_str());
    throw;
  }
  JLog::logTraceable(kLevelTraceInfo, this, "UDP data channel established to '%s:%d'",
                     host_.c_str(), port_);
}

UdpClient::~UdpClient() {
  JLog::logTraceable(kLevelTraceInfo, this, "Shutting down data channel");
  sender_.remove(id_);
}

UdpFanOut::ChannelStats UdpClient::stats() const {
  return sender_.stats(id_).value_or(UdpFanOut::ChannelStats{});
}

// ---- IpmClient ------------------------------------------------------------------

IpmClient::IpmClient(const IpmConfig& config, IProviderMedia* media,
                     std::unique_ptr<IProviderPacketizer> packetizer, int32_t skip,
                     JTraceMask* mask, std::string_view providerName)
    : Client(config.mtu(), media, std::move(packetizer), skip, mask, providerName),
      config_(config) {
  start();
}

IpmClient::~IpmClient() {
  shutdown();
}

void IpmClient::establish() {
  const std::string& group = config_.groupAddress();
  const int32_t port = config_.port();
  JLog::logTraceable(kLevelTraceInfo, this, "Establishing IP multicast data channel to '%s:%d'",
                     group.c_str(), port);
  std::unique_ptr<JIPMulticastSocket> socket;
  try {
    JInetAddr local = JInetAddr::fromInterface(config_.interface());
    local.setPort(static_cast<uint16_t>(port));
    socket = std::make_unique<JIPMulticastSocket>(dottedAddress(group, port), true, false, local,
                                                  traceMask());
    socket->setTTL(config_.ttl());
    if (config_.precedence() != 0) {
      socket->setIntOption(IPPROTO_IP, IP_TOS, config_.precedence());
    }
  } catch (const JError& e) {
    logCaught(e);
    socket.reset();
    JLog::logTraceable(kLevelError, this,
                       "Could not establish IP multicast data channel to '%s:%d': %s",
                       group.c_str(), port, e.message().c_str());
    throw;
  }
  socket_ = std::move(socket);
  JLog::logTraceable(kLevelTraceInfo, this, "IP multicast data channel established to '%s:%d'",
                     group.c_str(), port);
}

// ---- IProvider ------------------------------------------------------------------

IProvider::IProvider(const ProviderConfig& config, JTraceMask* mask, std::string_view traceName)
    : JTraceableObject(traceName, mask),
      config_(config),
      udpSender_(config_.udp(), traceMask(), std::string(traceName) + "::UdpSender") {}

IProvider::~IProvider() {
  std::lock_guard lock(mutex_);
  deleteAllLocked();
}

void IProvider::deleteAllLocked() {
  m_mapUdpClients.clear();
  udpSender_.unbind();
  m_mapIpmClients.clear();
  m_mapSvuClients.clear();
  m_mapSvcClients.clear();
}

void IProvider::setMedia(IProviderMedia* media) {
  std::lock_guard lock(mutex_);
  media_ = media;
  if (media == nullptr) {
    deleteAllLocked();
    return;
  }
  // A channel that cannot follow goes: it must not outlive the media it
  // still reads.
  auto zapAll = [&](auto& map, bool masterOnly) {
    for (auto it = map.begin(); it != map.end();) {
      if (it->second == nullptr || (masterOnly && it->first != nullptr)) {
        ++it;
        continue;
      }
      try {
        it->second->zap(media);
        ++it;
      } catch (const JError& e) {
        logCaught(e);
        if (masterOnly) {
          map.clear();
          return;
        }
        it = map.erase(it);
      }
    }
  };
  // The UDP channels follow their sender, or go with it.
  try {
    udpSender_.bind(media);
  } catch (const JError& e) {
    logCaught(e);
    m_mapUdpClients.clear();
    udpSender_.unbind();
  }
  zapAll(m_mapSvuClients, false);
  // Receivers of the multicast trees follow their master.
  zapAll(m_mapIpmClients, true);
  zapAll(m_mapSvcClients, true);
}

IProviderMedia* IProvider::media() const {
  std::lock_guard lock(mutex_);
  return media_;
}

bool IProvider::addUDPClient(const JParams& request, JParams& reply, ConnectionKey key) {
  try {
    serveUDPClient(request, reply, key);
    return true;
  } catch (const JError&) {
    return false;  // logged where it arose
  }
}

void IProvider::serveUDPClient(const JParams& request, JParams& reply, ConnectionKey key) {
  if (!config_.udpEnable()) {
    JLog::logTraceable(kLevelError, this, "UDP data transport is disabled in CCS!");
    throw JTextError("UDP data transport is disabled in CCS!");
  }
  std::string ip;
  int64_t port = 0;
  request.get("ip", ip, true);
  request.get("port", port, true);
  std::lock_guard lock(mutex_);
  int32_t skip = 0;
  request.get("skip", skip, false);
  if (media_ == nullptr) {
    throw JTextError("no media");
  }
  try {
    receiverAddress(ip, port);
  } catch (const JError& e) {
    JLog::logTraceable(kLevelError, this, "Could not establish UDP data channel to '%s:%lld': %s",
                       ip.c_str(), static_cast<long long>(port), e.message().c_str());
    throw;
  }
  if (connectionGone(key)) {
    throw JRPCConnectionLostError();
  }
  requireStreamInfo(*media_);
  if (udpSender_.media() != media_) {
    udpSender_.bind(media_);  // after a media the channels could not follow
  }
  // The channel's errors propagate; it logged them. A second request over
  // one connection replaces its channel.
  auto channel = std::make_unique<UdpClient>(config_.udp(), ip, static_cast<int32_t>(port),
                                             udpSender_, skip, traceMask(), traceName());
  m_mapUdpClients[key] = std::move(channel);
  media_->getStreamInfoParams(reply);
}

bool IProvider::addIPMClient(const JParams& request, JParams& reply, ConnectionKey key) {
  try {
    serveIPMClient(request, reply, key);
    return true;
  } catch (const JError&) {
    return false;  // logged where it arose
  }
}

void IProvider::serveIPMClient(const JParams& request, JParams& reply, ConnectionKey key) {
  if (!config_.ipmEnable()) {
    JLog::logTraceable(kLevelError, this, "IP multicast data transport is disabled in CCS!");
    throw JTextError("IP multicast data transport is disabled in CCS!");
  }
  std::lock_guard lock(mutex_);
  int32_t skip = 0;
  request.get("skip", skip, false);
  if (media_ == nullptr) {
    throw JTextError("no media");
  }
  if (connectionGone(key)) {
    throw JRPCConnectionLostError();
  }
  requireStreamInfo(*media_);
  if (m_mapIpmClients.empty()) {
    // Establish errors propagate; establish logged them.
    m_mapIpmClients[nullptr] = std::make_unique<IpmClient>(config_.ipm(), media_, createPacketizer(),
                                                           skip, traceMask(), traceName());
  }
  m_mapIpmClients[key] = nullptr;
  reply.set("ip", config_.ipm().groupAddress());
  reply.set("port", config_.ipm().port());
  media_->getStreamInfoParams(reply);
}

bool IProvider::addSVCClient(const JParams& request, ConnectionKey) {
  if (!config_.atmEnable()) {
    JLog::logTraceable(kLevelError, this, "ATM SVC data transport is disabled in CCS!");
    return false;
  }
  std::string address;
  if (!request.get("atm_addr", address, false)) {
    return false;
  }
  std::lock_guard lock(mutex_);
  if (media_ == nullptr) {
    return false;
  }
  // No ATM socket layer here: the channel fails as a socket that cannot be
  // made would.
  const JTextError error("ATM transport not available");
  logCaught(error);
  if (config_.atm().multicastEnabled()) {
    JLog::logTraceable(kLevelError, this,
                       "Could not establishing ATM SVC multicast data channel to '%s': %s",
                       address.c_str(), error.message().c_str());
  } else {
    JLog::logTraceable(kLevelError, this,
                       "Could not establishing ATM SVC unicast data channel to '%s': %s",
                       address.c_str(), error.message().c_str());
  }
  return false;
}

void IProvider::tearDownSVCClient(const JParams& request, JParams&, ConnectionKey key) {
  std::lock_guard lock(mutex_);
  int32_t id = -1;
  request.get("id", id, false);
  if (auto it = m_mapSvcClients.find(key); key != nullptr && it != m_mapSvcClients.end()) {
    Client* client = it->second.get();
    if (client == nullptr) {
      auto master = m_mapSvcClients.find(nullptr);
      if (master == m_mapSvcClients.end() || master->second == nullptr) {
        JLog::logTraceable(kLevelError, this,
                           "tearDownSVCClient() - Master client entry is missing or null!)\n");
        JLog::logTraceable(kLevelError, this, "tearDownSVCClient() - Client %p points to 0\n",
                           static_cast<const void*>(key));
        return;
      }
      master->second->tearDown(static_cast<uint32_t>(id));
    } else {
      client->tearDown(static_cast<uint32_t>(id));
      it->second.reset();
    }
    m_mapSvcClients.erase(it);
    if (m_mapSvcClients.size() == 1 && m_mapSvcClients.count(nullptr) == 1) {
      m_mapSvcClients.clear();
    }
    JLog::logTraceable(kLevelDebug, this, "tearDownSVCClient() - Client %p torn down\n",
                       static_cast<const void*>(key));
    return;
  }
  if (auto it = m_mapSvuClients.find(key); it != m_mapSvuClients.end() && it->second != nullptr) {
    it->second->tearDown(static_cast<uint32_t>(id));
    JLog::logTraceable(kLevelDebug, this, "tearDownSVCClient() - Client %p torn down\n",
                       static_cast<const void*>(key));
    return;
  }
  JLog::logTraceable(kLevelError, this,
                     "tearDownSVCClient() - Null pointer in unicast client map\n");
  JLog::logTraceable(kLevelError, this,
                     "tearDownSVCClient() - Client %p not found for tearDown in neither "
                     "m_mapSvuClients nor m_mapSvcClients\n",
                     static_cast<const void*>(key));
}

bool IProvider::removeClient(ConnectionKey key) {
  std::lock_guard lock(mutex_);
  // A connection reset by its peer has no peer any longer: that is no
  // error, its address is just not known.
  std::string peer = "???";
  try {
    JInetAddr address;
    if (key != nullptr && key->handle() >= 0 && key->connectedPeer(address)) {
      peer = address.text();
    }
  } catch (const JError& e) {
    logCaught(e);
  }
  JLog::logTraceable(kLevelTraceInfo, this, "Lost contact to client at %s", peer.c_str());
  JLog::logTraceable(kLevelObjectDebug, this, "Lost contact to socket %p",
                     static_cast<const void*>(key));

  // The one rule of the maps: a null entry is a receiver of a multicast
  // tree, a non-null one a channel of its own; a tree's master (key null)
  // goes with its last receiver.
  auto removeFrom = [&](auto& map) {
    auto it = map.find(key);
    if (key == nullptr || it == map.end()) {
      return false;
    }
    if (it->second == nullptr) {
      JLog::logTraceable(kLevelObjectDebug, this,
                         "Erasing IPM/SVC client who started the master %p\n",
                         static_cast<const void*>(key));
      map.erase(it);
      if (map.size() == 1 && map.count(nullptr) == 1) {
        JLog::logTraceable(kLevelObjectDebug, this,
                           "%p was last IPM/SVC client, erasing master\n",
                           static_cast<const void*>(map.begin()->second.get()));
        map.clear();
      }
    } else if (!it->second->isMulticast()) {
      JLog::logTraceable(kLevelObjectDebug, this, "Deleting and erasing UDP/SVU client %p\n",
                         static_cast<const void*>(it->second.get()));
      map.erase(it);
    } else {
      JLog::logTraceable(kLevelObjectDebug, this, "Deleting and erasing SVC client %p\n",
                         static_cast<const void*>(it->second.get()));
      map.erase(it);
      if (map.size() == 1 && map.count(nullptr) == 1) {
        JLog::logTraceable(kLevelObjectDebug, this, "%p was last SVC client, erasing master\n",
                           static_cast<const void*>(map.begin()->second.get()));
        map.clear();
      }
    }
    return true;
  };
  const bool found = removeFrom(m_mapUdpClients) || removeFrom(m_mapIpmClients) ||
                     removeFrom(m_mapSvuClients) || removeFrom(m_mapSvcClients);
  if (found) {
    JLog::logTraceable(kLevelObjectDebug, this, "Successfully removed client '%s'\n",
                       peer.c_str());
  } else {
    JLog::logTraceable(kLevelObjectDebug, this, "Could not find client '%s' for removal\n",
                       peer.c_str());
  }
  return found;
}

size_t IProvider::udpClientCount() const {
  std::lock_guard lock(mutex_);
  return m_mapUdpClients.size();
}

size_t IProvider::ipmEntryCount() const {
  std::lock_guard lock(mutex_);
  return m_mapIpmClients.size();
}

IpmClient* IProvider::ipmMaster() const {
  std::lock_guard lock(mutex_);
  auto it = m_mapIpmClients.find(nullptr);
  return it != m_mapIpmClients.end() ? it->second.get() : nullptr;
}

UdpClient* IProvider::udpClient(ConnectionKey key) const {
  std::lock_guard lock(mutex_);
  auto it = m_mapUdpClients.find(key);
  return it != m_mapUdpClients.end() ? it->second.get() : nullptr;
}

}  // namespace zq
