// MikeDesc: defaults, the sharing rule, the trace name and the travelling form.
#include "media/mike_desc.h"

#include <algorithm>

#include "base/error.h"
#include "base/format.h"
#include "media/server_controller.h"

namespace zq {

namespace {

struct TypeName {
  const char* lower;
  const char* upper;
};
constexpr TypeName kTypeNames[] = {
    {"local", "LOCAL"}, {"network", "NETWORK"}, {"file", "FILE"}, {"soft", "SOFT"}};

constexpr const char* kConnectorNames[] = {"WAVEIN_LINEIN", "WAVEIN_MICIN", "PCI2_LINEIN",
                                           "PCI2_MICIN", "PCI2_SPDIFIN"};

}  // namespace

MikeDesc::MikeDesc() : JRPCObject("SharedMike::MikeDesc") {}

MikeDesc::MikeDesc(const MikeDesc& other) : JRPCObject(other) {
  *this = other;
}

MikeDesc& MikeDesc::operator=(const MikeDesc& other) {
  if (this == &other) {
    return *this;
  }
  type = other.type;
  host = other.host;
  proto = other.proto;
  port = other.port;
  timeout = other.timeout;
  accessMode = other.accessMode;
  compression = other.compression;
  inputConnector = other.inputConnector;
  audioClass = other.audioClass;
  channel = other.channel;
  boardFlag1 = other.boardFlag1;
  boardFlag2 = other.boardFlag2;
  preAmplificationGain = other.preAmplificationGain;
  fileName = other.fileName;
  playPosition = other.playPosition;
  playOffset = other.playOffset;
  playLength = other.playLength;
  looping = other.looping;
  finishedEvent = other.finishedEvent;
  frames = other.frames;
  period = other.period;
  streamInfo_ = other.streamInfo_ ? std::make_unique<StreamInfo>(*other.streamInfo_) : nullptr;
  targetBitRate_ = other.targetBitRate_;
  samplesPerSec_ = other.samplesPerSec_;
  bitsPerSample_ = other.bitsPerSample_;
  channels_ = other.channels_;
  samplesPerBlock_ = other.samplesPerBlock_;
  volume_ = other.volume_;
  return *this;
}

MikeDesc::~MikeDesc() = default;

void MikeDesc::reset() {
  *this = MikeDesc();
}

int32_t MikeDesc::parseType(std::string_view text) {
  for (size_t i = 0; i < std::size(kTypeNames); ++i) {
    if (text == kTypeNames[i].lower) {
      return static_cast<int32_t>(i);
    }
  }
  return kNone;
}

const char* MikeDesc::typeText(int32_t value, bool upperCase) {
  if (value < 0 || value >= static_cast<int32_t>(std::size(kTypeNames))) {
    return "";
  }
  return upperCase ? kTypeNames[value].upper : kTypeNames[value].lower;
}

const char* MikeDesc::connectorText(int32_t connector) {
  if (connector < 0 || connector >= static_cast<int32_t>(std::size(kConnectorNames))) {
    return "";
  }
  return kConnectorNames[connector];
}

bool MikeDesc::equals(const MikeDesc& requested) const {
  if (type != requested.type) {
    return false;
  }
  switch (type) {
    case kNone:
      return true;
    case kLocal: {
      if (channel != requested.channel) {
        return false;
      }
      const int32_t mine = inputConnector;
      const int32_t theirs = requested.inputConnector;
      if (isSoundCardConnector(mine) && isSoundCardConnector(theirs)) {
        return true;
      }
      if (isBoardConnector(mine) && isBoardConnector(theirs)) {
        return true;
      }
      return theirs == kNoConnector && mine != kNoConnector;
    }
    case kNetwork:
      return host == requested.host && port == requested.port && proto == requested.proto;
    case kFile:
      return fileName == requested.fileName;
    case kSoft:
      return frames == requested.frames && period == requested.period;
    default:
      return false;
  }
}

std::string MikeDesc::traceName() const {
  std::string where;
  switch (type) {
    case kLocal:
      where = jformat("pci://%d", channel);
      break;
    case kNetwork: {
      const char* name = ServerController::protoName(proto);
      where = jformat("%s://%s:%d", name != nullptr ? name : "", host.c_str(), port);
      break;
    }
    case kFile:
      where = "file://" + fileName;
      break;
    case kSoft:
      where = "SOFT";
      break;
    default:
      break;
  }
  return "Audio Source[" + where + "]";
}

void MikeDesc::serialise(JRPCSerialisation& out) const {
  if (type != kLocal && type != kNetwork && type != kFile) {
    throw JTextError("cannot serialise, invalid type");
  }
  out.serialise("type", type);
  switch (type) {
    case kLocal:
      out.serialise("board", channel);
      break;
    case kNetwork:
      out.serialise("host", std::string_view(host));
      out.serialise("proto", proto);
      out.serialise(kPortKey, port);
      out.serialise("timeout", timeout);
      break;
    default:
      out.serialise("filename", std::string_view(fileName));
      break;
  }
}

void MikeDesc::deserialise(JRPCDeserialisation& in) {
  MikeDesc read;
  in.deserialise("type", read.type, true);
  switch (read.type) {
    case kLocal:
      in.deserialise("board", read.channel, true);
      break;
    case kNetwork:
      in.deserialise("host", read.host, true);
      in.deserialise("proto", read.proto, true);
      in.deserialise(kPortKey, read.port, true);
      in.deserialise("timeout", read.timeout, true);
      break;
    case kFile:
      // The file names stay with the sender.
      break;
    default:
      throw JTextError("cannot deserialise, invalid type");
  }
  *this = read;
}

void MikeDesc::setStreamInfo(std::unique_ptr<StreamInfo> info) {
  if (!info) {
    throw JTextError("stream info null pointer");
  }
  streamInfo_ = std::move(info);
}

void MikeDesc::setStreamInfo(const StreamInfo* info) {
  if (info == nullptr) {
    throw JTextError("stream info null pointer");
  }
  streamInfo_ = std::make_unique<StreamInfo>(*info);
}

AudioFormat MikeDesc::getAudioFormat() const {
  if (!streamInfo_) {
    throw JTextError("invalid stream info pointer");
  }
  AudioFormat format;
  format.samplesPerSec = streamInfo_->samplesPerSecond();
  format.bitsPerSample = streamInfo_->bitsPerSample();
  format.channels = streamInfo_->channels();
  format.samplesPerBlock = streamInfo_->chunk();
  return format;
}

void MikeDesc::setTargetBitRate(int32_t bitRate) {
  targetBitRate_ = bitRate;
  compression = kMp3;
}

void MikeDesc::setSamplesPerSec(int32_t value) {
  samplesPerSec_ = value;
  compression = kPcm;
}

void MikeDesc::setBitsPerSample(int32_t value) {
  bitsPerSample_ = value;
  compression = kPcm;
}

void MikeDesc::setChannels(int32_t value) {
  channels_ = value;
  compression = kPcm;
}

void MikeDesc::setSamplesPerBlock(int32_t value) {
  samplesPerBlock_ = std::clamp(value, kMinSamplesPerBlock, kMaxSamplesPerBlock);
  compression = kPcm;
}

void MikeDesc::setVolume(int32_t value) {
  volume_ = std::clamp(value, 0, 100);
}

}  // namespace zq
