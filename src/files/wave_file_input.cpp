// WAVE files (wave_file_input.h). The header walk is the audio layer's; this
// file adds what reading in blocks needs and refuses what it cannot play.
#include "files/wave_file_input.h"

#include <algorithm>
#include <cstring>

#include "audio/pcm_format.h"
#include "base/error.h"
#include "base/format.h"

namespace zq {

namespace {

// 25 ms blocks.
constexpr uint32_t kBlocksPerSecond = 40;
constexpr uint32_t kPcmExtendedFormatSize = 18;

[[noreturn]] void invalid() {
  throw JTextError("invalid wave format");
}

// The description of a coded format: the wave format as the file states it,
// its extra bytes after it, in blocks of `blockSamples`. No content of this
// system's own fits it: receivers know it by its format tag.
std::unique_ptr<StreamInfo> codedStreamInfo(const WaveStreamHeader& h, uint32_t blockSamples) {
  const WaveFormat& f = h.format;
  std::vector<uint8_t> bytes(StreamInfo::kPcmInfoSize + h.formatExtra.size(), 0);
  const auto put = [&bytes](size_t at, uint32_t value, size_t size) {
    for (size_t i = 0; i < size; ++i) {
      bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
    }
  };
  put(0, StreamInfo::kAudio, 4);
  put(4, StreamInfo::kCompressed, 4);
  put(8, 0, 4);
  put(12, static_cast<uint32_t>(bytes.size()), 4);
  put(16, blockSamples, 4);
  put(20, f.formatTag, 2);
  put(22, f.channels, 2);
  put(24, f.samplesPerSec, 4);
  put(28, f.avgBytesPerSec, 4);
  put(32, f.blockAlign, 2);
  put(34, f.bitsPerSample, 2);
  put(36, static_cast<uint32_t>(h.formatExtra.size()), 2);
  std::copy(h.formatExtra.begin(), h.formatExtra.end(), bytes.begin() + 38);
  return StreamInfo::fromBytes(bytes);
}

}  // namespace

WaveFileDescription describeWaveFile(const JFileHandle& file) {
  WaveFileDescription d;
  WaveStreamHeader& h = d.header;
  const WaveByteReader reader = [&file](uint64_t offset, std::span<uint8_t> out) {
    return file.readAt(offset, out);
  };
  if (readWaveStreamHeader(reader, h) != WaveFileProblem::kNone) {
    invalid();
  }
  const WaveFormat& f = h.format;
  const bool pcm = f.formatTag == kWaveFormatPcm;
  if (pcm && h.formatChunkSize == kPcmExtendedFormatSize && h.formatExtraSize != 0) {
    invalid();
  }
  // A coded format is described with its extra bytes, which must be there.
  if (!pcm &&
      h.formatExtraSize > h.formatChunkSize - std::min(h.formatChunkSize, kPcmExtendedFormatSize)) {
    invalid();
  }
  const uint32_t blockSamples = f.samplesPerSec / kBlocksPerSecond;
  std::string problem = pcm ? pcmFormatProblem(f.samplesPerSec, f.bitsPerSample, f.channels,
                                               f.blockAlign, blockSamples)
                            : codedFormatProblem(f.samplesPerSec, f.channels, f.blockAlign,
                                                 f.avgBytesPerSec, blockSamples);
  if (problem.empty() && !pcm && h.formatExtraSize > WaveStreamHeader::kMaxExtraBytes) {
    problem = jformat("%u extra format bytes", h.formatExtraSize);
  }
  if (!problem.empty()) {
    // Refused before anything is sized from the format.
    throw JTextError("unsupported wave format: " + problem);
  }
  d.blockSize = f.blockAlign * blockSamples;

  FileDescription::Setup s;
  // PCM states its byte rate from the samples, whatever the file says; a
  // coded format's is its own.
  const uint32_t bytesPerSecond = pcm ? f.blockAlign * f.samplesPerSec : f.avgBytesPerSec;
  s.streamInfo = pcm ? StreamInfo::makePcmStreamInfo(f.samplesPerSec, f.bitsPerSample, f.channels,
                                                     blockSamples)
                     : codedStreamInfo(h, blockSamples);
  s.durationNumerator = uint64_t{d.blockSize} * 1000;
  s.durationDenominator = bytesPerSecond;
  const uint64_t fileSize = file.size();
  const uint64_t held = fileSize > h.dataOffset ? fileSize - h.dataOffset : 0;
  if (h.dataSize == 0) {
    s.growing = true;
  } else {
    // A chunk that claims more than the file holds is read as far as it goes.
    s.dataSize = std::min<uint64_t>(h.dataSize, held);
    s.dataSize -= s.dataSize % f.blockAlign;
  }
  s.frameCount = static_cast<int64_t>((s.dataSize + d.blockSize - 1) / d.blockSize);
  s.endTime = static_cast<int64_t>(s.dataSize * 1000000 / bytesPerSecond);
  d.description = std::make_shared<FileDescription>(std::move(s));
  return d;
}

WAVEFileInfo::WAVEFileInfo(const std::string& fileName, const JFileHandle& file)
    : WAVEFileInfo(fileName, describeWaveFile(file)) {}

WAVEFileInfo::WAVEFileInfo(const std::string& fileName, WaveFileDescription described)
    : FileInfo(fileName, std::move(described.description)),
      header_(described.header),
      blockSize_(described.blockSize) {}

std::unique_ptr<FileInput> WAVEFileInfo::openInput() {
  std::lock_guard lock(lock_);
  return std::make_unique<WAVEInput>(*this, openForInput());
}

WAVEInput::WAVEInput(WAVEFileInfo& info, JFileHandle file)
    : FileInput(info, std::move(file)),
      dataOffset_(info.dataOffset()),
      blockSize_(info.blockSize()),
      silence_(info.silence()) {}

int WAVEInput::nextFrame(bool* got, uint32_t* size, int64_t* time, bool* syncPoint) {
  int result = kFrame;
  int64_t next = frame_ + 1;
  if (next >= description_->frameCount() && description_->growing()) {
    const uint64_t fileSize = file_.size();
    if (fileSize >= dataOffset_ && fileSize - dataOffset_ >= uint64_t(next + 1) * blockSize_) {
      description_->growByOneBlock(next, blockSize_);
    }
  }
  if (next >= description_->frameCount()) {
    if (!looping_ || description_->frameCount() == 0) {
      if (got != nullptr)
        *got = false;
      return looping_ ? kNothingAfterLoop : kEnd;
    }
    next = 0;
    result = kLooped;
  }
  frame_ = next;
  if (got != nullptr)
    *got = true;
  if (size != nullptr)
    *size = blockSize_;
  if (time != nullptr)
    *time = description_->frameTime(frame_);
  if (syncPoint != nullptr)
    *syncPoint = true;
  return result;
}

uint32_t WAVEInput::read(uint8_t* buffer, uint32_t length) {
  if (frame_ < 0) {
    return 0;
  }
  const uint32_t n = std::min(length, blockSize_);
  const uint64_t start = uint64_t(frame_) * blockSize_;
  const uint64_t dataSize = description_->dataSize();
  const uint64_t inData = start < dataSize ? std::min<uint64_t>(n, dataSize - start) : 0;
  const size_t got =
      inData == 0 ? 0 : file_.readAt(dataOffset_ + start, std::span<uint8_t>(buffer, inData));
  std::memset(buffer + got, silence_, n - got);
  return n;
}

}  // namespace zq
