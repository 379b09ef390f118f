// JStream: the writer's side of a stream table, its client list and its
// description, and the publication count blocked readers sleep on.
#include "stream/stream.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <new>

#include "base/error.h"
#include "base/futex.h"
#include "base/jtime.h"
#include "base/thread.h"
#include "stream/stream_frame_header.h"

namespace zq {
namespace {

constexpr size_t kTableBlockSize = 8192;
// With 64-bit pointers and each entry on a cache line of its own, the table
// outgrows the 8 KiB block of a 32-bit build; the slack puts it on a cache
// line.
constexpr size_t kTableAllocation =
    std::max(kTableBlockSize, sizeof(JStreamTable)) + alignof(JStreamTable);
constexpr size_t kClientGrowth = 16;

timespec monotonicIn(int ms) {
  timespec at{};
  clock_gettime(CLOCK_MONOTONIC, &at);
  at.tv_sec += ms / 1000;
  at.tv_nsec += static_cast<long>(ms % 1000) * 1000000;
  if (at.tv_nsec >= 1000000000) {
    at.tv_sec += 1;
    at.tv_nsec -= 1000000000;
  }
  return at;
}

}  // namespace

JStream::JStream(size_t bufferSize, int nbuf, bool blocking, int extra, bool localMemory)
    : JStream(bufferSize, nbuf, blocking, extra,
              localMemory ? kLocalStreamMemory : kShareableStreamMemory) {}

JStream::JStream(size_t bufferSize, int nbuf, bool blocking, int extra, const JStreamMemory& memory)
    : memory_(&memory), bufferSize_(bufferSize), blocking_(blocking) {
  clients_.reserve(kClientGrowth);
  tableBlock_ = memory_->allocate(kTableAllocation);
  if (tableBlock_.data == nullptr) {
    throw JTextError("cannot init stream: out of buffers");
  }
  const auto start = reinterpret_cast<uintptr_t>(tableBlock_.data);
  const uintptr_t aligned = (start + alignof(JStreamTable) - 1) & ~(alignof(JStreamTable) - 1);
  table_ = new (reinterpret_cast<void*>(aligned)) JStreamTable();
  const int result = bufferSize < sizeof(StreamFrameHeader)
                         ? -1
                         : js_init(table_, tableBlock_, nbuf, *memory_, bufferSize, extra);
  if (result != 0) {
    table_->~JStreamTable();
    table_ = nullptr;
    memory_->free(tableBlock_);
    throw JTextError(result == -2 ? "cannot init stream: out of buffers"
                                  : "cannot init stream: donno why");
  }
}

JStream::~JStream() {
  {
    std::lock_guard lock(clientMutex_);
    if (!clients_.empty()) {
      char text[96];
      std::snprintf(text, sizeof text, "stream %p deleted with %d clients still connected\n",
                    static_cast<void*>(this), static_cast<int>(clients_.size()));
      jsDebugOutput(text);
    }
  }
  if (table_ != nullptr) {
    JStream::abortWrite();
    js_exit(table_);
    table_->~JStreamTable();
    memory_->free(tableBlock_);
    table_ = nullptr;
  }
}

void JStream::abortWrite() {
  if (writeIndex_ >= 0) {
    js_release(table_, writeIndex_, kJsWriterBit);
    writeIndex_ = -1;
  }
}

uint8_t* JStream::getWriteBuffer() {
  if (writeIndex_ < 0) {
    for (;;) {
      writeIndex_ = js_get_write_buffer(table_, nextSequence_, blocking_);
      if (writeIndex_ >= 0 || !blocking_) {
        break;
      }
      JThread::sleep(kJsPollMs);
    }
    if (writeIndex_ < 0) {
      throw JTextError("Cannot get write buffer");
    }
  }
  return table_->entries[writeIndex_].data();
}

uint8_t* JStream::tryGetWriteBuffer() {
  if (writeIndex_ < 0) {
    writeIndex_ = js_get_write_buffer(table_, nextSequence_, false);
    if (writeIndex_ < 0) {
      return nullptr;
    }
  }
  return table_->entries[writeIndex_].data();
}

void JStream::publish(uint32_t key) {
  if (writeIndex_ < 0) {
    return;
  }
  stamp(writeIndex_, key);
  callListeners(writeIndex_);
  nextSequence_ = js_publish(table_, writeIndex_);
  writeIndex_ = -1;
  afterPublication();
}

void JStream::stamp(int index, uint32_t key) {
  JStreamEntry& entry = table_->entries[index];
  entry.timeStamp.store(static_cast<uint32_t>(monotonicMs()), std::memory_order_relaxed);
  entry.key.store(key, std::memory_order_relaxed);
}

void JStream::callListeners(int index) {
  if (hasListeners_.load(std::memory_order_acquire)) {
    // Before the entry is published: once readers have it, one that leaves
    // may free the oldest entries, this one among them.
    const uint8_t* frame = table_->entries[index].data();
    std::lock_guard lock(listenerMutex_);
    for (JStreamListener* listener : listeners_) {
      listener->onPublication(frame);
    }
  }
}

void JStream::afterPublication() {
  if (wakeOnPublish_.load(std::memory_order_relaxed)) {
    signalReaders();
  }
}

int JStream::takeWriteEntry() {
  return js_publish_and_take(table_, -1);
}

int JStream::publishAndTake(int index, uint32_t key) {
  stamp(index, key);
  callListeners(index);
  const int next = js_publish_and_take(table_, index);
  afterPublication();
  return next;
}

void JStream::releaseWriteEntry(int index) {
  js_release(table_, index, kJsWriterBit);
}

uint8_t* JStream::entryBuffer(int index) const {
  return table_->entries[index].data();
}

void JStream::signalReaders() {
  publications_.fetch_add(1, std::memory_order_acq_rel);
  // Only a stream with readers asleep pays for the system call. It wakes
  // them all: every reader wants every frame, and a reader left asleep would
  // only find the frame at its next poll, which suckers set long.
  if (sleepers_.load(std::memory_order_acquire) != 0) {
    futexWake(publications_, INT32_MAX);
  }
}

void JStream::wakeReaders() {
  publications_.fetch_add(1, std::memory_order_acq_rel);
  futexWake(publications_, INT32_MAX);
}

void JStream::waitForPublication(uint32_t seen, int timeoutMs) const {
  const timespec deadline = monotonicIn(timeoutMs);
  sleepers_.fetch_add(1, std::memory_order_acq_rel);
  // A publication between the caller's look and this point changed the
  // count: the futex then returns at once.
  futexWait(publications_, seen, &deadline);
  sleepers_.fetch_sub(1, std::memory_order_acq_rel);
}

void JStream::addClient(StreamClient* client) {
  std::lock_guard lock(clientMutex_);
  if (clients_.size() == clients_.capacity()) {
    try {
      clients_.reserve(clients_.capacity() + kClientGrowth);
    } catch (const std::bad_alloc&) {
      jsDebugOutput("JVector[] : realloc chie.\n");
      return;
    }
  }
  clients_.push_back(client);
}

void JStream::removeClient(StreamClient* client) {
  bool deleteNow = false;
  {
    std::lock_guard lock(clientMutex_);
    const auto found = std::find(clients_.begin(), clients_.end(), client);
    if (found == clients_.end()) {
      char text[128];
      std::snprintf(text, sizeof text, "trying to remove non stream client %p from stream %p\n",
                    static_cast<void*>(client), static_cast<void*>(this));
      jsDebugOutput(text);
      return;
    }
    clients_.erase(found);
    deleteNow = releaseWhenUnused_ && clients_.empty();
  }
  if (deleteNow) {
    delete this;
  }
}

void JStream::addListener(JStreamListener* listener) {
  std::lock_guard lock(listenerMutex_);
  listeners_.push_back(listener);
  hasListeners_.store(true, std::memory_order_release);
}

void JStream::removeListener(JStreamListener* listener) {
  std::lock_guard lock(listenerMutex_);
  std::erase(listeners_, listener);
  hasListeners_.store(!listeners_.empty(), std::memory_order_release);
}

bool JStream::hasReaders() const {
  return hasListeners_.load(std::memory_order_acquire) || clientCount() != 0;
}

size_t JStream::clientCount() const {
  std::lock_guard lock(clientMutex_);
  return clients_.size();
}

void JStream::release() {
  bool deleteNow = false;
  {
    std::lock_guard lock(clientMutex_);
    releaseWhenUnused_ = true;
    deleteNow = clients_.empty();
  }
  if (deleteNow) {
    delete this;
  }
}

void JStream::setStreamInfo(std::unique_ptr<StreamInfo> info) {
  std::lock_guard lock(infoMutex_);
  info_ = std::move(info);
}

size_t JStream::getStreamInfoSize() const {
  std::lock_guard lock(infoMutex_);
  return info_ ? info_->infoSize() : 0;
}

std::unique_ptr<StreamInfo> JStream::copyStreamInfo() const {
  std::lock_guard lock(infoMutex_);
  return info_ ? StreamInfo::fromBytes(info_->bytes()) : nullptr;
}

int JStream::control(const char* command, char* answer, size_t answerSize) {
  JControlCommand parsed;
  const int result = parseControlCommand(command, "JStream", parsed);
  if (result != kDone) {
    return result;
  }
  if (parsed.name != "queue") {
    return kNotMine;
  }
  if (parsed.query) {
    return answerControlInt(table_->queueLength.load(), answer, answerSize);
  }
  int length = 0;
  if (!parseControlInt(parsed.value, length) || length < 0 || length > JS_MAXBUF) {
    return kMalformed;
  }
  return js_set_queue(table_, length) == 0 ? kDone : -1;
}

}  // namespace zq
