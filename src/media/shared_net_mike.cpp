// SharedNetMike: the controller's life follows the users.
#include "media/shared_net_mike.h"

namespace zq {

SharedNetMike::SharedNetMike(const MikeDesc& desc, uint32_t debugFlags, std::string_view traceName)
    : SharedMike(desc, debugFlags, traceName) {}

SharedNetMike::~SharedNetMike() {
  std::lock_guard usersLock(usersMutex_);
  dropController();
}

std::string SharedNetMike::controllerName(const MikeDesc& desc) {
  const char* proto = ServerController::protoName(desc.proto);
  return "ServerController[" + std::string(proto != nullptr ? proto : "") + "://" + desc.host +
         ":" + std::to_string(desc.port) + "]";
}

void SharedNetMike::open(int32_t& userId, LinkNotifier* callback, uint32_t context,
                         uint32_t persistent, uint32_t synchronous, bool noCallback) {
  std::lock_guard usersLock(usersMutex_);
  const int32_t id = newUserId();
  std::lock_guard controllerLock(controllerMutex_);
  if (!controller_) {
    const MikeDesc desc = getDesc();
    const bool now = synchronous != 0;
    auto controller = std::make_unique<ServerController>(
        desc.host, desc.port, desc.proto, desc.timeout, persistent != 0, now, now, false, true,
        kPingPeriod, &mask_, controllerName(desc));
    if (now) {
      // Connected (or thrown, unless persistent): the stream is made here
      // and its errors are the caller's. The source then becomes the
      // notified leaf, so that it takes the stream under the controller's
      // mutex: a link that went down meanwhile has already taken it back.
      controller->AddLeaf(kOwnCookie, nullptr, 0, true);
      controller->AddLeaf(kOwnCookie, this, 0, false);
    } else {
      // The source must be a leaf before the supervisor's first link event,
      // or a link that comes up would ask for no stream.
      controller->AddLeaf(kOwnCookie, this, 0, false);
      controller->start();
    }
    controller_ = std::move(controller);
  }
  // A user without a callback is still a leaf (the controller keeps the
  // stream while it has leaves) but hears nothing.
  controller_->AddLeaf(static_cast<uint32_t>(id), noCallback ? nullptr : callback, context, false);
  users_.emplace(id, User{callback, context});
  userId = id;
}

int SharedNetMike::close(int32_t& userId) {
  std::lock_guard usersLock(usersMutex_);
  users_.erase(userId);
  {
    std::lock_guard controllerLock(controllerMutex_);
    if (controller_ && controller_->removeLeaf(static_cast<uint32_t>(userId)) <= 1) {
      dropController();
    }
  }
  userId = -1;
  return static_cast<int>(users_.size());
}

void SharedNetMike::dropController() {
  // The controller's destructor stops its supervisor, which may be calling
  // linkUp/linkDown: streamMutex_ must not be held here.
  std::unique_ptr<ServerController> gone = std::move(controller_);
  gone.reset();
  std::lock_guard streamLock(streamMutex_);
  stream_ = nullptr;
}

bool SharedNetMike::isOpen() const {
  std::lock_guard controllerLock(controllerMutex_);
  if (!controller_ || !controller_->isConnected()) {
    return false;
  }
  std::lock_guard streamLock(streamMutex_);
  return stream_ != nullptr;
}

void SharedNetMike::setUserContext(int32_t userId, uint32_t context) {
  std::lock_guard controllerLock(controllerMutex_);
  if (controller_) {
    controller_->setLeafContext(static_cast<uint32_t>(userId), context);
  }
}

uint32_t SharedNetMike::getUserContext(int32_t userId) const {
  std::lock_guard controllerLock(controllerMutex_);
  return controller_ ? controller_->leafContext(static_cast<uint32_t>(userId)) : 0;
}

bool SharedNetMike::linkDown(const JError*, uint32_t) {
  std::lock_guard streamLock(streamMutex_);
  stream_ = nullptr;
  return true;
}

void SharedNetMike::linkUp(JStream* stream, uint32_t) {
  std::lock_guard streamLock(streamMutex_);
  stream_ = stream;
  if (stream != nullptr) {
    if (auto info = stream->copyStreamInfo()) {
      desc_.setStreamInfo(std::move(info));
    }
  }
}

}  // namespace zq
