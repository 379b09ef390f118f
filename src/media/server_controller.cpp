// The server controller: leaves, link events, the data-channel requests of
// the three transports and the receivers built on them.
#include "media/server_controller.h"

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <mutex>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "base/registry_key.h"
#include "net/inet_addr.h"
#include "net/ip_multicast_socket.h"
#include "net/socket_error.h"
#include "net/udp_socket.h"
#include "stream/net_cam.h"
#include "stream/net_mike2.h"

namespace zq {
namespace {

struct ProtoText {
  int32_t number;
  const char* lower;
  const char* upper;
};
constexpr ProtoText kProtos[] = {
    {ServerController::kUdp, "udp", "UDP"},
    {ServerController::kSvc, "svc", "SVC"},
    {ServerController::kPvc, "pvc", "PVC"},
    {ServerController::kIpm, "ipm", "IPM"},
};

// The getters take one placeholder parameter.
constexpr std::string_view kNop = "nop=0";

// Context words are printed the way the leaves' owners read them: as the
// pointers they often are.
void* asPointer(uint32_t word) {
  return reinterpret_cast<void*>(static_cast<uintptr_t>(word));
}

// The registry key every receiver's queue size is read from.
JSystemRegistryKey settingsKey() {
  return JSystemRegistryKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quorvanta", KEY_ALL_ACCESS);
}

std::mutex selectorMutex;
int selectorCounter = ServerController::kFirstSelector;  // guarded by selectorMutex

}  // namespace

int32_t ServerController::parseProto(std::string_view text) {
  for (const ProtoText& p : kProtos) {
    if (text == p.lower) {
      return p.number;
    }
  }
  return kNoProto;
}

const char* ServerController::protoName(int32_t proto, bool upperCase) {
  for (const ProtoText& p : kProtos) {
    if (proto == p.number) {
      return upperCase ? p.upper : p.lower;
    }
  }
  return nullptr;
}

int ServerController::nextAtmSelector() {
  std::lock_guard lock(selectorMutex);
  int selector = selectorCounter++;
  if (selector > kLastSelector) {
    selector = kFirstSelector;
    selectorCounter = kFirstSelector + 1;
  }
  return selector;
}

// ---- construction and destruction -------------------------------------------

ServerController::ServerController(std::string_view host, int32_t port, int32_t proto,
                                   int32_t timeout, bool persistent, bool connectNow,
                                   bool startThread, bool videoOption, bool destroyOnLinkDown,
                                   int32_t pingPeriod, JTraceMask* traceParent,
                                   std::string_view traceName)
    // The supervisor must not start before this object is whole: it calls
    // linkUp()/linkDown() of this class.
    : JRPCClient(host, port, timeout, timeout, persistent, connectNow, 0, pingPeriod, false, true,
                 traceParent, traceName),
      proto_(proto),
      videoOption_(videoOption),
      destroyOnLinkDown_(destroyOnLinkDown),
      timeout_(timeout),
      persistent_(persistent) {
  if (!traceName.empty()) {
    setTraceName(traceName);
  }
  traceLine("Creating ServerController s:%p isConnected:%d bPersistant:%d.",
            static_cast<void*>(this), isConnected() ? 1 : 0, persistent ? 1 : 0);
  if (startThread) {
    start();
  }
}

ServerController::~ServerController() {
  traceLine("Destroying rpc client (bPersistant:%d).", persistent_ ? 1 : 0);
  // No link event may run from here on.
  shutdown();
  traceLine("Shutting down.");
  JAutoLock lock(mutex_);
  traceLine("Destroying stream.");
  destroyStream();
  traceLine("Deleting vector of clients.");
  leaves_.clear();
}

void ServerController::traceLine(const char* format, ...) const {
  va_list args;
  va_start(args, format);
  const std::string text = jvformat(format, args);
  va_end(args);
  JLog::log(kLevelTrace, text, nullptr, 0, nullptr, this);
}

// ---- leaves -----------------------------------------------------------------------

std::vector<std::unique_ptr<ServerController::Leaf>>::iterator ServerController::findLeaf(
    uint32_t cookie) {
  for (auto it = leaves_.begin(); it != leaves_.end(); ++it) {
    if ((*it)->cookie == cookie) {
      return it;
    }
  }
  return leaves_.end();
}

JStream* ServerController::AddLeaf(uint32_t cookie, LinkNotifier* notifier, uint32_t context,
                                   bool createNow, int* leafCount) {
  JAutoLock lock(mutex_);
  if (proto_ != kNoProto && !stream_) {
    if (createNow) {
      createStream();  // its errors are the caller's
    } else {
      traceLine("AddLeaf - linkDown: %p.", static_cast<void*>(notifier));
      // Before the first link event nothing is known yet: the leaf hears
      // linkUp when the link comes up.
      if (linkState_ == kLinkDown && notifier != nullptr) {
        notifier->linkDown(nullptr, context);
      }
    }
  }
  if (proto_ != kNoProto && stream_ && !createNow) {
    traceLine("AddLeaf - linkUp: %p.", static_cast<void*>(notifier));
    if (notifier != nullptr) {
      notifier->linkUp(stream_.get(), context);
    }
  }
  auto leaf = std::make_unique<Leaf>(Leaf{cookie, notifier, context});
  const auto existing = findLeaf(cookie);
  if (existing != leaves_.end()) {
    *existing = std::move(leaf);
  } else {
    leaves_.push_back(std::move(leaf));
  }
  traceLine("AddLeaf - notifier:%p size:%d.", static_cast<void*>(notifier),
            static_cast<int>(leaves_.size()));
  if (leafCount != nullptr) {
    *leafCount = static_cast<int>(leaves_.size());
  }
  return stream_.get();
}

bool ServerController::RemoveLeafLocked(uint32_t cookie) {
  const auto it = findLeaf(cookie);
  if (it == leaves_.end()) {
    return false;
  }
  traceLine("RemoveLeafLocked - cookie:%u context:%p.", cookie, asPointer((*it)->context));
  leaves_.erase(it);
  return true;
}

int ServerController::removeLeaf(uint32_t cookie) {
  JAutoLock lock(mutex_);
  RemoveLeafLocked(cookie);
  if (leaves_.empty()) {
    destroyStream();
    linkState_ = kNeverLinked;
  }
  return static_cast<int>(leaves_.size());
}

void ServerController::setLeafContext(uint32_t cookie, uint32_t context) {
  JAutoLock lock(mutex_);
  const auto it = findLeaf(cookie);
  if (it != leaves_.end()) {
    (*it)->context = context;
  }
}

uint32_t ServerController::leafContext(uint32_t cookie) const {
  JAutoLock lock(mutex_);
  for (const auto& leaf : leaves_) {
    if (leaf->cookie == cookie) {
      return leaf->context;
    }
  }
  return 0;
}

size_t ServerController::leafCount() const {
  JAutoLock lock(mutex_);
  return leaves_.size();
}

bool ServerController::multicast() const {
  JAutoLock lock(mutex_);
  return multicast_;
}

ServerController::LinkState ServerController::linkState() const {
  JAutoLock lock(mutex_);
  return linkState_;
}

JStream* ServerController::currentStream() const {
  JAutoLock lock(mutex_);
  return stream_.get();
}

ServerController::VideoTuning ServerController::videoTuning() const {
  JAutoLock lock(mutex_);
  return videoTuning_;
}

// ---- link events ------------------------------------------------------------------

void ServerController::LinkUp() {
  JAutoLock lock(mutex_);
  if (proto_ == kNoProto) {
    for (const auto& leaf : leaves_) {
      if (leaf->notifier != nullptr) {
        leaf->notifier->linkUp(nullptr, leaf->context);
      }
    }
    return;
  }
  if (leaves_.empty()) {
    return;  // nobody wants the stream: the provider is not asked for one
  }
  try {
    createStream();
    traceLine("LinkUp - stream: %p.", static_cast<void*>(stream_.get()));
    linkState_ = kLinkUp;
    int index = 0;
    for (const auto& leaf : leaves_) {
      ++index;
      if (leaf->notifier != nullptr) {
        traceLine("LinkUp - #client:%d client_addr:%p context:%p.", index,
                  static_cast<void*>(leaf->notifier), asPointer(leaf->context));
        leaf->notifier->linkUp(stream_.get(), leaf->context);
      }
    }
  } catch (const JError& e) {
    logCaught(e);
  }
}

void ServerController::LinkDown(const JError* error) {
  JAutoLock lock(mutex_);
  traceLine("LinkDown - stream: %p.", static_cast<void*>(stream_.get()));
  linkState_ = kLinkDown;
  int index = 0;
  for (size_t i = 0; i < leaves_.size();) {
    ++index;
    Leaf& leaf = *leaves_[i];
    if (leaf.notifier != nullptr) {
      traceLine("LinkDown - client: %d %p.", index, static_cast<void*>(leaf.notifier));
      if (!leaf.notifier->linkDown(error, leaf.context)) {
        leaves_.erase(leaves_.begin() + static_cast<std::ptrdiff_t>(i));
        continue;
      }
    }
    ++i;
  }
  if (destroyOnLinkDown_) {
    destroyStream();
  }
}

// ---- the receiver -----------------------------------------------------------------

std::string ServerController::localHostText() const {
  JInetAddr local;
  std::string text =
      connectionLocalAddress(local) ? local.text() : JInetAddr::fromInterface(1).text();
  const size_t colon = text.find(':');
  if (colon != std::string::npos) {
    text.erase(colon);
  }
  return text;
}

std::unique_ptr<JSocket> ServerController::openUdpChannel(JParams& reply) {
  auto socket = std::make_unique<JUDPSocket>(traceMask());
  socket->bindEphemeral();
  socket->setReceiveBufferSize(kReceiveBufferSize);
  JParams request;
  request.set("port", static_cast<int32_t>(socket->localAddress().port()));
  request.set("ip", localHostText());
  reply = call("addUDPClient", request.toString(), timeout_);
  return socket;
}

std::unique_ptr<JSocket> ServerController::openSvcChannel(JParams&) {
  // This platform has no ATM socket layer: the listening socket cannot be
  // made, and fails as the system's socket call does for an address family
  // it does not know. Nothing is asked of the provider.
  throwSocketError(EAFNOSUPPORT, "socket");
}

std::unique_ptr<JSocket> ServerController::openIpmChannel(JParams& reply) {
  reply = call("addIPMClient", kNop, timeout_);
  std::string ip;
  int32_t port = 0;
  reply.get("ip", ip, true);
  reply.get("port", port, true);
  traceLine("Creating IPM receive socket.");
  // The group is joined on the interface the provider is reached through.
  JInetAddr local;
  connectionLocalAddress(local);
  auto socket =
      std::make_unique<JIPMulticastSocket>(JInetAddr(ip, static_cast<uint16_t>(port)), false, true,
                                           JInetAddr(local.address(), 0), traceMask());
  socket->setReceiveBufferSize(kReceiveBufferSize);
  traceLine("IPM socket created.");
  multicast_ = true;
  return socket;
}

void ServerController::createStream() {
  if (stream_) {
    return;
  }
  traceLine("Creating stream.");
  JParams reply;
  std::unique_ptr<JSocket> socket;
  switch (proto_) {
    case kUdp:
      socket = openUdpChannel(reply);
      break;
    case kSvc:
      socket = openSvcChannel(reply);
      break;
    case kIpm:
      socket = openIpmChannel(reply);
      break;
    default:
      throw JTextError("invalid protocol");
  }
  traceLine("Getting stream info.");
  std::vector<uint8_t> bytes;
  reply.get("StreamInfo", bytes, true);
  std::unique_ptr<StreamInfo> info = StreamInfo::fromBytes(bytes);
  switch (info->type()) {
    case StreamInfo::kAudio:
      createAudioReceiver(std::move(socket), std::move(info), senderHost());
      break;
    case StreamInfo::kVideo:
      createVideoReceiver(std::move(socket), std::move(info), reply);
      break;
    default:
      throw JTextError("invalid stream info type");
  }
}

// Whom the receiver takes the datagrams from. A UDP channel is sent by the
// host this RPC connection reaches, the provider or a relay that proxies
// the connection and the channel alike; the port is the sender's own
// choice. An IP multicast provider sends to the group from the interface
// its configuration names, not necessarily the address reached here: the
// receiver takes the sender of the channel's first valid packet (the
// any-address).
JInetAddr ServerController::senderHost() const {
  if (proto_ != kUdp) {
    return JInetAddr();
  }
  try {
    return JInetAddr(host(), 0);  // as the RPC connection resolved it
  } catch (const JError& e) {
    logCaught(e);
    return JInetAddr();
  }
}

void ServerController::createAudioReceiver(std::unique_ptr<JSocket> socket,
                                           std::unique_ptr<StreamInfo> info,
                                           const JInetAddr& sender) {
  traceLine("Creatint NetMike2.");
  // PCM frames stand alone; coded frames depend on the ones before them and
  // want a deeper queue.
  const bool pcm = info->formatTag() == StreamInfo::kFormatPcm;
  auto mike =
      std::make_unique<NetMike2>(std::move(socket), std::move(info), this, traceName(), sender);
  int queue = pcm ? kDefaultQueue : kDefaultTemporalQueue;
  if (settingsKey().getDword(pcm ? "AudioQueue" : "AudioTemporalQueue", queue)) {
    traceLine("Setting queue size from registry: %d.", queue);
  }
  const std::string command = jformat("JStream.queue=%d", queue);
  char answer[16];
  if (mike->control(command.c_str(), answer, sizeof answer) != VideoCtl::kDone) {
    JLog::logTraceable(kLevelWarning, this, "Receiver refused queue size %d.", queue);
  }
  stream_ = std::move(mike);
}

void ServerController::createVideoReceiver(std::unique_ptr<JSocket> socket,
                                           std::unique_ptr<StreamInfo> info, const JParams& reply) {
  traceLine("Creating %s NetCam.", multicast_ ? "Multicast" : "Unicast");
  // One receiver serves every video format this system knows, whatever
  // videoOption says; a format it does not know has no receiver.
  const uint32_t format = info->content();
  if (format < StreamInfo::kYuy2 || format > StreamInfo::kDwt3d) {
    throw JTextError("invalid video format");
  }
  // Only an ATM multicast leaf waits for the disconnection packet naming it;
  // IP multicast sends none and is closed like a unicast channel.
  const bool atmMulticast = multicast_ && proto_ == kSvc;
  const std::span<const uint8_t> description = info->bytes();
  auto cam = std::make_unique<NetCam>(std::move(socket), description.data(), description.size(),
                                      this, atmMulticast, traceMask(), traceName() + "::NetCam");
  const bool own = format == kOwnVideoFormat;
  uint32_t queue = own ? kDefaultQueue : kDefaultTemporalQueue;
  if (settingsKey().getDword(own ? "Queue" : "TemporalQueue", queue)) {
    JLog::logTraceable(
        kLevelDebug, this,
        own ? "%p createStream() - setting queue from registry (Queue): %u\n"
            : "%p createStream() - setting queue from registry (TemporalQueue): %u\n",
        static_cast<void*>(this), queue);
  }
  const std::string command = jformat("JStream.queue=%u", queue);
  char answer[16];
  if (cam->control(command.c_str(), answer, sizeof answer) != VideoCtl::kDone) {
    JLog::logTraceable(kLevelWarning, this, "Receiver refused queue size %u.", queue);
  }
  VideoTuning tuning;
  reply.get("Quality", tuning.quality, false);
  reply.get("MaxFrameSize", tuning.maxFrameSize, false);
  reply.get("Skip", tuning.skip, false);
  videoTuning_ = tuning;
  stream_ = std::move(cam);
}

void ServerController::destroyStream() {
  traceLine("Destroying netcam.");
  // UDP and IP multicast channels need no word to the provider: it drops
  // them when this RPC connection closes. ATM channels, which would need a
  // teardown request, cannot be made on this platform.
  stream_.reset();
}

// ---- RPC pass-throughs -----------------------------------------------------------

void ServerController::setParams(const JParams& params) {
  call("setParams", params.toString(), timeout_);
}

JParams ServerController::getRawParams() {
  return call("getRawParams", kNop, timeout_);
}

JParams ServerController::getParams() {
  return call("getParams", kNop, timeout_);
}

JParams ServerController::getStat() {
  return call("getStat", kNop, timeout_);
}

}  // namespace zq
