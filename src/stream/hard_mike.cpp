// HardMike: the board's frames into the stream.
#include "stream/hard_mike.h"

#include <cstring>

#include "audio/mp3.h"
#include "base/error.h"
#include "stream/stream_frame_header.h"
#include "stream/stream_table.h"
#include "stream/video_ctl.h"

namespace zq {

namespace {

struct Mp3Figures {
  uint32_t sampleRate = 0;
  uint32_t channels = 0;
  uint32_t frameSize = 0;
};

Mp3Figures figuresOf(uint32_t bitRate) {
  Mp3Figures figures;
  int version = 0;
  if (!lookupBitRate(bitRate, &figures.sampleRate, &figures.channels, &version)) {
    throw JTextError("unsupported MP3 bitrate");
  }
  uint32_t samples = 0;
  frameGeometry(figures.sampleRate, bitRate, version, &samples, &figures.frameSize);
  return figures;
}

size_t bufferSizeFor(const CaptureBoard& board, uint32_t bitRate) {
  figuresOf(bitRate);  // refuses a rate outside the table before anything is built
  return StreamInfo::kMp3Chunk + board.frameExtraBytes() + sizeof(StreamFrameHeader);
}

}  // namespace

HardMike::HardMike(std::shared_ptr<CaptureBoard> board, uint32_t bitRate,
                   std::string_view traceName)
    : Mike(bufferSizeFor(*board, bitRate), kBuffers, false, kExtraBuffers, kShareableStreamMemory,
           traceName),
      board_(std::move(board)) {
  const Mp3Figures figures = figuresOf(bitRate);
  setStreamInfo(StreamInfo::makeMp3StreamInfo(bitRate, figures.sampleRate,
                                              static_cast<uint16_t>(figures.channels),
                                              static_cast<uint16_t>(figures.frameSize)));
  capture_ = board_->startMp3(bitRate, [this](const uint8_t* frame, size_t size, int64_t timeUs) {
    onFrame(frame, size, timeUs);
  });
}

HardMike::~HardMike() {
  capture_.reset();
}

void HardMike::onFrame(const uint8_t* frame, size_t size, int64_t timeUs) {
  if (size > bufferSize() - sizeof(StreamFrameHeader)) {
    return;  // not a frame this stream can hold
  }
  uint8_t* buffer = tryGetWriteBuffer();
  if (buffer == nullptr) {
    return;  // every buffer is being read: the frame is lost, as on the board
  }
  StreamFrameHeader* header = frameHeaderOf(buffer);
  std::memcpy(header->payload(), frame, size);
  header->size = static_cast<uint32_t>(size);
  header->keyWord = ++counter_;
  header->setTimeStamp(static_cast<uint64_t>(timeUs));
  publish(0);
  published_.fetch_add(1, std::memory_order_relaxed);
}

int HardMike::control(const char* command, char* answer, size_t answerSize) {
  JControlCommand parsed;
  const int own = parseControlCommand(command, "HardMike", parsed);
  if (own != kNotMine) {
    return own == kDone ? kNotMine : own;
  }
  const int result = Mike::control(command, answer, answerSize);
  if (result != kNotMine) {
    return result;
  }
  return board_->control(command, answer, answerSize);
}

}  // namespace zq
