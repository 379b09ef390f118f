// SharedMike: the registry of shared sources, user ids and what every kind of
// source has in common.
#include "media/shared_mike.h"

#include <algorithm>
#include <vector>

#include "audio/mp3.h"
#include "base/registry_key.h"
#include "media/shared_file_mike.h"
#include "media/shared_hard_mike.h"
#include "media/shared_net_mike.h"
#include "media/shared_soft_mike.h"

namespace zq {

struct SharedMikeRegistry {
  static std::mutex& mutex() {
    static std::mutex m;
    return m;
  }
  // Owned: acquire hands them out, release deletes them.
  static std::vector<SharedMike*>& list() {
    static std::vector<SharedMike*> l;
    return l;
  }
};

namespace {

std::mutex userIdMutex;
uint32_t userIdCounter = 0;  // guarded by userIdMutex

uint32_t readDebugFlags() {
  uint32_t flags = 0;
  try {
    JSystemRegistryKey key(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quorvanta\\Surveillance Services",
                           KEY_READ);
    key.getDword("SharedMikeDebugFlags", flags);
  } catch (const JError&) {
    flags = 0;  // no settings: no tracing
  }
  return flags;
}

std::unique_ptr<SharedMike> create(const MikeDesc& desc) {
  const uint32_t flags = readDebugFlags();
  const std::string name = desc.traceName();
  switch (desc.type) {
    case MikeDesc::kLocal:
      return std::make_unique<SharedHardMike>(desc, flags, name);
    case MikeDesc::kNetwork:
      return std::make_unique<SharedNetMike>(desc, flags, name);
    case MikeDesc::kFile:
      return std::make_unique<SharedFileMike>(desc, flags, name);
    case MikeDesc::kSoft:
      return std::make_unique<SharedSoftMike>(desc, flags, name);
    default:
      throw JTextError("invalid mike type");
  }
}

}  // namespace

SharedMike* SharedMike::acquire(const MikeDesc& desc) {
  std::lock_guard registryLock(SharedMikeRegistry::mutex());
  auto& list = SharedMikeRegistry::list();
  SharedMike* found = nullptr;
  for (SharedMike* mike : list) {
    bool same;
    {
      std::lock_guard streamLock(mike->streamMutex_);
      same = mike->desc_.equals(desc);
    }
    if (same) {
      found = mike;
      break;
    }
  }
  if (found != nullptr) {
    found->update(desc);
  } else {
    std::unique_ptr<SharedMike> made = create(desc);
    list.push_back(made.get());
    found = made.release();  // owned by the registry from here
  }
  std::lock_guard useLock(found->useMutex_);
  ++found->useCount_;
  return found;
}

bool SharedMike::release(SharedMike* mike) {
  std::lock_guard registryLock(SharedMikeRegistry::mutex());
  auto& list = SharedMikeRegistry::list();
  const auto at = std::find(list.begin(), list.end(), mike);
  if (at == list.end()) {
    return false;
  }
  {
    std::lock_guard useLock(mike->useMutex_);
    if (--mike->useCount_ > 0) {
      return false;
    }
  }
  list.erase(at);
  delete mike;  // the registry's own
  return true;
}

size_t SharedMike::registeredCount() {
  std::lock_guard registryLock(SharedMikeRegistry::mutex());
  return SharedMikeRegistry::list().size();
}

std::unique_ptr<StreamInfo> SharedMike::makeMp3StreamInfo(uint32_t bitRate) {
  uint32_t sampleRate = 0;
  uint32_t channels = 0;
  if (!lookupBitRate(bitRate, &sampleRate, &channels, nullptr)) {
    throw JTextError("unsupported MP3 bitrate");
  }
  // The shared description states no block size: users take the frame
  // length from each frame's header.
  return StreamInfo::makeMp3StreamInfo(bitRate, sampleRate, static_cast<uint16_t>(channels), 0);
}

SharedMike::SharedMike(const MikeDesc& desc, uint32_t debugFlags, std::string_view traceName)
    : JTraceableObject(traceName), desc_(desc), mask_(debugFlags) {
  setTraceMask(&mask_);
}

SharedMike::~SharedMike() {
  setTraceMask(nullptr);
}

std::unique_ptr<StreamInfo> SharedMike::getStreamInfo() const {
  std::lock_guard lock(streamMutex_);
  if (stream_ != nullptr) {
    return stream_->copyStreamInfo();
  }
  return desc_.streamInfo() != nullptr ? std::make_unique<StreamInfo>(*desc_.streamInfo())
                                       : nullptr;
}

MikeDesc SharedMike::getDesc() const {
  std::lock_guard lock(streamMutex_);
  return desc_;
}

void SharedMike::update(const MikeDesc&) {}

bool SharedMike::isOpen() const {
  std::lock_guard lock(streamMutex_);
  return stream_ != nullptr;
}

std::string SharedMike::control(std::string_view) {
  return {};
}

void SharedMike::setUserContext(int32_t, uint32_t) {}

uint32_t SharedMike::getUserContext(int32_t) const {
  return 0;
}

JStream* SharedMike::stream() const {
  std::lock_guard lock(streamMutex_);
  return stream_;
}

size_t SharedMike::userCount() const {
  std::lock_guard lock(usersMutex_);
  return users_.size();
}

int SharedMike::useCount() const {
  std::lock_guard lock(useMutex_);
  return useCount_;
}

void SharedMike::storeError(const JError& error) {
  std::lock_guard lock(errorMutex_);
  error_ = error.clone();
}

std::unique_ptr<JSysError> SharedMike::lastError() const {
  std::lock_guard lock(errorMutex_);
  if (!error_) {
    return nullptr;
  }
  const auto* sys = dynamic_cast<const JSysError*>(error_.get());
  return std::make_unique<JSysError>(sys != nullptr ? sys->code() : 0, error_->message());
}

int32_t SharedMike::newUserId() {
  std::lock_guard lock(userIdMutex);
  return static_cast<int32_t>(++userIdCounter);
}

void SharedMike::tell(const User& user, JStream* stream) {
  if (user.notifier == nullptr) {
    return;
  }
  if (stream != nullptr) {
    user.notifier->linkUp(stream, user.context);
  } else {
    user.notifier->linkDown(nullptr, user.context);
  }
}

void SharedMike::addUserLocked(int32_t id, int32_t& userId, const User& user, bool noCallback) {
  users_.emplace(id, user);
  userId = id;
  if (!noCallback) {
    std::lock_guard streamLock(streamMutex_);
    tell(user, stream_);
  }
}

int SharedMike::removeUserLocked(int32_t& userId) {
  users_.erase(userId);
  userId = -1;
  return static_cast<int>(users_.size());
}

}  // namespace zq
