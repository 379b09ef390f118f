// StreamClient: a reader of a JStream. It holds at most one frame at a time
// (the entry its position names), reads frames in publication order, each at
// most once, and counts the frames it missed.
//
// Position: -1 nothing read yet (the next read returns the newest frame);
// 0 to 199 the entry held; 200 or more nothing held, read up to sequence
// position - 200; -4 nothing read yet by the masked read (it considers the
// four newest frames).
//
// Concurrency: the client's mutex serialises listen against reads. A frame
// returned by readNext stays valid, and the mutex stays held by the reading
// thread, until that thread's next read or unlock(). One thread reads; listen
// may come from another thread and then waits for the reader to unlock (a
// reader waiting for a frame keeps the mutex at most 10 ms at a time).
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "stream/stream.h"

namespace zq {

class StreamClient {
 public:
  StreamClient() = default;
  StreamClient(const StreamClient&) = delete;
  StreamClient& operator=(const StreamClient&) = delete;
  /// Detaches from the stream (listen with no stream). The reader must have
  /// unlocked its frame.
  virtual ~StreamClient();

  /// Under the client's mutex, attaches to `stream` (null: none) and detaches
  /// from the previous one. With `lastSequence`, the first frame read is the
  /// first above *lastSequence (a negative value: the newest); with no
  /// stream, *lastSequence receives the last sequence read on the old one
  /// (-1 when nothing was). Throws JTextError "cannot listen: ..." with the
  /// client left on its previous stream. Any thread.
  virtual void listen(JStream* stream, int32_t* lastSequence = nullptr);
  /// listen, for a caller that already holds the client's mutex.
  virtual void listenUnlocked(JStream* stream, int32_t* lastSequence = nullptr);

  /// Blocking read, reader thread only. Ends the use of the previous frame,
  /// then returns the next frame (its frame header) with the client locked,
  /// writing its sequence to `sequence` when given; key 0 takes any frame,
  /// another key only frames with that key; `skip` more frames are skipped.
  /// Returns null once *stop is set (checked before each attempt); throws
  /// JTimeoutError ("Time out!", 100) when a time-out is set and passes, the
  /// client then unlocked.
  uint8_t* readNext(const std::atomic<bool>* stop, int32_t* sequence = nullptr, uint32_t key = 0,
                    int skip = 0);
  /// As readNext, only frames whose key AND `mask` equals `value`.
  uint8_t* readNextMasked(const std::atomic<bool>* stop, int32_t* sequence, uint32_t mask,
                          uint32_t value, int skip = 0);

  /// One attempt of readNext, without waiting and without the mutex (the
  /// caller holds it): the frame, or null when there is no new one.
  uint8_t* tryReadNext(int32_t* sequence, uint32_t key, int skip);
  uint8_t* tryReadNextMasked(int32_t* sequence, uint32_t mask, uint32_t value, int skip);

  /// Leaves the client's mutex if a read left it locked; takes it. The
  /// reader thread.
  void unlock();
  void lock();

  /// Releases the held frame; the next read returns the newest. Takes the
  /// client's mutex: the reader thread, or another once the reader unlocked.
  void releaseFrame();
  /// Last sequence of the stream minus the held frame's, or -1 when either
  /// is unknown. The reader thread.
  int32_t framesBehind() const;
  /// The read time-out of later reads; a negative value means none (-1).
  /// Any thread.
  void setTimeout(int milliseconds) { timeout_.store(milliseconds < 0 ? -1 : milliseconds); }
  int timeout() const { return timeout_.load(); }
  /// How long a blocked read sleeps between two looks when nothing wakes it
  /// (a publication and JStream::wakeReaders do); 10 ms unless set. A reader
  /// with many siblings on an often idle stream sets it long. Any thread.
  void setPollInterval(int milliseconds) { pollMs_.store(milliseconds < 1 ? 1 : milliseconds); }
  int pollInterval() const { return pollMs_.load(); }

  JStream* stream() const { return stream_; }
  /// Frames missed between two reads since the client was made. Any thread.
  int64_t lostFrames() const { return lost_.load(std::memory_order_relaxed); }
  int position() const { return position_; }

 protected:
  virtual void attach(JStream* stream, int32_t* lastSequence);
  virtual void detachOld(JStream* oldStream, JStreamTable* oldTable, int oldId, int oldPosition,
                         int32_t* lastSequence);
  /// Called once the client is attached to a new stream (nothing here).
  virtual void onListen(JStream* stream);
  virtual void attachCore(JStream* stream, JStreamTable* table, int id, int32_t* lastSequence);
  virtual void detachCore(JStream* stream, JStreamTable* table, int id, int position);

  std::atomic<int64_t> lost_{0};

 private:
  template <typename Claim>
  uint8_t* readBlocking(const std::atomic<bool>* stop, Claim tryOnce);
  template <typename Claim, typename Fits>
  uint8_t* tryRead(int32_t* sequence, int skip, Claim claim, Fits fits);
  bool holds() const { return position_ >= 0 && position_ < JS_MAXBUF; }

  // Recursive: the reading thread may call listen while it holds a frame.
  std::recursive_mutex mutex_;
  bool locked_ = false;
  int id_ = -1;
  int position_ = -1;
  JStreamTable* table_ = nullptr;
  JStream* stream_ = nullptr;
  int extra_ = 1;
  std::atomic<int> timeout_{-1};
  std::atomic<int> pollMs_{kJsPollMs};
};

}  // namespace zq
