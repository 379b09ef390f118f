// The bit-rate table, the frame geometry and the header parser.
#include "audio/mp3.h"

#include <array>

namespace zq {
namespace {

constexpr std::array<Mp3BitRate, 13> kBitRates = {{
    {24000, 22050, 1, 2},
    {32000, 22050, 2, 2},
    {40000, 22050, 2, 2},
    {48000, 22050, 2, 2},
    {56000, 22050, 2, 2},
    {64000, 22050, 2, 2},
    {80000, 44100, 2, 1},
    {96000, 44100, 2, 1},
    {112000, 44100, 2, 1},
    {128000, 44100, 2, 1},
    {144000, 44100, 2, 1},
    {160000, 44100, 2, 1},
    {176000, 44100, 2, 1},
}};

// kbit/s by bit-rate index; index 15 is reserved.
constexpr std::array<uint32_t, 15> kMpeg1Kbps = {0,   32,  40,  48,  56,  64,  80, 96,
                                                 112, 128, 160, 192, 224, 256, 320};
constexpr std::array<uint32_t, 15> kMpeg2Kbps = {0,  8,  16, 24,  32,  40,  48, 56,
                                                 64, 80, 96, 112, 128, 144, 160};

constexpr std::array<uint32_t, 3> kMpeg1Rates = {44100, 48000, 32000};
constexpr std::array<uint32_t, 3> kMpeg2Rates = {22050, 24000, 16000};
constexpr std::array<uint32_t, 3> kMpeg25Rates = {11025, 12000, 8000};

}  // namespace

JMP3::~JMP3() = default;

size_t bitRateCount() {
  return kBitRates.size();
}

const Mp3BitRate* bitRateRow(size_t index) {
  return index < kBitRates.size() ? &kBitRates[index] : nullptr;
}

const Mp3BitRate* findBitRate(uint32_t bitRate) {
  for (const Mp3BitRate& row : kBitRates) {
    if (row.bitRate == bitRate) {
      return &row;
    }
  }
  return nullptr;
}

bool lookupBitRate(uint32_t bitRate, uint32_t* sampleRate, uint32_t* channels, int* mpegVersion) {
  const Mp3BitRate* row = findBitRate(bitRate);
  if (row == nullptr) {
    return false;
  }
  if (sampleRate != nullptr) {
    *sampleRate = row->sampleRate;
  }
  if (channels != nullptr) {
    *channels = row->channels;
  }
  if (mpegVersion != nullptr) {
    *mpegVersion = row->mpegVersion;
  }
  return true;
}

void frameGeometry(uint32_t sampleRate, uint32_t bitRate, int mpegVersion,
                   uint32_t* samplesPerFrame, uint32_t* frameSize) {
  const bool mpeg1 = mpegVersion == 1;
  const uint64_t factor = mpeg1 ? 144 : 72;
  if (samplesPerFrame != nullptr) {
    *samplesPerFrame = mpeg1 ? 1152 : 576;
  }
  if (frameSize != nullptr) {
    *frameSize = sampleRate == 0 ? 0 : static_cast<uint32_t>(factor * bitRate / sampleRate);
  }
}

bool parseFrameHeader(const uint8_t* header4, uint32_t* bitRate, int* mpegVersion,
                      uint32_t* sampleRate, uint32_t* channels, bool* padding, bool* isProtected) {
  const uint32_t h = (uint32_t{header4[0]} << 24) | (uint32_t{header4[1]} << 16) |
                     (uint32_t{header4[2]} << 8) | uint32_t{header4[3]};
  const uint32_t sync = h >> 21;
  const uint32_t versionBits = (h >> 19) & 3;
  const uint32_t layerBits = (h >> 17) & 3;
  const uint32_t rateIndex = (h >> 12) & 15;
  const uint32_t sampleIndex = (h >> 10) & 3;
  if (sync != 0x7FF || versionBits == 1 || layerBits != 1 || rateIndex == 15 ||
      sampleIndex == 3) {
    return false;
  }
  const int version = versionBits == 3 ? 1 : versionBits == 2 ? 2 : 3;
  if (bitRate != nullptr) {
    *bitRate = 1000 * (version == 1 ? kMpeg1Kbps[rateIndex] : kMpeg2Kbps[rateIndex]);
  }
  if (mpegVersion != nullptr) {
    *mpegVersion = version;
  }
  if (sampleRate != nullptr) {
    *sampleRate = version == 1   ? kMpeg1Rates[sampleIndex]
                  : version == 2 ? kMpeg2Rates[sampleIndex]
                                 : kMpeg25Rates[sampleIndex];
  }
  if (channels != nullptr) {
    *channels = ((h >> 6) & 3) == 3 ? 1 : 2;
  }
  if (padding != nullptr) {
    *padding = ((h >> 9) & 1) != 0;
  }
  if (isProtected != nullptr) {
    *isProtected = ((h >> 16) & 1) == 0;
  }
  return true;
}

int bitRateIndex(uint32_t bitRate, int mpegVersion) {
  const auto& table = mpegVersion == 1 ? kMpeg1Kbps : kMpeg2Kbps;
  for (size_t i = 1; i < table.size(); ++i) {
    if (table[i] * 1000 == bitRate) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

}  // namespace zq
