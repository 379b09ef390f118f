// JStream: an in-memory media stream that one writer fills frame by frame and
// up to 31 StreamClient readers consume without copying. It owns one stream
// table (stream_table.h) and its buffers, the list of attached clients and
// the stream's description; every media source of the system derives from it.
//
// Beyond the table's 10 ms polls, a publication wakes the readers blocked in
// StreamClient::readNext at once: the stream keeps a publication count that
// they sleep on (a futex word), so a reader returns within microseconds of a
// frame and an idle stream wakes its readers no more often than the poll.
//
// A listener (JStreamListener) is the other way to read: it is called on the
// writer's thread with each frame as it is published, so that work that
// must follow every frame (a send, a decode) costs no thread and no wake-up
// of its own. It takes no reader slot.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "stream/stream_info.h"
#include "stream/stream_table.h"
#include "stream/video_ctl.h"

namespace zq {

class StreamClient;

/// Called with every frame a stream publishes, on the writer's thread, in
/// the publication itself (before blocked readers are woken). The call holds
/// up the writer: it must not block, throw, nor add or remove a listener of
/// that stream.
class JStreamListener {
 public:
  virtual ~JStreamListener() = default;
  /// `frame` is the buffer being published, its frame header first (time stamp,
  /// key and size as readers see them); it stays valid during the call only.
  virtual void onPublication(const uint8_t* frame) = 0;
};

class JStream : public virtual VideoCtl {
 public:
  /// A table of nbuf + extra + 1 buffers of `bufferSize` bytes each (the
  /// 32-byte frame header included), from the local heap (64-byte aligned
  /// payloads) or the shareable memory. Throws JTextError "cannot init
  /// stream: out of buffers" when a buffer cannot be allocated, "cannot init
  /// stream: donno why" on any other failure.
  JStream(size_t bufferSize, int nbuf, bool blocking, int extra, bool localMemory);
  /// The same with the memory provider given (its functions must stay valid
  /// for the stream's life).
  JStream(size_t bufferSize, int nbuf, bool blocking, int extra, const JStreamMemory& memory);
  JStream(const JStream&) = delete;
  JStream& operator=(const JStream&) = delete;

  /// Says on the debug output when clients are still attached, aborts a
  /// pending write, deletes every buffer (waiting for entries still held)
  /// and frees the table and the description. The owner's thread, once the
  /// writer has stopped.
  ~JStream() override;

  // ---- writer side: one thread at a time (the source's own thread) -------

  /// Releases the entry held for writing without publishing it.
  virtual void abortWrite();
  /// A buffer locked for writing (its frame header first): the one already
  /// held, else the oldest that nobody reads; on a blocking stream waits
  /// (polling every 10 ms, without limit) until the oldest is free. Throws
  /// JTextError "Cannot get write buffer" when none can be had.
  virtual uint8_t* getWriteBuffer();
  /// As getWriteBuffer on a non-blocking stream, but null when none is free.
  virtual uint8_t* tryGetWriteBuffer();
  /// Stamps the held entry with the time (ms) and `key`, publishes it and
  /// wakes the blocked readers. Does nothing when no entry is held.
  virtual void publish(uint32_t key);

  // ---- clients: any thread ------------------------------------------------

  /// Called by StreamClient::listen under the client list's mutex.
  virtual void addClient(StreamClient* client);
  /// Removes `client`; "trying to remove non stream client ..." on the debug
  /// output when it is not attached. Deletes the stream when it was the last
  /// client of a released stream.
  virtual void removeClient(StreamClient* client);
  size_t clientCount() const;

  /// `listener` (not owned) is called with every frame published from now
  /// on, after the listeners added before it. Any thread.
  virtual void addListener(JStreamListener* listener);
  /// Once this returns, `listener` is not being called and will not be
  /// again (a call under way is waited for); nothing when it is not there.
  /// Any thread but the writer's from within a listener's call.
  void removeListener(JStreamListener* listener);

  /// Whether anyone takes the frames: a client attached or a listener.
  bool hasReaders() const;

  /// Asks the stream to delete itself when no client is attached: at once,
  /// or when removeClient removes the last one. The stream must have been
  /// made with new; nobody may use it afterwards but its clients (listeners
  /// are not counted: remove them first).
  void release();

  // ---- description: any thread ---------------------------------------------

  /// Replaces (and frees) the owned description.
  void setStreamInfo(std::unique_ptr<StreamInfo> info);
  /// InfoSize of the description, 0 when there is none.
  size_t getStreamInfoSize() const;
  /// A copy of the description, or null.
  std::unique_ptr<StreamInfo> copyStreamInfo() const;

  /// "JStream.queue=N" sets the number of buffers, "JStream.queue?" answers
  /// it. -1 when buffers could not be added. Any thread.
  int control(const char* command, char* answer, size_t answerSize) override;

  // ---- for readers ----------------------------------------------------------

  JStreamTable* table() const { return table_; }
  size_t bufferSize() const { return bufferSize_; }
  bool blocking() const { return blocking_; }

  /// The publication count: a reader notes it before looking for a frame,
  /// then sleeps in waitForPublication until it changes.
  uint32_t publications() const { return publications_.load(std::memory_order_acquire); }
  /// Sleeps until the count differs from `seen`, at most `timeoutMs`.
  void waitForPublication(uint32_t seen, int timeoutMs) const;
  /// Wakes every blocked reader at once, so that it looks at its stop flag.
  void wakeReaders();
  /// Whether publish wakes the blocked readers (the default); without, they
  /// find a frame at their next 10 ms poll. For measurements of the two.
  void setWakeOnPublish(bool wake) { wakeOnPublish_.store(wake); }

 protected:
  // For a source that lends several buffers to a device at once (sound-card
  // capture writes straight into them): entries taken and published by
  // index, beside the one held by getWriteBuffer. The writer's thread only.

  /// A free entry taken for writing (its lock word's writer bit set), or -1.
  int takeWriteEntry();
  /// Stamps `index` as publish does, publishes it, wakes the readers and
  /// takes another free entry in the same step: its index, or -1.
  int publishAndTake(int index, uint32_t key);
  /// Gives back an entry taken above without publishing it.
  void releaseWriteEntry(int index);
  /// The buffer of an entry (its frame header first).
  uint8_t* entryBuffer(int index) const;

 private:
  // The entry's time (ms) and key, as readers see them.
  void stamp(int index, uint32_t key);
  // The listeners' calls with entry `index`, which this thread still holds.
  void callListeners(int index);
  // Readers asleep are told of a publication.
  void afterPublication();
  void signalReaders();

  mutable std::mutex infoMutex_;
  std::unique_ptr<StreamInfo> info_;

  JStreamTable* table_ = nullptr;
  const JStreamMemory* memory_;
  MemBlock tableBlock_;
  int writeIndex_ = -1;
  int32_t nextSequence_ = 1;
  const size_t bufferSize_;
  const bool blocking_;

  mutable std::mutex clientMutex_;
  std::vector<StreamClient*> clients_;
  bool releaseWhenUnused_ = false;

  // Held by the writer through the listeners' calls, so that removal can
  // wait for a call under way. The flag spares a stream without listeners
  // the lock.
  mutable std::mutex listenerMutex_;
  std::vector<JStreamListener*> listeners_;  // guarded by listenerMutex_
  std::atomic<bool> hasListeners_{false};

  // On a cache line of their own, away from the fields the writer changes.
  alignas(64) mutable std::atomic<uint32_t> publications_{0};
  mutable std::atomic<uint32_t> sleepers_{0};
  std::atomic<bool> wakeOnPublish_{true};
};

}  // namespace zq
