// SharedHardMike: starting and stopping a local capture for its users.
#include "media/shared_hard_mike.h"

#include <cstdlib>
#include <cstring>
#include <vector>

#include "base/format.h"
#include "stream/hard_mike.h"
#include "stream/winmm_mike.h"

namespace zq {

namespace {

constexpr const char* kLeftGain = "Quorvanta2.MAS3587.Left Amplifier Gain";
constexpr const char* kRightGain = "Quorvanta2.MAS3587.Right Amplifier Gain";
constexpr const char* kMicroGain = "Quorvanta2.MAS3587.Micro Amplifier Gain";

}  // namespace

SharedHardMike::SharedHardMike(const MikeDesc& desc, uint32_t debugFlags,
                               std::string_view traceName)
    : SharedMike(desc, debugFlags, traceName) {
  const int32_t connector = desc.inputConnector;
  if (connector < MikeDesc::kWaveInLineIn || connector > MikeDesc::kPci2SpdifIn) {
    throw JTextError("invlid connector type");
  }
  if (MikeDesc::isBoardConnector(connector)) {
    board_ = findCaptureBoard(desc.channel);
    if (!board_) {
      throw JTextError("no pci2 was found");
    }
  }
}

SharedHardMike::~SharedHardMike() {
  std::lock_guard usersLock(usersMutex_);
  stopCapture();
}

void SharedHardMike::open(int32_t& userId, LinkNotifier* callback, uint32_t context, uint32_t,
                          uint32_t, bool noCallback) {
  std::lock_guard usersLock(usersMutex_);
  const int32_t id = newUserId();
  if (users_.empty()) {
    startCapture();
  }
  addUserLocked(id, userId, User{callback, context}, noCallback);
}

int SharedHardMike::close(int32_t& userId) {
  std::lock_guard usersLock(usersMutex_);
  const int left = removeUserLocked(userId);
  if (left == 0) {
    stopCapture();
  }
  return left;
}

void SharedHardMike::startCapture() {
  std::lock_guard streamLock(streamMutex_);
  stream_ = nullptr;
  capture_.reset();
  const int32_t connector = desc_.inputConnector;
  const std::string name = traceName();
  if (MikeDesc::isSoundCardConnector(connector)) {
    if (desc_.compression == MikeDesc::kPcm) {
      AudioFormat format;
      format.samplesPerSec = static_cast<uint32_t>(desc_.samplesPerSec());
      format.bitsPerSample = static_cast<uint32_t>(desc_.bitsPerSample());
      format.channels = static_cast<uint32_t>(desc_.channels());
      format.samplesPerBlock = static_cast<uint32_t>(desc_.samplesPerBlock());
      capture_ = std::make_unique<WinmmMike>(format, desc_.channel, name);
    } else if (desc_.compression == MikeDesc::kMp3) {
      capture_ = std::make_unique<WinmmMike>(
          desc_.channel, static_cast<uint32_t>(desc_.targetBitRate()), 0, 0, false, name);
    } else {
      throw JTextError("invalid compression mode");
    }
  } else if (MikeDesc::isBoardConnector(connector)) {
    if (desc_.compression != MikeDesc::kMp3) {
      throw JTextError("invalid compression mode");
    }
    if (connector == MikeDesc::kPci2LineIn) {
      board_->selectInput(CaptureBoard::kLineInput);
      sendGain(kLeftGain, desc_.preAmplificationGain);
      sendGain(kRightGain, desc_.preAmplificationGain);
    } else if (connector == MikeDesc::kPci2MicIn) {
      board_->selectInput(CaptureBoard::kMicrophoneInput);
      sendGain(kMicroGain, desc_.preAmplificationGain);
    }
    capture_ =
        std::make_unique<HardMike>(board_, static_cast<uint32_t>(desc_.targetBitRate()), name);
  } else {
    throw JTextError("invalid connector");
  }
  desc_.setStreamInfo(capture_->copyStreamInfo());
  stream_ = capture_.get();
}

void SharedHardMike::stopCapture() {
  std::lock_guard streamLock(streamMutex_);
  stream_ = nullptr;
  capture_.reset();
}

void SharedHardMike::sendGain(const char* registerName, int32_t gain) {
  const std::string command = jformat("%s=%d", registerName, gain);
  std::vector<char> reply(kGainReplySize, '\0');
  board_->control(command.c_str(), reply.data(), reply.size());
}

std::string SharedHardMike::control(std::string_view command) {
  if (!board_) {
    return {};
  }
  const std::string text(command);
  std::vector<char> reply(kControlReplySize, '\0');
  board_->control(text.c_str(), reply.data(), reply.size());
  for (const char* name : {kLeftGain, kRightGain, kMicroGain}) {
    if (text.find(name) == std::string::npos) {
      continue;
    }
    const size_t equals = text.find('=');
    if (equals != std::string::npos) {
      std::lock_guard streamLock(streamMutex_);
      desc_.preAmplificationGain = static_cast<int32_t>(std::atoi(text.c_str() + equals + 1));
    }
    break;
  }
  reply.back() = '\0';
  return std::string(reply.data());
}

void SharedHardMike::update(const MikeDesc&) {
  // A description with accessMode 0 or 1 would have the capture restarted
  // with the new coding; none is ever made, so the running one stays.
}

}  // namespace zq
