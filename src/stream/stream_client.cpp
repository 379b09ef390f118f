// StreamClient: attaching to and detaching from streams, and the reads that
// walk a stream table frame by frame.
#include "stream/stream_client.h"

#include <algorithm>

#include "base/error.h"
#include "base/jtime.h"
#include "base/thread.h"

namespace zq {
namespace {

const char* listenError(int code) {
  switch (code) {
    case -1:
      return "cannot listen: JS_MAXBUF exceeded";
    case -2:
      return "cannot listen: out of buffers";
    case -3:
      return "cannot listen: could not convert";
    case -4:
      return "cannot listen: JS_MAXREADERS exceeded";
    default:
      return "cannot listen: donno why";
  }
}

}  // namespace

StreamClient::~StreamClient() {
  try {
    std::lock_guard lock(mutex_);
    listenUnlocked(nullptr);
  } catch (const JError& e) {
    logCaught(e);
  }
}

void StreamClient::listen(JStream* stream, int32_t* lastSequence) {
  std::lock_guard lock(mutex_);
  listenUnlocked(stream, lastSequence);
}

void StreamClient::listenUnlocked(JStream* stream, int32_t* lastSequence) {
  JStream* const oldStream = stream_;
  JStreamTable* const oldTable = table_;
  const int oldId = id_;
  const int oldPosition = position_;
  if (stream == nullptr) {
    stream_ = nullptr;
    table_ = nullptr;
    id_ = -1;
    position_ = -1;
    detachOld(oldStream, oldTable, oldId, oldPosition, lastSequence);
    return;
  }
  attach(stream, lastSequence);  // throws with the client where it was
  detachOld(oldStream, oldTable, oldId, oldPosition, nullptr);
  onListen(stream);
}

void StreamClient::attach(JStream* stream, int32_t* lastSequence) {
  JStreamTable* table = stream->table();
  const int id = table == nullptr ? -3 : js_add_reader(table, extra_);
  if (id < 0) {
    throw JTextError(listenError(id));
  }
  attachCore(stream, table, id, lastSequence);
}

void StreamClient::attachCore(JStream* stream, JStreamTable* table, int id, int32_t* lastSequence) {
  table_ = table;
  stream_ = stream;
  id_ = id;
  // "Read up to sequence n" is position n + 200; a reader that has read
  // nothing (-1) starts from the newest frame.
  position_ = lastSequence != nullptr && *lastSequence >= 0 ? *lastSequence + JS_MAXBUF : -1;
  stream->addClient(this);
}

void StreamClient::detachOld(JStream* oldStream, JStreamTable* oldTable, int oldId, int oldPosition,
                             int32_t* lastSequence) {
  if (lastSequence != nullptr) {
    if (oldTable == nullptr || oldPosition < 0) {
      *lastSequence = -1;
    } else if (oldPosition < JS_MAXBUF) {
      *lastSequence = oldTable->entries[oldPosition].sequence.load(std::memory_order_acquire);
    } else {
      *lastSequence = oldPosition - JS_MAXBUF;
    }
  }
  if (oldStream != nullptr) {
    detachCore(oldStream, oldTable, oldId, oldPosition);
  }
}

void StreamClient::onListen(JStream*) {}

void StreamClient::detachCore(JStream* stream, JStreamTable* table, int id, int position) {
  js_remove_reader(table, id, position, extra_);
  stream->removeClient(this);  // may delete a released stream
}

void StreamClient::unlock() {
  if (locked_) {
    locked_ = false;
    mutex_.unlock();
  }
}

void StreamClient::lock() {
  mutex_.lock();
  locked_ = true;
}

template <typename Claim>
uint8_t* StreamClient::readBlocking(const std::atomic<bool>* stop, Claim tryOnce) {
  unlock();
  const int64_t start = monotonicMs();
  while (stop == nullptr || !stop->load(std::memory_order_acquire)) {
    mutex_.lock();
    JStream* const stream = stream_;
    const uint32_t seen = stream != nullptr ? stream->publications() : 0;
    if (uint8_t* frame = tryOnce()) {
      locked_ = true;
      return frame;
    }
    int wait = pollMs_.load();
    const int timeout = timeout_.load();
    if (timeout >= 0) {
      const int64_t spent = monotonicMs() - start;
      if (spent >= timeout) {
        mutex_.unlock();
        throw JTimeoutError();
      }
      wait = static_cast<int>(std::min<int64_t>(wait, timeout - spent));
    }
    // The wait keeps the mutex: a listen from another thread, which could
    // otherwise delete the stream slept on, waits for it (10 ms at most).
    if (stream != nullptr) {
      stream->waitForPublication(seen, wait);
      mutex_.unlock();
    } else {
      mutex_.unlock();
      JThread::sleep(wait);
    }
  }
  return nullptr;
}

uint8_t* StreamClient::readNext(const std::atomic<bool>* stop, int32_t* sequence, uint32_t key,
                                int skip) {
  return readBlocking(stop, [&] { return tryReadNext(sequence, key, skip); });
}

uint8_t* StreamClient::readNextMasked(const std::atomic<bool>* stop, int32_t* sequence,
                                      uint32_t mask, uint32_t value, int skip) {
  return readBlocking(stop, [&] { return tryReadNextMasked(sequence, mask, value, skip); });
}

// The step every read shares. With a frame read before, the target is the
// last sequence read + skip and the next frame above it is claimed; with
// nothing read, the next frame after the position is.
template <typename Claim, typename Fits>
uint8_t* StreamClient::tryRead(int32_t* sequence, int skip, Claim claim, Fits fits) {
  if (table_ == nullptr) {
    return nullptr;
  }
  const uint32_t bit = 1u << id_;
  const bool readBefore = position_ != -1 && position_ != -4;
  const int64_t target = readBefore ? int64_t{js_reference_sequence(table_, position_)} + skip : -1;
  if (target >= 0) {
    const int claimed = claim(static_cast<int>(target + JS_MAXBUF));
    if (claimed >= 0 && claimed < JS_MAXBUF && claimed != position_) {
      const JStreamEntry& entry = table_->entries[claimed];
      if (entry.sequence.load(std::memory_order_acquire) > target && fits(entry)) {
        if (holds()) {
          js_release(table_, position_, bit);
        }
        position_ = claimed;
      } else {
        js_release(table_, claimed, bit);
      }
    }
  } else {
    const int claimed = claim(position_);
    if (claimed >= 0 && claimed < JS_MAXBUF && claimed != position_) {
      if (holds()) {
        js_release(table_, position_, bit);
      }
      position_ = claimed;
    }
  }
  if (!holds()) {
    return nullptr;
  }
  const JStreamEntry& entry = table_->entries[position_];
  const int32_t got = entry.sequence.load(std::memory_order_acquire);
  if (got <= target || !fits(entry)) {
    return nullptr;
  }
  if (target > 0) {
    lost_.fetch_add(got - target - 1, std::memory_order_relaxed);
  }
  if (sequence != nullptr) {
    *sequence = got;
  }
  return entry.data();
}

uint8_t* StreamClient::tryReadNext(int32_t* sequence, uint32_t key, int skip) {
  return tryRead(
      sequence, skip,
      [&](int from) {
        return key != 0 ? js_read_next_key(table_, from, id_, key)
                        : js_read_next(table_, from, id_);
      },
      [key](const JStreamEntry& entry) {
        return key == 0 || entry.key.load(std::memory_order_acquire) == key;
      });
}

uint8_t* StreamClient::tryReadNextMasked(int32_t* sequence, uint32_t mask, uint32_t value,
                                         int skip) {
  if (position_ == -1) {
    position_ = -4;  // nothing read: consider the four newest frames
  }
  return tryRead(
      sequence, skip, [&](int from) { return js_read_next_masked(table_, from, id_, mask, value); },
      [mask, value](const JStreamEntry& entry) {
        return (entry.key.load(std::memory_order_acquire) & mask) == value;
      });
}

void StreamClient::releaseFrame() {
  std::lock_guard lock(mutex_);
  if (holds()) {
    js_release(table_, position_, 1u << id_);
  }
  position_ = -1;
}

int32_t StreamClient::framesBehind() const {
  if (table_ == nullptr || position_ < 0 || position_ >= JS_MAXBUF) {
    return -1;
  }
  const int32_t last = table_->lastSequence.load(std::memory_order_acquire);
  const int32_t held = table_->entries[position_].sequence.load(std::memory_order_acquire);
  return last < 0 || held < 0 ? -1 : last - held;
}

}  // namespace zq
