// WinmmMike: opening the wave-input device, the capture thread and closing.
#include "stream/winmm_mike.h"

#include <algorithm>
#include <string>

#include "audio/mp3.h"
#include "base/error.h"
#include "base/jtime.h"
#include "stream/stream_frame_header.h"
#include "stream/stream_table.h"
#include "stream/video_ctl.h"

namespace zq {

namespace {

constexpr int kMp3ThreadPriority = 2;  // highest

[[noreturn]] void throwWaveIn(uint32_t result, const char* function) {
  throw JSysError(result | JSysError::kWaveInTag, function);
}

void check(uint32_t result, const char* function) {
  if (result != kMmNoError) {
    throwWaveIn(result, function);
  }
}

WaveFormat pcmWaveFormat(uint32_t samplesPerSec, uint32_t bitsPerSample, uint32_t channels) {
  WaveFormat format{};
  format.formatTag = kWaveFormatPcm;
  format.channels = static_cast<uint16_t>(channels);
  format.samplesPerSec = samplesPerSec;
  format.blockAlign = static_cast<uint16_t>(channels * bitsPerSample / 8);
  format.avgBytesPerSec = format.blockAlign * samplesPerSec;
  format.bitsPerSample = static_cast<uint16_t>(bitsPerSample);
  format.extraSize = 0;
  return format;
}

// The capture period of an MP3 frame of `chunk` samples: the largest
// power-of-two part of it that lasts no more than kMaxPeriodMs, so that a
// frame is always a whole number of periods.
uint32_t mp3Period(uint32_t chunk, uint32_t sampleRate) {
  uint32_t period = chunk;
  while (period % 2 == 0 &&
         uint64_t{period} * 1000 > uint64_t{WinmmMike::kMaxPeriodMs} * sampleRate) {
    period /= 2;
  }
  return period;
}

}  // namespace

struct WinmmMike::Setup {
  WaveFormat format{};
  uint32_t chunk = 0;
  uint32_t period = 0;
  uint32_t first = 0;  // samples of the first capture buffer
  std::unique_ptr<JMP3Encoder> encoder;
  size_t captureBuffers() const {
    return size_t{kCaptureBuffers} * (period == 0 ? 1 : chunk / period);
  }
  std::unique_ptr<StreamInfo> info;
  size_t bufferSize = 0;
  int buffers = 0;
  int extra = 0;
};

WinmmMike::Setup WinmmMike::pcmSetup(const AudioFormat& audio) {
  Setup setup;
  setup.format = pcmWaveFormat(audio.samplesPerSec, audio.bitsPerSample, audio.channels);
  setup.chunk = audio.samplesPerBlock;
  setup.period = setup.chunk;
  setup.first = setup.chunk;
  setup.info =
      StreamInfo::makePcmStreamInfo(audio.samplesPerSec, static_cast<uint16_t>(audio.bitsPerSample),
                                    static_cast<uint16_t>(audio.channels), audio.samplesPerBlock);
  setup.bufferSize = size_t{setup.format.blockAlign} * setup.chunk + sizeof(StreamFrameHeader);
  setup.buffers = kPcmBuffers;
  setup.extra = kPcmExtraBuffers;
  return setup;
}

WinmmMike::Setup WinmmMike::mp3Setup(uint32_t bitRate, uint32_t sampleRate, uint32_t channels,
                                     bool reservoir) {
  if (sampleRate == 0 && channels == 0) {
    if (!lookupBitRate(bitRate, &sampleRate, &channels, nullptr)) {
      throw JTextError("unsupported MP3 bitrate");
    }
  } else if (channels == 0) {
    channels = 1;
  }
  Setup setup;
  setup.encoder = std::make_unique<JMP3Encoder>(bitRate, sampleRate, channels, reservoir);
  const JMP3Encoder& encoder = *setup.encoder;
  setup.format = pcmWaveFormat(encoder.sampleRate(), 16, encoder.channels());
  setup.chunk = encoder.samplesPerFrame();
  setup.period = mp3Period(setup.chunk, encoder.sampleRate());
  // The first buffer is cut so that every later one ends just where the
  // encoder's look-ahead lets a frame out: a period ending a few samples
  // short of it would hold the frame back a whole period.
  const uint32_t late = encoder.firstFrameAfter() % setup.period;
  setup.first = late == 0 ? setup.period : late;
  setup.info = StreamInfo::makeMp3StreamInfo(bitRate, encoder.sampleRate(),
                                             static_cast<uint16_t>(encoder.channels()),
                                             static_cast<uint16_t>(encoder.frameSize()));
  setup.bufferSize = kMp3BufferSize;
  setup.buffers = kMp3Buffers;
  setup.extra = kMp3ExtraBuffers;
  return setup;
}

WinmmMike::WinmmMike(const AudioFormat& format, int deviceNumber, std::string_view traceName)
    : WinmmMike(pcmSetup(format), deviceNumber, traceName) {}

WinmmMike::WinmmMike(int deviceNumber, uint32_t bitRate, uint32_t sampleRate, uint32_t channels,
                     bool reservoir, std::string_view traceName)
    : WinmmMike(mp3Setup(bitRate, sampleRate, channels, reservoir), deviceNumber, traceName) {}

WinmmMike::WinmmMike(Setup setup, int deviceNumber, std::string_view traceName)
    : Mike(setup.bufferSize, setup.buffers, false, setup.extra, kShareableStreamMemory, traceName),
      JThread("WinmmMike - on channel=" + std::to_string(deviceNumber)),
      format_(setup.format),
      chunk_(setup.chunk),
      period_(setup.period),
      firstPeriod_(setup.first),
      encoder_(std::move(setup.encoder)),
      // As many frames' worth of capture queued in either mode.
      headers_(std::make_unique<WaveHeader[]>(setup.captureBuffers())),
      entries_(setup.captureBuffers(), -1),
      mp3Blocks_(entries_.size()),
      prepared_(entries_.size(), false) {
  setStreamInfo(std::move(setup.info));
  try {
    openDevice(deviceNumber);
    start(mp3Mode() ? kMp3ThreadPriority : JThread::kTimeCritical);
  } catch (...) {
    // No object is left: give the device and the lent buffers back first.
    try {
      closeDevice();
    } catch (const JError& e) {
      logCaught(e);
    }
    throw;
  }
}

WinmmMike::~WinmmMike() {
  if (state() != 2 && threadId() != 0) {
    state_.store(1, std::memory_order_release);
    done_.set();
  }
  join();
  try {
    closeDevice();
  } catch (const JError& e) {
    logCaught(e);
  }
}

void WinmmMike::openDevice(int deviceNumber) {
  std::fill(entries_.begin(), entries_.end(), -1);
  // Device numbers count from 1; 0 asks for an index no list has.
  check(waveInOpen(&device_, static_cast<uint32_t>(deviceNumber - 1), format_, &done_, 0,
                   kCallbackEvent),
        "waveInOpen");
  for (int i = 0; i < buffers(); ++i) {
    WaveHeader& header = headers_[i];
    header.clear();
    if (mp3Mode()) {
      mp3Blocks_[i] = std::make_unique<uint8_t[]>(bufferBytes());
      header.data = mp3Blocks_[i].get();
      entries_[i] = -2;
    } else {
      entries_[i] = takeWriteEntry();
      if (entries_[i] < 0) {
        throw JTextError("Cannot get write buffer");
      }
      header.data = frameHeaderOf(entryBuffer(entries_[i]))->payload();
    }
    header.bufferLength = i == 0 ? format_.blockAlign * firstPeriod_ : bufferBytes();
    check(waveInPrepareHeader(device_, &header), "waveInPrepareHeader");
    prepared_[i] = true;
    check(waveInAddBuffer(device_, &header), "waveInAddBuffer");
  }
  check(waveInStart(device_), "waveInStart");
}

void WinmmMike::queueBuffer(WaveHeader& header) {
  uint8_t* const data = header.data;
  header.clear();
  header.data = data;
  header.bufferLength = bufferBytes();
  check(waveInPrepareHeader(device_, &header), "waveInPrepareHeader");
  check(waveInAddBuffer(device_, &header), "waveInAddBuffer");
}

void WinmmMike::run() {
  startUs_ = wallClockNow();
  try {
    captureLoop();
  } catch (...) {
    abortWrite();
    held_ = nullptr;
    state_.store(2, std::memory_order_release);
    throw;
  }
  abortWrite();
  held_ = nullptr;
  state_.store(2, std::memory_order_release);
}

void WinmmMike::captureLoop() {
  while (state_.load(std::memory_order_acquire) == 0) {
    int scanned = 0;
    while (scanned < buffers()) {
      const int slot = (nextBuffer_ + scanned) % buffers();
      WaveHeader& header = headers_[slot];
      if ((header.flags.load(std::memory_order_acquire) & kWaveHeaderDone) == 0) {
        break;
      }
      prepared_[slot] = false;
      check(waveInUnprepareHeader(device_, &header), "waveInUnprepareHeader");
      if (mp3Mode()) {
        encodePeriod(header);
      } else {
        publishBlock(slot);
      }
      queueBuffer(header);
      prepared_[slot] = true;
      ++scanned;
    }
    nextBuffer_ = (nextBuffer_ + scanned) % buffers();
    // A device that keeps time itself fills its next buffers in this thread
    // when due; any other sets the event from its own. Once the encoder
    // has given a frame, the next comes a whole chunk of samples later:
    // the periods before that one are filled with it, in one wake, and the
    // frame leaves when it did with a wake a period.
    bool filled = false;
    const uint32_t perChunk = chunk_ / period_;
    const uint32_t batch =
        mp3Mode() && sincePublished_ < perChunk ? perChunk - sincePublished_ : 1;
    check(waveInFillDue(device_, &filled, batch), "waveInFillDue");
    if (!filled) {
      done_.wait();
    }
  }
}

void WinmmMike::encodePeriod(WaveHeader& header) {
  // A period that crosses the end of a block is given in two parts: the
  // encoder takes a block at a time.
  const auto* samples = reinterpret_cast<const int16_t*>(header.data);
  uint32_t left = header.bytesRecorded / format_.blockAlign;
  bool out = false;
  while (left > 0) {
    const uint32_t part = std::min(left, encoder_->blockLeft());
    out = encodePart(samples, part) || out;
    samples += size_t{part} * format_.channels;
    left -= part;
  }
  if (out) {
    sincePublished_ = 0;
  } else if (sincePublished_ < chunk_) {
    // Nothing whole yet (or refused). Before the first frame, when it will
    // come is not known.
    ++sincePublished_;
  }
}

bool WinmmMike::encodePart(const int16_t* samples, uint32_t part) {
  if (held_ == nullptr) {
    held_ = getWriteBuffer();
  }
  const uint32_t n = counter_;
  const uint8_t tag[3] = {static_cast<uint8_t>(0x50 | ((n >> 16) & 0x0F)),
                          static_cast<uint8_t>((n >> 8) & 0xFF), static_cast<uint8_t>(n & 0xFF)};
  StreamFrameHeader* frame = frameHeaderOf(held_);
  const int length = encoder_->encodePart(samples, part, frame->payload(), sizeof tag, tag);
  if (length <= 0) {
    return false;  // the buffer waits for the next part
  }
  frame->size = static_cast<uint32_t>(length);
  frame->keyWord = ++counter_;
  // Stamped in microseconds like the PCM frames: the start of capture plus
  // the duration of the frames before this one.
  const int64_t offsetUs =
      int64_t{encoder_->samplesPerFrame()} * n * 1000000 / int64_t{encoder_->sampleRate()};
  frame->setTimeStamp(static_cast<uint64_t>(startUs_ + offsetUs));
  publish(0);
  held_ = nullptr;
  published_.fetch_add(1, std::memory_order_relaxed);
  return true;
}

void WinmmMike::publishBlock(int slot) {
  StreamFrameHeader* frame = frameHeaderOf(entryBuffer(entries_[slot]));
  frame->size = bufferBytes();
  frame->keyWord = ++counter_;
  frame->setTimeStamp(static_cast<uint64_t>(wallClockNow()));
  entries_[slot] = publishAndTake(entries_[slot], 0);
  published_.fetch_add(1, std::memory_order_relaxed);
  if (entries_[slot] < 0) {
    throw JTextError("Cannot get write buffer");
  }
  headers_[slot].data = frameHeaderOf(entryBuffer(entries_[slot]))->payload();
}

void WinmmMike::closeDevice() {
  if (device_ == nullptr) {
    return;
  }
  const WaveInHandle device = device_;
  device_ = nullptr;
  uint32_t first = kMmNoError;
  const char* failed = nullptr;
  auto note = [&](uint32_t result, const char* function) {
    if (result != kMmNoError && failed == nullptr) {
      first = result;
      failed = function;
    }
  };
  note(waveInReset(device), "waveInReset");
  for (int i = 0; i < buffers(); ++i) {
    if (prepared_[i]) {
      note(waveInUnprepareHeader(device, &headers_[i]), "waveInUnprepareHeader");
      prepared_[i] = false;
    }
    mp3Blocks_[i].reset();
    if (entries_[i] >= 0) {
      releaseWriteEntry(entries_[i]);
      entries_[i] = -1;
    }
    headers_[i].data = nullptr;
  }
  note(waveInClose(device), "waveInClose");
  if (failed != nullptr) {
    throwWaveIn(first, failed);
  }
}

int WinmmMike::control(const char* command, char* answer, size_t answerSize) {
  JControlCommand parsed;
  const int result = parseControlCommand(command, "WinmmMike", parsed);
  if (result == kNotMine) {
    return Mike::control(command, answer, answerSize);
  }
  // The capture has no setting of its own: a well-formed command under its
  // prefix is nobody's.
  return result == kDone ? kNotMine : result;
}

}  // namespace zq
